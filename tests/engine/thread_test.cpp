// The task queue, the working thread and the event channels, on real threads.
#include <sched.h>
#include <sys/resource.h>

#include <functional>
#include <list>

#include "TaskWorld.h"

using enginetest::EventWaiter;

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
  void PreCheck() override {}
  void MarkRun() override {
    CTask::MarkRun();
    SetNextDue(dueAfterRun_);
  }
  CPlan* GetPlan() override { return nullptr; }
  bool IsBlocked() override { return blocked; }

  std::atomic<bool> blocked{false};
  std::function<void()> onRun;

 private:
  RunLog* log_;
  int64_t dueAfterRun_;
};

// A pass runs due tasks in order, forced ones early; unique keys; the queue deletes what it drops.
TEST(TaskQueue, WhatAPassRunsUniqueKeysAndRemoval) {
  RunLog log;
  const int64_t now = plat::Now();
  {
    CTaskQueue queue(nullptr);
    EXPECT_TRUE(queue.Add(new TestTask(&log, 1, now - 5)));
    EXPECT_TRUE(queue.Add(new TestTask(&log, 2, now - 10, true, now - 1)));  // due again at once
    EXPECT_TRUE(queue.Add(new TestTask(&log, 3, now + 10000)));
    auto* twin = new TestTask(&log, 3, now);
    EXPECT_FALSE(queue.Add(twin)) << "a unique task whose key is queued";
    delete twin;  // refused: still ours
    queue.Process();
    queue.Process();
    EXPECT_EQ(log.order, (std::vector<uint32_t>{2, 1, 2}));
    EXPECT_TRUE(queue.RemoveByKey(1));
    EXPECT_FALSE(queue.RemoveByKey(1));
    EXPECT_EQ(log.deleted, 2);
    EXPECT_EQ(queue.Keys(), (std::list<uint32_t>{2, 3}));
  }
  EXPECT_EQ(log.deleted, 4) << "the queue deletes what it holds";
}

// Due tasks run on time on the worker's thread; it starts once, stops when told, auto-deletes.
TEST(WorkingThread, RunsDueTasksOnTimeOnItsThreadAndStopsWhenToldOrDestroyed) {
  auto msOfSecond = [] {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() % 1000;
  };
  for (const std::string way : {"stop and join", "stop during a run", "destroy"}) {
    SCOPED_TRACE(way);
    RunLog log;
    auto* worker = new CWorkingThread(nullptr);
    const int64_t due = plat::Now() - 1;
    auto* task = new TestTask(&log, 1, due, true, way == "stop during a run" ? kFarAway : due);
    std::vector<int64_t> late;  // written on the worker's thread, read after Join
    int policy = -1, nice = -100;
    if (way == "stop during a run") {
      task->onRun = [&] {
        policy = sched_getscheduler(0);
        nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
        worker->SetStop();
      };
    }
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
      EXPECT_TRUE(policy == SCHED_IDLE || nice == 19) << policy << " " << nice;
      EXPECT_NE(sched_getscheduler(0), SCHED_IDLE) << "the caller keeps its priority";
      EXPECT_EQ(worker->Start(), 1) << "a thread object starts once";
    } else {
      log.WaitFor([](RunLog& l) { return !l.order.empty(); });
    }
    const size_t runs = log.order.size();
    delete worker;
    EXPECT_EQ(log.order.size(), runs);
    EXPECT_EQ(log.deleted, 1);
  }
  RunLog quick;  // auto-deleting workers told to stop before they start
  for (int i = 1; i <= 50; ++i) {
    auto* worker = new CWorkingThread(nullptr);
    worker->Queue().Add(new TestTask(&quick, 1, kFarAway));
    worker->SetAutoDelete(true);
    worker->SetStop();
    ASSERT_EQ(worker->Start(i % 2), 0);
    quick.WaitFor([i](RunLog& l) { return l.deleted == i; });  // with its queue and task
  }
}

