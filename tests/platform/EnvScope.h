// Environment variables set or removed for one test and put back at its end.
// Whenever BREVANTO_VOLUMES is touched the volume table is read again, also
// at the end, so the next test sees the table its environment names.
#pragma once
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Volumes.h"
#include "support/TempDir.h"

class EnvScope {
 public:
  EnvScope() = default;
  EnvScope(const EnvScope&) = delete;
  EnvScope& operator=(const EnvScope&) = delete;
  ~EnvScope() { Restore(); }

  // Puts every variable back now (the destructor then has nothing to do).
  void Restore() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second)
        setenv(it->first.c_str(), it->second->c_str(), 1);
      else
        unsetenv(it->first.c_str());
    }
    saved_.clear();
    if (volumes_) plat::VolumeTable::Instance().Reload();
    volumes_ = false;
  }

  void Set(const std::string& name, const std::string& value) {
    Save(name);
    setenv(name.c_str(), value.c_str(), 1);
    Reread(name);
  }
  void Unset(const std::string& name) {
    Save(name);
    unsetenv(name.c_str());
    Reread(name);
  }
  // Writes an override volume table to file (native) and switches to it.
  void Volumes(const std::string& file, const std::string& iniText) {
    bvtest::WriteNative(file, iniText);
    Set("BREVANTO_VOLUMES", file);
  }

 private:
  void Save(const std::string& name) {
    for (const auto& s : saved_)
      if (s.first == name) return;
    const char* v = std::getenv(name.c_str());
    saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
  }
  void Reread(const std::string& name) {
    if (name != "BREVANTO_VOLUMES") return;
    volumes_ = true;
    plat::VolumeTable::Instance().Reload();
  }

  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
  bool volumes_ = false;
};
