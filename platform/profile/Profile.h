// Profile (INI) files with the semantics of the Windows profile functions:
// sections and keys match without regard to case, the first occurrence wins,
// a write changes one line in place and keeps the rest of the file (written
// whole to a temporary file and renamed over the old one), a missing file or
// key gives the caller's default. Paths are system paths. Text is UTF-8.
#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plat {

// Values are trimmed of blanks; one pair of enclosing quotes is removed. At
// most maxChars characters are returned (longer values are cut).
std::string GetProfileString(std::string_view path, std::string_view section, std::string_view key,
                             std::string_view fallback, size_t maxChars = 1023);
// Decimal (optional sign) leading digits; the default when missing or no digits.
int GetProfileInt(std::string_view path, std::string_view section, std::string_view key,
                  int fallback);
// The same for files the program only reads (its texts and side files): the
// text read is kept and used again while the file's identity, size and times
// stay the same, so a call costs one status call instead of a read, and no
// call at all within a second of the last status call: an edit shows within
// a second.
std::string GetKeptProfileString(std::string_view path, std::string_view section,
                                 std::string_view key, std::string_view fallback,
                                 size_t maxChars = 1023);
int GetKeptProfileInt(std::string_view path, std::string_view section, std::string_view key,
                      int fallback);
// Drops every kept text: the next call looks at and reads its file.
void ForgetKeptProfiles();
// value null removes the key; key null removes the whole section. Creates the
// file (and the section) when missing. False when it cannot be written.
bool WriteProfileString(std::string_view path, std::string_view section, const char* key,
                        const char* value);
bool WriteProfileInt(std::string_view path, std::string_view section, std::string_view key,
                     int value);
std::vector<std::string> GetProfileSectionNames(std::string_view path);
std::vector<std::pair<std::string, std::string>> GetProfileSection(std::string_view path,
                                                                   std::string_view section);

}  // namespace plat
