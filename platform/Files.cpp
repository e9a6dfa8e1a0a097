#include "platform/Files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <set>
#include <vector>

#include "platform/Errors.h"
#include "platform/FaultSeam.h"
#include "platform/FileSupport.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/Volumes.h"

namespace plat {

using detail::ErrorFor;
using detail::Fail;
using detail::FailCode;
using detail::NativeName;
using detail::NativeParent;
using detail::Resolve;

namespace {

bool HasWildcards(std::string_view s) { return s.find_first_of("*?") != std::string_view::npos; }

// Rename between open folders that never replaces the target. Returns 0 or
// an errno value.
int RenameNoReplace(int fromDir, const char* from, int toDir, const char* to) {
  if (renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
  // The file system lacks RENAME_NOREPLACE: a hard link fails when the name
  // is taken; without hard links, check and rename (a small race remains).
  struct stat src;
  if (fstatat(fromDir, from, &src, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISDIR(src.st_mode)) {
    if (linkat(fromDir, from, toDir, to, 0) == 0) {
      unlinkat(fromDir, from, 0);
      return 0;
    }
    if (errno == EEXIST) {
      struct stat dst;
      // A case-only rename on a case-folding file system names the same file.
      if (fstatat(toDir, to, &dst, AT_SYMLINK_NOFOLLOW) != 0 || dst.st_ino != src.st_ino ||
          dst.st_dev != src.st_dev)
        return EEXIST;
    } else if (errno != EPERM && errno != ENOTSUP && errno != EMLINK) {
      return errno;
    }
  }
  struct stat dst;
  if (fstatat(toDir, to, &dst, AT_SYMLINK_NOFOLLOW) == 0 &&
      (dst.st_ino != src.st_ino || dst.st_dev != src.st_dev))
    return EEXIST;
  return renameat(fromDir, from, toDir, to) == 0 ? 0 : errno;
}

thread_local const std::atomic<bool>* tCancel = nullptr;

bool Cancelled() { return tCancel != nullptr && tCancel->load(std::memory_order_relaxed); }

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

// The native form of a confining folder; empty stays empty. A folder on a
// volume that went away gives 1167 (unless not looked at: lookAtVolume).
bool ResolveConfine(std::string_view confineTo, std::string* native, bool lookAtVolume = true) {
  native->clear();
  if (confineTo.empty()) return true;
  if (!Resolve(confineTo, native)) return false;
  if (!lookAtVolume) return true;
  return StillOnItsVolume(*native) ? true : Fail(kErrDeviceNotConnected);
}

// The last error of a failure below the confining folder base, or 1167 when
// base's volume went away. A copy needs its folder to exist already, and no
// folder is made while the volume is away (CreateDirectories looks first),
// so a copy that found its folder is on the volume: only failures look.
uint32_t VolumeGoneOr(const std::string& base) {
  const uint32_t error = GetLastError();
  if (!base.empty() && !StillOnItsVolume(base)) return FailCode(kErrDeviceNotConnected);
  return FailCode(error);
}

// Copies the open source into the open target: copy_file_range while the
// file systems allow it, read/write otherwise. Sets the last error on failure.
bool CopyData(int in, int out, uint64_t expected) {
  bool useRange = true;
  uint64_t copied = 0;
  std::vector<char> buffer;
  constexpr size_t kChunk = 1u << 20;
  for (;;) {
    // A test's slow disk: the pause is cut short by a stop request.
    for (uint32_t waited = 0, delay = fault::CopyDelay(); waited < delay && !Cancelled();
         waited += 10)
      usleep(10000);
    if (Cancelled()) return Fail(kErrCancelled);
    if (useRange) {
      if (fault::Hit()) return false;
      // Chunks of 4 MiB: a stop request is seen within one of them.
      const ssize_t r = copy_file_range(in, nullptr, out, nullptr, 4u << 20, 0);
      if (r > 0) {
        copied += static_cast<uint64_t>(r);
        continue;
      }
      if (r == 0 && copied >= expected) return true;
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != ENOTSUP &&
          errno != EOPNOTSUPP && errno != EBADF && errno != EPERM)
        return Fail(ErrnoToWinError(errno));
      // Not supported here, or a file system that reports no data where the
      // size says there is some: go on with plain reads (offsets are shared).
      useRange = false;
      buffer.resize(kChunk);
      continue;
    }
    if (fault::Hit()) return false;
    const ssize_t r = read(in, buffer.data(), buffer.size());
    if (r < 0) {
      if (errno == EINTR) continue;
      return Fail(ErrnoToWinError(errno));
    }
    if (r == 0) return true;
    if (!detail::WriteAll(out, buffer.data(), static_cast<size_t>(r))) return false;
  }
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

// Opens a regular file for reading (special files would block or never end).
int OpenRegularForRead(const std::string& native, struct stat* st) {
  const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    SetLastError(ErrorFor(errno, native));
    return -1;
  }
  return KeepRegular(fd, st);
}

// The same below a limit: the file is opened in its folder without following
// a link (681 for a link).
int OpenRegularForRead(const std::string& native, const std::string& within, struct stat* st) {
  std::vector<std::string> below;
  if (within.empty() || !detail::ComponentsBelow(native, within, &below) || below.empty())
    return OpenRegularForRead(native, st);
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

void Discard(int fd, int dirFd, const std::string& tmp) {
  if (fd >= 0) close(fd);
  if (!tmp.empty()) unlinkat(dirFd, tmp.c_str(), 0);
}

// A new temporary file in the open folder; the fd or -1 with errno set.
int CreateTempIn(int dirFd, std::string* name) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    *name = detail::TempName();
    const int fd =
        openat(dirFd, name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno != EEXIST) return -1;
      continue;
    }
    // Held while the copy is made: a sweep of leftovers passes it by. A sweep
    // that holds it already takes this name: try another. (One that came and
    // went between the create and the lock is found at the rename.)
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    close(fd);
  }
  errno = EEXIST;
  return -1;
}

uint32_t CopyOnce(const std::string& src, const std::string& srcBase, const std::string& dst,
                  const std::string& base, bool failIfExists, bool flushToDevice, bool* swept);

}  // namespace

