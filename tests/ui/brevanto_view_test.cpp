// The main view's plan list on real widgets (offscreen) and real plans: cell
// texts and status, the buttons reaching the plan, delete with and without
// the store, rename in place, the periodic checks, and the worker that never
// waits for a busy journal. With BV_SCREENSHOT_DIR set, the window test also
// writes its pictures there (scripts/screenshots).
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <time.h>

#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QToolButton>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/EngineEvents.h"
#include "common/PlanSettings.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "engine/CTask.h"
#include "engine/CatchUpRequests.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "platform/Clock.h"
#include "platform/Profile.h"
#include "platform/Volumes.h"
#include "support/QtApp.h"
#include "support/ReadOnlyFolder.h"
#include "support/TempDir.h"
#include "ui/CBrevantoView.h"
#include "ui/CDlgSureMessage.h"
#include "ui/CMainFrame.h"
#include "ui/CPlanCell.h"
#include "ui/CellTexts.h"
#include "ui/ElidedLabel.h"
#include "ui/PlanSnapshot.h"
#include "ui/StoreRemoval.h"
#include "ui/TextFormat.h"
#include "ui/ViewWorker.h"
#include "ui/WizardAnswers.h"

namespace fs = std::filesystem;

namespace {

using bvtest::App;
using bvtest::ReadNative;
using bvtest::WriteNative;

constexpr uint64_t kMiB = 1048576;

using bvtest::RunUntil;

// Runs action on the delete question once it is up (inside its modal loop).
void WhenQuestionShows(std::function<void(CDlgSureMessage*)> action) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, [poll, action] {
    if (auto* dialog = qobject_cast<CDlgSureMessage*>(QApplication::activeModalWidget())) {
      poll->stop();
      poll->deleteLater();
      action(dialog);
    }
  });
  poll->start(20);
}

std::string Grid(const char* key) { return GetText("UGGRID", key); }

// Removes every plan of the process's list (tests share it).
void ClearPlans() {
  PlanList& list = PlanList::Instance();
  while (list.Count() > 0) list.DeletePlan(list.At(0)->Id());
}

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

TEST(CellStatusTest, FirstRuleThatAppliesWins) {
  const SpaceFigures plenty = Free(500 * kMiB);
  struct Case {
    PlanSnapshot s;
    bool battery;
    SpaceFigures space;
    const char* key;
    StatusIcon icon;
    StatusColour colour;
  };
  PlanSnapshot unplugged = Snap(1);
  unplugged.available = false;
  PlanSnapshot stoppedManual = Snap(8);
  stoppedManual.enabled = false;
  PlanSnapshot running = Snap(4);
  running.mode = 2;
  PlanSnapshot disabledRunning = running;  // paused by the user
  disabledRunning.enabled = false;
  PlanSnapshot failing = running;
  failing.copyError = 19;
  const std::vector<Case> cases = {
      {unplugged, false, plenty, "PLAN_STATUS_LOGGING", StatusIcon::kAlert, StatusColour::kWarning},
      {unplugged, true, plenty, "PLAN_STATUS_LOGGING", StatusIcon::kAlert, StatusColour::kWarning},
      {stoppedManual, false, plenty, "PLAN_STATUS_STOPPED", StatusIcon::kStopped,
       StatusColour::kStopped},
      {stoppedManual, true, plenty, "PLAN_STATUS_LOGGING", StatusIcon::kBattery,
       StatusColour::kStopped},
      {disabledRunning, false, plenty, "STATUS_PAUSED", StatusIcon::kStopped,
       StatusColour::kStopped},
      {failing, false, Free(5 * kMiB), "STATUS_FAILING", StatusIcon::kFailing,
       StatusColour::kProblem},
      {Snap(1), false, Free(5 * kMiB), "PLAN_STATUS_LOGGING", StatusIcon::kAlert,
       StatusColour::kWarning},
      {running, false, plenty, "PLAN_STATUS_PROTECTING", StatusIcon::kWaiting,
       StatusColour::kRunning},
      {Snap(1), false, plenty, "PLAN_STATUS_WATCHING", StatusIcon::kWatching,
       StatusColour::kRunning},
      {Snap(8), false, plenty, "PLAN_STATUS_STOPPED", StatusIcon::kStopped, StatusColour::kStopped},
      {Snap(5), false, plenty, "PLAN_STATUS_WAITING", StatusIcon::kWaiting, StatusColour::kRunning},
      // Only local and USB disks are measured: a full network drive stays watching.
      {Snap(1, kStorageNetwork), false, Free(1), "PLAN_STATUS_WATCHING", StatusIcon::kWatching,
       StatusColour::kRunning},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const PlanStatus st = ComputeStatus(cases[i].s, cases[i].battery, cases[i].space);
    EXPECT_STREQ(st.textKey, cases[i].key) << "case " << i;
    EXPECT_EQ(st.icon, cases[i].icon) << "case " << i;
    EXPECT_EQ(st.colour, cases[i].colour) << "case " << i;
    EXPECT_EQ(st.animated, i == 7) << "case " << i;
  }
  int r, g, b;
  StatusRgb(StatusColour::kWarning, &r, &g, &b);
  EXPECT_EQ((std::vector<int>{r, g, b}), (std::vector<int>{255, 145, 0}));
  StatusRgb(StatusColour::kStopped, &r, &g, &b);
  EXPECT_EQ((std::vector<int>{r, g, b}), (std::vector<int>{224, 1, 1}));
  StatusRgb(StatusColour::kRunning, &r, &g, &b);
  EXPECT_EQ((std::vector<int>{r, g, b}), (std::vector<int>{66, 166, 0}));
  StatusRgb(StatusColour::kProblem, &r, &g, &b);
  EXPECT_EQ((std::vector<int>{r, g, b}), (std::vector<int>{190, 24, 93}));
}

TEST(CellStatusTest, BlockedWaitsForASpaceFigure) {
  bool known = false;
  EXPECT_FALSE(IsSnapshotBlocked(Snap(1), false, SpaceFigures{}, &known));
  EXPECT_FALSE(known);
  EXPECT_TRUE(IsSnapshotBlocked(Snap(1), false, Free(kTooFullBytes), &known));
  EXPECT_TRUE(known);
  EXPECT_FALSE(IsSnapshotBlocked(Snap(1), false, Free(kTooFullBytes + 1), &known));
  EXPECT_TRUE(IsSnapshotBlocked(Snap(1), false, SpaceFigures{true, false, 0, 0}, &known));
  EXPECT_TRUE(IsSnapshotBlocked(Snap(1), true, Free(kTooFullBytes + 1), &known));
  // A copy refused for lack of room blocks until the room it needs is there.
  PlanSnapshot waiting = Snap(1);
  waiting.spaceWanted = kTooFullBytes + 1000;
  EXPECT_TRUE(IsSnapshotBlocked(waiting, false, Free(kTooFullBytes + 999), &known));
  EXPECT_STREQ(ComputeStatus(waiting, false, Free(kTooFullBytes + 999)).textKey,
               "PLAN_STATUS_LOGGING");
  EXPECT_FALSE(IsSnapshotBlocked(waiting, false, Free(kTooFullBytes + 1000), &known));
  // A share path is never blocked for space, measured or not.
  PlanSnapshot share = Snap(1, kStorageNetwork);
  share.root = "\\\\nas\\backup\\";
  EXPECT_FALSE(IsSnapshotBlocked(share, false, SpaceFigures{}, &known));
  EXPECT_TRUE(known);
  share.enabled = false;
  EXPECT_TRUE(IsSnapshotBlocked(share, false, SpaceFigures{}, &known));
}

