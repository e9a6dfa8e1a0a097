#include "platform/files/AccessList.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace plat::detail {

namespace {

// The kernel's form of an access list: a version word, then entries of a
// tag, permission bits and the user's or group's number.
constexpr uint32_t kAclVersion = 2;
constexpr uint16_t kTagUser = 0x02;      // a named user
constexpr uint16_t kTagGroupObj = 0x04;  // the owning group
constexpr uint16_t kTagGroup = 0x08;     // a named group
constexpr uint16_t kTagMask = 0x10;      // the most any of the three above get
constexpr uint16_t kTagOther = 0x20;

struct Entry {
  uint16_t tag;
  uint16_t perm;
  uint32_t id;
};

// Whether some user of this system has the number: an entry for a number no
// user has (one left from a removed user, or made up) keeps no one out.
bool UserExists(uint32_t uid) {
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[4096];
  return getpwuid_r(static_cast<uid_t>(uid), &entry, buffer, sizeof buffer, &found) == 0 &&
         found != nullptr;
}

}  // namespace

uint32_t AccessListMask(const std::string& native, bool folder) {
  // A list has a few entries; one with more than this many is read as closed.
  unsigned char raw[4 + 8 * 64];
  const ssize_t got = getxattr(native.c_str(), "system.posix_acl_access", raw, sizeof raw);
  if (got < 0) return errno == ERANGE ? 0700 : 0777;  // none, or unreadable: the bits say it
  uint32_t version = 0;
  if (got < 4 || (got - 4) % 8 != 0) return 0700;
  std::memcpy(&version, raw, 4);
  if (version != kAclVersion) return 0700;
  const size_t count = static_cast<size_t>(got - 4) / 8;
  const auto entry = [&](size_t i) {
    Entry e;
    std::memcpy(&e, raw + 4 + 8 * i, 8);
    return e;
  };
  const uint16_t needed = folder ? 01 : 04;  // search, or read
  uint16_t mask = 07, other = 0, group = 07;
  bool named = false;
  for (size_t i = 0; i < count; ++i) {
    const Entry e = entry(i);
    if (e.tag == kTagMask) mask = e.perm;
    if (e.tag == kTagOther) other = e.perm;
    if (e.tag == kTagGroupObj) group = e.perm;
    if (e.tag == kTagUser || e.tag == kTagGroup) named = true;
  }
  // A minimal list is the bits themselves; and the system does not look at
  // the list while its mask (the bits' group class) grants nothing.
  if (!named || (mask & 07) == 0) return 0777;
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return 0700;
  // Someone whom the bits would let in: everyone, when others have it; the
  // group class, when the mask lets it through. Such a one kept out by an
  // entry of the list makes the file (or folder) the owner's alone. A named
  // entry for the owner is never used (the owner's own entry is).
  const bool othersIn = (other & needed) != 0;
  for (size_t i = 0; i < count; ++i) {
    const Entry e = entry(i);
    if (e.tag != kTagUser && e.tag != kTagGroup && e.tag != kTagGroupObj) continue;
    if (e.tag == kTagUser && e.id == st.st_uid) continue;
    const bool in = (e.perm & mask & needed) != 0;
    if (!in && e.tag == kTagUser && !UserExists(e.id)) continue;
    if (!in && (othersIn || (mask & needed) != 0)) return 0700;
  }
  // The owning group has what its own entry and the mask give it, not the
  // mask that the bits show (a list that adds a writer shows g+w).
  const uint16_t owning = group & mask;
  if (folder) return (owning & needed) ? 0777 : 0707;
  return 0707 | (static_cast<uint32_t>(owning) << 3);
}

}  // namespace plat::detail
