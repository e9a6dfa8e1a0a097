// ObjectSession: requests to an S3-compatible object store over one libcurl
// handle kept between requests (its connection is reused). Each request is
// signed by libcurl (AWS signature version 4) and carries the
// x-amz-content-sha256 header the signature covers. TLS is always verified:
// by the system authorities, or by the pinned public key. Not thread-safe:
// its user serialises the requests.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/PlanSettings.h"

namespace plat {
class File;
}

// What a copy keeps of its source besides its bytes, as the object's
// metadata (x-amz-meta-mode, x-amz-meta-mtime): the permission bits and the
// last write.
struct ObjectAttributes {
  int32_t mode = -1;  // 07777 at most; -1: not said
  int64_t time = -1;  // seconds since 1970 UTC; -1: not said
};

// The end of one request: the HTTP status (0: no answer; curl tells why in
// transport), the error code of the answer's XML ("NoSuchBucket", "SlowDown"),
// and the answer's body when it was kept.
struct ObjectReply {
  long status = 0;
  int transport = 0;  // CURLcode
  std::string code;
  std::string body;
  std::string etag;       // the ETag header, quotes included
  std::string location;   // the Location header (a redirect's)
  ObjectAttributes kept;  // the metadata the answer carried (GET, HEAD)
  int64_t modified = -1;  // its Last-Modified, seconds since 1970 UTC; -1: not said
  bool cutShort = false;  // a listing stopped as endless said more was to come, with no token
  bool Ok() const { return status >= 200 && status < 300 && code.empty(); }
};

// The code of a listing stopped before its end: its pages never ended, or
// one named the marker of a page before.
inline constexpr char kEndlessListing[] = "EndlessListing";

// One entry of a listing below a prefix: a key, or a common prefix ending
// with "/" (a "folder").
struct ObjectEntry {
  std::string name;  // relative to the listed prefix
  uint64_t size = 0;
  bool folder = false;
  int64_t time = 0;  // when it was written, seconds since 1970 UTC (0: not said)
  std::string etag;  // quotes included
};

// An endpoint that would carry requests and data in clear to another machine
// ("http://" to anything but this machine's loopback): no request goes there.
bool SendsInClear(std::string_view endpoint);

class ObjectSession {
 public:
  ObjectSession();
  ~ObjectSession();
  ObjectSession(const ObjectSession&) = delete;
  ObjectSession& operator=(const ObjectSession&) = delete;

  void SetOptions(const ObjectStoreSettings& options);
  void Close();

