#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "common/KeyValueFile.h"
#include "common/PlanSettings.h"
#include "common/Settings.h"
#include "support/TempDir.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

// A literal with its embedded NUL bytes, without the closing one.
template <size_t N>
std::string Bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

Entries ReadAll(const std::string& systemPath, uint64_t* skipped = nullptr) {
  CKeyValueReader r;
  Entries out;
  EXPECT_TRUE(r.Open(systemPath));
  std::string k, v;
  while (r.Next(&k, &v)) out.emplace_back(k, v);
  EXPECT_FALSE(r.Failed());
  if (skipped) *skipped = r.SkippedLines();
  return out;
}

TEST(KeyValueReader, TrimsSplitsAndSkipsCommentsAndBlankLines) {
  struct Case {
    const char* what;
    std::string text;
    Entries want;
  };
  const Case cases[] = {
      {"mixed",
       "  Name =  My plan  \r\n# comment = x\n   ! bang\n\n \t \r\n\t a=b=c\nlonely line\n"
       "num=\n=novalue\nlast=1",  // no line end at the end
       {{"Name", "My plan"},
        {"a", "b=c"},
        {"lonely line", ""},
        {"num", ""},
        {"", "novalue"},
        {"last", "1"}}},
      {"carriage returns never belong to keys or values",
       "\r=\n\r#hidden=1\na\r=\rb\r\r\n\r\r\n\rc\rd\r\n",
       {{"", ""}, {"a", "b"}, {"c\rd", ""}}},
      {"empty file", "", {}},
      {"blank lines and comments only", "\n\r\n   \n#x\n", {}},
  };
  bvtest::TempDir dir;
  for (const Case& c : cases) {
    dir.Write("a.ini", c.text);
    EXPECT_EQ(ReadAll(dir.SystemOf("a.ini")), c.want) << c.what;
  }
  CKeyValueReader r;
  EXPECT_FALSE(r.Open(dir.SystemOf("missing.ini")));
}

// Whatever the reader returns, the writer writes back unchanged (kept inputs
// include one where a key made of a carriage return came back as nothing).
TEST(KeyValueFormat, KeptInputsSurviveWriteAndRead) {
  bvtest::TempDir dir;
  const auto data = std::filesystem::path(BV_TEST_DATA_DIR);
  int seen = 0;
  for (const char* sub : {"keyvalue", "rules"}) {
    for (const auto& e : std::filesystem::directory_iterator(data / sub)) {
      ++seen;
      Entries first = ReadAll(bvtest::NativeToSystemC(e.path().string()));
      CKeyValueWriter w;
      Entries want;
      for (const auto& [k, v] : first) {
        w.Add(k, v);
        if (!k.empty()) want.emplace_back(k, v);
      }
      ASSERT_TRUE(w.Write(dir.SystemOf("out.ini")));
      EXPECT_EQ(ReadAll(dir.SystemOf("out.ini")), want) << e.path();
    }
  }
  EXPECT_GT(seen, 2);
}

TEST(KeyValueReader, ValueAccessorsFollowTheLastEntry) {
  bvtest::TempDir dir;
  dir.Write("a.ini", "n= -17x\nempty=\nbig=123456789012\n");
  CKeyValueReader r;
  ASSERT_TRUE(r.Open(dir.SystemOf("a.ini")));
  ASSERT_TRUE(r.Next(nullptr, nullptr));
  EXPECT_EQ(r.Key(), "n");
  EXPECT_EQ(r.Text(), "-17x");
  EXPECT_EQ(r.Int(5), -17);
  ASSERT_TRUE(r.Next(nullptr, nullptr));
  EXPECT_EQ(r.Int(5), 5);
  EXPECT_EQ(r.Int64(-9), -9);
  ASSERT_TRUE(r.Next(nullptr, nullptr));
  EXPECT_EQ(r.Int64(0), 123456789012LL);
  EXPECT_EQ(r.Line(), "big=123456789012");
  EXPECT_FALSE(r.Next(nullptr, nullptr));
  EXPECT_FALSE(r.Next(nullptr, nullptr));  // stays at the end
}

TEST(KeyValueToInt, AtoiSemanticsWithSaturation) {
  const std::pair<const char*, int32_t> ints[] = {{"", 7},
                                                  {"42", 42},
                                                  {"+5", 5},
                                                  {"\t-12abc", -12},
                                                  {"abc", 0},
                                                  {"-", 0},
                                                  {"1 2", 1},
                                                  {"2147483647", INT32_MAX},
                                                  {"2147483648", INT32_MAX},
                                                  {"-2147483648", INT32_MIN},
                                                  {"-99999999999999999999", INT32_MIN}};
  for (const auto& [text, want] : ints) EXPECT_EQ(KeyValueToInt(text, 7), want) << text;
  const std::pair<const char*, int64_t> wide[] = {{"", -1},
                                                  {"1700000000123", 1700000000123LL},
                                                  {"9223372036854775807", INT64_MAX},
                                                  {"9223372036854775808", INT64_MAX},
                                                  {"-9223372036854775808", INT64_MIN},
                                                  {"-9223372036854775809", INT64_MIN}};
  for (const auto& [text, want] : wide) EXPECT_EQ(KeyValueToInt64(text, -1), want) << text;
}

