// The volume table: drive letters for the machine's volumes. Real table from
// /proc/self/mountinfo, sysfs and "Drives.ini" (letters remembered per volume
// identity); or, when BREVANTO_VOLUMES names an INI file, that file.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

// Values of the Windows drive-type query.
enum class DriveType : uint32_t {
  kUnknown = 0,
  kNoRootDir = 1,
  kRemovable = 2,
  kFixed = 3,
  kRemote = 4,
  kCdRom = 5,
};
enum class BusType : uint32_t { kOther = 0, kUsb = 1, kIeee1394 = 2 };

struct VolumeInfo {
  char letter = 0;   // 'C' .. 'Z'
  std::string root;  // native root folder
  DriveType type = DriveType::kUnknown;
  BusType bus = BusType::kOther;
  uint32_t serial = 0;  // volume serial number
  std::string vendor, model, revision;
  bool system = false;  // holds the operating system
  std::string remote;   // network letter: "\\server\share"
  // File-system UUID or network source; empty when nothing this user can
  // read names the volume (never the device node: another disk may come up on
  // it). A volume without identity is never taken for one seen before.
  std::string identity;
  std::string label;                                 // file-system label ("" unknown)
  std::string instance;                              // this mount of it (mount id, device)
  std::string fileSystem;                            // its type ("ext4", "vfat"; "" unknown)
  bool hasTotalBytes = false, hasFreeBytes = false;  // override figures given
  uint64_t totalBytes = 0, freeBytes = 0;
};

struct ShareInfo {
  std::string name;  // "\\server\share"
  std::string root;  // native folder
  bool online = false;
};

enum class PowerOverride { kNone, kAc, kBattery };
// [Power] Pressure=busy|idle: what the machine's load gauge says (tests).
enum class PressureOverride { kNone, kBusy, kIdle, kLoaded };

class VolumeTable {
 public:
  static VolumeTable& Instance();

  // Reads the table again. Masks (bit 0 = A:) of letters that appeared and
  // letters that vanished since the previous read; either may be null.
  void Reload(uint32_t* arrived = nullptr, uint32_t* removed = nullptr);
  // Reloads when the override file or the mount table changed since the last
  // read (cheap when nothing changed); returns true when it reloaded.
  bool ReloadIfChanged(uint32_t* arrived = nullptr, uint32_t* removed = nullptr);

  std::vector<VolumeInfo> Volumes() const;
  bool Find(char letter, VolumeInfo* out) const;
  bool FindByNativePath(std::string_view nativePath, VolumeInfo* out) const;
  uint32_t LogicalDrives() const;  // bit n set when letter 'A'+n exists
  DriveType GetDriveType(char letter) const;
  // A share by name ("\\srv\share", any case): declared in the override,
  // mounted (cifs, nfs, gvfs) or connected to a network letter.
  bool FindShare(std::string_view share, ShareInfo* out) const;
  // The online share whose root is the longest prefix of a native path (used
  // when no volume holds the path).
  bool FindShareByNativePath(std::string_view nativePath, ShareInfo* out) const;
  PowerOverride Power() const;
  PressureOverride Pressure() const;
  bool IsOverridden() const;

 private:
  VolumeTable();
  mutable std::mutex lock_;  // guards every field below
  bool loaded_ = false;
  bool overridden_ = false;
  std::vector<VolumeInfo> volumes_;
  std::vector<ShareInfo> shares_;
  PowerOverride power_ = PowerOverride::kNone;
  PressureOverride pressure_ = PressureOverride::kNone;
  std::string stamp_;   // what the last read saw (override content or mountinfo text)
  std::string source_;  // BREVANTO_VOLUMES at the last read ("" for the real table)
  void LoadLocked();
  void EnsureLoadedLocked() const;
};

}  // namespace plat
