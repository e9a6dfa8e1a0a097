// The local disk and network share destinations: settings, availability, preparation, identity.
#include <sstream>

#include "common/Texts.h"
#include "destination_suite.h"
#include "destinations/DiskDevice.h"
#include "destinations/NetworkDevice.h"
#include "destinations/StoreMarker.h"
#include "platform/base/Errors.h"
#include "platform/profile/Profile.h"
#include "platform/volumes/DeviceBroadcast.h"
#include "support/EventCollector.h"

INSTANTIATE_TEST_SUITE_P(Disk, DestinationSuite, testing::Values(LocalKind("Disk", 1)), KindName);
INSTANTIATE_TEST_SUITE_P(Network, DestinationSuite,
                         testing::Values(LocalKind("SharePath", kStorageNetwork, true)), KindName);

namespace {

std::unique_ptr<CDiskDevice> DiskAt(const std::string& root, IDestinationOwner* owner = nullptr) {
  return Configured<CDiskDevice>(root, owner);
}

// A new destination of this kind at root starts available; after a look at the volume table?
template <typename Dest>
bool Refreshed(const std::string& root) {
  auto dest = Configured<Dest>(root);
  EXPECT_TRUE(dest->IsAvailable()) << "a new destination starts available";
  dest->Refresh();
  return dest->IsAvailable();
}

// Roots save and load back beside other sections; a root with a line break is refused.
TEST(DiskDevice, SettingsSaveLoadAndLeaveTheRestOfTheFileAlone) {
  PlanFolder plan;
  auto disk = DiskAt("E:\\Kept", &plan);
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
    ASSERT_TRUE(DiskAt(root, &plan)->SaveSettings()) << root;
    CDiskDevice loaded(&plan);
    EXPECT_TRUE(loaded.LoadSettings());
    EXPECT_EQ(loaded.GetRootPath(), root);
  }
  EXPECT_FALSE(DiskAt("E:\\a\nRootDir=Z:\\injected", &plan)->SaveSettings());
  const std::string ini = plan.SystemOf("Devices.ini");
  EXPECT_EQ(plat::GetProfileString(ini, "Disk Device", "RootDir", ""), "E:\\ünï 日本\t");
  EXPECT_EQ(plat::GetProfileString(ini, "Disk Device", "RemoteName", ""), "\\\\nas\\share");
  EXPECT_EQ(plat::GetProfileInt(ini, "USB Device", "Size", 0), 123456);

  const std::pair<const char*, const char*> trims[] = {
      {"  \t\r\n E:\\Backup", "E:\\Backup"},
      {"\xC2\xA0\xE3\x80\x80"  // NBSP, U+3000
       "E:\\ü ",
       "E:\\ü"},
      {"E:\\in  side \t", "E:\\in  side \t"},
      {"   ", ""},
  };
  for (const auto& [given, root] : trims) EXPECT_EQ(DiskAt(given)->GetRootPath(), root) << given;

  auto a = DiskAt("D:\\Bäckup");
  EXPECT_TRUE(a->IsSameDestination(*DiskAt("d:\\BÄCKUP\\")));
  EXPECT_FALSE(a->IsSameDestination(*DiskAt("D:\\Bäckup2")));
  EXPECT_FALSE(a->IsSameDestination(*DiskAt("D:\\Bäckup\\sub")));
  EXPECT_TRUE(a->IsSameVolume(*DiskAt("d:\\two\\three")));
  EXPECT_FALSE(a->IsSameVolume(*DiskAt("E:\\one")));
}

