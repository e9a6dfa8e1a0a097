#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/Errors.h"
#include "platform/FaultSeam.h"
#include "platform/FileSupport.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/Volumes.h"

namespace plat {

using detail::ErrorFor;
using detail::Fail;
using detail::FailCode;
using detail::NativeName;
using detail::NativeParent;
using detail::Resolve;

namespace {

bool HasWildcards(std::string_view s) { return s.find_first_of("*?") != std::string_view::npos; }

// Rename that never replaces the target. Returns 0 or an errno value.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
  // The file system lacks RENAME_NOREPLACE: a hard link fails when the name
  // is taken; without hard links, check and rename (a small race remains).
  struct stat src;
  if (lstat(from.c_str(), &src) != 0) return errno;
  if (!S_ISDIR(src.st_mode)) {
    if (link(from.c_str(), to.c_str()) == 0) {
      unlink(from.c_str());
      return 0;
    }
    if (errno == EEXIST) {
      struct stat dst;
      // A case-only rename on a case-folding file system names the same file.
      if (lstat(to.c_str(), &dst) != 0 || dst.st_ino != src.st_ino || dst.st_dev != src.st_dev)
        return EEXIST;
    } else if (errno != EPERM && errno != ENOTSUP && errno != EMLINK) {
      return errno;
    }
  }
  struct stat dst;
  if (lstat(to.c_str(), &dst) == 0 && (dst.st_ino != src.st_ino || dst.st_dev != src.st_dev))
    return EEXIST;
  return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

// Copies the open source into the open target: copy_file_range while the
// file systems allow it, read/write otherwise. Sets the last error on failure.
bool CopyData(int in, int out, uint64_t expected) {
  bool useRange = true;
  uint64_t copied = 0;
  std::vector<char> buffer;
  constexpr size_t kChunk = 1u << 20;
  for (;;) {
    if (useRange) {
      if (fault::Hit()) return false;
      const ssize_t r = copy_file_range(in, nullptr, out, nullptr, 16u << 20, 0);
      if (r > 0) {
        copied += static_cast<uint64_t>(r);
        continue;
      }
      if (r == 0 && copied >= expected) return true;
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != ENOTSUP &&
          errno != EOPNOTSUPP && errno != EBADF && errno != EPERM)
        return Fail(ErrnoToWinError(errno));
      // Not supported here, or a file system that reports no data where the
      // size says there is some: go on with plain reads (offsets are shared).
      useRange = false;
      buffer.resize(kChunk);
      continue;
    }
    if (fault::Hit()) return false;
    const ssize_t r = read(in, buffer.data(), buffer.size());
    if (r < 0) {
      if (errno == EINTR) continue;
      return Fail(ErrnoToWinError(errno));
    }
    if (r == 0) return true;
    if (!detail::WriteAll(out, buffer.data(), static_cast<size_t>(r))) return false;
  }
}

// Opens a regular file for reading (special files would block or never end).
int OpenRegularForRead(const std::string& native, struct stat* st) {
  const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    SetLastError(ErrorFor(errno, native));
    return -1;
  }
  if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    close(fd);
    SetLastError(kErrAccessDenied);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

void Discard(int fd, const std::string& tmp) {
  if (fd >= 0) close(fd);
  if (!tmp.empty()) unlink(tmp.c_str());
}

}  // namespace

bool MatchFileMask(std::string_view name, std::string_view mask) {
  if (mask == "*" || mask == "*.*") return true;
  const std::u16string n = Utf8ToUtf16(ToUpper(name));
  const std::u16string m = Utf8ToUtf16(ToUpper(mask));
  // Greedy match with backtracking to the last "*" (linear in practice).
  size_t i = 0, j = 0, starJ = std::u16string::npos, starI = 0;
  auto unitLen = [](const std::u16string& s, size_t k) {
    return (s[k] >= 0xD800 && s[k] <= 0xDBFF && k + 1 < s.size()) ? 2u : 1u;
  };
  while (i < n.size()) {
    if (j < m.size() && m[j] == u'*') {
      starJ = j++;
      starI = i;
    } else if (j < m.size() && m[j] == u'?') {
      i += unitLen(n, i);
      ++j;
    } else if (j < m.size() && m[j] == n[i]) {
      ++i;
      ++j;
    } else if (starJ != std::u16string::npos) {
      j = starJ + 1;
      starI += unitLen(n, starI);
      i = starI;
    } else {
      return false;
    }
  }
  while (j < m.size() && m[j] == u'*') ++j;
  return j == m.size();
}

uint32_t GetFileAttributes(std::string_view path) {
  std::string native;
  if (!Resolve(path, &native)) return kInvalidAttributes;
  if (fault::Hit()) return kInvalidAttributes;
  struct stat st;
  if (stat(native.c_str(), &st) != 0) {
    SetLastError(ErrorFor(errno, native));
    return kInvalidAttributes;
  }
  return detail::AttributesOf(st, NativeName(native));
}

