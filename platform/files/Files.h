// File services in system paths ("C:\home\ann\a.txt", "\\server\share\x",
// with or without the long-path prefixes "\\?\" and "\\?\UNC\").
// Every call that fails sets plat::GetLastError() to a Windows error number.
// Every call that touches the disk passes the fault seam (FaultSeam.h).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

enum : uint32_t {
  kAttrReadOnly = 0x1,
  kAttrHidden = 0x2,
  kAttrSystem = 0x4,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
  kAttrNormal = 0x80,
  kAttrTemporary = 0x100,
  kAttrReparsePoint = 0x400,  // DirSearch: the entry is a symbolic link (to a file)
};
constexpr uint32_t kInvalidAttributes = 0xFFFFFFFFu;
// The longest native path (bytes) the system opens by name. A file whose
// path is longer can be listed but neither read nor copied.
constexpr size_t kMaxNativePath = 4095;

// One version of a file as its status tells it, without reading it: the
// modification and status-change times in nanoseconds since 1970 UTC, the
// size and the inode number. A write, a truncation, a file put back with an
// older time (which changes the status time) or another file under the name
// each change it. All zero: not known.
struct FileStamp {
  int64_t writeNs = 0;
  int64_t changeNs = 0;
  uint64_t size = 0;
  uint64_t inode = 0;

  bool Known() const { return writeNs != 0 || changeNs != 0 || size != 0 || inode != 0; }
  bool operator==(const FileStamp&) const = default;
};

struct FindData {
  std::string name;  // the entry's name only, UTF-8
  uint32_t attributes = 0;
  uint64_t size = 0;
  int64_t writeTime = 0;   // seconds since 1970 UTC
  int64_t createTime = 0;  // status-change time on Linux
  FileStamp stamp;         // from the same look
};

// True when name matches mask: "*" any run, "?" one character, compared
// without regard to case; "*.*" matches every name.
bool MatchFileMask(std::string_view name, std::string_view mask);

// Attributes: hidden = name begins with "."; read-only = owner write bit
// clear; never system or temporary. kInvalidAttributes when missing.
uint32_t GetFileAttributes(std::string_view path);
// Only the read-only bit has an effect (it clears/sets the owner write bit).
bool SetFileAttributes(std::string_view path, uint32_t attributes);

// Confined writes. The calls below that take confineTo (a system path of a
// folder; empty: no limit) reach every folder and file below that folder
// without following a link, so a link planted inside a backup store never
// sends a write elsewhere: a link found there fails the call with 681
// (kErrStoppedOnLink). The folder confineTo itself may be a link.
bool SetFileAttributes(std::string_view path, uint32_t attributes, std::string_view confineTo);
// True when the path names an existing entry (links followed); a last
// component with wildcards is looked up with a directory search.
bool FileExists(std::string_view path);
// True when the path names an existing entry (links followed, "*" and "?"
// plain characters): one look, whose own error is the last error on failure
// (2 for a missing entry, without looking whether its folder exists).
bool EntryExists(std::string_view path);
// GetFileInfo with one look: on failure the look's own error (2 for a
// missing entry, without looking whether its folder exists).
bool LookUpFileInfo(std::string_view path, FindData* out);
bool IsDirectory(std::string_view path);
// True when the path's last component is a link that leads to a folder.
bool IsLinkToFolder(std::string_view path);
bool GetFileInfo(std::string_view path, FindData* out);

// One level; fails with 183 when it exists, 3 when the parent is missing.
// privateMode creates it 0700 (owner only), whatever the umask.
bool CreateDirectory(std::string_view path, bool privateMode = false);
// Creates every missing folder of the path (0700 with privateMode, else as
// the umask allows); below confineTo no link is followed (681). True when
// the folder exists afterwards.
bool CreateDirectories(std::string_view folder, std::string_view confineTo, bool privateMode);
// Gives the folders that hold target the owner, group and mode of the
// folders that hold source, level by level from the bottom up while their
// names agree, and only below confineTo (never confineTo itself). The owner
// keeps read, write and search on every such folder (the store must stay
// writable), and no one else gets write (nor set-user or sticky bits); what the file system cannot
// keep (owner on FAT, a group the user is not in) is left as it is. With onlyBelow (a folder of the
// target's path), only the folders below it are given access (the ones just
// made: access set on a store folder since is left alone). False when a
// folder could not be reached.
bool MirrorFolderAccess(std::string_view source, std::string_view target,
                        std::string_view confineTo, std::string_view onlyBelow = {});
