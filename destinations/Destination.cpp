#include "destinations/Destination.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>
#include <utility>

#include "destinations/StoreDisk.h"
#include "platform/base/Errors.h"
#include "platform/base/Text.h"
#include "platform/files/Files.h"
#include "platform/files/FilesBelow.h"
#include "platform/files/FolderAccess.h"
#include "platform/files/FolderEntries.h"
#include "platform/volumes/Paths.h"
#include "platform/volumes/Volumes.h"

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

// The longest beginning of UTF-8 text that takes at most maxBytes bytes and
// ends at a character boundary.
std::string_view Utf8Prefix(std::string_view s, size_t maxBytes) {
  if (s.size() <= maxBytes) return s;
  size_t cut = maxBytes;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return s.substr(0, cut);
}

// 32-bit FNV-1a: stable across runs and builds, since it is part of names
// kept in stores.
uint32_t NameHash(std::string_view s) {
  uint32_t h = 2166136261u;
  for (unsigned char c : s) h = (h ^ c) * 16777619u;
  return h;
}

// The revision number of found when found is exactly one of the names
// RevisionFileName gives for stem and ext; 0 otherwise.
int64_t RevisionNumberOf(std::string_view found, std::string_view stem, std::string_view ext,
                         bool ignoreCase);

// RevisionNumberOf for a name compared exactly whose revisions keep the whole
// stem: stem + "(" + the number with at least four digits, no more leading
// zeros + ")" [+ "." + ext], read without making the name.
int64_t WholeStemRevisionNumber(std::string_view found, std::string_view stem,
                                std::string_view ext) {
  const size_t tail = ext.empty() ? 0 : ext.size() + 1;
  if (found.size() < stem.size() + 6 + tail || found.substr(0, stem.size()) != stem ||
      found[stem.size()] != '(')
    return 0;
  if (tail != 0 &&
      (found[found.size() - tail] != '.' || found.substr(found.size() - ext.size()) != ext))
    return 0;
  const std::string_view digits =
      found.substr(stem.size() + 1, found.size() - tail - stem.size() - 2);
  if (found[found.size() - tail - 1] != ')' || digits.size() < 4 || digits.size() > 18) return 0;
  int64_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  // Padded to four digits only: "(00012)" is nobody's revision.
  if (n <= 0 || (digits.size() > 4 && digits[0] == '0')) return 0;
  return n;
}

int64_t RevisionNumberOf(std::string_view found, std::string_view stem, std::string_view ext,
                         bool ignoreCase) {
  for (size_t open = found.find('('); open != std::string_view::npos;
       open = found.find('(', open + 1)) {
    size_t close = open + 1;
    while (close < found.size() && found[close] >= '0' && found[close] <= '9') ++close;
    const size_t digits = close - open - 1;
    if (digits < 4 || digits > 18 || close >= found.size() || found[close] != ')') continue;
    const int64_t n = LeadingNumber(found.substr(open + 1, digits));
    if (n <= 0) continue;
    const std::string expected = RevisionFileName(stem, ext, n);
    if (ignoreCase ? plat::EqualsNoCase(found, expected) : found == expected) return n;
  }
  return 0;
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

std::string RevisionFileName(std::string_view stem, std::string_view ext, int64_t n) {
  std::string number;
  if (n > 0) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "(%04lld)", static_cast<long long>(n));
    number = digits;
  }
  const std::string dotExt = ext.empty() ? std::string() : "." + std::string(ext);
  std::string name = std::string(stem) + number + dotExt;
  if (n <= 0 || name.size() <= kMaxStoreNameBytes) return name;
  char mark[16];
  std::snprintf(mark, sizeof mark, "~%08x", NameHash(std::string(stem) + dotExt));
  const size_t fixed = number.size() + std::char_traits<char>::length(mark);
  const size_t extRoom = std::min(dotExt.size(), kMaxStoreNameBytes - fixed);
  const size_t stemRoom = kMaxStoreNameBytes - fixed - extRoom;
  name = std::string(Utf8Prefix(stem, stemRoom)) + mark + number;
  name += Utf8Prefix(dotExt, extRoom);
  return name;
}

