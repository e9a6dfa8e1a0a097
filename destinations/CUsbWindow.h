// The USB notification window: receives the device-change broadcasts and
// offers each to the registered USB destinations in registration order.
// The window is created on first use and lives until process end; the
// broadcast thread of platform/ stands for its message loop, so the answers
// run on that thread, inside the handler list's lock.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/volumes/DeviceBroadcast.h"

// What a handler may add while answering arrival, query-remove,
// query-remove-failed or remove-complete.
struct UsbNotice {
  std::vector<uint32_t> list;     // plan identifiers; the first goes into event 30/31
  std::vector<uint32_t> missing;  // plans whose MissingTime becomes now
};

class IUsbHandler {
 public:
  virtual ~IUsbHandler() = default;
  // notice is null for other device events. A non-zero answer stops the
  // offer; 10005 refuses a query-remove.
  virtual uint32_t OnUsbDeviceChange(uint32_t event, const void* data, size_t size,
                                     UsbNotice* notice) = 0;
};

class CUsbWindow : public plat::IDeviceChangeRecipient {
 public:
  static constexpr uint32_t kRefuseRemoval = 10005;
  using MissingTimeSink = std::function<void(uint32_t planId, int64_t time)>;

  CUsbWindow();
  ~CUsbWindow() override;
  CUsbWindow(const CUsbWindow&) = delete;
  CUsbWindow& operator=(const CUsbWindow&) = delete;

  void AddHandler(IUsbHandler* handler);
  // Waits for an answer that is running, so the handler may go afterwards.
  void RemoveHandler(IUsbHandler* handler);
  size_t HandlerCount();
  // The handler list's lock. USB destinations guard their own state with it,
  // so their answers and their plan-thread calls never overlap.
  std::recursive_mutex& HandlerLock() { return handlersLock_; }

  // The device-change message: offers it to the handlers, then applies the
  // missing times and posts event 30 or 31 outside the lock. Answers the
  // query-deny value when the stopping handler answered 10005, else 1.
  uint32_t OnDeviceChange(uint32_t event, const void* data, size_t size) override;

  // Where "MissingTime" goes; an empty sink stands for the default one.
  void SetMissingTimeSink(MissingTimeSink sink);
  // The default sink of every window: the plan list installs one that stores
  // the time in the plan of that identifier (and saves its "Plan.ini").
  // Without one, missing times go nowhere.
  static void SetDefaultMissingTimeSink(MissingTimeSink sink);

 private:
  std::recursive_mutex handlersLock_;  // guards handlers_; held while handlers answer
  std::vector<IUsbHandler*> handlers_;
  std::mutex sinkLock_;   // guards sink_
  MissingTimeSink sink_;  // empty: the default sink
};

// Creates the window on first use (and starts the broadcast thread).
CUsbWindow* GetUsbWindow();
// Stops the broadcast thread at process end; the window stays.
void StopUsbWindow();
