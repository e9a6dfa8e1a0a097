// The FTP session's transfers: uploads under a temporary name that takes
// the final one only when the server's size agrees.
#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>

#include "destinations/FtpCurl.h"
#include "destinations/FtpSession.h"
#include "platform/base/Errors.h"
#include "platform/files/Files.h"
#include "platform/files/FolderAccess.h"
#include "platform/process/ThisMachine.h"

using ftpcurl::H;
using ftpcurl::IsRefusal;
using ftpcurl::SList;
using ftpcurl::SplitPath;

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
// went wrong: reply is the server's last reply code, text its last reply line.
uint32_t UploadErrorOf(CURLcode rc, long reply, std::string_view text) {
  if (rc == CURLE_ABORTED_BY_CALLBACK && plat::ThreadCancelRequested()) return plat::kErrCancelled;
  if (reply == 452 || reply == 552) return plat::kErrDiskFull;
  if (reply == 450 || reply == 550 || reply == 553 || reply == 532) return plat::kErrAccessDenied;
  if (reply == 451) {
    // "Local error in processing": a full disk when its words say so, or
    // when the server could not write what it received (a full disk or
    // quota nearly always; pure-ftpd says "Error during write to file").
    std::string lower(text);
    for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    for (const char* word : {"full", "space", "quota", "storage", "write"}) {
      if (lower.find(word) != std::string::npos) return plat::kErrDiskFull;
    }
    return plat::kErrWriteFault;  // the server failed to write or saw a cut
  }
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

// The open local file being sent; with a watch, it is looked at again once
// its last byte is read, before the server is told the copy is whole.
struct UploadSource {
  plat::File* file;
  uint64_t size;
  plat::CopyWatch* watch = nullptr;
  uint64_t sent = 0;
  bool torn = false;       // written while it was read
  void* handle = nullptr;  // CURL* sending it
  long finalReplyS = 1;    // the wait for the server's reply after the last byte
  bool append = false;     // added to the temporary file made for it (FTP: APPE)
  // Armed at the first byte asked for: a close of the control connection from
  // then on reads the server's last reply (a cached connection found dead
  // before says nothing of this upload).
  FtpSession::LostReply* lost = nullptr;
  int controlPort = 0;

  bool Steady() {
    if (watch == nullptr) return true;
    if (!file->GetStamp(&watch->after)) return false;
    torn = !watch->Steady();
    return !torn;
  }
};

// What an upload's connection holds unsent: the send buffer is capped (the
// system doubles it), so a server that stops taking data in shows as no
// progress within the stall wait, not only once the last byte was handed over.
constexpr int kSendBuffer = 128 << 10;

int CapSendBuffer(void*, curl_socket_t socket, curlsocktype) {
  plat::LimitSendBuffer(socket, kSendBuffer);  // a refusal keeps the system's size
  return CURL_SOCKOPT_OK;
}

size_t ReadChunk(char* buffer, size_t size, size_t count, void* data) {
  auto* source = static_cast<UploadSource*>(data);
  if (source->lost != nullptr && source->sent == 0) source->lost->controlPort = source->controlPort;
  const uint64_t left = source->size - source->sent;
  size_t want = size * count;
  if (want > left) want = static_cast<size_t>(left);  // a file that grew: its first size bytes
  if (want == 0) return 0;
  size_t got = 0;
  if (!source->file->Read(buffer, want, &got) || got == 0) {
    return CURL_READFUNC_ABORT;  // unreadable, or shrank under the upload
  }
  source->sent += got;
  if (source->sent == source->size) {
    if (!source->Steady()) return CURL_READFUNC_ABORT;
    // The final reply, awaited as soon as this returns, comes once the server
    // took in what the connection holds, at its own pace (a throttled server
    // rests before it answers): it is given the upload's whole wait.
    curl_easy_setopt(H(source->handle), CURLOPT_SERVER_RESPONSE_TIMEOUT, source->finalReplyS);
  }
  return got;
}

// What the server answered during an upload: every reply line passes here.
// With asked, the first "213 <n>" answers the SIZE of the temporary file,
// sent before it takes its final name.
struct Replies {
  uint64_t want = 0;
  bool asked = false;
  bool answered = false;
  uint64_t got = 0;
  std::string last;   // the last reply, all its lines
  bool open = false;  // its last line said more lines follow
};

size_t NoteReply(char* data, size_t size, size_t count, void* out) {
  auto* replies = static_cast<Replies*>(out);
  const size_t n = size * count;
  std::string_view line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  // The whole of the last reply, its continuation lines ("451-...") too.
  if (line.size() >= 4 && line[0] >= '1' && line[0] <= '5') {
    replies->last = replies->open ? replies->last + "\n" + std::string(line) : std::string(line);
    replies->open = line[3] == '-';
  }
  if (!replies->asked || replies->answered || line.rfind("213 ", 0) != 0) return n;
  uint64_t value = 0;
  size_t digits = 0;
  for (size_t i = 4; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i, ++digits) {
    if (value > (UINT64_MAX - 9) / 10) return 0;
    value = value * 10 + static_cast<uint64_t>(line[i] - '0');
  }
  if (digits == 0) return 0;
  replies->answered = true;
  replies->got = value;
  // Stopping here keeps the rename that follows from being sent.
  return value == replies->want ? n : 0;
}

// A path no server is known to store under another name: no control
// characters, and no name in it that begins or ends with a blank.
bool IsPlainServerPath(std::string_view path) {
  for (size_t i = 0; i < path.size(); ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (c < 0x20 || c == 0x7F) return false;
    if (c == ' ' && (i == 0 || path[i - 1] == '/' || i + 1 == path.size() || path[i + 1] == '/'))
      return false;
  }
  return true;
}

}  // namespace

