#include "platform/files/FolderAccess.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/openat2.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/base/Errors.h"
#include "platform/files/AccessList.h"
#include "platform/files/FileSupport.h"
#include "platform/volumes/Paths.h"

namespace plat {

bool MayCreateIn(std::string_view folder) {
  std::string native;
  if (!detail::Resolve(folder, &native)) return false;
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return detail::Fail(detail::ErrorFor(errno, native));
  if (!S_ISDIR(st.st_mode)) return detail::Fail(kErrDirectory);
  if (access(native.c_str(), W_OK | X_OK) != 0)
    return detail::Fail(detail::ErrorFor(errno, native));
  return true;
}

bool RunsAsAdministrator() { return geteuid() == 0; }

std::string TrustedFolderOnTheWay(std::string_view path) {
  std::string native, system;
  if (!detail::Resolve(path, &native) || native.empty() || native[0] != '/') return {};
  std::string at = "/";
  const uid_t me = geteuid();
  for (size_t from = 1; from < native.size();) {
    size_t end = native.find('/', from);
    if (end == std::string::npos) end = native.size();
    if (end > from) {
      const std::string next = (at == "/" ? at : at + "/") + native.substr(from, end - from);
      struct stat lst, st;
      if (lstat(next.c_str(), &lst) != 0) break;
      if (S_ISLNK(lst.st_mode) && lst.st_uid != 0 && lst.st_uid != me) break;
      if (stat(next.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) break;
      at = next;
    }
    from = end + 1;
  }
  return ToSystemPath(at, &system) ? WithSeparator(system) : std::string();
}

bool KeepStoreFolderOwn(std::string_view folder) {
  std::string native;
  if (!detail::Resolve(folder, &native)) return true;  // the copies say why
  struct stat st;
  if (stat(native.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;
  const uid_t me = geteuid();
  if (me != 0 && st.st_uid != me && st.st_uid != 0) return false;
  if (st.st_uid == me && (st.st_mode & 022) != 0) chmod(native.c_str(), 0700);
  return true;
}

StoreFolderUse KeepInnerStoreFolderOwn(std::string_view folder, std::vector<std::string>* theirs) {
  std::string native;
  if (!detail::Resolve(folder, &native)) return StoreFolderUse::kAbsent;
  struct stat st;
  if (lstat(native.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return StoreFolderUse::kAbsent;
  const uid_t me = geteuid();
  if (me == 0) {
    if ((st.st_mode & 022) != 0 && st.st_uid == 0) chmod(native.c_str(), 0700);
    return StoreFolderUse::kUsable;
  }
  if (st.st_uid != me) return st.st_uid == 0 ? StoreFolderUse::kUsable : StoreFolderUse::kForeign;
  if ((st.st_mode & 022) == 0) return StoreFolderUse::kUsable;
  // Closed first, then listed: nothing new can come in while it is read. A
  // file system without modes (FAT) keeps its own and is not listed again.
  if (chmod(native.c_str(), 0700) != 0 || lstat(native.c_str(), &st) != 0 ||
      (st.st_mode & 022) != 0)
    return StoreFolderUse::kUsable;
  if (theirs == nullptr) return StoreFolderUse::kClosed;
  const int fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    if (fd >= 0) close(fd);
    return StoreFolderUse::kClosed;
  }
  constexpr size_t kMostNamed = 16;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    struct stat in;
    if (name == "." || name == ".." ||
        fstatat(dirfd(dir), entry->d_name, &in, AT_SYMLINK_NOFOLLOW) != 0 || in.st_uid == me ||
        in.st_uid == 0)
      continue;
    theirs->emplace_back(name);
    if (theirs->size() >= kMostNamed) break;
  }
  closedir(dir);
  return StoreFolderUse::kClosed;
}

bool OthersMayWriteIn(std::string_view folder) {
  std::string native;
  struct stat st;
  if (!detail::Resolve(folder, &native) || stat(native.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return false;
  return st.st_uid != geteuid() && ((st.st_mode & 022) != 0 || st.st_uid != 0);
}

namespace {

// Whether no user but me belongs to the group: a user's own group, as most
// systems make one per user, lets no one else in through a g+w folder.
bool GroupOnlyMine(gid_t gid, uid_t me) {
  std::vector<char> buffer(16384);
  struct group gr, *found = nullptr;
  if (getgrgid_r(gid, &gr, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return false;
  std::vector<std::string> members;
  for (char** m = gr.gr_mem; m != nullptr && *m != nullptr; ++m) members.emplace_back(*m);
  std::vector<char> pwBuffer(16384);
  struct passwd pw, *user = nullptr;
  for (const std::string& name : members) {
    if (getpwnam_r(name.c_str(), &pw, pwBuffer.data(), pwBuffer.size(), &user) != 0 ||
        user == nullptr || user->pw_uid != me)
      return false;
  }
  // Users whose primary group it is: the user table is walked with one
  // cursor for the whole process.
  static std::mutex walking;  // guards the user table's cursor
  std::lock_guard<std::mutex> guard(walking);
  bool mine = true;
  setpwent();
  while (mine && getpwent_r(&pw, pwBuffer.data(), pwBuffer.size(), &user) == 0 && user != nullptr)
    mine = user->pw_gid != gid || user->pw_uid == me;
  endpwent();
  return mine;
}

// Whether another user may rename or replace what an entry holds: a link or
// folder of another user but the administrator, or a folder group or others
// may write in without the sticky bit (which keeps them to their own entries);
// a group of mine alone writing in it is no one else.
bool OthersMayRearrange(const struct stat& st, uid_t me) {
  if (S_ISLNK(st.st_mode)) return st.st_uid != me && st.st_uid != 0;
  if (!S_ISDIR(st.st_mode)) return false;
  if (st.st_uid != me && st.st_uid != 0) return true;
  if ((st.st_mode & S_ISVTX) != 0) return false;
  if ((st.st_mode & S_IWOTH) != 0) return true;
  return (st.st_mode & S_IWGRP) != 0 && !GroupOnlyMine(st.st_gid, me);
}

// The first entry above the last one of path (each looked at itself, a link
// not followed) that others may rearrange; empty when none.
std::string FirstRearrangeable(const std::string& path, uid_t me) {
  struct stat st;
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    const std::string above = path.substr(0, at);
    if (lstat(above.c_str(), &st) == 0 && OthersMayRearrange(st, me)) return above;
  }
  if (lstat("/", &st) == 0 && OthersMayRearrange(st, me)) return "/";
  return {};
}

}  // namespace

std::string FolderOthersMayRearrange(std::string_view folder) {
  std::string native;
  if (!detail::Resolve(folder, &native)) return {};
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  const uid_t me = geteuid();
  // The path as written (its links), then the folders it really leads through.
  std::string found = FirstRearrangeable(native, me);
  if (!found.empty()) return found;
  char* real = realpath(native.c_str(), nullptr);
  if (real == nullptr) return {};
  found = FirstRearrangeable(real, me);
  std::free(real);
  return found;
}

bool SetFileMode(std::string_view path, uint32_t mode) {
  std::string native;
  if (!detail::Resolve(path, &native)) return false;
  const int fd = open(native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return detail::Fail(errno == ELOOP ? kErrStoppedOnLink : detail::ErrorFor(errno, native));
  struct stat st;
  const bool done = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && fchmod(fd, mode & 07777) == 0;
  const int error = errno;
  close(fd);
  return done ? true
              : detail::Fail(S_ISREG(st.st_mode) ? detail::ErrorFor(error, native)
                                                 : kErrAccessDenied);
}

namespace {

constexpr size_t kMaxKeptFolders = 4096;
constexpr auto kFolderAnswerLife = std::chrono::seconds(30);

struct FolderMasks {
  std::mutex lock;  // guards masks and reals
  struct Kept {
    uint32_t mask;
    std::chrono::steady_clock::time_point at;
    struct timespec changed;  // the folder's status change time when judged
  };
  std::unordered_map<std::string, Kept> masks;         // by real path
  std::unordered_map<std::string, std::string> reals;  // a folder's real path ("" when none)
};

FolderMasks& Masks() {
  static FolderMasks masks;
  return masks;
}

// The bits a folder lets through: its own search bits, and its access list.
uint32_t OwnMask(const std::string& folder, mode_t mode) {
  const uint32_t bits = (mode & S_IXOTH) ? 0777 : (mode & S_IXGRP) ? 0770 : 0700;
  return bits == 0700 ? bits : bits & detail::AccessListMask(folder, true);
}

std::string Parent(const std::string& folder) {
  const size_t slash = folder.find_last_of('/');
  return slash == 0 ? std::string("/") : folder.substr(0, slash);
}

void Keep(FolderMasks& kept, const std::string& folder, uint32_t mask, const struct stat& st) {
  if (kept.masks.size() >= kMaxKeptFolders) kept.masks.clear();
  kept.masks[folder] = {mask, std::chrono::steady_clock::now(), st.st_ctim};
}

// The bits a folder (a real native path, no trailing "/" except the root) and
// every folder above it let through to a file below; called with the lock
// held. The folders above are taken from the kept answers while they last.
uint32_t MaskOfFolder(FolderMasks& kept, const std::string& folder) {
  const auto found = kept.masks.find(folder);
  if (found != kept.masks.end() &&
      std::chrono::steady_clock::now() - found->second.at < kFolderAnswerLife)
    return found->second.mask;
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) return 0700;
  uint32_t mask = OwnMask(folder, st.st_mode);
  if (mask != 0700 && folder != "/") mask &= MaskOfFolder(kept, Parent(folder));
  Keep(kept, folder, mask, st);
  return mask;
}

// The real path of a folder (links resolved), kept; empty when it has none.
const std::string& RealFolder(FolderMasks& kept, const std::string& folder) {
  auto found = kept.reals.find(folder);
  if (found != kept.reals.end()) return found->second;
  if (kept.reals.size() >= kMaxKeptFolders) kept.reals.clear();
  std::string& out = kept.reals[folder];
  // A path without a link, "." or ".." is its own real path: one open tells
  // (realpath would look at every level).
  if (folder.find("/.") == std::string::npos && folder.find("//") == std::string::npos) {
    struct open_how how {};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = syscall(SYS_openat2, AT_FDCWD, folder.c_str(), &how, sizeof how);
    if (fd >= 0) {
      close(static_cast<int>(fd));
      return out = folder;
    }
  }
  char* real = realpath(folder.c_str(), nullptr);
  if (real != nullptr) out = real;
  free(real);
  return out;
}

}  // namespace

uint32_t ReachableMode(std::string_view path, uint32_t mode) {
  std::string native;
  if (!detail::Resolve(path, &native)) return mode & ~077u;
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  const size_t slash = native.find_last_of('/');
  if (slash == std::string::npos) return mode & ~077u;
  FolderMasks& kept = Masks();
  std::lock_guard<std::mutex> guard(kept.lock);
  const std::string folder =
      RealFolder(kept, slash == 0 ? std::string("/") : native.substr(0, slash));
  // The file's own folder is looked at every time: one made private a moment
  // ago counts at once (its status change time no longer matches).
  struct stat st;
  if (folder.empty() || stat(folder.c_str(), &st) != 0) return mode & ~077u;
  const auto found = kept.masks.find(folder);
  uint32_t mask;
  if (found != kept.masks.end() && found->second.changed.tv_sec == st.st_ctim.tv_sec &&
      found->second.changed.tv_nsec == st.st_ctim.tv_nsec &&
      std::chrono::steady_clock::now() - found->second.at < kFolderAnswerLife) {
    mask = found->second.mask;
  } else {
    mask = OwnMask(folder, st.st_mode);
    if (mask != 0700 && folder != "/") mask &= MaskOfFolder(kept, Parent(folder));
    Keep(kept, folder, mask, st);
  }
  // The file's own access list may keep out someone its bits let in.
  if ((mode & mask & 077u) != 0) mask &= detail::AccessListMask(native, false);
  return mode & (mask | 07000u);
}

void ForgetFolderAnswers() {
  FolderMasks& kept = Masks();
  std::lock_guard<std::mutex> guard(kept.lock);
  kept.masks.clear();
  kept.reals.clear();
}

}  // namespace plat
