// An environment variable set (null: removed) for one scope; "TZ" also resets the zone.
#pragma once
#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>

namespace bvtest {

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    Set(value);
  }
  ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
  ~ScopedEnv() { Restore(); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  void Set(const char* value) {
    value ? setenv(name_.c_str(), value, 1) : unsetenv(name_.c_str());
    if (name_ == "TZ") tzset();
  }
  // Puts the old value back now (again at the end of the scope).
  void Restore() { Set(old_ ? old_->c_str() : nullptr); }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace bvtest
