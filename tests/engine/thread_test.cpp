// The thread base, the task queue and the working thread, with test-local
// tasks on real threads.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "common/CThread.h"
#include "engine/CTask.h"
#include "engine/CWorkingThread.h"
#include "platform/Clock.h"

namespace {

// What ran, in order, on which thread, and how many tasks were deleted.
struct RunLog {
  std::mutex lock;  // guards every field
  std::condition_variable changed;
  std::vector<uint32_t> order;
  std::vector<std::thread::id> threads;
  int deleted = 0;

  void Ran(uint32_t key) {  // notified under the lock: the waiter may destroy the log
    std::lock_guard<std::mutex> g(lock);
    order.push_back(key);
    threads.push_back(std::this_thread::get_id());
    changed.notify_all();
  }
  void Deleted() {
    std::lock_guard<std::mutex> g(lock);
    ++deleted;
    changed.notify_all();
  }
  template <class Pred>
  void WaitFor(Pred pred) {
    std::unique_lock<std::mutex> g(lock);
    changed.wait(g, [&] { return pred(*this); });
  }
};

constexpr int64_t kFarAway = 20000000000LL;

// A task with explicit due times: `due` at first, `dueAfterRun` after each run.
class TestTask : public CTask {
 public:
  TestTask(RunLog* log, uint32_t key, int64_t due, bool unique = true,
           int64_t dueAfterRun = kFarAway)
      : CTask(0, 1, 2, key, unique), log_(log), dueAfterRun_(dueAfterRun) {
    SetNextDue(due);
  }
  ~TestTask() override { log_->Deleted(); }
  void Run() override {
    log_->Ran(Key());
    SetForced(false);
    if (onRun) onRun();
  }
  void PreCheck() override { ++preChecks; }
  void MarkRun() override {
    CTask::MarkRun();
    SetNextDue(dueAfterRun_);
  }
  CPlan* GetPlan() override { return nullptr; }
  bool IsBlocked() override { return blocked; }
  bool MissedScheduledBackup() override { return missed; }

  std::atomic<bool> blocked{false}, missed{false};
  std::atomic<int> preChecks{0};
  std::function<void()> onRun;

 private:
  RunLog* log_;
  int64_t dueAfterRun_;
};

class BodyThread : public CThread {
 public:
  explicit BodyThread(std::function<void()> body, std::promise<void>* gone = nullptr)
      : body_(std::move(body)), gone_(gone) {}
  ~BodyThread() override {
    if (gone_) gone_->set_value();
  }

 protected:
  void Run() override { body_(); }

