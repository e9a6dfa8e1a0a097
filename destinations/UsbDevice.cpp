#include "destinations/UsbDevice.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "destinations/VolumeCapacity.h"
#include "platform/files/Files.h"
#include "platform/profile/Profile.h"
#include "platform/volumes/Volumes.h"

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

// Leading white space and trailing blanks off a descriptor text.
std::string TrimDescriptor(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || (s[b] >= '\t' && s[b] <= '\r'))) ++b;
  while (e > b && s[e - 1] == ' ') --e;
  return s.substr(b, e - b);
}

// Decimal string-to-long, as the C library reads it (empty gives 0).
int64_t ToLong(const std::string& s) { return std::strtol(s.c_str(), nullptr, 10); }

uint32_t Field32(const void* data, size_t offset) {
  uint32_t v;
  std::memcpy(&v, static_cast<const uint8_t*>(data) + offset, sizeof v);
  return v;
}
uint64_t Field64(const void* data, size_t offset) {
  uint64_t v;
  std::memcpy(&v, static_cast<const uint8_t*>(data) + offset, sizeof v);
  return v;
}

// Lowest letter of a unit mask, 0 for an empty mask.
char LowestLetter(uint32_t mask) {
  for (int i = 0; i < 26; ++i)
    if (mask & (1u << i)) return static_cast<char>('A' + i);
  return 0;
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

}  // namespace

CUSBDevice::CUSBDevice(IDestinationOwner* owner) : CDestination(owner), window_(GetUsbWindow()) {
  flushCopies_ = true;
  window_->AddHandler(this);
}

CUSBDevice::~CUSBDevice() {
  window_->RemoveHandler(this);
  Guard g(window_->HandlerLock());
  CloseAll();
}

void CUSBDevice::RememberPlanId() {
  if (Owner()) planId_ = Owner()->GetPlanId();
}

bool CUSBDevice::LoadSettings() {
  std::string ini = DevicesIniPath();
  if (ini.empty() || !plat::FileExists(ini)) return false;
  Guard g(window_->HandlerLock());
  RememberPlanId();
  auto read = [&](const char* key) {
    return plat::GetProfileString(ini, kUsbDeviceSection, key, "", 1023);
  };
  vendor_ = read("Vendor");
  model_ = read("Model");
  revision_ = read("Revision");
  size_ = ToLong(read("Size"));
  relative_ = read("RelativePath");
  serial_ = static_cast<int32_t>(ToLong(read("PartitionSerialNumber")));
  ScanDrives();
  return true;
}

bool CUSBDevice::SaveSettings() {
  std::string ini = DevicesIniPath();
  if (ini.empty()) return true;
  Guard g(window_->HandlerLock());
  auto write = [&](const char* key, const std::string& value) {
    std::string safe;
    if (ProfileSafeValue(value, &safe))
      plat::WriteProfileString(ini, kUsbDeviceSection, key, safe.c_str());
  };
  write("Vendor", vendor_);
  write("Model", model_);
  write("Revision", revision_);
  write("Size", std::to_string(static_cast<int32_t>(static_cast<uint32_t>(size_))));
  write("RelativePath", relative_);
  write("PartitionSerialNumber", std::to_string(serial_));
  return true;
}

void CUSBDevice::Configure(const PlanSettings& settings) {
  Guard g(window_->HandlerLock());
  RememberPlanId();
  const std::string& p = settings.storePath;
  if (p.size() > 3 && p[1] == ':' && p[2] == '\\') {
    root_ = p;
    relative_ = p.substr(2);
  }
}

bool CUSBDevice::IsAvailable() const {
  Guard g(window_->HandlerLock());
  return volume_ != plat::kInvalidVolume && !storeAway_;
}

bool CUSBDevice::IsSameDestination(const CDestination& other) const {
  if (!CDestination::IsSameDestination(other)) return false;
  const auto* usb = dynamic_cast<const CUSBDevice*>(&other);
  if (usb == nullptr) return false;
  if (usb == this) return true;
  Guard g(window_->HandlerLock());
  return vendor_ == usb->vendor_ && model_ == usb->model_ && revision_ == usb->revision_ &&
         serial_ == usb->serial_;
}

bool CUSBDevice::Prepare(bool initialize) {
  Guard g(window_->HandlerLock());
  RememberPlanId();
  if (!root_.empty()) Attach(root_[0], initialize);
  return true;
}

void CUSBDevice::Close() {
  Guard g(window_->HandlerLock());
  CloseAll();
}

std::string CUSBDevice::GetRootPath() const {
  Guard g(window_->HandlerLock());
  return root_;
}

void CUSBDevice::CloseHandle() {
  if (volume_ != plat::kInvalidVolume) plat::CloseVolume(volume_);
  volume_ = plat::kInvalidVolume;
}

void CUSBDevice::CloseAll() {
  CloseHandle();
  if (notification_ != 0) plat::DeviceBroadcaster::Instance().UnregisterNotification(notification_);
  notification_ = 0;
}

