#include "platform/files/UnheldNames.h"

#include <cstdio>

#include "platform/base/Text.h"

namespace plat {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one.
size_t Utf8Run(std::string_view s, size_t i) {
  for (size_t n = 1; n <= 4 && i + n <= s.size(); ++n) {
    if (IsValidUtf8(s.substr(i, n))) return n;
  }
  return 0;
}

template <typename Bad>
std::string Rewrite(std::string_view raw, Bad bad) {
  std::string out;
  for (size_t i = 0; i < raw.size();) {
    const size_t n = Utf8Run(raw, i);
    if (n == 0) {
      out += bad(static_cast<unsigned char>(raw[i]));
      ++i;
    } else {
      out.append(raw.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace

UnheldReason ReasonForName(std::string_view name) {
  if (name.find('\\') != std::string_view::npos) return UnheldReason::kBackslash;
  if (!IsValidUtf8(name)) return UnheldReason::kNotUtf8;
  return UnheldReason::kNone;
}

std::string ShownName(std::string_view raw) {
  return Rewrite(raw, [](unsigned char c) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    return std::string(hex);
  });
}

std::string StandInName(std::string_view raw) {
  std::string out = Rewrite(raw, [](unsigned char) { return std::string("_"); });
  for (char& c : out) {
    if (c == '\\') c = '_';
  }
  return out;
}

}  // namespace plat
