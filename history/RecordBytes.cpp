#include "history/RecordBytes.h"

#include <bit>
#include <cstring>

#include "history/CLoggingDatabase.h"

namespace journal_bytes {

bool IsValidRecord(const uint8_t* p) {
  if (!IsLogRecordMagic(Get32(p))) return false;
  uint16_t len = Get16(p + 46);
  if (len < kLogRecordMinPathLength) return false;
  const uint8_t* path = p + kLogRecordHeadSize;
  if (Get16(path + 2 * len) != 0) return false;
  // No zero unit: four units at a time (a lane is zero when its own top bit
  // is clear and it borrows), the rest one by one.
  size_t i = 0;
  for (; i + 4 <= len; i += 4) {
    uint64_t w;
    std::memcpy(&w, path + 2 * i, 8);
    if ((w - 0x0001000100010001ull) & ~w & 0x8000800080008000ull) return false;
  }
  for (; i < len; ++i)
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
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(r->path.data(), p + 48, 2 * size_t{r->pathLength});
  } else {
    for (size_t i = 0; i < r->pathLength; ++i) r->path[i] = Get16(p + 48 + 2 * i);
  }
  r->stamp = {};
  if (r->magic == kLogRecordStampedMagic) {
    const uint8_t* t = p + RecordSize(r->pathLength);
    r->stamp.writeNs = static_cast<int64_t>(Get64(t));
    r->stamp.changeNs = static_cast<int64_t>(Get64(t + 8));
    r->stamp.size = Get64(t + 16);
    r->stamp.inode = Get64(t + 24);
  }
}

void EncodeRecord(const LogRecord& r, uint8_t* p) {
  const bool stamped = r.magic != kLogRecordMagic;
  Put32(p, stamped ? kLogRecordStampedMagic : kLogRecordMagic);
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
  if (stamped) {
    uint8_t* t = p + RecordSize(r.pathLength);
    Put64(t, static_cast<uint64_t>(r.stamp.writeNs));
    Put64(t + 8, static_cast<uint64_t>(r.stamp.changeNs));
    Put64(t + 16, r.stamp.size);
    Put64(t + 24, r.stamp.inode);
  }
}

std::vector<uint8_t> HeaderBytes() {
  std::vector<uint8_t> h(CLoggingDatabase::kHeaderSize, 0);
  std::memcpy(h.data(), CLoggingDatabase::kHeaderText.data(), CLoggingDatabase::kHeaderText.size());
  return h;
}

}  // namespace journal_bytes
