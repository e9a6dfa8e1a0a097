// Due times of every schedule unit, in a zone with daylight saving.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "plans/Schedule.h"
#include "platform/Clock.h"
#include "platform/Profile.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

constexpr int64_t kDay = 86400;
constexpr int64_t kNever = 10000000000LL;

// Central European time for the whole fixture (named zone when installed).
class ScheduleTest : public ::testing::Test {
 protected:
  bvtest::ScopedEnv tz_{"TZ", std::filesystem::exists("/usr/share/zoneinfo/Europe/Berlin")
                                  ? "Europe/Berlin"
                                  : "CET-1CEST,M3.5.0,M10.5.0/3"};

  // Seconds of a local wall-clock time (the zone decides daylight saving).
  static int64_t Local(int y, int mo, int d, int h, int mi, int s = 0) {
    plat::LocalTime lt{};
    lt.year = y;
    lt.month = mo;
    lt.day = d;
    lt.hour = h;
    lt.minute = mi;
    lt.second = s;
    return plat::FromLocalTime(lt);
  }
  // The C library's conversion with an explicit daylight-saving flag.
  static int64_t LocalWithDst(int y, int mo, int d, int h, int mi, bool dst) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_isdst = dst ? 1 : 0;
    return static_cast<int64_t>(std::mktime(&tm));
  }
  static void ExpectLocal(int64_t t, int y, int mo, int d, int h, int mi) {
    const plat::LocalTime lt = plat::ToLocalTime(t);
    EXPECT_EQ(lt.year, y);
    EXPECT_EQ(lt.month, mo);
    EXPECT_EQ(lt.day, d);
    EXPECT_EQ(lt.hour, h);
    EXPECT_EQ(lt.minute, mi);
  }
};

TEST_F(ScheduleTest, DailyIsDueAtTheSlotSecondAndNotTheDayAfter) {
  const int64_t start = Local(2026, 6, 9, 20, 0);
  const int64_t slot = Local(2026, 6, 10, 20, 0);
  EXPECT_EQ(ComputeDue(kUnitDaily, 1, start, 0, slot - 1, 1000), slot);
  EXPECT_EQ(ComputeDue(kUnitDaily, 1, start, 0, slot, 1000), slot);
  EXPECT_EQ(ComputeDue(kUnitDaily, 1, start, 0, slot + 1, 1000), slot + kDay);
  // A start time still ahead is the due time itself.
  EXPECT_EQ(ComputeDue(kUnitDaily, 1, slot, 0, start, 1000), slot);
}

TEST_F(ScheduleTest, DailyStepsAreExactDaysAcrossTheSpringChange) {
  // 29 March 2026 the clocks move from 2:00 to 3:00.
  const int64_t start = Local(2026, 3, 27, 20, 0);
  const int64_t due = ComputeDue(kUnitDaily, 1, start, 0, Local(2026, 3, 30, 12, 0), 1000);
  EXPECT_EQ(due, start + 3 * kDay);
  ExpectLocal(due, 2026, 3, 30, 21, 0);  // the local hour moved with the clock
}

TEST_F(ScheduleTest, WeeklyKeepsAFutureStartAndStepsWholeWeeks) {
  const int64_t start = Local(2026, 5, 4, 8, 30);
  EXPECT_EQ(ComputeDue(kUnitWeekly, 1, start, 0, start - 5 * kDay, 0), start);
  const int64_t now = Local(2026, 5, 20, 9, 0);
  const int64_t due = ComputeDue(kUnitWeekly, 1, start, 0, now, 0);
  EXPECT_EQ(due, start + 3 * 7 * kDay);
  ExpectLocal(due, 2026, 5, 25, 8, 30);
}

TEST_F(ScheduleTest, PeriodicStepsFromAFarPastStartDoNotOverflow) {
  const int64_t now = Local(2026, 12, 6, 7, 0);
  for (int64_t start : {int64_t{0}, int64_t{-5000000000LL}, INT64_MIN / 2}) {
    const int64_t due = ComputeDue(kUnitDaily, 1, start, 0, now, 0);
    EXPECT_GE(due, now);
    EXPECT_LT(due, now + kDay);
    EXPECT_EQ((due - start) % kDay, 0);
  }
}

