// The copy path into a store: stops, sweeps, failed steps, planted links, other file systems.

#include <atomic>
#include <thread>

#include "Checks.h"
#include "platform/base/FaultSeam.h"
#include "platform/files/Files.h"
#include "platform/files/FilesBelow.h"
#include "platform/profile/Profile.h"

namespace fs = std::filesystem;
using bvtest::TempDir;

// Cancelled from another thread during the copy: nothing left under either name. Copies beside
// another plan's sweep of leftovers stay whole.
TEST(FilesCopy, StopsWhenTheThreadIsCancelled) {
  TempDir t;
  t.Write("big.bin", std::string(64u << 20, 'b'));
  std::atomic<bool> cancel{false};
  plat::SetThreadCancelFlag(&cancel);
  plat::fault::SetCopyDelay(100);  // a slow disk, so the copy is surely running
  struct Reset {
    ~Reset() { plat::SetThreadCancelFlag(nullptr), plat::fault::SetCopyDelay(0); }
  } reset;
  std::thread stopper([&] {
    while (!fs::exists(t.NativeOf("copy.bin")) && TempLeftovers(t.Native()).empty())
      std::this_thread::yield();
    cancel = true;
  });
  EXPECT_EQ(plat::CopyFile(t.SystemOf("big.bin"), t.SystemOf("copy.bin"), false),
            plat::kErrCancelled);
  stopper.join();
  EXPECT_FALSE(fs::exists(t.NativeOf("copy.bin")));
  EXPECT_TRUE(TempLeftovers(t.Native()).empty());
  cancel = false;
  plat::fault::SetCopyDelay(0);
  EXPECT_EQ(plat::CopyFile(t.SystemOf("big.bin"), t.SystemOf("copy.bin"), false), 0u);
  // Another plan's sweep of leftover copies never takes a copy from under its writer.
  t.Write("src.txt", Pattern(512));
  fs::create_directory(t.NativeOf("dst"));
  std::atomic_bool done{false};
  std::thread sweeper([&] {
    while (!done)
      for (const std::string& n : TempLeftovers(t.NativeOf("dst")))
        plat::DeleteLeftoverCopy(t.SystemOf("dst\\" + n));
  });
  std::vector<uint32_t> failures;
  for (int i = 0; i < 500; ++i)
    if (const uint32_t rc =
            plat::CopyFile(t.SystemOf("src.txt"), t.SystemOf("dst\\c" + std::to_string(i)), false))
      failures.push_back(rc);
  done = true;
  sweeper.join();
  EXPECT_EQ(failures, std::vector<uint32_t>{});  // the codes of failed copies
  EXPECT_EQ(std::distance(fs::directory_iterator(t.NativeOf("dst")), {}), 500);
}

// Fails step 1, 2, 3 ... of each write until it passes: the target is old or whole new.
TEST(FilesCopy, EveryFailedStepLeavesTheOldOrTheWholeNewFile) {
  struct DisarmAtEnd {
    ~DisarmAtEnd() { plat::fault::Disarm(); }
  } disarm;
  TempDir t;
  const std::string big = Pattern(5 * 1024 * 1024 + 5);
  t.Write("src.bin", big);
  auto S = [&](const char* rel) { return t.SystemOf(rel); };
  const struct Loop {
    const char* target;
    std::string old, fresh;
    std::function<bool()> write;
    uint64_t steps;  // at least
  } loops[] = {
      {"f.ini", "old", big, [&] { return plat::WriteFileAtomic(S("f.ini"), big); }, 8},
      {"new.bin", "", big,
       [&] { return plat::CopyFile(S("src.bin"), S("new.bin"), true, true) == 0; }, 6},
      {"dst.bin", "older copy", big,
       [&] { return plat::CopyFile(S("src.bin"), S("dst.bin"), false) == 0; }, 6},
      {"p.ini", "; settings\n[A]\nx=1\n\n[B]\ny=2\n", "; settings\n[A]\nx=changed\n\n[B]\ny=2\n",
       [&] { return plat::WriteProfileString(S("p.ini"), "A", "x", "changed"); }, 4},
  };
  for (const Loop& l : loops) {
    uint64_t step = 1;
    for (;; ++step) {
      ASSERT_LT(step, 100u) << l.target;
      fs::remove(t.NativeOf(l.target));
      if (!l.old.empty()) t.Write(l.target, l.old);
      plat::fault::Arm(step, plat::kErrDiskFull, true);
      const bool ok = l.write();
      const bool fired = plat::fault::Fired();
      plat::fault::Disarm();
      const std::string now = t.Read(l.target);
      EXPECT_TRUE(TempLeftovers(t.Native()).empty()) << l.target << " step " << step;
      EXPECT_TRUE(now == l.old || now == l.fresh) << l.target << " step " << step;
      if (!fired) {
        EXPECT_TRUE(ok && now == l.fresh) << l.target;
        break;
      }
      EXPECT_FALSE(ok) << l.target << " step " << step;
      EXPECT_EQ(plat::GetLastError(), plat::kErrDiskFull) << l.target << " step " << step;
    }
    EXPECT_GE(step, l.steps) << l.target;
  }
}

