// The FTP session's folder listings: machine listings (MLSD), names only,
// and the long listings of SFTP servers.
#include <curl/curl.h>

#include <algorithm>

#include "destinations/FtpCurl.h"
#include "destinations/FtpSession.h"
#include "platform/process/Clock.h"

using ftpcurl::H;

namespace {

constexpr size_t kMaxListingBytes = 256u << 20;  // a listing beyond this is cut off
constexpr size_t kMaxEntryNameBytes = 1024;

size_t AppendText(char* data, size_t size, size_t count, void* out) {
  auto* text = static_cast<std::string*>(out);
  const size_t n = size * count;
  if (text->size() + n > kMaxListingBytes) return 0;
  text->append(data, n);
  return n;
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// "YYYYMMDDHHMMSS[.sss]" in UTC; 0 when it is not such a time.
int64_t ParseMlsdTime(std::string_view t) {
  if (t.size() < 14) return 0;
  int64_t v[6] = {};
  const int widths[6] = {4, 2, 2, 2, 2, 2};
  size_t pos = 0;
  for (int i = 0; i < 6; ++i) {
    for (int k = 0; k < widths[i]; ++k, ++pos) {
      if (t[pos] < '0' || t[pos] > '9') return 0;
      v[i] = v[i] * 10 + (t[pos] - '0');
    }
  }
  if (v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > 31 || v[3] > 23 || v[4] > 59 || v[5] > 60)
    return 0;
  return DaysFromCivil(v[0], static_cast<unsigned>(v[1]), static_cast<unsigned>(v[2])) * 86400 +
         v[3] * 3600 + v[4] * 60 + v[5];
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The next blank-separated field of line from pos; empty at the end.
std::string_view NextField(std::string_view line, size_t* pos) {
  while (*pos < line.size() && line[*pos] == ' ') ++*pos;
  const size_t begin = *pos;
  while (*pos < line.size() && line[*pos] != ' ') ++*pos;
  return line.substr(begin, *pos - begin);
}

bool ParseNumber(std::string_view text, int64_t limit, int64_t* out) {
  if (text.empty()) return false;
  int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || n > (limit - (c - '0')) / 10) return false;
    n = n * 10 + (c - '0');
  }
  *out = n;
  return true;
}

// "0644", "644" or "100644" -> the permission bits; -1 when it is not octal.
int32_t ParseOctalMode(std::string_view text) {
  if (text.empty() || text.size() > 7) return -1;
  uint32_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '7') return -1;
    n = n * 8 + static_cast<uint32_t>(c - '0');
  }
  return static_cast<int32_t>(n & 0777);
}

// "-rw-r-----" -> 0640; -1 when the letters are not those of a mode.
int32_t ParseModeLetters(std::string_view mode) {
  if (mode.size() < 10) return -1;
  int32_t bits = 0;
  for (int i = 0; i < 9; ++i) {
    const char c = mode[1 + i];
    const char want = "rwx"[i % 3];
    // An execute place may also hold s, S, t or T (set-id and sticky bits).
    const bool executePlace = i % 3 == 2;
    if (c == want || (executePlace && (c == 's' || c == 't'))) {
      bits |= 1 << (8 - i);
    } else if (c != '-' && !(executePlace && (c == 'S' || c == 'T'))) {
      return -1;
    }
  }
  return bits;
}

}  // namespace

bool IsPlainEntryName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxEntryNameBytes && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\\\0\r\n", 5)) == std::string_view::npos;
}

namespace {

// The name a names-only listing's line gives (some servers answer with
// paths); false for a line that names nothing this program would keep.
bool NameOfListedLine(std::string_view line, std::string* name) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const size_t slash = line.rfind('/');
  if (slash != std::string_view::npos) line = line.substr(slash + 1);
  if (!IsPlainEntryName(line)) return false;
  *name = std::string(line);
  return true;
}

}  // namespace

