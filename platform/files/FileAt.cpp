// plat::File at a given offset: one pread or pwrite per call instead of a
// seek and a read or write, and the size with the last-write stamp.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/base/Errors.h"
#include "platform/base/FaultSeam.h"
#include "platform/files/FileSupport.h"
#include "platform/files/Files.h"

namespace plat {

using detail::Fail;

bool File::ReadAt(uint64_t offset, void* buffer, size_t n, size_t* got) {
  *got = 0;
  if (fd_ < 0) return Fail(kErrInvalidHandle);
  if (fault::Hit()) return false;
  if (offset > static_cast<uint64_t>(INT64_MAX) - n) return Fail(kErrInvalidParameter);
  char* p = static_cast<char*>(buffer);
  while (*got < n) {
    const ssize_t r = pread(fd_, p + *got, n - *got, static_cast<off_t>(offset + *got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return Fail(ErrnoToWinError(errno));
    }
    if (r == 0) break;
    *got += static_cast<size_t>(r);
  }
  return true;
}

bool File::WriteAt(uint64_t offset, const void* buffer, size_t n) {
  if (fd_ < 0) return Fail(kErrInvalidHandle);
  if (offset > static_cast<uint64_t>(INT64_MAX) - n) return Fail(kErrInvalidParameter);
  const char* p = static_cast<const char*>(buffer);
  constexpr size_t kChunk = 1u << 20;
  while (n > 0) {
    if (fault::Hit()) return false;
    const ssize_t w = pwrite(fd_, p, n < kChunk ? n : kChunk, static_cast<off_t>(offset));
    if (w < 0) {
      if (errno == EINTR) continue;
      return Fail(ErrnoToWinError(errno));
    }
    if (w == 0) return Fail(kErrDiskFull);
    p += w;
    offset += static_cast<uint64_t>(w);
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool File::GetSizeAndStamp(uint64_t* size, int64_t* stamp) {
  if (fd_ < 0) return Fail(kErrInvalidHandle);
  if (fault::Hit()) return false;
  struct stat st;
  if (fstat(fd_, &st) != 0) return Fail(ErrnoToWinError(errno));
  *size = static_cast<uint64_t>(st.st_size);
  *stamp = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return true;
}

bool File::GetStamp(FileStamp* stamp) {
  if (fd_ < 0) return Fail(kErrInvalidHandle);
  if (fault::Hit()) return false;
  struct stat st;
  if (fstat(fd_, &st) != 0) return Fail(ErrnoToWinError(errno));
  *stamp = detail::StampOf(st);
  return true;
}

bool File::GetModeAndTime(uint32_t* mode, int64_t* writeTime) {
  if (fd_ < 0) return Fail(kErrInvalidHandle);
  struct stat st;
  if (fstat(fd_, &st) != 0) return Fail(ErrnoToWinError(errno));
  *mode = static_cast<uint32_t>(st.st_mode & 07777);
  *writeTime = static_cast<int64_t>(st.st_mtim.tv_sec);
  return true;
}

}  // namespace plat
