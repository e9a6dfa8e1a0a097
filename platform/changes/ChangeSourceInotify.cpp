// inotify source: watches set recursively on the folders the plans protect,
// the home folder and the roots of the fixed volumes other than C: (or, in
// place of the last two, BREVANTO_CHANGE_ROOTS: folders separated by ':'),
// with watches added as folders appear and as volumes are mounted; files
// closed after writing, moved or linked in, and (throttled) modified without
// a close, such as a truncation. The number
// of watches stays a margin below the user's limit.
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>

#include "platform/changes/ChangeDevice.h"
#include "platform/changes/ChangeSources.h"
#include "platform/files/FolderAccess.h"

namespace plat {
namespace {

// IN_ATTRIB: a file whose permissions changed may be copied where it was
// held back before (who may read it decides that).
constexpr uint32_t kMask =
    IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_ATTRIB;

std::vector<std::string> SplitRoots(std::string_view list) {
  std::vector<std::string> out;
  while (!list.empty()) {
    size_t colon = list.find(':');
    std::string_view part = list.substr(0, colon);
    if (!part.empty() && part[0] == '/') out.emplace_back(part);
    if (colon == std::string_view::npos) break;
    list.remove_prefix(colon + 1);
  }
  return out;
}

// The home folder and the fixed volumes other than C: (whose root "/" holds
// the whole system), or BREVANTO_CHANGE_ROOTS when set.
std::vector<std::string> BaseRoots() {
  const char* env = std::getenv("BREVANTO_CHANGE_ROOTS");
  if (env && *env) return SplitRoots(env);
  std::vector<std::string> out;
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') out.emplace_back(home);
  for (const std::string& root : FixedVolumeRoots()) {
    if (root != "/") out.push_back(root);
  }
  return out;
}

// Folders no watch descends into: the kernel's own trees, whose files are
// never user data and would cost thousands of watches.
bool IsPseudoFileSystem(const std::string& dir) {
  struct statfs sf;
  if (statfs(dir.c_str(), &sf) != 0) return false;
  switch (static_cast<unsigned long>(sf.f_type)) {
    case 0x9fa0:      // proc
    case 0x62656572:  // sysfs
    case 0x1cd1:      // devpts
    case 0x27e0eb:    // cgroup
    case 0x63677270:  // cgroup2
    case 0x73636673:  // securityfs
    case 0x64626720:  // debugfs
    case 0x74726163:  // tracefs
    case 0x6165676c:  // pstore
    case 0xcafe4a11:  // bpf
    case 0x65735543:  // fusectl
    case 0x62656570:  // configfs
    case 0x19800202:  // mqueue
    case 0x42494e4d:  // binfmt_misc
    case 0xde5e81e4:  // efivarfs
      return true;
    default:
      return false;
  }
}

// Sorted, and without folders that lie below another of the list.
std::vector<std::string> Outermost(std::vector<std::string> folders) {
  std::sort(folders.begin(), folders.end());
  std::vector<std::string> out;
  for (std::string& f : folders) {
    if (!IsUnderAny(f, out)) out.push_back(std::move(f));
  }
  return out;
}

// The watch budget: BREVANTO_CHANGE_WATCH_LIMIT when set (tests), else the
// user's limit less a tenth (at least 256) left for other programs.
size_t WatchBudget() {
  if (const char* s = std::getenv("BREVANTO_CHANGE_WATCH_LIMIT")) {
    char* end = nullptr;
    unsigned long v = std::strtoul(s, &end, 10);
    if (end != s && *end == '\0') return v;
  }
  size_t max = 8192;
  if (FILE* f = std::fopen("/proc/sys/fs/inotify/max_user_watches", "r")) {
    unsigned long v = 0;
    if (std::fscanf(f, "%lu", &v) == 1 && v > 0) max = v;
    std::fclose(f);
  }
  size_t margin = max / 10 < 256 ? 256 : max / 10;
  return max > margin ? max - margin : 0;
}

class InotifyWatcher : public ChangeWatcher {
 public:
  explicit InotifyWatcher(int fd) : fd_(fd), budget_(WatchBudget()), quiet_(QuietFolders()) {}
  ~InotifyWatcher() override { close(fd_); }
  int Fd() const override { return fd_; }

