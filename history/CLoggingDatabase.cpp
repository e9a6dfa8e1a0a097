#include "history/CLoggingDatabase.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "app/Settings.h"
#include "app/Texts.h"
#include "engine/EngineEvents.h"
#include "history/Crc64.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace {

constexpr size_t kSequentialChunk = 256 * 1024;  // read-ahead of a walk
constexpr size_t kRandomChunk = 4096;            // one record read on its own
constexpr char kRecreateText[] = "RecreateDB due to db corruption";

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t Get32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint64_t Get64(const uint8_t* p) {
  return uint64_t{Get32(p)} | uint64_t{Get32(p + 4)} << 32;
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline size_t RecordSize(uint16_t length) { return 2 * static_cast<size_t>(length) + 50; }

// The validity rule of a complete record of n bytes at p (n = its size).
bool IsValidRecord(const uint8_t* p) {
  if (Get32(p) != kLogRecordMagic) return false;
  uint16_t len = Get16(p + 46);
  if (len < kLogRecordMinPathLength) return false;
  const uint8_t* path = p + kLogRecordHeadSize;
  if (Get16(path + 2 * len) != 0) return false;
  for (size_t i = 0; i < len; ++i)
    if (Get16(path + 2 * i) == 0) return false;
  return (Get16(path) == u'\\' && Get16(path + 2) == u'\\') ||
         (Get16(path + 2) == u':' && Get16(path + 4) == u'\\');
}

void DecodeRecord(const uint8_t* p, LogRecord* r) {
  r->magic = Get32(p);
  r->reserved = Get32(p + 4);
  r->pathHash = Get64(p + 8);
  r->changeTime = static_cast<int64_t>(Get64(p + 16));
  r->lastBackupTime = static_cast<int64_t>(Get64(p + 24));
  r->lastAttemptTime = static_cast<int64_t>(Get64(p + 32));
  r->failedAttempts = Get32(p + 40);
  r->state = Get16(p + 44);
  r->pathLength = Get16(p + 46);
  r->path.resize(r->pathLength);
  for (size_t i = 0; i < r->pathLength; ++i) r->path[i] = Get16(p + 48 + 2 * i);
}

void EncodeRecord(const LogRecord& r, uint8_t* p) {
  Put32(p, kLogRecordMagic);
  Put32(p + 4, 0);  // reserved word, never read
  Put64(p + 8, r.pathHash);
  Put64(p + 16, static_cast<uint64_t>(r.changeTime));
  Put64(p + 24, static_cast<uint64_t>(r.lastBackupTime));
  Put64(p + 32, static_cast<uint64_t>(r.lastAttemptTime));
  Put32(p + 40, r.failedAttempts);
  Put16(p + 44, r.state);
  Put16(p + 46, r.pathLength);
  for (size_t i = 0; i < r.pathLength; ++i) Put16(p + 48 + 2 * i, r.path[i]);
  Put16(p + 48 + 2 * r.pathLength, 0);
}

std::vector<uint8_t> HeaderBytes() {
  std::vector<uint8_t> h(CLoggingDatabase::kHeaderSize, 0);
  std::memcpy(h.data(), CLoggingDatabase::kHeaderText.data(), CLoggingDatabase::kHeaderText.size());
  return h;
}

}  // namespace

CLoggingDatabase::~CLoggingDatabase() { Close(); }

uint32_t CLoggingDatabase::FileFailure() {
  file_.Close();
  open_ = false;
  index_.Clear();
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

// A crash during an append can leave part of a record at the end of the file.
// Records appended behind it would never be reached, so such a tail is cut
// off: by a walk that reaches it, or before the first append when no walk
// has reached the end since opening. Torn means fewer bytes than a head, a
// head whose record runs past the end, or nothing but zero bytes (the file
// grew but its data never landed). A complete record that is invalid is
// damage, not a torn tail, and is left alone.
bool CLoggingDatabase::IsTornTail(uint64_t pos, uint64_t end, bool* torn) {
  *torn = false;
  if (pos >= end) return true;
  bool shortRead = false;
  if (end - pos < kLogRecordHeadSize) {
    *torn = true;
    return true;
  }
  if (!Fetch(pos, kLogRecordHeadSize, lastNext_ == pos, &shortRead)) return shortRead;
  const uint8_t* p = CacheAt(pos);
  uint16_t len = Get16(p + 46);
  if (Get32(p) == kLogRecordMagic && len >= kLogRecordMinPathLength) {
    if (RecordSize(len) <= end - pos) return true;
    // It runs past the end. Torn only when nothing valid lies behind its
    // head: a damaged length in the middle must not cut the records after it.
    uint64_t at = 0;
    bool follows = false;
    if (!FindValidRecord(pos + 1, end, &at, &follows)) return false;
    *torn = !follows;
    return true;
  }
  for (uint64_t at = pos; at < end;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kSequentialChunk, end - at));
    if (!Fetch(at, n, true, &shortRead)) return false;
    const uint8_t* q = CacheAt(at);
    for (size_t i = 0; i < n; ++i)
      if (q[i]) return true;
    at += n;
  }
  *torn = true;
  return true;
}

