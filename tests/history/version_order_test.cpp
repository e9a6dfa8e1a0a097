// The order the restore window shows: names in natural order (runs of
// digits by value however long, letters without case, names that differ
// only there by their bytes), folders first, each file once with its
// versions newest first.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "history/RestoreJobs.h"
#include "history/StoreAccess.h"
#include "history/VersionTree.h"
#include "support/ScratchEnv.h"
#include "support/TempDir.h"

using bvtest::ScratchEnv;
using bvtest::WriteNative;

TEST(VersionOrderTest, NaturalOrderOfNames) {
  const std::string longRun = "a" + std::string(256, '1'), shorterRun = "a" + std::string(255, '9');
  const std::vector<std::pair<std::string, std::string>> ordered = {
      {"x1b", "x12a"},  {"a9", "a10"},     {shorterRun, longRun}, {"n-1", "n1"},
      {"n1", "n:1"},    {"X1B", "x1b"},    {"x007", "x7"},        {"abc", "abd"},
      {"B", "b"},       {"z", "\xc3\xa9"}, {"b9", "B9(0001)"},    {"B9(0001)", "b10"},
      {"x06.txt", "x7"}};
  for (const auto& [less, more] : ordered) {
    EXPECT_TRUE(NaturalLess(less, more)) << less.substr(0, 12) << " < " << more.substr(0, 12);
    EXPECT_FALSE(NaturalLess(more, less)) << more.substr(0, 12) << " !< " << less.substr(0, 12);
  }
  EXPECT_FALSE(NaturalLess("same", "same"));
}

TEST(VersionOrderTest, FolderListingMergesLatestAndRevisionInNaturalOrder) {
  ScratchEnv env;
  const std::string latest = env.Store().NativeOf("store/Latest/C/f/");
  const std::string revision = env.Store().NativeOf("store/Revision/C/f/");
  for (const char* name : {"x1b", "X1B", "x12a", "x007", "x7", "x06.txt", "n-1", "n:1", "n1", "b10",
                           "b9", "B9(0001)", "Sub9/a", "sub10/a", ".~bvtmp-0123456789abcdef"})
    WriteNative(latest + name, name);
  for (const char* name :
       {"b9(0001)", "b9(0002)", "b10(0012)", "only(0001).txt", "x12a(0001)", "zz/a"})
    WriteNative(revision + name, std::string("revision ") + name);

  RestoreStore store;
  store.storageType = kStorageLocal;
  store.folder = ScratchEnv::OnE("store\\");
  std::unique_ptr<StoreAccess> access = MakeStoreAccess(store);
  CVersionFolder folder;
  folder.latestPath = ScratchEnv::OnE("store\\Latest\\C\\f");
  folder.revisionPath = ScratchEnv::OnE("store\\Revision\\C\\f");
  ASSERT_TRUE(ListVersionFolder(*access, '\\', &folder));

  std::vector<std::string> folders, files;
  for (const auto& sub : folder.folders)
    folders.push_back(sub->name + (sub->latestPath.empty() ? " revision only" : ""));
  EXPECT_EQ(folders, (std::vector<std::string>{"Sub9", "sub10", "zz revision only"}));
  for (const VersionFile& file : folder.files) {
    std::string line = file.name;
    for (const FileVersion& v : file.versions) {
      line += v.current ? " latest" : " " + std::to_string(v.number);
      EXPECT_EQ(v.size, (v.current ? file.name
                                   : "revision " + v.storePath.substr(v.storePath.rfind('\\') + 1))
                            .size());
      EXPECT_TRUE(v.sized);
    }
    files.push_back(line);
  }
  EXPECT_EQ(files, (std::vector<std::string>{"b9 latest 2 1", "B9(0001) latest", "b10 latest 12",
                                             "n-1 latest", "n1 latest", "n:1 latest", "only.txt 1",
                                             "X1B latest", "x1b latest", "x06.txt latest",
                                             "x007 latest", "x7 latest", "x12a latest 1"}));
  ASSERT_EQ(folder.files.front().versions.size(), 3u);
  EXPECT_EQ(folder.files.front().versions[1].storePath,
            ScratchEnv::OnE("store\\Revision\\C\\f\\b9(0002)"));
}
