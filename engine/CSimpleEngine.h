// Backs one source file up into the plan's versioned store: the newest copy
// under "Latest", replaced copies under "Revision" with a four-digit number,
// revisions beyond the plan's version count deleted, the journal record updated.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "destinations/Destination.h"
#include "engine/StoreNames.h"
#include "history/LogRecord.h"

namespace plat {
struct FindData;
}

class CPlan;

// Results besides 0 (copied) and a system error number of the copy.
enum BackupResult : int32_t {
  kBackupExists = -1,         // existence check asked and the latest copy exists
  kBackupStopping = -2,       // plan stopping; record stored with state 0
  kBackupSourceMissing = -3,  // the source file does not exist
  kBackupRecordFailed = -4,   // reading the journal record failed
  kBackupNoSpace = -5,        // the copy would eat into the destination's reserve; record pending
  kBackupUnchanged = -6,      // the latest copy already is this version; record stored as copied
  kBackupTooLarge = -7,       // larger than the size limit or the store's disk holds
  kBackupNameRefused = -8,    // the store cannot hold the name (its disk, or its server)
  kBackupStoreAway = -9,      // the store went away during the copy; record pending
  kBackupBadArgument = 2,     // empty or too short path, or no destination
};

// How the plan's copies fare: the error of the last copy when it failed
// (0 when it succeeded, or when none was tried yet), the store it was made
// for, and since when the copies fail without a success in between.
struct CopyHealth {
  uint32_t error = 0;
  std::string root;
  int64_t failingSince = 0;
};

class CSimpleEngine {
 public:
  explicit CSimpleEngine(CPlan* plan) : plan_(plan) {}
  virtual ~CSimpleEngine() = default;
  // record/offset may be null/0: the record is looked up by path. seen: what
  // a walk's listing just found for the source (else it is looked at).
  virtual int32_t BackupFile(std::string_view source, bool existenceCheck, LogRecord* record,
                             uint64_t offset, const plat::FindData* seen = nullptr);
  // The plan (re)starts: the next backup first removes the temporary files
  // that interrupted copies left in the store. Due from construction on.
  // It also forgets the revisions' sizes and times it remembers.
  void RequestSweep() {
    sweepDue_ = true;
    std::lock_guard<std::mutex> guard(stampsLock_);
    stamps_.clear();
  }

  // A file skipped for want of room on the store, while the store still
  // lacks the room it needed (one look at the free space).
  bool WaitsForRoom(std::string_view source);
  // Files skipped as larger than the size limit (or than the store's disk
  // holds) since the program started and not copied since.
  size_t TooLargeCount();
  // The most room one skipped file waits for on the store (its size and the
  // reserve), 0 when none waits: shown until the file is copied or gone.
  uint64_t RoomWanted();

  // Revisions removed to make room on a full disk since the program started
  // (the plan's card counts them).
  uint64_t RemovedForRoom() const { return removedForRoom_; }

  // The outcome of the last copy (any thread).
  CopyHealth Health() const;
  // A successful copy sets the plan's last backup time; this writes it to
  // "Plan.ini" when it changed since the last call (the plan's thread at the
  // end of a run, exit processing once the thread has stopped). Never call
  // it for a plan being deleted: it would write into its vanishing folder.
  void PersistLastBackupTime();

 private:
  // A source others may not fully read here (made private after it was
  // copied, by its own mode or a folder above it): its latest copy and its
  // revisions take that mode; where the store cannot set it on one of them,
  // the plan says the copies stay readable there.
  static void KeepCopiesPrivate(CDestination* dest, std::string_view source,
                                const StoreNames& names, uint32_t planId);
  // Why a file others may not read here is held back from a server that
  // cannot keep its copy private, in words that fit who may read it.
  static const char* NotPrivateReason(std::string_view source);
  // On a store that ignores case: when another file of the source's folder
  // differs from it only in case, both share one store name; says so (event
  // and activity-log record) once per store name.
  void ReportSharedStoreName(std::string_view source, uint32_t planId,
                             const std::string& latestName);

