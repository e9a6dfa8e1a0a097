// Device-change broadcasts: changes of the volume table (the mount table, or
// the override file) turned into the arrival and remove-complete messages a
// Windows program receives, plus handle broadcasts for registered volume
// handles. One watch thread delivers them to the registered recipients.
// Linux has no query-remove: those messages are only ever made by tests.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/volumes/VolumeHandles.h"
#include "platform/volumes/Volumes.h"

namespace plat {

// Device events of the device-change message.
enum : uint32_t {
  kDbtDeviceArrival = 0x8000,
  kDbtDeviceQueryRemove = 0x8001,
  kDbtDeviceQueryRemoveFailed = 0x8002,
  kDbtDeviceRemovePending = 0x8003,
  kDbtDeviceRemoveComplete = 0x8004,
};
// Kinds of broadcast header.
enum : uint32_t { kDbtDevtypVolume = 2, kDbtDevtypHandle = 6 };
// The answer that refuses a query-remove.
inline constexpr uint32_t kBroadcastQueryDeny = 0x424D5144;

struct BroadcastHeader {
  uint32_t size;
  uint32_t deviceType;
  uint32_t reserved;
};
struct BroadcastVolume {
  uint32_t size;
  uint32_t deviceType;  // kDbtDevtypVolume
  uint32_t reserved;
  uint32_t unitMask;  // bit 0 = A:
  uint16_t flags;
};
struct BroadcastHandle {
  uint32_t size;
  uint32_t deviceType;  // kDbtDevtypHandle
  uint32_t reserved;
  uint32_t pad;
  uint64_t handle;        // the volume handle the notification was made for
  uint64_t notification;  // the notification registration
};

using DeviceNotification = uint64_t;

// Receives device-change messages on the broadcast thread.
class IDeviceChangeRecipient {
 public:
  virtual ~IDeviceChangeRecipient() = default;
  // data is the broadcast header (may be null); the answer of the message.
  virtual uint32_t OnDeviceChange(uint32_t event, const void* data, size_t size) = 0;
};

class DeviceBroadcaster {
 public:
  static DeviceBroadcaster& Instance();
  ~DeviceBroadcaster();
  DeviceBroadcaster(const DeviceBroadcaster&) = delete;
  DeviceBroadcaster& operator=(const DeviceBroadcaster&) = delete;

  // Volume broadcasts go to every recipient. Removing waits for a delivery
  // that is running, so the recipient may be destroyed afterwards.
  void AddRecipient(IDeviceChangeRecipient* recipient);
  void RemoveRecipient(IDeviceChangeRecipient* recipient);

  // Handle broadcasts about a volume handle go to the recipient registered
  // for it. 0 when the handle is unknown or the recipient is null.
  DeviceNotification RegisterNotification(IDeviceChangeRecipient* recipient, VolumeHandle handle);
  bool UnregisterNotification(DeviceNotification notification);
  size_t NotificationCount();

  // Starts the watch thread (idempotent): the table is looked at every
  // kPollMs, or at once when the mount table signals a change. False when
  // the thread cannot be started.
  bool Start();
  // Stops and joins it (idempotent).
  void Stop();
  // Looks at the table now and delivers what changed since the last look:
  // for volumes gone, a handle broadcast remove-complete to each registered
  // handle of theirs, then a volume remove-complete with their letters; then
  // a volume arrival with the letters that appeared. Called by the thread;
  // tests call it to skip the wait.
  void CheckNow();

  static constexpr int kPollMs = 500;

 private:
  DeviceBroadcaster();
  void Run();
  void Deliver(uint32_t event, const void* data, size_t size,
               IDeviceChangeRecipient* only = nullptr);

  struct Registration {
    DeviceNotification id;
    IDeviceChangeRecipient* recipient;
    VolumeHandle handle;
  };

  std::mutex deliveryLock_;  // guards recipients_; held while a delivery runs
  std::vector<IDeviceChangeRecipient*> recipients_;
  std::mutex registryLock_;  // guards registrations_ and nextId_ (never held while delivering)
  std::vector<Registration> registrations_;
  DeviceNotification nextId_ = 0x2000;
  std::mutex checkLock_;  // guards known_, knownValid_ (one look at a time)
  std::vector<VolumeInfo> known_;
  bool knownValid_ = false;
  std::mutex threadLock_;  // guards thread_, stop_, wakeFd_
  std::thread thread_;
  bool stop_ = false;
  int wakeFd_ = -1;  // eventfd written by Stop
};

}  // namespace plat
