// The engine-event pump on a real Qt event loop (offscreen): events posted
// from worker threads and from the UI thread reach the window through it, the
// receiver's bound of 200 holds while the UI is not draining, while the
// activity log, written beside it, gets every record once, also those the
// pump dropped; the change monitor's own events (15, 16) never reach the log.
// (The view's own pump runs from its constructor: the view tests wait on it.)
// Work deferred with RunSoon may open a modal loop and still get what worker
// threads posted before it began.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/ActivityLog.h"
#include "common/EngineEvents.h"
#include "common/Settings.h"
#include "engine/ActivityLogger.h"
#include "support/QtApp.h"
#include "support/TempDir.h"
#include "ui/CBrevantoView.h"
#include "ui/EventPump.h"
#include "ui/RunSoon.h"

namespace {

using bvtest::App;

using bvtest::RunUntil;

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A subscriber that only counts, standing for the change dispatch.
class Counter : public CBaseClass {
 public:
  ~Counter() override { DisconnectAll(); }
  void OnEvent(CMEvent*, const EventData&) override { ++count; }
  std::atomic<int> count{0};
};

class EventPumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    SetUiThread();
    ASSERT_TRUE(CLogSet::Instance().SetLogFolder(dir_.SystemOf("log")));
    SetPlanInfoProvider([](uint32_t planId, PlanInfoForLog* info) {
      if (planId != 1) return false;
      info->name = "Pump Plan";
      info->scheduleUnit = 3;
      return true;
    });
    QObject::connect(&pump_, &CEventPump::eventArrived,
                     [this](CMEvent* source, const EventData& event) {
                       seen_.push_back({source, event});
                     });
  }
  void TearDown() override { SetPlanInfoProvider({}); }

  // Everything written to the log folder once the logger caught up.
  std::string LogText() const {
    CActivityLogger::Instance().Flush();
    std::string all;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.NativeOf("log"), ec)) {
      all += bvtest::ReadNative(entry.path().string());
    }
    return all;
  }

  bvtest::TempDir dir_;
  CEventPump pump_;
  std::vector<std::pair<CMEvent*, EventData>> seen_;
};

TEST_F(EventPumpTest, EventsFromWorkersAndUiThreadReachTheLog) {
  pump_.Start();
  ASSERT_TRUE(pump_.IsRunning());
  constexpr int kThreads = 4;
  constexpr int kPerThread = 25;  // 100 in all: below the bound even if nothing is drained
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([t] {
      for (int i = 0; i < kPerThread; ++i) {
        PostEvent(kEvFileCopied, "C:\\src\\t" + std::to_string(t) + "_" + std::to_string(i), 1,
                  "E:\\Store\\Latest\\C\\src\\f");
      }
    });
  }
  PostEvent(kEvPlanDisabled, {}, 1, {}, {}, 3);  // on the UI thread: the UI channel
  for (auto& w : workers) w.join();

  ASSERT_TRUE(RunUntil([&] { return seen_.size() == kThreads * kPerThread + 1; }));
  size_t fromUi = 0, fromWorkers = 0;
  for (const auto& [source, event] : seen_) {
    if (source == &UiChannel()) {
      ++fromUi;
      EXPECT_EQ(event.code, kEvPlanDisabled);
    } else {
      EXPECT_EQ(source, &WorkerChannel());
      ++fromWorkers;
    }
  }
  EXPECT_EQ(fromUi, 1u);
  EXPECT_EQ(fromWorkers, size_t(kThreads * kPerThread));

  // Each record once: the pump writes none of its own.
  const std::string log = LogText();
  EXPECT_EQ(CountOf(log, "#Backup File Success"), size_t(kThreads * kPerThread));
  EXPECT_EQ(CountOf(log, "#Plan Disabled"), 1u);
  EXPECT_EQ(CountOf(log, "Plan Name = Pump Plan"), size_t(kThreads * kPerThread + 1));
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_NE(log.find("Source Path = C:\\src\\t" + std::to_string(t) + "_24"), std::string::npos);
  }
  EXPECT_EQ(pump_.Receiver().Count(), 0u);
}

