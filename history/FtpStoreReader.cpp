#include "history/FtpStoreReader.h"

#include <algorithm>
#include <atomic>
#include <random>
#include <utility>
#include <vector>

#include "destinations/FtpDevice.h"
#include "platform/Errors.h"
#include "platform/FilesBelow.h"
#include "platform/FolderAccess.h"
#include "platform/Folders.h"

namespace {

constexpr long kRequestWaitMs = 30000;
constexpr long kDownloadWaitMs = 24L * 3600 * 1000;  // a transfer that stalls ends earlier
constexpr uint32_t kFetchFailed = 104;
std::atomic<uint64_t> gDownloads{0};  // numbers the temporary files of downloads

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
    *key = "MSG_CANNOT_CONNECT_TO_FTP_SERVER";
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
  for (const FtpEntry& entry : entries) {
    plat::FindData data;
    data.name = entry.name;
    data.attributes = entry.folder ? plat::kAttrDirectory : plat::kAttrNormal;
    data.size = entry.folder ? 0 : entry.size;
    data.writeTime = entry.writeTime;
    if (!each(data)) break;
  }
  return true;
}

uint32_t FtpStoreReader::Fetch(std::string_view source, std::string_view target,
                               std::string_view targetWithin) {
  // Downloaded to the temporary folder first, then copied into place by the
  // platform, which never writes through a link below the chosen folder.
  const std::string temp = plat::GetShellFolder(plat::ShellFolder::kTemp);
  if (temp.empty()) return kFetchFailed;
  const std::string local = temp + "\\brevanto-restore-" + std::to_string(std::random_device{}()) +
                            "-" + std::to_string(++gDownloads);
  if (session_.Download(source, local, kDownloadWaitMs) != FtpSession::kDone) return kFetchFailed;
  const uint32_t error =
      plat::CopyFileWithin(local, "", target, targetWithin, /*failIfExists=*/false,
                           /*flushToDevice=*/false, plat::RunsAsAdministrator());
  plat::DeleteFile(local);
  return error;
}
