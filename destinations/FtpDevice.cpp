#include "destinations/FtpDevice.h"

#include <algorithm>
#include <climits>

#include "common/Settings.h"
#include "destinations/StoreMarker.h"
#include "platform/base/Errors.h"
#include "platform/base/Text.h"
#include "platform/files/Files.h"
#include "platform/process/ThisMachine.h"
#include "platform/profile/Folders.h"
#include "platform/volumes/Paths.h"

namespace {

// The reply wait when the settings give no time-out.
constexpr long kRequestWaitMs = 3000;
// Replies a login waits for at most: greeting, AUTH, USER, PASS, PBSZ, PROT,
// PWD, TYPE. A request may have to log in anew before its own commands.
constexpr long kLoginReplies = 8;
constexpr long kPrepareWaitMs = 200;
// An SSH login takes a key exchange and signatures on top of the round trips.
constexpr long kSshPrepareWaitMs = 2000;
constexpr long kMaxConnectWaitMs = 120000;
// How long an upload may go without the server taking in a byte: a throttled
// server takes its data in bursts and rests between them (for the upload's
// fixed three minutes; "InternalSettings.ini" [General] UploadStallTime,
// seconds).
constexpr int kUploadStallSeconds = 180;
constexpr size_t kMaxKnownFolders = 4096;
// A temporary file untouched this long is no upload in flight: a stalled
// transfer ends within the stall wait (three minutes).
constexpr int64_t kLeftoverAgeSeconds = 3600;

// The revision number of entry when it is exactly RevisionFileName(stem, ext,
// n) for some n > 0; 0 otherwise.
int64_t RevisionNumber(std::string_view entry, std::string_view stem, std::string_view ext) {
  for (size_t open = entry.find('('); open != std::string_view::npos;
       open = entry.find('(', open + 1)) {
    size_t close = open + 1;
    int64_t n = 0;
    while (close < entry.size() && entry[close] >= '0' && entry[close] <= '9' && n < INT64_MAX / 10)
      n = n * 10 + (entry[close++] - '0');
    if (close - open - 1 < 4 || close >= entry.size() || entry[close] != ')' || n <= 0) continue;
    if (RevisionFileName(stem, ext, n) == entry) return n;
  }
  return 0;
}

// A server path no command line can carry (a CR, LF or NUL in it): refused
// before any request, so the connection and the folders known stay.
bool Uncarried(std::string_view path) {
  return path.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace

CFTPDevice::CFTPDevice(IDestinationOwner* owner)
    : CDestination(owner),
      stallWaitMs_(
          1000L * std::max(1, ReadInternalInt("General", "UploadStallTime", kUploadStallSeconds))) {
}

CFTPDevice::~CFTPDevice() { Close(); }

std::string UserSshKeyFile() {
  const std::string home = plat::GetShellFolder(plat::ShellFolder::kProfile);
  if (home.empty()) return {};
  for (const char* name : {"id_ed25519", "id_ecdsa", "id_rsa"}) {
    const std::string key = home + "\\.ssh\\" + name;
    std::string native;
    if (plat::FileExists(key) && plat::ToNativePath(key, &native)) return native;
  }
  return {};
}

FtpSessionOptions FtpSessionOptionsOf(const FtpSettings& s) {
  FtpSessionOptions o;
  o.sftp = IsSftpServer(s.server);
  o.server = o.sftp ? s.server.substr(std::size(kSftpScheme) - 1) : s.server;
  if (o.sftp) o.keyFile = UserSshKeyFile();
  o.port = static_cast<uint16_t>(s.port & 0xFFFF);
  o.user = s.user;
  o.password = s.password;
  o.passive = s.passive > 0;
  o.proxy = s.proxy;
  o.proxyPort = static_cast<uint16_t>(s.proxyPort & 0xFFFF);
  const long seconds = s.timeout > 0 ? s.timeout : kRequestWaitMs / 1000;
  o.replyWaitMs = std::min(seconds * 1000, kMaxConnectWaitMs);
  o.pinnedKey = s.pinnedKey;
  o.requireTls = s.security != kFtpPlain;
  return o;
}

FtpSessionOptions CFTPDevice::SessionOptions() const {
  FtpSessionOptions o = FtpSessionOptionsOf(GetFtpSettings());
  o.stallWaitMs = stallWaitMs_;
  return o;
}

long CFTPDevice::RequestWaitMs(long replies) const {
  return FtpSessionOptionsOf(GetFtpSettings()).replyWaitMs * (replies + kLoginReplies);
}

uint32_t CFTPDevice::LostError() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  return session_.Failure() == FtpFailure::kTimeout ? plat::kErrTimeout : plat::kErrUnexpNetErr;
}

bool CFTPDevice::Encrypted() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  return session_.Encrypted();
}

