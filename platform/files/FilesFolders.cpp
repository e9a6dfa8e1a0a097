// Folders: made (also below a confining folder, never through a link),
// given the access of the folders they copy, removed, deleted with their tree.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/base/Errors.h"
#include "platform/base/FaultSeam.h"
#include "platform/files/FileSupport.h"
#include "platform/files/Files.h"
#include "platform/files/FilesBelow.h"
#include "platform/files/FilesConfine.h"
#include "platform/volumes/Paths.h"

namespace plat {

using detail::ErrorFor;
using detail::Fail;
using detail::Resolve;
using detail::ResolveConfine;

bool CreateDirectory(std::string_view path, bool privateMode) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  if (mkdir(native.c_str(), privateMode ? 0700 : 0777) != 0) {
    if (errno == EEXIST) return Fail(kErrAlreadyExists);
    return Fail(errno == ENOENT ? kErrPathNotFound : ErrorFor(errno, native));
  }
  return true;
}

bool CreateDirectories(std::string_view path) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  struct stat st;
  if (stat(native.c_str(), &st) == 0) {
    return S_ISDIR(st.st_mode) ? true : Fail(kErrAlreadyExists);
  }
  // Create each missing level from the top down.
  for (size_t pos = 1; pos <= native.size(); ++pos) {
    if (pos != native.size() && native[pos] != '/') continue;
    const std::string part = native.substr(0, pos);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      return Fail(errno == ENOENT ? kErrPathNotFound : ErrnoToWinError(errno));
    }
  }
  if (stat(native.c_str(), &st) != 0) return Fail(ErrorFor(errno, native));
  return S_ISDIR(st.st_mode) ? true : Fail(kErrAlreadyExists);
}

bool CreateDirectories(std::string_view folder, std::string_view confineTo, bool privateMode) {
  return CreateDirectories(folder, confineTo, privateMode, false);
}

