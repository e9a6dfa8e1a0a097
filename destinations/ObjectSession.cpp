#include "destinations/ObjectSession.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "destinations/CurlKeys.h"
#include "platform/files/Files.h"

namespace {

constexpr size_t kReadPiece = 1 << 16;

CURL* Handle(void* h) { return static_cast<CURL*>(h); }

size_t Collect(char* data, size_t size, size_t n, void* out) {
  if (out != nullptr) static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

struct Sink {
  const std::function<bool(const char*, size_t)>* take;
  const ObjectReply* const* running;  // its status is known once the headers are in
  std::string error;                  // the body of a refusal
};

size_t ToSink(char* data, size_t size, size_t n, void* p) {
  auto* sink = static_cast<Sink*>(p);
  if ((*sink->running)->status >= 300) {
    sink->error.append(data, size * n);
    return size * n;
  }
  return (*sink->take)(data, size * n) ? size * n : 0;
}

bool StartsNoCase(std::string_view line, std::string_view start) {
  if (line.size() < start.size()) return false;
  for (size_t i = 0; i < start.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) != start[i]) return false;
  }
  return true;
}

// One header line of an answer: its status line, its ETag and the
// attributes its metadata holds.
size_t HeaderOf(char* data, size_t size, size_t n, void* out) {
  auto* reply = static_cast<ObjectReply*>(out);
  const std::string_view line(data, size * n);
  if (line.rfind("HTTP/", 0) == 0 && line.size() > 12) {
    reply->status = std::atol(std::string(line.substr(9, 3)).c_str());
    reply->kept = {};
    return size * n;
  }
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return size * n;
  std::string value(line.substr(colon + 1));
  while (!value.empty() && value.front() == ' ') value.erase(value.begin());
  while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' '))
    value.pop_back();
  const std::string_view name = line.substr(0, colon);
  char* end = nullptr;
  if (StartsNoCase(name, "etag") && name.size() == 4) {
    reply->etag = value;
  } else if (StartsNoCase(name, "location") && name.size() == 8) {
    reply->location = value;
  } else if (StartsNoCase(name, "x-amz-meta-mode") && name.size() == 15) {
    const long mode = std::strtol(value.c_str(), &end, 8);
    if (end != value.c_str() && *end == '\0' && mode >= 0 && mode <= 07777)
      reply->kept.mode = static_cast<int32_t>(mode);
  } else if (StartsNoCase(name, "x-amz-meta-mtime") && name.size() == 16) {
    const long long time = std::strtoll(value.c_str(), &end, 10);
    if (end != value.c_str() && (*end == '\0' || *end == '.') && time >= 0) reply->kept.time = time;
  }
  return size * n;
}

struct Upload {
  plat::File* file;
  uint64_t left;
  const std::function<bool()>* stillSame;
};

size_t ReadPiece(char* buffer, size_t size, size_t count, void* p) {
  auto* up = static_cast<Upload*>(p);
  size_t want = size * count;
  if (want > up->left) want = static_cast<size_t>(up->left);
  if (want == 0) return 0;
  size_t got = 0;
  if (!up->file->Read(buffer, want, &got) || got == 0) return CURL_READFUNC_ABORT;
  up->left -= got;
  if (up->left == 0 && *up->stillSame && !(*up->stillSame)()) return CURL_READFUNC_ABORT;
  return got;
}

}  // namespace

std::string ObjectUriEncode(std::string_view text, bool keepSlash) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' ||
        (keepSlash && c == '/')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

namespace {
std::string Base64Md5(EVP_MD_CTX* md) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(md, digest, &length);
  EVP_MD_CTX_free(md);
  unsigned char text[32] = {};
  const int n = EVP_EncodeBlock(text, digest, static_cast<int>(length));
  return std::string(reinterpret_cast<char*>(text), static_cast<size_t>(n));
}
}  // namespace