FtpTlsFault CFTPDevice::TlsFault() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  return session_.TlsFault();
}

std::string CFTPDevice::ProbeServerKey() {
  FtpSession probe;
  probe.SetOptions(SessionOptions());
  return probe.ProbeKey(RequestWaitMs(0));
}

bool CFTPDevice::IsSameDestination(const CDestination& other) const {
  if (!CDestination::IsSameDestination(other)) return false;
  const auto* ftp = dynamic_cast<const CFTPDevice*>(&other);
  if (ftp == nullptr) return false;
  const FtpSettings a = GetFtpSettings(), b = ftp->GetFtpSettings();
  return a.port == b.port && plat::ToLower(a.server) == plat::ToLower(b.server);
}

bool CFTPDevice::IsSameVolume(const CDestination& other) const {
  if (!CDestination::IsSameVolume(other)) return false;
  const auto* ftp = dynamic_cast<const CFTPDevice*>(&other);
  return ftp != nullptr && GetFtpSettings().server == ftp->GetFtpSettings().server;
}

bool CFTPDevice::Connect(long waitMs) {
  const FtpSettings s = GetFtpSettings();
  // Each reply of the login within the time-out setting, however many.
  if (waitMs <= 0) waitMs = RequestWaitMs(0);
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  // Asking at every look would not change a refusal to encrypt, a key the
  // plan does not trust or a server that is not there; it would only flood
  // the server (or the go-between, or a login-rate limit) with connections.
  if (Paused()) {
    connected_ = false;
    return false;
  }
  session_.SetOptions(SessionOptions());
  session_.Disconnect();
  knownFolders_.clear();
  for (int32_t attempt = 0; attempt <= s.retryCount; ++attempt) {
    if (session_.Login(waitMs) == FtpSession::kDone) {
      connected_ = true;
      encryptionRetry_.Reset();
      reachRetry_.Reset();
      loginRetry_.Reset();
      refusal_ = told_ = ServerRefusal::kNone;
      return true;
    }
    // Waiting again does not mend a refused encryption or password.
    if (session_.TlsFault() != FtpTlsFault::kNone || session_.Failure() == FtpFailure::kLogin)
      break;
  }
  connected_ = false;
  switch (session_.TlsFault()) {
    case FtpTlsFault::kKeyChanged:
      refusal_ = ServerRefusal::kKeyChanged;
      encryptionRetry_.Failed();
      break;
    case FtpTlsFault::kUntrusted:
      refusal_ = ServerRefusal::kKeyUntrusted;
      encryptionRetry_.Failed();
      break;
    case FtpTlsFault::kNotOffered:
      refusal_ = ServerRefusal::kNotEncrypted;
      encryptionRetry_.Failed();
      break;
    case FtpTlsFault::kNone:
      refusal_ = ServerRefusal::kUnreachable;
      failure_ = session_.Failure();
      (failure_ == FtpFailure::kLogin ? loginRetry_ : reachRetry_).Failed();
      break;
  }
  return false;
}

void CFTPDevice::Disconnect() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  session_.Disconnect();
  connected_ = false;
}

