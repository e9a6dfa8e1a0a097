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
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) Put(it->first, it->second);
    saved_.clear();
    if (std::exchange(volumes_, false)) plat::VolumeTable::Instance().Reload();
  }
  void Set(const std::string& name, const std::string& value) { Change(name, value); }
  void Unset(const std::string& name) { Change(name, std::nullopt); }
  // Writes an override volume table to file (native) and switches to it.
  void Volumes(const std::string& file, const std::string& iniText) {
    bvtest::WriteNative(file, iniText);
    Set("BREVANTO_VOLUMES", file);
  }

 private:
  using Value = std::optional<std::string>;
  static void Put(const std::string& name, const Value& value) {
    if (value)
      setenv(name.c_str(), value->c_str(), 1);
    else
      unsetenv(name.c_str());
  }
  void Change(const std::string& name, const Value& value) {
    bool saved = false;
    for (const auto& s : saved_) saved |= s.first == name;
    const char* old = std::getenv(name.c_str());
    if (!saved) saved_.emplace_back(name, old ? Value(old) : std::nullopt);
    Put(name, value);
    if (name != "BREVANTO_VOLUMES") return;
    volumes_ = true;
    plat::VolumeTable::Instance().Reload();
  }

  std::vector<std::pair<std::string, Value>> saved_;
  bool volumes_ = false;
};
