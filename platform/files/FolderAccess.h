// Whether the calling user may make entries in a folder, who that user is, and
// who else may reach a file through its folders.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

// True when the folder exists and the calling user may create files and
// folders in it (write and search permission, a file system mounted
// writable). Sets GetLastError() when false.
bool MayCreateIn(std::string_view folder);

// True when the program runs with the rights of the system's administrator
// (root): it may then write where the user it works for may not.
bool RunsAsAdministrator();

// A file's permission bits as the folders above it let other users have them:
// the others' bits stay only where every folder above has o+x, the group's
// only where every folder has g+x or o+x (a 0644 file in a 0700 folder gives
// 0600, in a 0750 folder 0640). The folders are judged on their real paths
// (links resolved); a folder that cannot be looked at lets no one through.
// The file's own folder is looked at every time (one made private a moment
// ago counts at once); the real paths and the answers of the folders above
// are kept for a short while (a backup of many files in few folders looks at
// each folder once), until ForgetFolderAnswers.
uint32_t ReachableMode(std::string_view path, uint32_t mode);

// Whether a backup store's folder may be used: it does not exist, or it
// belongs to the calling user or the administrator (so no one else can read
// or replace what is written in it). A folder of the user's that group or
// others may write is made 0700 first. False when another user owns it.
bool KeepStoreFolderOwn(std::string_view folder);

// The deepest folder on the way to path (a system path) that is reached only
// through links the administrator or the calling user made: where a restore
// may start to follow no link at all (a link another user made in a folder
// they may write in stops the way there). Empty when not even the root is.
std::string TrustedFolderOnTheWay(std::string_view path);

// How a folder inside a backup store (below its root) may be written into.
enum class StoreFolderUse {
  kAbsent,   // no such folder, or no folder (the copies say why)
  kUsable,   // the calling user's closed to others, or the administrator's
  kClosed,   // the user's own that group or others could write in: made 0700 now
  kForeign,  // another user's
};
// Looks at one folder inside a store (its entry itself, never through a
// link) and closes the user's own to others. A folder closed now is listed:
// *theirs (optional) gets the names of at most 16 entries other users own in
// it, which they may have put there while it was open. The administrator's
// is usable as the store's root is, whatever its mode (a disk mounted for
// all users keeps no owner of its own). Run as the administrator, every
// folder is usable.
StoreFolderUse KeepInnerStoreFolderOwn(std::string_view folder, std::vector<std::string>* theirs);

// True when users other than the calling one may make entries in the folder
// and it is not the caller's own to close: another user's folder, or the
// administrator's that group or others may write in (the top of a shared
// disk).
bool OthersMayWriteIn(std::string_view folder);
// The first folder above folder, or link on the way to it, through which
// another user may rename or replace it: another user's (not the
// administrator's), or a folder group or others may write in without the
// sticky bit (a group no user but the caller belongs to does not count).
// Native; empty when there is none.
std::string FolderOthersMayRearrange(std::string_view folder);

// Gives a file (never a link, nor what it leads to) the permission bits
// mode; false when it cannot (GetLastError() tells why).
bool SetFileMode(std::string_view path, uint32_t mode);

// Drops the kept folder answers: a run starts with none, and so does a look
// after a folder's permissions changed.
void ForgetFolderAnswers();

}  // namespace plat
