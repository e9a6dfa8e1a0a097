// File services on real folders: attributes, folders, copy, move, atomic
// writes, whole-file reads, directory searches and handle-based access.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "platform/Errors.h"
#include "platform/FaultSeam.h"
#include "platform/Files.h"
#include "support/DeepTree.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using bvtest::ReadNative;
using bvtest::TempDir;
using bvtest::WriteNative;

namespace {

mode_t ModeOf(const std::string& native) {
  struct stat st {};
  EXPECT_EQ(stat(native.c_str(), &st), 0) << native;
  return st.st_mode & 07777;
}

// Names of the temporary files a copy or atomic write may leave behind.
std::vector<std::string> TempLeftovers(const std::string& folder) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string n = e.path().filename().string();
    if (n.rfind(".~bvtmp-", 0) == 0) out.push_back(n);
  }
  return out;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

std::set<std::string> SearchNames(const std::string& pattern, uint64_t* skipped = nullptr) {
  std::set<std::string> names;
  plat::DirSearch search;
  plat::FindData d;
  if (search.Open(pattern, &d)) {
    do names.insert(d.name);
    while (search.Next(&d));
    EXPECT_EQ(plat::GetLastError(), plat::kErrNoMoreFiles);
  }
  if (skipped) *skipped = search.SkippedNames();
  return names;
}

}  // namespace

TEST(FilesAttributes, HiddenReadOnlyDirectoryAndMissing) {
  TempDir t;
  t.Write("plain.txt", "x");
  t.Write(".dotfile", "x");
  fs::create_directory(t.NativeOf("sub"));
  EXPECT_EQ(plat::GetFileAttributes(t.SystemOf("plain.txt")), plat::kAttrNormal);
  EXPECT_EQ(plat::GetFileAttributes(t.SystemOf(".dotfile")), plat::kAttrHidden);
  EXPECT_EQ(plat::GetFileAttributes(t.SystemOf("sub")), plat::kAttrDirectory);
  EXPECT_EQ(plat::GetFileAttributes(t.SystemOf("sub") + "\\"), plat::kAttrDirectory);
  EXPECT_TRUE(plat::IsDirectory(t.SystemOf("sub")));
  EXPECT_FALSE(plat::IsDirectory(t.SystemOf("plain.txt")));

  chmod(t.NativeOf("plain.txt").c_str(), 0444);
  EXPECT_EQ(plat::GetFileAttributes(t.SystemOf("plain.txt")), plat::kAttrReadOnly);
  // Clearing read-only sets the owner's write bit and leaves the rest.
  ASSERT_TRUE(plat::SetFileAttributes(t.SystemOf("plain.txt"), plat::kAttrNormal));
  EXPECT_EQ(ModeOf(t.NativeOf("plain.txt")), 0644u);
  ASSERT_TRUE(plat::SetFileAttributes(t.SystemOf("plain.txt"), plat::kAttrReadOnly));
  EXPECT_EQ(ModeOf(t.NativeOf("plain.txt")), 0444u);

  EXPECT_EQ(plat::GetFileAttributes(t.SystemOf("missing.txt")), plat::kInvalidAttributes);
  EXPECT_EQ(plat::GetLastError(), plat::kErrFileNotFound);
  EXPECT_EQ(plat::GetFileAttributes(t.SystemOf("nofolder\\missing.txt")), plat::kInvalidAttributes);
  EXPECT_EQ(plat::GetLastError(), plat::kErrPathNotFound);
  EXPECT_FALSE(plat::FileExists(t.SystemOf("missing.txt")));
  EXPECT_TRUE(plat::FileExists(t.SystemOf("plain.txt")));
  // Long-path prefix means the plain path.
  EXPECT_TRUE(plat::FileExists("\\\\?\\" + t.SystemOf("plain.txt")));
  // A wildcard in the last component is a search.
  EXPECT_TRUE(plat::FileExists(t.SystemOf("pl*.t?t")));
  EXPECT_FALSE(plat::FileExists(t.SystemOf("*.doc")));

  plat::FindData info;
  t.Write("sized.bin", std::string(1234, 'a'));
  ASSERT_TRUE(plat::GetFileInfo(t.SystemOf("sized.bin"), &info));
  EXPECT_EQ(info.name, "sized.bin");
  EXPECT_EQ(info.size, 1234u);
  EXPECT_GT(info.writeTime, 0);

  // Disk space of the volume, also of a folder not yet made.
  uint64_t freeBytes = 0, total = 0;
  ASSERT_TRUE(plat::GetDiskSpace(t.System(), &freeBytes, &total));
  EXPECT_GT(total, 0u);
  EXPECT_LE(freeBytes, total);
  // A folder not yet made is measured where it would be.
  uint64_t total2 = 0;
  ASSERT_TRUE(plat::GetDiskSpace(t.SystemOf("not\\yet"), nullptr, &total2));
  EXPECT_EQ(total2, total);
}

