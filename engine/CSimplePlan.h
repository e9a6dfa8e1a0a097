// The plan that runs on its own working thread and backs files up through its
// single-file engine: the one concrete kind of plan the plan list makes.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/RecentChanges.h"
#include "engine/SaidLinks.h"
#include "plans/CPlan.h"

class CWorkingThread;
class PlanList;

class CSimplePlan : public CPlan {
 public:
  explicit CSimplePlan(PlanList* owner);
  ~CSimplePlan() override;

  void CreateEngine() override;
  int Start() override;
  void Stop() override;
  CSimpleEngine* Engine() override;
  bool IsBlocked() override;
  void ShutDown() override;
  void NoteChangedFile(std::string_view path) override;
  void BackUpWalkedFile(const std::string& path) override;
  void StopAndWait() override;

  CWorkingThread* Thread() const;
  // Set by a stop before it waits for the plan's lock, cleared at a start:
  // a look at the store that holds the lock meanwhile (a connection to a
  // server that does not answer) stops at once under it.
  const std::atomic<bool>* StopAsked() const { return &stopAsked_; }
  // Stopped threads whose body may still be running.
  size_t RetiredThreadCount() const;
  // Entries enumerated since the walk last slept (sleep 1 ms every fifth).
  uint32_t& WalkCounter() { return walkCounter_; }
  // A change the journal could not record for a full disk: a catch-up walk
  // is due once the journal's disk has room again. Take clears it and says
  // whether it was set.
  void NoteChangesMissed();
  bool ChangesMissed() const;
  bool TakeChangesMissed();
  // The changes noted in the last seconds, for a continuous plan's runs.
  RecentChanges& Recent() { return recent_; }
  // The links to folders said not to be followed, across starts.
  SaidLinks& Links() { return saidLinks_; }

 private:
  // Deletes retired threads that have ended; with wait, joins the others first.
  // Never called with the plan's lock held while waiting.
  void ReapRetired(bool wait);
  // Marks the plan stopping and takes its thread and task away (under the
  // plan's lock); the caller stops the thread with the lock free.
  CWorkingThread* TakeThreadForStop(uint32_t* id);

  CWorkingThread* thread_ = nullptr;    // the running thread, owned; plan lock
  std::atomic<bool> stopAsked_{false};  // see StopAsked
  // Threads told to stop, owned until their body has ended (a stopped plan
  // may be deleted only when no thread of it still runs); plan lock.
  std::vector<CWorkingThread*> retired_;
  uint32_t walkCounter_ = 0;               // updated atomically (std::atomic_ref) by walks
  bool changesMissed_ = false;             // see NoteChangesMissed; plan lock
  std::unique_ptr<CSimpleEngine> engine_;  // made once by CreateEngine
  RecentChanges recent_;                   // carries its own lock
  SaidLinks saidLinks_;                    // carries its own lock
};
