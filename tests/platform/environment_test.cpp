// The machine: clocks, priority, power, load, well-known folders; named locks and instance counts.
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <sstream>
#include <thread>

#include "Checks.h"
#include "platform/process/Clock.h"
#include "platform/process/Locks.h"
#include "platform/process/MachineLoad.h"
#include "platform/process/PowerSupply.h"
#include "platform/profile/Folders.h"

TEST(Clock, CountersThreadsAndTheLowestPriority) {
  const uint64_t t0 = plat::GetTickCount64();
  plat::SleepMs(15);
  const uint64_t t1 = plat::GetTickCount64();
  EXPECT_GE(t1 - t0, 15u);                 // a sleep never ends early
  EXPECT_GE(plat::GetUpTimeMs() + 1, t1);  // boot time counts everything monotonic does
  EXPECT_TRUE(plat::GetBootTime() <= plat::Now() && plat::GetBootTime() > 946684800);
  EXPECT_EQ(plat::CurrentThreadId(), static_cast<uint32_t>(getpid()));
  uint32_t other = 0;
  int policy = -1, niceness = 0;
  std::thread([&] {
    other = plat::CurrentThreadId();
    plat::SetCurrentThreadLowestPriority();
    policy = sched_getscheduler(0);
    niceness = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  }).join();
  EXPECT_NE(other, plat::CurrentThreadId());
  // A small share beside busy processes: the idle class would wait behind them.
  EXPECT_EQ(policy, SCHED_BATCH);
  EXPECT_EQ(niceness, 19);
  EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER);  // only the calling thread changed
}

// What the machine did less this process's share: a real busy process, then a fake /proc; the
// power source from a fake supply folder.
TEST(Clock, MachineLoadCountsOnlyOtherProcesses) {
  const pid_t busy = fork();
  if (busy == 0) {
    volatile uint64_t n = 0;
    for (;;) n = n + 1;
  }
  ASSERT_GT(busy, 0);
  plat::MachineLoad real("/proc", "/sys/block", 0, 400);
  real.OthersBusy();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_TRUE(real.OthersBusy());
  EXPECT_GT(real.OthersCores(), 0.5);
  kill(busy, SIGKILL);
  waitpid(busy, nullptr, 0);
  bvtest::TempDir t;
  std::filesystem::create_directories(t.NativeOf("p/self"));
  std::filesystem::create_directories(t.NativeOf("b"));
  std::filesystem::create_symlink("../devices/pci0000:00/virtio1/block/vda", t.NativeOf("b/vda"));
  std::filesystem::create_symlink("../devices/virtual/block/loop0", t.NativeOf("b/loop0"));
  plat::MachineLoad load(t.NativeOf("p"), t.NativeOf("b"), 0, 0);
  EXPECT_FALSE(load.OthersBusy()) << "nothing readable: nothing to go by";
  // Busy ticks of machine and process, bytes read by disk (vda alone) and process, written by both.
  const uint64_t hz = static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
  std::array<uint64_t, 6> at = {1000, 100, 0, 0, 0, 0};
  auto write = [&] {
    t.Write("p/stat", "cpu  " + std::to_string(at[0]) + " 0 0 999999 50 0 0 7 0 0\ncpu0 1 2\n");
    t.Write("p/self/stat",
            "42 (a (b) c) S 1 1 1 0 -1 0 0 0 0 0 " + std::to_string(at[1]) + " 0 0 0 20 0 3 0\n");
    t.Write("p/self/io", "rchar: 9\nread_bytes: " + std::to_string(at[3]) +
                             "\nwrite_bytes: " + std::to_string(at[5]) + "\n");
    const std::string disk = " 0 0 " + std::to_string(at[2] / 512) + " 0 0 0 " +
                             std::to_string(at[4] / 512) + " 0 0 0 0\n";
    t.Write("p/diskstats", " 253 0 vda" + disk + " 253 1 vda1" + disk + "   7 0 loop0" + disk);
  };
  write();
  EXPECT_FALSE(load.OthersBusy());
  const std::pair<std::array<uint64_t, 6>, bool> steps[] = {
      {{hz, hz, 0, 0, 0, 0}, false},              // only this process worked
      {{hz, 0, 0, 0, 0, 0}, true},                // another one did
      {{0, 0, 1 << 20, 1 << 20, 0, 0}, false},    // own reads
      {{0, 0, 1 << 20, 0, 0, 0}, true},           // another's
      {{0, 0, 0, 0, 64 << 20, 64 << 20}, false},  // own writes on the disk at once
      {{0, 0, 0, 0, 0, 64 << 20}, false},         // ... or later
      {{0, 0, 0, 0, 64 << 20, 0}, false},
      {{0, 0, 0, 0, 64 << 20, 0}, true},  // another's
      {{0, 0, 0, 0, 0, 0}, false},
  };
  for (const auto& [adds, busy] : steps) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (size_t i = 0; i < at.size(); ++i) at[i] += adds[i];
    write();
    EXPECT_EQ(load.OthersBusy(), busy) << testing::PrintToString(adds);
  }
  // Mains or battery, from a power supply folder.
  const std::string root = t.NativeOf("ps");
  EXPECT_EQ(plat::detail::ReadPowerSupplyFolder(root), plat::PowerStatus::kUnknown);
  std::filesystem::create_directory(root);
  using Files = std::vector<std::pair<const char*, const char*>>;
  const std::pair<Files, plat::PowerStatus> supplies[] = {
      {{}, plat::PowerStatus::kMains},  // an empty folder
      {{{"BAT0/type", "Battery\n"}, {"BAT0/present", "1\n"}}, plat::PowerStatus::kBattery},
      {{{"AC/type", "Mains\n"}, {"AC/online", "0\n"}}, plat::PowerStatus::kBattery},
      {{{"AC/online", "1\n"}}, plat::PowerStatus::kMains},
      {{{"AC/online", "0\n"}, {"usb/type", "USB_PD\n"}}, plat::PowerStatus::kBattery},
      {{{"usb/online", "1\n"}}, plat::PowerStatus::kMains},
  };
  for (const auto& [files, status] : supplies) {
    for (const auto& [file, text] : files) t.Write(std::string("ps/") + file, text);
    EXPECT_EQ(plat::detail::ReadPowerSupplyFolder(root), status) << files.size();
  }
}