TEST(FilesFolders, CreateRemoveAndDelete) {
  TempDir t;
  EXPECT_TRUE(plat::CreateDirectory(t.SystemOf("a")));
  EXPECT_FALSE(plat::CreateDirectory(t.SystemOf("a")));
  EXPECT_EQ(plat::GetLastError(), plat::kErrAlreadyExists);
  EXPECT_FALSE(plat::CreateDirectory(t.SystemOf("x\\y")));
  EXPECT_EQ(plat::GetLastError(), plat::kErrPathNotFound);

  EXPECT_TRUE(plat::CreateDirectories(t.SystemOf("deep\\er\\est\\")));
  EXPECT_TRUE(fs::is_directory(t.NativeOf("deep/er/est")));
  EXPECT_TRUE(plat::CreateDirectories(t.SystemOf("deep\\er")));  // already there
  t.Write("file", "x");
  EXPECT_FALSE(plat::CreateDirectories(t.SystemOf("file\\sub")));
  EXPECT_FALSE(plat::CreateDirectories(t.SystemOf("file")));

  EXPECT_FALSE(plat::RemoveDirectory(t.SystemOf("deep")));
  EXPECT_EQ(plat::GetLastError(), plat::kErrDirNotEmpty);
  EXPECT_FALSE(plat::RemoveDirectory(t.SystemOf("file")));
  EXPECT_EQ(plat::GetLastError(), plat::kErrDirectory);
  EXPECT_TRUE(plat::RemoveDirectory(t.SystemOf("deep\\er\\est")));
  EXPECT_FALSE(fs::exists(t.NativeOf("deep/er/est")));

  // Deleting: folders and read-only files are refused and stay.
  EXPECT_FALSE(plat::DeleteFile(t.SystemOf("deep")));
  EXPECT_EQ(plat::GetLastError(), plat::kErrAccessDenied);
  t.Write("ro.txt", "keep");
  chmod(t.NativeOf("ro.txt").c_str(), 0444);
  EXPECT_FALSE(plat::DeleteFile(t.SystemOf("ro.txt")));
  EXPECT_EQ(plat::GetLastError(), plat::kErrAccessDenied);
  EXPECT_EQ(t.Read("ro.txt"), "keep");
  ASSERT_TRUE(plat::SetFileAttributes(t.SystemOf("ro.txt"), plat::kAttrNormal));
  EXPECT_TRUE(plat::DeleteFile(t.SystemOf("ro.txt")));
  EXPECT_FALSE(fs::exists(t.NativeOf("ro.txt")));
  EXPECT_FALSE(plat::DeleteFile(t.SystemOf("ro.txt")));
  EXPECT_EQ(plat::GetLastError(), plat::kErrFileNotFound);
  // A dangling link is deleted itself.
  symlink("/nonexistent/target", t.NativeOf("dangling").c_str());
  EXPECT_TRUE(plat::DeleteFile(t.SystemOf("dangling")));
}

TEST(FilesCopy, KeepsContentModeAndTimeAndLeavesNoTemporaryFile) {
  TempDir t;
  const std::string data = RandomBytes(3 * 1024 * 1024 + 17, 1);
  t.Write("src/a file ü;1.bin", data);
  const std::string src = t.NativeOf("src/a file ü;1.bin");
  chmod(src.c_str(), 0640);
  const struct timespec times[2] = {{1000000000, 0}, {1000000123, 0}};
  utimensat(AT_FDCWD, src.c_str(), times, 0);
  fs::create_directory(t.NativeOf("dst"));

  ASSERT_EQ(plat::CopyFile(t.SystemOf("src\\a file ü;1.bin"), t.SystemOf("dst\\copy.bin"), true),
            0u);
  const std::string dst = t.NativeOf("dst/copy.bin");
  EXPECT_TRUE(ReadNative(dst) == data);
  EXPECT_EQ(ModeOf(dst), 0640u);
  struct stat st {};
  stat(dst.c_str(), &st);
  EXPECT_EQ(st.st_mtim.tv_sec, 1000000123);
  EXPECT_TRUE(TempLeftovers(t.NativeOf("dst")).empty());

  // With the flush to the device: same outcome, long-path prefixes accepted.
  ASSERT_EQ(plat::CopyFile("\\\\?\\" + t.SystemOf("dst\\copy.bin"),
                           "\\\\?\\" + t.SystemOf("dst\\flushed.bin"), false, true),
            0u);
  EXPECT_TRUE(ReadNative(t.NativeOf("dst/flushed.bin")) == data);

  // An empty file is copied too.
  t.Write("src/empty", "");
  EXPECT_EQ(plat::CopyFile(t.SystemOf("src\\empty"), t.SystemOf("dst\\empty"), true), 0u);
  EXPECT_TRUE(fs::exists(t.NativeOf("dst/empty")));
  EXPECT_EQ(fs::file_size(t.NativeOf("dst/empty")), 0u);
}

