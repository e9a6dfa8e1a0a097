// Internal: the two sources of the volume table. Both build a complete table
// without touching VolumeTable (which calls them under its lock).
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "platform/volumes/Volumes.h"

namespace plat::detail {

struct VolumeSnapshot {
  std::vector<VolumeInfo> volumes;  // sorted by letter
  std::vector<ShareInfo> shares;
  PowerOverride power = PowerOverride::kNone;
  PressureOverride pressure = PressureOverride::kNone;
};

// Reads an override INI text ([C]..[Z], [\\server\share], [Power]).
VolumeSnapshot ParseVolumeOverride(std::string_view iniText);
// "1234-ABCD" or "1234ABCD" -> 0x1234ABCD; false when not eight hex digits.
bool ParseVolumeSerial(std::string_view text, uint32_t* serial);

// Builds the real table from /proc/self/mountinfo text, sysfs and libblkid;
// letters remembered in drivesIni (a native path; empty: nothing remembered).
VolumeSnapshot LoadRealVolumes(std::string_view mountinfo, const std::string& drivesIni);
// UUID, type and label of the file system on a device (or image file); left
// empty when libblkid finds none (or may not read the device).
void ProbeUuid(const std::string& device, std::string* uuid, std::string* type,
               std::string* label = nullptr);
// The volume serial a UUID spells: FAT and exFAT "1234-ABCD" as it stands,
// NTFS its last eight hex digits, others the first eight.
uint32_t SerialFromUuid(const std::string& uuid, const std::string& type);
// Native path of "Drives.ini" in the data folder (resolved from the
// environment directly: the profile and folder functions need the table).
std::string NativeDrivesIniPath();

// One line of /proc/self/mountinfo, the fields the table uses.
struct MountLine {
  std::string id;     // the mount's own number, new for every mount
  std::string devno;  // "major:minor"
  std::string root;   // folder of the file system mounted here ("/" unless a bind)
  std::string mountPoint;
  std::string fsType;
  std::string source;
};
// Identity and label of a block-device volume (type: the file system type
// libblkid found, left as it is when it found none).
void Identify(const MountLine& m, VolumeInfo* v, std::string* type);

// A native root in normal form: absolute, no trailing "/" except for "/".
std::string NormalizeRoot(std::string_view root);
// True when path lies in root (equal, or root followed by "/").
bool PathUnderRoot(std::string_view path, std::string_view root);

// A field of /proc/self/mountinfo with its octal escapes ("\040") undone.
std::string UnescapeMountField(std::string_view field);

}  // namespace plat::detail
