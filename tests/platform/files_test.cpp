// File services on real folders: a folder's life, every failure as a row, odd listings.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/xattr.h>

#include <array>
#include <climits>
#include <cstring>
#include <set>
#include <thread>

#include "Checks.h"
#include "platform/files/Files.h"
#include "platform/files/FolderAccess.h"
#include "platform/files/FolderEntries.h"

namespace fs = std::filesystem;
using bvtest::ReadNative;
using bvtest::TempDir;
using F = plat::File;

namespace {

std::set<std::string> SearchNames(const std::string& pattern) {
  std::set<std::string> names;
  plat::DirSearch search;
  plat::FindData d;
  if (search.Open(pattern, &d)) {
    do names.insert(d.name);
    while (search.Next(&d));
    EXPECT_EQ(plat::GetLastError(), plat::kErrNoMoreFiles);
  }
  return names;
}

}  // namespace

TEST(Files, AFolderLivesThroughLookupsCopiesMovesAndDeletes) {
  TempDir t;
  auto S = [&](const std::string& rel) { return t.SystemOf(rel); };
  const std::string data = Pattern(3 * 1024 * 1024 + 17);
  const std::string src = t.Write("src/a file ü;1.bin", data);
  t.Write(".dotfile", "x");
  chmod(src.c_str(), 0640);
  const timespec times[2] = {{1000000000, 0}, {1000000123, 0}};
  utimensat(AT_FDCWD, src.c_str(), times, 0);
  // Hidden is a leading dot, read-only the owner's write bit, nothing else set.
  EXPECT_EQ(plat::GetFileAttributes(S("src\\a file ü;1.bin")), plat::kAttrNormal);
  EXPECT_EQ(plat::GetFileAttributes(S(".dotfile")), plat::kAttrHidden);
  EXPECT_EQ(plat::GetFileAttributes(S("src") + "\\"), plat::kAttrDirectory);
  EXPECT_TRUE(plat::IsDirectory(S("src")) && !plat::IsDirectory(S(".dotfile")));
  ASSERT_TRUE(plat::SetFileAttributes(S("src\\a file ü;1.bin"), plat::kAttrReadOnly));
  EXPECT_EQ(ModeOf(src), 0440u);
  EXPECT_EQ(plat::GetFileAttributes(S("src\\a file ü;1.bin")), plat::kAttrReadOnly);
  ASSERT_TRUE(plat::SetFileAttributes(S("src\\a file ü;1.bin"), plat::kAttrNormal));
  EXPECT_EQ(ModeOf(src), 0640u);
  EXPECT_TRUE(plat::FileExists("\\\\?\\" + S(".dotfile")));
  EXPECT_TRUE(plat::FileExists(S("src\\A*.b?n")));  // a wildcard is a search
  EXPECT_FALSE(plat::FileExists(S("src\\*.doc")));
  plat::FindData info;
  ASSERT_TRUE(plat::GetFileInfo(S("src\\a file ü;1.bin"), &info));
  EXPECT_TRUE(info.name == "a file ü;1.bin" && info.size == data.size());
  uint64_t total = 0;  // where the path would be (measured volumes: the destination tests)
  EXPECT_TRUE(plat::GetDiskSpace(S("not\\yet"), nullptr, &total) && total > 0);
  // Copies keep content, mode and times, leave no temporary file; also flushed, long-path.
  EXPECT_TRUE(plat::CreateDirectory(S("a")) && plat::CreateDirectories(S("deep\\er\\est\\")) &&
              plat::CreateDirectories(S("deep\\er")));  // made already
  ASSERT_EQ(plat::CopyFile(S("src\\a file ü;1.bin"), S("deep\\copy.bin"), true), 0u);
  const std::string copy = t.NativeOf("deep/copy.bin");
  struct stat st {};
  ASSERT_EQ(stat(copy.c_str(), &st), 0);
  EXPECT_TRUE(ReadNative(copy) == data && (st.st_mode & 07777) == 0640);
  EXPECT_EQ(st.st_mtim.tv_sec, 1000000123);
  ASSERT_EQ(
      plat::CopyFile("\\\\?\\" + S("deep\\copy.bin"), "\\\\?\\" + S("a\\flushed.bin"), false, true),
      0u);
  EXPECT_TRUE(t.Read("a/flushed.bin") == data);
  t.Write("empty", "");
  ASSERT_EQ(plat::CopyFile(S("empty"), S("a\\flushed.bin"), false), 0u);  // replaces
  EXPECT_EQ(fs::file_size(t.NativeOf("a/flushed.bin")), 0u);
  EXPECT_TRUE(TempLeftovers(t.NativeOf("deep")).empty() && TempLeftovers(t.NativeOf("a")).empty());
  // Atomic writes keep a rewritten file's mode, or make it private.
  ASSERT_TRUE(plat::WriteFileAtomic(S("f.ini"), "one"));
  chmod(t.NativeOf("f.ini").c_str(), 0604);
  ASSERT_TRUE(plat::WriteFileAtomic(S("f.ini"), data));
  EXPECT_EQ(ModeOf(t.NativeOf("f.ini")), 0604u);
  std::string back;
  ASSERT_TRUE(plat::ReadWholeFile(S("f.ini"), &back, data.size()));
  EXPECT_TRUE(back == data);
  ASSERT_TRUE(plat::WriteFileAtomic(S("f.ini"), "secret", true));
  EXPECT_EQ(ModeOf(t.NativeOf("f.ini")), 0600u);
  // Under umask 0 a private file rewritten is never readable by others, even as it appears.
  const mode_t mask = umask(0);
  for (const bool keepMode : {true, false}) {
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, t.Native().c_str(), IN_CREATE), 0);
    int seen = -1;  // the new file's mode when first seen
    std::thread look([&] {
      alignas(inotify_event) char event[sizeof(inotify_event) + NAME_MAX + 1];
      struct stat st;
      if (read(watch, event, sizeof event) > 0 &&
          stat(t.NativeOf(reinterpret_cast<inotify_event*>(event)->name).c_str(), &st) == 0)
        seen = static_cast<int>(st.st_mode & 0777);
    });
    EXPECT_TRUE(plat::WriteFileAtomic(S("f.ini"), std::string(32 << 20, 's'), !keepMode));
    look.join();
    close(watch);
    EXPECT_EQ(seen, 0600) << "readable by others while written";
  }
  umask(mask);
  EXPECT_EQ(ModeOf(t.NativeOf("f.ini")), 0600u);
  EXPECT_TRUE(TempLeftovers(t.Native()).empty());
  // A file that reports no size (the kernel's own, megabytes long) is read whole.
  ASSERT_TRUE(plat::ReadWholeFile(bvtest::NativeToSystemC("/proc/kallsyms"), &back));
  EXPECT_EQ(back.substr(0, 65536), ReadNative("/proc/kallsyms").substr(0, 65536));
  // Moves carry files and whole folders; a replace overwrites.
  EXPECT_EQ(plat::MoveFile(S("deep\\copy.bin"), S("a\\moved.bin")), 0u);
  EXPECT_FALSE(fs::exists(copy));
  EXPECT_EQ(plat::MoveFile(S("deep"), S("a\\deep2")), 0u);
  EXPECT_TRUE(fs::is_directory(t.NativeOf("a/deep2/er/est")));
  EXPECT_EQ(plat::ReplaceFile(S("a\\moved.bin"), S("a\\flushed.bin")), 0u);
  EXPECT_TRUE(t.Read("a/flushed.bin") == data);
  // A handle reads, writes, seeks, truncates (longer adds zeros), its descriptor closed on exec.
  F f;
  ASSERT_TRUE(f.Open(S("h.bin"), F::kReadWrite, F::kCreateNew));
  ASSERT_TRUE(f.Write("hello world", 11) && f.Seek(6));
  char buf[32] = {};
  size_t got = 0;
  uint64_t size = 0;
  ASSERT_TRUE(f.Read(buf, sizeof buf, &got) && f.GetSize(&size));
  EXPECT_EQ(std::string(buf, got) + " " + std::to_string(size), "world 11");
  ASSERT_TRUE(f.Read(buf, sizeof buf, &got));
  EXPECT_EQ(got, 0u);
  ASSERT_TRUE(f.Truncate(5) && f.Truncate(8) && f.Flush());
  bool cloexec = false;
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(e.path(), ec) == fs::path(t.NativeOf("h.bin")))
      cloexec = fcntl(std::stoi(e.path().filename().string()), F_GETFD) & FD_CLOEXEC;
  }
  EXPECT_TRUE(cloexec);
  f.Close();
  EXPECT_EQ(Code(f.Write("x", 1)), plat::kErrInvalidHandle);
  ASSERT_TRUE(f.Open(S("h.bin"), F::kWrite, F::kOpenAlways) && f.Write("J", 1));
  f.Close();
  EXPECT_EQ(t.Read("h.bin"), std::string("Jello\0\0\0", 8));
  ASSERT_TRUE(f.Open(S("h.bin"), F::kWrite, F::kCreateAlways));
  f.Close();
  EXPECT_EQ(t.Read("h.bin"), "");
  // Deletes: a read-only file once cleared, a dangling link, an empty folder, a whole tree.
  chmod(t.NativeOf("a/flushed.bin").c_str(), 0444);
  ASSERT_TRUE(plat::SetFileAttributes(S("a\\flushed.bin"), plat::kAttrNormal));
  EXPECT_TRUE(plat::DeleteFile(S("a\\flushed.bin")));
  symlink("/nonexistent/target", t.NativeOf("dangling").c_str());
  EXPECT_TRUE(plat::DeleteFile(S("dangling")));
  EXPECT_TRUE(plat::RemoveDirectory(S("a\\deep2\\er\\est")));
  t.Write("a/deep2/ro.txt", "r");
  chmod(t.NativeOf("a/deep2/ro.txt").c_str(), 0444);
  EXPECT_TRUE(plat::DeleteTree(S("a"), nullptr));
  EXPECT_FALSE(fs::exists(t.NativeOf("a")));
}

