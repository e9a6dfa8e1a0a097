// What the machine says: clocks, thread identity and priority, power,
// well-known folders from the environment and XDG files.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Checks.h"
#include "platform/process/Clock.h"
#include "platform/profile/Folders.h"
#include "platform/process/PowerSupply.h"
#include "platform/process/Pressure.h"
#include "support/TempDir.h"

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

// The load gauge over a folder laid out like /proc/pressure, read at every call.
TEST(Clock, PressureGaugeSaysWhenOtherWorkWaits) {
  bvtest::TempDir t;
  plat::PressureGauge gauge(t.NativeOf("p"), 10, 0);
  EXPECT_TRUE(gauge.Busy()) << "figures that cannot be read: pace as if busy";
  auto line = [](const char* avg10, uint64_t total) {
    return std::string("some avg10=") + avg10 +
           " avg60=0.00 avg300=0.00 total=" + std::to_string(total) +
           "\nfull avg10=0.00 avg60=0.00 avg300=0.00 total=0\n";
  };
  const struct {
    std::string cpu, io;
    bool busy;
  } steps[] = {
      {line("0.00", 1000), line("0.00", 500), false},
      {line("0.40", 1000), line("9.99", 500), false},
      {line("12.50", 1000), line("0.00", 500), true},      // the last ten seconds
      {line("0.00", 1000), line("0.00", 60000500), true},  // a minute stalled since the last look
      {line("0.00", 1000), line("0.00", 60000500), false},
      {line("0.00", 1000), "some avg10=x total=1\n", true},  // unreadable
      {line("0.00", 1000), "full avg10=0.00 total=1\n", true},
  };
  for (const auto& step : steps) {
    t.Write("p/cpu", step.cpu);
    t.Write("p/io", step.io);
    EXPECT_EQ(gauge.Busy(), step.busy) << step.cpu << step.io;
  }
  const plat::StallFigures figures = plat::ParseStallSome(line("3.25", 123456789));
  EXPECT_TRUE(figures.known);
  EXPECT_DOUBLE_EQ(figures.avg10, 3.25);
  EXPECT_EQ(figures.totalMicros, 123456789u);
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