bool MatchFileMask(std::string_view name, std::string_view mask) {
  if (mask == "*" || mask == "*.*") return true;
  const std::u16string n = Utf8ToUtf16(ToUpper(name));
  const std::u16string m = Utf8ToUtf16(ToUpper(mask));
  // Greedy match with backtracking to the last "*" (linear in practice).
  size_t i = 0, j = 0, starJ = std::u16string::npos, starI = 0;
  auto unitLen = [](const std::u16string& s, size_t k) {
    return (s[k] >= 0xD800 && s[k] <= 0xDBFF && k + 1 < s.size()) ? 2u : 1u;
  };
  while (i < n.size()) {
    if (j < m.size() && m[j] == u'*') {
      starJ = j++;
      starI = i;
    } else if (j < m.size() && m[j] == u'?') {
      i += unitLen(n, i);
      ++j;
    } else if (j < m.size() && m[j] == n[i]) {
      ++i;
      ++j;
    } else if (starJ != std::u16string::npos) {
      j = starJ + 1;
      starI += unitLen(n, starI);
      i = starI;
    } else {
      return false;
    }
  }
  while (j < m.size() && m[j] == u'*') ++j;
  return j == m.size();
}

uint32_t GetFileAttributes(std::string_view path) {
  std::string native;
  if (!Resolve(path, &native)) return kInvalidAttributes;
  if (fault::Hit()) return kInvalidAttributes;
  struct stat st;
  if (stat(native.c_str(), &st) != 0) {
    SetLastError(ErrorFor(errno, native));
    return kInvalidAttributes;
  }
  return detail::AttributesOf(st, NativeName(native));
}

bool SetFileAttributes(std::string_view path, uint32_t attributes) {
  return SetFileAttributes(path, attributes, {});
}

bool SetFileAttributes(std::string_view path, uint32_t attributes, std::string_view confineTo) {
  std::string native, base;
  if (!Resolve(path, &native) || !ResolveConfine(confineTo, &base)) return false;
  if (fault::Hit()) return false;
  detail::ParentFolder folder;
  if (!folder.Open(native, base)) return false;
  struct stat st;
  const int err = folder.Stat(&st);
  if (err == detail::ParentFolder::kLinkFound) return Fail(kErrStoppedOnLink);
  if (err != 0) return Fail(ErrorFor(err, native));
  mode_t mode = st.st_mode & 07777;
  mode = (attributes & kAttrReadOnly) ? (mode & ~S_IWUSR) : (mode | S_IWUSR);
  if (mode == (st.st_mode & 07777)) return true;
  // Checked above not to be a link when confined; the kernel refuses to
  // change a link's own mode, so a link swapped in meanwhile fails here.
  int rc = fchmodat(folder.Fd(), folder.Name().c_str(), mode,
                    folder.Confined() ? AT_SYMLINK_NOFOLLOW : 0);
  if (rc != 0 && folder.Confined() && (errno == ENOTSUP || errno == EOPNOTSUPP)) {
    return Fail(kErrStoppedOnLink);
  }
  if (rc != 0) return Fail(ErrorFor(errno, native));
  return true;
}

