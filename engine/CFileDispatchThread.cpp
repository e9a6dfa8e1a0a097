#include "engine/CFileDispatchThread.h"

#include <chrono>
#include <utility>

#include "plans/PlanList.h"

CFileDispatchThread::CFileDispatchThread(PlanList* list) : list_(list) {}

CFileDispatchThread::~CFileDispatchThread() {
  DisconnectAll();
  Stop();
}

void CFileDispatchThread::OnEvent(CMEvent*, const EventData& event) {
  if (event.code == kEvFileWritten) Enqueue(event.text1);
}

void CFileDispatchThread::Enqueue(std::string_view path) {
  if (path.empty()) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) return;
    queue_.emplace_back(path);
    signalled_ = true;
  }
  wake_.notify_one();
}

void CFileDispatchThread::Stop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) return;
    stopping_ = true;
    queue_.clear();
    signalled_ = true;
  }
  wake_.notify_one();
  Join();
}

size_t CFileDispatchThread::QueuedCount() {
  std::lock_guard<std::mutex> guard(lock_);
  return queue_.size();
}

void CFileDispatchThread::Run() {
  PlanList& list = list_ ? *list_ : PlanList::Instance();
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(lock_);
      wake_.wait_for(lock, std::chrono::milliseconds(kWaitMs), [this] { return signalled_; });
      signalled_ = false;
    }
    for (;;) {
      std::string path;
      {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_) return;
        if (queue_.empty()) break;
        path = std::move(queue_.front());
        queue_.pop_front();
      }
      list.OfferChangedFile(path);
    }
  }
}
