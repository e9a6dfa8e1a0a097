#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/EngineEvents.h"
#include "common/Settings.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "plans/PlanFile.h"
#include "plans/RuleFile.h"
#include "platform/FaultSeam.h"
#include "support/EventCollector.h"
#include "support/ScratchEnv.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using bvtest::EventCollector;
using bvtest::IdlePlan;
using bvtest::ReadNative;
using bvtest::ScratchEnv;
using bvtest::WriteNative;

namespace {

class PlanTest : public ::testing::Test {
 protected:
  std::unique_ptr<IdlePlan> Make(const PlanSettings& s) {
    auto plan = std::make_unique<IdlePlan>(&list_);
    if (!plan->ApplySettings(s, kApplyCreate)) return nullptr;
    return plan;
  }
  std::string PlanFolderNative(uint32_t id) {
    return env_.Data().NativeOf("PLAN/" + std::to_string(id));
  }

  ScratchEnv env_;
  PlanList list_;
};

// A plan made, changed and reloaded as the wizard and the start-up do it.
TEST_F(PlanTest, ApplySettingsCreatesReappliesLoadsAndRefuses) {
  PlanSettings s = ScratchEnv::Settings("Docs", "Store");
  s.id = 5;
  s.lastTime = 77;
  s.missingTime = 88;
  s.versionNumber = 0;
  auto plan = Make(s);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->LastTime(), 77);
  EXPECT_EQ(plan->MissingTime(), 88);
  EXPECT_EQ(plan->VersionNumber(), 1);
  EXPECT_FALSE(plan->InitDone());
  for (const char* file : {"/Devices.ini", "/Logging.dat"})
    EXPECT_TRUE(fs::exists(PlanFolderNative(5) + file)) << file;
  EXPECT_TRUE(fs::exists(env_.Store().NativeOf("Store/Brevanto.dat")));
  ASSERT_TRUE(plan->Engine());
  EXPECT_TRUE(plan->Database()->IsOpen());
  // The built-in exclusions came with it: C:\proc stays out even when the
  // whole drive is included.
  {
    std::lock_guard<std::recursive_mutex> g(plan->Lock());
    plan->Rules()->AddGroup(kRuleInclude, "group1", "All")->AddItem("C:\\", "drive");
  }
  EXPECT_TRUE(plan->MatchPath(env_.Src().SystemOf("a.txt"), false));
  EXPECT_FALSE(plan->MatchPath("C:\\proc\\1\\status", false));
  EXPECT_TRUE(plan->MatchPath("C:\\proc\\1\\status", true));

  // Reapplied: identity and times stay, the store moves.
  PlanSettings changed = ScratchEnv::Settings("Docs moved", "Moved", 5);
  changed.id = 99;
  changed.lastTime = 900;
  changed.initialScanDone = 1;
  ASSERT_TRUE(plan->ApplySettings(changed, kApplyReapply));
  EXPECT_EQ(plan->Id(), 5u);
  EXPECT_EQ(plan->LastTime(), 77);
  EXPECT_EQ(plan->Name() + "|" + plan->DestinationRoot(), "Docs moved|E:\\Moved");
  EXPECT_EQ(plan->ScheduleUnit(), 5);
  EXPECT_TRUE(plan->InitDone());
  EXPECT_TRUE(fs::exists(env_.Store().NativeOf("Moved/Brevanto.dat")));
  EXPECT_NE(ReadNative(PlanFolderNative(5) + "/Devices.ini").find("Moved"), std::string::npos);

  // Loaded without device settings: the store path configures the destination.
  s = ScratchEnv::Settings("Kept", "Kept");
  s.id = 12;
  s.missedScheduledRun = 1;
  IdlePlan loaded(&list_);
  ASSERT_TRUE(loaded.ApplySettings(s, kApplyLoad));
  EXPECT_EQ(loaded.DestinationRoot(), "E:\\Kept");
  EXPECT_TRUE(loaded.MissScheduledBackup());
  EXPECT_FALSE(fs::exists(env_.Store().NativeOf("Kept"))) << "a loaded store is not made anew";

  // Refused: a bad unit, an unknown storage type, a journal that cannot open.
  for (int32_t unit : {9, 0}) {
    s = ScratchEnv::Settings("Bad", "Store", unit);
    s.id = 1;
    EXPECT_FALSE(Make(s)) << unit;
  }
  s = ScratchEnv::Settings("Docs", "Store");
  s.id = 2;
  s.storageType = 9;
  IdlePlan unknown(&list_);
  EXPECT_FALSE(unknown.ApplySettings(s, kApplyCreate));
  EXPECT_EQ(unknown.Destination(), nullptr);
  s.id = 3;
  s.storageType = kStorageLocal;
  fs::create_directories(PlanFolderNative(3) + "/Logging.dat/x");
  EventCollector events;
  IdlePlan noJournal(&list_);
  EXPECT_FALSE(noJournal.ApplySettings(s, kApplyLoad));
  ASSERT_EQ(events.CountOf(kEvDatabaseOpenFailed), 1u);
  EXPECT_EQ(events.Events().back().text1, GetPlanFolder(3) + "Logging.dat");
}

