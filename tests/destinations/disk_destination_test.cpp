// The local disk destination: the shared suite, settings in "Devices.ini",
// configuration, availability, preparation, identity, long paths and share
// paths; and the factory for every kind.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "destination_suite.h"
#include "destinations/DiskDevice.h"
#include "platform/DeviceBroadcast.h"
#include "platform/Errors.h"
#include "platform/Profile.h"

namespace fs = std::filesystem;

INSTANTIATE_TEST_SUITE_P(Disk, DestinationSuite, testing::Values(LocalKind("Disk", 1)), KindName);

namespace {

std::unique_ptr<CDiskDevice> DiskAt(const std::string& root, IDestinationOwner* owner = nullptr) {
  return Configured<CDiskDevice>(root, owner);
}

// Saved roots load back; loading needs the file, the disk section and a root
// in it; other sections survive a save; a root with a line break is refused.
TEST(DiskDevice, SettingsSaveLoadAndLeaveTheRestOfTheFileAlone) {
  bvtest::TempDir plan;
  PlanOwner owner(plan.System() + "\\");
  auto disk = DiskAt("E:\\Kept", &owner);
  EXPECT_FALSE(disk->LoadSettings());
  EXPECT_EQ(disk->GetRootPath(), "E:\\Kept");
  for (const char* ini : {"[Disk Device]\nRootDir=\n", "[FTP Device]\nRootDir=E:\\x\n"}) {
    bvtest::WriteNative(plan.NativeOf("Devices.ini"), ini);
    EXPECT_FALSE(disk->LoadSettings()) << ini;
  }
  CDiskDevice noOwner(nullptr);
  EXPECT_FALSE(noOwner.LoadSettings() || noOwner.SaveSettings());

  bvtest::WriteNative(plan.NativeOf("Devices.ini"),
                      "[USB Device]\nSize=123456\n[Disk Device]\nRemoteName=\\\\nas\\share\n");
  for (const std::string root : {"E:\\Backup\\", "\"quoted\" at both ends\"", "E:\\ünï 日本\t"}) {
    ASSERT_TRUE(DiskAt(root, &owner)->SaveSettings()) << root;
    CDiskDevice loaded(&owner);
    EXPECT_TRUE(loaded.LoadSettings());
    EXPECT_EQ(loaded.GetRootPath(), root);
  }
  EXPECT_FALSE(DiskAt("E:\\a\nRootDir=Z:\\injected", &owner)->SaveSettings());
  const std::string ini = plan.SystemOf("Devices.ini");
  EXPECT_EQ(plat::GetProfileString(ini, "Disk Device", "RootDir", ""), "E:\\ünï 日本\t");
  EXPECT_EQ(plat::GetProfileString(ini, "Disk Device", "RemoteName", ""), "\\\\nas\\share");
  EXPECT_EQ(plat::GetProfileInt(ini, "USB Device", "Size", 0), 123456);

  // Configuring trims leading white space and trailing spaces only.
  const std::pair<const char*, const char*> trims[] = {
      {"  \t\r\n E:\\Backup", "E:\\Backup"},
      {"\xC2\xA0\xE3\x80\x80"  // NBSP, U+3000
       "E:\\ü ",
       "E:\\ü"},
      {"E:\\in  side \t", "E:\\in  side \t"},
      {"   ", ""},
  };
  for (const auto& [given, root] : trims) EXPECT_EQ(DiskAt(given)->GetRootPath(), root) << given;

  // Same destination: same folder, ignoring case and a closing separator.
  // Same volume: same drive.
  auto a = DiskAt("D:\\Bäckup");
  EXPECT_TRUE(a->IsSameDestination(*DiskAt("d:\\BÄCKUP\\")));
  EXPECT_FALSE(a->IsSameDestination(*DiskAt("D:\\Bäckup2")));
  EXPECT_FALSE(a->IsSameDestination(*DiskAt("D:\\Bäckup\\sub")));
  EXPECT_TRUE(a->IsSameVolume(*DiskAt("d:\\two\\three")));
  EXPECT_FALSE(a->IsSameVolume(*DiskAt("E:\\one")));
}

// Available exactly while the root's drive is in the volume table (the
// folder is not looked at); an unplugged drive is seen at once from the
// device-change broadcast, a plugged one after the next Refresh.
TEST(DiskDevice, AvailableExactlyWhileTheDriveExists) {
  bvtest::TempDir e;
  const std::string withE = "[C]\nRoot=/\n[E]\nRoot=" + e.Native() + "\n";
  ScopedVolumes volumes(withE);
  const std::pair<const char*, bool> cases[] = {
      {"E:\\Backup", true},
      {"e:\\not\\there\\yet", true},
      {"E:", true},
      {"F:\\Backup", false},
      {"\\\\srv\\sh\\x", false},
      {"E", false},
      {"", false},
      {"1:\\x", false},
      {"EE:\\x", false},
  };
  for (const auto& [root, available] : cases) {
    auto disk = DiskAt(root);
    EXPECT_TRUE(disk->IsAvailable()) << "a new disk destination starts available";
    disk->Refresh();
    EXPECT_EQ(disk->IsAvailable(), available) << root;
  }
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

// Initializing makes the root (one level only) and an empty marker;
// reattaching touches nothing. Folders a destination knows it made are
// looked at again when the store changes between two copies: deleted folders
// are made again, a folder swapped for a link is refused.
TEST(DiskDevice, PrepareAndCopiesFollowChangesToTheStore) {
  bvtest::TempDir t;
  EXPECT_TRUE(DiskAt(t.SystemOf("Store"))->Prepare(false));
  EXPECT_FALSE(fs::exists(t.NativeOf("Store")));
  EXPECT_TRUE(DiskAt("")->Prepare(true));
  EXPECT_TRUE(DiskAt(t.SystemOf("New\\Store"))->Prepare(true));
  EXPECT_FALSE(fs::exists(t.NativeOf("New")));
  t.Write("Store/Brevanto.dat", "junk");
  auto disk = DiskAt(t.SystemOf("Store") + "\\");
  ASSERT_TRUE(disk->Prepare(true));
  EXPECT_EQ(fs::file_size(t.NativeOf("Store/Brevanto.dat")), 0u);

  const std::string source = t.SystemOf("src\\a.txt");
  const std::string target = t.SystemOf("Store\\Latest\\C\\x\\a.txt");
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
      EXPECT_EQ(t.Read("Store/Latest/C/x/a.txt"), c.change);
    }
  }
  EXPECT_TRUE(fs::is_empty(t.NativeOf("outside")));
  // A copy moves to a revision folder deleted after it was made.
  const std::string other = t.SystemOf("Store\\Latest\\C\\y\\a.txt");
  const std::string revision = t.SystemOf("Store\\Revision\\C\\x\\a(0001).txt");
  ASSERT_EQ(disk->CreateFolders(other), kDestOk);
  ASSERT_EQ(disk->CopyFile(source, other), kDestOk);
  ASSERT_EQ(disk->CreateFolders(revision), kDestOk);
  fs::remove_all(t.NativeOf("Store/Revision"));
  ASSERT_EQ(disk->MoveFile(other, revision), kDestOk);
  EXPECT_TRUE(fs::is_regular_file(t.NativeOf("Store/Revision/C/x/a(0001).txt")));
}

