// The FTP store's marker: the store's identity read from the server, the
// marker placed there, and the identity kept with the plan's settings.
#include "destinations/FtpDevice.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "destinations/StoreMarker.h"
#include "platform/base/Errors.h"
#include "platform/files/Files.h"
#include "platform/process/Clock.h"
#include "platform/profile/Folders.h"
#include "platform/profile/Profile.h"

namespace {

constexpr uint32_t kMarkerPauseMs = 500;

constexpr uint64_t kMaxMarkerBytes = 4096;

// A server that would not keep the marker private is asked again this long
// after it was last asked (or at the next connection).
constexpr uint64_t kModesAskPauseMs = 10 * 60 * 1000;

}  // namespace

std::string CFTPDevice::StoreId() const {
  std::lock_guard<std::mutex> guard(settingsLock_);
  return storeId_;
}

std::string CFTPDevice::ServerStoreId(const std::string& root) {
  std::string text, id;
  uint32_t error = 0;
  int64_t written = 0;
  auto take = [&](const char* data, size_t n) -> uint32_t {
    if (text.size() + n > kMaxMarkerBytes) return plat::kErrFileTooLarge;
    text.append(data, n);
    return 0;
  };
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  const FtpSession::Outcome outcome = WithReconnect([&] {
    text.clear();
    return session_.Download(root + kStoreMarkerName, take, RequestWaitMs(4), &error, &written);
  });
  if (outcome != FtpSession::kDone || !ParseStoreMarker(text, &id)) return {};
  return id;
}

bool CFTPDevice::MarkerRetryDue() const { return markerRetry_.Due(); }

bool CFTPDevice::ModesAskDue() const {
  return plat::GetTickCount64() - modesAskedMs_ >= kModesAskPauseMs;
}

bool CFTPDevice::PlaceMarker() {
  if (!IsAvailable()) return false;
  const bool placed = PlaceMarkerOnce();
  if (placed)
    markerRetry_.Reset();
  else
    markerRetry_.Failed();
  return placed;
}

bool CFTPDevice::PlaceMarkerOnce() {
  if (!plat::EnsureDataFolder()) return false;
  placingMarker_ = true;
  markerDue_ = false;
  struct Placed {
    std::atomic<bool>& placing;
    ~Placed() { placing = false; }
  } marking{placingMarker_};
  auto placeIn = [&](const std::string& root) {
    // The store the server's marker names stays (plans sharing the folder
    // agree on it); else the one this device filled before, or a new one.
    std::string id = ServerStoreId(root);
    const bool renewed = id.empty() && !StoreId().empty();
    if (id.empty()) id = StoreId();
    if (id.empty()) id = NewStoreId();
    // The file the marker is uploaded from: written anew in the user's own
    // data folder (never in a shared one), never through a link put under its
    // name, readable by the user only (the copy takes its mode, so no one else
    // on the server learns the store's name), and removed afterwards.
    // A nonce new at each connection tells this marker from any copy of an
    // older one (where the store lies on this machine, see FindLocalStore).
    const std::string nonce = NewStoreId();
    const std::string local = plat::GetDataFolder() + ".marker-" + NewStoreId() + ".tmp";
    if (!plat::WriteFileAtomic(local, StoreMarkerText(id, nonce), /*privateMode=*/true))
      return false;
    const std::string remote = root + kStoreMarkerName;
    CreateFolders(remote);
    plat::SleepMs(kMarkerPauseMs);
    uint32_t error = kDestFailed;
    {
      // Sent even to a server that will not keep it private: that refusal is
      // told by MarkerKeptPrivate.
      std::lock_guard<std::recursive_mutex> guard(sessionLock_);
      session_.SetHoldsPrivateFiles(false);
      error = CopyFile(local, remote);
      session_.SetHoldsPrivateFiles(true);
    }
    const bool written = error == kDestOk;
    const bool placed = written || FileExists(remote);
    plat::DeleteFile(local);
    markerError_ = placed ? 0 : error;
    if (placed) TakeStoreId(id);
    if (placed && renewed) storeRenewed_ = true;
    if (written) {
      NoteMarkerWritten(remote, nonce);
      // The marker's own copy may have shown it already.
      modesAskedMs_ = plat::GetTickCount64();
      modesKept_ = !session_.ModesRefused() && MarkerKeptPrivate(remote);
    }
    return placed;
  };
  const FtpSettings s = GetFtpSettings();
  if (placeIn(s.root)) return true;
  // A server that logs the user into a home folder: try the root below it.
  if (s.root.compare(1, s.user.size(), s.user) == 0) return false;
  const std::string home = "/" + s.user + s.root;
  if (!placeIn(home)) return false;
  std::lock_guard<std::mutex> guard(settingsLock_);
  settings_.root = home;
  return true;
}

bool CFTPDevice::MarkerKeptPrivate(const std::string& remote) {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  std::string line;
  const bool sftp = IsSftpServer(GetFtpSettings().server);
  const bool made = sftp ? session_.CommandOf("chmod", {"600", remote}, &line)
                         : session_.CommandOf("SITE CHMOD 600", {remote}, &line);
  if (!made) return true;
  modesAskedMs_ = plat::GetTickCount64();
  bool refused = false;
  const FtpSession::Outcome outcome = WithReconnect([&] {
    return sftp ? session_.Commands({line}, RequestWaitMs(1))
                : session_.Ask(line, RequestWaitMs(1), &refused);
  });
  if (outcome == FtpSession::kRefused || refused) return false;
  // A server that says yes and does nothing shows it in its listing.
  const size_t slash = remote.find_last_of('/');
  std::vector<FtpEntry> entries;
  if (session_.ListWithModes(remote.substr(0, slash + 1), RequestWaitMs(1), &entries) !=
      FtpSession::kDone)
    return true;
  return std::none_of(entries.begin(), entries.end(), [&](const FtpEntry& e) {
    return !e.folder && e.name == remote.substr(slash + 1) && e.mode >= 0 && (e.mode & 077) != 0;
  });
}

void CFTPDevice::TakeStoreId(const std::string& id) {
  // Noted first: the walks know the store's marker before anything is
  // copied into it.
  NoteServerStore(id);
  {
    std::lock_guard<std::mutex> guard(settingsLock_);
    if (storeId_ == id) return;
    storeId_ = id;
  }
  // Kept with the plan's settings, so that the next start knows the store
  // before it reaches the server.
  const std::string ini = DevicesIniPath();
  if (!ini.empty() && plat::FileExists(ini))
    plat::WriteProfileString(ini, kFtpDeviceSection, "StoreId", id.c_str());
}
