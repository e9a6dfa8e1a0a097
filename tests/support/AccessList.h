// An access list of owner rw, group r, others r, one named user's (tag 2) or group's (tag 8)
// entry, and the mask.
#pragma once
#include <sys/xattr.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace bvtest {

inline bool SetAccessList(const std::string& native, uint16_t tag, uint32_t id, uint16_t perm,
                          uint16_t mask) {
  const uint32_t none = ~0u;
  const struct {
    uint16_t tag, perm;
    uint32_t id;
  } entries[] = {{1, 6, none}, {tag, perm, id}, {4, 4, none}, {0x10, mask, none}, {0x20, 4, none}};
  std::string raw(4 + sizeof entries, '\0');
  raw[0] = 2;  // the version
  std::memcpy(raw.data() + 4, entries, sizeof entries);
  return setxattr(native.c_str(), "system.posix_acl_access", raw.data(), raw.size(), 0) == 0;
}

}  // namespace bvtest
