#include "destinations/FtpSession.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <random>
#include <set>

#include "platform/Clock.h"
#include "platform/Errors.h"
#include "platform/Files.h"

namespace {

constexpr size_t kMaxListingBytes = 256u << 20;  // a listing beyond this is cut off
constexpr size_t kMaxEntryNameBytes = 1024;
// A fingerprint no host key has: it makes the library refuse an SFTP server
// whose key is not pinned yet, before any password is sent, and say the key
// it found.
constexpr char kNoSshKey[] = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
constexpr std::string_view kSshKeyLead = "SHA256:";

CURL* H(void* handle) { return static_cast<CURL*>(handle); }

// The temporary files this process's uploads are writing, as
// "server:port/path".
struct InFlight {
  std::mutex lock;  // guards paths
  std::multiset<std::string> paths;
};

InFlight& Uploads() {
  static InFlight* uploads = new InFlight;  // never destroyed: uploads may outlive statics
  return *uploads;
}

std::string InFlightKey(const FtpSessionOptions& o, std::string_view path) {
  return o.server + ":" + std::to_string(o.port) + std::string(path);
}

// Marks an upload's temporary file as being written for its lifetime.
class UploadInFlight {
 public:
  UploadInFlight(const FtpSessionOptions& o, std::string_view path) : key_(InFlightKey(o, path)) {
    std::lock_guard<std::mutex> guard(Uploads().lock);
    Uploads().paths.insert(key_);
  }
  ~UploadInFlight() {
    std::lock_guard<std::mutex> guard(Uploads().lock);
    Uploads().paths.erase(Uploads().paths.find(key_));
  }
  UploadInFlight(const UploadInFlight&) = delete;
  UploadInFlight& operator=(const UploadInFlight&) = delete;

 private:
  std::string key_;
};

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Sixteen hexadecimal digits for a temporary name.
std::string RandomHex() {
  thread_local std::mt19937_64 engine{std::random_device{}()};
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(engine()));
  return digits;
}

// Replies that come from the server with the connection still standing, and
// failures on this side: no reconnect helps with them.
bool IsRefusal(CURLcode rc) {
  switch (rc) {
    case CURLE_QUOTE_ERROR:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_UPLOAD_FAILED:
    case CURLE_LOGIN_DENIED:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_REMOTE_DISK_FULL:
    case CURLE_FILESIZE_EXCEEDED:
    case CURLE_ABORTED_BY_CALLBACK:
    case CURLE_READ_ERROR:
    case CURLE_WRITE_ERROR:
    case CURLE_URL_MALFORMAT:
    case CURLE_REMOTE_FILE_EXISTS:
    case CURLE_BAD_FUNCTION_ARGUMENT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return true;
    default:
      return false;
  }
}

// The error number a failed upload reports, so that its event says what
// went wrong: reply is the server's last reply code.
uint32_t UploadErrorOf(CURLcode rc, long reply) {
  if (rc == CURLE_ABORTED_BY_CALLBACK && plat::ThreadCancelRequested()) return plat::kErrCancelled;
  if (reply == 452 || reply == 552) return plat::kErrDiskFull;
  if (reply == 450 || reply == 550 || reply == 553 || reply == 532) return plat::kErrAccessDenied;
  if (reply == 451) return plat::kErrWriteFault;  // the server failed to write or saw a cut
  switch (rc) {
    case CURLE_WRITE_ERROR:  // the size check stopped it
      return plat::kErrWriteFault;
    case CURLE_REMOTE_DISK_FULL:
      return plat::kErrDiskFull;
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_LOGIN_DENIED:
      return plat::kErrAccessDenied;
    case CURLE_OPERATION_TIMEDOUT:
      return plat::kErrTimeout;
    case CURLE_COULDNT_CONNECT:
      return plat::kErrConnectionRefused;
    case CURLE_READ_ERROR:
      return plat::kErrReadFault;
    default:
      return plat::kErrUnexpNetErr;
  }
}

int StopWhenCancelled(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return plat::ThreadCancelRequested() ? 1 : 0;
}

struct UploadSource {
  plat::File* file;
  uint64_t size;
  uint64_t sent = 0;
};