uint32_t CLoggingDatabase::CutTail(uint64_t pos) {
  if (!file_.Truncate(pos)) {
    PostEvent(kEvDatabaseProblem, dbPath_, planId_);
    return kFileError;
  }
  DropCache();
  trackedEnd_ = pos;
  tailChecked_ = true;
  return kOk;
}

// The walk of the records without reading them into the index: finds where
// they end and cuts a torn tail there.
uint32_t CLoggingDatabase::CheckTail() {
  uint64_t size = 0;
  if (!file_.GetSize(&size)) {
    PostEvent(kEvDatabaseProblem, dbPath_, planId_);
    return kFileError;
  }
  bool shortRead = false;
  for (uint64_t pos = kHeaderSize; pos < size;) {
    bool torn = false;
    if (!IsTornTail(pos, size, &torn)) {
      PostEvent(kEvDatabaseProblem, dbPath_, planId_);
      return kFileError;
    }
    if (torn) return CutTail(pos);
    // The zero scan may have moved the cache: fetch the head again.
    if (!Fetch(pos, kLogRecordHeadSize, true, &shortRead)) {
      PostEvent(kEvDatabaseProblem, dbPath_, planId_);
      return kFileError;
    }
    const uint8_t* head = CacheAt(pos);
    if (Get32(head) != kLogRecordMagic || Get16(head + 46) < kLogRecordMinPathLength)
      return RebuildAndIndex();
    size_t need = RecordSize(Get16(head + 46));
    if (!Fetch(pos, need, true, &shortRead)) {
      if (shortRead) return RebuildAndIndex();
      PostEvent(kEvDatabaseProblem, dbPath_, planId_);
      return kFileError;
    }
    if (!IsValidRecord(CacheAt(pos))) return RebuildAndIndex();
    pos += need;
  }
  tailChecked_ = true;
  return kOk;
}

void CLoggingDatabase::Close() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  CloseLocked();
}

