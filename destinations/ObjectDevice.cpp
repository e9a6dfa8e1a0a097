#include "destinations/ObjectDevice.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <thread>
#include <unordered_set>

#include "destinations/StoreMarker.h"
#include "platform/base/Errors.h"
#include "platform/files/Files.h"
#include "platform/process/Clock.h"

namespace {

constexpr int kBusyTries = 5;
constexpr int kFirstPauseMs = 200;
// Files above this go up in parts of kPartBytes (one part in memory at a time).
constexpr uint64_t kMultipartAbove = 64ull << 20;
constexpr size_t kPartBytes = 16u << 20;
// The longest key an S3 store takes, in bytes.
constexpr size_t kMaxKeyBytes = 1024;

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

// The multipart uploads this process is sending (their ids): the sweep
// passes them by.
std::mutex inFlightLock;                   // guards inFlight
std::unordered_set<std::string> inFlight;  // upload ids

struct InFlight {
  explicit InFlight(std::string id) : id_(std::move(id)) {
    std::lock_guard<std::mutex> guard(inFlightLock);
    inFlight.insert(id_);
  }
  ~InFlight() {
    std::lock_guard<std::mutex> guard(inFlightLock);
    inFlight.erase(id_);
  }
  std::string id_;
};

bool IsInFlight(const std::string& id) {
  std::lock_guard<std::mutex> guard(inFlightLock);
  return inFlight.count(id) != 0;
}

bool Busy(const ObjectReply& r) { return r.status == 503 || r.code == "SlowDown"; }

}  // namespace

ObjectFailure ObjectFailureOf(const ObjectReply& reply) {
  if (reply.status == 0 && (reply.transport == 60 || reply.transport == 90))
    return ObjectFailure::kCertificate;  // peer not verified; pinned key differs
  if (reply.status == 0 && reply.transport == 1) return ObjectFailure::kNotEncrypted;
  if (reply.status == 0 && reply.transport == 3) return ObjectFailure::kBadName;
  if (reply.status == 0) return ObjectFailure::kUnreachable;
  if (reply.code == "QuotaExceeded") return ObjectFailure::kQuota;
  if (reply.code == "RequestTimeTooSkewed") return ObjectFailure::kClockSkew;
  if (reply.code == kEndlessListing) return ObjectFailure::kEndlessListing;
  if (reply.status >= 300 && reply.status < 400) return ObjectFailure::kRedirect;
  // Keys the store does not know or whose signature fails have their own
  // codes; AccessDenied is a policy refusing keys it knows.
  if (reply.status == 403 && reply.code == "AccessDenied") return ObjectFailure::kDenied;
  if (reply.status == 403) return ObjectFailure::kKeys;
  if (reply.code == "NoSuchBucket") return ObjectFailure::kNoBucket;
  if (Busy(reply)) return ObjectFailure::kBusy;
  if (reply.status >= 500) return ObjectFailure::kOther;
  return ObjectFailure::kNone;
}

CObjectDevice::~CObjectDevice() { Close(); }

ObjectProbeResult CObjectDevice::TestConnection(const std::function<bool()>& beforeWrite) {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  const ObjectStoreSettings s = GetObjectSettings();
  session_.SetOptions(s);
  ObjectProbeResult result;
  const auto failed = [&](ObjectProbeStep step, const ObjectReply& reply) {
    result.failedAt = step;
    result.cause = ObjectFailureOf(reply);
    if (result.cause == ObjectFailure::kNone) result.cause = ObjectFailure::kOther;
    return result;
  };
  ObjectReply reply = Retried([&] { return session_.Probe(); });
  if (!reply.Ok()) return failed(ObjectProbeStep::kReach, reply);
  if (beforeWrite && !beforeWrite()) return result;
  const std::string key = s.prefix + ".~bvprobe-" + NewStoreId();
  const std::string text = "probe " + key;
  reply = Retried([&] { return session_.PutText(key, text); });
  if (!reply.Ok()) return failed(ObjectProbeStep::kWrite, reply);
  result.written = true;
  std::string back;
  reply = Retried([&] {
    back.clear();
    return session_.Get(key, [&](const char* data, size_t size) {
      back.append(data, size);
      return back.size() <= text.size();
    });
  });
  const ObjectReply read = reply;
  reply = Retried([&] { return session_.Delete(key); });
  if (!read.Ok() || back != text) return failed(ObjectProbeStep::kRead, read);
  if (!reply.Ok()) return failed(ObjectProbeStep::kDelete, reply);
  session_.Versioning(&result.keepsVersions);  // a refused question says nothing
  return result;
}

