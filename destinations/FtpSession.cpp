// The FTP session: the connection and its login, the key probe, and the
// commands that change or ask about one path.
#include "destinations/FtpSession.h"
#include "destinations/CurlKeys.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "destinations/FtpCurl.h"
#include "platform/files/Files.h"
#include "platform/process/ThisMachine.h"

using ftpcurl::H;
using ftpcurl::IsRefusal;
using ftpcurl::SList;

namespace {

// A fingerprint no host key has: it makes the library refuse an SFTP server
// whose key is not pinned yet, before any password is sent, and say the key
// it found.
constexpr char kNoSshKey[] = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
constexpr std::string_view kSshKeyLead = "SHA256:";

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

int StopWhenCancelled(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return plat::ThreadCancelRequested() ? 1 : 0;
}

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

// Closes a connection of the library; while an upload awaits it, the control
// connection's last words are read first (a server says why it stopped
// reading only after it stopped: the library gives up at the failed send).
int CloseKeepingReply(void* data, curl_socket_t socket) {
  auto* lost = static_cast<FtpSession::LostReply*>(data);
  if (lost->controlPort != 0 && !plat::ThreadCancelRequested() &&
      plat::PeerPortOf(socket) == lost->controlPort) {
    constexpr int kReplyWaitMs = 2000;
    lost->line = plat::ReadWaiting(socket, kReplyWaitMs);
    lost->controlPort = 0;
  }
  plat::CloseSocket(socket);
  return 0;
}

// Keeps the facts line of an MLST reply (" type=...; /path"): the one reply
// line that begins with a blank.
size_t KeepFacts(char* data, size_t size, size_t count, void* out) {
  const size_t n = size * count;
  std::string_view line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  auto* facts = static_cast<std::string*>(out);
  if (facts->empty() && line.size() > 1 && line[0] == ' ') {
    line.remove_prefix(1);
    *facts = std::string(line.substr(0, line.find(' ')));
  }
  return n;
}

// Takes the host key out of the library's refusal ("... Remote BASE64= is
// not equal to ...") as "SHA256:BASE64" without its padding.
std::string SshKeyOfRefusal(std::string_view text) {
  constexpr std::string_view kLead = "Remote ";
  const size_t at = text.find(kLead);
  if (at == std::string_view::npos) return {};
  std::string_view key = text.substr(at + kLead.size());
  key = key.substr(0, key.find(' '));
  while (!key.empty() && key.back() == '=') key.remove_suffix(1);
  if (key.empty() || key.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                           "0123456789+/") != std::string_view::npos)
    return {};
  return std::string(kSshKeyLead) + std::string(key);
}

}  // namespace

FtpSession::FtpSession() { GlobalInit(); }

FtpSession::~FtpSession() { Close(); }

std::string FtpSession::ProxyText() const {
  if (options_.proxy.empty() || options_.proxyPort == 0) return {};
  return "ftp=ftp://" + options_.proxy + ":" + std::to_string(options_.proxyPort);
}

bool FtpSession::Open() {
  if (handle_ == nullptr) handle_ = curl_easy_init();
  if (multi_ == nullptr) multi_ = curl_multi_init();
  return handle_ != nullptr && multi_ != nullptr;
}

void FtpSession::Disconnect() {
  if (handle_ == nullptr) return;
  Close();  // the connection lives in the multi handle's cache
  Open();
}

void FtpSession::Close() {
  if (handle_ != nullptr) curl_easy_cleanup(H(handle_));
  if (multi_ != nullptr) curl_multi_cleanup(static_cast<CURLM*>(multi_));
  handle_ = nullptr;
  multi_ = nullptr;
}

