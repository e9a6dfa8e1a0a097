// CObjectDevice, storage type 5: a bucket of an S3-compatible object store
// (a cloud service or a self-hosted gateway), reached through ObjectSession.
// The store lies below the key prefix with the layout of every other kind
// ("Latest/C/...", "Revision/.../name(NNNN).ext"); paths are "/" + prefix +
// the store path, with "/" between names. Settings: "Devices.ini" section
// "Object Store Device", private to its owner (it holds the secret key).
#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "destinations/Destination.h"
#include "destinations/ObjectSession.h"

inline constexpr char kObjectDeviceSection[] = "Object Store Device";

// Why the last request to the store failed, for the words told once.
enum class ObjectFailure {
  kNone,
  kUnreachable,
  kCertificate,   // no authority vouches for it, or its key is not the pinned one
  kNotEncrypted,  // plain http to another machine: nothing was sent
  kBadName,       // a ".." step in a name would climb out of the bucket: nothing was sent
  kKeys,
  kDenied,  // the keys are taken, but the bucket's policy denies the request (AccessDenied)
  kNoBucket,
  kClockSkew,  // the store's clock and ours differ too much for a signature
  kQuota,
  kBusy,
  kRedirect,          // the store pointed elsewhere (a wrong endpoint or region): not followed
  kEndlessListing,    // a listing's pages did not end: it was stopped
  kMarkerDenied,      // the bucket answers, but reading the store's marker is refused
  kMarkerUnwritable,  // the bucket answers, but writing the store's marker is refused
  kOther
};
// The cause of a failed reply; kNone for one that went through.
ObjectFailure ObjectFailureOf(const ObjectReply& reply);

// The connection test's steps, in order; kNone: every step went through.
enum class ObjectProbeStep { kNone, kReach, kWrite, kRead, kDelete };
struct ObjectProbeResult {
  ObjectProbeStep failedAt = ObjectProbeStep::kNone;
  ObjectFailure cause = ObjectFailure::kNone;
  bool keepsVersions = false;  // the bucket keeps old and deleted versions itself
  bool written = false;        // the probe object was written (then read back and deleted)
};

// A store as a person reads it: "s3://bucket/prefix/".
std::string ReadableObjectStore(const ObjectStoreSettings& s);
// The settings as a device keeps them: trimmed, the endpoint without a
// trailing "/", the prefix as "a/b/" however its slashes were typed.
void NormaliseObjectSettings(ObjectStoreSettings* s);
// Whether a prefix holds a "." or ".." part: its keys would not stay as
// written (or would climb out of the bucket); nothing is sent for them.
bool ObjectPrefixHasDots(std::string_view prefix);
// The host name of an endpoint ("s3.example.com" of "https://s3.example.com:9000/").
std::string ObjectEndpointHost(std::string_view endpoint);

class CObjectDevice : public CDestination {
 public:
  explicit CObjectDevice(IDestinationOwner* owner) : CDestination(owner) {}
  ~CObjectDevice() override;

