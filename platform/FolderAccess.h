// Whether the calling user may make entries in a folder.
#pragma once
#include <string_view>

namespace plat {

// True when the folder exists and the calling user may create files and
// folders in it (write and search permission, a file system mounted
// writable). Sets GetLastError() when false.
bool MayCreateIn(std::string_view folder);

}  // namespace plat
