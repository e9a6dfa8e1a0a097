#include "engine/CSimpleEngine.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "common/EngineEvents.h"
#include "common/Texts.h"
#include "destinations/Destination.h"
#include "destinations/StoreDisk.h"
#include "destinations/VersionKeeping.h"
#include "destinations/VolumeCapacity.h"
#include "engine/SourceWalk.h"
#include "history/CLoggingDatabase.h"
#include "plans/CPlan.h"
#include "platform/base/Errors.h"
#include "platform/files/Files.h"
#include "platform/files/FilesBelow.h"
#include "platform/files/FolderAccess.h"
#include "platform/process/Clock.h"

namespace {

// Characters (code points) of a UTF-8 text.
size_t CharCount(std::string_view text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

// "Code: %d, Error: %s", or empty when the system has no text for the code.
std::string CopyErrorText(uint32_t code) {
  const std::string message = plat::WinErrorMessage(code);
  if (message.empty() || message.rfind("Unknown error", 0) == 0) return {};
  char buffer[1024];
  std::snprintf(buffer, sizeof buffer, "Code: %d, Error: %s", static_cast<int>(code),
                message.c_str());
  return buffer;
}

// One look at the source file, kept for the rest of a backup: the copy
// itself opens it again, so nothing here needs a newer look.
struct SourceLook {
  bool taken = false;
  bool found = false;
  uint32_t error = 0;  // the look's error when nothing was found
  plat::FindData info;

  void Seen(const plat::FindData& listed) {
    taken = found = true;
    info = listed;
  }
  bool Take(std::string_view path) {
    if (taken) return found;
    taken = true;
    found = plat::GetFileInfo(path, &info);
    if (!found) error = plat::GetLastError();
    return found;
  }
  // False only when the source is really gone (no such file or folder, or a
  // folder now stands in its place). Any other failure to look at it (a name
  // too long, access denied) is left to the copy, which then reports the real
  // error and keeps the record for a retry instead of marking it gone for good.
  bool Exists(std::string_view path) {
    Take(path);
    if (!found) return error != plat::kErrFileNotFound && error != plat::kErrPathNotFound;
    return (info.attributes & plat::kAttrDirectory) == 0;
  }
};

// Writes the record (appending when *offset is 0) and keeps *offset current.
// The journal is not held during a copy, so what was read before it may be
// stale: a record moved by a rebuild is found again by its path (as is a new
// one another thread appended), and a change noted meanwhile (a change time
// other than notedAt) keeps the record due, with that time.
void StoreRecord(CLoggingDatabase* db, LogRecord record, uint64_t* offset, int64_t notedAt) {
  std::lock_guard<std::recursive_mutex> guard(db->Mutex());
  LogRecord current;
  uint64_t next = 0;
  bool found = false;
  const auto read = [&] {
    return db->ReadRecord(*offset, &current, &next, &found) == CLoggingDatabase::kOk && found;
  };
  bool have = *offset != 0 && read();
  if (have && current.path != record.path) {
    *offset = 0;
    have = false;
  }
  if (*offset == 0 && db->Lookup(record.PathUtf8(), offset)) have = read();
  if (have && current.changeTime != notedAt && current.IsPending()) {
    record.state = kLogPending;
    record.changeTime = current.changeTime;
  }
  uint64_t appendedAt = 0;
  if (db->WriteRecord(*offset, record, &appendedAt) == CLoggingDatabase::kOk && *offset == 0) {
    *offset = appendedAt;
  }
}

// True when the latest copy is this very version of the source: the same size
// and modification time, and the copy was made after the second of that time
// had passed (a later write within that second would look the same).
// *latestExists becomes 1 when the latest copy was seen.
// (A store without stamps: see below; the latest copy's size and time stay 0.)
// *latestSize and *latestTime become the latest copy's when it was seen.
// A source whose status changed since its last copy (its change time moved,
// or another file took its name) while size and write time stayed is either
// new content with its old time put back (cp -p, rsync -t, tar, unzip,
// touch -r) or a change of attributes alone: the bytes decide, and a copy
// that cannot be read back is made anew.
bool LatestIsCurrent(CDestination* dest, std::string_view source, const std::string& latest,
                     const LogRecord& record, SourceLook* look, int* latestExists,
                     uint64_t* latestSize, int64_t* latestTime) {
  if (!look->Take(source) || (look->info.attributes & plat::kAttrDirectory)) return false;
  const plat::FileStamp& copied = record.stamp;
  const plat::FileStamp& now = look->info.stamp;
  const bool statusMoved =
      copied.Known() && (copied.changeNs != now.changeNs || copied.inode != now.inode);
  const auto sameBytes = [&] { return !statusMoved || dest->HoldsSameBytes(source, latest) == 1; };
  uint64_t size = 0;
  int64_t written = 0, changed = 0;
  if (!dest->GetFileStamp(latest, &size, &written, &changed)) {
    // A store that tells no stamps (a server): the journal knows the source
    // as its last copy saw it. The same size and write time, copied after the
    // second of that write had passed, and the copy still there: a change of
    // mode, owner or access time alone makes no new copy. Another file with
    // that time to the second (a restore, a copy from a disk that keeps
    // seconds) is compared with the copy's bytes.
    constexpr int64_t kSecondNs = 1000000000;
    const bool sameTime =
        copied.writeNs == now.writeNs ||
        (now.writeNs % kSecondNs == 0 && now.writeNs / kSecondNs == copied.writeNs / kSecondNs);
    if (!copied.Known() || copied.size != now.size || !sameTime ||
        record.lastBackupTime <= look->info.writeTime || !dest->FileExists(latest)) {
      return false;
    }
    *latestExists = 1;
    return sameBytes();
  }
  *latestExists = 1;
  *latestSize = size;
  *latestTime = written;
  const plat::FindData& info = look->info;
  return size == info.size && written == info.writeTime && changed > info.writeTime && sameBytes();
}

// Kinds whose free space is kept: local folders, USB disks and network drive
// letters (a "\\server\share" root is not measured: a dead server would hang).
bool KeepsReserve(CDestination* dest, const std::string& root) {
  const int32_t type = dest->GetStorageType();
  if (type == kStorageLocal || type == kStorageUsb) return true;
  return type == kStorageNetwork && root.rfind("\\\\", 0) != 0;
}

}  // namespace

int32_t CSimpleEngine::BackupFile(std::string_view source, bool existenceCheck, LogRecord* record,
                                  uint64_t offset, const plat::FindData* seen) {
  const int64_t start = plat::Now();
  if (plan_ == nullptr || CharCount(source) <= 2) return kBackupBadArgument;
  CLoggingDatabase* db = plan_->Database();
  if (db == nullptr) return 0;

  // The record: the caller's, or looked up by path (a new one when absent).
  LogRecord local;
  LogRecord* rec = record != nullptr ? record : &local;
  if (record == nullptr || offset == 0) {
    std::lock_guard<std::recursive_mutex> guard(db->Mutex());
    offset = 0;
    if (db->Lookup(source, &offset)) {
      uint64_t next = 0;
      bool found = false;
      if (db->ReadRecord(offset, rec, &next, &found) != CLoggingDatabase::kOk || !found) {
        return kBackupRecordFailed;
      }
    } else {
      *rec = LogRecord();
      if (!rec->SetPath(source)) return kBackupBadArgument;
    }
  }

  // The note this copy answers; a later one keeps the record due.
  const int64_t notedAt = rec->changeTime;

  // Plan fields are read under the plan's lock, which is never held while the
  // database's lock is taken (a journal walk takes them the other way round).
  uint32_t planId;
  int32_t versions, keepDays;
  bool makeRoom;
  // Held for the whole copy: a change of the plan may replace the destination
  // meanwhile, and the old one must outlive this use.
  std::shared_ptr<CDestination> held;
  bool stopping;
  {
    std::lock_guard<std::recursive_mutex> guard(plan_->Lock());
    planId = plan_->Id();
    versions = plan_->VersionNumber();
    keepDays = plan_->KeepDays();
    makeRoom = plan_->MakeRoom();
    held = plan_->SharedDestination();
    stopping = plan_->Stopping();
  }
  if (stopping) {
    rec->state = kLogPending;
    StoreRecord(db, *rec, &offset, notedAt);
    return kBackupStopping;
  }
  CDestination* dest = held.get();
  if (dest == nullptr) return kBackupBadArgument;

  const std::string root = dest->GetRootPath();
  // Leftovers of copies a crash interrupted, once per start of the plan (and
  // again later when the store cannot be reached now).
  if (sweepDue_.exchange(false)) {
    if (root.empty() || !dest->IsAvailable()) {
      sweepDue_ = true;
    } else {
      dest->SweepTemporaryCopies();
    }
  }
  const StoreNames names = MakeStoreNames(root, source, dest->GetPathSeparator());
  // What the store's disk cannot take is not tried again until the file is
  // noted anew: said once, in its own record.
  SourceLook look;
  if (seen != nullptr) look.Seen(*seen);
  // (Kept out of the pending set as a file too large is.)
  if (RefusesSpecialNamesOn(root) &&
      HasSpecialName(std::string_view(names.latestName).substr(root.size()))) {
    ForgetFailure(source);
    rec->state = kLogTooLarge;
    rec->lastAttemptTime = start;
    StoreRecord(db, *rec, &offset, notedAt);
    if (plan_->NoteUnheldName(std::string(source)))
      PostEvent(kEvNotProtected, source, planId, {},
                GetText("NOT_PROTECTED", "REASON_STORE_NAMES"));
    return kBackupNameRefused;
  }
  if (look.Take(source) && !(look.info.attributes & plat::kAttrDirectory) &&
      TooLarge(root, source, look.info.size, planId)) {
    rec->state = kLogTooLarge;
    rec->lastAttemptTime = start;
    StoreRecord(db, *rec, &offset, notedAt);
    return kBackupTooLarge;
  }
  if (existenceCheck && dest->FileExists(names.latestName)) return kBackupExists;
  // Whether the latest copy exists, for the rotation below: -1 until it has
  // been looked at.
  int latestExists = existenceCheck ? 0 : -1;
  uint64_t latestSize = 0;
  int64_t latestTime = 0;  // its modification time, 0 until seen

  // The latest copy already is this version (a record set back to pending, a
  // walk over files copied before): record it as copied, and push no genuine
  // revision out for a copy identical to the latest.
  // (A walk has just seen that there is no latest copy at all.)
  if (!existenceCheck && LatestIsCurrent(dest, source, names.latestName, *rec, &look, &latestExists,
                                         &latestSize, &latestTime)) {
    rec->stamp = look.info.stamp;
    rec->state = kLogCopied;
    rec->lastBackupTime = start;
    rec->failedAttempts = 0;
    rec->changeTime = start;
    rec->lastAttemptTime = start;
    StoreRecord(db, *rec, &offset, notedAt);
    KeepCopiesPrivate(dest, source, names, planId);
    return kBackupUnchanged;  // nothing copied: a run does not count it
  }

  if (dest->IgnoresCase()) ReportSharedStoreName(source, planId, names.latestName);

  // One listing of the file's revisions serves the whole rotation. Without a
  // latest copy nothing becomes a revision now: the revisions are listed (and
  // any the rule lets go removed) at the file's next backup.
  std::vector<VersionEntry> listed;
  const int64_t highest = latestExists == 0 ? 0
                                            : dest->ListVersions(names.revisionFolder, names.stem,
                                                                 names.extension, &listed);
  // The previous latest copy becomes a revision when there is one.
  const bool movesLatest =
      versions > 1 && (latestExists < 0 ? dest->FileExists(names.latestName) : latestExists == 1);
  const std::string filesKey = names.revisionFolder + names.stem + "." + names.extension;
  if (keepDays != kKeepByCount) {
    if (movesLatest && latestTime == 0) {
      int64_t changed = 0;
      if (!dest->GetFileStamp(names.latestName, &latestSize, &latestTime, &changed))
        latestTime = start;
    }
    FillStamps(dest, root, filesKey, &listed, [](const VersionEntry&) { return true; });
  }
  const std::vector<bool> removes =
      RevisionsToRemove(listed, highest, movesLatest, latestTime, versions, keepDays, start);
  // What the rotation removes counts as free room: their sizes are needed.
  FillStamps(dest, root, filesKey, &listed, [&](const VersionEntry& entry) {
    return removes[static_cast<size_t>(&entry - listed.data())];
  });

  // The reserve: a copy that would leave less than kMinFreeBytes free is not
  // made. The revisions this backup deletes count as free; a plan that may
  // make room removes the store's oldest revisions first. Else the file is
  // skipped and the others go on; it stays pending and is tried again once
  // the store has the room (WaitsForRoom), said once in its own record.
  if (KeepsReserve(dest, root) && look.Take(source)) {
    uint64_t freed = 0;
    for (size_t i = 0; i < listed.size(); ++i) {
      if (removes[i]) freed += listed[i].size;
    }
    const uint64_t wanted = look.info.size + kMinFreeBytes;
    uint64_t need = wanted > freed ? wanted - freed : 0;
    bool lacks = LacksRoom(root, need);
    uint64_t free = 0;
    if (lacks && makeRoom && GetFreeSpace(root, &free) == 0 && free < need) {
      std::set<std::string> going;  // removed by this rotation anyway
      for (size_t i = 0; i < listed.size(); ++i) {
        if (removes[i]) going.insert(listed[i].path);
      }
      freed += MakeRoom(dest, root, need - free, going);
      need = wanted > freed ? wanted - freed : 0;
      lacks = LacksRoom(root, need);
    }
    if (lacks) {
      rec->state = kLogPending;
      rec->lastAttemptTime = start;
      StoreRecord(db, *rec, &offset, notedAt);
      bool fresh;
      {
        std::lock_guard<std::mutex> guard(reportedLock_);
        fresh = noRoom_.insert_or_assign(std::string(source), wanted - freed).second;
      }
      if (fresh) {
        PostEvent(kEvFileFailed, source, planId, names.latestName,
                  CopyErrorText(plat::kErrDiskFull), static_cast<int32_t>(plat::kErrDiskFull));
      }
      return kBackupNoSpace;
    }
  }
  PostEvent(kEvFileBackupBegins, source, planId);

  // Rotation: the previous latest copy becomes revision highest + 1, and the
  // revisions the plan's rule lets go are deleted, once the new copy is whole
  // under its temporary name (a copy that fails, is torn or finds no source
  // keeps every version). Failures here are not reported; the copy then
  // replaces the latest copy.
  std::function<void()> rotate;
  const std::string movedTo =
      VersionName(names.revisionFolder, names.stem, names.extension, highest + 1);
  bool moved = false;    // the latest copy went to movedTo
  bool rotated = false;  // the rotation ran
  if (movesLatest || std::find(removes.begin(), removes.end(), true) != removes.end()) {
    rotate = [&] {
      rotated = true;
      if (movesLatest) {
        dest->CreateFolders(movedTo);
        moved = dest->MoveFile(names.latestName, movedTo) == kDestOk;
      }
      for (size_t i = 0; i < listed.size(); ++i) {
        if (removes[i]) dest->DeleteFile(listed[i].path);
      }
    };
  }

  // A file gone before its copy was due (an editor's temporary file renamed
  // or removed, a file deleted) is no failure: its record says so, nothing
  // is reported.
  if (!look.Exists(source)) {
    ForgetNoRoom(source);
    ForgetTooLarge(source);
    ForgetFailure(source);
    if (offset != 0) {
      rec->state = kLogSourceGone;
      StoreRecord(db, *rec, &offset, notedAt);
    }
    return kBackupSourceMissing;
  }

  // The copy reads what this open found: below the plan's source folder no
  // link is followed, so a file or folder swapped for one hands nothing out.
  plat::SourceFile in;
  const bool opened = in.Open(source, SourceFolderOf(plan_, source));
  const uint32_t openError = opened ? 0 : plat::GetLastError();
  if (openError == plat::kErrStoppedOnLink) {
    ForgetFailure(source);
    // A link where the file was, or on its way, is no file of the source
    // folder: said once, and the record rests as gone until written again.
    rec->state = kLogSourceGone;
    rec->lastAttemptTime = start;
    StoreRecord(db, *rec, &offset, notedAt);
    PostEvent(kEvFileFailed, source, planId, names.latestName,
              "Code: " + std::to_string(openError) + ", Error: " + GetText("SOURCE_LINK", "REASON"),
              static_cast<int32_t>(openError));
    return static_cast<int32_t>(openError);
  }
  const uint32_t folderError = dest->CreateFolders(names.latestName);
  plat::CopyWatch watch;
  watch.targetAbsent = latestExists == 0;  // just looked at above
  uint32_t error = openError;
  if (opened) {
    const plat::CopiesReadFrom reading(in);
    error = dest->CopyFileWatched(source, names.latestName, &watch, rotate);
  }
  // The new copy did not take the latest name after the old one had left
  // it: the old one goes back, so the store never lacks a latest copy.
  if (moved && error != 0 && !dest->FileExists(names.latestName)) {
    dest->MoveFile(movedTo, names.latestName);
  } else if (rotated) {
    const VersionEntry made{movedTo, highest + 1, latestSize, latestTime};
    RememberRotation(root, filesKey, moved && latestTime != 0 ? &made : nullptr, listed, removes);
  }
  // A copy into a folder that could not be made finds no path, or a server
  // refuses it there: the folder's own error is the cause (a read-only disk,
  // no room, a name too long, a server that stopped answering).
  if (folderError != 0 && (error == plat::kErrPathNotFound || error == plat::kErrFileNotFound ||
                           error == plat::kErrAccessDenied))
    error = folderError;
  if (error == plat::kErrCancelled) {
    // The plan's thread was told to stop during the copy: the file waits.
    rec->state = kLogPending;
    StoreRecord(db, *rec, &offset, notedAt);
    return kBackupStopping;
  }
  if (error != 0 && !dest->IsAvailable()) {
    // The store went away during the copy (no answer, busy for good): the
    // file waits for it, and the store's cause is said once, not per file.
    rec->state = kLogPending;
    StoreRecord(db, *rec, &offset, notedAt);
    return kBackupStoreAway;
  }
  if (error == plat::kErrSourceChanged) {
    // Written while it was read: no copy of it is kept, nothing is called
    // good. Tried again once it has held still for a moment (the record's
    // change time is now), with the back-off of failing files.
    NoteChangingSource(source, planId, names.latestName);
    rec->state = kLogFailed;
    rec->failedAttempts += 1;
    rec->changeTime = plat::Now();
    rec->lastAttemptTime = rec->changeTime;
    StoreRecord(db, *rec, &offset, notedAt);
    return static_cast<int32_t>(error);
  }
  ForgetChangingSource(source);
  if (error == plat::kErrNameNotCarried || error == plat::kErrNameChanged ||
      error == plat::kErrNameTooLong || error == plat::kErrNotKeptPrivate) {
    // The server cannot keep the file under its own name, or a private file
    // private: said once, and kept out of the pending set until the file is
    // noted anew.
    ForgetFailure(source);
    rec->state = kLogTooLarge;
    rec->lastAttemptTime = start;
    StoreRecord(db, *rec, &offset, notedAt);
    const char* reason = error == plat::kErrNameNotCarried   ? "REASON_LINE_BREAK"
                         : error == plat::kErrNameTooLong    ? "REASON_TOO_LONG"
                         : error == plat::kErrNotKeptPrivate ? NotPrivateReason(source)
                                                             : "REASON_SERVER_RENAMED";
    if (plan_->NoteUnheldName(std::string(source), error == plat::kErrNotKeptPrivate))
      PostEvent(kEvNotProtected, source, planId, {}, GetText("NOT_PROTECTED", reason));
    return kBackupNameRefused;
  }
  NoteOutcome(source, error, root, start);
  if (error == 0) {
    ForgetNoRoom(source);
    ForgetTooLarge(source);
    plan_->ForgetUnheldName(std::string(source));
    plan_->SetLastBackupTime(start);
    backupTimeUnsaved_ = true;
    rec->state = kLogCopied;
    rec->lastBackupTime = start;
    rec->failedAttempts = 0;
    rec->stamp = watch.before;
    PostEvent(kEvFileCopied, source, planId, names.latestName, {}, 0);
  } else {
    rec->state = kLogFailed;
    rec->failedAttempts += 1;
    PostEvent(kEvFileFailed, source, planId, names.latestName, CopyErrorText(error),
              static_cast<int32_t>(error));
  }
  rec->changeTime = start;
  rec->lastAttemptTime = start;
  StoreRecord(db, *rec, &offset, notedAt);
  return static_cast<int32_t>(error);
}
