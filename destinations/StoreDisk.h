// What the disk under a local store can hold, by the file-system type the
// volume table gives for the store's drive letter. Stores without a drive
// letter (servers, shares by name) have no limits known here.
#pragma once
#include <cstdint>
#include <string_view>

// File systems that ignore case in names whatever the folder (FAT, exFAT).
bool CaseFoldingFileSystem(std::string_view type);
// The largest file the disk under root holds, in bytes; 0 when no limit is
// known (FAT: 4 GiB - 1).
uint64_t LargestFileOn(std::string_view root);
// True when the disk under root refuses names with ':', '*', '?', '"', '<',
// '>', '|' or control characters (FAT, exFAT).
bool RefusesSpecialNamesOn(std::string_view root);
// True for a name (or relative path) holding such a character.
bool HasSpecialName(std::string_view name);
