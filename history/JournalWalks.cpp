// The journal's walks over every record: LoadIndex, the walk that follows a
// rebuild, and the pending set with its readers (PendingOffsets,
// CollectPending).
#include <chrono>
#include <new>
#include <string>
#include <vector>

#include "common/EngineEvents.h"
#include "history/CLoggingDatabase.h"
#include "platform/process/Clock.h"

// ---- Walks -----------------------------------------------------------------------

template <class Visit, class Restart>
uint32_t CLoggingDatabase::Walk(Visit visit, Restart restart, uint64_t from) {
  LogRecord rec;
  bool rebuilt = false;
  for (;;) {
    uint64_t offset = rebuilt ? kHeaderSize : from;
    uint32_t rc = kOk;
    bool wasWalking = walking_;
    walking_ = true;
    index_.BeginBulk();
    for (;;) {
      uint64_t next = 0;
      bool found = false;
      rc = ReadRecord(offset, &rec, &next, &found);
      if (rc != kOk || !found || next <= offset) break;
      visit(rec);
      offset = next;
    }
    walking_ = wasWalking;
    if (index_.EndBulk() == CJournalIndex::AddResult::kNoMemory) {
      indexedEnd_ = kHeaderSize;
      if (rc == kOk) rc = kOutOfMemory;
    }
    if (rc != kFileError || !damaged_) return rc;
    if (rebuilt) {
      PostEvent(kEvDatabaseOpenFailed, dbPath_, planId_);
      return rc;
    }
    // Damage: every valid record is kept, the rest goes, and the walk starts
    // again on the rebuilt file.
    rebuilt = true;
    rc = RebuildLocked();
    if (rc != kOk) return rc;
    restart();
  }
}

uint32_t CLoggingDatabase::RebuildAndIndex() {
  const uint32_t rc = RebuildLocked();
  if (rc != kOk) return rc;
  return Walk([](const LogRecord&) {}, [] {});
}

uint32_t CLoggingDatabase::LoadIndex() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (!open_) return kNotOpen;
  return Walk([](const LogRecord&) {}, [] {});
}

// ---- The pending set ----------------------------------------------------------

void CLoggingDatabase::NotePending(uint64_t offset, uint16_t state) {
  if (LogRecord::IsPendingState(state)) {
    pending_.insert(offset);
  } else {
    pending_.erase(offset);
  }
}

void CLoggingDatabase::NoteOwnWrite() {
  ownWriteNs_ = std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
}

uint32_t CLoggingDatabase::SyncPending() {
  uint64_t size = 0;
  int64_t stamp = 0;
  if (!file_.GetSizeAndStamp(&size, &stamp)) {
    PostEvent(kEvDatabaseProblem, dbPath_, planId_);
    return kFileError;
  }
  // The file changed while this object wrote nothing, or after its last
  // write (the system stamps a write with a time no later than the clock
  // after it): someone else wrote it, anywhere. Or it is shorter than what
  // the index holds. Either way the index starts over.
  const bool moved = stamp != stamp_ || size != stampSize_;
  const bool outside =
      stampKnown_ && moved && (stampGeneration_ == generation_ || stamp > ownWriteNs_);
  if (!tailDirty_ && (outside || size < indexedEnd_)) {
    ++generation_;
    index_.Clear();
    pending_.clear();
    indexedEnd_ = kHeaderSize;
    DropCache();
  }
  if (!tailDirty_) trackedEnd_ = size;
  if (indexedEnd_ < trackedEnd_) {
    stampKnown_ = false;
    const uint32_t rc = Walk([](const LogRecord&) {}, [] {}, indexedEnd_);
    if (rc != kOk) return rc;
    if (!open_ || !file_.GetSizeAndStamp(&size, &stamp)) return kOk;  // looked at again next time
  }
  stampKnown_ = true;
  stampSize_ = size;
  stamp_ = stamp;
  stampGeneration_ = generation_;
  return kOk;
}

uint32_t CLoggingDatabase::PendingOffsets(std::vector<uint64_t>* offsets) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (!offsets) return kInvalidArgument;
  if (!open_) return kNotOpen;
  try {
    offsets->clear();
    const uint32_t rc = SyncPending();
    if (rc != kOk) return rc;
    offsets->assign(pending_.begin(), pending_.end());
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

uint32_t CLoggingDatabase::CollectPending(std::vector<std::string>* paths, int64_t now) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (!paths) return kInvalidArgument;
  if (!open_) return kNotOpen;
  if (now == 0) now = plat::Now();
  try {
    std::vector<uint64_t> offsets;
    uint32_t rc = PendingOffsets(&offsets);
    LogRecord r;
    for (size_t i = 0; rc == kOk && i < offsets.size(); ++i) {
      uint64_t next = 0;
      bool found = false;
      rc = ReadRecord(offsets[i], &r, &next, &found);
      if (rc != kOk || !found) break;
      if (!IsInBackOff(r, now)) {
        std::string path = r.PathUtf8();
        if (!IsTooLargeForBackup(path)) paths->push_back(std::move(path));
      }
    }
    return rc;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}