// Subscription order, either side going first, and subscribers that edit or destroy the channel.
TEST(Channel, PublishesInOrderWhileSubscribersComeGoAndEditIt) {
  auto channel = std::make_unique<CMEvent>("Test");
  CMEvent other("B");
  std::vector<int> order;
  EventWaiter a({}, &order, 1), b({}, &order, 2), stays({}, &order, 3);
  auto gone = std::make_unique<EventWaiter>(std::initializer_list<CMEvent*>{});
  for (EventWaiter* s : {&b, &a, &stays, &a, gone.get()}) Subscribe(channel.get(), s);
  Subscribe(&other, gone.get());
  EXPECT_EQ(channel->SubscriberCount(), 4u) << "a second subscription adds nothing";
  const EventData e(kEvPlanCreated, "Docs", 3, {}, {}, 0);
  Publish(channel.get(), &e);
  Publish(channel.get(), nullptr);  // ignored
  Publish(nullptr, &e);             // ignored
  EXPECT_EQ(order, (std::vector<int>{2, 1, 3}));
  Unsubscribe(channel.get(), &a);
  EXPECT_EQ(a.ChannelCount(), 0u);
  Publish(channel.get(), &e);
  EXPECT_EQ(order, (std::vector<int>{2, 1, 3, 2, 3}));
  gone.reset();
  EXPECT_EQ(channel->SubscriberCount(), 2u);
  EXPECT_EQ(other.SubscriberCount(), 0u);
  channel.reset();
  EXPECT_EQ(stays.ChannelCount(), 0u);
  Unsubscribe(&other, &stays);  // leaving a channel it never joined touches nothing

  // One leaves, lets "late" join and publishes again: "late" gets only the nested event.
  CMEvent reentrant("Re-entrant");
  EventWaiter editor({}), late({}), after({});
  const EventData nested(kEvPlanModeChanged, {}, 1, {}, {}, 2);
  editor.onEvent = [&](const EventData&) {
    Unsubscribe(&reentrant, &editor);
    Subscribe(&reentrant, &late);
    Publish(&reentrant, &nested);
  };
  Subscribe(&reentrant, &editor);
  Subscribe(&reentrant, &after);
  Publish(&reentrant, &e);
  EXPECT_EQ(editor.Count(), 1u);
  EXPECT_EQ(editor.ChannelCount(), 0u);
  ASSERT_EQ(after.Count(), 2u);
  EXPECT_EQ(after.Events()[0].code, kEvPlanModeChanged);
  EXPECT_EQ(after.Events()[1].code, kEvPlanCreated);
  ASSERT_EQ(late.Count(), 1u);
  EXPECT_EQ(late.Events()[0].code, kEvPlanModeChanged);

  auto doomed = std::make_unique<CMEvent>("Doomed");  // destroyed inside OnEvent
  EventWaiter killer({}), never({});
  killer.onEvent = [&](const EventData&) { doomed.reset(); };
  Subscribe(doomed.get(), &killer);
  Subscribe(doomed.get(), &never);
  Publish(doomed.get(), &e);
  EXPECT_EQ(doomed, nullptr);
  EXPECT_EQ(never.Count(), 0u) << "the rest of that publish is dropped";
  EXPECT_EQ(never.ChannelCount(), 0u);
  EXPECT_EQ(killer.ChannelCount(), 0u);
}

// Blocks inside OnEvent until released, to hold a publish open.
class Gate : public CBaseClass {
 public:
  ~Gate() override {
    DisconnectAll();
    finishedBeforeDisconnect = finished.load();
  }
  void OnEvent(CMEvent*, const EventData&) override {
    std::unique_lock<std::mutex> l(m);
    entered = true;
    cv.notify_all();
    cv.wait(l, [&] { return released; });
    finished = true;
  }
  std::mutex m;  // guards entered and released
  std::condition_variable cv;
  bool entered = false, released = false;
  std::atomic<bool> finished{false};
  static inline std::atomic<bool> finishedBeforeDisconnect{false};
};

// Destroying a subscriber waits for its publish; under churn a steady one gets every event once.
TEST(Concurrency, PublishWhileSubscribersAndChannelsComeAndGo) {
  CMEvent busy("Busy");
  auto gate = std::make_unique<Gate>();
  Subscribe(&busy, gate.get());
  Gate* g = gate.get();
  std::thread publisher([&] {
    const EventData e(kEvFileCopied, "C:\\a", 1, {}, {}, 0);
    Publish(&busy, &e);
  });
  {
    std::unique_lock<std::mutex> l(g->m);
    g->cv.wait(l, [&] { return g->entered; });
  }
  std::thread destroyer([&] { gate.reset(); });
  plat::SleepMs(50);  // a chance to block on the running publish; checked either way
  {
    std::lock_guard<std::mutex> l(g->m);  // notified under the lock: the gate may go after
    g->released = true;
    g->cv.notify_all();
  }
  EventWaiter late({&busy});  // subscribing meanwhile waits for the channel too
  publisher.join();
  destroyer.join();
  EXPECT_TRUE(Gate::finishedBeforeDisconnect.load());
  EXPECT_EQ(busy.SubscriberCount(), 1u);

  CMEvent a("A"), b("B");
  EventWaiter steadyA({&a}), steadyB({&b});
  constexpr int kPublishes = 2000;
  std::atomic<bool> stop{false};
  std::vector<std::thread> publishers, churn;
  for (CMEvent* ch : {&a, &b}) {
    publishers.emplace_back([ch] {
      for (int i = 0; i < kPublishes; ++i) {
        const EventData e(kEvFileNoted, "C:\\p", 1, {}, {}, i);
        Publish(ch, &e);
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    churn.emplace_back([&, t] {
      for (int round = 0; !stop.load(); ++round) {
        auto r = std::make_unique<EventWaiter>(std::initializer_list<CMEvent*>{t ? &a : &b});
        Subscribe(t ? &b : &a, r.get());
        if (round % 2) Unsubscribe(&a, r.get());
      }
    });
  }
  churn.emplace_back([&] {
    while (!stop.load()) {
      auto ch = std::make_unique<CMEvent>("Short");
      auto r = std::make_unique<EventWaiter>(std::initializer_list<CMEvent*>{ch.get(), &a});
      std::thread killer([&] { r.reset(); });
      const EventData e(kEvRunEnds, {}, 2, {}, {}, 0);
      Publish(ch.get(), &e);
      ch.reset();
      killer.join();
    }
  });
  for (auto& t : publishers) t.join();
  stop = true;
  for (auto& t : churn) t.join();
  EXPECT_EQ(steadyB.Count(), static_cast<size_t>(kPublishes));
  EXPECT_EQ(a.SubscriberCount(), 1u);
  EXPECT_EQ(b.SubscriberCount(), 1u);
  const auto events = steadyA.Events();
  ASSERT_EQ(events.size(), static_cast<size_t>(kPublishes));
  for (size_t i = 0; i < events.size(); ++i) ASSERT_EQ(events[i].value, static_cast<int>(i));
}

}  // namespace
