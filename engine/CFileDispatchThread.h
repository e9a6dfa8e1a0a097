// The change dispatch: queues the paths of written files (event 15 on the
// driver thread's "NewFile" channel) and offers them to the plan list on a
// thread of its own, so the driver thread never waits for plans. The same
// thread keeps the change monitor told which folders the plans protect: it
// looks at the plans when it starts and at most once a second after that
// (at least every kWaitMs), and tells the monitor when the folders changed.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/CThread.h"
#include "common/EngineEvents.h"

class CChangeMonitor;
class PlanList;

class CFileDispatchThread : public CThread, public CBaseClass {
 public:
  static constexpr int kWaitMs = 3000;

  // Offers paths to list, or to PlanList::Instance() when list is null; tells
  // monitor (CChangeMonitor::Instance() when null) the protected folders.
  explicit CFileDispatchThread(PlanList* list = nullptr, CChangeMonitor* monitor = nullptr);
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

  // The folders the list's plans include (system paths, sorted, each once):
  // include items and group folders on a drive, cut before any wildcard.
  static std::vector<std::string> ProtectedFolders(PlanList& list);

 protected:
  void Run() override;

 private:
  std::mutex lock_;  // guards queue_, stopping_ and signalled_
  std::condition_variable wake_;
  bool signalled_ = false;  // the auto-reset event
  bool stopping_ = false;
  std::deque<std::string> queue_;
  PlanList* list_;
  CChangeMonitor* monitor_;
};
