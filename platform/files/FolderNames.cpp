#include "platform/files/Files.h"
#include "platform/files/FolderEntries.h"

namespace plat {

bool ListFolderNames(std::string_view folder, const std::function<bool(const FindData&)>& each) {
  FindData data;
  return ListFolderEntries(folder, /*sizes=*/false, [&](const FolderEntry& entry) {
    data.name.assign(entry.name);
    data.attributes = entry.folder ? static_cast<uint32_t>(kAttrDirectory) : 0u;
    return each(data);
  });
}

}  // namespace plat
