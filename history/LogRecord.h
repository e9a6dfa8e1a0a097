// One file record of a plan's journal ("Logging.dat"): 48-byte head, then the
// path in UTF-16LE with a terminating zero unit; 2 * length + 50 bytes in all.
// A record with the stamped magic carries the source's FileStamp as of its
// last copy behind the path: 32 bytes more. Records without it (written
// before stamps were kept) stay as they are; rewriting one keeps its form.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/files/Files.h"

constexpr uint32_t kLogRecordMagic = 0x9793AA55u;
constexpr uint32_t kLogRecordStampedMagic = 0x9793AA56u;
constexpr size_t kLogRecordHeadSize = 48;
constexpr size_t kLogRecordStampSize = 32;
constexpr uint16_t kLogRecordMinPathLength = 3;

inline bool IsLogRecordMagic(uint32_t magic) {
  return magic == kLogRecordMagic || magic == kLogRecordStampedMagic;
}

enum LogState : uint16_t {
  kLogPending = 0,     // changed, waiting to be backed up
  kLogFailed = 1,      // the last copy attempt failed; retried later
  kLogSourceGone = 2,  // the source file no longer exists
  kLogCopied = 4,      // backed up
  kLogTooLarge = 8,    // beyond what the store takes (size limit, the disk's own limits)
};

struct LogRecord {
  // The form in the file: a new record is appended stamped; one read keeps
  // the form it was read in (the write in place keeps the file's form anyway).
  uint32_t magic = kLogRecordStampedMagic;
  uint32_t reserved = 0;
  uint64_t pathHash = 0;
  int64_t changeTime = 0;       // seconds since 1970 UTC
  int64_t lastBackupTime = 0;   // 0 until the first success
  int64_t lastAttemptTime = 0;  // 0 until the first attempt
  uint32_t failedAttempts = 0;  // in a row; a success resets it
  uint16_t state = kLogPending;
  uint16_t pathLength = 0;  // UTF-16 units without the terminator
  std::u16string path;      // pathLength units, no terminator
  // The source as its last copy saw it; not known (all zero) until a copy,
  // and always in a record of the plain form.
  plat::FileStamp stamp;

  // Sets path, pathLength and pathHash from a UTF-8 system path. False when
  // the path cannot be a record's path (see IsValidLogPath).
  bool SetPath(std::string_view utf8);
  bool SetPath(std::u16string_view units);
  std::string PathUtf8() const;
  // Bytes the record takes in the file.
  size_t Size() const {
    return 2 * static_cast<size_t>(pathLength) + 50 +
           (magic != kLogRecordMagic ? kLogRecordStampSize : 0);
  }
  bool IsPending() const { return IsPendingState(state); }

  // None of the bits 2, 4 and 8 set.
  static bool IsPendingState(uint16_t state) { return (state & 14) == 0; }
};

// At least 3 units, no zero unit, starts with "\\" or with "X:\".
bool IsValidLogPath(std::u16string_view path);

// Back-off of failing files: more than 3 failures wait 60 s after the last
// attempt, 21 or more wait 300 s.
bool IsInBackOff(const LogRecord& record, int64_t now);
