// The FTP destination's settings: the fields made canonical, read from and
// written to the plan's "Devices.ini", the store's readable name, and why a
// connection failed in words.
#include "destinations/FtpDevice.h"

#include <mutex>

#include "common/Texts.h"
#include "destinations/StoreMarker.h"
#include "platform/base/Text.h"
#include "platform/files/Files.h"
#include "platform/profile/Profile.h"

namespace {

// The reply wait when the settings give no time-out (as the device's).
constexpr long kDefaultWaitSeconds = 3;

std::string Trimmed(std::string_view s) {
  size_t begin = 0;
  while (begin < s.size() && (s[begin] == ' ' || (s[begin] >= '\t' && s[begin] <= '\r'))) ++begin;
  size_t end = s.size();
  while (end > begin && s[end - 1] == ' ') --end;
  return std::string(s.substr(begin, end - begin));
}

}  // namespace

void NormaliseFtpSettings(FtpSettings* s) {
  s->server = plat::ToLower(Trimmed(s->server));
  if (s->server.rfind("ftp://", 0) == 0) s->server.erase(0, 6);
  const bool sftp = s->server.rfind(kSftpScheme, 0) == 0;
  std::string host = sftp ? s->server.substr(std::size(kSftpScheme) - 1) : s->server;
  while (!host.empty() && host.back() == '/') host.pop_back();
  // A port given with the host ("host:2222", "[::1]:2222") wins.
  size_t colon = std::string::npos;
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    if (close != std::string::npos && close + 1 < host.size() && host[close + 1] == ':')
      colon = close + 1;
  } else if (host.find(':') == host.rfind(':')) {
    colon = host.find(':');
  }
  int32_t explicitPort = 0;
  if (colon != std::string::npos && colon + 1 < host.size() && host.size() - colon <= 6 &&
      host.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
    explicitPort = std::stoi(host.substr(colon + 1));
    host.erase(colon);
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  if (explicitPort > 0 && explicitPort < 65536) s->port = explicitPort;
  // A server typed as "sftp://" is SFTP whatever was chosen.
  if (sftp)
    s->security = kSftp;
  else if (s->security != kSftp && s->security != kFtpPlain)
    s->security = kFtpsRequired;
  // The FTP tab's port (21) left standing for an SFTP server means SSH's.
  if (s->security == kSftp && explicitPort == 0 && (s->port == 0 || s->port == 21)) s->port = 22;
  s->server = s->security == kSftp ? kSftpScheme + host : host;
  s->root = Trimmed(s->root);
  s->proxy = Trimmed(s->proxy);
  s->user = Trimmed(s->user);
  s->password = Trimmed(s->password);
  s->pinnedKey = Trimmed(s->pinnedKey);
  if (s->retryCount < 0) s->retryCount = 0;
  for (char& c : s->root) {
    if (c == '\\') c = '/';
  }
  if (s->root.empty() || s->root.front() != '/') s->root.insert(s->root.begin(), '/');
  if (s->root.back() != '/') s->root.push_back('/');
}

bool CFTPDevice::LoadSettings() {
  const std::string ini = DevicesIniPath();
  if (ini.empty() || !plat::FileExists(ini)) return false;
  auto number = [&](const char* key) {
    return plat::GetProfileInt(ini, kFtpDeviceSection, key, 0);
  };
  auto text = [&](const char* key, const char* fallback) {
    return plat::GetProfileString(ini, kFtpDeviceSection, key, fallback, 1023);
  };
  FtpSettings s;
  s.port = number("Port");
  s.passive = number("Passive");
  s.proxyPort = number("ProxyPort");
  s.timeout = number("TimeOut");
  s.retryCount = number("RetryCount");
  s.server = text("Server", "");
  s.proxy = text("Proxy", "");
  s.user = text("User", "");
  s.password = text("Password", "");
  s.root = text("Root", "/");
  s.pinnedKey = text("PinnedKey", "");
  s.security = number("Security");  // missing: encryption required
  NormaliseFtpSettings(&s);
  std::string id;
  ParseStoreMarker(StoreMarkerText(text("StoreId", "")), &id);
  NoteServerStore(id);
  std::lock_guard<std::mutex> guard(settingsLock_);
  settings_ = std::move(s);
  if (!id.empty()) storeId_ = id;
  return true;
}