size_t ReadChunk(char* buffer, size_t size, size_t count, void* data) {
  auto* source = static_cast<UploadSource*>(data);
  const uint64_t left = source->size - source->sent;
  size_t want = size * count;
  if (want > left) want = static_cast<size_t>(left);  // a file that grew: its first size bytes
  if (want == 0) return 0;
  size_t got = 0;
  if (!source->file->Read(buffer, want, &got) || got == 0) {
    return CURL_READFUNC_ABORT;  // unreadable, or shrank under the upload
  }
  source->sent += got;
  return got;
}

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

size_t NoteTlsReply(char* data, size_t size, size_t count, void* out) {
  const size_t n = size * count;
  if (std::string_view(data, n).rfind("234", 0) == 0) *static_cast<bool*>(out) = true;
  return n;
}

// Takes the server's key out of the library's account of the pin check
// (" public key hash: sha256//BASE64").
int NoteKeyText(CURL*, curl_infotype type, char* data, size_t size, void* out) {
  if (type != CURLINFO_TEXT) return 0;
  std::string_view line(data, size);
  constexpr std::string_view kLead = "public key hash: ";
  const size_t at = line.find(kLead);
  if (at == std::string_view::npos) return 0;
  line = line.substr(at + kLead.size());
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
    line.remove_suffix(1);
  if (line.rfind("sha256//", 0) == 0) *static_cast<std::string*>(out) = std::string(line);
  return 0;
}

// The server's size of an uploaded file, asked for before it takes its final
// name. Every reply line of the server passes here; the first "213 <n>" is
// the answer to that question.
struct SizeCheck {
  uint64_t want = 0;
  bool answered = false;
  uint64_t got = 0;
};

size_t CheckSizeReply(char* data, size_t size, size_t count, void* out) {
  auto* check = static_cast<SizeCheck*>(out);
  const size_t n = size * count;
  const std::string_view line(data, n);
  if (check->answered || line.rfind("213 ", 0) != 0) return n;
  uint64_t value = 0;
  size_t digits = 0;
  for (size_t i = 4; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i, ++digits) {
    if (value > (UINT64_MAX - 9) / 10) return 0;
    value = value * 10 + static_cast<uint64_t>(line[i] - '0');
  }
  if (digits == 0) return 0;
  check->answered = true;
  check->got = value;
  // Stopping here keeps the rename that follows from being sent.
  return value == check->want ? n : 0;
}

size_t AppendText(char* data, size_t size, size_t count, void* out) {
  auto* text = static_cast<std::string*>(out);
  const size_t n = size * count;
  if (text->size() + n > kMaxListingBytes) return 0;
  text->append(data, n);
  return n;
}

size_t WriteChunk(char* data, size_t size, size_t count, void* out) {
  const size_t n = size * count;
  return static_cast<plat::File*>(out)->Write(data, n) ? n : 0;
}

struct SList {
  curl_slist* list = nullptr;
  ~SList() { curl_slist_free_all(list); }
  void Add(const std::string& line) { list = curl_slist_append(list, line.c_str()); }
};

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// "YYYYMMDDHHMMSS[.sss]" in UTC; 0 when it is not such a time.
int64_t ParseMlsdTime(std::string_view t) {
  if (t.size() < 14) return 0;
  int64_t v[6] = {};
  const int widths[6] = {4, 2, 2, 2, 2, 2};
  size_t pos = 0;
  for (int i = 0; i < 6; ++i) {
    for (int k = 0; k < widths[i]; ++k, ++pos) {
      if (t[pos] < '0' || t[pos] > '9') return 0;
      v[i] = v[i] * 10 + (t[pos] - '0');
    }
  }
  if (v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > 31 || v[3] > 23 || v[4] > 59 || v[5] > 60)
    return 0;
  return DaysFromCivil(v[0], static_cast<unsigned>(v[1]), static_cast<unsigned>(v[2])) * 86400 +
         v[3] * 3600 + v[4] * 60 + v[5];
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::pair<std::string, std::string> SplitPath(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {"/", std::string(path)};
  return {std::string(path.substr(0, slash + 1)), std::string(path.substr(slash + 1))};
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

// The next blank-separated field of line from pos; empty at the end.
std::string_view NextField(std::string_view line, size_t* pos) {
  while (*pos < line.size() && line[*pos] == ' ') ++*pos;
  const size_t begin = *pos;
  while (*pos < line.size() && line[*pos] != ' ') ++*pos;
  return line.substr(begin, *pos - begin);
}

bool ParseNumber(std::string_view text, int64_t limit, int64_t* out) {
  if (text.empty()) return false;
  int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || n > (limit - (c - '0')) / 10) return false;
    n = n * 10 + (c - '0');
  }
  *out = n;
  return true;
}

}  // namespace

