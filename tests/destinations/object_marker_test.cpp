// The object store's marker against a real S3 gateway: whose store a prefix holds.
#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "common/Settings.h"
#include "destinations/StoreBinding.h"
#include "destinations/StoreMarker.h"
#include "object_world.h"
#include "support/HostileS3.h"

// The marker names the plan and installation whose store it is: every other plan is refused
// before it writes, whatever form the marker has. Each look is a fresh destination.
TEST(ObjectDevice, StoreMarkerTellsWhoseStoreItIs) {
  REQUIRE_GATEWAY();
  const ObjectStoreSettings s = StoreSettings(NewBucket());
  bvtest::TempDir here, there, far;
  bvtest::ScopedEnv data("BREVANTO_DATA_DIR", here.Native());
  // The plans of this data folder lie in it, where each looks for the others' records.
  auto planIn = [&](const char* n) {
    here.Write("PLAN/" + std::string(n) + "/Plan.ini", "");
    return here.SystemOf("PLAN/" + std::string(n));
  };
  const std::string mine = planIn("1"), other = planIn("2"), nested = planIn("3");
  auto look = [&](const std::string& plan, StoreVerdict verdict, const char* prefix = "store") {
    PlanOwner owner(plan + "\\");
    auto dest = PreparedOn(StoreSettings(s.bucket, prefix), false, &owner);
    StoreRecord record;
    ReadStoreRecord(owner.GetPlanFolder(), &record);
    EXPECT_EQ(LookAtRemoteStore(owner.GetPlanFolder(), *dest, &record), verdict)
        << plan << " " << prefix;
    ReadStoreRecord(owner.GetPlanFolder(), &record);
    return record.id;
  };
  const std::string url = "/" + s.bucket + "/store/", markerUrl = url + "Brevanto.dat";
  const auto keyUrl = [&](const std::string& key) {
    return "/" + s.bucket + "/" + UriEncode(key, true);
  };
  auto marker = [&] {
    std::string text, id, installation;
    Gateway().Request("GET", markerUrl, "", &text);
    return ParseStoreMarker(text, &id, nullptr, &installation) ? id + "@" + installation : "(none)";
  };
  const std::string first = look(mine, StoreVerdict::kOwn);
  const std::string own = first + "@" + InstallationId();
  EXPECT_EQ(marker(), own);
  EXPECT_EQ(look(mine, StoreVerdict::kOwn), first);
  PutKey(url + "Latest/a.txt", "a");
  // Another plan, installation or place inside the store writes nothing, not even a record.
  const auto othersRefused = [&](StoreVerdict installations) {
    EXPECT_EQ(look(other, StoreVerdict::kForeign), "");
    for (const char* inside : {"store/inner", "store/Latest/x"})
      EXPECT_EQ(look(nested, StoreVerdict::kInsideStore, inside), "");
    bvtest::ScopedEnv elsewhere("BREVANTO_DATA_DIR", there.Native());
    EXPECT_EQ(look(far.System(), installations), "");
  };
  othersRefused(StoreVerdict::kOtherInstallation);
  // A marker naming no installation (earlier versions): only the recording plan takes it.
  for (const std::string& older :
       {StoreMarkerText(first), "[Store]\nId=" + first + "\nInstallation=\n"}) {
    PutKey(markerUrl, older);
    othersRefused(StoreVerdict::kForeign);
    EXPECT_NE(marker(), own);
    EXPECT_EQ(look(mine, StoreVerdict::kOwn), first);
    EXPECT_EQ(marker(), own);
  }
  // Another installation is refused even with a record naming this store.
  {
    bvtest::ScopedEnv elsewhere("BREVANTO_DATA_DIR", there.Native());
    ASSERT_TRUE(
        WriteStoreRecord(far.System() + "\\", {first, "/store/", kStorageObject, "", "", "", ""}));
    EXPECT_EQ(look(far.System(), StoreVerdict::kOtherInstallation), first);
  }
  // This installation's identifier made anew: the recording plan keeps the store.
  ASSERT_TRUE(WriteInternalString("General", "InstallationId", ""));
  EXPECT_NE(InstallationId() + "", own.substr(33));
  EXPECT_EQ(look(mine, StoreVerdict::kOwn), first);
  EXPECT_EQ(marker(), first + "@" + InstallationId());
  // The plan set up again: an earlier plan's store, not mixed into unless continued.
  const std::string kept = here.Read("PLAN/1/Store.ini");
  ASSERT_EQ(unlink(here.NativeOf("PLAN/1/Store.ini").c_str()), 0);
  EXPECT_EQ(look(other, StoreVerdict::kEarlierStore), "");
  // What the wizard's test finds at a place for a new plan, and the folder it names.
  const auto found = [&](const char* prefix) {
    auto dest = PreparedOn(StoreSettings(s.bucket, prefix), false);
    const StoreVerdict verdict = StoreFoundAt(*dest, "");
    return std::pair{verdict, dynamic_cast<CObjectDevice&>(*dest).FoundFolder()};
  };
  // Not offered, nor taken when continued, while another store lies below it.
  const std::string belowUrl = url + "sub/Brevanto.dat";
  PutKey(url + "Latest/C/Brevanto.dat", "a user's file");
  EXPECT_EQ(found("store"), std::pair(StoreVerdict::kEarlierStore, std::string()));
  PutKey(belowUrl, StoreMarkerText(NewStoreId(), {}, NewStoreId()));
  EXPECT_EQ(found("store"), std::pair(StoreVerdict::kStoreBelow, std::string("store/sub/")));
  // Continued, it is the new plan's once nothing lies below, unless another plan took it since.
  const std::string again = other + "\\";
  ASSERT_TRUE(ContinueEarlierStore(again, "/store/", first));
  const std::vector<std::string> before = Gateway().Keys(s.bucket, "");
  EXPECT_EQ(look(other, StoreVerdict::kStoreBelow), first);
  EXPECT_EQ(Gateway().Keys(s.bucket, ""), before);
  DropKey(belowUrl);
  EXPECT_EQ(look(other, StoreVerdict::kOwn), first);
  PutKey(belowUrl, StoreMarkerText(NewStoreId(), {}, NewStoreId()));
  EXPECT_EQ(look(other, StoreVerdict::kOwn), first) << "its own since";
  DropKey(belowUrl);
  ASSERT_EQ(unlink(here.NativeOf("PLAN/2/Store.ini").c_str()), 0);
  here.Write("PLAN/1/Store.ini", kept);
  EXPECT_FALSE(ContinueEarlierStore(again, "/store/", first));
  EXPECT_EQ(look(other, StoreVerdict::kForeign), "");
  PutKey(markerUrl, StoreMarkerText(NewStoreId(), {}, NewStoreId()));
  EXPECT_EQ(look(mine, StoreVerdict::kStoreReplaced), first);
  PutKey(markerUrl, StoreMarkerText(first, {}, InstallationId()));
  // A new place over this store is refused; a store found inside it stops, its copies kept.
  EXPECT_EQ(look(other, StoreVerdict::kStoreBelow, ""), "");
  const std::string inner = NewStoreId();
  PutKey(url + "deep/Brevanto.dat", StoreMarkerText(inner, {}, InstallationId()));
  PutKey(url + "deep/Latest/b.txt", "b");
  EXPECT_EQ(found("store/deep"), std::pair(StoreVerdict::kNestedStore, std::string("store/")));
  ASSERT_TRUE(WriteStoreRecord(
      nested + "\\", {inner, "/store/deep/", kStorageObject, "", "", "", InstallationId()}));
  EXPECT_EQ(look(nested, StoreVerdict::kNestedStore, "store/deep"), inner);
  EXPECT_EQ(Gateway().Keys(s.bucket, "store/deep/").size(), 2u);
  EXPECT_EQ(Gateway().Keys(s.bucket, "Brevanto.dat").size(), 0u);
  // A policy hiding the marker of a folder above: its listing shows it; hiding both, said once.
  const std::string policed = NewBucket(), arn = "arn:aws:s3:::" + policed;
  PutKey("/" + policed + "/par/Brevanto.dat", StoreMarkerText(NewStoreId(), {}, NewStoreId()));
  for (const bool listed : {true, false}) {
    const std::string deny = R"({"Effect":"Deny","Principal":{"AWS":["*"]},"Action":)";
    const std::string policy =
        R"({"Version":"2012-10-17","Statement":[)" + deny + R"("s3:GetObject","Resource":")" + arn +
        R"(/par/Brevanto.dat"})" +
        (listed ? ""
                : "," + deny + R"("s3:ListBucket","Resource":")" + arn +
                      R"(","Condition":{"StringLike":{"s3:prefix":"par/Brevanto*"}}})") +
        "]}";
    const long put = Gateway().Request("PUT", "/" + policed + "?policy=", policy);
    ASSERT_TRUE(put == 200 || put == 204) << put;
    const std::string at = planIn(listed ? "5" : "6");
    PlanOwner owner(at + "\\");
    auto dest = PreparedOn(StoreSettings(policed, "par/child"), false, &owner);
    StoreRecord none;
    EXPECT_EQ(LookAtRemoteStore(owner.GetPlanFolder(), *dest, &none),
              listed ? StoreVerdict::kInsideStore : StoreVerdict::kOwn);
    auto& bucket = dynamic_cast<CObjectDevice&>(*dest);
    EXPECT_EQ(bucket.TakeAboveUnchecked(), !listed);
    EXPECT_FALSE(bucket.TakeAboveUnchecked());
  }
  // Only the marker gone, the copies kept: refused to others, taken back by its plan.
  for (const char* copy : {"", "Revision/a(0001).txt"}) {
    if (*copy) {
      PutKey(url + UriEncode(copy, true), "r");
      DropKey(url + "Latest/a.txt");
    }
    DropKey(markerUrl);
    EXPECT_EQ(look(other, StoreVerdict::kUnmarkedCopies), "");
    EXPECT_EQ(marker(), "(none)");
    if (!*copy) {  // not while the store inside it is there: it would hold that one
      EXPECT_EQ(look(mine, StoreVerdict::kStoreBelow), first);
      EXPECT_EQ(marker(), "(none)");
      DropKey(url + "deep/Brevanto.dat");
    }
    EXPECT_EQ(look(mine, StoreVerdict::kOwn), first);
    EXPECT_EQ(marker(), first + "@" + InstallationId());
  }
  EXPECT_EQ(Gateway().Request("GET", url + UriEncode("Revision/a(0001).txt", true), "", nullptr),
            200);
  // Emptied behind the plans' back: a new store, filled anew by its plan.
  for (const std::string& key : Gateway().Keys(s.bucket, "store/")) DropKey(keyUrl(key));
  const std::string second = look(mine, StoreVerdict::kFresh);
  EXPECT_NE(second, first);
  EXPECT_EQ(marker(), second + "@" + InstallationId());
  EXPECT_EQ(look(mine, StoreVerdict::kOwn), second);
  // No marker, or one far too long, under the marker's name: refused, never replaced.
  for (const std::string& junk :
       {std::string("junk"), StoreMarkerText(second) + std::string(1 << 20, '#')}) {
    PutKey(markerUrl, junk);
    EXPECT_EQ(look(mine, StoreVerdict::kNotAMarker), second);
    std::string kept;
    EXPECT_EQ(Gateway().Request("GET", markerUrl, "", &kept), 200);
    EXPECT_TRUE(kept == junk);
  }
  // While the plan runs, the marker replaced, spoiled, gone or emptied away is noticed at a
  // run's look (a refusal after its pause: 1 s, then 2 s).
  PlanOwner owner(mine + "\\");
  auto running = PreparedOn(s, false, &owner);
  StoreRecord record;
  ReadStoreRecord(owner.GetPlanFolder(), &record);
  PutKey(markerUrl, StoreMarkerText(second, {}, InstallationId()));
  PutKey(url + "Latest/a.txt", "a");
  const std::string foreign = StoreMarkerText(second, {}, NewStoreId());
  const std::string spoiled = "junk", gone = "", emptied = "";
  const struct {
    const std::string* text;
    int waitMs;
    StoreVerdict verdict;
  } rows[] = {{nullptr, 0, StoreVerdict::kOwn},
              {&foreign, 0, StoreVerdict::kOtherInstallation},
              {&spoiled, 1100, StoreVerdict::kNotAMarker},
              {&gone, 2100, StoreVerdict::kOwn},
              {&emptied, 0, StoreVerdict::kFresh}};
  for (const auto& [text, waitMs, verdict] : rows) {
    if (text == &emptied || text == &gone) {
      for (const std::string& key : Gateway().Keys(s.bucket, "store/"))
        if (text == &emptied || key == "store/Brevanto.dat") DropKey(keyUrl(key));
    } else if (text != nullptr) {
      PutKey(markerUrl, *text);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    dynamic_cast<CObjectDevice&>(*running).ForgetMarker();
    EXPECT_EQ(LookAtRemoteStore(owner.GetPlanFolder(), *running, &record), verdict);
    if (text == &gone) {
      EXPECT_EQ(marker(), second + "@" + InstallationId());
    }
  }
}

