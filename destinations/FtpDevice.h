// CFTPDevice: a destination in a folder on an FTP server (storage type 4),
// optionally reached through a proxy. Its settings are the FtpSettings block,
// kept in the section "FTP Device" of the plan's "Devices.ini". Paths are
// server paths with "/" as separator. One connection stays open between
// requests; a request whose connection dropped or whose wait ran out
// reconnects once and is tried again.
#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "destinations/Destination.h"
#include "destinations/FtpSession.h"
#include "destinations/RetryPause.h"
#include "platform/files/FileId.h"

inline constexpr char kFtpDeviceSection[] = "FTP Device";
// A server entered as "sftp://host" is reached over SSH.
inline constexpr char kSftpScheme[] = "sftp://";

// Server trimmed, lower-cased and without a leading "ftp://" ("sftp://"
// stays); a port given with the host ("host:2121") becomes the port; an SFTP
// server's port 0 or 21 (the FTP default) becomes 22. The security follows
// the server: an "sftp://" server is kSftp, a server chosen as kSftp gets
// "sftp://", an unknown value is kFtpsRequired. Root, proxy, user and
// password trimmed; a negative retry count becomes 0; the root uses "/" and
// begins and ends with one.
void NormaliseFtpSettings(FtpSettings* settings);
// Whether a normalised server is an SFTP server.
bool IsSftpServer(std::string_view server);
// The store as a person reads it: "ftps://host/root/" (encrypted FTP),
// "ftp://host/root/" (unencrypted) or "sftp://host/root/", with the port
// where it is not the protocol's usual one.
std::string ReadableFtpStore(const FtpSettings& settings);

// Where a store's root lies on this machine when its server is this very
// machine (plat::IsThisMachine), as system paths: the root itself, and for
// FTP (whose servers often show the user's home folder as "/") the root
// below the login user's home folder; an SFTP root "/~/x" is only the
// latter. Empty for a server elsewhere.
std::vector<std::string> LocalFoldersOfServerStore(const FtpSettings& settings);

// The session options of a plan's FTP settings: server, login, mode, proxy,
// the time-out setting as the longest wait for a reply, the pinned key; for
// SFTP the user's own SSH key (~/.ssh/id_ed25519, id_ecdsa or id_rsa), tried
// before the password.
FtpSessionOptions FtpSessionOptionsOf(const FtpSettings& s);

class CFTPDevice : public CDestination {
 public:
  explicit CFTPDevice(IDestinationOwner* owner);
  ~CFTPDevice() override;

  char GetPathSeparator() const override { return '/'; }
  bool LoadSettings() override;
  // False only when there is no owner or a value cannot be written.
  bool SaveSettings() override;
  void Configure(const PlanSettings& settings) override;
  int32_t GetStorageType() const override { return kStorageFtp; }
  bool IsSameDestination(const CDestination& other) const override;
  bool IsSameVolume(const CDestination& other) const override;
  // Connects (briefly) and, with initialize (a plan made or changed), places
  // the marker; a plan loaded places it at its first Refresh. False when the
  // server cannot be reached now. A server that refused encryption before is
  // asked again at once (the plan was changed or loaded anew).
  bool Prepare(bool initialize) override;
  void Close() override;
  std::string GetRootPath() const override;
  // Connected: checks the connection on the root folder. Otherwise connects
  // and places the marker.
  void Refresh() override;
  int32_t ListVersions(std::string_view folder, std::string_view name, std::string_view extension,
                       std::vector<VersionEntry>* list) override;
  // 2 for an empty path or one not beginning with "/"; otherwise 0. The
  // folders made or found are remembered for the connection: the next file
  // of the same folder sends nothing. plat::kErrNameNotCarried, before any
  // request, for a path holding CR, LF or NUL.
  uint32_t CreateFolders(std::string_view path) override;
  bool FileExists(std::string_view path) override;
  uint32_t DeleteFile(std::string_view path) override;
  // Uploads under a temporary name and renames once whole and of the local
  // size: 0, 2 for an empty path, otherwise the error number FtpSession::
  // Upload gives (1223 when the thread was told to stop,
  // plat::kErrNameNotCarried for a name no command can carry,
  // plat::kErrNameChanged when the server stored it under another name).
  uint32_t CopyFile(std::string_view source, std::string_view target) override;
  // The upload's own open source, looked at before and after it was read;
  // beforeReplace runs between the upload and the rename, once.
  uint32_t CopyFileWatched(std::string_view source, std::string_view target, plat::CopyWatch* watch,
                           const std::function<void()>& beforeReplace = {}) override;
  // Renames on the server; 0 without contacting it when a name is empty.
  uint32_t MoveFile(std::string_view source, std::string_view target) override;
  // The server compares names as it does; nothing to look at locally.
  bool IgnoresCase() override { return false; }
  bool GetFileStamp(std::string_view, uint64_t*, int64_t*, int64_t*) override { return false; }
  uint32_t KeepCopyPrivate(std::string_view source, std::string_view path, uint32_t own,
                           uint32_t reachable) override;
  // Downloads the copy on the open connection, comparing as it comes.
  int32_t HoldsSameBytes(std::string_view source, std::string_view path) override;
  // Removes the leftovers of interrupted uploads (".~bvtmp-" + 16 hex
  // digits) in the root and below "Latest" and "Revision": only files the
  // server last wrote an hour or more before it wrote the marker (at
  // connecting), so neither clocks that differ nor a copy in flight, here or
  // elsewhere, can make it remove a file being written; and never a file this
  // process is writing. Returns how many it removed.
  uint32_t SweepTemporaryCopies() override;

