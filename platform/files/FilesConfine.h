// Internal helpers shared by the file services in platform/Files*.cpp: the
// confining folder of a write and whether its volume is still there, opening
// a regular file for reading, renames that never replace.
#pragma once
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>

struct stat;

namespace plat::detail {

// The native form of a confining folder; empty stays empty. A folder on a
// volume that went away gives 1167 (unless not looked at: lookAtVolume).
bool ResolveConfine(std::string_view confineTo, std::string* native, bool lookAtVolume = true);

// The last error of a failure below the confining folder base, or 1167 when
// base's volume went away.
uint32_t VolumeGoneOr(const std::string& base);

// Opens a regular file for reading (special files would block or never end):
// the descriptor, or -1 with the last error set (5 for a special file).
int OpenRegularForRead(const std::string& native, struct stat* st);
// The same below a limit: the file is opened in its folder without following
// a link (681 for a link).
int OpenRegularForRead(const std::string& native, const std::string& within, struct stat* st);

// The descriptor of the file the calling thread's copies of native read
// instead of opening it (CopiesReadFrom), or -1; opened: its status when it
// was opened.
int ReadFromFor(const std::string& native, struct stat* opened = nullptr);

// Rename between open folders that never replaces the target. Returns 0 or
// an errno value.
int RenameNoReplace(int fromDir, const char* from, int toDir, const char* to);

// Closes fd (when open) and removes the temporary file tmp in dirFd (when named).
inline void Discard(int fd, int dirFd, const std::string& tmp) {
  if (fd >= 0) close(fd);
  if (!tmp.empty()) unlinkat(dirFd, tmp.c_str(), 0);
}

}  // namespace plat::detail
