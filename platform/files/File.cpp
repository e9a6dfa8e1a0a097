#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/base/Errors.h"
#include "platform/base/FaultSeam.h"
#include "platform/files/FileSupport.h"
#include "platform/files/Files.h"
#include "platform/files/FilesConfine.h"

namespace plat {

using detail::Fail;

File::~File() { Close(); }

void File::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool File::Open(std::string_view path, Access access, Disposition disposition) {
  Close();
  std::string native;
  if (!detail::Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  switch (access) {
    case kRead:
      flags |= O_RDONLY;
      break;
    case kWrite:
      flags |= O_WRONLY;
      break;
    default:
      flags |= O_RDWR;
      break;
  }
  switch (disposition) {
    case kOpenExisting:
      break;
    case kOpenAlways:
      flags |= O_CREAT;
      break;
    case kCreateAlways:
      flags |= O_CREAT | O_TRUNC;
      break;
    case kCreateNew:
      flags |= O_CREAT | O_EXCL;
      break;
  }
  // Replacing a read-only file fails, as it does on the system the program
  // was made for (and as non-root users see it here).
  if (access & kWrite) {
    struct stat st;
    if (stat(native.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR) &&
        disposition != kCreateNew)
      return Fail(kErrAccessDenied);
  }
  // A source opened already (CopiesReadFrom) is read from its start.
  const int given =
      access == kRead && disposition == kOpenExisting ? detail::ReadFromFor(native) : -1;
  const int fd = given >= 0 ? fcntl(given, F_DUPFD_CLOEXEC, 0) : open(native.c_str(), flags, 0666);
  if (given >= 0 && fd >= 0) lseek(fd, 0, SEEK_SET);
  if (fd < 0) {
    const int err = errno;
    if (err == EEXIST) return Fail(kErrFileExists);
    return Fail(detail::ErrorFor(err, native));
  }
  // Only regular files: a pipe or device would block or never end.
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return Fail(kErrAccessDenied);
  }
  fcntl(fd, F_SETFL, 0);  // no status flag F_SETFL changes is wanted: clears O_NONBLOCK
  fd_ = fd;
  return true;
}

bool File::Read(void* buffer, size_t n, size_t* got) {
  *got = 0;
  if (fd_ < 0) return Fail(kErrInvalidHandle);
  if (fault::Hit()) return false;
  char* p = static_cast<char*>(buffer);
  while (*got < n) {
    const ssize_t r = read(fd_, p + *got, n - *got);
    if (r < 0) {
      if (errno == EINTR) continue;
      return Fail(ErrnoToWinError(errno));
    }
    if (r == 0) break;
    *got += static_cast<size_t>(r);
  }
  return true;
}

bool File::Write(const void* buffer, size_t n) {
  if (fd_ < 0) return Fail(kErrInvalidHandle);
  return detail::WriteAll(fd_, buffer, n);
}

bool File::Seek(uint64_t offset) {
  if (fd_ < 0) return Fail(kErrInvalidHandle);
  if (fault::Hit()) return false;
  if (offset > static_cast<uint64_t>(INT64_MAX)) return Fail(kErrInvalidParameter);
  if (lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return Fail(ErrnoToWinError(errno));
  return true;
}

bool File::GetSize(uint64_t* size) {
  if (fd_ < 0) return Fail(kErrInvalidHandle);
  if (fault::Hit()) return false;
  struct stat st;
  if (fstat(fd_, &st) != 0) return Fail(ErrnoToWinError(errno));
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool File::StillNamed(std::string_view path, uint64_t* size) {
  if (fd_ < 0) return Fail(kErrInvalidHandle);
  std::string native;
  if (!detail::Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  struct stat open, named;
  if (fstat(fd_, &open) != 0) return Fail(ErrnoToWinError(errno));
  if (stat(native.c_str(), &named) != 0) return Fail(detail::ErrorFor(errno, native));
  if (open.st_dev != named.st_dev || open.st_ino != named.st_ino || open.st_nlink == 0)
    return Fail(kErrFileNotFound);
  if (!(named.st_mode & S_IWUSR)) return Fail(kErrAccessDenied);
  *size = static_cast<uint64_t>(open.st_size);
  return true;
}

bool File::Truncate(uint64_t size) {
  if (fd_ < 0) return Fail(kErrInvalidHandle);
  if (fault::Hit()) return false;
  if (size > static_cast<uint64_t>(INT64_MAX)) return Fail(kErrInvalidParameter);
  if (ftruncate(fd_, static_cast<off_t>(size)) != 0) return Fail(ErrnoToWinError(errno));
  return true;
}

bool File::Flush() {
  if (fd_ < 0) return Fail(kErrInvalidHandle);
  if (fault::Hit()) return false;
  if (fsync(fd_) != 0 && errno != EINVAL) return Fail(ErrnoToWinError(errno));
  return true;
}

bool File::SetWriteTime(int64_t seconds) {
  if (fd_ < 0) return Fail(kErrInvalidHandle);
  const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
  if (futimens(fd_, times) != 0) return Fail(ErrnoToWinError(errno));
  return true;
}

}  // namespace plat
