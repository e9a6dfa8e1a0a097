// Due times of every schedule unit with daylight saving; the wizard's schedule answers.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "plans/Schedule.h"
#include "platform/process/Clock.h"
#include "platform/profile/Profile.h"
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
  // Seconds of a local wall-clock time "YYYY-MM-DD HH:MM" (the zone decides daylight saving).
  static int64_t Local(const char* wall) {
    plat::LocalTime lt{};
    EXPECT_EQ(sscanf(wall, "%d-%d-%d %d:%d", &lt.year, &lt.month, &lt.day, &lt.hour, &lt.minute),
              5);
    return plat::FromLocalTime(lt);
  }
  static std::string Wall(int64_t t) {
    const plat::LocalTime lt = plat::ToLocalTime(t);
    char s[40];
    snprintf(s, sizeof s, "%04d-%02d-%02d %02d:%02d", lt.year, lt.month, lt.day, lt.hour,
             lt.minute);
    return s;
  }
};

// Days and weeks are exact seconds; months keep a lowered day and the start's saving flag.
TEST_F(ScheduleTest, UnitsLandOnTheirLocalSlotAndEachSlotRunsOnce) {
  struct Case {
    int32_t unit;
    const char *start, *now, *due;
  } cases[] = {
      {kUnitDaily, "2026-03-27 20:00", "2026-03-30 12:00", "2026-03-30 21:00"},   // spring change
      {kUnitWeekly, "2026-05-04 08:30", "2026-05-20 09:00", "2026-05-25 08:30"},  // whole weeks
      // Months: the day lowered to the month's last (and kept lowered), the year end crossed,
      // the start's daylight saving flag kept in the other season, forty years of months.
      {kUnitMonthly, "2026-01-31 10:00", "2026-02-10 00:00", "2026-02-28 10:00"},
      {kUnitMonthly, "2026-01-31 10:00", "2026-03-15 00:00", "2026-03-28 10:00"},
      {kUnitMonthly, "2028-01-31 10:00", "2028-02-02 00:00", "2028-02-29 10:00"},
      {kUnitMonthly, "2028-01-31 10:00", "2028-03-15 00:00", "2028-03-29 11:00"},
      {kUnitMonthly, "2026-10-31 09:00", "2026-11-05 00:00", "2026-11-30 09:00"},
      {kUnitMonthly, "2026-12-31 09:00", "2027-01-02 00:00", "2027-01-31 09:00"},
      {kUnitMonthly, "2026-07-15 20:00", "2026-12-01 00:00", "2026-12-15 19:00"},
      {kUnitMonthly, "2026-07-15 20:00", "2026-08-01 00:00", "2026-08-15 20:00"},
      {kUnitMonthly, "1986-05-31 06:15", "2026-12-06 07:00", "2026-12-28 05:15"},
  };
  for (const Case& c : cases) {
    const int64_t start = Local(c.start), now = Local(c.now);
    const int64_t due = ComputeDue(c.unit, 1, start, 0, now, 0);
    EXPECT_EQ(Wall(due), c.due) << c.start << " " << c.now;
    EXPECT_GE(due, now) << c.start << " " << c.now;
    EXPECT_TRUE(c.unit == kUnitMonthly || (due - start) % kDay == 0) << c.start;
    EXPECT_EQ(ComputeDue(c.unit, 1, start, 0, start - 100, 0), start) << c.start;
  }
  for (int64_t start : {int64_t{0}, int64_t{-5000000000LL}, INT64_MIN / 2}) {
    const int64_t now = Local("2026-12-06 07:00");
    const int64_t due = ComputeDue(kUnitDaily, 1, start, 0, now, 0);
    EXPECT_TRUE(due >= now && due < now + kDay && (due - start) % kDay == 0) << start;
  }
  // Each slot runs once: a run marks its slot done, whatever the unit.
  const int64_t start = Local("2026-01-01 00:00");
  const int64_t now = start + 151 * kDay;  // a daily slot
  struct Slot {
    int32_t unit, num;
    int64_t lastRun, now, up, due;
  } slots[] = {
      // Minutes and hours: the next slot until the first run, then a period after the last.
      {kUnitMinutes, 1, 0, now, 0, now},
      {kUnitOtherInterval, 1, 0, now - 40, 0, now},
      {kUnitMinutes, 1, now, now, 0, now + 60},
      {kUnitMinutes, 1, now + 59, now + 59, 0, now + 60},
      {kUnitMinutes, 15, now + 7 * 60, now + 7 * 60, 0, now + 15 * 60},
      {kUnitMinutes, 1, now - 3600, now, 0, now - 3600 + 60},
      {kUnitOtherInterval, 2, now + 10, now + 10, 0, now + 2 * 3600},
      // Daily: due at the slot second, not again at that second nor the next.
      {kUnitDaily, 1, 0, now - 1, 0, now},
      {kUnitDaily, 1, 0, now, 0, now},
      {kUnitDaily, 1, 0, now + 1, 0, now + kDay},
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
  for (const Slot& c : slots) {
    EXPECT_EQ(ComputeDue(c.unit, c.num, start, c.lastRun, c.now, c.up), c.due)
        << "unit " << c.unit << " every " << c.num << " last run " << c.lastRun - now << " now "
        << c.now - now;
  }
  // A monthly run at its slot moves on to the next month.
  const int64_t monthSlot = ComputeDue(kUnitMonthly, 1, start, 0, now, 0);
  EXPECT_EQ(ComputeDue(kUnitMonthly, 1, start, 0, monthSlot, 0), monthSlot);
  const int64_t next = ComputeDue(kUnitMonthly, 1, start, monthSlot, monthSlot, 0);
  EXPECT_EQ(next, ComputeDue(kUnitMonthly, 1, start, 0, monthSlot + 1, 0));
  EXPECT_GT(next, monthSlot + 27 * kDay);
  // The wizard's start time: local, never before 1970.
  const int64_t t = WizardStartTime(2026, 7, 1, 20, 15, 123);
  EXPECT_EQ(Wall(t), "2026-07-01 20:15");
  EXPECT_EQ(plat::ToLocalTime(t).second, 0);
  EXPECT_EQ(WizardStartTime(1969, 12, 31, 0, 0, 123), 123);
}

TEST(WizardSchedule, TheLastChosenAnswerWins) {
  bvtest::TempDir dir;
  const std::string ui = dir.SystemOf("UI.ini");
  struct Step {
    const char* key;
    const char* value;
    int32_t unit, num;  // num -1: not asked for
  } steps[] = {
      {nullptr, nullptr, 0, 1},
      {"Continuously", "1", kUnitContinuous, 1},
      {"SaveYouFolder", "1", kUnitOtherInterval, 1},
      {"Time", "15", kUnitOtherInterval, 15},
      {"TimeUnit", "minutes", kUnitMinutes, 15},
      {"TimeUnit", "hours", kUnitOtherInterval, 15},
      {"Time", "0", kUnitOtherInterval, 1},
      {"Weekly", "1", kUnitWeekly, 1},
      {"Daily", "1", kUnitWeekly, 1},  // the count only goes with an interval
      {"Manually", "1", kUnitManual, -1},
      {"Manually", "0", kUnitWeekly, -1},
      {"Starts", "1", kUnitStartUp, -1},
      {"Starts", "0", kUnitWeekly, -1},
      {"Weekly", "0", kUnitDaily, -1},
      {"Monthly", "1", kUnitMonthly, -1},
  };
  for (const Step& s : steps) {
    if (s.key) {
      ASSERT_TRUE(plat::WriteProfileString(ui, "WizardPage3Options", s.key, s.value));
    }
    int32_t num = -1;
    const std::string what = s.key ? std::string(s.key) + "=" + s.value : "no file";
    EXPECT_EQ(ReadWizardScheduleUnit(ui, s.num < 0 ? nullptr : &num), s.unit) << what;
    EXPECT_EQ(num, s.num) << what;
  }
}

}  // namespace