TEST_F(PlanTest, NameVersionsModeAndEnablingFollowTheirRules) {
  WriteNative(env_.Data().NativeOf("Global.ini"), "[APP]\nMaxVersionCount=6\n");
  ResetSettingsCache();
  IdlePlan plan(&list_);
  plan.SetId(4);
  EventCollector events;
  EXPECT_TRUE(plan.SetName("  \tWeekly docs \r\n"));
  EXPECT_EQ(plan.Name(), "Weekly docs");
  EXPECT_FALSE(plan.SetName("   "));  // refused silently
  std::string wide;
  for (int i = 0; i < 255; ++i) wide += "\xC3\xA9";  // 255 characters, 510 bytes
  EXPECT_TRUE(plan.SetName(wide));
  EXPECT_FALSE(plan.SetName(std::string(256, 'n')));
  EXPECT_EQ(plan.Name(), wide);
  ASSERT_EQ(events.Events().size(), 1u);
  EXPECT_EQ(events.Events()[0].code, kEvPlanNameTooLong);
  EXPECT_EQ(events.Events()[0].text1, std::string(256, 'n'));

  for (const auto& [set, want] : {std::pair{99, 6}, {-1, 1}, {4, 4}}) {
    plan.SetVersionNumber(set);
    EXPECT_EQ(plan.VersionNumber(), want) << set;
  }

  // Mode and enabling raise events only on a change.
  events.Clear();
  plan.SetMode(kModeWorking);
  plan.SetMode(kModeWorking);
  plan.SetMode(kModeIdle);
  plan.SetEnabled(true, 3);
  plan.SetEnabled(true, 3);
  plan.SetEnabled(false, 4);
  const std::pair<int32_t, int32_t> want[] = {{kEvPlanModeChanged, kModeWorking},
                                              {kEvPlanModeChanged, kModeIdle},
                                              {kEvPlanEnabled, 3},
                                              {kEvPlanDisabled, 4}};
  const auto all = events.Events();
  ASSERT_EQ(all.size(), std::size(want));
  for (size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(std::pair(all[i].code, all[i].value), want[i]) << i;
    EXPECT_EQ(all[i].planId, 4u) << i;
  }
}

TEST_F(PlanTest, SaveNoteAndBlock) {
  PlanSettings s = ScratchEnv::Settings("Docs", "Store", 4);
  s.id = 7;
  auto plan = Make(s);
  ASSERT_TRUE(plan);
  plan->SetMode(kModeWorking);
  plan->SetInitDone(true);
  plan->SetMissScheduledBackup(true);
  ASSERT_TRUE(plan->Save());
  const std::string folder = PlanFolderNative(7);
  PlanSettings back;
  ASSERT_TRUE(ReadPlanFile(GetPlanFolder(7) + "Plan.ini", &back));
  EXPECT_EQ(back.name + "|" + back.storePath, "Docs|E:\\Store");
  EXPECT_EQ(back.scheduleUnit, 4);
  EXPECT_EQ(back.missedScheduledRun, 1);
  const std::string text = ReadNative(folder + "/Plan.ini");
  EXPECT_EQ(text.rfind("Mode=1\n", 0), 0u) << "a running plan is stored idle";
  EXPECT_EQ(text.find("InitDone"), std::string::npos);
  EXPECT_TRUE(LoadRuleSet(GetPlanFolder(7) + "IncExc.ini"));
  // Missing-since time is saved at once.
  plan->SetMissingTime(4242);
  EXPECT_NE(ReadNative(folder + "/Plan.ini").find("MissingTime=4242\n"), std::string::npos);

  // A noted file is pending in the journal; noting again re-arms that record.
  const std::string file = env_.Src().SystemOf("report.doc");
  env_.Src().Write("report.doc", "hello");
  plan->NoteChangedFile(file);
  LogRecord record;
  ASSERT_TRUE(ScratchEnv::RecordOf(plan.get(), file, &record));
  EXPECT_EQ(record.PathUtf8(), file);
  EXPECT_EQ(record.state, kLogPending);
  const size_t count = plan->Database()->IndexCount();
  plan->NoteChangedFile(file);
  EXPECT_EQ(plan->Database()->IndexCount(), count);

  // A plan file that cannot be replaced fails the save.
  fs::remove(folder + "/Plan.ini");
  fs::create_directory(folder + "/Plan.ini");
  EXPECT_FALSE(plan->Save());

  // Blocked while disabled, with 10 MiB free or less, on battery (unless
  // that check is off), and while its drive is missing.
  env_.SetFreeBytes(1ull << 30);
  plan->SetEnabled(false, 0);
  EXPECT_TRUE(plan->IsBlocked()) << "disabled";
  plan->SetEnabled(true, 0);
  EXPECT_FALSE(plan->IsBlocked());
  env_.SetFreeBytes(kMinFreeBytes);
  EXPECT_TRUE(plan->IsBlocked()) << "exactly 10 MiB free";
  env_.SetFreeBytes(kMinFreeBytes + 1);
  EXPECT_FALSE(plan->IsBlocked());
  env_.SetBattery(true);
  SetBatterySetting(true);
  EXPECT_TRUE(plan->IsBlocked()) << "on battery";
  SetBatterySetting(false);
  EXPECT_FALSE(plan->IsBlocked()) << "battery check switched off";
  PlanSettings f = ScratchEnv::Settings("Far", "Store");
  f.id = 9;
  f.storePath = "Q:\\Store";
  auto far = Make(f);
  ASSERT_TRUE(far);
  far->SetEnabled(true, 0);
  far->Destination()->Refresh();
  EXPECT_TRUE(far->IsBlocked()) << "no drive Q:";
}

}  // namespace