// Dates by the edition's country where its table has a format, else by the
// user's locale, always with four-digit years; counts with their nouns and
// the locale's grouping.
TEST(CellTextsTest, DatesAndCountsForPeople) {
  App();
  const char* oldTz = std::getenv("TZ");
  const std::string saved = oldTz ? oldTz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  const QLocale userLocale;
  const int64_t t = 1236434700;  // 7 March 2009 14:05 UTC
  struct Case {
    const char* country;
    const char* locale;
    int64_t time;
    const char* text;
  };
  const Case cases[] = {
      {"DEU", "en_US", t, "07. M\xC3\xA4r 2009 14:05"},
      {"US", "de_DE", t, "Mar 07, 2009 14:05"},
      {"UK", "en_US", t, "07 Mar 2009 14:05"},
      {"NLD", "en_US", t, "07 mrt 2009 14:05"},
      {"ITA", "en_US", t, "07 mar 2009 14:05"},
      // No format for the country, or none named: the user's locale.
      {"XX", "de_DE", t, "07.03.2009 14:05"},
      {"", "en_GB", t, "07/03/2009 14:05"},
      {"", "fr_FR", t, "07/03/2009 14:05"},
      {"US", "en_US", 0, ""},
      {"", "en_US", -5, ""},
  };
  for (const Case& c : cases) {
    QLocale::setDefault(QLocale(QString::fromLatin1(c.locale)));
    EXPECT_EQ(FormatCellDate(c.time, c.country), c.text) << c.country << " " << c.locale;
  }
  // The US short form has a two-digit year; the card's has four.
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  EXPECT_NE(FormatCellDate(t, "").find("3/7/2009"), std::string::npos) << FormatCellDate(t, "");

  struct Count {
    const char* noun;
    uint64_t n;
    const char* locale;
    const char* text;
  };
  const Count counts[] = {
      {"FILES", 1, "en_US", "1 file"},           {"FILES", 0, "en_US", "0 files"},
      {"FILES", 2, "en_US", "2 files"},          {"FILES", 12345, "en_US", "12,345 files"},
      {"FILES", 12345, "de_DE", "12.345 files"}, {"DAYS", 1, "en_US", "1 day"},
      {"PLANS", 3, "en_US", "3 backup plans"},
  };
  for (const Count& c : counts) {
    QLocale::setDefault(QLocale(QString::fromLatin1(c.locale)));
    EXPECT_EQ(CountText(c.noun, c.n), c.text) << c.noun << " " << c.n << " " << c.locale;
  }
  QLocale::setDefault(userLocale);
  if (oldTz)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(CellTextsTest, ScheduleNextAndLastTexts) {
  App();
  EXPECT_EQ(ScheduleText(1), GetText("WIZARD_WHEN_TO_BACKUP", "BACKUP_MODE_CONTINUOUSLY"));
  EXPECT_EQ(ScheduleText(2), "Every minute");
  EXPECT_EQ(ScheduleText(2, 15), "Every 15 minutes");
  EXPECT_EQ(ScheduleText(3, 1), "Every hour");
  EXPECT_EQ(ScheduleText(3, 3), "Every 3 hours");
  EXPECT_EQ(ScheduleText(9), GetText("WIZARD_WHEN_TO_BACKUP", "BACKUP_MODE_MANUALLY"));
  for (int unit = 1; unit <= 8; ++unit) EXPECT_FALSE(ScheduleText(unit).empty()) << unit;

  PlanSnapshot daily = Snap(4);
  EXPECT_EQ(NextBackupText(daily, "US"), Grid("NEXT_BACKUP_TIME_STOPPED"));  // no task
  daily.hasTask = true;
  daily.nextDue = 1236434700;
  EXPECT_EQ(NextBackupText(daily, "US"), FormatCellDate(daily.nextDue, "US"));
  EXPECT_EQ(NextBackupText(Snap(1), "US"), Grid("NEXT_BACKUP_TIME_CONTINUOUS"));
  EXPECT_EQ(NextBackupText(Snap(7), "US"), Grid("NEXT_BACKUP_TIME_STARTUP"));
  EXPECT_EQ(NextBackupText(Snap(8), "US"), Grid("NEXT_BACKUP_TIME_MANUALLY"));
  PlanSnapshot never = Snap(1);
  EXPECT_EQ(LastBackupText(never, "US"), Grid("LAST_BACKUP_TIME_HAVE_NOT_RUN"));
  never.lastBackupTime = 1236434700;
  EXPECT_EQ(LastBackupText(never, "US"), FormatCellDate(1236434700, "US"));
}

// A worker that goes away (the program ending) lets its jobs finish first:
// none of them runs on into the destruction of the process-wide objects.
TEST(StoreRemovalTest, AWorkerGoingAwayLetsItsRemovalFinish) {
  bvtest::TempDir dir;
  dir.Write("big/Brevanto.dat", "");
  for (int i = 0; i < 3000; ++i)
    dir.Write("big/Latest/C/d" + std::to_string(i % 30) + "/f" + std::to_string(i), "x");
  {
    CViewWorker worker;
    worker.RemoveStore(dir.System() + "\\big\\");
  }
  EXPECT_FALSE(fs::exists(dir.NativeOf("big")));
}

TEST(StoreRemovalTest, RemovesOnlyTheStoreParts) {
  bvtest::TempDir dir;
  const std::string sys = dir.System();
  dir.Write("only/Brevanto.dat", "");
  dir.Write("only/Latest/C/a.txt", "a");
  dir.Write("only/Revision/C/a(0001).txt", "a");
  fs::permissions(dir.NativeOf("only/Latest/C/a.txt"), fs::perms::owner_read);
  EXPECT_TRUE(RemoveStoreFolder(sys + "\\only\\", nullptr));
  EXPECT_FALSE(fs::exists(dir.NativeOf("only")));

  dir.Write("mixed/Brevanto.dat", "");
  dir.Write("mixed/Latest/C/a.txt", "a");
  dir.Write("mixed/notes.txt", "mine");
  EXPECT_TRUE(RemoveStoreFolder(sys + "\\mixed", nullptr));
  EXPECT_FALSE(fs::exists(dir.NativeOf("mixed/Latest")));
  EXPECT_FALSE(fs::exists(dir.NativeOf("mixed/Brevanto.dat")));
  EXPECT_EQ(dir.Read("mixed/notes.txt"), "mine");

  EXPECT_FALSE(RemoveStoreFolder("C:\\", nullptr));
  EXPECT_FALSE(RemoveStoreFolder("", nullptr));
  EXPECT_FALSE(RemoveStoreFolder("\\\\nas\\share\\", nullptr));
}

// A data folder, a volume table (C: = "/", E: a fixed disk, F: a removable
// USB disk, G: present only while plugged) and an empty plan list.
class ViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    for (const char* sub : {"data", "evol", "fvol", "gvol"})
      fs::create_directories(dir_.NativeOf(sub));
    setenv("BREVANTO_DATA_DIR", dir_.NativeOf("data").c_str(), 1);
    setenv("BREVANTO_MESSAGE_LOG", dir_.NativeOf("messages.log").c_str(), 1);
    setenv("BREVANTO_VOLUMES", dir_.NativeOf("volumes.ini").c_str(), 1);
    WriteVolumes();
    ResetSettingsCache();
    ClearPlans();
  }
  void TearDown() override {
    ClearPlans();
    unsetenv("BREVANTO_VOLUMES");
    unsetenv("BREVANTO_MESSAGE_LOG");
    plat::VolumeTable::Instance().Reload();
    ResetSettingsCache();
  }

  void WriteVolumes() {
    std::string ini = "[C]\nRoot=/\nType=fixed\nSystem=1\n";
    ini += "[E]\nRoot=" + dir_.NativeOf("evol") + "\nType=fixed\nTotalBytes=536870912000\n";
    if (eFree_) ini += "FreeBytes=" + std::to_string(eFree_) + "\n";
    ini += "[F]\nRoot=" + dir_.NativeOf("fvol") +
           "\nType=removable\nBus=usb\nSerial=12AB34CD\n"
           "TotalBytes=64424509440\nFreeBytes=22548578304\n";
    if (gPlugged_) ini += "[G]\nRoot=" + dir_.NativeOf("gvol") + "\nType=fixed\n";
    ini += "[Power]\nSource=ac\n";
    WriteNative(dir_.NativeOf("volumes.ini"), ini);
    plat::VolumeTable::Instance().Reload();
  }

  CPlan* MakePlan(const std::string& name, const std::string& store, int32_t unit, bool enabled,
                  int32_t type = kStorageLocal) {
    PlanSettings s;
    s.name = name;
    s.storePath = store;
    s.storageType = type;
    s.scheduleNum = 1;
    s.scheduleUnit = unit;
    s.versionNumber = 3;
    CPlan* plan = PlanList::Instance().CreatePlan(s);
    if (plan && enabled) plan->SetEnabled(true, 0);
    return plan;
  }

  std::string Messages() const { return ReadNative(dir_.NativeOf("messages.log")); }
  std::string PlanFile(uint32_t id) const {
    return ReadNative(dir_.NativeOf("data/PLAN/" + std::to_string(id) + "/Plan.ini"));
  }
  static CellContent ContentOf(CBrevantoView& view, uint32_t id) {
    CPlanCell* cell = view.Cell(id);
    return cell ? cell->Content() : CellContent{};
  }
  // The view takes the list's and the plans' locks only when they are free
  // (a walk holds them for moments): refresh until every plan has its card.
  static void Show(CBrevantoView& view) {
    PlanList& list = PlanList::Instance();
    ASSERT_TRUE(RunUntil([&] {
      view.Refresh();
      std::lock_guard<std::recursive_mutex> lock(list.Lock());
      return view.CellIds().size() == list.Count();
    }));
  }

  bvtest::TempDir dir_;
  uint64_t eFree_ = 0;
  bool gPlugged_ = true;
};

