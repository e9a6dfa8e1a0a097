#include <gtest/gtest.h>

#include <time.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/ActivityLog.h"
#include "engine/ActivityLogger.h"
#include "engine/PlanList.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "support/ScopedEnv.h"
#include "support/ScratchEnv.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// Today's "YYYYMMDD" in the process's time zone, straight from the C library.
std::string Today() {
  time_t now = time(nullptr);
  struct tm lt;
  localtime_r(&now, &lt);
  char buf[16];
  strftime(buf, sizeof buf, "%Y%m%d", &lt);
  return buf;
}

// Every "\n" of the text, and the closing line break, written as a text stream does.
std::string OnDisk(const std::string& text) {
  std::string out;
  for (char c : text + "\r\n") {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

class ActivityLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plans_[1] = {"Documents", 3, 5, "E:\\Backup", 1, "", ""};
    plans_[2] = {"Continuous", 1, 3, "F:\\Store", 1, "", ""};
    plans_[3] = {"On USB", 4, 2, "G:\\", 2, "Ultra Fit", "Acme"};
    SetPlanInfoProvider([this](uint32_t id, PlanInfoForLog* info) {
      auto it = plans_.find(id);
      if (it == plans_.end()) return false;
      *info = it->second;
      return true;
    });
    ASSERT_TRUE(log_.SetLogFolder(dir_.SystemOf("data\\log")));
  }
  void TearDown() override { SetPlanInfoProvider(nullptr); }

  std::string LogNative(const std::string& name) { return dir_.NativeOf("data/log/" + name); }
  size_t LogFileCount() {
    size_t n = 0;
    for (auto& e : fs::directory_iterator(dir_.NativeOf("data/log"))) n += e.is_regular_file();
    return n;
  }

  bvtest::TempDir dir_;
  CLogSet log_;
  std::map<uint32_t, PlanInfoForLog> plans_;
};

TEST_F(ActivityLogTest, FolderIsCreatedWithParentsAndEndsWithSeparator) {
  EXPECT_TRUE(fs::is_directory(dir_.NativeOf("data/log")));
  EXPECT_EQ(log_.LogFolder(), dir_.SystemOf("data\\log") + "\\");
  // A folder that exists already is simply taken.
  CLogSet again;
  EXPECT_TRUE(again.SetLogFolder(dir_.SystemOf("data\\log\\")));
  EXPECT_EQ(again.LogFolder(), log_.LogFolder());
}

TEST_F(ActivityLogTest, FirstRecordOfTheDayGoesToFileOneWithCrCrLf) {
  ASSERT_TRUE(log_.AppendRecord("line one\nline two"));
  const std::string name = Today() + "_1.log";
  EXPECT_EQ(log_.CurrentFile(), log_.LogFolder() + name);
  EXPECT_EQ(bvtest::ReadNative(LogNative(name)), "line one\r\nline two\r\r\n");
  ASSERT_TRUE(log_.AppendRecord("third\n"));
  EXPECT_EQ(bvtest::ReadNative(LogNative(name)), "line one\r\nline two\r\r\nthird\r\n\r\r\n");
}

TEST_F(ActivityLogTest, FullLastFileMovesOnToTheNextNumber) {
  const std::string day = Today();
  bvtest::WriteNative(LogNative(day + "_1.log"), "old\r\n");
  bvtest::WriteNative(LogNative(day + "_2.log"), std::string(CLogSet::kMaxFileSize, 'x'));
  bvtest::WriteNative(LogNative("20000101_1.log"), "another day\r\n");  // not counted
  ASSERT_TRUE(log_.AppendRecord("new"));
  EXPECT_EQ(bvtest::ReadNative(LogNative(day + "_3.log")), "new\r\r\n");
  EXPECT_EQ(fs::file_size(LogNative(day + "_2.log")), CLogSet::kMaxFileSize);
}

TEST_F(ActivityLogTest, RecordCrossingTheLimitIsWrittenWholeAndTheNextGoesOn) {
  const std::string day = Today();
  const std::string big(CLogSet::kMaxFileSize - 10, 'x');
  bvtest::WriteNative(LogNative(day + "_1.log"), big);
  const std::string record(100, 'r');
  ASSERT_TRUE(log_.AppendRecord(record));
  EXPECT_EQ(bvtest::ReadNative(LogNative(day + "_1.log")), big + record + "\r\r\n");
  ASSERT_TRUE(log_.AppendRecord("next"));
  EXPECT_EQ(bvtest::ReadNative(LogNative(day + "_2.log")), "next\r\r\n");
  EXPECT_EQ(log_.CurrentFile(), log_.LogFolder() + day + "_2.log");
}

