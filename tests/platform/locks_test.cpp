#include "platform/Locks.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "EnvScope.h"
#include "support/TempDir.h"

namespace {

using plat::MutexResult;
using plat::NamedMutex;

// Lock folders point into a temporary folder for each test.
class LocksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(tmp_.NativeOf("run"));
    std::filesystem::create_directories(tmp_.NativeOf("global"));
    chmod(tmp_.NativeOf("global").c_str(), 01777);
    env_.Set("XDG_RUNTIME_DIR", tmp_.NativeOf("run"));
    env_.Set("BREVANTO_GLOBAL_LOCK_DIR", tmp_.NativeOf("global"));
  }

  // Forks a child that runs fn, tells the parent through a pipe and then
  // sleeps until killed. Returns its pid.
  template <typename Fn>
  pid_t SpawnHolder(Fn fn) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      char ok = fn() ? '1' : '0';
      (void)!write(fds[1], &ok, 1);
      for (;;) pause();
    }
    close(fds[1]);
    char c = 0;
    EXPECT_EQ(read(fds[0], &c, 1), 1);
    close(fds[0]);
    EXPECT_EQ(c, '1');
    return pid;
  }
  static void Kill(pid_t pid) {
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
  }
  // Runs fn in a child process and returns its exit code.
  template <typename Fn>
  static int InChild(Fn fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  bvtest::TempDir tmp_;
  EnvScope env_;
};

TEST_F(LocksTest, LockFileNamesStayInTheirFolder) {
  EXPECT_EQ(plat::NamedMutexFile("BrevantoIsRunning"),
            tmp_.NativeOf("run/Brevanto-BrevantoIsRunning.lock"));
  EXPECT_EQ(plat::NamedMutexFile("Local\\BrevantoIsRunning"),
            tmp_.NativeOf("run/Brevanto-BrevantoIsRunning.lock"));
  EXPECT_EQ(plat::NamedMutexFile("Global\\Brevanto"), "");  // a socket, no file
  // Names never leave the folder and distinct names get distinct files.
  std::string evil = plat::NamedMutexFile("../../etc/x");
  EXPECT_EQ(std::filesystem::path(evil).parent_path(), tmp_.NativeOf("run"));
  EXPECT_NE(plat::NamedMutexFile("a b"), plat::NamedMutexFile("a_b"));
  EXPECT_NE(plat::NamedMutexFile("a%20b"), plat::NamedMutexFile("a b"));
  std::string longA(1000, 'a'), longB = longA + "b";
  EXPECT_LT(std::filesystem::path(plat::NamedMutexFile(longA)).filename().string().size(), 255u);
  EXPECT_NE(plat::NamedMutexFile(longA), plat::NamedMutexFile(longB));

  env_.Unset("XDG_RUNTIME_DIR");
  std::string file = plat::NamedMutexFile("X");
  std::string folder = "/tmp/brevanto-" + std::to_string(getuid());
  EXPECT_EQ(file, folder + "/Brevanto-X.lock");
  struct stat st;
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(LocksTest, SecondCreateSeesTheHolder) {
  NamedMutex a, b;
  EXPECT_EQ(a.Create("BrevantoIsRunning"), MutexResult::kCreated);
  EXPECT_TRUE(a.IsHeld());
  EXPECT_EQ(b.Create("BrevantoIsRunning"), MutexResult::kAlreadyExists);
  EXPECT_FALSE(b.IsHeld());
  EXPECT_TRUE(plat::NamedMutexExists("BrevantoIsRunning"));
  EXPECT_FALSE(plat::NamedMutexExists("SomethingElse"));
  EXPECT_EQ(b.Create("Global\\BrevantoIsRunning"), MutexResult::kCreated);  // another name
  a.Close();
  EXPECT_FALSE(plat::NamedMutexExists("BrevantoIsRunning"));
  EXPECT_EQ(a.Create("BrevantoIsRunning"), MutexResult::kCreated);
  {
    NamedMutex scoped;
    EXPECT_EQ(scoped.Create("Scoped"), MutexResult::kCreated);
  }
  EXPECT_FALSE(plat::NamedMutexExists("Scoped"));  // released by the destructor
}

// Global names are sockets: files planted where lock files used to lie (a
// link, another user's private file) stop nobody, and a private runtime
// folder taken over by another user is passed over.
TEST_F(LocksTest, PlantedFilesNeitherBlockNorAreFollowed) {
  const std::string global = tmp_.NativeOf("global/Brevanto-Planted.lock");
  const std::string target = tmp_.Write("victim", "keep");
  std::filesystem::create_symlink(target, global);
  NamedMutex planted;
  EXPECT_EQ(planted.Create("Global\\Planted"), MutexResult::kCreated);
  EXPECT_TRUE(planted.IsHeld());
  EXPECT_EQ(tmp_.Read("victim"), "keep");
  NamedMutex second;
  EXPECT_EQ(second.Create("Global\\Planted"), MutexResult::kAlreadyExists);
  EXPECT_EQ(second.HolderUid(), long(getuid()));
  // Another global folder is another set of names.
  env_.Set("BREVANTO_GLOBAL_LOCK_DIR", tmp_.NativeOf("other"));
  EXPECT_FALSE(plat::NamedMutexExists("Global\\Planted"));
  env_.Set("BREVANTO_GLOBAL_LOCK_DIR", tmp_.NativeOf("global"));

  // A runtime folder that is not this user's is passed over.
  if (getuid() == 0) {
    std::filesystem::create_directories(tmp_.NativeOf("theirs"));
    ASSERT_EQ(chown(tmp_.NativeOf("theirs").c_str(), 65534, 65534), 0);
    env_.Set("XDG_RUNTIME_DIR", tmp_.NativeOf("theirs"));
    EXPECT_EQ(plat::NamedMutexFile("X"), "/tmp/brevanto-0/Brevanto-X.lock");
  }
}

TEST_F(LocksTest, OtherUsersSeeGlobalLocks) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  NamedMutex global;
  ASSERT_EQ(global.Create("Global\\Multi"), MutexResult::kCreated);
  // The holder's user as the kernel reports it, and a planted private file
  // of another user where the lock file used to lie, which counts for nothing.
  const std::string closed = tmp_.NativeOf("global/Brevanto-Closed.lock");
  bvtest::WriteNative(closed, "");
  chmod(closed.c_str(), 0600);
  auto asNobody = [](const char* name) {
    return InChild([name] {
      if (setgid(65534) != 0 || setuid(65534) != 0) return 9;
      NamedMutex m;
      const int result = int(m.Create(name));
      return m.HolderUid() == 0 ? result + 10 : result;
    });
  };
  EXPECT_EQ(asNobody("Global\\Multi"), int(MutexResult::kAlreadyExists) + 10);
  EXPECT_EQ(asNobody("Global\\Closed"), int(MutexResult::kCreated));
  global.Close();
  EXPECT_EQ(asNobody("Global\\Multi"), int(MutexResult::kCreated));
}

