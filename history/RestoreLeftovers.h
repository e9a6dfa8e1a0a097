// The temporary files of the restore's downloads are noted in the data
// folder while they are written, so that a restore cut by the end of the
// process leaves none behind for good: the next start removes each one still
// there under its noted name and identity (device and inode), and nothing
// else, whatever its name.
#pragma once
#include <cstdint>
#include <string>

#include "platform/files/FileId.h"

namespace plat {
class IncomingFile;
}

// Notes one temporary file while alive (Note again replaces the note); the
// note goes with it, once the file is in place or gone. Used by one thread.
class RestoreLeftoverNote {
 public:
  RestoreLeftoverNote() = default;
  ~RestoreLeftoverNote() { Forget(); }
  RestoreLeftoverNote(const RestoreLeftoverNote&) = delete;
  RestoreLeftoverNote& operator=(const RestoreLeftoverNote&) = delete;

  void Note(const plat::IncomingFile& file);
  void Forget();

 private:
  std::string section_;  // empty: nothing noted
};

// At start: removes the noted files that are still the very files noted
// (said in the log) and drops every note. How many were removed.
uint32_t SweepRestoreLeftovers();
