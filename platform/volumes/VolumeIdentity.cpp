// Who a mounted volume is: its identity (the file system's UUID) and label
// from what this user can read (the file system itself, libblkid, udev's
// database, the /dev/disk links), and the volume serial a UUID spells.
#include <blkid.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "platform/base/IniText.h"
#include "platform/volumes/VolumeSources.h"

namespace plat::detail {

// File-system UUID, type and label through libblkid (needs read access to
// the device: root, or the disk group).
void ProbeUuid(const std::string& device, std::string* uuid, std::string* type,
               std::string* label) {
  blkid_probe pr = blkid_new_probe_from_filename(device.c_str());
  if (!pr) return;
  blkid_probe_enable_superblocks(pr, 1);
  blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_UUID | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL);
  if (blkid_do_safeprobe(pr) == 0) {
    const char* val = nullptr;
    if (blkid_probe_lookup_value(pr, "UUID", &val, nullptr) == 0 && val) *uuid = val;
    if (blkid_probe_lookup_value(pr, "TYPE", &val, nullptr) == 0 && val) *type = val;
    if (label && blkid_probe_lookup_value(pr, "LABEL", &val, nullptr) == 0 && val) *label = val;
  }
  blkid_free_probe(pr);
}

// FAT and NTFS UUIDs spell the volume serial (NTFS: its low 32 bits, the last
// eight digits); other file systems lend the first eight hex digits.
uint32_t SerialFromUuid(const std::string& uuid, const std::string& type) {
  std::string hex;
  for (char c : uuid)
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
  if (hex.size() < 8) return 0;
  std::string digits = type == "ntfs" ? hex.substr(hex.size() - 8) : hex.substr(0, 8);
  uint32_t serial = 0;
  ParseVolumeSerial(digits, &serial);
  return serial;
}

namespace {

// The mounted file system answers for itself: its UUID (Linux 6.5 and later)
// and its label, asked through its root folder, which any user who may open
// that folder may do. Only a 16-byte UUID is taken (spelt as libblkid does).
struct FsUuidRequest {
  uint8_t len;
  uint8_t uuid[16];
};
constexpr unsigned long kGetFsUuid = _IOR(0x15, 0, FsUuidRequest);
#ifndef FS_IOC_GETFSLABEL
#define FS_IOC_GETFSLABEL _IOR(0x94, 49, char[256])
#endif

void AskFileSystem(const std::string& mountPoint, std::string* uuid, std::string* label) {
  int fd = ::open(mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  FsUuidRequest u{};
  if (uuid->empty() && ::ioctl(fd, kGetFsUuid, &u) == 0 && u.len == 16) {
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
      if (i == 4 || i == 6 || i == 8 || i == 10) *uuid += '-';
      *uuid += kHex[u.uuid[i] >> 4];
      *uuid += kHex[u.uuid[i] & 15];
    }
  }
  char buf[257] = {};
  if (label->empty() && ::ioctl(fd, FS_IOC_GETFSLABEL, buf) == 0) *label = buf;
  ::close(fd);
}

// udev's database entry of a block device ("E:ID_FS_UUID=..." lines).
void AskUdev(const std::string& devno, std::string* uuid, std::string* label) {
  std::string text;
  if (!ReadNativeFile("/run/udev/data/b" + devno, &text, 1u << 16)) return;
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    std::string_view line = std::string_view(text).substr(at, nl - at);
    at = nl == std::string::npos ? text.size() : nl + 1;
    if (uuid->empty() && line.rfind("E:ID_FS_UUID=", 0) == 0) *uuid = std::string(line.substr(13));
    if (label->empty() && line.rfind("E:ID_FS_LABEL=", 0) == 0)
      *label = std::string(line.substr(14));
  }
}

// The name of the link in a /dev/disk/by-* folder that leads to the device
// (udev spells some bytes "\x2f"), or "".
std::string LinkNameFor(const char* folder, dev_t device) {
  std::string found;
  DIR* d = ::opendir(folder);
  if (!d) return found;
  while (dirent* e = ::readdir(d)) {
    struct stat st;
    const std::string path = std::string(folder) + "/" + e->d_name;
    if (e->d_name[0] == '.' || ::stat(path.c_str(), &st) != 0) continue;
    if (!S_ISBLK(st.st_mode) || st.st_rdev != device) continue;
    for (const char* n = e->d_name; *n; ++n) {
      unsigned int byte = 0;
      if (n[0] == '\\' && n[1] == 'x' && std::sscanf(n + 2, "%2x", &byte) == 1) {
        found += char(byte);
        n += 3;
      } else {
        found += *n;
      }
    }
    break;
  }
  ::closedir(d);
  return found;
}

}  // namespace

// Identity and label of a block-device volume from what this user can read:
// the file system itself, libblkid (with read access to the device), udev's
// database, its links. The device node never names a volume: another disk
// may come up on it. Nothing found leaves the identity empty (unknown).
void Identify(const MountLine& m, VolumeInfo* v, std::string* type) {
  std::string uuid, label;
  AskFileSystem(m.mountPoint, &uuid, &label);
  if (uuid.empty() || label.empty()) {
    std::string u, l;
    ProbeUuid(m.source, &u, type, &l);
    if (uuid.empty()) uuid = u;
    if (label.empty()) label = l;
  }
  if (uuid.empty() || label.empty()) AskUdev(m.devno, &uuid, &label);
  unsigned major = 0, minor = 0;
  if ((uuid.empty() || label.empty()) &&
      std::sscanf(m.devno.c_str(), "%u:%u", &major, &minor) == 2) {
    if (uuid.empty()) uuid = LinkNameFor("/dev/disk/by-uuid", makedev(major, minor));
    if (label.empty()) label = LinkNameFor("/dev/disk/by-label", makedev(major, minor));
  }
  v->identity = uuid;
  v->label = label;
}

}  // namespace plat::detail