  // The copy of source failed with error (0: it succeeded). The plan stays
  // failing while any file's last copy into its store failed.
  void NoteOutcome(std::string_view source, uint32_t error, const std::string& root, int64_t when);
  void ForgetFailure(std::string_view source);
  // A copy of source found it written meanwhile: counted, and told (event
  // and activity-log record) once per file when it happens this many times
  // in a row. A copy that is kept, or fails otherwise, ends the row.
  static constexpr uint32_t kChangingCopiesToTell = 3;
  void NoteChangingSource(std::string_view source, uint32_t planId, const std::string& latestName);
  void ForgetChangingSource(std::string_view source);
  void ForgetNoRoom(std::string_view source);
  // Larger than the size limit, or than the largest file the store's disk
  // holds: said once per file until it is copied, with its size and the limit.
  bool TooLarge(const std::string& root, std::string_view source, uint64_t size, uint32_t planId);
  void ForgetTooLarge(std::string_view source);
  // Whether the store at root has fewer than wanted bytes free. A
  // measurement is kept for a second: copies far below it (by more than
  // kRoomMargin, counting what was copied since) do not measure again.
  bool LacksRoom(const std::string& root, uint64_t wanted);
  static constexpr uint64_t kRoomMargin = 256ull << 20;
  // Removes the store's oldest revisions (never a latest copy; not those in
  // spared) until need bytes are free, each with its own record in the
  // activity log. Returns the bytes removed.
  uint64_t MakeRoom(CDestination* dest, const std::string& root, uint64_t need,
                    const std::set<std::string>& spared);
  // Sizes and times of the listed revisions of one file (key: its revision
  // folder, stem and extension) that the listing did not tell: remembered
  // from the file's earlier rotations (a store's revisions never change),
  // else looked at, for the entries wanted says. What the listing no longer
  // holds is forgotten.
  void FillStamps(CDestination* dest, const std::string& root, const std::string& key,
                  std::vector<VersionEntry>* listed,
                  const std::function<bool(const VersionEntry&)>& wanted);
  // What a rotation did, for the file's next rotation: the revision it made
  // (may be null) and the listed revisions it removed.
  void RememberRotation(const std::string& root, const std::string& key, const VersionEntry* made,
                        const std::vector<VersionEntry>& listed, const std::vector<bool>& removed);

  CPlan* plan_;
  std::atomic<bool> sweepDue_{true};
  mutable std::mutex healthLock_;           // guards health_ and failing_
  CopyHealth health_;                       // the last failure; error 0 while no file fails
  std::map<std::string, int64_t> failing_;  // source -> since when its copies fail
  std::atomic<bool> backupTimeUnsaved_{
      false};                             // set by the starting thread, taken by the plan's thread
  std::mutex reportedLock_;               // guards reportedShared_, noRoom_ and tooLarge_
  std::set<std::string> reportedShared_;  // store names reported as shared (lower case)
  std::mutex changingLock_;               // guards changingInARow_ and changingTold_
  std::map<std::string, uint32_t> changingInARow_;  // source -> copies torn in a row
  std::set<std::string> changingTold_;              // sources told of
  // Sources skipped for want of room: the free bytes each needs.
  std::map<std::string, uint64_t> noRoom_;
  std::set<std::string> tooLarge_;  // sources skipped as too large
  std::mutex roomLock_;             // guards the four fields below
  std::string roomRoot_;            // the store last measured
  uint64_t roomFree_ = 0;           // its free bytes then
  uint64_t roomTick_ = 0;           // when (0: never)
  uint64_t roomSpent_ = 0;          // bytes asked for since
  std::atomic<uint64_t> removedForRoom_{0};
  // The revisions' sizes and times of the files rotated last, most recent
  // first, for the store at stampsRoot_.
  struct FileStamps {
    std::string key;
    std::unordered_map<int64_t, std::pair<uint64_t, int64_t>> known;  // number -> size, time
  };
  static constexpr size_t kStampsKept = 64;
  std::mutex stampsLock_;  // guards stamps_ and stampsRoot_
  std::list<FileStamps> stamps_;
  std::string stampsRoot_;
};
