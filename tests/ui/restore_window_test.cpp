// The restore window and its progress window on real widgets (offscreen),
// over stores written by hand ("Latest" and "Revision" with numbered copies):
// folders under their own paths, versions, ticks, the search, the question
// about newer files in the original place, the target, what lands on disk,
// the failures, and the progress display.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>

#include "ManualClock.h"
#include "UiTestKit.h"
#include "history/RestoreTree.h"
#include "history/StoreAccess.h"
#include "history/VersionTree.h"
#include "ui/CDlgRestore.h"
#include "ui/CDlgRestoreProgress.h"
#include "ui/CRestoreTree.h"
#include "ui/CellTexts.h"
#include "ui/RestoreRelay.h"
#include "ui/RestoreTexts.h"
#include "ui/RunSoon.h"
#include "ui/TextFormat.h"

namespace fs = std::filesystem;

namespace {

using bvtest::FilesBelow;
using bvtest::ReadNative;
using bvtest::RunUntil;
using bvtest::WriteNative;
using Files = std::vector<std::pair<std::string, std::string>>;

// The texts of the rows below an item (or the top level), in their order.
std::vector<std::string> Rows(QTreeWidget* tree, QTreeWidgetItem* parent) {
  std::vector<std::string> rows;
  const int n = parent ? parent->childCount() : tree->topLevelItemCount();
  for (int i = 0; i < n; ++i)
    rows.push_back((parent ? parent->child(i) : tree->topLevelItem(i))->text(0).toStdString());
  return rows;
}

QTreeWidgetItem* Child(QTreeWidgetItem* parent, const std::string& name) {
  for (int i = 0; parent && i < parent->childCount(); ++i)
    if (parent->child(i)->text(0).toStdString() == name) return parent->child(i);
  return nullptr;
}

std::string Restore(const char* key) { return RestoreText(key); }
std::string Earlier(int n) { return FormatText(Restore("VERSION_EARLIER"), {std::to_string(n)}); }

// Clicks a button of the next question about newer files (above the modal
// restore window); returns where its text will be.
std::string lastQuestion;
void AnswerNextQuestion(const char* button, const char* picture = nullptr) {
  RunSoon(nullptr, [button, picture] {
    auto question = [] {
      QWidget* w = QApplication::activeModalWidget();
      return w != nullptr && w->objectName() == "overwriteQuestion" ? w : nullptr;
    };
    RunUntil([&] { return question() != nullptr; }, 5000);
    QWidget* box = question();
    ASSERT_TRUE(box);
    if (auto* message = qobject_cast<QMessageBox*>(box))
      lastQuestion = message->text().toStdString();
    if (picture) bvtest::Shoot(box, picture);
    auto* b = box->findChild<QPushButton*>(button);
    ASSERT_TRUE(b);
    b->click();
  });
}

TEST(RestoreTextsTest, DatesPatternsNamesAndPlanLines) {
  bvtest::App();
  NodeTime t;
  t.year = 2009;
  t.month = 3;
  t.day = 7;
  t.hour = 14;
  t.minute = 5;
  // Unknown countries write the month first.
  for (const auto& [country, text] : {std::pair{"DEU", "07.03.2009 14:05"},
                                      {"US", "03/07/2009 14:05"},
                                      {"UK", "07/03/2009 14:05"},
                                      {"NLD", "07/03/2009 14:05"},
                                      {"XX", "03/07/2009 14:05"}})
    EXPECT_EQ(FormatNodeDate(t, country), text) << country;
  EXPECT_EQ(NeededTimeText(0), "0 h 0 min 0 s");
  EXPECT_EQ(VersionCountText(1), "1 version");
  EXPECT_EQ(SearchPatternFor(""), "");
  const int64_t at = 1796651100;
  const NodeTime local = ToNodeTime(at);
  char date[32];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d %02d.%02d", local.year, local.month, local.day,
                local.hour, local.minute);
  EXPECT_EQ(RestoredBesideName("report.odt", at),
            std::string("report (restored ") + date + ").odt");
  EXPECT_EQ(RestoredBesideName("Makefile", at), std::string("Makefile (restored ") + date + ")");

