#include "history/CLoggingDatabase.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/EngineEvents.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "history/Crc64.h"
#include "history/RecordBytes.h"
#include "platform/base/Text.h"
#include "platform/process/Clock.h"
#include "platform/volumes/Paths.h"

using namespace journal_bytes;

CLoggingDatabase::~CLoggingDatabase() { Close(); }

uint32_t CLoggingDatabase::FileFailure() {
  ++generation_;
  file_.Close();
  open_ = false;
  index_.Clear();
  pending_.clear();
  indexedEnd_ = kHeaderSize;
  DropCache();
  PostEvent(kEvDatabaseProblem, dbPath_, planId_);
  return kFileError;
}

// ---- Create / Open / Close --------------------------------------------------

uint32_t CLoggingDatabase::Create(std::string_view planFolder, uint32_t planId) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  try {
    return CreateLocked(planFolder, planId);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

uint32_t CLoggingDatabase::CreateLocked(std::string_view planFolder, uint32_t planId) {
  if (open_) CloseLocked();
  if (planFolder.empty()) return kInvalidArgument;
  folder_.assign(planFolder);
  planId_ = planId;
  dbPath_ = plat::PathAppend(planFolder, kFileName);
  std::vector<uint8_t> header = HeaderBytes();
  plat::File f;
  if (!f.Open(dbPath_, plat::File::kReadWrite, plat::File::kOpenAlways) || !f.Seek(0) ||
      !f.Write(header.data(), header.size()) || !f.Truncate(kHeaderSize)) {
    f.Close();
    PostEvent(kEvDatabaseProblem, dbPath_, planId_);
    return kFileError;
  }
  f.Close();
  return kOk;
}

uint32_t CLoggingDatabase::Open(std::string_view planFolder, uint32_t planId) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  try {
    return OpenLocked(planFolder, planId);
  } catch (const std::bad_alloc&) {
    file_.Close();
    open_ = false;
    return kOutOfMemory;
  }
}

uint32_t CLoggingDatabase::OpenLocked(std::string_view planFolder, uint32_t planId) {
  if (planFolder.empty()) return kInvalidArgument;
  if (open_) return kOk;
  folder_.assign(planFolder);
  planId_ = planId;
  dbPath_ = plat::PathAppend(planFolder, kFileName);
  counters_ = Counters{};
  ++generation_;
  tailDirty_ = false;
  tailChecked_ = false;
  lastNext_ = 0;
  DropCache();
  if (!file_.Open(dbPath_, plat::File::kReadWrite, plat::File::kOpenAlways)) return FileFailure();
  uint64_t size = 0;
  if (!file_.GetSize(&size)) return FileFailure();
  if (size >= kHeaderSize) {
    uint8_t head[kHeaderSize];
    size_t got = 0;
    if (!file_.Seek(0) || !file_.Read(head, kHeaderSize, &got)) return FileFailure();
    if (got == kHeaderSize && std::memcmp(head, kHeaderText.data(), kHeaderText.size()) == 0 &&
        head[kHeaderText.size()] == 0) {
      open_ = true;
      trackedEnd_ = size;
      tailChecked_ = size == kHeaderSize;
      return kOk;
    }
  }
  // Missing or wrong header: the file becomes an empty database.
  std::vector<uint8_t> header = HeaderBytes();
  if (!file_.Seek(0) || !file_.Write(header.data(), header.size()) || !file_.Truncate(kHeaderSize))
    return FileFailure();
  open_ = true;
  trackedEnd_ = kHeaderSize;
  tailChecked_ = true;
  return kOk;
}

void CLoggingDatabase::Close() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  CloseLocked();
}

void CLoggingDatabase::CloseLocked() {
  ++generation_;
  if (file_.IsOpen()) {
    uint64_t size = 0;
    if (file_.GetSize(&size)) trackedEnd_ = size;
  }
  file_.Close();
  open_ = false;
  tailDirty_ = false;
  index_.Clear();
  pending_.clear();
  stampKnown_ = false;
  indexedEnd_ = kHeaderSize;
  DropCache();
  counters_ = Counters{};
}