bool FileExists(std::string_view path) {
  const std::string plain = StripLongPathPrefix(path);
  if (HasWildcards(PathName(plain))) {
    DirSearch search;
    FindData data;
    return search.Open(plain, &data);
  }
  std::string native;
  if (!Resolve(plain, &native)) return false;
  if (fault::Hit()) return false;
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return Fail(ErrorFor(errno, native));
  return true;
}

bool EntryExists(std::string_view path) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return Fail(ErrnoToWinError(errno));
  return true;
}

bool LookUpFileInfo(std::string_view path, FindData* out) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return Fail(ErrnoToWinError(errno));
  detail::FillFindData(st, NativeName(native), out);
  return true;
}

bool IsDirectory(std::string_view path) {
  const uint32_t a = GetFileAttributes(path);
  return a != kInvalidAttributes && (a & kAttrDirectory);
}

bool GetFileInfo(std::string_view path, FindData* out) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return Fail(ErrorFor(errno, native));
  detail::FillFindData(st, NativeName(native), out);
  return true;
}

bool CreateDirectory(std::string_view path, bool privateMode) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  if (mkdir(native.c_str(), privateMode ? 0700 : 0777) != 0) {
    if (errno == EEXIST) return Fail(kErrAlreadyExists);
    return Fail(errno == ENOENT ? kErrPathNotFound : ErrorFor(errno, native));
  }
  return true;
}

bool CreateDirectories(std::string_view path) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  struct stat st;
  if (stat(native.c_str(), &st) == 0) {
    return S_ISDIR(st.st_mode) ? true : Fail(kErrAlreadyExists);
  }
  // Create each missing level from the top down.
  for (size_t pos = 1; pos <= native.size(); ++pos) {
    if (pos != native.size() && native[pos] != '/') continue;
    const std::string part = native.substr(0, pos);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      return Fail(errno == ENOENT ? kErrPathNotFound : ErrnoToWinError(errno));
    }
  }
  if (stat(native.c_str(), &st) != 0) return Fail(ErrorFor(errno, native));
  return S_ISDIR(st.st_mode) ? true : Fail(kErrAlreadyExists);
}

