#include "common/CThread.h"

#include <system_error>

#include "platform/process/Clock.h"

CThread::~CThread() {
  std::lock_guard<std::mutex> guard(startLock_);
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

int CThread::Start(bool lowestPriority) {
  std::lock_guard<std::mutex> guard(startLock_);
  if (started_.exchange(true)) return 1;
  running_.store(true);
  try {
    thread_ = std::thread(&CThread::Body, this, lowestPriority);
  } catch (const std::system_error&) {
    running_.store(false);
    started_.store(false);
    return 1;
  }
  return 0;
}

void CThread::Join() {
  std::thread t;
  {
    std::lock_guard<std::mutex> guard(startLock_);
    if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) return;
    t = std::move(thread_);
  }
  t.join();
}

void CThread::Body(CThread* self, bool lowestPriority) {
  // Start holds the lock until thread_ is assigned; waiting for it here keeps
  // a quick body from deleting the object while Start still writes to it.
  { std::lock_guard<std::mutex> guard(self->startLock_); }
  self->threadId_.store(std::this_thread::get_id());
  if (lowestPriority) plat::SetCurrentThreadLowestPriority();
  self->Run();
  if (self->autoDelete_.load()) {
    delete self;  // the destructor detaches this thread
    return;
  }
  self->running_.store(false);
}
