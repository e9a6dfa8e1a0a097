#include "destinations/StoreMarker.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/Paths.h"

namespace {

// Length of the root of a system path including its closing "\": 3 for
// "C:\", up to the "\" after the share for "\\server\share\"; 0 when the path
// has no such root.
size_t RootLength(const std::string& path) {
  if (path.size() >= 3 && path[1] == ':' && path[2] == '\\') {
    char c = path[0];
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ? 3 : 0;
  }
  if (path.compare(0, 2, "\\\\") == 0) {
    size_t server = path.find('\\', 2);
    if (server == std::string::npos || server == 2) return 0;
    size_t share = path.find('\\', server + 1);
    if (share == std::string::npos || share == server + 1) return 0;
    return share + 1;
  }
  return 0;
}

bool HoldsMarker(std::string_view folderWithSeparator) {
  std::string marker(folderWithSeparator);
  marker += kStoreMarkerName;
  return plat::EntryExists(marker);
}

// Folders (with their closing "\") where IsInsideStore last found a marker.
// A hint only: each is looked at again before it answers, so a store deleted
// or moved meanwhile is never taken for one.
class KnownStores {
 public:
  // True when one of the hinted folders holds folder and still its marker.
  bool Hold(std::string_view folder) {
    std::vector<std::string> hints;
    {
      std::lock_guard<std::mutex> guard(lock_);
      for (const std::string& f : folders_) {
        if (folder.substr(0, f.size()) == f) hints.push_back(f);
      }
    }
    for (const std::string& f : hints) {
      if (HoldsMarker(f)) return true;
      Forget(f);
    }
    return false;
  }
  void Add(std::string_view folder) {
    constexpr size_t kMaxHints = 64;
    std::lock_guard<std::mutex> guard(lock_);
    for (const std::string& f : folders_) {
      if (f == folder) return;
    }
    if (folders_.size() >= kMaxHints) folders_.erase(folders_.begin());
    folders_.emplace_back(folder);
  }

 private:
  void Forget(const std::string& folder) {
    std::lock_guard<std::mutex> guard(lock_);
    folders_.erase(std::remove(folders_.begin(), folders_.end(), folder), folders_.end());
  }
  std::mutex lock_;  // guards folders_
  std::vector<std::string> folders_;
};

KnownStores& Known() {
  static KnownStores known;
  return known;
}

}  // namespace

bool IsStoreFolder(std::string_view folder) {
  if (folder.empty()) return false;
  return plat::EntryExists(plat::PathAppend(folder, kStoreMarkerName));
}

bool IsInsideStore(std::string_view filePath) {
  std::string folder = plat::PathFolder(plat::StripLongPathPrefix(filePath));
  size_t root = RootLength(folder);
  if (root == 0) return false;
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  // Most paths asked about lie in a store found before (a copy's own files).
  if (Known().Hold(folder)) return true;
  auto holds = [&](size_t end) {
    const std::string_view at = std::string_view(folder).substr(0, end);
    if (!HoldsMarker(at)) return false;
    Known().Add(at);
    return true;
  };
  if (holds(root)) return true;
  size_t begin = root;
  for (size_t cut = folder.find('\\', begin); cut != std::string::npos;
       cut = folder.find('\\', begin)) {
    bool emptyComponent = cut == begin;
    begin = cut + 1;
    if (!emptyComponent && holds(begin)) return true;
  }
  return false;
}
