#include "ui/StoreRemoval.h"

#include <string_view>

#include "destinations/StoreMarker.h"
#include "platform/Files.h"
#include "platform/Paths.h"

namespace {

bool Cancelled(const std::atomic<bool>* cancel) { return cancel && cancel->load(); }

bool IsStoreEntry(std::string_view name) {
  return name == "." || name == ".." || name == kStoreMarkerName || name == "Latest" ||
         name == "Revision";
}

}  // namespace

bool RemoveStoreFolder(const std::string& storeRoot, const std::atomic<bool>* cancel) {
  std::string folder = storeRoot;
  while (!folder.empty() && folder.back() == '\\') folder.pop_back();
  // "E:" or "\\server\share" alone is a whole volume, never a store to remove.
  if (folder.size() <= 2) return false;
  if (folder.rfind("\\\\", 0) == 0 &&
      folder.find('\\', folder.find('\\', 2) + 1) == std::string::npos)
    return false;

  // Only the store's own entries: then the folder itself may go as well.
  bool onlyStore = true;
  {
    plat::DirSearch search;
    plat::FindData fd;
    if (search.Open(folder + "\\*", &fd)) {
      do {
        if (!IsStoreEntry(fd.name)) onlyStore = false;
      } while (onlyStore && search.Next(&fd));
      search.Close();
    }
  }

  bool ok = true;
  for (const char* part : {"Latest", "Revision"}) {
    const std::string path = folder + "\\" + part;
    if (plat::FileExists(path) && !plat::DeleteTree(path, cancel)) ok = false;
    if (Cancelled(cancel)) return false;
  }
  const std::string marker = folder + "\\" + kStoreMarkerName;
  if (plat::FileExists(marker)) {
    const uint32_t attributes = plat::GetFileAttributes(marker);
    if (attributes != plat::kInvalidAttributes && (attributes & plat::kAttrReadOnly))
      plat::SetFileAttributes(marker, attributes & ~plat::kAttrReadOnly);
    if (!plat::DeleteFile(marker)) ok = false;
  }
  if (onlyStore && ok) {
    plat::RemoveDirectory(folder);
    ok = !plat::FileExists(folder);
  }
  return ok;
}
