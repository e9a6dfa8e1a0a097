// CDestination: the object through which a plan writes its versioned store.
// Concrete kinds: CDiskDevice (local folder), CNetworkDevice (share, derives
// from CDiskDevice), CUSBDevice, CFTPDevice. The file operations here are the
// local ones, shared by the disk, network and USB kinds. Paths are full paths
// in the destination's own syntax (system paths for the local kinds).
//
// A destination has no lock of its own: the plan serialises the settings
// calls under its lock, and the file operations run on the plan's thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/PlanSettings.h"

namespace plat {
struct CopyWatch;
}

// Result codes of the file operations. CopyFile of the local kinds returns the
// Windows error number of the failed copy instead of kDestFailed.
enum : uint32_t {
  kDestOk = 0,
  kDestMissingArgument = 2,
  kDestFailed = 104,
};

// What a destination needs from the plan that owns it. The plan implements it;
// a throw-away destination (wizard change test, connection test) has none.
class IDestinationOwner {
 public:
  virtual ~IDestinationOwner() = default;
  // The plan folder as a system path ending with "\"; "Devices.ini" lives there.
  virtual std::string GetPlanFolder() const = 0;
  // The owning plan's identifier (0 when there is none).
  virtual uint32_t GetPlanId() const { return 0; }
};

// One numbered copy found by ListVersions: full path, its number, and the
// size and modification time where the listing tells them (a server's
// listing); 0 where it does not (the local kinds list names only).
struct VersionEntry {
  std::string path;
  int64_t number = 0;
  uint64_t size = 0;
  int64_t time = 0;
};

class CDestination {
 public:
  // owner may be null; it is not owned and must outlive the destination.
  explicit CDestination(IDestinationOwner* owner) : owner_(owner) {}
  CDestination(const CDestination&) = delete;
  CDestination& operator=(const CDestination&) = delete;

  // The virtual operations, in their fixed order.
  virtual ~CDestination() = default;
  virtual char GetPathSeparator() const { return '\\'; }
  // Reads this kind's section of the plan folder's "Devices.ini"; false when
  // the file does not exist (nothing is read then) or there is no owner.
  virtual bool LoadSettings() = 0;
  // Writes this kind's section; every other section of the file stays.
  virtual bool SaveSettings() = 0;
  virtual void Configure(const PlanSettings& settings) = 0;
  virtual int32_t GetStorageType() const = 0;
  // Availability as of the last Refresh; no input or output.
  virtual bool IsAvailable() const = 0;
  // Same kind and the same root, compared without regard to case and with a
  // closing separator added to both.
  virtual bool IsSameDestination(const CDestination& other) const;
  // Same kind and the same first two characters of the root (drive letter).
  virtual bool IsSameVolume(const CDestination& other) const;
  // initialize true: first use of a new or changed destination; false:
  // re-attach a destination loaded from "Devices.ini".
  virtual bool Prepare(bool initialize) = 0;
  virtual void Close() = 0;
  // A copy: the USB kind's root may change on the broadcast thread.
  virtual std::string GetRootPath() const = 0;
  // Recomputes what IsAvailable reports.
  virtual void Refresh() {}
  // Revisions of the file name + ["." + extension] in folder: exactly the
  // names RevisionFileName gives for some N > 0, compared as the store's file
  // system compares names (IgnoresCase). Appends each (path, N) to *list
  // (never cleared) and returns the highest N, 0 for none.
  virtual int32_t ListVersions(std::string_view folder, std::string_view name,
                               std::string_view extension, std::vector<VersionEntry>* list);
  // Creates every folder above the file the path names (the last component is
  // never created; the server and share of a "\\" path are skipped). 2 for an
  // empty path; the Windows error number when a folder could not be made (a
  // read-only disk: 19), which a copy into it then reports as its cause.
  // A local kind looks at each folder there already once: the user's own
  // that group or others could write in is made 0700, and one another user
  // owns fails with kErrStoreFolderNotOwned (said once, naming it), as do
  // copies and moves into or below it.
  virtual uint32_t CreateFolders(std::string_view path);
  // The entry of exactly this name exists ("*" and "?" are plain characters).
  virtual bool FileExists(std::string_view path);
  // Clears read-only, then deletes. 0 or 104.
  virtual uint32_t DeleteFile(std::string_view path);
  // Copies over an existing target. The platform copies under a temporary name
  // and renames, so a failed copy leaves nothing new under the final name.
  // 0 or the Windows error number.
  virtual uint32_t CopyFile(std::string_view source, std::string_view target);
  // Moves to a free name (fails when the target exists); a read-only source
  // keeps its attributes on the target, or on itself when the move fails.
  // 0 or 104.
  virtual uint32_t MoveFile(std::string_view source, std::string_view target);