  // found (may be null) receives the files already present in the tree.
  void AddTree(const std::string& top, std::vector<std::string>* found) {
    std::vector<std::string> stack{top};
    while (!stack.empty()) {
      std::string dir = std::move(stack.back());
      stack.pop_back();
      if (IsUnderAny(dir, quiet_)) continue;
      if (dir != top && IsPseudoFileSystem(dir)) continue;
      if (dirs_.size() >= budget_) return SayLimit();
      int wd = inotify_add_watch(fd_, dir.c_str(), kMask | IN_ONLYDIR | IN_DONT_FOLLOW);
      if (wd < 0) {
        if (errno == ENOSPC) return SayLimit();
        if (errno == ENAMETOOLONG) losses_ |= kChangesBeyondLongestPath;
        if (dir == top && errno == ENOENT) unwatched_.insert(top);
        continue;  // unreadable, vanished or a link: nothing to watch there
      }
      // A folder reached under two names (a source below a link, a bind
      // mount) has one watch: it keeps both names.
      std::vector<std::string>& names = dirs_[wd];
      if (std::find(names.begin(), names.end(), dir) == names.end()) names.push_back(dir);
      DIR* d = opendir(dir.c_str());
      if (!d) continue;
      while (dirent* e = readdir(d)) {
        std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string child = dir == "/" ? "/" + std::string(name) : dir + "/" + std::string(name);
        unsigned char type = e->d_type;
        if (type == DT_UNKNOWN) {
          struct stat st;
          if (lstat(child.c_str(), &st) != 0) continue;
          type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR) {
          stack.push_back(std::move(child));
        } else if (found && (type == DT_REG ||
                             ((type == DT_LNK || type == DT_UNKNOWN) && IsLinkToFolderAt(child)))) {
          found->push_back(std::move(child));  // a link to a folder: the plans say it
        }
      }
      closedir(d);
    }
  }

  // A told folder that is a link, or lies below one, is watched where it
  // lay when first told as well (watches never follow links); one inside
  // another told folder is not: a link inside a source is never followed.
  void WatchFolders(const std::vector<std::string>& folders) override {
    told_ = folders;
    for (auto it = places_.begin(); it != places_.end();) {
      it = std::binary_search(told_.begin(), told_.end(), it->first) ? std::next(it)
                                                                     : places_.erase(it);
    }
    PlaceFolders();
    Reconcile();
  }

  std::string ReportedFolder(const std::string& folder) override {
    auto it = places_.find(folder);
    return it != places_.end() ? it->second : folder;
  }

  void FollowVolumes() override {
    // A root that was missing (a folder not made yet, a volume not mounted)
    // or lost its watch is tried again at every look.
    std::vector<std::string> retry(unwatched_.begin(), unwatched_.end());
    unwatched_.clear();
    for (const std::string& root : retry) {
      if (std::binary_search(roots_.begin(), roots_.end(), root)) AddTree(root, nullptr);
    }
    std::vector<std::string> base = BaseRoots();
    const bool placed = PlaceFolders();  // a told folder made since
    if (base == base_ && !placed) return;
    base_ = std::move(base);
    Reconcile();
  }

  // folders_ from told_: each told folder, and where an outermost one really
  // lies, found once and kept (a link swapped later redirects nothing).
  // True when folders_ changed.
  bool PlaceFolders() {
    std::vector<std::string> folders = told_;
    for (const std::string& f : told_) {
      const bool inner = std::any_of(told_.begin(), told_.end(), [&](const std::string& g) {
        return g != f && IsUnderAny(f, {g});
      });
      if (inner) continue;
      auto it = places_.find(f);
      if (it == places_.end()) {
        const std::string real = ResolvedFolder(f);
        if (real.empty()) continue;  // missing: looked for again
        it = places_.emplace(f, real).first;
      }
      if (it->second != f) folders.push_back(it->second);
    }
    if (folders == folders_) return false;
    folders_ = std::move(folders);
    return true;
  }

  // Watches the outermost of the told folders and the base roots: the trees
  // no longer wanted lose their watches, new ones are added.
  void Reconcile() {
    std::vector<std::string> all = folders_;
    all.insert(all.end(), base_.begin(), base_.end());
    std::vector<std::string> want = Outermost(std::move(all));
    for (const std::string& old : roots_) {
      if (!IsUnderAny(old, want)) Forget(old);
    }
    std::vector<std::string> before = std::move(roots_);
    roots_ = std::move(want);
    for (const std::string& root : roots_) {
      if (!std::binary_search(before.begin(), before.end(), root)) AddTree(root, nullptr);
    }
  }

