// What a file's or folder's access list (POSIX ACL) takes away from users
// its permission bits would let in.
#pragma once
#include <cstdint>
#include <string>

namespace plat::detail {

// The bits a file (folder false: read is what counts) or a folder (folder
// true: search is what counts) lets others have once its access list is
// counted: 0700 when the list keeps some user or group out whom the bits
// alone would let in (setfacl -m u:someone:---); else 0777, with the group
// class narrowed to what the owning group's own entry gives (a list that
// adds a reader or writer shows its mask as the group bits). An entry for a
// user number no user of the system has keeps no one out. A file without
// a list, one whose mask grants nothing (the system then looks at the bits
// alone), or a file system without lists gives 0777. native is a real
// native path.
uint32_t AccessListMask(const std::string& native, bool folder);

}  // namespace plat::detail
