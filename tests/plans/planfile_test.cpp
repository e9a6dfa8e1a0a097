// Settings files: the key=value format (reading, numbers, writing, kept inputs), "Plan.ini".
#include <gtest/gtest.h>

#include <climits>

#include "common/KeyValueFile.h"
#include "plans/PlanFile.h"
#include "plans/RuleFile.h"
#include "support/EventCollector.h"
#include "support/ScratchEnv.h"

using bvtest::EventCollector;
using bvtest::ReadNative;
using bvtest::WriteNative;

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

// Lines trimmed, split, skipped when comments or damaged; numbers read as atoi would.
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
  // Numbers as atoi reads them, saturated at the type's ends.
  using P = std::pair<const char*, int64_t>;
  for (const P& p : {P{"", 7}, P{"42", 42}, P{"+5", 5}, P{"\t-12abc", -12}, P{"abc", 0}, P{"-", 0},
                     P{"2147483647", INT32_MAX}, P{"2147483648", INT32_MAX},
                     P{"-2147483648", INT32_MIN}, P{"-99999999999999999999", INT32_MIN}})
    EXPECT_EQ(KeyValueToInt(p.first, 7), p.second) << p.first;
  for (const P& p : {P{"", -1}, P{"1700000000123", 1700000000123LL},
                     P{"9223372036854775807", INT64_MAX}, P{"9223372036854775808", INT64_MAX},
                     P{"-9223372036854775808", INT64_MIN}, P{"-9223372036854775809", INT64_MIN}})
    EXPECT_EQ(KeyValueToInt64(p.first, -1), p.second) << p.first;
}

// The writer replaces a file whole; what the reader returns, also from kept inputs, survives.
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
  // A rule set that loads from a kept input survives save and reload with its enabled groups.
  int seen = 0;
  for (const char* sub : {"keyvalue", "rules"}) {
    for (const auto& e :
         std::filesystem::directory_iterator(std::filesystem::path(BV_TEST_DATA_DIR) / sub)) {
      ++seen;
      const std::string input = bvtest::NativeToSystemC(e.path().string());
      CKeyValueWriter again;
      Entries want;
      for (const auto& [k, v] : ReadAll(input)) {
        again.Add(k, v);
        if (!k.empty()) want.emplace_back(k, v);
      }
      ASSERT_TRUE(again.Write(dir.SystemOf("out.ini")));
      EXPECT_EQ(ReadAll(dir.SystemOf("out.ini")), want) << e.path();
      auto rules = LoadRuleSet(input);
      if (!rules) continue;
      ASSERT_TRUE(SaveRuleSet(*rules, dir.SystemOf("re.ini"))) << e.path();
      auto reloaded = LoadRuleSet(dir.SystemOf("re.ini"));
      ASSERT_NE(reloaded, nullptr) << e.path();
      for (int32_t kind : {kRuleInclude, kRuleExclude}) {
        size_t enabled = 0;
        for (size_t i = 0; i < rules->GroupCount(kind); ++i)
          enabled += rules->Group(kind, i)->Enabled();
        EXPECT_EQ(reloaded->GroupCount(kind), enabled) << e.path();
      }
    }
  }
  EXPECT_GT(seen, 2);
}

const char kFullPlan[] =
    "Mode=1\nName=Docs\nStorageType=1\nStorePath=E:\\Store\nVersionNumber=5\n"
    "ScheduleNum=2\nScheduleUnit=3\nLastTime=1700000000\nMissingTime=12\n"
    "Enabled=0\nLastBackupTime=1700000100\n";

class PlanFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteNative(env_.Data().NativeOf("Global.ini"), "[APP]\nMaxVersionCount=10\n");
    ResetSettingsCache();
    path_ = env_.Data().SystemOf("Plan.ini");
  }
  void Put(const std::string& text) { WriteNative(env_.Data().NativeOf("Plan.ini"), text); }
  bool Read(PlanSettings* s) { return ReadPlanFile(path_, s); }
  bvtest::ScratchEnv env_;
  std::string path_;
};

