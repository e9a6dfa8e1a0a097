#include "platform/FileSupport.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/Errors.h"
#include "platform/FaultSeam.h"
#include "platform/Files.h"
#include "platform/Paths.h"

namespace plat::detail {

uint32_t AttributesOf(const struct stat& st, std::string_view name) {
  uint32_t a = 0;
  if (S_ISDIR(st.st_mode)) a |= kAttrDirectory;
  if (!(st.st_mode & S_IWUSR)) a |= kAttrReadOnly;
  if (!name.empty() && name[0] == '.' && name != "." && name != "..") a |= kAttrHidden;
  return a == 0 ? kAttrNormal : a;
}

void FillFindData(const struct stat& st, std::string_view name, FindData* out) {
  out->name.assign(name);
  out->attributes = AttributesOf(st, name);
  out->size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
  out->writeTime = st.st_mtim.tv_sec;
  out->createTime = st.st_ctim.tv_sec;
}

bool Resolve(std::string_view systemPath, std::string* native) {
  if (systemPath.empty()) return Fail(kErrPathNotFound);
  std::string n;
  if (!ToNativePath(systemPath, &n)) {
    if (GetLastError() == kErrSuccess) SetLastError(kErrPathNotFound);
    return false;
  }
  while (n.size() > 1 && n.back() == '/') n.pop_back();
  if (n.empty()) return Fail(kErrPathNotFound);
  *native = std::move(n);
  return true;
}

uint32_t ErrorFor(int err, const std::string& native) {
  if (err == ENOENT) {
    struct stat st;
    const std::string parent = NativeParent(native);
    if (stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kErrPathNotFound;
    return kErrFileNotFound;
  }
  return ErrnoToWinError(err);
}

bool Fail(uint32_t code) {
  SetLastError(code);
  return false;
}

uint32_t FailCode(uint32_t code) {
  SetLastError(code);
  return code;
}

std::string NativeParent(const std::string& native) {
  const size_t p = native.find_last_of('/');
  if (p == std::string::npos) return ".";
  if (p == 0) return "/";
  return native.substr(0, p);
}

std::string NativeName(const std::string& native) {
  const size_t p = native.find_last_of('/');
  return p == std::string::npos ? native : native.substr(p + 1);
}

std::string TempNameIn(const std::string& folder) {
  uint64_t r = 0;
  if (getrandom(&r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) {
    static std::atomic_uint64_t counter{0};  // unlikely path: getrandom unavailable
    r = (static_cast<uint64_t>(getpid()) << 32) ^ counter.fetch_add(1) ^
        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&r));
  }
  char buf[32];
  snprintf(buf, sizeof buf, ".~bvtmp-%016llx", static_cast<unsigned long long>(r));
  return (folder == "/" ? std::string() : folder) + "/" + buf;
}

int CreateTempNextTo(const std::string& target, mode_t mode, std::string* tmpPath) {
  const std::string folder = NativeParent(target);
  for (int attempt = 0; attempt < 16; ++attempt) {
    *tmpPath = TempNameIn(folder);
    const int fd = open(tmpPath->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool WriteAll(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  constexpr size_t kChunk = 1u << 20;
  while (n > 0) {
    if (fault::Hit()) return false;
    const ssize_t w = write(fd, p, n < kChunk ? n : kChunk);
    if (w < 0) {
      if (errno == EINTR) continue;
      return Fail(ErrnoToWinError(errno));
    }
    if (w == 0) return Fail(kErrDiskFull);
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool SyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail(ErrnoToWinError(errno));
  const int rc = fsync(fd);
  const int err = errno;
  close(fd);
  if (rc != 0 && err != EINVAL && err != ENOTSUP) return Fail(ErrnoToWinError(err));
  return true;
}

}  // namespace plat::detail
