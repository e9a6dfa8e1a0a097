// Whether the calling user may make entries in a folder, and who that user is.
#pragma once
#include <string_view>

namespace plat {

// True when the folder exists and the calling user may create files and
// folders in it (write and search permission, a file system mounted
// writable). Sets GetLastError() when false.
bool MayCreateIn(std::string_view folder);

// True when the program runs with the rights of the system's administrator
// (root): it may then write where the user it works for may not.
bool RunsAsAdministrator();

}  // namespace plat
