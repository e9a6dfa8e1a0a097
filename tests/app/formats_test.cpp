#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/Texts.h"
#include "support/TempDir.h"

namespace {

TEST(FormatSize, BytesKilobytesAndMegabytes) {
  EXPECT_EQ(FormatSize(0, "B", false), "0 B");
  EXPECT_EQ(FormatSize(1023, "B", false), "1023 B");
  EXPECT_EQ(FormatSize(1024, "B", false), "1 KB");
  EXPECT_EQ(FormatSize(1048575, "B", false), "1023 KB");
  EXPECT_EQ(FormatSize(1048576, "B", false), "1 MB");
  EXPECT_EQ(FormatSize(1073741823, "B", false), "1023 MB");
  // Below 1 MiB the thousands form changes nothing.
  EXPECT_EQ(FormatSize(1048575, "B", true), "1023 KB");
}

TEST(FormatSize, ThousandsFormScalesTheKilobyteRest) {
  EXPECT_EQ(FormatSize(1048576, "B", true), "1,000 KB");
  EXPECT_EQ(FormatSize(1572864, "B", true), "1,500 KB");
  // 1 MiB + 1 KiB: (1 * 1000) >> 10 truncates to 0.
  EXPECT_EQ(FormatSize(1048576 + 1024, "B", true), "1,000 KB");
  EXPECT_EQ(FormatSize(1048576 + 2048, "B", true), "1,001 KB");
  // 1023 MiB + 1023 KiB.
  EXPECT_EQ(FormatSize(1073741823, "B", true), "1023,999 KB");
}

TEST(FormatSize, GigabytesAndTerabytesRoundToTwoDecimals) {
  EXPECT_EQ(FormatSize(1073741824ull, "B", false), "1.00 GB");
  EXPECT_EQ(FormatSize(1073741824ull, "B", true), "1.00 GB");
  EXPECT_EQ(FormatSize(1610612736ull, "B", false), "1.50 GB");
  EXPECT_EQ(FormatSize(0xFFFFFFFFull, "B", false), "4.00 GB");
  EXPECT_EQ(FormatSize((1ull << 40) - 1, "B", false), "1024.00 GB");
  EXPECT_EQ(FormatSize(1ull << 40, "B", false), "1.00 TB");
  EXPECT_EQ(FormatSize(5ull << 40, "B", false), "5.00 TB");
  EXPECT_EQ(FormatSize(UINT64_MAX, "B", false), "16777216.00 TB");
}

TEST(FormatSize, HighHalfSetGoesStraightToGigabytes) {
  // Low half 5 bytes, high half 1: 4 GiB + 5 bytes, not "5 B".
  EXPECT_EQ(FormatSize((1ull << 32) + 5, "B", false), "4.00 GB");
  EXPECT_EQ(FormatSize((1ull << 32) + 2048, "B", true), "4.00 GB");
}

// The GUI takes the user's locale; a German one prints "1,50" with printf.
TEST(FormatSize, DecimalPointIgnoresTheLocale) {
  bvtest::TempDir dir;
  const std::string cmd =
      "localedef -i de_DE -f UTF-8 '" + dir.NativeOf("de_DE.UTF-8") + "' >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "localedef cannot build de_DE";
  const char* oldPath = std::getenv("LOCPATH");
  const std::string savedPath = oldPath ? oldPath : "";
  setenv("LOCPATH", dir.Native().c_str(), 1);
  const std::string old = std::setlocale(LC_NUMERIC, nullptr);
  ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.2f", 1.5);
  const std::string got = FormatSize(1610612736ull, "B", false);
  std::setlocale(LC_NUMERIC, old.c_str());
  if (oldPath)
    setenv("LOCPATH", savedPath.c_str(), 1);
  else
    unsetenv("LOCPATH");
  EXPECT_STREQ(probe, "1,50");  // the locale really is in effect
  EXPECT_EQ(got, "1.50 GB");
}

TEST(FormatSize, EmptyUnitTakesTheByteWordOfTheTextStore) {
  bvtest::TempDir dir;
  dir.Write("BV_Texts.ini", "[UTIL_FUNCTIONS]\nSIZE_UNIT=Byte\n");
  SetProgramFolderForTests(dir.System());
  EXPECT_EQ(FormatSize(10, "", false), "10 Byte");
  EXPECT_EQ(FormatSize(2048, "", false), "2 KByte");
  EXPECT_EQ(FormatSize(10, "b", false), "10 b");
  SetProgramFolderForTests("");
}

TEST(FormatDuration, FieldsAndGrowingHours) {
  EXPECT_EQ(FormatDuration(0), "00h 00min 00s");
  EXPECT_EQ(FormatDuration(59), "00h 00min 59s");
  EXPECT_EQ(FormatDuration(60), "00h 01min 00s");
  EXPECT_EQ(FormatDuration(3599), "00h 59min 59s");
  EXPECT_EQ(FormatDuration(3600), "01h 00min 00s");
  EXPECT_EQ(FormatDuration(3661), "01h 01min 01s");
  EXPECT_EQ(FormatDuration(359999), "99h 59min 59s");
  EXPECT_EQ(FormatDuration(360000), "100h 00min 00s");
  EXPECT_EQ(FormatDuration(-5), "00h 00min 00s");
}

}  // namespace
