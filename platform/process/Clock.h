// Time, threads and power.
#pragma once
#include <cstdint>
#include <string>

namespace plat {

uint64_t GetTickCount64();  // ms, CLOCK_MONOTONIC
uint64_t GetUpTimeMs();     // ms, CLOCK_BOOTTIME
int64_t GetBootTime();      // seconds since 1970: now minus up time
int64_t Now();              // seconds since 1970 UTC
void SleepMs(uint32_t ms);

struct LocalTime {
  int year, month, day;  // month 1-12
  int hour, minute, second;
  int weekday;  // 0 = Sunday
  int yearDay;  // 0-365
  bool dst;
};
// Local time in the process's time zone (TZ honoured).
LocalTime ToLocalTime(int64_t t);
// Local time back to seconds since 1970 (mktime semantics, DST decided by the zone).
int64_t FromLocalTime(const LocalTime& lt);
// strftime of the local time.
std::string FormatLocalTime(int64_t t, const char* format);
// asctime form of the local time without its line feed ("Sun Dec  6 05:20:08 2026").
std::string AscTime(int64_t t);

uint32_t CurrentThreadId();
// SCHED_BATCH at nice 19 for the calling thread.
void SetCurrentThreadLowestPriority();

enum class PowerStatus { kUnknown, kMains, kBattery };
// [Power] of the volume override, else /sys/class/power_supply: battery when a
// battery exists and no mains or USB supply is online; unknown when the folder
// is missing.
PowerStatus GetPowerStatus();

}  // namespace plat
