// The local disk destination: the shared suite, its settings in
// "Devices.ini", configuration, preparation, availability and identity; and
// the factory for every kind.
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "destination_suite.h"
#include "destinations/DestinationFactory.h"
#include "destinations/DiskDevice.h"
#include "plan_owner.h"
#include "platform/DeviceBroadcast.h"
#include "platform/Errors.h"
#include "platform/Profile.h"
#include "support/TempDir.h"
#include "volume_override.h"

namespace fs = std::filesystem;

INSTANTIATE_TEST_SUITE_P(Disk, DestinationSuite, testing::Values(LocalKind("Disk", 1)), KindName);

namespace {

std::unique_ptr<CDiskDevice> DiskAt(const std::string& root, IDestinationOwner* owner = nullptr) {
  return Configured<CDiskDevice>(root, owner);
}

class DiskSettingsTest : public testing::Test {
 protected:
  bvtest::TempDir plan_;
  PlanOwner owner_{plan_.System() + "\\"};
  std::string Ini() const { return plan_.NativeOf("Devices.ini"); }
};

// Saved roots load back; loading needs the file, the disk section and a root
// in it (without them the configured root stays); other sections survive a
// save; a root with a line break is refused.
TEST_F(DiskSettingsTest, RootsSaveLoadAndLeaveTheRestOfTheFileAlone) {
  auto disk = DiskAt("E:\\Kept", &owner_);
  EXPECT_FALSE(disk->LoadSettings());
  EXPECT_EQ(disk->GetRootPath(), "E:\\Kept");
  EXPECT_FALSE(fs::exists(Ini()));
  for (const char* ini : {"[Disk Device]\nRootDir=\n", "[FTP Device]\nRootDir=E:\\x\n"}) {
    bvtest::WriteNative(Ini(), ini);
    EXPECT_FALSE(disk->LoadSettings()) << ini;
  }
  CDiskDevice noOwner(nullptr);
  EXPECT_FALSE(noOwner.LoadSettings());
  EXPECT_FALSE(noOwner.SaveSettings());

  bvtest::WriteNative(Ini(),
                      "[USB Device]\nSize=123456\nRootDir=F:\\usb\\\n"
                      "[Disk Device]\nRootDir=D:\\old\\\nRemoteName=\\\\nas\\share\n");
  for (const std::string root :
       {"E:\\Backup\\", "\"quoted\" at both ends\"", "E:\\ends with a tab\t", "E:\\ünï 日本"}) {
    ASSERT_TRUE(DiskAt(root, &owner_)->SaveSettings()) << root;
    CDiskDevice loaded(&owner_);
    EXPECT_TRUE(loaded.LoadSettings());
    EXPECT_EQ(loaded.GetRootPath(), root);
  }
  EXPECT_FALSE(DiskAt("E:\\a\nRootDir=Z:\\injected", &owner_)->SaveSettings());
  const std::string ini = plan_.SystemOf("Devices.ini");
  EXPECT_EQ(plat::GetProfileString(ini, "Disk Device", "RootDir", ""), "E:\\ünï 日本");
  EXPECT_EQ(plat::GetProfileString(ini, "Disk Device", "RemoteName", ""), "\\\\nas\\share");
  EXPECT_EQ(plat::GetProfileInt(ini, "USB Device", "Size", 0), 123456);
  EXPECT_EQ(plat::GetProfileString(ini, "USB Device", "RootDir", ""), "F:\\usb\\");
}

TEST(DiskConfigure, TrimsLeadingWhiteSpaceAndTrailingSpaces) {
  const std::pair<const char*, const char*> cases[] = {
      {"  \t\r\n E:\\Backup", "E:\\Backup"},
      {"E:\\Backup   ", "E:\\Backup"},
      {"\xC2\xA0\xE3\x80\x80"  // NBSP, U+3000
       "E:\\B",
       "E:\\B"},
      {"E:\\in  side \t", "E:\\in  side \t"},  // only spaces at the end
      {"   ", ""},
      {"E:\\ü ", "E:\\ü"},
  };
  for (const auto& [given, root] : cases) EXPECT_EQ(DiskAt(given)->GetRootPath(), root) << given;
}

// Available exactly while the root's drive is in the volume table; the folder
// itself is not looked at.
TEST(DiskRefresh, AvailableExactlyWhileTheDriveExists) {
  bvtest::TempDir e;
  const std::string withE = "[C]\nRoot=/\n[E]\nRoot=" + e.Native() + "\n";
  ScopedVolumes volumes(withE);
  const std::pair<const char*, bool> cases[] = {
      {"E:\\Backup", true},  {"e:\\not\\there\\yet", true},
      {"C:\\", true},        {"E:", true},
      {"F:\\Backup", false}, {"A:\\Backup", false},
      {"b:\\Backup", false}, {"\\\\server\\share\\x", false},
      {"E", false},          {"", false},
      {"1:\\x", false},      {"EE:\\x", false},
  };
  for (const auto& [root, available] : cases) {
    auto disk = DiskAt(root);
    EXPECT_TRUE(disk->IsAvailable()) << "a new disk destination starts available";
    disk->Refresh();
    EXPECT_EQ(disk->IsAvailable(), available) << root;
  }

  // Unplugged: unavailable as soon as the device-change broadcast tells,
  // before any Refresh; plugged again: available after the next Refresh.
  auto disk = DiskAt("E:\\Backup\\");
  disk->Refresh();
  plat::DeviceBroadcaster::Instance().CheckNow();
  for (bool plugged : {false, true}) {
    volumes.Rewrite(plugged ? withE : "[C]\nRoot=/\n");
    plat::DeviceBroadcaster::Instance().CheckNow();
    if (!plugged) {
      EXPECT_FALSE(disk->IsAvailable()) << "the removal is seen at once";
    }
    disk->Refresh();
    EXPECT_EQ(disk->IsAvailable(), plugged);
  }
}

// Initializing makes the root (one level only) and an empty marker; reattaching
// touches nothing.
TEST(DiskPrepare, InitializeMakesOneLevelAndAnEmptyMarker) {
  bvtest::TempDir t;
  EXPECT_TRUE(DiskAt(t.SystemOf("Store"))->Prepare(false));
  EXPECT_FALSE(fs::exists(t.NativeOf("Store")));
  EXPECT_TRUE(DiskAt("")->Prepare(true));

  EXPECT_TRUE(DiskAt(t.SystemOf("Store"))->Prepare(true));
  ASSERT_TRUE(fs::is_regular_file(t.NativeOf("Store/Brevanto.dat")));
  EXPECT_EQ(fs::file_size(t.NativeOf("Store/Brevanto.dat")), 0u);

  // An existing marker is emptied; a closing separator gives no double one.
  bvtest::WriteNative(t.NativeOf("Store/Brevanto.dat"), "junk");
  EXPECT_TRUE(DiskAt(t.SystemOf("Store") + "\\")->Prepare(true));
  EXPECT_EQ(fs::file_size(t.NativeOf("Store/Brevanto.dat")), 0u);

  EXPECT_TRUE(DiskAt(t.SystemOf("New\\Store"))->Prepare(true));
  EXPECT_FALSE(fs::exists(t.NativeOf("New")));
}

// Folders a destination knows it made are looked at again when the store
// changes under it between two copies: deleted folders are made again, a
// folder swapped for a link is refused, and nothing lands outside the store.
TEST(DiskCopies, KnownFoldersFollowChangesToTheStore) {
  bvtest::TempDir t;
  auto disk = DiskAt(t.SystemOf("Store"));
  ASSERT_TRUE(disk->Prepare(true));
  const std::string source = t.SystemOf("src\\a.txt");
  const std::string target = t.SystemOf("Store\\Latest\\C\\x\\a.txt");
  const std::string revision = t.SystemOf("Store\\Revision\\C\\x\\a(0001).txt");
  fs::create_directories(t.NativeOf("outside"));
  const struct {
    const char* change;
    std::function<void()> apply;
    uint32_t copy;
  } cases[] = {
      {"nothing", [] {}, kDestOk},
      {"its folder deleted", [&] { fs::remove_all(t.NativeOf("Store/Latest/C/x")); }, kDestOk},
      {"the whole store deleted", [&] { fs::remove_all(t.NativeOf("Store")); }, kDestOk},
      {"its folder swapped for a link",
       [&] {
         fs::remove_all(t.NativeOf("Store/Latest/C/x"));
         fs::create_directory_symlink(t.NativeOf("outside"), t.NativeOf("Store/Latest/C/x"));
       },
       plat::kErrStoppedOnLink},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change);
    t.Write("src/a.txt", c.change);
    c.apply();
    disk->CreateFolders(target);
    ASSERT_EQ(disk->CopyFile(source, target), c.copy);
    if (c.copy == kDestOk) {
      EXPECT_EQ(bvtest::ReadNative(t.NativeOf("Store/Latest/C/x/a.txt")), c.change);
    }
  }
  EXPECT_TRUE(fs::is_empty(t.NativeOf("outside")));
  // A copy moves to a revision folder deleted after it was made.
  const std::string other = t.SystemOf("Store\\Latest\\C\\y\\a.txt");
  ASSERT_EQ(disk->CreateFolders(other), kDestOk);
  ASSERT_EQ(disk->CopyFile(source, other), kDestOk);
  ASSERT_EQ(disk->CreateFolders(revision), kDestOk);
  fs::remove_all(t.NativeOf("Store/Revision"));
  ASSERT_EQ(disk->MoveFile(other, revision), kDestOk);
  EXPECT_TRUE(fs::is_regular_file(t.NativeOf("Store/Revision/C/x/a(0001).txt")));
}