bool IsUploadInFlight(const FtpSessionOptions& server, std::string_view path) {
  std::lock_guard<std::mutex> guard(Uploads().lock);
  return Uploads().paths.count(InFlightKey(server, path)) > 0;
}

FtpSession::Outcome FtpSession::Upload(std::string_view local, std::string_view remote, long waitMs,
                                       uint32_t* error, plat::CopyWatch* watch,
                                       const std::function<void()>& beforeReplace) {
  const auto [folder, name] = SplitPath(remote);
  const std::string temporary = folder + ".~bvtmp-" + RandomHex();
  std::vector<std::string> rename(options_.sftp ? 1 : 2);
  const bool named = options_.sftp ? CommandOf("rename", {temporary, remote}, &rename[0])
                                   : CommandOf("RNFR", {temporary}, &rename[0]) &&
                                         CommandOf("RNTO", {remote}, &rename[1]);
  if (!named) {
    *error = plat::kErrNameNotCarried;  // nothing is sent
    return kRefused;
  }
  *error = plat::kErrReadFault;
  plat::File file;
  uint64_t size = 0;
  if (!file.Open(local, plat::File::kRead, plat::File::kOpenExisting) || !file.GetSize(&size))
    return kRefused;
  // The copy takes the source's permission bits as its folders here let
  // others have them (a file in a private folder is private) and its last
  // write, asked for after its rename (a server that cannot set them keeps
  // its own).
  uint32_t mode = 0;
  int64_t written = 0;
  const bool moded = file.GetModeAndTime(&mode, &written);
  if (moded) mode = plat::ReachableMode(local, mode);
  std::vector<std::string> attributes =
      moded ? AttributeCommands(remote, mode, written) : std::vector<std::string>{};
  UploadSource source{&file, size, watch};
  // Timed and moded: a server that knows no MFMT answers the last of them.
  const bool timed = attributes.size() == 2;
  if (watch != nullptr) {
    if (!file.GetStamp(&watch->before)) return kRefused;
    watch->after = watch->before;
  }
  if (!Open()) return kLost;
  const UploadInFlight inFlight(options_, temporary);
  // A file others may not read here gets its bits before its first byte is
  // sent (FTP makes files as readable as the server likes): then they need
  // not be asked again after the rename. A server that refuses them never
  // gets such a file: its copy would be readable by the server's other users.
  // One that every user outside its group reads (a list whose mask grants
  // nothing leaves "others" the say) keeps no one out that way.
  const bool othersOut = (mode & 004) == 0;
  if (!attributes.empty() && (mode & 044) != 044) {
    if (MakePrivate(temporary, mode, waitMs)) {
      source.append = true;
      attributes.erase(attributes.begin());
    } else if (modesRefused_ && holdsPrivateFiles_ && othersOut) {
      *error = plat::kErrNotKeptPrivate;
      return kRefused;
    }
  }
  // A name the server may store otherwise is looked for after its rename,
  // and a rotation goes between the upload and the rename: both take the
  // rename out of the upload's request.
  const bool odd = !IsPlainServerPath(remote);
  bool renamed = false, refused = false;
  if (!beforeReplace && !odd) rename.insert(rename.end(), attributes.begin(), attributes.end());
  Outcome outcome =
      Send(&source, temporary, beforeReplace || odd ? std::vector<std::string>{} : rename, waitMs,
           error, &renamed, &refused);
  if (outcome == kLost && Open()) {
    // What reached the server before the connection broke lies under the
    // temporary name: it goes as soon as the server answers again (else the
    // sweep of leftovers takes it).
    std::string drop;
    if (CommandOf(options_.sftp ? "*rm" : "*DELE", {temporary}, &drop)) Commands({drop}, waitMs);
  }
  if (outcome != kDone) return outcome;
  std::vector<FtpEntry> before;
  if (!renamed) {
    if (odd && List(folder, waitMs, &before) == kLost) outcome = kLost;
    if (outcome == kDone && beforeReplace) beforeReplace();
    if (outcome == kDone) outcome = PutInPlace(temporary, remote, waitMs, refused, attributes);
    if (outcome != kDone) {
      *error = outcome == kLost ? plat::kErrUnexpNetErr : plat::kErrAccessDenied;
      std::string drop;
      if (outcome == kRefused && CommandOf(options_.sftp ? "*rm" : "*DELE", {temporary}, &drop))
        Commands({drop}, waitMs);
      return outcome;
    }
  } else if (timed && !options_.sftp && !timeCommandUnknown_ &&
             (lastReply_ == 500 || lastReply_ == 502 || lastReply_ == 504)) {
    // The server knows no MFMT (its reply was the request's last): SITE
    // UTIME from now on.
    timeCommandUnknown_ = true;
    Commands(AttributeCommands(remote, mode, written), waitMs);
  }
  if (odd) {
    outcome = Landed(folder, name, before, waitMs);
    if (outcome != kDone) {
      *error = outcome == kLost ? plat::kErrUnexpNetErr : plat::kErrNameChanged;
      return outcome;
    }
  }
  if (source.append && !modesChecked_ && !ModesKept(folder, name, mode, waitMs) &&
      holdsPrivateFiles_ && othersOut) {
    // A copy others may read: it goes again, as would one the server refused to make private.
    std::string drop;
    if (CommandOf("*DELE", {remote}, &drop)) Commands({drop}, waitMs);
    *error = plat::kErrNotKeptPrivate;
    return kRefused;
  }
  *error = 0;
  return kDone;
}