// Two plans new to one prefix (or a prefix and a folder inside it) look at once: one wins, with
// and without a store honouring the marker PUT's condition.
TEST(ObjectDevice, TwoPlansStartingTogetherOnOnePrefixOneWins) {
  REQUIRE_GATEWAY();
  bvtest::HostileS3 careless(bvtest::HostileS3::kHonest);
  ASSERT_TRUE(careless.Ok());
  bvtest::TempDir data;
  bvtest::ScopedEnv dataDir("BREVANTO_DATA_DIR", data.Native());
  const std::string bucket = NewBucket();
  int round = 0;
  const struct {
    bool honours;
    const char* inner;  // the second plan's folder below the first's
  } rows[] = {{true, ""}, {false, ""}, {true, ""}, {false, ""}, {true, "/in"}, {true, "/in/ner"}};
  for (const auto& [honours, inner] : rows) {
    SCOPED_TRACE(std::to_string(honours) + inner);
    const std::string prefix = "race" + std::to_string(++round);
    std::string plans[2];
    StoreVerdict verdicts[2];
    std::atomic<int> ready{0};
    const auto start = [&](int i) {
      plans[i] = data.Write("PLAN/" + prefix + "-" + std::to_string(i) + "/Plan.ini", "");
      PlanOwner owner(data.SystemOf("PLAN/" + prefix + "-" + std::to_string(i)) + "\\");
      const std::string at = prefix + (i == 1 ? inner : "");
      auto dest =
          PreparedOn(honours ? StoreSettings(bucket, at) : careless.Settings(at), false, &owner);
      StoreRecord record;
      ReadStoreRecord(owner.GetPlanFolder(), &record);
      for (++ready; ready < 2;) std::this_thread::yield();
      verdicts[i] = LookAtRemoteStore(owner.GetPlanFolder(), *dest, &record);
      plans[i] = record.id;
    };
    std::vector<std::thread> starts;
    for (int i = 0; i < 2; ++i) starts.emplace_back(start, i);
    for (auto& t : starts) t.join();
    if (*inner) {
      ready = 10;  // each alone
      for (int i = 0; i < 2; ++i) start(i);
      EXPECT_NE(verdicts[0] == StoreVerdict::kOwn, verdicts[1] == StoreVerdict::kOwn)
          << int(verdicts[0]) << " " << int(verdicts[1]);
      continue;
    }
    EXPECT_NE(verdicts[0], verdicts[1]);
    for (int i = 0; i < 2; ++i) {
      const bool won = verdicts[i] == StoreVerdict::kOwn;
      EXPECT_TRUE(won || verdicts[i] == StoreVerdict::kForeign) << int(verdicts[i]);
      EXPECT_EQ(!plans[i].empty(), won);
      std::string text, id;
      if (won && honours) {
        Gateway().Request("GET", "/" + bucket + "/" + prefix + "/Brevanto.dat", "", &text);
        EXPECT_TRUE(ParseStoreMarker(text, &id) && id == plans[i]);
      }
    }
  }
}

