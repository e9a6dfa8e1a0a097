#include "platform/volumes/ShareConnect.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/base/Errors.h"
#include "platform/volumes/Paths.h"
#include "platform/volumes/Volumes.h"

extern char** environ;

namespace plat {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> g_timeLimitMs{15000};
std::atomic<int> g_retryAfterMs{60000};

// Last mount attempt per share (lower-case name), so that a destination polled
// every few seconds does not start a process each time.
struct Attempts {
  std::mutex lock;  // guards last
  std::map<std::string, Clock::time_point> last;
};
Attempts& MountAttempts() {
  static Attempts a;
  return a;
}

bool IsSep(char c) { return c == '\\' || c == '/'; }

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

// "\\srv\share\a\b" -> {"srv", "share", "a", "b"}; false for anything that is
// not a share path (device paths, no share, "." or ".." components).
bool SplitSharePath(std::string_view path, std::vector<std::string>* comps) {
  std::string p = StripLongPathPrefix(path);
  if (p.size() < 3 || !IsSep(p[0]) || !IsSep(p[1]) || IsSep(p[2])) return false;
  size_t i = 2;
  while (i < p.size()) {
    size_t end = i;
    while (end < p.size() && !IsSep(p[end])) ++end;
    if (end > i) {
      std::string c = p.substr(i, end - i);
      if (c == "." || c == ".." || c.find('\0') != std::string::npos) return false;
      comps->push_back(std::move(c));
    }
    i = end + 1;
  }
  if (comps->size() < 2 || (*comps)[0] == "?") return false;
  return true;
}

// "\\srv\share" from the first n components.
std::string ShareName(const std::vector<std::string>& comps, size_t n) {
  std::string s = "\\\\" + comps[0];
  for (size_t k = 1; k < n; ++k) s += "\\" + comps[k];
  return s;
}

// Reachable when the longest declared or mounted share that is a prefix of
// the path is online.
bool Reachable(const std::vector<std::string>& comps) {
  for (size_t used = comps.size(); used >= 2; --used) {
    ShareInfo info;
    if (VolumeTable::Instance().FindShare(ShareName(comps, used), &info)) return info.online;
  }
  return false;
}

// smb URL text: bytes other than unreserved characters and "$" are %XX.
std::string UrlPart(const std::string& s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~' || c == '$') {
      out += char(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// Full path of an executable named name in a folder of PATH; empty if none.
std::string FindOnPath(const char* name) {
  const char* path = std::getenv("PATH");
  if (!path) return {};
  std::string_view rest = path;
  while (true) {
    size_t colon = rest.find(':');
    std::string_view dir = rest.substr(0, colon);
    if (!dir.empty() && dir[0] == '/') {
      std::string cand = std::string(dir) + "/" + name;
      struct stat st {};
      if (::stat(cand.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
          ::access(cand.c_str(), X_OK) == 0)
        return cand;
    }
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return {};
}

// True when this is the first attempt for the share, or the last one lies far
// enough back; notes the attempt.
bool MayAttempt(const std::string& share) {
  Attempts& a = MountAttempts();
  std::lock_guard<std::mutex> g(a.lock);
  Clock::time_point now = Clock::now();
  auto wait = std::chrono::milliseconds(g_retryAfterMs.load());
  for (auto it = a.last.begin(); it != a.last.end();)
    it = now - it->second >= wait ? a.last.erase(it) : std::next(it);
  if (a.last.count(share)) return false;
  a.last[share] = now;
  return true;
}

enum : int { kRunTimedOut = -1, kRunFailed = -2 };

// Runs program with args, no input and its output dropped, in its own process
// group. Its exit code; kRunTimedOut (the group is killed) or kRunFailed.
int RunWithTimeLimit(const std::string& program, const std::vector<std::string>& args,
                     int limitMs) {
  posix_spawn_file_actions_t files;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&files) != 0) return kRunFailed;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&files);
    return kRunFailed;
  }
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &files, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return kRunFailed;

  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  int status = 0;
  while (true) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0 && errno != EINTR) return kRunFailed;  // reaped by someone else
    if (Clock::now() >= deadline) {
      ::kill(-pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return kRunTimedOut;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

uint32_t Fail(uint32_t code) {
  SetLastError(code);
  return code;
}

}  // namespace

bool GetConnectionName(std::string_view drive, std::string* out) {
  out->clear();
  if (drive.size() != 2 || drive[1] != ':') return false;
  char letter = drive[0];
  if (letter >= 'a' && letter <= 'z') letter = char(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'Z') return false;
  VolumeInfo v;
  if (!VolumeTable::Instance().Find(letter, &v) || v.type != DriveType::kRemote || v.remote.empty())
    return false;
  *out = v.remote;
  return true;
}

uint32_t ConnectShare(std::string_view path) {
  std::vector<std::string> comps;
  if (!SplitSharePath(path, &comps)) return Fail(kErrBadNetName);
  if (Reachable(comps)) return kErrSuccess;

  VolumeTable& table = VolumeTable::Instance();
  if (table.IsOverridden()) return Fail(kErrBadNetPath);
  std::string gio = FindOnPath("gio");
  if (gio.empty() || !MayAttempt(Lower(ShareName(comps, 2)))) return Fail(kErrBadNetPath);

  std::string url = "smb://" + UrlPart(comps[0]) + "/" + UrlPart(comps[1]);
  int rc = RunWithTimeLimit(gio, {"mount", url}, g_timeLimitMs.load());
  if (rc == kRunTimedOut) return Fail(kErrTimeout);
  if (rc != 0) return Fail(kErrBadNetPath);
  // A gvfs mount adds a folder under the gvfs mount, not a line to the mount
  // table, so the table is read again unconditionally.
  table.Reload();
  return Reachable(comps) ? kErrSuccess : Fail(kErrBadNetPath);
}

namespace detail {

void SetShareMountTiming(int timeLimitMs, int retryAfterMs) {
  if (timeLimitMs >= 0) g_timeLimitMs = timeLimitMs;
  if (retryAfterMs >= 0) g_retryAfterMs = retryAfterMs;
}

void ForgetShareMountAttempts() {
  Attempts& a = MountAttempts();
  std::lock_guard<std::mutex> g(a.lock);
  a.last.clear();
}

}  // namespace detail
}  // namespace plat