TEST(FilesCopy, ExistingTargetsAndFailuresLeaveNothingBehind) {
  TempDir t;
  t.Write("a.txt", "new");
  t.Write("b.txt", "old");
  EXPECT_EQ(plat::CopyFile(t.SystemOf("a.txt"), t.SystemOf("b.txt"), true), plat::kErrFileExists);
  EXPECT_EQ(t.Read("b.txt"), "old");
  EXPECT_EQ(plat::CopyFile(t.SystemOf("a.txt"), t.SystemOf("b.txt"), false), 0u);
  EXPECT_EQ(t.Read("b.txt"), "new");

  // A read-only target is not replaced; neither is a folder.
  t.Write("ro.txt", "ro");
  chmod(t.NativeOf("ro.txt").c_str(), 0444);
  EXPECT_EQ(plat::CopyFile(t.SystemOf("a.txt"), t.SystemOf("ro.txt"), false),
            plat::kErrAccessDenied);
  EXPECT_EQ(t.Read("ro.txt"), "ro");
  fs::create_directory(t.NativeOf("dir"));
  EXPECT_EQ(plat::CopyFile(t.SystemOf("a.txt"), t.SystemOf("dir"), false), plat::kErrAccessDenied);
  EXPECT_TRUE(fs::is_directory(t.NativeOf("dir")));

  // Onto itself: refused, the file is intact.
  EXPECT_EQ(plat::CopyFile(t.SystemOf("a.txt"), t.SystemOf("a.txt"), false),
            plat::kErrSharingViolation);
  EXPECT_EQ(t.Read("a.txt"), "new");

  EXPECT_EQ(plat::CopyFile(t.SystemOf("missing"), t.SystemOf("c.txt"), false),
            plat::kErrFileNotFound);
  EXPECT_EQ(plat::CopyFile(t.SystemOf("a.txt"), t.SystemOf("nodir\\c.txt"), false),
            plat::kErrPathNotFound);
  EXPECT_EQ(plat::CopyFile(t.SystemOf("dir"), t.SystemOf("c.txt"), false), plat::kErrAccessDenied);
  EXPECT_FALSE(fs::exists(t.NativeOf("c.txt")));
  EXPECT_TRUE(TempLeftovers(t.Native()).empty());
}

// Another plan on the same store sweeps leftover copies at its start: a copy
// being made beside that sweep is never taken from under its writer.
TEST(FilesCopy, CopiesStayWholeBesideASweepOfLeftovers) {
  TempDir t;
  t.Write("src.txt", RandomBytes(512, 3));
  fs::create_directory(t.NativeOf("dst"));
  std::atomic_bool done{false};
  std::thread sweeper([&] {
    while (!done) {
      for (const std::string& n : TempLeftovers(t.NativeOf("dst")))
        plat::DeleteLeftoverCopy(t.SystemOf("dst\\" + n));
    }
  });
  std::vector<uint32_t> failures;
  for (int i = 0; i < 500; ++i) {
    const uint32_t rc =
        plat::CopyFile(t.SystemOf("src.txt"), t.SystemOf("dst\\c" + std::to_string(i)), false);
    if (rc != 0) failures.push_back(rc);
  }
  done = true;
  sweeper.join();
  EXPECT_TRUE(failures.empty()) << failures.size() << " copies failed, first code "
                                << failures.front();
  EXPECT_EQ(std::distance(fs::directory_iterator(t.NativeOf("dst")), fs::directory_iterator()),
            500);
}

TEST(FilesCopy, UnwritableTargetFolderGivesAccessDenied) {
  // Root writes anywhere, so the copy runs in a child that gives up root.
  TempDir t;
  t.Write("a.txt", "x");
  fs::create_directory(t.NativeOf("locked"));
  chmod(t.Native().c_str(), 0755);
  chmod(t.NativeOf("a.txt").c_str(), 0644);
  chmod(t.NativeOf("locked").c_str(), 0555);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
    const uint32_t rc = plat::CopyFile(t.SystemOf("a.txt"), t.SystemOf("locked\\a.txt"), false);
    const uint32_t rc2 = plat::WriteFileAtomic(t.SystemOf("locked\\b.txt"), "x") ? 0 : 1;
    _exit(rc == plat::kErrAccessDenied && rc2 == 1 && plat::GetLastError() == 5 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 10) << "could not drop privileges";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(fs::is_empty(t.NativeOf("locked")));
}

TEST(FilesCopy, SpecialFilesAreRefusedWithoutBlocking) {
  TempDir t;
  ASSERT_EQ(mkfifo(t.NativeOf("pipe").c_str(), 0600), 0);
  EXPECT_EQ(plat::CopyFile(t.SystemOf("pipe"), t.SystemOf("copy"), false), plat::kErrAccessDenied);
  std::string out;
  EXPECT_FALSE(plat::ReadWholeFile(t.SystemOf("pipe"), &out));
  plat::File f;
  EXPECT_FALSE(f.Open(t.SystemOf("pipe"), plat::File::kRead, plat::File::kOpenExisting));
  EXPECT_EQ(plat::GetLastError(), plat::kErrAccessDenied);
}

