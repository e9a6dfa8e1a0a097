#include "plans/PlanFile.h"

#include <array>
#include <limits>

#include "common/EngineEvents.h"
#include "common/KeyValueFile.h"
#include "common/Settings.h"
#include "platform/base/Text.h"

namespace {

// Keys of "Plan.ini" in the order the plan writes them.
enum PlanKey : int {
  kKeyMode,
  kKeyName,
  kKeyStorageType,
  kKeyStorePath,
  kKeyVersionNumber,
  kKeyScheduleNum,
  kKeyScheduleUnit,
  kKeyLastTime,
  kKeyMissingTime,
  kKeyInitDone,
  kKeyEnabled,
  kKeyLastBackupTime,
  kKeyMissScheduledBackup,
  kKeyKeepDays,
  kKeyMakeRoom,
  kKeyCount
};

constexpr std::array<const char*, kKeyCount> kKeyNames = {"Mode",
                                                          "Name",
                                                          "StorageType",
                                                          "StorePath",
                                                          "VersionNumber",
                                                          "ScheduleNum",
                                                          "ScheduleUnit",
                                                          "LastTime",
                                                          "MissingTime",
                                                          "InitDone",
                                                          "Enabled",
                                                          "LastBackupTime",
                                                          "MissScheduledBackup",
                                                          "KeepDays",
                                                          "MakeRoom"};

int FindKey(const std::string& key) {
  for (int i = 0; i < kKeyCount; ++i)
    if (key == kKeyNames[i]) return i;
  return -1;
}

bool IsRequired(int key) {
  return key != kKeyInitDone && key != kKeyMissScheduledBackup && key != kKeyKeepDays &&
         key != kKeyMakeRoom;
}

// One of the offered lengths; anything else keeps versions by count.
int32_t KeepDaysOf(int32_t days) {
  for (int32_t offered : {kKeepAsManyAsFit, kKeepDay, kKeepWeek, kKeepMonth, kKeepYear})
    if (days == offered) return days;
  return kKeepByCount;
}

void PostInvalidLine(std::string_view path, const std::string& line) {
  std::string text = "Invalid line in ";
  text.append(path);
  text += " ";
  text += line;
  PostEvent(kEvInvalidContent, text);
}

}  // namespace

const char* PlanFileProblem(const PlanSettings& s) {
  const std::string name = plat::TrimSpace(s.name);
  if (name.empty()) return "NAME_EMPTY";
  size_t chars = 0;
  for (unsigned char c : name) chars += (c & 0xC0) != 0x80;
  if (chars >= 256) return "NAME_TOO_LONG";
  if (s.storageType < kStorageLocal || s.storageType > kStorageObject) return "STORAGE_TYPE";
  if (s.scheduleUnit < 1 || s.scheduleUnit > 8) return "SCHEDULE_UNIT";
  return nullptr;
}

bool ReadPlanFile(std::string_view path, PlanSettings* s, bool raiseEvents) {
  CKeyValueReader reader;
  if (!reader.Open(path)) {
    if (raiseEvents) PostEvent(kEvUnreadablePlanFile, path);
    return false;
  }
  std::array<bool, kKeyCount> seen{};
  bool initDoneSeen = false;
  std::string key, value;
  while (reader.Next(&key, &value)) {
    const int k = FindKey(key);
    if (k < 0) {
      if (raiseEvents) PostInvalidLine(path, reader.Line());
      continue;
    }
    seen[k] = true;
    switch (k) {
      case kKeyMode:
        // Only the idle state is ever stored; a run that was cut off is idle now.
        s->mode = 1;
        break;
      case kKeyName:
        s->name = value;
        break;
      case kKeyStorageType:
        s->storageType = reader.Int(0);
        break;
      case kKeyStorePath:
        s->storePath = value;
        break;
      case kKeyVersionNumber: {
        int32_t n = reader.Int(3);
        const int32_t max = GetMaxVersionCount();
        if (n < 1) n = 1;
        if (n > max) n = max;
        s->versionNumber = n;
        break;
      }
      case kKeyScheduleNum: {
        const int32_t n = reader.Int(1);
        s->scheduleNum = n < 1 ? 1 : n;
        break;
      }
      case kKeyScheduleUnit:
        // Checked when the settings are applied.
        s->scheduleUnit = reader.Int(1);
        break;
      case kKeyLastTime:
        s->lastTime = reader.Int64(0);
        break;
      case kKeyMissingTime:
        s->missingTime = reader.Int64(0);
        break;
      case kKeyInitDone:
        initDoneSeen = true;
        s->initialScanDone = reader.Int(0) != 0 ? 1 : 0;
        break;
      case kKeyEnabled:
        s->enabled = reader.Int(1) != 0 ? 1 : 0;
        break;
      case kKeyLastBackupTime:
        s->lastBackupTime = reader.Int64(0);
        break;
      case kKeyMissScheduledBackup:
        s->missedScheduledRun = reader.Int(0) != 0 ? 1 : 0;
        break;
      case kKeyKeepDays:
        s->keepDays = KeepDaysOf(reader.Int(kKeepByCount));
        break;
      case kKeyMakeRoom:
        s->makeRoom = reader.Int(0) != 0 ? 1 : 0;
        break;
    }
  }
  if (!initDoneSeen) s->initialScanDone = 1;
  if (!seen[kKeyMissScheduledBackup]) s->missedScheduledRun = 0;
  // A plan written before versions were kept by age keeps its count rule.
  if (!seen[kKeyKeepDays]) s->keepDays = kKeepByCount;
  if (!seen[kKeyMakeRoom]) s->makeRoom = 0;
  bool complete = !reader.Failed();
  for (int k = 0; k < kKeyCount; ++k)
    if (IsRequired(k) && !seen[k]) complete = false;
  if (!complete) {
    if (raiseEvents) PostEvent(kEvUnreadablePlanFile, path);
    return false;
  }
  return true;
}

