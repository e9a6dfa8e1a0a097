// The object store's marker against a real S3 gateway: whose store a prefix
// holds (plan and installation), and two plans placing theirs at once.
#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "common/Settings.h"
#include "destinations/ObjectDevice.h"
#include "destinations/StoreBinding.h"
#include "destinations/StoreMarker.h"
#include "object_world.h"
#include "support/HostileS3.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

// The marker below the prefix names whose store it is and which installation
// (data folder) fills it: the first plan there places it; any other plan,
// or any plan of another installation whatever its record says, is refused
// before it writes, whatever form the marker has (one naming no
// installation, as earlier versions wrote, proves no ownership); copies
// without a marker are refused but to the plan that recorded them, which
// puts its marker back; a place inside another store is refused; a store
// emptied behind its plan's back is filled anew; an object under the
// marker's name that is no marker is never replaced. Each look is a fresh
// destination, as at a start of the program.
TEST(ObjectDevice, StoreMarkerTellsWhoseStoreItIs) {
  REQUIRE_GATEWAY();
  const ObjectStoreSettings s = StoreSettings(NewBucket());
  bvtest::TempDir here, there, mine, other, far, nested;
  bvtest::ScopedEnv data("BREVANTO_DATA_DIR", here.Native());
  auto look = [&](bvtest::TempDir* plan, StoreVerdict verdict, const char* prefix = "store") {
    PlanOwner owner(plan->System() + "\\");
    ObjectStoreSettings at = s;
    at.prefix = prefix;
    auto dest = ObjectDestination(at, &owner);
    EXPECT_TRUE(dest->Prepare(false));
    StoreRecord record;
    ReadStoreRecord(owner.GetPlanFolder(), &record);
    EXPECT_EQ(LookAtRemoteStore(owner.GetPlanFolder(), *dest, &record), verdict)
        << plan->System() << " " << prefix;
    ReadStoreRecord(owner.GetPlanFolder(), &record);
    return record.id;
  };
  const std::string url = "/" + s.bucket + "/store/", markerUrl = url + "Brevanto.dat";
  auto marker = [&] {
    std::string text, id, installation;
    Gateway().Request("GET", markerUrl, "", &text);
    return ParseStoreMarker(text, &id, nullptr, &installation) ? id + "@" + installation : "(none)";
  };
  const std::string first = look(&mine, StoreVerdict::kOwn);
  const std::string own = first + "@" + InstallationId();
  EXPECT_EQ(marker(), own);
  EXPECT_EQ(look(&mine, StoreVerdict::kOwn), first);
  ASSERT_EQ(Gateway().Request("PUT", url + "Latest/a.txt", "a"), 200);
  // Another plan writes nothing there, not even a record; neither does a
  // plan of another installation, nor one inside this store's folder, even
  // inside its trees.
  const auto othersRefused = [&](StoreVerdict installations) {
    EXPECT_EQ(look(&other, StoreVerdict::kForeign), "");
    for (const char* inside : {"store/inner", "store/Latest/x"})
      EXPECT_EQ(look(&nested, StoreVerdict::kInsideStore, inside), "");
    bvtest::ScopedEnv elsewhere("BREVANTO_DATA_DIR", there.Native());
    EXPECT_EQ(look(&far, installations), "");
  };
  othersRefused(StoreVerdict::kOtherInstallation);
  // A marker naming no installation (as earlier versions wrote it, or with
  // an empty line): refused to every plan but the one that recorded it,
  // which names this installation in it from then on.
  for (const std::string& older :
       {StoreMarkerText(first), "[Store]\nId=" + first + "\nInstallation=\n"}) {
    ASSERT_EQ(Gateway().Request("PUT", markerUrl, older), 200);
    othersRefused(StoreVerdict::kForeign);
    EXPECT_NE(marker(), own);
    EXPECT_EQ(look(&mine, StoreVerdict::kOwn), first);
    EXPECT_EQ(marker(), own);
  }
  // Another installation is refused even with a record naming this store
  // (taken over by an earlier version of the program).
  {
    bvtest::ScopedEnv elsewhere("BREVANTO_DATA_DIR", there.Native());
    ASSERT_TRUE(
        WriteStoreRecord(far.System() + "\\", {first, "/store/", kStorageObject, "", "", ""}));
    EXPECT_EQ(look(&far, StoreVerdict::kOtherInstallation), first);
  }
  // Only the marker gone (by hand, a lifecycle rule), the copies kept below
  // "Latest" or "Revision": refused to others, taken back by its plan.
  for (const char* copy : {"", "Revision/a(0001).txt"}) {
    if (*copy) {
      ASSERT_EQ(Gateway().Request("PUT", url + UriEncode(copy, true), "r"), 200);
      ASSERT_EQ(Gateway().Request("DELETE", url + "Latest/a.txt"), 204);
    }
    ASSERT_EQ(Gateway().Request("DELETE", markerUrl), 204);
    EXPECT_EQ(look(&other, StoreVerdict::kUnmarkedCopies), "");
    EXPECT_EQ(marker(), "(none)");
    EXPECT_EQ(look(&mine, StoreVerdict::kOwn), first);
    EXPECT_EQ(marker(), own);
  }
  EXPECT_EQ(Gateway().Request("GET", url + UriEncode("Revision/a(0001).txt", true), "", nullptr),
            200);
  // Emptied behind the plans' back: a new store, filled anew by its plan.
  for (const std::string& key : Gateway().Keys(s.bucket, "store/"))
    ASSERT_EQ(Gateway().Request("DELETE", "/" + s.bucket + "/" + UriEncode(key, true)), 204);
  const std::string second = look(&mine, StoreVerdict::kFresh);
  EXPECT_NE(second, first);
  EXPECT_EQ(marker(), second + "@" + InstallationId());
  EXPECT_EQ(look(&mine, StoreVerdict::kOwn), second);
  // Text under the marker's name that is no marker, or a marker far too long
  // (someone's object, a damaged store): refused, never replaced.
  for (const std::string& junk :
       {std::string("junk"), StoreMarkerText(second) + std::string(1 << 20, '#')}) {
    ASSERT_EQ(Gateway().Request("PUT", markerUrl, junk), 200);
    EXPECT_EQ(look(&mine, StoreVerdict::kNotAMarker), second);
    std::string kept;
    EXPECT_EQ(Gateway().Request("GET", markerUrl, "", &kept), 200);
    EXPECT_TRUE(kept == junk);
  }
  // While the plan runs (one destination; its marker seen stands for a
  // minute, but a run about to send forgets it): the marker replaced by
  // another installation's, spoiled, gone alone or with the whole prefix
  // is noticed at once (a refusal after its pause: 1 s, then 2 s).
  PlanOwner owner(mine.System() + "\\");
  auto running = ObjectDestination(s, &owner);
  ASSERT_TRUE(running->Prepare(false));
  StoreRecord record;
  ReadStoreRecord(owner.GetPlanFolder(), &record);
  ASSERT_EQ(Gateway().Request("PUT", markerUrl, StoreMarkerText(second, {}, InstallationId())),
            200);
  ASSERT_EQ(Gateway().Request("PUT", url + "Latest/a.txt", "a"), 200);
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
      for (const std::string& key : Gateway().Keys(s.bucket, "store/")) {
        if (text == &emptied || key == "store/Brevanto.dat") {
          ASSERT_EQ(Gateway().Request("DELETE", "/" + s.bucket + "/" + UriEncode(key, true)), 204);
        }
      }
    } else if (text != nullptr) {
      ASSERT_EQ(Gateway().Request("PUT", markerUrl, *text), 200);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    dynamic_cast<CObjectDevice&>(*running).ForgetMarker();
    EXPECT_EQ(LookAtRemoteStore(owner.GetPlanFolder(), *running, &record), verdict);
    if (text == &gone) {
      EXPECT_EQ(marker(), second + "@" + InstallationId());
    }
  }
}

