// The USB notification window: offer order, the stopping answer, the list of
// plan identifiers and the events it leads to, and the missing times.
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "destinations/CUsbWindow.h"
#include "support/EventCollector.h"

namespace {

class FakeHandler : public IUsbHandler {
 public:
  FakeHandler(std::vector<int>* order, int name, uint32_t answer, uint32_t id, bool missing)
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

class UsbWindowTest : public testing::Test {
 protected:
  void SetUp() override {
    window_.SetMissingTimeSink([this](uint32_t id, int64_t t) {
      std::lock_guard<std::mutex> g(lock_);
      missing_.push_back({id, t});
    });
  }
  CUsbWindow window_;  // a window of the test's own, not the process's one
  std::vector<int> order_;
  std::mutex lock_;  // guards missing_
  std::vector<std::pair<uint32_t, int64_t>> missing_;
  bvtest::EventCollector events_;
};

TEST_F(UsbWindowTest, OffersInOrderAndStopsAtFirstAnswer) {
  FakeHandler a(&order_, 1, 0, 7, false), b(&order_, 2, 0, 8, false), c(&order_, 3, 5, 9, false),
      d(&order_, 4, 0, 10, false);
  for (auto* h : {&a, &b, &c, &d}) window_.AddHandler(h);
  window_.AddHandler(&a);  // registered once only
  EXPECT_EQ(window_.HandlerCount(), 4u);

  EXPECT_EQ(window_.OnDeviceChange(plat::kDbtDeviceArrival, nullptr, 0), 1u);
  EXPECT_EQ(order_, (std::vector<int>{1, 2, 3}));
  // Event 30 names the first listed plan; no missing time for an arrival.
  ASSERT_EQ(events_.CountOf(kEvUsbArrived), 1u);
  for (const auto& e : events_.Events()) {
    if (e.code == kEvUsbArrived) {
      EXPECT_EQ(e.planId, 7u);
    }
  }
  EXPECT_TRUE(missing_.empty());

  // Other device events come without a list and lead to no event.
  order_.clear();
  events_.Clear();
  window_.RemoveHandler(&c);
  EXPECT_EQ(window_.OnDeviceChange(0x0007, nullptr, 0), 1u);
  EXPECT_EQ(order_, (std::vector<int>{1, 2, 4}));
  EXPECT_FALSE(a.sawList);
  EXPECT_TRUE(events_.Events().empty());
}

TEST_F(UsbWindowTest, RemovalEventsAndRefusal) {
  FakeHandler quiet(&order_, 1, 0, 0, false), gone(&order_, 2, 0, 12, true),
      refuse(&order_, 3, CUsbWindow::kRefuseRemoval, 13, true);
  window_.AddHandler(&quiet);
  window_.AddHandler(&gone);

  EXPECT_EQ(window_.OnDeviceChange(plat::kDbtDeviceRemoveComplete, nullptr, 0), 1u);
  ASSERT_EQ(events_.CountOf(kEvUsbRemoved), 1u);
  ASSERT_EQ(missing_.size(), 1u);
  EXPECT_EQ(missing_[0].first, 12u);
  EXPECT_GT(missing_[0].second, 0);

  // A handler that refuses a removal makes the window deny the query.
  window_.AddHandler(&refuse);
  EXPECT_EQ(window_.OnDeviceChange(plat::kDbtDeviceQueryRemove, nullptr, 0),
            plat::kBroadcastQueryDeny);
  EXPECT_EQ(events_.CountOf(kEvUsbRemoved), 2u);

  // Nobody listed anything: no event.
  window_.RemoveHandler(&gone);
  window_.RemoveHandler(&refuse);
  events_.Clear();
  EXPECT_EQ(window_.OnDeviceChange(plat::kDbtDeviceQueryRemoveFailed, nullptr, 0), 1u);
  EXPECT_TRUE(events_.Events().empty());
}

}  // namespace
