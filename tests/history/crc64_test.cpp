// The path hash: CRC-64/WE, checked against its catalogue value and against a
// bit-by-bit implementation, and over UTF-16LE bytes of the exact path.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "JournalBytes.h"
#include "history/Crc64.h"

TEST(Crc64, CatalogueCheckValueAndEmptyInput) {
  EXPECT_EQ(Crc64("123456789", 9), 0x62EC59E3F1A4F00Aull);
  EXPECT_EQ(Crc64("", 0), 0ull);  // preset and final complement cancel out
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

TEST(Crc64, PathHashIsOverUtf16LeBytesWithoutTerminatorAndKeepsCase) {
  const std::u16string path = u"C:\\Users\\ann\\Report.doc";
  EXPECT_EQ(PathHash(path), jb::SlowCrc64We(jb::Utf16Le(path)));
  EXPECT_NE(PathHash(path), PathHash(u"C:\\USERS\\ANN\\REPORT.DOC"));
  // Non-ASCII units contribute both bytes; UTF-8 input hashes the same units.
  const std::u16string accented = u"C:\\Fotos\\Été\\\u00e9\u4e2d.jpg";
  EXPECT_EQ(PathHash(accented), jb::SlowCrc64We(jb::Utf16Le(accented)));
  EXPECT_EQ(PathHashUtf8("C:\\Fotos\\\xc3\x89t\xc3\xa9\\\xc3\xa9\xe4\xb8\xad.jpg"),
            PathHash(accented));
}