  void Drain(std::vector<std::string>* written) override {
    alignas(inotify_event) char buf[65536];
    for (;;) {
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (char* p = buf; p < buf + n;) {
        auto* ev = reinterpret_cast<inotify_event*>(p);
        p += sizeof(inotify_event) + ev->len;
        Take(*ev, written);
      }
      // Far from full: the queue was empty (the next event wakes the poll).
      if (static_cast<size_t>(n) < sizeof buf / 2) break;
    }
    throttle_.TakeDue(written);
  }

 private:
  void Take(const inotify_event& ev, std::vector<std::string>* written) {
    if (ev.mask & IN_Q_OVERFLOW) {
      losses_ |= kChangesLostOverflow;
      if (!overflowSaid_) {
        std::fprintf(stderr, "change monitor: inotify queue overflowed; some writes missed\n");
      }
      overflowSaid_ = true;
    }
    if (ev.mask & IN_IGNORED) {
      auto gone = dirs_.find(ev.wd);
      if (gone == dirs_.end()) return;
      for (const std::string& name : gone->second) {
        if (std::binary_search(roots_.begin(), roots_.end(), name)) unwatched_.insert(name);
      }
      dirs_.erase(gone);
      return;
    }
    auto it = dirs_.find(ev.wd);
    if (it == dirs_.end() || ev.len == 0 || ev.name[0] == '\0') return;
    // Copied: a folder added or forgotten below changes the map.
    const std::vector<std::string> names = it->second;
    for (const std::string& dir : names) {
      Take(ev, dir == "/" ? "/" + std::string(ev.name) : dir + "/" + std::string(ev.name), written);
    }
  }

  // One event under one of its folder's names.
  void Take(const inotify_event& ev, std::string path, std::vector<std::string>* written) {
    if (ev.mask & IN_ISDIR) {
      if (ev.mask & IN_MOVED_FROM) Forget(path);
      // A folder's permissions changed: who may reach the files below is
      // looked at anew.
      if (ev.mask & IN_ATTRIB) ForgetFolderAnswers();
      // A new or moved-in folder: watch it and report the files it already
      // holds (they may have been written before its watch existed).
      if (ev.mask & (IN_CREATE | IN_MOVED_TO)) AddTree(path, written);
    } else if (ev.mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_ATTRIB)) {
      // Written in place, renamed in (a save through a temporary file),
      // linked in under this name, or its permissions changed.
      throttle_.Reported(path);
      written->push_back(std::move(path));
    } else if ((ev.mask & IN_MODIFY) && throttle_.Modified(path)) {
      written->push_back(std::move(path));  // changed without a close (a truncation)
    }
  }

  // Drops the names of a folder tree that moved away (a move within the
  // watched tree adds them again under the new name), and a watch once it
  // has no name left: a folder still reached under another name keeps it.
  void Forget(const std::string& dir) {
    for (auto it = dirs_.begin(); it != dirs_.end();) {
      std::vector<std::string>& names = it->second;
      names.erase(std::remove_if(names.begin(), names.end(),
                                 [&](const std::string& p) { return IsUnderAny(p, {dir}); }),
                  names.end());
      if (names.empty()) {
        inotify_rm_watch(fd_, it->first);
        it = dirs_.erase(it);
      } else {
        ++it;
      }
    }
  }

  void SayLimit() {
    losses_ |= kChangesLostWatchLimit;
    if (limitSaid_) return;
    limitSaid_ = true;
    std::fprintf(stderr,
                 "change monitor: inotify watch limit near (%zu watches); further folders are "
                 "not watched\n",
                 dirs_.size());
  }

  int fd_;
  size_t budget_;
  std::vector<std::string> quiet_;
  std::unordered_map<int, std::vector<std::string>> dirs_;  // watch -> its folder's names
  std::vector<std::string> told_;                           // folders the plans protect
  std::map<std::string, std::string> places_;  // told folder -> where it lay when first told
  std::vector<std::string> folders_;           // told_ and those places
  std::vector<std::string> base_;              // home and fixed volumes, at the last look
  std::vector<std::string> roots_;             // the outermost watched trees, sorted
  std::set<std::string> unwatched_;            // roots missing or lost, tried again
  bool limitSaid_ = false;
  bool overflowSaid_ = false;
  ModifyThrottle throttle_;
};

}  // namespace

std::unique_ptr<ChangeWatcher> OpenInotifyWatcher() {
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return nullptr;
  auto w = std::make_unique<InotifyWatcher>(fd);
  w->FollowVolumes();
  return w;
}

}  // namespace plat
