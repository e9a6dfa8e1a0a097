// The FTP session's transfers: uploads under a temporary name that takes
// the final one only when the server's size agrees.
#include <curl/curl.h>

#include <cstdio>
#include <mutex>
#include <random>
#include <set>

#include "destinations/FtpCurl.h"
#include "destinations/FtpSession.h"
#include "platform/Clock.h"
#include "platform/Errors.h"
#include "platform/Files.h"

using ftpcurl::H;
using ftpcurl::IsRefusal;
using ftpcurl::SList;

namespace {

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

// Sixteen hexadecimal digits for a temporary name.
std::string RandomHex() {
  thread_local std::mt19937_64 engine{std::random_device{}()};
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(engine()));
  return digits;
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

std::pair<std::string, std::string> SplitPath(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {"/", std::string(path)};
  return {std::string(path.substr(0, slash + 1)), std::string(path.substr(slash + 1))};
}

}  // namespace

bool IsUploadInFlight(const FtpSessionOptions& server, std::string_view path) {
  std::lock_guard<std::mutex> guard(Uploads().lock);
  return Uploads().paths.count(InFlightKey(server, path)) > 0;
}

FtpSession::Outcome FtpSession::Upload(std::string_view local, std::string_view remote, long waitMs,
                                       uint32_t* error, plat::CopyWatch* watch) {
  *error = plat::kErrReadFault;
  plat::File file;
  uint64_t size = 0;
  if (!file.Open(local, plat::File::kRead, plat::File::kOpenExisting) || !file.GetSize(&size))
    return kRefused;
  if (watch != nullptr) {
    if (!file.GetStamp(&watch->before)) return kRefused;
    watch->after = watch->before;
  }
  const Outcome outcome = UploadOpen(&file, size, remote, waitMs, error);
  if (outcome != kDone || watch == nullptr) return outcome;
  // Written while it was sent: what the server holds is no version of it.
  if (file.GetStamp(&watch->after) && watch->Steady()) return kDone;
  *error = plat::kErrSourceChanged;
  if (options_.sftp)
    return Commands({"*rm " + SftpArgument(std::string(remote))}, waitMs) == kLost ? kLost
                                                                                   : kRefused;
  return Commands({"*DELE " + std::string(remote)}, waitMs) == kLost ? kLost : kRefused;
}

FtpSession::Outcome FtpSession::UploadOpen(plat::File* opened, uint64_t size,
                                           std::string_view remote, long waitMs, uint32_t* error) {
  plat::File& file = *opened;
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