// Creates every missing folder of the path; true when it exists afterwards.
bool CreateDirectories(std::string_view path);
// 145 when not empty, 267 when the path is a file.
bool RemoveDirectory(std::string_view path);
// Deletes a folder with everything in it (read-only files included); links
// to folders are removed, never followed. Stops early when *cancel becomes
// true. True when the folder is gone afterwards.
bool DeleteTree(std::string_view folder, const std::atomic<bool>* cancel = nullptr);
// 5 for a folder and for a read-only file (clear read-only first).
bool DeleteFile(std::string_view path);
bool DeleteFile(std::string_view path, std::string_view confineTo);
// Deletes a temporary copy left by an interrupted copy; false (error 32) for
// one a copy is still being made in, here or in another program.
bool DeleteLeftoverCopy(std::string_view path);

// Copies contents, mode and modification time. The data goes to a temporary
// name in the target folder and is renamed into place, so an interrupted copy
// never leaves a truncated file under the final name. An existing target is
// replaced unless failIfExists (80) or it is read-only or a folder (5). With
// flushToDevice the
// data and the folder are synced before/after the rename (removable and
// network targets). Returns 0 or the Windows error number.
// Copies stop between chunks (at most 4 MiB apart) once the calling thread's
// cancel flag is set (SetThreadCancelFlag): the temporary file is removed
// and the result is 1223.
uint32_t CopyFile(std::string_view source, std::string_view target, bool failIfExists,
                  bool flushToDevice = false);
uint32_t CopyFile(std::string_view source, std::string_view target, bool failIfExists,
                  bool flushToDevice, std::string_view confineTo);
// The same with a limit of its own for each side: the source is read without
// following a link below sourceWithin, the target written so below
// targetWithin (either may be empty).
uint32_t CopyFileWithin(std::string_view source, std::string_view sourceWithin,
                        std::string_view target, std::string_view targetWithin, bool failIfExists,
                        bool flushToDevice);
// What a copy saw of its source: the stamp of the open source before its
// first byte was read and after its last (one open file, looked at twice).
struct CopyWatch {
  FileStamp before, after;
  // Set by a caller that has just seen nothing under the target's name: the
  // copy does not look again before writing.
  bool targetAbsent = false;
  bool Steady() const { return before == after; }
};
// CopyFile that fills *watch (when not null). A source that changed while
// it was read (its size, modification or status-change time moved) leaves
// nothing under the final name: kErrSourceChanged, the target as it was.
// beforeRename (when set) runs when the copy is whole under its temporary
// name, just before the rename (again for a copy made anew). With
// reachableMode the copy (its temporary file from the start) takes the
// source's mode as the source's folders let others have it (ReachableMode):
// a file private through its folder is private in the store too.
uint32_t CopyFileWatched(std::string_view source, std::string_view target, bool flushToDevice,
                         std::string_view confineTo, CopyWatch* watch,
                         const std::function<void()>& beforeRename = {},
                         bool reachableMode = false);
// Rename that fails with 183 when the target exists (also across volumes,
// where it copies and deletes). Returns 0 or the Windows error number.
uint32_t MoveFile(std::string_view source, std::string_view target);
uint32_t MoveFile(std::string_view source, std::string_view target, std::string_view confineTo);

// The flag that stops long file operations of the calling thread (copies
// look at it between chunks). A working thread hands in its own stop flag;
// null removes it. The flag must outlive its use on the thread.
void SetThreadCancelFlag(const std::atomic<bool>* flag);
// True once the calling thread's cancel flag is set (for transfers that
// stop on their own, such as uploads to a server).
bool ThreadCancelRequested();
// The calling thread's cancel flag (null: none), to hand back after a
// stretch under another one.
const std::atomic<bool>* ThreadCancelFlag();
// Rename that replaces an existing target. Returns 0 or the error number.
uint32_t ReplaceFile(std::string_view source, std::string_view target);

// Writes a whole file under a temporary name, syncs it and renames it over the
// old one: a crash leaves either the old or the new file. An existing file
// keeps its mode; a read-only one is not replaced (5). privateMode writes it
// with mode 0600 (files that hold credentials).
bool WriteFileAtomic(std::string_view path, std::string_view data, bool privateMode = false);
// Reads a whole file; fails (223) when it is larger than maxBytes.
bool ReadWholeFile(std::string_view path, std::string* out, uint64_t maxBytes = 1ull << 30);
// Reads a small file only when it is a plain file (not reached through a
// link at its own name) that belongs to the calling user; else 5 (or 223).
// anyOwner: whoever owns it (a file a server wrote for a login it maps to
// another user).
bool ReadOwnFile(std::string_view path, std::string* out, uint64_t maxBytes, bool anyOwner = false);

// Free bytes available to the caller and total bytes of the volume holding
// the path (or its nearest existing folder); the volume override's figures
// replace the measured ones. Either pointer may be null.
bool GetDiskSpace(std::string_view path, uint64_t* freeToCaller, uint64_t* total);

