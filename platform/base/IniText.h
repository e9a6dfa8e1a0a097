// Internal: a small INI reader on native files and text, for the volume table
// (which cannot use the profile functions: they resolve paths through it).
// Sections and keys match without regard to ASCII case; the first wins.
#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plat::detail {

struct IniSection {
  std::string name;
  std::vector<std::pair<std::string, std::string>> entries;  // trimmed, unquoted
  // Value of key, or fallback when missing.
  std::string Get(std::string_view key, std::string_view fallback = {}) const;
  bool Has(std::string_view key) const;
};

// Parses INI text (CR/LF or LF; ";" and "#" lines are comments). A later
// section of the same name is ignored, as the profile functions do.
std::vector<IniSection> ParseIni(std::string_view text);
const IniSection* FindSection(const std::vector<IniSection>& ini, std::string_view name);
bool EqualsAsciiNoCase(std::string_view a, std::string_view b);

// Whole native file into *out; false when it cannot be read. Files larger
// than maxBytes are refused.
bool ReadNativeFile(const std::string& path, std::string* out, size_t maxBytes = 16u << 20);
// Writes a native file through a temporary file renamed into place.
bool WriteNativeFileAtomic(const std::string& path, std::string_view content, int mode = 0600);

}  // namespace plat::detail
