// The servers of the tests' own built on LoopbackServer: the FTP relay, the endless FTP server
// and the hostile S3 endpoint.
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <utility>

#include "destinations/ObjectSession.h"
#include "support/EndlessFtpServer.h"
#include "support/FtpRelay.h"
#include "support/HostileS3.h"

namespace bvtest {
namespace {

// Appends what the peer sends next; false once it left or stop was set.
bool ReceiveMore(int fd, std::string* buffer, const std::atomic<bool>& stop) {
  char chunk[65536];
  while (!stop) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer->append(chunk, static_cast<size_t>(n));
    return true;
  }
  return false;
}

// Closes with a reset, as a cut cable or a dropped route looks to the peer.
void Abort(int fd) {
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
}

// The next line from the client (without its line end); false when it left or stop was set.
bool ReadLine(int fd, std::string* buffer, std::string* line, const std::atomic<bool>& stop) {
  size_t end;
  while ((end = buffer->find('\n')) == std::string::npos)
    if (!ReceiveMore(fd, buffer, stop)) return false;
  *line = buffer->substr(0, end);
  if (!line->empty() && line->back() == '\r') line->pop_back();
  buffer->erase(0, end + 1);
  return true;
}

std::string HeaderValue(const std::string& headers, const std::string& name) {
  std::string lower = headers;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t at = lower.find("\n" + name + ":");
  if (at == std::string::npos) return "";
  size_t begin = at + name.size() + 2;
  while (begin < headers.size() && headers[begin] == ' ') ++begin;
  const size_t end = headers.find('\r', begin);
  return headers.substr(begin, end - begin);
}

std::string Reply(int status, const std::string& reason, const std::string& body,
                  const std::string& extra = "") {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n" + extra +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

FtpRelay::FtpRelay(uint16_t serverPort, uint64_t cutAfter,
                   std::function<std::string(const std::string&)> nativeOf)
    : serverPort_(serverPort), cutAfter_(cutAfter), nativeOf_(std::move(nativeOf)) {
  Serve([this](int client) { Control(client); });
}

std::string FtpRelay::Rewrite(const std::string& line,
                              const std::shared_ptr<std::atomic<bool>>& full) {
  if (fault_ == Fault::kWrongSize && line.rfind("213 ", 0) == 0)
    return "213 " + std::to_string(std::stoull(line.substr(4)) + 1) + "\r\n";
  if (fault_ == Fault::kDiskFull && line.rfind("226 ", 0) == 0)
    return "452 Insufficient storage space\r\n";
  if (fault_ == Fault::kStorageExceeded && line.rfind("226 ", 0) == 0)
    return "552 Exceeded storage allocation\r\n";
  const size_t open = line.find("(|||");
  const bool resting = fault_ == Fault::kRest;
  if ((fault_ == Fault::kCutData || fault_ == Fault::kFullMidway || resting) &&
      line.rfind("229 ", 0) == 0 && open != std::string::npos) {
    uint16_t relayPort = 0;
    const int data = ListenLoopback(&relayPort);
    if (data < 0) return line;
    // A rest shows to the client once little more than this is held for it.
    const int held = 64 << 10;
    if (resting) setsockopt(data, SOL_SOCKET, SO_RCVBUF, &held, sizeof held);
    const auto serverPort = static_cast<uint16_t>(std::stoi(line.substr(open + 4)));
    Start(std::thread([this, data, serverPort, full] { Data(data, serverPort, full); }));
    return "229 Extended Passive mode OK (|||" + std::to_string(relayPort) + "|)\r\n";
  }
  return line;
}

std::string FtpRelay::Answer(const std::string& line) {
  if (fault_ == Fault::kNoSize && line.rfind("SIZE ", 0) == 0) return "500 Unknown command\r\n";
  if (fault_ == Fault::kNoMlst && line.rfind("MLST", 0) == 0) return "500 Unknown command\r\n";
  if (fault_ == Fault::kLieModes && line.rfind("MLSD", 0) == 0) return "500 Unknown command\r\n";
  if (fault_ == Fault::kLieModes && line.rfind("SITE CHMOD", 0) == 0) return "200 ok\r\n";
  if (fault_ == Fault::kLieModesBelow && line.rfind("SITE CHMOD", 0) == 0 &&
      line.find("/Latest/") != std::string::npos)
    return "200 ok\r\n";
  if (fault_ == Fault::kRefuseLogin && line.rfind("PASS", 0) == 0)
    return "530 Login incorrect.\r\n";
  if (fault_ == Fault::kNoTls && line.rfind("AUTH", 0) == 0)
    return "502 Command not implemented\r\n";
  std::string path = line.substr(std::min<size_t>(5, line.size()));
  while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
  if (fault_ == Fault::kNoOverwrite && line.rfind("RNTO ", 0) == 0 && nativeOf_ &&
      access(nativeOf_(path).c_str(), F_OK) == 0)
    return "553 Prohibited file name\r\n";
  return {};
}

void FtpRelay::Control(int client) {
  ++connections_;
  const int server = DialLoopback(serverPort_);
  std::string pending;  // server bytes short of a whole line
  std::string asked;    // client bytes short of a whole line (the control connection is plain)
  char buffer[4096];
  auto full = std::make_shared<std::atomic<bool>>(false);
  bool swallow = false;  // the server's own reply to a transfer the relay answered
  bool storing = false;  // a STOR or APPE awaits its closing reply
  bool reset = false;
  bool loggedIn = false;  // a "PASS" went on to the server
  const bool raw = fault_ == Fault::kRaw;
  if (raw && server < 0) reset = true;
  while (!stop_ && !reset && !(loggedIn && fault_ == Fault::kRefuseLogin)) {
    pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    if (poll(p, server >= 0 ? 2 : 1, 50) <= 0 && !*full) continue;
    if (full->exchange(false)) {
      const std::string refusal = "452 Insufficient storage space\r\n";
      swallow = SendAll(client, refusal);
    }
    if (p[0].revents != 0) {
      const ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0 || (raw && !SendAll(server, std::string_view(buffer, static_cast<size_t>(n)))))
        break;
      if (raw) continue;
      asked.append(buffer, static_cast<size_t>(n));
      bool sent = true;
      for (size_t end; sent && (end = asked.find('\n')) != std::string::npos;) {
        const std::string line = asked.substr(0, end + 1), answer = Answer(line);
        asked.erase(0, end + 1);
        if (line.rfind("PASS", 0) == 0) ++passwords_, loggedIn = answer.empty();
        storing = line.rfind("STOR ", 0) == 0 || line.rfind("APPE ", 0) == 0;
        if (storing && fault_ == Fault::kResetUploads) {
          reset = true;
          break;
        }
        sent = answer.empty() ? server < 0 || SendAll(server, line) : SendAll(client, answer);
      }
      if (!sent || reset) break;
    }
    if (server >= 0 && p[1].revents != 0) {
      const ssize_t n = recv(server, buffer, sizeof buffer, 0);
      if (n <= 0 || (raw && !SendAll(client, std::string_view(buffer, static_cast<size_t>(n)))))
        break;
      if (raw || fault_ == Fault::kMute) continue;
      if (fault_ == Fault::kSlow)
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_.load()));
      pending.append(buffer, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
        std::string out = Rewrite(pending.substr(0, end + 1), full);
        pending.erase(0, end + 1);
        const bool closing = out.size() > 3 && out[0] >= '2' && out[0] <= '5' && out[3] == ' ';
        if (closing && storing && (swallow || fault_ == Fault::kNoConfirm)) out.clear();
        if (closing) storing = swallow = false;
        if (!SendAll(client, out)) break;
      }
    }
  }
  reset ? Abort(client) : void(close(client));
  if (server >= 0) close(server);
}