std::string ObjectFileMd5(plat::File* file) {
  if (!file->Seek(0)) return "";
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  EVP_DigestInit_ex(md, EVP_md5(), nullptr);
  std::string piece(kReadPiece, '\0');
  bool ok = true;
  for (size_t got = kReadPiece; got == kReadPiece;) {
    if (!file->Read(piece.data(), piece.size(), &got)) {
      ok = false;
      break;
    }
    EVP_DigestUpdate(md, piece.data(), got);
  }
  const std::string md5 = Base64Md5(md);
  return ok && file->Seek(0) ? md5 : "";
}

ObjectSession::ObjectSession() = default;
ObjectSession::~ObjectSession() { Close(); }

void ObjectSession::SetOptions(const ObjectStoreSettings& options) {
  if (options.endpoint != options_.endpoint || options.pinnedKey != options_.pinnedKey) Close();
  options_ = options;
}

void ObjectSession::Close() {
  if (handle_ != nullptr) curl_easy_cleanup(Handle(handle_));
  handle_ = nullptr;
}

void ObjectSession::Prepare(const char* method, std::string_view key, const std::string& query) {
  if (handle_ == nullptr) handle_ = curl_easy_init();
  CURL* curl = Handle(handle_);
  curl_easy_reset(curl);  // keeps the open connection
  // A "." or ".." step would be taken out of the path on its way (into another
  // bucket, even): such a key is never asked for.
  climbs_ = false;
  for (size_t begin = 0; begin <= key.size();) {
    size_t end = key.find('/', begin);
    if (end == std::string_view::npos) end = key.size();
    if (key.substr(begin, end - begin) == ".." || key.substr(begin, end - begin) == ".")
      climbs_ = true;
    begin = end + 1;
  }
  std::string base = options_.endpoint;
  while (!base.empty() && base.back() == '/') base.pop_back();
  std::string url;
  if (options_.pathStyle != 0) {
    url = base + "/" + ObjectUriEncode(options_.bucket, false);
    if (!key.empty()) url += "/" + ObjectUriEncode(key, true);
  } else {
    const size_t host = base.find("://");
    const size_t at = host == std::string::npos ? 0 : host + 3;
    url = base.substr(0, at) + options_.bucket + "." + base.substr(at) + "/" +
          ObjectUriEncode(key, true);
  }
  if (!query.empty()) url += "?" + query;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
  const std::string sigv4 = "aws:amz:" + options_.region + ":s3";
  curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, sigv4.c_str());
  curl_easy_setopt(curl, CURLOPT_USERNAME, options_.accessKey.c_str());
  curl_easy_setopt(curl, CURLOPT_PASSWORD, options_.secretKey.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // Verified always: with a pinned key, the key is what is checked.
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, options_.pinnedKey.empty() ? 2L : 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, options_.pinnedKey.empty() ? 1L : 0L);
  if (!options_.pinnedKey.empty())
    curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY, options_.pinnedKey.c_str());
  const long wait = options_.timeout > 0 ? options_.timeout : 30;
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, wait);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, wait);
  if (std::string_view(method) == "HEAD") curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
}

bool SendsInClear(std::string_view endpoint) {
  constexpr std::string_view kPlain = "http://";
  if (endpoint.size() < kPlain.size()) return false;
  for (size_t i = 0; i < kPlain.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(endpoint[i])) != kPlain[i]) return false;
  }
  std::string_view host = endpoint.substr(kPlain.size());
  host = host.substr(0, host.find_first_of("/?#"));
  host = host.substr(host.rfind('@') == std::string_view::npos ? 0 : host.rfind('@') + 1);
  if (!host.empty() && host.front() == '[') {
    host = host.substr(1, host.find(']') == std::string_view::npos ? 0 : host.find(']') - 1);
    return host != "::1";
  }
  host = host.substr(0, host.find(':'));
  std::string lower(host);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "localhost") return false;
  // 127.0.0.0/8, written as four numbers.
  int parts = 0;
  unsigned first = 0;
  if (std::sscanf(lower.c_str(), "%u.%*u.%*u.%*u%n", &first, &parts) == 1 &&
      static_cast<size_t>(parts) == lower.size() && first == 127)
    return false;
  return true;
}

