// The store marker lookups: a folder that is a store, and a file inside one.
#include <gtest/gtest.h>

#include "destinations/StoreMarker.h"
#include "support/TempDir.h"
#include "volume_override.h"

namespace {

class StoreMarkerTest : public testing::Test {
 protected:
  bvtest::TempDir e_;      // drive E:
  bvtest::TempDir share_;  // \\nas\backup
  ScopedVolumes volumes_{"[C]\nRoot=/\n[E]\nRoot=" + e_.Native() +
                         "\n[\\\\nas\\backup]\nRoot=" + share_.Native() + "\nOnline=1\n"};
  void Mark(const bvtest::TempDir& where, const std::string& folder) {
    where.Write(folder.empty() ? "Brevanto.dat" : folder + "/Brevanto.dat", "");
  }
};

TEST_F(StoreMarkerTest, StoreFolderHoldsTheMarker) {
  Mark(e_, "Store");
  e_.Write("Plain/file.txt", "x");
  EXPECT_TRUE(IsStoreFolder("E:\\Store"));
  EXPECT_TRUE(IsStoreFolder("e:\\Store\\"));
  EXPECT_FALSE(IsStoreFolder("E:\\Plain"));
  EXPECT_FALSE(IsStoreFolder("E:\\Missing"));
  EXPECT_FALSE(IsStoreFolder(""));
}

TEST_F(StoreMarkerTest, FileInsideAStoreAtAnyDepth) {
  const std::string file = "E:\\Store\\Latest\\x\\y.doc";
  EXPECT_FALSE(IsInsideStore(file));

  Mark(e_, "Store");
  EXPECT_TRUE(IsInsideStore(file));
  EXPECT_TRUE(IsInsideStore("E:\\Store\\y.doc"));
  EXPECT_TRUE(IsInsideStore("\\\\?\\E:\\Store\\Latest\\y.doc"));
  EXPECT_TRUE(IsInsideStore("E:\\Store\\\\Latest\\y.doc"));
  EXPECT_FALSE(IsInsideStore("E:\\Storehouse\\y.doc"));
  EXPECT_FALSE(IsInsideStore("E:\\Other\\y.doc"));
}

TEST_F(StoreMarkerTest, MarkerAtTheDriveRootOrTheFilesOwnFolder) {
  Mark(e_, "Store/Latest/x");
  EXPECT_TRUE(IsInsideStore("E:\\Store\\Latest\\x\\y.doc"));
  EXPECT_FALSE(IsInsideStore("E:\\Store\\Latest\\y.doc"));  // the marker lies below
  EXPECT_FALSE(IsInsideStore("E:\\Store\\Latest\\xx\\y.doc"));

  Mark(e_, "");
  EXPECT_TRUE(IsInsideStore("E:\\Store\\Latest\\y.doc"));
  EXPECT_TRUE(IsInsideStore("E:\\y.doc"));
}

TEST_F(StoreMarkerTest, SharePathsStartAtTheShare) {
  EXPECT_FALSE(IsInsideStore("\\\\nas\\backup\\a\\b.txt"));
  Mark(share_, "");
  EXPECT_TRUE(IsInsideStore("\\\\nas\\backup\\a\\b.txt"));
  EXPECT_TRUE(IsInsideStore("\\\\?\\UNC\\nas\\backup\\a\\b.txt"));
  EXPECT_TRUE(IsStoreFolder("\\\\nas\\backup"));
}

TEST_F(StoreMarkerTest, PathsWithoutARootAreNeverInside) {
  Mark(e_, "");
  EXPECT_FALSE(IsInsideStore("y.doc"));
  EXPECT_FALSE(IsInsideStore("Store\\y.doc"));
  EXPECT_FALSE(IsInsideStore("E:y.doc"));
  EXPECT_FALSE(IsInsideStore("\\\\nas"));
  EXPECT_FALSE(IsInsideStore(""));
}

}  // namespace
