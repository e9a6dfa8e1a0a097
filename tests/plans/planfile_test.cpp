#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/Settings.h"
#include "plans/PlanFile.h"
#include "support/EventCollector.h"
#include "support/ScratchEnv.h"
#include "support/TempDir.h"

using bvtest::EventCollector;
using bvtest::ReadNative;
using bvtest::WriteNative;

namespace {

const char kFullPlan[] =
    "Mode=1\nName=Docs\nStorageType=1\nStorePath=E:\\Store\nVersionNumber=5\n"
    "ScheduleNum=2\nScheduleUnit=3\nLastTime=1700000000\nMissingTime=12\n"
    "Enabled=0\nLastBackupTime=1700000100\n";

class PlanFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Global.ini allows ten versions.
    WriteNative(env_.Data().NativeOf("Global.ini"), "[APP]\nMaxVersionCount=10\n");
    ResetSettingsCache();
    path_ = env_.Data().SystemOf("Plan.ini");
  }
  void Put(const std::string& text) { WriteNative(env_.Data().NativeOf("Plan.ini"), text); }
  bool Read(PlanSettings* s) { return ReadPlanFile(path_, s); }

  bvtest::ScratchEnv env_;
  std::string path_;
};

// Every key written in order, read back; clamped and defaulted values.
TEST_F(PlanFileTest, WritesKeysInOrderAndReadsThemBack) {
  PlanSettings s;
  s.mode = 2;
  s.name = "Docs";
  s.storageType = 1;
  s.storePath = "E:\\Store";
  s.versionNumber = 4;
  s.scheduleNum = 1;
  s.scheduleUnit = 4;
  s.lastTime = 10;
  s.missingTime = 11;
  s.enabled = 1;
  s.lastBackupTime = 12;
  s.initialScanDone = 0;
  s.missedScheduledRun = 1;
  const std::string head =
      "Mode=1\nName=Docs\nStorageType=1\nStorePath=E:\\Store\nVersionNumber=4\n"
      "ScheduleNum=1\nScheduleUnit=4\nLastTime=10\nMissingTime=11\n";
  EXPECT_EQ(FormatPlanFile(s),
            head + "InitDone=0\nEnabled=1\nLastBackupTime=12\nMissScheduledBackup=1\n");
  s.initialScanDone = 1;
  EXPECT_EQ(FormatPlanFile(s), head + "Enabled=1\nLastBackupTime=12\nMissScheduledBackup=1\n");
  EXPECT_EQ(FormatPlanFile(s, PlanFileStyle::kDefaultStep),
            head + "InitDone=1\nEnabled=1\nLastBackupTime=12\n");
  ASSERT_TRUE(WritePlanFile(path_, s));
  EXPECT_EQ(ReadNative(env_.Data().NativeOf("Plan.ini")), FormatPlanFile(s));
  PlanSettings back;
  ASSERT_TRUE(Read(&back));
  EXPECT_EQ(FormatPlanFile(back), FormatPlanFile(s));
  EXPECT_EQ(back.mode, 1);
  EXPECT_FALSE(WritePlanFile(env_.Data().SystemOf("no\\such\\folder\\Plan.ini"), s));

#define FIELD(f) [](const PlanSettings& s) { return static_cast<int>(s.f); }
  struct Case {
    std::string lines;
    int (*field)(const PlanSettings&);
    int32_t expected;
  };
  const Case cases[] = {
      {"", FIELD(initialScanDone), 1},  // absent InitDone counts as done
      {"", FIELD(missedScheduledRun), 0},
      {"Mode=2", FIELD(mode), 1},
      {"VersionNumber=0", FIELD(versionNumber), 1},
      {"VersionNumber=-4", FIELD(versionNumber), 1},
      {"VersionNumber=99", FIELD(versionNumber), 10},
      {"VersionNumber=", FIELD(versionNumber), 3},
      {"ScheduleNum=0", FIELD(scheduleNum), 1},
      {"ScheduleNum=", FIELD(scheduleNum), 1},
      {"ScheduleUnit=9", FIELD(scheduleUnit), 9},
      {"ScheduleUnit=", FIELD(scheduleUnit), 1},
      {"InitDone=", FIELD(initialScanDone), 0},
      {"InitDone=0", FIELD(initialScanDone), 0},
      {"Enabled=", FIELD(enabled), 1},
      {"MissScheduledBackup=", FIELD(missedScheduledRun), 0},
      {"MissScheduledBackup=1", FIELD(missedScheduledRun), 1},
  };
#undef FIELD
  for (const Case& c : cases) {
    // The case's line comes last and overrides the full file's value.
    Put(std::string(kFullPlan) + c.lines + "\n");
    PlanSettings read;
    ASSERT_TRUE(Read(&read)) << c.lines;
    EXPECT_EQ(c.field(read), c.expected) << c.lines;
  }
}

