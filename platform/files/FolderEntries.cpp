#include "platform/files/FolderEntries.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/base/Errors.h"
#include "platform/base/FaultSeam.h"
#include "platform/base/Text.h"
#include "platform/files/FileSupport.h"

namespace plat {

namespace {

// Most names are plain ASCII: they need no further check for UTF-8.
bool IsAscii(std::string_view name) {
  unsigned char any = 0;
  for (const char c : name) any |= static_cast<unsigned char>(c);
  return any < 0x80;
}

}  // namespace

bool ListFolderEntries(std::string_view folder, bool sizes, FolderEntryFn each, void* context) {
  std::string native;
  if (!detail::Resolve(folder, &native)) return false;
  if (fault::Hit()) return false;
  DIR* dir = opendir(native.c_str());
  if (!dir) {
    const int err = errno;
    return detail::Fail(err == ENOENT || err == ENOTDIR ? kErrPathNotFound : ErrnoToWinError(err));
  }
  const int dfd = dirfd(dir);
  FolderEntry entry;
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
        (!IsAscii(name) && !IsValidUtf8(name)))
      continue;
    entry.name = name;
    entry.size = 0;
    entry.writeTime = 0;
    struct stat st;
    if (e->d_type == DT_DIR) {
      entry.folder = true;
    } else if (e->d_type == DT_REG) {
      entry.folder = false;
      if (sizes) {
        if (fstatat(dfd, e->d_name, &st, 0) != 0) continue;  // gone since it was listed
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) continue;
        entry.folder = S_ISDIR(st.st_mode);
      }
    } else if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
      // A link counts as what it points at; links to folders could loop.
      if (fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (S_ISLNK(st.st_mode) && (fstatat(dfd, e->d_name, &st, 0) != 0 || S_ISDIR(st.st_mode)))
        continue;
      if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) continue;
      entry.folder = S_ISDIR(st.st_mode);
    } else {
      continue;  // pipes, sockets, devices
    }
    if (sizes && !entry.folder) {
      entry.size = static_cast<uint64_t>(st.st_size);
      entry.writeTime = st.st_mtim.tv_sec;
    }
    if (!each(context, entry)) break;
  }
  closedir(dir);
  if (err != 0) return detail::Fail(ErrnoToWinError(err));
  return true;
}

}  // namespace plat
