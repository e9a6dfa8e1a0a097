// The local disk destination: the shared suite, its settings in
// "Devices.ini", configuration, preparation, availability and identity.
#include <filesystem>

#include <gtest/gtest.h>

#include "destination_suite.h"
#include "destinations/DestinationFactory.h"
#include "destinations/DiskDevice.h"
#include "platform/Profile.h"
#include "support/TempDir.h"
#include "volume_override.h"

namespace fs = std::filesystem;

INSTANTIATE_TEST_SUITE_P(Disk, DestinationSuite, testing::Values(LocalKind("Disk", 1)), KindName);

namespace {

class FolderOwner : public IDestinationOwner {
 public:
  explicit FolderOwner(std::string folder) : folder_(std::move(folder)) {}
  std::string GetPlanFolder() const override { return folder_; }

 private:
  std::string folder_;
};

// A disk-like destination of another storage type, as the network kind is.
class OtherKindDisk : public CDiskDevice {
 public:
  OtherKindDisk() : CDiskDevice(nullptr) {}
  int32_t GetStorageType() const override { return kStorageNetwork; }
};

std::unique_ptr<CDiskDevice> DiskAt(const std::string& root, IDestinationOwner* owner = nullptr) {
  auto disk = std::make_unique<CDiskDevice>(owner);
  PlanSettings settings;
  settings.storePath = root;
  disk->Configure(settings);
  return disk;
}

class DiskSettingsTest : public testing::Test {
 protected:
  bvtest::TempDir plan_;
  FolderOwner owner_{plan_.System() + "\\"};
  std::string Ini() const { return plan_.NativeOf("Devices.ini"); }
};

TEST_F(DiskSettingsTest, SavedRootLoadsBack) {
  for (const std::string root :
       {"E:\\Backup\\", "\"quoted\" at both ends\"", "E:\\ends with a tab\t", "E:\\ünï 日本"}) {
    auto saved = DiskAt(root, &owner_);
    EXPECT_EQ(saved->GetRootPath(), root);
    ASSERT_TRUE(saved->SaveSettings()) << root;
    CDiskDevice loaded(&owner_);
    EXPECT_TRUE(loaded.LoadSettings());
    EXPECT_EQ(loaded.GetRootPath(), root);
  }
}

TEST_F(DiskSettingsTest, MissingFileLoadsNothing) {
  auto disk = DiskAt("E:\\Kept", &owner_);
  EXPECT_FALSE(disk->LoadSettings());
  EXPECT_EQ(disk->GetRootPath(), "E:\\Kept");
  EXPECT_FALSE(fs::exists(Ini()));

  CDiskDevice noOwner(nullptr);
  EXPECT_FALSE(noOwner.LoadSettings());
  EXPECT_FALSE(noOwner.SaveSettings());
}

TEST_F(DiskSettingsTest, EmptyRootDoesNotLoad) {
  bvtest::WriteNative(Ini(), "[Disk Device]\nRootDir=\n");
  CDiskDevice disk(&owner_);
  EXPECT_FALSE(disk.LoadSettings());
  bvtest::WriteNative(Ini(), "[FTP Device]\nRootDir=E:\\x\n");
  EXPECT_FALSE(disk.LoadSettings());
}

TEST_F(DiskSettingsTest, OtherSectionsSurviveASave) {
  bvtest::WriteNative(Ini(),
                      "[USB Device]\nSize=123456\nRootDir=F:\\usb\\\n"
                      "[Disk Device]\nRootDir=D:\\old\\\nRemoteName=\\\\nas\\share\n");
  auto disk = DiskAt("E:\\new\\", &owner_);
  ASSERT_TRUE(disk->SaveSettings());
  EXPECT_EQ(plat::GetProfileString(plan_.SystemOf("Devices.ini"), "Disk Device", "RootDir", ""),
            "E:\\new\\");
  EXPECT_EQ(plat::GetProfileString(plan_.SystemOf("Devices.ini"), "Disk Device", "RemoteName", ""),
            "\\\\nas\\share");
  EXPECT_EQ(plat::GetProfileInt(plan_.SystemOf("Devices.ini"), "USB Device", "Size", 0), 123456);
  EXPECT_EQ(plat::GetProfileString(plan_.SystemOf("Devices.ini"), "USB Device", "RootDir", ""),
            "F:\\usb\\");
}

TEST_F(DiskSettingsTest, RootWithALineBreakIsRefused) {
  bvtest::WriteNative(Ini(), "[Disk Device]\nRootDir=D:\\old\n");
  auto disk = DiskAt("E:\\a\nRootDir=Z:\\injected", &owner_);
  EXPECT_FALSE(disk->SaveSettings());
  CDiskDevice loaded(&owner_);
  ASSERT_TRUE(loaded.LoadSettings());
  EXPECT_EQ(loaded.GetRootPath(), "D:\\old");
}

TEST(DiskConfigure, TrimsLeadingWhiteSpaceAndTrailingSpaces) {
  EXPECT_EQ(DiskAt("  \t\r\n E:\\Backup")->GetRootPath(), "E:\\Backup");
  EXPECT_EQ(DiskAt("E:\\Backup   ")->GetRootPath(), "E:\\Backup");
  EXPECT_EQ(DiskAt("\xC2\xA0\xE3\x80\x80"
                   "E:\\B")
                ->GetRootPath(),
            "E:\\B");                                                      // NBSP, U+3000
  EXPECT_EQ(DiskAt("E:\\in  side \t")->GetRootPath(), "E:\\in  side \t");  // only spaces at the end
  EXPECT_EQ(DiskAt("   ")->GetRootPath(), "");
  EXPECT_EQ(DiskAt("E:\\ü ")->GetRootPath(), "E:\\ü");
}

class DiskRefreshTest : public testing::Test {
 protected:
  bvtest::TempDir e_;
  std::string Table(bool withE) const {
    std::string t = "[C]\nRoot=/\n";
    if (withE) t += "[E]\nRoot=" + e_.Native() + "\n";
    return t;
  }
  bool AvailableAfterRefresh(const std::string& root) {
    auto disk = DiskAt(root);
    EXPECT_TRUE(disk->IsAvailable()) << "a new disk destination starts available";
    disk->Refresh();
    return disk->IsAvailable();
  }
};

TEST_F(DiskRefreshTest, AvailableExactlyWhenTheDriveExists) {
  ScopedVolumes volumes(Table(true));
  EXPECT_TRUE(AvailableAfterRefresh("E:\\Backup"));
  EXPECT_TRUE(AvailableAfterRefresh("e:\\not\\there\\yet"));  // the folder is not looked at
  EXPECT_TRUE(AvailableAfterRefresh("C:\\"));
  EXPECT_TRUE(AvailableAfterRefresh("E:"));
  EXPECT_FALSE(AvailableAfterRefresh("F:\\Backup"));
  EXPECT_FALSE(AvailableAfterRefresh("A:\\Backup"));
  EXPECT_FALSE(AvailableAfterRefresh("b:\\Backup"));
  EXPECT_FALSE(AvailableAfterRefresh("\\\\server\\share\\x"));
  EXPECT_FALSE(AvailableAfterRefresh("E"));
  EXPECT_FALSE(AvailableAfterRefresh(""));
  EXPECT_FALSE(AvailableAfterRefresh("1:\\x"));
  EXPECT_FALSE(AvailableAfterRefresh("EE:\\x"));
}

TEST_F(DiskRefreshTest, FollowsTheVolumeTable) {
  ScopedVolumes volumes(Table(true));
  auto disk = DiskAt("E:\\Backup\\");
  disk->Refresh();
  EXPECT_TRUE(disk->IsAvailable());
  volumes.Rewrite(Table(false));  // the disk is unplugged
  disk->Refresh();
  EXPECT_FALSE(disk->IsAvailable());
  volumes.Rewrite(Table(true));
  disk->Refresh();
  EXPECT_TRUE(disk->IsAvailable());
}

TEST(DiskPrepare, CreatesOneLevelAndAnEmptyMarker) {
  bvtest::TempDir t;
  auto disk = DiskAt(t.SystemOf("Store"));
  EXPECT_TRUE(disk->Prepare(true));
  EXPECT_TRUE(fs::is_directory(t.NativeOf("Store")));
  ASSERT_TRUE(fs::is_regular_file(t.NativeOf("Store/Brevanto.dat")));
  EXPECT_EQ(fs::file_size(t.NativeOf("Store/Brevanto.dat")), 0u);

  // An existing marker is emptied; a closing separator gives no double one.
  bvtest::WriteNative(t.NativeOf("Store/Brevanto.dat"), "junk");
  auto again = DiskAt(t.SystemOf("Store") + "\\");
  EXPECT_TRUE(again->Prepare(true));
  EXPECT_EQ(fs::file_size(t.NativeOf("Store/Brevanto.dat")), 0u);

  auto deep = DiskAt(t.SystemOf("New\\Store"));
  EXPECT_TRUE(deep->Prepare(true));
  EXPECT_FALSE(fs::exists(t.NativeOf("New")));
}

TEST(DiskPrepare, ReattachTouchesNothing) {
  bvtest::TempDir t;
  auto disk = DiskAt(t.SystemOf("Store"));
  EXPECT_TRUE(disk->Prepare(false));
  EXPECT_FALSE(fs::exists(t.NativeOf("Store")));
  EXPECT_TRUE(DiskAt("")->Prepare(true));
}

TEST(DiskIdentity, SameDestinationIgnoresCaseAndClosingSeparator) {
  auto a = DiskAt("D:\\Backup");
  EXPECT_TRUE(a->IsSameDestination(*a));
  EXPECT_TRUE(a->IsSameDestination(*DiskAt("d:\\backup\\")));
  EXPECT_TRUE(DiskAt("D:\\Bäckup\\")->IsSameDestination(*DiskAt("d:\\BÄCKUP")));
  EXPECT_FALSE(a->IsSameDestination(*DiskAt("D:\\Backup2")));
  EXPECT_FALSE(a->IsSameDestination(*DiskAt("D:\\Backup\\sub")));

  OtherKindDisk network;
  PlanSettings s;
  s.storePath = "D:\\Backup";
  network.Configure(s);
  EXPECT_FALSE(a->IsSameDestination(network));
  EXPECT_FALSE(network.IsSameDestination(*a));
}

TEST(DiskIdentity, SameVolumeComparesTheDriveOnly) {
  auto a = DiskAt("D:\\one");
  EXPECT_TRUE(a->IsSameVolume(*DiskAt("d:\\two\\three")));
  EXPECT_FALSE(a->IsSameVolume(*DiskAt("E:\\one")));
  OtherKindDisk network;
  PlanSettings s;
  s.storePath = "D:\\one";
  network.Configure(s);
  EXPECT_FALSE(a->IsSameVolume(network));
}

TEST(DestinationFactory, MakesTheDiskKindAndNothingForUnknownTypes) {
  bvtest::TempDir t;
  FolderOwner owner(t.System() + "\\");
  auto disk = CreateDestination(&owner, kStorageLocal);
  ASSERT_NE(disk, nullptr);
  EXPECT_EQ(disk->GetStorageType(), kStorageLocal);
  EXPECT_EQ(disk->GetPathSeparator(), '\\');
  EXPECT_EQ(disk->Owner(), &owner);
  EXPECT_TRUE(disk->IsAvailable());
  for (int32_t type : {0, 5, -1, 1000}) EXPECT_EQ(CreateDestination(&owner, type), nullptr) << type;
}

}  // namespace