bool IsUploadInFlight(const FtpSessionOptions& server, std::string_view path) {
  std::lock_guard<std::mutex> guard(Uploads().lock);
  return Uploads().paths.count(InFlightKey(server, path)) > 0;
}

bool IsPlainEntryName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxEntryNameBytes && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\\\0\r\n", 5)) == std::string_view::npos;
}

bool ParseMlsdLine(std::string_view line, FtpEntry* out) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  const size_t gap = line.find("; ");
  if (gap == std::string_view::npos) return false;
  std::string_view facts = line.substr(0, gap + 1);
  const std::string_view name = line.substr(gap + 2);
  if (!IsPlainEntryName(name)) return false;
  FtpEntry entry;
  entry.name = std::string(name);
  bool typed = false;
  while (!facts.empty()) {
    const size_t end = facts.find(';');
    const std::string_view fact = facts.substr(0, end);
    facts = end == std::string_view::npos ? std::string_view() : facts.substr(end + 1);
    const size_t eq = fact.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = fact.substr(0, eq);
    const std::string_view value = fact.substr(eq + 1);
    if (EqualsNoCase(key, "type")) {
      if (EqualsNoCase(value, "file")) {
        typed = true;
      } else if (EqualsNoCase(value, "dir")) {
        typed = entry.folder = true;
      } else {
        return false;  // the folder itself, its parent, links and the like
      }
    } else if (EqualsNoCase(key, "size")) {
      uint64_t n = 0;
      for (char c : value) {
        if (c < '0' || c > '9' || n > (UINT64_MAX - 9) / 10) return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
      }
      entry.size = n;
    } else if (EqualsNoCase(key, "modify")) {
      entry.writeTime = ParseMlsdTime(value);
    }
  }
  if (!typed) return false;
  *out = std::move(entry);
  return true;
}

