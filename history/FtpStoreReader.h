// FtpStoreReader: how the restore reads a store on an FTP server: its own
// connection made from the destination's settings, the store folder made the
// current folder, listings and binary downloads.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "common/PlanSettings.h"
#include "destinations/FtpSession.h"
#include "platform/files/Files.h"

class FtpStoreReader {
 public:
  FtpStoreReader(const FtpSettings& settings, std::string folder);

  // Connects and makes the store folder current. On failure *key names the
  // text ("MSG_FTP_IS_UNAVAILABLE", "MSG_CANNOT_CONNECT_TO_FTP_SERVER", the
  // refused key or encryption "MSG_SERVER_KEY_CHANGED", "MSG_SERVER_KEY_UNTRUSTED",
  // "MSG_SERVER_NOT_ENCRYPTED", "MSG_CANNOT_SET_CURRENT_DIR_OF_FTP_SERVER")
  // and *argument the server or the folder.
  bool Reach(const char** key, std::string* argument);
  // Calls each for every entry of a server folder until it returns false;
  // false when the folder cannot be listed.
  bool List(std::string_view folder, const std::function<bool(const plat::FindData&)>& each);
  // The same with names only (attributes 0): no look at each entry.
  bool ListNames(std::string_view folder, const std::function<bool(const plat::FindData&)>& each);
  // Size and last write of one server file; false when it is not there.
  bool Info(std::string_view path, plat::FindData* info);
  // Downloads a server file over a local target, into a private file beside
  // it first; no link is followed below targetWithin (when not empty). The
  // copy takes the server file's last write and mode (where the server
  // lists modes, with run bits only where the file it replaces has them;
  // else the mode of the file it replaces, or 0600). 0 or an
  // error number (FtpSession::Download's, or a local file's). received (may
  // be empty) is told the bytes of the file written so far.
  uint32_t Fetch(std::string_view source, std::string_view target, std::string_view targetWithin,
                 const std::function<void(uint64_t)>& received = {});
  // Whether the last failed Fetch failed here (the local file), not at the server.
  bool FailedHere() const { return failedHere_; }

 private:
  // The mode (-1 unknown) and, in *time when known, the last write of a
  // server file as its folder's listing gives them.
  int32_t ListedMode(std::string_view source, int64_t* time);

  FtpSettings settings_;
  std::string folder_;
  FtpSession session_;       // used by the job's thread only
  std::string modesFolder_;  // the folder listed last for modes, and what it held
  std::map<std::string, std::pair<int32_t, int64_t>> modes_;
  bool failedHere_ = false;
};
