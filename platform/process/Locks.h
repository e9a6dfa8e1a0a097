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

// Names beginning with "Global\" are abstract Unix sockets that every user
// of the machine sees (named after the global folder, $BREVANTO_GLOBAL_LOCK_
// DIR or /tmp, the name and the holder's user): the holder listens, and a
// second creator looks for a listener on any user's name whose user the
// kernel confirms (a socket another user holds under this user's name does
// not count). Nothing lies on disk, so no planted file counts.
// Other names are lock files in the user's own runtime folder
// ($XDG_RUNTIME_DIR, /tmp/brevanto-<uid> or a folder in the home's cache), opened without following
// links.
class NamedMutex {
 public:
  NamedMutex() = default;
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  MutexResult Create(std::string_view name);
  void Close();
  bool IsHeld() const { return fd_ >= 0; }
  // After kAlreadyExists on a global name: the holder's user id (-1 unknown).
  long HolderUid() const { return holderUid_; }

 private:
  MutexResult CreateGlobal(std::string_view name);

  int fd_ = -1;
  long holderUid_ = -1;
};

// Creates and closes the mutex at once: true when another process holds it.
bool NamedMutexExists(std::string_view name);
// Native path of a local mutex's lock file (for tests that hold it from
// outside); empty for global names, which have no file.
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
