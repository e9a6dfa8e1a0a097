// The restore and progress windows (offscreen) over stores written by hand.
#include <QDateTime>
#include <QDateTimeEdit>
#include <QMessageBox>
#include <QMimeData>
#include <chrono>

#include "ManualClock.h"
#include "RestoreTestKit.h"
#include "history/RestoreTree.h"
#include "platform/base/FaultSeam.h"
#include "support/ScratchEnv.h"

namespace fs = std::filesystem;

namespace bvtest {
namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

std::string Restore(const char* key) { return RestoreText(key); }

// Clicks a button of the next question about newer files; lastQuestion gets its text.
std::string lastQuestion;
void AnswerNextQuestion(const char* button, const char* picture = nullptr) {
  WhenShown(
      [] {
        QWidget* w = QApplication::activeModalWidget();
        return w != nullptr && w->objectName() == "overwriteQuestion" ? w : nullptr;
      },
      [button, picture](QWidget* box) {
        if (auto* message = qobject_cast<QMessageBox*>(box))
          lastQuestion = message->text().toStdString();
        if (picture) Shoot(box, picture);
        auto* b = box->findChild<QPushButton*>(button);
        ASSERT_TRUE(b);
        b->click();
      });
}

// E: a fixed disk holding plans' stores written by hand.
class RestoreWindowTest : public RestoreTest {
 protected:
  std::string Volumes() const override { return Drive("E", "evol", "Type=fixed\n"); }

  // A plan whose store holds the source folder's files and revisions, an hour apart.
  CPlan* MakePlanWithStore(const std::string& name, const TempDir& src, const Files& latest,
                           const Files& revisions) {
    CPlan* plan = MakePlan(name, "E:\\Backup\\" + name + "\\", 8, false, kStorageLocal, 5);
    const std::string store = dir_.NativeOf("evol/Backup/" + name);
    WriteNative(store + "/Brevanto.dat", "");
    int64_t at = kFirstVersion;
    for (const auto& [rel, content] : revisions)
      Put(store + "/Revision/C" + src.Native() + "/" + rel, content, at += 3600);
    for (const auto& [rel, content] : latest)
      Put(store + "/Latest/C" + src.Native() + "/" + rel, content, at += 3600);
    return plan;
  }
  static void Put(const std::string& native, const std::string& content, int64_t mtime) {
    WriteNative(native, content);
    fs::last_write_time(
        native, fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(mtime)));
  }
  // The window on a plan "Docs" whose store holds latest_ and the revisions.
  std::unique_ptr<CDlgRestore> Open(const Files& revisions) {
    CPlan* plan = MakePlanWithStore("Docs", src_, latest_, revisions);
    EXPECT_TRUE(plan);
    auto dlg = std::make_unique<CDlgRestore>(plan ? plan->Id() : 0);
    dlg->show();
    EXPECT_TRUE(Listed(*dlg));
    return dlg;
  }
  static bool Listed(CDlgRestore& dlg) {
    return RunUntil([&] { return !dlg.IsListing(); });
  }
  static bool Searched(CDlgRestore& dlg) {
    return RunUntil([&] { return !dlg.IsSearching(); });
  }

  static constexpr int64_t kFirstVersion = 1765000000;  // December 2025
  const Files latest_ = {
      {"report.doc", "the report"},
      {"notes10.txt", "ten"},
      {"notes9.txt", "nine"},
      {"B sub/\xc3\xa4 photo.jpg", std::string("\xff\xd8 jpeg\0bytes", 14)},
      {"a sub/deep/keep.txt", std::string(200000, 'k')},
  };
  const Files revisions_ = {
      {"report(0001).doc", "report one"},
      {"report(0002).doc", "report two, longer"},
      {"a sub/deep/keep(0001).txt", "keep one"},
  };
  TempDir src_;
};