// Links planted below a store's root stop every confined call; the root itself may be a link.
TEST(FilesCopy, LinksBelowTheStoreRootAreNeverFollowed) {
  TempDir t;
  t.Write("src.txt", "new");
  t.Write("outside/victim.txt", "keep");
  t.Write("real/Latest/ok/file.txt", "old");
  fs::create_directory_symlink(t.NativeOf("real"), t.NativeOf("store"));  // allowed
  fs::create_directory_symlink(t.NativeOf("outside"), t.NativeOf("real/Latest/sub"));
  fs::create_symlink(t.NativeOf("outside/victim.txt"), t.NativeOf("real/Latest/file.txt"));
  chmod(t.NativeOf("outside/victim.txt").c_str(), 0444);
  const std::string root = t.SystemOf("store"), src = t.SystemOf("src.txt");
  auto in = [&](const char* rel) { return root + "\\" + rel; };
  auto dirs = [&](const char* rel) { return Code(plat::CreateDirectories(in(rel), root, true)); };
  auto open = [&](const char* rel) { return Code(plat::SourceFile().Open(in(rel), root)); };
  auto del = [&](const char* rel) { return Code(plat::DeleteFile(in(rel), root)); };
  auto move = [&](const char* a, const char* b) { return plat::MoveFile(in(a), in(b), root); };
  const struct Row {
    const char* what;
    std::function<uint32_t()> call;
  } rows[] = {
      {"copy into a linked folder",
       [&] { return plat::CopyFile(src, in("Latest\\sub\\victim.txt"), false, false, root); }},
      {"copy onto a linked file",
       [&] { return plat::CopyFile(src, in("Latest\\file.txt"), false, true, root); }},
      {"move a linked file", [&] { return move("Latest\\file.txt", "Latest\\ok\\m.txt"); }},
      {"move, linked folder", [&] { return move("Latest\\ok\\file.txt", "Latest\\sub\\x.txt"); }},
      {"delete a linked file", [&] { return del("Latest\\file.txt"); }},
      {"delete through a linked folder", [&] { return del("Latest\\sub\\victim.txt"); }},
      {"attributes through a link",
       [&] {
         return Code(plat::SetFileAttributes(in("Latest\\file.txt"), plat::kAttrNormal, root));
       }},
      {"folders through a link", [&] { return dirs("Latest\\sub\\new\\deeper"); }},
      {"the last folder a link", [&] { return dirs("Latest\\sub"); }},
      {"one folder below a link", [&] { return dirs("Latest\\sub\\b"); }},
      {"read a linked file", [&] { return open("Latest\\file.txt"); }},
      {"read through a linked folder", [&] { return open("Latest\\sub\\victim.txt"); }},
      {"read below the volume's root",
       [&] { return Code(plat::SourceFile().Open(in("Latest\\ok\\file.txt"), "")); }},
  };
  for (const Row& r : rows) EXPECT_EQ(r.call(), plat::kErrStoppedOnLink) << r.what;
  EXPECT_TRUE(t.Read("outside/victim.txt") == "keep" &&
              ModeOf(t.NativeOf("outside/victim.txt")) == 0444u);
  EXPECT_EQ(std::distance(fs::directory_iterator(t.NativeOf("outside")), {}), 1);
  EXPECT_TRUE(TempLeftovers(t.NativeOf("real/Latest")).empty());
  EXPECT_EQ(plat::WinErrorMessage(plat::kErrStoppedOnLink).find("Unknown"), std::string::npos);
  // Where no link stands the same calls work, and new folders are private.
  ASSERT_EQ(dirs("Latest\\ok\\new"), 0u);
  EXPECT_EQ(ModeOf(t.NativeOf("real/Latest/ok/new")), 0700u);
  ASSERT_EQ(dirs("Revision\\ok"), 0u);
  EXPECT_EQ(ModeOf(t.NativeOf("real/Revision/ok")), 0700u);
  plat::SourceFile read;  // copies read what was opened, again from its start
  ASSERT_TRUE(read.Open(in("Latest\\ok\\file.txt"), root));
  fs::rename(t.NativeOf("real/Latest/ok/file.txt"), t.NativeOf("real/Latest/ok/kept.txt"));
  t.Write("real/Latest/ok/file.txt", "swapped");
  {
    const plat::CopiesReadFrom reading(read);
    for (const char* copy : {"Latest\\ok\\copy.txt", "Latest\\ok\\again.txt"})
      EXPECT_EQ(plat::CopyFile(in("Latest\\ok\\file.txt"), in(copy), false, false, root), 0u);
  }
  EXPECT_EQ(t.Read("real/Latest/ok/again.txt"), "old");
  EXPECT_EQ(plat::SourceFile().Open(in("Latest\\ok"), root), false) << "a folder";
  EXPECT_EQ(plat::CopyFile(src, in("Latest\\ok\\file.txt"), false, false, root), 0u);
  EXPECT_EQ(move("Latest\\ok\\file.txt", "Revision\\ok\\file(1).txt"), 0u);
  EXPECT_EQ(del("Revision\\ok\\file(1).txt"), 0u);
}

