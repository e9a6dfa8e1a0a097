// The live backup plan. CPlan holds the fields every plan has and applies a
// settings record; the one concrete kind, the plan that runs on its own
// working thread, is the engine's (engine/CSimplePlan.h). The engine and task
// of a plan are opaque here.
//
// Every field is read and written under the plan's lock (Lock()). Where the
// plan list's lock is also taken, the list lock comes first. No event is
// posted while the plan's lock is held (subscribers may take the list lock).
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/PlanSettings.h"
#include "destinations/Destination.h"
#include "history/CLoggingDatabase.h"
#include "plans/PlanOwner.h"
#include "plans/RuleSet.h"

struct RestoreStore;
class CSimpleEngine;
class CSimpleTask;

// Purposes of ApplySettings.
enum ApplyPurpose : int32_t {
  kApplyCreate = 0,   // a new plan
  kApplyReapply = 1,  // changed settings of a plan being made (default-destination step)
  kApplyLoad = 2,     // a stored plan
};

constexpr int32_t kModeIdle = 1;
constexpr int32_t kModeWorking = 2;
// Free space at or below this blocks a plan.
constexpr uint64_t kMinFreeBytes = 10485760;

class CPlan : public IDestinationOwner {
 public:
  explicit CPlan(IPlanOwner* owner);
  // Closes and deletes the destination, the rule set and the database.
  virtual ~CPlan();
  CPlan(const CPlan&) = delete;
  CPlan& operator=(const CPlan&) = delete;

  // The virtual operations, in their fixed order.
  virtual void CreateEngine() = 0;
  // Creates the working thread and the task and starts them; 0 or 1 (no thread).
  virtual int Start() = 0;
  // Tells the thread to stop without waiting for it; the plan keeps the
  // stopped thread until its body has ended.
  virtual void Stop() = 0;
  virtual CSimpleEngine* Engine() = 0;
  virtual bool IsBlocked() = 0;
  virtual bool ApplySettings(const PlanSettings& settings, int32_t purpose);
  // Used when the plan is deleted: the plan object deletes itself, at once or,
  // with a running thread, when that thread ends. The caller must not use the
  // plan afterwards and must not hold the list's lock (a stopped thread may
  // need it while the plan waits for it to end).
  virtual void ShutDown() = 0;
  // Records the path in the journal as changed now.
  virtual void NoteChangedFile(std::string_view path) = 0;
  // Backs up a file that the walk of the chosen sources found (see
  // WalkChosenSources); a plan without an engine does nothing.
  virtual void BackUpWalkedFile(const std::string& path) { (void)path; }
  // Stops the working thread and every stopped one and waits until they have
  // ended (engine shutdown, list teardown). The enabled flag stays as it is,
  // so a save afterwards keeps the plan enabled for the next start. Call it
  // without holding the list's lock.
  virtual void StopAndWait() = 0;

  // IDestinationOwner: data folder + "PLAN\" + id + "\".
  std::string GetPlanFolder() const override;
  uint32_t GetPlanId() const override { return Id(); }

  std::recursive_mutex& Lock() const { return lock_; }

  // Trimmed; empty refused silently; 256 characters or more refused with event 10.
  bool SetName(std::string_view name);
  std::string Name() const;
  uint32_t Id() const;
  void SetId(uint32_t id);
  int32_t Kind() const { return 1; }
  IPlanOwner* Owner() const { return owner_; }

  int32_t VersionNumber() const;
  void SetVersionNumber(int32_t n);  // clamped to 1 .. GetMaxVersionCount()
  // KeepVersions (PlanSettings.h): kKeepByCount, or how long revisions stay.
  int32_t KeepDays() const;
  void SetKeepDays(int32_t days);
  // Whether the oldest revisions may go when the store's disk is full.
  bool MakeRoom() const;
  void SetMakeRoom(bool on);
  int32_t ScheduleNum() const;
  int32_t ScheduleUnit() const;
  bool Enabled() const;
  // Stores the flag, posts event 22/23 with the reason and starts or stops.
  void SetEnabled(bool enabled, int32_t reason);
  int32_t Mode() const;
  void SetMode(int32_t mode);  // event 13 when it changes
  int64_t LastTime() const;
  void SetLastTime(int64_t t);
  int64_t LastBackupTime() const;
  void SetLastBackupTime(int64_t t);
  int64_t MissingTime() const;
  void SetMissingTime(int64_t t);  // saves "Plan.ini"
  int64_t BackupTime() const;      // start time from "UI.ini"
  void SetBackupTime(int64_t t);
  bool InitDone() const;
  void SetInitDone(bool done);
  bool Stopping() const;
  // Why the journal cannot record the plan's changes now (the error of its
  // last failed write; 0 while it records them).
  uint32_t UnrecordedError() const;
  void SetUnrecordedError(uint32_t error);
  void SetStopping(bool stopping);
  bool Busy() const;
  void SetBusy(bool busy);
  bool MissScheduledBackup() const;
  void SetMissScheduledBackup(bool missed);
  CPlan* SameDestinationLink() const;
  void SetSameDestinationLink(CPlan* plan);
  // Free bytes the destination must have before the copy that was refused for
  // lack of space is tried again (0: none refused, or longer ago than ten
  // minutes, when a retry is due anyway). Kept by the engine; read by
  // IsBlocked and the main view.
  uint64_t SpaceWanted() const;
  void SetSpaceWanted(uint64_t freeBytes);
  CSimpleTask* Task() const;
  void SetTask(CSimpleTask* task);

