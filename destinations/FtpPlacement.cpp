// The FTP session's uploads once their data is whole: the rename into place,
// the copy's permission bits and last write, and the look at what landed.
#include <curl/curl.h>

#include <algorithm>
#include <cstdio>

#include "destinations/FtpCurl.h"
#include "destinations/FtpSession.h"

using ftpcurl::SplitPath;

namespace {

// A UTC time as "YYYYMMDDHHMMSS" (MFMT, SITE UTIME) or, with sftp, as
// "DD Mon YYYY HH:MM:SS GMT" (the date the library's SFTP "mtime" reads).
std::string ServerTimeText(int64_t t, bool sftp) {
  int64_t days = t >= 0 ? t / 86400 : (t - 86399) / 86400;
  const int64_t secs = t - days * 86400;
  // Civil date from days since 1970-01-01 (proleptic Gregorian).
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  const int hour = static_cast<int>(secs / 3600), minute = static_cast<int>(secs / 60 % 60),
            second = static_cast<int>(secs % 60);
  char text[48];
  if (sftp) {
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::snprintf(text, sizeof text, "%02d %s %04lld %02d:%02d:%02d GMT", day, kMonths[month - 1],
                  year, hour, minute, second);
  } else {
    std::snprintf(text, sizeof text, "%04lld%02d%02d%02d%02d%02d", year, month, day, hour, minute,
                  second);
  }
  return text;
}

}  // namespace

std::vector<std::string> FtpSession::AttributeCommands(std::string_view remote, uint32_t mode,
                                                       int64_t writeTime) const {
  char bits[8];
  std::snprintf(bits, sizeof bits, "%03o", mode & 0777u);
  std::vector<std::string> lines(2);
  bool made = false;
  if (options_.sftp) {
    made = CommandOf("*chmod", {bits, remote}, &lines[0]) &&
           CommandOf("*mtime", {ServerTimeText(writeTime, true), remote}, &lines[1]);
  } else {
    const std::string when = ServerTimeText(writeTime, false);
    made = CommandOf(std::string("*SITE CHMOD ") + bits, {remote}, &lines[0]) &&
           (timeCommandUnknown_ ? CommandOf("*SITE UTIME " + when, {remote}, &lines[1])
                                : CommandOf("*MFMT " + when, {remote}, &lines[1]));
  }
  if (!made || writeTime <= 0) lines.pop_back();
  if (!made) lines.clear();
  return lines;
}

FtpSession::Outcome FtpSession::PutInPlace(const std::string& temporary, std::string_view remote,
                                           long waitMs, bool refused,
                                           const std::vector<std::string>& attributes) {
  std::vector<std::string> lines(options_.sftp ? 1 : 2);
  const bool named = options_.sftp ? CommandOf("rename", {temporary, remote}, &lines[0])
                                   : CommandOf("RNFR", {temporary}, &lines[0]) &&
                                         CommandOf("RNTO", {remote}, &lines[1]);
  if (!named) return kRefused;
  lines.insert(lines.end(), attributes.begin(), attributes.end());
  if (!refused) {
    const Outcome outcome = Commands(lines, waitMs);
    if (outcome != kRefused) return outcome;
  }
  // A server that never renames onto an existing file (SFTP's rename among
  // them): the older copy goes just before.
  std::string drop;
  if (!CommandOf(options_.sftp ? "*rm" : "*DELE", {remote}, &drop)) return kRefused;
  lines.insert(lines.begin(), drop);
  return Commands(lines, waitMs);
}

FtpSession::Outcome FtpSession::ListedSize(std::string_view path, long waitMs, uint64_t* size) {
  const auto [folder, name] = SplitPath(path);
  std::vector<FtpEntry> entries;
  const Outcome outcome = List(folder, waitMs, &entries);
  if (outcome != kDone) return outcome;
  for (const FtpEntry& entry : entries) {
    if (!entry.folder && entry.name == name) {
      *size = entry.size;
      return kDone;
    }
  }
  return kRefused;
}

FtpSession::Outcome FtpSession::Landed(std::string_view folder, std::string_view name,
                                       const std::vector<FtpEntry>& before, long waitMs) {
  std::vector<FtpEntry> after;
  const Outcome outcome = List(folder, waitMs, &after);
  if (outcome == kLost) return kLost;
  for (const FtpEntry& entry : after) {
    if (!entry.folder && entry.name == name) return kDone;
  }
  // Stored under a name of the server's making: what appeared goes again.
  std::vector<std::string> drops;
  for (const FtpEntry& entry : after) {
    const bool known = std::any_of(before.begin(), before.end(),
                                   [&](const FtpEntry& old) { return old.name == entry.name; });
    if (entry.folder || known || entry.name.rfind(".~bvtmp-", 0) == 0) continue;
    if (!CommandOf(options_.sftp ? "*rm" : "*DELE", {std::string(folder) + entry.name},
                   &drops.emplace_back()))
      drops.pop_back();
  }
  if (!drops.empty()) Commands(drops, waitMs);
  return kRefused;
}