TEST_F(ViewTest, ShowsOneCellPerPlanWithItsTexts) {
  CBrevantoView view;
  EXPECT_TRUE(view.CellIds().empty());
  EXPECT_TRUE(view.findChild<QWidget*>("emptyCard")->isVisibleTo(&view));

  CPlan* watch = MakePlan("Documents", "E:\\Docs\\", 1, true);
  CPlan* daily = MakePlan("Pictures", "E:\\Pics\\", 4, true);
  CPlan* manual = MakePlan("Music", "F:\\Music\\", 8, false, kStorageUsb);
  ASSERT_TRUE(watch && daily && manual);
  Show(view);
  EXPECT_EQ(view.CellIds(), (std::vector<uint32_t>{watch->Id(), daily->Id(), manual->Id()}));
  EXPECT_FALSE(view.findChild<QWidget*>("emptyCard")->isVisibleTo(&view));

  const CellContent w = ContentOf(view, watch->Id());
  EXPECT_EQ(w.name.toStdString(), "Documents");
  EXPECT_EQ(w.statusText.toStdString(), Grid("PLAN_STATUS_WATCHING"));
  EXPECT_EQ(w.statusColour, QColor(66, 166, 0));
  // The store as the user knows it, never in drive-letter form.
  EXPECT_EQ(w.destination.toStdString(), "Local disk: " + dir_.NativeOf("evol") + "/Docs");
  EXPECT_EQ(w.destinationTip, w.destination);
  EXPECT_EQ(w.lastBackup.toStdString(), Grid("LAST_BACKUP_TIME_HAVE_NOT_RUN"));
  EXPECT_TRUE(w.canBackUpNow);  // a continuous plan looks for what it missed

  const CellContent d = ContentOf(view, daily->Id());
  EXPECT_EQ(d.statusText.toStdString(), Grid("PLAN_STATUS_WAITING"));
  int64_t due = 0;
  {
    std::lock_guard<std::recursive_mutex> lock(daily->Lock());
    ASSERT_NE(daily->Task(), nullptr);
    due = daily->Task()->NextDue();
  }
  EXPECT_EQ(d.nextBackup.toStdString(), FormatCellDate(due, CellCountry()));
  EXPECT_FALSE(d.nextBackup.isEmpty());

  const CellContent m = ContentOf(view, manual->Id());
  EXPECT_EQ(m.statusText.toStdString(), Grid("PLAN_STATUS_STOPPED"));
  EXPECT_EQ(m.destination.toStdString(), "Removable disk: " + dir_.NativeOf("fvol") + "/Music");
  // A folder the user chose on the system disk (C: is "/" here).
  CPlan* home = MakePlan("Home", dir_.SystemOf("Backups"), 4, true);
  ASSERT_TRUE(home);
  Show(view);
  EXPECT_EQ(ContentOf(view, home->Id()).destination.toStdString(),
            "Local disk: " + dir_.NativeOf("Backups"));
  PlanList::Instance().DeletePlan(home->Id());
  // A server's store: scheme, host, a port that is not the usual one, folder.
  for (const auto& [server, port, shown] : std::vector<std::tuple<std::string, int, std::string>>{
           {"127.0.0.1", 1, "FTP server: ftp://127.0.0.1:1/backup/"},
           {"sftp://127.0.0.1", 22, "FTP server: sftp://127.0.0.1/backup/"}}) {
    PlanSettings s;
    s.name = "On a server";
    s.storageType = kStorageFtp;
    s.ftp.server = server;
    s.ftp.port = port;
    s.ftp.root = "/backup/";
    s.storePath = "ftp://127.0.0.1/backup/";
    s.scheduleUnit = 8;
    CPlan* ftp = PlanList::Instance().CreatePlan(s);
    ASSERT_TRUE(ftp);
    Show(view);
    EXPECT_EQ(ContentOf(view, ftp->Id()).destination.toStdString(), shown);
    PlanList::Instance().DeletePlan(ftp->Id());
  }
  EXPECT_EQ(m.nextBackup.toStdString(), Grid("NEXT_BACKUP_TIME_MANUALLY"));
  EXPECT_TRUE(m.showLaunch);

  // Counts and free space come back from the worker.
  view.RefreshPendingCounts();
  ASSERT_TRUE(RunUntil([&] { return ContentOf(view, watch->Id()).pending == "0"; }));
  ASSERT_TRUE(RunUntil([&] { return !ContentOf(view, watch->Id()).space.isEmpty(); }));
  EXPECT_NE(ContentOf(view, watch->Id()).space.toStdString().find("500.00 G"), std::string::npos);

  // Files whose names the store cannot hold: counted once each on the card.
  EXPECT_TRUE(w.notProtected.isEmpty());
  for (const char* path : {"C:\\x\\a\\b", "C:\\x\\\\xFF", "C:\\x\\a\\b"})
    watch->NoteUnheldName(path);
  EXPECT_TRUE(RunUntil([&] {
    view.Refresh();
    return ContentOf(view, watch->Id()).notProtected.toStdString() ==
           "2 files cannot be protected (names the store cannot hold)";
  }));
  EXPECT_TRUE(view.Cell(watch->Id())->findChild<QLabel*>("notProtectedValue")->isVisibleTo(&view));
  EXPECT_TRUE(ContentOf(view, manual->Id()).notProtected.isEmpty());

  // A plan deleted elsewhere loses its cell at the next refresh.
  const uint32_t gone = daily->Id();
  PlanList::Instance().DeletePlan(gone);
  Show(view);
  EXPECT_EQ(view.Cell(gone), nullptr);
  EXPECT_EQ(view.CellIds(), (std::vector<uint32_t>{watch->Id(), manual->Id()}));
}