bool SetFileAttributes(std::string_view path, uint32_t attributes) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return Fail(ErrorFor(errno, native));
  mode_t mode = st.st_mode & 07777;
  mode = (attributes & kAttrReadOnly) ? (mode & ~S_IWUSR) : (mode | S_IWUSR);
  if (mode == (st.st_mode & 07777)) return true;
  if (chmod(native.c_str(), mode) != 0) return Fail(ErrorFor(errno, native));
  return true;
}

bool FileExists(std::string_view path) {
  const std::string plain = StripLongPathPrefix(path);
  if (HasWildcards(PathName(plain))) {
    DirSearch search;
    FindData data;
    return search.Open(plain, &data);
  }
  std::string native;
  if (!Resolve(plain, &native)) return false;
  if (fault::Hit()) return false;
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return Fail(ErrorFor(errno, native));
  return true;
}

bool IsDirectory(std::string_view path) {
  const uint32_t a = GetFileAttributes(path);
  return a != kInvalidAttributes && (a & kAttrDirectory);
}

bool GetFileInfo(std::string_view path, FindData* out) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return Fail(ErrorFor(errno, native));
  detail::FillFindData(st, NativeName(native), out);
  return true;
}

bool CreateDirectory(std::string_view path) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  if (mkdir(native.c_str(), 0777) != 0) {
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

bool DeleteFile(std::string_view path) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  struct stat st;
  if (lstat(native.c_str(), &st) != 0) return Fail(ErrorFor(errno, native));
  if (S_ISDIR(st.st_mode)) return Fail(kErrAccessDenied);
  // As on the system the program was made for, a read-only file must have its
  // read-only attribute cleared before it can be deleted.
  if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) return Fail(kErrAccessDenied);
  if (unlink(native.c_str()) != 0) return Fail(ErrorFor(errno, native));
  return true;
}

uint32_t CopyFile(std::string_view source, std::string_view target, bool failIfExists,
                  bool flushToDevice) {
  std::string src, dst;
  if (!Resolve(source, &src) || !Resolve(target, &dst)) return GetLastError();
  if (fault::Hit()) return GetLastError();
  struct stat st;
  const int in = OpenRegularForRead(src, &st);
  if (in < 0) return GetLastError();
  struct stat old;
  if (stat(dst.c_str(), &old) == 0) {
    uint32_t code = 0;
    if (failIfExists) {
      code = kErrFileExists;
    } else if (S_ISDIR(old.st_mode) || !(old.st_mode & S_IWUSR)) {
      code = kErrAccessDenied;  // a folder or a read-only file is never replaced
    } else if (old.st_dev == st.st_dev && old.st_ino == st.st_ino) {
      code = kErrSharingViolation;  // copying a file onto itself
    }
    if (code) {
      close(in);
      return FailCode(code);
    }
  }
  std::string tmp;
  if (fault::Hit()) {
    close(in);
    return GetLastError();
  }
  int out = detail::CreateTempNextTo(dst, 0600, &tmp);
  if (out < 0) {
    const uint32_t code = ErrorFor(errno, tmp);
    close(in);
    return FailCode(code);
  }
  bool ok = CopyData(in, out, static_cast<uint64_t>(st.st_size));
  close(in);
  if (ok) {
    // Mode and times go on after the data, or the writes would change them.
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (fchmod(out, st.st_mode & 07777) != 0 || futimens(out, times) != 0)
      ok = Fail(ErrnoToWinError(errno));
  }
  if (ok && flushToDevice) {
    if (fault::Hit()) {
      ok = false;
    } else if (fsync(out) != 0) {
      ok = Fail(ErrnoToWinError(errno));
    }
  }
  if (ok) {
    const int rc = close(out);  // network file systems report write errors here
    out = -1;
    if (rc != 0) ok = Fail(ErrnoToWinError(errno));
  }
  if (ok && fault::Hit()) ok = false;
  if (ok) {
    const int err = failIfExists ? RenameNoReplace(tmp, dst)
                                 : (rename(tmp.c_str(), dst.c_str()) == 0 ? 0 : errno);
    if (err == EEXIST) {
      ok = Fail(kErrFileExists);
    } else if (err != 0) {
      ok = Fail(err == EISDIR ? kErrAccessDenied : ErrnoToWinError(err));
    }
  }
  if (!ok) {
    Discard(out, tmp);
    return GetLastError();
  }
  // The data was synced before the rename and the copy is whole under its
  // final name: a folder sync that fails now only delays the name reaching
  // the device, so it does not turn the copy into a failure (and is not a
  // step of the fault seam).
  if (flushToDevice) detail::SyncFolder(NativeParent(dst));
  return 0;
}

