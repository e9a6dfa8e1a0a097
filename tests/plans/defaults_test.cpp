// Default plans: the built-in table, "OEM.ini" overrides, the choice of a
// drive, and the step that gives an installed plan a destination.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "common/PlanSettings.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "engine/PlanList.h"
#include "plans/DefaultPlans.h"
#include "plans/PlanFile.h"
#include "plans/PlanSources.h"
#include "platform/Profile.h"
#include "platform/Volumes.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

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

  // Destroyed last: the caches are reset once the variables are back.
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

// Which drive a default plan gets: the kinds in the row's order (external,
// removable, network, internal without the system, then the system disk),
// within a kind the most free space, then the first letter.
TEST_F(DefaultsTest, DriveChoiceFollowsKindOrderThenFreeSpaceThenLetter) {
  struct Case {
    const char* what;
    std::string volumes;
    int32_t planType;
    int32_t kind;  // -1: no default at all
    char letter;
    uint64_t freeBytes = 0;  // checked when not 0
  };
  const Case cases[] = {
      {"internal disk without the system beats C:",
       SystemC() + Volume('D', "fixed", "none", false, 100), kPlanVideos, 3, 'D'},
      {"only the system disk", SystemC(), kPlanVideos, 3, 'C', 500},
      {"external disks by free space",
       SystemC() + Volume('D', "fixed", "none", false, 900) +
           Volume('F', "fixed", "usb", false, 100) + Volume('G', "fixed", "1394", false, 200),
       kPlanPicturesAndPhotos, 0, 'G'},
      {"equal free space: first letter",
       SystemC() + Volume('F', "fixed", "usb", false, 300) +
           Volume('G', "fixed", "usb", false, 300),
       kPlanPicturesAndPhotos, 0, 'F'},
      {"empty card reader is no removable disk; network beats internal",
       SystemC() + Volume('D', "removable", "usb", false, 0, 0) +
           Volume('E', "fixed", "none", false, 50) + Volume('N', "network", "none", false, 10),
       kPlanSoundsAndMusic, 2, 'N'},
      {"removable disk",
       SystemC() + Volume('D', "removable", "usb", false, 70) +
           Volume('N', "network", "none", false, 10),
       kPlanSoundsAndMusic, 1, 'D'},
      {"videos skip removable disks",
       SystemC() + Volume('D', "removable", "usb", false, 70) +
           Volume('N', "network", "none", false, 10),
       kPlanVideos, 2, 'N'},
      {"only a disc drive", Volume('C', "cdrom", "none", true, 0), kPlanVideos, -1, 0},
  };
  EXPECT_FALSE(GetDefaultForType(9, nullptr, nullptr, nullptr));
  EXPECT_FALSE(GetDefaultForType(-1, nullptr, nullptr, nullptr));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UseVolumes(c.volumes);
    DefaultDrive d;
    int32_t kind = -1;
    ASSERT_EQ(GetDefaultForType(c.planType, nullptr, &kind, &d), c.kind >= 0);
    if (c.kind < 0) continue;
    EXPECT_EQ(kind, c.kind);
    EXPECT_EQ(d.letter, c.letter);
    EXPECT_EQ(d.holdsSystem, c.letter == 'C');
    if (c.freeBytes) {
      EXPECT_EQ(d.freeBytes, c.freeBytes);
    }
  }
}