TEST_F(ViewTest, UnpluggedDestinationShowsRecordingUntilPluggedBack) {
  CBrevantoView view;
  CPlan* plan = MakePlan("Projects", "G:\\Projects\\", 1, true);
  ASSERT_TRUE(plan);
  const uint32_t id = plan->Id();
  gPlugged_ = false;
  WriteVolumes();
  // The plan's own thread notices (its availability poll) and says so by event.
  ASSERT_TRUE(RunUntil(
      [&] { return ContentOf(view, id).statusText.toStdString() == Grid("PLAN_STATUS_LOGGING"); }));
  EXPECT_EQ(ContentOf(view, id).statusColour, QColor(255, 145, 0));
  EXPECT_EQ(ContentOf(view, id).iconName, "Alert");

  // Pausing a plan whose destination is away opens the destination step
  // instead of saving.
  uint32_t asked = 0;
  QObject::connect(&view, &CBrevantoView::destinationStepRequested, [&](uint32_t i) { asked = i; });
  const std::string before = PlanFile(id);
  view.Cell(id)->PauseButton()->click();
  EXPECT_EQ(asked, id);
  EXPECT_FALSE(plan->Enabled());
  EXPECT_EQ(PlanFile(id), before);
  view.Cell(id)->PauseButton()->click();  // launched again
  EXPECT_TRUE(plan->Enabled());

  gPlugged_ = true;
  WriteVolumes();
  ASSERT_TRUE(RunUntil([&] {
    return ContentOf(view, id).statusText.toStdString() == Grid("PLAN_STATUS_WATCHING");
  }));
}

TEST_F(ViewTest, BackUpNowReachesThePlan) {
  CBrevantoView view;
  CPlan* daily = MakePlan("Daily", "E:\\Daily\\", 4, false);
  CPlan* watch = MakePlan("Watch", "E:\\Watch\\", 1, false);
  ASSERT_TRUE(daily && watch);
  Show(view);
  std::atomic<int> runsEnded{0};
  QObject::connect(view.EventPump(), &CEventPump::eventArrived, [&](CMEvent*, const EventData& e) {
    if (e.code == kEvRunEnds && e.planId == daily->Id()) ++runsEnded;
  });

  ASSERT_TRUE(view.Cell(daily->Id())->BackupNowButton()->isEnabled());
  view.Cell(daily->Id())->BackupNowButton()->click();
  EXPECT_TRUE(daily->Enabled());
  EXPECT_EQ(daily->LastBackupTime(), 0);  // only a copy sets it
  EXPECT_NE(PlanFile(daily->Id()).find("Enabled=1"), std::string::npos);
  // The forced run happens although the daily due time is far away.
  ASSERT_TRUE(RunUntil([&] { return runsEnded.load() > 0; }));

  // A continuous plan is launched and looks for what it missed now.
  ASSERT_TRUE(view.Cell(watch->Id())->BackupNowButton()->isEnabled());
  const uint64_t asked = catchup::RequestCount();
  view.Cell(watch->Id())->BackupNowButton()->click();
  EXPECT_TRUE(watch->Enabled());
  EXPECT_EQ(catchup::RequestCount(), asked + 1);
  EXPECT_EQ(watch->LastBackupTime(), 0);
}

TEST_F(ViewTest, PauseAndLaunchSwitchThePlanAndSaveIt) {
  CBrevantoView view;
  CPlan* plan = MakePlan("Watch", "E:\\Watch\\", 1, true);
  CPlan* manual = MakePlan("Manual", "E:\\Manual\\", 8, false);
  ASSERT_TRUE(plan && manual);
  Show(view);
  CPlanCell* cell = view.Cell(plan->Id());
  EXPECT_EQ(cell->PauseButton()->toolTip().toStdString(), GetText("MAIN_UI", "BUTTON_TIP_PAUSE"));

  cell->PauseButton()->click();
  EXPECT_FALSE(plan->Enabled());
  EXPECT_NE(PlanFile(plan->Id()).find("Enabled=0"), std::string::npos);
  // The card follows at a refresh that finds the plan's lock free (a walk
  // may hold it for a moment).
  ASSERT_TRUE(RunUntil([&] {
    return ContentOf(view, plan->Id()).statusText.toStdString() ==
               GetText("PLAN_HEALTH", "STATUS_PAUSED") &&
           cell->PauseButton()->toolTip().toStdString() == GetText("MAIN_UI", "BUTTON_TIP_LAUNCH");
  }));

  cell->PauseButton()->click();
  EXPECT_TRUE(plan->Enabled());
  EXPECT_NE(PlanFile(plan->Id()).find("Enabled=1"), std::string::npos);
  {
    std::lock_guard<std::recursive_mutex> lock(plan->Lock());
    EXPECT_NE(plan->Task(), nullptr);  // started again
  }

  // A manual plan that is not running: the toggle backs it up now.
  std::atomic<int> runs{0};
  QObject::connect(view.EventPump(), &CEventPump::eventArrived, [&](CMEvent*, const EventData& e) {
    if (e.code == kEvRunBegins && e.planId == manual->Id()) ++runs;
  });
  view.Cell(manual->Id())->PauseButton()->click();
  ASSERT_TRUE(RunUntil([&] { return runs.load() > 0; }));
}

TEST_F(ViewTest, DeleteAsksAndKeepsOrRemovesTheStore) {
  CBrevantoView view;
  CPlan* keep = MakePlan("Keep", "E:\\Keep\\", 1, true);
  CPlan* drop = MakePlan("Drop", "E:\\Drop\\", 1, true);
  CPlan* stay = MakePlan("Stay", "E:\\Stay\\", 1, true);
  ASSERT_TRUE(keep && drop && stay);
  const uint32_t keepId = keep->Id(), dropId = drop->Id(), stayId = stay->Id();
  dir_.Write("evol/Keep/Latest/C/a.txt", "a");
  dir_.Write("evol/Drop/Latest/C/a.txt", "a");
  dir_.Write("evol/Drop/Revision/C/a(0001).txt", "a");
  Show(view);

  // Cancel: nothing happens.
  bool hadBox = false;
  WhenQuestionShows([&](CDlgSureMessage* q) {
    hadBox = q->CheckBox() != nullptr;
    q->CancelButton()->click();
  });
  view.Cell(stayId)->DeleteButton()->click();
  EXPECT_TRUE(hadBox);
  EXPECT_NE(PlanList::Instance().Find(stayId), nullptr);
  EXPECT_NE(view.Cell(stayId), nullptr);

  // Without the box ticked the store stays.
  QString question;
  WhenQuestionShows([&](CDlgSureMessage* q) {
    question = q->findChild<QLabel*>("messageLabel")->text();
    EXPECT_EQ(q->CheckBox()->text().toStdString(), GetText("MAIN_UI", "DELETE_BACKUP_FILES"));
    q->OkButton()->click();
  });
  view.Cell(keepId)->DeleteButton()->click();
  EXPECT_EQ(question.toStdString(), FormatText(GetText("MAIN_UI", "SURE_DELETE_PLAN"), {"Keep"}));
  EXPECT_EQ(view.Cell(keepId), nullptr);
  // The plan leaves the list once no count still reads its journal.
  EXPECT_TRUE(RunUntil([&] { return PlanList::Instance().Find(keepId) == nullptr; }));
  EXPECT_FALSE(fs::exists(dir_.NativeOf("data/PLAN/" + std::to_string(keepId))));
  EXPECT_EQ(dir_.Read("evol/Keep/Latest/C/a.txt"), "a");

  // With the box ticked the store goes too (on the worker).
  bool removed = false;
  QObject::connect(&view, &CBrevantoView::storeRemovalFinished,
                   [&](const QString&, bool ok) { removed = ok; });
  WhenQuestionShows([](CDlgSureMessage* q) {
    q->CheckBox()->setChecked(true);
    q->OkButton()->click();
  });
  view.Cell(dropId)->DeleteButton()->click();
  ASSERT_TRUE(RunUntil([&] { return removed; }));
  EXPECT_TRUE(RunUntil([&] { return PlanList::Instance().Find(dropId) == nullptr; }));
  EXPECT_FALSE(fs::exists(dir_.NativeOf("evol/Drop")));
  EXPECT_TRUE(fs::exists(dir_.NativeOf("evol/Keep/Brevanto.dat")));
  EXPECT_EQ(view.CellIds(), std::vector<uint32_t>{stayId});
}