// Same destination: same folder, ignoring case and a closing separator. Same
// volume: same drive. (Against other kinds: network_device_test.)
TEST(DiskIdentity, FolderForTheDestinationDriveForTheVolume) {
  auto a = DiskAt("D:\\Backup");
  EXPECT_TRUE(a->IsSameDestination(*a));
  EXPECT_TRUE(a->IsSameDestination(*DiskAt("d:\\backup\\")));
  EXPECT_TRUE(DiskAt("D:\\Bäckup\\")->IsSameDestination(*DiskAt("d:\\BÄCKUP")));
  EXPECT_FALSE(a->IsSameDestination(*DiskAt("D:\\Backup2")));
  EXPECT_FALSE(a->IsSameDestination(*DiskAt("D:\\Backup\\sub")));
  EXPECT_TRUE(a->IsSameVolume(*DiskAt("d:\\two\\three")));
  EXPECT_FALSE(a->IsSameVolume(*DiskAt("E:\\one")));
}

TEST(DestinationFactory, MakesEachKindAndNothingForUnknownTypes) {
  bvtest::TempDir t;
  PlanOwner owner(t.System() + "\\");
  for (int32_t type : {kStorageLocal, kStorageUsb, kStorageNetwork}) {
    auto made = CreateDestination(&owner, type);
    ASSERT_NE(made, nullptr) << type;
    EXPECT_EQ(made->GetStorageType(), type);
    EXPECT_EQ(made->Owner(), &owner);
    // A USB destination is available only once it holds its disk.
    EXPECT_EQ(made->IsAvailable(), type != kStorageUsb) << type;
  }
  for (int32_t type : {0, 5, -1, 1000}) EXPECT_EQ(CreateDestination(&owner, type), nullptr) << type;
}

}  // namespace
