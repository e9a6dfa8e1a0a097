// The main view's plan cards on real widgets (offscreen) and real plans.
#include <QDateTime>
#include <QHBoxLayout>
#include <QScrollArea>
#include <future>
#include <mutex>
#include <sstream>
#include <tuple>

#include "UiTestKit.h"
#include "destinations/FtpDevice.h"
#include "destinations/ObjectDevice.h"
#include "engine/CSimpleEngine.h"
#include "engine/CTask.h"
#include "engine/CatchUpRequests.h"
#include "engine/RunFile.h"
#include "plans/RuleFile.h"
#include "platform/process/Clock.h"
#include "support/ReadOnlyFolder.h"
#include "ui/main/CPlanCell.h"
#include "ui/main/PlanProblem.h"
#include "ui/main/StoreRemoval.h"
#include "ui/main/ViewWorker.h"
#include "ui/model/CellTexts.h"
#include "ui/model/PlanSnapshot.h"
#include "ui/restore/RestoreTexts.h"
#include "ui/widgets/CDlgSureMessage.h"

namespace fs = std::filesystem;

namespace {

using bvtest::App;
using bvtest::ReadNative;
using bvtest::RunUntil;
using bvtest::Shoot;
using bvtest::WhenModal;
using bvtest::WriteNative;

constexpr uint64_t kMiB = 1048576;

std::string Grid(const char* key) { return GetText("UGGRID", key); }
std::string Paused() { return GetText("PLAN_HEALTH", "STATUS_PAUSED"); }

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

TEST(CellStatusTest, FirstRuleThatAppliesWinsAndBlockedWaitsForASpaceFigure) {
  const SpaceFigures plenty = Free(500 * kMiB);
  PlanSnapshot unplugged = Snap(1);
  unplugged.available = false;
  PlanSnapshot stoppedManual = Snap(8);
  stoppedManual.enabled = false;
  PlanSnapshot running = Snap(4);
  running.mode = 2;
  PlanSnapshot paused = running;
  paused.enabled = false;
  PlanSnapshot failing = running;
  failing.copyError = 19;
  const struct {
    PlanSnapshot s;
    bool battery;
    SpaceFigures space;
    const char* key;
    StatusIcon icon;
  } cases[] = {
      {unplugged, false, plenty, "PLAN_STATUS_LOGGING", StatusIcon::kAlert},
      {unplugged, true, plenty, "PLAN_STATUS_LOGGING", StatusIcon::kAlert},
      {stoppedManual, false, plenty, "PLAN_STATUS_STOPPED", StatusIcon::kStopped},
      {stoppedManual, true, plenty, "PLAN_STATUS_LOGGING", StatusIcon::kBattery},
      {paused, false, plenty, "STATUS_PAUSED", StatusIcon::kStopped},
      {failing, false, Free(5 * kMiB), "STATUS_FAILING", StatusIcon::kFailing},
      {Snap(1), false, Free(5 * kMiB), "PLAN_STATUS_LOGGING", StatusIcon::kAlert},
      {running, false, plenty, "PLAN_STATUS_PROTECTING", StatusIcon::kWaiting},
      {Snap(1), false, plenty, "PLAN_STATUS_WATCHING", StatusIcon::kWatching},
      {Snap(5), false, plenty, "PLAN_STATUS_WAITING", StatusIcon::kWaiting},
      // Only local and USB disks are measured: a full network drive stays watching.
      {Snap(1, kStorageNetwork), false, Free(1), "PLAN_STATUS_WATCHING", StatusIcon::kWatching},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const PlanStatus st = ComputeStatus(cases[i].s, cases[i].battery, cases[i].space);
    EXPECT_STREQ(st.textKey, cases[i].key);
    EXPECT_EQ(st.icon, cases[i].icon);
    EXPECT_EQ(st.animated, i == 7);
  }

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
}

// Dates in the user's locale with four-digit years; counts with nouns and
// grouping; schedules and backup times in words.
TEST(CellTextsTest, DatesCountsAndSchedulesForPeople) {
  App();
  bvtest::ScopedEnv tz("TZ", "UTC");
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

  // Fields take the values in order; a translated text with more fields than
  // values never reads past them.
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
  EXPECT_EQ(NextBackupText(daily), Grid("NEXT_BACKUP_TIME_STOPPED"));  // no task
  daily.hasTask = true;
  daily.nextDue = t;
  EXPECT_EQ(NextBackupText(daily), FormatCellDate(t));
  EXPECT_EQ(NextBackupText(Snap(1)), Grid("NEXT_BACKUP_TIME_CONTINUOUS"));
  EXPECT_EQ(NextBackupText(Snap(7)), Grid("NEXT_BACKUP_TIME_STARTUP"));
  EXPECT_EQ(NextBackupText(Snap(8)), Grid("NEXT_BACKUP_TIME_MANUALLY"));
  for (int32_t unit : {1, 4, 7, 8}) {  // paused: no next backup, unless by hand
    PlanSnapshot paused = Snap(unit);
    paused.enabled = false;
    paused.hasTask = true;
    EXPECT_EQ(NextBackupText(paused),
              Grid(unit == 8 ? "NEXT_BACKUP_TIME_MANUALLY" : "NEXT_BACKUP_TIME_STOPPED"))
        << unit;
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
  PlanSnapshot share = away;
  share.storageType = kStorageNetwork;
  share.root = "\\\\nas\\backup\\";
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
      {Snap(1), Free(4 * kMiB), false, "", t, ProblemKind::kDiskFull,
       "the backup disk is full: 6 MB more is needed"},
      {readOnly, plenty, false, "", t, ProblemKind::kNotWritable,
       "the backup folder cannot be written to: " + GetText("PLAN_HEALTH", "ERROR_19")},
      {share, plenty, false, "", t + 60, ProblemKind::kServerUnreachable,
       "the server nas cannot be reached since 14:05"},
      {ftp, plenty, false, "", t + 60, ProblemKind::kServerUnreachable,
       "the server nas.local cannot be reached since 14:05"},
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
  for (const auto& p : problems) {
    const PlanProblem found = FindProblem(p.s, p.space, p.serverRefused, p.label, p.now);
    EXPECT_EQ(found.kind, p.kind) << p.words;
    EXPECT_EQ(found.words, p.words);
  }
  EXPECT_EQ(ProblemLine("Documents", FindProblem(away, plenty, 0, "BACKUP", t + 60)),
            "Documents: the disk BACKUP is not connected since 14:05");
}

// Only the files the plan's journal names go, never those a plan sharing the store protects
// (nothing when its rules cannot be read); a store left empty goes; a worker that goes away
// lets its removal finish first.
TEST(StoreRemovalTest, RemovesOnlyThePlansFilesAndFinishesBeforeTheWorkerGoes) {
  bvtest::TempDir dir;
  const std::string sys = dir.System();
  auto journal = [&](const std::string& rel, const std::vector<std::string>& paths) {
    fs::create_directories(dir.NativeOf(rel));
    CLoggingDatabase db;
    EXPECT_EQ(db.Open(sys + "\\" + rel + "\\", 1), 0u);
    for (const std::string& p : paths) EXPECT_EQ(db.NoteChangedFile(p), 0u);
    return sys + "\\" + rel;
  };
  dir.Write("only/Brevanto.dat", "");
  dir.Write("only/Latest/C/src/a.txt", "a");
  dir.Write("only/Revision/C/src/a(0001).txt", "a");
  fs::permissions(dir.NativeOf("only/Latest/C/src/a.txt"), fs::perms::owner_read);
  EXPECT_TRUE(
      RemovePlanFiles({sys + "\\only\\", journal("j1", {"C:\\src\\a.txt"}), 1, {}}, nullptr));
  EXPECT_FALSE(fs::exists(dir.NativeOf("only")));
  EXPECT_FALSE(fs::exists(dir.NativeOf("j1")));

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

// E: a fixed disk, F: a removable USB disk, G: present only while plugged,
// H: a full disk.
class ViewTest : public bvtest::UiTest {
 protected:
  std::string Volumes() const override {
    std::string ini = Drive("E", "evol", "Type=fixed\nTotalBytes=536870912000\n");
    if (eFree_) ini += "FreeBytes=" + std::to_string(eFree_) + "\n";
    ini += Drive("F", "fvol",
                 "Type=removable\nBus=usb\nSerial=12AB34CD\nTotalBytes=64424509440\n"
                 "FreeBytes=22548578304\n");
    if (gPlugged_) ini += Drive("G", "gvol", "Type=fixed\nLabel=BACKUP\n");
    ini += Drive("H", "hvol", "Type=fixed\nTotalBytes=32212254720\nFreeBytes=4194304\n");
    return ini;
  }
  void Plug(bool plugged) {
    gPlugged_ = plugged;
    WriteVolumes();
  }
  static CellContent ContentOf(CBrevantoView& view, uint32_t id) {
    CPlanCell* cell = view.Cell(id);
    return cell ? cell->Content() : CellContent{};
  }
  static std::string Status(CBrevantoView& view, uint32_t id) {
    return ContentOf(view, id).statusText.toStdString();
  }
  // Refreshes until every plan has its card (busy locks are skipped).
  static void Show(CBrevantoView& view) {
    PlanList& list = PlanList::Instance();
    ASSERT_TRUE(RunUntil([&] {
      view.Refresh();
      std::lock_guard<std::recursive_mutex> lock(list.Lock());
      return view.CellIds().size() == list.Count();
    }));
  }
  // Refreshes the view until done (a refresh skips plans whose lock is busy).
  static bool Until(CBrevantoView& view, const std::function<bool()>& done, int ms = 60000) {
    return RunUntil(
        [&] {
          view.Refresh();
          return done();
        },
        ms);
  }
  std::string LoggingStamp(uint32_t id) const {
    return plat::GetProfileString(
        dir_.System() + "\\data\\PLAN\\" + std::to_string(id) + "\\UI.ini", "MainWindow",
        "LoggingModeTime", "");
  }

  uint64_t eFree_ = 0;
  bool gPlugged_ = true;
};

TEST_F(ViewTest, ShowsOneCellPerPlanWithItsTexts) {
  CPlanCell::SetAnimationsEnabled(false);
  CMainFrame frame;
  CBrevantoView& view = *frame.View();
  frame.resize(960, 1000);
  frame.show();
  EXPECT_TRUE(view.CellIds().empty());
  EXPECT_TRUE(view.findChild<QWidget*>("emptyCard")->isVisibleTo(&view));
  Shoot(&frame, "main-empty.png");

  CPlan* watch = MakePlan("Documents", "E:\\Docs\\", 1, true, kStorageLocal, 999);
  CPlan* daily = MakePlan("Pictures", "E:\\Pics\\", 4, true);
  CPlan* manual = MakePlan("Music", "F:\\Music\\", 8, false, kStorageUsb);
  ASSERT_TRUE(watch && daily && manual);
  watch->SetKeepDays(kKeepMonth);
  // Two revisions of 1,000 bytes each in the store, measured on a job.
  for (const char* name : {"Revision/C/a(0001).txt", "Revision/C/x/a(0002).txt"})
    bvtest::WriteNative(dir_.NativeOf(std::string("evol/Docs/") + name), std::string(1000, 'r'));
  Show(view);
  EXPECT_EQ(view.CellIds(), (std::vector<uint32_t>{watch->Id(), daily->Id(), manual->Id()}));
  EXPECT_FALSE(view.findChild<QWidget*>("emptyCard")->isVisibleTo(&view));

  const CellContent w = ContentOf(view, watch->Id());
  EXPECT_EQ(w.name.toStdString(), "Documents");
  EXPECT_EQ(w.statusText.toStdString(), Grid("PLAN_STATUS_WATCHING"));
  // The store as the user knows it, never in drive-letter form.
  EXPECT_EQ(w.destination.toStdString(), "Local disk: " + dir_.NativeOf("evol") + "/Docs");
  EXPECT_TRUE(w.canBackUpNow);  // a continuous plan looks for what it missed
  EXPECT_EQ(Status(view, daily->Id()), Grid("PLAN_STATUS_WAITING"));
  const CellContent m = ContentOf(view, manual->Id());
  EXPECT_EQ(m.statusText.toStdString(), Grid("PLAN_STATUS_STOPPED"));
  EXPECT_EQ(m.destination.toStdString(), "Removable disk: " + dir_.NativeOf("fvol") + "/Music");
  EXPECT_EQ(m.nextBackup.toStdString(), Grid("NEXT_BACKUP_TIME_MANUALLY"));
  EXPECT_TRUE(m.showLaunch);

  // Counts and free space come back from the worker.
  view.RefreshPendingCounts();
  ASSERT_TRUE(RunUntil([&] {
    return ContentOf(view, watch->Id()).pending == "0" &&
           !ContentOf(view, watch->Id()).space.isEmpty();
  }));
  EXPECT_NE(ContentOf(view, watch->Id()).space.toStdString().find("500.00 G"), std::string::npos);
  // How long and how many versions stay, and the room they take.
  ASSERT_TRUE(RunUntil([&] {
    return ContentOf(view, watch->Id()).versions.toStdString() ==
           "Versions kept: for 30 days (up to 999); they take " + FormatSize(2000, "", false);
  })) << ContentOf(view, watch->Id()).versions.toStdString();
  EXPECT_EQ(
      ContentOf(view, daily->Id()).versions.toStdString().rfind("Versions kept: the newest 3", 0),
      0u);
  view.Cell(daily->Id())->SetOptionsOpen(true);
  Shoot(&frame, "main.png");
  frame.resize(760, 600);  // a small screen: 1366 x 768 less the desktop's bars
  Shoot(&frame, "main-small.png");
  // A 263-character name leaves every button inside a 1024 x 768 window.
  CPlanCell* cell = view.Cell(manual->Id());
  CellContent longName = cell->Content();
  longName.name = QString(263, QLatin1Char('W'));
  cell->SetContent(longName);
  cell->SetOptionsOpen(true);
  frame.resize(1024, 768);
  Shoot(&frame, "main-long-name.png");
  view.findChild<QScrollArea*>("planScroll")->ensureWidgetVisible(cell, 0, 0);
  QCoreApplication::processEvents();
  for (const QWidget* b : std::initializer_list<const QWidget*>{
           cell->BackupNowButton(), cell->PauseButton(), cell->DeleteButton(), cell->MoreButton(),
           cell->RestoreButton(), cell->EditButton(), cell->ArchiveButton()})
    EXPECT_TRUE(frame.rect().contains(QRect(b->mapTo(&frame, QPoint(0, 0)), b->size())))
        << b->objectName().toStdString();
  CPlanCell::SetAnimationsEnabled(true);

  // Files whose names the store cannot hold, and files too large: counted once each on the card.
  for (const char* path : {"C:\\x\\a\\b", "C:\\x\\\\xFF", "C:\\x\\a\\b"})
    watch->NoteUnheldName(path);
  bvtest::TempDir big(bvtest::TempDir::Where::kHome);
  big.Write("v.mkv", "");
  fs::resize_file(big.NativeOf("v.mkv"), 3 << 20);  // over 2 MB in whole MB
  SetBackupFileMaxSize(2);
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(watch->Engine()->BackupFile(big.System() + "\\v.mkv", false, nullptr, 0),
              kBackupTooLarge);
  SetBackupFileMaxSize(0);
  EXPECT_TRUE(Until(view, [&] {
    return ContentOf(view, watch->Id()).notProtected.toStdString() ==
           "2 files cannot be protected (the store cannot hold them, see the log)\n"
           "1 file too large \u2014 change the limit";
  }));
  EXPECT_TRUE(view.Cell(watch->Id())->findChild<QLabel*>("notProtectedValue")->isVisibleTo(&view));
  EXPECT_TRUE(ContentOf(view, manual->Id()).notProtected.isEmpty());

  // A plan deleted elsewhere loses its cell at the next refresh.
  PlanList::Instance().DeletePlan(daily->Id());
  Show(view);
  EXPECT_EQ(view.CellIds(), (std::vector<uint32_t>{watch->Id(), manual->Id()}));
}

// A nearly full disk warns, a too full or unplugged one makes the plan only
// record; the recording period is counted in days and ends when plugged back.
TEST_F(ViewTest, RecordingOnlyWhileTheDiskIsFullOrAway) {
  CBrevantoView view;
  std::vector<std::string> messages;
  QObject::connect(&view, &CBrevantoView::messageRequested,
                   [&](const QString& text, int) { messages.push_back(text.toStdString()); });
  uint32_t offeredFor = 0;  // the full disk's pop-up offers to make room
  QObject::connect(&view, &CBrevantoView::makeRoomOffered,
                   [&](const QString& text, int, uint32_t id) {
                     messages.push_back(text.toStdString());
                     offeredFor = id;
                   });
  auto has = [&](const std::string& text) {
    return std::find(messages.begin(), messages.end(), text) != messages.end();
  };
  CPlan* docs = MakePlan("Docs", "E:\\Docs\\", 1, true);
  ASSERT_TRUE(docs);
  const std::string willFull = FormatText(GetText("MAIN_UI", "DISK_WILL_FULL_MESSAGE"), {"Docs"});
  const std::string full = FormatText(GetText("MAIN_UI", "DISK_FULL_MESSAGE"), {"Docs"});
  // Recording only, with the cause.
  const std::string recording = FormatText(GetText("PLAN_PROBLEM", "POPUP_ONE"),
                                           {"Docs: the backup disk is full: 5 MB more is needed"});
  const struct {
    uint64_t free;
    bool errorsOn;
    std::vector<std::string> said;
  } cases[] = {
      {200 * kMiB, true, {}},
      {50 * kMiB, true, {willFull}},
      {5 * kMiB, true, {full, recording}},
      {5 * kMiB, false, {}},  // error notifications off
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.free);
    eFree_ = c.free;
    WriteVolumes();
    SetShowErrorNotification(c.errorsOn);
    messages.clear();
    Show(view);
    view.RunPeriodicChecks();
    RunUntil([&] { return view.Worker()->RunningJobs() == 0; });
    QCoreApplication::processEvents();
    for (const std::string& text : {willFull, full, recording})
      EXPECT_EQ(has(text), std::count(c.said.begin(), c.said.end(), text) > 0) << text;
    for (const std::string& m : messages)  // recording for minutes only: no count of days yet
      EXPECT_EQ(m.find("only been recording"), std::string::npos) << m;
  }
  SetShowErrorNotification(true);
  EXPECT_EQ(Status(view, docs->Id()),
            Grid("PLAN_STATUS_LOGGING") + ": the backup disk is full: 5 MB more is needed");
  // The pop-up and the card offer to make room; once taken, neither offers it again.
  EXPECT_EQ(offeredFor, docs->Id());
  ASSERT_TRUE(ContentOf(view, docs->Id()).offerMakeRoom);
  view.Cell(docs->Id())->MakeRoomButton()->click();
  EXPECT_TRUE(docs->MakeRoom());
  EXPECT_NE(PlanFile(docs->Id()).find("MakeRoom=1\n"), std::string::npos);
  EXPECT_TRUE(Until(view, [&] { return !ContentOf(view, docs->Id()).offerMakeRoom; }));
  offeredFor = 0;
  messages.clear();
  view.RunPeriodicChecks();
  RunUntil([&] { return view.Worker()->RunningJobs() == 0; });
  QCoreApplication::processEvents();
  EXPECT_TRUE(has(full));
  EXPECT_EQ(offeredFor, 0u);
  EXPECT_EQ(LoggingStamp(docs->Id()).size(), 14u);
  PlanList::Instance().DeletePlan(docs->Id());  // its period would join the report below

  CPlan* plan = MakePlan("Away", "G:\\Away\\", 1, true);
  CPlan* other = MakePlan("Other", "G:\\Other\\", 1, true);
  ASSERT_TRUE(plan && other);
  const uint32_t id = plan->Id();
  plan->NoteChangedFile(dir_.SystemOf("src/a.txt"));
  plan->NoteChangedFile(dir_.SystemOf("src/b.txt"));
  const std::string awayFolder = "Local disk: " + dir_.NativeOf("gvol") + "/Away";
  ASSERT_TRUE(
      Until(view, [&] { return ContentOf(view, id).destination.toStdString() == awayFolder; }));
  Plug(false);
  // The plan's poll notices; the period starts at the first refresh seeing it.
  ASSERT_TRUE(Until(view, [&] {
    return Status(view, id).rfind(Grid("PLAN_STATUS_LOGGING"), 0) == 0 &&
           LoggingStamp(id).size() == 14u;
  }));
  ASSERT_TRUE(RunUntil([&] { return ContentOf(view, other->Id()).iconName == "Alert"; }));
  bool hadBox = true;
  WhenModal<CDlgSureMessage>([&](CDlgSureMessage* q) {
    hadBox = q->CheckBox() != nullptr;
    q->OkButton()->click();
  });
  const uint32_t otherId = other->Id();
  view.Cell(otherId)->DeleteButton()->click();
  EXPECT_FALSE(hadBox);
  EXPECT_TRUE(RunUntil([&] { return PlanList::Instance().Find(otherId) == nullptr; }));

  uint32_t asked = 0;
  QObject::connect(&view, &CBrevantoView::destinationStepRequested, [&](uint32_t i) { asked = i; });
  const std::string before = PlanFile(id);
  view.Cell(id)->PauseButton()->click();
  EXPECT_EQ(asked, id);
  EXPECT_FALSE(plan->Enabled());
  EXPECT_EQ(PlanFile(id), before);
  Show(view);
  EXPECT_EQ(ContentOf(view, id).destination.toStdString(), awayFolder);  // paused, it stays
  // The disk BACKUP went away three days and an hour ago, as the plan's files
  // say; the plan starts again (as after a log-in) and counts from then.
  ASSERT_TRUE(WriteAwayState(plan->GetPlanFolder(),
                             {plat::Now() - 3 * 86400 - 3600, dir_.NativeOf("gvol") + "/Away", ""},
                             0));
  view.Cell(id)->PauseButton()->click();  // launched again
  EXPECT_TRUE(plan->Enabled());
  ASSERT_TRUE(Until(view, [&] {
    return Status(view, id).find("the disk BACKUP is not connected since") != std::string::npos;
  })) << Status(view, id);
  view.RunPeriodicChecks();
  ASSERT_TRUE(RunUntil([&] {
    return has(
        "The plan \"Away\" has only been recording changes for 4 days, with 2 files "
        "waiting to be backed up.");
  }));
  Plug(true);
  EXPECT_TRUE(Until(view, [&] {
    return Status(view, id) == Grid("PLAN_STATUS_WATCHING") && LoggingStamp(id) == "NULL";
  })) << LoggingStamp(id);
}

// Every card button reaches the plan and its file; rename in place; delete
// asks, and keeps or removes the store.
TEST_F(ViewTest, DeleteAsksAndEveryCardButtonReachesThePlan) {
  CBrevantoView view;
  CPlan* daily = MakePlan("Daily", "E:\\Daily\\", 4, false);
  CPlan* watch = MakePlan("Watch", "E:\\Watch\\", 1, false);
  CPlan* manual = MakePlan("Manual", "E:\\Manual\\", 8, false);
  ASSERT_TRUE(daily && watch && manual);
  const uint32_t dailyId = daily->Id(), watchId = watch->Id(), manualId = manual->Id();
  Show(view);
  std::atomic<int> dailyEnded{0}, manualBegan{0};
  QObject::connect(view.EventPump(), &CEventPump::eventArrived, [&](CMEvent*, const EventData& e) {
    dailyEnded += e.code == kEvRunEnds && e.planId == dailyId;
    manualBegan += e.code == kEvRunBegins && e.planId == manualId;
  });
  ASSERT_TRUE(view.Cell(dailyId)->BackupNowButton()->isEnabled());
  view.Cell(dailyId)->BackupNowButton()->click();
  EXPECT_TRUE(daily->Enabled());
  EXPECT_EQ(daily->LastBackupTime(), 0);  // only a copy sets it
  EXPECT_NE(PlanFile(dailyId).find("Enabled=1"), std::string::npos);
  ASSERT_TRUE(RunUntil([&] { return dailyEnded.load() > 0; }));  // the due time is far away
  const uint64_t catchUps = catchup::RequestCount();
  view.Cell(watchId)->BackupNowButton()->click();
  EXPECT_TRUE(watch->Enabled());
  EXPECT_EQ(catchup::RequestCount(), catchUps + 1);
  CPlanCell* cell = view.Cell(watchId);
  cell->PauseButton()->click();
  EXPECT_FALSE(watch->Enabled());
  EXPECT_NE(PlanFile(watchId).find("Enabled=0"), std::string::npos);
  ASSERT_TRUE(Until(view, [&] { return Status(view, watchId) == Paused(); }));
  cell->PauseButton()->click();
  EXPECT_TRUE(watch->Enabled());
  EXPECT_NE(PlanFile(watchId).find("Enabled=1"), std::string::npos);
  {
    std::lock_guard<std::recursive_mutex> lock(watch->Lock());
    EXPECT_NE(watch->Task(), nullptr);  // started again
  }
  view.Cell(manualId)->PauseButton()->click();
  ASSERT_TRUE(RunUntil([&] { return manualBegan.load() > 0 && !manual->Enabled(); }));

  EXPECT_FALSE(cell->EditButton()->isVisibleTo(cell));
  EXPECT_TRUE(cell->RestoreButton()->isVisibleTo(cell)) << "restore needs no more options";
  cell->MoreButton()->click();
  EXPECT_TRUE(cell->EditButton()->isVisibleTo(cell));
  std::vector<std::string> asked;
  auto note = [&](const char* what) {
    return [&asked, what](uint32_t i) { asked.push_back(what + std::to_string(i)); };
  };
  QObject::connect(&view, &CBrevantoView::editPlanRequested, note("edit "));
  QObject::connect(&view, &CBrevantoView::restoreRequested, note("restore "));
  QObject::connect(&view, &CBrevantoView::archiveRequested, note("archive "));
  QObject::connect(&view, &CBrevantoView::addPlanRequested, [&] { asked.push_back("add"); });
  cell->EditButton()->click();
  cell->RestoreButton()->click();
  cell->ArchiveButton()->click();
  view.AddPlanButton()->click();
  const std::string n = std::to_string(watchId);
  EXPECT_EQ(asked, (std::vector<std::string>{"edit " + n, "restore " + n, "archive " + n, "add"}));
  auto type = [&](const QString& text, Qt::Key key) {
    cell->RenameButton()->click();
    ASSERT_TRUE(cell->IsRenaming());
    cell->NameEdit()->setText(text);
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(cell->NameEdit(), &press);
    EXPECT_FALSE(cell->IsRenaming());
  };
  type("  Work files  ", Qt::Key_Return);
  EXPECT_EQ(watch->Name(), "Work files");
  EXPECT_NE(PlanFile(watchId).find("Name=Work files"), std::string::npos);
  EXPECT_TRUE(RunUntil([&] { return ContentOf(view, watchId).name == "Work files"; }));
  type("Something else", Qt::Key_Escape);
  type("Daily", Qt::Key_Return);
  EXPECT_EQ(watch->Name(), "Work files");
  EXPECT_TRUE(Said(FormatText(GetText("MAIN_UI", "RENAME_NAME_TAKEN"), {"Daily"})));

  // Cancel: nothing happens.
  dir_.Write("evol/Daily/Latest/C/a.txt", "a");
  dir_.Write("evol/Manual/Latest/C/a.txt", "a");
  dir_.Write("evol/Manual/Revision/C/a(0001).txt", "a");
  dir_.Write("evol/Manual/Latest/C/b/b.txt", "another plan's");
  ASSERT_EQ(manual->Database()->NoteChangedFile("C:\\a.txt"), 0u);
  ASSERT_EQ(manual->Database()->NoteChangedFile("C:\\b\\b.txt"), 0u);
  CPlan* sharing = MakePlan("Sharing", "E:\\Manual", 8, false);  // the same store
  ASSERT_TRUE(sharing);
  const uint32_t sharingId = sharing->Id();
  auto rules = std::make_unique<CRuleSet>();
  rules->AddGroup(kRuleInclude, "group1", "Sources")->AddItem("C:\\b", "");
  sharing->ReplaceRules(std::move(rules));
  ASSERT_TRUE(sharing->Save());
  ASSERT_EQ(sharing->Database()->NoteChangedFile("C:\\b\\b.txt"), 0u);
  Show(view);
  QString question;
  WhenModal<CDlgSureMessage>([&](CDlgSureMessage* q) {
    question = q->findChild<QLabel*>("messageLabel")->text();
    EXPECT_EQ(q->CheckBox()->text().toStdString(), GetText("MAIN_UI", "DELETE_BACKUP_FILES"));
    q->CheckBox()->setChecked(true);
    Shoot(q, "delete-question.png");
    q->CancelButton()->click();
  });
  view.Cell(watchId)->DeleteButton()->click();
  EXPECT_EQ(question.toStdString(),
            FormatText(GetText("MAIN_UI", "SURE_DELETE_PLAN"), {"Work files"}));
  EXPECT_NE(PlanList::Instance().Find(watchId), nullptr);
  EXPECT_NE(view.Cell(watchId), nullptr);
  // Without the box ticked the store stays.
  WhenModal<CDlgSureMessage>([](CDlgSureMessage* q) { q->OkButton()->click(); });
  view.Cell(dailyId)->DeleteButton()->click();
  EXPECT_EQ(view.Cell(dailyId), nullptr);
  EXPECT_TRUE(RunUntil([&] { return PlanList::Instance().Find(dailyId) == nullptr; }));
  EXPECT_FALSE(fs::exists(dir_.NativeOf("data/PLAN/" + std::to_string(dailyId))));
  EXPECT_EQ(dir_.Read("evol/Daily/Latest/C/a.txt"), "a");
  // With the box ticked the plan's files go (on the worker). A store shared with another plan:
  // the question says so, and only this plan's files go.
  bool removed = false;
  QObject::connect(&view, &CBrevantoView::storeRemovalFinished,
                   [&](const QString&, bool ok) { removed = ok; });
  WhenModal<CDlgSureMessage>([&](CDlgSureMessage* q) {
    question = q->findChild<QLabel*>("messageLabel")->text();
    q->CheckBox()->setChecked(true);
    q->OkButton()->click();
  });
  view.Cell(manualId)->DeleteButton()->click();
  EXPECT_EQ(question.toStdString(),
            FormatText(GetText("MAIN_UI", "SURE_DELETE_PLAN"), {"Manual"}) + "\n\n" +
                FormatText(GetText("MAIN_UI", "DELETE_SHARED_STORE"), {"\"Sharing\""}));
  ASSERT_TRUE(RunUntil([&] { return removed; }));
  EXPECT_TRUE(RunUntil([&] { return PlanList::Instance().Find(manualId) == nullptr; }));
  EXPECT_FALSE(fs::exists(dir_.NativeOf("evol/Manual/Latest/C/a.txt")));
  EXPECT_FALSE(fs::exists(dir_.NativeOf("evol/Manual/Revision")));
  EXPECT_EQ(dir_.Read("evol/Manual/Latest/C/b/b.txt"), "another plan's");
  // The last plan of a store takes it along.
  removed = false;
  WhenModal<CDlgSureMessage>([](CDlgSureMessage* q) {
    q->CheckBox()->setChecked(true);
    q->OkButton()->click();
  });
  view.Cell(sharingId)->DeleteButton()->click();
  ASSERT_TRUE(RunUntil([&] { return removed; }));
  EXPECT_FALSE(fs::exists(dir_.NativeOf("evol/Manual")));
  EXPECT_TRUE(fs::exists(dir_.NativeOf("evol/Daily/Latest")));
  EXPECT_EQ(view.CellIds(), std::vector<uint32_t>{watchId});
}

// A journal held by a backup walk: the count does not wait, it comes later.
TEST_F(ViewTest, WorkerNeverWaitsForABusyJournal) {
  CBrevantoView view;
  CPlan* plan = MakePlan("Docs", "E:\\Docs\\", 8, false);
  ASSERT_TRUE(plan);
  plan->NoteChangedFile(dir_.SystemOf("src/a.txt"));
  Show(view);
  const uint32_t id = plan->Id();
  std::promise<void> held, release;
  std::thread holder([&] {
    std::lock_guard<std::recursive_mutex> journal(plan->Database()->Mutex());
    held.set_value();
    release.get_future().wait();
  });
  held.get_future().wait();
  view.RefreshPendingCounts();
  EXPECT_TRUE(view.Worker()->IsReading(id));
  ASSERT_TRUE(RunUntil([&] { return view.Worker()->RunningJobs() == 0; }));
  QCoreApplication::processEvents();
  EXPECT_FALSE(view.Worker()->IsReading(id));
  EXPECT_EQ(ContentOf(view, id).pending, QStringLiteral("\u2013"));  // not known yet
  release.set_value();
  holder.join();
  view.RefreshPendingCounts();
  ASSERT_TRUE(RunUntil([&] { return ContentOf(view, id).pending == "1"; }));
}

// Pop-ups in the log (BREVANTO_POPUP_LOG, one line each) that hold part.
size_t PopupsWith(const std::string& log, std::string part) {
  for (char& c : part) c = c == '\n' || c == '\r' ? ' ' : c;
  std::istringstream lines(ReadNative(log));
  size_t n = 0;
  for (std::string line; std::getline(lines, line);) n += line.find(part) != std::string::npos;
  return n;
}

// Pop-ups only for real causes; a read-only store shows the cause in words,
// keeps the failed files waiting and copies them once writable.
TEST_F(ViewTest, CopiesThatFailShowTheProblemAndOnlyRealCausesPopUp) {
  bvtest::TempDir src(bvtest::TempDir::Where::kHome);
  ASSERT_FALSE(src.Native().empty());
  const std::string log = dir_.NativeOf("popups.log");
  bvtest::ScopedEnv popups("BREVANTO_POPUP_LOG", log);
  const QLocale userLocale;
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedKingdom));
  CMainFrame frame;
  CBrevantoView& view = *frame.View();
  // The notification icon with its tool tip, as a desktop shows them (pictures only).
  auto shootTray = [&](const char* file) {
    if (!std::getenv("BV_SCREENSHOT_DIR")) return;
    QFrame picture;
    picture.setStyleSheet("background: #f4f4f4; color: #202020;");
    auto* layout = new QHBoxLayout(&picture);
    auto* image = new QLabel(&picture);
    image->setPixmap(frame.CurrentIcon().pixmap(22, 22));
    layout->addWidget(image, 0, Qt::AlignTop);
    layout->addWidget(new QLabel(frame.Tooltip(), &picture));
    picture.show();
    Shoot(&picture, file);
  };
  CPlan* watch = MakePlan("Watch", "E:\\Watch\\", 1, true);
  CPlan* manual = MakePlan("Manual", "E:\\Manual\\", 8, false);
  CPlan* away = MakePlan("Away", "G:\\Away\\", 1, true);
  ASSERT_TRUE(watch && manual && away);
  manual->SetInitDone(true);  // its runs copy what its journal holds
  Show(view);
  auto settle = [&] {  // some refreshes and drains, as the timers make them
    Until(
        view, [&] { return false; }, 800);
  };
  const std::string recording = "changes are recorded and will be copied";
  // A manual plan backed up now with two files, then nothing new.
  const std::string finished = GetText("MAIN_UI", "NUMBER_OF_BACKUP_FILES_PROMPT");
  const struct {
    std::vector<const char*> files;
    std::string said;
  } runs[] = {
      {{"one.txt", "two.txt"}, FormatText(finished, {CountText("FILES", 2), "Manual"})},
      {{}, FormatText(GetText("PLAN_HEALTH", "NOTHING_TO_COPY"), {"Manual"})},
  };
  for (const auto& run : runs) {
    for (const char* rel : run.files) {
      src.Write(rel, rel);
      manual->NoteChangedFile(src.SystemOf(rel));
    }
    view.Cell(manual->Id())->BackupNowButton()->click();
    ASSERT_TRUE(RunUntil([&] { return PopupsWith(log, run.said) == 1; }, 30000)) << ReadNative(log);
    ASSERT_TRUE(RunUntil([&] { return !manual->Enabled(); }));
  }
  settle();
  EXPECT_EQ(PopupsWith(log, recording), 0u) << ReadNative(log);
  ASSERT_TRUE(
      Until(view, [&] { return ContentOf(view, away->Id()).destination.contains("gvol"); }));
  Plug(false);  // a real cause: the disk of an enabled plan goes away, said with its cause
  const std::string awayLine = "Away: the disk BACKUP is not connected since ";
  ASSERT_TRUE(Until(
      view, [&] { return PopupsWith(log, awayLine) == 1; }, 30000))
      << ReadNative(log);
  EXPECT_EQ(PopupsWith(log, recording), 1u) << ReadNative(log);
  // Its card keeps the folder the task last saw; the icon warns, and its tool tip and menu name
  // the plan and its problem until it ends.
  EXPECT_EQ(ContentOf(view, away->Id()).destination.toStdString(),
            "Local disk: " + dir_.NativeOf("gvol") + "/Away");
  EXPECT_EQ(frame.CurrentIcon().cacheKey(), frame.WarningIcon().cacheKey());
  EXPECT_TRUE(frame.WarningIcon().availableSizes().contains(QSize(22, 22)));
  EXPECT_NE(frame.Tooltip().toStdString().find(awayLine), std::string::npos);
  EXPECT_TRUE(frame.ProblemsAction()->isVisible());
  EXPECT_EQ(frame.ProblemsAction()->text().toStdString(), "Problems: 1 \u2014 show");
  shootTray("tray-warning.png");

