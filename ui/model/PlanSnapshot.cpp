#include "ui/model/PlanSnapshot.h"

#include <mutex>

#include "common/PlanSettings.h"
#include "destinations/Destination.h"
#include "destinations/FtpDevice.h"
#include "destinations/ObjectDevice.h"
#include "engine/CSimpleEngine.h"
#include "engine/CTask.h"
#include "plans/CPlan.h"

bool TryTakeSnapshot(CPlan* plan, PlanSnapshot* out) {
  std::unique_lock<std::recursive_mutex> lock(plan->Lock(), std::try_to_lock);
  if (!lock.owns_lock()) return false;
  PlanSnapshot s;
  s.id = plan->Id();
  s.name = plan->Name();
  s.scheduleUnit = plan->ScheduleUnit();
  s.scheduleNum = plan->ScheduleNum();
  s.mode = plan->Mode();
  s.enabled = plan->Enabled();
  if (CDestination* dest = plan->Destination()) {
    s.hasDestination = true;
    s.available = dest->IsAvailable();
    s.storageType = dest->GetStorageType();
    s.root = dest->GetRootPath();
    if (const auto* ftp = dynamic_cast<const CFTPDevice*>(dest))
      s.serverStore = ReadableFtpStore(ftp->GetFtpSettings());
    if (const auto* object = dynamic_cast<const CObjectDevice*>(dest)) {
      const ObjectStoreSettings settings = object->GetObjectSettings();
      s.serverStore = ReadableObjectStore(settings);
      s.endpointHost = ObjectEndpointHost(settings.endpoint);
    }
  }
  if (CSimpleTask* task = plan->Task()) {
    s.hasTask = true;
    s.nextDue = task->NextDue();
    AwayState away = task->Away();
    s.awaySince = away.since;
    s.storeFolder = std::move(away.folder);
    s.diskLabel = std::move(away.label);
    // A destination not looked at yet since the start counts as present;
    // the task knows better when it found it away before.
    if (s.awaySince != 0) s.available = false;
  }
  s.lastBackupTime = plan->LastBackupTime();
  s.notPrivate = plan->PrivateUnheldCount();
  s.notProtected = plan->UnheldNameCount() - s.notPrivate;
  s.unrecorded = plan->UnrecordedError();
  s.versionNumber = plan->VersionNumber();
  s.keepDays = plan->KeepDays();
  s.makeRoom = plan->MakeRoom();
  if (CSimpleEngine* engine = plan->Engine()) {
    s.tooLarge = engine->TooLargeCount();
    s.roomWanted = engine->RoomWanted();
    s.removedForRoom = engine->RemovedForRoom();
    // Failures in another store (the plan was moved since) are history.
    const CopyHealth health = engine->Health();
    if (health.error != 0 && health.root == s.root) {
      s.copyError = health.error;
      s.failingSince = health.failingSince;
    }
  }
  *out = std::move(s);
  return true;
}

bool HasMeasuredSpace(const PlanSnapshot& s) {
  return s.hasDestination && (s.storageType == kStorageLocal || s.storageType == kStorageUsb);
}

bool SpaceBlocks(const PlanSnapshot& s) {
  if (!s.hasDestination) return false;
  if (HasMeasuredSpace(s)) return true;
  return s.storageType == kStorageNetwork && s.root.rfind("\\\\", 0) != 0;
}

PlanStatus ComputeStatus(const PlanSnapshot& s, bool onBattery, const SpaceFigures& space) {
  if (!s.enabled && s.scheduleUnit != 8)
    return {"STATUS_PAUSED", StatusColour::kStopped, StatusIcon::kStopped, false, "PLAN_HEALTH"};
  // Changes the journal cannot take are lost until a walk finds them: worse
  // than any copy held back.
  if (s.unrecorded != 0)
    return {"STATUS_NOT_RECORDING", StatusColour::kProblem, StatusIcon::kFailing, false,
            "PLAN_HEALTH"};
  if (!s.hasDestination || !s.available)
    return {"PLAN_STATUS_LOGGING", StatusColour::kWarning, StatusIcon::kAlert, false};
  if (s.copyError != 0)
    return {"STATUS_FAILING", StatusColour::kProblem, StatusIcon::kFailing, false, "PLAN_HEALTH"};
  if (!s.enabled && !onBattery)
    return {"PLAN_STATUS_STOPPED", StatusColour::kStopped, StatusIcon::kStopped, false};
  if (onBattery)
    return {"PLAN_STATUS_LOGGING", StatusColour::kStopped, StatusIcon::kBattery, false};
  if (HasMeasuredSpace(s) && space.measured && space.ok && space.freeBytes < kTooFullBytes)
    return {"PLAN_STATUS_LOGGING", StatusColour::kWarning, StatusIcon::kAlert, false};
  if (s.mode == 2)
    return {"PLAN_STATUS_PROTECTING", StatusColour::kRunning, StatusIcon::kWaiting, true};
  if (s.scheduleUnit == 1)
    return {"PLAN_STATUS_WATCHING", StatusColour::kRunning, StatusIcon::kWatching, false};
  if (s.scheduleUnit == 8)
    return {"PLAN_STATUS_STOPPED", StatusColour::kStopped, StatusIcon::kStopped, false};
  return {"PLAN_STATUS_WAITING", StatusColour::kRunning, StatusIcon::kWaiting, false};
}

bool IsSnapshotBlocked(const PlanSnapshot& s, bool onBattery, const SpaceFigures& space,
                       bool* known) {
  *known = true;
  if (!s.enabled || !s.hasDestination || !s.available || onBattery) return true;
  if (!SpaceBlocks(s)) return false;
  if (!space.measured) {
    *known = false;
    return false;
  }
  return !space.ok || space.freeBytes <= kTooFullBytes;
}

RecordingCause RecordingOnlyCause(const PlanSnapshot& s, bool onBattery, const SpaceFigures& space,
                                  bool* known) {
  *known = true;
  if (!s.enabled) return RecordingCause::kNone;
  if (!s.hasDestination || !s.available) return RecordingCause::kAway;
  if (onBattery) return RecordingCause::kBattery;
  return IsSnapshotBlocked(s, false, space, known) ? RecordingCause::kNoSpace
                                                   : RecordingCause::kNone;
}

void StatusRgb(StatusColour colour, int* r, int* g, int* b) {
  switch (colour) {
    case StatusColour::kWarning:
      *r = 255, *g = 145, *b = 0;
      return;
    case StatusColour::kStopped:
      *r = 224, *g = 1, *b = 1;
      return;
    case StatusColour::kRunning:
      *r = 66, *g = 166, *b = 0;
      return;
    case StatusColour::kProblem:
      *r = 190, *g = 24, *b = 93;
      return;
  }
}

const char* StatusIconName(StatusIcon icon) {
  switch (icon) {
    case StatusIcon::kAlert:
      return "Alert";
    case StatusIcon::kStopped:
      return "Stopped";
    case StatusIcon::kBattery:
      return "Battery";
    case StatusIcon::kWaiting:
      return "Waiting";
    case StatusIcon::kWatching:
      return "Watching";
    case StatusIcon::kFailing:
      return "Failing";
  }
  return "Waiting";
}
