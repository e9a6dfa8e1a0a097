#include "history/StoreAccess.h"

#include <utility>

#include "common/Texts.h"
#include "destinations/Destination.h"
#include "destinations/FtpDevice.h"
#include "history/FtpStoreReader.h"
#include "history/ObjectStoreAccess.h"
#include "history/RestoreJobs.h"
#include "platform/base/Errors.h"
#include "platform/files/FilesBelow.h"
#include "platform/files/FolderAccess.h"
#include "platform/files/FolderEntries.h"
#include "platform/volumes/Paths.h"

namespace {

constexpr uint64_t kLocalSpeedGuess = 2097152;  // bytes per second before the first file
constexpr uint64_t kFtpSpeedGuess = 20480;

class LocalStoreAccess final : public StoreAccess {
 public:
  explicit LocalStoreAccess(std::string folder) : folder_(std::move(folder)) {}
  bool Reach(std::string*) override { return true; }
  bool FolderTime(std::string_view folder, int64_t* time) override {
    plat::FindData info;
    if (!plat::GetFileInfo(folder, &info) || (info.attributes & plat::kAttrDirectory) == 0)
      return false;
    *time = info.writeTime;
    return true;
  }
  bool List(std::string_view folder,
            const std::function<bool(const plat::FindData&)>& each) override {
    plat::DirSearch search;
    plat::FindData entry;
    if (!search.Open(plat::PathAppend(folder, "*.*"), &entry)) {
      // An empty folder reports "nothing matches"; only a missing or
      // unreadable folder is an error.
      return plat::IsDirectory(folder);
    }
    do {
      if (entry.name == "." || entry.name == "..") continue;
      if (!each(entry)) break;
    } while (search.Next(&entry));
    return true;
  }
  bool ListSized(std::string_view folder,
                 const std::function<bool(const plat::FindData&)>& each) override {
    return ListEntries(folder, /*sizes=*/true, each);
  }
  bool ListNames(std::string_view folder, const std::function<bool(const plat::FindData&)>& each,
                 bool* brief) override {
    *brief = true;
    return ListEntries(folder, /*sizes=*/false, each);
  }
  bool Info(std::string_view path, plat::FindData* info) override {
    return plat::GetFileInfo(path, info) && (info->attributes & plat::kAttrDirectory) == 0;
  }
  // A link inside the store is never read through: it could hand out any
  // file of the machine as if it had been backed up.
  uint32_t Fetch(std::string_view source, std::string_view target,
                 std::string_view targetWithin) override {
    return plat::CopyFileWithin(source, folder_, target, targetWithin, /*failIfExists=*/false,
                                /*flushToDevice=*/false, plat::RunsAsAdministrator());
  }
  uint64_t InitialSpeed() const override { return kLocalSpeedGuess; }
  bool FetchFailureFailsRestore() const override { return false; }
  const char* FetchFailureKey() const override { return "MSG_CANNOT_COPY_FILE"; }

 private:
  static bool ListEntries(std::string_view folder, bool sizes,
                          const std::function<bool(const plat::FindData&)>& each) {
    plat::FindData data;
    return plat::ListFolderEntries(folder, sizes, [&](const plat::FolderEntry& entry) {
      data.name.assign(entry.name);
      data.attributes = entry.folder ? static_cast<uint32_t>(plat::kAttrDirectory) : 0u;
      data.size = entry.size;
      data.writeTime = entry.writeTime;
      return each(data);
    });
  }

  std::string folder_;  // the store folder
};

// An FTP store, read through its own connection (FtpStoreReader.h).
class FtpStoreAccess final : public StoreAccess {
 public:
  FtpStoreAccess(const FtpSettings& ftp, std::string folder)
      : reader_(ftp, std::move(folder)), sftp_(IsSftpServer(ftp.server)) {}
  bool Reach(std::string* failure) override {
    const char* key = nullptr;
    std::string argument;
    if (reader_.Reach(&key, &argument)) return true;
    *failure = RestoreFailureText(key, argument);
    return false;
  }
  bool FolderTime(std::string_view, int64_t*) override { return false; }
  bool List(std::string_view folder,
            const std::function<bool(const plat::FindData&)>& each) override {
    return reader_.List(folder, each);
  }
  // A server's name listing looks at no entry (a machine listing looks at
  // each); an SFTP server looks at each either way.
  bool ListRevisions(std::string_view folder,
                     const std::function<bool(const plat::FindData&)>& each, bool* bare) override {
    *bare = !sftp_;
    return sftp_ ? reader_.List(folder, each) : reader_.ListNames(folder, each);
  }
  bool Info(std::string_view path, plat::FindData* info) override {
    return reader_.Info(path, info);
  }
  bool ExactTimes() const override { return !sftp_; }
  uint32_t Fetch(std::string_view source, std::string_view target,
                 std::string_view targetWithin) override {
    return reader_.Fetch(source, target, targetWithin, Received());
  }
  uint64_t InitialSpeed() const override { return kFtpSpeedGuess; }
  bool FetchFailureFailsRestore() const override { return true; }
  const char* FetchFailureKey() const override { return "MSG_CANNOT_DOWNLOAD_FILE_FROM_FTP"; }
  bool FetchFailedHere() const override { return reader_.FailedHere(); }

 private:
  FtpStoreReader reader_;
  const bool sftp_;
};

}  // namespace

std::unique_ptr<StoreAccess> MakeStoreAccess(const RestoreStore& store) {
  if (store.storageType == kStorageFtp)
    return std::make_unique<FtpStoreAccess>(store.ftp, store.folder);
  if (store.storageType == kStorageObject) return MakeObjectStoreAccess(store.objectStore);
  return std::make_unique<LocalStoreAccess>(store.folder);
}

std::string RestoreFailureText(const char* key, std::string_view argument) {
  std::string text = GetText("DIALOG_RESTORE", key);
  if (text.empty()) text = key;
  if (!argument.empty()) {
    text += ' ';
    text += argument;
  }
  return text;
}

std::string RestoreReasonText(uint32_t error) {
  std::string text = GetText("DIALOG_RESTORE", "REASON_" + std::to_string(error));
  return text.empty() ? plat::WinErrorMessage(error) : text;
}