// Folders under their own paths, a file's versions, drags; nothing starts without ticks or with
// a bad target; the one version ticked lands below the chosen folder; the search.
TEST_F(RestoreWindowTest, ShowsFoldersAsTheUserKnowsThemAndRestoresTheTickedVersion) {
  const ScopedLocale british;
  auto window = Open(revisions_);
  CDlgRestore& dlg = *window;
  CRestoreTree* tree = dlg.Tree();
  ASSERT_EQ(Rows(tree, nullptr), std::vector<std::string>{src_.Native()});
  QTreeWidgetItem* top = tree->topLevelItem(0);
  EXPECT_EQ(Rows(tree, top), (std::vector<std::string>{"a sub", "B sub", "notes9.txt",
                                                       "notes10.txt", "report.doc"}));
  for (QTreeWidgetItemIterator it(tree); *it; ++it)
    for (const char* raw : {"Latest", "Revision", "C"})
      EXPECT_NE((*it)->text(0).toStdString(), raw);

  EXPECT_EQ(dlg.Restore(), 0);
  EXPECT_EQ(Messages(), Restore("MSG_NO_FILES_TO_BE_RESTORED") + "\n");
  top->setCheckState(0, Qt::Checked);
  dlg.TargetBox()->setEditText("not/an/absolute/folder");
  EXPECT_FALSE(dlg.OriginalLocation());
  EXPECT_EQ(dlg.Restore(), 0);
  EXPECT_NE(Messages().find(Restore("MSG_TARGET_FOLDER_IS_INVALID") + " not/an/absolute/folder"),
            std::string::npos);
  dlg.TargetBox()->setCurrentIndex(0);  // the first line: the original places
  EXPECT_TRUE(dlg.OriginalLocation());
  top->setCheckState(0, Qt::Unchecked);

  // Opening a file shows its versions by day, newest first, with size and date.
  QTreeWidgetItem* report = Child(top, "report.doc");
  ASSERT_TRUE(report);
  EXPECT_EQ(report->text(1).toStdString(), "3 versions");
  report->setExpanded(true);
  const QList<QTreeWidgetItem*> versions = CRestoreTree::VersionRows(report);
  ASSERT_EQ(versions.size(), 3);
  EXPECT_EQ(versions[1]->text(2).toStdString(), "18 " + Restore("LIST_ITEM_SUFFIX_BYTE"));
  EXPECT_EQ(
      versions[1]->text(3),  // the user's locale, to the second
      QDateTime::fromSecsSinceEpoch(kFirstVersion + 2 * 3600).toString("dd/MM/yyyy HH:mm:ss"));
  // Dragged rows offer the store's files as native paths; folders none.
  const std::string store = dir_.NativeOf("evol/Backup/Docs/");
  for (auto [item, path] :
       {std::pair{report, "Latest/C" + src_.Native() + "/report.doc"},
        std::pair{versions[2], "Revision/C" + src_.Native() + "/report(0001).doc"}}) {
    std::unique_ptr<QMimeData> data(tree->DragData({item}));
    ASSERT_TRUE(data && data->urls().size() == 1);
    EXPECT_EQ(data->urls().front().toLocalFile().toStdString(), store + path);
  }
  EXPECT_EQ(tree->DragData({top}), nullptr);
  EXPECT_EQ(tree->DragData({report->child(0)}), nullptr) << "a day row";

  // One version per file: ticking another moves the tick.
  versions[2]->setCheckState(0, Qt::Checked);
  versions[1]->setCheckState(0, Qt::Checked);
  EXPECT_EQ(versions[2]->checkState(0), Qt::Unchecked);
  EXPECT_EQ(report->checkState(0), Qt::PartiallyChecked) << "an older version is chosen";
  EXPECT_EQ(top->checkState(0), Qt::PartiallyChecked);
  tree->setCurrentItem(versions[1]);
  Shoot(&dlg, "restore.png");
  TempDir out;
  dlg.ChooseFolder(QString::fromStdString(out.Native()));
  EXPECT_FALSE(dlg.OriginalLocation());
  EXPECT_TRUE(dlg.FullPathBox()->isEnabled() && !dlg.FullPathBox()->isChecked());
  // A version the plan stores meanwhile shows once the restore is done.
  Put(dir_.NativeOf("evol/Backup/Docs/Revision/C" + src_.Native() + "/report(0003).doc"), "3", 9);
  dlg.RestoreButton()->click();  // runs the modal progress window to its end
  const std::string protectedName = fs::path(src_.Native()).filename().string();
  EXPECT_EQ(
      FilesBelow(out.Native()),
      (std::map<std::string, std::string>{{protectedName + "/report.doc", "report two, longer"}}));
  EXPECT_EQ(dlg.StatusText().toStdString(), "");
  ASSERT_TRUE(Listed(dlg));
  EXPECT_EQ(Child(tree->topLevelItem(0), "report.doc")->text(1).toStdString(), "4 versions");

  // A search finds files with their versions; nothing found is said; empty shows the folders.
  dlg.SearchBox()->setText("KEEP");
  emit dlg.SearchBox()->returnPressed();
  ASSERT_TRUE(Searched(dlg));
  Shoot(&dlg, "restore-search.png");
  std::vector<std::string> rows;
  for (QTreeWidgetItemIterator it(tree); *it; ++it) rows.push_back((*it)->text(0).toStdString());
  ASSERT_EQ(rows.size(), 7u) << "a day and two versions below keep.txt";
  EXPECT_EQ(std::vector<std::string>(rows.begin(), rows.begin() + 4),
            (std::vector<std::string>{src_.Native(), "a sub", "deep", "keep.txt"}));
  CRestoreTree::VersionRows(tree->OpenPath({src_.Native(), "a sub", "deep"})->child(0))[1]
      ->setCheckState(0, Qt::Checked);
  TempDir found;
  dlg.ChooseFolder(QString::fromStdString(found.Native()));
  dlg.FullPathBox()->setChecked(true);
  EXPECT_EQ(dlg.Restore(), CDlgRestoreProgress::kFinished);
  EXPECT_EQ(FilesBelow(found.Native()),
            (std::map<std::string, std::string>{
                {src_.Native().substr(1) + "/a sub/deep/keep.txt", "keep one"}}));
  ASSERT_TRUE(Listed(dlg));  // read again after the restore
  dlg.SearchBox()->setText("zzz");
  dlg.Search();
  ASSERT_TRUE(Searched(dlg));
  EXPECT_EQ(tree->topLevelItemCount(), 0);
  EXPECT_EQ(dlg.StatusText().toStdString(), Restore("SEARCH_FOUND_NOTHING"));
  fs::remove(dir_.NativeOf("messages.log"));
  EXPECT_EQ(dlg.Restore(), 0);
  EXPECT_EQ(Messages(), Restore("MSG_RESTORATION_LOCATION_IS_EMPTY") + "\n");
  dlg.SearchBox()->clear();
  dlg.Search();
  EXPECT_EQ(Rows(tree, nullptr), std::vector<std::string>{src_.Native()});
}

