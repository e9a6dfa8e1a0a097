// Text helpers: UTF-8 <-> UTF-16 and case mapping. Internal text is UTF-8
// std::string; UTF-16 appears only where a file or record format asks for it.
#pragma once
#include <string>
#include <string_view>

namespace plat {

// UTF-8 to UTF-16. Invalid sequences become U+FFFD; *ok (if given) is false then.
std::u16string Utf8ToUtf16(std::string_view s, bool* ok = nullptr);
// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD; *ok is false then.
std::string Utf16ToUtf8(std::u16string_view s, bool* ok = nullptr);
bool IsValidUtf8(std::string_view s);

// Upper case of every letter (Unicode simple case mapping for the BMP,
// locale independent), as the program compares paths and masks.
std::string ToUpper(std::string_view s);
std::string ToLower(std::string_view s);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view s, std::string_view prefix);

// Blanks and tabs removed from both ends (TrimBlanks), or any white space
// including CR/LF (TrimSpace).
std::string TrimBlanks(std::string_view s);
std::string TrimSpace(std::string_view s);

}  // namespace plat