  PlanSnapshot s;
  s.name = "Docs";
  s.hasDestination = true;
  const struct {
    int32_t type;
    const char* root;
    bool available;
    std::string line;
  } plans[] = {
      {kStorageLocal, "C:\\home\\ann\\Backup\\", true,
       Restore("PLAN_DESTINATION_INTERNAL_HARD_DRIVE") + " (/home/ann/Backup)"},
      {kStorageNetwork, "C:\\home\\ann\\Backup\\", true, Restore("PLAN_DESTINATION_NETWORK_DRIVE")},
      {kStorageFtp, "ftp://backup.example.com/store/", true,
       Restore("PLAN_DESTINATION_FTP") + "backup.example.com"},
      {kStorageFtp, "ftp://backup.example.com/store/", false,
       Restore("PLAN_DESTINATION_IS_UNAVAILABLE")},
  };
  for (const auto& p : plans) {
    s.storageType = p.type;
    s.root = p.root;
    s.available = p.available;
    EXPECT_EQ(PlanLineText(s), "\"Docs\" " + p.line);
  }
}

// E: a fixed disk holding plans' stores written by hand.
class RestoreWindowTest : public bvtest::UiTest {
 protected:
  std::string Volumes() const override { return Drive("E", "evol", "Type=fixed\n"); }
  void TearDown() override {
    RunUntil([] { return DiscardedRestoreJobsRunning() == 0; });
    UiTest::TearDown();
  }

