// One working thread per started plan: a queue of timed tasks polled every
// 500 ms (just after each half second of the clock) at the lowest priority.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>

#include "common/CThread.h"

class CPlan;
class CTask;
class CWorkingThread;

class CTaskQueue {
 public:
  // thread may be null (a queue without a thread never sees a stop flag).
  explicit CTaskQueue(CWorkingThread* thread) : thread_(thread) {}
  ~CTaskQueue();  // deletes the queued tasks
  CTaskQueue(const CTaskQueue&) = delete;
  CTaskQueue& operator=(const CTaskQueue&) = delete;

  // Inserted before the first task due at the same time or later. A unique
  // task is refused when a task with its key is queued. The queue owns an
  // added task; a refused one stays the caller's.
  bool Add(CTask* task);
  // Removes and deletes every task with the key; true when any was removed.
  bool RemoveByKey(uint32_t key);
  // Runs every due task (see the working thread's body).
  void Process();
  // After Process: milliseconds until changes a task noted settle (-1: none
  // waits); the thread looks again then rather than at the next poll.
  int64_t MsUntilChangesSettle() const { return settleInMs_; }
  size_t Count();
  // Keys in queue order (for inspection).
  std::list<uint32_t> Keys();

 private:
  bool StopRequested();
  std::recursive_mutex lock_;  // guards tasks_; never held while a task is checked or runs
  std::list<CTask*> tasks_;
  CWorkingThread* thread_;
  int64_t settleInMs_ = -1;  // see MsUntilChangesSettle; the processing thread's
};

class CWorkingThread : public CThread {
 public:
  static constexpr uint32_t kPollMs = 500;

  explicit CWorkingThread(CPlan* plan);
  // Deletes the plan when delete-plan-on-exit is set. Destroyed by another
  // thread while running, it stops the body and waits for it first.
  ~CWorkingThread() override;

  CTaskQueue& Queue() { return queue_; }
  // Ends the body within one poll, and a copy it is making within one chunk;
  // never waits.
  void SetStop();
  bool StopRequested();
  void SetDeletePlanOnExit(bool del);
  CPlan* Plan() const { return plan_; }
  // The working thread whose body calls this; null on any other thread. A
  // walk asks it whether its own thread was told to stop: a plan disabled and
  // enabled again at once must not keep the old thread's walk going beside
  // the new one's.
  static CWorkingThread* Current();

 protected:
  void Run() override;

 private:
  std::mutex lock_;  // guards stop_ and deletePlan_
  std::condition_variable wake_;
  bool stop_ = false;
  // Set with stop_; the body's file copies look at it between chunks, so a
  // stop ends a long copy at once (the platform's thread cancel flag).
  std::atomic<bool> cancel_{false};
  bool deletePlan_ = false;
  CTaskQueue queue_;
  CPlan* plan_;
};