TEST_F(ScheduleTest, MonthlyLowersTheDayAndKeepsItLowered) {
  const int64_t start = Local(2026, 1, 31, 10, 0);
  // February 2026 has 28 days; March would have 31, but the day stays at 28.
  ExpectLocal(ComputeDue(kUnitMonthly, 1, start, 0, Local(2026, 2, 10, 0, 0), 0), 2026, 2, 28, 10,
              0);
  ExpectLocal(ComputeDue(kUnitMonthly, 1, start, 0, Local(2026, 3, 15, 0, 0), 0), 2026, 3, 28, 10,
              0);
  // The start itself while it is not past.
  EXPECT_EQ(ComputeDue(kUnitMonthly, 1, start, 0, start, 0), start);
  EXPECT_EQ(ComputeDue(kUnitMonthly, 1, start, 0, start - 100, 0), start);
  // Due at the slot second, the month after one second later.
  const int64_t slot = ComputeDue(kUnitMonthly, 1, start, 0, Local(2026, 2, 10, 0, 0), 0);
  EXPECT_EQ(ComputeDue(kUnitMonthly, 1, start, 0, slot, 0), slot);
  EXPECT_GT(ComputeDue(kUnitMonthly, 1, start, 0, slot + 1, 0), slot + 27 * kDay);
}

TEST_F(ScheduleTest, MonthlyLeapFebruaryGivesThe29th) {
  const int64_t start = Local(2028, 1, 31, 10, 0);
  ExpectLocal(ComputeDue(kUnitMonthly, 1, start, 0, Local(2028, 2, 2, 0, 0), 0), 2028, 2, 29, 10,
              0);
  // 29 March 2028 lies in summer time; the winter flag of the start is kept.
  const int64_t due = ComputeDue(kUnitMonthly, 1, start, 0, Local(2028, 3, 15, 0, 0), 0);
  EXPECT_EQ(due, LocalWithDst(2028, 3, 29, 10, 0, false));
  ExpectLocal(due, 2028, 3, 29, 11, 0);
}

TEST_F(ScheduleTest, MonthlyFromThe30thOfNovemberAndOverTheYearEnd) {
  const int64_t nov30 = Local(2026, 11, 30, 9, 0);
  const int64_t due = ComputeDue(kUnitMonthly, 1, nov30, 0, Local(2026, 12, 5, 0, 0), 0);
  ExpectLocal(due, 2026, 12, 30, 9, 0);
  const int64_t dec31 = Local(2026, 12, 31, 9, 0);
  ExpectLocal(ComputeDue(kUnitMonthly, 1, dec31, 0, Local(2027, 1, 2, 0, 0), 0), 2027, 1, 31, 9, 0);
}

TEST_F(ScheduleTest, MonthlyKeepsTheDaylightSavingFlagOfTheStart) {
  // A start in summer time, computed in winter: read with the summer offset.
  const int64_t summer = Local(2026, 7, 15, 20, 0);
  ASSERT_TRUE(plat::ToLocalTime(summer).dst);
  const int64_t due = ComputeDue(kUnitMonthly, 1, summer, 0, Local(2026, 12, 1, 0, 0), 0);
  EXPECT_EQ(due, LocalWithDst(2026, 12, 15, 20, 0, true));
  ExpectLocal(due, 2026, 12, 15, 19, 0);
  // In a month of the same season the hour is the start's.
  ExpectLocal(ComputeDue(kUnitMonthly, 1, summer, 0, Local(2026, 8, 1, 0, 0), 0), 2026, 8, 15, 20,
              0);
}

TEST_F(ScheduleTest, MonthlyFromALongPastStartLandsInTheNextMonth) {
  const int64_t start = Local(1986, 5, 31, 6, 15);
  const int64_t now = Local(2026, 12, 6, 7, 0);
  const int64_t due = ComputeDue(kUnitMonthly, 1, start, 0, now, 0);
  EXPECT_GE(due, now);
  // The day was lowered to 28 in February 1987 and never rises again; the
  // summer flag of the start puts a winter slot an hour earlier.
  ExpectLocal(due, 2026, 12, 28, 5, 15);
}