void FtpRelay::Data(int listener, uint16_t serverPort, std::shared_ptr<std::atomic<bool>> full) {
  pollfd wait{listener, POLLIN, 0};
  int client = -1;
  for (int i = 0; i < 100 && !stop_ && client < 0; ++i)
    if (poll(&wait, 1, 50) > 0) client = accept(listener, nullptr, nullptr);
  close(listener);
  const int server = client >= 0 ? DialLoopback(serverPort) : -1;
  uint64_t carried = 0;
  char buffer[4096];
  bool cut = false, rested = false;
  while (!stop_ && client >= 0 && server >= 0) {
    pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    if (poll(p, 2, 50) <= 0) continue;
    const int from = p[0].revents != 0 ? client : server;
    const int to = from == client ? server : client;
    const uint64_t left = rested ? sizeof buffer : cutAfter_ - carried;
    const ssize_t n =
        recv(from, buffer, static_cast<size_t>(std::min<uint64_t>(sizeof buffer, left)), 0);
    if (n <= 0 || !SendAll(to, std::string_view(buffer, static_cast<size_t>(n)))) break;
    carried += static_cast<uint64_t>(n);
    if (rested || carried < cutAfter_) continue;
    if (fault_ == Fault::kRest) {
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_.load()));
      rested = true;
      continue;
    }
    cut = true;
    break;
  }
  if (cut) ++cuts_;
  if (cut && fault_ == Fault::kFullMidway) *full = true;  // told before the connections go
  if (client >= 0) cut ? Abort(client) : void(close(client));
  if (server >= 0) cut ? Abort(server) : void(close(server));
}

