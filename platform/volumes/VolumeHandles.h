// Volume handles: tokens that name a volume as it was when opened (letter,
// identity, disk descriptor). No descriptor of the volume is held, so a disk
// can be ejected at any time; a handle whose volume left stays valid as a
// token until closed and answers as its volume was.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/volumes/Volumes.h"

namespace plat {

using VolumeHandle = uint64_t;
inline constexpr VolumeHandle kInvalidVolume = 0;

// Opens the volume now at the letter ("\\.\X:"). kInvalidVolume with the last
// error set (15 invalid drive) when no volume has that letter.
VolumeHandle OpenVolume(char letter);
// Forgets the token; unknown or invalid handles are ignored.
void CloseVolume(VolumeHandle handle);
// The volume as it was at open (letter, identity, descriptor texts, serial).
bool VolumeHandleInfo(VolumeHandle handle, VolumeInfo* out);
// The storage device descriptor: vendor, product and revision, untrimmed as
// the device reports them. False (texts empty) for an unknown handle.
bool QueryStorageDescriptor(VolumeHandle handle, std::string* vendor, std::string* product,
                            std::string* revision);
// The volume serial number of a drive root ("X:\" or "X:"); false (0) when
// the drive does not exist (3) or nothing names its volume (1005).
bool GetVolumeSerialNumber(std::string_view root, uint32_t* serial);
// Same volume: letter, root, identity, mount, type, serial and descriptor texts.
bool SameVolumeInfo(const VolumeInfo& a, const VolumeInfo& b);
// Handles open now (for tests and diagnostics).
size_t OpenVolumeHandleCount();

}  // namespace plat