int32_t CDestination::ListVersions(std::string_view folder, std::string_view name,
                                   std::string_view extension, std::vector<VersionEntry>* list) {
  const bool ignoreCase = IgnoresCase();
  // Names only (no look at each file: a folder of 999 revisions is read in a
  // few calls); RevisionNumberOf decides. Where names are compared exactly
  // and the revisions keep the whole stem, a name must begin with it, which
  // passes most other names by cheaply.
  const bool wholeStem = !ignoreCase && name.size() + extension.size() + 22 <= kMaxStoreNameBytes;
  int64_t highest = 0;
  const std::string base(folder);
  plat::ListFolderEntries(folder, false, [&](const plat::FolderEntry& entry) {
    if (entry.folder) return true;
    const int64_t number = wholeStem ? WholeStemRevisionNumber(entry.name, name, extension)
                                     : RevisionNumberOf(entry.name, name, extension, ignoreCase);
    if (number <= 0) return true;
    if (list) {
      list->push_back({base, number});
      list->back().path += entry.name;
    }
    if (number > highest) highest = number;
    return true;
  });
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
  const std::string root = GetRootPath();
  {
    std::lock_guard<std::mutex> guard(freshLock_);
    if (knownRoot_ != root) {
      knownFolders_.clear();
      ownFolders_.clear();
      theirFolders_.clear();
      knownRoot_ = root;
    }
    if (knownFolders_.count(folder) != 0) {
      freshBelow_ = plain.substr(0, last);  // nothing new below it
      return kDestOk;
    }
  }
  // The folders there already are the user's own and closed to others
  // before anything is made in them (one another user owns is refused).
  const std::vector<std::string> levels = StoreFoldersBelow(plain.substr(0, last), root);
  size_t absent = 0;
  if (const uint32_t refused = KeepFoldersOwn(levels, 0, &absent)) return refused;
  // New folders are private until a copy gives them the access of the folder
  // they stand for; below the root no link is followed. The copy mirrors the
  // access of the folders below the deepest one that was there before.
  size_t made = 0;
  if (plat::CreateDirectories(folder, root, /*privateMode=*/true, /*ownerOfParent=*/false, &made)) {
    // A missing folder that someone else made meanwhile is looked at too.
    const size_t ours = made == SIZE_MAX ? 0 : std::min(made, levels.size());
    if (absent + ours < levels.size()) {
      const std::vector<std::string> found(levels.begin(), levels.end() - ours);
      size_t missing = 0;
      if (const uint32_t refused = KeepFoldersOwn(found, absent, &missing)) return refused;
    }
    std::string existing = plain.substr(0, last);
    for (; made > 0 && existing.size() > start; --made) existing.resize(existing.rfind('\\'));
    constexpr size_t kMaxKnownFolders = 4096;
    std::lock_guard<std::mutex> guard(freshLock_);
    freshBelow_ = existing;
    if (knownFolders_.size() >= kMaxKnownFolders) knownFolders_.clear();
    if (ownFolders_.size() >= kMaxKnownFolders) ownFolders_.clear();
    if (knownRoot_ == root) {
      knownFolders_.insert(folder);
      for (size_t i = absent; i < levels.size(); ++i) ownFolders_.insert(levels[i]);
    }
    return kDestOk;
  }
  const uint32_t error = plat::GetLastError();
  return error != 0 ? error : kDestFailed;
}

bool CDestination::ForgetKnownFolders(std::string_view path) {
  const std::string plain = plat::StripLongPathPrefix(path);
  const size_t last = plain.rfind('\\');
  std::string folder;
  const bool formed =
      last != std::string::npos && ToLongPathForm(std::string_view(plain).substr(0, last), &folder);
  std::lock_guard<std::mutex> guard(freshLock_);
  const bool known = formed && knownFolders_.count(folder) != 0;
  knownFolders_.clear();
  return known;
}

std::string CDestination::TakeFreshBelow() {
  std::lock_guard<std::mutex> guard(freshLock_);
  return std::exchange(freshBelow_, std::string());
}

bool CDestination::FileExists(std::string_view path) {
  // Not plat::FileExists, which searches for a name holding "*" or "?".
  return plat::EntryExists(path);
}

bool CDestination::GetFileStamp(std::string_view path, uint64_t* size, int64_t* writeTime,
                                int64_t* changeTime) {
  plat::FindData info;
  if (!plat::LookUpFileInfo(path, &info) || (info.attributes & plat::kAttrDirectory)) return false;
  *size = info.size;
  *writeTime = info.writeTime;
  *changeTime = info.createTime;
  return true;
}

uint32_t CDestination::KeepCopyPrivate(std::string_view source, std::string_view path, uint32_t own,
                                       uint32_t reachable) {
  // The copy as its source's folders let others have it, as a new copy is made.
  return plat::SetFileMode(path, (own & 07000) | (reachable & 0777)) &&
                 plat::MirrorFolderAccess(source, path, GetRootPath())
             ? kDestOk
             : kDestFailed;
}