// A stopped pump drains nothing; a worker posts more than the bound
// meanwhile: the queue holds 200, the log gets every record.
TEST_F(EventPumpTest, QueueHoldsTwoHundredUntilDrainedThenAcceptsAgain) {
  pump_.Start();
  pump_.Stop();
  EXPECT_FALSE(pump_.IsRunning());
  std::thread worker([] {
    for (int i = 0; i < 250; ++i) {
      PostEvent(kEvFileCopied, "C:\\src\\f" + std::to_string(i), 1, "E:\\x");
    }
  });
  worker.join();
  // A few timer periods pass on the loop; nothing is taken.
  RunUntil([] { return false; }, 3 * CEventPump::kIntervalMs);
  EXPECT_EQ(pump_.Receiver().Count(), CMessageReciever::kMaxQueued);
  EXPECT_TRUE(seen_.empty());

  pump_.Start();
  ASSERT_TRUE(RunUntil([&] { return pump_.Receiver().Count() == 0 && seen_.size() >= 200; }));
  std::string log = LogText();
  // The window saw the first 200; the log has every one.
  EXPECT_EQ(seen_.size(), 200u);
  EXPECT_EQ(seen_.back().second.text1, "C:\\src\\f199");
  EXPECT_EQ(CountOf(log, "#Backup File Success"), 250u);
  EXPECT_NE(log.find("Source Path = C:\\src\\f249\r"), std::string::npos);

  std::thread again([] { PostEvent(kEvFileCopied, "C:\\src\\after", 1, "E:\\x"); });
  again.join();
  ASSERT_TRUE(RunUntil([&] { return seen_.size() == 201; }));
  log = LogText();
  EXPECT_EQ(CountOf(log, "#Backup File Success"), 251u);
  EXPECT_NE(log.find("Source Path = C:\\src\\after"), std::string::npos);
}

TEST_F(EventPumpTest, ChangeMonitorEventsNeverReachTheLog) {
  // The monitor's channels, as the driver and launch threads publish on them.
  CMEvent newFile("NewFile");
  CMEvent launch("Launch");
  Counter dispatch;
  Subscribe(&newFile, &dispatch);
  pump_.Start();

  std::thread worker([&] {
    const EventData written(kEvFileWritten, "C:\\written\\by\\driver.txt", 0, {}, {}, 0);
    const EventData launched(kEvLaunchReport, "C:\\launched\\app.exe", 0, {}, {}, 0);
    Publish(&newFile, &written);
    Publish(&launch, &launched);
    // Even a stray one on a global channel writes no record.
    PostEvent(kEvFileWritten, "C:\\stray\\written.txt", 1);
    PostEvent(kEvLaunchReport, "C:\\stray\\launched.exe", 1);
    PostEvent(kEvPlanEnabled, {}, 1, {}, {}, 0);  // marker: everything before it was handled
  });
  worker.join();
  ASSERT_TRUE(
      RunUntil([&] { return !seen_.empty() && seen_.back().second.code == kEvPlanEnabled; }));

  EXPECT_EQ(dispatch.count.load(), 1);
  for (const auto& [source, event] : seen_) {
    EXPECT_NE(source, &newFile);
    EXPECT_NE(source, &launch);
    EXPECT_NE(event.text1, "C:\\written\\by\\driver.txt");
    EXPECT_NE(event.text1, "C:\\launched\\app.exe");
  }
  const std::string log = LogText();
  EXPECT_EQ(CountOf(log, "#Plan Enabled"), 1u);
  EXPECT_EQ(log.find("written"), std::string::npos);
  EXPECT_EQ(log.find("launched"), std::string::npos);
}

// A window that opens from deferred work and waits inside its own loop for a
// worker's call, posted before that loop began (the restore's progress, the
// first-use wizard): the call arrives.
TEST(RunSoonTest, AModalLoopGetsCallsPostedBeforeItBegan) {
  App();
  QObject receiver;
  bool delivered = false;
  int ran = 0;
  bool seenInside = false;
  RunSoon(nullptr, [&] {
    ++ran;
    seenInside = RunUntil([&] { return delivered; }, 3000);
  });
  std::thread([&] {
    QMetaObject::invokeMethod(
        &receiver, [&] { delivered = true; }, Qt::QueuedConnection);
  }).join();
  ASSERT_TRUE(RunUntil([&] { return ran > 0 && delivered; }, 6000));
  EXPECT_TRUE(seenInside);
  RunUntil([] { return false; }, 50);
  EXPECT_EQ(ran, 1);
}

}  // namespace