  char GetPathSeparator() const override { return '/'; }
  bool LoadSettings() override;
  bool SaveSettings() override;
  void Configure(const PlanSettings& settings) override;
  int32_t GetStorageType() const override { return kStorageObject; }
  bool IsAvailable() const override { return connected_ && !storeAway_; }
  // Same endpoint (case aside) and bucket, and for the destination the same
  // prefix exactly: keys are case-sensitive.
  bool IsSameDestination(const CDestination& other) const override;
  bool IsSameVolume(const CDestination& other) const override;
  // Reaches the bucket. The store marker is
  // placed by LookAtRemoteStore, once it knows the prefix holds no other
  // plan's store.
  bool Prepare(bool initialize) override;
  // The marker "Brevanto.dat" below the prefix; one seen stands for a minute
  // while the store stays reachable.
  int32_t ReadStoreMarkerId(std::string* id, std::string* installation) override;
  int32_t PlaceStoreMarker(const std::string& id, bool replace) override;
  // The first key below "Latest/" and "Revision/", then the marker of each
  // folder above the prefix (LookAboveStore), then one listing of every key
  // below the prefix (all its pages, bounded as any listing) for a marker
  // in a folder below.
  int32_t LookAroundUnmarkedRoot() override;
  // The same above; below, every key of each folder but the store's trees
  // (a store's copies may be named as a marker).
  int32_t LookAroundStore() override;
  // The folder (its key, "" the bucket's top) whose store, or what stands
  // for one, the last look above or below found.
  std::string FoundFolder();
  // The marker of each folder above the prefix, one request each: 2 a
  // marker, 4 an object there that is no marker (never "none"), 5 no marker
  // but a store's trees (the first key below "Latest/" and "Revision/"). A
  // marker this key may not read is looked for in the listing of its
  // folder's keys named as it, and a folder where neither may be read counts
  // as holding none (TakeAboveUnchecked says so once). A request failed: -1,
  // its cause kept for TakeServerRefusal.
  int32_t LookAboveStore(bool again) override;
  // True once for the destination when a folder above its prefix could not
  // be looked at (its marker and its listing denied).
  bool TakeAboveUnchecked();
  int32_t HeldRefusal() override;
  void HoldRefusal(int32_t verdict) override;
  // The marker seen stands no longer: the next look reads it (before a run
  // sends files).
  void ForgetMarker();
  void Close() override;
  std::string GetRootPath() const override;
  // Probes the bucket when it was not reached, on a growing pause; looks at
  // nothing while it answers.
  void Refresh() override;
  // From one listing of the folder (all its pages), kept until Close and
  // kept up to date by this destination's own writes.
  int32_t ListVersions(std::string_view folder, std::string_view name, std::string_view extension,
                       std::vector<VersionEntry>* list) override;
  // Keys need no folders: 0 for any path, 2 for an empty one.
  uint32_t CreateFolders(std::string_view path) override;
  // From the folder's listing, like ListVersions (one listing a folder).
  bool FileExists(std::string_view path) override;
  uint32_t DeleteFile(std::string_view path) override;
  uint32_t CopyFile(std::string_view source, std::string_view target) override;
  // A single PUT answered with an MD5 ETag other than the file's fails with
  // 23 and what it left under the key is deleted (the rotation stands).
  // One PUT (in parts above 64 MiB, completed only once every part is
  // in): the object appears whole or not at all, so there is no temporary
  // name. beforeReplace runs once the local file was read whole for its
  // MD5, just before the PUT; the rotation it runs completes only once the
  // new copy is whole: the latest copy moved to a revision is copied there
  // and stays under its key, and the deletes wait. A copy that fails deletes
  // those revision copies again and nothing else.
  uint32_t CopyFileWatched(std::string_view source, std::string_view target, plat::CopyWatch* watch,
                           const std::function<void()>& beforeReplace = {}) override;
  // A server-side copy, then the delete of the source; never over an
  // existing target. During a copy's rotation, a move of its target is the
  // copy alone (the PUT replaces the source).
  uint32_t MoveFile(std::string_view source, std::string_view target) override;
  bool IgnoresCase() override { return false; }
  bool GetFileStamp(std::string_view, uint64_t*, int64_t*, int64_t*) override { return false; }
  // An object has no modes: only the bucket's keys reach it.
  uint32_t KeepCopyPrivate(std::string_view, std::string_view, uint32_t, uint32_t) override {
    return 0;
  }
  // GETs the copy, comparing as it comes (stopped at the first difference).
  int32_t HoldsSameBytes(std::string_view source, std::string_view path) override;
  // Aborts the unfinished multipart uploads below the prefix (what an upload
  // cut off while the store was unreachable left), except those this
  // process is sending. Returns how many it aborted.
  uint32_t SweepTemporaryCopies() override;
  // The sweep, when due: at the first reach of a start, and once the store
  // is back after an upload was cut off (its abort failed). The plan's task
  // runs it once the store is known to be the plan's own (never on another
  // plan's uploads). True when it listed.
  bool SweepIfDue();
  ServerRefusal TakeServerRefusal(std::string* server, std::string* cause) override;
  // True once for the destination (a plan's start) when its bucket keeps the
  // old versions of what the plan replaces or deletes (versioning enabled):
  // the store then grows past what the plan keeps. Asked at the first look.
  bool TakeKeepsVersions();

  // Lists the bucket, then writes, reads back and deletes a probe object
  // below the prefix: the first step that failed and its cause. Once the
  // bucket answered, beforeWrite (when given) looks at the place first;
  // false: nothing is written there.
  ObjectProbeResult TestConnection(const std::function<bool()>& beforeWrite = {});
  // The key the endpoint's certificate holds ("sha256//BASE64"), offered
  // for trust when the certificate failed; empty when none was seen.
  std::string ProbeServerKey();

  ObjectStoreSettings GetObjectSettings() const;
  ObjectFailure LastFailure() const { return failure_; }