int FtpSession::Run() {
  // A path holding a line break or NUL never reaches the library: it would
  // refuse it only once connected, and drop the connection with it.
  if (unsendable_) return CURLE_URL_MALFORMAT;
  // Driven here in short polls: the blocking call may sleep up to a second
  // while the data connection of a transfer is being set up.
  CURLM* multi = static_cast<CURLM*>(multi_);
  if (curl_multi_add_handle(multi, H(handle_)) != CURLM_OK) return CURLE_FAILED_INIT;
  int running = 1;
  while (running > 0) {
    if (curl_multi_perform(multi, &running) != CURLM_OK) break;
    if (running > 0) curl_multi_poll(multi, nullptr, 0, 10, nullptr);
  }
  CURLcode rc = CURLE_FAILED_INIT;
  int left = 0;
  while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
    if (msg->msg == CURLMSG_DONE && msg->easy_handle == H(handle_)) rc = msg->data.result;
  }
  curl_multi_remove_handle(multi, H(handle_));
  return rc;
}

std::string FtpSession::UrlOf(std::string_view path, bool folder) const {
  std::string host = options_.server;
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  std::string url = (options_.sftp ? "sftp://" : "ftp://") + host;
  if (options_.port != 0) url += ":" + std::to_string(options_.port);
  // "%2F": the path is taken from the server's root, not the login folder
  // (an SFTP path always is).
  url += options_.sftp ? "/" : "/%2F";
  size_t pos = 0;
  while (pos < path.size() && path[pos] == '/') ++pos;
  while (pos < path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(pos, end - pos);
    if (!part.empty()) {
      char* escaped = curl_easy_escape(H(handle_), part.data(), static_cast<int>(part.size()));
      url += escaped != nullptr ? escaped : "";
      curl_free(escaped);
      if (end < path.size() || folder) url += '/';
    }
    pos = end + 1;
  }
  if (folder && url.back() != '/') url += '/';
  return url;
}

std::string FtpSession::SftpArgument(std::string_view path) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

void FtpSession::Prepare(const std::string& url, long waitMs) {
  CURL* h = H(handle_);
  curl_easy_reset(h);  // live connections stay with the handle
  // The path, escaped by UrlOf, so "%" starts only escapes: these are CR, LF
  // and NUL.
  const size_t host = url.find("://");
  const std::string_view path = std::string_view(url).substr(
      std::min(url.size(), url.find('/', host == std::string::npos ? 0 : host + 3)));
  unsendable_ = path.find("%0D") != std::string_view::npos ||
                path.find("%0A") != std::string_view::npos ||
                path.find("%00") != std::string_view::npos;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, options_.sftp ? "sftp" : "ftp");
  curl_easy_setopt(h, CURLOPT_USERNAME, options_.user.c_str());
  curl_easy_setopt(h, CURLOPT_PASSWORD, options_.password.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  // A server that stops answering or a transfer that stalls fails within
  // the reply wait, whatever the request's own wait.
  const long replyMs = std::max(1000L, options_.replyWaitMs);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, waitMs);
  // The connection includes the login, several replies each given the wait.
  // An SSH login is one exchange the library does not split into replies: the
  // whole of it (greeting, key exchange, authentication) gets the wait, but
  // never less than a busy machine's key exchange takes.
  constexpr long kLoginReplies = 8;
  constexpr long kSshLoginLeastMs = 2000;
  const long connectMs =
      options_.sftp ? std::max(replyMs, kSshLoginLeastMs) : replyMs * kLoginReplies;
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, std::min(waitMs, connectMs));
  curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT, replyMs / 1000);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, replyMs / 1000);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, StopWhenCancelled);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Discard);  // replies to requests without a body
  curl_easy_setopt(h, CURLOPT_PROXY, "");               // no proxy from the environment
  curl_easy_setopt(h, CURLOPT_CLOSESOCKETFUNCTION, CloseKeepingReply);
  curl_easy_setopt(h, CURLOPT_CLOSESOCKETDATA, &lostReply_);
  if (options_.sftp) {
    // Only the pinned host key is accepted (none while nothing is pinned).
    const std::string_view pinned = options_.pinnedKey;
    const std::string key = pinned.rfind(kSshKeyLead, 0) == 0
                                ? std::string(pinned.substr(kSshKeyLead.size()))
                                : std::string(kNoSshKey);
    curl_easy_setopt(h, CURLOPT_SSH_HOST_PUBLIC_KEY_SHA256, key.c_str());
    long auth = CURLSSH_AUTH_PASSWORD | CURLSSH_AUTH_KEYBOARD | CURLSSH_AUTH_AGENT;
    if (!options_.keyFile.empty()) {
      curl_easy_setopt(h, CURLOPT_SSH_PRIVATE_KEYFILE, options_.keyFile.c_str());
      auth |= CURLSSH_AUTH_PUBLICKEY;
    }
    curl_easy_setopt(h, CURLOPT_SSH_AUTH_TYPES, auth);
    // Store files and folders are private on the server too.
    curl_easy_setopt(h, CURLOPT_NEW_FILE_PERMS, 0600L);
    curl_easy_setopt(h, CURLOPT_NEW_DIRECTORY_PERMS, 0700L);
    return;
  }
  // Encrypted login and transfers, or none at all: a server (or a go-between)
  // that refuses AUTH TLS never sees the user name or the password. A pinned
  // key stands in for the authorities: the certificate itself is not checked
  // then, only its key.
  curl_easy_setopt(h, CURLOPT_USE_SSL,
                   static_cast<long>(options_.requireTls ? CURLUSESSL_ALL : CURLUSESSL_NONE));
  if (!options_.pinnedKey.empty()) {
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(h, CURLOPT_PINNEDPUBLICKEY, options_.pinnedKey.c_str());
  }
  curl_easy_setopt(h, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
  if (!options_.passive) curl_easy_setopt(h, CURLOPT_FTPPORT, "-");
  if (!ProxyText().empty()) {
    const std::string proxy = "http://" + options_.proxy + ":" + std::to_string(options_.proxyPort);
    curl_easy_setopt(h, CURLOPT_PROXY, proxy.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPPROXYTUNNEL, 1L);
  }
}

