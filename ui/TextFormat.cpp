#include "ui/TextFormat.h"

#include <cctype>
#include <cstring>
#include <vector>

std::string FormatText(std::string_view pattern, std::initializer_list<std::string> values) {
  const std::vector<std::string> args(values);
  size_t next = 0;
  std::string out;
  out.reserve(pattern.size() + 32);
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // Flags, width, precision and length, then the conversion letter.
    size_t j = i + 1;
    while (j < pattern.size() && std::strchr("-+ #0123456789.lhLIqjzt", pattern[j]) != nullptr) {
      ++j;
    }
    if (j < pattern.size() && std::isalpha(static_cast<unsigned char>(pattern[j])) != 0) {
      if (next < args.size()) out += args[next];
      ++next;
      i = j;
    } else {
      out += c;  // a lone percent sign stays as it is
    }
  }
  return out;
}
