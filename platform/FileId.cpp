// The identity of a file: its file system's device and its inode number.
#include "platform/FileId.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/Errors.h"
#include "platform/FaultSeam.h"
#include "platform/FileSupport.h"

namespace plat {

bool GetFileId(std::string_view path, FileId* id) {
  std::string native;
  if (!detail::Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  struct stat st;
  if (lstat(native.c_str(), &st) != 0) return detail::Fail(detail::ErrorFor(errno, native));
  if (S_ISLNK(st.st_mode)) return detail::Fail(kErrStoppedOnLink);
  if (!S_ISREG(st.st_mode)) return detail::Fail(kErrAccessDenied);
  id->device = static_cast<uint64_t>(st.st_dev);
  id->inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

}  // namespace plat
