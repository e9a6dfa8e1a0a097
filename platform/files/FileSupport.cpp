#include "platform/files/FileSupport.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/base/Errors.h"
#include "platform/base/FaultSeam.h"
#include "platform/files/Files.h"
#include "platform/volumes/Paths.h"

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
  out->stamp = StampOf(st);
}

FileStamp StampOf(const struct stat& st) {
  FileStamp stamp;
  stamp.writeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  stamp.changeNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  stamp.size = static_cast<uint64_t>(st.st_size);
  stamp.inode = static_cast<uint64_t>(st.st_ino);
  return stamp;
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
  return (folder == "/" ? std::string() : folder) + "/" + TempName();
}

std::string TempName() {
  // Each thread draws its names from its own sequence, seeded once from the
  // kernel (a name taken already is simply drawn again by the caller).
  thread_local uint64_t state = 0;
  if (state == 0) {
    if (getrandom(&state, sizeof state, 0) != static_cast<ssize_t>(sizeof state)) {
      static std::atomic_uint64_t counter{0};  // unlikely path: getrandom unavailable
      state = (static_cast<uint64_t>(getpid()) << 32) ^ counter.fetch_add(1) ^
              static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&state));
    }
    state |= 1;
  }
  // splitmix64
  state += 0x9E3779B97F4A7C15ull;
  uint64_t r = state;
  r = (r ^ (r >> 30)) * 0xBF58476D1CE4E5B9ull;
  r = (r ^ (r >> 27)) * 0x94D049BB133111EBull;
  r ^= r >> 31;
  char buf[32];
  snprintf(buf, sizeof buf, ".~bvtmp-%016llx", static_cast<unsigned long long>(r));
  return buf;
}

