// The folder listing for big walks against DirSearch over one folder that
// holds every kind of entry: the same entries, the same kinds, the same
// sizes and dates of files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/FolderEntries.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using bvtest::TempDir;

namespace {

// name -> "folder" or "size time" ("size" alone without sizes).
using Listing = std::map<std::string, std::string>;

std::string Describe(bool folder, uint64_t size, int64_t time, bool sizes) {
  if (folder) return "folder";
  return sizes ? std::to_string(size) + " " + std::to_string(time) : std::to_string(size);
}

}  // namespace

TEST(FolderEntries, ListWhatDirSearchListsWithSizesAndDatesOfFiles) {
  TempDir t;
  t.Write("report.txt", "12345");
  t.Write("\xc3\xa4 notes.txt", "abc");
  t.Write("back\\slash.txt", "left out: a system path cannot carry it");
  t.Write("bad \xff.txt", "left out: not UTF-8");
  fs::create_directory(t.NativeOf("folder"));
  fs::create_symlink(t.NativeOf("report.txt"), t.NativeOf("link to file"));
  fs::create_directory_symlink(t.NativeOf("folder"), t.NativeOf("link to folder"));
  fs::create_symlink(t.NativeOf("nothing"), t.NativeOf("dangling"));
  ASSERT_EQ(mkfifo(t.NativeOf("pipe").c_str(), 0600), 0);
  const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, t.NativeOf("report.txt").c_str(), old, 0), 0);

  Listing searched;
  plat::DirSearch search;
  plat::FindData d;
  ASSERT_TRUE(search.Open(t.System() + "\\*", &d));
  do {
    if (d.name != "." && d.name != "..")
      searched[d.name] =
          Describe((d.attributes & plat::kAttrDirectory) != 0, d.size, d.writeTime, true);
  } while (search.Next(&d));
  ASSERT_EQ(searched.size(), 4u) << "two files, a folder, the link to a file";
  EXPECT_EQ(searched["report.txt"], "5 1000000000");
  EXPECT_EQ(searched["link to file"], "5 1000000000");

  for (const bool sizes : {true, false}) {
    Listing listed, expected;
    for (const auto& [name, what] : searched)
      expected[name] = sizes || what == "folder" ? what : "0";
    EXPECT_TRUE(plat::ListFolderEntries(t.System(), sizes, [&](const plat::FolderEntry& e) {
      listed[std::string(e.name)] = Describe(e.folder, e.size, e.writeTime, sizes);
      return true;
    }));
    EXPECT_EQ(listed, expected) << (sizes ? "with sizes" : "names only");
  }

  size_t calls = 0;
  EXPECT_TRUE(plat::ListFolderEntries(t.System(), true, [&](const plat::FolderEntry&) {
    ++calls;
    return false;
  }));
  EXPECT_EQ(calls, 1u) << "each returning false ends the listing";
  EXPECT_FALSE(plat::ListFolderEntries(t.SystemOf("missing"), true,
                                       [](const plat::FolderEntry&) { return true; }));
  EXPECT_EQ(plat::GetLastError(), plat::kErrPathNotFound);
}