bool CFTPDevice::Prepare(bool initialize) {
  encryptionRetry_.Reset();
  reachRetry_.Reset();
  loginRetry_.Reset();
  {
    std::lock_guard<std::recursive_mutex> guard(sessionLock_);
    session_.SetOptions(SessionOptions());
    opened_ = session_.Open();
  }
  const bool ssh = IsSftpServer(GetFtpSettings().server);
  if (!opened_ || !Connect(ssh ? kSshPrepareWaitMs : kPrepareWaitMs)) return false;
  // A plan being loaded places its marker at its first look, on its own
  // thread: a slow server's reply (its whole upload wait) never holds up the
  // start. A plan made or changed places it now (its root may move below the
  // user's home folder before its settings are saved).
  if (initialize)
    PlaceMarker();
  else
    markerDue_ = true;
  return true;
}

void CFTPDevice::Close() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  session_.Close();
  opened_ = false;
  connected_ = false;
}

void CFTPDevice::Refresh() {
  if (connected_) {
    const std::string root = GetRootPath();
    WithReconnect([&] { return session_.CheckFolder(root, RequestWaitMs(1)); });
    // Again at a look, backing off while the server refuses it.
    if (connected_ && (markerDue_ || (markerError_ != 0 && MarkerRetryDue()))) {
      PlaceMarker();
    } else if (connected_ && !modesKept_ && ModesAskDue() &&
               MarkerKeptPrivate(root + kStoreMarkerName)) {
      // Asked again now and then (one command on the open connection, which
      // its refusal keeps): a server set right keeps copies private now, and
      // the plan tries again what it held back.
      std::lock_guard<std::recursive_mutex> guard(sessionLock_);
      session_.ForgetModesRefused();
      modesKept_ = true;
    }
    return;
  }
  {
    std::lock_guard<std::recursive_mutex> guard(sessionLock_);
    session_.SetOptions(SessionOptions());
    opened_ = session_.Open();
  }
  // The whole time-out setting: a slow server's login completes, however
  // many round trips it takes.
  if (opened_ && Connect(0) && (markerDue_ || MarkerRetryDue())) PlaceMarker();
}

int32_t CFTPDevice::ListVersions(std::string_view folder, std::string_view name,
                                 std::string_view extension, std::vector<VersionEntry>* list) {
  if (folder.empty()) return 0;
  std::vector<FtpEntry> entries;
  const FtpSession::Outcome outcome = WithReconnect([&] {
    entries.clear();
    return session_.List(folder, RequestWaitMs(4), &entries);
  });
  if (outcome == FtpSession::kLost) return -1;
  if (outcome != FtpSession::kDone) return 0;
  int64_t highest = 0;
  for (const FtpEntry& entry : entries) {
    if (entry.folder) continue;
    const int64_t n = RevisionNumber(entry.name, name, extension);
    if (n == 0) continue;
    list->push_back({std::string(folder) + entry.name, n, entry.size, entry.writeTime});
    if (n > highest) highest = n;
  }
  return static_cast<int32_t>(std::min<int64_t>(highest, INT32_MAX));
}

