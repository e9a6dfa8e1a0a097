// The journal file's bytes: little-endian fields, a record's size and
// validity rule, records to and from LogRecord, and the file's header.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "history/LogRecord.h"

namespace journal_bytes {

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

// Bytes a plain record with a path of length units takes (the smallest).
inline size_t RecordSize(uint16_t length) { return 2 * static_cast<size_t>(length) + 50; }
// Bytes the record whose head (kLogRecordHeadSize bytes) is at p takes.
inline size_t RecordSizeOf(const uint8_t* p) {
  return RecordSize(Get16(p + 46)) + (Get32(p) == kLogRecordStampedMagic ? kLogRecordStampSize : 0);
}

// The validity rule of a complete record at p (RecordSize bytes of it).
bool IsValidRecord(const uint8_t* p);
void DecodeRecord(const uint8_t* p, LogRecord* r);
// Writes r.Size() bytes in r's form (r.magic: plain or stamped); the
// reserved word is written as 0.
void EncodeRecord(const LogRecord& r, uint8_t* p);
// The 1024-byte header of an empty journal.
std::vector<uint8_t> HeaderBytes();

}  // namespace journal_bytes
