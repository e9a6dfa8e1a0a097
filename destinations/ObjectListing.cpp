// The listings of a bucket (keys, unfinished uploads) and the XML they come in.
#include "destinations/ObjectSession.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

bool ObjectXmlElement(const std::string& xml, const char* tag, size_t* at, std::string* text) {
  const std::string open = std::string("<") + tag + ">";
  const size_t begin = xml.find(open, *at);
  if (begin == std::string::npos) return false;
  const size_t end = xml.find(std::string("</") + tag + ">", begin);
  if (end == std::string::npos) return false;
  *text = xml.substr(begin + open.size(), end - begin - open.size());
  *at = end;
  return true;
}

namespace {

// "2026-12-08T05:56:18.123Z" as seconds since 1970 UTC; 0 when unreadable.
int64_t IsoTime(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d", &y, &mo, &d, &h, &mi, &s) != 6 || mo < 1 ||
      mo > 12)
    return 0;
  // Days from the civil date (March-based years).
  y -= mo <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
  return days * 86400 + h * 3600 + mi * 60 + s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Undoes the URL encoding a listing asked for with encoding-type=url.
std::string UrlDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i] == '+' ? ' ' : text[i];
    }
  }
  return out;
}

std::string XmlUnescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    const size_t end = text.find(';', i);
    const std::string name = end == std::string::npos ? "" : text.substr(i + 1, end - i - 1);
    if (name == "amp")
      out += '&';
    else if (name == "lt")
      out += '<';
    else if (name == "gt")
      out += '>';
    else if (name == "quot")
      out += '"';
    else if (name == "apos")
      out += '\'';
    else {
      out += '&';
      continue;
    }
    i = end;
  }
  return out;
}

// A listing stops when its pages pass these, or when a page names the marker
// of one before: an endpoint that never ends its listing costs bounded time
// and memory. No store of this program's own holds that much in one folder.
constexpr int kMostPages = 1000;
constexpr int kMostSoughtPages = 20;
constexpr size_t kMostEntries = 500000;

// Marks reply as a listing stopped before its end.
ObjectReply& Endless(ObjectReply& reply) {
  reply.code = kEndlessListing;
  reply.body.clear();
  return reply;
}

// Marks reply as failed when its body is not the whole listing asked for (a
// proxy's web page, an empty body, one cut short or with no word on whether
// more follows): such an answer is no "nothing there". root is the listing's
// element name.
bool NotAListing(ObjectReply& reply, std::string_view root) {
  const std::string& body = reply.body;
  const size_t open = body.find("<" + std::string(root));
  const size_t close = body.rfind("</" + std::string(root) + ">");
  const size_t truncated = body.find("<IsTruncated>");
  if (open != std::string::npos && close != std::string::npos && truncated != std::string::npos &&
      open < truncated && truncated < close &&
      body.find_first_not_of(" \t\r\n", close + root.size() + 3) == std::string::npos)
    return false;
  reply.status = 502;
  reply.code = "NotAListing";
  reply.body.clear();
  return true;
}

}  // namespace

ObjectReply ObjectSession::Seek(std::string_view prefix,
                                const std::function<bool(const ObjectEntry&)>& wanted,
                                bool* found) {
  *found = false;
  std::vector<ObjectEntry> entries;
  ObjectReply reply = ListPages(prefix, &entries, 0, false, wanted);
  for (const ObjectEntry& e : entries) *found = *found || wanted(e);
  return reply;
}

ObjectReply ObjectSession::List(std::string_view prefix, std::vector<ObjectEntry>* entries,
                                int firstOnly, bool flat) {
  return ListPages(prefix, entries, firstOnly, flat, {});
}