uint32_t CFTPDevice::CreateFolders(std::string_view path) {
  if (path.empty() || path.front() != '/') return kDestMissingArgument;
  if (Uncarried(path)) return plat::kErrNameNotCarried;
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  std::vector<std::string> folders;
  for (size_t slash = path.find('/', 1); slash != std::string_view::npos;
       slash = path.find('/', slash + 1)) {
    std::string folder(path.substr(0, slash));
    if (knownFolders_.count(folder) == 0) folders.push_back(std::move(folder));
  }
  if (folders.empty()) return kDestOk;
  // The store's own folder, unseen since the connection: a store that lost its
  // marker (moved or deleted on the server) gets it back, and is pinned again
  // where the server is this machine, before anything is made in it.
  const std::string root = GetRootPath();
  if (!placingMarker_ && root.size() > 1 && MarkerRetryDue() &&
      std::find(folders.begin(), folders.end(), root.substr(0, root.size() - 1)) != folders.end() &&
      !FileExists(root + kStoreMarkerName)) {
    std::vector<std::string> sources;
    {
      std::lock_guard<std::mutex> settings(settingsLock_);
      sources = pinSources_;
    }
    if (PlaceMarker()) PinLocalStore(sources);
  }
  const long waitMs = RequestWaitMs(static_cast<long>(folders.size()));
  // The store's folder made here is private to the login (SFTP makes every
  // folder so); one that was there already keeps its access.
  const std::string rootFolder = root.substr(0, root.size() - 1);
  bool rootMade = false;
  if (root.size() > 1 && !IsSftpServer(GetFtpSettings().server) &&
      std::find(folders.begin(), folders.end(), rootFolder) != folders.end()) {
    const size_t slash = rootFolder.find_last_of('/');
    std::vector<FtpEntry> entries;
    const FtpSession::Outcome listed = WithReconnect(
        [&] { return session_.List(rootFolder.substr(0, slash + 1), RequestWaitMs(1), &entries); });
    // A folder above it that cannot be listed is missing too (or hides it).
    rootMade = listed == FtpSession::kRefused ||
               (listed == FtpSession::kDone &&
                std::none_of(entries.begin(), entries.end(), [&](const FtpEntry& e) {
                  return e.name == std::string_view(rootFolder).substr(slash + 1);
                }));
  }
  const FtpSession::Outcome outcome =
      WithReconnect([&] { return session_.MakeFolders(folders, waitMs); });
  std::string shut;
  if (outcome == FtpSession::kDone && rootMade &&
      session_.CommandOf("*SITE CHMOD 700", {rootFolder}, &shut))
    WithReconnect([&] { return session_.Commands({shut}, RequestWaitMs(1)); });
  if (outcome == FtpSession::kDone) {
    if (knownFolders_.size() + folders.size() > kMaxKnownFolders) knownFolders_.clear();
    knownFolders_.insert(folders.begin(), folders.end());
  }
  // A server that stopped answering is the cause of the copy's failure that
  // follows; a folder refused is for the copy to say.
  return outcome == FtpSession::kLost ? LostError() : kDestOk;
}

bool CFTPDevice::FileExists(std::string_view path) {
  if (path.empty()) return false;
  return WithReconnect([&] { return session_.Exists(path, RequestWaitMs(3)); }) ==
         FtpSession::kDone;
}

uint32_t CFTPDevice::DeleteFile(std::string_view path) {
  return WithReconnect([&] { return session_.Delete(path, RequestWaitMs(1)); }) == FtpSession::kDone
             ? kDestOk
             : kDestFailed;
}

uint32_t CFTPDevice::KeepCopyPrivate(std::string_view /*source*/, std::string_view path,
                                     uint32_t /*own*/, uint32_t reachable) {
  return WithReconnect([&] { return session_.SetMode(path, reachable, RequestWaitMs(1)); }) ==
                 FtpSession::kDone
             ? kDestOk
             : kDestFailed;
}

uint32_t CFTPDevice::CopyFile(std::string_view source, std::string_view target) {
  return CopyFileWatched(source, target, nullptr);
}

