// The identity of a file: its file system's device and its inode number.
#include "platform/files/FileId.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/base/Errors.h"
#include "platform/base/FaultSeam.h"
#include "platform/files/FileSupport.h"

namespace plat {

namespace {

bool IdOf(std::string_view path, bool folder, FileId* id, uint64_t* links) {
  std::string native;
  if (!detail::Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  // A folder's closing separator would follow a link in its place.
  while (folder && native.size() > 1 && native.back() == '/') native.pop_back();
  struct stat st;
  if (lstat(native.c_str(), &st) != 0) return detail::Fail(detail::ErrorFor(errno, native));
  if (S_ISLNK(st.st_mode)) return detail::Fail(kErrStoppedOnLink);
  if (folder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
    return detail::Fail(folder ? kErrDirectory : kErrAccessDenied);
  id->device = static_cast<uint64_t>(st.st_dev);
  id->inode = static_cast<uint64_t>(st.st_ino);
  if (links != nullptr) *links = static_cast<uint64_t>(st.st_nlink);
  return true;
}

}  // namespace

bool GetFileId(std::string_view path, FileId* id, uint64_t* links) {
  return IdOf(path, false, id, links);
}

bool GetFolderId(std::string_view path, FileId* id) { return IdOf(path, true, id, nullptr); }

}  // namespace plat
