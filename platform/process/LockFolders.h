// Internal: folders of lock files and of instance blocks.
#pragma once
#include <string>

namespace plat::detail {

// $XDG_RUNTIME_DIR when it is this user's folder, else /tmp/brevanto-<uid> (made 0700, passed over
// when it is a link or another user's), else $HOME/.cache/brevanto-locks-<uid>. Empty when none can
// be used.
std::string LocalLockFolder();
// $BREVANTO_GLOBAL_LOCK_DIR, else /tmp (it names the global sockets).
std::string GlobalLockFolder();

}  // namespace plat::detail