bool CreateDirectories(std::string_view folder, std::string_view confineTo, bool privateMode) {
  const mode_t mode = privateMode ? 0700 : 0777;
  std::string native, base;
  if (!Resolve(folder, &native) || !ResolveConfine(confineTo, &base)) return false;
  if (fault::Hit()) return false;
  std::vector<std::string> below;
  const bool confined = !base.empty() && detail::ComponentsBelow(native, base, &below);
  // Folders that all exist already (the common case: the next file of the
  // same folder) are only opened, without a link, below the confining folder.
  if (confined && !below.empty()) {
    const int fd = detail::OpenFolderBelow(base, below, /*levelByLevel=*/false);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    // Only the last one missing (the first file of a new folder): made in its
    // parent, opened as above. Anything else goes level by level below.
    if (below.size() > 1) {
      const int parent = detail::OpenFolderBelow(
          base, std::vector<std::string>(below.begin(), below.end() - 1), false);
      const bool made = parent >= 0 && mkdirat(parent, below.back().c_str(), mode) == 0;
      if (parent >= 0) close(parent);
      if (made) return true;
    }
  }
  // Above the confining folder (and everything when there is none) links are
  // the user's own choice: plain mkdir level by level, unless the confining
  // folder is there already.
  int top = confined ? open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC) : -1;
  const std::string upper = confined ? base : native;
  for (size_t pos = 1; top < 0 && pos <= upper.size(); ++pos) {
    if (pos != upper.size() && upper[pos] != '/') continue;
    if (mkdir(upper.substr(0, pos).c_str(), mode) != 0 && errno != EEXIST) {
      return Fail(errno == ENOENT ? kErrPathNotFound : ErrnoToWinError(errno));
    }
  }
  struct stat st;
  if (!confined) {
    if (stat(native.c_str(), &st) != 0) return Fail(ErrorFor(errno, native));
    return S_ISDIR(st.st_mode) ? true : Fail(kErrAlreadyExists);
  }
  if (top < 0) top = open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (top < 0) return Fail(ErrorFor(errno, base));
  const int fd = detail::OpenFoldersNoFollow(top, below, mode);
  close(top);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool MirrorFolderAccess(std::string_view source, std::string_view target,
                        std::string_view confineTo, std::string_view onlyBelow) {
  std::string src, dst, base, limit;
  if (!Resolve(source, &src) || !Resolve(target, &dst) || !ResolveConfine(confineTo, &base) ||
      base.empty() || (!onlyBelow.empty() && !Resolve(onlyBelow, &limit)))
    return false;
  std::vector<std::string> kept;  // levels at or above onlyBelow keep their access
  if (!limit.empty()) detail::ComponentsBelow(limit, base, &kept);
  std::vector<std::string> below, from;
  if (!detail::ComponentsBelow(dst, base, &below) || below.size() < 2) return true;
  detail::ComponentsBelow(src, "/", &from);
  below.pop_back();  // the files themselves
  if (!from.empty()) from.pop_back();
  // Levels that pair up: the same name at the same distance from the file.
  size_t levels = 0;
  while (levels < below.size() && levels < from.size() &&
         below[below.size() - 1 - levels] == from[from.size() - 1 - levels])
    ++levels;
  levels = std::min(levels, below.size() - std::min(kept.size(), below.size()));
  if (levels == 0) return true;
  const size_t first = below.size() - levels;
  // The first folder to follow is opened with those above it at once.
  int fd = detail::OpenFolderBelow(
      base, std::vector<std::string>(below.begin(), below.begin() + first + 1));
  if (fd < 0) return false;
  std::string model = "/";
  for (size_t i = 0; i < from.size() - levels; ++i) model += from[i] + "/";
  for (size_t i = first; i < below.size(); ++i) {
    model += from[i - first + from.size() - levels];
    if (i > first) {
      const int next = detail::OpenFoldersNoFollow(fd, {below[i]}, 0);
      close(fd);
      fd = next;
      if (fd < 0) return false;
    }
    struct stat want, have;
    if (stat(model.c_str(), &want) != 0 || !S_ISDIR(want.st_mode) || fstat(fd, &have) != 0) {
      model += "/";
      continue;  // the source folder went meanwhile: nothing to follow
    }
    model += "/";
    // Owner and group first (a change of owner clears set-id bits), each
    // kept only where the file system and the user's rights allow it.
    if (have.st_uid != want.st_uid || have.st_gid != want.st_gid) {
      if (fchownat(fd, "", want.st_uid, want.st_gid, AT_EMPTY_PATH) != 0)
        fchownat(fd, "", static_cast<uid_t>(-1), want.st_gid, AT_EMPTY_PATH);
      fstat(fd, &have);
    }
    const mode_t mode = (want.st_mode & 07777 & ~S_ISUID) | S_IRWXU;
    if ((have.st_mode & 07777) != mode) {
      // An O_PATH descriptor takes no fchmod; its /proc name names the folder.
      const std::string self = "/proc/self/fd/" + std::to_string(fd);
      chmod(self.c_str(), mode);
    }
  }
  close(fd);
  return true;
}

bool RemoveDirectory(std::string_view path) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  if (rmdir(native.c_str()) != 0) {
    if (errno == ENOTEMPTY || errno == EEXIST) return Fail(kErrDirNotEmpty);
    if (errno == ENOTDIR) {
      struct stat st;
      if (stat(native.c_str(), &st) == 0) return Fail(kErrDirectory);
    }
    return Fail(ErrorFor(errno, native));
  }
  return true;
}

bool DeleteFile(std::string_view path) { return DeleteFile(path, {}); }

bool DeleteLeftoverCopy(std::string_view path) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  const int fd = open(native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Fail(ErrorFor(errno, native));
  // A copy being made holds its lock until it has its final name.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return Fail(kErrSharingViolation);
  }
  const bool deleted = DeleteFile(path);
  close(fd);
  return deleted;
}

