// The store marker "Brevanto.dat": an empty file in a destination root that
// marks the folder as a backup store, and the two lookups that keep stores out
// of every backup. Paths are system paths.
#pragma once
#include <string_view>

inline constexpr char kStoreMarkerName[] = "Brevanto.dat";

// True when folder + "Brevanto.dat" exists.
bool IsStoreFolder(std::string_view folder);

// True when any folder on the file's path, from the drive root ("C:\" or
// "\\server\share\") down to the file's own folder, holds the marker. False
// for a path without such a root.
bool IsInsideStore(std::string_view filePath);
