// The live plan: settings, names, saving, blocking, changes during a copy; the default step.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "common/Texts.h"
#include "engine/PlanList.h"
#include "plans/PlanFile.h"
#include "plans/RuleFile.h"
#include "platform/base/FaultSeam.h"
#include "platform/profile/Profile.h"
#include "support/EventCollector.h"
#include "support/ScratchEnv.h"

namespace fs = std::filesystem;
using bvtest::EventCollector;
using bvtest::IdlePlan;
using bvtest::ReadNative;
using bvtest::ScratchEnv;
using bvtest::WriteNative;

namespace {

// A volume table, a data folder and a program folder of the test's own.
class DefaultsTest : public ::testing::Test {
 protected:
  DefaultsTest() {
    SetProgramFolderForTests(program_.System() + "\\");
    ResetSettingsCache();
  }
  ~DefaultsTest() override { SetProgramFolderForTests(""); }
  // One volume section; its root is a fresh folder below the volumes dir.
  std::string Volume(char letter, const char* type, const char* bus, bool system,
                     uint64_t freeBytes, uint64_t totalBytes = 1000000000) {
    std::string root = letter == 'C' ? "/" : volumes_.NativeOf(std::string(1, letter));
    if (letter != 'C') fs::create_directories(root);
    return std::string("[") + letter + "]\nRoot=" + root + "\nType=" + type + "\nBus=" + bus +
           "\nSystem=" + (system ? "1" : "0") + "\nFreeBytes=" + std::to_string(freeBytes) +
           "\nTotalBytes=" + std::to_string(totalBytes) + "\n";
  }
  void UseVolumes(const std::string& ini) {
    bvtest::WriteNative(volumes_.NativeOf("volumes.ini"), ini);
    plat::VolumeTable::Instance().Reload();
    ResetDefaultPlans();
  }
  std::string SystemC() { return Volume('C', "fixed", "none", true, 500); }
  // Destroyed last: caches reset once the variables are back.
  struct Reload {
    ~Reload() {
      plat::VolumeTable::Instance().Reload();
      ResetSettingsCache();
      ResetDefaultPlans();
    }
  } reload_;
  bvtest::TempDir data_, volumes_, program_;
  bvtest::ScopedEnv dataVar_{"BREVANTO_DATA_DIR", data_.Native()};
  bvtest::ScopedEnv volumesVar_{"BREVANTO_VOLUMES", volumes_.NativeOf("volumes.ini")};
};

TEST_F(DefaultsTest, DefaultStepFillsAUniqueFolderOnTheChosenDriveOnce) {
  auto install = [&](uint32_t id, const std::string& storePath, int32_t storageType,
                     const char* fileType) {
    fs::create_directories(data_.NativeOf("PLAN/" + std::to_string(id)));
    PlanSettings s = ScratchEnv::Settings("Installed", "", 4);
    s.id = id;
    s.enabled = 1;
    s.versionNumber = 2;
    s.storePath = storePath;
    s.storageType = storageType;
    ASSERT_TRUE(WritePlanFile(GetPlanFolder(id) + kPlanFileName, s));
    plat::WriteProfileString(GetPlanFolder(id) + "UI.ini", "BackupDestination", "BackupType", "0");
    plat::WriteProfileString(GetPlanFolder(id) + "UI.ini", "FileTypes", fileType, "1");
  };
  UseVolumes(SystemC() + Volume('D', "fixed", "none", false, 100) +
             Volume('F', "removable", "usb", false, 100));
  fs::create_directories(volumes_.NativeOf("D/Brevanto Videos"));
  install(7, "", kStorageLocal, "Videos");
  install(9, "", kStorageLocal, "Music and Sound Files");
  PlanList list;
  const struct {
    uint32_t id;
    const char *name, *storePath;
    int32_t storageType, tab;
  } filled[] = {{7, "My Videos", "D:\\Brevanto Videos 2\\", kStorageLocal, 4},
                {9, "", "F:\\Brevanto Sounds and Music\\", kStorageUsb, 1}};
  for (const auto& f : filled) {
    ASSERT_TRUE(RunDefaultDestinationStep(f.id, list)) << f.id;
    PlanSettings s;
    ASSERT_TRUE(ReadPlanFile(GetPlanFolder(f.id) + kPlanFileName, &s));
    EXPECT_EQ(s.storePath + "|" + std::to_string(s.storageType) + "|" +
                  std::to_string(s.scheduleUnit) + std::to_string(s.versionNumber),
              f.storePath + ("|" + std::to_string(f.storageType)) + "|42");
    const std::string ui = GetPlanFolder(f.id) + "UI.ini";
    EXPECT_EQ(plat::GetProfileString(ui, "BackupDestination", "StoragePath", "") + "\\",
              f.storePath);
    EXPECT_EQ(plat::GetProfileInt(ui, "FileTypes", "Videos", 0), f.id == 7 ? 1 : 0);  // kept
    if (f.id != 7) continue;
    EXPECT_EQ(s.name, f.name);
    EXPECT_EQ(plat::GetProfileString(ui, "WizardPage3Options", "PlanName", ""), f.name);
    const std::string before = bvtest::ReadNative(data_.NativeOf("PLAN/7/Plan.ini"));
    EXPECT_FALSE(RunDefaultDestinationStep(7, list)) << "it has a destination now";
    EXPECT_EQ(bvtest::ReadNative(data_.NativeOf("PLAN/7/Plan.ini")), before);
  }
  install(10, "E:\\Existing\\", kStorageLocal, "Videos");
  install(11, "", kStorageFtp, "Videos");
  fs::create_directories(data_.NativeOf("PLAN/13"));
  bvtest::WriteNative(data_.NativeOf("PLAN/13/Plan.ini"), std::string("\0\xFF junk", 7));
  for (uint32_t id : {10u, 11u, 12u, 13u})  // 12: no plan folder; 13: unreadable
    EXPECT_FALSE(RunDefaultDestinationStep(id, list)) << id;
  UseVolumes(Volume('C', "cdrom", "none", true, 0));
  install(14, "", kStorageLocal, "Videos");
  EXPECT_FALSE(RunDefaultDestinationStep(14, list));
  PlanSettings s;
  ASSERT_TRUE(ReadPlanFile(GetPlanFolder(14) + kPlanFileName, &s));
  EXPECT_TRUE(s.storePath.empty());
}

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

TEST_F(PlanTest, ApplySettingsCreatesReappliesLoadsAndRefuses) {
  PlanSettings s = ScratchEnv::Settings("Docs", "Store");
  s.id = 5;
  s.lastTime = 77;
  s.missingTime = 88;
  s.versionNumber = 0;
  // The folders made in a data folder others may enter are private.
  fs::permissions(env_.Data().Native(), fs::perms(0755));
  auto plan = Make(s);
  ASSERT_TRUE(plan);
  for (const std::string& folder : {env_.Data().NativeOf("PLAN"), PlanFolderNative(5)})
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all) << folder;
  EXPECT_EQ(std::vector<int64_t>({plan->LastTime(), plan->MissingTime(), plan->VersionNumber()}),
            std::vector<int64_t>({77, 88, 1}));
  EXPECT_FALSE(plan->InitDone());
  for (const std::string& file :
       {PlanFolderNative(5) + "/Devices.ini", PlanFolderNative(5) + "/Logging.dat",
        env_.Store().NativeOf("Store/Brevanto.dat")})
    EXPECT_TRUE(fs::exists(file)) << file;
  ASSERT_TRUE(plan->Engine() && plan->Database()->IsOpen());
  // The built-in exclusions came with it: C:\proc stays out of a whole drive.
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
  EXPECT_EQ(std::vector<int64_t>({plan->Id(), plan->LastTime(), plan->ScheduleUnit()}),
            std::vector<int64_t>({5, 77, 5}));
  EXPECT_EQ(plan->Name() + "|" + plan->DestinationRoot(), "Docs moved|E:\\Moved");
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
  // Refused with an event: a journal that cannot open.
  s.id = 3;
  fs::create_directories(PlanFolderNative(3) + "/Logging.dat/x");
  EventCollector events;
  IdlePlan noJournal(&list_);
  EXPECT_FALSE(noJournal.ApplySettings(s, kApplyLoad));
  ASSERT_EQ(events.CountOf(kEvDatabaseOpenFailed), 1u);
  EXPECT_EQ(events.Events().back().text1, GetPlanFolder(3) + "Logging.dat");
}

