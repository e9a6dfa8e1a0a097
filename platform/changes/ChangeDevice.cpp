// The change-monitor device in process: a watcher (fanotify or inotify) feeds
// a queue of written files' system paths, handed out as packed UTF-16 records.
#include "platform/changes/ChangeDevice.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_set>

#include "platform/base/Errors.h"
#include "platform/base/Text.h"
#include "platform/changes/ChangeSources.h"
#include "platform/profile/Folders.h"
#include "platform/volumes/Paths.h"
#include "platform/volumes/Volumes.h"

namespace plat {

std::vector<std::string> QuietFolders() {
  std::vector<std::string> out;
  std::string native;
  std::string data = GetDataFolder();
  if (!data.empty() && ToNativePath(data, &native)) out.push_back(native);
  std::string cache = GetShellFolder(ShellFolder::kCache);
  if (!cache.empty() && ToNativePath(cache, &native)) out.push_back(native);
  std::string local = GetShellFolder(ShellFolder::kLocalAppData);
  if (!local.empty() && ToNativePath(local, &native)) out.push_back(native + "/Trash");
  for (std::string& f : out) {
    while (f.size() > 1 && f.back() == '/') f.pop_back();
  }
  return out;
}

bool IsUnderAny(const std::string& path, const std::vector<std::string>& folders) {
  for (const std::string& f : folders) {
    if (path.size() >= f.size() && path.compare(0, f.size(), f) == 0 &&
        (path.size() == f.size() || path[f.size()] == '/' || f == "/")) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> FixedVolumeRoots() {
  std::vector<std::string> out;
  for (const VolumeInfo& v : VolumeTable::Instance().Volumes()) {
    if (v.type == DriveType::kFixed && v.remote.empty()) out.push_back(v.root);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::string ResolvedFolder(const std::string& folder) {
  char* real = realpath(folder.c_str(), nullptr);
  if (real == nullptr) return {};
  std::string out = real;
  free(real);
  return out;
}

bool ModifyThrottle::Modified(const std::string& path) {
  const auto now = std::chrono::steady_clock::now();
  auto [it, fresh] = files_.try_emplace(path, Entry{now, false});
  if (fresh || now - it->second.reported >= kGap) {
    it->second = Entry{now, false};
    return true;
  }
  it->second.waiting = true;
  return false;
}

void ModifyThrottle::Reported(const std::string& path) {
  auto it = files_.find(path);
  if (it != files_.end()) it->second = Entry{std::chrono::steady_clock::now(), false};
}

void ModifyThrottle::TakeDue(std::vector<std::string>* written) {
  const auto now = std::chrono::steady_clock::now();
  for (auto it = files_.begin(); it != files_.end();) {
    if (now - it->second.reported < kGap) {
      ++it;
    } else if (it->second.waiting) {
      written->push_back(it->first);
      it->second = Entry{now, false};
      ++it;
    } else {
      it = files_.erase(it);  // quiet for a whole gap: forgotten
    }
  }
}

bool IsLinkToFolderAt(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && stat(path.c_str(), &st) == 0 &&
         S_ISDIR(st.st_mode);
}

void ListFilesBelow(const std::string& folder, const std::vector<std::string>& quiet,
                    std::vector<std::string>* files) {
  std::vector<std::string> stack{folder};
  while (!stack.empty()) {
    const std::string dir = std::move(stack.back());
    stack.pop_back();
    if (IsUnderAny(dir, quiet)) continue;
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    DIR* d = fdopendir(fd);
    if (!d) {
      close(fd);
      continue;
    }
    while (dirent* e = readdir(d)) {
      const std::string_view name = e->d_name;
      if (name == "." || name == "..") continue;
      std::string child = dir == "/" ? "/" + std::string(name) : dir + "/" + std::string(name);
      unsigned char type = e->d_type;
      struct stat st;
      if (type == DT_UNKNOWN && lstat(child.c_str(), &st) == 0) {
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
      }
      if (type == DT_DIR) stack.push_back(std::move(child));
      if (type == DT_REG || ((type == DT_LNK || type == DT_UNKNOWN) && IsLinkToFolderAt(child)))
        files->push_back(std::move(child));
    }
    closedir(d);
  }
}

namespace {

constexpr uint32_t kInvalidFunction = 1;
// Volumes are looked at again at least this often (the override file has no
// change signal; the mount table wakes the read at once).
constexpr auto kVolumeLook = std::chrono::seconds(1);
// After the first event of a quiet spell, the time the source's queue is left
// to fill: the program's own copies make several events each, and one read of
// a full buffer costs what one read of a single event does.
constexpr auto kGather = std::chrono::milliseconds(20);
constexpr size_t kLaunchReportSize = 524;
// The longest path whose record fits the reader's 65,536-byte buffer.
constexpr size_t kMaxUnits = 32766;
// Paths queued beyond this are dropped (with one line on stderr) rather than
// letting an unread queue grow without bound.
constexpr size_t kMaxQueued = 200000;
// Unheld names kept between two looks; more are dropped.
constexpr size_t kMaxUnheldKept = 1000;

class LinuxChangeDevice : public ChangeDevice {
 public:
  LinuxChangeDevice(std::unique_ptr<ChangeWatcher> watcher, ChangeSource source, int stopFd)
      : watcher_(std::move(watcher)),
        source_(source),
        stopFd_(stopFd),
        mountsFd_(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC)) {}
  ~LinuxChangeDevice() override {
    close(stopFd_);
    if (mountsFd_ >= 0) close(mountsFd_);
  }

  ChangeSource Source() const override { return source_; }

  void WatchFolders(const std::vector<std::string>& folders) override {
    std::vector<std::string> natives;
    for (const std::string& f : folders) {
      std::string native;
      if (!ToNativePath(f, &native)) continue;
      while (native.size() > 1 && native.back() == '/') native.pop_back();
      natives.push_back(std::move(native));
    }
    std::sort(natives.begin(), natives.end());
    natives.erase(std::unique(natives.begin(), natives.end()), natives.end());
    std::lock_guard<std::mutex> g(lock_);
    watcher_->WatchFolders(natives);
  }

  std::string ReportedFolder(const std::string& folder) override {
    std::string native, system;
    if (!ToNativePath(folder, &native)) return {};
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    {
      std::lock_guard<std::mutex> g(lock_);
      native = watcher_->ReportedFolder(native);
    }
    if (native.empty() || !ToSystemPath(native, &system)) return {};
    return system;
  }

  uint32_t TakeLostChanges() override {
    std::lock_guard<std::mutex> g(lock_);
    return watcher_->TakeLosses();
  }

  std::vector<UnheldName> TakeUnheldNames() override {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<UnheldName> out;
    out.swap(unheld_);
    return out;
  }

  uint32_t Control(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize,
                   size_t* returned) override {
    size_t ignored = 0;
    if (!returned) returned = &ignored;
    *returned = 0;
    switch (code) {
      case kIoctlStartReporting: {
        std::lock_guard<std::mutex> g(lock_);
        // Only writes from now on: what the kernel queued before is dropped,
        // and a stop signal left from an earlier session is cleared.
        std::vector<std::string> stale;
        watcher_->Drain(&stale);
        uint64_t v;
        while (read(stopFd_, &v, sizeof v) > 0) {
        }
        reporting_ = true;
        return kErrSuccess;
      }
      case kIoctlStopReporting: {
        std::lock_guard<std::mutex> g(lock_);
        reporting_ = false;
        uint64_t one = 1;
        if (write(stopFd_, &one, sizeof one) < 0 && errno != EAGAIN) return kErrGenFailure;
        return kErrSuccess;
      }
      case kIoctlReadRecords:
        if (!out && outSize > 0) return kErrInvalidParameter;
        return Read(static_cast<uint8_t*>(out), outSize, returned);
      case kIoctlSetBackupOnlyWritten:
      case kIoctlSetNoOpenBackup:
      case kIoctlSetIgnoreTime: {
        if (!in || inSize < sizeof(uint32_t)) return kErrInvalidParameter;
        uint32_t value;
        std::memcpy(&value, in, sizeof value);
        std::lock_guard<std::mutex> g(lock_);
        (code == kIoctlSetBackupOnlyWritten ? backupOnlyWritten_
         : code == kIoctlSetNoOpenBackup    ? noOpenBackup_
                                            : ignoreTime_) = value;
        return kErrSuccess;
      }
      case kIoctlLaunchReport:
        // Launches are never reported: the first 32-bit value stays 0.
        if (!out || outSize < kLaunchReportSize) return kErrInsufficientBuffer;
        std::memset(out, 0, kLaunchReportSize);
        *returned = kLaunchReportSize;
        return kErrSuccess;
      default:
        return kInvalidFunction;
    }
  }

 private:
  uint32_t Read(uint8_t* out, size_t outSize, size_t* returned) {
    for (;;) {
      {
        std::lock_guard<std::mutex> g(lock_);
        if (!reporting_) return kErrSuccess;  // stopped: 0 bytes
        CollectLocked();
        if (!queue_.empty()) return PackLocked(out, outSize, returned);
      }
      // A mount or unmount makes the mount table readable with POLLPRI.
      pollfd fds[3] = {{watcher_->Fd(), POLLIN, 0}, {stopFd_, POLLIN, 0}, {mountsFd_, POLLPRI, 0}};
      const int ready = poll(fds, mountsFd_ >= 0 ? 3 : 2,
                             static_cast<int>(std::chrono::milliseconds(kVolumeLook).count()));
      if (ready < 0 && errno != EINTR) return kErrGenFailure;
      if (ready > 0 && (fds[2].revents & (POLLPRI | POLLERR))) mountsChanged_ = true;
      if (ready > 0 && (fds[0].revents & POLLIN) && !(fds[1].revents & POLLIN)) {
        pollfd stop = {stopFd_, POLLIN, 0};
        poll(&stop, 1, static_cast<int>(kGather.count()));
      }
    }
  }

  void CollectLocked() {
    const auto now = std::chrono::steady_clock::now();
    if (mountsChanged_ || now - lastVolumeLook_ >= kVolumeLook) {
      mountsChanged_ = false;
      lastVolumeLook_ = now;
      VolumeTable::Instance().ReloadIfChanged();
      watcher_->FollowVolumes();
    }
    std::vector<std::string> written;
    watcher_->Drain(&written);
    for (const std::string& native : written) {
      std::string system;
      if (!ToSystemPath(native, &system)) {  // a name a system path cannot carry
        KeepUnheldLocked(native, UnheldReason::kNone);
        continue;
      }
      bool ok = true;
      std::u16string units = Utf8ToUtf16(system, &ok);
      if (ok && units.size() > kMaxUnits) KeepUnheldLocked(native, UnheldReason::kTooLong);
      if (!ok || units.empty() || units.size() > kMaxUnits) continue;
      if (queued_.count(units)) continue;  // already waiting to be read
      if (queue_.size() >= kMaxQueued) {
        if (!fullSaid_) std::fprintf(stderr, "change monitor: queue full; writes dropped\n");
        fullSaid_ = true;
        continue;
      }
      queued_.insert(units);
      queue_.push_back(std::move(units));
    }
  }

  // Keeps a written file the records cannot carry, for TakeUnheldNames: its
  // folder as a system path and its own name raw. kNone: the reason is in the
  // name (when the folder's name is the fault, nothing is kept).
  void KeepUnheldLocked(const std::string& native, UnheldReason reason) {
    const size_t slash = native.rfind('/');
    if (slash == std::string::npos || unheld_.size() >= kMaxUnheldKept) return;
    UnheldName u;
    u.name = native.substr(slash + 1);
    u.reason = reason == UnheldReason::kNone ? ReasonForName(u.name) : reason;
    if (u.reason == UnheldReason::kNone) return;
    if (!ToSystemPath(slash == 0 ? "/" : native.substr(0, slash), &u.folder)) return;
    unheld_.push_back(std::move(u));
  }

  // Moves as many whole records as fit into out; the rest stay queued.
  uint32_t PackLocked(uint8_t* out, size_t outSize, size_t* returned) {
    size_t used = 0;
    while (!queue_.empty()) {
      const std::u16string& units = queue_.front();
      size_t need = 2 * units.size() + 4;
      if (need > outSize - used) break;
      uint8_t* p = out + used;
      auto put = [&p](char16_t u) {
        *p++ = static_cast<uint8_t>(u & 0xFF);
        *p++ = static_cast<uint8_t>(u >> 8);
      };
      put(static_cast<char16_t>(units.size()));
      for (char16_t u : units) put(u);
      put(0);
      used += need;
      queued_.erase(units);
      queue_.pop_front();
    }
    *returned = used;
    return used == 0 ? kErrInsufficientBuffer : kErrSuccess;
  }

  const std::unique_ptr<ChangeWatcher> watcher_;
  const ChangeSource source_;
  const int stopFd_;    // eventfd: signalled by stop to wake a blocked read
  const int mountsFd_;  // /proc/self/mountinfo, polled for mount changes
  // Guards the watcher, the queue, the reporting state, the volume looks and
  // the flags: a read on one thread and a stop on another meet here.
  std::mutex lock_;
  bool reporting_ = false;
  std::deque<std::u16string> queue_;           // paths waiting to be read, oldest first
  std::unordered_set<std::u16string> queued_;  // the same paths, to merge repeated writes
  bool fullSaid_ = false;
  std::vector<UnheldName> unheld_;  // written files no record can carry, not yet taken
  bool mountsChanged_ = false;
  std::chrono::steady_clock::time_point lastVolumeLook_ = std::chrono::steady_clock::now();
  // Accepted and kept; the watchers report close-after-write and moved-in
  // files whatever their values.
  uint32_t backupOnlyWritten_ = 1, noOpenBackup_ = 1, ignoreTime_ = 1;
};

}  // namespace

std::unique_ptr<ChangeDevice> ChangeDevice::Open(std::string_view name, uint32_t* error) {
  uint32_t ignored = 0;
  if (!error) error = &ignored;
  *error = kErrSuccess;
  if (!EqualsNoCase(name, "\\\\.\\Brevanto")) {
    *error = kErrFileNotFound;
    return nullptr;
  }
  const char* forced = std::getenv("BREVANTO_CHANGE_SOURCE");
  std::string_view want = forced ? forced : "";
  std::unique_ptr<ChangeWatcher> watcher;
  ChangeSource source = ChangeSource::kFanotify;
  if (want != "inotify") watcher = OpenFanotifyWatcher(want != "fanotify-fd");
  if (!watcher && want != "fanotify" && want != "fanotify-fd") {
    watcher = OpenInotifyWatcher();
    source = ChangeSource::kInotify;
  }
  int stopFd = watcher ? eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC) : -1;
  if (stopFd < 0) {
    *error = 1000;
    return nullptr;
  }
  return std::make_unique<LinuxChangeDevice>(std::move(watcher), source, stopFd);
}

}  // namespace plat