bool ParseMlsdLine(std::string_view line, FtpEntry* out) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  const size_t gap = line.find("; ");
  if (gap == std::string_view::npos) return false;
  std::string_view facts = line.substr(0, gap + 1);
  const std::string_view name = line.substr(gap + 2);
  if (!IsPlainEntryName(name)) return false;
  FtpEntry entry;
  entry.name = std::string(name);
  bool typed = false;
  while (!facts.empty()) {
    const size_t end = facts.find(';');
    const std::string_view fact = facts.substr(0, end);
    facts = end == std::string_view::npos ? std::string_view() : facts.substr(end + 1);
    const size_t eq = fact.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = fact.substr(0, eq);
    const std::string_view value = fact.substr(eq + 1);
    if (EqualsNoCase(key, "type")) {
      if (EqualsNoCase(value, "file")) {
        typed = true;
      } else if (EqualsNoCase(value, "dir")) {
        typed = entry.folder = true;
      } else {
        return false;  // the folder itself, its parent, links and the like
      }
    } else if (EqualsNoCase(key, "size")) {
      uint64_t n = 0;
      for (char c : value) {
        if (c < '0' || c > '9' || n > (UINT64_MAX - 9) / 10) return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
      }
      entry.size = n;
    } else if (EqualsNoCase(key, "modify")) {
      entry.writeTime = ParseMlsdTime(value);
    } else if (EqualsNoCase(key, "unix.mode")) {
      entry.mode = ParseOctalMode(value);
    }
  }
  if (!typed) return false;
  *out = std::move(entry);
  return true;
}

bool ParseLongListLine(std::string_view line, int64_t now, FtpEntry* out) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  size_t pos = 0;
  const std::string_view mode = NextField(line, &pos);
  if (mode.size() < 10 || (mode[0] != '-' && mode[0] != 'd')) return false;  // links and others
  // The link count, the owner and the group.
  for (int i = 0; i < 3; ++i) NextField(line, &pos);
  int64_t size = 0, day = 0, hour = 0, minute = 0, year = 0;
  if (!ParseNumber(NextField(line, &pos), INT64_MAX, &size)) return false;
  static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::string_view monthName = NextField(line, &pos);
  int month = 0;
  for (int i = 0; i < 12; ++i) {
    if (monthName == kMonths[i]) month = i + 1;
  }
  if (month == 0 || !ParseNumber(NextField(line, &pos), 31, &day) || day < 1) return false;
  const std::string_view clock = NextField(line, &pos);
  const plat::LocalTime today = plat::ToLocalTime(now);
  if (clock.size() == 5 && clock[2] == ':') {  // within the last half year: no year given
    if (!ParseNumber(clock.substr(0, 2), 23, &hour) || !ParseNumber(clock.substr(3), 59, &minute))
      return false;
    year = today.year;  // or the year before, for a date that would lie ahead (below)
  } else if (!ParseNumber(clock, 9999, &year)) {
    return false;
  }
  // One blank before the name, which may hold blanks of its own.
  if (pos >= line.size() || line[pos] != ' ') return false;
  const std::string_view name = line.substr(pos + 1);
  if (!IsPlainEntryName(name)) return false;
  plat::LocalTime when{};
  when.year = static_cast<int>(year);
  when.month = month;
  when.day = static_cast<int>(day);
  when.hour = static_cast<int>(hour);
  when.minute = static_cast<int>(minute);
  int64_t time = plat::FromLocalTime(when);
  if (clock.size() == 5 && time > now + 86400) {  // clocks a day apart still agree
    --when.year;
    time = plat::FromLocalTime(when);
  }
  FtpEntry entry;
  entry.name = std::string(name);
  entry.folder = mode[0] == 'd';
  entry.size = entry.folder ? 0 : static_cast<uint64_t>(size);
  entry.writeTime = std::max<int64_t>(0, time);
  entry.mode = ParseModeLetters(mode);
  *out = std::move(entry);
  return true;
}

FtpSession::Outcome FtpSession::List(std::string_view folder, long waitMs,
                                     std::vector<FtpEntry>* entries) {
  if (!Open()) return kLost;
  std::string text;
  Prepare(UrlOf(folder, true), waitMs);
  if (options_.sftp) {  // the server's long listing
    curl_easy_setopt(H(handle_), CURLOPT_WRITEFUNCTION, AppendText);
    curl_easy_setopt(H(handle_), CURLOPT_WRITEDATA, &text);
    const Outcome outcome = Perform();
    if (outcome != kDone) return outcome;
    const int64_t now = plat::Now();
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      if (end == std::string::npos) end = text.size();
      FtpEntry entry;
      if (ParseLongListLine(std::string_view(text.data() + pos, end - pos), now, &entry))
        entries->push_back(std::move(entry));
      pos = end + 1;
    }
    return kDone;
  }
  curl_easy_setopt(H(handle_), CURLOPT_CUSTOMREQUEST, "MLSD");
  curl_easy_setopt(H(handle_), CURLOPT_WRITEFUNCTION, AppendText);
  curl_easy_setopt(H(handle_), CURLOPT_WRITEDATA, &text);
  Outcome outcome = Perform();
  bool namesOnly = false;
  if (outcome == kRefused) {
    // No machine listing here (or no such folder): the long listing when it
    // reads as a Unix server's (it shows the modes), else names only.
    bool plain = false;
    outcome = LongList(folder, waitMs, entries, &plain);
    if (plain || outcome == kLost) return outcome;
    text.clear();
    Prepare(UrlOf(folder, true), waitMs);
    curl_easy_setopt(H(handle_), CURLOPT_DIRLISTONLY, 1L);
    curl_easy_setopt(H(handle_), CURLOPT_WRITEFUNCTION, AppendText);
    curl_easy_setopt(H(handle_), CURLOPT_WRITEDATA, &text);
    outcome = Perform();
    namesOnly = true;
  }
  if (outcome != kDone) return outcome;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    FtpEntry entry;
    if (namesOnly) {
      if (!NameOfListedLine(line, &entry.name)) continue;
    } else if (!ParseMlsdLine(line, &entry)) {
      continue;
    }
    entries->push_back(std::move(entry));
  }
  return kDone;
}