// Available exactly while the root's drive is in the volume table; an unplugged drive is seen
// at once from the broadcast, a plugged one after the next Refresh.
TEST(DiskDevice, AvailableExactlyWhileTheDriveExists) {
  bvtest::TempDir e;
  const std::string withE = "[C]\nRoot=/\n[E]\nRoot=" + e.Native() + "\n";
  ScopedVolumes volumes(withE);
  for (const char* root : {"E:\\Backup", "e:\\not\\there\\yet", "E:"})
    EXPECT_TRUE(Refreshed<CDiskDevice>(root)) << root;
  for (const char* root : {"F:\\Backup", "\\\\srv\\sh\\x", "E", "", "1:\\x", "EE:\\x"})
    EXPECT_FALSE(Refreshed<CDiskDevice>(root)) << root;
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

// Preparing makes the root (one level) and its marker, or keeps one; folders deleted between
// two copies are made again, a folder swapped for a link is refused.
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
  std::string id, again;
  EXPECT_TRUE(ReadStoreMarker(t.SystemOf("Store"), &id));
  ASSERT_TRUE(DiskAt(t.SystemOf("Store"))->Prepare(true));
  EXPECT_TRUE(ReadStoreMarker(t.SystemOf("Store"), &again) && again == id);

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

// A store tree open to others is closed as copies go in and others' entries are named; a folder
// another user owns is never written into (the administrator's is taken). Run as a user.
TEST(DiskDevice, CopiesGoOnlyIntoFoldersOfTheUsersOwnClosedToOthers) {
  bvtest::TempDir t;
  ScopedVolumes volumes("[C]\nRoot=/\n");
  ASSERT_EQ(chmod(t.Native().c_str(), 0755), 0);
  ASSERT_TRUE(volumes.OpenToAll());
  constexpr uid_t kMe = 65534, kThem = 4242;
  const struct {
    const char* rel;
    uid_t owner;
    mode_t mode;
  } tree[] = {{"Store", kMe, 0700},
              {"Store/Latest", kMe, 0777},
              {"Store/Latest/C", kMe, 0777},
              {"Store/Latest/C/team", kMe, 02775},
              {"Store/Latest/C/team/planted.txt", kThem, 0666},
              {"Store/Latest/C/theirs", kThem, 0777},
              {"Store/Latest/C/admin", 0, 0777},
              {"Store/Revision", kMe, 0755},
              {"Store/Revision/C", kMe, 0755},
              {"Store/Revision/C/theirs", kThem, 0777},
              {"src", kMe, 0755},
              {"src/team/a.txt", kMe, 0644},
              {"src/theirs/b.txt", kMe, 0644},
              {"src/admin/c.txt", kMe, 0644},
              {"src/secret/tax.txt", kMe, 0644},
              {"src/secret", kMe, 0700}};
  for (const auto& e : tree) {
    if (std::string_view(e.rel).ends_with(".txt"))
      t.Write(e.rel, e.rel);
    else
      fs::create_directories(t.NativeOf(e.rel));
  }
  for (const auto& e : tree) {
    ASSERT_EQ(chown(t.NativeOf(e.rel).c_str(), e.owner, e.owner), 0) << e.rel;
    ASSERT_EQ(chmod(t.NativeOf(e.rel).c_str(), e.mode), 0) << e.rel;
  }
  const struct {
    const char* source;
    const char* target;
    uint32_t copied;
  } copies[] = {
      {"src\\team\\a.txt", "Latest\\C\\team\\a.txt", kDestOk},
      {"src\\theirs\\b.txt", "Latest\\C\\theirs\\b.txt", plat::kErrStoreFolderNotOwned},
      {"src\\theirs\\b.txt", "Latest\\C\\theirs\\deeper\\b.txt", plat::kErrStoreFolderNotOwned},
      {"src\\admin\\c.txt", "Latest\\C\\admin\\c.txt", kDestOk},
      {"src\\secret\\tax.txt", "Latest\\C\\secret\\tax.txt", kDestOk}};
  std::istringstream lines(AsUser(kMe, [&] {
    bvtest::EventCollector events;
    auto disk = DiskAt(t.SystemOf("Store"));
    std::string out;
    for (const auto& c : copies) {
      const std::string target = t.SystemOf("Store\\" + std::string(c.target));
      disk->CreateFolders(target);
      out += std::to_string(disk->CopyFile(t.SystemOf(c.source), target)) + "\n";
    }
    const std::string revision = t.SystemOf("Store\\Revision\\C\\theirs\\a(0001).txt");
    disk->CreateFolders(revision);
    out += std::to_string(disk->MoveFile(t.SystemOf("Store\\Latest\\C\\team\\a.txt"), revision));
    for (const EventData& e : events.Events()) out += "\n" + e.text1;
    return out;
  }));
  std::string line;
  for (const auto& c : copies) {
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, std::to_string(c.copied)) << c.target;
  }
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line, std::to_string(kDestFailed)) << "a move into their revision folder";
  std::vector<std::string> events;
  while (std::getline(lines, line)) events.push_back(line);
  // Each refused folder once, the closing once, and the entries others left.
  auto told = [&](const std::string& key, const std::string& rel) {
    std::string words = GetText("STORE", key);
    const size_t at = words.find("%s");
    if (at == std::string::npos) return -1L;
    words.replace(at, 2, t.NativeOf(rel));
    return static_cast<long>(std::count(events.begin(), events.end(), words));
  };
  EXPECT_EQ(told("FOLDER_CLOSED", "Store/Latest"), 1);
  for (const char* theirs : {"Store/Latest/C/team/planted.txt", "Store/Latest/C/theirs"})
    EXPECT_EQ(told("ENTRY_NOT_OWNED", theirs), 1) << theirs;
  for (const char* refused : {"Store/Latest/C/theirs", "Store/Revision/C/theirs"})
    EXPECT_EQ(told("FOLDER_NOT_OWNED", refused), 1) << refused;
  EXPECT_EQ(events.size(), 5u);
  EXPECT_EQ(t.Read("Store/Latest/C/admin/c.txt"), "src/admin/c.txt");
  for (const char* rel : {"Store/Latest/C/theirs", "Store/Revision/C/theirs"})
    EXPECT_TRUE(fs::is_empty(t.NativeOf(rel))) << rel;
  const std::pair<const char*, mode_t> modes[] = {
      {"Store/Latest", 0700},          {"Store/Latest/C", 0700},
      {"Store/Latest/C/team", 0700},   {"Store/Latest/C/team/a.txt", 0644},
      {"Store/Latest/C/secret", 0700}, {"Store/Latest/C/secret/tax.txt", 0600},
      {"Store/Revision", 0755}};
  for (const auto& [rel, mode] : modes) {
    struct stat st {};
    ASSERT_EQ(stat(t.NativeOf(rel).c_str(), &st), 0) << rel;
    EXPECT_EQ(st.st_mode & 07777, mode) << rel;
  }
  EXPECT_EQ(t.Read("Store/Latest/C/secret/tax.txt"), "src/secret/tax.txt");
}

