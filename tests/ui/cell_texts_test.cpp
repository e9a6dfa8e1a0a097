// The plan cards' texts and states from a snapshot, and a deleted plan's files removed.
#include <tuple>

#include "ViewTestKit.h"
#include "destinations/FtpDevice.h"
#include "destinations/ObjectDevice.h"
#include "plans/RuleFile.h"
#include "ui/main/PlanProblem.h"
#include "ui/main/StoreRemoval.h"
#include "ui/model/PlanSnapshot.h"
#include "ui/restore/RestoreTexts.h"

namespace fs = std::filesystem;

namespace bvtest {
namespace {

PlanSnapshot Snap(int32_t unit, int32_t type = kStorageLocal) {
  PlanSnapshot s;
  s.id = 1;
  s.name = "P";
  s.scheduleUnit = unit;
  s.enabled = true;
  s.hasDestination = true;
  s.available = true;
  s.storageType = type;
  s.root = "E:\\Store\\";
  return s;
}

SpaceFigures Free(uint64_t bytes) { return {true, true, bytes, 100 * bytes}; }

// Dates in the user's locale with four-digit years; counts; schedules and problems in words.
TEST(CellTextsTest, DatesCountsAndSchedulesForPeople) {
  App();
  ScopedEnv tz("TZ", "UTC");
  const QLocale userLocale;
  const int64_t t = 1236434700;  // 7 March 2009 14:05 UTC
  const struct {
    const char* locale;
    int64_t value;  // a time, or a count of files
    bool count;
    const char* text;
  } rows[] = {
      {"de_DE", t, false, "07.03.2009 14:05"},
      {"en_GB", t, false, "07/03/2009 14:05"},
      {"en_GB", 864000, false, "11/01/1970 00:00"},  // the first year with dates
      {"en_US", 0, false, ""},
      {"en_US", -5, false, ""},
      {"en_US", 1, true, "1 file"},
      {"en_US", 0, true, "0 files"},
      {"en_US", 12345, true, "12,345 files"},
      {"de_DE", 12345, true, "12.345 files"},
  };
  for (const auto& c : rows) {
    QLocale::setDefault(QLocale(QString::fromLatin1(c.locale)));
    EXPECT_EQ(c.count ? CountText("FILES", c.value) : FormatCellDate(c.value), c.text)
        << c.locale << " " << c.value;
  }
  // The US short form has a two-digit year; the card's has four.
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  EXPECT_NE(FormatCellDate(t).find("3/7/2009"), std::string::npos) << FormatCellDate(t);
  QLocale::setDefault(userLocale);

  // A text with more fields than values never reads past them.
  EXPECT_EQ(FormatText("%d files by \"%s\"", {"12", "Docs"}), "12 files by \"Docs\"");
  EXPECT_EQ(FormatText("%s%% of %ld (%.2d)", {"50", "7", "3"}), "50% of 7 (3)");
  EXPECT_EQ(FormatText("%s and %s and %d", {"a"}), "a and  and ");
  EXPECT_EQ(FormatText("100 %", {"x"}), "100 %");
  EXPECT_EQ(ScheduleText(1), GetText("WIZARD_WHEN_TO_BACKUP", "BACKUP_MODE_CONTINUOUSLY"));
  EXPECT_EQ(ScheduleText(9), GetText("WIZARD_WHEN_TO_BACKUP", "BACKUP_MODE_MANUALLY"));
  for (const auto& [unit, n, text] : {std::tuple{2, 1, "Every minute"},
                                      {2, 15, "Every 15 minutes"},
                                      {3, 1, "Every hour"},
                                      {3, 3, "Every 3 hours"}})
    EXPECT_EQ(ScheduleText(unit, n), text);
  PlanSnapshot daily = Snap(4);
  daily.hasTask = true;
  daily.nextDue = t;
  EXPECT_EQ(NextBackupText(daily), FormatCellDate(t));
  // Paused: no next backup, unless by hand.
  for (const auto& [unit, key, paused] : {std::tuple{1, "CONTINUOUS", "STOPPED"},
                                          {4, "STOPPED", "STOPPED"},
                                          {7, "STARTUP", "STOPPED"},
                                          {8, "MANUALLY", "MANUALLY"}}) {
    PlanSnapshot snap = Snap(unit);
    EXPECT_EQ(NextBackupText(snap), Grid((std::string("NEXT_BACKUP_TIME_") + key).c_str()));
    snap.enabled = false;
    snap.hasTask = true;
    EXPECT_EQ(NextBackupText(snap), Grid((std::string("NEXT_BACKUP_TIME_") + paused).c_str()));
  }
  // On battery a stopped plan only records changes; an unplugged disk still says so first.
  PlanSnapshot stopped = Snap(8), unplugged = Snap(1);
  stopped.enabled = unplugged.available = false;
  EXPECT_EQ(ComputeStatus(stopped, true, Free(kMiB)).icon, StatusIcon::kBattery);
  EXPECT_EQ(ComputeStatus(unplugged, true, Free(kMiB)).icon, StatusIcon::kAlert);
  // Blocked for space once a figure says so.
  PlanSnapshot share = Snap(1, kStorageNetwork);
  share.root = "\\\\nas\\backup\\";
  PlanSnapshot pausedShare = share;
  pausedShare.enabled = false;
  const struct {
    PlanSnapshot s;
    bool battery;
    SpaceFigures space;
    bool blocked;
    int known;  // -1: not looked at
  } blocks[] = {
      {Snap(1), false, SpaceFigures{}, false, 0},
      {Snap(1), false, Free(kTooFullBytes), true, 1},
      {Snap(1), false, Free(kTooFullBytes + 1), false, -1},
      {Snap(1), false, SpaceFigures{true, false, 0, 0}, true, -1},
      {Snap(1), true, Free(kTooFullBytes + 1), true, -1},
      {share, false, SpaceFigures{}, false, 1},
      {pausedShare, false, SpaceFigures{}, true, -1},
  };
  for (size_t i = 0; i < std::size(blocks); ++i) {
    SCOPED_TRACE(i);
    bool known = blocks[i].known != 1;
    EXPECT_EQ(IsSnapshotBlocked(blocks[i].s, blocks[i].battery, blocks[i].space, &known),
              blocks[i].blocked);
    if (blocks[i].known >= 0) {
      EXPECT_EQ(known, blocks[i].known == 1);
    }
  }
  PlanSnapshot never = Snap(1);
  EXPECT_EQ(LastBackupText(never), Grid("LAST_BACKUP_TIME_HAVE_NOT_RUN"));
  never.lastBackupTime = t;
  EXPECT_EQ(LastBackupText(never), FormatCellDate(t));

  // Why a plan cannot copy, in words; a disk away keeps its folder.
  PlanSnapshot away = Snap(1);
  away.available = false;
  away.awaySince = t;
  away.root = "Q:\\Store\\";  // no such drive now
  away.storeFolder = "/media/ann/BACKUP/Store";
  EXPECT_EQ(DestinationText(away), "Local disk: /media/ann/BACKUP/Store");
  PlanSnapshot ftp = away;
  ftp.storageType = kStorageFtp;
  ftp.serverStore = "ftp://nas.local/backup/";
  PlanSnapshot sftp = ftp;  // the restore window names the server, its protocol and folder
  sftp.name = "Offsite";
  sftp.available = true;
  sftp.serverStore = "sftp://nas.local:2222/backup/";
  EXPECT_EQ(PlanLineText(sftp), "\"Offsite\" on the server sftp://nas.local:2222/backup/");
  EXPECT_EQ(DestinationKindText(sftp), Grid("SFTP_SERVER"));
  FtpSettings encrypted;  // the card of encrypted FTP says so
  encrypted.server = "nas.local";
  encrypted.root = "/backup/";
  PlanSnapshot ftps = ftp;
  ftps.serverStore = ReadableFtpStore(encrypted);
  EXPECT_EQ(ftps.serverStore, "ftps://nas.local/backup/");
  EXPECT_EQ(DestinationKindText(ftps), Grid("FTPS_SERVER"));
  encrypted.security = kFtpPlain;
  EXPECT_EQ(ReadableFtpStore(encrypted), "ftp://nas.local/backup/");
  PlanSnapshot bucket = sftp;  // a bucket: its store and its endpoint's host
  bucket.storageType = kStorageObject;
  ObjectStoreSettings files;
  files.endpoint = "https://s3.example.com:9000/";
  files.bucket = "files";
  files.prefix = "ann/";
  bucket.serverStore = ReadableObjectStore(files);
  bucket.endpointHost = ObjectEndpointHost(files.endpoint);
  EXPECT_EQ(DestinationText(bucket), "Object storage at s3.example.com: s3://files/ann/");
  EXPECT_EQ(PlanLineText(bucket),
            "\"Offsite\" in the object store s3://files/ann/ at s3.example.com");
  PlanSnapshot readOnly = Snap(1), broken = Snap(1), pausedAway = away;
  readOnly.copyError = 19;
  broken.copyError = 1117;
  PlanSnapshot waitsForRoom = Snap(1);  // one file waits, the others are copied
  waitsForRoom.roomWanted = 70 * kMiB;
  PlanSnapshot unrecorded = away;  // worse than the disk away: changes are lost
  unrecorded.unrecorded = 112;
  pausedAway.enabled = false;
  const SpaceFigures plenty = Free(500 * kMiB);
  const struct {
    PlanSnapshot s;
    SpaceFigures space;
    int32_t serverRefused;  // the event that said so; 1: another key
    const char* label;
    int64_t now;
    ProblemKind kind;
    std::string words;
  } problems[] = {
      {away, plenty, false, "", t + 60, ProblemKind::kDiskAway,
       "the backup disk is not connected since 14:05"},
      {away, plenty, false, "BACKUP", t + 60, ProblemKind::kDiskAway,
       "the disk BACKUP is not connected since 14:05"},
      {away, plenty, false, "", t + 86400, ProblemKind::kDiskAway,
       "the backup disk is not connected since " + FormatCellDate(t)},
      {readOnly, plenty, false, "", t, ProblemKind::kNotWritable,
       "the backup folder cannot be written to: " + GetText("PLAN_HEALTH", "ERROR_19")},
      {ftp, plenty, false, "", t + 60, ProblemKind::kServerUnreachable,
       "the server nas.local cannot be reached since 14:05"},
      {ftp, plenty, kEvServerUnreachable, "", t + 60, ProblemKind::kServerUnreachable,
       "the server nas.local refused the plan's login since 14:05"},
      {ftp, plenty, 1, "", t, ProblemKind::kKeyNotTrusted,
       GetText("PLAN_PROBLEM", "KEY_NOT_TRUSTED")},
      {ftp, plenty, kEvServerKeyUntrusted, "", t, ProblemKind::kKeyNotTrusted,
       GetText("PLAN_PROBLEM", "KEY_UNTRUSTED_YET")},
      {ftp, plenty, kEvServerNotEncrypted, "", t, ProblemKind::kNotEncrypted,
       GetText("PLAN_PROBLEM", "NOT_ENCRYPTED")},
      {broken, plenty, false, "", t, ProblemKind::kOther,
       "copies fail: " + GetText("PLAN_HEALTH", "ERROR_1117")},
      {waitsForRoom, Free(49 * kMiB), false, "", t, ProblemKind::kDiskFull,
       "the backup disk is full: 21 MB more is needed"},
      {unrecorded, plenty, false, "", t, ProblemKind::kNotRecording,
       "changes are not recorded, the data folder's disk says: the disk is full"},
      {pausedAway, plenty, false, "", t, ProblemKind::kNone, ""},
      {Snap(1), plenty, false, "", t, ProblemKind::kNone, ""},
  };
  // A full disk and an unreachable share: the view's problem tests, on their cards.
  for (const auto& p : problems) {
    const PlanProblem found = FindProblem(p.s, p.space, p.serverRefused, p.label, p.now);
    EXPECT_EQ(found.kind, p.kind) << p.words;
    EXPECT_EQ(found.words, p.words);
  }
  EXPECT_EQ(ProblemLine("Documents", FindProblem(away, plenty, 0, "BACKUP", t + 60)),
            "Documents: the disk BACKUP is not connected since 14:05");
}

// Only the journal's files go, never another plan's (the cards' delete removes a whole store, a
// read-only file too); a store whose other plans cannot be read stays; the worker finishes.
TEST(StoreRemovalTest, RemovesOnlyThePlansFilesAndFinishesBeforeTheWorkerGoes) {
  TempDir dir;
  const std::string sys = dir.System();
  auto journal = [&](const std::string& rel, const std::vector<std::string>& paths) {
    fs::create_directories(dir.NativeOf(rel));
    CLoggingDatabase db;
    EXPECT_EQ(db.Open(sys + "\\" + rel + "\\", 1), 0u);
    for (const std::string& p : paths) EXPECT_EQ(db.NoteChangedFile(p), 0u);
    return sys + "\\" + rel;
  };
  const std::vector<std::string> kept = {"Brevanto.dat", "Latest/C/other/o.txt",
                                         "Latest/C/src/both.txt", "Revision/C/src/a(0001) x.txt"};
  for (const std::string& rel : kept) dir.Write("mixed/" + rel, rel);
  for (const char* rel :
       {"Latest/C/src/a.txt", "Revision/C/src/a(0001).txt", "Revision/C/src/a(0017).txt"})
    dir.Write(std::string("mixed/") + rel, "gone");
  CRuleSet other;
  other.AddGroup(kRuleInclude, "group1", "Sources")->AddItem("C:\\other", "");
  other.Group(kRuleInclude, 0)->AddItem("C:\\src\\both.txt", "");
  ASSERT_TRUE(SaveRuleSet(other, sys + "\\rules.ini"));
  const std::vector<std::string> paths = {"C:\\src\\a.txt", "C:\\src\\both.txt",
                                          "C:\\other\\o.txt"};
  EXPECT_FALSE(
      RemovePlanFiles({sys + "\\mixed", journal("j2", paths), 1, {sys + "\\none.ini"}}, nullptr));
  EXPECT_TRUE(
      RemovePlanFiles({sys + "\\mixed", journal("j3", paths), 1, {sys + "\\rules.ini"}}, nullptr));
  for (const std::string& rel : kept) EXPECT_EQ(dir.Read("mixed/" + rel), rel);
  EXPECT_FALSE(fs::exists(dir.NativeOf("mixed/Latest/C/src/a.txt")));
  EXPECT_FALSE(fs::exists(dir.NativeOf("mixed/Revision/C/src/a(0017).txt")));
  EXPECT_FALSE(RemovePlanFiles({"", journal("j4", paths), 1, {}}, nullptr));

  std::vector<std::string> many;
  dir.Write("big/Brevanto.dat", "");
  for (int i = 0; i < 600; ++i) {
    const std::string rel = "d" + std::to_string(i % 30) + "/f" + std::to_string(i);
    dir.Write("big/Latest/C/" + rel, "x");
    many.push_back("C:\\d" + std::to_string(i % 30) + "\\f" + std::to_string(i));
  }
  {
    CViewWorker worker;
    worker.RemoveStore({sys + "\\big\\", journal("j5", many), 1, {}});
  }
  EXPECT_FALSE(fs::exists(dir.NativeOf("big")));
}

}  // namespace
}  // namespace bvtest
