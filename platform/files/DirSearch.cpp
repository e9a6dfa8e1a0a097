#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/base/Errors.h"
#include "platform/base/FaultSeam.h"
#include "platform/base/Text.h"
#include "platform/files/FileSupport.h"
#include "platform/files/Files.h"
#include "platform/volumes/Paths.h"

namespace plat {

using detail::Fail;

namespace {

// A folder's entries read straight from its descriptor: no status or flag
// calls around the open, as a directory stream would make for every folder.
struct FolderReader {
  explicit FolderReader(int folderFd) : fd(folderFd), buffer(kBufferBytes) {}
  ~FolderReader() { close(fd); }
  FolderReader(const FolderReader&) = delete;
  FolderReader& operator=(const FolderReader&) = delete;

  // The next entry; null at the end (errno 0) or on a read error (errno set).
  const dirent64* Next() {
    if (at >= filled) {
      const ssize_t got = getdents64(fd, buffer.data(), buffer.size());
      if (got <= 0) {
        if (got == 0) errno = 0;
        return nullptr;
      }
      filled = static_cast<size_t>(got);
      at = 0;
    }
    const auto* entry = reinterpret_cast<const dirent64*>(buffer.data() + at);
    at += entry->d_reclen;
    return entry;
  }

  static constexpr size_t kBufferBytes = 32768;
  const int fd;
  std::vector<char> buffer;
  size_t at = 0, filled = 0;
};

FolderReader* ReaderOf(void* dir) { return static_cast<FolderReader*>(dir); }

}  // namespace

DirSearch::~DirSearch() { Close(); }

void DirSearch::Close() {
  delete ReaderOf(dir_);
  dir_ = nullptr;
  exact_ = false;
}

bool DirSearch::Open(std::string_view pattern, FindData* first) {
  Close();
  skipped_ = 0;
  skippedList_.clear();
  linkedFolders_.clear();
  linkedCount_ = 0;
  const std::string plain = StripLongPathPrefix(pattern);
  const size_t sep = plain.find_last_of("\\/");
  if (sep == std::string::npos) return Fail(kErrPathNotFound);
  mask_ = plain.substr(sep + 1);
  if (mask_.empty()) return Fail(kErrFileNotFound);
  if (!detail::Resolve(std::string_view(plain).substr(0, sep + 1), &folderNative_)) return false;
  if (fault::Hit()) return false;

  if (mask_.find_first_of("*?") == std::string::npos) {
    // One name: the entry itself, links followed.
    const std::string native = (folderNative_ == "/" ? "" : folderNative_) + "/" + mask_;
    struct stat st;
    if (stat(native.c_str(), &st) != 0) {
      const int err = errno;
      return Fail(err == ENOENT ? detail::ErrorFor(err, native) : ErrnoToWinError(err));
    }
    detail::FillFindData(st, mask_, first);
    exact_ = true;
    return true;
  }

  const int fd = open(folderNative_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    return Fail(err == ENOENT || err == ENOTDIR ? kErrPathNotFound : ErrnoToWinError(err));
  }
  dir_ = new FolderReader(fd);
  if (Next(first)) return true;
  const uint32_t code = GetLastError();
  Close();
  return Fail(code == kErrNoMoreFiles ? kErrFileNotFound : code);
}

bool DirSearch::OpenChild(const DirSearch& parent, std::string_view name, FindData* first) {
  if (&parent == this || !parent.dir_ || name.empty() || name == "." || name == ".." ||
      name.find('/') != std::string_view::npos) {
    return Fail(kErrPathNotFound);
  }
  const std::string own(name);
  std::string folder = parent.folderNative_ == "/" ? std::string() : parent.folderNative_;
  folder += '/';
  folder += own;
  const int parentFd = ReaderOf(parent.dir_)->fd;
  Close();
  skipped_ = 0;
  skippedList_.clear();
  linkedFolders_.clear();
  linkedCount_ = 0;
  if (fault::Hit()) return false;
  const int fd = openat(parentFd, own.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    return Fail(err == ENOENT || err == ENOTDIR || err == ELOOP ? kErrPathNotFound
                                                                : ErrnoToWinError(err));
  }
  dir_ = new FolderReader(fd);
  mask_.assign(1, '*');
  folderNative_ = std::move(folder);
  if (Next(first)) return true;
  const uint32_t code = GetLastError();
  Close();
  return Fail(code == kErrNoMoreFiles ? kErrFileNotFound : code);
}

bool DirSearch::Next(FindData* out) {
  if (!dir_) return Fail(kErrNoMoreFiles);
  FolderReader* dir = ReaderOf(dir_);
  const int dfd = dir->fd;
  for (;;) {
    if (fault::Hit()) return false;
    errno = 0;
    const dirent64* e = dir->Next();
    if (!e) return Fail(errno ? ErrnoToWinError(errno) : kErrNoMoreFiles);
    const std::string_view name(e->d_name);
    if (name.find('\\') != std::string_view::npos || !IsValidUtf8(name)) {
      ++skipped_;
      if (skippedList_.size() < kMaxSkippedKept) skippedList_.emplace_back(name);
      continue;
    }
    if (!MatchFileMask(name, mask_)) continue;
    struct stat st;
    const bool maybeLink = e->d_type == DT_LNK || e->d_type == DT_UNKNOWN;
    bool link = false;
    if (maybeLink) {
      if (fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone
      link = S_ISLNK(st.st_mode);
      if (link) {
        // A link counts as what it points at; links to folders could loop.
        if (fstatat(dfd, e->d_name, &st, 0) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
          ++linkedCount_;
          if (linkedFolders_.size() < kMaxLinkedKept) linkedFolders_.emplace_back(name);
          continue;
        }
      }
    } else if (fstatat(dfd, e->d_name, &st, 0) != 0) {
      continue;  // removed since it was listed
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) continue;
    detail::FillFindData(st, name, out);
    // Callers that must never act through a link (the store's own clean-up)
    // can tell one from the file it points at.
    if (link) out->attributes = (out->attributes & ~kAttrNormal) | kAttrReparsePoint;
    return true;
  }
}

}  // namespace plat
