#include "platform/base/Text.h"

#include <locale.h>
#include <wctype.h>

#include <cstdint>

namespace plat {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at s[i]. Returns its length, or 0 when the bytes
// there are not well-formed UTF-8 (overlong forms, surrogates and values above
// U+10FFFF included).
size_t DecodeOne(std::string_view s, size_t i, char32_t* cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  size_t len;
  char32_t c;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, c = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, c = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, c = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *cp = c;
  return len;
}

void AppendUtf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

size_t Utf8Length(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

// The C.UTF-8 locale carries Unicode's simple case mapping and does not depend
// on the user's locale settings. Created once, never freed.
locale_t CaseLocale() {
  static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return loc;
}

// Hand-made mapping for the scripts the program must always handle (Latin-1,
// Latin Extended-A, modern Greek, Cyrillic), used only when the C.UTF-8
// locale is missing.
char32_t FallbackUpper(char32_t c) {
  if (c >= 'a' && c <= 'z') return c - 0x20;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
  if (c == 0xFF) return 0x178;
  if (c == 0xB5) return 0x39C;  // micro sign
  if (c >= 0x100 && c <= 0x137 && c != 0x130 && c != 0x131) return c & ~1u;
  if (c >= 0x139 && c <= 0x148) return (c & 1) ? c : c - 1;
  if (c >= 0x14A && c <= 0x177) return c & ~1u;
  if (c == 0x17A || c == 0x17C || c == 0x17E) return c - 1;
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return c - 0x20;
  if (c == 0x3C2) return 0x3A3;
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return c - 0x25;
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return c - 0x3F;
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  if (((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x4FF)) &&
      (c & 1))
    return c - 1;
  if (c >= 0x4C1 && c <= 0x4CE && !(c & 1)) return c - 1;
  if (c == 0x4CF) return 0x4C0;
  return c;
}

char32_t FallbackLower(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 0x20;
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 0x20;
  if (c == 0x178) return 0xFF;
  if (c >= 0x100 && c <= 0x137 && c != 0x130 && c != 0x131) return c | 1u;
  if (c >= 0x139 && c <= 0x148) return (c & 1) ? c + 1 : c;
  if (c >= 0x14A && c <= 0x177) return c | 1u;
  if (c == 0x179 || c == 0x17B || c == 0x17D) return c + 1;
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;
  if (c == 0x386) return 0x3AC;
  if (c >= 0x388 && c <= 0x38A) return c + 0x25;
  if (c == 0x38C) return 0x3CC;
  if (c == 0x38E || c == 0x38F) return c + 0x3F;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  if (((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x4FF)) &&
      !(c & 1))
    return c + 1;
  if (c >= 0x4C1 && c <= 0x4CE && (c & 1)) return c + 1;
  if (c == 0x4C0) return 0x4CF;
  return c;
}

// Maps every character of the BMP; a mapping that would change the length of
// the character's UTF-8 form (dotless i, long s, Kelvin sign ...) is not
// applied, so a mapped string keeps the byte offsets of the original.
// Invalid bytes pass through unchanged.
std::string MapCase(std::string_view s, bool upper) {
  std::string out;
  out.reserve(s.size());
  const locale_t loc = CaseLocale();
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      char c = s[i];
      if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
      if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
      out.push_back(c);
      ++i;
      continue;
    }
    char32_t cp;
    const size_t n = DecodeOne(s, i, &cp);
    if (n == 0) {
      out.push_back(s[i]);
      ++i;
      continue;
    }
    char32_t m = cp;
    if (cp < 0x10000) {
      if (loc) {
        m = static_cast<char32_t>(upper ? towupper_l(static_cast<wint_t>(cp), loc)
                                        : towlower_l(static_cast<wint_t>(cp), loc));
      } else {
        m = upper ? FallbackUpper(cp) : FallbackLower(cp);
      }
      if (m >= 0x10000 || Utf8Length(m) != n) m = cp;
    }
    if (m == cp) {
      out.append(s.substr(i, n));
    } else {
      AppendUtf8(&out, m);
    }
    i += n;
  }
  return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view s, bool* ok) {
  std::u16string out;
  out.reserve(s.size());
  bool good = true;
  for (size_t i = 0; i < s.size();) {
    char32_t cp;
    size_t n = DecodeOne(s, i, &cp);
    if (n == 0) {
      good = false;
      cp = kReplacement;
      n = 1;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  if (ok) *ok = good;
  return out;
}

std::string Utf16ToUtf8(std::u16string_view s, bool* ok) {
  std::string out;
  out.reserve(s.size() * 3 / 2);
  bool good = true;
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      good = false;
      c = kReplacement;
    }
    AppendUtf8(&out, c);
  }
  if (ok) *ok = good;
  return out;
}

bool IsValidUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t cp;
    const size_t n = DecodeOne(s, i, &cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string ToUpper(std::string_view s) { return MapCase(s, true); }
std::string ToLower(std::string_view s) { return MapCase(s, false); }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;  // mapping keeps byte lengths
  return ToUpper(a) == ToUpper(b);
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (prefix.size() > s.size()) return false;
  // The prefix must end where a character of s ends.
  if (prefix.size() < s.size() && (static_cast<unsigned char>(s[prefix.size()]) & 0xC0) == 0x80)
    return false;
  return ToUpper(s.substr(0, prefix.size())) == ToUpper(prefix);
}

std::string TrimBlanks(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

std::string TrimSpace(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && IsSpace(s[b])) ++b;
  while (e > b && IsSpace(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

}  // namespace plat
