// Replaces the volume table with an override file for the life of the object
// (BREVANTO_VOLUMES), then puts the previous table back.
#pragma once
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/Volumes.h"
#include "support/TempDir.h"

class ScopedVolumes {
 public:
  explicit ScopedVolumes(const std::string& iniText) {
    if (const char* old = std::getenv("BREVANTO_VOLUMES")) previous_ = old;
    path_ = dir_.NativeOf("volumes.ini");
    Rewrite(iniText);
    setenv("BREVANTO_VOLUMES", path_.c_str(), 1);
    plat::VolumeTable::Instance().Reload();
  }
  ~ScopedVolumes() {
    if (previous_)
      setenv("BREVANTO_VOLUMES", previous_->c_str(), 1);
    else
      unsetenv("BREVANTO_VOLUMES");
    plat::VolumeTable::Instance().Reload();
  }
  ScopedVolumes(const ScopedVolumes&) = delete;
  ScopedVolumes& operator=(const ScopedVolumes&) = delete;

  // New contents, read at once (as after a plug or unplug).
  void Rewrite(const std::string& iniText) {
    bvtest::WriteNative(path_, iniText);
    plat::VolumeTable::Instance().Reload();
  }

 private:
  bvtest::TempDir dir_;
  std::string path_;
  std::optional<std::string> previous_;
};