  // A plan whose store holds, for the source folder, "name" in Latest and
  // "stem(nnnn).ext" in Revision; each version dated an hour after the one
  // before.
  CPlan* MakePlanWithStore(const std::string& name, const bvtest::TempDir& src, const Files& latest,
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
};

// The protected folder under its own path, sorted, a file's versions, drags
// of store files; nothing starts without ticks or with a bad target; the one
// version ticked lands below a chosen folder in the source's own folders.
// Another plan's store is listed once while the window is open.
TEST_F(RestoreWindowTest, ShowsFoldersAsTheUserKnowsThemAndRestoresTheTickedVersion) {
  bvtest::TempDir src, srcB;
  CPlan* plan = MakePlanWithStore("Docs", src, latest_, revisions_);
  CPlan* beta = MakePlanWithStore("Beta", srcB, {{"b.txt", "beta"}, {"c.txt", "gamma"}}, {});
  ASSERT_TRUE(plan && beta);
  CDlgRestore dlg(plan->Id());
  dlg.show();
  ASSERT_TRUE(Listed(dlg));
  CRestoreTree* tree = dlg.Tree();
  ASSERT_EQ(Rows(tree, nullptr), std::vector<std::string>{src.Native()});
  QTreeWidgetItem* top = tree->topLevelItem(0);
  EXPECT_TRUE(top->isExpanded()) << "a single protected folder opens at once";
  EXPECT_EQ(Rows(tree, top), (std::vector<std::string>{"a sub", "B sub", "notes9.txt",
                                                       "notes10.txt", "report.doc"}));
  for (QTreeWidgetItemIterator it(tree); *it; ++it)
    for (const char* raw : {"Latest", "Revision", "C"})
      EXPECT_NE((*it)->text(0).toStdString(), raw);
  tree->sortByColumn(CRestoreTree::kSize, Qt::DescendingOrder);  // folders stay first
  EXPECT_EQ(Rows(tree, top), (std::vector<std::string>{"B sub", "a sub", "report.doc", "notes9.txt",
                                                       "notes10.txt"}));
  tree->sortByColumn(CRestoreTree::kName, Qt::AscendingOrder);

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

  // Opening a file shows its versions, newest first, with size and date.
  QTreeWidgetItem* report = Child(top, "report.doc");
  ASSERT_TRUE(report);
  EXPECT_EQ(report->text(1).toStdString(), "3 versions");
  report->setExpanded(true);
  EXPECT_EQ(Rows(tree, report),
            (std::vector<std::string>{Restore("VERSION_CURRENT"), Earlier(2), Earlier(1)}));
  EXPECT_EQ(report->child(1)->text(2).toStdString(), "18 " + Restore("LIST_ITEM_SUFFIX_BYTE"));
  EXPECT_EQ(report->child(1)->text(3).toStdString(),
            FormatNodeDate(ToNodeTime(kFirstVersion + 2 * 3600), CellCountry()));
  // Dragged rows offer the store's files as native paths; folders none.
  const std::string store = dir_.NativeOf("evol/Backup/Docs/");
  for (auto [item, path] :
       {std::pair{report, "Latest/C" + src.Native() + "/report.doc"},
        std::pair{report->child(2), "Revision/C" + src.Native() + "/report(0001).doc"}}) {
    std::unique_ptr<QMimeData> data(tree->DragData({item}));
    ASSERT_TRUE(data && data->urls().size() == 1);
    EXPECT_EQ(data->urls().front().toLocalFile().toStdString(), store + path);
  }
  EXPECT_EQ(tree->DragData({top}), nullptr);

  // One version per file: ticking another moves the tick.
  report->child(2)->setCheckState(0, Qt::Checked);
  report->child(1)->setCheckState(0, Qt::Checked);
  EXPECT_EQ(report->child(2)->checkState(0), Qt::Unchecked);
  EXPECT_EQ(report->checkState(0), Qt::PartiallyChecked) << "an older version is chosen";
  EXPECT_EQ(top->checkState(0), Qt::PartiallyChecked);
  tree->setCurrentItem(report->child(1));
  bvtest::Shoot(&dlg, "restore.png");
  bvtest::TempDir out;
  dlg.ChooseFolder(QString::fromStdString(out.Native()));
  EXPECT_FALSE(dlg.OriginalLocation());
  dlg.RestoreButton()->click();  // runs the modal progress window to its end
  EXPECT_EQ(FilesBelow(out.Native()),
            (std::map<std::string, std::string>{
                {src.Native().substr(1) + "/report.doc", "report two, longer"}}));
  EXPECT_EQ(dlg.StatusText().toStdString(), "");

  ASSERT_EQ(dlg.PlanBox()->count(), 2);
  EXPECT_NE(dlg.PlanBox()->currentText().toStdString().find("\"Docs\""), std::string::npos);
  CVersionFolder* folders = dlg.Folders();
  emit dlg.PlanBox()->activated(dlg.PlanBox()->findData(beta->Id()));
  EXPECT_EQ(dlg.PlanId(), beta->Id());
  EXPECT_TRUE(dlg.IsListing()) << "the other store is listed on a job";
  ASSERT_TRUE(Listed(dlg));
  EXPECT_EQ(Rows(tree, tree->topLevelItem(0)), (std::vector<std::string>{"b.txt", "c.txt"}));
  emit dlg.PlanBox()->activated(dlg.PlanBox()->findData(plan->Id()));
  EXPECT_FALSE(dlg.IsListing());
  EXPECT_EQ(dlg.Folders(), folders) << "kept while the window is open";
  EXPECT_EQ(dlg.ListingsStarted(), 2);
  EXPECT_EQ(tree->topLevelItem(0)->checkState(0), Qt::Unchecked) << "no ticks left";
}

// A ticked folder brings back the newest version of every file below it,
// also in folders never opened; a file in the original place that is newer
// than the version is replaced only when the user says so, or the version
// comes back beside it.
TEST_F(RestoreWindowTest, TickedFolderBringsNewestAndNewerFilesAreAskedAbout) {
  bvtest::TempDir src;
  CPlan* plan = MakePlanWithStore("Docs", src, latest_, revisions_);
  ASSERT_TRUE(plan);
  CDlgRestore dlg(plan->Id());
  dlg.show();
  ASSERT_TRUE(Listed(dlg));
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
  src.Write("report.doc", "written today");
  src.Write("a sub/deep/keep.txt", "old");
  Put(src.NativeOf("a sub/deep/keep.txt"), "old", kFirstVersion);
  AnswerNextQuestion("overwriteBeside", "restore-question.png");
  EXPECT_EQ(dlg.Restore(), CDlgRestoreProgress::kFinished);
  EXPECT_EQ(lastQuestion.rfind(FormatText(Restore("MSG_NEWER_FILES_IN_PLACE"), {"1 file"}), 0), 0u)
      << lastQuestion;
  std::map<std::string, std::string> got = FilesBelow(src.Native());
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got["report.doc"], "written today");
  EXPECT_EQ(got["a sub/deep/keep.txt"], std::string(200000, 'k')) << "older: replaced unasked";
  const auto beside = std::find_if(got.begin(), got.end(), [](const auto& f) {
    return f.first.rfind("report (restored ", 0) == 0 && f.first.size() > 4 &&
           f.first.substr(f.first.size() - 5) == ").doc";
  });
  ASSERT_NE(beside, got.end());
  EXPECT_EQ(beside->second, "the report");
  // Cancelled: nothing happens; replaced: the newer file is gone.
  fs::remove(src.NativeOf(beside->first));
  AnswerNextQuestion("overwriteCancel");
  EXPECT_EQ(dlg.Restore(), 0);
  EXPECT_EQ(FilesBelow(src.Native()).size(), 2u);
  AnswerNextQuestion("overwriteReplace");
  EXPECT_EQ(dlg.Restore(), CDlgRestoreProgress::kFinished);
  EXPECT_EQ(ReadNative(src.NativeOf("report.doc")), "the report");
  EXPECT_EQ(FilesBelow(src.Native()).size(), 2u);
}