namespace {

// Native paths below a folder whose names start with prefix.
size_t CountNamed(const std::string& folder, const std::string& prefix) {
  size_t n = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    n += it->path().filename().string().rfind(prefix, 0) == 0;
  }
  return n;
}

bool WaitUntil(const std::function<bool()>& done, int seconds = 120) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace

// A plan changed as the wizard does it (stop, apply, start), its storage
// type included, while its thread copies a large file to a slow disk: the
// change never waits for the copy or for the journal it holds, the replaced
// destination is never used after it is gone (this test runs under ASan and
// TSan too), and the interrupted file reaches the new store afterwards.
TEST_F(PlanTest, ChangingAPlanDuringALongCopyNeverWaitsForIt) {
  struct SlowDisk {
    SlowDisk() { plat::fault::SetCopyDelay(250); }  // before every 4 MiB: 16 MiB take 1 s
    ~SlowDisk() { plat::fault::SetCopyDelay(0); }
  } slow;
  env_.Src().Write("big.bin", std::string(16u << 20, 'b'));
  const std::string file = env_.Src().SystemOf("big.bin");
  auto plan = env_.MakePlan(21, 1, 3, {env_.Src().System()}, &list_, true);
  ASSERT_TRUE(plan);
  plan->NoteChangedFile(file);
  plan->SetEnabled(false, 0);  // made enabled without a thread; start it properly
  plan->SetEnabled(true, 0);
  ASSERT_NE(plan->Thread(), nullptr);
  const std::string oldStore = env_.Store().NativeOf("store21");
  ASSERT_TRUE(WaitUntil([&] { return CountNamed(oldStore, ".~bvtmp-") == 1; }));

  // The journal's lock is held by the walk all through the copy.
  auto change = std::async(std::launch::async, [&] {
    plan->SetStopping(true);
    plan->SetEnabled(false, 0);
    PlanSettings s = plan->Settings();
    s.storageType = kStorageNetwork;
    s.storePath = ScratchEnv::OnE("moved");
    const bool applied = plan->ApplySettings(s, kApplyReapply);
    plan->SetStopping(false);
    plan->SetEnabled(true, 0);
    return applied;
  });
  ASSERT_EQ(change.wait_for(std::chrono::seconds(60)), std::future_status::ready)
      << "the change waits for the copy";
  EXPECT_TRUE(change.get());
  EXPECT_EQ(plan->StorageType(), kStorageNetwork);
  EXPECT_TRUE(WaitUntil([&] {
    return fs::file_size(env_.Src().NativeOf("big.bin")) ==
               (fs::exists(env_.Latest("moved", "big.bin"))
                    ? fs::file_size(env_.Latest("moved", "big.bin"))
                    : 0) &&
           CountNamed(env_.Store().NativeOf("moved"), ".~bvtmp-") == 0;
  }));
  EXPECT_EQ(CountNamed(oldStore, ".~bvtmp-"), 0u);
  EXPECT_FALSE(fs::exists(env_.Latest("store21", "big.bin")));

  // A walk that holds the journal (a copy that does not stop) does not hold
  // up a change either.
  plat::fault::SetCopyDelay(0);
  std::promise<void> held, release;
  std::thread walk([&] {
    std::lock_guard<std::recursive_mutex> g(plan->Database()->Mutex());
    held.set_value();
    release.get_future().wait();
  });
  held.get_future().wait();
  auto again = std::async(std::launch::async, [&] {
    PlanSettings s = plan->Settings();
    s.storageType = kStorageLocal;
    return plan->ApplySettings(s, kApplyReapply);
  });
  const bool returned = again.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  release.set_value();
  walk.join();
  EXPECT_TRUE(returned) << "the change waits for the journal";
  EXPECT_TRUE(again.get());

  // Many small copies while the storage type flips back and forth: each
  // copy's destination outlives the change that replaces it.
  for (int i = 0; i < 50; ++i) {
    const std::string name = "small" + std::to_string(i) + ".txt";
    env_.Src().Write(name, name);
    plan->NoteChangedFile(env_.Src().SystemOf(name));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the files settle
  for (int round = 0; round < 20; ++round) {
    PlanSettings s = plan->Settings();
    s.storageType = round % 2 ? kStorageLocal : kStorageNetwork;
    ASSERT_TRUE(plan->ApplySettings(s, kApplyReapply));
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}
