// fanotify source: a filesystem-wide mark on every fixed local volume, with
// close-after-write events. Each event's descriptor is resolved to its path
// through /proc/self/fd and closed at once.
#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>

#include "platform/ChangeSources.h"
#include "platform/Volumes.h"

namespace plat {
namespace {

class FanotifyWatcher : public ChangeWatcher {
 public:
  explicit FanotifyWatcher(int fd) : fd_(fd), quiet_(QuietFolders()), self_(getpid()) {}
  ~FanotifyWatcher() override { close(fd_); }
  int Fd() const override { return fd_; }

  void Drain(std::vector<std::string>* written) override {
    // A small buffer: every event carries an open descriptor, and a large
    // batch could run the process out of descriptors.
    alignas(fanotify_event_metadata) char buf[4096];
    for (;;) {
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      auto* md = reinterpret_cast<fanotify_event_metadata*>(buf);
      for (; FAN_EVENT_OK(md, n); md = FAN_EVENT_NEXT(md, n)) {
        if (md->vers != FANOTIFY_METADATA_VERSION) return;
        if ((md->mask & FAN_Q_OVERFLOW) && !overflowSaid_) {
          overflowSaid_ = true;
          std::fprintf(stderr, "change monitor: fanotify queue overflowed; some writes missed\n");
        }
        if (md->fd < 0) continue;
        Take(md, written);
        close(md->fd);
      }
    }
  }

 private:
  void Take(const fanotify_event_metadata* md, std::vector<std::string>* written) {
    // The program's own writes (restores, logs, copies) are not reported.
    if (md->pid == self_ || !(md->mask & FAN_CLOSE_WRITE)) return;
    struct stat st;
    if (fstat(md->fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink == 0) return;
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", md->fd);
    std::string path(4096, '\0');
    ssize_t len = readlink(link, path.data(), path.size());
    if (len <= 0 || static_cast<size_t>(len) >= path.size()) return;
    path.resize(static_cast<size_t>(len));
    if (path[0] != '/' || IsUnderAny(path, quiet_)) return;
    written->push_back(std::move(path));
  }

  int fd_;
  std::vector<std::string> quiet_;
  pid_t self_;
  bool overflowSaid_ = false;
};

}  // namespace

std::unique_ptr<ChangeWatcher> OpenFanotifyWatcher() {
  int fd = fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK,
                         O_RDONLY | O_LARGEFILE | O_CLOEXEC);
  if (fd < 0) return nullptr;
  constexpr unsigned kFlags = FAN_MARK_ADD | FAN_MARK_FILESYSTEM;
  if (fanotify_mark(fd, kFlags, FAN_CLOSE_WRITE, AT_FDCWD, "/") != 0) {
    close(fd);
    return nullptr;
  }
  std::set<std::string> roots;
  for (const VolumeInfo& v : VolumeTable::Instance().Volumes()) {
    if (v.type == DriveType::kFixed && v.remote.empty() && v.root != "/") roots.insert(v.root);
  }
  for (const std::string& root : roots) {
    if (fanotify_mark(fd, kFlags, FAN_CLOSE_WRITE, AT_FDCWD, root.c_str()) != 0) {
      std::fprintf(stderr, "change monitor: cannot watch %s (errno %d)\n", root.c_str(), errno);
    }
  }
  return std::make_unique<FanotifyWatcher>(fd);
}

}  // namespace plat