// The entries of a folder as DirSearch lists them (the same names left out;
// a link to a file counts as a file, links to folders and other kinds are
// left out), without a call per entry where the folder itself says what an
// entry is: only name and kDirectory in attributes, no size or times. For
// walks that need the sizes of few entries. False when the folder cannot be
// read; each returning false ends the listing.
bool ListFolderNames(std::string_view folder, const std::function<bool(const FindData&)>& each);

// Directory search with a wildcard pattern in its last component ("*" and
// "?", matched without regard to case; "*.*" matches every name). The first
// result comes from Open. "." and ".." are reported when the mask matches
// them (callers skip them). Entries whose native names a system path cannot
// carry (a "\" in the name, bytes that are not UTF-8) are skipped and counted.
// Links to folders (named in LinkedFolders), dangling links and special
// files (pipes, sockets, devices) are not reported, so a walk neither loops
// nor blocks; a link to a
// file is reported as that file with kAttrReparsePoint added. A pattern
// without wildcards looks up that one name (case-sensitive, links followed).
class DirSearch {
 public:
  DirSearch() = default;
  ~DirSearch();
  DirSearch(const DirSearch&) = delete;
  DirSearch& operator=(const DirSearch&) = delete;

  // False (error 2 or 3) when nothing matches or the folder cannot be read.
  bool Open(std::string_view pattern, FindData* first);
  // Lists every entry of the folder called name inside the folder that
  // parent lists, opened through parent's open folder (a link is not
  // followed), so that a walk reaches folders whose paths are longer than
  // the system opens by name. False (3) when it is not a folder or is gone.
  bool OpenChild(const DirSearch& parent, std::string_view name, FindData* first);
  // Bytes of the native path of the folder being listed ("/" counts 1).
  size_t NativeLength() const { return folderNative_.size(); }
  bool Next(FindData* out);  // false at the end (error 18)
  void Close();
  uint64_t SkippedNames() const { return skipped_; }
  // The skipped names themselves (raw native bytes), the first kMaxSkippedKept.
  const std::vector<std::string>& SkippedList() const { return skippedList_; }
  static constexpr size_t kMaxSkippedKept = 1000;
  // Names of the links to folders met (not reported as entries), the first
  // kMaxLinkedKept: a walk can say what it did not follow.
  const std::vector<std::string>& LinkedFolders() const { return linkedFolders_; }
  static constexpr size_t kMaxLinkedKept = 100000;
  uint64_t LinkedFolderCount() const { return linkedCount_; }  // all of them

 private:
  void* dir_ = nullptr;  // DIR*
  std::string folderNative_;
  std::string mask_;
  bool exact_ = false;  // pattern has no wildcard: at most one result
  uint64_t skipped_ = 0;
  std::vector<std::string> skippedList_;
  std::vector<std::string> linkedFolders_;
  uint64_t linkedCount_ = 0;
};

// Handle-based file access for formats that are read and updated in place.
class File {
 public:
  enum Access : uint32_t { kRead = 1, kWrite = 2, kReadWrite = 3 };
  enum Disposition : uint32_t {
    kOpenExisting,  // fails when missing
    kOpenAlways,    // creates when missing
    kCreateAlways,  // creates or truncates
    kCreateNew,     // fails (80) when it exists
  };

  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool Open(std::string_view path, Access access, Disposition disposition);
  bool IsOpen() const { return fd_ >= 0; }
  void Close();
  // Reads up to n bytes at the current position; *got < n only at the end.
  bool Read(void* buffer, size_t n, size_t* got);
  // Writes all n bytes or fails (112 when the disk is full).
  bool Write(const void* buffer, size_t n);
  bool Seek(uint64_t offset);
  bool GetSize(uint64_t* size);
  // True when path still names this very file and it may still be written
  // (not deleted, renamed away, replaced or made read-only since it was
  // opened); *size is its size then.
  bool StillNamed(std::string_view path, uint64_t* size);
  // Cuts or extends the file to size (the position stays).
  bool Truncate(uint64_t size);
  // Data to the device.
  bool Flush();
  // Sets the last write (seconds since 1970 UTC); writes later change it again.
  bool SetWriteTime(int64_t seconds);
  // At a given offset, leaving the position alone (FileAt.cpp): reads up to
  // n bytes (*got < n only at the end), writes all n bytes or fails (112 when
  // the disk is full); the size and the last-write stamp (ns) in one look.
  bool ReadAt(uint64_t offset, void* buffer, size_t n, size_t* got);
  bool WriteAt(uint64_t offset, const void* buffer, size_t n);
  bool GetSizeAndStamp(uint64_t* size, int64_t* stamp);
  // The open file's FileStamp.
  bool GetStamp(FileStamp* stamp);
  // The open file's permission bits (07777) and last write (seconds since
  // 1970 UTC), from one look.
  bool GetModeAndTime(uint32_t* mode, int64_t* writeTime);

 private:
  int fd_ = -1;
};

}  // namespace plat
