#include "destinations/StoreMarker.h"

#include <string>

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
  return plat::FileExists(marker);
}

}  // namespace

bool IsStoreFolder(std::string_view folder) {
  if (folder.empty()) return false;
  return plat::FileExists(plat::PathAppend(folder, kStoreMarkerName));
}

bool IsInsideStore(std::string_view filePath) {
  std::string folder = plat::PathFolder(plat::StripLongPathPrefix(filePath));
  size_t root = RootLength(folder);
  if (root == 0) return false;
  if (HoldsMarker(std::string_view(folder).substr(0, root))) return true;
  size_t begin = root;
  for (size_t cut = folder.find('\\', begin); cut != std::string::npos;
       cut = folder.find('\\', begin)) {
    bool emptyComponent = cut == begin;
    begin = cut + 1;
    if (!emptyComponent && HoldsMarker(std::string_view(folder).substr(0, begin))) return true;
  }
  return false;
}