// The long-path form prefixes drive and share paths and refuses what does
// not fit (counted in UTF-16 units) instead of cutting; operations on such
// paths fail cleanly. Folders on a share start below server and share.
TEST(DiskDevice, LongPathsAndSharePaths) {
  const std::pair<std::string, std::string> forms[] = {
      {"C:\\a\\b.txt", "\\\\?\\C:\\a\\b.txt"},
      {"\\\\server\\share\\x", "\\\\?\\UNC\\server\\share\\x"},
      {"\\\\?\\C:\\already", "\\\\?\\C:\\already"},
      {"C:\\" + std::string(2040, 'a'), "\\\\?\\C:\\" + std::string(2040, 'a')},  // 2047: fits
      {"C:\\" + std::string(2041, 'a'), ""},
      {"C:\\" + std::string(2031, 'a') + "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", "fits"},
      {"C:\\" + std::string(2031, 'a') + "\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80" +
           "\xF0\x9F\x98\x80\xF0\x9F\x98\x80",
       ""},  // characters outside the basic plane take two units
  };
  for (const auto& [path, form] : forms) {
    std::string out = "x";
    EXPECT_EQ(ToLongPathForm(path, &out), !form.empty()) << path.substr(0, 20);
    if (form != "fits") {
      EXPECT_EQ(out, form) << path.substr(0, 20);
    }
  }
  bvtest::TempDir t, share;
  CDiskDevice disk(nullptr);
  const std::string longPath = t.SystemOf(std::string(2100, 'n'));
  EXPECT_EQ(disk.DeleteFile(longPath), kDestFailed);
  EXPECT_EQ(disk.MoveFile(longPath, t.SystemOf("x")), kDestFailed);
  EXPECT_FALSE(disk.FileExists(longPath));

  ScopedVolumes volumes("[C]\nRoot=/\n[\\\\srv\\share]\nRoot=" + share.Native() + "\nOnline=1\n");
  EXPECT_EQ(disk.CreateFolders("\\\\srv\\share\\a\\b\\f.txt"), kDestOk);
  EXPECT_EQ(disk.CreateFolders("\\\\?\\UNC\\srv\\share\\c\\f.txt"), kDestOk);
  EXPECT_EQ(disk.CreateFolders("\\\\srv"), kDestOk);
  size_t entries = 0;
  for (auto it = fs::recursive_directory_iterator(share.Native());
       it != fs::recursive_directory_iterator(); ++it)
    ++entries;
  EXPECT_EQ(entries, 3u);  // a, a/b and c
  EXPECT_TRUE(fs::is_directory(share.NativeOf("a/b")) && fs::is_directory(share.NativeOf("c")));
  EXPECT_EQ(disk.CreateFolders("\\\\unknown\\share\\a\\f.txt"), plat::kErrBadNetName);
}

}  // namespace
