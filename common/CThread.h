// Thread base: a virtual body and an auto-delete flag (the object deletes
// itself when its body returns).
#pragma once
#include <atomic>
#include <mutex>
#include <thread>

class CThread {
 public:
  CThread() = default;
  // Joins a thread that is not auto-deleting (derived classes stop their body
  // first); on the thread itself (auto-delete) the thread is detached.
  virtual ~CThread();
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  // 0 on success, 1 when the thread cannot be created (or was started before).
  int Start(bool lowestPriority = false);
  // Waits for the body to end (never call from the thread itself).
  void Join();
  bool IsRunning() const { return running_.load(); }
  // Set before the body may return; an auto-deleting object must not be used
  // by anyone else afterwards.
  void SetAutoDelete(bool autoDelete) { autoDelete_.store(autoDelete); }
  bool AutoDelete() const { return autoDelete_.load(); }
  // True when called on this object's thread.
  bool IsCurrentThread() const { return threadId_.load() == std::this_thread::get_id(); }

 protected:
  virtual void Run() = 0;

 private:
  static void Body(CThread* self, bool lowestPriority);
  std::mutex startLock_;  // guards thread_ while Start assigns it
  std::thread thread_;
  std::atomic<std::thread::id> threadId_{};
  std::atomic<bool> running_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> autoDelete_{false};
};
