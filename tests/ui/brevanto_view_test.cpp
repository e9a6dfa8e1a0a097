// The main view's plan cards on real widgets (offscreen) and real plans.
#include <QScrollArea>
#include <future>
#include <mutex>

#include "ViewTestKit.h"
#include "engine/CSimpleEngine.h"
#include "engine/CTask.h"
#include "engine/CatchUpRequests.h"
#include "ui/widgets/CDlgSureMessage.h"

namespace fs = std::filesystem;

namespace bvtest {
namespace {

std::string Paused() { return GetText("PLAN_HEALTH", "STATUS_PAUSED"); }

// The cards' texts, counts and free space; older versions' room is walked only while seen.
TEST_F(ViewTest, ShowsOneCellPerPlanWithItsTexts) {
  CPlanCell::SetAnimationsEnabled(false);
  CMainFrame frame;
  CBrevantoView& view = *frame.View();
  frame.resize(960, 1000);
  frame.show();
  EXPECT_TRUE(view.CellIds().empty());
  EXPECT_TRUE(view.findChild<QWidget*>("emptyCard")->isVisibleTo(&view));
  Shoot(&frame, "main-empty.png");
  frame.hide();  // as after a silent start

  CPlan* watch = MakePlan("Documents", "E:\\Docs\\", 1, true, kStorageLocal, 999);
  CPlan* daily = MakePlan("Pictures", "E:\\Pics\\", 4, true);
  CPlan* manual = MakePlan("Music", "F:\\Music\\", 8, false, kStorageUsb);
  ASSERT_TRUE(watch && daily && manual);
  watch->SetKeepDays(kKeepMonth);
  manual->NoteChangedFile(dir_.SystemOf("src/a.txt"));
  auto revision = [&](const char* name) {
    WriteNative(dir_.NativeOf(std::string("evol/Docs/Revision/C/") + name), std::string(1000, 'r'));
  };
  revision("a(0001).txt");  // two revisions of 1,000 bytes each, measured on a job
  revision("x/a(0002).txt");
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

  // A journal held by a backup walk is not waited for: its count comes later.
  const uint32_t held = manual->Id();
  std::promise<void> holding, release;
  std::thread holder([&] {
    std::lock_guard<std::recursive_mutex> journal(manual->Database()->Mutex());
    holding.set_value();
    release.get_future().wait();
  });
  holding.get_future().wait();
  view.RefreshPendingCounts();
  EXPECT_TRUE(view.Worker()->IsReading(held));
  ASSERT_TRUE(RunUntil([&] {
    return view.Worker()->RunningJobs() == 0 && ContentOf(view, watch->Id()).pending == "0" &&
           !ContentOf(view, watch->Id()).space.isEmpty();
  }));
  QCoreApplication::processEvents();
  EXPECT_FALSE(view.Worker()->IsReading(held));
  EXPECT_EQ(ContentOf(view, held).pending, QStringLiteral("\u2013"));  // not known yet
  release.set_value();
  holder.join();
  EXPECT_NE(ContentOf(view, watch->Id()).space.toStdString().find("500.00 G"), std::string::npos);
  // Hidden: the tree is not walked. Shown: how long and how many versions stay, and their room.
  auto versions = [&](uint32_t id) { return ContentOf(view, id).versions.toStdString(); };
  EXPECT_EQ(versions(watch->Id()).find("they take"), std::string::npos) << versions(watch->Id());
  frame.show();
  view.RefreshPendingCounts();
  ASSERT_TRUE(RunUntil([&] {
    return versions(watch->Id()) ==
               "Versions kept: for 30 days (up to 999); they take " + FormatSize(2000, "", false) &&
           ContentOf(view, held).pending == "1";
  })) << versions(watch->Id());
  EXPECT_EQ(versions(daily->Id()).rfind("Versions kept: the newest 3", 0), 0u);
  // A small store is walked again as runs end.
  revision("a(0003).txt");
  ASSERT_TRUE(RunUntil([&] {
    view.RefreshPendingCounts();
    return versions(watch->Id()).find("they take " + FormatSize(3000, "", false)) !=
           std::string::npos;
  })) << versions(watch->Id());
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

  // Unholdable names, files kept private and files too large: counted once each, apart.
  for (const char* path : {"C:\\x\\a\\b", "C:\\x\\\\xFF", "C:\\x\\a\\b"})
    watch->NoteUnheldName(path);
  for (const char* path : {"C:\\x\\id", "C:\\x\\tax", "C:\\x\\id"})
    watch->NoteUnheldName(path, /*keptPrivate=*/true);
  watch->ForgetUnheldName("C:\\x\\tax");
  TempDir big(TempDir::Where::kHome);
  big.Write("v.mkv", "");
  fs::resize_file(big.NativeOf("v.mkv"), 3 << 20);  // over 2 MB in whole MB
  SetBackupFileMaxSize(2);
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(watch->Engine()->BackupFile(big.System() + "\\v.mkv", false, nullptr, 0),
              kBackupTooLarge);
  SetBackupFileMaxSize(0);
  EXPECT_TRUE(Until(view, [&] {
    return ContentOf(view, watch->Id()).notProtected.toStdString() ==
           "2 files cannot be protected (see the log for each one and why)\n"
           "1 file not sent: the backup server cannot keep such files private (see the log)\n"
           "1 file too large \u2014 change the limit";
  }));
  EXPECT_TRUE(view.Cell(watch->Id())->findChild<QLabel*>("notProtectedValue")->isVisibleTo(&view));
  EXPECT_TRUE(ContentOf(view, manual->Id()).notProtected.isEmpty());
}

// Every card button reaches its plan; deleting asks, and takes only this plan's files if asked.
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
  EXPECT_EQ(daily->LastBackupTime(), 0);                         // only a copy sets it
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
    Key(cell->NameEdit(), key);
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
  fs::permissions(dir_.NativeOf("evol/Manual/Latest/C/a.txt"), fs::perms::owner_read);
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
  // Ticked, a store shared with another plan: the question says so; only this plan's files go.
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
  EXPECT_FALSE(fs::exists(dir_.NativeOf("data/PLAN/" + std::to_string(sharingId) + ".removing")));
  EXPECT_TRUE(fs::exists(dir_.NativeOf("evol/Daily/Latest")));
  EXPECT_EQ(view.CellIds(), std::vector<uint32_t>{watchId});
}

}  // namespace
}  // namespace bvtest
