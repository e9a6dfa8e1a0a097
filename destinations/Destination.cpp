#include "destinations/Destination.h"

#include <limits>
#include <utility>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace {

constexpr size_t kLongPathBuffer = 2048;  // characters, terminator included
constexpr std::string_view kLongPrefix = "\\\\?\\";

// Number of UTF-16 units the UTF-8 text takes (4-byte sequences take two).
size_t Utf16Length(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s) {
    if ((c & 0xC0) != 0x80) ++n;  // a lead byte or ASCII starts a character
    if (c >= 0xF0) ++n;           // outside the BMP: a surrogate pair
  }
  return n;
}

// The first n characters (code points) of UTF-8 text.
std::string_view FirstChars(std::string_view s, size_t n) {
  size_t i = 0;
  while (i < s.size() && n > 0) {
    ++i;
    while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
    --n;
  }
  return s.substr(0, i);
}

// Decimal number at the start of s with an optional sign, as the C library's
// string-to-integer reads it; saturates instead of overflowing.
int64_t LeadingNumber(std::string_view s) {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  int64_t value = 0;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    int digit = s[i] - '0';
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
  }
  return negative ? -value : value;
}

// Where the number starts in a found name that matched name + "(": the found
// name's prefix equals name without regard to case, and the "(" follows.
// npos when the entry does not really belong to name (a name holding
// wildcard characters matches more than itself).
size_t NumberOffset(std::string_view found, std::string_view name) {
  for (size_t p = found.find('('); p != std::string_view::npos; p = found.find('(', p + 1)) {
    if (plat::EqualsNoCase(found.substr(0, p), name)) return p + 1;
  }
  return std::string_view::npos;
}

}  // namespace

bool ToLongPathForm(std::string_view path, std::string* out) {
  out->clear();
  std::string form;
  if (path.substr(0, kLongPrefix.size()) == kLongPrefix) {
    form = path;
  } else if (path.substr(0, 2) == "\\\\") {
    form = "\\\\?\\UNC";
    form.append(path.substr(1));
  } else {
    form = kLongPrefix;
    form.append(path);
  }
  if (Utf16Length(form) >= kLongPathBuffer) return false;
  *out = std::move(form);
  return true;
}

bool ProfileSafeValue(std::string_view value, std::string* out) {
  if (value.find_first_of("\r\n") != std::string_view::npos) return false;
  auto edge = [](char c) { return c == ' ' || c == '\t' || c == '"'; };
  // The profile reader trims blanks and removes one pair of enclosing quotes:
  // quoting protects whatever sits at either end.
  if (!value.empty() && (edge(value.front()) || edge(value.back()))) {
    *out = "\"" + std::string(value) + "\"";
  } else {
    *out = value;
  }
  return true;
}

std::string CDestination::DevicesIniPath() const {
  if (!owner_) return {};
  std::string folder = owner_->GetPlanFolder();
  if (folder.empty()) return {};
  if (folder.back() != '\\') folder.push_back('\\');
  return folder + "Devices.ini";
}

bool CDestination::IsSameDestination(const CDestination& other) const {
  if (&other == this) return true;
  if (GetStorageType() != other.GetStorageType()) return false;
  std::string a = GetRootPath();
  std::string b = other.GetRootPath();
  if (a.empty() || a.back() != GetPathSeparator()) a.push_back(GetPathSeparator());
  if (b.empty() || b.back() != other.GetPathSeparator()) b.push_back(other.GetPathSeparator());
  return plat::ToLower(a) == plat::ToLower(b);
}

bool CDestination::IsSameVolume(const CDestination& other) const {
  if (&other == this) return true;
  if (GetStorageType() != other.GetStorageType()) return false;
  return plat::ToLower(FirstChars(GetRootPath(), 2)) ==
         plat::ToLower(FirstChars(other.GetRootPath(), 2));
}

