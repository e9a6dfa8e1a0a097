// The activity log's feed: a subscriber of both global event channels that
// keeps every event that writes a record, in posting order, in a queue
// without bound, apart from the window's bounded queue, which may drop. The
// records are written by whoever calls Flush: the window's event pump on
// every tick (on the interface thread, where the plan names are looked up as
// before), exit processing, tests. No posting thread waits for a file or
// takes the plan list's lock.
#pragma once
#include <deque>
#include <mutex>

#include "common/ActivityLog.h"
#include "common/EngineEvents.h"

class CActivityLogger : public CBaseClass {
 public:
  // The process's logger, writing to CLogSet::Instance().
  static CActivityLogger& Instance();

  explicit CActivityLogger(CLogSet* log);
  ~CActivityLogger() override;

  // Subscribes to both global channels (again after Stop).
  void Start();
  // Writes every queued event; returns how many were taken.
  size_t Flush();
  // Leaves the channels and writes what is queued.
  void Stop();
  size_t Queued();

  void OnEvent(CMEvent* source, const EventData& event) override;

 private:
  CLogSet* log_;
  std::mutex writeLock_;  // held while a batch is written, so batches keep their order
  std::mutex lock_;       // guards queue_
  std::deque<EventData> queue_;
};
