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

TEST_F(PlanFileTest, ReadsEveryKey) {
  Put(kFullPlan);
  PlanSettings s;
  ASSERT_TRUE(Read(&s));
  EXPECT_EQ(s.mode, 1);
  EXPECT_EQ(s.name, "Docs");
  EXPECT_EQ(s.storageType, 1);
  EXPECT_EQ(s.storePath, "E:\\Store");
  EXPECT_EQ(s.versionNumber, 5);
  EXPECT_EQ(s.scheduleNum, 2);
  EXPECT_EQ(s.scheduleUnit, 3);
  EXPECT_EQ(s.lastTime, 1700000000);
  EXPECT_EQ(s.missingTime, 12);
  EXPECT_EQ(s.enabled, 0);
  EXPECT_EQ(s.lastBackupTime, 1700000100);
  EXPECT_EQ(s.initialScanDone, 1) << "absent InitDone counts as done";
  EXPECT_EQ(s.missedScheduledRun, 0);
}

TEST_F(PlanFileTest, ClampsAndDefaults) {
  struct Case {
    std::string line;
    int32_t PlanSettings::*field;
    int32_t expected;
  };
  const std::vector<Case> cases = {
      {"Mode=2", &PlanSettings::mode, 1},
      {"VersionNumber=0", &PlanSettings::versionNumber, 1},
      {"VersionNumber=-4", &PlanSettings::versionNumber, 1},
      {"VersionNumber=99", &PlanSettings::versionNumber, 10},
      {"VersionNumber=", &PlanSettings::versionNumber, 3},
      {"ScheduleNum=0", &PlanSettings::scheduleNum, 1},
      {"ScheduleNum=", &PlanSettings::scheduleNum, 1},
      {"ScheduleUnit=9", &PlanSettings::scheduleUnit, 9},
      {"ScheduleUnit=", &PlanSettings::scheduleUnit, 1},
  };
  for (const Case& c : cases) {
    // The case's line comes last and overrides the full file's value.
    Put(std::string(kFullPlan) + c.line + "\n");
    PlanSettings s;
    ASSERT_TRUE(Read(&s)) << c.line;
    EXPECT_EQ(s.*(c.field), c.expected) << c.line;
  }
}

TEST_F(PlanFileTest, FlagsFollowTheirOwnDefaults) {
  PlanSettings s;
  Put(std::string(kFullPlan) +
      "InitDone=\nEnabled=\nMissScheduledBackup=\n  Name =  My plan  \r\n");
  ASSERT_TRUE(Read(&s));
  EXPECT_EQ(s.initialScanDone, 0) << "empty InitDone counts as 0";
  EXPECT_EQ(s.enabled, 1) << "empty Enabled counts as 1";
  EXPECT_EQ(s.missedScheduledRun, 0);
  EXPECT_EQ(s.name, "My plan") << "padded values are trimmed";

  Put(std::string(kFullPlan) + "InitDone=0\nMissScheduledBackup=1\n");
  ASSERT_TRUE(Read(&s));
  EXPECT_EQ(s.initialScanDone, 0);
  EXPECT_EQ(s.missedScheduledRun, 1);
}

TEST_F(PlanFileTest, UnknownLinesRaiseEventZeroUnlessQuietAndReadingGoesOn) {
  EventCollector events;
  Put("Colour=blue\n" + std::string(kFullPlan) + "junk line\n");
  PlanSettings s;
  ASSERT_TRUE(Read(&s));
  EXPECT_EQ(s.name, "Docs");
  ASSERT_EQ(events.CountOf(kEvInvalidContent), 2u);
  std::vector<std::string> texts;
  for (const auto& e : events.Events())
    if (e.code == kEvInvalidContent) texts.push_back(e.text1);
  EXPECT_EQ(texts[0], "Invalid line in " + path_ + " Colour=blue");
  EXPECT_EQ(texts[1], "Invalid line in " + path_ + " junk line");

  // A quiet read raises nothing, also when it fails.
  events.Clear();
  EXPECT_TRUE(ReadPlanFile(path_, &s, false));
  Put("Colour=blue\n");
  EXPECT_FALSE(ReadPlanFile(path_, &s, false));
  std::filesystem::remove(env_.Data().NativeOf("Plan.ini"));
  EXPECT_FALSE(ReadPlanFile(path_, &s, false));
  EXPECT_EQ(events.Events().size(), 0u);
}

