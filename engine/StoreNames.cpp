#include "engine/StoreNames.h"

#include "destinations/Destination.h"

namespace {

void ToSeparator(std::string* path, char sep) {
  if (sep == '\\') return;
  for (char& c : *path) {
    if (c == '\\') c = sep;
  }
}

}  // namespace

StoreNames MakeStoreNames(std::string_view root, std::string_view source, char sep) {
  StoreNames names;
  const size_t slash = source.rfind('\\');
  std::string relative;
  if (slash != std::string_view::npos) {
    for (char c : source.substr(0, slash + 1)) {
      if (c != ':') relative += c;
    }
  }
  const std::string_view fileName =
      slash == std::string_view::npos ? source : source.substr(slash + 1);
  const size_t dot = fileName.rfind('.');
  // A name ending in "." is its own stem: "r." keeps revisions "r.(0001)"
  // apart from those of "r" ("r(0001)").
  if (dot == std::string_view::npos || dot + 1 == fileName.size()) {
    names.stem = std::string(fileName);
  } else {
    names.stem = std::string(fileName.substr(0, dot));
    names.extension = std::string(fileName.substr(dot + 1));
  }
  // Roots are stored with or without their closing separator.
  std::string base(root);
  if (!base.empty() && base.back() != '\\' && base.back() != '/') base += '\\';
  names.latestFolder = base + "Latest\\" + relative;
  names.revisionFolder = base + "Revision\\" + relative;
  ToSeparator(&names.latestFolder, sep);
  ToSeparator(&names.revisionFolder, sep);
  names.latestName = names.latestFolder + std::string(fileName);
  return names;
}

std::string VersionName(std::string_view folder, std::string_view stem, std::string_view ext,
                        int64_t n) {
  return std::string(folder) + RevisionFileName(stem, ext, n);
}
