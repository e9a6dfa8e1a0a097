// The key=value files under every settings file: reading (trimmed, split,
// comments and damage skipped), numbers, and whole-file writing.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "common/KeyValueFile.h"
#include "support/TempDir.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

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

TEST(KeyValueReader, TrimsSplitsAndSkipsCommentsAndDamage) {
  const std::string huge(10 * 1024 * 1024, 'x');
  const std::string atLimit = "k=" + std::string(CKeyValueReader::kMaxLine - 2, 'y');
  struct Case {
    const char* what;
    std::string text;
    Entries want;
    uint64_t skipped = 0;
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
      {"NUL ends a line's text, junk keys stay apart",
       "a=1\n" + std::string("\0\0\0garbage=x\nk=v\0hidden\n", 24) + "b=2\n",
       {{"a", "1"}, {"k", "v"}, {"b", "2"}}},
      {"bytes that are not UTF-8",
       "bad=\xff\xfe\x80 x\n",
       {{"bad", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD x"}}},
      {"overlong lines are skipped whole",
       huge + "=first\na=1\n" + huge + "\r\n" + atLimit +
           "\nk2=" + std::string(CKeyValueReader::kMaxLine, 'z') + "\nb=2\n" + huge,
       {{"a", "1"}, {"k", atLimit.substr(2)}, {"b", "2"}},
       4},
  };
  bvtest::TempDir dir;
  for (const Case& c : cases) {
    dir.Write("a.ini", c.text);
    uint64_t skipped = 99;
    EXPECT_EQ(ReadAll(dir.SystemOf("a.ini"), &skipped), c.want) << c.what;
    EXPECT_EQ(skipped, c.skipped) << c.what;
  }
  CKeyValueReader r;
  EXPECT_FALSE(r.Open(dir.SystemOf("missing.ini")));
  // The accessors follow the last entry.
  dir.Write("a.ini", "n= -17x\nempty=\nbig=123456789012\n");
  ASSERT_TRUE(r.Open(dir.SystemOf("a.ini")));
  ASSERT_TRUE(r.Next(nullptr, nullptr));
  EXPECT_EQ(r.Key() + "|" + r.Text(), "n|-17x");
  EXPECT_EQ(r.Int(5), -17);
  ASSERT_TRUE(r.Next(nullptr, nullptr));
  EXPECT_EQ(r.Int(5) + r.Int64(-9), 5 - 9);
  ASSERT_TRUE(r.Next(nullptr, nullptr));
  EXPECT_EQ(r.Int64(0), 123456789012LL);
  EXPECT_EQ(r.Line(), "big=123456789012");
  EXPECT_FALSE(r.Next(nullptr, nullptr));
  EXPECT_FALSE(r.Next(nullptr, nullptr));  // stays at the end
}

TEST(KeyValueToInt, AtoiSemanticsWithSaturation) {
  const std::pair<const char*, int64_t> ints[] = {{"", 7},
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

// The writer replaces the file whole (no temporary file left, nothing made
// in a missing folder); whatever the reader returns, also from the kept
// inputs, is written back unchanged.
TEST(KeyValueWriter, ReplacesTheFileWholeAndWhatIsReadSurvives) {
  bvtest::TempDir dir;
  dir.Write("w.ini", "old=1\nmore=2\nevenmore=3\nand=4\nlonger=than the new file\n");
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
  EXPECT_EQ(ReadAll(dir.SystemOf("w.ini"))[1], (std::pair<std::string, std::string>("Empty", "")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Native()), {}), 1);
  EXPECT_FALSE(w.Write(dir.SystemOf("nope/f.ini")));
  EXPECT_FALSE(std::filesystem::exists(dir.NativeOf("nope")));

  int seen = 0;
  for (const char* sub : {"keyvalue", "rules"}) {
    for (const auto& e :
         std::filesystem::directory_iterator(std::filesystem::path(BV_TEST_DATA_DIR) / sub)) {
      ++seen;
      CKeyValueWriter again;
      Entries want;
      for (const auto& [k, v] : ReadAll(bvtest::NativeToSystemC(e.path().string()))) {
        again.Add(k, v);
        if (!k.empty()) want.emplace_back(k, v);
      }
      ASSERT_TRUE(again.Write(dir.SystemOf("out.ini")));
      EXPECT_EQ(ReadAll(dir.SystemOf("out.ini")), want) << e.path();
    }
  }
  EXPECT_GT(seen, 2);
}

}  // namespace