  // Operations added after the fixed ones.
  //
  // CopyFile that tells what it saw of the source (*watch, when not null):
  // one open source looked at before and after it was read. A source written
  // meanwhile fails the copy with plat::kErrSourceChanged and leaves no torn
  // copy under the target's name. beforeReplace (when set) runs once, when
  // the new copy is whole under its temporary name and just before it takes
  // the target's name; a copy that fails before that never runs it (the
  // engine moves the previous copy into the revisions there).
  virtual uint32_t CopyFileWatched(std::string_view source, std::string_view target,
                                   plat::CopyWatch* watch,
                                   const std::function<void()>& beforeReplace = {});
  // True when the store's file system treats names that differ only in case
  // as one name (FAT, exFAT, a case-folded folder, many network shares): the
  // volume's file-system type, else a look at the store's "Latest" folder
  // under another case. Decided once per root, and only positively once the
  // folder exists.
  virtual bool IgnoresCase();
  // Size and modification time of a file in the store; false when it cannot
  // be looked at (the kind cannot tell, or no such file).
  virtual bool GetFileStamp(std::string_view path, uint64_t* size, int64_t* writeTime,
                            int64_t* changeTime);
  // Gives a copy in the store the privacy its source has now (nothing is
  // copied again): own is the source's mode, reachable that mode as the
  // folders above let others have it (plat::ReachableMode). A local store
  // gives the copy reachable (set-id bits of own kept) and its folders the
  // access of the source's; a server gives the copy reachable. 0, or an error when the kind cannot
  // (the copy stays as readable as it was).
  virtual uint32_t KeepCopyPrivate(std::string_view source, std::string_view path, uint32_t own,
                                   uint32_t reachable);
  // Whether the store's file at path holds the bytes of the source file now
  // (read whole, never followed by a copy): 1 the same, 0 they differ, -1 it
  // cannot tell (either cannot be read, or the kind cannot read its copies).
  virtual int32_t HoldsSameBytes(std::string_view source, std::string_view path);
  // Removes what interrupted copies left in the store's "Latest" and
  // "Revision" trees and at its root: plain files named as the platform copy names its
  // temporary files. Only real folders below the root are entered; links are
  // never followed nor removed. Returns how many files it removed.
  virtual uint32_t SweepTemporaryCopies();
  // The store marker of a kind whose store lies behind a connection (an
  // object store), looked at by LookAtRemoteStore: 1 a marker naming *id
  // (and *installation, the installation that wrote it, or empty), 0 none
  // there, 2 something under its name that is no marker (unreadable, too
  // long), -1 not known now (the request failed). Other kinds: -1.
  virtual int32_t ReadStoreMarkerId(std::string* /*id*/, std::string* /*installation*/) {
    return -1;
  }
  // Writes the marker naming id and this installation at the store's root
  // where none is (replace: over the one there, which names id): 1 written,
  // 0 another one was there first, 2 the write was answered as taken but no
  // marker is there when read back, -1 failed.
  virtual int32_t PlaceStoreMarker(const std::string& /*id*/, bool /*replace*/) { return -1; }
  // What lies at and around a store root that has no marker (kinds behind a
  // connection): 1 a store's trees ("Latest/", "Revision/": someone's copies
  // without their marker), 2 a marker in a folder above (inside another
  // store), 3 a marker in a folder below (another store inside), 4 an
  // object that is no marker where a folder above keeps its marker, 5 a
  // store's trees without a marker in a folder above, 0 none of these, -1
  // not known now. Other kinds: 0.
  virtual int32_t LookAroundUnmarkedRoot() { return 0; }
  // What lies above and below a store root that holds a store (its marker
  // and trees), its own "Latest/" and "Revision/" aside: 2, 3, 4, 5, 0 or
  // -1 as LookAroundUnmarkedRoot says. Other kinds: 0.
  virtual int32_t LookAroundStore() { return 0; }
  // Whether a folder above the store root holds a store's marker (kinds
  // behind a connection), looked at once a connection unless again: 2 one
  // does, 4 one holds an object under the marker's name that is no marker,
  // 5 one holds a store's trees without a marker, 0 none does (or none that
  // can be seen), -1 not known now. Other kinds: 0.
  virtual int32_t LookAboveStore(bool /*again*/) { return 0; }
  // A refused store's verdict (a StoreVerdict), held by a kind behind a
  // connection so that its store is looked at again after pauses doubling
  // from a second up to the marker's look time, not at every look: the one
  // held while its pause runs, else 0. Holding 0 ends the pauses.
  virtual int32_t HeldRefusal() { return 0; }
  virtual void HoldRefusal(int32_t /*verdict*/) {}
  // Why the server of the store was not used, once for each new reason:
  // after a connection failed, the first call gives the reason with the
  // server ("host:port") and the cause in words; later ones kNone until
  // the reason changes or a connection succeeds again (kStoreRefused: the
  // server answers but refuses the store the settings name, by its policy or
  // their form; kLoginRefused: it answers but refuses the plan's user name,
  // password or keys). Kinds without a server: always kNone.
  enum class ServerRefusal {
    kNone,
    kKeyChanged,
    kKeyUntrusted,
    kNotEncrypted,
    kUnreachable,
    kStoreRefused,
    kLoginRefused
  };
  virtual ServerRefusal TakeServerRefusal(std::string* /*server*/, std::string* /*cause*/) {
    return ServerRefusal::kNone;
  }

