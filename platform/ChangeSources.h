// Internal to platform/: the kernel sources behind the change-monitor device.
// A watcher owns one pollable descriptor; Drain reads what is pending without
// blocking and returns the native paths of files written since.
#pragma once
#include <memory>
#include <string>
#include <vector>

namespace plat {

class ChangeWatcher {
 public:
  virtual ~ChangeWatcher() = default;
  virtual int Fd() const = 0;
  // Appends the native paths of written files; never blocks.
  virtual void Drain(std::vector<std::string>* written) = 0;
};

// Null when fanotify cannot be used (no privilege, no kernel support, or "/"
// cannot be marked).
std::unique_ptr<ChangeWatcher> OpenFanotifyWatcher();
// Null only when inotify itself cannot be initialised.
std::unique_ptr<ChangeWatcher> OpenInotifyWatcher();

// Native folders whose changes are not reported: the cache folder, the trash
// and the program's data folder (its own logs and catalogs).
std::vector<std::string> QuietFolders();
// True when path is one of folders or lies below one.
bool IsUnderAny(const std::string& path, const std::vector<std::string>& folders);

}  // namespace plat