// For an ordinary user only a root the user may create folders in is
// proposed; with none, a folder in the user's home.
TEST_F(DefaultsTest, OrdinaryUserGetsAFolderItCanWrite) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  bvtest::TempDir home;
  for (const auto* dir : {&data_, &volumes_, &program_, &home})
    fs::permissions(dir->Native(), fs::perms::owner_all | fs::perms::group_read |
                                       fs::perms::group_exec | fs::perms::others_read |
                                       fs::perms::others_exec);
  const std::string closed = SystemC() + Volume('D', "fixed", "none", false, 900);
  const std::string open = closed + Volume('E', "fixed", "none", false, 100);
  fs::permissions(volumes_.NativeOf("E"), fs::perms::all);
  fs::permissions(home.Native(), fs::perms::all);
  bvtest::ScopedEnv homeVar("HOME", home.Native());
  const std::string closedIni = volumes_.NativeOf("closed.ini");
  bvtest::WriteNative(closedIni, closed);
  UseVolumes(open);
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    DefaultDrive d;
    int32_t kind = -1;
    ResetDefaultPlans();
    if (!GetDefaultForType(kPlanSpecificFolder, nullptr, &kind, &d)) _exit(11);
    if (d.letter != 'E' || d.folder != "E:\\" || kind != 3) _exit(12);
    if (BackupFolderBase('D') != "D:\\" || BackupFolderBase('C') != home.System() + "\\") _exit(13);
    setenv("BREVANTO_VOLUMES", closedIni.c_str(), 1);
    plat::VolumeTable::Instance().Reload();
    ResetDefaultPlans();
    if (!GetDefaultForType(kPlanSpecificFolder, nullptr, &kind, &d)) _exit(14);
    if (d.letter != 'C' || d.folder != home.System() + "\\" || kind != 3) _exit(15);
    _exit(0);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setuid, 11-15 the step that failed";
}

// "OEM.ini" replaces names only, and only when present and not empty; the
// table lives until it is reset.
TEST_F(DefaultsTest, OemIniReplacesNamesOnly) {
  UseVolumes(SystemC());
  program_.Write("OEM.ini",
                 "[OEMSettings]\nProductName=X\n[Backup_Plan_Default_Setting]\n"
                 "Videos_PlanName=Family Films\nOfficeDocuments_BackupFolderName=Office Copies\n"
                 "OtherPlanTypes_PlanName=\n");
  ResetDefaultPlans();
  auto row = [](int32_t type) {
    DefaultPlanRecord r;
    EXPECT_TRUE(GetDefaultForType(type, &r, nullptr, nullptr));
    return r.planName + "|" + r.backupFolderName + "|" + std::to_string(r.versions);
  };
  EXPECT_EQ(row(kPlanVideos), "Family Films|Brevanto Videos|1");
  EXPECT_EQ(row(kPlanOfficeDocuments), "My Office Documents|Office Copies|4");
  EXPECT_EQ(row(kPlanOther), "Default|Brevanto Default|3");
  program_.Write("OEM.ini", "[Backup_Plan_Default_Setting]\nVideos_PlanName=Other\n");
  EXPECT_EQ(row(kPlanVideos), "Family Films|Brevanto Videos|1");
  ResetDefaultPlans();
  EXPECT_EQ(row(kPlanVideos), "Other|Brevanto Videos|1");
}

class DefaultStepTest : public DefaultsTest {
 protected:
  // An installed plan: "Plan.ini" without destination and a "UI.ini".
  void Install(uint32_t id, const std::string& storePath, int32_t storageType) {
    fs::create_directories(data_.NativeOf("PLAN/" + std::to_string(id)));
    PlanSettings s;
    s.name = "Installed";
    s.id = id;
    s.scheduleNum = 1;
    s.scheduleUnit = 4;
    s.versionNumber = 2;
    s.storePath = storePath;
    s.storageType = storageType;
    s.enabled = 1;
    ASSERT_TRUE(WritePlanFile(GetPlanFolder(id) + kPlanFileName, s));
    const std::string ui = GetPlanFolder(id) + "UI.ini";
    plat::WriteProfileString(ui, "BackupDestination", "BackupType", "0");
    plat::WriteProfileString(ui, "FileTypes", "Videos", "1");
  }
};

