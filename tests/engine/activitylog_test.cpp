// The activity log: which file a record goes to, files changed under it, every record's text.
#include <time.h>

#include "TaskWorld.h"

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

// Records end in CR CR LF and fill the day's files in turn, a record crossing the limit whole.
TEST(ActivityLog, RecordsGoToTheDaysFilesInTurn) {
  bvtest::TempDir dir;
  CLogSet log;
  ASSERT_TRUE(log.SetLogFolder(dir.SystemOf("data\\log")));
  auto logNative = [&](const std::string& name) { return dir.NativeOf("data/log/" + name); };
  const std::string day = Today();
  EXPECT_EQ(log.LogFolder(), dir.SystemOf("data\\log") + "\\");
  ASSERT_TRUE(log.AppendRecord("line one\nline two"));
  EXPECT_EQ(log.CurrentFile(), log.LogFolder() + day + "_1.log");
  bvtest::WriteNative(logNative(day + "_2.log"), "");
  bvtest::WriteNative(logNative(day + "_3.log"), "");
  ASSERT_TRUE(log.AppendRecord("b\n"));
  EXPECT_EQ(bvtest::ReadNative(logNative(day + "_1.log")), "line one\r\nline two\r\r\nb\r\n\r\r\n");

  const std::string big(CLogSet::kMaxFileSize - 10, 'x');
  bvtest::WriteNative(logNative(day + "_3.log"), big);
  bvtest::WriteNative(logNative("20000101_9.log"), "another day\r\n");  // not counted
  CLogSet restarted;
  ASSERT_TRUE(restarted.SetLogFolder(log.LogFolder()));  // exists already, closing "\"
  ASSERT_TRUE(restarted.AppendRecord(std::string(100, 'r')));
  EXPECT_EQ(bvtest::ReadNative(logNative(day + "_3.log")), big + std::string(100, 'r') + "\r\r\n");
  ASSERT_TRUE(restarted.AppendRecord("next"));
  EXPECT_EQ(bvtest::ReadNative(logNative(day + "_4.log")), "next\r\r\n");

  bvtest::WriteNative(logNative(day + "_4.log"), std::string(CLogSet::kMaxFileSize, 'x'));
  CLogSet again;
  ASSERT_TRUE(again.SetLogFolder(log.LogFolder()));
  ASSERT_TRUE(again.AppendRecord("new"));
  EXPECT_EQ(bvtest::ReadNative(logNative(day + "_5.log")), "new\r\r\n");
  EXPECT_EQ(fs::file_size(logNative(day + "_4.log")), CLogSet::kMaxFileSize);

  // The open file deleted is made again; a folder in its place loses only that record.
  fs::remove(logNative(day + "_5.log"));
  ASSERT_TRUE(again.AppendRecord("again"));
  EXPECT_EQ(bvtest::ReadNative(logNative(day + "_5.log")), "again\r\r\n");
  fs::remove(logNative(day + "_5.log"));
  fs::create_directory(logNative(day + "_5.log"));
  EXPECT_FALSE(again.AppendRecord("lost"));
  fs::remove(logNative(day + "_5.log"));
  ASSERT_TRUE(again.AppendRecord("kept"));
  EXPECT_EQ(bvtest::ReadNative(logNative(day + "_5.log")), "kept\r\r\n");
  bvtest::WriteNative(dir.NativeOf("blocker"), "file");  // in the way of the folder
  EXPECT_FALSE(CLogSet().SetLogFolder(dir.SystemOf("blocker\\log")));
}

