#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/base/Errors.h"
#include "platform/process/LockFolders.h"
#include "platform/process/Locks.h"

namespace plat {
namespace detail {

namespace {

// A folder only this user can use: a real folder (not a link), owned by this
// user, closed to others (made so when it is ours).
bool IsPrivateFolder(const std::string& dir) {
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
    return false;
  if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) return false;
  return true;
}

bool MakePrivateFolder(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return IsPrivateFolder(dir);
}

}  // namespace

std::string LocalLockFolder() {
  if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x == '/') {
    struct stat st;
    if (::stat(x, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid()) return x;
  }
  const std::string uid = std::to_string(::getuid());
  // Somebody else's folder or a link planted under this name is not ours:
  // the home folder's cache takes the locks instead.
  if (const std::string tmp = "/tmp/brevanto-" + uid; MakePrivateFolder(tmp)) return tmp;
  if (const char* home = std::getenv("HOME"); home && *home == '/') {
    const std::string cache = std::string(home) + "/.cache";
    ::mkdir(cache.c_str(), 0700);
    if (const std::string own = cache + "/brevanto-locks-" + uid; MakePrivateFolder(own))
      return own;
  }
  return {};
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
  if (IsGlobal(name)) return {};  // a socket, no file
  if (name.substr(0, kLocalPrefix.size()) == kLocalPrefix) name.remove_prefix(kLocalPrefix.size());
  std::string folder = detail::LocalLockFolder();
  if (folder.empty()) return {};
  if (folder.back() != '/') folder += '/';
  return folder + FileNameOf(name);
}

NamedMutex::~NamedMutex() { Close(); }

void NamedMutex::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

namespace {

// The abstract socket name of a global name for one user: nothing on disk
// that another user could plant or hold open. The global folder's path is
// part of the name, so programs given different folders (tests) never meet.
// Each user has names of its own ("-u<uid>", then "-u<uid>-<n>" when one is
// taken by somebody else), and a holder counts only when the kernel says it
// is the user its name says: another user cannot hold a name for this one.
std::string GlobalKey(std::string_view name) {
  name.remove_prefix(kGlobalPrefix.size());
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : detail::GlobalLockFolder()) h = (h ^ c) * 1099511628211ull;
  h = (h ^ 0) * 1099511628211ull;
  for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
  static const char kHex[] = "0123456789ABCDEF";
  std::string key = "Brevanto-";
  for (int i = 15; i >= 0; --i) key += kHex[(h >> (i * 4)) & 15];
  std::string readable = FileNameOf(name);
  readable.resize(readable.size() - 5);  // no ".lock"
  return key + "-" + readable.substr(9, 60) + "-u";
}

constexpr int kOwnNames = 8;

socklen_t AddressOf(const std::string& key, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  std::memcpy(addr->sun_path + 1, key.data(), key.size());  // sun_path[0] = 0: abstract
  return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + key.size());
}

// The user of the process listening on key; -1 when nobody listens there.
long ListenerUid(const std::string& key) {
  sockaddr_un addr;
  const socklen_t len = AddressOf(key, &addr);
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (probe < 0) return -1;
  long uid = -1;
  ucred cred = {};
  socklen_t credLen = sizeof cred;
  if (::connect(probe, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
      ::getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &cred, &credLen) == 0)
    uid = cred.uid;
  ::close(probe);
  return uid;
}

// The user of a holder of any user's name of key (prefix), its name and the
// kernel agreeing; -1 when there is none.
long FindHolder(const std::string& prefix) {
  FILE* f = std::fopen("/proc/net/unix", "re");
  if (f == nullptr) return -1;
  long found = -1;
  char line[512];
  const std::string at = "@" + prefix;
  while (found < 0 && std::fgets(line, sizeof line, f)) {
    const char* p = std::strstr(line, at.c_str());
    if (p == nullptr) continue;
    std::string key(p + 1);
    while (!key.empty() && (key.back() == '\n' || key.back() == ' ')) key.pop_back();
    char* end = nullptr;
    const long uid = std::strtol(key.c_str() + prefix.size(), &end, 10);
    if (end == key.c_str() + prefix.size() || (*end != '\0' && *end != '-')) continue;
    if (uid >= 0 && ListenerUid(key) == uid) found = uid;
  }
  std::fclose(f);
  return found;
}

}  // namespace

MutexResult NamedMutex::CreateGlobal(std::string_view name) {
  const std::string prefix = GlobalKey(name);
  const long holder = FindHolder(prefix);
  if (holder >= 0) {
    holderUid_ = holder;
    SetLastError(kErrAlreadyExists);
    return MutexResult::kAlreadyExists;
  }
  const long self = static_cast<long>(::getuid());
  for (int n = 0; n < kOwnNames; ++n) {
    const std::string key = prefix + std::to_string(self) + (n ? "-" + std::to_string(n) : "");
    sockaddr_un addr;
    const socklen_t len = AddressOf(key, &addr);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      SetLastError(ErrnoToWinError(errno));
      return MutexResult::kError;
    }
    // Nothing is accepted: each look by another start stays queued, so the
    // queue is as long as the system allows.
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 && ::listen(fd, SOMAXCONN) == 0) {
      fd_ = fd;
      SetLastError(kErrSuccess);
      return MutexResult::kCreated;
    }
    const int bindErr = errno;
    ::close(fd);
    if (bindErr != EADDRINUSE) {
      SetLastError(ErrnoToWinError(bindErr));
      return MutexResult::kError;
    }
    // Taken since the look, by this user: held. By anybody else: not ours.
    if (ListenerUid(key) == self) {
      holderUid_ = self;
      SetLastError(kErrAlreadyExists);
      return MutexResult::kAlreadyExists;
    }
  }
  // Every name of this user is held by others: nobody can hold it for them.
  SetLastError(kErrSuccess);
  return MutexResult::kCreated;
}

MutexResult NamedMutex::Create(std::string_view name) {
  Close();
  holderUid_ = -1;
  if (IsGlobal(name)) return CreateGlobal(name);
  std::string path = NamedMutexFile(name);
  if (path.empty()) {
    SetLastError(kErrAccessDenied);
    return MutexResult::kAccessDenied;
  }
  // Links are never followed.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    int err = errno;
    if (err == EACCES || err == EPERM || err == ELOOP) {
      SetLastError(kErrAccessDenied);
      return MutexResult::kAccessDenied;
    }
    SetLastError(ErrnoToWinError(err));
    return MutexResult::kError;
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
