// When a plan runs: the due time of its task from the schedule unit and the
// start time, in the local time zone.
#pragma once
#include <cstdint>
#include <string_view>

enum ScheduleUnit : int32_t {
  kUnitContinuous = 1,
  kUnitMinutes = 2,
  kUnitOtherInterval = 3,
  kUnitDaily = 4,
  kUnitWeekly = 5,
  kUnitMonthly = 6,
  kUnitStartUp = 7,
  kUnitManual = 8,
};

// Each slot runs once: lastRun (0 when never run) is the time of the last run.
// Every N minutes (unit 2) or hours (unit 3): the slots are start + k * N
// units; until a run since the start time, the first slot not earlier than
// now; then one period after the slot of the last run (at once when the
// program was off over that slot). Daily,
// weekly, monthly: the first slot not earlier than now and later than the
// last run. Start-up: due when the machine has been up for 240 s or less and
// the plan has not run since it started. now and upTimeSeconds are passed in
// so tests control them.
int64_t ComputeDue(int32_t unit, int32_t num, int64_t startTime, int64_t lastRun, int64_t now,
                   int64_t upTimeSeconds);
// The same with the clock and the machine's up time.
int64_t ComputeDueNow(int32_t unit, int32_t num, int64_t startTime, int64_t lastRun);

// The wizard's answers in a plan's "UI.ini", section "WizardPage3Options".
// Unit from the chosen key ("Continuously" .. "Manually", the last one set
// wins; 0 when none is set); *scheduleNum (may be null) gets "Time" for an
// interval, else 1, and is at least 1.
int32_t ReadWizardScheduleUnit(std::string_view uiIniPath, int32_t* scheduleNum);
// "BackupTime" as 64-bit decimal seconds; 0 when absent or empty.
int64_t ReadWizardBackupTime(std::string_view uiIniPath);
// The wizard's calendar date (month 1-12) and hour and minute as seconds in
// local time (seconds 0, daylight saving decided by the zone); a result
// before 1970 gives now.
int64_t WizardStartTime(int year, int month, int day, int hour, int minute, int64_t now);
