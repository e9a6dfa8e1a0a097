// A clock the test moves by hand: while one exists, every window timer made
// through MakeUiTimer runs on it and fires when Advance passes its time.
#pragma once
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "ui/widgets/UiTimer.h"

namespace bvtest {

class ManualClock {
 public:
  ManualClock() {
    previous_ = SetUiTimerFactory(
        [state = state_]() -> std::unique_ptr<CUiTimer> { return std::make_unique<Timer>(state); });
  }
  ~ManualClock() {
    SetUiTimerFactory(previous_);
    state_->now = -1;  // timers left behind never fire again
  }
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  int64_t Now() const { return state_->now; }

  // Fires due timers one at a time in time order (a handler may change them).
  void Advance(int64_t ms) {
    const int64_t target = state_->now + ms;
    for (;;) {
      Timer* next = nullptr;
      for (Timer* t : state_->timers) {
        if (t->active_ && t->due_ <= target && (next == nullptr || t->due_ < next->due_)) next = t;
      }
      if (next == nullptr) break;
      state_->now = next->due_;
      next->due_ += next->period_;
      next->FireNow();
    }
    state_->now = target;
  }

  size_t ActiveTimers() const {
    return static_cast<size_t>(std::count_if(state_->timers.begin(), state_->timers.end(),
                                             [](const Timer* t) { return t->active_; }));
  }

 private:
  class Timer;
  struct State {
    int64_t now = 0;
    std::vector<Timer*> timers;
  };

  class Timer : public CUiTimer {
   public:
    explicit Timer(std::shared_ptr<State> state) : state_(std::move(state)) {
      state_->timers.push_back(this);
    }
    ~Timer() override {
      auto& list = state_->timers;
      list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
    void Start(int periodMs) override {
      period_ = std::max(1, periodMs);
      due_ = state_->now + period_;
      active_ = state_->now >= 0;
    }
    void Stop() override { active_ = false; }
    bool IsActive() const override { return active_; }
    int Period() const override { return period_; }
    void FireNow() { Fire(); }

    std::shared_ptr<State> state_;
    bool active_ = false;
    int period_ = 0;
    int64_t due_ = 0;
  };

  std::shared_ptr<State> state_ = std::make_shared<State>();
  UiTimerFactory previous_;
};

}  // namespace bvtest
