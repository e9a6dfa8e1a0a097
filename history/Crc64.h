// CRC-64 with the ECMA-182 polynomial, processed most significant bit first,
// register preset to all ones and the result complemented (CRC-64/WE). The
// journal keys every path by this hash.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr uint64_t kCrc64Poly = 0x42F0E1EBA9EA3693ull;

// Continues a running register (start with ~0, complement at the end).
uint64_t Crc64Update(uint64_t reg, const void* data, size_t n);
// The complete CRC-64/WE of a byte run.
uint64_t Crc64(const void* data, size_t n);
// The hash of a path: CRC-64/WE over its UTF-16LE bytes, no terminator, case kept.
uint64_t PathHash(std::u16string_view path);
// The same for a UTF-8 path (converted to UTF-16 first).
uint64_t PathHashUtf8(std::string_view path);
