#include "history/FtpStoreReader.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "destinations/FtpDevice.h"
#include "history/RestoreLeftovers.h"
#include "platform/base/Errors.h"
#include "platform/files/Files.h"
#include "platform/files/FilesBelow.h"
#include "platform/files/FolderAccess.h"

namespace {

constexpr long kRequestWaitMs = 30000;
constexpr long kDownloadWaitMs = 24L * 3600 * 1000;  // a transfer that stalls ends earlier

}  // namespace

FtpStoreReader::FtpStoreReader(const FtpSettings& settings, std::string folder)
    : settings_(settings), folder_(std::move(folder)) {
  // The plan's own options, the pinned server key among them.
  session_.SetOptions(FtpSessionOptionsOf(settings_));
}

bool FtpStoreReader::Reach(const char** key, std::string* argument) {
  *argument = settings_.server;
  if (settings_.server.empty() || !session_.Open()) {
    *key = "MSG_FTP_IS_UNAVAILABLE";
    return false;
  }
  const long wait = std::clamp(settings_.timeout, 3, 120) * 1000L;
  if (session_.Login(wait) != FtpSession::kDone) {
    // A key or an encryption refused is said as such: checking the user
    // name or password would not help.
    switch (session_.TlsFault()) {
      case FtpTlsFault::kKeyChanged:
        *key = "MSG_SERVER_KEY_CHANGED";
        break;
      case FtpTlsFault::kUntrusted:
        *key = "MSG_SERVER_KEY_UNTRUSTED";
        break;
      case FtpTlsFault::kNotOffered:
        *key = "MSG_SERVER_NOT_ENCRYPTED";
        break;
      default:
        *key = "MSG_CANNOT_CONNECT_TO_FTP_SERVER";
    }
    return false;
  }
  if (session_.CheckFolder(folder_, wait) != FtpSession::kDone) {
    *key = "MSG_CANNOT_SET_CURRENT_DIR_OF_FTP_SERVER";
    *argument = folder_;
    return false;
  }
  return true;
}

bool FtpStoreReader::List(std::string_view folder,
                          const std::function<bool(const plat::FindData&)>& each) {
  std::vector<FtpEntry> entries;
  if (session_.List(folder, kRequestWaitMs, &entries) != FtpSession::kDone) return false;
  plat::FindData data;
  for (FtpEntry& entry : entries) {
    data.name = std::move(entry.name);
    data.attributes = entry.folder ? plat::kAttrDirectory : plat::kAttrNormal;
    data.size = entry.folder ? 0 : entry.size;
    data.writeTime = entry.writeTime;
    if (!each(data)) break;
  }
  return true;
}

bool FtpStoreReader::ListNames(std::string_view folder,
                               const std::function<bool(const plat::FindData&)>& each) {
  std::vector<std::string> names;
  if (session_.ListNames(folder, kRequestWaitMs, &names) != FtpSession::kDone) return false;
  plat::FindData data;
  for (std::string& name : names) {
    data.name = std::move(name);
    if (!each(data)) break;
  }
  return true;
}

bool FtpStoreReader::Info(std::string_view path, plat::FindData* info) {
  uint64_t size = 0;
  int64_t time = 0;
  if (session_.Stat(path, kRequestWaitMs, &size, &time) != FtpSession::kDone) return false;
  const size_t slash = path.rfind('/');
  info->name = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
  info->attributes = plat::kAttrNormal;
  info->size = size;
  info->writeTime = time;
  return true;
}

int32_t FtpStoreReader::ListedMode(std::string_view source, int64_t* time) {
  // The files of one folder are fetched one after another: one listing each.
  const size_t slash = source.rfind('/');
  if (slash == std::string_view::npos) return -1;
  const std::string_view folder = source.substr(0, slash + 1);
  if (folder != modesFolder_) {
    modesFolder_ = std::string(folder);
    modes_.clear();
    std::vector<FtpEntry> entries;
    if (session_.List(folder, kRequestWaitMs, &entries) == FtpSession::kDone) {
      for (FtpEntry& e : entries)
        if (!e.folder) modes_[std::move(e.name)] = {e.mode, e.writeTime};
    }
  }
  const auto it = modes_.find(std::string(source.substr(slash + 1)));
  if (it == modes_.end()) return -1;
  if (it->second.second > 0) *time = it->second.second;
  return it->second.first;
}

uint32_t FtpStoreReader::Fetch(std::string_view source, std::string_view target,
                               std::string_view targetWithin,
                               const std::function<void(uint64_t)>& received) {
  // Written beside the target under a private temporary name and renamed
  // into place once whole; no link below targetWithin is followed.
  plat::IncomingFile file;
  RestoreLeftoverNote note;  // swept at the next start if the process ends meanwhile
  uint32_t error = 0;
  int64_t time = -1;
  failedHere_ = true;
  uint64_t written = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    error = file.Begin(target, targetWithin, plat::RunsAsAdministrator());
    if (error != 0) return error;
    note.Note(file);
    failedHere_ = false;
    written = 0;
    const FtpSession::Outcome outcome = session_.Download(
        source,
        [this, &file, &written, &received](const char* data, size_t n) {
          if (file.Write(data, n)) {
            if (received) received(written += n);
            return 0u;
          }
          failedHere_ = true;
          return std::max<uint32_t>(plat::GetLastError(), 1);
        },
        kDownloadWaitMs, &error, &time);
    // A dropped connection is made again once.
    if (outcome != FtpSession::kLost || error == plat::kErrCancelled) break;
  }
  if (error != 0) return error;
  // Told once more when whole: a hold then keeps it out of place too, and a
  // stop meanwhile leaves it out.
  if (received) received(written);
  if (plat::ThreadCancelRequested()) return plat::kErrCancelled;
  int64_t listedTime = -1;
  int32_t mode = ListedMode(source, &listedTime);
  // A server that does not say: the mode of the file replaced, else private.
  // One that does may have changed its copy's mode since the backup (any
  // user of the server can): run bits come back only where the file
  // replaced had them too, so a listing never makes a file a program.
  const int32_t kept = static_cast<int32_t>(file.TargetMode());
  mode = mode < 0 ? (kept != 0 ? kept : 0600) : (mode & ~0111) | (mode & kept & 0111);
  error = file.Commit(static_cast<uint32_t>(mode), time >= 0 ? time : listedTime);
  failedHere_ = error != 0;
  return error;
}
