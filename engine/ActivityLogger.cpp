#include "engine/ActivityLogger.h"

CActivityLogger& CActivityLogger::Instance() {
  static CActivityLogger logger(&CLogSet::Instance());
  return logger;
}

CActivityLogger::CActivityLogger(CLogSet* log) : log_(log) {}

CActivityLogger::~CActivityLogger() { Stop(); }

void CActivityLogger::Start() {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (running_) return;
    running_ = true;
    stopping_ = false;
  }
  thread_ = std::thread([this] { Run(); });
  Subscribe(&UiChannel(), this);
  Subscribe(&WorkerChannel(), this);
}

bool CActivityLogger::IsRunning() {
  std::lock_guard<std::mutex> g(lock_);
  return running_;
}

void CActivityLogger::OnEvent(CMEvent* /*source*/, const EventData& event) {
  if (!WritesLogRecord(event.code)) return;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (!running_ || stopping_) return;
    queue_.push_back(event);
    ++queued_;
  }
  changed_.notify_all();
}

void CActivityLogger::Flush() {
  std::unique_lock<std::mutex> g(lock_);
  const uint64_t target = queued_;
  changed_.wait(g, [&] { return !running_ || written_ >= target; });
}

void CActivityLogger::Stop() {
  // Publishes that are running finish first; nothing is queued afterwards.
  DisconnectAll();
  {
    std::lock_guard<std::mutex> g(lock_);
    if (!running_) return;
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> g(lock_);
  running_ = false;
}

void CActivityLogger::Run() {
  std::unique_lock<std::mutex> g(lock_);
  for (;;) {
    changed_.wait(g, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) break;  // stopping with nothing left
    EventData event = std::move(queue_.front());
    queue_.pop_front();
    g.unlock();
    log_->LogEvent(event);
    g.lock();
    ++written_;
    changed_.notify_all();
  }
}
