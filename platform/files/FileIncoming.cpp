// A file that arrives from elsewhere, written beside its target under a
// private temporary name and renamed into place once whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <mutex>
#include <set>
#include <string>

#include "platform/base/Errors.h"
#include "platform/base/FaultSeam.h"
#include "platform/files/FileSupport.h"
#include "platform/files/FilesBelow.h"
#include "platform/files/FilesConfine.h"

namespace plat {

namespace {

// The temporary names of the files arriving now, in whatever folder.
class ArrivingNames {
 public:
  static ArrivingNames& Instance() {
    static ArrivingNames names;
    return names;
  }
  void Add(const std::string& name) {
    std::lock_guard<std::mutex> guard(lock_);
    names_.insert(name);
  }
  void Remove(const std::string& name) {
    std::lock_guard<std::mutex> guard(lock_);
    names_.erase(name);
  }
  bool Holds(std::string_view name) {
    std::lock_guard<std::mutex> guard(lock_);
    return names_.count(std::string(name)) != 0;
  }

 private:
  std::mutex lock_;
  std::set<std::string> names_;  // guarded by lock_
};

}  // namespace

void detail::NoteArriving(const std::string& name, bool arriving) {
  if (arriving)
    ArrivingNames::Instance().Add(name);
  else
    ArrivingNames::Instance().Remove(name);
}

bool IsArrivingFile(std::string_view path) {
  const size_t slash = path.find_last_of("/\\");
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return !name.empty() && ArrivingNames::Instance().Holds(name);
}

IncomingFile::IncomingFile() : folder_(std::make_unique<detail::ParentFolder>()) {}

IncomingFile::~IncomingFile() { Abandon(); }

uint32_t IncomingFile::Begin(std::string_view target, std::string_view within, bool ownerOfFolder) {
  Abandon();
  ownerOfFolder_ = ownerOfFolder;
  targetMode_ = 0;
  targetFound_ = false;
  tempFolder_ = std::string(target.substr(0, target.find_last_of("\\/") + 1));
  std::string native, base;
  if (!detail::Resolve(target, &native) ||
      !detail::ResolveConfine(within, &base, /*lookAtVolume=*/false))
    return GetLastError();
  if (!folder_->Open(native, base)) return detail::VolumeGoneOr(base);
  struct stat old;
  const int found = folder_->Stat(&old);
  if (found == detail::ParentFolder::kLinkFound) return detail::FailCode(kErrStoppedOnLink);
  if (found == 0) {
    // A folder or a read-only file is never replaced.
    if (S_ISDIR(old.st_mode) || !(old.st_mode & S_IWUSR)) return detail::FailCode(kErrAccessDenied);
    targetMode_ = old.st_mode & 0777;
    targetFound_ = true;
  }
  if (fault::Hit()) return GetLastError();
  fd_ = detail::CreateTempIn(folder_->Fd(), &temp_);
  if (fd_ < 0) {
    temp_.clear();
    return detail::FailCode(detail::ErrorFor(errno, detail::NativeParent(native)));
  }
  return 0;  // arriving under that name already (CreateTempIn)
}

bool IncomingFile::Write(const void* data, size_t n) {
  if (fd_ < 0) return detail::Fail(kErrInvalidHandle);
  return detail::WriteAll(fd_, data, n);
}

uint32_t IncomingFile::Commit(uint32_t mode, int64_t writeTime) {
  if (fd_ < 0) return detail::FailCode(kErrInvalidHandle);
  uint32_t error = 0;
  struct stat into;
  // The owner first: a new owner would clear bits set before it.
  if (ownerOfFolder_ &&
      (fstat(folder_->Fd(), &into) != 0 || fchown(fd_, into.st_uid, into.st_gid) != 0))
    error = ErrnoToWinError(errno);
  // What arrives never gives others or the group write, nor more than the
  // umask lets a new file have, nor set-id or sticky bits, whatever it says;
  // nor more than the file it replaces had: nobody reads it who could not.
  const int mask = detail::ProcessUmask();
  const uint32_t replaced = targetFound_ ? targetMode_ : 0777u;
  const mode_t given =
      static_cast<mode_t>(mode & 0755 & replaced & ~static_cast<uint32_t>(mask < 0 ? 022 : mask));
  if (error == 0 && fchmod(fd_, given) != 0) error = ErrnoToWinError(errno);
  if (error == 0 && writeTime >= 0) {
    const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(writeTime), 0}};
    if (futimens(fd_, times) != 0) error = ErrnoToWinError(errno);
  }
  // Renamed while still open and locked: a sweep of leftovers never takes it.
  if (error == 0 &&
      renameat(folder_->Fd(), temp_.c_str(), folder_->Fd(), folder_->Name().c_str()) != 0)
    error = errno == EISDIR ? kErrAccessDenied : ErrnoToWinError(errno);
  if (error == 0) {
    ArrivingNames::Instance().Remove(temp_);
    temp_.clear();
    if (close(fd_) != 0) error = ErrnoToWinError(errno);
    fd_ = -1;
  }
  if (error != 0) {
    Abandon();
    return detail::FailCode(error);
  }
  return 0;
}

bool IncomingFile::Temporary(std::string* path, FileId* id) const {
  struct stat st;
  if (fd_ < 0 || temp_.empty() || fstat(fd_, &st) != 0) return false;
  *path = tempFolder_ + temp_;
  *id = FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return true;
}

void IncomingFile::Abandon() {
  if (!temp_.empty()) ArrivingNames::Instance().Remove(temp_);
  if (fd_ >= 0 || !temp_.empty()) detail::Discard(fd_, folder_->Fd(), temp_);
  fd_ = -1;
  temp_.clear();
}

}  // namespace plat
