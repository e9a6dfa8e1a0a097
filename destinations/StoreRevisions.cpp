#include "destinations/StoreRevisions.h"

#include <utility>
#include <vector>

#include "platform/base/Errors.h"
#include "platform/files/Files.h"
#include "platform/volumes/Paths.h"

bool WalkRevisionFiles(const std::string& root,
                       const std::function<bool(const RevisionFile&)>& each) {
  if (root.empty()) return false;
  const std::string base = plat::WithSeparator(root) + "Revision\\";
  // A wildcard search never reports a link to a folder: nothing below the
  // tree leads out of the store.
  std::vector<std::string> folders{base};
  bool first = true;
  while (!folders.empty()) {
    const std::string folder = std::move(folders.back());
    folders.pop_back();
    plat::DirSearch search;
    plat::FindData entry;
    if (!search.Open(folder + "*", &entry)) {
      const uint32_t error = plat::GetLastError();
      if (std::exchange(first, false) && error != plat::kErrFileNotFound &&
          error != plat::kErrPathNotFound)
        return false;
      continue;
    }
    first = false;
    do {
      if (entry.name == "." || entry.name == "..") continue;
      if (entry.attributes & plat::kAttrDirectory) {
        folders.push_back(folder + entry.name + "\\");
      } else if (!(entry.attributes & plat::kAttrReparsePoint)) {
        if (!each({folder + entry.name, entry.size, entry.writeTime})) return true;
      }
    } while (search.Next(&entry));
  }
  return true;
}

uint64_t RevisionBytes(const std::string& root) {
  uint64_t bytes = 0;
  WalkRevisionFiles(root, [&](const RevisionFile& file) {
    bytes += file.size;
    return true;
  });
  return bytes;
}
