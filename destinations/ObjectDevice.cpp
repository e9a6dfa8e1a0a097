#include "destinations/ObjectDevice.h"

#include <chrono>
#include <climits>
#include <thread>
#include <unordered_set>

#include "common/Texts.h"
#include "destinations/StoreMarker.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace {

constexpr int kBusyTries = 5;
constexpr int kFirstPauseMs = 200;
// Files above this go up in parts of kPartBytes (one part in memory at a time).
constexpr uint64_t kMultipartAbove = 64ull << 20;
constexpr size_t kPartBytes = 16u << 20;

std::string Trimmed(std::string_view s) {
  size_t begin = 0;
  while (begin < s.size() && (s[begin] == ' ' || (s[begin] >= '\t' && s[begin] <= '\r'))) ++begin;
  size_t end = s.size();
  while (end > begin && (s[end - 1] == ' ' || (s[end - 1] >= '\t' && s[end - 1] <= '\r'))) --end;
  return std::string(s.substr(begin, end - begin));
}

void Normalise(ObjectStoreSettings* s) {
  s->endpoint = Trimmed(s->endpoint);
  while (!s->endpoint.empty() && s->endpoint.back() == '/') s->endpoint.pop_back();
  s->region = Trimmed(s->region);
  if (s->region.empty()) s->region = "us-east-1";
  s->bucket = Trimmed(s->bucket);
  s->accessKey = Trimmed(s->accessKey);
  s->secretKey = Trimmed(s->secretKey);
  s->pinnedKey = Trimmed(s->pinnedKey);
  std::string prefix = Trimmed(s->prefix);
  for (char& c : prefix) {
    if (c == '\\') c = '/';
  }
  // "a/./b//" is "a/b/"; a ".." stays, and no request goes with it.
  std::string kept;
  size_t begin = 0;
  while (begin <= prefix.size()) {
    size_t end = prefix.find('/', begin);
    if (end == std::string::npos) end = prefix.size();
    const std::string part = prefix.substr(begin, end - begin);
    if (!part.empty() && part != ".") kept += part + "/";
    begin = end + 1;
  }
  prefix = kept;
  s->prefix = prefix;
  if (s->pathStyle != 0) s->pathStyle = 1;
}

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

ObjectFailure FailureOf(const ObjectReply& reply) {
  if (reply.status == 0 && (reply.transport == 60 || reply.transport == 90))
    return ObjectFailure::kCertificate;  // peer not verified; pinned key differs
  if (reply.status == 0 && reply.transport == 1) return ObjectFailure::kNotEncrypted;
  if (reply.status == 0 && reply.transport == 3) return ObjectFailure::kBadName;
  if (reply.status == 0) return ObjectFailure::kUnreachable;
  if (reply.code == "QuotaExceeded") return ObjectFailure::kQuota;
  if (reply.code == "RequestTimeTooSkewed") return ObjectFailure::kClockSkew;
  if (reply.status == 403) return ObjectFailure::kKeys;
  if (reply.code == "NoSuchBucket") return ObjectFailure::kNoBucket;
  if (Busy(reply)) return ObjectFailure::kBusy;
  if (reply.status >= 500) return ObjectFailure::kOther;
  return ObjectFailure::kNone;
}

}  // namespace

std::string ReadableObjectStore(const ObjectStoreSettings& s) {
  return "s3://" + s.bucket + "/" + s.prefix;
}

std::string ObjectEndpointHost(std::string_view endpoint) {
  const size_t scheme = endpoint.find("://");
  std::string_view host = scheme == std::string_view::npos ? endpoint : endpoint.substr(scheme + 3);
  host = host.substr(0, host.find('/'));
  if (!host.empty() && host.front() == '[') return std::string(host.substr(0, host.find(']') + 1));
  return std::string(host.substr(0, host.find(':')));
}

CObjectDevice::~CObjectDevice() { Close(); }

