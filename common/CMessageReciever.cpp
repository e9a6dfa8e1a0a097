#include "common/EngineEvents.h"

CMessageReciever::CMessageReciever() {
  Subscribe(&UiChannel(), this);
  Subscribe(&WorkerChannel(), this);
}

// Leaves the channels before the queue goes, so no publisher reaches it.
CMessageReciever::~CMessageReciever() { DisconnectAll(); }

void CMessageReciever::OnEvent(CMEvent* source, const EventData& event) {
  std::lock_guard<std::mutex> g(lock_);
  if (queue_.size() >= kMaxQueued) return;  // dropped: a worker never waits for the UI
  queue_.emplace_back(source, event);
}

bool CMessageReciever::Pop(CMEvent** source, EventData* event) {
  std::lock_guard<std::mutex> g(lock_);
  if (queue_.empty()) return false;
  if (source) *source = queue_.front().first;
  if (event) *event = std::move(queue_.front().second);
  queue_.pop_front();
  return true;
}

size_t CMessageReciever::Count() {
  std::lock_guard<std::mutex> g(lock_);
  return queue_.size();
}
