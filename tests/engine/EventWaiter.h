// Records what the channels it joins publish (both global ones by default); waits give up after
// a minute.
#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "common/EngineEvents.h"

namespace enginetest {

class EventWaiter : public CBaseClass {
 public:
  explicit EventWaiter(std::initializer_list<CMEvent*> channels = {&UiChannel(), &WorkerChannel()},
                       std::vector<int>* order = nullptr, int tag = 0)
      : order_(order), tag_(tag) {
    for (CMEvent* c : channels) Subscribe(c, this);
  }
  ~EventWaiter() override { DisconnectAll(); }
  void OnEvent(CMEvent*, const EventData& e) override {
    {
      std::lock_guard<std::mutex> g(lock_);
      events_.push_back(e);
      if (order_) order_->push_back(tag_);
      changed_.notify_all();
    }
    if (onEvent) onEvent(e);
  }
  std::vector<EventData> Events() {
    std::lock_guard<std::mutex> g(lock_);
    return events_;
  }
  size_t Count() { return Events().size(); }
  size_t CountOf(int32_t code) {
    size_t n = 0;
    for (const auto& e : Events()) n += e.code == code;
    return n;
  }
  std::vector<std::string> Texts() {  // text 1 of every event, in publishing order
    std::vector<std::string> texts;
    for (const auto& e : Events()) texts.push_back(e.text1);
    return texts;
  }
  // The first event with the code (and the plan, unless 0); code -1 after a hang.
  EventData WaitFor(int32_t code, uint32_t planId = 0) {
    std::unique_lock<std::mutex> g(lock_);
    EventData found;
    found.code = -1;
    changed_.wait_for(g, std::chrono::minutes(1), [&] {
      for (const auto& e : events_)
        if (e.code == code && (planId == 0 || e.planId == planId)) return (found = e, true);
      return false;
    });
    return found;
  }
  bool WaitForCount(size_t n) {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, std::chrono::minutes(1), [&] { return events_.size() >= n; });
  }
  std::function<void(const EventData&)> onEvent;  // called after recording; set while none flow
  void Clear() {
    std::lock_guard<std::mutex> g(lock_);
    events_.clear();
  }

 private:
  std::mutex lock_;  // guards events_ and *order_
  std::condition_variable changed_;
  std::vector<EventData> events_;
  std::vector<int>* order_;
  int tag_;
};

}  // namespace enginetest