TEST(Files, FailuresSayWhyAndChangeNothing) {
  TempDir t;
  auto S = [&](const std::string& rel) { return t.SystemOf(rel); };
  t.Write("a.txt", "new");
  t.Write("b.txt", "old");
  t.Write("ro.txt", "ro");
  chmod(t.NativeOf("ro.txt").c_str(), 0444);
  t.Write("dir/inner.txt", "i");
  fs::create_directory(t.NativeOf("empty"));
  ASSERT_EQ(mkfifo(t.NativeOf("pipe").c_str(), 0600), 0);
  fs::create_directory(t.NativeOf("locked"));
  chmod(t.Native().c_str(), 0755);
  chmod(t.NativeOf("a.txt").c_str(), 0644);
  chmod(t.NativeOf("locked").c_str(), 0555);
  auto nobody = [](const std::function<uint32_t()>& call) {
    return static_cast<uint32_t>(InChild([&] { return static_cast<int>(call()); }, true));
  };
  plat::File f;
  plat::DirSearch search;
  plat::FindData d;
  std::string out = "unchanged";
  auto read = [&](const std::string& p, uint64_t max = 1u << 30) {
    return Code(plat::ReadWholeFile(p, &out, max));
  };
  auto open = [&](const std::string& p, F::Access a, F::Disposition how) {
    return Code(f.Open(p, a, how));
  };
  auto copy = [&](const char* to) { return plat::CopyFile(S("a.txt"), S(to), false); };
  auto atomic = [&](const char* rel) { return Code(plat::WriteFileAtomic(S(rel), "x")); };
  auto attr = [&](const std::string& p) {
    return Code(plat::GetFileAttributes(p) != plat::kInvalidAttributes);
  };
  const struct Row {
    const char* what;
    std::function<uint32_t()> call;
    uint32_t error;
  } rows[] = {
      {"copy over a file", [&] { return plat::CopyFile(S("a.txt"), S("b.txt"), true); }, 80},
      {"copy over read-only", [&] { return copy("ro.txt"); }, 5},
      {"copy over a folder", [&] { return copy("dir"); }, 5},
      {"copy onto itself", [&] { return copy("a.txt"); }, 32},
      {"copy of nothing", [&] { return plat::CopyFile(S("none"), S("c.txt"), false); }, 2},
      {"copy to no folder", [&] { return copy("no\\c.txt"); }, 3},
      {"copy of a folder", [&] { return plat::CopyFile(S("dir"), S("c.txt"), false); }, 5},
      {"copy of a pipe", [&] { return plat::CopyFile(S("pipe"), S("c.txt"), false); }, 5},
      {"read of a pipe", [&] { return read(S("pipe")); }, 5},
      {"read over the limit", [&] { return read(S("a.txt"), 2); }, 223},
      {"read of nothing", [&] { return read(S("none")); }, 2},
      {"read of a folder", [&] { return read(S("dir")); }, 5},
      {"read below a file", [&] { return read(S("a.txt\\below")); }, 3},
      {"read of a long name", [&] { return read(S(std::string(300, 'n'))); }, 206},
      {"read on no volume", [&] { return read("relative\\path.txt"); }, 123},
      {"open a pipe", [&] { return open(S("pipe"), F::kRead, F::kOpenExisting); }, 5},
      {"open nothing", [&] { return open(S("none"), F::kRead, F::kOpenExisting); }, 2},
      {"open new over a file", [&] { return open(S("a.txt"), F::kWrite, F::kCreateNew); }, 80},
      {"open a folder", [&] { return open(S("dir"), F::kRead, F::kOpenExisting); }, 5},
      {"write read-only", [&] { return open(S("ro.txt"), F::kWrite, F::kOpenExisting); }, 5},
      {"open in no folder", [&] { return open(S("no\\x"), F::kWrite, F::kCreateAlways); }, 3},
      {"copy, locked folder", [&] { return nobody([&] { return copy("locked\\a"); }); }, 5},
      {"atomic, locked folder", [&] { return nobody([&] { return atomic("locked\\b"); }); }, 5},
      {"atomic over read-only", [&] { return atomic("ro.txt"); }, 5},
      {"atomic in no folder", [&] { return atomic("no\\f"); }, 3},
      {"move over a file", [&] { return plat::MoveFile(S("a.txt"), S("b.txt")); }, 183},
      {"move over a folder", [&] { return plat::MoveFile(S("dir"), S("empty")); }, 183},
      {"move of nothing", [&] { return plat::MoveFile(S("none"), S("d.txt")); }, 2},
      {"move to no folder", [&] { return plat::MoveFile(S("a.txt"), S("no\\a.txt")); }, 3},
      {"folder made twice", [&] { return Code(plat::CreateDirectory(S("dir"))); }, 183},
      {"folder in no folder", [&] { return Code(plat::CreateDirectory(S("x\\y"))); }, 3},
      {"folders over a file", [&] { return Code(plat::CreateDirectories(S("a.txt"))); }, 183},
      {"folders below a file", [&] { return Code(plat::CreateDirectories(S("a.txt\\s"))); }, 3},
      {"remove a full folder", [&] { return Code(plat::RemoveDirectory(S("dir"))); }, 145},
      {"remove a file", [&] { return Code(plat::RemoveDirectory(S("a.txt"))); }, 267},
      {"delete a folder", [&] { return Code(plat::DeleteFile(S("dir"))); }, 5},
      {"delete read-only", [&] { return Code(plat::DeleteFile(S("ro.txt"))); }, 5},
      {"delete nothing", [&] { return Code(plat::DeleteFile(S("none"))); }, 2},
      {"attributes of nothing", [&] { return attr(S("none")); }, 2},
      {"attributes in no folder", [&] { return attr(S("no\\x")); }, 3},
      {"search for no name", [&] { return Code(search.Open(S("zzz.doc"), &d)); }, 2},
      {"search for no match", [&] { return Code(search.Open(S("*.zip"), &d)); }, 2},
      {"search in no folder", [&] { return Code(search.Open(S("no\\*"), &d)); }, 3},
  };
  for (const Row& r : rows) EXPECT_EQ(r.call(), r.error) << r.what;
  EXPECT_TRUE(out == "unchanged" && !f.IsOpen());
  EXPECT_EQ(t.Read("b.txt") + t.Read("ro.txt") + t.Read("a.txt") + t.Read("dir/inner.txt"),
            "oldronewi");
  EXPECT_TRUE(fs::is_empty(t.NativeOf("locked")));
  EXPECT_FALSE(fs::exists(t.NativeOf("c.txt")) || fs::exists(t.NativeOf("d.txt")));
  EXPECT_TRUE(TempLeftovers(t.Native()).empty());
}

