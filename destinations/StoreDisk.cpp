#include "destinations/StoreDisk.h"

#include <cctype>
#include <string>

#include "platform/volumes/Volumes.h"

namespace {

std::string FileSystemOf(std::string_view root) {
  plat::VolumeInfo volume;
  if (root.size() < 2 || root[1] != ':' ||
      !plat::VolumeTable::Instance().Find(static_cast<char>(std::toupper(root[0])), &volume))
    return {};
  return volume.fileSystem;
}

}  // namespace

bool CaseFoldingFileSystem(std::string_view type) {
  for (std::string_view t : {"vfat", "msdos", "fat", "exfat", "umsdos"}) {
    if (type == t) return true;
  }
  return false;
}

uint64_t LargestFileOn(std::string_view root) {
  const std::string type = FileSystemOf(root);
  return CaseFoldingFileSystem(type) && type != "exfat" ? 0xFFFFFFFFull : 0;
}

bool RefusesSpecialNamesOn(std::string_view root) {
  return CaseFoldingFileSystem(FileSystemOf(root));
}

bool HasSpecialName(std::string_view name) {
  for (unsigned char c : name) {
    if (c < 0x20 ||
        std::string_view(":*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos)
      return true;
  }
  return false;
}
