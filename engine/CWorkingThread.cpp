#include "engine/CWorkingThread.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "engine/CTask.h"
#include "plans/CPlan.h"
#include "platform/files/Files.h"
#include "platform/process/Clock.h"

CTaskQueue::~CTaskQueue() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (CTask* task : tasks_) delete task;
  tasks_.clear();
}

bool CTaskQueue::Add(CTask* task) {
  if (task == nullptr) return false;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (task->Unique()) {
    for (CTask* queued : tasks_) {
      if (queued->Key() == task->Key()) return false;
    }
  }
  const int64_t due = task->NextDue();
  auto it = tasks_.begin();
  while (it != tasks_.end() && (*it)->NextDue() < due) ++it;
  tasks_.insert(it, task);
  return true;
}

bool CTaskQueue::RemoveByKey(uint32_t key) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  bool removed = false;
  for (auto it = tasks_.begin(); it != tasks_.end();) {
    if ((*it)->Key() == key) {
      delete *it;
      it = tasks_.erase(it);
      removed = true;
    } else {
      ++it;
    }
  }
  return removed;
}

size_t CTaskQueue::Count() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return tasks_.size();
}

std::list<uint32_t> CTaskQueue::Keys() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::list<uint32_t> keys;
  for (CTask* task : tasks_) keys.push_back(task->Key());
  return keys;
}

bool CTaskQueue::StopRequested() { return thread_ != nullptr && thread_->StopRequested(); }

void CTaskQueue::Process() {
  // A task runs at most once per pass: one that is due again at once (an
  // interval plan whose start time lies in the past) waits for the next poll
  // instead of running back to back.
  std::vector<CTask*> ran;
  settleInMs_ = -1;
  // A task out of the queue is the caller's alone: asked here, never under the lock.
  const auto noteSettle = [this](CTask* task) {
    const int64_t ms = task->MsUntilChangesSettle();
    if (ms >= 0 && (settleInMs_ < 0 || ms < settleInMs_)) settleInMs_ = ms;
  };
  for (;;) {
    if (StopRequested()) return;
    CTask* task = nullptr;
    {
      std::lock_guard<std::recursive_mutex> guard(lock_);
      if (tasks_.empty()) return;
      task = tasks_.front();
      if (std::find(ran.begin(), ran.end(), task) != ran.end()) return;
      // The first task leaves the queue while it is looked at, so that the
      // pre-check (which may ask a slow destination) and the plan's lock are
      // never taken under the queue's lock. Removal by key cannot reach it
      // meanwhile; a stop request deletes it below.
      tasks_.pop_front();
    }
    bool due = false;
    if (!task->PlanStopping()) {
      task->PreCheck();
      task->Maintain();
      // A missed scheduled backup runs as soon as the plan is not blocked.
      due = task->NextDue() <= plat::Now() || task->Forced() || task->ChangesSettled() ||
            (task->MissedScheduledBackup() && !task->IsBlocked());
    }
    if (StopRequested()) {
      delete task;
      return;
    }
    if (!due) {
      noteSettle(task);
      if (!Add(task)) delete task;
      return;
    }
    task->MarkRun();
    task->Run();
    noteSettle(task);
    if (StopRequested() || !Add(task)) {
      delete task;
    } else {
      ran.push_back(task);
    }
  }
}

CWorkingThread::CWorkingThread(CPlan* plan) : queue_(this), plan_(plan) {}

CWorkingThread::~CWorkingThread() {
  if (IsRunning() && !IsCurrentThread()) {
    SetStop();
    Join();
  }
  bool deletePlan;
  {
    std::lock_guard<std::mutex> guard(lock_);
    deletePlan = deletePlan_;
  }
  if (deletePlan) delete plan_;
}

void CWorkingThread::SetStop() {
  // Notified under the lock: an auto-deleting thread may destroy itself as
  // soon as it sees the flag, so nothing here may touch it after unlocking.
  std::lock_guard<std::mutex> guard(lock_);
  stop_ = true;
  cancel_.store(true);
  wake_.notify_all();
}

bool CWorkingThread::StopRequested() {
  std::lock_guard<std::mutex> guard(lock_);
  return stop_;
}

void CWorkingThread::SetDeletePlanOnExit(bool del) {
  std::lock_guard<std::mutex> guard(lock_);
  deletePlan_ = del;
}

namespace {

thread_local CWorkingThread* tCurrentThread = nullptr;

// Due times and the quiet time of a change are whole seconds of the clock
// (plat::Now), so polls fall just after each half second of that clock: a
// task is seen due as soon as it is, never up to a poll later. The lag lets
// the second turn for every reader of the clock.
constexpr int64_t kPollLagMs = 20;
// The shortest pause while changes settle: a burst is taken in batches.
constexpr int64_t kSettleLookMs = 100;

std::chrono::milliseconds UntilNextPoll() {
  using namespace std::chrono;
  const int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const int64_t period = CWorkingThread::kPollMs;
  const int64_t phase = ((ms - kPollLagMs) % period + period) % period;
  return milliseconds(period - phase);
}

}  // namespace

CWorkingThread* CWorkingThread::Current() { return tCurrentThread; }

void CWorkingThread::Run() {
  tCurrentThread = this;
  plat::SetThreadCancelFlag(&cancel_);
  std::unique_lock<std::mutex> guard(lock_);
  while (!stop_) {
    guard.unlock();
    queue_.Process();
    guard.lock();
    // The poll pause, to the next half second of the clock or until noted
    // changes settle (not sooner than kSettleLookMs); a stop request cuts it short.
    auto pause = UntilNextPoll();
    if (const int64_t settle = queue_.MsUntilChangesSettle(); settle >= 0)
      pause = std::min(pause, std::chrono::milliseconds(std::max<int64_t>(settle, kSettleLookMs)));
    wake_.wait_for(guard, pause, [this] { return stop_; });
  }
  plat::SetThreadCancelFlag(nullptr);
  tCurrentThread = nullptr;
}