ObjectReply ObjectSession::ListPages(std::string_view prefix, std::vector<ObjectEntry>* entries,
                                     int firstOnly, bool flat,
                                     const std::function<bool(const ObjectEntry&)>& wanted) {
  // A search reads a few pages at most: a folder this large is not known.
  const int mostPages = wanted ? kMostSoughtPages : kMostPages;
  std::string token;
  std::set<std::string> markers;
  for (int page = 1;; ++page) {
    std::string query;
    if (!token.empty()) query = "continuation-token=" + ObjectUriEncode(token, false) + "&";
    if (!flat) query += "delimiter=%2F&";
    query += "encoding-type=url&list-type=2&";
    if (firstOnly > 0) query += "max-keys=" + std::to_string(firstOnly) + "&";
    query += "prefix=" + ObjectUriEncode(prefix, false);
    Prepare("GET", "", query);
    ObjectReply reply = Run({}, true);
    if (!reply.Ok() || NotAListing(reply, "ListBucketResult")) {
      entries->clear();
      return reply;
    }
    const std::string& xml = reply.body;
    std::string text;
    for (size_t at = 0; ObjectXmlElement(xml, "Contents", &at, &text);) {
      size_t in = 0;
      std::string key, size, modified, etag;
      if (!ObjectXmlElement(text, "Key", &in, &key)) continue;
      in = 0;
      ObjectXmlElement(text, "Size", &in, &size);
      in = 0;
      ObjectXmlElement(text, "LastModified", &in, &modified);
      in = 0;
      ObjectXmlElement(text, "ETag", &in, &etag);
      key = UrlDecode(XmlUnescape(key));
      // Keys outside the prefix (an endpoint that ignores it) are not the folder's.
      if (key.size() <= prefix.size() || key.compare(0, prefix.size(), prefix) != 0) continue;
      entries->push_back({key.substr(prefix.size()), std::strtoull(size.c_str(), nullptr, 10),
                          false, IsoTime(modified), XmlUnescape(etag)});
    }
    for (size_t at = 0; ObjectXmlElement(xml, "CommonPrefixes", &at, &text);) {
      size_t in = 0;
      std::string key;
      if (!ObjectXmlElement(text, "Prefix", &in, &key)) continue;
      key = UrlDecode(XmlUnescape(key));
      if (key.size() <= prefix.size() + 1 || key.compare(0, prefix.size(), prefix) != 0) continue;
      entries->push_back(
          {key.substr(prefix.size(), key.size() - prefix.size() - 1), 0, true, 0, ""});
    }
    size_t at = 0;
    std::string truncated;
    ObjectXmlElement(xml, "IsTruncated", &at, &truncated);
    at = 0;
    if (firstOnly > 0 || truncated != "true") return reply;
    if (wanted && std::any_of(entries->begin(), entries->end(), wanted)) return reply;
    // Cut short with no way to go on: what follows is not known, never "none".
    if (!ObjectXmlElement(xml, "NextContinuationToken", &at, &token) || token.empty()) {
      entries->clear();
      Endless(reply).cutShort = true;
      return reply;
    }
    token = XmlUnescape(token);
    if (page >= mostPages || entries->size() > kMostEntries || !markers.insert(token).second) {
      entries->clear();
      return Endless(reply);
    }
  }
}

ObjectReply ObjectSession::ListParts(std::string_view prefix,
                                     std::vector<std::pair<std::string, std::string>>* uploads) {
  std::string keyMarker, idMarker;
  std::set<std::string> markers;
  for (int page = 1;; ++page) {
    std::string query;
    if (!keyMarker.empty()) query = "key-marker=" + ObjectUriEncode(keyMarker, false) + "&";
    query += "prefix=" + ObjectUriEncode(prefix, false);
    if (!idMarker.empty()) query += "&upload-id-marker=" + ObjectUriEncode(idMarker, false);
    query += "&uploads=";
    Prepare("GET", "", query);
    ObjectReply reply = Run({}, true);
    if (!reply.Ok() || NotAListing(reply, "ListMultipartUploadsResult")) {
      uploads->clear();
      return reply;
    }
    const std::string& xml = reply.body;
    std::string text;
    for (size_t at = 0; ObjectXmlElement(xml, "Upload", &at, &text);) {
      size_t in = 0;
      std::string key, id;
      if (!ObjectXmlElement(text, "Key", &in, &key)) continue;
      in = 0;
      if (ObjectXmlElement(text, "UploadId", &in, &id)) uploads->push_back({XmlUnescape(key), id});
    }
    size_t at = 0;
    std::string truncated;
    ObjectXmlElement(xml, "IsTruncated", &at, &truncated);
    at = 0;
    if (truncated != "true" || !ObjectXmlElement(xml, "NextKeyMarker", &at, &keyMarker))
      return reply;
    keyMarker = XmlUnescape(keyMarker);
    at = 0;
    ObjectXmlElement(xml, "NextUploadIdMarker", &at, &idMarker);
    if (page >= kMostPages || uploads->size() > kMostEntries ||
        !markers.insert(keyMarker + '\n' + idMarker).second) {
      uploads->clear();
      return Endless(reply);
    }
  }
}

ObjectReply ObjectSession::Versioning(bool* keepsVersions) {
  Prepare("GET", "", "versioning=");  // not a bare "versioning": the signature wants the "="
  ObjectReply reply = Run({}, true);
  size_t at = 0;
  std::string status;
  *keepsVersions =
      reply.Ok() && ObjectXmlElement(reply.body, "Status", &at, &status) && status == "Enabled";
  return reply;
}
