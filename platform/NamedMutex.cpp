#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/Errors.h"
#include "platform/LockFolders.h"
#include "platform/Locks.h"

namespace plat {
namespace detail {

std::string LocalLockFolder() {
  if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x == '/') {
    struct stat st;
    if (::stat(x, &st) == 0 && S_ISDIR(st.st_mode)) return x;
  }
  std::string dir = "/tmp/brevanto-" + std::to_string(::getuid());
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  // Somebody else's folder or a link planted under this name is not ours.
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) return {};
  if ((st.st_mode & 0777) != 0700) ::chmod(dir.c_str(), 0700);
  return dir;
}

std::string GlobalLockFolder() {
  if (const char* g = std::getenv("BREVANTO_GLOBAL_LOCK_DIR"); g && *g == '/') return g;
  return "/tmp";
}

}  // namespace detail

namespace {

constexpr std::string_view kGlobalPrefix = "Global\\";
constexpr std::string_view kLocalPrefix = "Local\\";

// A mutex name as a file name: letters, digits, "-", "_" and "." stay, every
// other byte becomes %XX, so distinct names never share a file.
std::string FileNameOf(std::string_view name) {
  std::string out = "Brevanto-";
  static const char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : name) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || (c == '.' && out.size() > 9)) {
      out += char(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  // Long names keep a readable head and a hash of the whole.
  if (out.size() > 200) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
    out.resize(180);
    out += '-';
    for (int i = 15; i >= 0; --i) out += kHex[(h >> (i * 4)) & 15];
  }
  return out + ".lock";
}

bool IsGlobal(std::string_view name) {
  return name.size() >= kGlobalPrefix.size() &&
         std::string_view(name.substr(0, kGlobalPrefix.size())) == kGlobalPrefix;
}

}  // namespace

std::string NamedMutexFile(std::string_view name) {
  bool global = IsGlobal(name);
  if (global)
    name.remove_prefix(kGlobalPrefix.size());
  else if (name.substr(0, kLocalPrefix.size()) == kLocalPrefix)
    name.remove_prefix(kLocalPrefix.size());
  std::string folder = global ? detail::GlobalLockFolder() : detail::LocalLockFolder();
  if (folder.empty()) return {};
  if (folder.back() != '/') folder += '/';
  return folder + FileNameOf(name);
}

NamedMutex::~NamedMutex() { Close(); }

void NamedMutex::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

MutexResult NamedMutex::Create(std::string_view name) {
  Close();
  std::string path = NamedMutexFile(name);
  if (path.empty()) {
    SetLastError(kErrAccessDenied);
    return MutexResult::kAccessDenied;
  }
  bool global = IsGlobal(name);
  // Global lock files are readable by all, so another user's instance can
  // open (read-only) and flock the same file; links are never followed.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, global ? 0644 : 0600);
  if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    if (err == EACCES || err == EPERM || err == ELOOP) {
      SetLastError(kErrAccessDenied);
      return MutexResult::kAccessDenied;
    }
    SetLastError(ErrnoToWinError(err));
    return MutexResult::kError;
  }
  if (global) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_uid == ::getuid() && (st.st_mode & 0777) != 0644)
      ::fchmod(fd, 0644);  // the creator's umask must not hide it from others
  }
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    if (err == EINTR) continue;
    ::close(fd);
    if (err == EWOULDBLOCK) {
      SetLastError(kErrAlreadyExists);
      return MutexResult::kAlreadyExists;
    }
    SetLastError(ErrnoToWinError(err));
    return MutexResult::kError;
  }
  fd_ = fd;
  SetLastError(kErrSuccess);
  return MutexResult::kCreated;
}

bool NamedMutexExists(std::string_view name) {
  NamedMutex m;
  return m.Create(name) == MutexResult::kAlreadyExists;
}

}  // namespace plat