uint32_t CFTPDevice::CopyFileWatched(std::string_view source, std::string_view target,
                                     plat::CopyWatch* watch,
                                     const std::function<void()>& beforeReplace) {
  if (source.empty() || target.empty()) return kDestMissingArgument;
  if (Uncarried(target)) return plat::kErrNameNotCarried;
  plat::FindData info;
  if (!plat::GetFileInfo(source, &info)) return kDestFailed;
  // One second per KiB on top of three minutes.
  const long waitMs =
      static_cast<long>(std::min<uint64_t>(info.size / 1024 + 180, LONG_MAX / 1000) * 1000);
  uint32_t error = kDestFailed;
  // An upload tried again after a lost connection replaces nothing twice.
  bool replacing = false;
  std::function<void()> once;
  if (beforeReplace) {
    once = [&] {
      if (!replacing) beforeReplace();
      replacing = true;
    };
  }
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  // The folder the copy goes to, when it is known to exist (nothing was sent
  // to make it).
  const std::string folder(target.substr(0, target.rfind('/')));
  const bool known = knownFolders_.count(folder) > 0;
  auto attempt = [&] {
    error = kDestFailed;
    if (Paused()) return error = plat::kErrUnexpNetErr;
    FtpSession::Outcome outcome = session_.Upload(source, target, waitMs, &error, watch, once);
    if (outcome == FtpSession::kLost) {
      // Once more on a new connection; a server that takes no login is gone
      // (the plan says why, and the file waits for it).
      connected_ = false;
      if (!Connect(0)) return error = LostError();
      outcome = session_.Upload(source, target, waitMs, &error, watch, once);
      // Lost twice though the server takes logins: this file's copy failed
      // (too slow for the upload's wait, cut off), with its cause, and is
      // tried again later like any failed copy. A server that stopped
      // meanwhile is gone.
      if (outcome == FtpSession::kLost && !Connect(0)) return error = LostError();
    }
    if (outcome == FtpSession::kLost && error == 0) error = plat::kErrUnexpNetErr;
    return error;
  };
  attempt();
  if (error != 0) knownFolders_.clear();  // a folder deleted meanwhile is made again
  if (error == plat::kErrAccessDenied && known) {
    // Refused in a folder known to exist: deleted on the server meanwhile
    // (the whole store, say). It is made again, the store's marker with it,
    // and the copy tried once more: the source was never the cause.
    CreateFolders(target);
    if (attempt() != 0) knownFolders_.clear();
  }
  // A server found not to keep a private copy private (refused, or said yes
  // and did nothing) is told as one that refuses modes.
  if (error == plat::kErrNotKeptPrivate) modesKept_ = false;
  return error;
}

uint32_t CFTPDevice::MoveFile(std::string_view source, std::string_view target) {
  if (source.empty() || target.empty()) return kDestOk;
  if (Uncarried(source) || Uncarried(target)) return kDestFailed;
  if (FileExists(target)) return kDestFailed;  // a move never replaces a file
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  if (WithReconnect([&] { return session_.Rename(source, target, RequestWaitMs(2)); }) ==
      FtpSession::kDone)
    return kDestOk;
  knownFolders_.clear();
  return kDestFailed;
}

uint32_t CFTPDevice::SweepTemporaryCopies() {
  const FtpSettings s = GetFtpSettings();
  const FtpSessionOptions options = SessionOptions();
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  if (!connected_) return 0;
  // The server's clock: it has passed the time it gave the marker.
  int64_t marked = 0;
  if (session_.FileTime(s.root + kStoreMarkerName, RequestWaitMs(2), &marked) != FtpSession::kDone)
    return 0;
  std::vector<std::string> candidates;
  std::vector<std::string> folders = {s.root};
  while (!folders.empty()) {
    const std::string folder = std::move(folders.back());
    folders.pop_back();
    std::vector<FtpEntry> entries;
    if (session_.List(folder, RequestWaitMs(4), &entries) == FtpSession::kLost) return 0;
    for (const FtpEntry& entry : entries) {
      const bool top = folder == s.root;
      if (entry.folder) {
        if (!top || entry.name == "Latest" || entry.name == "Revision")
          folders.push_back(folder + entry.name + "/");
      } else if (IsTemporaryCopyName(entry.name)) {
        // The latest copy of a user's own file of that name stays: its
        // source ("Latest/C/home/ann/x" for "C:\home\ann\x") is there.
        const std::string latest = s.root + "Latest/";
        const std::string path = folder + entry.name;
        const std::string source = SourceOfLatestCopy(latest, path, '/');
        if (!source.empty() && plat::EntryExists(source)) continue;
        candidates.push_back(path);
      }
    }
  }
  uint32_t removed = 0;
  for (const std::string& path : candidates) {
    int64_t written = 0;
    if (IsUploadInFlight(options, path) ||
        session_.FileTime(path, RequestWaitMs(2), &written) != FtpSession::kDone ||
        written > marked - kLeftoverAgeSeconds)
      continue;
    if (session_.Delete(path, RequestWaitMs(1)) == FtpSession::kDone) ++removed;
  }
  return removed;
}