// A ticked folder brings the newest of every file below it, also unopened; a newer file in the
// original place is replaced only when the user says so.
TEST_F(RestoreWindowTest, TickedFolderBringsNewestAndNewerFilesAreAskedAbout) {
  auto window = Open(revisions_);
  CDlgRestore& dlg = *window;
  QTreeWidgetItem* top = dlg.Tree()->topLevelItem(0);
  QTreeWidgetItem* aSub = Child(top, "a sub");
  ASSERT_TRUE(aSub);
  EXPECT_EQ(aSub->childCount(), 0) << "not opened yet";
  aSub->setCheckState(0, Qt::Checked);
  Child(top, "report.doc")->setCheckState(0, Qt::Checked);
  EXPECT_EQ(top->checkState(0), Qt::PartiallyChecked);
  aSub->setExpanded(true);
  ASSERT_TRUE(Listed(dlg));
  ASSERT_EQ(aSub->childCount(), 1);
  EXPECT_EQ(aSub->child(0)->checkState(0), Qt::Checked) << "opened under a ticked folder";

  // report.doc was changed after its backup; keep.txt is older than its copy.
  src_.Write("report.doc", "written today");
  src_.Write("a sub/deep/keep.txt", "old");
  Put(src_.NativeOf("a sub/deep/keep.txt"), "old", kFirstVersion);
  AnswerNextQuestion("overwriteBeside", "restore-question.png");
  EXPECT_EQ(dlg.Restore(), CDlgRestoreProgress::kFinished);
  EXPECT_EQ(lastQuestion.rfind(FormatText(Restore("MSG_NEWER_FILES_IN_PLACE"), {"1 file"}), 0), 0u)
      << lastQuestion;
  std::map<std::string, std::string> got = FilesBelow(src_.Native());
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got["report.doc"], "written today");
  EXPECT_EQ(got["a sub/deep/keep.txt"], std::string(200000, 'k')) << "older: replaced unasked";
  const auto beside = std::find_if(got.begin(), got.end(), [](const auto& f) {
    return f.first.rfind("report (restored ", 0) == 0 && f.first.size() > 4 &&
           f.first.substr(f.first.size() - 5) == ").doc";
  });
  ASSERT_NE(beside, got.end());
  EXPECT_EQ(beside->second, "the report");
  // Cancelled: nothing happens; replaced: the newer file is gone (the list, read again, lost
  // its ticks).
  fs::remove(src_.NativeOf(beside->first));
  ASSERT_TRUE(Listed(dlg));
  top = dlg.Tree()->topLevelItem(0);
  Child(top, "a sub")->setCheckState(0, Qt::Checked);
  Child(top, "report.doc")->setCheckState(0, Qt::Checked);
  AnswerNextQuestion("overwriteCancel");
  EXPECT_EQ(dlg.Restore(), 0);
  EXPECT_EQ(FilesBelow(src_.Native()).size(), 2u);
  AnswerNextQuestion("overwriteReplace");
  EXPECT_EQ(dlg.Restore(), CDlgRestoreProgress::kFinished);
  EXPECT_EQ(ReadNative(src_.NativeOf("report.doc")), "the report");
  EXPECT_EQ(FilesBelow(src_.Native()).size(), 2u);
}