std::string CObjectDevice::GetRootPath() const { return "/" + GetObjectSettings().prefix; }

std::string CObjectDevice::KeyOf(std::string_view path) const {
  if (path.empty() || path.front() != '/') return "";
  return std::string(path.substr(1));
}

ObjectReply CObjectDevice::Retried(const std::function<ObjectReply()>& request) {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  ObjectReply reply = request();
  for (int pause = kFirstPauseMs, tries = 1; Busy(reply) && tries < kBusyTries;
       pause *= 2, ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    reply = request();
  }
  // A store still busy after the pauses counts as away too: the files wait
  // for it, and the probes come on a growing pause.
  connected_ = reply.status != 0 && reply.status != 403 && reply.code != "NoSuchBucket" &&
               (reply.status < 300 || reply.status >= 400) && !Busy(reply);
  const ObjectFailure failure = ObjectFailureOf(reply);
  int none = 0;
  if (failure == ObjectFailure::kEndlessListing && endless_.compare_exchange_strong(none, 1))
    cutShort_ = reply.cutShort;
  if (failure == ObjectFailure::kRedirect) {
    std::lock_guard<std::mutex> settingsGuard(settingsLock_);
    redirectHost_ = ObjectEndpointHost(reply.location);
  }
  if (failure != ObjectFailure::kNone || reply.Ok()) failure_ = failure;
  if (!connected_) {
    listed_.clear();  // another connection: its listings and marker are not known
    markerLookedAt_ = 0;
  }
  return reply;
}

uint32_t CObjectDevice::ErrorOf(const ObjectReply& reply) const {
  if (reply.status == 0 && reply.transport == 3) return 123;        // a name with a ".." step
  if (reply.status == 0) return reply.transport == 28 ? 1460 : 59;  // 28: the wait ran out
  if (reply.code == "QuotaExceeded") return 112;
  if (reply.status == 403) return 5;
  if (reply.code == "NoSuchBucket") return 3;
  if (reply.status == 404) return 2;
  if (reply.code == "BadDigest") return plat::kErrCrc;
  return 59;
}

std::string CObjectDevice::ProbeServerKey() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  session_.SetOptions(GetObjectSettings());
  listed_.clear();
  return session_.ServerKey();
}

bool CObjectDevice::Prepare(bool /*initialize*/) {
  // The marker is the plan's task's to place (LookAtRemoteStore): it first
  // looks whether the prefix holds another plan's store.
  Refresh();
  return connected_;
}

void CObjectDevice::Close() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  session_.Close();
  listed_.clear();
  endlessFolders_.clear();
  connected_ = false;
  markerLookedAt_ = 0;
  above_ = -1;
}

