#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/Errors.h"
#include "platform/FaultSeam.h"
#include "platform/FileSupport.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace plat {

bool ListFolderNames(std::string_view folder, const std::function<bool(const FindData&)>& each) {
  std::string native;
  if (!detail::Resolve(folder, &native)) return false;
  if (fault::Hit()) return false;
  DIR* dir = opendir(native.c_str());
  if (!dir) {
    const int err = errno;
    return detail::Fail(err == ENOENT || err == ENOTDIR ? kErrPathNotFound : ErrnoToWinError(err));
  }
  const int dfd = dirfd(dir);
  FindData entry;
  int err = 0;
  for (;;) {
    errno = 0;
    const dirent* e = readdir(dir);
    if (!e) {
      err = errno;
      break;
    }
    const std::string_view name(e->d_name);
    if (name == "." || name == ".." || name.find('\\') != std::string_view::npos ||
        !IsValidUtf8(name))
      continue;
    bool isFolder = e->d_type == DT_DIR;
    if (e->d_type != DT_DIR && e->d_type != DT_REG) {
      // What the listing does not say, or a link: as DirSearch decides.
      struct stat st;
      if (fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (S_ISLNK(st.st_mode) && (fstatat(dfd, e->d_name, &st, 0) != 0 || S_ISDIR(st.st_mode)))
        continue;
      if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) continue;
      isFolder = S_ISDIR(st.st_mode);
    }
    entry.name.assign(name);
    entry.attributes = isFolder ? static_cast<uint32_t>(kAttrDirectory) : 0u;
    if (!each(entry)) break;
  }
  closedir(dir);
  if (err != 0) return detail::Fail(ErrnoToWinError(err));
  return true;
}

}  // namespace plat
