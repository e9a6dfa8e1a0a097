// The USB notification window: offer order, the stopping answer, the plan
// identifiers the handlers list and the events and missing times they lead to.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "destinations/CUsbWindow.h"
#include "support/EventCollector.h"

namespace {

class Handler : public IUsbHandler {
 public:
  Handler(std::vector<int>* order, int name, uint32_t answer, uint32_t id, bool missing)
      : order_(order), name_(name), answer_(answer), id_(id), missing_(missing) {}
  uint32_t OnUsbDeviceChange(uint32_t, const void*, size_t, UsbNotice* notice) override {
    order_->push_back(name_);
    sawList = notice != nullptr;
    if (notice != nullptr && id_ != 0) {
      notice->list.push_back(id_);
      if (missing_) notice->missing.push_back(id_);
    }
    return answer_;
  }
  bool sawList = false;

 private:
  std::vector<int>* order_;
  int name_;
  uint32_t answer_, id_;
  bool missing_;
};

TEST(UsbWindow, OffersInOrderUntilAnAnswerAndReportsWhatTheHandlersList) {
  CUsbWindow window;  // the test's own, not the process's one
  std::mutex lock;    // guards missing
  std::vector<std::pair<uint32_t, int64_t>> missing;
  window.SetMissingTimeSink([&](uint32_t id, int64_t t) {
    std::lock_guard<std::mutex> g(lock);
    missing.push_back({id, t});
  });
  bvtest::EventCollector events;
  std::vector<int> order;
  Handler a(&order, 1, 0, 7, false), b(&order, 2, 0, 0, false), c(&order, 3, 5, 9, false),
      d(&order, 4, 0, 12, true), refuse(&order, 5, CUsbWindow::kRefuseRemoval, 13, true);
  for (auto* h : {&a, &b, &c, &d, &a}) window.AddHandler(h);
  EXPECT_EQ(window.HandlerCount(), 4u) << "registered once only";

  // Event 30 names the first listed plan; the offer stops at c's answer.
  EXPECT_EQ(window.OnDeviceChange(plat::kDbtDeviceArrival, nullptr, 0), 1u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  ASSERT_EQ(events.CountOf(kEvUsbArrived), 1u);
  EXPECT_EQ(events.Events().back().planId, 7u);
  EXPECT_TRUE(missing.empty()) << "no missing time for an arrival";

  // Other device events come without a list and lead to no event.
  order.clear();
  events.Clear();
  window.RemoveHandler(&c);
  EXPECT_EQ(window.OnDeviceChange(0x0007, nullptr, 0), 1u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 4}));
  EXPECT_FALSE(a.sawList);
  EXPECT_TRUE(events.Events().empty());

  window.RemoveHandler(&a);
  EXPECT_EQ(window.OnDeviceChange(plat::kDbtDeviceRemoveComplete, nullptr, 0), 1u);
  ASSERT_EQ(events.CountOf(kEvUsbRemoved), 1u);
  EXPECT_EQ(events.Events().back().planId, 12u);
  ASSERT_EQ(missing.size(), 1u);
  EXPECT_EQ(missing[0].first, 12u);
  EXPECT_GT(missing[0].second, 0);

  // A handler that refuses a removal makes the window deny the query.
  window.AddHandler(&refuse);
  EXPECT_EQ(window.OnDeviceChange(plat::kDbtDeviceQueryRemove, nullptr, 0),
            plat::kBroadcastQueryDeny);
  EXPECT_EQ(events.CountOf(kEvUsbRemoved), 2u);

  // Nobody listed anything: no event.
  window.RemoveHandler(&d);
  window.RemoveHandler(&refuse);
  events.Clear();
  EXPECT_EQ(window.OnDeviceChange(plat::kDbtDeviceQueryRemoveFailed, nullptr, 0), 1u);
  EXPECT_TRUE(events.Events().empty());
}

}  // namespace
