// RetryPause: how soon a request that a server keeps refusing is tried again,
// so that a refusing server is not asked at every look: at once while no more
// than atOnce tries failed in a row, then a minute after the last one, from
// the 21st on five minutes after it (as a failing file). Shared between
// threads.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/process/Clock.h"

class RetryPause {
 public:
  explicit RetryPause(int atOnce) : atOnce_(atOnce) {}
  // Whether the request may be tried now.
  bool Due() const {
    const int failures = failures_;
    if (failures <= atOnce_) return true;
    const uint64_t pauseMs = failures > kLongAfter ? kLongPauseMs : kPauseMs;
    return plat::GetTickCount64() - triedMs_ >= pauseMs;
  }
  // One more try that failed, now.
  void Failed() {
    ++failures_;
    triedMs_ = plat::GetTickCount64();
  }
  // A try that worked, or a reason to try at once again (settings changed).
  void Reset() { failures_ = 0; }
  int Failures() const { return failures_; }

 private:
  static constexpr int kLongAfter = 20;
  static constexpr uint64_t kPauseMs = 60000;
  static constexpr uint64_t kLongPauseMs = 300000;
  const int atOnce_;
  std::atomic<int> failures_{0};      // failed tries in a row
  std::atomic<uint64_t> triedMs_{0};  // when the last one ended (monotonic ms)
};
