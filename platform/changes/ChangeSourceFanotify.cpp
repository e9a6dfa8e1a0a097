// fanotify source: a filesystem-wide mark on "/", every fixed local volume
// and the file system of every folder the plans protect.
//
// A group that reports the folder and name of each event
// (FAN_REPORT_DFID_NAME) hears close-after-write for writes in place, modify
// events (throttled) for changes without one, such as a truncation, and the
// directory-entry events for files that arrive by rename, hard link or
// creation. The name is the one the file had when the event happened, so a
// save that writes a temporary file and renames it over the original is
// reported under the original's name too. The folder is found again from its
// handle (open_by_handle_at) when the event is drained.
//
// File systems without handles (and kernels without that group) get a second
// group of close-after-write and modify events whose descriptor is resolved through
// /proc/self/fd; renames are not seen there.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "platform/changes/ChangeDevice.h"
#include "platform/changes/ChangeSources.h"

namespace plat {
namespace {

// FAN_ATTRIB (named group only): a file whose permissions changed may be
// copied where it was held back before.
constexpr uint64_t kNamedMask =
    FAN_CLOSE_WRITE | FAN_MODIFY | FAN_MOVED_TO | FAN_CREATE | FAN_ATTRIB | FAN_ONDIR;
constexpr uint64_t kPlainMask = FAN_CLOSE_WRITE | FAN_MODIFY;

using FsId = std::pair<int, int>;

// The file system of a folder (false for anything else: the folder stands
// for its file system when an event's handle is opened).
bool FsIdOf(const std::string& path, FsId* id) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  struct statfs sf;
  if (statfs(path.c_str(), &sf) != 0) return false;
  int v[2];
  static_assert(sizeof v == sizeof sf.f_fsid);
  std::memcpy(v, &sf.f_fsid, sizeof v);
  *id = {v[0], v[1]};
  return true;
}

// *tooLong (when given) tells a path the system cannot name apart from one
// that is gone.
std::string ReadFdLink(int fd, bool* tooLong = nullptr) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  std::string path(4096, '\0');
  const ssize_t len = readlink(link, path.data(), path.size());
  if (tooLong != nullptr)
    *tooLong = (len < 0 && errno == ENAMETOOLONG) || static_cast<size_t>(len) >= path.size();
  if (len <= 0 || static_cast<size_t>(len) >= path.size()) return {};
  path.resize(static_cast<size_t>(len));
  return path[0] == '/' ? path : std::string();
}