  FtpSettings GetFtpSettings() const;
  // Proves that the root can be written by uploading the marker; on a server
  // that logs the user into a home folder and refuses the root, tries the
  // root below "/" + user and keeps it when that works. The marker names the
  // store: the one the server's marker named already, else StoreId(), else
  // a new one; the identifier is noted (NoteServerStore) and kept as
  // StoreId in "Devices.ini". Each marker written holds a nonce of its own
  // (see FindLocalStore).
  // Marker placements that failed in a row count for MarkerRetryDue.
  bool PlaceMarker();
  // The identifier of the store as its marker names it; empty before the
  // first marker was placed.
  std::string StoreId() const;
  // The proxy text the session is given (empty: no proxy).
  std::string ProxyText() const;
  // The server key accepted in place of an authority's word ("sha256//..."),
  // kept in "Devices.ini" as PinnedKey; empty for none. Settings given
  // without a key keep the one trusted already.
  std::string GetPinnedKey() const;
  void SetPinnedKey(std::string key);
  // After a connection: whether it is encrypted, and why its encryption
  // failed.
  bool Encrypted();
  FtpTlsFault TlsFault();
  // The key the server shows, read without checking its certificate.
  std::string ProbeServerKey();
  ServerRefusal TakeServerRefusal(std::string* server, std::string* cause) override;
  // The "Latest" and "Revision" folders below LocalFoldersOfServerStore of
  // the settings, worked out once per server, user and root: folders of this
  // machine that hold the store's copies, which the walks and change
  // monitoring leave out.
  std::vector<std::string> LocalStoreFolders() const;
  // Where the store lies on this machine when its server is this machine:
  // the folder whose marker is the one this device wrote at its last
  // connection (the file the server named by its identity, or this user's
  // own file with the nonce), looked for where it lay before and where the settings
  // point, else around sources (system paths: above them, at and below them,
  // bounded). Looked for once per connection; empty when none was found, the
  // server is elsewhere or no marker was written.
  std::string FindLocalStore(const std::vector<std::string>& sources);
  // FindLocalStore, and the folder found pinned as where the store lies
  // (PinServerStore): only there does a marker this user does not own count.
  // A server elsewhere pins nothing.
  std::string PinLocalStore(const std::vector<std::string>& sources);
  // The plan holds nothing of its store on this server now (it protects a
  // folder the store holds): the device reports itself unavailable.
  bool IsAvailable() const override { return opened_ && connected_ && !storeAway_; }
  // False when the server refused to make the marker written at the last
  // connection readable by its owner only: every copy then stays as readable
  // to the server's other users as the server makes files.
  bool KeepsModes() const { return modesKept_; }
  // 0 when the marker was placed at the last connection (and, on a server
  // that is this machine, its identity asked for in time); else the error
  // number that says why not (1460: the server did not answer in time). The
  // marker is tried again at Refresh while it is not placed, as
  // MarkerRetryDue allows.
  uint32_t MarkerError() const { return markerError_; }
  // Whether a marker not placed may be tried again now: at once after up to
  // 3 failed tries in a row, then a minute after the last, from the 21st on
  // 5 minutes after it (as a failing file): a server refusing it is not
  // logged into at every look.
  bool MarkerRetryDue() const;
  // Whether a server that would not keep the marker private may be asked
  // again at a look: 10 minutes after it was asked last.
  bool ModesAskDue() const;
  // After PinLocalStore: true when the server is this machine but nothing
  // proves which folder here holds the marker it wrote (the server gives no
  // identity of it and this user does not own it), so nothing is pinned.
  // False while the marker was not placed (MarkerError says why instead).
  bool StoreUnproven() const { return storeUnproven_; }
  // True once after a marker was placed where the store this device filled
  // had none (deleted or moved on the server): the store is new, to be filled.
  bool TakeStoreRenewed() { return storeRenewed_.exchange(false); }