// Each slot runs once: a run marks its slot done, whatever the unit.
TEST_F(ScheduleTest, EverySlotRunsOnce) {
  const int64_t start = Local(2026, 1, 1, 0, 0);
  const int64_t now = start + 151 * kDay;  // a daily slot
  struct Case {
    int32_t unit, num;
    int64_t lastRun, now, up, due;
  } cases[] = {
      // Every 1 minute: due at the start time until the first run, then one
      // minute after the slot of the last run; an overdue slot runs at once.
      {kUnitMinutes, 1, 0, now, 0, start},
      {kUnitMinutes, 1, now, now, 0, now + 60},
      {kUnitMinutes, 1, now + 59, now + 59, 0, now + 60},
      {kUnitMinutes, 15, now + 7 * 60, now + 7 * 60, 0, now + 15 * 60},
      {kUnitMinutes, 1, now - 3600, now, 0, now - 3600 + 60},
      // Every 2 hours (the wizard's other unit).
      {kUnitOtherInterval, 2, now + 10, now + 10, 0, now + 2 * 3600},
      // Daily: run at the slot second, not again at that second nor the next.
      {kUnitDaily, 1, 0, now, 0, now},
      {kUnitDaily, 1, now, now, 0, now + kDay},
      {kUnitDaily, 1, now, now + 1, 0, now + kDay},
      {kUnitWeekly, 1, now, now, 0, start + 22 * 7 * kDay},
      // Start-up: once per machine start-up (the boot was at now - up).
      {kUnitStartUp, 1, 0, now, 120, now - 10},
      {kUnitStartUp, 1, now - 200, now, 120, now - 10},  // ran before this boot
      {kUnitStartUp, 1, now - 100, now, 120, now + kNever},
      {kUnitStartUp, 1, 0, now, 241, now + kNever},
      {kUnitManual, 1, 0, now, 10, now + kNever},
      {kUnitContinuous, 1, now, now, 100000, now + 3},
      {9, 1, 0, now, 0, start},  // unknown units keep the start time
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ComputeDue(c.unit, c.num, start, c.lastRun, c.now, c.up), c.due)
        << "unit " << c.unit << " every " << c.num << " last run " << c.lastRun - now << " now "
        << c.now - now;
  }
  // A monthly run at its slot moves on to the next month.
  const int64_t monthSlot = ComputeDue(kUnitMonthly, 1, start, 0, now, 0);
  const int64_t next = ComputeDue(kUnitMonthly, 1, start, monthSlot, monthSlot, 0);
  EXPECT_EQ(next, ComputeDue(kUnitMonthly, 1, start, 0, monthSlot + 1, 0));
  EXPECT_GT(next, monthSlot + 27 * kDay);
}

TEST_F(ScheduleTest, NowVariantUsesTheClock) {
  const int64_t before = plat::Now();
  const int64_t due = ComputeDueNow(kUnitContinuous, 1, 0, 0);
  const int64_t after = plat::Now();
  EXPECT_GE(due, before + 3);
  EXPECT_LE(due, after + 3);
  const int64_t upSeconds = static_cast<int64_t>(plat::GetUpTimeMs() / 1000);
  const int64_t startUp = ComputeDueNow(kUnitStartUp, 1, 0, 0);
  if (upSeconds > 241) {
    EXPECT_GT(startUp, after + kNever - 10);
  }
}

TEST(WizardSchedule, TheLastChosenAnswerWins) {
  bvtest::TempDir dir;
  const std::string ui = dir.SystemOf("UI.ini");
  int32_t num = -5;
  EXPECT_EQ(ReadWizardScheduleUnit(ui, &num), 0);
  EXPECT_EQ(num, 1);
  auto set = [&](const char* key, const char* value) {
    ASSERT_TRUE(plat::WriteProfileString(ui, "WizardPage3Options", key, value));
  };
  set("Continuously", "1");
  EXPECT_EQ(ReadWizardScheduleUnit(ui, &num), kUnitContinuous);
  set("SaveYouFolder", "1");
  set("Time", "15");
  set("TimeUnit", "minutes");
  EXPECT_EQ(ReadWizardScheduleUnit(ui, &num), kUnitMinutes);
  EXPECT_EQ(num, 15);
  set("TimeUnit", "hours");
  set("Time", "0");
  EXPECT_EQ(ReadWizardScheduleUnit(ui, &num), kUnitOtherInterval);
  EXPECT_EQ(num, 1);
  set("Weekly", "1");
  set("Daily", "1");
  EXPECT_EQ(ReadWizardScheduleUnit(ui, &num), kUnitWeekly);
  EXPECT_EQ(num, 1);  // the count only goes with an interval answer
  set("Manually", "1");
  EXPECT_EQ(ReadWizardScheduleUnit(ui, nullptr), kUnitManual);
  set("Manually", "0");
  set("Starts", "1");
  EXPECT_EQ(ReadWizardScheduleUnit(ui, nullptr), kUnitStartUp);
  set("Starts", "0");
  set("Weekly", "0");
  set("Monthly", "1");
  EXPECT_EQ(ReadWizardScheduleUnit(ui, nullptr), kUnitMonthly);

  EXPECT_EQ(ReadWizardBackupTime(ui), 0);
  set("BackupTime", "");
  EXPECT_EQ(ReadWizardBackupTime(ui), 0);
  set("BackupTime", "5000000000");
  EXPECT_EQ(ReadWizardBackupTime(ui), 5000000000LL);
}

TEST_F(ScheduleTest, WizardStartTimeIsLocalAndNeverBefore1970) {
  const int64_t t = WizardStartTime(2026, 7, 1, 20, 15, 123);
  ExpectLocal(t, 2026, 7, 1, 20, 15);
  EXPECT_EQ(plat::ToLocalTime(t).second, 0);
  EXPECT_EQ(WizardStartTime(1969, 12, 31, 0, 0, 123), 123);
}

}  // namespace
