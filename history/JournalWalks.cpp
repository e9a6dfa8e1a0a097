// The journal's walks over every record: LoadIndex, CollectPending, and the
// walk that follows a rebuild.
#include <new>
#include <string>
#include <vector>

#include "common/EngineEvents.h"
#include "history/CLoggingDatabase.h"
#include "platform/Clock.h"

// ---- Walks -----------------------------------------------------------------------

template <class Visit, class Restart>
uint32_t CLoggingDatabase::Walk(Visit visit, Restart restart) {
  LogRecord rec;
  bool rebuilt = false;
  for (;;) {
    uint64_t offset = kHeaderSize;
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

uint32_t CLoggingDatabase::CollectPending(std::vector<std::string>* paths, int64_t now) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (!paths) return kInvalidArgument;
  if (!open_) return kNotOpen;
  if (now == 0) now = plat::Now();
  const size_t before = paths->size();
  auto take = [&](const PendingRecord& p) {
    LogRecord r;
    r.state = p.state;
    r.failedAttempts = p.failedAttempts;
    r.lastAttemptTime = p.lastAttemptTime;
    if (!IsInBackOff(r, now) && !IsTooLargeForBackup(p.path)) paths->push_back(p.path);
  };
  try {
    uint64_t size = 0;
    if (pendingMemoValid_ && pendingMemoGeneration_ == generation_ && !tailDirty_ &&
        file_.GetSize(&size) && size == pendingMemoEnd_) {
      for (const PendingRecord& p : pendingMemo_) take(p);
      return kOk;
    }
    pendingMemoValid_ = false;
    pendingMemo_.clear();
    // Kept only from a walk during which nothing cut, rebuilt or recreated
    // the file (the next walk keeps it then).
    bool keep = true;
    uint64_t walked = generation_;
    const uint32_t rc = Walk(
        [&](const LogRecord& r) {
          if (!r.IsPending()) return;
          PendingRecord p{r.PathUtf8(), r.state, r.failedAttempts, r.lastAttemptTime};
          take(p);
          keep = keep && pendingMemo_.size() < kPendingMemoMax;
          if (keep) pendingMemo_.push_back(std::move(p));
        },
        [&] {
          paths->resize(before);
          pendingMemo_.clear();
          keep = true;
          walked = generation_;
        });
    if (rc == kOk && keep && walked == generation_ && open_ && file_.GetSize(&size)) {
      pendingMemoValid_ = true;
      pendingMemoGeneration_ = generation_;
      pendingMemoEnd_ = size;
    } else {
      pendingMemo_.clear();
    }
    return rc;
  } catch (const std::bad_alloc&) {
    pendingMemoValid_ = false;
    pendingMemo_.clear();
    return kOutOfMemory;
  }
}