// A folder above whose marker is no marker, or lost with copies kept, is never taken for a plain
// folder: the plan is refused and writes nothing. Two folders up too.
TEST(ObjectDevice, NothingNestsBelowAFolderAboveThatMayHoldAStore) {
  REQUIRE_GATEWAY();
  const std::string bucket = NewBucket();
  bvtest::TempDir data;
  bvtest::ScopedEnv dataDir("BREVANTO_DATA_DIR", data.Native());
  using V = StoreVerdict;
  const struct {
    const char* marker;  // null: none
    const char* copy;
    StoreVerdict verdict;
    int before = 0;  // the user's own files sorting before the copies in their tree
  } rows[] = {{"garbage, not a marker", "Latest/C/x.txt", V::kNotAMarkerAbove},
              {"", "Latest/C/x.txt", V::kNotAMarkerAbove},
              {"[Store]\nId=zz\n", "", V::kNotAMarkerAbove},
              {nullptr, "Latest/C/x.txt", V::kCopiesAbove},
              {nullptr, "Revision/C/x(0001).txt", V::kCopiesAbove},
              {nullptr, "Latest/C/x.txt", V::kCopiesAbove, 1030},  // past a page
              {nullptr, "notes.txt", V::kOwn},                     // a plain folder above
              {nullptr, "Latest/build.zip", V::kOwn}};             // a folder only called so
  int n = 0;
  for (const auto& [marker, copy, verdict, before] : rows) {
    const std::string outer = "out" + std::to_string(++n) + "/";
    SCOPED_TRACE(outer);
    if (marker != nullptr) PutKey("/" + bucket + "/" + outer + "Brevanto.dat", marker);
    for (int i = 0; i < before; ++i)  // the user's own files
      PutKey("/" + bucket + "/" + outer + "Latest/A" + std::to_string(1000 + i) + ".zip", "p");
    if (*copy) PutKey("/" + bucket + "/" + outer + UriEncode(copy, true), "x");
    data.Write("PLAN/" + std::to_string(n) + "/Plan.ini", "");
    PlanOwner owner(data.SystemOf("PLAN/" + std::to_string(n)) + "\\");
    auto dest = PreparedOn(StoreSettings(bucket, outer + "in/child"), false, &owner);
    StoreRecord record;
    EXPECT_EQ(LookAtRemoteStore(owner.GetPlanFolder(), *dest, &record), verdict);
    EXPECT_EQ(Gateway().Keys(bucket, outer + "in/").size(), verdict == V::kOwn ? 1u : 0u);
  }
}
