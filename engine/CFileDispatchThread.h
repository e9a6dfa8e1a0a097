// The change dispatch: queues the paths of written files (event 15 on the
// driver thread's "NewFile" channel) and offers them to the plan list on a
// thread of its own, so the driver thread never waits for plans. The same
// thread keeps the change monitor told which folders the plans protect: it
// looks at the plans when it starts and at most once a second after that
// (at least every kWaitMs), and tells the monitor when the folders changed.
// A protected folder that the monitor reports elsewhere (a link, a folder
// below one, a mount of another folder) has its files offered under the
// folder's own path as well.
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
class CPlan;
class PlanList;

class CFileDispatchThread : public CThread, public CBaseClass {
 public:
  static constexpr int kWaitMs = 3000;
  static constexpr int kLookWaitMs = 10000;

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
  // Has the thread look at the plans at once and tell the monitor their
  // folders; returns once it did, once it stops, or after kLookWaitMs.
  void WatchNow();

  // The folders the list's plans include (system paths, sorted, each once):
  // include items and group folders on a drive, cut before any wildcard.
  static std::vector<std::string> ProtectedFolders(PlanList& list);

 protected:
  void Run() override;

 private:
  std::mutex lock_;  // guards queue_, stopping_, signalled_ and the look counts
  std::condition_variable wake_;
  std::condition_variable looked_;  // a look asked for by WatchNow is done
  uint64_t looksAsked_ = 0, looksDone_ = 0;
  bool signalled_ = false;  // the auto-reset event
  bool stopping_ = false;
  std::deque<std::string> queue_;
  PlanList* list_;
  CChangeMonitor* monitor_;
};

// Before a walk over plan's folders: has the change dispatch of the plan's
// list watch them first, so that a file written during or just after the walk
// is reported. Nothing when the list has no change dispatch.
void WatchBeforeWalk(CPlan* plan);