TEST_F(ActivityLogTest, RememberedFileIsKeptUntilFull) {
  const std::string day = Today();
  ASSERT_TRUE(log_.AppendRecord("a"));
  // Files that appear later do not draw records away from the current one.
  bvtest::WriteNative(LogNative(day + "_2.log"), "");
  bvtest::WriteNative(LogNative(day + "_3.log"), "");
  ASSERT_TRUE(log_.AppendRecord("b"));
  EXPECT_EQ(bvtest::ReadNative(LogNative(day + "_1.log")), "a\r\r\nb\r\r\n");
  // A fresh log set (a restart) counts the files instead.
  CLogSet restarted;
  ASSERT_TRUE(restarted.SetLogFolder(log_.LogFolder()));
  ASSERT_TRUE(restarted.AppendRecord("c"));
  EXPECT_EQ(bvtest::ReadNative(LogNative(day + "_3.log")), "c\r\r\n");
}

// The current file stays open between records; what happens to it on disk
// meanwhile decides where the next record goes, as if it had been reopened.
TEST_F(ActivityLogTest, NextRecordFollowsWhatHappenedToTheCurrentFile) {
  const std::string name = LogNative(Today() + "_1.log");
  const std::string aside = LogNative("aside.txt");
  const struct {
    const char* change;
    std::function<void()> apply;
    bool written;
    const char* holds;  // the day's first file afterwards
    const char* asideHolds = nullptr;
  } cases[] = {
      {"nothing", [] {}, true, "a\r\r\nb\r\r\n"},
      {"deleted", [&] { fs::remove(name); }, true, "c\r\r\n"},
      {"moved away", [&] { fs::rename(name, aside); }, true, "d\r\r\n", "c\r\r\n"},
      {"replaced",
       [&] {
         bvtest::WriteNative(aside, "other\r\n");
         fs::rename(aside, name);
       },
       true, "other\r\ne\r\r\n"},
      {"written to by another", [&] { std::ofstream(name, std::ios::app) << "x\r\n"; }, true,
       "other\r\ne\r\r\nx\r\nf\r\r\n"},
      {"made read-only",
       [&] { fs::permissions(name, fs::perms::owner_write, fs::perm_options::remove); }, false,
       "other\r\ne\r\r\nx\r\nf\r\r\n"},
  };
  ASSERT_TRUE(log_.AppendRecord("a"));
  char record = 'b';
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change);
    c.apply();
    EXPECT_EQ(log_.AppendRecords({std::string(1, record)}), c.written ? 1u : 0u);
    EXPECT_EQ(bvtest::ReadNative(name), c.holds);
    if (c.asideHolds) {
      EXPECT_EQ(bvtest::ReadNative(aside), c.asideHolds);
    }
    record += c.written;
  }
}

TEST_F(ActivityLogTest, UnwritableFileLosesOnlyThatRecord) {
  CLogSet none;
  EXPECT_FALSE(none.AppendRecord("no folder yet"));

  const std::string name = Today() + "_1.log";
  fs::create_directory(LogNative(name));  // a folder where the file should be
  EXPECT_FALSE(log_.AppendRecord("lost"));
  fs::remove(LogNative(name));
  ASSERT_TRUE(log_.AppendRecord("kept"));
  EXPECT_EQ(bvtest::ReadNative(LogNative(name)), "kept\r\r\n");

  // A log folder that cannot be made (a file is in the way).
  bvtest::WriteNative(dir_.NativeOf("blocker"), "file");
  CLogSet blocked;
  EXPECT_FALSE(blocked.SetLogFolder(dir_.SystemOf("blocker\\log")));
  EXPECT_FALSE(blocked.AppendRecord("x"));
}