TEST(FilesMove, NeverOverwrites) {
  TempDir t;
  t.Write("a.txt", "A");
  t.Write("b.txt", "B");
  EXPECT_EQ(plat::MoveFile(t.SystemOf("a.txt"), t.SystemOf("b.txt")), plat::kErrAlreadyExists);
  EXPECT_EQ(t.Read("a.txt"), "A");
  EXPECT_EQ(t.Read("b.txt"), "B");
  EXPECT_EQ(plat::MoveFile(t.SystemOf("a.txt"), t.SystemOf("c.txt")), 0u);
  EXPECT_FALSE(fs::exists(t.NativeOf("a.txt")));
  EXPECT_EQ(t.Read("c.txt"), "A");
  EXPECT_EQ(plat::MoveFile(t.SystemOf("a.txt"), t.SystemOf("d.txt")), plat::kErrFileNotFound);
  EXPECT_EQ(plat::MoveFile(t.SystemOf("c.txt"), t.SystemOf("nodir\\c.txt")),
            plat::kErrPathNotFound);
  EXPECT_EQ(t.Read("c.txt"), "A");

  // Folders move whole; an existing folder (even empty) is not replaced.
  t.Write("d1/inner.txt", "I");
  fs::create_directory(t.NativeOf("d2"));
  EXPECT_EQ(plat::MoveFile(t.SystemOf("d1"), t.SystemOf("d2")), plat::kErrAlreadyExists);
  EXPECT_EQ(plat::MoveFile(t.SystemOf("d1"), t.SystemOf("d3")), 0u);
  EXPECT_EQ(t.Read("d3/inner.txt"), "I");

  // Replace does overwrite.
  EXPECT_EQ(plat::ReplaceFile(t.SystemOf("c.txt"), t.SystemOf("b.txt")), 0u);
  EXPECT_EQ(t.Read("b.txt"), "A");
  EXPECT_FALSE(fs::exists(t.NativeOf("c.txt")));
}

TEST(FilesMove, AcrossFileSystemsCopiesThenDeletes) {
  struct stat a {
  }, b{};
  TempDir t;
  if (stat("/dev/shm", &a) != 0 || stat(t.Native().c_str(), &b) != 0 || a.st_dev == b.st_dev)
    GTEST_SKIP() << "needs /dev/shm on another file system";
  const std::string shmFolder = "/dev/shm/bv-move-" + std::to_string(getpid());
  fs::create_directory(shmFolder);
  const std::string shmFile = shmFolder + "/m.bin";
  const std::string data = RandomBytes(200000, 2);
  WriteNative(shmFile, data);
  chmod(shmFile.c_str(), 0604);
  const std::string sysFile = bvtest::NativeToSystemC(shmFile);

  t.Write("taken.bin", "T");
  EXPECT_EQ(plat::MoveFile(sysFile, t.SystemOf("taken.bin")), plat::kErrAlreadyExists);
  EXPECT_EQ(t.Read("taken.bin"), "T");
  EXPECT_TRUE(fs::exists(shmFile));

  EXPECT_EQ(plat::MoveFile(sysFile, t.SystemOf("moved.bin")), 0u);
  EXPECT_FALSE(fs::exists(shmFile));
  EXPECT_TRUE(t.Read("moved.bin") == data);
  EXPECT_EQ(ModeOf(t.NativeOf("moved.bin")), 0604u);

  // Folders do not cross file systems.
  fs::create_directory(shmFolder + "/sub");
  EXPECT_EQ(plat::MoveFile(bvtest::NativeToSystemC(shmFolder + "/sub"), t.SystemOf("sub")),
            plat::kErrNotSameDevice);
  fs::remove_all(shmFolder);
}