// Names and versions in their bounds (a long name told), saving, blocking.
TEST_F(PlanTest, NameVersionsSaveAndBlock) {
  WriteNative(env_.Data().NativeOf("Global.ini"), "[APP]\nMaxVersionCount=6\n");
  ResetSettingsCache();
  PlanSettings s = ScratchEnv::Settings("Docs", "Store", 4);
  s.id = 7;
  auto plan = Make(s);
  ASSERT_TRUE(plan);
  EventCollector events;
  std::string wide;
  for (int i = 0; i < 255; ++i) wide += "\xC3\xA9";  // 255 characters, 510 bytes
  EXPECT_TRUE(plan->SetName(wide));
  EXPECT_FALSE(plan->SetName(std::string(256, 'n')) || plan->SetName("   "));
  EXPECT_EQ(plan->Name(), wide);
  ASSERT_EQ(events.Events().size(), 1u);
  EXPECT_EQ(events.Events()[0].code, kEvPlanNameTooLong);
  EXPECT_EQ(events.Events()[0].text1, std::string(256, 'n'));
  EXPECT_TRUE(plan->SetName("  \tDocs \r\n"));
  for (const auto& [set, want] : {std::pair{99, 6}, {-1, 1}, {4, 4}}) {
    plan->SetVersionNumber(set);
    EXPECT_EQ(plan->VersionNumber(), want) << set;
  }
  plan->SetMode(kModeWorking);
  plan->SetInitDone(true);
  plan->SetMissScheduledBackup(true);
  ASSERT_TRUE(plan->Save());
  const std::string folder = PlanFolderNative(7);
  PlanSettings back;
  ASSERT_TRUE(ReadPlanFile(GetPlanFolder(7) + "Plan.ini", &back));
  EXPECT_EQ(back.name + "|" + back.storePath + "|" + std::to_string(back.scheduleUnit) +
                std::to_string(back.missedScheduledRun),
            "Docs|E:\\Store|41");
  EXPECT_EQ(ReadNative(folder + "/Plan.ini").rfind("Mode=1\n", 0), 0u) << "stored idle";
  EXPECT_TRUE(LoadRuleSet(GetPlanFolder(7) + "IncExc.ini"));
  // Missing-since time is saved at once.
  plan->SetMissingTime(4242);
  EXPECT_NE(ReadNative(folder + "/Plan.ini").find("MissingTime=4242\n"), std::string::npos);
  // A plan file that cannot be replaced fails the save.
  fs::remove(folder + "/Plan.ini");
  fs::create_directory(folder + "/Plan.ini");
  EXPECT_FALSE(plan->Save());
  // Blocked while disabled, with 10 MiB free or less, on battery (unless not checked).
  env_.SetFreeBytes(1ull << 30);
  const std::pair<std::function<void()>, bool> steps[] = {
      {[&] { plan->SetEnabled(false, 0); }, true},
      {[&] { plan->SetEnabled(true, 0); }, false},
      {[&] { env_.SetFreeBytes(kMinFreeBytes); }, true},  // exactly 10 MiB free
      {[&] { env_.SetFreeBytes(kMinFreeBytes + 1); }, false},
      {[&] { env_.SetBattery(true), SetBatterySetting(true); }, true},
      {[&] { SetBatterySetting(false); }, false}};  // the battery check switched off
  for (size_t i = 0; i < std::size(steps); ++i) {
    steps[i].first();
    EXPECT_EQ(plan->IsBlocked(), steps[i].second) << "step " << i;
  }
}

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

// A change during a slow copy never waits for it; the interrupted file reaches the new store.
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
    std::error_code missing;  // the size is then -1
    return fs::file_size(env_.Latest("moved", "big.bin"), missing) == 16u << 20 &&
           CountNamed(env_.Store().NativeOf("moved"), ".~bvtmp-") == 0;
  }));
  EXPECT_EQ(CountNamed(oldStore, ".~bvtmp-"), 0u);
  EXPECT_FALSE(fs::exists(env_.Latest("store21", "big.bin")));
  // A walk that holds the journal (a copy that does not stop) does not hold it up either.
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
}