TEST_F(ViewTest, DeleteOfAnUnavailableDestinationOffersNoStoreRemoval) {
  CBrevantoView view;
  CPlan* plan = MakePlan("Away", "G:\\Away\\", 1, true);
  ASSERT_TRUE(plan);
  const uint32_t id = plan->Id();
  gPlugged_ = false;
  WriteVolumes();
  ASSERT_TRUE(RunUntil([&] {
    return !ContentOf(view, id).destination.isEmpty() && ContentOf(view, id).iconName == "Alert";
  }));
  bool hadBox = true;
  WhenQuestionShows([&](CDlgSureMessage* q) {
    hadBox = q->CheckBox() != nullptr;
    q->OkButton()->click();
  });
  view.Cell(id)->DeleteButton()->click();
  EXPECT_FALSE(hadBox);
  EXPECT_TRUE(RunUntil([&] { return PlanList::Instance().Find(id) == nullptr; }));
}

TEST_F(ViewTest, OptionRowHandsEditRestoreAndArchiveToTheFrame) {
  CBrevantoView view;
  CPlan* plan = MakePlan("Docs", "E:\\Docs\\", 1, true);
  ASSERT_TRUE(plan);
  const uint32_t id = plan->Id();
  Show(view);
  CPlanCell* cell = view.Cell(id);
  EXPECT_FALSE(cell->EditButton()->isVisibleTo(cell));
  EXPECT_EQ(cell->MoreButton()->text().toStdString(), GetText("MAIN_UI", "BUTTON_MORE_OPTIONS"));
  cell->MoreButton()->click();
  EXPECT_TRUE(cell->EditButton()->isVisibleTo(cell));
  EXPECT_EQ(cell->MoreButton()->text().toStdString(), GetText("MAIN_UI", "BUTTON_LESS_OPTIONS"));

  std::vector<std::string> asked;
  QObject::connect(&view, &CBrevantoView::editPlanRequested,
                   [&](uint32_t i) { asked.push_back("edit " + std::to_string(i)); });
  QObject::connect(&view, &CBrevantoView::restoreRequested,
                   [&](uint32_t i) { asked.push_back("restore " + std::to_string(i)); });
  QObject::connect(&view, &CBrevantoView::archiveRequested,
                   [&](uint32_t i) { asked.push_back("archive " + std::to_string(i)); });
  QObject::connect(&view, &CBrevantoView::addPlanRequested, [&] { asked.push_back("add"); });
  cell->EditButton()->click();
  cell->RestoreButton()->click();
  cell->ArchiveButton()->click();
  view.AddPlanButton()->click();
  const std::string n = std::to_string(id);
  EXPECT_EQ(asked, (std::vector<std::string>{"edit " + n, "restore " + n, "archive " + n, "add"}));
  // The option row stays open across refreshes.
  view.Refresh();
  EXPECT_TRUE(view.Cell(id)->OptionsOpen());
}

TEST_F(ViewTest, RenameInPlaceStoresTheNameAndRefusesATakenOne) {
  CBrevantoView view;
  CPlan* plan = MakePlan("Docs", "E:\\Docs\\", 1, true);
  CPlan* other = MakePlan("Photos", "E:\\Photos\\", 1, true);
  ASSERT_TRUE(plan && other);
  Show(view);
  CPlanCell* cell = view.Cell(plan->Id());
  auto type = [&](const QString& text, Qt::Key key) {
    cell->RenameButton()->click();
    ASSERT_TRUE(cell->IsRenaming());
    cell->NameEdit()->setText(text);
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(cell->NameEdit(), &press);
    EXPECT_FALSE(cell->IsRenaming());
  };

  type("  Work files  ", Qt::Key_Return);
  EXPECT_EQ(plan->Name(), "Work files");
  EXPECT_NE(PlanFile(plan->Id()).find("Name=Work files"), std::string::npos);
  // The card follows at a refresh that finds the plan's lock free.
  EXPECT_TRUE(RunUntil([&] { return ContentOf(view, plan->Id()).name == "Work files"; }));

  type("Something else", Qt::Key_Escape);
  EXPECT_EQ(plan->Name(), "Work files");

  type("Photos", Qt::Key_Return);
  EXPECT_EQ(plan->Name(), "Work files");
  EXPECT_NE(Messages().find(FormatText(GetText("MAIN_UI", "RENAME_NAME_TAKEN"), {"Photos"})),
            std::string::npos);
}

TEST_F(ViewTest, SpaceCheckWarnsAboutNearlyFullDestinations) {
  CBrevantoView view;
  CPlan* plan = MakePlan("Docs", "E:\\Docs\\", 1, true);
  ASSERT_TRUE(plan);
  std::vector<std::string> messages;
  QObject::connect(&view, &CBrevantoView::messageRequested,
                   [&](const QString& text, int) { messages.push_back(text.toStdString()); });
  const std::string willFull = FormatText(GetText("MAIN_UI", "DISK_WILL_FULL_MESSAGE"), {"Docs"});
  const std::string full = FormatText(GetText("MAIN_UI", "DISK_FULL_MESSAGE"), {"Docs"});
  auto check = [&] {
    messages.clear();
    Show(view);
    view.RunPeriodicChecks();
    RunUntil([&] { return view.Worker()->RunningJobs() == 0; });
    QCoreApplication::processEvents();
  };
  auto has = [&](const std::string& text) {
    return std::find(messages.begin(), messages.end(), text) != messages.end();
  };

  eFree_ = 200 * kMiB;
  WriteVolumes();
  check();
  EXPECT_FALSE(has(willFull));
  EXPECT_FALSE(has(full));

  eFree_ = 50 * kMiB;
  WriteVolumes();
  check();
  EXPECT_TRUE(has(willFull));
  EXPECT_FALSE(has(full));

  eFree_ = 5 * kMiB;
  WriteVolumes();
  check();
  EXPECT_TRUE(has(full));
  // Too full: the plan only records, and says so once when that begins.
  EXPECT_EQ(ContentOf(view, plan->Id()).statusText.toStdString(), Grid("PLAN_STATUS_LOGGING"));
  EXPECT_TRUE(has(FormatText(GetText("MAIN_UI", "PLAN_CHANGE_LOGGING_MODE"), {"Docs"})));
  EXPECT_EQ(plat::GetProfileString(
                dir_.System() + "\\data\\PLAN\\" + std::to_string(plan->Id()) + "\\UI.ini",
                "MainWindow", "LoggingModeTime", "")
                .size(),
            14u);

  // No warnings while error notifications are off.
  SetShowErrorNotification(false);
  check();
  EXPECT_TRUE(messages.empty());
  SetShowErrorNotification(true);
}

