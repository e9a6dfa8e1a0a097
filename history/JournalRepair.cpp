// The journal's repairs: a torn tail cut off, a damaged file rebuilt from
// its valid records.
#include <algorithm>
#include <string>
#include <vector>

#include "common/EngineEvents.h"
#include "common/Texts.h"
#include "history/CLoggingDatabase.h"
#include "history/RecordBytes.h"
#include "platform/volumes/Paths.h"

using namespace journal_bytes;

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
  if (IsLogRecordMagic(Get32(p)) && len >= kLogRecordMinPathLength) {
    if (RecordSizeOf(p) <= end - pos) return true;
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
  ++generation_;
  NoteOwnWrite();
  trackedEnd_ = pos;
  indexedEnd_ = std::min(indexedEnd_, pos);
  pending_.erase(pending_.lower_bound(pos), pending_.end());
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
    if (!IsLogRecordMagic(Get32(head)) || Get16(head + 46) < kLogRecordMinPathLength)
      return RebuildAndIndex();
    size_t need = RecordSizeOf(head);
    if (!Fetch(pos, need, true, &shortRead)) {
      if (shortRead) return RebuildAndIndex();
      PostEvent(kEvDatabaseProblem, dbPath_, planId_);
      return kFileError;
    }
    if (!IsValidRecord(CacheAt(pos))) return RebuildAndIndex();
    pos += need;
  }
  trackedEnd_ = size;
  tailChecked_ = true;
  return kOk;
}

bool CLoggingDatabase::FindValidRecord(uint64_t from, uint64_t end, uint64_t* at, bool* found) {
  *found = false;
  bool shortRead = false;
  for (uint64_t pos = from; end >= pos && end - pos >= RecordSize(kLogRecordMinPathLength); ++pos) {
    if (!Fetch(pos, 4, true, &shortRead)) return shortRead;
    if (!IsLogRecordMagic(Get32(CacheAt(pos)))) continue;
    if (!Fetch(pos, kLogRecordHeadSize, true, &shortRead)) return shortRead;
    const uint16_t len = Get16(CacheAt(pos) + 46);
    const size_t need = RecordSizeOf(CacheAt(pos));
    if (len < kLogRecordMinPathLength || need > end - pos) continue;
    if (!Fetch(pos, need, true, &shortRead)) {
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
    const size_t n = RecordSizeOf(CacheAt(at));  // still in the cache
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
  ++generation_;
  NoteOwnWrite();
  file_.Close();
  index_.Clear();
  pending_.clear();
  indexedEnd_ = kHeaderSize;
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