bool ParseLongListLine(std::string_view line, int64_t now, FtpEntry* out) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  size_t pos = 0;
  const std::string_view mode = NextField(line, &pos);
  if (mode.size() < 10 || (mode[0] != '-' && mode[0] != 'd')) return false;  // links and others
  // The link count, the owner and the group.
  for (int i = 0; i < 3; ++i) NextField(line, &pos);
  int64_t size = 0, day = 0, hour = 0, minute = 0, year = 0;
  if (!ParseNumber(NextField(line, &pos), INT64_MAX, &size)) return false;
  static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::string_view monthName = NextField(line, &pos);
  int month = 0;
  for (int i = 0; i < 12; ++i) {
    if (monthName == kMonths[i]) month = i + 1;
  }
  if (month == 0 || !ParseNumber(NextField(line, &pos), 31, &day) || day < 1) return false;
  const std::string_view clock = NextField(line, &pos);
  const plat::LocalTime today = plat::ToLocalTime(now);
  if (clock.size() == 5 && clock[2] == ':') {  // within the last half year: no year given
    if (!ParseNumber(clock.substr(0, 2), 23, &hour) || !ParseNumber(clock.substr(3), 59, &minute))
      return false;
    year = today.year;  // or the year before, for a date that would lie ahead (below)
  } else if (!ParseNumber(clock, 9999, &year)) {
    return false;
  }
  // One blank before the name, which may hold blanks of its own.
  if (pos >= line.size() || line[pos] != ' ') return false;
  const std::string_view name = line.substr(pos + 1);
  if (!IsPlainEntryName(name)) return false;
  plat::LocalTime when{};
  when.year = static_cast<int>(year);
  when.month = month;
  when.day = static_cast<int>(day);
  when.hour = static_cast<int>(hour);
  when.minute = static_cast<int>(minute);
  int64_t time = plat::FromLocalTime(when);
  if (clock.size() == 5 && time > now + 86400) {  // clocks a day apart still agree
    --when.year;
    time = plat::FromLocalTime(when);
  }
  FtpEntry entry;
  entry.name = std::string(name);
  entry.folder = mode[0] == 'd';
  entry.size = entry.folder ? 0 : static_cast<uint64_t>(size);
  entry.writeTime = std::max<int64_t>(0, time);
  *out = std::move(entry);
  return true;
}

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
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, options_.sftp ? "sftp" : "ftp");
  curl_easy_setopt(h, CURLOPT_USERNAME, options_.user.c_str());
  curl_easy_setopt(h, CURLOPT_PASSWORD, options_.password.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  // A server that stops answering or a transfer that stalls fails within
  // the reply wait, whatever the request's own wait.
  const long replyMs = std::max(1000L, options_.replyWaitMs);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, waitMs);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, std::min(waitMs, replyMs));
  curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT, replyMs / 1000);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, replyMs / 1000);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, StopWhenCancelled);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Discard);  // replies to requests without a body
  curl_easy_setopt(h, CURLOPT_PROXY, "");               // no proxy from the environment
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
  // Encrypted whenever the server offers it. A pinned key stands in for the
  // authorities: the certificate itself is not checked then, only its key.
  curl_easy_setopt(h, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
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

FtpSession::Outcome FtpSession::Perform() {
  const CURLcode rc = static_cast<CURLcode>(Run());
  if (rc == CURLE_OK) return kDone;
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
  tlsFault_ = FtpTlsFault::kNone;
  if (!Open()) return kLost;
  Prepare(UrlOf("/", true), waitMs);
  curl_easy_setopt(H(handle_), CURLOPT_NOBODY, 1L);
  if (options_.sftp) {
    const Outcome outcome = Perform();
    encrypted_ = outcome == kDone;  // SSH always is
    return outcome;
  }
  // "234": the server took the request to encrypt.
  curl_easy_setopt(H(handle_), CURLOPT_HEADERFUNCTION, NoteTlsReply);
  curl_easy_setopt(H(handle_), CURLOPT_HEADERDATA, &encrypted_);
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
  curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, NoteKeyText);
  curl_easy_setopt(h, CURLOPT_DEBUGDATA, &key);
  probe.Run();
  return key;
}

FtpSession::Outcome FtpSession::Commands(const std::vector<std::string>& commands, long waitMs) {
  if (!Open()) return kLost;
  SList quote;
  for (const std::string& c : commands) {
    if (c.find_first_of("\r\n") != std::string::npos) return kRefused;
    quote.Add(c);
  }
  Prepare(UrlOf("/", true), waitMs);
  curl_easy_setopt(H(handle_), CURLOPT_NOBODY, 1L);
  curl_easy_setopt(H(handle_), CURLOPT_QUOTE, quote.list);
  return Perform();
}

FtpSession::Outcome FtpSession::MakeFolders(const std::vector<std::string>& folders, long waitMs) {
  std::vector<std::string> commands;
  for (const std::string& f : folders)
    commands.push_back(options_.sftp ? "*mkdir " + SftpArgument(f) : "*MKD " + f);
  return Commands(commands, waitMs);
}

FtpSession::Outcome FtpSession::Delete(std::string_view path, long waitMs) {
  return Commands({options_.sftp ? "rm " + SftpArgument(path) : "DELE " + std::string(path)},
                  waitMs);
}

FtpSession::Outcome FtpSession::Rename(std::string_view from, std::string_view to, long waitMs) {
  if (options_.sftp)
    return Commands({"rename " + SftpArgument(from) + " " + SftpArgument(to)}, waitMs);
  return Commands({"RNFR " + std::string(from), "RNTO " + std::string(to)}, waitMs);
}

