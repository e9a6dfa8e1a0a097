#include "destinations/CUsbWindow.h"

#include <algorithm>

#include "common/EngineEvents.h"
#include "platform/process/Clock.h"

namespace {
std::mutex gDefaultSinkLock;  // guards gDefaultSink
CUsbWindow::MissingTimeSink gDefaultSink;
}  // namespace

CUsbWindow::CUsbWindow() = default;

CUsbWindow::~CUsbWindow() = default;

void CUsbWindow::AddHandler(IUsbHandler* handler) {
  std::lock_guard<std::recursive_mutex> g(handlersLock_);
  if (std::find(handlers_.begin(), handlers_.end(), handler) == handlers_.end())
    handlers_.push_back(handler);
}

void CUsbWindow::RemoveHandler(IUsbHandler* handler) {
  std::lock_guard<std::recursive_mutex> g(handlersLock_);
  handlers_.erase(std::remove(handlers_.begin(), handlers_.end(), handler), handlers_.end());
}

size_t CUsbWindow::HandlerCount() {
  std::lock_guard<std::recursive_mutex> g(handlersLock_);
  return handlers_.size();
}

void CUsbWindow::SetMissingTimeSink(MissingTimeSink sink) {
  std::lock_guard<std::mutex> g(sinkLock_);
  sink_ = std::move(sink);
}

void CUsbWindow::SetDefaultMissingTimeSink(MissingTimeSink sink) {
  std::lock_guard<std::mutex> g(gDefaultSinkLock);
  gDefaultSink = std::move(sink);
}

uint32_t CUsbWindow::OnDeviceChange(uint32_t event, const void* data, size_t size) {
  const bool listed = event == plat::kDbtDeviceArrival || event == plat::kDbtDeviceQueryRemove ||
                      event == plat::kDbtDeviceQueryRemoveFailed ||
                      event == plat::kDbtDeviceRemoveComplete;
  UsbNotice notice;
  uint32_t answer = 0;
  {
    std::lock_guard<std::recursive_mutex> g(handlersLock_);
    for (IUsbHandler* h : handlers_) {
      answer = h->OnUsbDeviceChange(event, data, size, listed ? &notice : nullptr);
      if (answer != 0) break;
    }
  }
  // The plan lock is taken only now: plans call into their destination (and
  // so into the handler lock) while holding it.
  if (listed) {
    if (!notice.missing.empty()) {
      MissingTimeSink sink;
      {
        std::lock_guard<std::mutex> g(sinkLock_);
        sink = sink_;
      }
      if (!sink) {
        std::lock_guard<std::mutex> g(gDefaultSinkLock);
        sink = gDefaultSink;
      }
      const int64_t now = plat::Now();
      if (sink)
        for (uint32_t id : notice.missing) sink(id, now);
    }
    if (!notice.list.empty()) {
      const bool gone =
          event == plat::kDbtDeviceQueryRemove || event == plat::kDbtDeviceRemoveComplete;
      PostEvent(gone ? kEvUsbRemoved : kEvUsbArrived, {}, notice.list.front());
    }
  }
  return answer == kRefuseRemoval ? plat::kBroadcastQueryDeny : 1;
}

namespace {
std::mutex gWindowLock;  // guards gWindow
CUsbWindow* gWindow = nullptr;
}  // namespace

CUsbWindow* GetUsbWindow() {
  std::lock_guard<std::mutex> g(gWindowLock);
  if (gWindow == nullptr) {
    // Never destroyed: USB destinations of plans torn down at process end may
    // still unregister from it.
    gWindow = new CUsbWindow;
    plat::DeviceBroadcaster::Instance().AddRecipient(gWindow);
    plat::DeviceBroadcaster::Instance().Start();
  }
  return gWindow;
}

void StopUsbWindow() { plat::DeviceBroadcaster::Instance().Stop(); }
