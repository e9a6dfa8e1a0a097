// CObjectDevice's settings ("Devices.ini"), what makes two of them the same
// store, and the cause of a failure in words.
#include "destinations/ObjectDevice.h"

#include "common/EngineEvents.h"
#include "common/Texts.h"
#include "platform/base/Text.h"
#include "platform/files/Files.h"
#include "platform/profile/Profile.h"
#include "platform/volumes/Paths.h"

namespace {

std::string Trimmed(std::string_view s) {
  size_t begin = 0;
  while (begin < s.size() && (s[begin] == ' ' || (s[begin] >= '\t' && s[begin] <= '\r'))) ++begin;
  size_t end = s.size();
  while (end > begin && (s[end - 1] == ' ' || (s[end - 1] >= '\t' && s[end - 1] <= '\r'))) --end;
  return std::string(s.substr(begin, end - begin));
}

}  // namespace

void NormaliseObjectSettings(ObjectStoreSettings* s) {
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
  // "a//b/" is "a/b/"; a "." or ".." stays, and no request goes with it.
  std::string kept;
  size_t begin = 0;
  while (begin <= prefix.size()) {
    size_t end = prefix.find('/', begin);
    if (end == std::string::npos) end = prefix.size();
    const std::string part = prefix.substr(begin, end - begin);
    if (!part.empty()) kept += part + "/";
    begin = end + 1;
  }
  prefix = kept;
  s->prefix = prefix;
  if (s->pathStyle != 0) s->pathStyle = 1;
}

std::string ReadableObjectStore(const ObjectStoreSettings& s) {
  return "s3://" + s.bucket + "/" + s.prefix;
}

bool ObjectPrefixHasDots(std::string_view prefix) {
  for (size_t begin = 0; begin <= prefix.size();) {
    size_t end = prefix.find_first_of("/\\", begin);
    if (end == std::string_view::npos) end = prefix.size();
    const std::string_view part = prefix.substr(begin, end - begin);
    if (part == "." || part == "..") return true;
    begin = end + 1;
  }
  return false;
}

std::string ObjectEndpointHost(std::string_view endpoint) {
  const size_t scheme = endpoint.find("://");
  std::string_view host = scheme == std::string_view::npos ? endpoint : endpoint.substr(scheme + 3);
  host = host.substr(0, host.find('/'));
  if (!host.empty() && host.front() == '[') return std::string(host.substr(0, host.find(']') + 1));
  return std::string(host.substr(0, host.find(':')));
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
  NormaliseObjectSettings(&s);
  // Written by hand or copied, the file holding the secret may be readable
  // by others: it is made the owner's alone, and that is said.
  plat::File file;
  uint32_t mode = 0;
  int64_t written = 0;
  std::string whole;
  if (!s.secretKey.empty() && file.Open(ini, plat::File::kRead, plat::File::kOpenExisting) &&
      file.GetModeAndTime(&mode, &written) && (mode & 077) != 0) {
    file.Close();
    if (plat::ReadWholeFile(ini, &whole) && plat::WriteFileAtomic(ini, whole, true)) {
      std::string native = ini, words = GetText("OBJECT_STORE_REFUSED", "SECRET_TIGHTENED");
      plat::ToNativePath(ini, &native);
      if (const size_t at = words.find("%s"); at != std::string::npos) words.replace(at, 2, native);
      PostEvent(kEvInvalidContent, words, 0, native);
    }
  }
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
  NormaliseObjectSettings(&s);
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

CDestination::ServerRefusal CObjectDevice::TakeServerRefusal(std::string* server,
                                                             std::string* cause) {
  ObjectFailure now = failure_;
  int pending = 1;
  if (now == ObjectFailure::kEndlessListing) {
    if (!endless_.compare_exchange_strong(pending, 2)) return ServerRefusal::kNone;
    told_ = now;
  } else if (now == ObjectFailure::kNone || told_.exchange(now) == now) {
    if (!endless_.compare_exchange_strong(pending, 2)) return ServerRefusal::kNone;
    now = ObjectFailure::kEndlessListing;
  }
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
    case ObjectFailure::kDenied:
      key = "DENIED";
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
    case ObjectFailure::kRedirect:
      key = "REDIRECT";
      break;
    case ObjectFailure::kMarkerDenied:
      key = "MARKER_DENIED";
      break;
    case ObjectFailure::kMarkerUnwritable:
      key = "MARKER_UNWRITABLE";
      break;
    case ObjectFailure::kEndlessListing:
      key = cutShort_ ? "LISTING_CUT_SHORT" : "ENDLESS_LISTING";
      break;
    default:
      break;
  }
  *cause = GetText("OBJECT_STORE_REFUSED", key);
  if (const size_t at = cause->find("%s"); at != std::string::npos) {
    std::lock_guard<std::mutex> guard(settingsLock_);
    cause->replace(at, 2,
                   now == ObjectFailure::kMarkerUnwritable ? ReadableObjectStore(s)
                   : redirectHost_.empty()                 ? s.endpoint
                                                           : redirectHost_);
  }
  // The store answered and refused what this plan's settings ask of it: said
  // as a refusal of the store, not as a server out of reach.
  const bool refused = now == ObjectFailure::kBadName || now == ObjectFailure::kDenied ||
                       now == ObjectFailure::kMarkerDenied ||
                       now == ObjectFailure::kMarkerUnwritable;
  if (refused) return ServerRefusal::kStoreRefused;
  return now == ObjectFailure::kKeys ? ServerRefusal::kLoginRefused : ServerRefusal::kUnreachable;
}
