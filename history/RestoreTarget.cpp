// Where a store node goes back to when restored (MakeRestoreTarget).
#include <string>

#include "history/RestoreJobs.h"
#include "history/VersionTree.h"
#include "platform/volumes/Paths.h"

namespace {

constexpr char kLatest[] = "Latest";
constexpr char kRevision[] = "Revision";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }
bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The name without a revision's "(nnnn)" (ParseRevisionName's rule).
std::string WithoutRevisionSuffix(const std::string& name) {
  std::string plain;
  int64_t number = 0;
  return ParseRevisionName(name, &plain, &number) ? plain : name;
}

}  // namespace

bool MakeRestoreTarget(std::string_view nodePath, bool isFolder, std::string_view storeFolder,
                       std::string_view chosenFolder, std::string* target,
                       std::string* targetFolder, const std::vector<std::string>& keepFrom) {
  // 1. The part below the store folder (the store folder itself gives "").
  std::string_view rest;
  if (nodePath.substr(0, storeFolder.size()) == storeFolder) {
    rest = nodePath.substr(storeFolder.size());
  } else if (!storeFolder.empty() && IsSeparator(storeFolder.back()) &&
             nodePath == storeFolder.substr(0, storeFolder.size() - 1)) {
    rest = {};
  } else {
    return false;
  }
  // 2. Without the tree's folder name; only a whole name counts.
  bool revision = false;
  auto dropTree = [&rest](std::string_view tree) {
    if (rest.substr(0, tree.size()) != tree) return false;
    if (rest.size() > tree.size() && !IsSeparator(rest[tree.size()])) return false;
    rest.remove_prefix(tree.size());
    return true;
  };
  if (!dropTree(kLatest)) revision = dropTree(kRevision);
  std::string part(rest);
  for (char& c : part)
    if (c == '/') c = '\\';

  std::string result;
  if (chosenFolder.empty()) {
    // 3. Original location: "\X\a\b" -> "X:\a\b".
    if (part.size() < 2) return false;
    if (part[0] == '\\') part.erase(0, 1);
    if (part.empty() || !IsAsciiLetter(part[0])) return false;
    if (part.size() > 1 && part[1] != '\\') return false;  // a folder name, not a drive
    result = part.substr(0, 1) + ":" + part.substr(1);
  } else {
    // 4. Below the chosen folder, the original folders as the user knows
    // them: "\C\home\ann" lands in "<chosen>\home\ann", a drive known
    // here by its native place; an unknown drive keeps its letter. A path
    // below a folder of keepFrom keeps that folder's name and what follows.
    const size_t first = part.find_first_not_of('\\');
    const bool drive = first != std::string::npos && IsAsciiLetter(part[first]) &&
                       (first + 1 == part.size() || part[first + 1] == '\\');
    const std::string original = drive ? part.substr(first, 1) + ":" + part.substr(first + 1) : "";
    size_t kept = 0;  // where the kept part of the original path begins
    for (const std::string& from : keepFrom) {
      std::string folder = from;
      while (!folder.empty() && folder.back() == '\\') folder.pop_back();
      const size_t name = folder.rfind('\\');
      if (name == std::string::npos || name + 1 >= folder.size() || name + 1 <= kept) continue;
      if (original.compare(0, folder.size(), folder) == 0 &&
          (original.size() == folder.size() || original[folder.size()] == '\\'))
        kept = name + 1;
    }
    if (kept != 0) {
      part = original.substr(kept);
    } else if (drive) {
      const std::string below = part.substr(first + 1);
      std::string native;
      if (plat::ToNativePath(part.substr(first, 1) + ":" + (below.empty() ? "\\" : below),
                             &native)) {
        part = native;
        for (char& c : part)
          if (c == '/') c = '\\';
        while (!part.empty() && part.back() == '\\') part.pop_back();
      }
    }
    result = std::string(chosenFolder);
    while (result.size() > 1 && IsSeparator(result.back())) result.pop_back();
    if (!part.empty() && part[0] != '\\') result += '\\';
    result += part;
  }
  // 6. A revision file comes back under its plain name.
  if (revision && !isFolder) {
    const size_t cut = result.rfind('\\') + 1;  // npos + 1 == 0
    result = result.substr(0, cut) + WithoutRevisionSuffix(result.substr(cut));
  }
  // 5. The folder to create.
  if (isFolder) {
    *targetFolder = result;
  } else {
    const size_t last = result.rfind('\\');
    *targetFolder = last == std::string::npos ? std::string() : result.substr(0, last);
  }
  *target = std::move(result);
  return true;
}
