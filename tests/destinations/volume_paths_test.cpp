// Where a path lies: inside a store or not (the marker lookups), and the
// free space and total size of its volume.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <utility>

#include "destination_suite.h"
#include "destinations/StoreMarker.h"
#include "destinations/VolumeCapacity.h"

namespace {

// Markers appear and vanish under one table of paths: a store folder holds
// the marker; a file lies inside a store at any depth below a marker (the
// drive root's and the file's own folder count); a store found before counts
// only while its marker is there; share paths start at the share; paths
// without a root are never inside.
TEST(StoreMarker, FilesLieInsideAStoreWhileAMarkerStandsAboveThem) {
  bvtest::TempDir e, share;
  ScopedVolumes volumes("[C]\nRoot=/\n[E]\nRoot=" + e.Native() +
                        "\n[\\\\nas\\backup]\nRoot=" + share.Native() + "\nOnline=1\n");
  const auto expectInside = [](bool inside, std::initializer_list<const char*> paths) {
    for (const char* path : paths) EXPECT_EQ(IsInsideStore(path), inside) << path;
  };
  e.Write("Plain/file.txt", "x");
  expectInside(false, {"E:\\Store\\Latest\\x\\y.doc", "\\\\nas\\backup\\a\\b.txt"});
  e.Write("Store/Brevanto.dat", "");
  for (const char* path : {"E:\\Store", "e:\\Store\\"}) EXPECT_TRUE(IsStoreFolder(path)) << path;
  for (const char* path : {"E:\\Plain", "E:\\Missing", ""})
    EXPECT_FALSE(IsStoreFolder(path)) << path;
  expectInside(true, {"E:\\Store\\Latest\\x\\y.doc", "E:\\Store\\y.doc",
                      "\\\\?\\E:\\Store\\Latest\\y.doc", "E:\\Store\\\\Latest\\y.doc"});
  expectInside(false, {"E:\\Storehouse\\y.doc", "E:\\Other\\y.doc"});
  std::remove(e.NativeOf("Store/Brevanto.dat").c_str());
  expectInside(false, {"E:\\Store\\Latest\\a.txt", "E:\\Store\\b.txt"});
  e.Write("Store/Latest/x/Brevanto.dat", "");
  expectInside(true, {"E:\\Store\\Latest\\x\\y.doc"});
  // The marker lies below these.
  expectInside(false, {"E:\\Store\\Latest\\y.doc", "E:\\Store\\Latest\\xx\\y.doc"});
  e.Write("Brevanto.dat", "");
  expectInside(true, {"E:\\Store\\Latest\\y.doc", "E:\\y.doc"});
  expectInside(false, {"y.doc", "Store\\y.doc", "E:y.doc", "\\\\nas", ""});
  share.Write("Brevanto.dat", "");
  expectInside(true, {"\\\\nas\\backup\\a\\b.txt", "\\\\?\\UNC\\nas\\backup\\a\\b.txt"});
  // Without a share name there is no root.
  expectInside(false, {"\\\\nas\\\\backup\\a\\b.txt", "\\\\\\nas\\backup\\a\\b.txt"});
  EXPECT_TRUE(IsStoreFolder("\\\\nas\\backup"));
}

// The override's figures replace the measured ones, also for a letter up to
// Z: that shares its folder with another; without them the file system is
// measured; unknown volumes give failure and zero.
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