bool DeleteFile(std::string_view path, std::string_view confineTo) {
  std::string native, base;
  if (!Resolve(path, &native) || !ResolveConfine(confineTo, &base)) return false;
  if (fault::Hit()) return false;
  detail::ParentFolder folder;
  if (!folder.Open(native, base)) return false;
  struct stat st;
  if (fstatat(folder.Fd(), folder.Name().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return Fail(ErrorFor(errno, native));
  if (folder.Confined() && S_ISLNK(st.st_mode)) return Fail(kErrStoppedOnLink);
  if (S_ISDIR(st.st_mode)) return Fail(kErrAccessDenied);
  // As on the system the program was made for, a read-only file must have its
  // read-only attribute cleared before it can be deleted.
  if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) return Fail(kErrAccessDenied);
  if (unlinkat(folder.Fd(), folder.Name().c_str(), 0) != 0) return Fail(ErrorFor(errno, native));
  return true;
}

uint32_t CopyFile(std::string_view source, std::string_view target, bool failIfExists,
                  bool flushToDevice) {
  return CopyFile(source, target, failIfExists, flushToDevice, {});
}

uint32_t CopyFile(std::string_view source, std::string_view target, bool failIfExists,
                  bool flushToDevice, std::string_view confineTo) {
  return CopyFileWithin(source, confineTo, target, confineTo, failIfExists, flushToDevice);
}

uint32_t CopyFileWithin(std::string_view source, std::string_view sourceWithin,
                        std::string_view target, std::string_view targetWithin, bool failIfExists,
                        bool flushToDevice) {
  std::string src, dst, base, srcBase;
  if (!Resolve(source, &src) || !Resolve(target, &dst) ||
      !ResolveConfine(targetWithin, &base, /*lookAtVolume=*/false))
    return GetLastError();
  if (sourceWithin == targetWithin) {
    srcBase = base;
  } else if (!ResolveConfine(sourceWithin, &srcBase, /*lookAtVolume=*/false)) {
    return GetLastError();
  }
  if (fault::Hit()) return GetLastError();
  // A sweep of leftovers may take the temporary file in the moments it is not
  // locked (just made, or closed before its rename): the copy is made again.
  for (int attempt = 1;; ++attempt) {
    bool swept = false;
    const uint32_t rc = CopyOnce(src, srcBase, dst, base, failIfExists, flushToDevice, &swept);
    if (!swept || attempt == 8) return rc;
  }
}

namespace {

// One attempt of CopyFileWithin on resolved paths; *swept when the temporary
// file was gone at its rename.
uint32_t CopyOnce(const std::string& src, const std::string& srcBase, const std::string& dst,
                  const std::string& base, bool failIfExists, bool flushToDevice, bool* swept) {
  struct stat st;
  const int in = OpenRegularForRead(src, srcBase, &st);
  if (in < 0) return VolumeGoneOr(srcBase);
  detail::ParentFolder folder;
  if (!folder.Open(dst, base)) {
    close(in);
    return VolumeGoneOr(base);
  }
  struct stat old;
  const int found = folder.Stat(&old);
  if (found == 0 || found == detail::ParentFolder::kLinkFound) {
    uint32_t code = 0;
    if (found != 0) {
      code = kErrStoppedOnLink;
    } else if (failIfExists) {
      code = kErrFileExists;
    } else if (S_ISDIR(old.st_mode) || !(old.st_mode & S_IWUSR)) {
      code = kErrAccessDenied;  // a folder or a read-only file is never replaced
    } else if (old.st_dev == st.st_dev && old.st_ino == st.st_ino) {
      code = kErrSharingViolation;  // copying a file onto itself
    }
    if (code) {
      close(in);
      return FailCode(code);
    }
  }
  std::string tmp;
  if (fault::Hit()) {
    close(in);
    return GetLastError();
  }
  int out = CreateTempIn(folder.Fd(), &tmp);
  if (out < 0) {
    const uint32_t code = ErrorFor(errno, NativeParent(dst) + "/" + tmp);
    close(in);
    return FailCode(code);
  }
  bool ok = CopyData(in, out, static_cast<uint64_t>(st.st_size));
  close(in);
  if (ok) {
    // Mode and times go on after the data, or the writes would change them.
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (fchmod(out, st.st_mode & 07777) != 0 || futimens(out, times) != 0)
      ok = Fail(ErrnoToWinError(errno));
  }
  if (ok && flushToDevice) {
    if (fault::Hit()) {
      ok = false;
    } else if (fsync(out) != 0) {
      ok = Fail(ErrnoToWinError(errno));
    }
  }
  if (ok) {
    const int rc = close(out);  // network file systems report write errors here
    out = -1;
    if (rc != 0) ok = Fail(ErrnoToWinError(errno));
  }
  if (ok && fault::Hit()) ok = false;
  if (ok) {
    const int dir = folder.Fd();
    const char* name = folder.Name().c_str();
    // A link that took the final name meanwhile is replaced, never followed.
    const int err = failIfExists ? RenameNoReplace(dir, tmp.c_str(), dir, name)
                                 : (renameat(dir, tmp.c_str(), dir, name) == 0 ? 0 : errno);
    if (err == EEXIST) {
      ok = Fail(kErrFileExists);
    } else if (err == ENOENT && faccessat(dir, tmp.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) != 0) {
      *swept = true;
      ok = Fail(kErrFileNotFound);
    } else if (err != 0) {
      ok = Fail(err == EISDIR ? kErrAccessDenied : ErrnoToWinError(err));
    }
  }
  if (!ok) {
    Discard(out, folder.Fd(), tmp);
    return GetLastError();
  }
  // The data was synced before the rename and the copy is whole under its
  // final name: a folder sync that fails now only delays the name reaching
  // the device, so it does not turn the copy into a failure (and is not a
  // step of the fault seam).
  if (flushToDevice) detail::SyncFolder(folder.Fd());
  return 0;
}

}  // namespace

uint32_t MoveFile(std::string_view source, std::string_view target) {
  return MoveFile(source, target, {});
}

uint32_t MoveFile(std::string_view source, std::string_view target, std::string_view confineTo) {
  std::string src, dst, base;
  if (!Resolve(source, &src) || !Resolve(target, &dst) || !ResolveConfine(confineTo, &base))
    return GetLastError();
  if (fault::Hit()) return GetLastError();
  detail::ParentFolder from, to;
  if (!from.Open(src, base)) return GetLastError();
  struct stat st;
  if (fstatat(from.Fd(), from.Name().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return FailCode(ErrorFor(errno, src));
  if (from.Confined() && S_ISLNK(st.st_mode)) return FailCode(kErrStoppedOnLink);
  if (!to.Open(dst, base)) return GetLastError();
  const int err = RenameNoReplace(from.Fd(), from.Name().c_str(), to.Fd(), to.Name().c_str());
  if (err == 0) return 0;
  if (err == EEXIST || err == ENOTEMPTY) return FailCode(kErrAlreadyExists);
  if (err != EXDEV) return FailCode(ErrorFor(err, dst));
  // Another volume: copy, then delete the source. Folders are not carried over.
  if (S_ISDIR(st.st_mode)) return FailCode(kErrNotSameDevice);
  const uint32_t rc = CopyFileWithin(source, confineTo, target, confineTo, true, false);
  if (rc != 0) return FailCode(rc == kErrFileExists ? kErrAlreadyExists : rc);
  uint32_t code = 0;
  if (fault::Hit()) {
    code = GetLastError();
  } else if (unlinkat(from.Fd(), from.Name().c_str(), 0) != 0) {
    code = ErrorFor(errno, src);
  }
  if (code != 0) {
    unlinkat(to.Fd(), to.Name().c_str(), 0);  // keep exactly one copy: the source
    return FailCode(code);
  }
  return 0;
}

void SetThreadCancelFlag(const std::atomic<bool>* flag) { tCancel = flag; }

bool ThreadCancelRequested() { return Cancelled(); }

uint32_t ReplaceFile(std::string_view source, std::string_view target) {
  std::string src, dst;
  if (!Resolve(source, &src) || !Resolve(target, &dst)) return GetLastError();
  if (fault::Hit()) return GetLastError();
  if (rename(src.c_str(), dst.c_str()) != 0) {
    if (errno == EISDIR || errno == ENOTEMPTY) return FailCode(kErrAccessDenied);
    if (errno == EXDEV) return FailCode(kErrNotSameDevice);
    struct stat st;
    if (errno == ENOENT && lstat(src.c_str(), &st) != 0) return FailCode(ErrorFor(ENOENT, src));
    return FailCode(ErrorFor(errno, dst));
  }
  return 0;
}

bool WriteFileAtomic(std::string_view path, std::string_view data, bool privateMode) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  struct stat old;
  const bool exists = stat(native.c_str(), &old) == 0;
  if (exists && (S_ISDIR(old.st_mode) || !(old.st_mode & S_IWUSR))) return Fail(kErrAccessDenied);
  if (fault::Hit()) return false;
  std::string tmp;
  int fd = detail::CreateTempNextTo(native, privateMode ? 0600 : 0666, &tmp);
  if (fd < 0) return Fail(ErrorFor(errno, tmp));
  bool ok = detail::WriteAll(fd, data.data(), data.size());
  // A rewritten file keeps its mode; credentials are never readable by others.
  if (ok && (privateMode || exists)) {
    const mode_t mode = privateMode ? 0600 : (old.st_mode & 07777);
    if (fchmod(fd, mode) != 0) ok = Fail(ErrnoToWinError(errno));
  }
  // The data must be on the device before the name points at it.
  if (ok) {
    if (fault::Hit()) {
      ok = false;
    } else if (fsync(fd) != 0) {
      ok = Fail(ErrnoToWinError(errno));
    }
  }
  if (ok) {
    const int rc = close(fd);
    fd = -1;
    if (rc != 0) ok = Fail(ErrnoToWinError(errno));
  }
  if (ok) {
    if (fault::Hit()) {
      ok = false;
    } else if (rename(tmp.c_str(), native.c_str()) != 0) {
      ok = Fail(ErrorFor(errno, native));
    }
  }
  if (!ok) {
    Discard(fd, AT_FDCWD, tmp);
    return false;
  }
  // The rename itself must survive a crash.
  if (fault::Hit()) return false;
  return detail::SyncFolder(NativeParent(native));
}

bool ReadWholeFile(std::string_view path, std::string* out, uint64_t maxBytes) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  struct stat st;
  const int fd = OpenRegularForRead(native, &st);
  if (fd < 0) return false;
  if (static_cast<uint64_t>(st.st_size) > maxBytes) {
    close(fd);
    return Fail(kErrFileTooLarge);
  }
  // Read straight into the text, sized by the file (a byte more tells that it
  // grew; files that report no size, as under /proc, get room as they fill).
  std::string data(std::max<size_t>(static_cast<size_t>(st.st_size) + 1, 4096), '\0');
  size_t used = 0;
  for (;;) {
    if (fault::Hit()) {
      close(fd);
      return false;
    }
    if (used == data.size()) data.resize(data.size() * 2);
    const ssize_t r = read(fd, data.data() + used, data.size() - used);
    if (r < 0) {
      if (errno == EINTR) continue;
      const uint32_t code = ErrnoToWinError(errno);
      close(fd);
      return Fail(code);
    }
    if (r == 0) break;
    used += static_cast<size_t>(r);
    if (used > maxBytes) {  // it grew while read
      close(fd);
      return Fail(kErrFileTooLarge);
    }
  }
  close(fd);
  data.resize(used);
  *out = std::move(data);
  return true;
}

bool GetDiskSpace(std::string_view path, uint64_t* freeToCaller, uint64_t* total) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  // A path not yet created is measured at its nearest existing folder.
  std::string probe = native;
  struct statvfs vfs;
  while (statvfs(probe.c_str(), &vfs) != 0) {
    if (probe == "/") return Fail(ErrorFor(errno, probe));
    probe = NativeParent(probe);
  }
  uint64_t freeBytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  uint64_t totalBytes = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
  VolumeInfo vol;
  if (VolumeTable::Instance().FindByNativePath(native, &vol)) {
    if (vol.hasFreeBytes) freeBytes = vol.freeBytes;
    if (vol.hasTotalBytes) totalBytes = vol.totalBytes;
  }
  if (freeToCaller) *freeToCaller = freeBytes;
  if (total) *total = totalBytes;
  return true;
}

bool DeleteTree(std::string_view folder, const std::atomic<bool>* cancel) {
  const std::string base = WithSeparator(folder);
  DirSearch search;
  FindData fd;
  if (search.Open(base + "*", &fd)) {
    do {
      if (cancel && cancel->load()) return false;
      if (fd.name == "." || fd.name == "..") continue;
      const std::string path = base + fd.name;
      if (fd.attributes & kAttrDirectory) {
        DeleteTree(path, cancel);
      } else {
        if (fd.attributes & kAttrReadOnly) SetFileAttributes(path, fd.attributes & ~kAttrReadOnly);
        DeleteFile(path);
      }
    } while (search.Next(&fd));
    search.Close();
  }
  std::string_view bare = folder;
  if (!bare.empty() && bare.back() == '\\') bare.remove_suffix(1);
  RemoveDirectory(bare);
  return !FileExists(bare);
}

}  // namespace plat
