// Reading a source file without following a link below its folder, handed to
// the copies that read it; the writes of a restore run by root.
#pragma once
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/files/FileId.h"

namespace plat {

namespace detail {
class ParentFolder;
}

// A source file open for reading.
class SourceFile {
 public:
  SourceFile() = default;
  ~SourceFile();
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;

  // Opens an existing regular file for reading without following a link
  // below the folder within (a system path; empty, or a folder the path does
  // not lie in: the root of the path's volume). within itself may be a link
  // or lie below one; every folder below it and the file itself are opened
  // without following one (681), so no file or folder swapped for a link
  // hands out another file. 5 for anything but a regular file.
  bool Open(std::string_view path, std::string_view within);
  bool IsOpen() const { return fd_ >= 0; }
  void Close();
  // The descriptor (-1 when closed).
  int Descriptor() const { return fd_; }
  // The native path it was opened by.
  const std::string& NativePath() const { return native_; }
  // What the open file was like when it was opened.
  const struct stat& Status() const { return status_; }

 private:
  int fd_ = -1;
  std::string native_;
  struct stat status_ {};
};

// While alive, the calling thread's copies of the file's path (CopyFile,
// CopyFileWithin) and its opens of it for reading (File::Open) read the open
// file from its start instead of opening the path again: whatever kind of
// destination copies it, it copies what was opened. The file must outlive it.
class CopiesReadFrom {
 public:
  explicit CopiesReadFrom(const SourceFile& file);
  ~CopiesReadFrom();
  CopiesReadFrom(const CopiesReadFrom&) = delete;
  CopiesReadFrom& operator=(const CopiesReadFrom&) = delete;

 private:
  const SourceFile* previous_;
};

// CopyFileWithin (Files.h) for a restore: the copy, with ownerOfFolder, takes
// the owner and group of the folder it lands in, and never has more
// permission bits than the file it replaces had; and CreateDirectories whose folders,
// with ownerOfParent, take those of the folder each is made in: a restore run
// by root leaves the user's files and folders the user's.
uint32_t CopyFileWithin(std::string_view source, std::string_view sourceWithin,
                        std::string_view target, std::string_view targetWithin, bool failIfExists,
                        bool flushToDevice, bool ownerOfFolder);
// *levelsMade (optional): how many folders at the end of the path it made,
// SIZE_MAX when that is not known (a path outside confineTo).
bool CreateDirectories(std::string_view folder, std::string_view confineTo, bool privateMode,
                       bool ownerOfParent, size_t* levelsMade = nullptr);

// Whether path (system or native) names the temporary file of an
// IncomingFile or a file copy (CopyFile and its kin) of this process that is
// still arriving: the program's own half-written file, never to be taken for
// one of the user's.
bool IsArrivingFile(std::string_view path);

// A file that arrives from elsewhere (a download from a server): written to
// a private temporary file beside its target, on the target's file system,
// and put in place only once whole. Used by one thread.
class IncomingFile {
 public:
  IncomingFile();
  // Removes the temporary file unless it was put in place.
  ~IncomingFile();
  IncomingFile(const IncomingFile&) = delete;
  IncomingFile& operator=(const IncomingFile&) = delete;

  // Opens the target's folder without following a link below within (a
  // system path; empty: no limit) and makes the temporary file in it: mode
  // 0600, made exclusively, never through a link. A link standing at the
  // target's name below within fails (681), so do a folder and a read-only
  // file there (5). With ownerOfFolder the file takes the owner and group of
  // the folder. 0 or the error number.
  uint32_t Begin(std::string_view target, std::string_view within, bool ownerOfFolder);
  // Appends; false with the last error set (112 when the disk is full).
  bool Write(const void* data, size_t n);
  // The permission bits of the file at the target's name when Begin looked
  // (0 when there was none).
  uint32_t TargetMode() const { return targetMode_; }
  // Gives the file the permission bits mode allows within 0755, the
  // process's umask and the mode of the file it replaces, if any (never group
  // or others write, set-id or sticky, nor more than before) and its last write (seconds
  // since 1970 UTC; negative leaves it) and renames it over the target. 0 or the error number; the
  // temporary file is gone either way.
  uint32_t Commit(uint32_t mode, int64_t writeTime);
  // Removes the temporary file.
  void Abandon();
  // The temporary file while it is being written: its system path and
  // identity (false when there is none).
  bool Temporary(std::string* path, FileId* id) const;

 private:
  std::unique_ptr<detail::ParentFolder> folder_;
  std::string temp_;        // its name in the folder
  std::string tempFolder_;  // the target's folder, a system path
  int fd_ = -1;
  bool ownerOfFolder_ = false;
  uint32_t targetMode_ = 0;
  bool targetFound_ = false;  // a file stood at the target's name
};

}  // namespace plat