EndlessFtpServer::EndlessFtpServer(bool wide, int cap, bool looping)
    : wide_(wide), cap_(cap), looping_(looping) {
  Serve([this](int client) { Session(client); });
}

void EndlessFtpServer::Session(int client) {
  const int on = 1;  // replies go out at once, as a real server's do
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const std::string stamp = "modify=20260101120000;";
  const std::string machine = wide_ ? "type=dir;" + stamp + " a\r\ntype=dir;" + stamp +
                                          " b\r\ntype=file;size=1;" + stamp + " f.txt\r\n"
                                    : "type=dir;" + stamp + " d\r\n";
  const std::string names = wide_ ? "a\r\nb\r\nf.txt\r\n" : "d\r\n";
  int passive = -1;
  std::string buffer, line;
  SendAll(client, "220 welcome\r\n");
  while (ReadLine(client, &buffer, &line, stop_)) {
    std::string verb = line.substr(0, line.find(' '));
    for (char& c : verb) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    // The plain answers (files and writes refused); the others below.
    const std::pair<const char*, const char*> kReplies[] = {
        {"USER", "331 any password"},  {"PASS", "230 in"},
        {"PWD", "257 \"/\""},          {"CWD TYPE NOOP OPTS", "250 fine"},
        {"SYST", "215 UNIX Type: L8"}, {"SIZE MDTM RETR STOR MKD DELE RNFR", "550 no"}};
    std::string reply = "502 not here";
    for (const auto& [verbs, answer] : kReplies)
      if ((" " + std::string(verbs) + " ").find(" " + verb + " ") != std::string::npos)
        reply = answer;
    reply += "\r\n";
    if (verb == "EPSV" || verb == "PASV") {
      if (passive >= 0) close(passive);
      uint16_t port = 0;
      passive = ListenLoopback(&port);
      reply = verb == "EPSV" ? "229 passive (|||" + std::to_string(port) + "|)\r\n"
                             : "227 passive (127,0,0,1," + std::to_string(port >> 8) + "," +
                                   std::to_string(port & 255) + ")\r\n";
    } else if (verb == "MLSD" || verb == "NLST" || verb == "LIST") {
      pollfd p{passive, POLLIN, 0};
      const int data =
          passive >= 0 && poll(&p, 1, 5000) > 0 ? accept(passive, nullptr, nullptr) : -1;
      if (data < 0) {
        reply = "425 no data connection\r\n";
      } else {
        SendAll(client, "150 here it comes\r\n");
        // Each level's file differs in size: folders without end, not one folder again.
        std::string listing = verb == "MLSD" ? machine : names;
        if (const size_t size = listing.find("size=1;"); size != std::string::npos && !looping_)
          listing.replace(size + 5, 1,
                          std::to_string(1 + std::count(line.begin(), line.end(), '/')));
        if (cap_ == 0 || ++listings_ <= cap_) SendAll(data, listing);
        if (cap_ == 0) ++listings_;
        close(data);
        reply = "226 done\r\n";
      }
      if (passive >= 0) close(passive);
      passive = -1;
    } else if (verb == "QUIT") {
      SendAll(client, "221 bye\r\n");
      break;
    }
    if (!SendAll(client, reply)) break;
  }
  if (passive >= 0) close(passive);
  close(client);
}

HostileS3::HostileS3(Manner manner) : manner_(manner) {
  Serve([this](int client) { Session(client); });
}

