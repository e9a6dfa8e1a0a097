// What a walk over a volume's files must not enter, and the I/O class of a
// walking thread.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace plat {

// The folders where another file system begins: pseudo and volatile file
// systems (proc, sysfs, tmpfs, cgroup, fuse, ...), network mounts, and the
// roots of the other volumes of the volume table (a USB disk mounted at
// /media/ann/stick has its own letter, so "C:\media\ann\stick" is not walked
// as part of C:). Taken once when made.
class MountBarriers {
 public:
  MountBarriers();
  // True when a walk that reached folder (a system path, closing "\" or not)
  // must not enter it.
  bool Stops(std::string_view folder) const;
  // The native folders (for inspection).
  const std::vector<std::string>& Folders() const { return native_; }

 private:
  std::vector<std::string> native_;  // sorted, without closing "/"
};

// True for the types of file systems a walk of a volume never enters: those
// that hold no user files of their own, and network file systems.
bool IsPseudoFileSystem(std::string_view fsType);

// Puts the calling thread's I/O into the idle class (idle) or back into the
// class its CPU priority implies. False when the system refused.
bool SetCurrentThreadIdleIo(bool idle);

}  // namespace plat