 private:
  enum class Step { kDone, kFailed };
  // Connects with a wait (0: the time-out setting, at most 120 s), making up
  // to retry count + 1 attempts. After the server refused to encrypt, fails
  // without contacting it until encryptionRetry_ allows a try.
  bool Connect(long waitMs);
  void Disconnect();
  // Runs a request; when its connection dropped or its wait ran out,
  // reconnects once and runs it again. Returns the last outcome, or kLost
  // when the reconnect failed or Connect would not try now.
  template <typename Request>
  FtpSession::Outcome WithReconnect(Request request);
  FtpSessionOptions SessionOptions() const;
  // The longest wait of a request that waits for that many replies: each
  // may take the time-out setting, and a login may come first.
  long RequestWaitMs(long replies) const;
  // Why a request whose connection could not be made again failed:
  // plat::kErrTimeout when the server answered too slowly, else
  // plat::kErrUnexpNetErr.
  uint32_t LostError();
  bool PlaceMarkerOnce();
  // The store the server's marker in root names; empty when it names none.
  std::string ServerStoreId(const std::string& root);
  void TakeStoreId(const std::string& id);
  // Notes the nonce of the marker just written at remote and the server's
  // time of it, when the server is this machine.
  void NoteMarkerWritten(const std::string& remote, const std::string& nonce);
  // Asks again, now without leave to fail, that the marker at remote be
  // readable by its owner only (its copy asked already); false when refused,
  // or when the folder's listing shows it readable by more all the same.
  bool MarkerKeptPrivate(const std::string& remote);

  // guards settings_, storeId_, the marker's nonce and time and the local folders below
  mutable std::mutex settingsLock_;
  FtpSettings settings_;
  std::string storeId_;
  std::string markerNonce_;        // of the marker written at the last connection
  plat::FileId markerIdentity_;    // the server's identity of it
  bool markerIdentified_ = false;  // the server gave that identity
  std::string localStore_;         // where FindLocalStore found it, for that nonce
  std::string localStoreNonce_;
  std::vector<std::string> pinSources_;    // what PinLocalStore was last given
  std::vector<std::string> othersLooked_;  // other plans' markers (id + nonce) looked for
  mutable std::string localFoldersOf_;     // server, user and root they were worked out for
  mutable std::vector<std::string> localFolders_;
  std::recursive_mutex sessionLock_;  // guards session_ and knownFolders_: one request at a time
  FtpSession session_;
  // Folders made or found on the server since the connection was made;
  // forgotten at a new connection and when a copy or move fails.
  std::unordered_set<std::string> knownFolders_;
  std::atomic<bool> opened_{false};         // the client handle exists
  std::atomic<bool> connected_{false};      // logged in as of the last request
  std::atomic<bool> modesKept_{true};       // see KeepsModes
  std::atomic<bool> storeRenewed_{false};   // see TakeStoreRenewed
  std::atomic<bool> storeUnproven_{false};  // see StoreUnproven
  std::atomic<bool> placingMarker_{false};  // PlaceMarker runs: its folders need no marker
  std::atomic<uint32_t> markerError_{0};    // see MarkerError
  RetryPause markerRetry_{3};               // failed placements in a row, see MarkerRetryDue
  // Connections refused in a row for what no waiting mends (no encryption
  // offered, a key not trusted or changed): asked again twice at once, then
  // as the pause allows (Prepare: at once). A server not reached: six times
  // at once, then as the pause allows. A login refused: only as the pause
  // allows (a password asked again and again may lock the account).
  RetryPause encryptionRetry_{1};
  RetryPause reachRetry_{5};
  RetryPause loginRetry_{0};
  bool Paused() const {
    return !encryptionRetry_.Due() || !reachRetry_.Due() || !loginRetry_.Due();
  }
  std::atomic<bool> markerDue_{false};     // connected at load: the marker is placed at Refresh
  std::atomic<uint64_t> modesAskedMs_{0};  // when MarkerKeptPrivate last asked (monotonic ms)
  // Why the last connection failed, and the reason told last (both
  // ServerRefusal values; kNone after a connection succeeded).
  std::atomic<ServerRefusal> refusal_{ServerRefusal::kNone};
  std::atomic<ServerRefusal> told_{ServerRefusal::kNone};
  std::atomic<FtpFailure> failure_{FtpFailure::kNone};      // the cause behind kUnreachable
  std::atomic<FtpFailure> toldFailure_{FtpFailure::kNone};  // the cause last said with told_
  const long stallWaitMs_;  // FtpSessionOptions::stallWaitMs, read once
};

template <typename Request>
FtpSession::Outcome CFTPDevice::WithReconnect(Request request) {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  // No request reaches a server that could not be used while the pause runs
  // (each would connect anew).
  if (Paused()) return FtpSession::kLost;
  FtpSession::Outcome outcome = request();
  if (outcome == FtpSession::kLost) {
    connected_ = false;
    if (!Connect(0)) return FtpSession::kLost;
    outcome = request();
  }
  connected_ = outcome != FtpSession::kLost;
  return outcome;
}
