#include "plans/ExtensionList.h"

#include <cstdio>

#include "common/EngineEvents.h"
#include "common/Texts.h"
#include "platform/base/Errors.h"
#include "platform/base/Text.h"
#include "platform/files/Files.h"
#include "platform/profile/Profile.h"

namespace {

constexpr char kMissingBar[] = "Missing | in Ext.txt file!";

// The file's bytes as UTF-8 text without a byte-order mark; bytes that are
// not valid become U+FFFD.
std::string DecodeText(std::string_view bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::u16string wide;
    wide.reserve(bytes.size() / 2);
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                           (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    return plat::Utf16ToUtf8(wide);
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  if (plat::IsValidUtf8(bytes)) return std::string(bytes);
  return plat::Utf16ToUtf8(plat::Utf8ToUtf16(bytes));
}

size_t CharCount(std::string_view s) {
  size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// Comma-separated fields; a field in double quotes may hold commas, and a
// doubled quote inside it stands for one quote.
std::vector<std::string> SplitFields(std::string_view line) {
  std::vector<std::string> fields;
  size_t pos = 0;
  while (true) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    std::string field;
    if (pos < line.size() && line[pos] == '"') {
      ++pos;
      while (pos < line.size()) {
        if (line[pos] == '"') {
          if (pos + 1 < line.size() && line[pos + 1] == '"') {
            field.push_back('"');
            pos += 2;
            continue;
          }
          ++pos;
          break;
        }
        field.push_back(line[pos++]);
      }
      // Anything between the closing quote and the next comma is ignored.
      while (pos < line.size() && line[pos] != ',') ++pos;
    } else {
      const size_t end = line.find(',', pos);
      const size_t stop = end == std::string_view::npos ? line.size() : end;
      field = plat::TrimBlanks(line.substr(pos, stop - pos));
      pos = stop;
    }
    fields.push_back(std::move(field));
    if (pos >= line.size()) break;
    ++pos;  // the comma
  }
  return fields;
}

void ParseLine(std::string_view line, std::vector<ExtensionCategory>* out) {
  const std::vector<std::string> fields = SplitFields(line);
  if (fields.empty() || fields[0].empty()) return;
  ExtensionCategory category;
  category.name = fields[0];
  for (size_t i = 1; i < fields.size(); ++i) {
    const std::string& f = fields[i];
    if (f.empty()) continue;
    const size_t bar = f.find('|');
    if (bar == std::string::npos) {
      PostEvent(kEvInvalidContent, kMissingBar, 0, f);
      continue;
    }
    category.entries.push_back(
        {plat::TrimBlanks(f.substr(0, bar)), plat::TrimBlanks(f.substr(bar + 1))});
  }
  out->push_back(std::move(category));
}

}  // namespace

std::vector<ExtensionCategory> ParseExtensionList(std::string_view bytes) {
  const std::string text = DecodeText(bytes);
  std::vector<ExtensionCategory> list;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (plat::TrimSpace(line).empty()) continue;
    if (CharCount(line) > kMaxExtensionLine) {
      PostEvent(kEvInvalidContent, "Line too long in Ext.txt file!", 0,
                std::string(line.substr(0, 64)));
      continue;
    }
    ParseLine(line, &list);
  }
  return list;
}

bool ReadExtensionList(std::string_view path, std::vector<ExtensionCategory>* out) {
  if (!out) return false;
  out->clear();
  std::string bytes;
  if (!plat::ReadWholeFile(path, &bytes, kMaxExtensionFileBytes)) {
    if (plat::GetLastError() == 223) {
      PostEvent(kEvInvalidContent, "Ext.txt file too large!", 0, path);
    } else {
      PostEvent(kEvUnreadablePlanFile, path);
    }
    return false;
  }
  *out = ParseExtensionList(bytes);
  return true;
}

bool ReadExtensionList(std::vector<ExtensionCategory>* out) {
  return ReadExtensionList(GetExtensionListPath(), out);
}

std::vector<std::string> ChosenExtensionMasks(std::string_view uiIniPath,
                                              const std::vector<ExtensionCategory>& list) {
  std::vector<std::string> masks;
  for (const ExtensionCategory& c : list) {
    if (plat::GetProfileInt(uiIniPath, "FileTypes", c.name, 0) <= 0) continue;
    for (size_t i = 0; i < c.entries.size(); ++i) {
      char key[32];
      std::snprintf(key, sizeof key, "Item%zu", i + 1);
      if (plat::GetProfileInt(uiIniPath, c.name, key, 0) != 1) continue;
      if (!c.entries[i].mask.empty()) masks.push_back(c.entries[i].mask);
    }
  }
  return masks;
}