bool CDestination::IgnoresCase() {
  const std::string root = GetRootPath();
  if (root != caseRoot_) {
    caseRoot_ = root;
    caseKnown_ = false;
    ignoresCase_ = false;
  }
  if (caseKnown_ || root.empty()) return ignoresCase_;
  plat::VolumeInfo volume;
  if (root.size() >= 2 && root[1] == ':' &&
      plat::VolumeTable::Instance().Find(static_cast<char>(std::toupper(root[0])), &volume) &&
      CaseFoldingFileSystem(volume.fileSystem)) {
    caseKnown_ = ignoresCase_ = true;
    return true;
  }
  // A case-folded folder or a share: "Latest" found under another spelling
  // that the folder's listing does not hold.
  const std::string base = plat::WithSeparator(root);
  if (!plat::IsDirectory(base + "Latest")) return false;  // asked again once it exists
  caseKnown_ = true;
  if (!plat::IsDirectory(base + "LATEST")) return ignoresCase_ = false;
  plat::DirSearch search;
  plat::FindData entry;
  bool listed = false;
  if (search.Open(base + "*", &entry)) {
    do listed |= entry.name == "LATEST";
    while (!listed && search.Next(&entry));
  }
  return ignoresCase_ = !listed;
}

uint32_t CDestination::DeleteFile(std::string_view path) {
  std::string longPath;
  if (!ToLongPathForm(path, &longPath)) return kDestFailed;
  const std::string root = GetRootPath();
  plat::SetFileAttributes(longPath, plat::kAttrNormal, root);
  return plat::DeleteFile(longPath, root) ? kDestOk : kDestFailed;
}

namespace {

// True when the last CreateFolders made no folder for target: the deepest
// folder that existed before it is the target's own folder.
bool NothingMadeFor(const std::string& fresh, std::string_view target) {
  const std::string plain = plat::StripLongPathPrefix(target);
  const size_t last = plain.rfind('\\');
  return last != std::string::npos && plat::StripLongPathPrefix(fresh) == plain.substr(0, last);
}

}  // namespace

uint32_t CDestination::CopyFile(std::string_view source, std::string_view target) {
  return CopyFileWatched(source, target, nullptr);
}

uint32_t CDestination::CopyFileWatched(std::string_view source, std::string_view target,
                                       plat::CopyWatch* watch,
                                       const std::function<void()>& beforeReplace) {
  if (source.empty() || target.empty()) return plat::kErrPathNotFound;
  if (const uint32_t refused = TheirFolderAbove(target)) return refused;
  bool replacing = false;  // beforeReplace ran (a copy tried again runs it no more)
  const std::function<void()> once = [&] {
    if (!replacing && beforeReplace) beforeReplace();
    replacing = true;
  };
  const std::string root = GetRootPath();
  // The folders just made for the copy take the owner, group and mode of the
  // folders they stand for (a private source folder stays private in the store).
  const std::string fresh = TakeFreshBelow();
  if (!fresh.empty() && !NothingMadeFor(fresh, target))
    plat::MirrorFolderAccess(source, target, root, fresh);
  uint32_t error = plat::CopyFileWatched(source, target, flushCopies_, root, watch, once, true);
  // A folder known to exist may have been deleted since: made again, once.
  if (error != 0 && ForgetKnownFolders(target) &&
      (error == plat::kErrPathNotFound || error == plat::kErrFileNotFound) &&
      CreateFolders(target) == kDestOk) {
    const std::string made = TakeFreshBelow();
    if (!made.empty() && !NothingMadeFor(made, target))
      plat::MirrorFolderAccess(source, target, root, made);
    error = plat::CopyFileWatched(source, target, flushCopies_, root, watch, once, true);
  }
  return error;
}

uint32_t CDestination::MoveFile(std::string_view source, std::string_view target) {
  std::string from, to;
  if (!ToLongPathForm(source, &from) || !ToLongPathForm(target, &to)) return kDestFailed;
  if (TheirFolderAbove(to) != 0) return kDestFailed;
  const std::string root = GetRootPath();
  uint32_t attributes = plat::GetFileAttributes(from);
  if (attributes == plat::kInvalidAttributes) return kDestFailed;
  const std::string fresh = TakeFreshBelow();
  if (!fresh.empty() && !NothingMadeFor(fresh, to)) plat::MirrorFolderAccess(from, to, root, fresh);
  bool readOnly = (attributes & plat::kAttrReadOnly) != 0;
  if (readOnly) plat::SetFileAttributes(from, attributes & ~plat::kAttrReadOnly, root);
  uint32_t moved = plat::MoveFile(from, to, root);
  // A folder known to exist may have been deleted since: made again, once.
  if (moved != 0 && ForgetKnownFolders(to) &&
      (moved == plat::kErrPathNotFound || moved == plat::kErrFileNotFound) &&
      CreateFolders(to) == kDestOk) {
    const std::string made = TakeFreshBelow();
    if (!made.empty() && !NothingMadeFor(made, to)) plat::MirrorFolderAccess(from, to, root, made);
    moved = plat::MoveFile(from, to, root);
  }
  if (moved == 0) {
    if (readOnly) plat::SetFileAttributes(to, attributes, root);
    return kDestOk;
  }
  if (readOnly) plat::SetFileAttributes(from, attributes, root);
  return kDestFailed;
}
