// What tells one file from every other while it exists: the device of its
// file system and its inode number. A number freed by a deleted file may be
// given to a new one, so an identity proves a file only while it is held
// open or together with what the file holds.
#pragma once
#include <cstdint>
#include <string_view>

namespace plat {

struct FileId {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileId&) const = default;
};

// The identity of the regular file a system path names, and with links how
// many names (hard links) it has; false, with the last error set, when it
// names none (5 for a folder, kErrStoppedOnLink for a symbolic link, which is
// never followed).
bool GetFileId(std::string_view path, FileId* id, uint64_t* links = nullptr);
// The identity of the folder a system path names (a link to one is not
// followed); false, with the last error set, when it names none.
bool GetFolderId(std::string_view path, FileId* id);

}  // namespace plat