TEST(KeyValueReader, BinaryJunkKeepsTheGoodLines) {
  bvtest::TempDir dir;
  std::string junk = "a=1\n";
  junk += Bytes("\0\0\0garbage=\xff\n");
  junk += Bytes("k=v\0hidden\n");
  junk += "bad=\xff\xfe\x80 x\n";
  junk += "b=2\n";
  dir.Write("bin.ini", junk);
  Entries got = ReadAll(dir.SystemOf("bin.ini"));
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], (std::pair<std::string, std::string>("a", "1")));
  EXPECT_EQ(got[1], (std::pair<std::string, std::string>("k", "v")));  // NUL ends the text
  EXPECT_EQ(got[2].first, "bad");
  EXPECT_NE(got[2].second.find("\xEF\xBF\xBD"), std::string::npos);  // U+FFFD
  EXPECT_NE(got[2].second.find(" x"), std::string::npos);
  EXPECT_EQ(got[3], (std::pair<std::string, std::string>("b", "2")));
}

TEST(KeyValueReader, OverlongLinesAreSkippedWhole) {
  bvtest::TempDir dir;
  const std::string huge(10 * 1024 * 1024, 'x');
  const std::string atLimit = "k=" + std::string(CKeyValueReader::kMaxLine - 2, 'y');
  {
    std::ofstream out(dir.NativeOf("long.ini"), std::ios::binary);
    out << huge << "=first\n"  // at the start
        << "a=1\n"
        << huge << "\r\n"   // in the middle
        << atLimit << "\n"  // exactly at the limit: kept
        << "k2=" << std::string(CKeyValueReader::kMaxLine, 'z') << "\n"  // one beyond
        << "b=2\n"
        << huge;  // at the end, no line end
  }
  uint64_t skipped = 0;
  Entries got = ReadAll(dir.SystemOf("long.ini"), &skipped);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].first, "a");
  EXPECT_EQ(got[1].first, "k");
  EXPECT_EQ(got[1].second.size(), CKeyValueReader::kMaxLine - 2);
  EXPECT_EQ(got[2], (std::pair<std::string, std::string>("b", "2")));
  EXPECT_EQ(skipped, 4u);
}

TEST(KeyValueReader, HundredMegabytesStreamThrough) {
  bvtest::TempDir dir;
  const int kLines = 100 * 1024 * 1024 / 25;
  {
    std::ofstream out(dir.NativeOf("big.ini"), std::ios::binary);
    char line[64];
    for (int i = 0; i < kLines; ++i) {
      int n = snprintf(line, sizeof line, "key%09d=value%06d\n", i, i % 1000000);
      out.write(line, n);
    }
  }
  ASSERT_GE(std::filesystem::file_size(dir.NativeOf("big.ini")), 100u * 1024 * 1024);
  CKeyValueReader r;
  ASSERT_TRUE(r.Open(dir.SystemOf("big.ini")));
  int count = 0;
  std::string k, v, lastKey;
  while (r.Next(&k, &v)) {
    ++count;
    lastKey = k;
  }
  EXPECT_EQ(count, kLines);
  char want[32];
  snprintf(want, sizeof want, "key%09d", kLines - 1);
  EXPECT_EQ(lastKey, want);
}

TEST(KeyValueWriter, WritesEntriesInOrder) {
  bvtest::TempDir dir;
  CKeyValueWriter w;
  w.Add("Name", "My plan");
  w.Add("Empty", "");
  w.Add("", "dropped");
  w.Add("Id", uint32_t{4000000000u});
  w.Add("Neg", int32_t{-3});
  w.Add("Time", int64_t{-1700000000123});
  w.Add("Big", uint64_t{18446744073709551615ull});
  w.Add("Multi", "one\r\ntwo");
  ASSERT_TRUE(w.Write(dir.SystemOf("w.ini")));
  EXPECT_EQ(dir.Read("w.ini"),
            "Name=My plan\nEmpty\nId=4000000000\nNeg=-3\nTime=-1700000000123\n"
            "Big=18446744073709551615\nMulti=one\r two\n");
  Entries got = ReadAll(dir.SystemOf("w.ini"));
  ASSERT_EQ(got.size(), 7u);
  EXPECT_EQ(got[1], (std::pair<std::string, std::string>("Empty", "")));
  CKeyValueReader r;
  ASSERT_TRUE(r.Open(dir.SystemOf("w.ini")));
  while (r.Next(nullptr, nullptr) && r.Key() != "Time") {
  }
  EXPECT_EQ(r.Int64(0), -1700000000123LL);
}

TEST(KeyValueWriter, ReplacesTheOldFileWhole) {
  bvtest::TempDir dir;
  dir.Write("f.ini", "old=1\nmore=2\nevenmore=3\n");
  CKeyValueWriter w;
  w.Add("new", 1);
  ASSERT_TRUE(w.Write(dir.SystemOf("f.ini")));
  EXPECT_EQ(dir.Read("f.ini"), "new=1\n");
  // No temporary file is left beside it.
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.Native())) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 1);
  // A folder that does not exist: failure, nothing made.
  EXPECT_FALSE(w.Write(dir.SystemOf("nope/f.ini")));
  EXPECT_FALSE(std::filesystem::exists(dir.NativeOf("nope")));
}

}  // namespace
