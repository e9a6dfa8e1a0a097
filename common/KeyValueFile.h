// The plain "key=value" text format of the plan files, the rule files, the
// last-run file and "exclude.ini". One entry per line; "#" and "!" lines are
// comments; blanks around keys and values are dropped; keys are matched
// exactly by the callers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/files/Files.h"

// Integer of a value as atoi reads it: leading white space, optional sign,
// leading digits; anything else ends the number (no digits gives 0). Values
// beyond the type's range saturate. An empty value gives def.
int32_t KeyValueToInt(std::string_view value, int32_t def);
int64_t KeyValueToInt64(std::string_view value, int64_t def);

// Reads entries one by one through a fixed-size buffer, so input of any size
// or shape costs bounded memory. Lines longer than kMaxLine bytes are skipped
// whole (counted in SkippedLines); a NUL byte ends a line's text; bytes that
// are not UTF-8 become U+FFFD; a UTF-8 byte-order mark before the first line
// is skipped.
class CKeyValueReader {
 public:
  static constexpr size_t kMaxLine = 64 * 1024;

  CKeyValueReader() = default;
  CKeyValueReader(const CKeyValueReader&) = delete;
  CKeyValueReader& operator=(const CKeyValueReader&) = delete;

  // False (with plat::GetLastError()) when the file cannot be opened.
  bool Open(std::string_view path);
  void Close();
  // The next entry; false at the end of the file or on a read error.
  bool Next(std::string* key, std::string* value);
  // The last entry returned by Next.
  const std::string& Key() const { return key_; }
  const std::string& Text() const { return value_; }
  int32_t Int(int32_t def) const { return KeyValueToInt(value_, def); }
  int64_t Int64(int64_t def) const { return KeyValueToInt64(value_, def); }
  // The trimmed line the last entry came from (for messages).
  const std::string& Line() const { return line_; }
  uint64_t SkippedLines() const { return skipped_; }
  // True when reading stopped on an I/O error rather than the end of file.
  bool Failed() const { return failed_; }

 private:
  bool ReadLine(std::string* line);
  bool Fill();

  plat::File file_;
  std::string buf_;
  size_t pos_ = 0;
  bool eof_ = false;
  bool failed_ = false;
  bool bomChecked_ = false;  // the first line was looked at for a byte-order mark
  uint64_t skipped_ = 0;
  std::string key_, value_, line_;
};

// Collects entries in call order and writes them as one file. Line feeds and
// NUL bytes inside keys or values are written as blanks so that an entry stays
// one line; anything the reader can return is written back unchanged.
class CKeyValueWriter {
 public:
  void Add(std::string_view key, std::string_view value);
  void Add(std::string_view key, const char* value) { Add(key, std::string_view(value)); }
  void Add(std::string_view key, int32_t value);
  void Add(std::string_view key, uint32_t value);
  void Add(std::string_view key, int64_t value);
  void Add(std::string_view key, uint64_t value);
  // Replaces the file as a whole: written under a temporary name, synced and
  // renamed, so a crash leaves the old or the new file. privateMode: 0600.
  bool Write(std::string_view path, bool privateMode = false) const;
  const std::string& Contents() const { return text_; }
  void Clear() { text_.clear(); }

 private:
  void AddRaw(std::string_view key, std::string_view value);
  std::string text_;
};
