// The store marker lookups: a folder that is a store, and a file inside one.
#include <gtest/gtest.h>

#include <cstdio>
#include <utility>

#include "destinations/StoreMarker.h"
#include "support/TempDir.h"
#include "volume_override.h"

namespace {

using Cases = std::initializer_list<std::pair<const char*, bool>>;

class StoreMarkerTest : public testing::Test {
 protected:
  bvtest::TempDir e_;      // drive E:
  bvtest::TempDir share_;  // \\nas\backup
  ScopedVolumes volumes_{"[C]\nRoot=/\n[E]\nRoot=" + e_.Native() +
                         "\n[\\\\nas\\backup]\nRoot=" + share_.Native() + "\nOnline=1\n"};
  void Mark(const bvtest::TempDir& where, const std::string& folder) {
    where.Write(folder.empty() ? "Brevanto.dat" : folder + "/Brevanto.dat", "");
  }
  static void ExpectInside(Cases cases) {
    for (const auto& [path, inside] : cases) EXPECT_EQ(IsInsideStore(path), inside) << path;
  }
};

TEST_F(StoreMarkerTest, StoreFolderHoldsTheMarker) {
  Mark(e_, "Store");
  e_.Write("Plain/file.txt", "x");
  for (const auto& [path, store] : Cases{{"E:\\Store", true},
                                         {"e:\\Store\\", true},
                                         {"E:\\Plain", false},
                                         {"E:\\Missing", false},
                                         {"", false}})
    EXPECT_EQ(IsStoreFolder(path), store) << path;
}

TEST_F(StoreMarkerTest, FileInsideAStoreAtAnyDepth) {
  ExpectInside({{"E:\\Store\\Latest\\x\\y.doc", false}});
  Mark(e_, "Store");
  ExpectInside({{"E:\\Store\\Latest\\x\\y.doc", true},
                {"E:\\Store\\y.doc", true},
                {"\\\\?\\E:\\Store\\Latest\\y.doc", true},
                {"E:\\Store\\\\Latest\\y.doc", true},
                {"E:\\Storehouse\\y.doc", false},
                {"E:\\Other\\y.doc", false}});
}

TEST_F(StoreMarkerTest, MarkerAtTheDriveRootOrTheFilesOwnFolder) {
  Mark(e_, "Store/Latest/x");
  ExpectInside({{"E:\\Store\\Latest\\x\\y.doc", true},
                {"E:\\Store\\Latest\\y.doc", false},  // the marker lies below
                {"E:\\Store\\Latest\\xx\\y.doc", false}});
  Mark(e_, "");
  ExpectInside({{"E:\\Store\\Latest\\y.doc", true}, {"E:\\y.doc", true}});
}

// A store found once is remembered as a hint only: it counts while its marker
// is there, and a marker that appears elsewhere is found as before.
TEST_F(StoreMarkerTest, AStoreFoundBeforeCountsOnlyWhileItsMarkerIsThere) {
  Mark(e_, "Store");
  ExpectInside({{"E:\\Store\\Latest\\a.txt", true}});
  std::remove(e_.NativeOf("Store/Brevanto.dat").c_str());
  ExpectInside({{"E:\\Store\\Latest\\a.txt", false}, {"E:\\Store\\b.txt", false}});
  Mark(e_, "Store/Latest");
  ExpectInside({{"E:\\Store\\Latest\\a.txt", true}, {"E:\\Store\\b.txt", false}});
}

TEST_F(StoreMarkerTest, SharePathsStartAtTheShare) {
  ExpectInside({{"\\\\nas\\backup\\a\\b.txt", false}});
  Mark(share_, "");
  ExpectInside({{"\\\\nas\\backup\\a\\b.txt", true}, {"\\\\?\\UNC\\nas\\backup\\a\\b.txt", true}});
  EXPECT_TRUE(IsStoreFolder("\\\\nas\\backup"));
}

TEST_F(StoreMarkerTest, PathsWithoutARootAreNeverInside) {
  Mark(e_, "");
  ExpectInside({{"y.doc", false},
                {"Store\\y.doc", false},
                {"E:y.doc", false},
                {"\\\\nas", false},
                {"", false}});
}

}  // namespace
