#include "engine/ActivityLogger.h"

CActivityLogger& CActivityLogger::Instance() {
  static CActivityLogger logger(&CLogSet::Instance());
  return logger;
}

CActivityLogger::CActivityLogger(CLogSet* log) : log_(log) {}

CActivityLogger::~CActivityLogger() { Stop(); }

void CActivityLogger::Start() {
  Subscribe(&UiChannel(), this);
  Subscribe(&WorkerChannel(), this);
}

void CActivityLogger::OnEvent(CMEvent* /*source*/, const EventData& event) {
  if (!WritesLogRecord(event.code)) return;
  std::lock_guard<std::mutex> g(lock_);
  queue_.push_back(event);
}

size_t CActivityLogger::Queued() {
  std::lock_guard<std::mutex> g(lock_);
  return queue_.size();
}

size_t CActivityLogger::Flush() {
  std::lock_guard<std::mutex> w(writeLock_);
  std::deque<EventData> batch;
  {
    std::lock_guard<std::mutex> g(lock_);
    batch.swap(queue_);
  }
  log_->LogEvents(batch);
  return batch.size();
}

void CActivityLogger::Stop() {
  // Publishes that are running finish first; nothing is queued afterwards.
  DisconnectAll();
  Flush();
}
