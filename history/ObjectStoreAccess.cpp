#include "history/ObjectStoreAccess.h"

#include <algorithm>
#include <vector>

#include "destinations/ObjectDevice.h"
#include "destinations/ObjectSession.h"
#include "history/RestoreLeftovers.h"
#include "platform/base/Errors.h"
#include "platform/files/Files.h"
#include "platform/files/FilesBelow.h"
#include "platform/files/FolderAccess.h"

namespace {

constexpr uint64_t kObjectSpeedGuess = 1048576;  // bytes per second before the first file

// The key of a store path ("/prefix/Latest/..." -> "prefix/Latest/...").
std::string KeyOf(std::string_view path) {
  return std::string(!path.empty() && path.front() == '/' ? path.substr(1) : path);
}

// The error number of a failed download (as the FTP download's: 2 not there,
// 5 refused, 64 cut short, 1460 no answer in time, 59 otherwise).
uint32_t DownloadError(const ObjectReply& reply) {
  if (reply.status == 0) return reply.transport == 28 ? 1460 : 64;
  if (reply.status == 404) return 2;
  if (reply.status == 403) return 5;
  return 59;
}

class ObjectStoreAccess final : public StoreAccess {
 public:
  explicit ObjectStoreAccess(const ObjectStoreSettings& settings) : settings_(settings) {
    session_.SetOptions(settings);
  }
  bool Reach(std::string* failure) override {
    if (session_.Probe().Ok()) return true;
    *failure = RestoreFailureText("MSG_CANNOT_REACH_OBJECT_STORE", ReadableObjectStore(settings_));
    return false;
  }
  bool FolderTime(std::string_view, int64_t*) override { return false; }
  bool List(std::string_view folder,
            const std::function<bool(const plat::FindData&)>& each) override {
    std::string prefix = KeyOf(folder);
    if (!prefix.empty() && prefix.back() != '/') prefix.push_back('/');
    std::vector<ObjectEntry> entries;
    if (!session_.List(prefix, &entries).Ok()) return false;
    plat::FindData data;
    for (const ObjectEntry& e : entries) {
      data.name = e.name;
      data.attributes = e.folder ? static_cast<uint32_t>(plat::kAttrDirectory) : 0u;
      data.size = e.size;
      data.writeTime = e.time;
      if (!each(data)) break;
    }
    return true;
  }
  bool Info(std::string_view path, plat::FindData* info) override {
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return false;
    const std::string_view name = path.substr(slash + 1);
    bool found = false;
    List(path.substr(0, slash + 1), [&](const plat::FindData& entry) {
      found = entry.name == name && (entry.attributes & plat::kAttrDirectory) == 0;
      if (found) *info = entry;
      return !found;
    });
    return found;
  }
  uint32_t Fetch(std::string_view source, std::string_view target,
                 std::string_view targetWithin) override {
    plat::IncomingFile file;
    failedHere_ = true;
    uint32_t error = file.Begin(target, targetWithin, plat::RunsAsAdministrator());
    if (error != 0) return error;
    RestoreLeftoverNote note;  // swept at the next start if the process ends meanwhile
    note.Note(file);
    uint64_t written = 0;
    const ObjectReply reply = session_.Get(KeyOf(source), [&](const char* data, size_t n) {
      if (plat::ThreadCancelRequested()) {  // the restore was stopped: the file is left out
        error = plat::kErrCancelled;
        return false;
      }
      if (file.Write(data, n)) {
        if (Received()) Received()(written += n);
        return true;
      }
      error = std::max<uint32_t>(plat::GetLastError(), 1);
      return false;
    });
    if (error != 0) return error;
    failedHere_ = false;
    if (!reply.Ok()) return DownloadError(reply);
    // Told once more when whole: a hold then keeps it out of place too.
    if (Received()) Received()(written);
    if (plat::ThreadCancelRequested()) return plat::kErrCancelled;
    failedHere_ = true;
    // The copy's metadata holds the source's mode and last write; an object
    // written without them gives the mode of the file replaced, else
    // private, and the time it was written.
    const uint32_t mode = reply.kept.mode >= 0     ? static_cast<uint32_t>(reply.kept.mode) & 0777u
                          : file.TargetMode() != 0 ? file.TargetMode()
                                                   : 0600u;
    return file.Commit(mode, reply.kept.time >= 0 ? reply.kept.time : reply.modified);
  }
  uint64_t InitialSpeed() const override { return kObjectSpeedGuess; }
  bool FetchFailureFailsRestore() const override { return true; }
  const char* FetchFailureKey() const override {
    return "MSG_CANNOT_DOWNLOAD_FILE_FROM_OBJECT_STORE";
  }
  bool FetchFailedHere() const override { return failedHere_; }

 private:
  const ObjectStoreSettings settings_;
  ObjectSession session_;    // one request at a time: the restore's jobs take turns
  bool failedHere_ = false;  // the last failed Fetch failed at the local file
};

}  // namespace

std::unique_ptr<StoreAccess> MakeObjectStoreAccess(const ObjectStoreSettings& settings) {
  return std::make_unique<ObjectStoreAccess>(settings);
}