int CreateTempNextTo(const std::string& target, mode_t mode, std::string* tmpPath) {
  const std::string folder = NativeParent(target);
  for (int attempt = 0; attempt < 16; ++attempt) {
    *tmpPath = TempNameIn(folder);
    const int fd = open(tmpPath->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) flock(fd, LOCK_EX | LOCK_NB);  // in use: no sweep takes it
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

namespace {
// Flushes and closes a folder descriptor (-1: the open failed, errno says why);
// file systems that cannot flush folders are no failure.
bool SyncAndClose(int fd) {
  if (fd < 0) return Fail(ErrnoToWinError(errno));
  const int rc = fsync(fd);
  const int err = errno;
  close(fd);
  if (rc != 0 && err != EINVAL && err != ENOTSUP) return Fail(ErrnoToWinError(err));
  return true;
}
}  // namespace

bool SyncFolder(const std::string& folder) {
  return SyncAndClose(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool SyncFolder(int dirFd) {
  return SyncAndClose(openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool ComponentsBelow(const std::string& native, const std::string& folder,
                     std::vector<std::string>* parts) {
  parts->clear();
  if (folder.empty() || native.compare(0, folder.size(), folder) != 0) return false;
  size_t at = folder.size();
  if (folder != "/") {
    if (native.size() == at) return true;
    if (native[at] != '/') return false;
    ++at;
  }
  while (at < native.size()) {
    size_t end = native.find('/', at);
    if (end == std::string::npos) end = native.size();
    if (end > at) parts->push_back(native.substr(at, end - at));
    at = end + 1;
  }
  return true;
}

namespace {

// All of parts opened at once below dirFd when none of them is a link, "..",
// or missing: one call instead of one per level. -1 when the kernel cannot
// (an old kernel) or will not; the caller then goes level by level, which
// also makes missing folders and tells why one cannot be opened.
int OpenFoldersAtOnce(int dirFd, const std::vector<std::string>& parts) {
  static std::atomic<bool> unsupported{false};
  if (parts.empty() || unsupported.load(std::memory_order_relaxed)) return -1;
  std::string relative;
  for (const std::string& part : parts) {
    if (part.empty() || part == "." || part == "..") return -1;
    if (!relative.empty()) relative += '/';
    relative += part;
  }
  struct open_how how {};
  how.flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH | RESOLVE_NO_XDEV;
  const long fd = syscall(SYS_openat2, dirFd, relative.c_str(), &how, sizeof how);
  if (fd < 0 && (errno == ENOSYS || errno == E2BIG)) unsupported.store(true);
  return fd < 0 ? -1 : static_cast<int>(fd);
}

}  // namespace

int OpenFolderBelow(const std::string& base, const std::vector<std::string>& parts) {
  return OpenFolderBelow(base, parts, /*levelByLevel=*/true);
}

int OpenFolderBelow(const std::string& base, const std::vector<std::string>& parts,
                    bool levelByLevel) {
  // A path without any link from the root down has none below base either:
  // one call from the root, unless this base is known to lie behind a link.
  thread_local std::string behindLink;
  bool plain = !parts.empty() && base != behindLink;
  std::string whole = base == "/" ? std::string() : base;
  for (const std::string& part : parts) {
    if (part.empty() || part == "." || part == "..") plain = false;
    whole += '/';
    whole += part;
  }
  if (plain && base.find("/.") == std::string::npos) {
    struct open_how how {};
    how.flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = syscall(SYS_openat2, AT_FDCWD, whole.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno == ELOOP) behindLink = base;
    // Missing on a path without links: missing below base just the same.
    if (errno == ENOENT && !levelByLevel) return -1;
  }
  const int top = open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (top < 0) {
    SetLastError(ErrorFor(errno, base));
    return -1;
  }
  const int fd = levelByLevel ? OpenFoldersNoFollow(top, parts, 0) : OpenFoldersAtOnce(top, parts);
  close(top);
  return fd;
}

void TakeOwnerOfFolder(int dirFd, const char* name) {
  struct stat st;
  // What the file system cannot keep (FAT) stays as it is.
  if (fstat(dirFd, &st) == 0)
    (void)fchownat(dirFd, name, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW);
}

int OpenFoldersNoFollow(int dirFd, const std::vector<std::string>& parts, mode_t createMode,
                        bool ownerOfParent, size_t* levelsMade) {
  if (levelsMade) *levelsMade = 0;
  if (const int whole = OpenFoldersAtOnce(dirFd, parts); whole >= 0) return whole;
  // Folders to be made usually lie at the end: the longest beginning that
  // exists is opened at once, and only the rest level by level.
  int fd = -1;
  size_t done = 0;
  if (createMode != 0) {
    for (size_t n = parts.size(); n-- > 1 && fd < 0;) {
      fd = OpenFoldersAtOnce(dirFd, std::vector<std::string>(parts.begin(), parts.begin() + n));
      if (fd >= 0) done = n;
      if (parts.size() - n >= 2) break;  // deeper gaps go level by level
    }
  }
  if (fd < 0) fd = openat(dirFd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(ErrnoToWinError(errno));
    return -1;
  }
  for (size_t level = done; level < parts.size(); ++level) {
    const std::string& part = parts[level];
    int next = openat(fd, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && createMode != 0) {
      const bool made = mkdirat(fd, part.c_str(), createMode) == 0;
      if (made && levelsMade && *levelsMade == 0) *levelsMade = parts.size() - level;
      if (made && ownerOfParent) TakeOwnerOfFolder(fd, part.c_str());
      if (made || errno == EEXIST)
        next = openat(fd, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0) {
      const int err = errno;
      struct stat st;
      uint32_t code = ErrnoToWinError(err);
      if (fstatat(fd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode))
          code = kErrStoppedOnLink;
        else if (!S_ISDIR(st.st_mode))
          code = kErrPathNotFound;
      } else if (errno == ENOENT && err == ENOENT) {
        code = kErrPathNotFound;  // a folder that could be made keeps its own error
      }
      close(fd);
      SetLastError(code);
      return -1;
    }
    close(fd);
    fd = next;
  }
  return fd;
}

ParentFolder::~ParentFolder() {
  if (fd_ >= 0) close(fd_);
}

bool ParentFolder::Open(const std::string& native, const std::string& confineTo) {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  confined_ = false;
  std::vector<std::string> parts;
  if (!confineTo.empty() && ComponentsBelow(native, confineTo, &parts) && !parts.empty()) {
    name_ = parts.back();
    parts.pop_back();
    fd_ = OpenFolderBelow(confineTo, parts);
    confined_ = true;
    return fd_ >= 0;
  }
  const std::string parent = NativeParent(native);
  name_ = NativeName(native);
  if (name_.empty()) name_ = ".";  // the root itself
  fd_ = open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) {
    const int err = errno;
    return Fail(err == ENOENT || err == ENOTDIR ? kErrPathNotFound : ErrnoToWinError(err));
  }
  return true;
}

int ParentFolder::Stat(struct stat* st) const {
  if (fstatat(fd_, name_.c_str(), st, confined_ ? AT_SYMLINK_NOFOLLOW : 0) != 0) return errno;
  return confined_ && S_ISLNK(st->st_mode) ? kLinkFound : 0;
}

// The process's file mode creation mask, read once ("Umask:" of
// /proc/self/status; asking umask() would change it for every thread for a
// moment). -1 when it cannot be read.
int ProcessUmask() {
  static const int mask = [] {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("Umask:", 0) == 0)
        return static_cast<int>(std::strtol(line.c_str() + 6, nullptr, 8));
    }
    return -1;
  }();
  return mask;
}

}  // namespace plat::detail