TEST_F(ViewTest, RecordingOnlyCheckCountsDaysAndWaitingFiles) {
  CBrevantoView view;
  CPlan* plan = MakePlan("Docs", "G:\\Docs\\", 1, true);
  ASSERT_TRUE(plan);
  gPlugged_ = false;  // its disk is away: it only records
  WriteVolumes();
  const std::string uiIni =
      dir_.System() + "\\data\\PLAN\\" + std::to_string(plan->Id()) + "\\UI.ini";
  const std::string src = dir_.Write("src/a.txt", "a");
  plan->NoteChangedFile(dir_.SystemOf("src/a.txt"));
  plan->NoteChangedFile(dir_.SystemOf("src/b.txt"));
  (void)src;
  // First sight of the blocked plan (once its thread saw the disk go): its
  // period starts now.
  ASSERT_TRUE(RunUntil([&] {
    view.Refresh();
    return plat::GetProfileString(uiIni, "MainWindow", "LoggingModeTime", "").size() == 14u;
  }));
  // Three days and an hour ago.
  plat::WriteProfileString(
      uiIni, "MainWindow", "LoggingModeTime",
      plat::FormatLocalTime(plat::Now() - 3 * 86400 - 3600, "%Y%m%d%H%M%S").c_str());
  std::vector<std::string> messages;
  QObject::connect(&view, &CBrevantoView::messageRequested,
                   [&](const QString& text, int) { messages.push_back(text.toStdString()); });
  view.RunPeriodicChecks();
  const std::string expected =
      "The plan \"Docs\" has only been recording changes for 4 days, with 2 files waiting to be "
      "backed up.";
  ASSERT_TRUE(RunUntil(
      [&] { return std::find(messages.begin(), messages.end(), expected) != messages.end(); }));

  // Unblocked: the period is over (seen once the plan's thread saw the disk).
  gPlugged_ = true;
  WriteVolumes();
  EXPECT_TRUE(RunUntil([&] {
    view.Refresh();
    return plat::GetProfileString(uiIni, "MainWindow", "LoggingModeTime", "") == "NULL";
  })) << plat::GetProfileString(uiIni, "MainWindow", "LoggingModeTime", "");
}

TEST_F(ViewTest, WorkerNeverWaitsForABusyJournal) {
  CBrevantoView view;
  CPlan* plan = MakePlan("Docs", "E:\\Docs\\", 8, false);
  ASSERT_TRUE(plan);
  plan->NoteChangedFile(dir_.SystemOf("src/a.txt"));
  Show(view);
  const uint32_t id = plan->Id();

  // Another thread holds the journal, as a backup walk does for its whole run.
  std::mutex m;
  std::condition_variable cv;
  bool held = false, release = false;
  std::thread holder([&] {
    std::lock_guard<std::recursive_mutex> journal(plan->Database()->Mutex());
    std::unique_lock<std::mutex> lock(m);
    held = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  });
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return held; });
  }
  view.RefreshPendingCounts();
  EXPECT_TRUE(view.Worker()->IsReading(id));
  ASSERT_TRUE(RunUntil([&] { return view.Worker()->RunningJobs() == 0; }));
  QCoreApplication::processEvents();
  EXPECT_FALSE(view.Worker()->IsReading(id));
  EXPECT_EQ(ContentOf(view, id).pending, QStringLiteral("\u2013"));  // not known yet
  {
    std::lock_guard<std::mutex> lock(m);
    release = true;
  }
  cv.notify_all();
  holder.join();
  view.RefreshPendingCounts();
  ASSERT_TRUE(RunUntil([&] { return ContentOf(view, id).pending == "1"; }));
}

// A real backup of many files: the view keeps refreshing and counting (the
// count skips the journal the walk holds) and ends with nothing waiting.
TEST_F(ViewTest, StaysResponsiveWhileAPlanBacksUpManyFiles) {
  bvtest::TempDir src(bvtest::TempDir::Where::kHome);
  ASSERT_FALSE(src.Native().empty());
  CBrevantoView view;
  CPlan* plan = MakePlan("Many", "E:\\Many\\", 1, false);
  ASSERT_TRUE(plan);
  const uint32_t id = plan->Id();
  constexpr int kFiles = 5000;
  for (int i = 0; i < kFiles; ++i) {
    const std::string rel = "d" + std::to_string(i / 500) + "/f" + std::to_string(i) + ".txt";
    src.Write(rel, "content " + std::to_string(i));
    plan->NoteChangedFile(src.SystemOf(rel));
  }
  view.RefreshPendingCounts();
  // The count as the user's locale writes it ("5,000" in English).
  const QString waiting = QString::fromStdString(LocaleNumber(kFiles));
  ASSERT_TRUE(RunUntil([&] { return ContentOf(view, id).pending == waiting; }));

  bool sawBackingUp = false;
  int refreshesDuringRun = 0;
  QTimer poke;
  QObject::connect(&poke, &QTimer::timeout, [&] {
    // What the timers do, much more often; none of it may wait for the walk.
    view.Refresh();
    view.RefreshPendingCounts();
    if (ContentOf(view, id).statusText.toStdString() == Grid("PLAN_STATUS_PROTECTING")) {
      sawBackingUp = true;
      ++refreshesDuringRun;
    }
  });
  poke.start(50);
  plan->SetEnabled(true, 0);
  ASSERT_TRUE(RunUntil(
      [&] {
        return sawBackingUp &&
               ContentOf(view, id).statusText.toStdString() == Grid("PLAN_STATUS_WATCHING") &&
               ContentOf(view, id).pending == "0";
      },
      300000));
  poke.stop();
  EXPECT_GT(refreshesDuringRun, 0);
  EXPECT_TRUE(fs::exists(dir_.NativeOf("evol/Many/Latest")));
}

// Plans named up to the limit, on a long store path, and one card given a
// 263-character name: from 1024 x 768 on, the window keeps its size, every
// card's buttons and schedule lie inside it, and the cut texts carry their
// whole text in the tool tip.
TEST_F(ViewTest, LongNamesKeepEveryButtonInsideTheWindow) {
  CMainFrame frame;
  CBrevantoView* view = frame.View();
  const std::string folder = "E:\\" + std::string(150, 'f') + "\\";
  for (char c : std::string("ABC"))
    ASSERT_TRUE(MakePlan(std::string(255, c), folder + c, c == 'B' ? 4 : 1, true));
  frame.resize(1024, 768);
  frame.show();
  Show(*view);
  const std::vector<uint32_t> ids = view->CellIds();
  CellContent widest = view->Cell(ids[0])->Content();
  widest.name = QString(263, QLatin1Char('W'));
  widest.statusText = QString(40, QLatin1Char('S')).repeated(8);  // a long error in words
  view->Cell(ids[0])->SetContent(widest);
  for (uint32_t id : ids) view->Cell(id)->SetOptionsOpen(true);

  for (QSize size : {QSize(1024, 768), QSize(1280, 800), QSize(1024, 768)}) {
    frame.resize(size);
    RunUntil([] { return false; }, 100);
    EXPECT_EQ(frame.size(), size);
    auto* scroll = view->findChild<QScrollArea*>("planScroll");
    for (uint32_t id : ids) {
      CPlanCell* cell = view->Cell(id);
      scroll->ensureWidgetVisible(cell, 0, 0);
      QCoreApplication::processEvents();
      const QWidget* parts[] = {cell->BackupNowButton(), cell->PauseButton(),
                                cell->DeleteButton(),    cell->MoreButton(),
                                cell->EditButton(),      cell->RestoreButton(),
                                cell->ArchiveButton(),   cell->findChild<QLabel*>("scheduleValue")};
      for (const QWidget* w : parts) {
        const QRect box(w->mapTo(&frame, QPoint(0, 0)), w->size());
        EXPECT_TRUE(w->isVisibleTo(&frame) && frame.rect().contains(box))
            << w->objectName().toStdString() << " of plan " << id << " at " << box.x() << ","
            << box.y() << " in " << size.width() << "x" << size.height();
      }
      auto* name = cell->findChild<CElidedLabel*>("planName");
      ASSERT_NE(name, nullptr);
      EXPECT_TRUE(name->IsElided());
      EXPECT_TRUE(name->TipText().startsWith(cell->Content().name));
      auto* destination = cell->findChild<CElidedLabel*>("destinationValue");
      EXPECT_EQ(destination->TipText(), cell->Content().destinationTip);
    }
  }
}