static FtpFailure FailureOf(CURLcode rc) {
  switch (rc) {
    case CURLE_OK:
      return FtpFailure::kNone;
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_FTP_ACCEPT_TIMEOUT:
      return FtpFailure::kTimeout;
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
      return FtpFailure::kConnect;
    case CURLE_COULDNT_RESOLVE_HOST:
      return FtpFailure::kResolve;
    case CURLE_LOGIN_DENIED:
    case CURLE_AUTH_ERROR:
      return FtpFailure::kLogin;
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return FtpFailure::kEncryption;
    default:
      return FtpFailure::kOther;
  }
}

FtpSession::Outcome FtpSession::Perform() {
  const CURLcode rc = static_cast<CURLcode>(Run());
  failure_ = FailureOf(rc);
  if (rc == CURLE_OK) return kDone;
  if (rc == CURLE_USE_SSL_FAILED) tlsFault_ = FtpTlsFault::kNotOffered;
  if (rc == CURLE_PEER_FAILED_VERIFICATION) {
    // SFTP: refused by the host key check, which always runs.
    tlsFault_ = options_.sftp && options_.pinnedKey.rfind(kSshKeyLead, 0) == 0
                    ? FtpTlsFault::kKeyChanged
                    : FtpTlsFault::kUntrusted;
  }
  if (rc == CURLE_SSL_PINNEDPUBKEYNOTMATCH) tlsFault_ = FtpTlsFault::kKeyChanged;
  if (IsRefusal(rc)) return kRefused;
  Disconnect();
  return kLost;
}

FtpSession::Outcome FtpSession::Login(long waitMs) {
  encrypted_ = false;
  sizeUnknown_ = false;
  timeCommandUnknown_ = false;
  modesRefused_ = false;  // a server set up anew may keep copies private now
  modesChecked_ = false;
  tlsFault_ = FtpTlsFault::kNone;
  if (!Open()) return kLost;
  Prepare(UrlOf("/", true), waitMs);
  curl_easy_setopt(H(handle_), CURLOPT_NOBODY, 1L);
  if (options_.sftp) {
    const Outcome outcome = Perform();
    encrypted_ = outcome == kDone;  // SSH always is
    return outcome;
  }
  if (options_.requireTls) {
    const Outcome outcome = Perform();
    encrypted_ = outcome == kDone;  // nothing goes in clear then
    return outcome;
  }
  return Perform();
}

