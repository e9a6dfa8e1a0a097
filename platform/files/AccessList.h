// What a file's or folder's access list (POSIX ACL) takes away from users
// its permission bits would let in.
#pragma once
#include <cstdint>
#include <string>

namespace plat::detail {

// The bits a file (folder false: read is what counts) or a folder (folder
// true: search is what counts) lets others have once its access list is
// counted: 0700 when the list keeps some user or group out whom the bits
// alone would let in (setfacl -m u:someone:---), else 0777. A file without
// a list, or on a file system without lists, gives 0777. native is a real
// native path.
uint32_t AccessListMask(const std::string& native, bool folder);

}  // namespace plat::detail
