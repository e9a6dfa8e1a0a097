// The network-provider services: which share a network letter is connected
// to, and connecting to a share by its "\\server\share" path. Shares come
// from the volume table (override sections, cifs/nfs/gvfs mounts, network
// letters); a connection that is missing may be asked of `gio mount`.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

// For "X:" (exactly two characters, a letter and a colon): the
// "\\server\share" that network letter X: is connected to. False, and *out
// empty, for any other text, a missing letter or a letter that is not a
// network letter.
bool GetConnectionName(std::string_view drive, std::string* out);

// Connects to the share a path lies on ("\\server\share[\rest]", also with
// the "\\?\UNC\" prefix). 0 when the share is reachable: declared online in
// the override table, mounted, or connected to a network letter. Otherwise,
// with the real table only, `gio mount smb://server/share` is tried (at most
// once a minute per share, killed after 15 seconds) and the table read again.
// Errors (also left in GetLastError): 67 for a path that names no share
// (no server or share name, ".." components, device paths), 53 for a share
// that cannot be reached, 1460 when the mount attempt timed out. No connection is ever
// remembered across sessions and none is released: a mount made here belongs
// to the user's session.
uint32_t ConnectShare(std::string_view path);

namespace detail {
// Tests: the mount attempt's time limit and the wait between two attempts
// for one share (milliseconds; negative leaves a value alone), and forgetting
// the attempts made so far.
void SetShareMountTiming(int timeLimitMs, int retryAfterMs);
void ForgetShareMountAttempts();
}  // namespace detail

}  // namespace plat