void CLoggingDatabase::CloseLocked() {
  if (file_.IsOpen()) {
    uint64_t size = 0;
    if (file_.GetSize(&size)) trackedEnd_ = size;
  }
  file_.Close();
  open_ = false;
  tailDirty_ = false;
  index_.Clear();
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
  if (!file_.Seek(offset) || !file_.Read(cache_.data(), want, &got)) return false;
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
        size_t need = RecordSize(Get16(CacheAt(offset) + 46));
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
          if (index_.Add(r->pathHash, r->path, offset) == CJournalIndex::AddResult::kNoMemory)
            return kOutOfMemory;
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

uint32_t CLoggingDatabase::WriteRecord(uint64_t offset, const LogRecord& record,
                                       uint64_t* appendedAt) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  try {
    if (offset > 0 && offset < kHeaderSize) return kInvalidArgument;
    if (record.pathLength != record.path.size() || !IsValidLogPath(record.path))
      return kInvalidArgument;
    if (!open_) return kNotOpen;
    size_t size = record.Size();
    if (writeBuffer_.size() < size) writeBuffer_.resize(size);
    EncodeRecord(record, writeBuffer_.data());
    ++counters_.written;

    if (offset == 0) {
      uint64_t fileSize = 0;
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
        fileSize = trackedEnd_;
      } else if (!file_.GetSize(&fileSize)) {
        PostEvent(kEvDatabaseProblem, dbPath_, planId_);
        return kFileError;
      }
      uint64_t pos = std::max<uint64_t>(fileSize, kHeaderSize);
      if (!file_.Seek(pos) || !file_.Write(writeBuffer_.data(), size)) {
        // No partial record may stay behind.
        if (!file_.Truncate(pos)) tailDirty_ = true;
        trackedEnd_ = pos;
        PostEvent(kEvDatabaseProblem, dbPath_, planId_);
        return kFileError;
      }
      trackedEnd_ = pos + size;
      PatchCache(pos, writeBuffer_.data(), size);
      ++counters_.writtenOk;
      if (appendedAt) *appendedAt = pos;
      if (index_.Add(record.pathHash, record.path, pos) == CJournalIndex::AddResult::kNoMemory)
        return kOutOfMemory;
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
    if (Get32(old) != kLogRecordMagic || Get16(old + 46) != record.pathLength ||
        std::memcmp(old + kLogRecordHeadSize, writeBuffer_.data() + kLogRecordHeadSize,
                    size - kLogRecordHeadSize) != 0)
      return kInvalidArgument;
    if (!file_.Seek(offset) || !file_.Write(writeBuffer_.data(), size)) {
      // What reached the disk is unknown; read it again next time.
      DropCache();
      PostEvent(kEvDatabaseProblem, dbPath_, planId_);
      return kFileError;
    }
    PatchCache(offset, writeBuffer_.data(), size);
    ++counters_.writtenOk;
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

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
    if (index_.EndBulk() == CJournalIndex::AddResult::kNoMemory && rc == kOk) rc = kOutOfMemory;
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

bool CLoggingDatabase::FindValidRecord(uint64_t from, uint64_t end, uint64_t* at, bool* found) {
  *found = false;
  bool shortRead = false;
  for (uint64_t pos = from; end >= pos && end - pos >= RecordSize(kLogRecordMinPathLength); ++pos) {
    if (!Fetch(pos, 4, true, &shortRead)) return shortRead;
    if (Get32(CacheAt(pos)) != kLogRecordMagic) continue;
    if (!Fetch(pos, kLogRecordHeadSize, true, &shortRead)) return shortRead;
    const uint16_t len = Get16(CacheAt(pos) + 46);
    if (len < kLogRecordMinPathLength || RecordSize(len) > end - pos) continue;
    if (!Fetch(pos, RecordSize(len), true, &shortRead)) {
      if (shortRead) continue;
      return false;
    }
    if (!IsValidRecord(CacheAt(pos))) continue;
    *at = pos;
    *found = true;
    return true;
  }
  return true;
}

uint32_t CLoggingDatabase::RebuildLocked() {
  uint64_t size = 0;
  if (!file_.GetSize(&size)) {
    PostEvent(kEvDatabaseProblem, dbPath_, planId_);
    return kFileError;
  }
  const std::string temp = dbPath_ + ".rebuild";
  std::vector<uint8_t> out = HeaderBytes();
  uint64_t kept = 0;
  plat::File target;
  bool ok = target.Open(temp, plat::File::kReadWrite, plat::File::kCreateAlways);
  for (uint64_t pos = kHeaderSize; ok;) {
    uint64_t at = 0;
    bool found = false;
    if (!FindValidRecord(pos, size, &at, &found)) ok = false;
    if (!ok || !found) break;
    const size_t n = RecordSize(Get16(CacheAt(at) + 46));  // still in the cache
    out.insert(out.end(), CacheAt(at), CacheAt(at) + n);
    ++kept;
    pos = at + n;
    if (out.size() >= (1u << 20)) {
      ok = target.Write(out.data(), out.size());
      out.clear();
    }
  }
  ok = ok && target.Write(out.data(), out.size()) && target.Flush();
  target.Close();
  ok = ok && plat::ReplaceFile(temp, dbPath_) == 0;
  if (!ok) {
    plat::DeleteFile(temp);
    PostEvent(kEvDatabaseProblem, dbPath_, planId_);
    return kFileError;
  }
  file_.Close();
  index_.Clear();
  DropCache();
  counters_ = Counters{};
  lastNext_ = 0;
  tailDirty_ = false;
  tailChecked_ = true;
  if (!file_.Open(dbPath_, plat::File::kReadWrite, plat::File::kOpenExisting) ||
      !file_.GetSize(&trackedEnd_))
    return FileFailure();
  rebuilds_.fetch_add(1);
  std::string words = GetText("LOGGING_DATABASE", "REBUILT");
  const size_t mark = words.find("%s");
  if (mark != std::string::npos) words.replace(mark, 2, std::to_string(kept));
  PostEvent(kEvDatabaseOpenFailed, dbPath_, planId_, words);
  return kOk;
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
  try {
    return Walk(
        [&](const LogRecord& r) {
          if (!r.IsPending() || IsInBackOff(r, now)) return;
          std::string path = r.PathUtf8();
          if (!IsTooLargeForBackup(path)) paths->push_back(std::move(path));
        },
        [&] { paths->resize(before); });
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