ObjectReply ObjectSession::Run(std::vector<std::string> headers, bool keepBody) {
  CURL* curl = Handle(handle_);
  ObjectReply reply;
  if (SendsInClear(options_.endpoint)) {
    reply.transport = CURLE_UNSUPPORTED_PROTOCOL;  // nothing sent
    return reply;
  }
  if (climbs_) {
    reply.transport = CURLE_URL_MALFORMAT;  // nothing sent
    return reply;
  }
  headers.push_back("x-amz-content-sha256: UNSIGNED-PAYLOAD");
  curl_slist* list = nullptr;
  for (const std::string& h : headers) list = curl_slist_append(list, h.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  std::string body;
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, HeaderOf);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply);
  curl_easy_setopt(curl, CURLOPT_FILETIME, 1L);
  running_ = &reply;
  if (body_ == nullptr) {
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  }
  reply.transport = curl_easy_perform(curl);
  running_ = nullptr;
  curl_slist_free_all(list);
  reply.status = 0;
  if (reply.transport == CURLE_OK || reply.transport == CURLE_WRITE_ERROR)
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
  curl_off_t modified = -1;
  if (reply.status != 0 && curl_easy_getinfo(curl, CURLINFO_FILETIME_T, &modified) == CURLE_OK)
    reply.modified = modified;
  if (body_ != nullptr) body = *body_;
  size_t at = 0;
  std::string code;
  // An error can also come inside a 200 (a copy that failed midway).
  if (body.find("<Error>") != std::string::npos && ObjectXmlElement(body, "Code", &at, &code))
    reply.code = code;
  else if (reply.status >= 300)
    reply.code = "Http" + std::to_string(reply.status);
  if (keepBody) reply.body = std::move(body);
  return reply;
}

ObjectReply ObjectSession::Head(std::string_view key) {
  Prepare("HEAD", key, "");
  return Run({}, false);
}

ObjectReply ObjectSession::Delete(std::string_view key) {
  Prepare("DELETE", key, "");
  return Run({}, false);
}

std::vector<std::string> ObjectSession::MetadataHeaders(const ObjectAttributes& attributes) {
  std::vector<std::string> headers;
  char text[40];
  if (attributes.mode >= 0) {
    std::snprintf(text, sizeof text, "%o", static_cast<unsigned>(attributes.mode & 07777));
    headers.push_back(std::string("x-amz-meta-mode: ") + text);
  }
  if (attributes.time >= 0)
    headers.push_back("x-amz-meta-mtime: " + std::to_string(attributes.time));
  return headers;
}

ObjectReply ObjectSession::Put(std::string_view key, plat::File* file, uint64_t size,
                               const std::string& md5, const std::function<bool()>& stillSame,
                               const ObjectAttributes& attributes) {
  Prepare("PUT", key, "");
  CURL* curl = Handle(handle_);
  Upload up{file, size, &stillSame};
  curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadPiece);
  curl_easy_setopt(curl, CURLOPT_READDATA, &up);
  curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
  // No "Expect:" override: the signature would name a header that is not sent.
  std::vector<std::string> headers = MetadataHeaders(attributes);
  headers.push_back("Content-MD5: " + md5);
  return Run(std::move(headers), false);
}

ObjectReply ObjectSession::RunWithBody(const std::string& text, bool keepBody,
                                       std::vector<std::string> headers) {
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  EVP_DigestInit_ex(md, EVP_md5(), nullptr);
  EVP_DigestUpdate(md, text.data(), text.size());
  const std::string md5 = Base64Md5(md);
  curl_easy_setopt(Handle(handle_), CURLOPT_POSTFIELDSIZE_LARGE,
                   static_cast<curl_off_t>(text.size()));
  curl_easy_setopt(Handle(handle_), CURLOPT_POSTFIELDS, text.data());
  headers.push_back("Content-MD5: " + md5);
  return Run(std::move(headers), keepBody);
}

ObjectReply ObjectSession::PutText(std::string_view key, const std::string& text, bool onlyNew) {
  Prepare("PUT", key, "");
  return RunWithBody(
      text, false,
      onlyNew ? std::vector<std::string>{"If-None-Match: *"} : std::vector<std::string>{});
}

