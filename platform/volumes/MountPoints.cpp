#include "platform/volumes/MountPoints.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "platform/base/IniText.h"
#include "platform/volumes/Paths.h"
#include "platform/volumes/VolumeSources.h"
#include "platform/volumes/Volumes.h"

namespace plat {
namespace {

constexpr std::string_view kPseudo[] = {
    "proc",       "sysfs",      "devtmpfs", "devpts",      "tmpfs",    "ramfs",    "cgroup",
    "cgroup2",    "securityfs", "debugfs",  "tracefs",     "configfs", "fusectl",  "mqueue",
    "hugetlbfs",  "pstore",     "bpf",      "binfmt_misc", "autofs",   "efivarfs", "nsfs",
    "rpc_pipefs", "selinuxfs",  "squashfs", "erofs",       "overlay",  "nfsd",     "cifs",
    "smb3",       "smbfs",      "nfs",      "nfs4",
};

std::string WithoutClosingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Mount point and type of each line of /proc/self/mountinfo: the fifth field
// and the first field after the " - " separator.
void AddPseudoMounts(std::string_view text, std::vector<std::string>* out) {
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    const std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    std::vector<std::string_view> fields;
    for (size_t i = 0; i < line.size();) {
      while (i < line.size() && line[i] == ' ') ++i;
      size_t j = i;
      while (j < line.size() && line[j] != ' ') ++j;
      if (j > i) fields.push_back(line.substr(i, j - i));
      i = j;
    }
    auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || dash == fields.end() || dash + 1 == fields.end()) continue;
    const std::string point = WithoutClosingSlash(detail::UnescapeMountField(fields[4]));
    if (point == "/") continue;
    if (IsPseudoFileSystem(dash[1])) out->push_back(point);
  }
}

}  // namespace

bool IsPseudoFileSystem(std::string_view fsType) {
  if (fsType.rfind("fuse.", 0) == 0) return true;
  return std::find(std::begin(kPseudo), std::end(kPseudo), fsType) != std::end(kPseudo);
}

MountBarriers::MountBarriers() {
  std::string text;
  if (detail::ReadNativeFile("/proc/self/mountinfo", &text)) AddPseudoMounts(text, &native_);
  VolumeTable& table = VolumeTable::Instance();
  table.ReloadIfChanged();
  for (const VolumeInfo& v : table.Volumes()) {
    const std::string root = WithoutClosingSlash(v.root);
    if (!root.empty() && root != "/") native_.push_back(root);
  }
  std::sort(native_.begin(), native_.end());
  native_.erase(std::unique(native_.begin(), native_.end()), native_.end());
}

bool MountBarriers::Stops(std::string_view folder) const {
  if (native_.empty()) return false;
  std::string native;
  if (!ToNativePath(folder, &native)) return false;
  native = WithoutClosingSlash(std::move(native));
  return std::binary_search(native_.begin(), native_.end(), native);
}

bool SetCurrentThreadIdleIo(bool idle) {
  // ioprio_set(IOPRIO_WHO_PROCESS, this thread, class << 13 | level): class 3
  // is idle, class 0 follows the thread's CPU priority.
  constexpr int kWhoProcess = 1;
  constexpr int kClassShift = 13;
  const int value = idle ? (3 << kClassShift) : 0;
  return syscall(SYS_ioprio_set, kWhoProcess, static_cast<int>(gettid()), value) == 0;
}

}  // namespace plat