// Paused, nothing is copied; Close when done; Cancel ends it as failed.
TEST_F(RestoreWindowTest, ProgressWindowPausesCreepsAndFinishes) {
  CPlan* plan = MakePlanWithStore("Docs", src_, latest_, {});
  ASSERT_TRUE(plan);
  RestoreStore store;
  ASSERT_TRUE(GetRestoreStore(plan, &store));
  std::unique_ptr<StoreAccess> access = MakeStoreAccess(store);
  std::unique_ptr<CVersionFolder> folders = ListProtectedFolders(*access, store);
  ASSERT_TRUE(folders);
  TickFolder(folders.get(), true);
  auto selection = [&] {
    return BuildSelection(store, CollectChoices(*access, store.separator, folders.get()));
  };
  TempDir out, other;
  ManualClock clock;
  CDlgRestoreProgress progress(selection(), store, out.System());
  progress.PauseButton()->click();  // held before the first file
  progress.show();
  RunUntil([] { return false; }, 100);
  EXPECT_TRUE(FilesBelow(out.Native()).empty()) << "nothing is copied while paused";
  RestoreProgress p;
  p.currentName = "a.txt";
  p.percent = 40;
  p.remainingSeconds = 3725;
  p.bytesPerSecond = 1048576;
  p.measured = true;
  progress.ShowProgress(p);
  EXPECT_EQ(progress.findChild<QLabel*>("progressTime")->text().toStdString(), "1 h 2 min 5 s");
  Shoot(&progress, "restore-progress.png");
  // Restored into a folder the plan protects, on a slow disk: temporary files are never offered.
  ScratchEnv::IncludeOnly(plan, out.System());
  plat::fault::SetCopyDelay(100);
  int temps = 0, offered = 0;
  progress.PauseButton()->click();
  ASSERT_TRUE(RunUntil([&] {
    for (const auto& e : fs::recursive_directory_iterator(out.Native()))
      if (e.path().filename().string().rfind(".~bvtmp-", 0) == 0) {
        ++temps;
        offered += PlanList::Instance().OfferChangedFile(NativeToSystemC(e.path()));
      }
    return progress.CloseButton()->isVisible();
  }));
  plat::fault::SetCopyDelay(0);
  EXPECT_TRUE(temps > 0 && offered == 0) << temps << " seen, offered " << offered;
  EXPECT_FALSE(progress.PauseButton()->isVisible() || progress.CancelButton()->isVisible());
  ASSERT_TRUE(RunUntil([&] { return !progress.isVisible(); }));
  EXPECT_EQ(progress.result(), CDlgRestoreProgress::kFinished);
  EXPECT_EQ(progress.PercentShown(), 100u);
  EXPECT_EQ(progress.FilesCopied(), latest_.size());
  EXPECT_EQ(FilesBelow(out.Native() + src_.Native()).size(), latest_.size());
  {
    // Cancelled while paused: at most the file announced before the pause copied.
    CDlgRestoreProgress cancelled(selection(), store, other.System());
    cancelled.PauseButton()->click();
    cancelled.show();
    cancelled.CancelButton()->click();
    EXPECT_FALSE(cancelled.isVisible());
    EXPECT_EQ(cancelled.result(), CDlgRestoreProgress::kFailed);
  }
  RunUntil([] { return DiscardedRestoreJobsRunning() == 0; });
  EXPECT_LE(FilesBelow(other.Native()).size(), 1u);
}