void CObjectDevice::Refresh() {
  constexpr std::chrono::milliseconds kFirstProbePause{1000}, kLongestProbePause{60000};
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  const ObjectStoreSettings s = GetObjectSettings();
  if (ObjectPrefixHasDots(s.prefix)) {  // said once; nothing is sent
    failure_ = ObjectFailure::kBadName;
    connected_ = false;
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (connected_ || now < nextProbe_) return;
  session_.SetOptions(s);
  if (Retried([&] { return session_.Probe(); }).Ok()) {
    // A marker refused before is read again: until it is, the store stays away.
    std::string id, installation;
    if (markerDenied_) ReadStoreMarkerId(&id, &installation);
    if (!markerDenied_) probePause_ = std::chrono::milliseconds(0);
    return;
  }
  probePause_ = std::min(kLongestProbePause, std::max(kFirstProbePause, probePause_ * 2));
  nextProbe_ = now + probePause_;
}

const std::map<std::string, CObjectDevice::Listed>* CObjectDevice::Listing(
    const std::string& folderKey) {
  const auto kept = listed_.find(folderKey);
  if (kept != listed_.end()) return &kept->second;
  // A folder whose listing did not end is not listed again: its keys are
  // asked for one by one.
  if (endlessFolders_.count(folderKey) != 0) return nullptr;
  std::vector<ObjectEntry> entries;
  const ObjectReply reply = Retried([&] { return session_.List(folderKey, &entries); });
  if (reply.code == kEndlessListing && endlessFolders_.size() < 4096)
    endlessFolders_.insert(folderKey);
  if (!reply.Ok()) return nullptr;
  auto& names = listed_[folderKey];
  for (const ObjectEntry& e : entries) {
    if (!e.folder) names[e.name] = {e.size, e.etag};
  }
  return &names;
}

void CObjectDevice::Known(const std::string& key, bool present, uint64_t size,
                          const std::string& etag) {
  const size_t slash = key.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : key.substr(0, slash + 1);
  const auto kept = listed_.find(folder);
  if (kept == listed_.end()) return;
  if (present)
    kept->second[key.substr(folder.size())] = {size, etag};
  else
    kept->second.erase(key.substr(folder.size()));
}

int32_t CObjectDevice::ListVersions(std::string_view folder, std::string_view name,
                                    std::string_view extension, std::vector<VersionEntry>* list) {
  std::string folderKey = KeyOf(folder);
  if (!folderKey.empty() && folderKey.back() != '/') folderKey.push_back('/');
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  const auto* names = Listing(folderKey);
  if (names == nullptr) return 0;
  int64_t highest = 0;
  for (const auto& [entry, listed] : *names) {
    const int64_t n = RevisionNumber(entry, name, extension);
    if (n == 0) continue;
    list->push_back({"/" + folderKey + entry, n});
    highest = std::max(highest, n);
  }
  return static_cast<int32_t>(std::min<int64_t>(highest, INT32_MAX));
}

uint32_t CObjectDevice::CreateFolders(std::string_view path) {
  return path.empty() ? kDestMissingArgument : kDestOk;
}

bool CObjectDevice::FileExists(std::string_view path) {
  const std::string key = KeyOf(path);
  if (key.empty()) return false;
  // From the folder's one listing, kept: no request per file.
  const size_t slash = key.rfind('/');
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  if (const auto* names = Listing(slash == std::string::npos ? "" : key.substr(0, slash + 1)))
    return names->count(key.substr(slash + 1)) != 0;
  return Retried([&] { return session_.Head(key); }).Ok();
}

uint32_t CObjectDevice::DeleteFile(std::string_view path) {
  const std::string key = KeyOf(path);
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  if (!rotation_.target.empty() && !key.empty() && key != rotation_.target) {
    rotation_.deletes.push_back(key);
    return kDestOk;
  }
  if (key.empty() || !Retried([&] { return session_.Head(key); }).Ok()) return kDestFailed;
  if (!Retried([&] { return session_.Delete(key); }).Ok()) return kDestFailed;
  Known(key, false, 0);
  return kDestOk;
}

uint32_t CObjectDevice::CopyFile(std::string_view source, std::string_view target) {
  return CopyFileWatched(source, target, nullptr);
}

uint32_t CObjectDevice::CopyFileWatched(std::string_view source, std::string_view target,
                                        plat::CopyWatch* watch,
                                        const std::function<void()>& beforeReplace) {
  const std::string key = KeyOf(target);
  if (key.empty() || source.empty()) return 3;
  // The store refuses a longer key whenever it is sent: nothing goes.
  if (key.size() > kMaxKeyBytes) return plat::kErrNameTooLong;
  plat::File file;
  if (!file.Open(source, plat::File::kRead, plat::File::kOpenExisting)) return 2;
  uint64_t size = 0;
  if (!file.GetSize(&size)) return 30;
  // Restores give the file back its permission bits and last write.
  ObjectAttributes attributes;
  uint32_t mode = 0;
  if (file.GetModeAndTime(&mode, &attributes.time)) attributes.mode = static_cast<int32_t>(mode);
  if (watch != nullptr) {
    if (!file.GetStamp(&watch->before)) return 30;
    watch->after = watch->before;
  }
  bool torn = false;
  const std::function<bool()> stillSame = [&] {
    if (watch == nullptr) return true;
    torn = !file.GetStamp(&watch->after) || !watch->Steady();
    return !torn;
  };
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  if (size > kMultipartAbove) {
    Rotate(key, beforeReplace);
    const uint32_t sent = PutInParts(key, &file, size, stillSame, attributes);
    Settle(sent == kDestOk && !torn);
    if (torn) return plat::kErrSourceChanged;
    if (sent == kDestOk) Known(key, true, size);
    return sent;
  }
  const std::string md5 = ObjectFileMd5(&file);
  if (md5.empty()) return 30;
  Rotate(key, beforeReplace);
  const ObjectReply reply = Retried([&] {
    file.Seek(0);
    return session_.Put(key, &file, size, md5, stillSame, attributes);
  });
  Settle(reply.Ok() && !torn);
  if (torn) return plat::kErrSourceChanged;
  if (!reply.Ok()) return ErrorOf(reply);
  if (!ObjectETagMatches(reply.etag, md5)) {
    // Not the bytes sent: the object goes, the copy is tried again.
    if (Retried([&] { return session_.Delete(key); }).Ok()) Known(key, false, 0);
    return plat::kErrCrc;
  }
  Known(key, true, size, reply.etag);
  return kDestOk;
}

uint32_t CObjectDevice::PutInParts(const std::string& key, plat::File* file, uint64_t size,
                                   const std::function<bool()>& stillSame,
                                   const ObjectAttributes& attributes) {
  std::string uploadId;
  ObjectReply reply = Retried([&] { return session_.StartParts(key, &uploadId, attributes); });
  if (!reply.Ok()) return ErrorOf(reply);
  const InFlight sending(uploadId);
  std::vector<std::string> etags;
  std::string part;
  for (uint64_t sent = 0; reply.Ok() && sent < size; sent += part.size()) {
    part.resize(static_cast<size_t>(std::min<uint64_t>(kPartBytes, size - sent)));
    size_t got = 0;
    if (!file->ReadAt(sent, part.data(), part.size(), &got) || got != part.size() ||
        (sent + got == size && !stillSame())) {
      reply.code = "SourceUnread";
      break;
    }
    const int number = static_cast<int>(etags.size()) + 1;
    reply = Retried([&] { return session_.PutPart(key, uploadId, number, part); });
    etags.push_back(reply.etag);
  }
  if (reply.Ok()) reply = Retried([&] { return session_.CompleteParts(key, uploadId, etags); });
  if (reply.Ok()) return kDestOk;
  // The parts sent are dropped; when the store cannot be reached now, the
  // upload stays unfinished (never under the key) until it is swept.
  // Cut off with the store away: aborted once it is back.
  if (!session_.AbortParts(key, uploadId).Ok()) sweepDue_ = true;
  return reply.code == "SourceUnread" ? 30 : ErrorOf(reply);
}

bool CObjectDevice::SweepListed(uint32_t* aborted) {
  std::vector<std::pair<std::string, std::string>> uploads;
  const std::string prefix = GetObjectSettings().prefix;
  const ObjectReply listed = Retried([&] { return session_.ListParts(prefix, &uploads); });
  // A listing cut off as endless is not asked for again in this start: it
  // would cost its thousand pages at every look.
  if (listed.code == kEndlessListing) return true;
  if (!listed.Ok()) return false;
  bool all = true;
  for (const auto& [key, id] : uploads) {
    // Only what this store's copies leave: a store in a folder below the
    // prefix (another plan's) sends its own.
    if (IsInFlight(id) ||
        (key.rfind(prefix + "Latest/", 0) != 0 && key.rfind(prefix + "Revision/", 0) != 0))
      continue;
    const bool done = Retried([&] { return session_.AbortParts(key, id); }).Ok();
    if (done && aborted != nullptr) ++*aborted;
    all = all && done;
  }
  return all;
}