TEST_F(PlanFileTest, WritesKeysInOrderAndReadsThemBack) {
  const std::string head =
      "Mode=1\nName=Docs\nStorageType=1\nStorePath=E:\\Store\nVersionNumber=4\n"
      "ScheduleNum=1\nScheduleUnit=4\nLastTime=10\nMissingTime=11\n";
  Put(head + "InitDone=0\nEnabled=1\nLastBackupTime=12\nMissScheduledBackup=1\n");
  PlanSettings s;
  ASSERT_TRUE(Read(&s));
  s.mode = 2;  // a working plan is stored idle
  EXPECT_EQ(FormatPlanFile(s),
            head + "InitDone=0\nEnabled=1\nLastBackupTime=12\nMissScheduledBackup=1\n");
  s.initialScanDone = 1;
  EXPECT_EQ(FormatPlanFile(s), head + "Enabled=1\nLastBackupTime=12\nMissScheduledBackup=1\n");
  EXPECT_EQ(FormatPlanFile(s, PlanFileStyle::kDefaultStep),
            head + "InitDone=1\nEnabled=1\nLastBackupTime=12\n");
  s.keepDays = kKeepMonth;  // written only for a plan that keeps versions by age
  s.makeRoom = 1;
  EXPECT_EQ(FormatPlanFile(s), head +
                                   "Enabled=1\nLastBackupTime=12\nMissScheduledBackup=1\n"
                                   "KeepDays=30\nMakeRoom=1\n");
  ASSERT_TRUE(WritePlanFile(path_, s));
  EXPECT_EQ(ReadNative(env_.Data().NativeOf("Plan.ini")), FormatPlanFile(s));
  PlanSettings back;
  ASSERT_TRUE(Read(&back));
  EXPECT_EQ(FormatPlanFile(back), FormatPlanFile(s));
  EXPECT_EQ(back.mode, 1);
  EXPECT_FALSE(WritePlanFile(env_.Data().SystemOf("no\\such\\folder\\Plan.ini"), s));

  // Read as kept, bounded or defaulted: InitDone, MissScheduledBackup, Mode, VersionNumber,
  // ScheduleNum, ScheduleUnit, Enabled, KeepDays (an older plan keeps its count rule), MakeRoom.
  const std::pair<std::string, std::vector<int>> reads[] = {
      {"", {1, 0, 1, 5, 2, 3, 0, kKeepByCount, 0}},
      {"Mode=2\nVersionNumber=0\nScheduleNum=0\nScheduleUnit=9\nInitDone=\nEnabled=\n"
       "MissScheduledBackup=1\nKeepDays=365\nMakeRoom=1",
       {0, 1, 1, 1, 1, 9, 1, kKeepYear, 1}},
      {"VersionNumber=99\nScheduleUnit=\nInitDone=0\nKeepDays=0",
       {0, 0, 1, 10, 2, 1, 0, kKeepAsManyAsFit, 0}},
      {"VersionNumber=\nKeepDays=12", {1, 0, 1, 3, 2, 3, 0, kKeepByCount, 0}},
  };
  for (const auto& [lines, want] : reads) {
    Put(std::string(kFullPlan) + lines + "\n");
    PlanSettings r;
    ASSERT_TRUE(Read(&r)) << lines;
    EXPECT_EQ(std::vector<int>({r.initialScanDone, r.missedScheduledRun, r.mode, r.versionNumber,
                                r.scheduleNum, r.scheduleUnit, r.enabled, r.keepDays, r.makeRoom}),
              want)
        << lines;
  }
  EventCollector events;  // bad lines and missing keys are told
  Put("Colour=blue\n" + std::string(kFullPlan) + "junk line\n");
  ASSERT_TRUE(Read(&back));
  EXPECT_EQ(back.name, "Docs");
  EXPECT_EQ(events.Texts(kEvInvalidContent),
            (std::vector<std::string>{"Invalid line in " + path_ + " Colour=blue",
                                      "Invalid line in " + path_ + " junk line"}));
  // A quiet read raises nothing, also when it fails.
  events.Clear();
  EXPECT_TRUE(ReadPlanFile(path_, &back, false));
  Put("Colour=blue\n");
  EXPECT_FALSE(ReadPlanFile(path_, &back, false));
  std::filesystem::remove(env_.Data().NativeOf("Plan.ini"));
  EXPECT_FALSE(ReadPlanFile(path_, &back, false));
  EXPECT_EQ(events.Events().size(), 0u);
  EXPECT_FALSE(Read(&back));
  EXPECT_EQ(events.CountOf(kEvUnreadablePlanFile), 1u);
  for (const char* key :  // each required key is needed
       {"Mode", "Name", "StorageType", "StorePath", "VersionNumber", "ScheduleNum", "ScheduleUnit",
        "LastTime", "MissingTime", "Enabled", "LastBackupTime"}) {
    std::string text = kFullPlan;
    const size_t at = text.find(std::string(key) + "=");
    text.erase(at, text.find('\n', at) + 1 - at);
    Put(text);
    events.Clear();
    EXPECT_FALSE(Read(&back)) << text.substr(0, 60);
    ASSERT_EQ(events.CountOf(kEvUnreadablePlanFile), 1u) << text.substr(0, 60);
    EXPECT_EQ(events.Events().back().text1, path_);
  }
}

}  // namespace