  IDestinationOwner* Owner() const { return owner_; }

  // The plan's own store is not at the root (another disk answers to its
  // letter, see StoreBinding.h): the local kinds then report themselves
  // unavailable. Set by the plan's task under the plan's lock.
  void SetStoreAway(bool away) { storeAway_ = away; }
  bool StoreAway() const { return storeAway_; }

 protected:
  // Plan folder + "Devices.ini"; empty when there is no owner.
  std::string DevicesIniPath() const;
  // Removable and network kinds set this: copies are synced to the device.
  bool flushCopies_ = false;
  std::atomic<bool> storeAway_{false};  // see SetStoreAway

 private:
  IDestinationOwner* owner_;
  // IgnoresCase's answer for caseRoot_ (file operations run on the plan's
  // thread only, so no lock).
  std::string caseRoot_;
  bool caseKnown_ = false;
  bool ignoresCase_ = false;
  // The deepest folder that existed before the last CreateFolders: the
  // folders it made below it take the access of the folders they stand for
  // at the next copy or move (a retired thread may still copy beside a new
  // one, hence the lock).
  std::mutex freshLock_;  // guards freshBelow_, knownFolders_, knownRoot_ and the folder looks
  std::string freshBelow_;
  std::string TakeFreshBelow();
  // Folders (long-path form) that CreateFolders made or found under
  // knownRoot_: the next file of the same folder skips looking at them. All
  // are forgotten when a copy or move fails (a folder deleted meanwhile, the
  // volume gone), when the root changes, and when there are too many.
  std::unordered_set<std::string> knownFolders_;
  std::string knownRoot_;
  // Forgets every known folder; true when the folder of path was among them
  // (a failure there may be a folder deleted since: worth one more try).
  bool ForgetKnownFolders(std::string_view path);
  // Folders of the store below the root (plain form) looked at under
  // knownRoot_: the user's own and closed to others (each looked at once), and
  // those another user owns, never written into, nor anything below them.
  std::unordered_set<std::string> ownFolders_, theirFolders_;
  std::atomic<bool> closedSaid_{false};  // a folder open to others was closed (said once)
  // Looks at levels[from..] (folders, top down) not looked at yet, closing the
  // user's own to others: the error of one another user owns (said once),
  // else 0, with *absent the first one missing (levels.size() for none).
  uint32_t KeepFoldersOwn(const std::vector<std::string>& levels, size_t from, size_t* absent);
  // The error for a copy or move to target inside a folder another user owns, else 0.
  uint32_t TheirFolderAbove(std::string_view target);
};

// The folders from just below root down to folder (system paths, plain form,
// no closing "\"); empty for a folder outside root.
std::vector<std::string> StoreFoldersBelow(std::string_view folder, std::string_view root);

// True for the temporary name of a copy in progress: ".~bvtmp-" and sixteen
// hexadecimal digits, as the platform copy makes it.
bool IsTemporaryCopyName(std::string_view name);
// The source of a latest copy: "C:\home\ann\x" for "<latest>C<sep>home<sep>ann<sep>x"
// (latest ends with the separator); empty for a path outside latest.
std::string SourceOfLatestCopy(std::string_view latest, std::string_view path, char separator);

// Longest file name, in bytes, that the store writes.
constexpr size_t kMaxStoreNameBytes = 255;

// File name of revision n of stem [+ "." + ext]: stem + "(" + n as at least
// four digits + ")" [+ "." + ext]; n = 0 gives the file's own name. When that
// would be longer than kMaxStoreNameBytes, the stem (and, failing that, the
// extension) is cut at a character boundary and "~" + eight hexadecimal digits
// of a hash of the whole file name follow it, so that two long names that
// share their beginning keep apart.
std::string RevisionFileName(std::string_view stem, std::string_view ext, int64_t n);

// The long-path form of a path: "\\?\" + path, or "\\?\UNC" + the path less
// its first character for a "\\server\share" path; a path that already has
// the prefix stays. False (and *out empty) when the result would not fit in
// 2048 characters with its terminator: a cut path would name another file.
bool ToLongPathForm(std::string_view path, std::string* out);

// A text value as it must be written to a profile file so that reading it
// back gives the same text (enclosing blanks and quotes survive). False for a
// value that a profile line cannot carry (a line break).
bool ProfileSafeValue(std::string_view value, std::string* out);
