// Timed tasks of a working thread. CSimpleTask is a plan's one task: it
// decides when the plan runs and what a run does.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "destinations/StoreBinding.h"
#include "engine/RunFile.h"

class CPlan;

class CTask {
 public:
  // The next due time is computed from the schedule at once.
  CTask(int64_t baseTime, int32_t scheduleNum, int32_t scheduleUnit, uint32_t key, bool unique);
  virtual ~CTask() = default;
  CTask(const CTask&) = delete;
  CTask& operator=(const CTask&) = delete;

  virtual void Run() = 0;
  virtual void PreCheck() = 0;
  // Work done at every look of the thread, due or not (a plan's catch-up walk).
  virtual void Maintain() {}
  // Last run = now, next due = recomputed from the schedule.
  virtual void MarkRun();
  virtual CPlan* GetPlan() = 0;
  virtual bool IsBlocked() = 0;
  // A scheduled run was missed while blocked: the queue runs the task early
  // once it is no longer blocked.
  virtual bool MissedScheduledBackup() { return false; }
  // Changes noted since the last run have settled: the task is due now,
  // whatever its schedule says (a continuous plan's burst of changes).
  virtual bool ChangesSettled() { return false; }
  // Milliseconds until noted changes settle (-1: none waits, or the task
  // does not run for them).
  virtual int64_t MsUntilChangesSettle() { return -1; }
  // The owning plan is being stopped: the queue runs nothing.
  virtual bool PlanStopping() { return false; }

  int64_t NextDue() const { return nextDue_.load(); }
  void SetNextDue(int64_t t) { nextDue_.store(t); }
  void RecomputeDue();
  int64_t LastRun() const { return lastRun_.load(); }
  void SetLastRun(int64_t t) { lastRun_.store(t); }
  uint32_t Key() const { return key_; }
  bool Unique() const { return unique_; }
  // Set by the back-up-now command on the UI thread, cleared by the run.
  bool Forced() const { return forced_.load() != 0; }
  void SetForced(bool forced) { forced_.store(forced ? 1 : 0); }
  int32_t ScheduleUnit() const { return scheduleUnit_; }
  int32_t ScheduleNum() const { return scheduleNum_; }
  int64_t BaseTime() const { return baseTime_; }

 protected:
  // Written by the working thread, read by the UI thread: atomics.
  std::atomic<int64_t> nextDue_{0};
  std::atomic<int64_t> lastRun_{0};
  const int32_t scheduleUnit_;
  const int32_t scheduleNum_;
  const uint32_t key_;
  const bool unique_;
  std::atomic<int32_t> forced_{0};
  const int64_t baseTime_;
};

class CSimpleTask : public CTask {
 public:
  explicit CSimpleTask(CPlan* plan);
  void Run() override;
  void PreCheck() override;
  void MarkRun() override;  // also copies the last run into the plan's LastTime
  // Runs the catch-up walk when one is due: at the first look, when the
  // plan's sources, rules or destination differ from what the last walk saw,
  // when the journal was rebuilt, when someone asked (catchup::Request), and
  // once a day. Never before the first backup, which walks everything.
  void Maintain() override;
  CPlan* GetPlan() override { return plan_; }
  bool IsBlocked() override;
  bool MissedScheduledBackup() override;
  bool PlanStopping() override;
  bool ChangesSettled() override;
  int64_t MsUntilChangesSettle() override;

  // Last run from "run.ini" (first key "run"), else the plan's LastTime; a
  // time later than now becomes now.
  void RestoreLastRun();
  // Files the last run copied (the value of its run-ends event).
  int32_t LastCopiedCount() const { return lastCopied_.load(); }
  // Since when the destination is away (0 while present) and the store
  // folder as a person last read it: kept in "run.ini" from the pre-check's
  // findings, so both survive a restart (read back by RestoreLastRun).
  AwayState Away() const;

 private:
  struct Facts {
    int64_t baseTime;
    int32_t scheduleNum, scheduleUnit;
    uint32_t id;
  };
  static Facts ReadFacts(CPlan* plan);
  CSimpleTask(CPlan* plan, const Facts& facts);
  int32_t WalkJournal();
  // For a bucket's store: its marker seen stands no longer (the next
  // pre-check reads it). False for other destinations.
  bool ForgetStoreMarker();
  // The pre-check's finding: present (with the store's native folder when it
  // resolves) or away; "run.ini" is written when that changes what it holds.
  void NoteAvailability(bool available, const std::string& root);
  bool CatchUpDue(std::string* fingerprint);
  CPlan* plan_;
  // Catch-up bookkeeping, touched by the working thread only.
  bool catchUpAtStart_ = true;
  bool catchUpStateRead_ = false;
  uint64_t rebuildsSeen_ = 0;
  std::string catchUpFingerprint_;  // what the last complete walk saw
  int64_t catchUpWalked_ = 0;
  int64_t missedWalkAt_ = 0;  // the last walk for changes the journal could not take
  std::atomic<int32_t> lastCopied_{0};
  int64_t persistedAt_ = 0;      // when the last backup time was last saved; working thread
  mutable std::mutex awayLock_;  // guards away_
  AwayState away_;
  // The store the plan fills ("Store.ini"), read once; working thread only.
  StoreRecord store_;
  bool storeRecordRead_ = false;
  bool storeAwaySaid_ = false;   // the plan's disk was said to be away
  bool storeHoldsSaid_ = false;  // the server's store was said to hold a protected folder
  // The refusal of the store last said (kOwn: none): said once while it lasts.
  StoreVerdict foreignSaid_ = StoreVerdict::kOwn;
  bool modesRefusedSaid_ = false;  // the server was said to keep copies readable by others
  bool unprovenSaid_ = false;      // the server's store was said to lie nowhere known here
  bool openLooked_ = false;        // whether others may write in the store's folder was looked at
  uint32_t markerErrorSaid_ = 0;   // why the server took no store marker, as said last
};