// Failed files are counted and listed with their reasons, the window open until closed; a drive
// that is not here is named.
TEST_F(RestoreWindowTest, FailuresAreCountedAndExplained) {
  auto window = Open({});
  CDlgRestore& dlg = *window;
  dlg.Tree()->topLevelItem(0)->setCheckState(0, Qt::Checked);
  TempDir out;
  // Where a folder must go: below the chosen folder from the protected folder down.
  const std::string kept = out.Native() + "/" + fs::path(src_.Native()).filename().string();
  WriteNative(kept + "/a sub", "in the way");
  dlg.ChooseFolder(QString::fromStdString(out.Native()));
  const std::string result = RestoreResultText(latest_.size() - 1, 1);
  // The progress window wherever it is; without Close the test ends it.
  WhenShown([]() -> QWidget* { return VisibleProgress(); },
            [&](QWidget* w) {
              auto* progress = qobject_cast<CDlgRestoreProgress*>(w);
              if (!RunUntil([&] { return progress->CloseButton()->isVisible(); })) {
                ADD_FAILURE() << "the progress window never offered Close";
                progress->reject();
                return;
              }
              auto* failures = progress->findChild<QPlainTextEdit*>("progressFailures");
              const QString failed = QString::fromStdString(kept + "/a sub/deep/keep.txt");
              EXPECT_TRUE(RunUntil([&] {
                return progress->findChild<QLabel*>("progressStatus")->text().toStdString() ==
                           result &&
                       failures->toPlainText().contains(failed) &&
                       failures->toPlainText().contains(
                           QString::fromStdString(Restore("MSG_CANNOT_COPY_FILE")));
              })) << failures->toPlainText().toStdString();
              // With every file back it would close after a second.
              EXPECT_FALSE(RunUntil([&] { return !progress->isVisible(); }, 1500));
              Shoot(progress, "restore-failed.png");
              progress->CloseButton()->click();
            });
  EXPECT_EQ(dlg.Restore(), CDlgRestoreProgress::kFinished);
  EXPECT_EQ(dlg.StatusText().toStdString(), result);

  // A copy from drive Q, which this machine lacks: the message names it.
  WriteNative(dir_.NativeOf("evol/Backup/Docs/Latest/Q/x.txt"), "from Q");
  CDlgRestore again(dlg.PlanId());
  again.show();
  ASSERT_TRUE(Listed(again));
  ASSERT_EQ(again.Tree()->topLevelItemCount(), 2);
  for (int i = 0; i < 2; ++i) again.Tree()->topLevelItem(i)->setCheckState(0, Qt::Checked);
  fs::remove_all(src_.Native());
  EXPECT_EQ(again.Restore(), CDlgRestoreProgress::kFailed);
  EXPECT_EQ(Messages(), Restore("MSG_ORIGINAL_FILE_IS_INVALID") + " Q:\n");
  EXPECT_FALSE(fs::exists(src_.Native())) << "nothing is copied";
}

}  // namespace