TEST(FilesAtomic, WritesReplacesKeepsModeAndReadsBackWhole) {
  TempDir t;
  ASSERT_TRUE(plat::WriteFileAtomic(t.SystemOf("f.ini"), "one"));
  EXPECT_EQ(t.Read("f.ini"), "one");
  chmod(t.NativeOf("f.ini").c_str(), 0640);
  ASSERT_TRUE(plat::WriteFileAtomic(t.SystemOf("f.ini"), "two"));
  EXPECT_EQ(t.Read("f.ini"), "two");
  EXPECT_EQ(ModeOf(t.NativeOf("f.ini")), 0640u);

  ASSERT_TRUE(plat::WriteFileAtomic(t.SystemOf("secret.ini"), "pw", true));
  EXPECT_EQ(ModeOf(t.NativeOf("secret.ini")), 0600u);
  chmod(t.NativeOf("f.ini").c_str(), 0644);
  ASSERT_TRUE(plat::WriteFileAtomic(t.SystemOf("f.ini"), "three", true));
  EXPECT_EQ(ModeOf(t.NativeOf("f.ini")), 0600u);

  chmod(t.NativeOf("f.ini").c_str(), 0444);
  EXPECT_FALSE(plat::WriteFileAtomic(t.SystemOf("f.ini"), "four"));
  EXPECT_EQ(plat::GetLastError(), plat::kErrAccessDenied);
  EXPECT_EQ(t.Read("f.ini"), "three");
  EXPECT_FALSE(plat::WriteFileAtomic(t.SystemOf("nodir\\f.ini"), "x"));
  EXPECT_EQ(plat::GetLastError(), plat::kErrPathNotFound);
  EXPECT_TRUE(TempLeftovers(t.Native()).empty());

  // Binary data with NUL bytes goes through unchanged.
  const std::string bin = RandomBytes(70000, 3);
  ASSERT_TRUE(plat::WriteFileAtomic(t.SystemOf("bin"), bin));
  std::string back;
  ASSERT_TRUE(plat::ReadWholeFile(t.SystemOf("bin"), &back));
  EXPECT_TRUE(back == bin);

  // Whole-file reads: limits and errors.
  std::string out;
  t.Write("ten", "0123456789");
  out = "unchanged";
  EXPECT_FALSE(plat::ReadWholeFile(t.SystemOf("ten"), &out, 9));
  EXPECT_EQ(plat::GetLastError(), plat::kErrFileTooLarge);
  EXPECT_EQ(out, "unchanged");
  EXPECT_TRUE(plat::ReadWholeFile(t.SystemOf("ten"), &out, 10));
  EXPECT_EQ(out, "0123456789");
  EXPECT_FALSE(plat::ReadWholeFile(t.SystemOf("none"), &out));
  EXPECT_EQ(plat::GetLastError(), plat::kErrFileNotFound);
  EXPECT_FALSE(plat::ReadWholeFile(t.System(), &out));
  EXPECT_EQ(plat::GetLastError(), plat::kErrAccessDenied);
  EXPECT_FALSE(plat::ReadWholeFile(t.SystemOf("ten\\below"), &out));  // a file as a folder
  EXPECT_EQ(plat::GetLastError(), plat::kErrPathNotFound);
  EXPECT_FALSE(plat::ReadWholeFile(t.SystemOf(std::string(300, 'n')), &out));
  EXPECT_EQ(plat::GetLastError(), plat::kErrFilenameExcedRange);
  // A path on no volume.
  EXPECT_FALSE(plat::ReadWholeFile("relative\\path.txt", &out));
  EXPECT_NE(plat::GetLastError(), 0u);
}

TEST(FilesSearch, MasksMatchWithoutRegardToCase) {
  TempDir t;
  for (const char* n :
       {"a.txt", "B.TXT", "c.doc", "noext", ".hidden", "ΑΒΓ.txt", "Жук.log", "😀.txt", "ab.txt"})
    t.Write(n, "x");
  fs::create_directory(t.NativeOf("dir.txt"));
  const std::string base = t.System() + "\\";

  EXPECT_EQ(SearchNames(base + "*.txt"),
            (std::set<std::string>{"a.txt", "B.TXT", "ΑΒΓ.txt", "😀.txt", "ab.txt", "dir.txt"}));
  EXPECT_EQ(SearchNames(base + "?.TXT"),
            (std::set<std::string>{"a.txt", "B.TXT", "😀.txt"}));  // "?" is one character
  EXPECT_EQ(SearchNames(base + "αβγ.*"), (std::set<std::string>{"ΑΒΓ.txt"}));
  EXPECT_EQ(SearchNames(base + "жУК*"), (std::set<std::string>{"Жук.log"}));
  EXPECT_EQ(SearchNames(base + "*e*t"), (std::set<std::string>{"noext"}));
  const auto all = SearchNames(base + "*.*");
  EXPECT_EQ(all.size(), 12u);  // ten entries plus "." and ".."
  EXPECT_TRUE(all.count(".") && all.count("..") && all.count("noext") && all.count(".hidden"));
  EXPECT_EQ(SearchNames(base + "*"), all);

  // An exact name finds that one entry, and only with its own spelling.
  EXPECT_EQ(SearchNames(base + "c.doc"), (std::set<std::string>{"c.doc"}));
  plat::DirSearch s;
  plat::FindData d;
  EXPECT_FALSE(s.Open(base + "zzz.doc", &d));
  EXPECT_EQ(plat::GetLastError(), plat::kErrFileNotFound);
  EXPECT_FALSE(s.Open(base + "*.zip", &d));
  EXPECT_EQ(plat::GetLastError(), plat::kErrFileNotFound);
  EXPECT_FALSE(s.Open(t.System() + "\\nofolder\\*", &d));
  EXPECT_EQ(plat::GetLastError(), plat::kErrPathNotFound);

  ASSERT_TRUE(s.Open(base + "dir.txt", &d));
  EXPECT_EQ(d.attributes, plat::kAttrDirectory);
  ASSERT_TRUE(s.Open(base + ".hidden", &d));
  EXPECT_EQ(d.attributes, plat::kAttrHidden);

  // The mask matcher on its own.
  EXPECT_TRUE(plat::MatchFileMask("report.final.doc", "*.doc"));
  EXPECT_TRUE(plat::MatchFileMask("aXbXc", "a*b*c"));
  EXPECT_TRUE(plat::MatchFileMask("abcbc", "a*bc"));  // needs backtracking
  EXPECT_FALSE(plat::MatchFileMask("abcb", "a*bc"));
  EXPECT_TRUE(plat::MatchFileMask("", "*"));
  EXPECT_FALSE(plat::MatchFileMask("", "?"));
  EXPECT_TRUE(plat::MatchFileMask("ÉTÉ.TXT", "été.txt"));
  EXPECT_FALSE(plat::MatchFileMask("ab", "a"));
  EXPECT_FALSE(plat::MatchFileMask(std::string(5000, 'a'), "*a*a*a*b"));
}