int32_t CDestination::ListVersions(std::string_view folder, std::string_view name,
                                   std::string_view extension, std::vector<VersionEntry>* list) {
  std::string pattern = std::string(folder) + std::string(name) + "(*)";
  std::string suffix = ")";
  if (!extension.empty()) {
    pattern += "." + std::string(extension);
    suffix += "." + std::string(extension);
  }
  plat::DirSearch search;
  plat::FindData entry;
  if (!search.Open(pattern, &entry)) return 0;
  int64_t highest = 0;
  do {
    if (entry.name == "." || entry.name == "..") continue;
    if (entry.attributes & plat::kAttrDirectory) continue;
    size_t at = NumberOffset(entry.name, name);
    if (at == std::string::npos || entry.name.size() < at + suffix.size()) continue;
    if (!plat::EqualsNoCase(std::string_view(entry.name).substr(entry.name.size() - suffix.size()),
                            suffix))
      continue;
    int64_t number = LeadingNumber(std::string_view(entry.name).substr(at));
    if (list) list->push_back({std::string(folder) + entry.name, number});
    if (number > highest) highest = number;
  } while (search.Next(&entry));
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(highest > kMax ? kMax : highest);
}

uint32_t CDestination::CreateFolders(std::string_view path) {
  if (path.empty()) return kDestMissingArgument;
  const std::string plain = plat::StripLongPathPrefix(path);
  // Where the components that may be created begin: after the drive's first
  // "\", or after server and share of a "\\server\share" path.
  size_t start = 0;
  if (plain.compare(0, 2, "\\\\") == 0) {
    size_t server = plain.find('\\', 2);
    start = server == std::string::npos ? std::string::npos : plain.find('\\', server + 1);
  } else {
    start = plain.find('\\');
  }
  const size_t last = plain.rfind('\\');
  if (start == std::string::npos || last == std::string::npos || last <= start) return kDestOk;
  std::string folder;
  if (!ToLongPathForm(std::string_view(plain).substr(0, last), &folder)) return kDestOk;
  // New folders are private until a copy gives them the access of the folder
  // they stand for; below the root no link is followed. Failures surface
  // later, with the copy's own error.
  std::string existing = plain.substr(0, last);
  while (existing.size() > start && !plat::IsDirectory(existing))
    existing.resize(existing.rfind('\\'));
  {
    std::lock_guard<std::mutex> guard(freshLock_);
    freshBelow_ = existing;
  }
  plat::CreateDirectories(folder, GetRootPath(), /*privateMode=*/true);
  return kDestOk;
}

std::string CDestination::TakeFreshBelow() {
  std::lock_guard<std::mutex> guard(freshLock_);
  return std::exchange(freshBelow_, std::string());
}

bool CDestination::FileExists(std::string_view path) { return plat::FileExists(path); }

uint32_t CDestination::DeleteFile(std::string_view path) {
  std::string longPath;
  if (!ToLongPathForm(path, &longPath)) return kDestFailed;
  const std::string root = GetRootPath();
  plat::SetFileAttributes(longPath, plat::kAttrNormal, root);
  return plat::DeleteFile(longPath, root) ? kDestOk : kDestFailed;
}

uint32_t CDestination::CopyFile(std::string_view source, std::string_view target) {
  if (source.empty() || target.empty()) return plat::kErrPathNotFound;
  const std::string root = GetRootPath();
  // The folders just made for the copy take the owner, group and mode of the
  // folders they stand for (a private source folder stays private in the store).
  const std::string fresh = TakeFreshBelow();
  if (!fresh.empty()) plat::MirrorFolderAccess(source, target, root, fresh);
  return plat::CopyFile(source, target, /*failIfExists=*/false, flushCopies_, root);
}

uint32_t CDestination::MoveFile(std::string_view source, std::string_view target) {
  std::string from, to;
  if (!ToLongPathForm(source, &from) || !ToLongPathForm(target, &to)) return kDestFailed;
  const std::string root = GetRootPath();
  uint32_t attributes = plat::GetFileAttributes(from);
  if (attributes == plat::kInvalidAttributes) return kDestFailed;
  const std::string fresh = TakeFreshBelow();
  if (!fresh.empty()) plat::MirrorFolderAccess(from, to, root, fresh);
  bool readOnly = (attributes & plat::kAttrReadOnly) != 0;
  if (readOnly) plat::SetFileAttributes(from, attributes & ~plat::kAttrReadOnly, root);
  if (plat::MoveFile(from, to, root) == 0) {
    if (readOnly) plat::SetFileAttributes(to, attributes, root);
    return kDestOk;
  }
  if (readOnly) plat::SetFileAttributes(from, attributes, root);
  return kDestFailed;
}