// A fanotify group: folder-and-name events, or descriptor events.
int OpenGroup(bool named) {
  const unsigned flags =
      FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | (named ? FAN_REPORT_DFID_NAME : 0u);
  return fanotify_init(flags, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
}

// Both groups behind one epoll descriptor: the named group for every file
// system that has handles, the descriptor group (made when first needed) for
// the others.
class FanotifyWatcher : public ChangeWatcher {
 public:
  FanotifyWatcher(int epoll, int named) : epoll_(epoll), named_(named), quiet_(QuietFolders()) {
    if (named_ >= 0) Poll(named_);
  }
  ~FanotifyWatcher() override {
    if (named_ >= 0) close(named_);
    if (plain_ >= 0) close(plain_);
    close(epoll_);
  }
  int Fd() const override { return epoll_; }

  // Marks the file systems of "/", every fixed volume and every told folder;
  // a mark that exists already is merged, marks of file systems gone went
  // with them. False when "/" cannot be marked.
  bool MarkAll() {
    // "/" first: without it the source is not usable at all.
    std::vector<std::string> places{"/"};
    places.insert(places.end(), volumes_.begin(), volumes_.end());
    places.insert(places.end(), folders_.begin(), folders_.end());
    std::map<FsId, std::string> marked;
    std::set<FsId> plain;
    for (const std::string& place : places) {
      FsId id;
      if (!FsIdOf(place, &id)) continue;  // a folder not made yet
      if (marked.count(id) || plain.count(id)) continue;
      if (Mark(named_, kNamedMask, place)) {
        marked[id] = place;
        continue;
      }
      // No handles on this file system: writes in place at least.
      if (plain_ < 0 && (plain_ = OpenGroup(false)) >= 0) Poll(plain_);
      if (Mark(plain_, kPlainMask, place)) {
        plain.insert(id);
        continue;
      }
      if (place == "/") return false;
      if (!failSaid_.count(place)) {
        std::fprintf(stderr, "change monitor: cannot watch %s (errno %d)\n", place.c_str(), errno);
        failSaid_.insert(place);
      }
    }
    fileSystems_ = std::move(marked);
    plainSystems_ = std::move(plain);
    return true;
  }

  void WatchFolders(const std::vector<std::string>& folders) override {
    folders_ = folders;
    MarkAll();
  }

  void FollowVolumes() override {
    std::vector<std::string> now = FixedVolumeRoots();
    // A told folder that did not exist yet is tried again at every look.
    bool missing = false;
    for (const std::string& f : folders_) {
      FsId id;
      missing = missing || (FsIdOf(f, &id) && !fileSystems_.count(id) && !plainSystems_.count(id));
    }
    if (now == volumes_ && !missing) return;
    volumes_ = std::move(now);
    MarkAll();
  }

  // Named events find their folder again through the handle, opened from the
  // place marked for its file system: the folder is looked up the same way.
  std::string ReportedFolder(const std::string& folder) override {
    FsId id;
    if (!FsIdOf(folder, &id)) return {};
    auto place = fileSystems_.find(id);
    // Descriptor events name a file as it was opened: links resolved.
    if (place == fileSystems_.end()) return ResolvedFolder(folder);
    std::vector<char> buf(sizeof(file_handle) + MAX_HANDLE_SZ);
    auto* fh = reinterpret_cast<file_handle*>(buf.data());
    fh->handle_bytes = MAX_HANDLE_SZ;
    int mountId = 0;
    if (name_to_handle_at(AT_FDCWD, folder.c_str(), fh, &mountId, AT_SYMLINK_FOLLOW) != 0)
      return ResolvedFolder(folder);
    return PathOfHandle(place->second, fh);
  }

  bool Start() {
    volumes_ = FixedVolumeRoots();
    return MarkAll();
  }

  void Drain(std::vector<std::string>* written) override {
    if (named_ >= 0) DrainGroup(named_, true, written);
    if (plain_ >= 0) DrainGroup(plain_, false, written);
    std::vector<std::string> due;
    throttle_.TakeDue(&due);
    for (std::string& path : due) Offer(std::move(path), false, written);
  }

 private:
  static bool Mark(int group, uint64_t mask, const std::string& place) {
    return group >= 0 && fanotify_mark(group, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, mask, AT_FDCWD,
                                       place.c_str()) == 0;
  }

  void Poll(int group) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = group;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, group, &ev);
  }

  void DrainGroup(int group, bool named, std::vector<std::string>* written) {
    // A small read in descriptor mode: every event carries an open
    // descriptor, and a large batch could run the process out of them.
    alignas(fanotify_event_metadata) char buf[65536];
    const size_t size = named ? sizeof buf : 4096;
    for (;;) {
      ssize_t n = read(group, buf, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      // Records with names are only 4-byte aligned: each header is copied
      // out before it is read.
      size_t at = 0;
      const size_t got = static_cast<size_t>(n);
      while (got - at >= FAN_EVENT_METADATA_LEN) {
        fanotify_event_metadata md;
        std::memcpy(&md, buf + at, sizeof md);
        if (md.event_len < FAN_EVENT_METADATA_LEN || md.event_len > got - at) return;
        if (md.vers != FANOTIFY_METADATA_VERSION) return;
        if (md.mask & FAN_Q_OVERFLOW) {
          losses_ |= kChangesLostOverflow;
          if (!overflowSaid_) {
            std::fprintf(stderr, "change monitor: fanotify queue overflowed; some writes missed\n");
          }
          overflowSaid_ = true;
        }
        if (named) {
          TakeNamed(md, buf + at, written);
        } else if (md.fd >= 0) {
          TakeDescriptor(md, written);
          close(md.fd);
        }
        at += md.event_len;
      }
      // Far from full: the queue was empty (the next event wakes the poll).
      if (got < size / 2) return;
    }
  }

  // The program's own writes (restores, logs, copies) are not reported, nor
  // files already gone or in a quiet folder.
  void Offer(std::string path, bool folder, std::vector<std::string>* written) {
    if (IsUnderAny(path, quiet_)) return;
    struct stat st;
    if (path.size() >= PATH_MAX || lstat(path.c_str(), &st) != 0) {
      if (path.size() >= PATH_MAX || errno == ENAMETOOLONG) losses_ |= kChangesBeyondLongestPath;
      return;
    }
    if (S_ISREG(st.st_mode) || (S_ISLNK(st.st_mode) && IsLinkToFolderAt(path))) {
      written->push_back(std::move(path));  // a link to a folder: the plans say it
    } else if (folder && S_ISDIR(st.st_mode)) {
      // A folder moved in: its files now have new names.
      ListFilesBelow(path, quiet_, written);
    }
  }

  // md is a copy of the header of the record that starts at record.
  void TakeNamed(const fanotify_event_metadata& md, const char* record,
                 std::vector<std::string>* written) {
    constexpr uint64_t kWritten = FAN_CLOSE_WRITE | FAN_MOVED_TO | FAN_CREATE | FAN_ATTRIB;
    if (md.pid == self_ || !(md.mask & (kWritten | FAN_MODIFY))) return;
    // Only a folder moved in is of interest; a new folder is empty.
    const bool folder = (md.mask & FAN_ONDIR) != 0;
    if (folder && !(md.mask & FAN_MOVED_TO)) return;
    if (md.metadata_len > md.event_len) return;
    const char* at = record + md.metadata_len;
    const char* end = record + md.event_len;
    while (at + sizeof(fanotify_event_info_header) <= end) {
      fanotify_event_info_header hdr;
      std::memcpy(&hdr, at, sizeof hdr);
      if (hdr.len < sizeof hdr || at + hdr.len > end) return;
      if (hdr.info_type == FAN_EVENT_INFO_TYPE_DFID_NAME) {
        std::string path = Resolve(at, hdr.len);
        if (path.empty()) return;
        if (md.mask & kWritten) {
          throttle_.Reported(path);
        } else if (!throttle_.Modified(path)) {
          return;  // reported when its gap ends
        }
        Offer(std::move(path), folder, written);
        return;
      }
      at += hdr.len;
    }
  }

  // The native path named by a folder handle and a name; empty when the
  // folder is gone or its file system is not one of the marked ones.
  std::string Resolve(const char* info, size_t len) {
    const size_t head = sizeof(fanotify_event_info_header) + sizeof(__kernel_fsid_t);
    if (len < head + sizeof(file_handle)) return {};
    int fsid[2];
    std::memcpy(fsid, info + sizeof(fanotify_event_info_header), sizeof fsid);
    const char* handleAt = info + head;
    file_handle fh;
    std::memcpy(&fh, handleAt, sizeof fh);
    const size_t handleSize = sizeof(file_handle) + fh.handle_bytes;
    if (head + handleSize >= len) return {};
    const char* name = handleAt + handleSize;
    const size_t nameMax = len - head - handleSize;
    const size_t nameLen = strnlen(name, nameMax);
    if (nameLen == 0 || nameLen == nameMax) return {};
    if (std::strcmp(name, ".") == 0) return {};

    auto place = fileSystems_.find({fsid[0], fsid[1]});
    if (place == fileSystems_.end()) return {};
    std::vector<char> copy(handleAt, handleAt + handleSize);
    const std::string dir =
        PathOfHandle(place->second, reinterpret_cast<file_handle*>(copy.data()));
    if (dir.empty()) return {};
    return dir == "/" ? "/" + std::string(name) : dir + "/" + std::string(name);
  }

  // The native path of a folder's handle, opened from place (a folder on its
  // file system); empty when it is gone.
  std::string PathOfHandle(const std::string& place, file_handle* handle) {
    // Opened only for this lookup: a held descriptor would keep a disk busy.
    // (open_by_handle_at refuses O_PATH descriptors here.)
    const int mountFd = open(place.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (mountFd < 0) return {};
    const int dirFd = open_by_handle_at(mountFd, handle, O_PATH | O_CLOEXEC);
    close(mountFd);
    if (dirFd < 0) return {};
    bool tooLong = false;
    std::string dir = ReadFdLink(dirFd, &tooLong);
    close(dirFd);
    if (tooLong) losses_ |= kChangesBeyondLongestPath;
    return dir;
  }

  void TakeDescriptor(const fanotify_event_metadata& md, std::vector<std::string>* written) {
    if (md.pid == self_ || !(md.mask & kPlainMask)) return;
    struct stat st;
    if (fstat(md.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink == 0) return;
    bool tooLong = false;
    std::string path = ReadFdLink(md.fd, &tooLong);
    if (tooLong) losses_ |= kChangesBeyondLongestPath;
    if (path.empty() || IsUnderAny(path, quiet_)) return;
    if (md.mask & FAN_CLOSE_WRITE) {
      throttle_.Reported(path);
    } else if (!throttle_.Modified(path)) {
      return;
    }
    written->push_back(std::move(path));
  }

  int epoll_;       // both groups, for the device's poll
  int named_;       // the folder-and-name group; -1 without kernel support
  int plain_ = -1;  // the descriptor group; -1 until a file system needs it
  std::vector<std::string> quiet_;
  pid_t self_ = getpid();
  std::vector<std::string> volumes_;         // fixed volume roots at the last look
  std::vector<std::string> folders_;         // folders the plans protect
  std::map<FsId, std::string> fileSystems_;  // marked by the named group -> a folder on it
  std::set<FsId> plainSystems_;              // marked by the descriptor group
  std::set<std::string> failSaid_;           // places whose mark failure was said
  ModifyThrottle throttle_;
  bool overflowSaid_ = false;
};

}  // namespace

std::unique_ptr<ChangeWatcher> OpenFanotifyWatcher(bool named) {
  const int group = named ? OpenGroup(true) : -1;
  if (named && group < 0 && errno == EPERM) return nullptr;  // not privileged
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  if (epoll < 0) {
    if (group >= 0) close(group);
    return nullptr;
  }
  auto w = std::make_unique<FanotifyWatcher>(epoll, group);
  if (!w->Start()) return nullptr;
  return w;
}

}  // namespace plat
