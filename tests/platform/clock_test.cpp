// Clocks, local time in a given zone, thread identity and priority, power.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "EnvScope.h"
#include "platform/Clock.h"
#include "platform/PowerSupply.h"
#include "support/TempDir.h"

TEST(Clock, CountersThreadsAndTheLowestPriority) {
  const uint64_t t0 = plat::GetTickCount64();
  plat::SleepMs(15);
  const uint64_t t1 = plat::GetTickCount64();
  EXPECT_GE(t1 - t0, 15u);                 // a sleep never ends early
  EXPECT_GE(plat::GetUpTimeMs() + 1, t1);  // boot time counts everything monotonic does
  EXPECT_LE(plat::GetBootTime(), plat::Now());
  EXPECT_GT(plat::GetBootTime(), 946684800);  // after 2000
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

TEST(Clock, LocalTimeFollowsTheZone) {
  EnvScope env;
  env.Set("TZ", "UTC0");
  plat::LocalTime lt = plat::ToLocalTime(0);
  EXPECT_TRUE(lt.year == 1970 && lt.month == 1 && lt.day == 1 && lt.weekday == 4 && !lt.dst);
  EXPECT_EQ(plat::AscTime(0), "Thu Jan  1 00:00:00 1970");
  EXPECT_EQ(plat::AscTime(1796534408), "Sun Dec  6 05:20:08 2026");
  EXPECT_EQ(plat::FormatLocalTime(1796534408, "%Y-%m-%d %H:%M"), "2026-12-06 05:20");
  EXPECT_EQ(plat::FormatLocalTime(1796534408, ""), "");
  // Central European time with its summer rule, given without a zone database;
  // a field out of range is carried over, as mktime does.
  env.Set("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  const int64_t summer = 1783159200;  // 2026-07-04 10:00 UTC
  lt = plat::ToLocalTime(summer);
  EXPECT_TRUE(lt.hour == 12 && lt.dst && lt.yearDay == 184);
  lt.day += 31;
  EXPECT_EQ(plat::FromLocalTime(lt), summer + 31 * 86400);
}

TEST(Clock, PowerFromTheOverrideElseTheSupplyFolder) {
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
  EnvScope env;
  env.Volumes(t.NativeOf("vol.ini"), "[C]\nRoot=/\n\n[Power]\nSource=battery\n");
  EXPECT_EQ(plat::GetPowerStatus(), plat::PowerStatus::kBattery);
  env.Volumes(t.NativeOf("vol.ini"), "[C]\nRoot=/\n\n[Power]\nSource=ac\n");
  EXPECT_EQ(plat::GetPowerStatus(), plat::PowerStatus::kMains);
}