ObjectProbeResult CObjectDevice::TestConnection() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  const ObjectStoreSettings s = GetObjectSettings();
  session_.SetOptions(s);
  ObjectProbeResult result;
  const auto failed = [&](ObjectProbeStep step, const ObjectReply& reply) {
    result.failedAt = step;
    result.cause = FailureOf(reply);
    if (result.cause == ObjectFailure::kNone) result.cause = ObjectFailure::kOther;
    return result;
  };
  ObjectReply reply = Retried([&] { return session_.Probe(); });
  if (!reply.Ok()) return failed(ObjectProbeStep::kReach, reply);
  const std::string key = s.prefix + ".~bvprobe-" + NewStoreId();
  const std::string text = "probe " + key;
  reply = Retried([&] { return session_.PutText(key, text); });
  if (!reply.Ok()) return failed(ObjectProbeStep::kWrite, reply);
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
  return result;
}

bool CObjectDevice::LoadSettings() {
  const std::string ini = DevicesIniPath();
  if (ini.empty() || !plat::FileExists(ini)) return false;
  auto text = [&](const char* key, const char* fallback) {
    return plat::GetProfileString(ini, kObjectDeviceSection, key, fallback, 1023);
  };
  ObjectStoreSettings s;
  s.endpoint = text("Endpoint", "");
  s.region = text("Region", "us-east-1");
  s.bucket = text("Bucket", "");
  s.prefix = text("Prefix", "");
  s.accessKey = text("AccessKey", "");
  s.secretKey = text("SecretKey", "");
  s.pinnedKey = text("PinnedKey", "");
  s.pathStyle = plat::GetProfileInt(ini, kObjectDeviceSection, "PathStyle", 1);
  s.timeout = plat::GetProfileInt(ini, kObjectDeviceSection, "TimeOut", 30);
  Normalise(&s);
  std::lock_guard<std::mutex> guard(settingsLock_);
  settings_ = std::move(s);
  return true;
}

bool CObjectDevice::SaveSettings() {
  const std::string ini = DevicesIniPath();
  if (ini.empty()) return false;
  // The file holds the secret key: readable by its owner only, an existing
  // one too (it keeps that mode through the writes below).
  std::string before;
  if (plat::FileExists(ini) && !plat::ReadWholeFile(ini, &before)) return false;
  if (!plat::WriteFileAtomic(ini, before, /*privateMode=*/true)) return false;
  const ObjectStoreSettings s = GetObjectSettings();
  auto put = [&](const char* key, const std::string& value) {
    std::string safe;
    return ProfileSafeValue(value, &safe) &&
           plat::WriteProfileString(ini, kObjectDeviceSection, key, safe.c_str());
  };
  bool ok = put("Endpoint", s.endpoint);
  ok = put("Region", s.region) && ok;
  ok = put("Bucket", s.bucket) && ok;
  ok = put("Prefix", s.prefix) && ok;
  ok = put("AccessKey", s.accessKey) && ok;
  ok = put("SecretKey", s.secretKey) && ok;
  ok = put("PathStyle", std::to_string(s.pathStyle)) && ok;
  ok = put("PinnedKey", s.pinnedKey) && ok;
  ok = put("TimeOut", std::to_string(s.timeout)) && ok;
  return ok;
}

void CObjectDevice::Configure(const PlanSettings& settings) {
  ObjectStoreSettings s = settings.objectStore;
  Normalise(&s);
  std::lock_guard<std::mutex> guard(settingsLock_);
  settings_ = std::move(s);
}

ObjectStoreSettings CObjectDevice::GetObjectSettings() const {
  std::lock_guard<std::mutex> guard(settingsLock_);
  return settings_;
}

bool CObjectDevice::IsSameVolume(const CDestination& other) const {
  if (&other == this) return true;
  const auto* object = dynamic_cast<const CObjectDevice*>(&other);
  if (object == nullptr) return false;
  const ObjectStoreSettings a = GetObjectSettings(), b = object->GetObjectSettings();
  return plat::ToLower(a.endpoint) == plat::ToLower(b.endpoint) && a.bucket == b.bucket;
}