TEST(FilesSearch, SkipsNamesAndEntriesThatCannotBeCarried) {
  TempDir t;
  t.Write("good.txt", "12345");
  t.Write("back\\slash.txt", "x");
  WriteNative(t.Native() + "/bad\xff\xfe.txt", "x");
  mkfifo(t.NativeOf("pipe.txt").c_str(), 0600);
  fs::create_directory(t.NativeOf("realdir"));
  symlink(t.NativeOf("realdir").c_str(), t.NativeOf("dirlink.txt").c_str());
  symlink(t.NativeOf("good.txt").c_str(), t.NativeOf("filelink.txt").c_str());
  symlink("/nonexistent", t.NativeOf("dangling.txt").c_str());

  uint64_t skipped = 0;
  EXPECT_EQ(SearchNames(t.System() + "\\*.txt", &skipped),
            (std::set<std::string>{"good.txt", "filelink.txt"}));
  EXPECT_EQ(skipped, 2u);

  plat::DirSearch s;
  plat::FindData d;
  ASSERT_TRUE(s.Open(t.System() + "\\filelink.txt", &d));
  EXPECT_EQ(d.size, 5u);  // the link counts as its target
  EXPECT_FALSE(s.Next(&d));
  EXPECT_EQ(plat::GetLastError(), plat::kErrNoMoreFiles);
}

// A folder below a listed one is opened through the listed folder, so a
// tree deeper than the system opens by name can be listed; a link to a
// folder is not followed.
TEST(FilesSearch, ChildFoldersAreReachedBeyondTheLongestPath) {
  TempDir t;
  const std::string name(250, 'd');
  ASSERT_TRUE(bvtest::MakeDeepTree(t.Native(), name, 20, {{20, "deep.txt"}}));
  struct Cleanup {
    ~Cleanup() { bvtest::RemoveDeepTree(root, name); }
    std::string root, name;
  } cleanup{t.Native(), name};
  symlink(t.NativeOf(name).c_str(), t.NativeOf("link").c_str());
  std::vector<std::unique_ptr<plat::DirSearch>> levels;
  plat::FindData d;
  levels.push_back(std::make_unique<plat::DirSearch>());
  ASSERT_TRUE(levels.back()->Open(t.System() + "\\*", &d));
  auto child = std::make_unique<plat::DirSearch>();
  EXPECT_FALSE(child->OpenChild(*levels.back(), "link", &d));
  EXPECT_EQ(plat::GetLastError(), plat::kErrPathNotFound);
  std::string system = t.System();
  for (int level = 1; level <= 20; ++level) {
    system += "\\" + name;
    auto next = std::make_unique<plat::DirSearch>();
    ASSERT_TRUE(next->OpenChild(*levels.back(), name, &d)) << level;
    EXPECT_EQ(next->NativeLength(), t.Native().size() + 251u * level);
    levels.push_back(std::move(next));
  }
  EXPECT_GT(levels.back()->NativeLength(), plat::kMaxNativePath);
  std::set<std::string> names;
  do {
    names.insert(d.name);
  } while (levels.back()->Next(&d));
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "deep.txt"}));
  plat::DirSearch byName;
  EXPECT_FALSE(byName.Open(system + "\\*", &d));  // too long to open by name
}