TEST(LogRecord, ExactTextOfEveryRecordedEvent) {
  const PlanInfoForLog plan{"Docs", 3, 5, "E:\\Backup", 1, "", ""};
  const std::string t = "Sun Dec  6 05:20:08 2026";
  struct Case {
    EventData event;
    std::string text;
  };
  const Case cases[] = {
      {EventData(kEvFileCopied, "C:\\a.doc", 1, "E:\\Backup\\Latest\\C\\a.doc", "", 0),
       "#Backup File Success\nPlan Name = Docs\nTime = " + t +
           "\nSource Path = C:\\a.doc\nDestination Path = E:\\Backup\\Latest\\C\\a.doc\n"},
      {EventData(kEvFileFailed, "C:\\b.doc", 1, "E:\\x", "Access is denied.", 5),
       "#Backup File Fail\nPlan Name = Docs\nTime = " + t +
           "\nSource Path = C:\\b.doc\nError = Access is denied.\n"},
      {EventData(kEvPlanEnabled, "", 1, "", "", 0),
       "#Plan Enabled\nPlan Name = Docs\nTime = " + t + "\n"},
      {EventData(kEvPlanDisabled, "", 1, "", "", 0),
       "#Plan Disabled\nPlan Name = Docs\nTime = " + t + "\n"},
      {EventData(kEvRunBegins, "Docs", 1, "", "", 0), "#Scheduled Backup Start\nDocs\n" + t + "\n"},
      {EventData(kEvRunEnds, "Docs", 1, "", "", 12),
       "#Scheduled Backup Complete\nDocs\n" + t + "\n"},
      {EventData(kEvPlanCreated, "Docs", 1, "", "", 0),
       "#Plan Create\nPlan Name = Docs\nTime = " + t +
           "\nVersions = 5\nDestination = E:\\Backup\n"},
      {EventData(kEvScanBegins, "", 1, "", "", 0),
       "#Plan Initial Backup Start\nPlan Name = Docs\nTime = " + t + "\n"},
      {EventData(kEvScanEnds, "", 1, "", "", 0),
       "#Plan Initial Backup End \nPlan Name = Docs\nTime = " + t + "\n"},
  };
  for (const Case& c : cases) {
    std::string text;
    ASSERT_TRUE(BuildLogRecord(c.event, &plan, t, &text)) << c.event.code;
    EXPECT_EQ(text, c.text) << c.event.code;
  }
  // The run of a first backup is written by its scan's records alone.
  for (int32_t code : {kEvRunBegins, kEvRunEnds}) {
    std::string text;
    EXPECT_FALSE(
        BuildLogRecord(EventData(code, "Docs", 1, kRunIsFirstBackup, "", 0), &plan, t, &text))
        << text;
  }

  // What leaves a file or a plan unprotected is written with the plan when
  // there is one, without it when there is none (a file of the plan list).
  const Case problems[] = {
      {EventData(kEvInvalidContent, "Line too long", 0, "C:\\x\\Ext.txt", "", 0),
       "#Invalid Content\nTime = " + t + "\nDescription = Line too long\nFile = C:\\x\\Ext.txt\n"},
      {EventData(kEvDatabaseOpenFailed, "C:\\d\\Logging.dat", 1, "", "", 0),
       "#Journal Cannot Be Opened\nPlan Name = Docs\nTime = " + t +
           "\nPath = C:\\d\\Logging.dat\n"},
      {EventData(kEvDatabaseProblem, "C:\\d\\Logging.dat", 1, "", "", 0),
       "#Journal Problem\nPlan Name = Docs\nTime = " + t + "\nPath = C:\\d\\Logging.dat\n"},
      {EventData(kEvUnreadablePlanFile, "C:\\d\\plans.ini", 0, "", "", 0),
       "#Plan File Unreadable\nTime = " + t + "\nPath = C:\\d\\plans.ini\n"},
      {EventData(kEvDriverFailed, "Changes were lost", 0, "", "", 0),
       "#Change Monitoring Problem\nTime = " + t + "\nDescription = Changes were lost\n"},
      {EventData(kEvNotProtected, "C:\\a\\b\\c", 1, "", "The name holds \\.", 0),
       "#File Not Protected\nPlan Name = Docs\nTime = " + t +
           "\nSource Path = C:\\a\\b\\c\nReason = The name holds \\.\n"},
      {EventData(kEvServerKeyChanged, "sftp://host:22", 1, "", "Nothing was sent.", 0),
       "#Server Key Changed\nPlan Name = Docs\nTime = " + t +
           "\nServer = sftp://host:22\nReason = Nothing was sent.\n"},
  };
  for (const Case& c : problems) {
    std::string text;
    const PlanInfoForLog* known = c.event.planId != 0 ? &plan : nullptr;
    ASSERT_TRUE(BuildLogRecord(c.event, known, t, &text)) << c.event.code;
    EXPECT_EQ(text, c.text) << c.event.code;
    EXPECT_TRUE(IsProtectionProblem(c.event.code));
  }

  // A name never breaks a record: every control character is escaped, in
  // every field and in the plan's name.
  PlanInfoForLog odd = plan;
  odd.name = "Do\ncs";
  std::string forged;
  ASSERT_TRUE(BuildLogRecord(
      EventData(kEvFileCopied, "C:\\inj\r\n#Plan Deleted\r\nx\t\x7f", 1, "E:\\L\\inj\r\n", "", 0),
      &odd, t, &forged));
  EXPECT_EQ(forged, "#Backup File Success\nPlan Name = Do\\x0Acs\nTime = " + t +
                        "\nSource Path = C:\\inj\\x0D\\x0A#Plan Deleted\\x0D\\x0Ax\\x09\\x7F"
                        "\nDestination Path = E:\\L\\inj\\x0D\\x0A\n");
  EXPECT_EQ(EscapeControls("a\xc2\x85"
                           "b\xe2\x80\xa8"
                           "c\xe2\x80\xa9\xc3\xa9"),
            "a\\u0085b\\u2028c\\u2029\xc3\xa9");

  PlanInfoForLog usb = plan;
  usb.storageType = 2;
  usb.usbModel = "Ultra Fit";
  usb.usbVendor = "Acme";
  std::string text;
  ASSERT_TRUE(BuildLogRecord(EventData(kEvPlanCreated, "", 1, "", "", 0), &usb, t, &text));
  EXPECT_EQ(text, "#Plan Create\nPlan Name = Docs\nTime = " + t +
                      "\nVersions = 5\nDestination = E:\\Backup\n"
                      "Destination Model ID = Ultra Fit\nDestination Vendor =Acme\n");

  for (int32_t code : {2, 12, 13, 15, 16, 20, 21, 27, 30, 31, 32}) {
    EXPECT_FALSE(BuildLogRecord(EventData(code, "x", 1, "", "", 0), &plan, t, &text)) << code;
  }
  // Plan events and copies need their plan.
  EXPECT_FALSE(BuildLogRecord(EventData(kEvFileFailed, "x", 1, "", "", 0), nullptr, t, &text));
  EXPECT_FALSE(BuildLogRecord(EventData(kEvPlanEnabled, "", 1, "", "", 0), nullptr, t, &text));
  PlanInfoForLog continuous = plan;
  continuous.scheduleUnit = 1;
  EXPECT_FALSE(BuildLogRecord(EventData(kEvRunBegins, "", 1, "", "", 0), &continuous, t, &text));
  EXPECT_FALSE(BuildLogRecord(EventData(kEvRunEnds, "", 1, "", "", 0), &continuous, t, &text));
  EXPECT_TRUE(BuildLogRecord(EventData(kEvScanEnds, "", 1, "", "", 0), &continuous, t, &text));
}