// The whole window with plans in several states. With BV_SCREENSHOT_DIR set
// the pictures are written there.
TEST_F(ViewTest, WindowWithPlansInSeveralStates) {
  const char* outDir = std::getenv("BV_SCREENSHOT_DIR");
  const std::string out = outDir ? outDir : "";
  eFree_ = 128849018880;  // 120 GiB
  WriteVolumes();
  CPlanCell::SetAnimationsEnabled(false);
  CMainFrame frame;
  CBrevantoView* view = frame.View();
  frame.resize(960, 1000);
  frame.show();
  auto shoot = [&](QWidget* w, const char* name) {
    QPixmap pixmap = w->grab();
    EXPECT_FALSE(pixmap.isNull());
    if (!out.empty()) {
      EXPECT_TRUE(pixmap.save(QString::fromStdString(out + "/" + name)));
    }
  };
  RunUntil([] { return false; }, 200);
  shoot(&frame, "main-empty.png");

  const int64_t last = plat::FromLocalTime({2026, 3, 7, 14, 5, 0, 0, 0, false});
  CPlan* docs = MakePlan("Documents", "E:\\Backup\\Documents\\", 1, true);
  CPlan* photos = MakePlan("Photos", "E:\\Backup\\Photos\\", 8, true);
  CPlan* music = MakePlan("Music", "F:\\Music\\", 4, false, kStorageUsb);
  CPlan* projects = MakePlan("Projects", "G:\\Projects\\", 1, true);
  ASSERT_TRUE(docs && photos && music && projects);
  for (CPlan* p : {docs, photos, music, projects}) p->SetLastBackupTime(last);
  for (const char* f : {"a.txt", "b.txt", "c.txt"}) docs->NoteChangedFile(dir_.SystemOf(f));
  photos->SetMode(kModeWorking);  // a manual plan's task never runs by itself
  gPlugged_ = false;
  WriteVolumes();
  view->RefreshPendingCounts();
  ASSERT_TRUE(RunUntil([&] {
    return ContentOf(*view, projects->Id()).iconName == "Alert" &&
           ContentOf(*view, docs->Id()).pending == "3" &&
           !ContentOf(*view, docs->Id()).space.isEmpty() &&
           ContentOf(*view, docs->Id()).statusText.toStdString() == Grid("PLAN_STATUS_WATCHING");
  }));  // (the plan's first walk may still run for a moment: backing up)
  EXPECT_EQ(ContentOf(*view, photos->Id()).statusText.toStdString(),
            Grid("PLAN_STATUS_PROTECTING"));
  EXPECT_EQ(ContentOf(*view, music->Id()).statusText.toStdString(),
            GetText("PLAN_HEALTH", "STATUS_PAUSED"));
  EXPECT_EQ(ContentOf(*view, docs->Id()).statusText.toStdString(), Grid("PLAN_STATUS_WATCHING"));
  view->Cell(photos->Id())->SetOptionsOpen(true);
  RunUntil([] { return false; }, 300);
  shoot(&frame, "main.png");

  // A small screen: 1366 x 768 less the desktop's bars.
  frame.resize(760, 600);
  RunUntil([] { return false; }, 200);
  shoot(&frame, "main-small.png");

  // A name at the limit on a deep folder, in a 1024 x 768 window.
  const std::string longName =
      "Everything I keep for the family: the photos of every holiday since 2004, the scanned "
      "letters, the recipes, the tax papers of every year, the school reports and the "
      "drawings of the children, the music we recorded together and all the rest of it.";
  ASSERT_TRUE(docs->SetName(longName));
  frame.resize(1024, 768);
  Show(*view);
  RunUntil([] { return false; }, 300);
  shoot(&frame, "main-long-name.png");
  ASSERT_TRUE(docs->SetName("Documents"));

  // The delete question.
  WhenQuestionShows([&](CDlgSureMessage* q) {
    q->CheckBox()->setChecked(true);
    RunUntil([] { return false; }, 200);
    shoot(q, "delete-question.png");
    q->CancelButton()->click();
  });
  view->Cell(docs->Id())->DeleteButton()->click();
  photos->SetMode(kModeIdle);
  CPlanCell::SetAnimationsEnabled(true);
}

// The pop-ups the program raised, one line each (BREVANTO_POPUP_LOG).
class PopupLog {
 public:
  explicit PopupLog(std::string file) : file_(std::move(file)) {
    setenv("BREVANTO_POPUP_LOG", file_.c_str(), 1);
  }
  ~PopupLog() { unsetenv("BREVANTO_POPUP_LOG"); }
  std::string Text() const { return ReadNative(file_); }
  // Pop-ups that held the words (each is one line).
  size_t CountWith(const std::string& part) const {
    std::istringstream lines(Text());
    size_t n = 0;
    for (std::string line; std::getline(lines, line);) n += line.find(part) != std::string::npos;
    return n;
  }

 private:
  std::string file_;
};

// One line as the pop-up log writes a text.
std::string OneLine(std::string text) {
  for (char& c : text) c = c == '\n' || c == '\r' ? ' ' : c;
  return text;
}

