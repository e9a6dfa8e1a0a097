// The change-monitor device: reports the files written on this machine as
// packed records of system paths, driven by device control codes. On Linux it
// lives in the process: fanotify when the process may use it, else inotify
// watches on the home folder, the roots of the other fixed volumes and the
// folders the plans protect. Both follow volumes mounted and unmounted.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/UnheldNames.h"

namespace plat {

enum : uint32_t {
  kIoctlStartReporting = 0x22EC14,
  kIoctlStopReporting = 0x22EC18,  // completes a pending read
  kIoctlReadRecords = 0x22EC06,    // output: packed records, up to 65,536 bytes
  kIoctlSetBackupOnlyWritten = 0x22EC24,
  kIoctlSetNoOpenBackup = 0x22EC2C,
  kIoctlSetIgnoreTime = 0x22EC30,
  kIoctlLaunchReport = 0x22EC28,  // output: 524 bytes
};

enum class ChangeSource { kFanotify, kInotify };

// What left changes unreported (TakeLostChanges): the kernel's event queue
// overflowed, the watch limit left folders unwatched, or a change lay in a
// folder whose path is longer than the system can name (the catch-up walk
// reaches it and reports the files as not protected).
enum : uint32_t {
  kChangesLostOverflow = 1,
  kChangesLostWatchLimit = 2,
  kChangesBeyondLongestPath = 4,
};

class ChangeDevice {
 public:
  // Opens the device of that name ("\\.\Brevanto"). Null with *error = 1000
  // when no source can be used, 2 for another name. BREVANTO_CHANGE_SOURCE=inotify
  // (or =fanotify) forces that source; =fanotify-fd forces fanotify's
  // descriptor events alone (tests: file systems without handles).
  static std::unique_ptr<ChangeDevice> Open(std::string_view name, uint32_t* error);

  virtual ~ChangeDevice() = default;
  // A device control request. Returns 0 or a Windows error number; *returned
  // is the number of output bytes. kIoctlReadRecords blocks until records
  // are queued or reporting stops (then it returns 0 bytes). Each record is a
  // 16-bit count n of UTF-16 code units, the n units of the path, a 16-bit 0.
  virtual uint32_t Control(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize,
                           size_t* returned) = 0;
  virtual ChangeSource Source() const = 0;
  // The folders the plans protect (system paths): watched from now on
  // wherever they lie, in place of the previous list.
  virtual void WatchFolders(const std::vector<std::string>& folders) { (void)folders; }
  // The system path under which the files of folder (a system path) are
  // reported: folder itself, or where it really lies when it is a link, lies
  // below one or is a mount of another folder. Empty when folder is missing.
  virtual std::string ReportedFolder(const std::string& folder) { return folder; }
  // The kinds of loss (kChangesLost*) since the last call; 0 when none.
  virtual uint32_t TakeLostChanges() { return 0; }
  // Written files whose names a system path cannot carry, since the last call.
  virtual std::vector<UnheldName> TakeUnheldNames() { return {}; }
};

}  // namespace plat
