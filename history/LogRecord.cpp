#include "history/LogRecord.h"

#include "history/Crc64.h"
#include "platform/base/Text.h"

bool IsValidLogPath(std::u16string_view path) {
  if (path.size() < kLogRecordMinPathLength || path.size() > 0xFFFF) return false;
  if (path.find(u'\0') != std::u16string_view::npos) return false;
  return (path[0] == u'\\' && path[1] == u'\\') || (path[1] == u':' && path[2] == u'\\');
}

bool LogRecord::SetPath(std::u16string_view units) {
  if (!IsValidLogPath(units)) return false;
  path.assign(units);
  pathLength = static_cast<uint16_t>(units.size());
  pathHash = PathHash(units);
  return true;
}

bool LogRecord::SetPath(std::string_view utf8) { return SetPath(plat::Utf8ToUtf16(utf8)); }

std::string LogRecord::PathUtf8() const { return plat::Utf16ToUtf8(path); }

bool IsInBackOff(const LogRecord& record, int64_t now) {
  int64_t since = now - record.lastAttemptTime;
  if (record.failedAttempts >= 21) return since < 300;
  if (record.failedAttempts > 3) return since < 60;
  return false;
}
