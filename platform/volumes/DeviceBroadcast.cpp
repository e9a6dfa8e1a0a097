#include "platform/volumes/DeviceBroadcast.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "platform/base/FaultSeam.h"

namespace plat {

DeviceBroadcaster& DeviceBroadcaster::Instance() {
  static DeviceBroadcaster broadcaster;
  return broadcaster;
}

DeviceBroadcaster::DeviceBroadcaster() = default;

DeviceBroadcaster::~DeviceBroadcaster() { Stop(); }

void DeviceBroadcaster::AddRecipient(IDeviceChangeRecipient* recipient) {
  std::lock_guard<std::mutex> g(deliveryLock_);
  if (std::find(recipients_.begin(), recipients_.end(), recipient) == recipients_.end())
    recipients_.push_back(recipient);
}

void DeviceBroadcaster::RemoveRecipient(IDeviceChangeRecipient* recipient) {
  {
    std::lock_guard<std::mutex> g(deliveryLock_);
    recipients_.erase(std::remove(recipients_.begin(), recipients_.end(), recipient),
                      recipients_.end());
  }
  std::lock_guard<std::mutex> g(registryLock_);
  registrations_.erase(
      std::remove_if(registrations_.begin(), registrations_.end(),
                     [&](const Registration& r) { return r.recipient == recipient; }),
      registrations_.end());
}

DeviceNotification DeviceBroadcaster::RegisterNotification(IDeviceChangeRecipient* recipient,
                                                           VolumeHandle handle) {
  if (recipient == nullptr || !VolumeHandleInfo(handle, nullptr)) return 0;
  std::lock_guard<std::mutex> g(registryLock_);
  DeviceNotification id = ++nextId_;
  registrations_.push_back({id, recipient, handle});
  return id;
}

bool DeviceBroadcaster::UnregisterNotification(DeviceNotification notification) {
  std::lock_guard<std::mutex> g(registryLock_);
  auto it = std::find_if(registrations_.begin(), registrations_.end(),
                         [&](const Registration& r) { return r.id == notification; });
  if (it == registrations_.end()) return false;
  registrations_.erase(it);
  return true;
}

size_t DeviceBroadcaster::NotificationCount() {
  std::lock_guard<std::mutex> g(registryLock_);
  return registrations_.size();
}

void DeviceBroadcaster::Deliver(uint32_t event, const void* data, size_t size,
                                IDeviceChangeRecipient* only) {
  std::lock_guard<std::mutex> g(deliveryLock_);
  for (IDeviceChangeRecipient* r : recipients_)
    if (only == nullptr || r == only) r->OnDeviceChange(event, data, size);
}

void DeviceBroadcaster::CheckNow() {
  VolumeTable& table = VolumeTable::Instance();
  table.ReloadIfChanged();
  std::vector<VolumeInfo> now = table.Volumes();
  std::lock_guard<std::mutex> g(checkLock_);
  if (!knownValid_) {
    known_ = std::move(now);
    knownValid_ = true;
    return;
  }
  auto present = [](const std::vector<VolumeInfo>& list, const VolumeInfo& v) {
    for (const auto& o : list)
      if (SameVolumeInfo(o, v)) return true;
    return false;
  };
  uint32_t arrived = 0, removed = 0;
  std::vector<VolumeInfo> gone;
  for (const auto& v : now)
    if (!present(known_, v)) arrived |= 1u << (v.letter - 'A');
  for (const auto& o : known_)
    if (!present(now, o)) {
      removed |= 1u << (o.letter - 'A');
      gone.push_back(o);
    }
  known_ = std::move(now);

  if (removed != 0) {
    // Handles opened on a volume that left hear about it first.
    std::vector<Registration> regs;
    {
      std::lock_guard<std::mutex> r(registryLock_);
      regs = registrations_;
    }
    for (const auto& reg : regs) {
      VolumeInfo info;
      if (!VolumeHandleInfo(reg.handle, &info) || !present(gone, info)) continue;
      BroadcastHandle b{};
      b.size = sizeof b;
      b.deviceType = kDbtDevtypHandle;
      b.handle = reg.handle;
      b.notification = reg.id;
      Deliver(kDbtDeviceRemoveComplete, &b, sizeof b, reg.recipient);
    }
    BroadcastVolume v{};
    v.size = sizeof v;
    v.deviceType = kDbtDevtypVolume;
    v.unitMask = removed;
    Deliver(kDbtDeviceRemoveComplete, &v, sizeof v);
  }
  if (arrived != 0) {
    BroadcastVolume v{};
    v.size = sizeof v;
    v.deviceType = kDbtDevtypVolume;
    v.unitMask = arrived;
    Deliver(kDbtDeviceArrival, &v, sizeof v);
  }
}

bool DeviceBroadcaster::Start() {
  std::lock_guard<std::mutex> g(threadLock_);
  if (thread_.joinable()) return true;
  stop_ = false;
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
  if (wakeFd_ < 0) return false;
  CheckNow();  // the baseline: what is there now is not news
  thread_ = std::thread([this] { Run(); });
  return true;
}

void DeviceBroadcaster::Stop() {
  std::thread t;
  {
    std::lock_guard<std::mutex> g(threadLock_);
    stop_ = true;
    t = std::move(thread_);
    if (wakeFd_ >= 0) {
      uint64_t one = 1;
      (void)!::write(wakeFd_, &one, sizeof one);
    }
  }
  if (t.joinable()) t.join();
  std::lock_guard<std::mutex> g(threadLock_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
  wakeFd_ = -1;
}

void DeviceBroadcaster::Run() {
  fault::ExemptThisThread();
  // The mount table signals a change with POLLPRI; the override file is
  // looked at on the poll interval; the wake descriptor ends the wait for Stop.
  int mounts = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  int wake;
  {
    std::lock_guard<std::mutex> g(threadLock_);
    wake = wakeFd_;
  }
  char drain[4096];
  for (;;) {
    struct pollfd p[2] = {{wake, POLLIN, 0}, {mounts, POLLPRI, 0}};
    int n = ::poll(p, mounts >= 0 ? 2 : 1, kPollMs);
    {
      std::lock_guard<std::mutex> g(threadLock_);
      if (stop_) break;
    }
    if (n > 0 && mounts >= 0 && (p[1].revents & (POLLPRI | POLLERR))) {
      ::lseek(mounts, 0, SEEK_SET);
      while (::read(mounts, drain, sizeof drain) > 0) {
      }
    }
    CheckNow();
  }
  if (mounts >= 0) ::close(mounts);
}

}  // namespace plat