namespace {

CKeyValueWriter MakePlanWriter(const PlanSettings& s, PlanFileStyle style) {
  CKeyValueWriter w;
  w.Add(kKeyNames[kKeyMode], int32_t{1});  // run state 2 never outlives the run
  w.Add(kKeyNames[kKeyName], s.name);
  w.Add(kKeyNames[kKeyStorageType], s.storageType);
  w.Add(kKeyNames[kKeyStorePath], s.storePath);
  w.Add(kKeyNames[kKeyVersionNumber], s.versionNumber);
  w.Add(kKeyNames[kKeyScheduleNum], s.scheduleNum);
  w.Add(kKeyNames[kKeyScheduleUnit], s.scheduleUnit);
  w.Add(kKeyNames[kKeyLastTime], s.lastTime);
  w.Add(kKeyNames[kKeyMissingTime], s.missingTime);
  if (style == PlanFileStyle::kDefaultStep)
    w.Add(kKeyNames[kKeyInitDone], int32_t{s.initialScanDone ? 1 : 0});
  else if (!s.initialScanDone)
    w.Add(kKeyNames[kKeyInitDone], int32_t{0});
  w.Add(kKeyNames[kKeyEnabled], int32_t{s.enabled ? 1 : 0});
  w.Add(kKeyNames[kKeyLastBackupTime], s.lastBackupTime);
  if (style == PlanFileStyle::kPlan)
    w.Add(kKeyNames[kKeyMissScheduledBackup], int32_t{s.missedScheduledRun ? 1 : 0});
  if (s.keepDays != kKeepByCount) w.Add(kKeyNames[kKeyKeepDays], s.keepDays);
  if (s.makeRoom) w.Add(kKeyNames[kKeyMakeRoom], int32_t{1});
  return w;
}

}  // namespace

std::string FormatPlanFile(const PlanSettings& settings, PlanFileStyle style) {
  return MakePlanWriter(settings, style).Contents();
}

bool WritePlanFile(std::string_view path, const PlanSettings& settings, PlanFileStyle style) {
  return MakePlanWriter(settings, style).Write(path);
}

bool ReadPlanListFile(std::string_view path, int64_t* seed,
                      const std::function<void(uint32_t id)>& onId, bool* damaged) {
  bool harmed = false;
  int64_t highestId = 0;
  int64_t lastSeed = -1;
  auto result = [&](bool ok) {
    if (damaged) *damaged = harmed || !ok || highestId > lastSeed;
    return ok;
  };
  CKeyValueReader reader;
  if (!reader.Open(path)) {
    if (damaged) *damaged = false;
    return false;
  }
  bool seedSeen = false;
  std::string key, value;
  while (reader.Next(&key, &value)) {
    if (key == "ID") {
      const int64_t id = reader.Int64(0);
      if (id < 1 || id > int64_t{std::numeric_limits<uint32_t>::max()}) {
        PostEvent(kEvUnreadablePlanFile, path);
        harmed = true;
        continue;
      }
      if (id > highestId) highestId = id;
      if (onId) onId(static_cast<uint32_t>(id));
    } else if (key == "SEED") {
      const int64_t v = reader.Int64(0);
      if (v < 0) return result(false);
      if (v > int64_t{std::numeric_limits<uint32_t>::max()}) {
        // Beyond every identifier: a counter no plan could have been given.
        PostInvalidLine(path, reader.Line());
        harmed = true;
        continue;
      }
      *seed = v;
      lastSeed = v;
      seedSeen = true;
    } else {
      PostInvalidLine(path, reader.Line());
      harmed = true;
    }
  }
  if (reader.SkippedLines() > 0) harmed = true;
  return result(seedSeen && !reader.Failed());
}

bool WritePlanListFile(std::string_view path, int64_t seed, const std::vector<uint32_t>& ids) {
  CKeyValueWriter w;
  w.Add("SEED", seed);
  for (uint32_t id : ids) w.Add("ID", id);
  return w.Write(path);
}