// A search finds files by name anywhere below and shows their versions the
// same way; nothing found is said; an empty search shows the folders again.
TEST_F(RestoreWindowTest, SearchFindsFilesWithTheirVersions) {
  bvtest::TempDir src;
  CPlan* plan = MakePlanWithStore("Docs", src, latest_, revisions_);
  ASSERT_TRUE(plan);
  CDlgRestore dlg(plan->Id());
  dlg.show();
  ASSERT_TRUE(Listed(dlg));
  EXPECT_EQ(dlg.SearchImage(), "EditSearch_Normal");
  dlg.SearchBox()->setText("KEEP");
  emit dlg.SearchBox()->returnPressed();
  EXPECT_EQ(dlg.SearchImage(), "EditSearch_Animate_0");
  ASSERT_TRUE(Searched(dlg));
  EXPECT_EQ(dlg.SearchImage(), "EditSearch_Normal");
  bvtest::Shoot(&dlg, "restore-search.png");
  CRestoreTree* tree = dlg.Tree();
  std::vector<std::string> rows;
  for (QTreeWidgetItemIterator it(tree); *it; ++it) rows.push_back((*it)->text(0).toStdString());
  EXPECT_EQ(rows, (std::vector<std::string>{src.Native(), "a sub", "deep", "keep.txt",
                                            Restore("VERSION_CURRENT"), Earlier(1)}));
  tree->OpenPath({src.Native(), "a sub", "deep"})
      ->child(0)
      ->child(1)
      ->setCheckState(0, Qt::Checked);
  bvtest::TempDir out;
  dlg.ChooseFolder(QString::fromStdString(out.Native()));
  EXPECT_EQ(dlg.Restore(), CDlgRestoreProgress::kFinished);
  EXPECT_EQ(FilesBelow(out.Native()),
            (std::map<std::string, std::string>{
                {src.Native().substr(1) + "/a sub/deep/keep.txt", "keep one"}}));
  dlg.SearchBox()->setText("zzz");
  dlg.Search();
  ASSERT_TRUE(Searched(dlg));
  EXPECT_EQ(tree->topLevelItemCount(), 0);
  EXPECT_EQ(dlg.StatusText().toStdString(), Restore("SEARCH_FOUND_NOTHING"));
  EXPECT_EQ(dlg.Restore(), 0);
  EXPECT_EQ(Messages(), Restore("MSG_RESTORATION_LOCATION_IS_EMPTY") + "\n");
  dlg.SearchBox()->clear();
  dlg.Search();
  EXPECT_EQ(Rows(tree, nullptr), std::vector<std::string>{src.Native()});
}

