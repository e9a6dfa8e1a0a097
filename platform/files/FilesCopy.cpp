// Copying a file: through a locked temporary file in the target folder,
// renamed into place; stops on the thread's cancel flag between chunks.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/base/Errors.h"
#include "platform/base/FaultSeam.h"
#include "platform/files/FileSupport.h"
#include "platform/files/Files.h"
#include "platform/files/FilesBelow.h"
#include "platform/files/FilesConfine.h"
#include "platform/files/FolderAccess.h"

namespace plat {

using detail::Discard;
using detail::ErrorFor;
using detail::Fail;
using detail::FailCode;
using detail::NativeParent;
using detail::OpenRegularForRead;
using detail::RenameNoReplace;
using detail::Resolve;
using detail::ResolveConfine;
using detail::VolumeGoneOr;

namespace detail {

int CreateTempIn(int dirFd, std::string* name, mode_t mode) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    *name = detail::TempName();
    // Arriving before it exists: a watcher never sees it as the user's. The
    // caller forgets the name once the file is in place or gone.
    NoteArriving(*name, true);
    const int fd =
        openat(dirFd, name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
      const int error = errno;
      NoteArriving(*name, false);
      if (error == EEXIST) continue;
      errno = error;
      return -1;
    }
    // Held while the copy is made: a sweep of leftovers passes it by. A sweep
    // that holds it already takes this name: try another. (One that came and
    // went between the create and the lock is found at the rename.)
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    NoteArriving(*name, false);
    close(fd);
  }
  errno = EEXIST;
  return -1;
}

}  // namespace detail

using detail::CreateTempIn;

namespace {

thread_local const std::atomic<bool>* tCancel = nullptr;

// The mode a copy's temporary file is made with: the source's permission
// bits, always readable and writable by the owner (a leftover can then be
// swept); set-id bits only by a change of mode after the data.
mode_t TempModeFor(mode_t sourceMode) { return (sourceMode & 0777) | S_IRUSR | S_IWUSR; }

// Whether the temporary file needs a change of mode after its data for the
// copy to carry the source's: set-id or sticky bits, a mask that took bits
// away, a new owner (which clears set-id bits), or an unknown mask.
bool NeedsModeChange(mode_t sourceMode, bool newOwner) {
  const int mask = detail::ProcessUmask();
  const mode_t made = TempModeFor(sourceMode) & ~static_cast<mode_t>(mask < 0 ? 0 : mask);
  return mask < 0 || newOwner || (sourceMode & 07000) != 0 || made != (sourceMode & 0777);
}

bool Cancelled() { return tCancel != nullptr && tCancel->load(std::memory_order_relaxed); }

// Copies the open source into the open target: copy_file_range while the
// file systems allow it, read/write otherwise. Sets the last error on failure.
// Copies in's data from its start. watched: the caller compares the source's
// status after the copy, so a file that grew is caught there and the copy
// may end at the expected size without asking for more.
bool CopyData(int in, int out, uint64_t expected, bool watched) {
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
      loff_t from = static_cast<loff_t>(copied);
      const ssize_t r = copy_file_range(in, &from, out, nullptr, 4u << 20, 0);
      if (r > 0) {
        copied += static_cast<uint64_t>(r);
        if (watched && copied == expected) return true;
        continue;
      }
      if (r == 0 && copied >= expected) return true;
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != ENOTSUP &&
          errno != EOPNOTSUPP && errno != EBADF && errno != EPERM)
        return Fail(ErrnoToWinError(errno));
      // Not supported here, or a file system that reports no data where the
      // size says there is some: go on with plain reads from where it got.
      useRange = false;
      buffer.resize(kChunk);
      continue;
    }
    if (fault::Hit()) return false;
    const ssize_t r = pread(in, buffer.data(), buffer.size(), static_cast<off_t>(copied));
    if (r < 0) {
      if (errno == EINTR) continue;
      return Fail(ErrnoToWinError(errno));
    }
    if (r == 0) return true;
    if (!detail::WriteAll(out, buffer.data(), static_cast<size_t>(r))) return false;
    copied += static_cast<uint64_t>(r);
  }
}

// How a copy is made.
struct CopyWay {
  bool failIfExists = false;
  bool flushToDevice = false;
  bool ownerOfFolder = false;
  CopyWatch* watch = nullptr;  // what the copy saw of its source (may be null)
  const std::function<void()>* beforeRename = nullptr;  // runs when the data is whole
  bool reachableMode = false;       // the source's mode as its folders let others have it
  bool noMoreThanReplaced = false;  // permission bits within those of the file replaced
};

uint32_t CopyOnce(int in, const struct stat& st, const std::string& dst, const std::string& base,
                  const CopyWay& way, bool* swept);
uint32_t CopyResolved(std::string_view source, std::string_view sourceWithin,
                      std::string_view target, std::string_view targetWithin, const CopyWay& way);

// A sweep of leftovers may take the temporary file in the moments it is not
// locked (just made, or closed before its rename): the copy is made again.
// open gives the source for each attempt (-1 ends with the last error).
template <typename Open>
uint32_t CopyAttempts(const std::string& dst, const std::string& base, const CopyWay& way,
                      const Open& open) {
  if (fault::Hit()) return GetLastError();
  for (int attempt = 1;; ++attempt) {
    struct stat st;
    bool swept = false, owned = false;
    const int in = open(&st, &owned);
    if (in < 0) return GetLastError();
    const uint32_t rc = CopyOnce(in, st, dst, base, way, &swept);
    if (owned) close(in);
    if (!swept || attempt == 8) return rc;
  }
}

}  // namespace

void SetThreadCancelFlag(const std::atomic<bool>* flag) { tCancel = flag; }

