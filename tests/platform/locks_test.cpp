#include "platform/process/Locks.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <sstream>
#include <thread>

#include "Checks.h"

namespace {

using plat::MutexResult;
using plat::NamedMutex;

// The abstract socket names listened on now.
std::vector<std::string> AbstractNames() {
  std::vector<std::string> out;
  std::istringstream table(bvtest::ReadNative("/proc/net/unix"));
  for (std::string line; std::getline(table, line);) {
    const size_t at = line.find(" @");
    if (at != std::string::npos) out.push_back(line.substr(at + 2));
  }
  return out;
}

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
  bvtest::TempDir tmp_;
  EnvScope env_;
};

// Lock files never leave their folder; a global name's holder is seen by other
// users. Taking and giving back, planted files and killed holders: the
// program's start test.
TEST_F(LocksTest, NamedMutexesSeeTheirHoldersAndNothingElse) {
  EXPECT_EQ(plat::NamedMutexFile("Local\\Brevanto"), tmp_.NativeOf("run/Brevanto-Brevanto.lock"));
  EXPECT_EQ(plat::NamedMutexFile("Global\\Brevanto"), "");
  EXPECT_EQ(std::filesystem::path(plat::NamedMutexFile("../../etc/x")).parent_path(),
            tmp_.NativeOf("run"));
  EXPECT_NE(plat::NamedMutexFile("a b"), plat::NamedMutexFile("a_b"));
  EXPECT_NE(plat::NamedMutexFile("a%20b"), plat::NamedMutexFile("a b"));
  const std::string longA(1000, 'a');
  EXPECT_LT(std::filesystem::path(plat::NamedMutexFile(longA)).filename().string().size(), 255u);
  EXPECT_NE(plat::NamedMutexFile(longA), plat::NamedMutexFile(longA + "b"));

  {
    NamedMutex scoped;
    EXPECT_EQ(scoped.Create("Scoped"), MutexResult::kCreated);
    EXPECT_FALSE(plat::NamedMutexExists("Other"));
  }
  EXPECT_FALSE(plat::NamedMutexExists("Scoped"));  // released by the destructor
  NamedMutex global, second;
  EXPECT_EQ(global.Create("Global\\Running"), MutexResult::kCreated);
  EXPECT_EQ(second.Create("Global\\Running"), MutexResult::kAlreadyExists);
  EXPECT_EQ(second.HolderUid(), long(getuid()));
  if (getuid() != 0) return;
  // Another user sees the holder's user as the kernel reports it.
  auto asNobody = [](const char* name) {
    return InChild(
        [name] {
          NamedMutex m;
          const int result = int(m.Create(name));
          return m.HolderUid() == 0 ? result + 10 : result;
        },
        true);
  };
  EXPECT_EQ(asNobody("Global\\Running"), int(MutexResult::kAlreadyExists) + 10);
  global.Close();
  EXPECT_EQ(asNobody("Global\\Running"), int(MutexResult::kCreated));
  // Held by the other user, seen here; then its socket names taken by this user (as
  // anyone may listen on any name): they do not count, the other user still takes it.
  const std::vector<std::string> before = AbstractNames();
  int ready[2], quit[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(quit), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    close(quit[1]);
    NamedMutex m;
    char c = char('0' + (setgid(65534) || setuid(65534) ? 9 : int(m.Create("Global\\Running"))));
    _exit(write(ready[1], &c, 1) == 1 && read(quit[0], &c, 1) >= 0 ? 0 : 1);
  }
  close(ready[1]);
  close(quit[0]);
  std::shared_ptr<void> end(nullptr, [&](void*) {  // the holder lets go and ends
    if (quit[1] >= 0) close(std::exchange(quit[1], -1)), waitpid(holder, nullptr, 0);
  });
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, '0' + int(MutexResult::kCreated));
  EXPECT_EQ(second.Create("Global\\Running"), MutexResult::kAlreadyExists);
  EXPECT_EQ(second.HolderUid(), 65534);
  std::vector<std::string> names;  // a probe's unaccepted connection shows the name again
  for (const std::string& name : AbstractNames())
    if (std::find(before.begin(), before.end(), name) == before.end() &&
        std::find(names.begin(), names.end(), name) == names.end() &&
        name.rfind("Brevanto-", 0) == 0 && name.find("Running") != std::string::npos)
      names.push_back(name);
  ASSERT_EQ(names.size(), 1u);
  end.reset();
  const int squatter = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, names[0].data(), names[0].size());
  ASSERT_EQ(bind(squatter, reinterpret_cast<sockaddr*>(&addr),
                 socklen_t(offsetof(sockaddr_un, sun_path) + 1 + names[0].size())),
            0);
  ASSERT_EQ(listen(squatter, 4), 0);
  EXPECT_EQ(asNobody("Global\\Running"), int(MutexResult::kCreated));
  close(squatter);
  // A runtime folder that is not this user's is passed over.
  std::filesystem::create_directories(tmp_.NativeOf("theirs"));
  ASSERT_EQ(chown(tmp_.NativeOf("theirs").c_str(), 65534, 65534), 0);
  env_.Set("XDG_RUNTIME_DIR", tmp_.NativeOf("theirs"));
  EXPECT_EQ(plat::NamedMutexFile("X"), "/tmp/brevanto-0/Brevanto-X.lock");
  struct stat st {};
  ASSERT_EQ(stat("/tmp/brevanto-0", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// Instance counts per program, without reused pids and junk lines, losing no
// increment of threads at the same time.
TEST_F(LocksTest, InstanceCountsKeepOnlyLiveProcesses) {
  plat::InstanceBlock block("/opt/brevanto/app");
  EXPECT_EQ(block.Increment(), 1);
  EXPECT_EQ(plat::InstanceBlock("/opt/other/app").Count(), 0);
  EXPECT_EQ(std::filesystem::path(block.FilePath()).parent_path(), tmp_.NativeOf("run"));
  EXPECT_EQ(block.Decrement(), 0);
  EXPECT_EQ(block.Decrement(), 0);

  // A killed holder's count and window are dropped (the program's start test
  // meets that, and counts up and down); a line break in a window handle
  // becomes a blank.
  plat::InstanceBlock app("app");
  app.SetWindowHandle("mine\nwith newline");
  EXPECT_EQ(app.GetWindowHandle(), "mine with newline");
  // This process's pid with another start time (an earlier process), and junk.
  plat::InstanceBlock reused("app2");
  bvtest::WriteNative(reused.FilePath(), std::to_string(getpid()) + " 1\ngarbage\n\n-5 7\n" +
                                             std::string(300, '\xff') + "\nwindow 1 1 stale\n");
  EXPECT_EQ(reused.Count(), 0);
  EXPECT_EQ(reused.GetWindowHandle(), "");
  EXPECT_EQ(reused.Increment(), 1);
  // Threads of their own open files increment at the same time.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) plat::InstanceBlock("busy").Increment();
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(plat::InstanceBlock("busy").Count(), 200);
}

}  // namespace