bool FtpSession::ModesKept(const std::string& folder, std::string_view name, uint32_t mode,
                           long waitMs) {
  std::vector<FtpEntry> entries;
  if (ListWithModes(folder, waitMs, &entries) != kDone) return true;  // asked again with the next
  // The marker (sent while no private file is held) does not answer for the
  // copies: the store's folders below may be kept otherwise.
  modesChecked_ = holdsPrivateFiles_;
  for (const FtpEntry& entry : entries) {
    if (entry.folder || entry.name != name || entry.mode < 0) continue;
    if ((static_cast<uint32_t>(entry.mode) & 077u & ~mode) == 0) return true;
    modesRefused_ = true;  // it said yes and did nothing: as good as a refusal
    return false;
  }
  return true;  // a listing without modes cannot tell
}

FtpSession::Outcome FtpSession::Send(void* data, const std::string& temporary,
                                     const std::vector<std::string>& rename, long waitMs,
                                     uint32_t* error, bool* renamed, bool* refused) {
  auto* source = static_cast<UploadSource*>(data);
  *renamed = *refused = false;
  // FTP: the server's size of the data before the final name is given.
  Replies replies;
  replies.want = source->size;
  SList after;
  std::string sizeLine;
  if (!options_.sftp && !sizeUnknown_ && CommandOf("SIZE", {temporary}, &sizeLine)) {
    after.Add(sizeLine);
    replies.asked = true;
  }
  const bool renaming = !rename.empty() && (options_.sftp || replies.asked);
  if (renaming) {
    for (const std::string& line : rename) after.Add(line);
  }
  CURL* h = H(PrepareUpload(temporary, source, waitMs));
  if (after.list != nullptr) curl_easy_setopt(h, CURLOPT_POSTQUOTE, after.list);
  if (!options_.sftp) {
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, NoteReply);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &replies);
  }
  source->handle = h;
  source->finalReplyS = std::max(1L, waitMs / 1000);
  lostReply_ = {};
  if (!options_.sftp && options_.proxy.empty()) {
    source->lost = &lostReply_;
    source->controlPort = options_.port != 0 ? options_.port : 21;
  }
  const CURLcode rc = static_cast<CURLcode>(Run());
  lostReply_.controlPort = 0;
  long reply = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &reply);
  // A send that failed because the server stopped reading: its reply, read
  // as its connection closed, says why (a full disk, not the network).
  const std::string_view lost = lostReply_.line;
  if (rc != CURLE_OK && !IsRefusal(rc) && reply < 400 && lost.size() >= 4 && lost[0] >= '4' &&
      lost[0] <= '5' && lost[3] == ' ') {
    reply = std::atol(std::string(lost.substr(0, 3)).c_str());
    replies.last = std::string(lost.substr(0, lost.find_first_of("\r\n")));
  }
  lastReply_ = reply;
  const bool whole = source->sent == source->size && !source->torn;
  if (rc == CURLE_OK && whole) {
    *renamed = renaming;
    return kDone;
  }
  if (rc == CURLE_QUOTE_ERROR && whole) {
    if (!replies.asked || replies.answered) {
      *refused = renaming;  // the rename was refused: made apart
      return kDone;
    }
    // No SIZE here: the folder's listing says how much the server holds.
    if (reply == 500 || reply == 502 || reply == 504) sizeUnknown_ = true;
    uint64_t listed = 0;
    const Outcome outcome = ListedSize(temporary, waitMs, &listed);
    if (outcome == kDone && listed == source->size) return kDone;
    if (outcome == kLost) {
      *error = plat::kErrUnexpNetErr;
      return kLost;
    }
  }
  *error = source->torn                                ? plat::kErrSourceChanged
           : rc == CURLE_OK || rc == CURLE_QUOTE_ERROR ? plat::kErrWriteFault
                                                       : UploadErrorOf(rc, reply, replies.last);
  // A login refused on the way (the server dropped the session and takes the
  // password no more) is a lost session: the device's own login says why and
  // pauses, where a refusal would fail each file with a login of its own.
  if (rc == CURLE_LOGIN_DENIED || (rc != CURLE_OK && !IsRefusal(rc) && reply < 400)) {
    Disconnect();  // the temporary file stays for the sweep of leftovers
    return kLost;
  }
  // Whatever reached the server stays under the temporary name only, and
  // goes.
  std::string drop;
  if (CommandOf(options_.sftp ? "*rm" : "*DELE", {temporary}, &drop)) Commands({drop}, waitMs);
  return kRefused;
}