// Two plans new to one prefix look at it at the same moment: one places its
// marker, the other is refused at once, on a store that honours the
// condition on the marker's PUT (the gateway) and on one that does not.
TEST(ObjectDevice, TwoPlansStartingTogetherOnOnePrefixOneWins) {
  REQUIRE_GATEWAY();
  bvtest::HostileS3 careless(bvtest::HostileS3::kHonest);
  ASSERT_TRUE(careless.Ok());
  bvtest::TempDir data;
  bvtest::ScopedEnv dataDir("BREVANTO_DATA_DIR", data.Native());
  const std::string bucket = NewBucket();
  int round = 0;
  for (const bool honours : {true, false, true, false}) {
    SCOPED_TRACE(honours);
    const std::string prefix = "race" + std::to_string(++round);
    ObjectStoreSettings s = honours ? StoreSettings(bucket) : careless.Settings(prefix);
    s.prefix = prefix;
    bvtest::TempDir plans[2];
    StoreVerdict verdicts[2];
    std::atomic<int> ready{0};
    std::vector<std::thread> starts;
    for (int i = 0; i < 2; ++i)
      starts.emplace_back([&, i] {
        PlanOwner owner(plans[i].System() + "\\");
        auto dest = ObjectDestination(s, &owner);
        EXPECT_TRUE(dest->Prepare(false));
        StoreRecord record;
        for (++ready; ready < 2;) std::this_thread::yield();
        verdicts[i] = LookAtRemoteStore(owner.GetPlanFolder(), *dest, &record);
      });
    for (auto& start : starts) start.join();
    EXPECT_NE(verdicts[0], verdicts[1]);
    for (int i = 0; i < 2; ++i) {
      StoreRecord record;
      const bool won = verdicts[i] == StoreVerdict::kOwn;
      EXPECT_TRUE(won || verdicts[i] == StoreVerdict::kForeign);
      EXPECT_EQ(ReadStoreRecord(plans[i].System() + "\\", &record), won);
      std::string text, id;
      if (won && honours) {
        Gateway().Request("GET", "/" + bucket + "/" + prefix + "/Brevanto.dat", "", &text);
        EXPECT_TRUE(ParseStoreMarker(text, &id) && id == record.id);
      }
    }
  }
}
