// The change dispatch: queues the paths of written files (event 15 on the
// driver thread's "NewFile" channel) and offers them to the plan list on a
// thread of its own, so the driver thread never waits for plans.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/CThread.h"
#include "engine/EngineEvents.h"

class PlanList;

class CFileDispatchThread : public CThread, public CBaseClass {
 public:
  static constexpr int kWaitMs = 3000;

  // Offers paths to list, or to PlanList::Instance() when list is null.
  explicit CFileDispatchThread(PlanList* list = nullptr);
  // Leaves every channel, then stops and waits for the thread.
  ~CFileDispatchThread() override;

  // Event 15 enqueues its first text; other events are ignored.
  void OnEvent(CMEvent* source, const EventData& event) override;
  // Queues a copy of the path (an empty path, or any path once stopping, is
  // ignored) and wakes the thread.
  void Enqueue(std::string_view path);
  // Marks the queue stopping (once), drops the queued paths, wakes the thread
  // and waits for it to end.
  void Stop();
  size_t QueuedCount();

 protected:
  void Run() override;

 private:
  std::mutex lock_;  // guards queue_, stopping_ and signalled_
  std::condition_variable wake_;
  bool signalled_ = false;  // the auto-reset event
  bool stopping_ = false;
  std::deque<std::string> queue_;
  PlanList* list_;
};