TEST(FilesHandle, DispositionsReadWriteSeekTruncate) {
  TempDir t;
  plat::File f;
  EXPECT_FALSE(f.Open(t.SystemOf("f.bin"), plat::File::kRead, plat::File::kOpenExisting));
  EXPECT_EQ(plat::GetLastError(), plat::kErrFileNotFound);
  ASSERT_TRUE(f.Open(t.SystemOf("f.bin"), plat::File::kReadWrite, plat::File::kCreateNew));
  ASSERT_TRUE(f.Write("hello world", 11));
  uint64_t size = 0;
  ASSERT_TRUE(f.GetSize(&size));
  EXPECT_EQ(size, 11u);
  ASSERT_TRUE(f.Seek(6));
  char buf[32] = {};
  size_t got = 0;
  ASSERT_TRUE(f.Read(buf, sizeof buf, &got));
  EXPECT_EQ(std::string(buf, got), "world");
  ASSERT_TRUE(f.Read(buf, sizeof buf, &got));
  EXPECT_EQ(got, 0u);
  ASSERT_TRUE(f.Truncate(5));
  ASSERT_TRUE(f.Truncate(8));  // extends with zeros
  ASSERT_TRUE(f.Flush());
  f.Close();
  EXPECT_EQ(t.Read("f.bin"), std::string("hello\0\0\0", 8));
  EXPECT_FALSE(f.Write("x", 1));
  EXPECT_EQ(plat::GetLastError(), plat::kErrInvalidHandle);

  EXPECT_FALSE(f.Open(t.SystemOf("f.bin"), plat::File::kWrite, plat::File::kCreateNew));
  EXPECT_EQ(plat::GetLastError(), plat::kErrFileExists);
  ASSERT_TRUE(f.Open(t.SystemOf("f.bin"), plat::File::kWrite, plat::File::kOpenAlways));
  ASSERT_TRUE(f.Write("J", 1));
  f.Close();
  EXPECT_EQ(t.Read("f.bin"), std::string("Jello\0\0\0", 8));
  ASSERT_TRUE(f.Open(t.SystemOf("f.bin"), plat::File::kWrite, plat::File::kCreateAlways));
  f.Close();
  EXPECT_EQ(t.Read("f.bin"), "");

  EXPECT_FALSE(f.Open(t.System(), plat::File::kRead, plat::File::kOpenExisting));
  EXPECT_EQ(plat::GetLastError(), plat::kErrAccessDenied);
  t.Write("ro", "r");
  chmod(t.NativeOf("ro").c_str(), 0444);
  EXPECT_FALSE(f.Open(t.SystemOf("ro"), plat::File::kWrite, plat::File::kOpenExisting));
  EXPECT_EQ(plat::GetLastError(), plat::kErrAccessDenied);
  EXPECT_TRUE(f.Open(t.SystemOf("ro"), plat::File::kRead, plat::File::kOpenExisting));
  EXPECT_FALSE(f.Open(t.SystemOf("nodir\\x"), plat::File::kWrite, plat::File::kCreateAlways));
  EXPECT_EQ(plat::GetLastError(), plat::kErrPathNotFound);
  EXPECT_FALSE(f.IsOpen());
}

TEST(FilesHandle, DescriptorsDoNotLeakIntoChildren) {
  TempDir t;
  plat::File f;
  ASSERT_TRUE(f.Open(t.SystemOf("c.bin"), plat::File::kWrite, plat::File::kCreateAlways));
  // Find the descriptor that points at the file and check its close-on-exec flag.
  bool found = false;
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(e.path(), ec) != fs::path(t.NativeOf("c.bin"))) continue;
    const int fd = std::stoi(e.path().filename().string());
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    found = true;
  }
  EXPECT_TRUE(found);
}

// A store with links planted below its root: one in place of a folder, one in
// place of a file. Every confined write fails with 681 and the outside stays
// as it was; the same calls pass where no link stands, and the store's root
// may itself be a link.
TEST(FilesConfined, LinksBelowTheRootAreNeverFollowed) {
  TempDir t;
  t.Write("src.txt", "new");
  t.Write("outside/victim.txt", "keep");
  t.Write("real/Latest/ok/file.txt", "old");
  fs::create_directory_symlink(t.NativeOf("real"), t.NativeOf("store"));  // allowed
  fs::create_directory_symlink(t.NativeOf("outside"), t.NativeOf("real/Latest/sub"));
  fs::create_symlink(t.NativeOf("outside/victim.txt"), t.NativeOf("real/Latest/file.txt"));
  chmod(t.NativeOf("outside/victim.txt").c_str(), 0444);
  const std::string root = t.SystemOf("store");
  const std::string src = t.SystemOf("src.txt");
  auto in = [&](const char* rel) { return root + "\\" + rel; };
  struct Case {
    const char* what;
    std::function<bool()> call;
  } cases[] = {
      {"copy into a linked folder",
       [&] { return plat::CopyFile(src, in("Latest\\sub\\victim.txt"), false, false, root) == 0; }},
      {"copy onto a linked file",
       [&] { return plat::CopyFile(src, in("Latest\\file.txt"), false, true, root) == 0; }},
      {"move a linked file",
       [&] {
         return plat::MoveFile(in("Latest\\file.txt"), in("Latest\\ok\\moved.txt"), root) == 0;
       }},
      {"move into a linked folder",
       [&] {
         return plat::MoveFile(in("Latest\\ok\\file.txt"), in("Latest\\sub\\x.txt"), root) == 0;
       }},
      {"delete a linked file", [&] { return plat::DeleteFile(in("Latest\\file.txt"), root); }},
      {"delete through a linked folder",
       [&] { return plat::DeleteFile(in("Latest\\sub\\victim.txt"), root); }},
      {"attributes through a link",
       [&] { return plat::SetFileAttributes(in("Latest\\file.txt"), plat::kAttrNormal, root); }},
      {"folders through a link",
       [&] { return plat::CreateDirectories(in("Latest\\sub\\new\\deeper"), root, true); }},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(c.call()) << c.what;
    EXPECT_EQ(plat::GetLastError(), plat::kErrStoppedOnLink) << c.what;
  }
  EXPECT_EQ(t.Read("outside/victim.txt"), "keep");
  EXPECT_EQ(ModeOf(t.NativeOf("outside/victim.txt")), 0444u);
  EXPECT_EQ(std::distance(fs::directory_iterator(t.NativeOf("outside")), {}), 1);
  EXPECT_TRUE(TempLeftovers(t.NativeOf("real/Latest")).empty());
  EXPECT_EQ(plat::WinErrorMessage(plat::kErrStoppedOnLink).find("Unknown"), std::string::npos);

  // Where no link stands the same calls work, and new folders are private.
  ASSERT_TRUE(plat::CreateDirectories(in("Revision\\ok"), root, true));
  EXPECT_EQ(ModeOf(t.NativeOf("real/Revision/ok")), 0700u);
  EXPECT_EQ(plat::CopyFile(src, in("Latest\\ok\\file.txt"), false, false, root), 0u);
  EXPECT_EQ(plat::MoveFile(in("Latest\\ok\\file.txt"), in("Revision\\ok\\file(1).txt"), root), 0u);
  EXPECT_TRUE(plat::DeleteFile(in("Revision\\ok\\file(1).txt"), root));
}

