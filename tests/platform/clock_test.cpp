// Clocks, local time in a given zone, thread identity and priority, power.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "EnvScope.h"
#include "platform/Clock.h"
#include "platform/PowerSupply.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

TEST(Clock, CountersMoveForwardAndAgree) {
  const uint64_t t0 = plat::GetTickCount64();
  plat::SleepMs(15);
  const uint64_t t1 = plat::GetTickCount64();
  EXPECT_GE(t1 - t0, 15u);                 // a sleep never ends early
  EXPECT_GE(plat::GetUpTimeMs() + 1, t1);  // boot time counts everything monotonic does
  const int64_t boot = plat::GetBootTime();
  EXPECT_LE(boot, plat::Now());
  EXPECT_GT(boot, 946684800);  // after 2000
}

TEST(Clock, LocalTimeFollowsTheZone) {
  EnvScope env;
  {
    env.Set("TZ", "UTC0");
    const plat::LocalTime lt = plat::ToLocalTime(0);
    EXPECT_EQ(lt.year, 1970);
    EXPECT_EQ(lt.month, 1);
    EXPECT_EQ(lt.day, 1);
    EXPECT_EQ(lt.weekday, 4);
    EXPECT_FALSE(lt.dst);
    EXPECT_EQ(plat::AscTime(0), "Thu Jan  1 00:00:00 1970");
    EXPECT_EQ(plat::AscTime(1796534408), "Sun Dec  6 05:20:08 2026");
    EXPECT_EQ(plat::FormatLocalTime(1796534408, "%Y-%m-%d %H:%M"), "2026-12-06 05:20");
    EXPECT_EQ(plat::FormatLocalTime(1796534408, ""), "");
  }
  {
    // Central European time with its summer rule, given without a zone database.
    env.Set("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    const int64_t summer = 1783159200;  // 2026-07-04 10:00 UTC
    const plat::LocalTime lt = plat::ToLocalTime(summer);
    EXPECT_EQ(lt.hour, 12);
    EXPECT_TRUE(lt.dst);
    EXPECT_EQ(lt.yearDay, 184);
    EXPECT_EQ(plat::FromLocalTime(lt), summer);
    const plat::LocalTime winter = plat::ToLocalTime(1796534408);
    EXPECT_EQ(winter.hour, 6);
    EXPECT_FALSE(winter.dst);
    EXPECT_EQ(plat::FromLocalTime(winter), 1796534408);
    // A field out of range is carried over, as mktime does.
    plat::LocalTime carry = winter;
    carry.day += 31;
    EXPECT_EQ(plat::FromLocalTime(carry), 1796534408 + 31 * 86400);
  }
}

TEST(Clock, ThreadIdsAndLowestPriority) {
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
  EXPECT_NE(sched_getscheduler(0), SCHED_IDLE);  // only the calling thread changed
}

TEST(Clock, PowerSupplyFolder) {
  bvtest::TempDir t;
  const std::string root = t.NativeOf("ps");
  EXPECT_EQ(plat::detail::ReadPowerSupplyFolder(root), plat::PowerStatus::kUnknown);
  fs::create_directory(root);
  EXPECT_EQ(plat::detail::ReadPowerSupplyFolder(root), plat::PowerStatus::kMains);
  t.Write("ps/BAT0/type", "Battery\n");
  t.Write("ps/BAT0/present", "1\n");
  EXPECT_EQ(plat::detail::ReadPowerSupplyFolder(root), plat::PowerStatus::kBattery);
  t.Write("ps/AC/type", "Mains\n");
  t.Write("ps/AC/online", "0\n");
  EXPECT_EQ(plat::detail::ReadPowerSupplyFolder(root), plat::PowerStatus::kBattery);
  t.Write("ps/AC/online", "1\n");
  EXPECT_EQ(plat::detail::ReadPowerSupplyFolder(root), plat::PowerStatus::kMains);
  t.Write("ps/AC/online", "0\n");
  t.Write("ps/usb/type", "USB_PD\n");
  t.Write("ps/usb/online", "1\n");
  EXPECT_EQ(plat::detail::ReadPowerSupplyFolder(root), plat::PowerStatus::kMains);
}

TEST(Clock, PowerOverrideWins) {
  bvtest::TempDir t;
  {
    EnvScope env;
    env.Volumes(t.NativeOf("vol.ini"), "[C]\nRoot=/\nType=fixed\n\n[Power]\nSource=battery\n");
    EXPECT_EQ(plat::GetPowerStatus(), plat::PowerStatus::kBattery);
    env.Volumes(t.NativeOf("vol.ini"), "[C]\nRoot=/\nType=fixed\n\n[Power]\nSource=ac\n");
    EXPECT_EQ(plat::GetPowerStatus(), plat::PowerStatus::kMains);
  }
  // This machine: the real folder decides (it may be empty: on mains).
  if (fs::exists("/sys/class/power_supply") && fs::is_empty("/sys/class/power_supply")) {
    EXPECT_EQ(plat::GetPowerStatus(), plat::PowerStatus::kMains);
  }
}
