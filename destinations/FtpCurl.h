// The libcurl plumbing that the FTP session's files share (not part of the
// module's interface).
#pragma once
#include <curl/curl.h>

#include <string>
#include <string_view>
#include <utility>

namespace ftpcurl {

inline CURL* H(void* handle) { return static_cast<CURL*>(handle); }

// Replies that come from the server with the connection still standing, and
// failures on this side: no reconnect helps with them.
inline bool IsRefusal(CURLcode rc) {
  switch (rc) {
    case CURLE_QUOTE_ERROR:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_UPLOAD_FAILED:
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

struct SList {
  curl_slist* list = nullptr;
  ~SList() { curl_slist_free_all(list); }
  void Add(const std::string& line) { list = curl_slist_append(list, line.c_str()); }
};

// A server path's folder (with its closing "/") and name.
inline std::pair<std::string, std::string> SplitPath(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {"/", std::string(path)};
  return {std::string(path.substr(0, slash + 1)), std::string(path.substr(slash + 1))};
}

}  // namespace ftpcurl