bool CObjectDevice::IsSameDestination(const CDestination& other) const {
  const auto* object = dynamic_cast<const CObjectDevice*>(&other);
  return IsSameVolume(other) &&
         (&other == this || GetObjectSettings().prefix == object->GetObjectSettings().prefix);
}

std::string CObjectDevice::GetRootPath() const { return "/" + GetObjectSettings().prefix; }

std::string CObjectDevice::KeyOf(std::string_view path) const {
  if (path.empty() || path.front() != '/') return "";
  return std::string(path.substr(1));
}

template <typename Request>
ObjectReply CObjectDevice::Retried(Request request) {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  ObjectReply reply = request();
  for (int pause = kFirstPauseMs, tries = 1; Busy(reply) && tries < kBusyTries;
       pause *= 2, ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    reply = request();
  }
  connected_ = reply.status != 0 && reply.status != 403 && reply.code != "NoSuchBucket";
  const ObjectFailure failure = FailureOf(reply);
  if (failure != ObjectFailure::kNone || reply.Ok()) failure_ = failure;
  if (!connected_) listed_.clear();  // another connection: its listings are not known
  return reply;
}

uint32_t CObjectDevice::ErrorOf(const ObjectReply& reply) const {
  if (reply.status == 0 && reply.transport == 3) return 123;        // a name with a ".." step
  if (reply.status == 0) return reply.transport == 28 ? 1460 : 59;  // 28: the wait ran out
  if (reply.code == "QuotaExceeded") return 112;
  if (reply.status == 403) return 5;
  if (reply.code == "NoSuchBucket") return 3;
  if (reply.status == 404) return 2;
  if (reply.code == "BadDigest") return 23;
  return 59;
}

bool CObjectDevice::Prepare(bool initialize) {
  {
    std::lock_guard<std::recursive_mutex> guard(sessionLock_);
    session_.SetOptions(GetObjectSettings());
  }
  if (!Retried([&] { return session_.Probe(); }).Ok()) return false;
  if (initialize) {
    const std::string marker = KeyOf(GetRootPath()) + kStoreMarkerName;
    if (!Retried([&] { return session_.Head(marker); }).Ok())
      Retried([&] { return session_.PutText(marker, StoreMarkerText(NewStoreId())); });
  }
  return true;
}

void CObjectDevice::Close() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  session_.Close();
  listed_.clear();
  connected_ = false;
}

void CObjectDevice::Refresh() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  session_.SetOptions(GetObjectSettings());
  Retried([&] { return session_.Probe(); });
}

const std::map<std::string, uint64_t>* CObjectDevice::Listing(const std::string& folderKey) {
  const auto kept = listed_.find(folderKey);
  if (kept != listed_.end()) return &kept->second;
  std::vector<ObjectEntry> entries;
  if (!Retried([&] { return session_.List(folderKey, &entries); }).Ok()) return nullptr;
  auto& names = listed_[folderKey];
  for (const ObjectEntry& e : entries) {
    if (!e.folder) names[e.name] = e.size;
  }
  return &names;
}

void CObjectDevice::Known(const std::string& key, bool present, uint64_t size) {
  const size_t slash = key.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : key.substr(0, slash + 1);
  const auto kept = listed_.find(folder);
  if (kept == listed_.end()) return;
  if (present)
    kept->second[key.substr(folder.size())] = size;
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
  for (const auto& [entry, size] : *names) {
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
  return !key.empty() && Retried([&] { return session_.Head(key); }).Ok();
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
  plat::File file;
  if (!file.Open(source, plat::File::kRead, plat::File::kOpenExisting)) return 2;
  uint64_t size = 0;
  if (!file.GetSize(&size)) return 30;
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
    const uint32_t sent = PutInParts(key, &file, size, stillSame);
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
    return session_.Put(key, &file, size, md5, stillSame);
  });
  Settle(reply.Ok() && !torn);
  if (torn) return plat::kErrSourceChanged;
  if (!reply.Ok()) return ErrorOf(reply);
  Known(key, true, size);
  return kDestOk;
}