bool CreateDirectories(std::string_view folder, std::string_view confineTo, bool privateMode,
                       bool ownerOfParent, size_t* levelsMade) {
  const mode_t mode = privateMode ? 0700 : 0777;
  size_t unused = 0;
  if (!levelsMade) levelsMade = &unused;
  *levelsMade = SIZE_MAX;
  std::string native, base;
  if (!Resolve(folder, &native) || !ResolveConfine(confineTo, &base)) return false;
  if (fault::Hit()) return false;
  std::vector<std::string> below;
  const bool confined = !base.empty() && detail::ComponentsBelow(native, base, &below);
  // Folders that all exist already (the common case: the next file of the
  // same folder) are only opened, without a link, below the confining folder.
  if (confined && !below.empty()) {
    const int fd = detail::OpenFolderBelow(base, below, /*levelByLevel=*/false);
    if (fd >= 0) {
      close(fd);
      *levelsMade = 0;
      return true;
    }
    // Only the last one missing (the first file of a new folder): made in its
    // parent, opened as above. Anything else goes level by level below.
    if (below.size() > 1) {
      const int parent = detail::OpenFolderBelow(
          base, std::vector<std::string>(below.begin(), below.end() - 1), false);
      const bool made = parent >= 0 && mkdirat(parent, below.back().c_str(), mode) == 0;
      if (made && ownerOfParent) detail::TakeOwnerOfFolder(parent, below.back().c_str());
      if (parent >= 0) close(parent);
      if (made) {
        *levelsMade = 1;
        return true;
      }
    }
  }
  // Above the confining folder (and everything when there is none) links are
  // the user's own choice: plain mkdir level by level, unless the confining
  // folder is there already.
  int top = confined ? open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC) : -1;
  const std::string upper = confined ? base : native;
  for (size_t pos = 1; top < 0 && pos <= upper.size(); ++pos) {
    if (pos != upper.size() && upper[pos] != '/') continue;
    if (mkdir(upper.substr(0, pos).c_str(), mode) != 0 && errno != EEXIST) {
      return Fail(errno == ENOENT ? kErrPathNotFound : ErrnoToWinError(errno));
    }
  }
  struct stat st;
  if (!confined) {
    if (stat(native.c_str(), &st) != 0) return Fail(ErrorFor(errno, native));
    return S_ISDIR(st.st_mode) ? true : Fail(kErrAlreadyExists);
  }
  if (top < 0) top = open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (top < 0) return Fail(ErrorFor(errno, base));
  const int fd = detail::OpenFoldersNoFollow(top, below, mode, ownerOfParent, levelsMade);
  close(top);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool MirrorFolderAccess(std::string_view source, std::string_view target,
                        std::string_view confineTo, std::string_view onlyBelow) {
  std::string src, dst, base, limit;
  // The folders were made (and the volume looked at) just before; one gone
  // meanwhile fails the opens below.
  if (!Resolve(source, &src) || !Resolve(target, &dst) ||
      !ResolveConfine(confineTo, &base, /*lookAtVolume=*/false) || base.empty() ||
      (!onlyBelow.empty() && !Resolve(onlyBelow, &limit)))
    return false;
  std::vector<std::string> kept;  // levels at or above onlyBelow keep their access
  if (!limit.empty()) detail::ComponentsBelow(limit, base, &kept);
  std::vector<std::string> below, from;
  if (!detail::ComponentsBelow(dst, base, &below) || below.size() < 2) return true;
  detail::ComponentsBelow(src, "/", &from);
  below.pop_back();  // the files themselves
  if (!from.empty()) from.pop_back();
  // Levels that pair up: the same name at the same distance from the file.
  size_t levels = 0;
  while (levels < below.size() && levels < from.size() &&
         below[below.size() - 1 - levels] == from[from.size() - 1 - levels])
    ++levels;
  levels = std::min(levels, below.size() - std::min(kept.size(), below.size()));
  if (levels == 0) return true;
  const size_t first = below.size() - levels;
  // The first folder to follow is opened with those above it at once.
  int fd = detail::OpenFolderBelow(
      base, std::vector<std::string>(below.begin(), below.begin() + first + 1));
  if (fd < 0) return false;
  std::string model = "/";
  for (size_t i = 0; i < from.size() - levels; ++i) model += from[i] + "/";
  for (size_t i = first; i < below.size(); ++i) {
    model += from[i - first + from.size() - levels];
    if (i > first) {
      const int next = detail::OpenFoldersNoFollow(fd, {below[i]}, 0);
      close(fd);
      fd = next;
      if (fd < 0) return false;
    }
    struct stat want, have;
    if (stat(model.c_str(), &want) != 0 || !S_ISDIR(want.st_mode) || fstat(fd, &have) != 0) {
      model += "/";
      continue;  // the source folder went meanwhile: nothing to follow
    }
    model += "/";
    // Owner and group first (a change of owner clears set-id bits), each
    // kept only where the file system and the user's rights allow it.
    if (have.st_uid != want.st_uid || have.st_gid != want.st_gid) {
      if (fchownat(fd, "", want.st_uid, want.st_gid, AT_EMPTY_PATH) != 0)
        fchownat(fd, "", static_cast<uid_t>(-1), want.st_gid, AT_EMPTY_PATH);
      fstat(fd, &have);
    }
    // Never writable by group or others (they could replace the copies in
    // it), nor set-user or sticky.
    const mode_t mode = (want.st_mode & 02755) | S_IRWXU;
    if ((have.st_mode & 07777) != mode) {
      // An O_PATH descriptor takes no fchmod; its /proc name names the folder.
      const std::string self = "/proc/self/fd/" + std::to_string(fd);
      chmod(self.c_str(), mode);
    }
  }
  close(fd);
  return true;
}

bool RemoveDirectory(std::string_view path) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  if (rmdir(native.c_str()) != 0) {
    if (errno == ENOTEMPTY || errno == EEXIST) return Fail(kErrDirNotEmpty);
    if (errno == ENOTDIR) {
      struct stat st;
      if (stat(native.c_str(), &st) == 0) return Fail(kErrDirectory);
    }
    return Fail(ErrorFor(errno, native));
  }
  return true;
}

bool DeleteTree(std::string_view folder, const std::atomic<bool>* cancel) {
  const std::string base = WithSeparator(folder);
  DirSearch search;
  FindData fd;
  if (search.Open(base + "*", &fd)) {
    do {
      if (cancel && cancel->load()) return false;
      if (fd.name == "." || fd.name == "..") continue;
      const std::string path = base + fd.name;
      if (fd.attributes & kAttrDirectory) {
        DeleteTree(path, cancel);
      } else {
        if (fd.attributes & kAttrReadOnly) SetFileAttributes(path, fd.attributes & ~kAttrReadOnly);
        DeleteFile(path);
      }
    } while (search.Next(&fd));
    search.Close();
  }
  std::string_view bare = folder;
  if (!bare.empty() && bare.back() == '\\') bare.remove_suffix(1);
  RemoveDirectory(bare);
  return !FileExists(bare);
}

}  // namespace plat
