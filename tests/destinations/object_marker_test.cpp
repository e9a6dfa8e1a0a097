// The object store's marker against a real S3 gateway: whose store a prefix
// holds (plan and installation), and two plans placing theirs at once.
#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "common/Settings.h"
#include "destinations/StoreBinding.h"
#include "destinations/StoreMarker.h"
#include "object_world.h"
#include "support/HostileS3.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

// The marker below the prefix names whose store it is and which installation
// (data folder) fills it: the first plan there places it; another plan, or
// any plan of another installation whatever its record says, is refused
// before it writes; a store emptied behind its plan's back is filled anew;
// an object under the marker's name that is no marker is never replaced.
// Each look is a fresh destination, as at a start of the program.
TEST(ObjectDevice, StoreMarkerTellsWhoseStoreItIs) {
  REQUIRE_GATEWAY();
  const ObjectStoreSettings s = StoreSettings(NewBucket());
  bvtest::TempDir here, there, mine, other, older, far;
  bvtest::ScopedEnv data("BREVANTO_DATA_DIR", here.Native());
  struct Look {
    bvtest::TempDir* plan;
    bool filledBefore;
    StoreVerdict verdict;
  };
  auto look = [&](const Look& row) {
    PlanOwner owner(row.plan->System() + "\\");
    auto dest = ObjectDestination(s, &owner);
    EXPECT_TRUE(dest->Prepare(false));
    StoreRecord record;
    ReadStoreRecord(owner.GetPlanFolder(), &record);
    EXPECT_EQ(LookAtRemoteStore(owner.GetPlanFolder(), *dest, row.filledBefore, &record),
              row.verdict)
        << row.plan->System();
    ReadStoreRecord(owner.GetPlanFolder(), &record);
    return record.id;
  };
  const std::string markerUrl = "/" + s.bucket + "/store/Brevanto.dat";
  auto marker = [&] {
    std::string text, id;
    Gateway().Request("GET", markerUrl, "", &text);
    return ParseStoreMarker(text, &id) ? id : "(none)";
  };
  const std::string first = look({&mine, false, StoreVerdict::kOwn});
  EXPECT_EQ(marker(), first);
  EXPECT_EQ(look({&mine, true, StoreVerdict::kOwn}), first);
  ASSERT_EQ(Gateway().Request("PUT", "/" + s.bucket + "/store/Latest/a.txt", "a"), 200);
  // Another plan writes nothing there, not even a record: new to the place,
  // or one that filled a store before and lost its record.
  EXPECT_EQ(look({&other, false, StoreVerdict::kForeign}), "");
  EXPECT_EQ(look({&older, true, StoreVerdict::kForeign}), "");
  // Another installation: refused too, even with a record naming this store
  // (taken over by an earlier version of the program).
  {
    bvtest::ScopedEnv elsewhere("BREVANTO_DATA_DIR", there.Native());
    EXPECT_EQ(look({&far, true, StoreVerdict::kOtherInstallation}), "");
    ASSERT_TRUE(
        WriteStoreRecord(far.System() + "\\", {first, "/store/", kStorageObject, "", "", ""}));
    EXPECT_EQ(look({&far, true, StoreVerdict::kOtherInstallation}), first);
  }
  EXPECT_EQ(marker(), first);
  EXPECT_EQ(Gateway().Request("GET", "/" + s.bucket + "/store/Latest/a.txt", "", nullptr), 200);
  // A marker from before installations were named: a plan that filled this
  // place before its store was recorded keeps it.
  const std::string legacy = NewStoreId();
  ASSERT_EQ(Gateway().Request("PUT", markerUrl, StoreMarkerText(legacy)), 200);
  EXPECT_EQ(look({&older, true, StoreVerdict::kOwn}), legacy);
  // ... and names this installation in it from then on: another installation
  // that took the same store over before is refused now.
  std::string text, id, installation;
  Gateway().Request("GET", markerUrl, "", &text);
  EXPECT_TRUE(ParseStoreMarker(text, &id, nullptr, &installation) && id == legacy);
  EXPECT_EQ(installation, InstallationId());
  {
    bvtest::ScopedEnv elsewhere("BREVANTO_DATA_DIR", there.Native());
    ASSERT_TRUE(
        WriteStoreRecord(far.System() + "\\", {legacy, "/store/", kStorageObject, "", "", ""}));
    EXPECT_EQ(look({&far, true, StoreVerdict::kOtherInstallation}), legacy);
  }
  // Emptied behind the plans' back: a new store, filled anew by its plan.
  for (const std::string& key : Gateway().Keys(s.bucket, "store/"))
    ASSERT_EQ(Gateway().Request("DELETE", "/" + s.bucket + "/" + UriEncode(key, true)), 204);
  const std::string second = look({&older, true, StoreVerdict::kFresh});
  EXPECT_NE(second, legacy);
  EXPECT_EQ(marker(), second);
  EXPECT_EQ(look({&older, true, StoreVerdict::kOwn}), second);
  EXPECT_EQ(look({&mine, true, StoreVerdict::kForeign}), first);
  // Text under the marker's name that is no marker, or a marker far too long
  // (someone's object, a damaged store): refused, never replaced.
  for (const std::string& junk :
       {std::string("junk"), StoreMarkerText(second) + std::string(1 << 20, '#')}) {
    ASSERT_EQ(Gateway().Request("PUT", markerUrl, junk), 200);
    EXPECT_EQ(look({&older, true, StoreVerdict::kNotAMarker}), second);
    std::string kept;
    EXPECT_EQ(Gateway().Request("GET", markerUrl, "", &kept), 200);
    EXPECT_TRUE(kept == junk);
  }
  // While the plan runs (one destination, its marker looked at again every
  // StoreMarkerLookTime seconds): the marker spoiled, replaced by another
  // installation's, or gone with the whole prefix is noticed.
  ASSERT_TRUE(WriteInternalString("General", "StoreMarkerLookTime", "1"));
  PlanOwner owner(older.System() + "\\");
  auto running = ObjectDestination(s, &owner);
  ASSERT_TRUE(running->Prepare(false));
  StoreRecord record;
  ReadStoreRecord(owner.GetPlanFolder(), &record);
  ASSERT_EQ(Gateway().Request("PUT", markerUrl, StoreMarkerText(second)), 200);
  const std::string foreign = StoreMarkerText(second, {}, NewStoreId());
  const std::string spoiled = "junk", emptied = "";
  for (const auto& [text, verdict] : std::vector<std::pair<const std::string*, StoreVerdict>>{
           {nullptr, StoreVerdict::kOwn},
           {&spoiled, StoreVerdict::kNotAMarker},
           {&foreign, StoreVerdict::kOtherInstallation},
           {&emptied, StoreVerdict::kFresh}}) {
    if (text == &emptied) {
      for (const std::string& key : Gateway().Keys(s.bucket, "store/"))
        ASSERT_EQ(Gateway().Request("DELETE", "/" + s.bucket + "/" + UriEncode(key, true)), 204);
    } else if (text != nullptr) {
      ASSERT_EQ(Gateway().Request("PUT", markerUrl, *text), 200);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(LookAtRemoteStore(owner.GetPlanFolder(), *running, true, &record), verdict);
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
        verdicts[i] = LookAtRemoteStore(owner.GetPlanFolder(), *dest, false, &record);
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