  // HEAD of a key; Ok() when it exists.
  ObjectReply Head(std::string_view key);
  // Deletes a key (the store answers 204 also for a missing one).
  ObjectReply Delete(std::string_view key);
  // Uploads the open file whole under key in one PUT, its MD5 in
  // Content-MD5 (the store refuses a body that differs). stillSame is asked
  // after the last byte was read; false aborts the upload. The object keeps
  // the attributes said.
  ObjectReply Put(std::string_view key, plat::File* file, uint64_t size, const std::string& md5,
                  const std::function<bool()>& stillSame, const ObjectAttributes& attributes = {});
  // Uploads a short text whole under key, with its Content-MD5; onlyNew:
  // only where no object is (If-None-Match: *; 412 when one is, on a store
  // that honours it).
  ObjectReply PutText(std::string_view key, const std::string& text, bool onlyNew = false);
  // Copies a key on the server side.
  ObjectReply Copy(std::string_view from, std::string_view to);
  // A multipart upload: started (its id), parts of at least 5 MiB but the
  // last numbered from 1 (each with its Content-MD5; the part's ETag comes
  // back in the reply), completed from the parts' ETags in order, or aborted
  // (the parts sent are dropped).
  ObjectReply StartParts(std::string_view key, std::string* uploadId,
                         const ObjectAttributes& attributes = {});
  ObjectReply PutPart(std::string_view key, const std::string& uploadId, int number,
                      const std::string& data);
  ObjectReply CompleteParts(std::string_view key, const std::string& uploadId,
                            const std::vector<std::string>& etags);
  ObjectReply AbortParts(std::string_view key, const std::string& uploadId);
  // The unfinished multipart uploads below prefix (key, upload id), every
  // page; none and kEndlessListing when the pages do not end.
  ObjectReply ListParts(std::string_view prefix,
                        std::vector<std::pair<std::string, std::string>>* uploads);
  // GET of a key, each piece handed to sink (false stops it).
  ObjectReply Get(std::string_view key, const std::function<bool(const char*, size_t)>& sink);
  // Every key and common prefix directly below prefix, through all pages;
  // none and kEndlessListing when the pages do not end (or one is cut short
  // with no token to go on); keys outside prefix are left out. firstOnly > 0: that
  // many at most, from the first page alone. flat: every key below prefix,
  // at any depth (no common prefixes).
  ObjectReply List(std::string_view prefix, std::vector<ObjectEntry>* entries, int firstOnly = 0,
                   bool flat = false);
  // Pages through the entries directly below prefix until one is wanted
  // (*found: it) or the listing ends (*found: false). Past a few pages the
  // answer is kEndlessListing: what follows is not known.
  ObjectReply Seek(std::string_view prefix, const std::function<bool(const ObjectEntry&)>& wanted,
                   bool* found);
  // Whether the bucket answers (a listing of no keys).
  ObjectReply Probe();
  // Whether the bucket keeps the old versions of what is replaced or
  // deleted itself (its versioning is enabled).
  ObjectReply Versioning(bool* keepsVersions);
  // The public key the endpoint's TLS certificate holds, as a pin
  // ("sha256//BASE64"), whoever vouches for it; nothing is sent past the
  // handshake. Empty when there is no TLS or no answer.
  std::string ServerKey();

 private:
  // List, stopping once a page holds an entry wanted (when one is given).
  ObjectReply ListPages(std::string_view prefix, std::vector<ObjectEntry>* entries, int firstOnly,
                        bool flat, const std::function<bool(const ObjectEntry&)>& wanted);
  // Resets the handle for a request on key with an encoded query (its
  // parameters in sorted order, as the signature wants them).
  void Prepare(const char* method, std::string_view key, const std::string& query);
  ObjectReply Run(std::vector<std::string> headers, bool keepBody);
  // The metadata headers of attributes.
  static std::vector<std::string> MetadataHeaders(const ObjectAttributes& attributes);
  // Sends text as the whole body of the prepared request, with its Content-MD5.
  ObjectReply RunWithBody(const std::string& text, bool keepBody,
                          std::vector<std::string> headers = {});

  ObjectStoreSettings options_;
  void* handle_ = nullptr;  // CURL*
  bool climbs_ = false;     // the prepared key holds a ".." step
  std::string* body_ = nullptr;
  const ObjectReply* running_ = nullptr;  // the reply of the request in flight (its status)
};

// Percent-encodes every byte outside A-Z a-z 0-9 - . _ ~ ("/" too unless keepSlash).
std::string ObjectUriEncode(std::string_view text, bool keepSlash);
// The base64 MD5 of a whole open file read from its start; empty when it cannot be read.
std::string ObjectFileMd5(plat::File* file);
// False when etag is an MD5 (32 hex digits, quoted or not) other than the
// base64 MD5 sent; an ETag in another form (a store that encrypts with keys
// of its own) tells nothing and is taken.
bool ObjectETagMatches(const std::string& etag, const std::string& md5Base64);
// The bytes of a base64 text (a Content-MD5 header) as lower-case hex.
std::string HexOfBase64(std::string_view base64);
// The text of the first element named tag at or after *at in xml (moves *at past it).
bool ObjectXmlElement(const std::string& xml, const char* tag, size_t* at, std::string* text);