 private:
  // Runs a request, again after a pause while the store says it is busy
  // (503, "SlowDown"; pauses doubling from 200 ms, five tries); notes
  // reachability and the cause of a failure.
  ObjectReply Retried(const std::function<ObjectReply()>& request);
  // The error number of a failed reply (5 keys refused, 3 no bucket, 2 no
  // such key, 112 quota, 1460 no answer in time, 59 no connection or busy).
  uint32_t ErrorOf(const ObjectReply& reply) const;
  // Sends a file above 64 MiB in parts and completes the upload; aborts it
  // on any failure. 0 or the error number.
  uint32_t PutInParts(const std::string& key, plat::File* file, uint64_t size,
                      const std::function<bool()>& stillSame, const ObjectAttributes& attributes);
  std::string KeyOf(std::string_view path) const;
  struct Listed {
    uint64_t size = 0;
    std::string etag;  // empty: not known
  };
  // The folder's listing (name -> size and ETag), listed when not kept; null
  // when the listing failed.
  const std::map<std::string, Listed>* Listing(const std::string& folderKey);
  void Known(const std::string& key, bool present, uint64_t size, const std::string& etag = "");
  // The revision below the one "to" names (the highest number under it, in
  // its folder) when it holds what "from" holds, bytes and attributes: the
  // copy of a rotation that was cut before "from" was replaced. Empty when
  // there is none.
  std::string LeftoverRevision(const std::string& from, const std::string& to);

  mutable std::mutex settingsLock_;  // guards settings_ and redirectHost_
  ObjectStoreSettings settings_;
  std::string redirectHost_;  // where the last redirect pointed
  std::recursive_mutex
      sessionLock_;  // guards session_, listed_, endlessFolders_: one request at a time
  ObjectSession session_;
  std::map<std::string, std::map<std::string, Listed>> listed_;  // folder key -> its keys
  std::set<std::string> endlessFolders_;  // folder keys whose listing did not end
  // The rotation of the copy in flight, under sessionLock_ too.
  struct Rotation {
    std::string target;                // the key the copy replaces; empty: none running
    std::vector<std::string> copied;   // revision copies made of the target
    std::vector<std::string> deletes;  // keys deleted once the copy is whole
    bool reused = false;  // the revision a cut rotation left stands for the target's copy
  } rotation_;
  // Runs beforeReplace with the rotation held back; Settle ends it.
  void Rotate(const std::string& target, const std::function<void()>& beforeReplace);
  void Settle(bool whole);
  // Lists the unfinished uploads and aborts them (under sessionLock_): true
  // when every one listed was aborted, or the listing did not end (nothing
  // is aborted then, and the sweep is not run again in this start).
  bool SweepListed(uint32_t* aborted = nullptr);
  bool sweepDue_ = true;            // under sessionLock_: the sweep is to run at the next reach
  std::string markerId_;            // under sessionLock_: the marker last seen or placed
  std::string markerInstallation_;  // under sessionLock_: the installation it names
  int64_t markerLookedAt_ = 0;      // under sessionLock_: when (0: look again)
  int markerLookSeconds_ = 0;       // under sessionLock_: how long it stands (0: not read yet)
  // While the store answers, nothing is probed (the copies tell when it
  // stops); while it does not, probes come after pauses doubling to a minute.
  std::chrono::steady_clock::time_point nextProbe_{};  // under sessionLock_
  std::chrono::milliseconds probePause_{0};            // under sessionLock_
  // Reading the marker was refused (403) though the bucket answers: the
  // probes read the marker too, and the store stays away until it is read.
  bool markerDenied_ = false;     // under sessionLock_
  bool versioningAsked_ = false;  // under sessionLock_: the bucket's versioning was asked
  int32_t above_ = -1;            // under sessionLock_: LookAboveStore's answer this connection
  std::string belowMarker_;       // under sessionLock_: the key of a store's marker found below
  std::string foundFolder_;       // under sessionLock_: FoundFolder's
  // The marker of a store below the folder: 3 one, 0 none, -1 not known
  // now. aside: the folder's own trees are not listed.
  int32_t LookBelow(const std::string& folder, bool aside);
  int aboveUnchecked_ = 0;  // under sessionLock_: a folder above unseen: 1 to say, 2 said
  // A refused store (its marker denied, refused or not the plan's) is looked
  // at again after this pause, doubled at each refusal up to the marker's
  // look time; 0 once the store is the plan's again.
  std::chrono::seconds refusalPause_{0};               // under sessionLock_
  int32_t heldVerdict_ = 0;                            // under sessionLock_: HeldRefusal's
  std::chrono::steady_clock::time_point heldUntil_{};  // under sessionLock_
  // The marker's look time (StoreMarkerLookTime, read once) and the next
  // refusal's pause (doubled, up to that time).
  int LookSeconds();
  std::chrono::seconds NextRefusalPause();
  // Notes a refused read (kMarkerDenied) or write (kMarkerUnwritable) of the
  // marker: away, its cause, the next probe after the refusal's pause.
  void MarkerDenied(ObjectFailure cause);
  std::atomic<bool> connected_{false};
  std::atomic<ObjectFailure> failure_{ObjectFailure::kNone};
  std::atomic<ObjectFailure> told_{ObjectFailure::kNone};
  // A listing stopped before its end, said once for the destination even
  // when the requests after it went through: 0 none, 1 to say, 2 said.
  std::atomic<int> endless_{0};
  std::atomic<bool> cutShort_{false};  // that listing said more was to come, with no token
};