 private:
  std::function<void()> body_;
  std::promise<void>* gone_;
};

TEST(ThreadBase, RunsOnceOnItsOwnThreadAtTheLowestPriorityWhenAsked) {
  std::thread::id bodyThread;
  int policy = -1, nice = -100;
  BodyThread t([&] {
    bodyThread = std::this_thread::get_id();
    policy = sched_getscheduler(0);
    nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  });
  ASSERT_EQ(t.Start(true), 0);
  t.Join();
  EXPECT_NE(bodyThread, std::this_thread::get_id());
  EXPECT_NE(bodyThread, std::thread::id());
  EXPECT_TRUE(policy == SCHED_IDLE || nice == 19) << policy << " " << nice;
  EXPECT_NE(sched_getscheduler(0), SCHED_IDLE) << "the caller keeps its priority";
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(t.Start(), 1) << "a thread object starts once";

  // Auto-delete: a body held until after Start, then bodies that may end before it returns.
  for (int i = 0; i < 50; ++i) {
    std::promise<void> gone, release;
    std::future<void> goneFuture = gone.get_future();
    std::shared_future<void> released = release.get_future().share();
    auto* self = new BodyThread(
        [released, i] {
          if (i == 0) released.wait();
        },
        &gone);
    self->SetAutoDelete(true);
    ASSERT_EQ(self->Start(i == 0), 0);
    release.set_value();
    goneFuture.wait();
  }
}

TEST(TaskQueue, OrderUniqueKeysRemovalAndWhatAPassRuns) {
  RunLog log;
  {
    CTaskQueue queue(nullptr);
    const int64_t t = kFarAway - 100;
    EXPECT_TRUE(queue.Add(new TestTask(&log, 1, t + 20)));
    EXPECT_TRUE(queue.Add(new TestTask(&log, 2, t)));
    EXPECT_TRUE(queue.Add(new TestTask(&log, 3, t + 10)));
    EXPECT_TRUE(queue.Add(new TestTask(&log, 4, t)));  // equal to 2: goes in front of it
    EXPECT_TRUE(queue.Add(new TestTask(&log, 5, t + 30, /*unique=*/false)));
    auto* twin = new TestTask(&log, 5, t + 1);
    EXPECT_FALSE(queue.Add(twin)) << "a unique task whose key is queued";
    delete twin;  // refused: still ours
    EXPECT_TRUE(queue.Add(new TestTask(&log, 5, t + 40, /*unique=*/false)));
    EXPECT_EQ(queue.Keys(), (std::list<uint32_t>{4, 2, 3, 1, 5, 5}));
    EXPECT_EQ(log.deleted, 1);
    EXPECT_TRUE(queue.RemoveByKey(5));
    EXPECT_EQ(log.deleted, 3);
    EXPECT_FALSE(queue.RemoveByKey(5));
    EXPECT_EQ(queue.Count(), 4u);
  }
  EXPECT_EQ(log.deleted, 7) << "the queue deletes what it holds";
  log.deleted = 0;

  // A pass runs the due, forced and free missed tasks once.
  CTaskQueue queue(nullptr);
  const int64_t now = plat::Now();
  queue.Add(new TestTask(&log, 1, now - 5));
  queue.Add(new TestTask(&log, 2, now - 10));
  queue.Add(new TestTask(&log, 3, now + 10000));
  queue.Add(new TestTask(&log, 4, now - 1, true, now - 1));  // due again at once
  queue.Process();
  EXPECT_EQ(log.order, (std::vector<uint32_t>{2, 1, 4}));
  // Run tasks go back behind the one not due; equal times: the last queued first.
  EXPECT_EQ(queue.Keys(), (std::list<uint32_t>{4, 3, 1, 2}));
  queue.Process();
  EXPECT_EQ(log.order, (std::vector<uint32_t>{2, 1, 4, 4}));

  // Only the first task is looked at: a queue of its own for the next one.
  CTaskQueue single(nullptr);
  auto* task = new TestTask(&log, 9, now + 10000);
  single.Add(task);
  log.order.clear();
  single.Process();
  EXPECT_TRUE(log.order.empty());
  EXPECT_EQ(task->preChecks.load(), 1) << "looked at even when not due";
  task->missed = true;
  task->blocked = true;
  single.Process();
  EXPECT_TRUE(log.order.empty()) << "missed but blocked: waits";
  task->blocked = false;
  single.Process();
  EXPECT_EQ(log.order, std::vector<uint32_t>{9}) << "missed and free: runs before its time";
  task->missed = false;
  task->SetForced(true);
  task->blocked = true;  // forced runs regardless; the task itself handles blocking
  single.Process();
  EXPECT_EQ(log.order, (std::vector<uint32_t>{9, 9}));
  EXPECT_FALSE(task->Forced());
}

// Due tasks run on the worker's thread; its polls follow the clock's half
// seconds, so a task due at a whole second runs just after that second
// begins wherever in a second the thread started; it stops when told (also
// during a run: that task is not queued again), auto-deletes, or is destroyed.
TEST(WorkingThread, RunsDueTasksOnTimeOnItsThreadAndStopsWhenToldOrDestroyed) {
  auto msOfSecond = [] {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() % 1000;
  };
  for (const std::string way : {"stop and join", "stop during a run", "auto-delete", "destroy"}) {
    SCOPED_TRACE(way);
    RunLog log;
    auto* worker = new CWorkingThread(nullptr);
    const int64_t due = way == "auto-delete" ? plat::Now() + 100000 : plat::Now() - 1;
    auto* task = new TestTask(&log, 1, due, true, way == "stop during a run" ? kFarAway : due);
    std::vector<int64_t> late;  // written on the worker's thread, read after Join
    if (way == "stop during a run") task->onRun = [worker] { worker->SetStop(); };
    if (way == "stop and join") {
      // 300 ms into a second: polls every 500 ms from there would be 300 ms late.
      while (msOfSecond() < 300 || msOfSecond() > 320) plat::SleepMs(2);
      task->SetNextDue(plat::Now() + 1);
      task->onRun = [&] {
        late.push_back(msOfSecond());
        task->SetNextDue(plat::Now() + 1);
      };
    }
    worker->Queue().Add(task);
    ASSERT_EQ(worker->Start(/*lowest=*/way != "stop and join"), 0);
    if (way == "stop and join") {
      log.WaitFor([](RunLog& l) { return l.order.size() >= 4; });
      worker->SetStop();
      worker->Join();
      EXPECT_FALSE(worker->IsRunning());
      for (auto id : log.threads) EXPECT_NE(id, std::this_thread::get_id());
      // A run held up by a busy machine may come later; most may not.
      EXPECT_GE(std::count_if(late.begin(), late.end(), [](int64_t ms) { return ms < 150; }), 3)
          << "ms after the second: " << testing::PrintToString(late);
    } else if (way == "stop during a run") {
      worker->Join();
      EXPECT_EQ(log.deleted, 1) << "a task out of the queue at the stop is not queued again";
      EXPECT_EQ(worker->Queue().Count(), 0u);
    } else if (way == "auto-delete") {
      worker->SetAutoDelete(true);
      worker->SetStop();
      log.WaitFor([](RunLog& l) { return l.deleted == 1; });  // with its queue and task
      EXPECT_TRUE(log.order.empty());
      continue;
    } else {
      log.WaitFor([](RunLog& l) { return !l.order.empty(); });
    }
    const size_t runs = log.order.size();
    delete worker;
    EXPECT_EQ(log.order.size(), runs);
    EXPECT_EQ(log.deleted, 1);
  }
}

}  // namespace
