// What the main view knows of one plan: a copy of its fields taken under the
// plan's lock (never waited for: a busy lock keeps the previous copy), the
// status those fields give, and whether the plan can copy now.
#pragma once
#include <cstdint>
#include <string>

class CPlan;

struct PlanSnapshot {
  uint32_t id = 0;
  std::string name;
  int32_t scheduleUnit = 1;
  int32_t scheduleNum = 1;  // minutes or hours between runs of an interval plan
  int32_t mode = 1;         // 1 idle, 2 backing up
  bool enabled = false;
  bool hasDestination = false;
  bool available = false;   // the destination's last known availability
  int64_t awaySince = 0;    // since when the plan's task finds it away (0: present)
  std::string storeFolder;  // the store's native folder the task last saw
  std::string diskLabel;    // the label of the disk the plan's store lies on, if known
  int32_t storageType = 0;
  std::string root;          // destination root (system path; FTP: its own syntax)
  std::string serverStore;   // a server's store as a person reads it ("ftp://host/root/")
  std::string endpointHost;  // an object store's endpoint host
  bool hasTask = false;
  int64_t nextDue = 0;
  int64_t lastBackupTime = 0;
  uint64_t notProtected = 0;    // files the store cannot hold (their names)
  uint64_t notPrivate = 0;      // files held back: the server cannot keep them private
  uint64_t tooLarge = 0;        // files skipped as too large
  uint64_t roomWanted = 0;      // free bytes a skipped file waits for (0: none waits)
  uint32_t copyError = 0;       // error of the last copy into this store when it failed, else 0
  int64_t failingSince = 0;     // first of the failed copies since the last success
  uint32_t unrecorded = 0;      // why the journal cannot record changes now (0: it does)
  int32_t versionNumber = 0;    // versions kept of each file, the latest copy among them
  int32_t keepDays = -1;        // KeepVersions (common/PlanSettings.h)
  bool makeRoom = false;        // the oldest revisions may go when the disk is full
  uint64_t removedForRoom = 0;  // revisions removed for room since the program started
};

// Fills *out under the plan's lock. False (and *out untouched) when the lock
// is held by another thread right now; the caller keeps its older copy.
bool TryTakeSnapshot(CPlan* plan, PlanSnapshot* out);

// Free space figures of a destination, measured on a worker.
struct SpaceFigures {
  bool measured = false;  // a measurement came back
  bool ok = false;        // ... and succeeded
  uint64_t freeBytes = 0;
  uint64_t totalBytes = 0;
};

constexpr uint64_t kTooFullBytes = 10485760;      // 10 MiB
constexpr uint64_t kNearlyFullBytes = 104857600;  // 100 MiB

enum class StatusIcon { kAlert, kStopped, kBattery, kWaiting, kWatching, kFailing };
enum class StatusColour { kWarning, kStopped, kRunning, kProblem };

struct PlanStatus {
  const char* textKey;
  StatusColour colour;
  StatusIcon icon;
  bool animated;
  const char* section = "UGGRID";  // of textKey
};

// Kinds whose free space is measured for the status (local and USB disks).
bool HasMeasuredSpace(const PlanSnapshot& s);
// Kinds the blocked rule checks for space: local, USB, and network paths
// that are not "\\server\share" paths.
bool SpaceBlocks(const PlanSnapshot& s);

// The first rule that applies: paused (a plan the user stopped, not a
// manual one), unavailable, copies failing, disabled, battery, too full,
// backing up, continuous, manual, otherwise waiting.
PlanStatus ComputeStatus(const PlanSnapshot& s, bool onBattery, const SpaceFigures& space);

// Blocked as the engine sees it: disabled, no or unavailable destination, on
// battery, or (for kinds checked for space) 10 MiB or less free or free space
// that cannot be read. *known is false while that depends on a space figure
// not measured yet.
bool IsSnapshotBlocked(const PlanSnapshot& s, bool onBattery, const SpaceFigures& space,
                       bool* known);

// Why a plan only records its changes although it should copy them: its
// destination is away, the machine runs on battery, or its destination has
// too little room. A plan the user paused, a plan being changed and a manual
// plan at rest copy nothing either, but by choice: kNone. *known as above.
enum class RecordingCause { kNone, kAway, kBattery, kNoSpace };
RecordingCause RecordingOnlyCause(const PlanSnapshot& s, bool onBattery, const SpaceFigures& space,
                                  bool* known);

// Colour of a status as red, green, blue.
void StatusRgb(StatusColour colour, int* r, int* g, int* b);
// Image name of a status icon ("Icons\" + name + ".png").
const char* StatusIconName(StatusIcon icon);