// A file's history by day, to the second, sizes side by side; "Restore as it was on" brings each
// file's version at that time and says how many did not exist then.
TEST_F(RestoreWindowTest, HistoryByDayAndRestoreAsItWasOn) {
  const ScopedLocale british;
  auto local = [](int day, int h, int m, int s) {
    return QDateTime(QDate(2026, 12, day), QTime(h, m, s)).toSecsSinceEpoch();
  };
  const int64_t now = local(7, 15, 0, 0);
  CPlan* plan = MakePlanWithStore("Hist", src_, {}, {});
  ASSERT_TRUE(plan);
  const std::string store = dir_.NativeOf("evol/Backup/Hist/");
  const std::string at = "C" + src_.Native() + "/";
  const struct {
    std::string path, bytes;
    int64_t time;
  } files[] = {{"Latest/" + at + "report.doc", "report v17", local(7, 14, 0, 0)},
               {"Revision/" + at + "report(0017).doc", "report v4 ok", local(7, 12, 0, 0)},
               {"Revision/" + at + "report(0004).doc", "report v1 ok", local(6, 9, 12, 3)},
               {"Revision/" + at + "report(0001).doc", "first", local(1, 8, 0, 0)},
               {"Latest/" + at + "notes.txt", "new today", local(7, 14, 30, 0)},
               {"Latest/" + at + "sub/old.txt", "old", local(1, 7, 0, 0)}};
  for (const auto& f : files) Put(store + f.path, f.bytes, f.time);
  CDlgRestore dlg(plan->Id());
  dlg.Tree()->SetNow(now);
  dlg.show();
  ASSERT_TRUE(Listed(dlg));
  CRestoreTree* tree = dlg.Tree();
  QTreeWidgetItem* top = tree->topLevelItem(0);
  QTreeWidgetItem* report = Child(top, "report.doc");
  ASSERT_TRUE(report);
  EXPECT_EQ(report->text(3).toStdString(), "Today 14:00:00");
  report->setExpanded(true);
  EXPECT_EQ(Rows(tree, report),
            (std::vector<std::string>{"Today", "Yesterday", "Tuesday, 1 December 2026"}));
  EXPECT_EQ(report->child(0)->text(1).toStdString(), "2 versions");
  const std::string b = " " + Restore("LIST_ITEM_SUFFIX_BYTE");
  std::vector<std::vector<std::string>> got;
  for (QTreeWidgetItem* v : CRestoreTree::VersionRows(report))
    got.push_back({v->text(0).toStdString(), v->text(1).toStdString(), v->text(2).toStdString(),
                   v->text(3).toStdString()});
  EXPECT_EQ(got, (std::vector<std::vector<std::string>>{
                     {"14:00:00 (current copy)", "-2" + b, "10" + b, "Today 14:00:00"},
                     {"12:00:00", "same size", "12" + b, "Today 12:00:00"},
                     {"09:12:03", "+7" + b, "12" + b, "Yesterday 09:12:03"},
                     {"08:00:00", "", "5" + b, "01/12/2026 08:00:00"}}));
  tree->setCurrentItem(CRestoreTree::VersionRows(report)[2]);
  Shoot(&dlg, "restore-history.png");

  // The protected folder as it was yesterday evening, into a chosen folder.
  TempDir out;
  dlg.ChooseFolder(QString::fromStdString(out.Native()));
  tree->setCurrentItem(top);
  WhenShown([] { return QApplication::activeModalWidget(); },
            [&](QWidget* question) {
              ASSERT_EQ(question->objectName(), "asOfQuestion");
              Shoot(question, "restore-as-of.png");
              question->findChild<QDateTimeEdit*>("asOfTime")
                  ->setDateTime(QDateTime::fromSecsSinceEpoch(local(6, 20, 0, 0)));
              question->findChild<QPushButton*>("asOfRestore")->click();
            });
  dlg.AsOfButton()->click();
  const std::string name = fs::path(src_.Native()).filename().string();
  EXPECT_EQ(FilesBelow(out.Native()),
            (std::map<std::string, std::string>{{name + "/report.doc", "report v1 ok"},
                                                {name + "/sub/old.txt", "old"}}));
  EXPECT_EQ(dlg.StatusText().toStdString(),
            "Left out, as they did not exist at that time: 1 file.");
  // Before anything was saved: nothing comes back, and the window says so.
  ASSERT_TRUE(Listed(dlg));
  EXPECT_EQ(dlg.RestoreAsOf(nullptr, local(1, 6, 0, 0)), 0);
  EXPECT_EQ(Messages(), Restore("MSG_NOTHING_AT_THAT_TIME") + "\n");
  EXPECT_EQ(dlg.StatusText().toStdString(),
            "Left out, as they did not exist at that time: 3 files.");
}

}  // namespace bvtest
