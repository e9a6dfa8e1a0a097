// Internal: what the version tree's files (VersionTree.cpp, VersionChoices.cpp)
// share about the store: its two folders, a child's store path, a folder's
// depth below the store folder, and whether a file has a version.
#pragma once
#include <string>
#include <string_view>

class CVersionFolder;
struct RestoreStore;
struct VersionFile;

namespace version_tree {

inline constexpr char kLatest[] = "Latest";
inline constexpr char kRevision[] = "Revision";

// name in the store folder parent: joined by sep unless parent ends in "\" or "/".
std::string StoreChild(const std::string& parent, std::string_view name, char sep);
bool HasVersion(const VersionFile& f);
// How many folders below the store folder a folder lies.
int StoreDepth(const CVersionFolder& f, const RestoreStore& store);

}  // namespace version_tree
