// The folders inside a local store: each is the user's own and closed to
// other users before anything is written into it, looked at once per
// destination; one another user owns is never written into. And the sweep
// of what interrupted copies left in them.
#include <cctype>
#include <utility>

#include "common/EngineEvents.h"
#include "common/Texts.h"
#include "destinations/Destination.h"
#include "platform/base/Errors.h"
#include "platform/files/Files.h"
#include "platform/files/FolderAccess.h"
#include "platform/volumes/Paths.h"

namespace {

constexpr size_t kMostOwnFolders = 4096;
constexpr size_t kMostTheirFolders = 256;

// Logs words of the "STORE" texts naming a store path.
void Tell(const char* key, const std::string& path) {
  std::string native = path, words = GetText("STORE", key);
  plat::ToNativePath(path, &native);
  if (const size_t at = words.find("%s"); at != std::string::npos) words.replace(at, 2, native);
  PostEvent(kEvInvalidContent, words, 0, native);
}

}  // namespace

std::vector<std::string> StoreFoldersBelow(std::string_view folderIn, std::string_view rootIn) {
  std::string root = plat::StripLongPathPrefix(rootIn);
  const std::string folder = plat::StripLongPathPrefix(folderIn);
  while (!root.empty() && root.back() == '\\') root.pop_back();
  std::vector<std::string> levels;
  if (root.empty() || folder.size() <= root.size() + 1 ||
      folder.compare(0, root.size(), root) != 0 || folder[root.size()] != '\\')
    return levels;
  for (size_t at = folder.find('\\', root.size() + 1);; at = folder.find('\\', at + 1)) {
    levels.push_back(folder.substr(0, at));
    if (at == std::string::npos) break;
  }
  return levels;
}

uint32_t CDestination::KeepFoldersOwn(const std::vector<std::string>& levels, size_t from,
                                      size_t* absent) {
  *absent = levels.size();
  for (size_t i = from; i < levels.size(); ++i) {
    const std::string& folder = levels[i];
    {
      std::lock_guard<std::mutex> guard(freshLock_);
      if (theirFolders_.count(folder) != 0) return plat::kErrStoreFolderNotOwned;
      if (ownFolders_.count(folder) != 0) continue;
    }
    std::vector<std::string> theirs;
    const plat::StoreFolderUse use = plat::KeepInnerStoreFolderOwn(folder, &theirs);
    if (use == plat::StoreFolderUse::kAbsent) {
      *absent = i;
      return 0;
    }
    if (use == plat::StoreFolderUse::kForeign) {
      {
        std::lock_guard<std::mutex> guard(freshLock_);
        if (theirFolders_.size() >= kMostTheirFolders) theirFolders_.clear();
        theirFolders_.insert(folder);
      }
      Tell("FOLDER_NOT_OWNED", folder);
      return plat::kErrStoreFolderNotOwned;
    }
    if (use == plat::StoreFolderUse::kClosed) {
      if (!closedSaid_.exchange(true)) Tell("FOLDER_CLOSED", folder);
      for (const std::string& name : theirs) Tell("ENTRY_NOT_OWNED", folder + "\\" + name);
    }
    std::lock_guard<std::mutex> guard(freshLock_);
    if (ownFolders_.size() >= kMostOwnFolders) ownFolders_.clear();
    ownFolders_.insert(folder);
  }
  return 0;
}

uint32_t CDestination::TheirFolderAbove(std::string_view target) {
  std::lock_guard<std::mutex> guard(freshLock_);
  if (theirFolders_.empty()) return 0;
  std::string folder = plat::StripLongPathPrefix(target);
  for (size_t at = folder.rfind('\\'); at != std::string::npos && at > 0;
       at = folder.rfind('\\', at - 1)) {
    if (theirFolders_.count(folder.substr(0, at)) != 0) return plat::kErrStoreFolderNotOwned;
  }
  return 0;
}

bool IsTemporaryCopyName(std::string_view name) {
  constexpr std::string_view kPrefix = ".~bvtmp-";
  if (name.size() != kPrefix.size() + 16 || name.substr(0, kPrefix.size()) != kPrefix) return false;
  for (char c : name.substr(kPrefix.size())) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::string SourceOfLatestCopy(std::string_view latest, std::string_view path, char separator) {
  if (path.size() <= latest.size() + 2 || path.substr(0, latest.size()) != latest ||
      path[latest.size() + 1] != separator)
    return {};
  std::string source = std::string(path.substr(latest.size(), 1)) + ":" +
                       std::string(path.substr(latest.size() + 1));
  std::replace(source.begin(), source.end(), separator, '\\');
  return source;
}

uint32_t CDestination::SweepTemporaryCopies() {
  const std::string root = GetRootPath();
  if (root.empty()) return 0;
  const std::string base = plat::WithSeparator(root);
  uint32_t removed = 0;
  // Folders still to look at; a wildcard search never reports a link to a
  // folder, so neither the trees' own names nor anything below them can lead
  // out of the store.
  std::vector<std::string> folders;
  const std::string latest = base + "Latest\\";
  for (const char* tree : {"Latest", "Revision"}) {
    plat::DirSearch search;
    plat::FindData entry;
    // "?" keeps it a search (an exact name would be looked up through a link).
    const std::string mask = base + std::string(tree).substr(0, 1) + "?" + (tree + 2);
    if (!search.Open(mask, &entry)) continue;
    do {
      if (entry.name == tree && (entry.attributes & plat::kAttrDirectory))
        folders.push_back(base + entry.name + "\\");
    } while (search.Next(&entry));
  }
  // The root's own files too (the store's marker is rewritten through a
  // temporary file there), but none of the root's other folders.
  bool atRoot = true;
  folders.push_back(base);
  while (!folders.empty()) {
    const std::string folder = std::move(folders.back());
    folders.pop_back();
    const bool root = std::exchange(atRoot, false);
    plat::DirSearch search;
    plat::FindData entry;
    if (!search.Open(folder + "*", &entry)) continue;
    do {
      if (entry.name == "." || entry.name == "..") continue;
      if (entry.attributes & plat::kAttrDirectory) {
        if (!root) folders.push_back(folder + entry.name + "\\");
      } else if (!(entry.attributes & plat::kAttrReparsePoint) && IsTemporaryCopyName(entry.name)) {
        const std::string path = folder + entry.name;
        // The latest copy of a user's own file of that name: its source
        // ("Latest\C\home\ann\x" for "C:\home\ann\x") is there.
        const std::string source = SourceOfLatestCopy(latest, path, '\\');
        if (!source.empty() && plat::EntryExists(source)) continue;
        std::string longPath;
        if (!ToLongPathForm(path, &longPath)) continue;
        if (entry.attributes & plat::kAttrReadOnly)
          plat::SetFileAttributes(longPath, entry.attributes & ~plat::kAttrReadOnly);
        // Another plan on this store may be making that copy right now.
        if (plat::DeleteLeftoverCopy(longPath)) ++removed;
      }
    } while (search.Next(&entry));
  }
  return removed;
}