ObjectReply ObjectSession::StartParts(std::string_view key, std::string* uploadId,
                                      const ObjectAttributes& attributes) {
  Prepare("POST", key, "uploads=");  // not a bare "uploads": the signature wants the "="
  ObjectReply reply = RunWithBody("", true, MetadataHeaders(attributes));
  size_t at = 0;
  if (reply.Ok() && !ObjectXmlElement(reply.body, "UploadId", &at, uploadId))
    reply.code = "NoUploadId";
  return reply;
}

ObjectReply ObjectSession::PutPart(std::string_view key, const std::string& uploadId, int number,
                                   const std::string& data) {
  Prepare("PUT", key,
          "partNumber=" + std::to_string(number) + "&uploadId=" + ObjectUriEncode(uploadId, false));
  return RunWithBody(data, false);
}

ObjectReply ObjectSession::CompleteParts(std::string_view key, const std::string& uploadId,
                                         const std::vector<std::string>& etags) {
  std::string xml = "<CompleteMultipartUpload>";
  for (size_t i = 0; i < etags.size(); ++i)
    xml += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>" + etags[i] +
           "</ETag></Part>";
  xml += "</CompleteMultipartUpload>";
  Prepare("POST", key, "uploadId=" + ObjectUriEncode(uploadId, false));
  return RunWithBody(xml, false);
}

ObjectReply ObjectSession::AbortParts(std::string_view key, const std::string& uploadId) {
  Prepare("DELETE", key, "uploadId=" + ObjectUriEncode(uploadId, false));
  return Run({}, false);
}

ObjectReply ObjectSession::Copy(std::string_view from, std::string_view to) {
  Prepare("PUT", to, "");
  curl_easy_setopt(Handle(handle_), CURLOPT_POSTFIELDSIZE, 0L);
  curl_easy_setopt(Handle(handle_), CURLOPT_POSTFIELDS, "");
  return Run({"x-amz-copy-source: /" + ObjectUriEncode(options_.bucket, false) + "/" +
              ObjectUriEncode(from, true)},
             false);
}

ObjectReply ObjectSession::Get(std::string_view key,
                               const std::function<bool(const char*, size_t)>& sink) {
  Prepare("GET", key, "");
  Sink s{&sink, &running_, {}};
  curl_easy_setopt(Handle(handle_), CURLOPT_WRITEFUNCTION, ToSink);
  curl_easy_setopt(Handle(handle_), CURLOPT_WRITEDATA, &s);
  body_ = &s.error;
  ObjectReply reply = Run({}, false);
  body_ = nullptr;
  return reply;
}

namespace {}  // namespace

std::string ObjectSession::ServerKey() {
  // A pin no key has fails every handshake after the library has told the
  // key it saw; the connection made for it is not kept.
  const ObjectStoreSettings kept = options_;
  Close();
  options_.pinnedKey = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
  std::string key;
  Prepare("HEAD", "", "");
  curl_easy_setopt(Handle(handle_), CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(Handle(handle_), CURLOPT_DEBUGFUNCTION, NoteCurlKeyText);
  curl_easy_setopt(Handle(handle_), CURLOPT_DEBUGDATA, &key);
  Run({}, false);
  Close();
  options_ = kept;
  return key;
}

ObjectReply ObjectSession::Probe() {
  Prepare("GET", "", "list-type=2&max-keys=0");
  return Run({}, false);
}

std::string HexOfBase64(std::string_view base64) {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string hex;
  uint32_t bits = 0;
  int count = 0;
  for (char c : base64) {
    const size_t v = kAlphabet.find(c);
    if (v == std::string_view::npos) break;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      char two[3];
      std::snprintf(two, sizeof two, "%02x", (bits >> count) & 0xffu);
      hex += two;
    }
  }
  return hex;
}

// The ETag answered against the MD5 sent.
bool ObjectETagMatches(const std::string& etag, const std::string& md5Base64) {
  std::string hex = etag;
  if (hex.size() >= 2 && hex.front() == '"' && hex.back() == '"')
    hex = hex.substr(1, hex.size() - 2);
  if (hex.size() != 32 || !std::all_of(hex.begin(), hex.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c));
      }))
    return true;
  for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return hex == HexOfBase64(md5Base64);
}
