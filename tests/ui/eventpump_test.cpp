// The engine-event pump and the activity log on a real Qt event loop; RunSoon.
#include <QEventLoop>

#include "UiTestKit.h"
#include "common/ActivityLog.h"
#include "engine/ActivityLogger.h"
#include "ui/main/EventPump.h"

namespace bvtest {
namespace {

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
    for (const auto& entry : std::filesystem::directory_iterator(dir_.NativeOf("log"), ec))
      all += ReadNative(entry.path().string());
    return all;
  }

  TempDir dir_;
  CEventPump pump_;
  std::vector<std::pair<CMEvent*, EventData>> seen_;
};

// Events reach the window and the log once each; past the bound the log still gets every one.
TEST_F(EventPumpTest, EventsReachTheWindowWithinTheBoundAndTheLogInFull) {
  CMEvent newFile("NewFile");  // the monitor's channels
  CMEvent launch("Launch");
  Counter dispatch;
  Subscribe(&newFile, &dispatch);
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
  workers.emplace_back([&] {
    const EventData written(kEvFileWritten, "C:\\written\\by\\driver.txt", 0, {}, {}, 0);
    const EventData launched(kEvLaunchReport, "C:\\launched\\app.exe", 0, {}, {}, 0);
    Publish(&newFile, &written);
    Publish(&launch, &launched);
    // Even a stray one on a global channel writes no record.
    PostEvent(kEvFileWritten, "C:\\stray\\written.txt", 1);
    PostEvent(kEvLaunchReport, "C:\\stray\\launched.exe", 1);
    PostEvent(kEvPlanEnabled, {}, 1, {}, {}, 0);  // marker: everything before it was handled
  });
  PostEvent(kEvPlanDisabled, {}, 1, {}, {}, 3);  // on the UI thread: the UI channel
  for (auto& w : workers) w.join();
  size_t fromUi = 0, copies = 0, markers = 0;
  ASSERT_TRUE(RunUntil([&] {
    fromUi = copies = markers = 0;
    for (const auto& [source, event] : seen_) {
      fromUi += source == &UiChannel();
      copies += event.code == kEvFileCopied && source == &WorkerChannel();
      markers += event.code == kEvPlanEnabled;
    }
    return copies == kThreads * kPerThread && fromUi == 1 && markers == 1;
  }));
  for (const auto& [source, event] : seen_) {
    EXPECT_TRUE(source == &UiChannel() || source == &WorkerChannel());
    EXPECT_EQ(event.code == kEvPlanDisabled, source == &UiChannel());
    EXPECT_EQ(event.text1.find("C:\\written"), std::string::npos);
    EXPECT_EQ(event.text1.find("C:\\launched"), std::string::npos);
  }
  EXPECT_EQ(dispatch.count.load(), 1);
  std::string log = LogText();
  EXPECT_EQ(CountOf(log, "#Backup File Success"), size_t(kThreads * kPerThread));
  EXPECT_EQ(CountOf(log, "#Plan Disabled"), 1u);
  EXPECT_EQ(CountOf(log, "Plan Name = Pump Plan"), size_t(kThreads * kPerThread + 2));
  for (int t = 0; t < kThreads; ++t)
    EXPECT_NE(log.find("Source Path = /src/t" + std::to_string(t) + "_24"), std::string::npos);
  EXPECT_EQ(log.find("written"), std::string::npos);
  EXPECT_EQ(log.find("launched"), std::string::npos);

  pump_.Stop();
  EXPECT_FALSE(pump_.IsRunning());
  seen_.clear();
  std::thread([] {
    for (int i = 0; i < 250; ++i)
      PostEvent(kEvFileCopied, "C:\\src\\f" + std::to_string(i), 1, "E:\\x");
  }).join();
  RunUntil([] { return false; }, 3 * CEventPump::kIntervalMs);  // a few periods: nothing taken
  EXPECT_EQ(pump_.Receiver().Count(), CMessageReciever::kMaxQueued);
  EXPECT_TRUE(seen_.empty());
  pump_.Start();
  ASSERT_TRUE(RunUntil([&] { return pump_.Receiver().Count() == 0 && seen_.size() >= 200; }));
  log = LogText();
  EXPECT_EQ(seen_.size(), 200u);
  EXPECT_EQ(seen_.back().second.text1, "C:\\src\\f199");
  EXPECT_EQ(CountOf(log, "#Backup File Success"), size_t(kThreads * kPerThread + 250));
  EXPECT_NE(log.find("Source Path = /src/f249\r"), std::string::npos);
  std::thread([] { PostEvent(kEvFileCopied, "C:\\src\\after", 1, "E:\\x"); }).join();
  ASSERT_TRUE(RunUntil([&] { return seen_.size() == 201; }));
  EXPECT_NE(LogText().find("Source Path = /src/after"), std::string::npos);
}

// A modal loop opened by deferred work gets a call posted before it began.
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
}  // namespace bvtest
