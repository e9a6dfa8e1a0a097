#include "platform/files/FilesConfine.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>
#include <vector>

#include "platform/base/Errors.h"
#include "platform/files/FileSupport.h"
#include "platform/volumes/Volumes.h"

namespace plat::detail {

namespace {

// False when the folder lies on a volume whose root is no longer the root of
// a mount: the disk went away and its empty mount folder (on the system
// disk) must not receive what was meant for it. Volumes of the real table are
// mounts by definition; an override volume counts once it was seen mounted.
bool StillOnItsVolume(const std::string& native) {
  VolumeInfo vol;
  VolumeTable& table = VolumeTable::Instance();
  if (!table.FindByNativePath(native, &vol) || vol.root == "/" || vol.type == DriveType::kRemote)
    return true;
  struct statx sx;
  if (statx(AT_FDCWD, vol.root.c_str(), AT_NO_AUTOMOUNT, STATX_BASIC_STATS, &sx) != 0) return false;
  if (!(sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)) return true;  // the kernel cannot tell
  const bool mounted = (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  static std::mutex lock;             // guards seen
  static std::set<std::string> seen;  // override roots seen as mounts
  std::lock_guard<std::mutex> guard(lock);
  if (mounted) {
    if (table.IsOverridden()) seen.insert(vol.root);
    return true;
  }
  return table.IsOverridden() && seen.count(vol.root) == 0;
}

// Keeps fd when it names a regular file (special files would block or never
// end); closes it otherwise. The O_NONBLOCK it was opened with stays: reads
// of a regular file never look at it (only the open did, for a lease).
int KeepRegular(int fd, struct stat* st) {
  if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    close(fd);
    SetLastError(kErrAccessDenied);
    return -1;
  }
  return fd;
}

// Whether a component of the path is "." or "..".
bool HasDotComponent(const std::string& native) {
  for (size_t at = native.find("/."); at != std::string::npos; at = native.find("/.", at + 1)) {
    const size_t end = native.find('/', at + 1);
    const size_t len = (end == std::string::npos ? native.size() : end) - at - 1;
    if (len == 1 || (len == 2 && native[at + 2] == '.')) return true;
  }
  return false;
}

// Whether the last component of native is itself a link.
bool SymlinkAt(const std::string& native) {
  struct stat lst;
  return lstat(native.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode);
}

}  // namespace

bool ResolveConfine(std::string_view confineTo, std::string* native, bool lookAtVolume) {
  native->clear();
  if (confineTo.empty()) return true;
  if (!Resolve(confineTo, native)) return false;
  if (!lookAtVolume) return true;
  return StillOnItsVolume(*native) ? true : Fail(kErrDeviceNotConnected);
}

// A copy needs its folder to exist already, and no folder is made while the
// volume is away (CreateDirectories looks first), so a copy that found its
// folder is on the volume: only failures look.
uint32_t VolumeGoneOr(const std::string& base) {
  const uint32_t error = GetLastError();
  if (!base.empty() && !StillOnItsVolume(base)) return FailCode(kErrDeviceNotConnected);
  return FailCode(error);
}

int OpenRegularForRead(const std::string& native, struct stat* st) {
  const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    SetLastError(ErrorFor(errno, native));
    return -1;
  }
  return KeepRegular(fd, st);
}

int OpenRegularForRead(const std::string& native, const std::string& within, struct stat* st) {
  std::vector<std::string> below;
  if (within.empty() || !detail::ComponentsBelow(native, within, &below) || below.empty())
    return OpenRegularForRead(native, st);
  // A path without any link from the root down has none below within either:
  // one call opens the file. Anything else (a link on the way, a file that is
  // missing) goes the long way, which also names what stopped it.
  thread_local std::string behindLink;
  if (within != behindLink && !HasDotComponent(native)) {
    struct open_how how {};
    how.flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = syscall(SYS_openat2, AT_FDCWD, native.c_str(), &how, sizeof how);
    if (fd >= 0) return KeepRegular(static_cast<int>(fd), st);
    if (errno == ELOOP && !SymlinkAt(native)) behindLink = within;
  }
  detail::ParentFolder folder;
  if (!folder.Open(native, within)) return -1;
  if (!folder.Confined()) return OpenRegularForRead(native, st);
  const int fd = openat(folder.Fd(), folder.Name().c_str(),
                        O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
  if (fd < 0) {
    struct stat lst;
    const bool link = errno == ELOOP &&
                      fstatat(folder.Fd(), folder.Name().c_str(), &lst, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISLNK(lst.st_mode);
    SetLastError(link ? kErrStoppedOnLink : ErrorFor(errno, native));
    return -1;
  }
  return KeepRegular(fd, st);
}

}  // namespace plat::detail