// The long-path form refuses what does not fit (in UTF-16 units); share folders start below
// server and share.
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

const std::string kShare = "\\\\bvsrv\\share";

std::string ShareSection(const bvtest::TempDir& folder, const char* online = "1") {
  return "[" + kShare + "]\nRoot=" + folder.Native() + "\nOnline=" + online + "\n";
}

std::string Letter(char letter, const bvtest::TempDir& folder, const std::string& remote) {
  std::string s = std::string("[") + letter + "]\nRoot=" + folder.Native() + "\n";
  if (!remote.empty()) s += "Type=network\nRemote=" + remote + "\n";
  return s;
}

std::unique_ptr<CNetworkDevice> NetworkAt(const std::string& root,
                                          IDestinationOwner* owner = nullptr) {
  return Configured<CNetworkDevice>(root, owner);
}

class NetworkTest : public testing::Test {
 protected:
  bvtest::TempDir share_, other_, local_, plan_;
  PlanOwner owner_{plan_.System() + "\\"};
  ScopedVolumes volumes_{Table()};

  std::string Table(const std::string& rest = "") const {
    return "[C]\nRoot=/\n" + ShareSection(share_) + rest;
  }
  // Rewrites the table step by step and checks the availability after each.
  void Follow(CNetworkDevice* dest, const std::vector<std::pair<std::string, bool>>& steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
      volumes_.Rewrite(steps[i].first);
      dest->Refresh();
      EXPECT_EQ(dest->IsAvailable(), steps[i].second) << "step " << i;
    }
  }
};

// A mapped letter's root takes its remote name; settings round trip (also the disk kind's).
TEST_F(NetworkTest, RemoteNamesAndSettings) {
  volumes_.Rewrite(Table(Letter('Z', share_, kShare) + Letter('E', local_, "")));
  const std::pair<const char*, std::string> names[] = {
      {"  \tZ:\\Backup  ", kShare},
      {"z:\\Backup", kShare},
      {"Z:", kShare},
      {"E:\\Backup", ""},  // a local letter
      {"Y:\\Backup", ""},  // not connected
      {"Z", ""},
      {"", ""},
  };
  for (const auto& [root, remote] : names) EXPECT_EQ(NetworkAt(root)->GetRemoteName(), remote);
  auto mapped = NetworkAt("  \tZ:\\Backup  ");
  EXPECT_EQ(mapped->GetRootPath(), "Z:\\Backup");
  EXPECT_EQ(NetworkAt(kShare + "\\Backup")->GetRemoteName(), "");
  mapped->Configure(PlanSettings{});
  EXPECT_EQ(mapped->GetRemoteName(), "") << "configuring again replaces the name";

  for (const std::string& root : {std::string("Z:\\Backup\\"), kShare + "\\Backup ü 日本\\"}) {
    auto saved = NetworkAt(root, &owner_);
    ASSERT_TRUE(saved->SaveSettings()) << root;
    CNetworkDevice loaded(&owner_);
    ASSERT_TRUE(loaded.LoadSettings()) << root;
    EXPECT_EQ(loaded.GetRootPath(), root);
    EXPECT_EQ(loaded.GetRemoteName(), saved->GetRemoteName());
  }
  const std::string ini = plan_.NativeOf("Devices.ini");
  EXPECT_EQ(plat::GetProfileString(plan_.SystemOf("Devices.ini"), "Disk Device", "RemoteName", "x"),
            "");
  bvtest::WriteNative(ini, "[Disk Device]\nRootDir=Z:\\old\nRemoteName=\\\\a\\b\n");
  CNetworkDevice fromDisk(&owner_);
  ASSERT_TRUE(fromDisk.LoadSettings());
  EXPECT_EQ(fromDisk.GetRootPath() + "|" + fromDisk.GetRemoteName(), "Z:\\old|\\\\a\\b");
  auto dest = NetworkAt("Z:\\Kept", &owner_);
  fs::remove(ini);
  EXPECT_FALSE(dest->LoadSettings());
  EXPECT_EQ(dest->GetRootPath() + "|" + dest->GetRemoteName(), "Z:\\Kept|" + kShare);

  volumes_.Rewrite(Table(Letter('Z', share_, "\\\\new\\share")));
  const std::string before = "[Disk Device]\nRootDir=Z:\\old\nRemoteName=\\\\old\\share\n";
  bvtest::WriteNative(ini, before);
  auto injected = NetworkAt("Z:\\a\nRootDir=Y:\\injected", &owner_);
  ASSERT_EQ(injected->GetRemoteName(), "\\\\new\\share");
  EXPECT_FALSE(injected->SaveSettings());
  EXPECT_EQ(bvtest::ReadNative(ini), before) << "the remote name is not written either";
  PlanOwner gone(plan_.System() + "\\missing\\");
  EXPECT_FALSE(NetworkAt("Z:\\b", &gone)->SaveSettings());
  EXPECT_FALSE(fs::exists(plan_.NativeOf("missing")));
}

