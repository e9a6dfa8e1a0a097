// Details of the local file operations that the shared suite leaves out:
// long-path form, share paths, listing by case and by odd names.
#include <filesystem>

#include <gtest/gtest.h>

#include "destinations/DiskDevice.h"
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
  EXPECT_EQ(disk.CreateFolders("\\\\unknown\\share\\a\\f.txt"), kDestOk);
}

TEST(LocalFileOps, ListVersionsMatchesWithoutCaseAndOnlyTheGivenName) {
  bvtest::TempDir t;
  for (const char* name : {"A(12).TXT", "a(3).txt", "w*(5).txt", "wx(9).txt", "w(8).txt",
                           "a(-4).txt", "a(99999999999).txt"})
    t.Write(std::string("R/") + name, "v");
  CDiskDevice disk(nullptr);
  std::string folder = t.SystemOf("R") + "\\";

  std::vector<VersionEntry> list;
  // The listing saturates numbers beyond 32 bits in its result.
  EXPECT_EQ(disk.ListVersions(folder, "a", "txt", &list), INT32_MAX);
  EXPECT_EQ(list.size(), 4u);
  bool sawNegative = false, sawHuge = false;
  for (const auto& v : list) {
    sawNegative |= v.number == -4;
    sawHuge |= v.number == 99999999999;
  }
  EXPECT_TRUE(sawNegative);
  EXPECT_TRUE(sawHuge);

  // A name holding a wildcard character lists its own copies only.
  list.clear();
  EXPECT_EQ(disk.ListVersions(folder, "w*", "txt", &list), 5);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].path, folder + "w*(5).txt");
}

}  // namespace
