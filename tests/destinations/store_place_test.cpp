// Where a store stands (markers, the plan's own disk) and volumes' capacity.
#include <sys/time.h>

#include <cstdio>

#include "destination_suite.h"
#include "destinations/FtpSession.h"
#include "destinations/StoreBinding.h"
#include "destinations/StoreMarker.h"
#include "destinations/VolumeCapacity.h"

namespace {

// A file lies inside a store at any depth below a marker, only while it is there; an empty
// marker or another user's counts for nothing.
TEST(StoreMarker, FilesLieInsideAStoreWhileAMarkerStandsAboveThem) {
  bvtest::TempDir e, share;
  ScopedVolumes volumes("[C]\nRoot=/\n[E]\nRoot=" + e.Native() +
                        "\n[\\\\nas\\backup]\nRoot=" + share.Native() + "\nOnline=1\n");
  const auto expectInside = [](bool inside, std::initializer_list<const char*> paths) {
    for (const char* path : paths) EXPECT_EQ(IsInsideStore(path), inside) << path;
  };
  const std::string marker = StoreMarkerText(NewStoreId());
  e.Write("Plain/file.txt", "x");
  expectInside(false, {"E:\\Store\\Latest\\x\\y.doc", "\\\\nas\\backup\\a\\b.txt"});
  e.Write("Store/Brevanto.dat", marker);
  for (const char* path : {"E:\\Store", "e:\\Store\\"}) EXPECT_TRUE(IsStoreFolder(path)) << path;
  for (const char* path : {"E:\\Plain", "E:\\Missing", ""})
    EXPECT_FALSE(IsStoreFolder(path)) << path;
  expectInside(true, {"E:\\Store\\Latest\\x\\y.doc", "E:\\Store\\y.doc",
                      "\\\\?\\E:\\Store\\Latest\\y.doc", "E:\\Store\\\\Latest\\y.doc"});
  expectInside(false, {"E:\\Storehouse\\y.doc", "E:\\Other\\y.doc"});
  for (const std::string& text : {std::string(), std::string("[Store]\nId=12\n"), marker}) {
    e.Write("Plain/Brevanto.dat", text);
    if (text == marker && chown(e.NativeOf("Plain/Brevanto.dat").c_str(), 65534, 65534) != 0) break;
    expectInside(false, {"E:\\Plain\\file.txt"});
  }
  std::remove(e.NativeOf("Store/Brevanto.dat").c_str());
  expectInside(false, {"E:\\Store\\Latest\\a.txt", "E:\\Store\\b.txt"});
  e.Write("Store/Latest/x/Brevanto.dat", marker);
  expectInside(true, {"E:\\Store\\Latest\\x\\y.doc"});
  // The marker lies below these.
  expectInside(false, {"E:\\Store\\Latest\\y.doc", "E:\\Store\\Latest\\xx\\y.doc"});
  e.Write("Brevanto.dat", marker);
  expectInside(true, {"E:\\Store\\Latest\\y.doc", "E:\\y.doc"});
  expectInside(false, {"y.doc", "Store\\y.doc", "E:y.doc", "\\\\nas", ""});
  share.Write("Brevanto.dat", marker);
  expectInside(true, {"\\\\nas\\backup\\a\\b.txt", "\\\\?\\UNC\\nas\\backup\\a\\b.txt"});
  // Without a share name there is no root.
  expectInside(false, {"\\\\nas\\\\backup\\a\\b.txt", "\\\\\\nas\\backup\\a\\b.txt"});
  EXPECT_TRUE(IsStoreFolder("\\\\nas\\backup"));

  // A local server's private marker keeps a user who cannot read it out where it is pinned;
  // copies another user planted elsewhere hide nothing and are never found as the store.
  std::remove(e.NativeOf("Brevanto.dat").c_str());
  const std::string served = NewStoreId();
  NoteServerStore(served);
  const std::string nonce = NewStoreId();
  for (const char* folder : {"Served", "Planted", "Hidden"}) {
    e.Write(std::string(folder) + "/Brevanto.dat", StoreMarkerText(served, nonce));
    const std::string marker = e.NativeOf(std::string(folder) + "/Brevanto.dat");
    ASSERT_EQ(chown(marker.c_str(), 4242, 4242), 0);
    ASSERT_EQ(chmod(marker.c_str(), std::string(folder) == "Planted" ? 0644 : 0600), 0);
  }
  PinServerStore(served, "E:\\Served");
  ASSERT_EQ(chmod(e.Native().c_str(), 0755), 0);
  // Where the server's marker lies, told by the identity the server gives of it.
  struct stat servedMarker {};
  ASSERT_EQ(stat(e.NativeOf("Served/Brevanto.dat").c_str(), &servedMarker), 0);
  const timeval twin[2] = {{servedMarker.st_mtime, 0}, {servedMarker.st_mtime, 0}};
  ASSERT_EQ(utimes(e.NativeOf("Hidden/Brevanto.dat").c_str(), twin), 0);
  ServerMarker written{served, nonce, {}, false};
  char facts[96];
  std::snprintf(facts, sizeof facts, "type=file;UNIX.mode=0600;Unique=%llxg%llx;",
                static_cast<unsigned long long>(servedMarker.st_dev),
                static_cast<unsigned long long>(servedMarker.st_ino));
  ASSERT_TRUE(IdentityOfFacts(facts, &written.identity));
  written.identified = true;
  plat::FileId none;
  for (const char* odd : {"type=file;", "type=file;xunique=1g2;", "unique=12;", "unique=1g2g3;"})
    EXPECT_FALSE(IdentityOfFacts(odd, &none)) << odd;
  ASSERT_TRUE(volumes.OpenToAll());
  expectInside(false, {"E:\\Planted\\a.txt", "E:\\Planted\\Latest\\a.txt"});
  EXPECT_EQ(
      AsUser(
          65534,
          [&] {
            const bool served =
                IsStoreFolder("E:\\Served") && IsInsideStore("E:\\Served\\Latest\\a.txt");
            const bool planted = IsStoreFolder("E:\\Planted") || IsStoreFolder("E:\\Hidden") ||
                                 IsInsideStore("E:\\Hidden\\a.txt");
            const bool found =
                FindServerStoreFolder({"E:\\Served"}, written, 100) == "E:\\Served" &&
                FindServerStoreFolder({"E:\\Hidden", "E:\\Planted"}, written, 100).empty();
            return std::string(!served ? "not served" : planted ? "planted" : !found ? "lost" : "");
          }),
      "");
  // Unpinned (a server elsewhere): not even the store's own folder counts.
  PinServerStore(served, "");
  expectInside(false, {"E:\\Served\\Latest\\a.txt"});
  // The marker just written, known by its identity, counts unpinned, but not with a second name.
  NoteServerMarker(written);
  expectInside(true, {"E:\\Served\\Latest\\a.txt"});
  fs::create_directories(e.NativeOf("Linked"));
  ASSERT_EQ(
      link(e.NativeOf("Served/Brevanto.dat").c_str(), e.NativeOf("Linked/Brevanto.dat").c_str()),
      0);
  EXPECT_EQ(FindServerStoreFolder({"E:\\Linked", "E:\\Served"}, written, 100), "");
  expectInside(false, {"E:\\Linked\\a.txt", "E:\\Served\\Latest\\b.txt"});
}

// A store is made for a new plan, kept, made again when lost on its own disk, never on another
// disk at its letter.
TEST(StoreBinding, AStoreIsMadeOnlyOnThePlansOwnDisk) {
  bvtest::TempDir e, friendDisk, plan;
  auto table = [&](const bvtest::TempDir& d, const char* label) {
    return "[C]\nRoot=/\n[E]\nRoot=" + d.Native() + "\nLabel=" + label + "\n";
  };
  ScopedVolumes volumes(table(e, "BACKUP"));
  const std::string folder = plan.System() + "\\";
  StoreRecord record;
  const struct {
    const char* root;
    bool lose, onFriend;
    StoreVerdict verdict;
    const char* label = "BACKUP";
  } rows[] = {{"E:\\Store\\", false, false, StoreVerdict::kOwn},
              {"E:\\Store", false, false, StoreVerdict::kOwn},
              {"E:\\Store\\", true, true, StoreVerdict::kNotConnected},
              {"E:\\Store\\", true, false, StoreVerdict::kFresh},
              // relabelled: still its own disk when the store is lost there
              {"E:\\Store\\", false, false, StoreVerdict::kOwn, "SAFE"},
              {"E:\\Store\\", true, false, StoreVerdict::kFresh, "SAFE"},
              {"E:\\Store\\", false, false, StoreVerdict::kOwn},
              {"E:\\Store2\\", false, false, StoreVerdict::kFresh}};
  for (const auto& row : rows) {
    if (row.lose) fs::remove_all(e.NativeOf("Store"));
    volumes.Rewrite(table(row.onFriend ? friendDisk : e, row.onFriend ? "FRIEND" : row.label));
    EXPECT_EQ(LookAtStore(folder, kStorageLocal, row.root, true, &record), row.verdict) << row.root;
    std::string id;
    EXPECT_TRUE(row.onFriend ? fs::is_empty(friendDisk.Native())
                             : ReadStoreMarker(row.root, &id) && id == record.id);
  }
  EXPECT_EQ(StoreDiskName(record, "E:\\Store2\\"), "BACKUP");
  // A disk whose label cannot be read is known by the folder it is mounted on.
  volumes.Rewrite("[C]\nRoot=/\n[E]\nRoot=" + e.Native() + "\n");
  EXPECT_EQ(LookAtStore(folder, kStorageLocal, "E:\\Store2\\", true, &record), StoreVerdict::kOwn);
  StoreRecord unlabelled;
  ASSERT_TRUE(ReadStoreRecord(folder, &unlabelled));
  EXPECT_EQ(StoreDiskName(unlabelled, "E:\\Store2\\"),
            std::filesystem::path(e.Native()).filename().string());
  StoreRecord read;
  EXPECT_TRUE(ReadStoreRecord(folder, &read) && read.id == record.id &&
              read.root == "E:\\Store2\\");
  // On a disk open to all, folders another user made beforehand are refused; the user's own are
  // closed to others.
  ASSERT_TRUE(volumes.OpenToAll());
  fs::permissions(e.Native(), fs::perms(01777));
  const std::pair<const char*, uid_t> kPlanted[] = {{"Theirs", 4242}, {"Theirs/Latest", 4242},
                                                    {"Mine", 65534},  {"Mine/Revision", 4242},
                                                    {"Loose", 65534}, {"plan", 65534}};
  for (const auto& [rel, owner] : kPlanted) {
    fs::create_directories(e.NativeOf(rel));
    ASSERT_EQ(chown(e.NativeOf(rel).c_str(), owner, owner), 0);
    ASSERT_EQ(chmod(e.NativeOf(rel).c_str(), 0777), 0);
  }
  const auto code = [](StoreVerdict v) { return std::to_string(int(v)) + " "; };
  EXPECT_EQ(
      AsUser(65534,
             [&] {
               std::string verdicts;
               for (const char* root : {"E:\\Theirs\\", "E:\\Mine\\", "E:\\Loose\\"}) {
                 StoreRecord fresh;
                 verdicts += code(
                     LookAtStore(e.SystemOf("plan") + "\\", kStorageLocal, root, false, &fresh));
               }
               return verdicts;
             }),
      code(StoreVerdict::kNotOwned) + code(StoreVerdict::kNotOwned) + code(StoreVerdict::kOwn));
  // ... and its trees are made with it (no one else can take their names).
  for (const char* rel : {"Loose", "Loose/Latest", "Loose/Revision"}) {
    struct stat loose {};
    ASSERT_EQ(stat(e.NativeOf(rel).c_str(), &loose), 0) << rel;
    EXPECT_EQ(loose.st_mode & 0777, 0700u) << rel;
    EXPECT_EQ(loose.st_uid, 65534u) << rel;
  }
  EXPECT_FALSE(fs::exists(e.NativeOf("Theirs/Brevanto.dat")));
  EXPECT_FALSE(fs::exists(e.NativeOf("Mine/Brevanto.dat")));
}

// The override's figures replace the measured ones; unknown volumes give failure and zero.
TEST(VolumeCapacity, OverriddenMeasuredAndUnknownVolumes) {
  bvtest::TempDir d, e;
  ScopedVolumes volumes("[C]\nRoot=/\n[D]\nRoot=" + d.Native() + "\n[E]\nRoot=" + e.Native() +
                        "\nTotalBytes=5000000000000\nFreeBytes=10485759\n[Z]\nRoot=" + e.Native() +
                        "\nTotalBytes=7000\nFreeBytes=700\n");
  const struct {
    const char* path;
    decltype(&GetFreeSpace) get;
    uint64_t bytes;
  } cases[] = {
      {"E:\\", &GetFreeSpace, 10485759},
      {"e:\\Store\\not\\made\\yet", &GetTotalSpace, 5000000000000},
      {"\\\\?\\E:\\Store", &GetFreeSpace, 10485759},
      {"z:\\x", &GetTotalSpace, 7000},
      {"Z:\\", &GetFreeSpace, 700},
  };
  for (const auto& c : cases) {
    uint64_t bytes = 1;
    EXPECT_EQ(c.get(c.path, &bytes), kDestOk) << c.path;
    EXPECT_EQ(bytes, c.bytes) << c.path;
  }
  EXPECT_EQ(GetFreeSpace("E:\\", nullptr), kDestOk);

  uint64_t total = 0, freeBytes = 0;
  ASSERT_EQ(GetTotalSpace("D:\\", &total), kDestOk);
  ASSERT_EQ(GetFreeSpace("D:\\", &freeBytes), kDestOk);
  const std::filesystem::space_info space = std::filesystem::space(d.Native());
  EXPECT_EQ(total, space.capacity);
  // Others write to the same disk meanwhile: allow for some drift.
  EXPECT_LT(freeBytes > space.available ? freeBytes - space.available : space.available - freeBytes,
            1ull << 30);
  for (const char* path : {"Q:\\x", "\\\\nowhere\\share\\x", ""}) {
    for (auto* get : {&GetFreeSpace, &GetTotalSpace}) {
      uint64_t bytes = 77;
      EXPECT_EQ(get(path, &bytes), kDestFailed) << path;
      EXPECT_EQ(bytes, 0u) << path;
    }
  }
}

}  // namespace
