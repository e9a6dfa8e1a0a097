// The cards and the notification icon when a plan cannot copy.
#include <QDateTime>
#include <QHBoxLayout>
#include <QScrollArea>
#include <sstream>
#include <tuple>

#include "ViewTestKit.h"
#include "engine/RunFile.h"
#include "platform/process/Clock.h"
#include "support/ReadOnlyFolder.h"
#include "ui/widgets/CDlgSureMessage.h"

namespace bvtest {
namespace {

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
  // The disk went away three days and an hour ago; the plan starts again and counts from then.
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

// Pop-ups in the log (BREVANTO_POPUP_LOG, one line each) that hold part.
size_t PopupsWith(const std::string& log, std::string part) {
  for (char& c : part) c = c == '\n' || c == '\r' ? ' ' : c;
  std::istringstream lines(ReadNative(log));
  size_t n = 0;
  for (std::string line; std::getline(lines, line);) n += line.find(part) != std::string::npos;
  return n;
}

// Pop-ups only for real causes; a read-only store's files wait and are copied once writable.
TEST_F(ViewTest, CopiesThatFailShowTheProblemAndOnlyRealCausesPopUp) {
  TempDir src(TempDir::Where::kHome);
  ASSERT_FALSE(src.Native().empty());
  const std::string log = dir_.NativeOf("popups.log");
  ScopedEnv popups("BREVANTO_POPUP_LOG", log);
  const ScopedLocale british;
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
  // The card keeps the folder last seen; icon, tool tip and menu name the plan and its problem.
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
  ReadOnlyFolder readOnly(dir_.NativeOf("evol/Docs"));  // the store, not the volume
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
  british.Restore();
  if (std::getenv("BV_SCREENSHOT_DIR")) {
    CPlanCell::SetAnimationsEnabled(false);
    frame.resize(960, 640);
    frame.show();
    view.findChild<QScrollArea*>("planScroll")->ensureWidgetVisible(view.Cell(id), 0, 0);
    Shoot(&frame, "main-trouble.png");
    shootTray("tray-failure.png");
    CPlanCell::SetAnimationsEnabled(true);
  }
  // A card for each other cause, a refused store in the refusal's own words.
  std::vector<uint32_t> more;
  for (const auto& [name, store, type] :
       {std::tuple<const char*, const char*, int32_t>{"Full", "H:\\Full\\", kStorageLocal},
        {"Share", "\\\\nas\\backup\\", kStorageNetwork},
        {"Server", "\\\\nas\\keys\\", kStorageNetwork},
        {"Nested", "\\\\nas\\nested\\", kStorageNetwork}})
    more.push_back(MakePlan(name, store, 1, true, type)->Id());
  const std::string nested = FormatText(GetText("STORE", "NESTED_STORE"), {"s3://bk/d8/live/"});
  std::thread([&] {
    PostEvent(kEvServerKeyUntrusted, "nas:445", more[2]);
    PostEvent(kEvServerUnreachable, "nas:445", more[1], {}, "Refused.", 1);  // a login refused
    PostEvent(kEvStoreState, "127.0.0.1", more[3], {}, nested, 4);
  }).join();
  const std::string recordingOnly = Grid("PLAN_STATUS_LOGGING") + ": ";
  // The refused key reaches the view after the server's own look: waited for too.
  ASSERT_TRUE(Until(view,
                    [&] {
                      return view.Problems().size() == 6u &&
                             Status(view, more[2]) ==
                                 recordingOnly + GetText("PLAN_PROBLEM", "KEY_UNTRUSTED_YET") &&
                             Status(view, more[3]) == nested;
                    }))
      << view.Problems().size() << " problems; " << Status(view, more[2]) << " / "
      << Status(view, more[3]);
  EXPECT_EQ(view.Cell(more[3])->property("status").toString(), "problem");
  EXPECT_EQ(Status(view, more[0]), recordingOnly + "the backup disk is full: 6 MB more is needed");
  EXPECT_EQ(Status(view, more[1])
                .rfind(recordingOnly + "the server nas refused the plan's login since ", 0),
            0u);
  // Then out of reach: said as such again.
  std::thread([&] { PostEvent(kEvServerUnreachable, "nas:445", more[1], {}, "Gone.", 0); }).join();
  EXPECT_TRUE(Until(view, [&] {
    return Status(view, more[1]).rfind(recordingOnly + "the server nas cannot be reached", 0) == 0;
  })) << Status(view, more[1]);
  // Its card leads to the server step (the frame's modal wizard left out).
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
}  // namespace bvtest