FtpSession::Outcome FtpSession::CheckFolder(std::string_view folder, long waitMs) {
  if (!options_.sftp) return Commands({"CWD " + std::string(folder)}, waitMs);
  if (!Open()) return kLost;
  // A folder that cannot be read fails its listing; the names are not kept.
  Prepare(UrlOf(folder, true), waitMs);
  curl_easy_setopt(H(handle_), CURLOPT_DIRLISTONLY, 1L);
  return Perform();
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

FtpSession::Outcome FtpSession::SizeOf(std::string_view path, long waitMs, uint64_t* size) {
  if (!Open()) return kLost;
  Prepare(UrlOf(path, false), waitMs);
  curl_easy_setopt(H(handle_), CURLOPT_NOBODY, 1L);
  const Outcome outcome = Perform();
  curl_off_t n = -1;
  if (outcome != kDone) return outcome;
  if (curl_easy_getinfo(H(handle_), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &n) != CURLE_OK || n < 0)
    return kRefused;
  *size = static_cast<uint64_t>(n);
  return kDone;
}

FtpSession::Outcome FtpSession::Exists(std::string_view path, long waitMs) {
  if (!Open()) return kLost;
  Prepare(UrlOf(path, false), waitMs);
  curl_easy_setopt(H(handle_), CURLOPT_NOBODY, 1L);
  return Perform();
}

FtpSession::Outcome FtpSession::Upload(std::string_view local, std::string_view remote, long waitMs,
                                       uint32_t* error) {
  *error = plat::kErrReadFault;
  plat::File file;
  uint64_t size = 0;
  if (!file.Open(local, plat::File::kRead, plat::File::kOpenExisting) || !file.GetSize(&size))
    return kRefused;
  if (!Open()) return kLost;
  const auto [folder, name] = SplitPath(remote);
  const std::string temporary = folder + ".~bvtmp-" + RandomHex();
  const UploadInFlight inFlight(options_, temporary);
  if (options_.sftp) return UploadSftp(&file, size, temporary, remote, waitMs, error);
  // Once the data is in: the server's size of it, then the final name, sent
  // only when the sizes agree.
  SList after;
  after.Add("SIZE " + temporary);
  after.Add("RNFR " + temporary);
  after.Add("RNTO " + std::string(remote));
  UploadSource source{&file, size};
  SizeCheck check;
  check.want = size;
  CURL* h = H(PrepareUpload(temporary, &source, waitMs));
  curl_easy_setopt(h, CURLOPT_POSTQUOTE, after.list);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, CheckSizeReply);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &check);
  const CURLcode rc = static_cast<CURLcode>(Run());
  if (rc == CURLE_OK && source.sent == size && check.answered && check.got == size) {
    *error = 0;
    return kDone;
  }
  long reply = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &reply);
  *error = rc == CURLE_OK ? plat::kErrWriteFault : UploadErrorOf(rc, reply);
  if (rc != CURLE_OK && !IsRefusal(rc) && reply < 400) {
    Disconnect();
    return kLost;
  }
  // Whatever reached the server stays under the temporary name only (a
  // server that took the final name without answering the size: not even
  // there).
  std::vector<std::string> cleanup = {"*DELE " + temporary};
  if (rc == CURLE_OK) cleanup.push_back("*DELE " + std::string(remote));
  Commands(cleanup, waitMs);
  return kRefused;
}

void* FtpSession::PrepareUpload(const std::string& temporary, void* source, long waitMs) {
  Prepare(UrlOf(temporary, false), waitMs);
  CURL* h = H(handle_);
  curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(h, CURLOPT_READFUNCTION, ReadChunk);
  curl_easy_setopt(h, CURLOPT_READDATA, source);
  curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE,
                   static_cast<curl_off_t>(static_cast<UploadSource*>(source)->size));
  return h;
}