TEST_F(DefaultStepTest, FillsAUniqueFolderOnTheChosenDriveOnceOrLeavesThePlanAlone) {
  UseVolumes(SystemC() + Volume('D', "fixed", "none", false, 100) +
             Volume('F', "removable", "usb", false, 100));
  fs::create_directories(volumes_.NativeOf("D/Brevanto Videos 1"));
  Install(7, "", kStorageLocal);
  PlanList list;
  ASSERT_TRUE(RunDefaultDestinationStep(7, list));
  PlanSettings s;
  ASSERT_TRUE(ReadPlanFile(GetPlanFolder(7) + kPlanFileName, &s));
  EXPECT_EQ(s.storePath, "D:\\Brevanto Videos 2\\");
  EXPECT_EQ(s.storageType, kStorageLocal);
  EXPECT_EQ(s.name, "My Videos 1");
  EXPECT_EQ(s.scheduleUnit, 4);  // the rest as read
  EXPECT_EQ(s.versionNumber, 2);
  const std::string ui = GetPlanFolder(7) + "UI.ini";
  EXPECT_EQ(plat::GetProfileString(ui, "WizardPage3Options", "PlanName", ""), "My Videos 1");
  EXPECT_EQ(plat::GetProfileString(ui, "BackupDestination", "StoragePath", ""),
            "D:\\Brevanto Videos 2");
  EXPECT_EQ(plat::GetProfileInt(ui, "BackupDestination", "StorageType", 0), kStorageLocal);
  EXPECT_EQ(plat::GetProfileInt(ui, "Wizard4Options", "VersionsToKeep", 0), 1);
  EXPECT_EQ(plat::GetProfileInt(ui, "BackupDestination", "ActiveTabNew", -1), 4);
  EXPECT_EQ(plat::GetProfileInt(ui, "FileTypes", "Videos", 0), 1);  // other keys kept
  // Now the plan has a destination: a second run leaves it alone.
  const std::string before = bvtest::ReadNative(data_.NativeOf("PLAN/7/Plan.ini"));
  EXPECT_FALSE(RunDefaultDestinationStep(7, list));
  EXPECT_EQ(bvtest::ReadNative(data_.NativeOf("PLAN/7/Plan.ini")), before);

  // Music takes the USB disk, with the USB storage type and tab.
  Install(9, "", kStorageLocal);
  plat::WriteProfileString(GetPlanFolder(9) + "UI.ini", "FileTypes", "Videos", "0");
  plat::WriteProfileString(GetPlanFolder(9) + "UI.ini", "FileTypes", "Music and Sound Files", "1");
  ASSERT_TRUE(RunDefaultDestinationStep(9, list));
  ASSERT_TRUE(ReadPlanFile(GetPlanFolder(9) + kPlanFileName, &s));
  EXPECT_EQ(s.storePath, "F:\\Brevanto SoundsAndMusics 1\\");
  EXPECT_EQ(s.storageType, kStorageUsb);
  EXPECT_EQ(
      plat::GetProfileInt(GetPlanFolder(9) + "UI.ini", "BackupDestination", "ActiveTabNew", -1), 1);

  // Plans that need no destination, or cannot get one, are left alone.
  Install(10, "E:\\Existing\\", kStorageLocal);
  EXPECT_FALSE(RunDefaultDestinationStep(10, list));
  Install(11, "", kStorageFtp);
  EXPECT_FALSE(RunDefaultDestinationStep(11, list));
  EXPECT_FALSE(RunDefaultDestinationStep(12, list));  // no plan folder at all
  fs::create_directories(data_.NativeOf("PLAN/13"));
  bvtest::WriteNative(data_.NativeOf("PLAN/13/Plan.ini"), std::string("\0\xFF junk", 7));
  EXPECT_FALSE(RunDefaultDestinationStep(13, list)) << "unreadable plan file";
  UseVolumes(Volume('C', "cdrom", "none", true, 0));
  Install(14, "", kStorageLocal);
  EXPECT_FALSE(RunDefaultDestinationStep(14, list));
  ASSERT_TRUE(ReadPlanFile(GetPlanFolder(14) + kPlanFileName, &s));
  EXPECT_TRUE(s.storePath.empty());
}

}  // namespace