uint32_t MoveFile(std::string_view source, std::string_view target) {
  std::string src, dst;
  if (!Resolve(source, &src) || !Resolve(target, &dst)) return GetLastError();
  if (fault::Hit()) return GetLastError();
  struct stat st;
  if (lstat(src.c_str(), &st) != 0) return FailCode(ErrorFor(errno, src));
  const int err = RenameNoReplace(src, dst);
  if (err == 0) return 0;
  if (err == EEXIST || err == ENOTEMPTY) return FailCode(kErrAlreadyExists);
  if (err != EXDEV) return FailCode(ErrorFor(err, dst));
  // Another volume: copy, then delete the source. Folders are not carried over.
  if (S_ISDIR(st.st_mode)) return FailCode(kErrNotSameDevice);
  const uint32_t rc = CopyFile(source, target, true, false);
  if (rc != 0) return FailCode(rc == kErrFileExists ? kErrAlreadyExists : rc);
  uint32_t code = 0;
  if (fault::Hit()) {
    code = GetLastError();
  } else if (unlink(src.c_str()) != 0) {
    code = ErrorFor(errno, src);
  }
  if (code != 0) {
    unlink(dst.c_str());  // keep exactly one copy: the source
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

bool WriteFileAtomic(std::string_view path, std::string_view data, bool privateMode) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  struct stat old;
  const bool exists = stat(native.c_str(), &old) == 0;
  if (exists && (S_ISDIR(old.st_mode) || !(old.st_mode & S_IWUSR))) return Fail(kErrAccessDenied);
  if (fault::Hit()) return false;
  std::string tmp;
  int fd = detail::CreateTempNextTo(native, privateMode ? 0600 : 0666, &tmp);
  if (fd < 0) return Fail(ErrorFor(errno, tmp));
  bool ok = detail::WriteAll(fd, data.data(), data.size());
  // A rewritten file keeps its mode; credentials are never readable by others.
  if (ok && (privateMode || exists)) {
    const mode_t mode = privateMode ? 0600 : (old.st_mode & 07777);
    if (fchmod(fd, mode) != 0) ok = Fail(ErrnoToWinError(errno));
  }
  // The data must be on the device before the name points at it.
  if (ok) {
    if (fault::Hit()) {
      ok = false;
    } else if (fsync(fd) != 0) {
      ok = Fail(ErrnoToWinError(errno));
    }
  }
  if (ok) {
    const int rc = close(fd);
    fd = -1;
    if (rc != 0) ok = Fail(ErrnoToWinError(errno));
  }
  if (ok) {
    if (fault::Hit()) {
      ok = false;
    } else if (rename(tmp.c_str(), native.c_str()) != 0) {
      ok = Fail(ErrorFor(errno, native));
    }
  }
  if (!ok) {
    Discard(fd, tmp);
    return false;
  }
  // The rename itself must survive a crash.
  if (fault::Hit()) return false;
  return detail::SyncFolder(NativeParent(native));
}

bool ReadWholeFile(std::string_view path, std::string* out, uint64_t maxBytes) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  struct stat st;
  const int fd = OpenRegularForRead(native, &st);
  if (fd < 0) return false;
  if (static_cast<uint64_t>(st.st_size) > maxBytes) {
    close(fd);
    return Fail(kErrFileTooLarge);
  }
  std::string data;
  data.reserve(static_cast<size_t>(st.st_size));
  std::vector<char> buffer(1u << 20);
  for (;;) {
    if (fault::Hit()) {
      close(fd);
      return false;
    }
    const ssize_t r = read(fd, buffer.data(), buffer.size());
    if (r < 0) {
      if (errno == EINTR) continue;
      const uint32_t code = ErrnoToWinError(errno);
      close(fd);
      return Fail(code);
    }
    if (r == 0) break;
    if (data.size() + static_cast<uint64_t>(r) > maxBytes) {  // it grew while read
      close(fd);
      return Fail(kErrFileTooLarge);
    }
    data.append(buffer.data(), static_cast<size_t>(r));
  }
  close(fd);
  *out = std::move(data);
  return true;
}

bool GetDiskSpace(std::string_view path, uint64_t* freeToCaller, uint64_t* total) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  // A path not yet created is measured at its nearest existing folder.
  struct stat st;
  std::string probe = native;
  while (stat(probe.c_str(), &st) != 0 && probe != "/") probe = NativeParent(probe);
  struct statvfs vfs;
  if (statvfs(probe.c_str(), &vfs) != 0) return Fail(ErrorFor(errno, probe));
  uint64_t freeBytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  uint64_t totalBytes = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
  VolumeInfo vol;
  if (VolumeTable::Instance().FindByNativePath(native, &vol)) {
    if (vol.hasFreeBytes) freeBytes = vol.freeBytes;
    if (vol.hasTotalBytes) totalBytes = vol.totalBytes;
  }
  if (freeToCaller) *freeToCaller = freeBytes;
  if (total) *total = totalBytes;
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