uint32_t CLoggingDatabase::Recreate() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  try {
    std::string folder = folder_;
    CloseLocked();
    uint32_t rc = CreateLocked(folder, planId_);
    rebuilds_.fetch_add(1);
    if (rc != kOk) return rc;
    return OpenLocked(folder, planId_);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

uint32_t CLoggingDatabase::WriteRecord(uint64_t offset, const LogRecord& record,
                                       uint64_t* appendedAt) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  try {
    if (offset > 0 && offset < kHeaderSize) return kInvalidArgument;
    if (record.pathLength != record.path.size() || !IsValidLogPath(record.path))
      return kInvalidArgument;
    if (!open_) return kNotOpen;
    ++generation_;
    // Appends are stamped; a record rewritten in place keeps the form it has
    // in the file.
    LogRecord form;
    const LogRecord* put = &record;
    if (offset == 0 && record.magic != kLogRecordStampedMagic) {
      form = record;
      form.magic = kLogRecordStampedMagic;
      put = &form;
    } else if (offset != 0) {
      bool shortRead = false;
      if (!Fetch(offset, kLogRecordHeadSize, false, &shortRead)) {
        if (shortRead) return kInvalidArgument;
        PostEvent(kEvDatabaseProblem, dbPath_, planId_);
        return kFileError;
      }
      const uint32_t there = Get32(CacheAt(offset));
      if (!IsLogRecordMagic(there)) return kInvalidArgument;
      if (there != record.magic) {
        form = record;
        form.magic = there;
        put = &form;
      }
    }
    size_t size = put->Size();
    if (writeBuffer_.size() < size) writeBuffer_.resize(size);
    EncodeRecord(*put, writeBuffer_.data());
    ++counters_.written;

    if (offset == 0) {
      // Appends go to the tracked end: this object's own writes keep it, and
      // every read from outside the cache and every SyncPending take it from
      // the file again (another writer's records, a cut by someone else).
      if (!tailChecked_ && !tailDirty_) {
        uint32_t rc = CheckTail();
        if (rc != kOk) return rc;
      }
      if (tailDirty_) {
        // An earlier failed append could not be cut back: finish that first.
        if (!file_.Truncate(trackedEnd_)) {
          PostEvent(kEvDatabaseProblem, dbPath_, planId_);
          return kFileError;
        }
        tailDirty_ = false;
      }
      const uint64_t pos = std::max<uint64_t>(trackedEnd_, kHeaderSize);
      const bool wrote = file_.WriteAt(pos, writeBuffer_.data(), size);
      NoteOwnWrite();
      if (!wrote) {
        // No partial record may stay behind.
        if (!file_.Truncate(pos)) tailDirty_ = true;
        NoteOwnWrite();
        trackedEnd_ = pos;
        PostEvent(kEvDatabaseProblem, dbPath_, planId_);
        return kFileError;
      }
      trackedEnd_ = pos + size;
      PatchCache(pos, writeBuffer_.data(), size);
      ++counters_.writtenOk;
      if (appendedAt) *appendedAt = pos;
      NotePending(pos, record.state);
      if (index_.Add(record.pathHash, record.path, pos) == CJournalIndex::AddResult::kNoMemory)
        return kOutOfMemory;
      if (pos == indexedEnd_) indexedEnd_ = pos + size;
      return kOk;
    }

    // In place: the record there must carry the same path.
    bool shortRead = false;
    if (!Fetch(offset, size, false, &shortRead)) {
      if (shortRead) return kInvalidArgument;
      PostEvent(kEvDatabaseProblem, dbPath_, planId_);
      return kFileError;
    }
    const uint8_t* old = CacheAt(offset);
    if (Get32(old) != Get32(writeBuffer_.data()) || Get16(old + 46) != record.pathLength ||
        std::memcmp(old + kLogRecordHeadSize, writeBuffer_.data() + kLogRecordHeadSize,
                    2 * size_t{record.pathLength} + 2) != 0)
      return kInvalidArgument;
    const bool wrote = file_.WriteAt(offset, writeBuffer_.data(), size);
    NoteOwnWrite();
    if (!wrote) {
      // What reached the disk is unknown; read it again next time.
      DropCache();
      PostEvent(kEvDatabaseProblem, dbPath_, planId_);
      return kFileError;
    }
    PatchCache(offset, writeBuffer_.data(), size);
    NotePending(offset, record.state);
    ++counters_.writtenOk;
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

bool CLoggingDatabase::Lookup(uint64_t pathHash, std::u16string_view path, uint64_t* offset) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return index_.Find(pathHash, path, offset);
}

bool CLoggingDatabase::Lookup(std::string_view path, uint64_t* offset) {
  try {
    std::u16string units = plat::Utf8ToUtf16(path);
    return Lookup(PathHash(units), units, offset);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

uint32_t CLoggingDatabase::NoteChangedFile(std::string_view path) {
  try {
    std::u16string units = plat::Utf8ToUtf16(path);
    if (!IsValidLogPath(units)) return kInvalidArgument;
    uint64_t hash = PathHash(units);
    int64_t now = plat::Now();
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (!open_) return kNotOpen;
    return NoteChangedLocked(std::move(units), hash, now, true);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

uint32_t CLoggingDatabase::NoteChangedLocked(std::u16string units, uint64_t hash, int64_t now,
                                             bool mayRepair) {
  uint64_t offset = 0;
  if (index_.Find(hash, units, &offset)) {
    LogRecord rec;
    bool found = false;
    uint64_t next = 0;
    uint32_t rc = ReadRecord(offset, &rec, &next, &found);
    if (rc != kOk && damaged_ && mayRepair) {
      // The record went bad since it was indexed: rebuild, then note anew.
      rc = RebuildAndIndex();
      if (rc != kOk) return rc;
      return NoteChangedLocked(std::move(units), hash, now, false);
    }
    if (rc != kOk) return rc;
    // found is false only when the self-check has just emptied the file.
    if (found) {
      rec.changeTime = now;
      rec.state = kLogPending;
      return WriteRecord(offset, rec);
    }
  }
  LogRecord rec;
  rec.path = std::move(units);
  rec.pathLength = static_cast<uint16_t>(rec.path.size());
  rec.pathHash = hash;
  rec.changeTime = now;
  return WriteRecord(0, rec);
}

// ---- Accessors -------------------------------------------------------------------

bool CLoggingDatabase::IsOpen() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return open_;
}

std::string CLoggingDatabase::DatabasePath() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return dbPath_;
}

uint32_t CLoggingDatabase::PlanId() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return planId_;
}

uint64_t CLoggingDatabase::TrackedEnd() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return trackedEnd_;
}

size_t CLoggingDatabase::IndexCount() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return index_.Count();
}

size_t CLoggingDatabase::IndexMemoryBytes() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return index_.MemoryBytes();
}

CLoggingDatabase::Counters CLoggingDatabase::GetCounters() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return counters_;
}

bool IsTooLargeForBackup(std::string_view path) {
  int limit = GetBackupFileMaxSize();
  if (limit <= 0) return false;
  plat::FindData info;
  if (!plat::GetFileInfo(path, &info)) return false;
  return (info.size >> 20) > static_cast<uint64_t>(limit);
}
