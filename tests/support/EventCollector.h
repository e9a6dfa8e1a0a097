// Collects every event published on both global channels while it lives.
#pragma once
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "common/EngineEvents.h"

namespace bvtest {

class EventCollector : public CBaseClass {
 public:
  EventCollector() {
    Subscribe(&UiChannel(), this);
    Subscribe(&WorkerChannel(), this);
  }
  ~EventCollector() override { DisconnectAll(); }
  void OnEvent(CMEvent*, const EventData& e) override {
    std::lock_guard<std::mutex> g(lock_);
    events_.push_back(e);
  }
  std::vector<EventData> Events() {
    std::lock_guard<std::mutex> g(lock_);
    return events_;
  }
  size_t CountOf(int32_t code) {
    std::lock_guard<std::mutex> g(lock_);
    return std::count_if(events_.begin(), events_.end(), [&](auto& e) { return e.code == code; });
  }
  // The first texts of the events with this code, in order.
  std::vector<std::string> Texts(int32_t code) {
    std::vector<std::string> out;
    for (const EventData& e : Events())
      if (e.code == code) out.push_back(e.text1);
    return out;
  }
  void Clear() {
    std::lock_guard<std::mutex> g(lock_);
    events_.clear();
  }

 private:
  std::mutex lock_;  // guards events_
  std::vector<EventData> events_;
};

}  // namespace bvtest
