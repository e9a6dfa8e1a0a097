// Events and channels: stamps, subscription order, subscribers that edit or
// destroy their channel from inside OnEvent, the global channels and the
// bounded receiver, and the same under many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "EventWaiter.h"
#include "common/EngineEvents.h"
#include "platform/Clock.h"

using enginetest::EventWaiter;

namespace {

// Leaves, lets another join and publishes again, all from inside OnEvent;
// or destroys the channel.
class Editor : public CBaseClass {
 public:
  Editor(CMEvent* channel, CBaseClass* toAdd) : channel_(channel), toAdd_(toAdd) {}
  explicit Editor(std::unique_ptr<CMEvent>* doomed) : doomed_(doomed) {}
  ~Editor() override { DisconnectAll(); }
  void OnEvent(CMEvent*, const EventData&) override {
    ++calls;
    if (doomed_) return doomed_->reset();
    Unsubscribe(channel_, this);
    Subscribe(channel_, toAdd_);
    const EventData nested(kEvPlanModeChanged, {}, 1, {}, {}, 2);
    Publish(channel_, &nested);
  }
  int calls = 0;

 private:
  CMEvent* channel_ = nullptr;
  CBaseClass* toAdd_ = nullptr;
  std::unique_ptr<CMEvent>* doomed_ = nullptr;
};

// Subscription order, either side going first, and subscribers that edit or
// destroy their channel while it publishes.
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
  EXPECT_EQ(a.Sources(), std::vector<CMEvent*>{channel.get()});
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

  // "after" gets the nested event, then the outer one; "late" joined during
  // the outer publish and sees only the nested one.
  CMEvent reentrant("Re-entrant");
  EventWaiter late({}), after({});
  Editor editor(&reentrant, &late);
  Subscribe(&reentrant, &editor);
  Subscribe(&reentrant, &after);
  Publish(&reentrant, &e);
  EXPECT_EQ(editor.calls, 1);
  EXPECT_EQ(editor.ChannelCount(), 0u);
  ASSERT_EQ(after.Count(), 2u);
  EXPECT_EQ(after.Events()[0].code, kEvPlanModeChanged);
  EXPECT_EQ(after.Events()[1].code, kEvPlanCreated);
  ASSERT_EQ(late.Count(), 1u);
  EXPECT_EQ(late.Events()[0].code, kEvPlanModeChanged);

  auto doomed = std::make_unique<CMEvent>("Doomed");
  Editor killer(&doomed);
  EventWaiter never({});
  Subscribe(doomed.get(), &killer);
  Subscribe(doomed.get(), &never);
  Publish(doomed.get(), &e);
  EXPECT_EQ(doomed, nullptr);
  EXPECT_EQ(never.Count(), 0u) << "the rest of that publish is dropped";
  EXPECT_EQ(never.ChannelCount(), 0u);
  EXPECT_EQ(killer.ChannelCount(), 0u);
}

TEST(GlobalChannels, PostEventPicksTheChannelByThreadAndTheReceiverHolds200) {
  SetUiThread();
  EXPECT_EQ(GetUiThread(), plat::CurrentThreadId());
  CMessageReciever receiver;
  EXPECT_EQ(receiver.ChannelCount(), 2u);
  PostEvent(kEvPlanEnabled, {}, 4, {}, {}, 9);
  std::thread([] { PostEvent(kEvFileCopied, "C:\\x", 4, "E:\\Latest\\C\\x"); }).join();
  const EventData built(kEvPlanDeleted, "Old", 6, {}, {}, 0);
  std::thread([&] { PostEventRecord(built); }).join();
  CMEvent newFile("NewFile");  // the change monitor's own channels never reach it
  Publish(&newFile, &built);
  CMEvent* src = nullptr;
  EventData e;
  ASSERT_EQ(receiver.Count(), 3u);
  for (const auto& [channel, code] : {std::pair{&UiChannel(), kEvPlanEnabled},
                                      {&WorkerChannel(), kEvFileCopied},
                                      {&WorkerChannel(), kEvPlanDeleted}}) {
    ASSERT_TRUE(receiver.Pop(&src, &e));
    EXPECT_EQ(src, channel);
    EXPECT_EQ(e.code, code);
  }
  EXPECT_FALSE(receiver.Pop(&src, &e));
  // At most 200 queued: later ones are dropped until a pop makes room.
  for (int i = 0; i < 201; ++i) PostEvent(kEvFileNoted, "C:\\f", 1, {}, {}, i);
  EXPECT_EQ(receiver.Count(), CMessageReciever::kMaxQueued);
  ASSERT_TRUE(receiver.Pop(&src, &e));
  EXPECT_EQ(e.value, 0);  // oldest first
  PostEvent(kEvFileNoted, "C:\\f", 1, {}, {}, 1000);
  PostEvent(kEvFileNoted, "C:\\f", 1, {}, {}, 1001);  // full again: dropped
  std::vector<int> values;
  while (receiver.Pop(&src, &e)) values.push_back(e.value);
  ASSERT_EQ(values.size(), 200u);
  EXPECT_EQ(values[198], 199);
  EXPECT_EQ(values.back(), 1000);
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

// Destroying a subscriber waits for a publish running in it. Then publishers
// on two channels while other threads subscribe, leave, destroy subscribers
// and whole channels (run it under ThreadSanitizer for the lock order); a
// subscriber connected throughout gets every event once, in order.
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
