#include <atomic>

#include "common/EngineEvents.h"
#include "platform/process/Clock.h"

namespace {
std::atomic<uint32_t> g_uiThread{0};  // 0 until start-up names the UI thread
}  // namespace

CMEvent& UiChannel() {
  static CMEvent channel("Global Event");
  return channel;
}

CMEvent& WorkerChannel() {
  static CMEvent channel("Global Event");
  return channel;
}

void SetUiThread() { g_uiThread.store(plat::CurrentThreadId()); }

uint32_t GetUiThread() { return g_uiThread.load(); }

void PostEventRecord(const EventData& event) {
  const uint32_t ui = g_uiThread.load();
  CMEvent& channel = (ui != 0 && plat::CurrentThreadId() == ui) ? UiChannel() : WorkerChannel();
  Publish(&channel, &event);
}

void PostEvent(int32_t code, std::string_view text1, uint32_t planId, std::string_view text2,
               std::string_view text3, int32_t value) {
  const EventData event(code, text1, planId, text2, text3, value);
  PostEventRecord(event);
}
