// The FTP session's downloads: the file handed piece by piece to its
// receiver, with the server's last write and, on failure, why.
#include <curl/curl.h>

#include "destinations/FtpCurl.h"
#include "destinations/FtpSession.h"
#include "platform/base/Errors.h"
#include "platform/files/Files.h"

using ftpcurl::H;
using ftpcurl::IsRefusal;

namespace {

struct Receiver {
  const std::function<uint32_t(const char*, size_t)>* sink;
  uint32_t error = 0;  // the sink's
};

size_t Receive(char* data, size_t size, size_t count, void* out) {
  auto* receiver = static_cast<Receiver*>(out);
  const size_t n = size * count;
  receiver->error = (*receiver->sink)(data, n);
  return receiver->error == 0 ? n : 0;
}

// Why a download failed, as an error number the restore puts in words.
uint32_t DownloadErrorOf(CURLcode rc) {
  switch (rc) {
    case CURLE_REMOTE_FILE_NOT_FOUND:
      return plat::kErrFileNotFound;
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_LOGIN_DENIED:
      return plat::kErrAccessDenied;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_FTP_ACCEPT_FAILED:
      return plat::kErrNetNameDeleted;
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_FTP_ACCEPT_TIMEOUT:
      return plat::kErrTimeout;
    case CURLE_ABORTED_BY_CALLBACK:
      return plat::kErrCancelled;
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_FTP_CANT_GET_HOST:
      return plat::kErrConnectionRefused;
    case CURLE_FILESIZE_EXCEEDED:
      return plat::kErrFileTooLarge;
    default:
      return plat::kErrUnexpNetErr;
  }
}

}  // namespace

FtpSession::Outcome FtpSession::Download(std::string_view remote,
                                         const std::function<uint32_t(const char*, size_t)>& sink,
                                         long waitMs, uint32_t* error, int64_t* writeTime) {
  *writeTime = -1;
  if (!Open()) {
    *error = plat::kErrUnexpNetErr;
    return kLost;
  }
  Receiver receiver{&sink};
  Prepare(UrlOf(remote, false), waitMs);
  curl_easy_setopt(H(handle_), CURLOPT_WRITEFUNCTION, Receive);
  curl_easy_setopt(H(handle_), CURLOPT_WRITEDATA, &receiver);
  curl_easy_setopt(H(handle_), CURLOPT_FILETIME, 1L);
  const CURLcode rc = static_cast<CURLcode>(Run());
  if (rc == CURLE_OK) {
    curl_off_t written = -1;
    if (curl_easy_getinfo(H(handle_), CURLINFO_FILETIME_T, &written) == CURLE_OK && written >= 0)
      *writeTime = static_cast<int64_t>(written);
    *error = 0;
    return kDone;
  }
  *error = rc == CURLE_WRITE_ERROR && receiver.error != 0 ? receiver.error : DownloadErrorOf(rc);
  if (rc == CURLE_ABORTED_BY_CALLBACK && !plat::ThreadCancelRequested())
    *error = plat::kErrUnexpNetErr;
  if (IsRefusal(rc)) return kRefused;
  Disconnect();
  return kLost;
}
