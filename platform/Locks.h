// Named mutexes as lock files held with flock (the kernel releases them when
// the process dies), and the per-executable, per-user instance block.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

enum class MutexResult {
  kCreated,        // nobody held it; this object now holds it
  kAlreadyExists,  // another process holds it (Windows error 183)
  kAccessDenied,   // the lock file cannot be opened (Windows error 5)
  kError,
};

// Names beginning with "Global\" live in the global folder ($BREVANTO_GLOBAL_
// LOCK_DIR or /tmp), readable by every user and opened without following
// links; other names in $XDG_RUNTIME_DIR (else /tmp/brevanto-<uid>/).
class NamedMutex {
 public:
  NamedMutex() = default;
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  MutexResult Create(std::string_view name);
  void Close();
  bool IsHeld() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Creates and closes the mutex at once: true when another process holds it.
bool NamedMutexExists(std::string_view name);
// Native path of a mutex's lock file (for tests that hold it from outside).
std::string NamedMutexFile(std::string_view name);

// A small shared file per executable and user holding the instance count and
// the running instance's window handle (the name of its local socket).
// Entries of processes that died are recognised as stale and dropped.
class InstanceBlock {
 public:
  // id defaults to the running executable's path.
  explicit InstanceBlock(std::string_view id = {});
  int Increment();  // returns the new count
  int Decrement();  // returns the new count
  int Count() const;
  std::string GetWindowHandle() const;            // empty when none
  void SetWindowHandle(std::string_view handle);  // empty clears it
  std::string FilePath() const { return path_; }

 private:
  std::string path_;  // native path of the block file
};

}  // namespace plat