TEST(Files, SearchMasksMatchCharactersWithoutRegardToCase) {
  TempDir t;
  for (const char* n :
       {"a.txt", "B.TXT", "c.doc", "noext", ".hidden", "ΑΒΓ.txt", "Жук.log", "😀.txt", "ab.txt"})
    t.Write(n, "x");
  fs::create_directory(t.NativeOf("dir.txt"));
  const std::string base = t.System() + "\\";
  const std::map<std::string, std::set<std::string>> masks = {
      {"*.txt", {"a.txt", "B.TXT", "ΑΒΓ.txt", "😀.txt", "ab.txt", "dir.txt"}},
      {"?.TXT", {"a.txt", "B.TXT", "😀.txt"}},  // "?" is one character
      {"αβγ.*", {"ΑΒΓ.txt"}},
      {"жУК*", {"Жук.log"}},
      {"*e*t", {"noext"}},
      {"c.doc", {"c.doc"}},
  };
  for (const auto& [mask, names] : masks) EXPECT_EQ(SearchNames(base + mask), names) << mask;
  const auto all = SearchNames(base + "*.*");
  EXPECT_EQ(all.size(), 12u);  // ten entries plus "." and ".."
  EXPECT_TRUE(all.count(".") && all.count("..") && all.count(".hidden"));
  EXPECT_EQ(SearchNames(base + "*"), all);
  plat::DirSearch s;
  plat::FindData d;
  ASSERT_TRUE(s.Open(base + "dir.txt", &d));
  EXPECT_EQ(d.attributes, plat::kAttrDirectory);
  ASSERT_TRUE(s.Open(base + ".hidden", &d));
  EXPECT_EQ(d.attributes, plat::kAttrHidden);
  EXPECT_TRUE(plat::MatchFileMask("abcbc", "a*bc"));  // needs backtracking
  EXPECT_FALSE(plat::MatchFileMask("abcb", "a*bc") || plat::MatchFileMask("", "?"));
  EXPECT_TRUE(plat::MatchFileMask("ÉTÉ.TXT", "été.txt"));
  EXPECT_FALSE(plat::MatchFileMask(std::string(5000, 'a'), "*a*a*a*b"));  // quickly
}