TEST_F(LocksTest, KilledHolderReleasesTheMutex) {
  pid_t child = SpawnHolder([] {
    static NamedMutex m;  // held until the process dies
    return m.Create("BrevantoIsRunning") == MutexResult::kCreated;
  });
  NamedMutex m;
  EXPECT_EQ(m.Create("BrevantoIsRunning"), MutexResult::kAlreadyExists);
  Kill(child);
  EXPECT_EQ(m.Create("BrevantoIsRunning"), MutexResult::kCreated);
}

TEST_F(LocksTest, InstanceCountsDropKilledProcessesReusedPidsAndJunk) {
  plat::InstanceBlock block("/opt/brevanto/app");
  EXPECT_EQ(block.Count(), 0);
  EXPECT_EQ(block.Increment(), 1);
  EXPECT_EQ(block.Increment(), 2);  // a process counting twice counts twice
  EXPECT_EQ(plat::InstanceBlock("/opt/brevanto/app").Count(), 2);
  EXPECT_EQ(plat::InstanceBlock("/opt/other/app").Count(), 0);
  EXPECT_NE(block.FilePath(), plat::InstanceBlock("/opt/other/app").FilePath());
  EXPECT_EQ(std::filesystem::path(block.FilePath()).parent_path(), tmp_.NativeOf("run"));
  EXPECT_EQ(block.Decrement(), 1);
  EXPECT_EQ(block.Decrement(), 0);
  EXPECT_EQ(block.Decrement(), 0);

  plat::InstanceBlock stale("app");
  stale.Increment();
  pid_t child = SpawnHolder([] {
    plat::InstanceBlock b("app");
    b.SetWindowHandle("brevanto-socket-child");
    return b.Increment() == 2;
  });
  EXPECT_EQ(stale.Count(), 2);
  EXPECT_EQ(stale.GetWindowHandle(), "brevanto-socket-child");
  // Decrement removes this process's entry, not the child's.
  EXPECT_EQ(stale.Decrement(), 1);
  EXPECT_EQ(stale.Increment(), 2);
  Kill(child);
  EXPECT_EQ(stale.Count(), 1);
  EXPECT_EQ(stale.GetWindowHandle(), "");  // its socket is gone with it
  stale.SetWindowHandle("mine\nwith newline");
  EXPECT_EQ(stale.GetWindowHandle(), "mine with newline");
  stale.SetWindowHandle("");
  EXPECT_EQ(stale.GetWindowHandle(), "");

  plat::InstanceBlock reused("app2");
  // This process's pid with another start time: an earlier process that had
  // the same pid. Plus junk of every kind.
  bvtest::WriteNative(reused.FilePath(), std::to_string(getpid()) + " 1\n" + "garbage\n\n-5 7\n" +
                                             std::string(300, '\xff') + "\nwindow 1 1 stale\n");
  EXPECT_EQ(reused.Count(), 0);
  EXPECT_EQ(reused.GetWindowHandle(), "");
  EXPECT_EQ(reused.Increment(), 1);
}

TEST_F(LocksTest, ConcurrentIncrementsAreNotLost) {
  constexpr int kThreads = 4, kEach = 50;
  // A second process increments at the same time as this one's threads. It
  // is forked before any thread starts and stays alive so its entries count.
  int go[2], done[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t pid = fork();
  if (pid == 0) {
    char c;
    if (read(go[0], &c, 1) != 1) _exit(1);
    plat::InstanceBlock b("busy");
    for (int i = 0; i < kEach; ++i) b.Increment();
    (void)!write(done[1], "1", 1);
    for (;;) pause();
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([] {
      plat::InstanceBlock b("busy");
      for (int i = 0; i < kEach; ++i) b.Increment();
    });
  ASSERT_EQ(write(go[1], "1", 1), 1);
  for (auto& t : threads) t.join();
  char c = 0;
  EXPECT_EQ(read(done[0], &c, 1), 1);
  for (int fd : {go[0], go[1], done[0], done[1]}) close(fd);
  plat::InstanceBlock b("busy");
  EXPECT_EQ(b.Count(), kThreads * kEach + kEach);
  Kill(pid);
  EXPECT_EQ(b.Count(), kThreads * kEach);
}

}  // namespace