TEST_F(ActivityLogTest, LogEventWritesTheRecordWithTheCurrentNameAndTime) {
  const int64_t before = plat::Now();
  // Text 1 carries an older name; the record uses the plan's current one.
  ASSERT_TRUE(log_.LogEvent(EventData(kEvPlanCreated, "Old name", 3, "", "", 0)));
  const int64_t after = plat::Now();
  const std::string got = bvtest::ReadNative(LogNative(Today() + "_1.log"));
  bool matched = false;
  for (int64_t t = before; t <= after && !matched; ++t) {
    matched = got == OnDisk("#Plan Create\nPlan Name = On USB\nTime = " + plat::AscTime(t) +
                            "\nVersions = 2\nDestination = G:\\\nDestination Model ID = "
                            "Ultra Fit\nDestination Vendor =Acme\n");
  }
  EXPECT_TRUE(matched) << got;
}

TEST_F(ActivityLogTest, NoRecordForUnknownPlansContinuousRunsOrOtherEvents) {
  EXPECT_FALSE(log_.LogEvent(EventData(kEvFileCopied, "C:\\a", 99, "E:\\a", "", 0)));
  EXPECT_FALSE(log_.LogEvent(EventData(kEvRunBegins, "Continuous", 2, "", "", 0)));
  EXPECT_FALSE(log_.LogEvent(EventData(kEvPlanDeleted, "Documents", 1, "", "", 0)));
  EXPECT_EQ(LogFileCount(), 0u);
  SetPlanInfoProvider(nullptr);
  EXPECT_FALSE(log_.LogEvent(EventData(kEvPlanEnabled, "", 1, "", "", 0)));
  EXPECT_EQ(LogFileCount(), 0u);
}

