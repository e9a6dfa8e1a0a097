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

// Markers appear and vanish under one table of paths: a store folder holds
// the marker; a file lies inside a store at any depth below a marker (the
// drive root's and the file's own folder count); a store found before counts
// only while its marker is there; share paths start at the share; paths
// without a root are never inside.
TEST_F(StoreMarkerTest, FilesLieInsideAStoreWhileAMarkerStandsAboveThem) {
  e_.Write("Plain/file.txt", "x");
  ExpectInside({{"E:\\Store\\Latest\\x\\y.doc", false}, {"\\\\nas\\backup\\a\\b.txt", false}});
  Mark(e_, "Store");
  for (const auto& [path, store] : Cases{{"E:\\Store", true},
                                         {"e:\\Store\\", true},
                                         {"E:\\Plain", false},
                                         {"E:\\Missing", false},
                                         {"", false}})
    EXPECT_EQ(IsStoreFolder(path), store) << path;
  ExpectInside({{"E:\\Store\\Latest\\x\\y.doc", true},
                {"E:\\Store\\y.doc", true},
                {"\\\\?\\E:\\Store\\Latest\\y.doc", true},
                {"E:\\Store\\\\Latest\\y.doc", true},
                {"E:\\Storehouse\\y.doc", false},
                {"E:\\Other\\y.doc", false}});
  std::remove(e_.NativeOf("Store/Brevanto.dat").c_str());
  ExpectInside({{"E:\\Store\\Latest\\a.txt", false}, {"E:\\Store\\b.txt", false}});
  Mark(e_, "Store/Latest/x");
  ExpectInside({{"E:\\Store\\Latest\\x\\y.doc", true},
                {"E:\\Store\\Latest\\y.doc", false},  // the marker lies below
                {"E:\\Store\\Latest\\xx\\y.doc", false}});
  Mark(e_, "");
  ExpectInside({{"E:\\Store\\Latest\\y.doc", true},
                {"E:\\y.doc", true},
                {"y.doc", false},
                {"Store\\y.doc", false},
                {"E:y.doc", false},
                {"\\\\nas", false},
                {"", false}});
  Mark(share_, "");
  ExpectInside({{"\\\\nas\\backup\\a\\b.txt", true}, {"\\\\?\\UNC\\nas\\backup\\a\\b.txt", true}});
  EXPECT_TRUE(IsStoreFolder("\\\\nas\\backup"));
}

}  // namespace
