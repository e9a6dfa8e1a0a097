#include "history/Crc64.h"

#include <array>

#include "platform/base/Text.h"

namespace {

constexpr std::array<uint64_t, 256> MakeTable() {
  std::array<uint64_t, 256> t{};
  for (uint64_t i = 0; i < 256; ++i) {
    uint64_t r = i << 56;
    for (int b = 0; b < 8; ++b) r = (r & (1ull << 63)) ? (r << 1) ^ kCrc64Poly : r << 1;
    t[i] = r;
  }
  return t;
}

constexpr std::array<uint64_t, 256> kTable = MakeTable();

inline uint64_t Step(uint64_t reg, uint8_t byte) {
  return (reg << 8) ^ kTable[static_cast<uint8_t>((reg >> 56) ^ byte)];
}

}  // namespace

uint64_t Crc64Update(uint64_t reg, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < n; ++i) reg = Step(reg, p[i]);
  return reg;
}

uint64_t Crc64(const void* data, size_t n) { return ~Crc64Update(~0ull, data, n); }

uint64_t PathHash(std::u16string_view path) {
  // Byte order fixed to little-endian whatever the host is.
  uint64_t reg = ~0ull;
  for (char16_t u : path) {
    reg = Step(reg, static_cast<uint8_t>(u & 0xFF));
    reg = Step(reg, static_cast<uint8_t>(u >> 8));
  }
  return ~reg;
}

uint64_t PathHashUtf8(std::string_view path) { return PathHash(plat::Utf8ToUtf16(path)); }