FtpSession::Outcome FtpSession::LongList(std::string_view folder, long waitMs,
                                         std::vector<FtpEntry>* entries, bool* plain) {
  std::string text;
  Prepare(UrlOf(folder, true), waitMs);
  curl_easy_setopt(H(handle_), CURLOPT_WRITEFUNCTION, AppendText);
  curl_easy_setopt(H(handle_), CURLOPT_WRITEDATA, &text);
  const Outcome outcome = Perform();
  *plain = false;
  if (outcome != kDone) return outcome;
  std::vector<FtpEntry> listed;
  const int64_t now = plat::Now();
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.rfind("total ", 0) == 0 || line.ends_with(" .") ||
        line.ends_with(" .."))
      continue;
    FtpEntry entry;
    if (!ParseLongListLine(line, now, &entry)) return kDone;  // not a Unix server's
    listed.push_back(std::move(entry));
  }
  *plain = true;
  entries->insert(entries->end(), listed.begin(), listed.end());
  return kDone;
}

FtpSession::Outcome FtpSession::ListWithModes(std::string_view folder, long waitMs,
                                              std::vector<FtpEntry>* entries) {
  const Outcome outcome = List(folder, waitMs, entries);
  if (outcome != kDone || options_.sftp ||
      std::none_of(entries->begin(), entries->end(),
                   [](const FtpEntry& e) { return !e.folder && e.mode < 0; }))
    return outcome;
  // A machine listing without modes: the long listing may show them.
  std::vector<FtpEntry> longer;
  bool plain = false;
  if (LongList(folder, waitMs, &longer, &plain) == kDone && plain) *entries = std::move(longer);
  return kDone;
}

FtpSession::Outcome FtpSession::ListNames(std::string_view folder, long waitMs,
                                          std::vector<std::string>* names) {
  if (!Open()) return kLost;
  std::string text;
  Prepare(UrlOf(folder, true), waitMs);
  curl_easy_setopt(H(handle_), CURLOPT_DIRLISTONLY, 1L);
  curl_easy_setopt(H(handle_), CURLOPT_WRITEFUNCTION, AppendText);
  curl_easy_setopt(H(handle_), CURLOPT_WRITEDATA, &text);
  const Outcome outcome = Perform();
  if (outcome != kDone) return outcome;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    std::string name;
    if (NameOfListedLine(line, &name)) names->push_back(std::move(name));
  }
  return kDone;
}

namespace {

bool IsHexText(std::string_view s) {
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

}  // namespace

bool IdentityOfFacts(std::string_view facts, plat::FileId* identity) {
  // Fact names are case-insensitive.
  std::string lower(facts);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
  size_t at = lower.find("unique=");
  while (at != std::string::npos && at != 0 && lower[at - 1] != ';')
    at = lower.find("unique=", at + 1);
  if (at == std::string::npos) return false;
  std::string_view value = std::string_view(lower).substr(at + 7);
  value = value.substr(0, value.find(';'));
  size_t cut = 0;
  while (cut < value.size() && IsHexText(value.substr(cut, 1))) ++cut;
  const std::string_view device = value.substr(0, cut);
  const std::string_view inode = cut < value.size() ? value.substr(cut + 1) : std::string_view();
  if (device.empty() || inode.empty() || device.size() > 16 || inode.size() > 16 ||
      !IsHexText(inode))
    return false;
  auto number = [](std::string_view hex) {
    uint64_t v = 0;
    for (char c : hex) v = v * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    return v;
  };
  *identity = {number(device), number(inode)};
  return true;
}
