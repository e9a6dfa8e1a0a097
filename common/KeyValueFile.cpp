#include "common/KeyValueFile.h"

#include <limits>

#include "platform/base/Text.h"

namespace {

constexpr size_t kChunk = 16 * 1024;

// Blanks, tabs and carriage returns frame lines, keys and values; a carriage
// return is never part of a key or a value (CRLF files, stray CRs).
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view TrimBlanksView(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

template <typename T>
T ParseDecimal(std::string_view value, T def) {
  if (value.empty()) return def;
  size_t i = 0;
  auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (i < value.size() && isSpace(value[i])) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  // Accumulate towards the sign so that the most negative value fits.
  constexpr T kMax = std::numeric_limits<T>::max();
  constexpr T kMin = std::numeric_limits<T>::min();
  T result = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    const T digit = value[i] - '0';
    if (negative) {
      if (result < (kMin + digit) / 10) return kMin;
      result = result * 10 - digit;
    } else {
      if (result > (kMax - digit) / 10) return kMax;
      result = result * 10 + digit;
    }
  }
  return result;
}

std::string OneLine(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c == '\n' || c == '\0') c = ' ';
  return out;
}

}  // namespace

int32_t KeyValueToInt(std::string_view value, int32_t def) {
  return ParseDecimal<int32_t>(value, def);
}

int64_t KeyValueToInt64(std::string_view value, int64_t def) {
  return ParseDecimal<int64_t>(value, def);
}

bool CKeyValueReader::Open(std::string_view path) {
  Close();
  return file_.Open(path, plat::File::kRead, plat::File::kOpenExisting);
}

void CKeyValueReader::Close() {
  file_.Close();
  buf_.clear();
  pos_ = 0;
  eof_ = false;
  failed_ = false;
  bomChecked_ = false;
  skipped_ = 0;
  key_.clear();
  value_.clear();
  line_.clear();
}

// Appends the next chunk to the buffer; false when nothing more can be read.
bool CKeyValueReader::Fill() {
  if (eof_) return false;
  if (pos_ > 0) {
    buf_.erase(0, pos_);
    pos_ = 0;
  }
  const size_t old = buf_.size();
  buf_.resize(old + kChunk);
  size_t got = 0;
  if (!file_.IsOpen() || !file_.Read(buf_.data() + old, kChunk, &got)) {
    failed_ = file_.IsOpen();
    got = 0;
  }
  buf_.resize(old + got);
  if (got == 0) eof_ = true;
  return got > 0;
}

bool CKeyValueReader::ReadLine(std::string* line) {
  for (;;) {
    const size_t nl = buf_.find('\n', pos_);
    if (nl != std::string::npos) {
      const size_t len = nl - pos_;
      const size_t start = pos_;
      pos_ = nl + 1;
      if (len > kMaxLine) {
        ++skipped_;
        continue;
      }
      line->assign(buf_, start, len);
      return true;
    }
    const size_t pending = buf_.size() - pos_;
    if (pending > kMaxLine) {
      // Too long to be an entry: drop it up to its line end, keep what follows.
      ++skipped_;
      buf_.clear();
      pos_ = 0;
      for (;;) {
        if (!Fill()) return false;
        const size_t end = buf_.find('\n');
        if (end != std::string::npos) {
          pos_ = end + 1;
          break;
        }
        buf_.clear();
      }
      continue;
    }
    if (eof_ || !Fill()) {
      if (pending == 0) return false;
      line->assign(buf_, pos_, pending);
      pos_ = buf_.size();
      return true;
    }
  }
}

bool CKeyValueReader::Next(std::string* key, std::string* value) {
  std::string raw;
  while (ReadLine(&raw)) {
    std::string_view text(raw);
    // A byte-order mark that an editor put at the start of the file.
    if (!bomChecked_ && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    bomChecked_ = true;
    const size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    if (text.empty() || text.front() == '#' || text.front() == '!') continue;
    if (plat::IsValidUtf8(text)) {
      line_.assign(text);
    } else {
      line_ = plat::Utf16ToUtf8(plat::Utf8ToUtf16(text));
    }
    const std::string_view whole(line_);
    const size_t eq = whole.find('=');
    if (eq == std::string_view::npos) {
      key_.assign(whole);
      value_.clear();
    } else {
      key_.assign(TrimBlanksView(whole.substr(0, eq)));
      value_.assign(TrimBlanksView(whole.substr(eq + 1)));
    }
    if (key) *key = key_;
    if (value) *value = value_;
    return true;
  }
  key_.clear();
  value_.clear();
  line_.clear();
  return false;
}

void CKeyValueWriter::AddRaw(std::string_view key, std::string_view value) {
  if (key.empty()) return;
  text_ += OneLine(key);
  if (!value.empty()) {
    text_ += '=';
    text_ += OneLine(value);
  }
  text_ += '\n';
}

void CKeyValueWriter::Add(std::string_view key, std::string_view value) { AddRaw(key, value); }

void CKeyValueWriter::Add(std::string_view key, int32_t value) {
  AddRaw(key, std::to_string(value));
}

void CKeyValueWriter::Add(std::string_view key, uint32_t value) {
  AddRaw(key, std::to_string(value));
}

void CKeyValueWriter::Add(std::string_view key, int64_t value) {
  AddRaw(key, std::to_string(value));
}

void CKeyValueWriter::Add(std::string_view key, uint64_t value) {
  AddRaw(key, std::to_string(value));
}

bool CKeyValueWriter::Write(std::string_view path, bool privateMode) const {
  return plat::WriteFileAtomic(path, text_, privateMode);
}