// Availability follows the share (of a path or a mapped letter) or the local volume; preparing
// a share that is down makes nothing; identity ignores case but not the kind.
TEST_F(NetworkTest, AvailabilityPreparationAndIdentity) {
  auto dest = NetworkAt(kShare + "\\Backup\\");
  Follow(dest.get(), {{Table(), true},
                      {"[C]\nRoot=/\n" + ShareSection(share_, "0"), false},
                      {Table(), true},
                      {"[C]\nRoot=/\n", false},  // no longer declared at all
                      {Table(), true}});
  // Share names are not case-sensitive; other shares and bad names are down.
  EXPECT_TRUE(Refreshed<CNetworkDevice>("\\\\BVSRV\\Share\\x"));
  for (const char* root : {"\\\\bvsrv\\other\\x", "\\\\bvsrv", "\\", "", "1:\\x"})
    EXPECT_FALSE(Refreshed<CNetworkDevice>(root)) << root;
  const std::string mapped = Letter('Z', share_, kShare);
  volumes_.Rewrite(Table(mapped));
  auto letter = NetworkAt("Z:\\Backup");
  ASSERT_EQ(letter->GetRemoteName(), kShare);
  Follow(letter.get(), {{Table(mapped), true},
                        {Table(), false},  // Z: disconnected
                        {Table(mapped), true},
                        {Table(Letter('Z', other_, "\\\\bvsrv\\other")), false},  // remapped
                        {Table(Letter('Z', share_, "\\\\BVSRV\\share")), false},  // case differs
                        {Table(Letter('Z', share_, "")), false},  // now a local letter
                        // The letter counts, not whether the share is declared online.
                        {"[C]\nRoot=/\n" + ShareSection(share_, "0") + mapped, true}});
  volumes_.Rewrite(Table(Letter('Y', local_, "")));
  auto local = NetworkAt("Y:\\Backup");
  ASSERT_EQ(local->GetRemoteName(), "");
  Follow(local.get(), {{Table(Letter('Y', local_, "")), true},
                       {Table(Letter('Y', share_, kShare)), false},
                       {Table(), false}});

  volumes_.Rewrite("[C]\nRoot=/\n" + ShareSection(share_, "0"));
  auto store = NetworkAt(kShare + "\\Store");
  EXPECT_TRUE(store->Prepare(true));
  EXPECT_TRUE(fs::is_empty(share_.Native()));
  volumes_.Rewrite(Table());
  EXPECT_TRUE(store->Prepare(false));
  EXPECT_TRUE(fs::is_empty(share_.Native()));
  EXPECT_TRUE(store->Prepare(true));
  EXPECT_TRUE(IsStoreFolder(kShare + "\\Store"));

  auto share = NetworkAt(kShare + "\\Backup");
  EXPECT_TRUE(share->IsSameDestination(*NetworkAt("\\\\BVSRV\\share\\backup\\")));
  EXPECT_FALSE(share->IsSameDestination(*NetworkAt(kShare + "\\Backup2")));
  auto disk = Configured<CDiskDevice>(kShare + "\\Backup");
  EXPECT_FALSE(share->IsSameDestination(*disk) || disk->IsSameDestination(*share));
  EXPECT_FALSE(share->IsSameVolume(*disk) || disk->IsSameVolume(*share));
}

}  // namespace
