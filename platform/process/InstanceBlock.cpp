// The instance block: a text file per executable and user, one line per
// counted instance ("pid start-time") and at most one window line
// ("window pid start-time handle"). Every access holds flock on the file and
// first drops the lines of processes that are gone, so a crashed instance
// never counts.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/base/IniText.h"
#include "platform/process/LockFolders.h"
#include "platform/process/Locks.h"

namespace plat {
namespace {

struct Entry {
  long pid = 0;
  unsigned long long start = 0;
};

struct Block {
  std::vector<Entry> entries;
  Entry windowOwner;
  std::string window;
};

// Start time (clock ticks after boot) of a process; 0 when it does not exist.
// A reused pid has a different start time, so it is not mistaken for the old.
unsigned long long StartTimeOf(long pid) {
  std::string stat;
  if (!detail::ReadNativeFile("/proc/" + std::to_string(pid) + "/stat", &stat, 8192)) return 0;
  size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return 0;
  // Fields after the command: state is field 3, start time field 22.
  size_t pos = paren + 1;
  int field = 2;
  while (pos < stat.size() && field < 22) {
    while (pos < stat.size() && stat[pos] == ' ') ++pos;
    ++field;
    if (field == 22) break;
    while (pos < stat.size() && stat[pos] != ' ') ++pos;
  }
  // Zombies have exited: they do not count as running.
  size_t statePos = paren + 2;
  if (statePos < stat.size() && (stat[statePos] == 'Z' || stat[statePos] == 'X')) return 0;
  return std::strtoull(stat.c_str() + pos, nullptr, 10);
}

bool Alive(const Entry& e) { return e.pid > 0 && e.start != 0 && StartTimeOf(e.pid) == e.start; }

Entry Self() {
  Entry e;
  e.pid = ::getpid();
  e.start = StartTimeOf(e.pid);
  return e;
}

Block Parse(const std::string& text) {
  Block b;
  size_t i = 0;
  while (i < text.size()) {
    size_t nl = text.find('\n', i);
    std::string line = text.substr(i, nl == std::string::npos ? std::string::npos : nl - i);
    i = nl == std::string::npos ? text.size() : nl + 1;
    Entry e;
    if (line.rfind("window ", 0) == 0) {
      char* end = nullptr;
      e.pid = std::strtol(line.c_str() + 7, &end, 10);
      e.start = std::strtoull(end, &end, 10);
      if (*end == ' ' && Alive(e)) {
        b.windowOwner = e;
        b.window = end + 1;
      }
      continue;
    }
    char* end = nullptr;
    e.pid = std::strtol(line.c_str(), &end, 10);
    e.start = std::strtoull(end, &end, 10);
    if (Alive(e)) b.entries.push_back(e);  // junk lines and dead processes drop out
  }
  return b;
}

std::string Format(const Block& b) {
  std::string out;
  for (const auto& e : b.entries)
    out += std::to_string(e.pid) + " " + std::to_string(e.start) + "\n";
  if (!b.window.empty())
    out += "window " + std::to_string(b.windowOwner.pid) + " " +
           std::to_string(b.windowOwner.start) + " " + b.window + "\n";
  return out;
}

// Runs fn on the block under the file's lock; writes it back when fn says so.
template <typename Fn>
bool WithBlock(const std::string& path, Fn fn) {
  if (path.empty()) return false;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  while (::flock(fd, LOCK_EX) != 0)
    if (errno != EINTR) {
      ::close(fd);
      return false;
    }
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::pread(fd, buf, sizeof buf, off_t(text.size()))) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || text.size() > (1u << 20)) break;
    text.append(buf, size_t(n));
  }
  Block b = Parse(text);
  fn(b);
  std::string out = Format(b);
  bool ok = true;
  if (out != text) {
    ok = ::ftruncate(fd, 0) == 0;
    size_t done = 0;
    while (ok && done < out.size()) {
      ssize_t w = ::pwrite(fd, out.data() + done, out.size() - done, off_t(done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0)
        ok = false;
      else
        done += size_t(w);
    }
  }
  ::close(fd);  // releases the lock
  return ok;
}

}  // namespace

InstanceBlock::InstanceBlock(std::string_view id) {
  std::string key(id);
  if (key.empty()) {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    key = n > 0 ? std::string(buf, size_t(n)) : std::string("brevanto");
  }
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : key) h = (h ^ c) * 1099511628211ull;
  char name[64];
  std::snprintf(name, sizeof name, "/Brevanto-instances-%u-%016llx.blk", unsigned(::getuid()),
                static_cast<unsigned long long>(h));
  std::string folder = detail::LocalLockFolder();
  if (!folder.empty()) path_ = folder + name;
}

int InstanceBlock::Increment() {
  int count = 0;
  Entry self = Self();
  WithBlock(path_, [&](Block& b) {
    b.entries.push_back(self);
    count = int(b.entries.size());
  });
  return count;
}

int InstanceBlock::Decrement() {
  int count = 0;
  Entry self = Self();
  WithBlock(path_, [&](Block& b) {
    for (size_t i = 0; i < b.entries.size(); ++i)
      if (b.entries[i].pid == self.pid && b.entries[i].start == self.start) {
        b.entries.erase(b.entries.begin() + long(i));
        break;
      }
    count = int(b.entries.size());
  });
  return count;
}

int InstanceBlock::Count() const {
  int count = 0;
  WithBlock(path_, [&](Block& b) { count = int(b.entries.size()); });
  return count;
}

std::string InstanceBlock::GetWindowHandle() const {
  std::string handle;
  WithBlock(path_, [&](Block& b) { handle = b.window; });
  return handle;
}

void InstanceBlock::SetWindowHandle(std::string_view handle) {
  std::string h(handle);
  for (char& c : h)
    if (c == '\n' || c == '\r') c = ' ';
  Entry self = Self();
  WithBlock(path_, [&](Block& b) {
    b.window = h;
    b.windowOwner = self;
  });
}

}  // namespace plat