// A destination whose disk turns read-only: the card shows the problem in its
// own colour and image with the cause in words, the files that failed stay
// counted as waiting, "Last backup" keeps the last success (in "Plan.ini"
// too), one pop-up says so however often the files are tried again, and once
// the disk is writable "Back up now" of the continuous plan copies them.
TEST_F(ViewTest, CopiesThatFailShowTheProblemAndKeepTheLastBackup) {
  bvtest::TempDir src(bvtest::TempDir::Where::kHome);
  ASSERT_FALSE(src.Native().empty());
  PopupLog popups(dir_.NativeOf("popups.log"));
  CMainFrame frame;
  CBrevantoView& view = *frame.View();
  CPlan* plan = MakePlan("Docs", "E:\\Docs\\", 1, true);
  CPlan* paused = MakePlan("Photos", "E:\\Photos\\", 4, false);  // beside it in the picture
  ASSERT_TRUE(plan && paused);
  const uint32_t id = plan->Id();
  src.Write("a.txt", "a");
  plan->NoteChangedFile(src.SystemOf("a.txt"));
  ASSERT_TRUE(RunUntil([&] { return plan->LastBackupTime() > 0; }, 30000));
  const int64_t copiedAt = plan->LastBackupTime();
  ASSERT_TRUE(RunUntil(
      [&] {
        return PlanFile(id).find("LastBackupTime=" + std::to_string(copiedAt)) != std::string::npos;
      },
      10000))
      << PlanFile(id);
  const std::string lastText = FormatCellDate(copiedAt, CellCountry());

  const std::string disk = dir_.NativeOf("evol/Docs");  // the store, not the volume's root
  bvtest::ReadOnlyFolder readOnly(disk);
  if (!readOnly.Failure().empty()) GTEST_SKIP() << readOnly.Failure();
  for (const char* rel : {"new/b.txt", "new/c.txt"}) {
    src.Write(rel, rel);
    plan->NoteChangedFile(src.SystemOf(rel));
  }
  const std::string cause = GetText("PLAN_HEALTH", "ERROR_19");
  const std::string status = FormatText(GetText("PLAN_HEALTH", "STATUS_FAILING"), {cause});
  ASSERT_TRUE(RunUntil(
      [&] {
        view.Refresh();
        return ContentOf(view, id).statusText.toStdString() == status &&
               ContentOf(view, id).pending == "2";
      },
      30000))
      << ContentOf(view, id).statusText.toStdString() << " / "
      << ContentOf(view, id).pending.toStdString();
  const CellContent c = ContentOf(view, id);
  EXPECT_EQ(c.statusColour, QColor(190, 24, 93));
  EXPECT_EQ(c.iconName, "Failing");
  EXPECT_EQ(c.statusKind, "problem");
  EXPECT_EQ(view.Cell(id)->property("status").toString(), "problem");
  EXPECT_EQ(c.lastBackup.toStdString(), lastText);
  EXPECT_EQ(plan->LastBackupTime(), copiedAt);
  if (const char* out = std::getenv("BV_SCREENSHOT_DIR")) {
    CPlanCell::SetAnimationsEnabled(false);
    frame.resize(960, 640);
    frame.show();
    RunUntil([] { return false; }, 300);
    EXPECT_TRUE(frame.grab().save(QString::fromStdString(std::string(out) + "/main-trouble.png")));
    CPlanCell::SetAnimationsEnabled(true);
  }
  // Tried again (every few seconds for a while): still one pop-up.
  LogRecord rec;
  ASSERT_TRUE(RunUntil(
      [&] {
        uint64_t at = 0, next = 0;
        bool found = false;
        std::lock_guard<std::recursive_mutex> lock(plan->Database()->Mutex());
        return plan->Database()->Lookup(src.SystemOf("new/b.txt"), &at) &&
               plan->Database()->ReadRecord(at, &rec, &next, &found) == 0 && found &&
               rec.failedAttempts >= 2;
      },
      30000));
  view.Refresh();
  EXPECT_EQ(ContentOf(view, id).pending, "2");
  EXPECT_EQ(popups.CountWith(cause), 1u) << popups.Text();
  EXPECT_NE(PlanFile(id).find("LastBackupTime=" + std::to_string(copiedAt)), std::string::npos);

  // Writable again: the user asks, the failed files go now.
  ASSERT_TRUE(readOnly.MakeWritable());  // writable again
  view.Cell(id)->BackupNowButton()->click();
  ASSERT_TRUE(RunUntil(
      [&] {
        view.Refresh();
        return ContentOf(view, id).statusText.toStdString() == Grid("PLAN_STATUS_WATCHING") &&
               plan->LastBackupTime() > copiedAt && ContentOf(view, id).pending == "0";
      },
      30000))
      << ContentOf(view, id).statusText.toStdString();
  EXPECT_EQ(dir_.Read("evol/Docs/Latest/C" + src.Native() + "/new/c.txt"), "new/c.txt");
}

// Pop-ups come for what the user must know: none for a pause, an edit or a
// manual plan at rest; one when a plan's disk goes away; a manual run says
// how many files it copied (one file, several, or none).
TEST_F(ViewTest, NoWarningForAPauseAnEditOrAManualPlanAtRest) {
  bvtest::TempDir src(bvtest::TempDir::Where::kHome);
  ASSERT_FALSE(src.Native().empty());
  PopupLog popups(dir_.NativeOf("popups.log"));
  CMainFrame frame;
  CBrevantoView& view = *frame.View();
  CPlan* watch = MakePlan("Watch", "E:\\Watch\\", 1, true);
  CPlan* manual = MakePlan("Manual", "E:\\Manual\\", 8, false);
  CPlan* away = MakePlan("Away", "G:\\Away\\", 1, true);
  ASSERT_TRUE(watch && manual && away);
  manual->SetInitDone(true);  // its runs copy what its journal holds
  Show(view);
  // Some refreshes and drains, as the timers make them.
  auto settle = [&] {
    RunUntil(
        [&] {
          view.Refresh();
          return false;
        },
        1500);
  };
  // The recording-only warning's words after the plan's name.
  const std::string pattern = GetText("MAIN_UI", "PLAN_CHANGE_LOGGING_MODE");
  const std::string recording = OneLine(pattern.substr(pattern.find("%s") + 3, 24));
  ASSERT_FALSE(recording.empty());
  settle();

  // A pause the user made.
  view.Cell(watch->Id())->PauseButton()->click();
  settle();
  EXPECT_EQ(ContentOf(view, watch->Id()).statusText.toStdString(),
            GetText("PLAN_HEALTH", "STATUS_PAUSED"));
  view.Cell(watch->Id())->PauseButton()->click();

  // An edit: the plan stops, its destination closes, it comes back changed.
  const std::string answers = dir_.SystemOf("answers.ini");
  WriteNative(dir_.NativeOf("answers.ini"),
              "[BackupDestination]\nBackupType=2\nStorageType=1\nActiveTabNew=4\n"
              "StoragePath=E:\\Watch\\\n[NEW_WIZARD_SELECT_SOURCE]\nActiveTab=0\n"
              "[Selected Folders]\nFolderList=" +
                  src.System() +
                  "\n[WizardPage3Options]\nPlanName=Watch\nContinuously=1\n"
                  "[Wizard4Options]\nVersionsToKeep=4\n");
  const PlanChange change = BeginPlanChange(watch);
  settle();
  ASSERT_TRUE(CompletePlanChange(PlanList::Instance(), watch, change, answers, {}, false));
  settle();

  // A manual plan backed up now: its run ends, it rests (switched off).
  src.Write("one.txt", "1");
  manual->NoteChangedFile(src.SystemOf("one.txt"));
  view.Cell(manual->Id())->BackupNowButton()->click();
  const std::string one = OneLine(FormatText(GetText("MAIN_UI", "NUMBER_OF_BACKUP_FILES_PROMPT"),
                                             {CountText("FILES", 1), "Manual"}));
  ASSERT_TRUE(RunUntil([&] { return popups.CountWith(one) == 1; }, 30000)) << popups.Text();
  ASSERT_TRUE(RunUntil([&] { return !manual->Enabled(); }));
  settle();
  EXPECT_EQ(popups.CountWith(recording), 0u) << popups.Text();
  // Again with two files, then with nothing new.
  for (const char* rel : {"two.txt", "three.txt"}) {
    src.Write(rel, rel);
    manual->NoteChangedFile(src.SystemOf(rel));
  }
  view.Cell(manual->Id())->BackupNowButton()->click();
  const std::string two = OneLine(FormatText(GetText("MAIN_UI", "NUMBER_OF_BACKUP_FILES_PROMPT"),
                                             {CountText("FILES", 2), "Manual"}));
  ASSERT_TRUE(RunUntil([&] { return popups.CountWith(two) == 1; }, 30000));
  ASSERT_TRUE(RunUntil([&] { return !manual->Enabled(); }));
  view.Cell(manual->Id())->BackupNowButton()->click();
  const std::string none =
      OneLine(FormatText(GetText("PLAN_HEALTH", "NOTHING_TO_COPY"), {"Manual"}));
  ASSERT_TRUE(RunUntil([&] { return popups.CountWith(none) == 1; }, 30000));
  settle();
  EXPECT_EQ(popups.CountWith(recording), 0u) << popups.Text();

  // A real cause: the disk of an enabled plan goes away.
  gPlugged_ = false;
  WriteVolumes();
  const std::string gone =
      OneLine(FormatText(GetText("MAIN_UI", "PLAN_CHANGE_LOGGING_MODE"), {"Away"}));
  ASSERT_TRUE(RunUntil(
      [&] {
        view.Refresh();
        return popups.CountWith(gone) == 1;
      },
      30000))
      << popups.Text();
  EXPECT_EQ(popups.CountWith(recording), 1u) << popups.Text();
}

}  // namespace
