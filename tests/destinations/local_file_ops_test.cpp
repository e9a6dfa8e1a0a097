// Details of the local file operations that the shared suite leaves out:
// long-path form, share paths, listing by case and by odd names.
#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "destinations/DiskDevice.h"
#include "platform/Errors.h"
#include "support/TempDir.h"
#include "volume_override.h"

namespace fs = std::filesystem;

namespace {

TEST(LongPathForm, PrefixesDriveAndSharePaths) {
  std::string out;
  ASSERT_TRUE(ToLongPathForm("C:\\a\\b.txt", &out));
  EXPECT_EQ(out, "\\\\?\\C:\\a\\b.txt");
  ASSERT_TRUE(ToLongPathForm("\\\\server\\share\\x", &out));
  EXPECT_EQ(out, "\\\\?\\UNC\\server\\share\\x");
  ASSERT_TRUE(ToLongPathForm("\\\\?\\C:\\already", &out));
  EXPECT_EQ(out, "\\\\?\\C:\\already");
}

TEST(LongPathForm, RefusesWhatDoesNotFitInsteadOfCutting) {
  std::string out = "x";
  std::string path = "C:\\" + std::string(2040, 'a');  // 2043 + 4 = 2047: fits
  ASSERT_TRUE(ToLongPathForm(path, &out));
  EXPECT_EQ(out.size(), 2047u);
  EXPECT_FALSE(ToLongPathForm(path + "a", &out));
  EXPECT_TRUE(out.empty());
  // Characters outside the basic plane take two units each, others one.
  std::string narrow = "C:\\" + std::string(2031, 'a');
  std::string wide = narrow;
  for (int i = 0; i < 5; ++i) {
    narrow += "\xC3\xA9";        // U+00E9
    wide += "\xF0\x9F\x98\x80";  // U+1F600
  }
  EXPECT_TRUE(ToLongPathForm(narrow, &out));  // 4 + 2034 + 5 units
  EXPECT_FALSE(ToLongPathForm(wide, &out));   // 4 + 2034 + 10 units
}

TEST(LocalFileOps, TooLongPathsFailCleanly) {
  bvtest::TempDir t;
  CDiskDevice disk(nullptr);
  std::string longPath = t.SystemOf(std::string(2100, 'n'));
  EXPECT_EQ(disk.DeleteFile(longPath), kDestFailed);
  EXPECT_EQ(disk.MoveFile(longPath, t.SystemOf("x")), kDestFailed);
  EXPECT_FALSE(disk.FileExists(longPath));
}

TEST(LocalFileOps, CreateFoldersOnAShareSkipsServerAndShare) {
  bvtest::TempDir share;
  ScopedVolumes volumes("[C]\nRoot=/\n[\\\\srv\\share]\nRoot=" + share.Native() + "\nOnline=1\n");
  CDiskDevice disk(nullptr);
  EXPECT_EQ(disk.CreateFolders("\\\\srv\\share\\a\\b\\f.txt"), kDestOk);
  EXPECT_TRUE(fs::is_directory(share.NativeOf("a/b")));
  EXPECT_FALSE(fs::exists(share.NativeOf("a/b/f.txt")));
  std::size_t entries = 0;
  for (auto it = fs::recursive_directory_iterator(share.Native());
       it != fs::recursive_directory_iterator(); ++it)
    ++entries;
  EXPECT_EQ(entries, 2u);  // a and a/b, nothing else

  EXPECT_EQ(disk.CreateFolders("\\\\?\\UNC\\srv\\share\\c\\f.txt"), kDestOk);
  EXPECT_TRUE(fs::is_directory(share.NativeOf("c")));
  EXPECT_EQ(disk.CreateFolders("\\\\srv"), kDestOk);
  // A share that is not there: its folder cannot be made, and says why.
  EXPECT_EQ(disk.CreateFolders("\\\\unknown\\share\\a\\f.txt"), plat::kErrBadNetName);
}

// The rule for which names count is in the shared suite; here the result,
// which saturates numbers beyond 32 bits.
TEST(LocalFileOps, ListVersionsSaturatesItsResult) {
  bvtest::TempDir t;
  for (const char* name : {"a(0003).txt", "a(99999999999).txt"})
    t.Write(std::string("R/") + name, "v");
  CDiskDevice disk(nullptr);
  std::string folder = t.SystemOf("R") + "\\";
  std::vector<VersionEntry> list;
  EXPECT_EQ(disk.ListVersions(folder, "a", "txt", &list), INT32_MAX);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(std::max(list[0].number, list[1].number), 99999999999);
}

}  // namespace
