#include "destinations/NetworkDevice.h"

#include "platform/files/Files.h"
#include "platform/profile/Profile.h"
#include "platform/volumes/ShareConnect.h"
#include "platform/volumes/Volumes.h"

namespace {

constexpr char kRemoteNameKey[] = "RemoteName";

bool IsSharePath(const std::string& root) {
  return root.size() >= 2 && root[0] == '\\' && root[1] == '\\';
}

// True when "X:" names a letter of the volume table as it stands.
bool DriveExists(std::string_view drive) {
  if (drive.size() != 2 || drive[1] != ':') return false;
  char letter = drive[0];
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'Z') return false;
  return (plat::VolumeTable::Instance().LogicalDrives() >> (letter - 'A')) & 1u;
}

}  // namespace

CNetworkDevice::CNetworkDevice(IDestinationOwner* owner) : CDiskDevice(owner) {
  flushCopies_ = true;  // a copy counts as made once the server has it
}

bool CNetworkDevice::LoadSettings() {
  std::string ini = DevicesIniPath();
  if (ini.empty() || !plat::FileExists(ini)) return false;
  bool rootRead = CDiskDevice::LoadSettings();
  remoteName_ = plat::GetProfileString(ini, kDiskDeviceSection, kRemoteNameKey, "", 1023);
  return rootRead;
}

bool CNetworkDevice::SaveSettings() {
  if (!CDiskDevice::SaveSettings()) return false;
  std::string value;
  if (!ProfileSafeValue(remoteName_, &value)) return false;
  return plat::WriteProfileString(DevicesIniPath(), kDiskDeviceSection, kRemoteNameKey,
                                  value.c_str());
}

void CNetworkDevice::Configure(const PlanSettings& settings) {
  CDiskDevice::Configure(settings);
  plat::GetConnectionName(std::string_view(root_).substr(0, 2), &remoteName_);
}

void CNetworkDevice::Refresh() {
  available_ = false;
  if (root_.size() < 2) return;
  if (IsSharePath(root_)) {
    // Asked on every poll: the answer alone decides.
    available_ = plat::ConnectShare(root_) == 0;
    return;
  }
  std::string_view drive = std::string_view(root_).substr(0, 2);
  if (!DriveExists(drive)) return;
  std::string now;
  plat::GetConnectionName(drive, &now);
  available_ = now == remoteName_;
}