bool CFTPDevice::SaveSettings() {
  const std::string ini = DevicesIniPath();
  if (ini.empty()) return false;
  // The file holds the password: it is made readable by its owner only, an
  // existing one too (it keeps that mode through the writes below).
  std::string before;
  if (plat::FileExists(ini) && !plat::ReadWholeFile(ini, &before)) return false;
  if (!plat::WriteFileAtomic(ini, before, /*privateMode=*/true)) return false;
  const FtpSettings s = GetFtpSettings();
  auto put = [&](const char* key, const std::string& value) {
    std::string safe;
    return ProfileSafeValue(value, &safe) &&
           plat::WriteProfileString(ini, kFtpDeviceSection, key, safe.c_str());
  };
  bool ok = put("Passive", std::to_string(s.passive));
  ok = put("Server", s.server) && ok;
  ok = put("Port", std::to_string(s.port)) && ok;
  ok = put("Proxy", s.proxy) && ok;
  ok = put("ProxyPort", std::to_string(s.proxyPort)) && ok;
  ok = put("User", s.user) && ok;
  ok = put("Password", s.password) && ok;
  ok = put("TimeOut", std::to_string(s.timeout)) && ok;
  ok = put("RetryCount", std::to_string(s.retryCount)) && ok;
  ok = put("Root", s.root) && ok;
  ok = put("PinnedKey", s.pinnedKey) && ok;
  ok = put("Security", std::to_string(s.security)) && ok;
  const std::string id = StoreId();
  if (!id.empty()) ok = put("StoreId", id) && ok;
  return ok;
}

void CFTPDevice::Configure(const PlanSettings& settings) {
  FtpSettings s = settings.ftp;
  NormaliseFtpSettings(&s);
  std::lock_guard<std::mutex> guard(settingsLock_);
  // A key trusted for this server stays; another server's never carries over.
  if (s.pinnedKey.empty() && s.server == settings_.server && s.port == settings_.port)
    s.pinnedKey = settings_.pinnedKey;
  settings_ = std::move(s);
}

FtpSettings CFTPDevice::GetFtpSettings() const {
  std::lock_guard<std::mutex> guard(settingsLock_);
  return settings_;
}

std::string CFTPDevice::GetRootPath() const {
  std::lock_guard<std::mutex> guard(settingsLock_);
  return settings_.root;
}

std::string CFTPDevice::ProxyText() const {
  FtpSession probe;
  probe.SetOptions(SessionOptions());
  return probe.ProxyText();
}

bool IsSftpServer(std::string_view server) { return server.rfind(kSftpScheme, 0) == 0; }

std::string ReadableFtpStore(const FtpSettings& settings) {
  FtpSettings s = settings;
  NormaliseFtpSettings(&s);
  const bool sftp = IsSftpServer(s.server);
  // FTPS here is FTP made encrypted on its usual port ("AUTH TLS").
  const char* scheme = s.security == kFtpPlain ? "ftp://" : "ftps://";
  std::string text = sftp ? s.server : scheme + s.server;
  if (s.port != 0 && s.port != (sftp ? 22 : 21)) text += ":" + std::to_string(s.port);
  return text + s.root;
}

std::string CFTPDevice::GetPinnedKey() const {
  std::lock_guard<std::mutex> guard(settingsLock_);
  return settings_.pinnedKey;
}

void CFTPDevice::SetPinnedKey(std::string key) {
  std::lock_guard<std::mutex> guard(settingsLock_);
  settings_.pinnedKey = Trimmed(key);
}

CDestination::ServerRefusal CFTPDevice::TakeServerRefusal(std::string* server, std::string* cause) {
  const ServerRefusal now = refusal_;
  if (now == ServerRefusal::kNone) return ServerRefusal::kNone;
  // A server out of reach that then refuses the login (or the other way
  // round) is said again, with its new cause.
  const FtpFailure why = now == ServerRefusal::kUnreachable ? failure_.load() : FtpFailure::kNone;
  const bool sameKind = told_.exchange(now) == now;
  if (toldFailure_.exchange(why) == why && sameKind) return ServerRefusal::kNone;
  const FtpSettings s = GetFtpSettings();
  *server = s.server + ":" + std::to_string(s.port);
  const char* section = "SERVER_REFUSED";
  const char* key = "CAUSE_OTHER";
  switch (now) {
    case ServerRefusal::kKeyChanged:
      section = "SERVER_KEY";
      key = "CHANGED";
      break;
    case ServerRefusal::kKeyUntrusted:
      key = "KEY_UNTRUSTED";
      break;
    case ServerRefusal::kNotEncrypted:
      key = "NOT_ENCRYPTED";
      break;
    default:
      switch (failure_.load()) {
        case FtpFailure::kTimeout:
          key = "CAUSE_TIMEOUT";
          break;
        case FtpFailure::kConnect:
          key = "CAUSE_CONNECT";
          break;
        case FtpFailure::kResolve:
          key = "CAUSE_RESOLVE";
          break;
        case FtpFailure::kLogin:
          key = "CAUSE_LOGIN";
          break;
        default:
          break;
      }
  }
  const long seconds = s.timeout > 0 ? s.timeout : kDefaultWaitSeconds;
  if (seconds == 1 && std::string_view(key) == "CAUSE_TIMEOUT") key = "CAUSE_TIMEOUT_ONE";
  std::string words = GetText(section, key);
  if (const size_t at = words.find("%s"); at != std::string::npos)
    words.replace(at, 2, std::to_string(seconds));
  *cause = std::move(words);
  return now == ServerRefusal::kUnreachable && failure_.load() == FtpFailure::kLogin
             ? ServerRefusal::kLoginRefused
             : now;
}