bool FtpSession::MakePrivate(const std::string& temporary, uint32_t mode, long waitMs) {
  // SFTP makes every new file private already; a server that refused once
  // refuses again on this connection.
  std::string line;
  char bits[16];
  std::snprintf(bits, sizeof bits, "SITE CHMOD %03o", mode & 0777u);
  if (options_.sftp || modesRefused_ || !CommandOf(bits, {temporary}, &line)) return false;
  UploadSource empty{nullptr, 0};
  SList after;
  // Allowed to fail: the library drops the connection after a refused
  // command. Its reply, the request's last, tells the refusal.
  after.Add("*" + line);
  CURL* h = H(PrepareUpload(temporary, &empty, waitMs));
  curl_easy_setopt(h, CURLOPT_POSTQUOTE, after.list);
  empty.handle = h;
  const CURLcode rc = static_cast<CURLcode>(Run());
  long reply = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &reply);
  if (rc != CURLE_OK) return false;
  if (reply < 400) return true;
  // Made but not private: it goes, and so does every private file's copy.
  modesRefused_ = true;
  std::string drop;
  if (CommandOf("*DELE", {temporary}, &drop)) Commands({drop}, waitMs);
  return false;
}

void* FtpSession::PrepareUpload(const std::string& temporary, void* source, long waitMs) {
  Prepare(UrlOf(temporary, false), waitMs);
  CURL* h = H(handle_);
  curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
  if (static_cast<UploadSource*>(source)->append) curl_easy_setopt(h, CURLOPT_APPEND, 1L);
  curl_easy_setopt(h, CURLOPT_READFUNCTION, ReadChunk);
  curl_easy_setopt(h, CURLOPT_READDATA, source);
  curl_easy_setopt(h, CURLOPT_SOCKOPTFUNCTION, CapSendBuffer);
  // A server that takes its data in bursts rests between them: only a pause
  // longer than the stall wait is a server that stopped.
  const long stallMs = std::max({1000L, options_.replyWaitMs, options_.stallWaitMs});
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stallMs / 1000);
  curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE,
                   static_cast<curl_off_t>(static_cast<UploadSource*>(source)->size));
  return h;
}