void CObjectDevice::Rotate(const std::string& target, const std::function<void()>& beforeReplace) {
  if (!beforeReplace) return;
  rotation_ = Rotation{target, {}, {}};
  beforeReplace();
}

void CObjectDevice::Settle(bool whole) {
  Rotation done = std::move(rotation_);
  rotation_ = Rotation{};
  for (const std::string& key : whole ? done.deletes : done.copied) {
    if (Retried([&] { return session_.Delete(key); }).Ok()) Known(key, false, 0);
  }
}

uint32_t CObjectDevice::PutInParts(const std::string& key, plat::File* file, uint64_t size,
                                   const std::function<bool()>& stillSame) {
  std::string uploadId;
  ObjectReply reply = Retried([&] { return session_.StartParts(key, &uploadId); });
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
  session_.AbortParts(key, uploadId);
  return reply.code == "SourceUnread" ? 30 : ErrorOf(reply);
}

uint32_t CObjectDevice::SweepTemporaryCopies() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  std::vector<std::pair<std::string, std::string>> uploads;
  const std::string prefix = GetObjectSettings().prefix;
  if (!Retried([&] { return session_.ListParts(prefix, &uploads); }).Ok()) return 0;
  uint32_t aborted = 0;
  for (const auto& [key, id] : uploads) {
    if (!IsInFlight(id) && Retried([&] { return session_.AbortParts(key, id); }).Ok()) ++aborted;
  }
  return aborted;
}

uint32_t CObjectDevice::MoveFile(std::string_view source, std::string_view target) {
  const std::string from = KeyOf(source), to = KeyOf(target);
  if (from.empty() || to.empty()) return kDestOk;
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  if (Retried([&] { return session_.Head(to); }).status != 404) return kDestFailed;
  const ObjectReply copied = Retried([&] { return session_.Copy(from, to); });
  if (!copied.Ok()) return kDestFailed;
  Known(to, true, 0);
  if (!rotation_.target.empty() && from == rotation_.target) {
    rotation_.copied.push_back(to);
    return kDestOk;
  }
  if (!Retried([&] { return session_.Delete(from); }).Ok()) return kDestFailed;
  Known(from, false, 0);
  return kDestOk;
}

CDestination::ServerRefusal CObjectDevice::TakeServerRefusal(std::string* server,
                                                             std::string* cause) {
  const ObjectFailure now = failure_;
  if (now == ObjectFailure::kNone || told_.exchange(now) == now) return ServerRefusal::kNone;
  const ObjectStoreSettings s = GetObjectSettings();
  *server = "s3://" + s.bucket + "/" + s.prefix + " (" + s.endpoint + ")";
  const char* key = "OTHER";
  switch (now) {
    case ObjectFailure::kUnreachable:
      key = "UNREACHABLE";
      break;
    case ObjectFailure::kCertificate:
      key = "CERTIFICATE";
      break;
    case ObjectFailure::kNotEncrypted:
      key = "NOT_ENCRYPTED";
      break;
    case ObjectFailure::kBadName:
      key = "NAME";
      break;
    case ObjectFailure::kKeys:
      key = "KEYS";
      break;
    case ObjectFailure::kNoBucket:
      key = "NO_BUCKET";
      break;
    case ObjectFailure::kClockSkew:
      key = "CLOCK_SKEW";
      break;
    case ObjectFailure::kQuota:
      key = "QUOTA";
      break;
    case ObjectFailure::kBusy:
      key = "BUSY";
      break;
    default:
      break;
  }
  *cause = GetText("OBJECT_STORE_REFUSED", key);
  return ServerRefusal::kUnreachable;
}
