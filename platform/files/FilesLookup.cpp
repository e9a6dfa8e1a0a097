// Looking at entries: attributes (and setting read-only), existence, file
// information, name masks and disk space.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>

#include "platform/base/Errors.h"
#include "platform/base/FaultSeam.h"
#include "platform/base/Text.h"
#include "platform/files/FileSupport.h"
#include "platform/files/Files.h"
#include "platform/files/FilesConfine.h"
#include "platform/volumes/Paths.h"
#include "platform/volumes/Volumes.h"

namespace plat {

using detail::ErrorFor;
using detail::Fail;
using detail::NativeName;
using detail::NativeParent;
using detail::Resolve;
using detail::ResolveConfine;

namespace {

bool HasWildcards(std::string_view s) { return s.find_first_of("*?") != std::string_view::npos; }

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
  return SetFileAttributes(path, attributes, {});
}

bool SetFileAttributes(std::string_view path, uint32_t attributes, std::string_view confineTo) {
  std::string native, base;
  if (!Resolve(path, &native) || !ResolveConfine(confineTo, &base)) return false;
  if (fault::Hit()) return false;
  detail::ParentFolder folder;
  if (!folder.Open(native, base)) return false;
  struct stat st;
  const int err = folder.Stat(&st);
  if (err == detail::ParentFolder::kLinkFound) return Fail(kErrStoppedOnLink);
  if (err != 0) return Fail(ErrorFor(err, native));
  mode_t mode = st.st_mode & 07777;
  mode = (attributes & kAttrReadOnly) ? (mode & ~S_IWUSR) : (mode | S_IWUSR);
  if (mode == (st.st_mode & 07777)) return true;
  // Checked above not to be a link when confined; the kernel refuses to
  // change a link's own mode, so a link swapped in meanwhile fails here.
  int rc = fchmodat(folder.Fd(), folder.Name().c_str(), mode,
                    folder.Confined() ? AT_SYMLINK_NOFOLLOW : 0);
  if (rc != 0 && folder.Confined() && (errno == ENOTSUP || errno == EOPNOTSUPP)) {
    return Fail(kErrStoppedOnLink);
  }
  if (rc != 0) return Fail(ErrorFor(errno, native));
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

bool EntryExists(std::string_view path) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return Fail(ErrnoToWinError(errno));
  return true;
}

bool LookUpFileInfo(std::string_view path, FindData* out) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return Fail(ErrnoToWinError(errno));
  detail::FillFindData(st, NativeName(native), out);
  return true;
}

bool IsDirectory(std::string_view path) {
  const uint32_t a = GetFileAttributes(path);
  return a != kInvalidAttributes && (a & kAttrDirectory);
}

bool IsLinkToFolder(std::string_view path) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  struct stat st;
  return lstat(native.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && stat(native.c_str(), &st) == 0 &&
         S_ISDIR(st.st_mode);
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

bool GetDiskSpace(std::string_view path, uint64_t* freeToCaller, uint64_t* total) {
  std::string native;
  if (!Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  // A path not yet created is measured at its nearest existing folder.
  std::string probe = native;
  struct statvfs vfs;
  while (statvfs(probe.c_str(), &vfs) != 0) {
    if (probe == "/") return Fail(ErrorFor(errno, probe));
    probe = NativeParent(probe);
  }
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

}  // namespace plat
