// A folder made read-only in place by a read-only bind mount of itself; undone when it goes.
#pragma once
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace bvtest {

class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(std::string folder) : folder_(std::move(folder)) {
    if (mount(folder_.c_str(), folder_.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      failure_ = std::string("cannot bind-mount the folder: ") + std::strerror(errno);
      return;
    }
    mounted_ = true;
    if (mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
      failure_ = std::string("cannot make the folder read-only: ") + std::strerror(errno);
  }
  ~ReadOnlyFolder() {
    if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  }
  ReadOnlyFolder(const ReadOnlyFolder&) = delete;
  ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

  // Empty when the folder is read-only now; else why not (tests skip with it).
  const std::string& Failure() const { return failure_; }
  // Writable again (the mount stays until the end).
  bool MakeWritable() {
    return mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_BIND, nullptr) == 0;
  }

 private:
  std::string folder_;
  std::string failure_;
  bool mounted_ = false;
};

}  // namespace bvtest