TEST_F(PlanFileTest, BadLinesMissingKeysAndJunkAreReported) {
  EventCollector events;
  Put("Colour=blue\n" + std::string(kFullPlan) + "junk line\n");
  PlanSettings s;
  ASSERT_TRUE(Read(&s));
  EXPECT_EQ(s.name, "Docs");
  std::vector<std::string> texts;
  for (const auto& e : events.Events())
    if (e.code == kEvInvalidContent) texts.push_back(e.text1);
  EXPECT_EQ(texts, (std::vector<std::string>{"Invalid line in " + path_ + " Colour=blue",
                                             "Invalid line in " + path_ + " junk line"}));
  // A quiet read raises nothing, also when it fails.
  events.Clear();
  EXPECT_TRUE(ReadPlanFile(path_, &s, false));
  Put("Colour=blue\n");
  EXPECT_FALSE(ReadPlanFile(path_, &s, false));
  std::filesystem::remove(env_.Data().NativeOf("Plan.ini"));
  EXPECT_FALSE(ReadPlanFile(path_, &s, false));
  EXPECT_EQ(events.Events().size(), 0u);
  EXPECT_FALSE(Read(&s));
  EXPECT_EQ(events.CountOf(kEvUnreadablePlanFile), 1u);

  std::string junk;
  for (int i = 0; i < 200000; ++i) junk += static_cast<char>((i * 7919) % 256);
  std::vector<std::string> inputs = {junk};
  // Each required key is needed.
  for (const char* key :
       {"Mode", "Name", "StorageType", "StorePath", "VersionNumber", "ScheduleNum", "ScheduleUnit",
        "LastTime", "MissingTime", "Enabled", "LastBackupTime"}) {
    std::string text = kFullPlan;
    const size_t at = text.find(std::string(key) + "=");
    text.erase(at, text.find('\n', at) + 1 - at);
    inputs.push_back(text);
  }
  for (const std::string& text : inputs) {
    Put(text);
    events.Clear();
    EXPECT_FALSE(Read(&s)) << text.substr(0, 60);
    ASSERT_EQ(events.CountOf(kEvUnreadablePlanFile), 1u) << text.substr(0, 60);
    EXPECT_EQ(events.Events().back().text1, path_);
  }
}

// "plans.ini": the seed first; bad identifiers are reported and skipped; no
// file, no seed or a negative seed (which stops the reading) fail.
TEST_F(PlanFileTest, PlanListFileKeepsSeedAndOrder) {
  const std::string list = env_.Data().SystemOf("plans.ini");
  int64_t seed = 0;
  std::vector<uint32_t> ids;
  auto read = [&] {
    ids.clear();
    return ReadPlanListFile(list, &seed, [&](uint32_t id) { ids.push_back(id); });
  };
  EXPECT_FALSE(read());
  ASSERT_TRUE(WritePlanListFile(list, 9, {4, 2, 9}));
  EXPECT_EQ(ReadNative(env_.Data().NativeOf("plans.ini")), "SEED=9\nID=4\nID=2\nID=9\n");
  ASSERT_TRUE(read());
  EXPECT_EQ(seed, 9);
  EXPECT_EQ(ids, (std::vector<uint32_t>{4, 2, 9}));

  EventCollector events;
  WriteNative(env_.Data().NativeOf("plans.ini"),
              "SEED=7\nID=0\nID=-3\nID=99999999999\nID=2\nOther=1\n");
  ASSERT_TRUE(read());
  EXPECT_EQ(ids, (std::vector<uint32_t>{2}));
  EXPECT_EQ(events.CountOf(kEvUnreadablePlanFile), 3u);
  EXPECT_EQ(events.CountOf(kEvInvalidContent), 1u);
  WriteNative(env_.Data().NativeOf("plans.ini"), "ID=4\n");
  EXPECT_FALSE(read());
  EXPECT_EQ(ids, (std::vector<uint32_t>{4}));
  seed = 5;
  WriteNative(env_.Data().NativeOf("plans.ini"), "ID=1\nSEED=-1\nID=2\n");
  EXPECT_FALSE(read());
  EXPECT_EQ(ids, (std::vector<uint32_t>{1}));
  EXPECT_EQ(seed, 5);
}

}  // namespace
