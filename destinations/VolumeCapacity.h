// Capacity of the volume that holds a path, for the free-space checks of
// plans, the wizard and the main window. Each returns 0 with the figure in
// *bytes, or 104 (kDestFailed) with *bytes set to 0 when it cannot be had.
// Where the volume table's override gives FreeBytes or TotalBytes for the
// path's drive letter, that figure replaces the measured one.
#pragma once
#include <cstdint>
#include <string_view>

// Bytes available to this user on the volume that holds the path.
uint32_t GetFreeSpace(std::string_view path, uint64_t* bytes);
// Whether the override states the free bytes of the path's drive (nothing
// is measured then, so nothing is worth keeping).
bool FreeSpaceStated(std::string_view path);
// Total bytes of the volume that holds the path.
uint32_t GetTotalSpace(std::string_view path, uint64_t* bytes);