TEST_F(PlanFileTest, EachRequiredKeyIsNeeded) {
  const std::vector<std::string> required = {
      "Mode",         "Name",     "StorageType", "StorePath", "VersionNumber", "ScheduleNum",
      "ScheduleUnit", "LastTime", "MissingTime", "Enabled",   "LastBackupTime"};
  for (const std::string& key : required) {
    std::string text;
    std::string full = kFullPlan;
    size_t pos = 0;
    while (pos < full.size()) {
      size_t end = full.find('\n', pos);
      std::string line = full.substr(pos, end - pos);
      if (line.rfind(key + "=", 0) != 0) text += line + "\n";
      pos = end + 1;
    }
    Put(text);
    EventCollector events;
    PlanSettings s;
    EXPECT_FALSE(Read(&s)) << key;
    ASSERT_EQ(events.CountOf(kEvUnreadablePlanFile), 1u) << key;
    EXPECT_EQ(events.Events().back().text1, path_);
  }
}

TEST_F(PlanFileTest, MissingOrJunkFileFails) {
  EventCollector events;
  PlanSettings s;
  EXPECT_FALSE(Read(&s));
  EXPECT_EQ(events.CountOf(kEvUnreadablePlanFile), 1u);

  std::string junk;
  for (int i = 0; i < 200000; ++i) junk += static_cast<char>((i * 7919) % 256);
  Put(junk);
  events.Clear();
  EXPECT_FALSE(Read(&s));
  EXPECT_EQ(events.CountOf(kEvUnreadablePlanFile), 1u);
}

TEST_F(PlanFileTest, WritesKeysInOrder) {
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
  EXPECT_EQ(back.name, s.name);
  EXPECT_EQ(back.mode, 1);
  EXPECT_EQ(back.versionNumber, 4);
  EXPECT_EQ(back.initialScanDone, 1);
  EXPECT_EQ(back.missedScheduledRun, 1);
  EXPECT_EQ(back.lastBackupTime, 12);

  EXPECT_FALSE(WritePlanFile(env_.Data().SystemOf("no\\such\\folder\\Plan.ini"), s));
}

class PlanListFileTest : public PlanFileTest {
 protected:
  std::string ListPath() { return env_.Data().SystemOf("plans.ini"); }
  void PutList(const std::string& text) { WriteNative(env_.Data().NativeOf("plans.ini"), text); }
  bool ReadList(int64_t* seed, std::vector<uint32_t>* ids) {
    return ReadPlanListFile(ListPath(), seed, [ids](uint32_t id) { ids->push_back(id); });
  }
};

TEST_F(PlanListFileTest, BadIdsRaiseEventNineAndReadingGoesOn) {
  EventCollector events;
  PutList("SEED=7\nID=0\nID=-3\nID=99999999999\nID=2\nOther=1\n");
  int64_t seed = -1;
  std::vector<uint32_t> ids;
  ASSERT_TRUE(ReadList(&seed, &ids));
  EXPECT_EQ(ids, (std::vector<uint32_t>{2}));
  EXPECT_EQ(events.CountOf(kEvUnreadablePlanFile), 3u);
  EXPECT_EQ(events.CountOf(kEvInvalidContent), 1u);
}

TEST_F(PlanListFileTest, NoFileNoSeedOrANegativeSeedFails) {
  int64_t seed = 5;
  std::vector<uint32_t> ids;
  EXPECT_FALSE(ReadList(&seed, &ids));
  PutList("ID=4\n");
  EXPECT_FALSE(ReadList(&seed, &ids));
  EXPECT_EQ(ids, (std::vector<uint32_t>{4}));
  // A negative seed stops the reading there.
  ids.clear();
  PutList("ID=1\nSEED=-1\nID=2\n");
  EXPECT_FALSE(ReadList(&seed, &ids));
  EXPECT_EQ(ids, (std::vector<uint32_t>{1}));
  EXPECT_EQ(seed, 5);
}

TEST_F(PlanListFileTest, WritesSeedFirst) {
  ASSERT_TRUE(WritePlanListFile(ListPath(), 9, {4, 2, 9}));
  EXPECT_EQ(ReadNative(env_.Data().NativeOf("plans.ini")), "SEED=9\nID=4\nID=2\nID=9\n");
  int64_t seed = 0;
  std::vector<uint32_t> ids;
  ASSERT_TRUE(ReadList(&seed, &ids));
  EXPECT_EQ(seed, 9);
  EXPECT_EQ(ids, (std::vector<uint32_t>{4, 2, 9}));
}

}  // namespace