uint32_t CUSBDevice::Attach(char letter, bool capture) {
  letter = Upper(letter);
  // A disk that is held stays as it is when only checked again; taking the
  // identity anew starts from scratch so handle and notification stay paired.
  if (volume_ != plat::kInvalidVolume && notification_ != 0) {
    if (!capture) return 0;
    CloseAll();
  }
  CloseHandle();
  plat::VolumeHandle h = plat::OpenVolume(letter);
  if (h == plat::kInvalidVolume) return kAttachFailed;
  volume_ = h;
  std::string vendor, model, revision;
  plat::QueryStorageDescriptor(h, &vendor, &model, &revision);
  vendor = TrimDescriptor(vendor);
  model = TrimDescriptor(model);
  revision = TrimDescriptor(revision);
  bool same = true;
  if (capture) {
    vendor_ = vendor;
    model_ = model;
    revision_ = revision;
  } else {
    same = vendor == vendor_ && model == model_ && revision == revision_;
  }
  const std::string driveRoot = std::string(1, letter) + ":\\";
  if (same) {
    // A volume that nothing names is a new disk: it never passes for the one
    // captured (a device node is no identity: another disk may come up on it).
    uint32_t serial = 0;
    const bool named = plat::GetVolumeSerialNumber(driveRoot, &serial);
    if (capture)
      serial_ = static_cast<int32_t>(serial);
    else
      same = named && static_cast<int32_t>(serial) == serial_;
  }
  if (same) {
    uint64_t total = 0;
    GetTotalSpace(driveRoot, &total);
    size_ = static_cast<int64_t>(total);
    root_ = std::string(1, letter) + ":" + relative_;
    if (notification_ == 0)
      notification_ = plat::DeviceBroadcaster::Instance().RegisterNotification(window_, h);
  }
  if (!same || notification_ == 0) CloseHandle();
  return 0;
}

void CUSBDevice::ScanDrives() {
  const uint32_t mask = plat::VolumeTable::Instance().LogicalDrives();
  for (char c = 'C'; c <= 'Z'; ++c) {
    if (!(mask & (1u << (c - 'A')))) continue;
    plat::DriveType t = plat::VolumeTable::Instance().GetDriveType(c);
    if (t != plat::DriveType::kRemovable && t != plat::DriveType::kFixed) continue;
    Attach(c, false);
    if (volume_ != plat::kInvalidVolume) return;
  }
}

uint32_t CUSBDevice::OnUsbDeviceChange(uint32_t event, const void* data, size_t size,
                                       UsbNotice* notice) {
  if (event < plat::kDbtDeviceArrival || event > plat::kDbtDeviceRemoveComplete) return 0;
  if (data == nullptr || size < sizeof(plat::BroadcastHeader)) return 0;
  const uint32_t declared = Field32(data, 0);
  const uint32_t type = Field32(data, 4);
  const size_t have = std::min<size_t>(declared, size);
  const bool volumeCast = type == plat::kDbtDevtypVolume && have >= sizeof(plat::BroadcastVolume);
  const bool handleCast = type == plat::kDbtDevtypHandle && have >= sizeof(plat::BroadcastHandle);
  Guard g(window_->HandlerLock());
  auto collect = [&](bool missing) {
    if (notice == nullptr) return;
    notice->list.push_back(planId_);
    if (missing) notice->missing.push_back(planId_);
  };
  switch (event) {
    case plat::kDbtDeviceArrival: {
      if (!volumeCast || volume_ != plat::kInvalidVolume) return 0;
      const uint32_t units = Field32(data, offsetof(plat::BroadcastVolume, unitMask));
      if (units == 0) return 0;
      collect(false);
      uint32_t r = Attach(LowestLetter(units), false);
      if (r != 0) return r;
      if (volume_ == plat::kInvalidVolume) ScanDrives();
      return 0;
    }
    case plat::kDbtDeviceQueryRemove: {
      if (!handleCast || volume_ == plat::kInvalidVolume) return 0;
      if (Field64(data, offsetof(plat::BroadcastHandle, handle)) != volume_) return 0;
      CloseHandle();
      collect(true);
      return 0;
    }
    case plat::kDbtDeviceQueryRemoveFailed: {
      if (!handleCast || volume_ != plat::kInvalidVolume || notification_ == 0) return 0;
      if (Field64(data, offsetof(plat::BroadcastHandle, notification)) != notification_) return 0;
      if (root_.empty()) return 0;
      uint32_t r = Attach(root_[0], false);
      if (r != 0) return r;
      if (volume_ == plat::kInvalidVolume) return 0;
      collect(false);
      return 0;
    }
    case plat::kDbtDeviceRemoveComplete: {
      bool mine = false;
      if (volumeCast && notification_ != 0 && root_.size() >= 2) {
        const char low = LowestLetter(Field32(data, offsetof(plat::BroadcastVolume, unitMask)));
        mine = low != 0 && low == Upper(root_[0]) && root_[1] == ':';
      } else if (handleCast && notification_ != 0) {
        mine = Field64(data, offsetof(plat::BroadcastHandle, notification)) == notification_;
      }
      if (!mine) return 0;
      CloseAll();
      collect(true);
      return 0;
    }
    default:
      return 0;
  }
}

std::string CUSBDevice::Vendor() const {
  Guard g(window_->HandlerLock());
  return vendor_;
}
std::string CUSBDevice::Model() const {
  Guard g(window_->HandlerLock());
  return model_;
}
std::string CUSBDevice::Revision() const {
  Guard g(window_->HandlerLock());
  return revision_;
}
int32_t CUSBDevice::PartitionSerialNumber() const {
  Guard g(window_->HandlerLock());
  return serial_;
}
int64_t CUSBDevice::Size() const {
  Guard g(window_->HandlerLock());
  return size_;
}
std::string CUSBDevice::RelativePath() const {
  Guard g(window_->HandlerLock());
  return relative_;
}
plat::VolumeHandle CUSBDevice::VolumeHandleValue() const {
  Guard g(window_->HandlerLock());
  return volume_;
}
plat::DeviceNotification CUSBDevice::NotificationValue() const {
  Guard g(window_->HandlerLock());
  return notification_;
}