  // The rule set; swapped whole under the plan's lock. Match through
  // MatchPath, which holds the lock while it reads the pointer.
  bool MatchPath(std::string_view path, bool skipAlways);
  void ReplaceRules(std::unique_ptr<CRuleSet> rules);
  CRuleSet* Rules();  // caller holds Lock()

  CDestination* Destination();  // caller holds Lock() or owns the plan's thread
  // The destination for a caller that uses it outside the plan's lock (a copy
  // on the working thread): one replaced meanwhile by a change of the plan
  // lives on until that caller lets it go.
  std::shared_ptr<CDestination> SharedDestination() const;
  CLoggingDatabase* Database();  // the journal; has its own lock

  // Writes "Plan.ini" and then "IncExc.ini"; true when both were written.
  bool Save();
  // Writes "Plan.ini" alone.
  bool SavePlanFile();
  // The destination's root path and storage type (empty / 0 without one).
  std::string DestinationRoot() const;
  int32_t StorageType() const;
  // Fills a settings record from the plan's fields.
  PlanSettings Settings() const;

  // True while a plan along the same-destination links runs its first scan.
  // Takes the list's lock: call it without holding any plan's lock.
  bool IsEarlierSameDestinationBusy() const;
  // Sleeps in 1 s steps while that holds; returns early when stopping.
  void WaitWhileEarlierSameDestinationBusy();

  // Files of the plan's sources whose names the store cannot hold, or that a
  // server cannot keep private (keptPrivate), seen in this run of the
  // program and not copied since. True when the shown path is new (say it
  // once).
  bool NoteUnheldName(const std::string& shownPath, bool keptPrivate = false);
  // A file copied after all is no longer counted.
  void ForgetUnheldName(const std::string& shownPath);
  size_t UnheldNameCount() const;     // all of them
  size_t PrivateUnheldCount() const;  // those held back for their privacy
  std::vector<std::string> PrivateUnheldNames() const;

 protected:
  // Steps of ApplySettings.
  bool PrepareDestination(const PlanSettings& settings, int32_t purpose);
  bool OpenDatabase(int32_t purpose);

  mutable std::recursive_mutex lock_;  // guards every field of the plan
  IPlanOwner* owner_;
  uint32_t id_ = 0;
  std::string name_;
  std::unique_ptr<CRuleSet> rules_;
  int32_t versionNumber_ = 3;
  int32_t keepDays_ = kKeepByCount;
  bool makeRoom_ = false;
  int32_t scheduleNum_ = 1;
  int32_t scheduleUnit_ = 1;
  bool enabled_ = false;
  int32_t mode_ = kModeIdle;
  int64_t lastTime_ = 0, lastBackupTime_ = 0, missingTime_ = 0, backupTime_ = 0;
  bool initDone_ = false;
  bool stopping_ = false;
  CSimpleTask* task_ = nullptr;
  CPlan* sameDestLink_ = nullptr;
  uint64_t spaceWanted_ = 0;       // see SpaceWanted
  int64_t spaceWantedAt_ = 0;      // when it was set (seconds)
  bool noteFailureShown_ = false;  // a journal write failure was reported
  uint32_t unrecordedError_ = 0;   // why changes are not recorded now (0: they are)
  bool busy_ = false;
  bool missScheduledBackup_ = false;
  std::shared_ptr<CDestination> destination_;
  // The store path last applied: saved while the destination has no root (a
  // USB disk that is not plugged in must not lose its path).
  std::string storePath_;
  std::unique_ptr<CLoggingDatabase> database_;
  std::map<std::string, bool> unheldNames_;  // see NoteUnheldName; under lock_
};

// Reads the plan's identifier and its destination's store (history/RestoreJobs.h)
// under the plan's lock, once, so that a restore job never touches the plan.
// False when the plan has no destination or no root.
bool GetRestoreStore(CPlan* plan, RestoreStore* out);
