// The plan files: "Plan.ini" (one plan's settings, in its plan folder) and
// "plans.ini" (the list of plans and the identifier counter, in the data
// folder). Both use the key-value format of KeyValueFile.h.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/PlanSettings.h"

inline constexpr char kPlanFileName[] = "Plan.ini";
inline constexpr char kPlanListFileName[] = "plans.ini";

// Reads "Plan.ini" into *settings (fields not in the file keep their values;
// the identifier is the caller's). Clamps as it reads: Mode is always 1,
// VersionNumber 1 .. GetMaxVersionCount() (3 when empty), ScheduleNum at
// least 1. A missing InitDone counts as done; a missing KeepDays keeps
// versions by count (kKeepByCount), a missing MakeRoom is off. Every line with a key outside
// the table raises event 0 and reading goes on. False, with event 9 naming
// the file, when it cannot be opened or one of the eleven required keys is
// absent. raiseEvents false reads quietly (a look before the real load).
bool ReadPlanFile(std::string_view path, PlanSettings* settings, bool raiseEvents = true);

// A value of "Plan.ini" that no plan can have: the key of its text in
// section [PLAN_LIST] of the text store ("NAME_EMPTY", "NAME_TOO_LONG",
// "STORAGE_TYPE", "SCHEDULE_UNIT"), or null when the values can make a plan.
const char* PlanFileProblem(const PlanSettings& settings);

// How "Plan.ini" is written: by the plan (InitDone only while the scan is not
// done, MissScheduledBackup always) or by the default-destination step
// (InitDone always, no MissScheduledBackup).
enum class PlanFileStyle { kPlan, kDefaultStep };
// The file's text, keys in their fixed order; Mode is written as 1.
std::string FormatPlanFile(const PlanSettings& settings,
                           PlanFileStyle style = PlanFileStyle::kPlan);
// Replaces the file as a whole; false when it cannot be written (the old file
// stays then).
bool WritePlanFile(std::string_view path, const PlanSettings& settings,
                   PlanFileStyle style = PlanFileStyle::kPlan);

// Reads "plans.ini" line by line: each valid ID (1 .. 2^32-1) is handed to
// onId as it is read; an ID out of range raises event 9 (the file path) and
// reading goes on; other keys raise event 0. A SEED below 0 stops reading and
// fails; a SEED above 2^32-1 is an invalid line (event 0, not taken). True
// when the file opened and a SEED line was seen; *seed gets the
// last SEED read (unchanged when none). *damaged (may be null) turns true
// when the file opened but is not a list as the program writes it: no SEED,
// a negative SEED, a line that is neither SEED nor a valid ID, an ID above
// SEED, a line too long to read, or a read error.
bool ReadPlanListFile(std::string_view path, int64_t* seed,
                      const std::function<void(uint32_t id)>& onId, bool* damaged = nullptr);
// SEED first, then one ID line per identifier in the given order.
bool WritePlanListFile(std::string_view path, int64_t seed, const std::vector<uint32_t>& ids);
