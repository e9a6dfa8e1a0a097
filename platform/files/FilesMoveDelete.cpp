// Moving, replacing and deleting files: a move never replaces its target and
// crosses file systems by a copy; a read-only file is not deleted.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/base/Errors.h"
#include "platform/base/FaultSeam.h"
#include "platform/files/FileSupport.h"
#include "platform/files/Files.h"
#include "platform/files/FilesConfine.h"

namespace plat {

using detail::ErrorFor;
using detail::Fail;
using detail::FailCode;
using detail::Resolve;
using detail::ResolveConfine;

namespace detail {

int RenameNoReplace(int fromDir, const char* from, int toDir, const char* to) {
  if (renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
  // The file system lacks RENAME_NOREPLACE: a hard link fails when the name
  // is taken; without hard links, check and rename (a small race remains).
  struct stat src;
  if (fstatat(fromDir, from, &src, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISDIR(src.st_mode)) {
    if (linkat(fromDir, from, toDir, to, 0) == 0) {
      unlinkat(fromDir, from, 0);
      return 0;
    }
    if (errno == EEXIST) {
      struct stat dst;
      // A case-only rename on a case-folding file system names the same file.
      if (fstatat(toDir, to, &dst, AT_SYMLINK_NOFOLLOW) != 0 || dst.st_ino != src.st_ino ||
          dst.st_dev != src.st_dev)
        return EEXIST;
    } else if (errno != EPERM && errno != ENOTSUP && errno != EMLINK) {
      return errno;
    }
  }
  struct stat dst;
  if (fstatat(toDir, to, &dst, AT_SYMLINK_NOFOLLOW) == 0 &&
      (dst.st_ino != src.st_ino || dst.st_dev != src.st_dev))
    return EEXIST;
  return renameat(fromDir, from, toDir, to) == 0 ? 0 : errno;
}

}  // namespace detail

using detail::RenameNoReplace;

bool DeleteFile(std::string_view path) { return DeleteFile(path, {}); }

bool DeleteFile(std::string_view path, std::string_view confineTo) {
  std::string native, base;
  if (!Resolve(path, &native) || !ResolveConfine(confineTo, &base)) return false;
  if (fault::Hit()) return false;
  detail::ParentFolder folder;
  if (!folder.Open(native, base)) return false;
  struct stat st;
  if (fstatat(folder.Fd(), folder.Name().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return Fail(ErrorFor(errno, native));
  if (folder.Confined() && S_ISLNK(st.st_mode)) return Fail(kErrStoppedOnLink);
  if (S_ISDIR(st.st_mode)) return Fail(kErrAccessDenied);
  // As on the system the program was made for, a read-only file must have its
  // read-only attribute cleared before it can be deleted.
  if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) return Fail(kErrAccessDenied);
  if (unlinkat(folder.Fd(), folder.Name().c_str(), 0) != 0) return Fail(ErrorFor(errno, native));
  return true;
}

uint32_t MoveFile(std::string_view source, std::string_view target) {
  return MoveFile(source, target, {});
}

uint32_t MoveFile(std::string_view source, std::string_view target, std::string_view confineTo) {
  std::string src, dst, base;
  if (!Resolve(source, &src) || !Resolve(target, &dst) || !ResolveConfine(confineTo, &base))
    return GetLastError();
  if (fault::Hit()) return GetLastError();
  detail::ParentFolder from, to;
  if (!from.Open(src, base)) return GetLastError();
  struct stat st;
  if (fstatat(from.Fd(), from.Name().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return FailCode(ErrorFor(errno, src));
  if (from.Confined() && S_ISLNK(st.st_mode)) return FailCode(kErrStoppedOnLink);
  if (!to.Open(dst, base)) return GetLastError();
  const int err = RenameNoReplace(from.Fd(), from.Name().c_str(), to.Fd(), to.Name().c_str());
  if (err == 0) return 0;
  if (err == EEXIST || err == ENOTEMPTY) return FailCode(kErrAlreadyExists);
  if (err != EXDEV) return FailCode(ErrorFor(err, dst));
  // Another volume: copy, then delete the source. Folders are not carried over.
  if (S_ISDIR(st.st_mode)) return FailCode(kErrNotSameDevice);
  const uint32_t rc = CopyFileWithin(source, confineTo, target, confineTo, true, false);
  if (rc != 0) return FailCode(rc == kErrFileExists ? kErrAlreadyExists : rc);
  uint32_t code = 0;
  if (fault::Hit()) {
    code = GetLastError();
  } else if (unlinkat(from.Fd(), from.Name().c_str(), 0) != 0) {
    code = ErrorFor(errno, src);
  }
  if (code != 0) {
    unlinkat(to.Fd(), to.Name().c_str(), 0);  // keep exactly one copy: the source
    return FailCode(code);
  }
  return 0;
}

uint32_t ReplaceFile(std::string_view source, std::string_view target) {
  std::string src, dst;
  if (!Resolve(source, &src) || !Resolve(target, &dst)) return GetLastError();
  if (fault::Hit()) return GetLastError();
  if (rename(src.c_str(), dst.c_str()) != 0) {
    if (errno == EISDIR || errno == ENOTEMPTY) return FailCode(kErrAccessDenied);
    if (errno == EXDEV) return FailCode(kErrNotSameDevice);
    struct stat st;
    if (errno == ENOENT && lstat(src.c_str(), &st) != 0) return FailCode(ErrorFor(ENOENT, src));
    return FailCode(ErrorFor(errno, dst));
  }
  return 0;
}

}  // namespace plat
