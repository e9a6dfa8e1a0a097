// Opening a file to read it without following a link below a folder: what a
// backup reads is the file its folder holds, never what a link points at.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/base/FaultSeam.h"
#include "platform/files/FileSupport.h"
#include "platform/files/FilesBelow.h"
#include "platform/files/FilesConfine.h"
#include "platform/volumes/Volumes.h"

namespace plat {

namespace {

thread_local const SourceFile* tReadFrom = nullptr;  // the calling thread's copies read it

// The folder below which nothing of native is followed: within when native
// lies below it, else the root of native's volume ("/" outside every volume).
std::string LimitFor(const std::string& native, std::string_view within) {
  std::string base;
  std::vector<std::string> parts;
  if (!within.empty() && detail::Resolve(within, &base) &&
      detail::ComponentsBelow(native, base, &parts) && !parts.empty())
    return base;
  VolumeInfo volume;
  std::string root = "/";
  if (VolumeTable::Instance().FindByNativePath(native, &volume) && !volume.root.empty())
    root = volume.root;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

}  // namespace

SourceFile::~SourceFile() { Close(); }

void SourceFile::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  native_.clear();
}

bool SourceFile::Open(std::string_view path, std::string_view within) {
  Close();
  std::string native;
  if (!detail::Resolve(path, &native)) return false;
  if (fault::Hit()) return false;
  const int fd = detail::OpenRegularForRead(native, LimitFor(native, within), &status_);
  if (fd < 0) return false;
  // Opened without blocking (a fifo swapped in must not hang the open). A
  // disk's file system ignores that for reads; one without a device of its
  // own (network, FUSE) may not, so there it is cleared as File::Open does.
  if (major(status_.st_dev) == 0) fcntl(fd, F_SETFL, 0);
  fd_ = fd;
  native_ = std::move(native);
  return true;
}

CopiesReadFrom::CopiesReadFrom(const SourceFile& file) : previous_(tReadFrom) { tReadFrom = &file; }

CopiesReadFrom::~CopiesReadFrom() { tReadFrom = previous_; }

namespace detail {

int ReadFromFor(const std::string& native, struct stat* opened) {
  if (tReadFrom == nullptr || !tReadFrom->IsOpen() || tReadFrom->NativePath() != native) return -1;
  if (opened != nullptr) *opened = tReadFrom->Status();
  return tReadFrom->Descriptor();
}

}  // namespace detail

}  // namespace plat
