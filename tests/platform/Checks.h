// Small helpers shared by the platform tests.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/Errors.h"
#include "platform/volumes/Volumes.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

inline mode_t ModeOf(const std::string& native) {
  struct stat st {};
  EXPECT_EQ(stat(native.c_str(), &st), 0) << native;
  return st.st_mode & 07777;
}

// Names of the temporary files a copy or atomic write may leave behind.
inline std::vector<std::string> TempLeftovers(const std::string& folder) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    const std::string n = e.path().filename().string();
    if (n.rfind(".~bvtmp-", 0) == 0) out.push_back(n);
  }
  return out;
}

// n bytes that repeat only every 251, NUL bytes included.
inline std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 131 % 251);
  return s;
}

// 0 for success, else the last error: calls that return bool sit in tables of codes.
inline uint32_t Code(bool ok) { return ok ? 0 : plat::GetLastError(); }

// step's exit code in a forked child (as nobody with asNobody, when root): -1 killed, 255 not
// nobody.
inline int InChild(const std::function<int()>& step, bool asNobody = false) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (asNobody && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(255);
    _exit(step());
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
inline bool Succeeds(const std::function<bool()>& step, bool asNobody = false) {
  return InChild([&] { return step() ? 0 : 1; }, asNobody) == 0;
}

// Variables set for one test, put back last first; the volume table follows BREVANTO_VOLUMES.
class EnvScope {
 public:
  ~EnvScope() {
    while (!vars_.empty()) vars_.pop_back();
    plat::VolumeTable::Instance().Reload();
  }
  void Set(const std::string& name, const std::string& value) { Change(name, value.c_str()); }
  void Unset(const std::string& name) { Change(name, nullptr); }
  // Writes an override volume table to file (native) and switches to it.
  void Volumes(const std::string& file, const std::string& iniText) {
    bvtest::WriteNative(file, iniText);
    Set("BREVANTO_VOLUMES", file);
  }

 private:
  void Change(const std::string& name, const char* value) {
    vars_.emplace_back(name.c_str(), value);
    if (name == "BREVANTO_VOLUMES") plat::VolumeTable::Instance().Reload();
  }
  std::deque<bvtest::ScopedEnv> vars_;
};
