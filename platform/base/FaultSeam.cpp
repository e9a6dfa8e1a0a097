#include "platform/base/FaultSeam.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "platform/base/Errors.h"

namespace plat::fault {

namespace {
// Process-wide state; atomics so that calls from any thread count.
std::atomic<bool> g_armed{false};
std::atomic<bool> g_persistent{false};
std::atomic<bool> g_fired{false};
std::atomic<uint64_t> g_nth{0};
std::atomic<uint64_t> g_calls{0};
std::atomic<uint32_t> g_error{0};
thread_local bool t_exempt = false;
std::atomic<uint32_t> g_copyDelay{0};
std::once_flag g_copyDelayRead;  // the variable is read once, before the first use
}  // namespace

void SetCopyDelay(uint32_t ms) {
  std::call_once(g_copyDelayRead, [] {});
  g_copyDelay.store(ms);
}

uint32_t CopyDelay() {
  std::call_once(g_copyDelayRead, [] {
    if (const char* v = std::getenv("BREVANTO_FAULT_COPY_DELAY_MS")) {
      g_copyDelay.store(static_cast<uint32_t>(std::strtoul(v, nullptr, 10)));
    }
  });
  return g_copyDelay.load(std::memory_order_relaxed);
}

void ExemptThisThread() { t_exempt = true; }

void Arm(uint64_t nth, uint32_t error, bool persistent) {
  g_armed.store(false);
  g_calls.store(0);
  g_fired.store(false);
  g_nth.store(nth);
  g_error.store(error);
  g_persistent.store(persistent);
  g_armed.store(true);
}

void Disarm() { g_armed.store(false); }

bool Fired() { return g_fired.load(); }

uint64_t Calls() { return g_calls.load(); }

bool Hit() {
  if (!g_armed.load(std::memory_order_relaxed) || t_exempt) return false;
  const uint64_t n = g_calls.fetch_add(1) + 1;
  const uint64_t nth = g_nth.load();
  if (n == nth || (n > nth && g_persistent.load())) {
    g_fired.store(true);
    SetLastError(g_error.load());
    return true;
  }
  return false;
}

}  // namespace plat::fault
