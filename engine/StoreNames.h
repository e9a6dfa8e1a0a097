// Where the store keeps one source file: its latest copy under "Latest" and
// its replaced copies under "Revision", numbered.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// Store names of one source path.
struct StoreNames {
  std::string latestFolder;    // root + "Latest\" + relative folder
  std::string revisionFolder;  // root + "Revision\" + relative folder
  std::string stem, extension;
  std::string latestName;  // latest folder + file name
};
// sep is the destination's path separator; a root without its closing
// separator gets one.
StoreNames MakeStoreNames(std::string_view root, std::string_view source, char sep);
// folder + RevisionFileName: stem + "(nnnn)" + "." + extension (no number
// for n = 0), the stem shortened when the name would be too long.
std::string VersionName(std::string_view folder, std::string_view stem, std::string_view ext,
                        int64_t n);