FtpSession::Outcome FtpSession::UploadSftp(plat::File* file, uint64_t size,
                                           const std::string& temporary, std::string_view remote,
                                           long waitMs, uint32_t* error) {
  UploadSource source{file, size};
  PrepareUpload(temporary, &source, waitMs);
  const CURLcode rc = static_cast<CURLcode>(Run());
  if (rc != CURLE_OK) {
    *error = UploadErrorOf(rc, 0);
    if (!IsRefusal(rc)) {
      Disconnect();  // the temporary file stays for the sweep of leftovers
      return kLost;
    }
    Commands({"*rm " + SftpArgument(temporary)}, waitMs);
    return kRefused;
  }
  // Whole on the server: its size of it, then the final name. SFTP renames
  // never replace a file, so an older copy under the final name goes first.
  uint64_t stored = 0;
  Outcome outcome = SizeOf(temporary, waitMs, &stored);
  if (outcome == kDone && (source.sent != size || stored != size)) outcome = kRefused;
  if (outcome == kDone) outcome = Rename(temporary, remote, waitMs);
  if (outcome == kRefused && stored == size && source.sent == size) {
    outcome = Commands({"*rm " + SftpArgument(remote),
                        "rename " + SftpArgument(temporary) + " " + SftpArgument(remote)},
                       waitMs);
  }
  if (outcome == kDone) {
    *error = 0;
    return kDone;
  }
  *error = outcome == kLost ? plat::kErrUnexpNetErr : plat::kErrWriteFault;
  if (outcome == kRefused) Commands({"*rm " + SftpArgument(temporary)}, waitMs);
  return outcome;
}

FtpSession::Outcome FtpSession::Download(std::string_view remote, std::string_view local,
                                         long waitMs) {
  if (!Open()) return kLost;
  const std::string target(local);
  const size_t slash = target.rfind('\\');
  const std::string partial =
      target.substr(0, slash == std::string::npos ? 0 : slash + 1) + ".~bvtmp-" + RandomHex();
  plat::File file;
  if (!file.Open(partial, plat::File::kWrite, plat::File::kCreateAlways)) return kRefused;
  Prepare(UrlOf(remote, false), waitMs);
  curl_easy_setopt(H(handle_), CURLOPT_WRITEFUNCTION, WriteChunk);
  curl_easy_setopt(H(handle_), CURLOPT_WRITEDATA, &file);
  const Outcome outcome = Perform();
  file.Close();
  if (outcome == kDone && plat::ReplaceFile(partial, target) == 0) return kDone;
  plat::DeleteFile(partial);
  return outcome == kDone ? kRefused : outcome;
}

FtpSession::Outcome FtpSession::List(std::string_view folder, long waitMs,
                                     std::vector<FtpEntry>* entries) {
  if (!Open()) return kLost;
  std::string text;
  Prepare(UrlOf(folder, true), waitMs);
  if (options_.sftp) {  // the server's long listing
    curl_easy_setopt(H(handle_), CURLOPT_WRITEFUNCTION, AppendText);
    curl_easy_setopt(H(handle_), CURLOPT_WRITEDATA, &text);
    const Outcome outcome = Perform();
    if (outcome != kDone) return outcome;
    const int64_t now = plat::Now();
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      if (end == std::string::npos) end = text.size();
      FtpEntry entry;
      if (ParseLongListLine(std::string_view(text.data() + pos, end - pos), now, &entry))
        entries->push_back(std::move(entry));
      pos = end + 1;
    }
    return kDone;
  }
  curl_easy_setopt(H(handle_), CURLOPT_CUSTOMREQUEST, "MLSD");
  curl_easy_setopt(H(handle_), CURLOPT_WRITEFUNCTION, AppendText);
  curl_easy_setopt(H(handle_), CURLOPT_WRITEDATA, &text);
  Outcome outcome = Perform();
  bool namesOnly = false;
  if (outcome == kRefused) {  // no machine listing here (or no such folder): names only
    text.clear();
    Prepare(UrlOf(folder, true), waitMs);
    curl_easy_setopt(H(handle_), CURLOPT_DIRLISTONLY, 1L);
    curl_easy_setopt(H(handle_), CURLOPT_WRITEFUNCTION, AppendText);
    curl_easy_setopt(H(handle_), CURLOPT_WRITEDATA, &text);
    outcome = Perform();
    namesOnly = true;
  }
  if (outcome != kDone) return outcome;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    FtpEntry entry;
    if (namesOnly) {
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      const size_t slash = line.rfind('/');  // some servers answer with paths
      if (slash != std::string_view::npos) line = line.substr(slash + 1);
      if (!IsPlainEntryName(line)) continue;
      entry.name = std::string(line);
    } else if (!ParseMlsdLine(line, &entry)) {
      continue;
    }
    entries->push_back(std::move(entry));
  }
  return kDone;
}