// A bigger store: folders get rows only when opened; a search that finds
// many files opens every folder but none of the files; rows keep folders
// first and names in natural order however sorted, also rows added to a
// sorted tree; clearing the search shows the partly opened tree again.
TEST_F(RestoreWindowTest, ManyRowsOpenLazilyAndKeepTheirOrder) {
  bvtest::TempDir src;
  Files latest;
  for (const char* folder : {"x/b", "x/a", "y"})
    for (int i = 1; i <= 30; ++i)
      latest.push_back({std::string(folder) + "/f" + std::to_string(i) + ".txt",
                        std::string(static_cast<size_t>(i), 'z')});
  CPlan* plan = MakePlanWithStore("Docs", src, latest, {{"y/f2(0001).txt", "old"}});
  ASSERT_TRUE(plan);
  CDlgRestore dlg(plan->Id());
  dlg.show();
  ASSERT_TRUE(Listed(dlg));
  CRestoreTree* tree = dlg.Tree();
  QTreeWidgetItem* top = tree->topLevelItem(0);
  ASSERT_EQ(Rows(tree, top), (std::vector<std::string>{"x", "y"}));
  QTreeWidgetItem* x = Child(top, "x");
  EXPECT_EQ(x->childCount(), 0) << "not opened: no rows";
  EXPECT_FALSE(dlg.Folders()->folders[0]->folders[0]->listed) << "not opened: not listed";
  tree->sortByColumn(CRestoreTree::kName, Qt::DescendingOrder);
  x->setExpanded(true);
  ASSERT_TRUE(Listed(dlg));
  EXPECT_EQ(Rows(tree, x), (std::vector<std::string>{"b", "a"})) << "rows added sorted";
  tree->sortByColumn(CRestoreTree::kName, Qt::AscendingOrder);
  Child(x, "a")->setExpanded(true);
  ASSERT_TRUE(Listed(dlg));
  const std::vector<std::string> rows = Rows(tree, Child(x, "a"));
  ASSERT_EQ(rows.size(), 30u);
  EXPECT_EQ(std::vector<std::string>(rows.begin(), rows.begin() + 3),
            (std::vector<std::string>{"f1.txt", "f2.txt", "f3.txt"}));
  tree->sortByColumn(CRestoreTree::kSize, Qt::DescendingOrder);
  EXPECT_EQ(Rows(tree, Child(x, "a")).front(), "f30.txt");
  tree->sortByColumn(CRestoreTree::kName, Qt::AscendingOrder);

  dlg.SearchBox()->setText("F");
  dlg.Search();
  ASSERT_TRUE(Searched(dlg));
  int files = 0;
  for (QTreeWidgetItemIterator it(tree); *it; ++it) {
    if (CRestoreTree::KindOf(*it) == CRestoreTree::kFolderRow) {
      EXPECT_TRUE((*it)->isExpanded()) << (*it)->text(0).toStdString();
    } else {
      ++files;
      EXPECT_EQ((*it)->childCount(), 0) << "files stay closed";
    }
  }
  EXPECT_EQ(files, 90);
  QTreeWidgetItem* y = tree->OpenPath({src.Native(), "y"});
  ASSERT_TRUE(y);
  EXPECT_EQ(Rows(tree, y)[2], "f3.txt");
  EXPECT_EQ(y->child(1)->text(CRestoreTree::kVersions).toStdString(), "2 versions");

  dlg.SearchBox()->clear();
  dlg.Search();
  EXPECT_TRUE(dlg.Folders()->folders[0]->folders[0]->listed) << "what was listed stays";
  y = Child(tree->topLevelItem(0), "y");
  ASSERT_TRUE(y);
  y->setExpanded(true);
  ASSERT_TRUE(Listed(dlg));
  EXPECT_EQ(Rows(tree, y).size(), 30u);
  y->child(1)->setExpanded(true);
  EXPECT_EQ(Rows(tree, y->child(1)),
            (std::vector<std::string>{Restore("VERSION_CURRENT"), Earlier(1)}));
}

