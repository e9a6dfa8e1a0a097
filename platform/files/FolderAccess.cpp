#include "platform/files/FolderAccess.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/base/Errors.h"
#include "platform/files/FileSupport.h"

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

}  // namespace plat