  CPlan* plan = MakePlan("Docs", "E:\\Docs\\", 1, true);
  ASSERT_TRUE(plan);
  const uint32_t id = plan->Id();
  src.Write("a.txt", "a");
  plan->NoteChangedFile(src.SystemOf("a.txt"));
  ASSERT_TRUE(RunUntil([&] { return plan->LastBackupTime() > 0; }, 30000));
  const int64_t copiedAt = plan->LastBackupTime();
  settle();  // a continuous plan's copies raise no pop-up
  EXPECT_EQ(PopupsWith(log, "copied by the plan \"Docs\""), 0u) << ReadNative(log);
  bvtest::ReadOnlyFolder readOnly(dir_.NativeOf("evol/Docs"));  // the store, not the volume
  if (!readOnly.Failure().empty()) GTEST_SKIP() << readOnly.Failure();
  for (const char* rel : {"new/b.txt", "new/c.txt"}) {
    src.Write(rel, rel);
    plan->NoteChangedFile(src.SystemOf(rel));
  }
  const std::string status =
      FormatText(GetText("PLAN_HEALTH", "STATUS_FAILING"), {GetText("PLAN_HEALTH", "ERROR_19")});
  ASSERT_TRUE(Until(
      view, [&] { return Status(view, id) == status && ContentOf(view, id).pending == "2"; },
      30000))
      << Status(view, id) << " / " << ContentOf(view, id).pending.toStdString();
  const CellContent c = ContentOf(view, id);
  EXPECT_EQ(c.iconName, "Failing");
  EXPECT_EQ(view.Cell(id)->property("status").toString(), "problem");
  EXPECT_EQ(c.lastBackup,  // the user's locale, whatever the edition
            QDateTime::fromSecsSinceEpoch(copiedAt).toString("dd/MM/yyyy HH:mm"));
  EXPECT_EQ(plan->LastBackupTime(), copiedAt);
  // Copies that fail: the failure icon, both plans in the menu and its pop-up.
  EXPECT_TRUE(Until(
      view, [&] { return frame.CurrentIcon().cacheKey() == frame.FailureIcon().cacheKey(); }));
  EXPECT_EQ(frame.ProblemsAction()->text().toStdString(), "Problems: 2 \u2014 show");
  frame.ProblemsAction()->trigger();
  EXPECT_EQ(PopupsWith(log, "Docs: the backup folder cannot be written to: "), 1u)
      << ReadNative(log);
  QLocale::setDefault(userLocale);
  if (std::getenv("BV_SCREENSHOT_DIR")) {
    CPlanCell::SetAnimationsEnabled(false);
    frame.resize(960, 640);
    frame.show();
    view.findChild<QScrollArea*>("planScroll")->ensureWidgetVisible(view.Cell(id), 0, 0);
    Shoot(&frame, "main-trouble.png");
    shootTray("tray-failure.png");
    CPlanCell::SetAnimationsEnabled(true);
  }
  // A card for each other cause: a full disk, a server away, another key.
  std::vector<uint32_t> more;
  for (const auto& [name, store, type] :
       {std::tuple<const char*, const char*, int32_t>{"Full", "H:\\Full\\", kStorageLocal},
        {"Share", "\\\\nas\\backup\\", kStorageNetwork},
        {"Server", "\\\\nas\\keys\\", kStorageNetwork}})
    more.push_back(MakePlan(name, store, 1, true, type)->Id());
  std::thread([&] { PostEvent(kEvServerKeyUntrusted, "nas:445", more[2]); }).join();
  const std::string recordingOnly = Grid("PLAN_STATUS_LOGGING") + ": ";
  // The refused key reaches the view after the server's own look: waited for too.
  ASSERT_TRUE(Until(view,
                    [&] {
                      return view.Problems().size() == 5u &&
                             Status(view, more[2]) ==
                                 recordingOnly + GetText("PLAN_PROBLEM", "KEY_UNTRUSTED_YET");
                    }))
      << view.Problems().size() << " problems; " << Status(view, more[2]);
  EXPECT_EQ(Status(view, more[0]), recordingOnly + "the backup disk is full: 6 MB more is needed");
  EXPECT_EQ(
      Status(view, more[1]).rfind(recordingOnly + "the server nas cannot be reached since ", 0),
      0u);
  // Its card leads to the server step, where the key is shown for acceptance
  // (the frame's modal wizard left out).
  QObject::disconnect(&view, &CBrevantoView::destinationStepRequested, &frame, nullptr);
  uint32_t checked = 0;
  const auto link = QObject::connect(&view, &CBrevantoView::destinationStepRequested,
                                     [&](uint32_t id) { checked = id; });
  EXPECT_FALSE(view.Cell(more[1])->CheckServerButton()->isVisibleTo(view.Cell(more[1])));
  view.Cell(more[2])->CheckServerButton()->click();
  EXPECT_EQ(checked, more[2]);
  // Its pause only pauses (and is kept): no wizard opens where the user clicked.
  checked = 0;
  view.Cell(more[2])->PauseButton()->click();
  EXPECT_EQ(checked, 0u);
  EXPECT_FALSE(PlanList::Instance().Find(more[2])->Enabled());
  EXPECT_NE(PlanFile(more[2]).find("Enabled=0"), std::string::npos) << PlanFile(more[2]);
  QObject::disconnect(link);
  if (std::getenv("BV_SCREENSHOT_DIR")) {
    CPlanCell::SetAnimationsEnabled(false);
    frame.resize(960, 1500);
    Shoot(&frame, "main-problems.png");
    CPlanCell::SetAnimationsEnabled(true);
  }
  for (uint32_t extra : more) PlanList::Instance().DeletePlan(extra);
  ASSERT_TRUE(readOnly.MakeWritable());
  view.Cell(id)->BackupNowButton()->click();
  ASSERT_TRUE(Until(
      view,
      [&] {
        return Status(view, id) == Grid("PLAN_STATUS_WATCHING") &&
               plan->LastBackupTime() > copiedAt && ContentOf(view, id).pending == "0";
      },
      30000))
      << Status(view, id);
  EXPECT_EQ(dir_.Read("evol/Docs/Latest/C" + src.Native() + "/new/c.txt"), "new/c.txt");
  Plug(true);  // every plan well: the usual icon, tool tip and menu
  EXPECT_TRUE(Until(view, [&] {
    return frame.CurrentIcon().cacheKey() == frame.ReadyIcon().cacheKey() &&
           !frame.ProblemsAction()->isVisible();
  }));
  EXPECT_EQ(frame.Tooltip().toStdString(), GetProductName());
  shootTray("tray-normal.png");
}

}  // namespace