// Left out: names a system path cannot carry, links to folders, dangling links, pipes.
TEST(Files, ListingsLeaveOutWhatCannotBeCarried) {
  TempDir t;
  t.Write("report.txt", "12345");
  t.Write("\xc3\xa4 notes.txt", "abc");
  t.Write("back\\slash.txt", "x");
  t.Write("bad \xff.txt", "x");
  fs::create_directory(t.NativeOf("folder"));
  fs::create_symlink(t.NativeOf("report.txt"), t.NativeOf("link.txt"));
  fs::create_directory_symlink(t.NativeOf("folder"), t.NativeOf("dirlink.txt"));
  fs::create_symlink(t.NativeOf("nothing"), t.NativeOf("dangling.txt"));
  ASSERT_EQ(mkfifo(t.NativeOf("pipe.txt").c_str(), 0600), 0);
  const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, t.NativeOf("report.txt").c_str(), old, 0), 0);
  std::map<std::string, std::string> searched;
  plat::DirSearch search;
  plat::FindData d;
  ASSERT_TRUE(search.Open(t.System() + "\\*", &d));
  do {
    if (d.name != "." && d.name != "..")
      searched[d.name] = d.attributes & plat::kAttrDirectory
                             ? "folder"
                             : std::to_string(d.size) + " " + std::to_string(d.writeTime);
  } while (search.Next(&d));
  EXPECT_EQ(search.SkippedNames(), 2u);  // the backslash and the bytes that are not UTF-8
  ASSERT_EQ(searched.size(), 4u);
  EXPECT_EQ(searched["link.txt"], searched["report.txt"]);
  for (const bool sizes : {true, false}) {
    std::map<std::string, std::string> listed, expected;
    for (const auto& [name, what] : searched)
      expected[name] = sizes || what == "folder" ? what : "0 0";
    EXPECT_TRUE(plat::ListFolderEntries(t.System(), sizes, [&](const plat::FolderEntry& e) {
      listed[std::string(e.name)] =
          e.folder ? "folder" : std::to_string(e.size) + " " + std::to_string(e.writeTime);
      return true;
    }));
    EXPECT_EQ(listed, expected) << (sizes ? "with sizes" : "names only");
  }
  size_t calls = 0;
  EXPECT_TRUE(plat::ListFolderEntries(t.System(), true, [&](const plat::FolderEntry&) {
    return ++calls, false;  // false ends the listing
  }));
  EXPECT_EQ(calls, 1u);
  EXPECT_EQ(Code(plat::ListFolderEntries(t.SystemOf("missing"), true,
                                         [](const plat::FolderEntry&) { return true; })),
            plat::kErrPathNotFound);
}