std::string FtpSession::ProbeKey(long waitMs) {
  // A key that cannot match makes the library say which key it found.
  FtpSession probe;
  FtpSessionOptions o = options_;
  if (o.sftp) {
    o.pinnedKey.clear();
    o.password.clear();  // refused before it would be sent anyway
    probe.SetOptions(o);
    if (!probe.Open()) return {};
    char failure[CURL_ERROR_SIZE] = {};
    probe.Prepare(probe.UrlOf("/", true), waitMs);
    curl_easy_setopt(H(probe.handle_), CURLOPT_NOBODY, 1L);
    curl_easy_setopt(H(probe.handle_), CURLOPT_ERRORBUFFER, failure);
    if (probe.Run() != CURLE_PEER_FAILED_VERIFICATION) return {};
    return SshKeyOfRefusal(failure);
  }
  o.pinnedKey = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
  probe.SetOptions(o);
  if (!probe.Open()) return {};
  std::string key;
  probe.Prepare(probe.UrlOf("/", true), waitMs);
  CURL* h = H(probe.handle_);
  curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(h, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_CONTROL));
  curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, NoteCurlKeyText);
  curl_easy_setopt(h, CURLOPT_DEBUGDATA, &key);
  probe.Run();
  return key;
}

bool FtpSession::CommandOf(std::string_view verb, std::initializer_list<std::string_view> paths,
                           std::string* line) const {
  *line = verb;
  for (std::string_view path : paths) {
    if (path.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) return false;
    *line += ' ';
    *line += options_.sftp ? SftpArgument(path) : std::string(path);
  }
  return true;
}

FtpSession::Outcome FtpSession::Commands(const std::vector<std::string>& commands, long waitMs) {
  if (!Open()) return kLost;
  SList quote;
  for (const std::string& c : commands) {
    if (c.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) return kRefused;
    quote.Add(c);
  }
  Prepare(UrlOf("/", true), waitMs);
  curl_easy_setopt(H(handle_), CURLOPT_NOBODY, 1L);
  curl_easy_setopt(H(handle_), CURLOPT_QUOTE, quote.list);
  return Perform();
}

FtpSession::Outcome FtpSession::Ask(const std::string& line, long waitMs, bool* refused) {
  *refused = false;
  const Outcome outcome = Commands({"*" + line}, waitMs);
  if (outcome != kDone) return outcome;
  long reply = 0;
  curl_easy_getinfo(H(handle_), CURLINFO_RESPONSE_CODE, &reply);
  *refused = reply >= 400;
  return kDone;
}

FtpSession::Outcome FtpSession::MakeFolders(const std::vector<std::string>& folders, long waitMs) {
  std::vector<std::string> commands;
  for (const std::string& f : folders) {
    // A folder that cannot be named ends the walk: none below it can be made.
    if (!CommandOf(options_.sftp ? "*mkdir" : "*MKD", {f}, &commands.emplace_back())) {
      commands.pop_back();
      break;
    }
  }
  return commands.empty() ? kRefused : Commands(commands, waitMs);
}

FtpSession::Outcome FtpSession::Delete(std::string_view path, long waitMs) {
  std::string line;
  if (!CommandOf(options_.sftp ? "rm" : "DELE", {path}, &line)) return kRefused;
  return Commands({line}, waitMs);
}

FtpSession::Outcome FtpSession::SetMode(std::string_view path, uint32_t mode, long waitMs) {
  char bits[16];
  std::snprintf(bits, sizeof bits, "%03o", mode & 0777u);
  std::string line;
  if (options_.sftp ? !CommandOf("chmod", {bits, path}, &line)
                    : !CommandOf(std::string("SITE CHMOD ") + bits, {path}, &line))
    return kRefused;
  return Commands({line}, waitMs);
}