ObjectStoreSettings HostileS3::Settings(const std::string& prefix) const {
  ObjectStoreSettings s;
  s.endpoint = Endpoint();
  s.bucket = "hostile";
  s.prefix = prefix;
  s.accessKey = "HOSTILEACCESSKEY";
  s.secretKey = "hostilesecret";
  s.timeout = 5;
  return s;
}

std::vector<std::string> HostileS3::Lines() const {
  std::lock_guard<std::mutex> guard(lock_);
  return lines_;
}

std::vector<std::string> HostileS3::Keys() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::string> keys;
  for (const auto& [key, body] : objects_) keys.push_back(key);
  return keys;
}

void HostileS3::Session(int client) {
  std::string buffer;
  while (!stop_) {
    size_t end;
    bool open = true;
    while (open && (end = buffer.find("\r\n\r\n")) == std::string::npos)
      open = ReceiveMore(client, &buffer, stop_);
    if (!open) break;
    const std::string head = buffer.substr(0, end + 2);
    buffer.erase(0, end + 4);
    const size_t length = std::strtoull(HeaderValue(head, "content-length").c_str(), nullptr, 10);
    if (HeaderValue(head, "expect") == "100-continue" &&
        !SendAll(client, "HTTP/1.1 100 Continue\r\n\r\n"))
      break;
    while (buffer.size() < length && ReceiveMore(client, &buffer, stop_)) {
    }
    if (buffer.size() < length) break;
    const std::string body = buffer.substr(0, length);
    buffer.erase(0, length);
    const std::string line = head.substr(0, head.find("\r\n"));
    const size_t space = line.find(' ');
    const std::string method = line.substr(0, space);
    const std::string target = line.substr(space + 1, line.rfind(' ') - space - 1);
    ++requests_;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (lines_.size() < 100000) lines_.push_back(method + " " + target);
    }
    const std::string answer = Answer(method, target, head, body);
    if (answer.empty() || !SendAll(client, answer)) break;  // "": dropped, no answer
  }
  close(client);
}