// The folders of a copy take the owner, group and mode of the folders they
// stand for, from the file upwards while the names agree, never the root or
// the levels above the names that pair up; the owner keeps full access.
TEST(FilesConfined, FoldersMirrorTheAccessOfTheFoldersTheyCopy) {
  TempDir t;
  t.Write("home/ann/private/doc.txt", "x");
  chmod(t.NativeOf("home/ann").c_str(), 0750);
  chmod(t.NativeOf("home/ann/private").c_str(), 0500);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(t.NativeOf("home/ann").c_str(), 65534, 65534), 0);
  }
  const std::string root = t.SystemOf("store");
  ASSERT_TRUE(plat::CreateDirectory(root, true));
  const std::string target =
      root + "\\Latest\\C" + t.SystemOf("home/ann/private/doc.txt").substr(2);
  ASSERT_TRUE(plat::CreateDirectories(target.substr(0, target.rfind('\\')), root, true));
  ASSERT_TRUE(plat::MirrorFolderAccess(t.SystemOf("home/ann/private/doc.txt"), target, root));
  const std::string copied = t.NativeOf("store/Latest/C") + t.NativeOf("home");
  EXPECT_EQ(ModeOf(t.NativeOf("store")), 0700u);
  EXPECT_EQ(ModeOf(t.NativeOf("store/Latest")), 0700u);
  EXPECT_EQ(ModeOf(copied + "/ann"), 0750u);
  EXPECT_EQ(ModeOf(copied + "/ann/private"), 0700u);  // 0500 + the owner's full access
  EXPECT_EQ(ModeOf(copied), ModeOf(t.NativeOf("home")) | 0700u);
  struct stat st {};
  ASSERT_EQ(stat((copied + "/ann").c_str(), &st), 0);
  if (geteuid() == 0) {
    EXPECT_EQ(st.st_uid, 65534u);
  }
  EXPECT_EQ(plat::CopyFile(t.SystemOf("home/ann/private/doc.txt"), target, false, false, root), 0u);
}

// A copy stops between chunks once its thread's cancel flag is set, from
// another thread during the copy too; nothing is left under either name.
TEST(FilesCopy, StopsWhenTheThreadIsCancelled) {
  TempDir t;
  {
    std::string chunk = RandomBytes(1u << 20, 7);
    std::FILE* f = std::fopen(t.NativeOf("big.bin").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    for (int i = 0; i < 64; ++i) std::fwrite(chunk.data(), 1, chunk.size(), f);
    std::fclose(f);
  }
  std::atomic<bool> cancel{true};
  // A slow disk (a pause before every 4 MiB), so the copy is surely running.
  struct Flag {
    explicit Flag(std::atomic<bool>* f) {
      plat::SetThreadCancelFlag(f);
      plat::fault::SetCopyDelay(100);
    }
    ~Flag() {
      plat::SetThreadCancelFlag(nullptr);
      plat::fault::SetCopyDelay(0);
    }
  } flag(&cancel);
  EXPECT_EQ(plat::CopyFile(t.SystemOf("big.bin"), t.SystemOf("copy.bin"), false),
            plat::kErrCancelled);
  cancel = false;
  std::thread stopper([&] {
    while (!fs::exists(t.NativeOf("copy.bin")) && TempLeftovers(t.Native()).empty()) {
      std::this_thread::yield();
    }
    cancel = true;
  });
  const uint32_t rc = plat::CopyFile(t.SystemOf("big.bin"), t.SystemOf("copy.bin"), false);
  stopper.join();
  EXPECT_EQ(rc, plat::kErrCancelled);
  EXPECT_FALSE(fs::exists(t.NativeOf("copy.bin")));
  EXPECT_TRUE(TempLeftovers(t.Native()).empty());
  cancel = false;
  plat::fault::SetCopyDelay(0);
  EXPECT_EQ(plat::CopyFile(t.SystemOf("big.bin"), t.SystemOf("copy.bin"), false), 0u);
}