TEST_F(ActivityLogTest, FileDateAndRecordTimeFollowTheTimeZone) {
  bvtest::ScopedEnv tz("TZ", nullptr);
  // Twenty-six hours apart: the two zones never share a date.
  struct Zone {
    const char* tz;
    int offsetSeconds;  // east of UTC
  };
  for (const Zone z : {Zone{"WST+12", -12 * 3600}, Zone{"EST-14", 14 * 3600}}) {
    tz.Set(z.tz);
    CLogSet set;
    ASSERT_TRUE(set.SetLogFolder(dir_.SystemOf(std::string("tz\\") + z.tz)));
    const time_t before = time(nullptr);
    ASSERT_TRUE(set.LogEvent(EventData(kEvPlanEnabled, "", 1, "", "", 0)));
    // The zone's wall clock, computed without the zone database.
    const time_t shifted = before + z.offsetSeconds;
    struct tm wall;
    gmtime_r(&shifted, &wall);
    char day[16], hour[8];
    strftime(day, sizeof day, "%Y%m%d", &wall);
    strftime(hour, sizeof hour, " %H:", &wall);
    const std::string file = dir_.NativeOf(std::string("tz/") + z.tz + "/" + day + "_1.log");
    ASSERT_TRUE(fs::exists(file)) << file;
    EXPECT_NE(bvtest::ReadNative(file).find(hour), std::string::npos);
  }
}

}  // namespace

namespace {

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The logger takes every event of both channels from many posting threads
// and writes each once, in posting order per thread; after Stop nothing more.
TEST_F(ActivityLogTest, LoggerWritesEveryPostedEventOnceUntilStopped) {
  CActivityLogger logger(&log_);
  logger.Start();
  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([t] {
      for (int i = 0; i < kEach; ++i)
        PostEvent(kEvFileCopied, "C:\\t" + std::to_string(t) + "\\" + std::to_string(i), 1,
                  "E:\\x");
    });
  }
  PostEvent(kEvFileWritten, "C:\\not\\logged", 1);
  PostEvent(kEvUnreadablePlanFile, "C:\\plans.ini");
  for (auto& w : workers) w.join();
  logger.Flush();
  std::string all;
  for (auto& e : fs::directory_iterator(dir_.NativeOf("data/log")))
    all += bvtest::ReadNative(e.path().string());
  EXPECT_EQ(Occurrences(all, "#Backup File Success"), size_t(kThreads * kEach));
  EXPECT_EQ(Occurrences(all, "#Plan File Unreadable"), 1u);
  EXPECT_EQ(all.find("not\\logged"), std::string::npos);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_LT(all.find("C:\\t" + std::to_string(t) + "\\498\r"),
              all.find("C:\\t" + std::to_string(t) + "\\499\r"));
  }
  logger.Stop();
  EXPECT_EQ(logger.Queued(), 0u);
  PostEvent(kEvUnreadablePlanFile, "C:\\after\\stop.ini");
  logger.Flush();
  std::string after;
  for (auto& e : fs::directory_iterator(dir_.NativeOf("data/log")))
    after += bvtest::ReadNative(e.path().string());
  EXPECT_EQ(after.find("after\\stop"), std::string::npos);
}

}  // namespace

namespace {

// The plan list's own lookup: a plan created on a USB disk logs the disk's
// model and vendor as the volume table reports them.
TEST(ActivityLogPlanList, UsbPlanCreationRecordNamesTheDisk) {
  bvtest::ScratchEnv env;
  bvtest::TempDir stick;
  env.SetExtra("[U]\nRoot=" + stick.Native() +
               "\nType=removable\nBus=usb\nVendor=Acme\nModel=Ultra Fit\nRevision=1.0\n"
               "Serial=1234-ABCD\n");
  PlanList list;
  PlanSettings settings = bvtest::ScratchEnv::Settings("On USB", "unused");
  settings.storePath = "U:\\Store\\";
  settings.storageType = kStorageUsb;
  CPlan* plan = list.CreatePlan(settings);
  ASSERT_NE(plan, nullptr);
  CLogSet log;
  ASSERT_TRUE(log.SetLogFolder(stick.SystemOf("log")));
  ASSERT_TRUE(log.LogEvent(EventData(kEvPlanCreated, "On USB", plan->Id(), "", "", 0)));
  std::string native;
  ASSERT_TRUE(plat::ToNativePath(log.CurrentFile(), &native));
  const std::string text = bvtest::ReadNative(native);
  EXPECT_NE(text.find("\r\nDestination Model ID = Ultra Fit\r\nDestination Vendor =Acme\r\n"),
            std::string::npos)
      << text;
}

}  // namespace