// Every event's record, paths native, escaped, and the events that write none.
TEST(LogRecord, ExactTextOfEveryRecordedEvent) {
  bvtest::ScratchEnv env;  // C: is "/", Q: is unknown
  const PlanInfoForLog plan{"Docs", 3, 5, "C:\\Backup", 1, "", ""};
  PlanInfoForLog usb = plan, continuous = plan, odd = plan;
  usb.storageType = 2;
  usb.usbModel = "Ultra Fit";
  usb.usbVendor = "Acme";
  continuous.scheduleUnit = 1;
  odd.name = "Do\ncs";
  const std::string t = "Sun Dec  6 05:20:08 2026";
  const std::string head = "\nPlan Name = Docs\nTime = " + t;
  struct Case {
    EventData event;
    const PlanInfoForLog* plan;
    std::string text;  // empty: no record
  };
  const Case cases[] = {
      {EventData(kEvFileCopied, "C:\\a.doc", 1, "C:\\Backup\\Latest\\C\\a.doc", "", 0), &plan,
       "#Backup File Success" + head +
           "\nSource Path = /a.doc\nDestination Path = /Backup/Latest/C/a.doc\n"},
      {EventData(kEvFileFailed, "C:\\b.doc", 1, "E:\\x", "Access is denied.", 5), &plan,
       "#Backup File Fail" + head + "\nSource Path = /b.doc\nError = Access is denied.\n"},
      {EventData(kEvPlanEnabled, "", 1, "", "", 0), &plan, "#Plan Enabled" + head + "\n"},
      {EventData(kEvRunBegins, "Docs", 1, "", "", 0), &plan,
       "#Scheduled Backup Start\nDocs\n" + t + "\n"},
      {EventData(kEvRunEnds, "Docs", 1, "", "", 12), &plan,
       "#Scheduled Backup Complete\nDocs\n" + t + "\n"},
      {EventData(kEvPlanCreated, "Docs", 1, "", "", 0), &plan,
       "#Plan Create" + head + "\nVersions = 5\nDestination = /Backup\n"},
      {EventData(kEvPlanCreated, "", 1, "", "", 0), &usb,
       "#Plan Create" + head +
           "\nVersions = 5\nDestination = /Backup\nDestination Model ID = Ultra Fit\n"
           "Destination Vendor =Acme\n"},
      {EventData(kEvScanEnds, "", 1, "", "", 0), &continuous,
       "#Plan Initial Backup End " + head + "\n"},
      // A first backup's run is written by its scan's records, a continuous plan's not at all.
      {EventData(kEvRunBegins, "Docs", 1, kRunIsFirstBackup, "", 0), &plan, ""},
      {EventData(kEvRunBegins, "", 1, "", "", 0), &continuous, ""},
      {EventData(kEvFileFailed, "x", 1, "", "", 0), nullptr, ""},
      // Control characters are escaped in every field and in the plan's name.
      {EventData(kEvFileCopied, "C:\\inj\r\n#Plan Deleted\r\nx\t\x7f", 1, "Q:\\L\\inj\r\n", "", 0),
       &odd,
       "#Backup File Success\nPlan Name = Do\\x0Acs\nTime = " + t +
           "\nSource Path = /inj\\x0D\\x0A#Plan Deleted\\x0D\\x0Ax\\x09\\x7F"
           "\nDestination Path = Q:\\L\\inj\\x0D\\x0A\n"},
      {EventData(kEvInvalidContent, "Line too long", 0, "C:\\x\\Ext.txt", "", 0), nullptr,
       "#Invalid Content\nTime = " + t + "\nDescription = Line too long\nFile = /x/Ext.txt\n"},
      {EventData(kEvDatabaseOpenFailed, "C:\\d\\Logging.dat", 1, "", "", 0), &plan,
       "#Journal Cannot Be Opened" + head + "\nPath = /d/Logging.dat\n"},
      {EventData(kEvNotProtected, "C:\\a\\b\\c", 1, "C:\\a\\", "The name holds \\.", 0), &plan,
       "#File Not Protected" + head + "\nSource Path = /a/b\\c\nReason = The name holds \\.\n"},
      {EventData(kEvServerKeyChanged, "sftp://host:22", 1, "", "Nothing was sent.", 0), &plan,
       "#Server Key Changed" + head + "\nServer = sftp://host:22\nReason = Nothing was sent.\n"},
      {EventData(kEvServerUnreachable, "nas:21", 1, "", "No answer.", 0), &plan,
       "#Server Unreachable" + head + "\nServer = nas:21\nReason = No answer.\n"},
      {EventData(kEvServerUnreachable, "nas:21", 1, "", "Wrong password.", 1), &plan,
       "#Server Login Refused" + head + "\nServer = nas:21\nReason = Wrong password.\n"},
      {EventData(kEvServerNotEncrypted, "nas:21", 1, "", "Refused.", 0), &plan,
       "#Server Not Encrypted" + head + "\nServer = nas:21\nReason = Refused.\n"},
      {EventData(kEvSourceKeepsChanging, "C:\\vm.img", 1, "C:\\S\\vm.img", "It changed.", 0), &plan,
       "#Backup File Changes During Every Copy" + head +
           "\nSource Path = /vm.img\nDestination Path = /S/vm.img\nReason = It changed.\n"},
      {EventData(kEvStoreState, "/team/", 1, "", "Not ours.", 4), &plan,
       "#Backup Store Refused" + head + "\nDestination = /team/\nReason = Not ours.\n"},
      {EventData(kEvStoreState, "/team/", 1, "", "Kept.", 5), &plan,
       "#Backup Store Keeps Old Versions" + head + "\nDestination = /team/\nReason = Kept.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.event.code);
    std::string text;
    EXPECT_EQ(BuildLogRecord(c.event, c.plan, t, &text), !c.text.empty()) << text;
    if (!c.text.empty()) {
      EXPECT_EQ(text, c.text);
    }
  }
  for (int32_t code : {0, 1, 5, 8, 9, 14, 33, 35, 36})
    EXPECT_TRUE(IsProtectionProblem(code)) << code;
  for (int32_t code : {2, 12, 13, 15, 16, 20, 21, 27, 30, 31, 32}) {
    std::string text;
    EXPECT_FALSE(BuildLogRecord(EventData(code, "x", 1, "", "", 0), &plan, t, &text)) << code;
  }
  EXPECT_EQ(EscapeControls("a\xc2\x85"
                           "b\xe2\x80\xa8"
                           "c\xe2\x80\xa9\xc3\xa9"),
            "a\\u0085b\\u2028c\\u2029\xc3\xa9");
}

}  // namespace
