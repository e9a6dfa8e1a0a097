#include "plans/Schedule.h"

#include "common/KeyValueFile.h"
#include "platform/process/Clock.h"
#include "platform/profile/Profile.h"

namespace {

constexpr int64_t kContinuousDelay = 3;
constexpr int64_t kStartUpGrace = 240;
constexpr int64_t kStartUpLead = 10;
constexpr int64_t kNever = 10000000000LL;
constexpr int64_t kMinute = 60;
constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 86400;
constexpr int64_t kWeek = 604800;
// More steps than any real start time needs (about 10,000 years of months).
constexpr int kMaxMonthSteps = 120000;

// First start + k * period (k >= 0) not earlier than now, without overflow.
int64_t NextPeriodic(int64_t start, int64_t now, int64_t period) {
  if (start >= now) return start;
  const unsigned __int128 gap =
      static_cast<unsigned __int128>(static_cast<__int128>(now) - static_cast<__int128>(start));
  const unsigned __int128 steps =
      (gap + static_cast<unsigned __int128>(period) - 1) / static_cast<unsigned __int128>(period);
  return static_cast<int64_t>(static_cast<__int128>(start) +
                              static_cast<__int128>(steps) * static_cast<__int128>(period));
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  switch (month) {
    case 4:
    case 6:
    case 9:
    case 11:
      return 30;
    case 2:
      return IsLeapYear(year) ? 29 : 28;
    default:
      return 31;
  }
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// Offset of local time from UTC at t, in seconds.
int64_t UtcOffsetAt(int64_t t) {
  const plat::LocalTime lt = plat::ToLocalTime(t);
  const int64_t asUtc =
      DaysFromCivil(lt.year, lt.month, lt.day) * kDay + lt.hour * 3600 + lt.minute * 60 + lt.second;
  return asUtc - t;
}

// Local calendar time back to seconds, read with the daylight-saving flag
// given rather than the one the zone has on that date (the C library's
// conversion with an explicit flag): a start in summer keeps its summer
// offset in winter months, so its local hour moves by the zone's shift.
int64_t FromLocalKeepingDst(const plat::LocalTime& lt, bool dst, int64_t startOffset) {
  const int64_t t = plat::FromLocalTime(lt);
  const plat::LocalTime back = plat::ToLocalTime(t);
  if (back.dst == dst) return t;
  return t + UtcOffsetAt(t) - startOffset;
}

int64_t NextMonthly(int64_t start, int64_t now) {
  if (start >= now) return start;
  plat::LocalTime lt = plat::ToLocalTime(start);
  const bool dst = lt.dst;
  const int64_t startOffset = UtcOffsetAt(start);
  int64_t due = start;
  for (int i = 0; i < kMaxMonthSteps && due < now; ++i) {
    if (lt.month == 12) {
      lt.month = 1;
      ++lt.year;
    } else {
      ++lt.month;
      const int last = DaysInMonth(lt.year, lt.month);
      if (lt.day > last) lt.day = last;  // stays lowered for later months
    }
    const int64_t next = FromLocalKeepingDst(lt, dst, startOffset);
    if (next <= due) break;  // the conversion failed: a month always moves forward
    due = next;
  }
  return due;
}

}  // namespace

int64_t ComputeDue(int32_t unit, int32_t num, int64_t startTime, int64_t lastRun, int64_t now,
                   int64_t upTimeSeconds) {
  // The first slot a daily, weekly or monthly plan may take: not one it ran
  // for already.
  const int64_t from = lastRun >= now ? lastRun + 1 : now;
  switch (unit) {
    case kUnitContinuous:
      return now + kContinuousDelay;
    case kUnitMinutes:
    case kUnitOtherInterval: {
      const int64_t period =
          (num < 1 ? 1 : static_cast<int64_t>(num)) * (unit == kUnitMinutes ? kMinute : kHour);
      // Not run since the start time: no slot was missed, so the first one
      // not earlier than now.
      if (lastRun < startTime) return NextPeriodic(startTime, now, period);
      return startTime + ((lastRun - startTime) / period + 1) * period;
    }
    case kUnitDaily:
      return NextPeriodic(startTime, from, kDay);
    case kUnitWeekly:
      return NextPeriodic(startTime, from, kWeek);
    case kUnitMonthly:
      return NextMonthly(startTime, from);
    case kUnitStartUp:
      // Once per machine start-up: not again after a run since the boot.
      return upTimeSeconds <= kStartUpGrace && lastRun < now - upTimeSeconds ? now - kStartUpLead
                                                                             : now + kNever;
    case kUnitManual:
      return now + kNever;
    default:  // unknown units: the start time itself
      return startTime;
  }
}

int64_t ComputeDueNow(int32_t unit, int32_t num, int64_t startTime, int64_t lastRun) {
  return ComputeDue(unit, num, startTime, lastRun, plat::Now(),
                    static_cast<int64_t>(plat::GetUpTimeMs() / 1000u));
}

int32_t ReadWizardScheduleUnit(std::string_view uiIniPath, int32_t* scheduleNum) {
  constexpr char kSection[] = "WizardPage3Options";
  auto chosen = [&](const char* key) {
    return plat::GetProfileInt(uiIniPath, kSection, key, 0) != 0;
  };
  int32_t unit = 0;
  int32_t num = 1;
  if (chosen("Continuously")) unit = kUnitContinuous;
  if (chosen("SaveYouFolder")) {
    const std::string timeUnit = plat::GetProfileString(uiIniPath, kSection, "TimeUnit", "");
    unit = timeUnit == "minutes" ? kUnitMinutes : kUnitOtherInterval;
    num = plat::GetProfileInt(uiIniPath, kSection, "Time", 1);
  }
  if (chosen("Daily")) unit = kUnitDaily;
  if (chosen("Weekly")) unit = kUnitWeekly;
  if (chosen("Monthly")) unit = kUnitMonthly;
  if (chosen("Starts")) unit = kUnitStartUp;
  if (chosen("Manually")) unit = kUnitManual;
  if (scheduleNum) *scheduleNum = num < 1 ? 1 : num;
  return unit;
}

int64_t ReadWizardBackupTime(std::string_view uiIniPath) {
  return KeyValueToInt64(plat::GetProfileString(uiIniPath, "WizardPage3Options", "BackupTime", ""),
                         0);
}

int64_t WizardStartTime(int year, int month, int day, int hour, int minute, int64_t now) {
  plat::LocalTime lt{};
  lt.year = year;
  lt.month = month;
  lt.day = day;
  lt.hour = hour;
  lt.minute = minute;
  lt.second = 0;
  const int64_t t = plat::FromLocalTime(lt);
  return t < 0 ? now : t;
}
