#include <charconv>
#include <cstdio>

#include "common/Texts.h"
#include "platform/volumes/Paths.h"

namespace {

// Two decimals with "." whatever the process locale (the GUI sets one).
std::string TwoDecimals(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 2);
  return std::string(buf, r.ptr);
}

}  // namespace

std::string FormatSize(uint64_t size, std::string_view unit, bool thousands) {
  std::string u(unit);
  if (u.empty()) u = GetText("UTIL_FUNCTIONS", "SIZE_UNIT");
  char buf[32];
  if ((size >> 32) == 0) {
    const uint32_t s = static_cast<uint32_t>(size);
    if (s < 1024) {
      std::snprintf(buf, sizeof buf, "%u ", s);
      return buf + u;
    }
    if (s < 0x100000) {
      std::snprintf(buf, sizeof buf, "%u K", s >> 10);
      return buf + u;
    }
    if (s < 0x40000000) {
      if (!thousands) {
        std::snprintf(buf, sizeof buf, "%u M", s >> 20);
      } else {
        const uint32_t thousandths = (((s >> 10) & 1023) * 1000) >> 10;
        std::snprintf(buf, sizeof buf, "%u,%03u K", s >> 20, thousandths);
      }
      return buf + u;
    }
  }
  if ((size >> 32) < 0x100) return TwoDecimals(static_cast<double>(size) / 1073741824.0) + " G" + u;
  return TwoDecimals(static_cast<double>(size) / 1099511627776.0) + " T" + u;
}

std::string FormatDuration(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  const long long h = seconds / 3600;
  const long long m = (seconds % 3600) / 60;
  const long long s = seconds % 60;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2lldh %.2lldmin %.2llds", h, m, s);
  return buf;
}

std::string ReadablePath(const std::string& text) {
  std::string native;
  return plat::ToNativePath(text, &native) ? native : text;
}