FtpSession::Outcome FtpSession::Rename(std::string_view from, std::string_view to, long waitMs) {
  std::string rnfr, rnto;
  if (options_.sftp) {
    if (!CommandOf("rename", {from, to}, &rnfr)) return kRefused;
    return Commands({rnfr}, waitMs);
  }
  if (!CommandOf("RNFR", {from}, &rnfr) || !CommandOf("RNTO", {to}, &rnto)) return kRefused;
  return Commands({rnfr, rnto}, waitMs);
}

FtpSession::Outcome FtpSession::CheckFolder(std::string_view folder, long waitMs) {
  if (!options_.sftp) {
    std::string line;
    if (!CommandOf("CWD", {folder}, &line)) return kRefused;
    return Commands({line}, waitMs);
  }
  if (!Open()) return kLost;
  // A folder that cannot be read fails its listing; the names are not kept.
  Prepare(UrlOf(folder, true), waitMs);
  curl_easy_setopt(H(handle_), CURLOPT_DIRLISTONLY, 1L);
  return Perform();
}

FtpSession::Outcome FtpSession::Stat(std::string_view path, long waitMs, uint64_t* size,
                                     int64_t* time) {
  if (!Open()) return kLost;
  Prepare(UrlOf(path, false), waitMs);
  curl_easy_setopt(H(handle_), CURLOPT_NOBODY, 1L);
  curl_easy_setopt(H(handle_), CURLOPT_FILETIME, 1L);
  const Outcome outcome = Perform();
  if (outcome != kDone) return outcome;
  curl_off_t t = -1, n = -1;
  curl_easy_getinfo(H(handle_), CURLINFO_FILETIME_T, &t);
  if (curl_easy_getinfo(H(handle_), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &n) != CURLE_OK || n < 0)
    return kRefused;  // no such file (or a folder)
  *size = static_cast<uint64_t>(n);
  *time = t >= 0 ? static_cast<int64_t>(t) : 0;
  return kDone;
}

FtpSession::Outcome FtpSession::FileTime(std::string_view path, long waitMs, int64_t* time) {
  if (!Open()) return kLost;
  Prepare(UrlOf(path, false), waitMs);
  curl_easy_setopt(H(handle_), CURLOPT_NOBODY, 1L);
  curl_easy_setopt(H(handle_), CURLOPT_FILETIME, 1L);
  const Outcome outcome = Perform();
  curl_off_t t = -1;
  if (outcome != kDone) return outcome;
  if (curl_easy_getinfo(H(handle_), CURLINFO_FILETIME_T, &t) != CURLE_OK || t < 0) return kRefused;
  *time = static_cast<int64_t>(t);
  return kDone;
}

FtpSession::Outcome FtpSession::Facts(std::string_view path, long waitMs, std::string* facts) {
  facts->clear();
  std::string line;
  if (options_.sftp || !CommandOf("MLST", {path}, &line)) return kRefused;
  if (!Open()) return kLost;
  SList quote;
  quote.Add(line);
  Prepare(UrlOf("/", true), waitMs);
  curl_easy_setopt(H(handle_), CURLOPT_NOBODY, 1L);
  curl_easy_setopt(H(handle_), CURLOPT_QUOTE, quote.list);
  curl_easy_setopt(H(handle_), CURLOPT_HEADERFUNCTION, KeepFacts);
  curl_easy_setopt(H(handle_), CURLOPT_HEADERDATA, facts);
  const Outcome outcome = Perform();
  if (outcome == kDone && facts->empty()) return kRefused;
  return outcome;
}

FtpSession::Outcome FtpSession::Exists(std::string_view path, long waitMs) {
  if (!Open()) return kLost;
  Prepare(UrlOf(path, false), waitMs);
  curl_easy_setopt(H(handle_), CURLOPT_NOBODY, 1L);
  return Perform();
}
