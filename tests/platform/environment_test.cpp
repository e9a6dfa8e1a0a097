// What the machine says: clocks, thread identity and priority, power,
// well-known folders from the environment and XDG files.
#include <sched.h>
#include <sys/resource.h>

#include <array>
#include <chrono>
#include <csignal>
#include <thread>

#include "Checks.h"
#include "platform/process/Clock.h"
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

TEST(Clock, PowerFromTheSupplyFolder) {
  bvtest::TempDir t;
  const std::string root = t.NativeOf("ps");
  EXPECT_EQ(plat::detail::ReadPowerSupplyFolder(root), plat::PowerStatus::kUnknown);
  std::filesystem::create_directory(root);
  using Files = std::vector<std::pair<const char*, const char*>>;
  const std::pair<Files, plat::PowerStatus> steps[] = {
      {{}, plat::PowerStatus::kMains},  // an empty folder
      {{{"BAT0/type", "Battery\n"}, {"BAT0/present", "1\n"}}, plat::PowerStatus::kBattery},
      {{{"AC/type", "Mains\n"}, {"AC/online", "0\n"}}, plat::PowerStatus::kBattery},
      {{{"AC/online", "1\n"}}, plat::PowerStatus::kMains},
      {{{"AC/online", "0\n"}, {"usb/type", "USB_PD\n"}}, plat::PowerStatus::kBattery},
      {{{"usb/online", "1\n"}}, plat::PowerStatus::kMains},
  };
  for (const auto& [files, status] : steps) {
    for (const auto& [file, text] : files) t.Write(std::string("ps/") + file, text);
    EXPECT_EQ(plat::detail::ReadPowerSupplyFolder(root), status) << files.size();
  }
}

// The load gauge: others' processor time and disk transfers are what the machine did less
// this process's own share. A real busy process first, then a folder laid out like /proc
// and /sys/block, each step judged against the one before.
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
  // Busy ticks of the machine and of this process, bytes read by the disk (vda's sectors: its
  // partition and the loop device would count them twice) and by this process, bytes written
  // by both. A step adds its figures within about 20 ms.
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
