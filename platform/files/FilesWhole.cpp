// Whole files: written atomically (temporary file, sync, rename, folder sync)
// and read in one call up to a limit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/base/Errors.h"
#include "platform/base/FaultSeam.h"
#include "platform/files/FileSupport.h"
#include "platform/files/Files.h"
#include "platform/files/FilesConfine.h"

namespace plat {

using detail::Discard;
using detail::ErrorFor;
using detail::Fail;
using detail::NativeParent;
using detail::OpenRegularForRead;
using detail::Resolve;

bool WriteFileAtomic(std::string_view path, std::string_view data, bool privateMode) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  struct stat old;
  const bool exists = stat(native.c_str(), &old) == 0;
  if (exists && (S_ISDIR(old.st_mode) || !(old.st_mode & S_IWUSR))) return Fail(kErrAccessDenied);
  if (fault::Hit()) return false;
  std::string tmp;
  // Made no more open than the file it becomes (a rewrite keeps the old mode),
  // so a secret written into it is never readable by others meanwhile.
  const mode_t createMode = privateMode ? 0600 : exists ? (old.st_mode & 0777) : 0666;
  int fd = detail::CreateTempNextTo(native, createMode, &tmp);
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

bool ReadOwnFile(std::string_view path, std::string* out, uint64_t maxBytes, bool anyOwner) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  // Not through a link, never blocking on a pipe: a plain file of the caller's
  // (of anyone's when asked).
  const int fd = open(native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Fail(ErrorFor(errno, native));
  struct stat st;
  const bool taken =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (anyOwner || st.st_uid == geteuid());
  const bool fits = taken && static_cast<uint64_t>(st.st_size) <= maxBytes;
  std::string data(fits ? static_cast<size_t>(st.st_size) : 0, '\0');
  ssize_t r = fits ? pread(fd, data.data(), data.size(), 0) : -1;
  close(fd);
  if (!taken) return Fail(kErrAccessDenied);
  if (!fits) return Fail(kErrFileTooLarge);
  if (r < 0) return Fail(ErrnoToWinError(errno));
  data.resize(static_cast<size_t>(r));
  *out = std::move(data);
  return true;
}

}  // namespace plat