// Who else may read a file: through every folder above it, a folder made private at once.
TEST(Files, OthersReachAFileOnlyThroughEveryFolderAbove) {
  TempDir t;
  t.Write("closed/open/deep/f.txt", "x");
  chmod(t.NativeOf("closed").c_str(), 0700);
  chmod(t.NativeOf("closed/open").c_str(), 0755);
  chmod(t.NativeOf("closed/open/deep").c_str(), 0755);
  plat::ForgetFolderAnswers();
  EXPECT_EQ(plat::ReachableMode(t.SystemOf("closed\\open\\deep\\f.txt"), 0644), 0600u);
  fs::create_symlink(t.NativeOf("closed/open"), t.NativeOf("link"));
  EXPECT_EQ(plat::ReachableMode(t.SystemOf("link\\deep\\f.txt"), 04644), 04600u);
  chmod(t.NativeOf("closed").c_str(), 0755);
  plat::ForgetFolderAnswers();
  const uint32_t open = plat::ReachableMode(t.SystemOf("closed\\open\\deep\\f.txt"), 0644);
  chmod(t.NativeOf("closed/open/deep").c_str(), 0750);
  EXPECT_EQ(plat::ReachableMode(t.SystemOf("closed\\open\\deep\\f.txt"), 0644), open & 0640u);
  EXPECT_EQ(plat::ReachableMode(t.SystemOf("gone\\f.txt"), 0644), 0600u);
  // An access list keeping one user or the owning group out, here or above, makes it private.
  const auto setAcl = [&](const std::string& rel, std::vector<std::array<uint32_t, 3>> entries) {
    std::string raw(4 + 8 * entries.size(), '\0');
    const uint32_t version = 2;
    std::memcpy(raw.data(), &version, 4);
    for (size_t i = 0; i < entries.size(); ++i) {
      const uint16_t tag = static_cast<uint16_t>(entries[i][0]), perm = entries[i][1];
      std::memcpy(raw.data() + 4 + 8 * i, &tag, 2);
      std::memcpy(raw.data() + 6 + 8 * i, &perm, 2);
      std::memcpy(raw.data() + 8 + 8 * i, &entries[i][2], 4);
    }
    return setxattr(t.NativeOf(rel).c_str(), "system.posix_acl_access", raw.data(), raw.size(),
                    0) == 0;
  };
  const uint32_t none = ~0u, someone = 65534, ghost = 54321, me = getuid();  // ghost: no user
  t.Write("acl/g.txt", "x");
  t.Write("acl/h.txt", "x");
  chmod(t.Native().c_str(), 0755);
  chmod(t.NativeOf("acl").c_str(), 0755);
  plat::ForgetFolderAnswers();
  // Tag 1 owner, 2 named user, 4 owning group, 0x10 mask, 0x20 others.
  const struct {
    std::vector<std::array<uint32_t, 3>> acl;
    uint32_t mode, reachable;
  } rows[] = {
      {{{1, 6, none}, {2, 0, someone}, {4, 4, none}, {0x10, 4, none}, {0x20, 4, none}}, 0644, 0600},
      {{{1, 6, none}, {2, 4, someone}, {4, 4, none}, {0x10, 4, none}, {0x20, 4, none}}, 0644, 0644},
      {{{1, 6, none}, {2, 4, someone}, {4, 0, none}, {0x10, 4, none}, {0x20, 0, none}}, 0640, 0600},
      // Ignored: a mask granting nothing, an entry for the owner or for a user number no one has.
      {{{1, 6, none}, {2, 4, someone}, {4, 4, none}, {0x10, 0, none}, {0x20, 4, none}}, 0604, 0604},
      {{{1, 6, none}, {2, 0, me}, {4, 4, none}, {0x10, 4, none}, {0x20, 4, none}}, 0644, 0644},
      {{{1, 6, none}, {2, 0, ghost}, {4, 4, none}, {0x10, 4, none}, {0x20, 4, none}}, 0644, 0644},
      // One that adds a writer: the owning group still only reads.
      {{{1, 6, none}, {2, 6, someone}, {4, 4, none}, {0x10, 6, none}, {0x20, 4, none}}, 0664, 0644},
  };
  if (!setAcl("acl/g.txt", rows[0].acl)) GTEST_SKIP() << "no access lists on this file system";
  for (const auto& row : rows) {
    ASSERT_TRUE(setAcl("acl/g.txt", row.acl));
    EXPECT_EQ(plat::ReachableMode(t.SystemOf("acl\\g.txt"), row.mode), row.reachable)
        << row.acl[1][2] << " " << row.acl[3][1];
  }
  EXPECT_EQ(plat::ReachableMode(t.SystemOf("acl\\h.txt"), 0644), 0644u);
  ASSERT_TRUE(setAcl(
      "acl", {{1, 7, none}, {2, 0, someone}, {4, 5, none}, {0x10, 5, none}, {0x20, 5, none}}));
  EXPECT_EQ(plat::ReachableMode(t.SystemOf("acl\\h.txt"), 0644), 0600u);
}
