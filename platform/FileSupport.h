// Internal helpers shared by the file layer (Files.cpp, File.cpp,
// DirSearch.cpp, Profile.cpp): path resolution, errno mapping, temp names.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

struct stat;

namespace plat {
struct FindData;
}

namespace plat::detail {

// Attributes and find data of an entry from its stat and its name.
uint32_t AttributesOf(const struct stat& st, std::string_view name);
void FillFindData(const struct stat& st, std::string_view name, FindData* out);

// System path -> native path without a closing "/" (except the root). Sets
// the last error (3 and the like) and returns false when it names nothing.
bool Resolve(std::string_view systemPath, std::string* native);

// The Windows error for errno err on native path: ENOENT gives 3 instead of 2
// when the path's parent folder is missing.
uint32_t ErrorFor(int err, const std::string& native);

// Sets the last error and returns false (or the code, for the Code variant).
bool Fail(uint32_t code);
uint32_t FailCode(uint32_t code);

// Native folder part of a native path ("/a/b" -> "/a", "/a" -> "/").
std::string NativeParent(const std::string& native);
// Last component of a native path.
std::string NativeName(const std::string& native);

// A fresh temporary name in folder ("<folder>/.~bvtmp-<16 hex digits>").
std::string TempNameIn(const std::string& folder);

// Creates a new temporary file next to target for writing; returns the fd or
// -1 with errno set. *tmpPath receives its native path.
int CreateTempNextTo(const std::string& target, mode_t mode, std::string* tmpPath);

// Writes all of data in chunks, each passing the fault seam. False with the
// last error set (112 when the disk is full).
bool WriteAll(int fd, const void* data, size_t n);

// fsync of a folder; true when done or not supported by the file system.
bool SyncFolder(const std::string& folder);

}  // namespace plat::detail
