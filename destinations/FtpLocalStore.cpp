// Where a server store lies when its server is this very machine: the
// folders its settings point to, and the folder its marker is found in,
// pinned so that only there does a marker the server wrote count.
#include <algorithm>

#include "destinations/FtpDevice.h"
#include "destinations/StoreMarker.h"
#include "platform/process/ThisMachine.h"
#include "platform/volumes/Paths.h"

namespace {

// The most folders looked at for the store's marker around the sources.
constexpr size_t kMostFoldersLooked = 50000;

bool ServerIsThisMachine(const FtpSettings& settings) {
  FtpSettings s = settings;
  NormaliseFtpSettings(&s);
  const bool sftp = IsSftpServer(s.server);
  return plat::IsThisMachine(sftp ? s.server.substr(std::size(kSftpScheme) - 1) : s.server);
}

}  // namespace

std::vector<std::string> LocalFoldersOfServerStore(const FtpSettings& settings) {
  FtpSettings s = settings;
  NormaliseFtpSettings(&s);
  const bool sftp = IsSftpServer(s.server);
  std::string host = sftp ? s.server.substr(std::size(kSftpScheme) - 1) : s.server;
  if (!plat::IsThisMachine(host)) return {};
  std::vector<std::string> out;
  auto add = [&](std::string native) {
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    std::string sys;
    if (!plat::ToSystemPath(native, &sys)) return;
    if (std::find(out.begin(), out.end(), sys) == out.end()) out.push_back(sys);
  };
  const bool underHome = sftp && s.root.rfind("/~/", 0) == 0;
  if (!underHome) add(s.root);
  std::string home;
  std::string homeNative;
  if ((underHome || !sftp) && plat::HomeFolderOfUser(s.user, &home) &&
      plat::ToNativePath(home, &homeNative)) {
    add(homeNative + (underHome ? s.root.substr(2) : s.root));
  }
  return out;
}

std::vector<std::string> CFTPDevice::LocalStoreFolders() const {
  std::lock_guard<std::mutex> guard(settingsLock_);
  const std::string key = settings_.server + '\n' + settings_.user + '\n' + settings_.root;
  if (key != localFoldersOf_) {
    // The trees the copies go to: a root as wide as a drive keeps the
    // user's own files there in the backup.
    localFolders_.clear();
    for (const std::string& root : LocalFoldersOfServerStore(settings_))
      for (const char* tree : {"Latest", "Revision"})
        localFolders_.push_back(plat::WithSeparator(root) + tree);
    localFoldersOf_ = key;
  }
  return localFolders_;
}

void CFTPDevice::NoteMarkerWritten(const std::string& remote, const std::string& nonce) {
  if (!ServerIsThisMachine(GetFtpSettings())) return;
  // The identity the server gives of the file it wrote (device and inode)
  // tells the marker where this user may not read it, or where any user may.
  ServerMarker marker;
  {
    std::string facts;
    std::lock_guard<std::recursive_mutex> guard(sessionLock_);
    // A server too slow to answer is asked again on a new connection; one
    // that still does not answer is said to be late, not to give no identity.
    const FtpSession::Outcome outcome =
        WithReconnect([&] { return session_.Facts(remote, RequestWaitMs(1), &facts); });
    if (outcome == FtpSession::kDone) marker.identified = IdentityOfFacts(facts, &marker.identity);
    if (outcome == FtpSession::kLost) markerError_ = LostError();
  }
  {
    std::lock_guard<std::mutex> guard(settingsLock_);
    markerNonce_ = nonce;
    markerIdentity_ = marker.identity;
    markerIdentified_ = marker.identified;
    marker.id = storeId_;
    marker.nonce = nonce;
  }
  NoteServerMarker(marker);
}

std::string CFTPDevice::FindLocalStore(const std::vector<std::string>& sources) {
  const FtpSettings s = GetFtpSettings();
  ServerMarker marker;
  std::string last;
  {
    std::lock_guard<std::mutex> guard(settingsLock_);
    marker = {storeId_, markerNonce_, markerIdentity_, markerIdentified_};
    last = localStore_;
    if (!marker.nonce.empty() && marker.nonce == localStoreNonce_) return last;
  }
  if (marker.id.empty() || !ServerIsThisMachine(s)) return {};
  if (marker.nonce.empty()) return last;  // no marker written yet: where it was
  // Where it was last (for any plan on the store), and where the settings
  // point, before the sources.
  std::vector<std::string> near = LocalFoldersOfServerStore(s);
  if (!last.empty()) near.insert(near.begin(), last);
  if (const std::string pinned = PinnedServerStoreFolder(marker.id); !pinned.empty())
    near.insert(near.begin(), pinned);
  std::string found;
  for (const std::string& folder : near) {
    if (found.empty()) found = FindServerStoreFolder({folder}, marker, 1);
  }
  if (found.empty()) found = FindServerStoreFolder(sources, marker, kMostFoldersLooked);
  std::lock_guard<std::mutex> guard(settingsLock_);
  localStore_ = found;
  localStoreNonce_ = marker.nonce;
  return found;
}

std::string CFTPDevice::PinLocalStore(const std::vector<std::string>& sources) {
  {
    std::lock_guard<std::mutex> guard(settingsLock_);
    pinSources_ = sources;
  }
  const std::string found = FindLocalStore(sources);
  const std::string id = StoreId();
  PinServerStore(id, found);
  bool identified = false;
  {
    std::lock_guard<std::mutex> guard(settingsLock_);
    identified = markerIdentified_;
  }
  // Nothing tells the store's marker from a copy of it: nothing is pinned,
  // so a store inside the plan's folders is backed up like any folder.
  // A marker not written (or not looked at in time) is said as such instead.
  storeUnproven_ =
      found.empty() && !identified && markerError_ == 0 && ServerIsThisMachine(GetFtpSettings());
  // The stores of this process's other plans on servers here lie out of this
  // plan's walks too, wherever their own plans' folders are. Each marker
  // written is looked for once (a store elsewhere would cost a search a run).
  if (!ServerIsThisMachine(GetFtpSettings())) return found;
  for (const ServerMarker& other : NotedServerMarkers()) {
    if (other.id == id || !PinnedServerStoreFolder(other.id).empty()) continue;
    {
      std::lock_guard<std::mutex> guard(settingsLock_);
      const std::string key = other.id + other.nonce;
      if (std::find(othersLooked_.begin(), othersLooked_.end(), key) != othersLooked_.end())
        continue;
      constexpr size_t kMostRemembered = 16;
      if (othersLooked_.size() >= kMostRemembered) othersLooked_.erase(othersLooked_.begin());
      othersLooked_.push_back(key);
    }
    const std::string there = FindServerStoreFolder(sources, other, kMostFoldersLooked);
    if (!there.empty()) PinServerStore(other.id, there);
  }
  return found;
}
