// The activity log's writer: a subscriber of both global event channels that
// takes every event that writes a record, in posting order, into a queue
// without bound and writes it on a thread of its own. No event is lost when
// the window's bounded queue drops, no worker waits for a file, and plan
// names are looked up without any of the posting thread's locks held.
#pragma once
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "engine/ActivityLog.h"
#include "engine/EngineEvents.h"

class CActivityLogger : public CBaseClass {
 public:
  // The process's logger, writing to CLogSet::Instance().
  static CActivityLogger& Instance();

  explicit CActivityLogger(CLogSet* log);
  ~CActivityLogger() override;

  // Subscribes to both global channels and starts the writer (once; later
  // calls do nothing while it runs).
  void Start();
  // Returns once every event queued before the call is written.
  void Flush();
  // Leaves the channels, writes what is queued and ends the writer.
  void Stop();
  bool IsRunning();

  void OnEvent(CMEvent* source, const EventData& event) override;

 private:
  void Run();

  CLogSet* log_;
  std::mutex lock_;  // guards queue_, running_, stopping_, written_, queued_
  std::condition_variable changed_;
  std::deque<EventData> queue_;
  bool running_ = false;
  bool stopping_ = false;
  uint64_t queued_ = 0;   // events ever queued
  uint64_t written_ = 0;  // events ever taken and handled by the writer
  std::thread thread_;
};
