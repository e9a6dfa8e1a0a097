// Internal helpers shared by the file layer (Files*.cpp, File.cpp,
// DirSearch.cpp, Profile.cpp): path resolution, errno mapping, temp names.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct stat;

namespace plat {
struct FindData;
struct FileStamp;
}  // namespace plat

namespace plat::detail {

// Attributes and find data of an entry from its stat and its name.
uint32_t AttributesOf(const struct stat& st, std::string_view name);
void FillFindData(const struct stat& st, std::string_view name, FindData* out);
FileStamp StampOf(const struct stat& st);

// System path -> native path without a closing "/" (except the root). Sets
// the last error (3 and the like) and returns false when it names nothing.
bool Resolve(std::string_view systemPath, std::string* native);

// The Windows error for errno err on native path: ENOENT gives 3 instead of 2
// when the path's parent folder is missing.
uint32_t ErrorFor(int err, const std::string& native);

// Sets the last error and returns false (or the code, for the Code variant).
bool Fail(uint32_t code);
uint32_t FailCode(uint32_t code);

// Native folder part of a native path ("/a/b" -> "/a", "/a" -> "/").
std::string NativeParent(const std::string& native);
// Last component of a native path.
std::string NativeName(const std::string& native);

// A fresh temporary file name (".~bvtmp-<16 hex digits>").
std::string TempName();
// A fresh temporary name in folder ("<folder>/.~bvtmp-<16 hex digits>").
std::string TempNameIn(const std::string& folder);

// Creates a new temporary file next to target for writing; returns the fd or
// -1 with errno set. *tmpPath receives its native path.
int CreateTempNextTo(const std::string& target, mode_t mode, std::string* tmpPath);

// A new temporary file (mode, 0600 unless told, made exclusively, never through a link) in
// the open folder, locked while it is being written; the fd or -1 with errno
// set. *name receives its name in the folder, noted as arriving
// (NoteArriving) until the caller forgets it.
int CreateTempIn(int dirFd, std::string* name, mode_t mode = 0600);
// Notes (or forgets) a temporary file name of this process as arriving: a
// file being written that IsArrivingFile names.
void NoteArriving(const std::string& name, bool arriving);

// Writes all of data in chunks, each passing the fault seam. False with the
// last error set (112 when the disk is full).
bool WriteAll(int fd, const void* data, size_t n);

// fsync of a folder; true when done or not supported by the file system.
bool SyncFolder(const std::string& folder);
bool SyncFolder(int dirFd);

// The folder that holds an entry, open for the *at calls, and the entry's
// name in it. Writes address their target through it, so that a folder of
// the path cannot be swapped for a link between a check and the write.
class ParentFolder {
 public:
  ParentFolder() = default;
  ~ParentFolder();
  ParentFolder(const ParentFolder&) = delete;
  ParentFolder& operator=(const ParentFolder&) = delete;

  // Opens the folder holding native. With a non-empty confineTo (a native
  // folder that native lies below), every folder below confineTo is opened
  // without following a link: a link there fails with 681, a missing folder
  // with 3. confineTo itself may be a link. A path outside confineTo is
  // opened as given.
  bool Open(const std::string& native, const std::string& confineTo);
  int Fd() const { return fd_; }
  const std::string& Name() const { return name_; }
  // True when the entry itself must not be a link either.
  bool Confined() const { return confined_; }
  // Status of the entry: 0, the errno of the failure, or kLinkFound when
  // confined and the entry is a link (a link is followed otherwise).
  static constexpr int kLinkFound = -1;
  int Stat(struct stat* st) const;

 private:
  int fd_ = -1;
  std::string name_;
  bool confined_ = false;
};

// The components of native below folder (both native, no closing "/"), or
// false when native does not lie below folder.
bool ComponentsBelow(const std::string& native, const std::string& folder,
                     std::vector<std::string>* parts);
// Opens each of parts in turn below the open folder dirFd, never following a
// link (681), making a missing one with createMode (0: none are made), with
// ownerOfParent owned as the folder it is made in.
// Returns the last folder's descriptor (a new one even for no parts), or -1
// with the last error set.
int OpenFoldersNoFollow(int dirFd, const std::vector<std::string>& parts, mode_t createMode,
                        bool ownerOfParent = false, size_t* levelsMade = nullptr);
// Gives the entry name in the open folder dirFd that folder's owner and group.
void TakeOwnerOfFolder(int dirFd, const char* name);
// The folder base + parts, opened (O_PATH) without following a link below
// the native folder base (base itself may be a link): the descriptor, or -1
// with the last error set as OpenFoldersNoFollow sets it.
int OpenFolderBelow(const std::string& base, const std::vector<std::string>& parts);
// The same without going level by level: -1 (the last error not set) also
// when a folder is missing or cannot be opened at once.
int OpenFolderBelow(const std::string& base, const std::vector<std::string>& parts,
                    bool levelByLevel);
// The process's file mode creation mask, read once; -1 when it cannot be read.
int ProcessUmask();

}  // namespace plat::detail