std::string HostileS3::Answer(const std::string& method, const std::string& target,
                              const std::string& headers, const std::string& body) {
  const Manner manner = manner_;
  if (manner == kRedirect)
    return Reply(307, "Temporary Redirect", "",
                 "Location: http://127.0.0.2:" + std::to_string(Port()) + target + "\r\n");
  const size_t question = target.find('?');
  const std::string path = target.substr(0, question);
  const std::string query = question == std::string::npos ? "" : target.substr(question + 1);
  const std::string key = path.size() > 9 ? path.substr(9) : "";  // past "/hostile/"
  if (method == "GET" && key.empty() && manner == kListDenied)
    return Reply(403, "Forbidden", "<Error><Code>AccessDenied</Code></Error>");
  const bool prefixed = query.find("prefix=") != std::string::npos;
  const std::string internal = "<Error><Code>InternalError</Code></Error>";
  // The listing of every key below a prefix (the check for stores below).
  const bool below = prefixed && query.find("delimiter") == std::string::npos &&
                     query.find("uploads") == std::string::npos;
  if (method == "GET" && key.empty() && below && manner == kBelow500)
    return Reply(500, "Internal Server Error", internal);
  if (method == "GET" && key.empty()) {
    const bool uploads = query.find("uploads") != std::string::npos;
    const bool endless = manner == kEndless || manner == kRepeatedMarker;
    // A page of a thousand names (or none at all when honest).
    std::string items, prefix;
    const size_t named = query.find("prefix=");
    for (size_t i = named + 7; named != std::string::npos && i < query.size() && query[i] != '&';
         ++i)
      prefix += query.compare(i, 3, "%2F") == 0 ? (i += 2, '/') : query[i];
    const int page = ++pages_;
    for (int i = 0; endless && i < 1000; ++i) {
      const std::string name = prefix + "p" + std::to_string(page) + "-" + std::to_string(i);
      items += uploads
                   ? "<Upload><Key>" + name + "</Key><UploadId>u" + name + "</UploadId></Upload>"
                   : "<Contents><Key>" + name + "</Key><Size>1</Size></Contents>";
    }
    if (below && manner == kHtmlListing)  // a proxy's page, answered as if all went well
      return Reply(200, "OK", "<html><body>Service temporarily moved</body></html>");
    if (below && manner == kCutListing)  // the end lost on the way, the length made to fit
      return Reply(200, "OK", "<?xml version=\"1.0\"?><ListBucketResult><Name>hostile</Name>");
    if (below && manner == kTruncatedNoToken)
      return Reply(200, "OK",
                   "<ListBucketResult><Contents><Key>" + prefix +
                       "a/x.txt</Key><Size>1</Size></Contents><IsTruncated>true</IsTruncated>"
                       "</ListBucketResult>");
    if (below && manner == kListsBelow) {
      std::lock_guard<std::mutex> guard(lock_);
      for (const auto& [held, body] : objects_)
        if (held.rfind(prefix, 0) == 0) items += "<Contents><Key>" + held + "</Key></Contents>";
    }
    if (below && manner == kNoPrefix)
      items = "<Contents><Key>elsewhere/in/Brevanto.dat</Key><Size>9</Size></Contents>";
    const std::string marker = manner == kRepeatedMarker ? "same" : "m" + std::to_string(page);
    const std::string root = uploads ? "ListMultipartUploadsResult" : "ListBucketResult";
    const std::string more = !endless  ? "<IsTruncated>false</IsTruncated>"
                             : uploads ? "<IsTruncated>true</IsTruncated><NextKeyMarker>" + marker +
                                             "</NextKeyMarker><NextUploadIdMarker>" + marker +
                                             "</NextUploadIdMarker>"
                                       : "<IsTruncated>true</IsTruncated><NextContinuationToken>" +
                                             marker + "</NextContinuationToken>";
    return Reply(200, "OK",
                 "<?xml version=\"1.0\"?><" + root + ">" + items + more + "</" + root + ">");
  }
  const bool marker = key.size() >= 12 && key.substr(key.size() - 12) == "Brevanto.dat";
  if (marker && (manner == kMarkerDenied || (manner == kMarkerUnwritable && method == "PUT")))
    return Reply(403, "Forbidden", "<Error><Code>AccessDenied</Code></Error>");
  if (marker && manner == kMarkerJunk && method == "GET") return Reply(200, "OK", "junk");
  if (marker &&
      ((manner == kMarker500 && method == "GET") || (manner == kMarkerPut500 && method == "PUT")))
    return Reply(500, "Internal Server Error", internal);
  if (marker && manner == kMarkerDropped && method == "GET") return "";
  if (key == "Brevanto.dat" && method == "GET" && manner == kAbove500)
    return Reply(500, "Internal Server Error", internal);
  if (key == "Brevanto.dat" && method == "GET" && manner == kAboveHtml)
    return Reply(200, "OK", "<html><body>Service temporarily unavailable</body></html>");
  if (marker && manner == kMarkerNotKept && method == "PUT")
    return Reply(200, "OK", "",
                 "ETag: \"" + HexOfBase64(HeaderValue(headers, "content-md5")) + "\"\r\n");
  if (marker && manner == kGhostMarker && method == "PUT")
    return Reply(412, "Precondition Failed", "<Error><Code>PreconditionFailed</Code></Error>");
  std::lock_guard<std::mutex> guard(lock_);
  if (method == "PUT" && marker && manner == kMarkerAnswerLost) {
    if (!HeaderValue(headers, "if-none-match").empty() && objects_.count(key))
      return Reply(412, "Precondition Failed", "<Error><Code>PreconditionFailed</Code></Error>");
    objects_[key] = body;
    if (!std::exchange(markerAnswered_, true)) return Reply(504, "Gateway Timeout", "");
  }
  if (method == "PUT") {
    objects_[key] = body;
    std::string etag = HexOfBase64(HeaderValue(headers, "content-md5"));
    if (manner == kWrongETag) etag = std::string(32, '0');
    if (manner == kOpaqueETag) etag = "kms-" + std::string(28, 'a') + "-1";
    return Reply(200, "OK", "", "ETag: \"" + etag + "\"\r\n");
  }
  const auto held = objects_.find(key);
  if (method == "DELETE") {
    if (held != objects_.end()) objects_.erase(held);
    return Reply(204, "No Content", "");
  }
  if (held == objects_.end())
    return Reply(404, "Not Found", method == "HEAD" ? "" : "<Error><Code>NoSuchKey</Code></Error>");
  if (method == "HEAD")
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(held->second.size()) + "\r\n\r\n";
  return Reply(200, "OK", held->second);
}

}  // namespace bvtest
