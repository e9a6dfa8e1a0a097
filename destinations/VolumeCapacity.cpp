#include "destinations/VolumeCapacity.h"

#include <string>

#include "destinations/Destination.h"
#include "platform/files/Files.h"
#include "platform/volumes/Paths.h"
#include "platform/volumes/Volumes.h"

namespace {

enum class Figure { kFree, kTotal };

// The figure the volume table states for the path's drive letter, if any.
bool OverrideFigure(const std::string& path, Figure figure, uint64_t* bytes) {
  if (path.size() < 2 || path[1] != ':') return false;
  char letter = path[0];
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'Z') return false;
  plat::VolumeInfo info;
  if (!plat::VolumeTable::Instance().Find(letter, &info)) return false;
  if (figure == Figure::kFree && info.hasFreeBytes) {
    *bytes = info.freeBytes;
    return true;
  }
  if (figure == Figure::kTotal && info.hasTotalBytes) {
    *bytes = info.totalBytes;
    return true;
  }
  return false;
}

uint32_t Measure(std::string_view path, Figure figure, uint64_t* bytes) {
  uint64_t ignored = 0;
  if (!bytes) bytes = &ignored;
  *bytes = 0;
  if (path.empty()) return kDestFailed;
  std::string plain = plat::StripLongPathPrefix(path);
  if (OverrideFigure(plain, figure, bytes)) return kDestOk;
  uint64_t freeBytes = 0, totalBytes = 0;
  if (!plat::GetDiskSpace(plain, &freeBytes, &totalBytes)) return kDestFailed;
  *bytes = figure == Figure::kFree ? freeBytes : totalBytes;
  return kDestOk;
}

}  // namespace

uint32_t GetFreeSpace(std::string_view path, uint64_t* bytes) {
  return Measure(path, Figure::kFree, bytes);
}

bool FreeSpaceStated(std::string_view path) {
  uint64_t bytes = 0;
  return OverrideFigure(plat::StripLongPathPrefix(path), Figure::kFree, &bytes);
}

uint32_t GetTotalSpace(std::string_view path, uint64_t* bytes) {
  return Measure(path, Figure::kTotal, bytes);
}