TEST(Folders, DataAndShellFoldersFromTheEnvironment) {
  bvtest::TempDir t;
  EnvScope env;
  env.Unset("BREVANTO_DATA_DIR");
  env.Set("XDG_DATA_HOME", t.NativeOf("xdg"));
  EXPECT_EQ(plat::GetDataFolder(), t.SystemOf("xdg\\Orlimtech\\Brevanto\\"));
  ASSERT_TRUE(plat::EnsureDataFolder());
  EXPECT_EQ(ModeOf(t.NativeOf("xdg/Orlimtech/Brevanto")), 0700u);
  env.Set("HOME", t.NativeOf("home"));
  env.Set("XDG_DATA_HOME", "relative/ignored");
  EXPECT_EQ(plat::GetDataFolder(), t.SystemOf("home\\.local\\share\\Orlimtech\\Brevanto\\"));
  env.Set("BREVANTO_DATA_DIR", t.NativeOf("custom") + "/");
  EXPECT_EQ(plat::GetDataFolder(), t.SystemOf("custom\\"));
  env.Set("XDG_CONFIG_HOME", t.NativeOf("cfg"));
  env.Set("XDG_DATA_HOME", t.NativeOf("data"));
  env.Set("TMPDIR", t.NativeOf("tmp"));
  EXPECT_EQ(plat::GetShellFolder(plat::ShellFolder::kDocuments), t.SystemOf("home\\Documents"));
  t.Write("cfg/user-dirs.dirs",
          "# written by xdg-user-dirs-update\n"
          "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\nXDG_MUSIC_DIR=\"" +
              t.NativeOf("elsewhere/Musik") +
              "\"\nXDG_PICTURES_DIR=\"relative/ignored\"\n"
              "XDG_DOCUMENTS_DIR=\"$HOME/second\"\n");
  for (const auto& [folder, path] : std::vector<std::pair<plat::ShellFolder, std::string>>{
           {plat::ShellFolder::kDocuments, "home\\Dokumente"},
           {plat::ShellFolder::kMusic, "elsewhere\\Musik"},
           {plat::ShellFolder::kPictures, "home\\Pictures"},
           {plat::ShellFolder::kVideos, "home\\Videos"},
           {plat::ShellFolder::kAppData, "cfg"},
           {plat::ShellFolder::kLocalAppData, "data"},
           {plat::ShellFolder::kProfile, "home"},
           {plat::ShellFolder::kTemp, "tmp"}})
    EXPECT_EQ(plat::GetShellFolder(folder), t.SystemOf(path)) << path;
  env.Unset("TMPDIR");
  EXPECT_EQ(plat::GetShellFolder(plat::ShellFolder::kTemp), "C:\\tmp");
  EXPECT_EQ(plat::GetRegistryFile(), t.SystemOf("cfg\\Orlimtech\\Registry.ini"));
}

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

// Lock files never leave their folder; a global name's holder is seen by other users.
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
  // Held by the other user, seen here; its socket names squatted by this user do not count.
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

TEST_F(LocksTest, InstanceCountsKeepOnlyLiveProcesses) {
  plat::InstanceBlock block("/opt/brevanto/app");
  EXPECT_EQ(block.Increment(), 1);
  EXPECT_EQ(plat::InstanceBlock("/opt/other/app").Count(), 0);
  EXPECT_EQ(std::filesystem::path(block.FilePath()).parent_path(), tmp_.NativeOf("run"));
  EXPECT_EQ(block.Decrement() + block.Decrement(), 0);
  // A line break in a window handle becomes a blank.
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
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) plat::InstanceBlock("busy").Increment();
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(plat::InstanceBlock("busy").Count(), 200);
}

}  // namespace