// The progress window opens centred on its parent with its caption, shows
// no speed before one is measured, never goes back, creeps while a file is
// long, and gives way to Close when done; Cancel closes it as failed.
TEST_F(RestoreWindowTest, ProgressWindowPausesCreepsAndFinishes) {
  bvtest::TempDir src;
  CPlan* plan = MakePlanWithStore("Docs", src, latest_, {});
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
  bvtest::TempDir out, other;
  QWidget parent;
  parent.setGeometry(200, 150, 900, 700);
  parent.show();
  bvtest::ManualClock clock;
  CDlgRestoreProgress progress(selection(), store, out.System(), &parent);
  progress.PauseButton()->click();  // held before the first file
  EXPECT_EQ(progress.PauseButton()->text().toStdString(),
            GetText("DIALOG_RESTORE_PROGRESS", "BUTTON_RESUME"));
  progress.show();
  RunUntil([] { return false; }, 100);
  EXPECT_FALSE(progress.windowTitle().isEmpty());
  EXPECT_LE((progress.frameGeometry().center() - parent.frameGeometry().center()).manhattanLength(),
            10);
  EXPECT_TRUE(FilesBelow(out.Native()).empty()) << "nothing is copied while paused";
  auto label = [&](const char* name) {
    return progress.findChild<QLabel*>(name)->text().toStdString();
  };
  const std::string notYet = GetText("DIALOG_RESTORE_PROGRESS", "RESTORE_PROGRESS_NOT_MEASURED");
  RestoreProgress p;
  p.currentName = "a.txt";
  p.percent = 40;
  p.remainingSeconds = 3725;
  p.bytesPerSecond = 1048576;
  progress.ShowProgress(p);
  EXPECT_EQ(label("progressSpeed"), notYet) << "a guess is not shown";
  p.measured = true;
  progress.ShowProgress(p);
  EXPECT_EQ(label("progressTime"), "1 h 2 min 5 s");
  EXPECT_EQ(label("progressSpeed"), "1 MB/s");
  EXPECT_EQ(progress.findChild<QProgressBar*>("progressBar")->value(), 40);
  bvtest::Shoot(&progress, "restore-progress.png");
  p.percent = 30;
  progress.ShowProgress(p);
  EXPECT_EQ(progress.PercentShown(), 40u) << "never goes back";
  clock.Advance(30000);
  EXPECT_EQ(progress.PercentShown(), 40u) << "paused: no creeping";
  progress.PauseButton()->click();
  clock.Advance(20000);  // the carrier's reports wait for the event loop
  EXPECT_EQ(progress.PercentShown(), 42u);
  EXPECT_EQ(progress.SecondsShown(), 3723u);
  ASSERT_TRUE(RunUntil([&] { return progress.CloseButton()->isVisible(); }));
  EXPECT_FALSE(progress.PauseButton()->isVisible() || progress.CancelButton()->isVisible());
  ASSERT_TRUE(RunUntil([&] { return !progress.isVisible(); }));
  EXPECT_EQ(progress.result(), CDlgRestoreProgress::kFinished);
  EXPECT_EQ(progress.PercentShown(), 100u);
  EXPECT_EQ(progress.FilesCopied(), latest_.size());
  EXPECT_EQ(FilesBelow(out.Native() + src.Native()).size(), latest_.size());
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

// Files that fail are counted and listed with their reasons (the window
// stays open until closed); a drive that is not here is named.
TEST_F(RestoreWindowTest, FailuresAreCountedAndExplained) {
  bvtest::TempDir src;
  CPlan* plan = MakePlanWithStore("Docs", src, latest_, {});
  ASSERT_TRUE(plan);
  CDlgRestore dlg(plan->Id());
  dlg.show();
  ASSERT_TRUE(Listed(dlg));
  dlg.Tree()->topLevelItem(0)->setCheckState(0, Qt::Checked);
  bvtest::TempDir out;
  WriteNative(out.Native() + src.Native() + "/a sub", "in the way");  // where a folder must go
  dlg.ChooseFolder(QString::fromStdString(out.Native()));
  const std::string result = RestoreResultText(latest_.size() - 1, 1);
  RunSoon(nullptr, [&] {
    // The progress window wherever it is in the stack of windows; a test
    // that finds no Close ends it rather than wait for ever.
    auto shown = []() -> CDlgRestoreProgress* {
      for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* p = qobject_cast<CDlgRestoreProgress*>(w); p && p->isVisible()) return p;
      return nullptr;
    };
    RunUntil([&] { return shown() != nullptr; });
    CDlgRestoreProgress* progress = shown();
    ASSERT_TRUE(progress);
    if (!RunUntil([&] { return progress->CloseButton()->isVisible(); })) {
      ADD_FAILURE() << "the progress window never offered Close";
      progress->reject();
      return;
    }
    auto* failures = progress->findChild<QPlainTextEdit*>("progressFailures");
    const QString failed =
        QString::fromStdString(out.Native() + src.Native() + "/a sub/deep/keep.txt");
    EXPECT_TRUE(RunUntil([&] {
      return progress->findChild<QLabel*>("progressStatus")->text().toStdString() == result &&
             failures->toPlainText().contains(failed) &&
             failures->toPlainText().contains(
                 QString::fromStdString(Restore("MSG_CANNOT_COPY_FILE")));
    })) << failures->toPlainText().toStdString();
    // All files back would close it after a second: this one stays open.
    EXPECT_FALSE(RunUntil([&] { return !progress->isVisible(); }, 1500));
    bvtest::Shoot(progress, "restore-failed.png");
    progress->CloseButton()->click();
  });
  EXPECT_EQ(dlg.Restore(), CDlgRestoreProgress::kFinished);
  EXPECT_EQ(dlg.StatusText().toStdString(), result);

  // A copy from drive Q, which this machine lacks: the message names it.
  WriteNative(dir_.NativeOf("evol/Backup/Docs/Latest/Q/x.txt"), "from Q");
  CDlgRestore again(plan->Id());
  again.show();
  ASSERT_TRUE(Listed(again));
  ASSERT_EQ(again.Tree()->topLevelItemCount(), 2);
  for (int i = 0; i < 2; ++i) again.Tree()->topLevelItem(i)->setCheckState(0, Qt::Checked);
  fs::remove_all(src.Native());
  EXPECT_EQ(again.Restore(), CDlgRestoreProgress::kFailed);
  EXPECT_EQ(Messages(), Restore("MSG_ORIGINAL_FILE_IS_INVALID") + " Q:\n");
  EXPECT_FALSE(fs::exists(src.Native())) << "nothing is copied";
}

}  // namespace
