// Internal to platform/: the kernel sources behind the change-monitor device.
// A watcher owns one pollable descriptor; Drain reads what is pending without
// blocking and returns the native paths of files written since. The device
// calls every member under its own lock, so a watcher needs none.
#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace plat {

class ChangeWatcher {
 public:
  virtual ~ChangeWatcher() = default;
  virtual int Fd() const = 0;
  // Appends the native paths of written files; never blocks.
  virtual void Drain(std::vector<std::string>* written) = 0;
  // The native folders the plans protect: watched from now on wherever they
  // lie (replaces the previous list).
  virtual void WatchFolders(const std::vector<std::string>& folders) = 0;
  // Looks at the volume table again: fixed volumes mounted since are watched,
  // the watches of volumes gone are let go.
  virtual void FollowVolumes() = 0;
  // The native path under which Drain names the files of folder (a link, a
  // folder below one or a mount of another folder is named where it really
  // lies); empty when folder is missing.
  virtual std::string ReportedFolder(const std::string& folder) = 0;
  // The kinds of loss (kChangesLost* of ChangeDevice.h) since the last call.
  uint32_t TakeLosses() {
    const uint32_t lost = losses_;
    losses_ = 0;
    return lost;
  }

 protected:
  uint32_t losses_ = 0;
};

// Files changed without a close after writing (truncated by path, written
// through a mapping or still open) are reported from their modify events, at
// most once per kGap per file: a long write is not reported at every block,
// and a change within the gap is reported when it ends.
class ModifyThrottle {
 public:
  static constexpr std::chrono::milliseconds kGap{2000};
  // A modify event of path: true when it is to be reported now.
  bool Modified(const std::string& path);
  // path is reported for another reason (closed after writing, moved in).
  void Reported(const std::string& path);
  // Appends the paths whose changes waited for their gap to end.
  void TakeDue(std::vector<std::string>* written);

 private:
  struct Entry {
    std::chrono::steady_clock::time_point reported;
    bool waiting = false;
  };
  std::unordered_map<std::string, Entry> files_;
};

// Null when fanotify cannot be used (no privilege, no kernel support, or "/"
// cannot be marked). Without named, only the descriptor group is used (as on
// file systems without handles).
std::unique_ptr<ChangeWatcher> OpenFanotifyWatcher(bool named = true);
// Null only when inotify itself cannot be initialised.
std::unique_ptr<ChangeWatcher> OpenInotifyWatcher();

// Native folders whose changes are not reported: the cache folder, the trash
// and the program's data folder (its own logs and catalogs).
std::vector<std::string> QuietFolders();
// True when path is one of folders or lies below one.
bool IsUnderAny(const std::string& path, const std::vector<std::string>& folders);
// The roots of the fixed local volumes of the volume table, "/" included.
std::vector<std::string> FixedVolumeRoots();
// folder with every link resolved (realpath); empty when it is missing.
std::string ResolvedFolder(const std::string& folder);
// Whether path is a link that leads to a folder (a link to a folder in a
// folder made or moved in is reported with its files: the plans say it).
bool IsLinkToFolderAt(const std::string& path);
// Appends the regular files below folder, and the links to folders there
// (links not followed, quiet folders left out).
void ListFilesBelow(const std::string& folder, const std::vector<std::string>& quiet,
                    std::vector<std::string>* files);

}  // namespace plat
