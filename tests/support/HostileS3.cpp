#include "support/HostileS3.h"

#include <poll.h>

#include <cctype>
#include <cstdio>
#include <utility>

#include "destinations/ObjectSession.h"
#include "support/Loopback.h"

namespace bvtest {
namespace {

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
    size_t end = buffer.find("\r\n\r\n");
    while (end == std::string::npos) {
      pollfd p{client, POLLIN, 0};
      if (stop_) break;
      if (poll(&p, 1, 50) <= 0) continue;
      char chunk[4096];
      const ssize_t n = recv(client, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      buffer.append(chunk, static_cast<size_t>(n));
      end = buffer.find("\r\n\r\n");
    }
    if (end == std::string::npos) break;
    const std::string head = buffer.substr(0, end + 2);
    buffer.erase(0, end + 4);
    const size_t length = std::strtoull(HeaderValue(head, "content-length").c_str(), nullptr, 10);
    if (HeaderValue(head, "expect") == "100-continue" &&
        !SendAll(client, "HTTP/1.1 100 Continue\r\n\r\n"))
      break;
    while (buffer.size() < length && !stop_) {
      pollfd p{client, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char chunk[65536];
      const ssize_t n = recv(client, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      buffer.append(chunk, static_cast<size_t>(n));
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
