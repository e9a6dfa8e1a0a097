// The journal's reads: the read-ahead cache and ReadRecord.
#include <algorithm>
#include <cstring>
#include <new>

#include "common/EngineEvents.h"
#include "history/CLoggingDatabase.h"
#include "history/RecordBytes.h"

using namespace journal_bytes;

namespace {

constexpr char kRecreateText[] = "RecreateDB due to db corruption";

}  // namespace

// ---- Read cache ---------------------------------------------------------------

void CLoggingDatabase::DropCache() {
  cacheStart_ = 0;
  cacheLen_ = 0;
}

bool CLoggingDatabase::Fetch(uint64_t offset, size_t n, bool sequential, bool* shortRead) {
  *shortRead = false;
  if (offset >= cacheStart_ && offset - cacheStart_ <= cacheLen_ &&
      n <= cacheLen_ - (offset - cacheStart_))
    return true;
  size_t want = std::max(n, sequential ? kSequentialChunk : kRandomChunk);
  if (cache_.size() < want) cache_.resize(want);
  DropCache();
  size_t got = 0;
  if (!file_.ReadAt(offset, cache_.data(), want, &got)) return false;
  cacheStart_ = offset;
  cacheLen_ = got;
  if (got < n) {
    *shortRead = true;
    return false;
  }
  return true;
}

void CLoggingDatabase::PatchCache(uint64_t offset, const uint8_t* data, size_t n) {
  uint64_t end = offset + n, cacheEnd = cacheStart_ + cacheLen_;
  uint64_t from = std::max(offset, cacheStart_), to = std::min(end, cacheEnd);
  if (from < to)
    std::memcpy(cache_.data() + (from - cacheStart_), data + (from - offset), to - from);
}

// ---- Records --------------------------------------------------------------------

uint32_t CLoggingDatabase::ReadRecord(uint64_t offset, LogRecord* record, uint64_t* next,
                                      bool* found) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (found) *found = false;
  if (next) *next = 0;
  damaged_ = false;
  try {
    // Self-check: too many invalid reads since opening mean a damaged file.
    if (counters_.read >= 100 &&
        static_cast<double>(counters_.readValid) < static_cast<double>(counters_.read) * 0.7) {
      PostEvent(kEvInvalidContent, kRecreateText, planId_);
      Recreate();
    }
    if (offset > 0 && offset < kHeaderSize) return kInvalidArgument;
    if (!open_) return kNotOpen;
    if (offset == 0) offset = kHeaderSize;

    bool sequential = offset == lastNext_ || offset == kHeaderSize;
    bool shortRead = false;
    bool failed = false;
    uint64_t end = trackedEnd_;
    bool cached = offset >= cacheStart_ && offset - cacheStart_ + kLogRecordHeadSize <= cacheLen_;
    if (!cached && !tailDirty_) {
      uint64_t size = 0;
      if (!file_.GetSize(&size)) {
        failed = true;
      } else {
        trackedEnd_ = end = size;
      }
    }
    if (!failed && offset >= end) {
      if (walking_) tailChecked_ = true;
      return kOk;
    }
    if (!failed && walking_ && !tailDirty_) {
      // A walk reads record boundaries only, so it may cut a torn tail.
      bool torn = false;
      if (IsTornTail(offset, end, &torn) && torn) return CutTail(offset);
    }
    if (!failed) {
      ++counters_.read;
      if (!Fetch(offset, kLogRecordHeadSize, sequential, &shortRead)) {
        failed = true;
        damaged_ = shortRead && !tailDirty_;
      } else {
        size_t need = RecordSizeOf(CacheAt(offset));
        if (tailDirty_ && offset + need > end) {
          failed = true;
        } else if (!Fetch(offset, need, sequential, &shortRead)) {
          failed = true;
          damaged_ = shortRead;
        } else if (!IsValidRecord(CacheAt(offset))) {
          failed = true;
          damaged_ = true;
        } else {
          const uint8_t* p = CacheAt(offset);
          LogRecord* r = record ? record : &scratch_;
          DecodeRecord(p, r);
          if (offset >= indexedEnd_) {
            NotePending(offset, r->state);
            if (index_.Add(r->pathHash, r->path, offset) == CJournalIndex::AddResult::kNoMemory) {
              indexedEnd_ = kHeaderSize;
              return kOutOfMemory;
            }
            if (offset == indexedEnd_) indexedEnd_ = offset + need;
          }
          ++counters_.readValid;
          lastNext_ = offset + need;
          if (next) *next = lastNext_;
          if (found) *found = true;
          return kOk;
        }
      }
    }
    ++counters_.read;
    // A walk that met damage rebuilds the file and says so then. So does a
    // caller's own walk (from the first record, one record after another):
    // its walk ends here, and its next one reads the rebuilt file.
    if (damaged_ && walking_) return kFileError;
    if (damaged_ && sequential) return RebuildAndIndex();
    PostEvent(kEvDatabaseOpenFailed, dbPath_, planId_);
    return kFileError;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}
