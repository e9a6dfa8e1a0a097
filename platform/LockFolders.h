// Internal: folders of lock files and of instance blocks.
#pragma once
#include <string>

namespace plat::detail {

// $XDG_RUNTIME_DIR, else /tmp/brevanto-<uid> (made 0700, refused when it is
// not a folder of this user). Empty when neither can be used.
std::string LocalLockFolder();
// $BREVANTO_GLOBAL_LOCK_DIR, else /tmp.
std::string GlobalLockFolder();

}  // namespace plat::detail
