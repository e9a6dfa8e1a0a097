// The path hash: CRC-64/WE, checked against its catalogue value and against a
// bit-by-bit implementation. (Path hashes of stored records: journal_test.)
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "JournalBytes.h"
#include "history/Crc64.h"

TEST(Crc64, CatalogueCheckValueEmptyInputAndUtf8Paths) {
  EXPECT_EQ(Crc64("123456789", 9), 0x62EC59E3F1A4F00Aull);
  EXPECT_EQ(Crc64("", 0), 0ull);  // preset and final complement cancel out
  // A UTF-8 path hashes as its UTF-16LE units.
  EXPECT_EQ(PathHashUtf8("C:\\\xc3\x89\xe4\xb8\xad.jpg"), jb::HashOf(u"C:\\\u00c9\u4e2d.jpg"));
}

TEST(Crc64, MatchesBitwiseReferenceOnRandomData) {
  std::mt19937_64 rng(7);
  for (int len : {1, 2, 7, 8, 9, 63, 64, 255, 1000, 4097}) {
    std::string data(len, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    EXPECT_EQ(Crc64(data.data(), data.size()), jb::SlowCrc64We(data)) << len;
    // Split in two: the running register continues across calls.
    size_t half = data.size() / 2;
    uint64_t reg = Crc64Update(~0ull, data.data(), half);
    reg = Crc64Update(reg, data.data() + half, data.size() - half);
    EXPECT_EQ(~reg, jb::SlowCrc64We(data)) << len;
  }
}