bool ThreadCancelRequested() { return Cancelled(); }

const std::atomic<bool>* ThreadCancelFlag() { return tCancel; }

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
  return CopyFileWithin(source, sourceWithin, target, targetWithin, failIfExists, flushToDevice,
                        false);
}

uint32_t CopyFileWatched(std::string_view source, std::string_view target, bool flushToDevice,
                         std::string_view confineTo, CopyWatch* watch,
                         const std::function<void()>& beforeRename, bool reachableMode) {
  return CopyResolved(source, confineTo, target, confineTo,
                      {false, flushToDevice, false, watch, &beforeRename, reachableMode});
}

uint32_t CopyFileWithin(std::string_view source, std::string_view sourceWithin,
                        std::string_view target, std::string_view targetWithin, bool failIfExists,
                        bool flushToDevice, bool ownerOfFolder) {
  return CopyResolved(source, sourceWithin, target, targetWithin,
                      {failIfExists, flushToDevice, ownerOfFolder, nullptr, nullptr, false, true});
}

namespace {

uint32_t CopyResolved(std::string_view source, std::string_view sourceWithin,
                      std::string_view target, std::string_view targetWithin, const CopyWay& way) {
  std::string src, dst, base, srcBase;
  if (!Resolve(source, &src) || !Resolve(target, &dst) ||
      !ResolveConfine(targetWithin, &base, /*lookAtVolume=*/false))
    return GetLastError();
  if (sourceWithin == targetWithin) {
    srcBase = base;
  } else if (!ResolveConfine(sourceWithin, &srcBase, /*lookAtVolume=*/false)) {
    return GetLastError();
  }
  return CopyAttempts(dst, base, way, [&](struct stat* st, bool* owned) {
    // A source opened already is read from its start.
    // (The copy reads at offsets of its own; a change since the open shows
    // in the status taken after the copy.)
    int in = detail::ReadFromFor(src, st);
    *owned = in < 0;
    if (in < 0) in = OpenRegularForRead(src, srcBase, st);
    if (in < 0) {
      VolumeGoneOr(srcBase);
      return in;
    }
    if (way.reachableMode)
      st->st_mode = (st->st_mode & ~07777u) | ReachableMode(source, st->st_mode & 07777u);
    return in;
  });
}

}  // namespace

namespace {

// One attempt of CopyFileWithin on resolved paths; *swept when the temporary
// file was gone at its rename.
uint32_t CopyOnce(int in, const struct stat& st, const std::string& dst, const std::string& base,
                  const CopyWay& way, bool* swept) {
  const bool failIfExists = way.failIfExists, flushToDevice = way.flushToDevice;
  CopyWatch* watch = way.watch;
  if (watch) watch->before = watch->after = detail::StampOf(st);
  detail::ParentFolder folder;
  if (!folder.Open(dst, base)) return VolumeGoneOr(base);
  struct stat old;
  const int found = watch && watch->targetAbsent ? ENOENT : folder.Stat(&old);
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
    if (code) return FailCode(code);
  }
  // A restored file is never open to more users than the one it replaces.
  const mode_t mode = way.noMoreThanReplaced && found == 0
                          ? (st.st_mode & ~07777u) | (st.st_mode & old.st_mode & 07777u)
                          : st.st_mode;
  std::string tmp;
  if (fault::Hit()) return GetLastError();
  int out = CreateTempIn(folder.Fd(), &tmp, TempModeFor(mode));
  if (out < 0) return FailCode(ErrorFor(errno, NativeParent(dst) + "/" + tmp));
  // Half-written under this name until the rename: never a file of the
  // user's for a plan watching the folder (a restore into a protected one).
  struct Arriving {
    const std::string& name;
    ~Arriving() { detail::NoteArriving(name, false); }
  } arriving{tmp};
  bool ok = CopyData(in, out, static_cast<uint64_t>(st.st_size), watch != nullptr);
  struct stat into;
  if (ok && way.ownerOfFolder &&
      (fstat(folder.Fd(), &into) != 0 || fchown(out, into.st_uid, into.st_gid) != 0))
    ok = Fail(ErrnoToWinError(errno));
  if (ok && watch) {
    // The same open file once more: a write meanwhile moved its times or size.
    struct stat now;
    if (fstat(in, &now) != 0) {
      ok = Fail(ErrnoToWinError(errno));
    } else {
      watch->after = detail::StampOf(now);
      if (!watch->Steady()) ok = Fail(kErrSourceChanged);
    }
  }
  if (ok) {
    // Mode and times go on after the data and the owner, or the writes
    // would change them (and a new owner would clear the set-id bits).
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if ((NeedsModeChange(mode, way.ownerOfFolder) && fchmod(out, mode & 07777) != 0) ||
        futimens(out, times) != 0)
      ok = Fail(ErrnoToWinError(errno));
  }
  if (ok && flushToDevice) {
    if (fault::Hit()) {
      ok = false;
    } else if (fsync(out) != 0) {
      ok = Fail(ErrnoToWinError(errno));
    }
  }
  // Renamed while still open, and so still locked: a sweep of leftovers
  // never finds it unlocked between the close and the rename. A close reports
  // no write error that the flush before it would not have reported first
  // (stores whose copies count only once on the device are flushed above).
  if (ok && way.beforeRename != nullptr && *way.beforeRename) (*way.beforeRename)();
  // The rename's step of the fault seam comes after the hook: a rename that
  // fails does so after the caller made room for it.
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
  if (ok) {
    const int rc = close(out);
    out = -1;
    if (rc != 0) ok = Fail(ErrnoToWinError(errno));
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

}  // namespace plat