// Store folders take the owner, group and mode of the folders they stand for, owner full access.
TEST(FilesCopy, FoldersMirrorTheAccessOfTheFoldersTheyCopy) {
  TempDir t;
  t.Write("home/ann/private/doc.txt", "x");
  chmod(t.NativeOf("home/ann").c_str(), 0750);
  chmod(t.NativeOf("home/ann/private").c_str(), 0500);
  const bool asRoot = geteuid() == 0;
  ASSERT_TRUE(!asRoot || chown(t.NativeOf("home/ann").c_str(), 65534, 65534) == 0);
  const std::string root = t.SystemOf("store");
  ASSERT_TRUE(plat::CreateDirectory(root, true));
  const std::string doc = t.SystemOf("home/ann/private/doc.txt");
  const std::string target = root + "\\Latest\\C" + doc.substr(2);
  ASSERT_TRUE(plat::CreateDirectories(target.substr(0, target.rfind('\\')), root, true));
  ASSERT_TRUE(plat::MirrorFolderAccess(doc, target, root));
  const std::string copied = t.NativeOf("store/Latest/C") + t.NativeOf("home");
  EXPECT_TRUE(ModeOf(t.NativeOf("store")) == 0700u && ModeOf(t.NativeOf("store/Latest")) == 0700u);
  EXPECT_EQ(ModeOf(copied + "/ann"), 0750u);
  EXPECT_EQ(ModeOf(copied + "/ann/private"), 0700u);  // 0500 + the owner's full access
  EXPECT_EQ(ModeOf(copied), ModeOf(t.NativeOf("home")) | 0700u);
  struct stat st {};
  ASSERT_EQ(stat((copied + "/ann").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, asRoot ? 65534u : geteuid());
  EXPECT_EQ(plat::CopyFile(doc, target, false, false, root), 0u);
  // A copy carries its source's mode whatever the process's mask (022) took away.
  for (const mode_t mode : {0644, 0600, 0664, 0444, 0751, 02755, 01777}) {
    SCOPED_TRACE(mode);
    t.Write("home/ann/m.txt", "m");
    ASSERT_EQ(chmod(t.NativeOf("home/ann/m.txt").c_str(), mode), 0);
    const std::string into = t.SystemOf("store") + "\\m.txt";
    fs::remove(t.NativeOf("store/m.txt"));
    ASSERT_EQ(plat::CopyFile(t.SystemOf("home/ann/m.txt"), into, false, false, root), 0u);
    EXPECT_EQ(ModeOf(t.NativeOf("store/m.txt")), static_cast<unsigned>(mode));
  }
}

TEST(FilesCopy, MoveAcrossFileSystemsCopiesThenDeletes) {
  TempDir t;
  struct stat a = {}, b = {};
  if (stat("/dev/shm", &a) != 0 || stat(t.Native().c_str(), &b) != 0 || a.st_dev == b.st_dev)
    GTEST_SKIP() << "needs /dev/shm on another file system";
  const std::string shm = "/dev/shm/bv-move-" + std::to_string(getpid());
  fs::create_directories(shm + "/sub");
  const std::string data = Pattern(200000);
  bvtest::WriteNative(shm + "/m.bin", data);
  chmod((shm + "/m.bin").c_str(), 0604);
  const std::string moved = bvtest::NativeToSystemC(shm + "/m.bin");
  t.Write("taken.bin", "T");
  EXPECT_EQ(plat::MoveFile(moved, t.SystemOf("taken.bin")), plat::kErrAlreadyExists);
  EXPECT_EQ(t.Read("taken.bin"), "T");
  EXPECT_EQ(plat::MoveFile(moved, t.SystemOf("moved.bin")), 0u);
  EXPECT_FALSE(fs::exists(shm + "/m.bin"));
  EXPECT_TRUE(t.Read("moved.bin") == data);
  EXPECT_EQ(ModeOf(t.NativeOf("moved.bin")), 0604u);
  EXPECT_EQ(plat::MoveFile(bvtest::NativeToSystemC(shm + "/sub"), t.SystemOf("sub")),
            plat::kErrNotSameDevice);  // folders do not cross file systems
  fs::remove_all(shm);
}
