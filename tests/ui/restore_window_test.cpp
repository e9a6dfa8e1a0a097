// The restore window and its progress window on real widgets (offscreen),
// over stores that the backup engine itself wrote: the tree and its check
// boxes, the search, the node cache across plans, the target, the restore of
// exactly the ticked files, the messages when nothing can start, dragging
// files out, and the progress display. With BV_SCREENSHOT_DIR set, the
// picture test writes restore.png, restore-search.png and restore-progress.png.
#include <gtest/gtest.h>
#include <time.h>

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/Settings.h"
#include "app/Texts.h"
#include "engine/CSimpleEngine.h"
#include "history/RestoreTree.h"
#include "plans/CPlan.h"
#include "plans/PlanList.h"
#include "plans/PlanSettings.h"
#include "platform/Volumes.h"
#include "support/QtApp.h"
#include "support/TempDir.h"
#include "ui/CDlgRestore.h"
#include "ui/CDlgRestoreProgress.h"
#include "ui/CRestoreTree.h"
#include "ui/ManualClock.h"
#include "ui/RestoreRelay.h"
#include "ui/RestoreTexts.h"

namespace fs = std::filesystem;

namespace {

using bvtest::App;
using bvtest::ReadNative;
using bvtest::WriteNative;

using bvtest::RunUntil;

CDirNode* FindNode(CDirNode* root, const std::string& name) {
  CDirNode* found = nullptr;
  WalkTree(root, [&](CDirNode* n) {
    if (n->name != name) return true;
    found = n;
    return false;
  });
  return found;
}

// The child of the "Latest" or "Revision" folder of the root with this name,
// somewhere below.
CDirNode* FindBelow(CDirNode* root, const std::string& tree, const std::string& name) {
  for (const auto& child : root->children)
    if (child->name == tree) return FindNode(child.get(), name);
  return nullptr;
}

std::string Restore(const char* key) { return RestoreText(key); }

TEST(RestoreTextsTest, DatesFollowTheCountry) {
  NodeTime t;
  t.year = 2009;
  t.month = 3;
  t.day = 7;
  t.hour = 14;
  t.minute = 5;
  EXPECT_EQ(FormatNodeDate(t, "DEU"), "07.03.09 14:05");
  EXPECT_EQ(FormatNodeDate(t, "US"), "03/07/09 14:05");
  EXPECT_EQ(FormatNodeDate(t, "UK"), "07/03/09 14:05");
  EXPECT_EQ(FormatNodeDate(t, "NLD"), "07/03/09 14:05");
  EXPECT_EQ(FormatNodeDate(t, "XX"), "03/07/09 14:05") << "unknown countries write month first";
  t.year = 2000;
  EXPECT_EQ(FormatNodeDate(t, "US"), "03/07/00 14:05");
}

TEST(RestoreTextsTest, TimeSpeedPatternAndPlanLines) {
  App();
  EXPECT_EQ(NeededTimeText(3725), "1 h 2 min 5 s");
  EXPECT_EQ(NeededTimeText(0), "0 h 0 min 0 s");
  EXPECT_EQ(SpeedText(5 * 1048576), "5 MB/s");
  EXPECT_EQ(SearchPatternFor("rep"), "*rep*");
  EXPECT_EQ(SearchPatternFor(""), "");
  EXPECT_TRUE(MatchSearchPattern("report.doc", SearchPatternFor("REP")));

  PlanSnapshot s;
  s.name = "Docs";
  s.hasDestination = true;
  s.available = true;
  s.storageType = kStorageLocal;
  s.root = "C:\\home\\ann\\Backup\\";
  EXPECT_EQ(PlanLineText(s),
            "\"Docs\" " + Restore("PLAN_DESTINATION_INTERNAL_HARD_DRIVE") + " (/home/ann/Backup)");
  s.storageType = kStorageNetwork;
  EXPECT_EQ(PlanLineText(s), "\"Docs\" " + Restore("PLAN_DESTINATION_NETWORK_DRIVE"));
  s.storageType = kStorageFtp;
  s.root = "ftp://backup.example.com/store/";
  EXPECT_EQ(PlanLineText(s), "\"Docs\" " + Restore("PLAN_DESTINATION_FTP") + "backup.example.com");
  s.available = false;
  EXPECT_EQ(PlanLineText(s), "\"Docs\" " + Restore("PLAN_DESTINATION_IS_UNAVAILABLE"));
}

// A data folder, a volume table (C: = "/", E: a fixed disk), message boxes
// into a log, and plans whose stores the backup engine writes.
class RestoreWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    for (const char* sub : {"data", "evol"}) fs::create_directories(dir_.NativeOf(sub));
    setenv("BREVANTO_DATA_DIR", dir_.NativeOf("data").c_str(), 1);
    setenv("BREVANTO_MESSAGE_LOG", dir_.NativeOf("messages.log").c_str(), 1);
    setenv("BREVANTO_VOLUMES", dir_.NativeOf("volumes.ini").c_str(), 1);
    WriteNative(dir_.NativeOf("volumes.ini"),
                "[C]\nRoot=/\nType=fixed\nSystem=1\n[E]\nRoot=" + dir_.NativeOf("evol") +
                    "\nType=fixed\n[Power]\nSource=ac\n");
    plat::VolumeTable::Instance().Reload();
    ResetSettingsCache();
    ClearPlans();
    CDirNodeCache::Instance().Clear();
  }
  void TearDown() override {
    RunUntil([] { return DiscardedRestoreJobsRunning() == 0; });
    ClearPlans();
    CDirNodeCache::Instance().Clear();
    unsetenv("BREVANTO_VOLUMES");
    unsetenv("BREVANTO_MESSAGE_LOG");
    plat::VolumeTable::Instance().Reload();
    ResetSettingsCache();
  }
  static void ClearPlans() {
    PlanList& list = PlanList::Instance();
    while (list.Count() > 0) list.DeletePlan(list.At(0)->Id());
  }

  // A plan on E: whose store holds the files, each backed up once per
  // version (so all but the last version lie under "Revision").
  CPlan* MakePlanWithStore(const std::string& name, const bvtest::TempDir& src,
                           const std::map<std::string, std::string>& files, int versions = 2) {
    PlanSettings s;
    s.name = name;
    s.storePath = "E:\\Backup\\" + name + "\\";
    s.storageType = kStorageLocal;
    s.scheduleNum = 1;
    s.scheduleUnit = 8;
    s.versionNumber = 5;
    CPlan* plan = PlanList::Instance().CreatePlan(s);
    EXPECT_NE(plan, nullptr);
    if (plan == nullptr) return nullptr;
    plan->CreateEngine();
    for (int v = 1; v <= versions; ++v) {
      for (const auto& [rel, content] : files) {
        src.Write(rel, v == versions ? content : content + " (older)");
        EXPECT_EQ(plan->Engine()->BackupFile(src.SystemOf(rel), false, nullptr, 0), 0) << rel;
      }
    }
    return plan;
  }

  // The store's path of a source folder: "C\tmp\bv-..." below "Latest".
  static std::string InStore(const bvtest::TempDir& src) {
    std::string rel = "C" + src.System().substr(2);
    for (char& c : rel)
      if (c == '\\') c = '/';
    return rel;
  }

  std::string Messages() const { return ReadNative(dir_.NativeOf("messages.log")); }

  static bool Listed(CDlgRestore& dlg) {
    return RunUntil([&] { return !dlg.IsListing() && dlg.Root() != nullptr; });
  }
  static bool Searched(CDlgRestore& dlg) {
    return RunUntil([&] { return !dlg.IsSearching(); });
  }

  bvtest::TempDir dir_;
  const std::map<std::string, std::string> files_ = {
      {"report.doc", "the report"},
      {"notes.txt", "some notes"},
      {"My Files/\xc3\xa4 photo.jpg", std::string("\xff\xd8 jpeg\0bytes", 14)},
      {"My Files/deep/keep.txt", std::string(200000, 'k')},
  };
};

TEST_F(RestoreWindowTest, RestoresExactlyTheTickedFilesToTheChosenFolder) {
  bvtest::TempDir src;
  CPlan* plan = MakePlanWithStore("Docs", src, files_);
  ASSERT_TRUE(plan);
  CDlgRestore dlg(plan->Id());
  dlg.show();
  ASSERT_TRUE(Listed(dlg));
  CDirNode* root = dlg.Root().get();
  EXPECT_EQ(root->fileCount, 2 * files_.size()) << "latest copies and one revision each";
  EXPECT_EQ(dlg.ListingsStarted(), 1);

  CRestoreTree* tree = dlg.Tree();
  ASSERT_EQ(tree->columnCount(), 4);
  EXPECT_EQ(tree->headerItem()->text(1).toStdString(), Restore("LIST_HEADER_ITEM_NUMBER"));
  EXPECT_TRUE(tree->isEnabled());
  EXPECT_EQ(dlg.PlanBox()->count(), 1);
  EXPECT_NE(dlg.PlanBox()->currentText().toStdString().find("\"Docs\""), std::string::npos);
  EXPECT_TRUE(dlg.OriginalLocation());

  // Items come as folders open; a folder's row counts its files.
  CDirNode* report = FindBelow(root, "Latest", "report.doc");
  CDirNode* deep = FindBelow(root, "Latest", "deep");
  CDirNode* myFiles = FindBelow(root, "Latest", "My Files");
  ASSERT_TRUE(report && deep && myFiles);
  EXPECT_EQ(tree->ItemOf(report), nullptr) << "not opened yet";
  QTreeWidgetItem* reportItem = tree->RevealNode(report);
  QTreeWidgetItem* deepItem = tree->RevealNode(deep);
  ASSERT_TRUE(reportItem && deepItem);
  EXPECT_EQ(tree->ItemOf(myFiles)->text(1).toStdString(), "2 " + Restore("LIST_ITEM_SUFFIX_FILES"));
  EXPECT_EQ(reportItem->text(2).toStdString(), "10 " + Restore("LIST_ITEM_SUFFIX_BYTE"));

  // Ticking as a click does: the subtree follows, the parents turn partial.
  reportItem->setCheckState(0, Qt::Checked);
  deepItem->setCheckState(0, Qt::Checked);
  EXPECT_EQ(report->checkState, kCheckAll);
  EXPECT_EQ(deep->children.front()->checkState, kCheckAll);
  EXPECT_EQ(myFiles->checkState, kCheckPartial);
  EXPECT_EQ(tree->ItemOf(myFiles)->checkState(0), Qt::PartiallyChecked);
  EXPECT_EQ(tree->ItemOf(root)->checkState(0), Qt::PartiallyChecked);
  // A child opened under a ticked folder shows ticked.
  QTreeWidgetItem* keepItem = tree->RevealNode(deep->children.front().get());
  ASSERT_TRUE(keepItem);
  EXPECT_EQ(keepItem->checkState(0), Qt::Checked);

  // A click on a partly ticked box ticks the whole folder; another unticks it.
  QTreeWidgetItem* myFilesItem = tree->ItemOf(myFiles);
  myFilesItem->setCheckState(0, Qt::Checked);
  EXPECT_EQ(FindNode(myFiles, "\xc3\xa4 photo.jpg")->checkState, kCheckAll);
  myFilesItem->setCheckState(0, Qt::Unchecked);
  EXPECT_EQ(keepItem->checkState(0), Qt::Unchecked);
  EXPECT_EQ(tree->ItemOf(root)->checkState(0), Qt::PartiallyChecked) << "report.doc stays";
  deepItem->setCheckState(0, Qt::Checked);

  bvtest::TempDir out;
  dlg.ChooseFolder(QString::fromStdString(out.Native()));
  EXPECT_FALSE(dlg.OriginalLocation());
  EXPECT_EQ(dlg.TargetBox()->currentText().toStdString(), out.Native());
  dlg.RestoreButton()->click();  // runs the modal progress window to its end

  const std::string below = InStore(src);
  EXPECT_EQ(bvtest::FilesBelow(out.Native()),
            (std::map<std::string, std::string>{
                {below + "/report.doc", "the report"},
                {below + "/My Files/deep/keep.txt", files_.at("My Files/deep/keep.txt")}}));
  EXPECT_EQ(Messages(), "");
}

TEST_F(RestoreWindowTest, OriginalLocationAndRevisionsGoBackWhereTheFilesCameFrom) {
  bvtest::TempDir src;
  CPlan* plan = MakePlanWithStore("Docs", src, files_);
  ASSERT_TRUE(plan);
  CDlgRestore dlg(plan->Id());
  dlg.show();
  ASSERT_TRUE(Listed(dlg));
  fs::remove_all(src.Native());
  fs::create_directories(src.Native());
  // The older versions, back in their own places under their plain names.
  CDirNode* revision = FindNode(dlg.Root().get(), "Revision");
  ASSERT_TRUE(revision);
  dlg.Tree()->SetNodeCheck(revision, kCheckAll);
  EXPECT_EQ(dlg.Restore(), CDlgRestoreProgress::kFinished);
  std::map<std::string, std::string> older;
  for (const auto& [rel, content] : files_) older[rel] = content + " (older)";
  EXPECT_EQ(bvtest::FilesBelow(src.Native()), older);
}

TEST_F(RestoreWindowTest, SearchShowsMatchesWithTheirFoldersAndCountsOnlyThem) {
  bvtest::TempDir src;
  CPlan* plan = MakePlanWithStore("Docs", src, files_);
  ASSERT_TRUE(plan);
  CDlgRestore dlg(plan->Id());
  dlg.show();
  ASSERT_TRUE(Listed(dlg));
  EXPECT_EQ(dlg.SearchImage(), "EditSearch_Normal");

  dlg.SearchBox()->setText("REP");
  emit dlg.SearchBox()->returnPressed();
  EXPECT_EQ(dlg.SearchImage(), "EditSearch_Animate_0");
  ASSERT_TRUE(Searched(dlg));
  EXPECT_EQ(dlg.SearchImage(), "EditSearch_Normal");
  CDirNode* root = dlg.Root().get();
  EXPECT_EQ(root->fileCount, 2u) << "report.doc and its revision";
  EXPECT_EQ(root->size,
            std::string("the report").size() + std::string("the report (older)").size());

  // Every shown item is a match or a folder above one; the matches are open.
  std::vector<std::string> shownFiles;
  CRestoreTree* tree = dlg.Tree();
  for (QTreeWidgetItemIterator it(tree); *it; ++it) {
    CDirNode* node = CRestoreTree::NodeOf(*it);
    ASSERT_TRUE(node);
    EXPECT_FALSE(node->hidden);
    if (!node->isFolder) shownFiles.push_back(node->name);
  }
  std::sort(shownFiles.begin(), shownFiles.end());
  ASSERT_EQ(shownFiles.size(), 2u);
  EXPECT_EQ(shownFiles[0].substr(0, 7), "report(") << "the revision";
  EXPECT_EQ(shownFiles[1], "report.doc");
  QTreeWidgetItem* match = tree->ItemOf(FindBelow(root, "Latest", "report.doc"));
  ASSERT_TRUE(match);
  for (QTreeWidgetItem* p = match->parent(); p; p = p->parent()) EXPECT_TRUE(p->isExpanded());
  EXPECT_EQ(tree->ItemOf(FindBelow(root, "Latest", "notes.txt")), nullptr);

  // A search for nothing that exists hides the root: nothing to restore.
  dlg.SearchBox()->setText("zzz");
  dlg.Search();
  ASSERT_TRUE(Searched(dlg));
  EXPECT_TRUE(root->hidden);
  EXPECT_EQ(tree->topLevelItemCount(), 0);
  EXPECT_EQ(dlg.Restore(), 0);
  EXPECT_EQ(Messages(), Restore("MSG_RESTORATION_LOCATION_IS_EMPTY") + "\n");

  // An empty search shows the whole tree again.
  dlg.SearchBox()->clear();
  dlg.Search();
  ASSERT_TRUE(Searched(dlg));
  EXPECT_EQ(root->fileCount, 2 * files_.size());
  EXPECT_EQ(tree->topLevelItemCount(), 1);
}

TEST_F(RestoreWindowTest, SwitchingPlansListsEachStoreOnceUntilTheWindowCloses) {
  bvtest::TempDir srcA, srcB;
  CPlan* a = MakePlanWithStore("Alpha", srcA, {{"a.txt", "alpha"}}, 1);
  CPlan* b = MakePlanWithStore("Beta", srcB, {{"b.txt", "beta"}, {"c.txt", "gamma"}}, 1);
  ASSERT_TRUE(a && b);
  {
    CDlgRestore dlg(a->Id());
    dlg.show();
    ASSERT_TRUE(Listed(dlg));
    ASSERT_EQ(dlg.PlanBox()->count(), 2);
    // A search left on A is gone when A is shown again.
    dlg.SearchBox()->setText("nothing-like-this");
    dlg.Search();
    ASSERT_TRUE(Searched(dlg));
    const std::shared_ptr<CDirNode> rootA = dlg.Root();

    emit dlg.PlanBox()->activated(dlg.PlanBox()->findData(b->Id()));
    EXPECT_EQ(dlg.PlanId(), b->Id());
    ASSERT_TRUE(Listed(dlg));
    EXPECT_EQ(dlg.Root()->fileCount, 2u);
    EXPECT_EQ(dlg.ListingsStarted(), 2);

    emit dlg.PlanBox()->activated(dlg.PlanBox()->findData(a->Id()));
    EXPECT_FALSE(dlg.IsListing()) << "A's tree comes from the cache at once";
    EXPECT_EQ(dlg.Root(), rootA);
    EXPECT_EQ(dlg.ListingsStarted(), 2);
    EXPECT_FALSE(rootA->hidden);
    EXPECT_EQ(rootA->fileCount, 1u);
    EXPECT_EQ(rootA->checkState, kCheckNone);
    EXPECT_EQ(CDirNodeCache::Instance().Count(), 2u);
    dlg.findChild<QPushButton*>("restoreClose")->click();
    EXPECT_EQ(CDirNodeCache::Instance().Count(), 0u);
  }
  CDlgRestore again(a->Id());
  again.show();
  EXPECT_TRUE(again.IsListing()) << "a new window lists anew";
  ASSERT_TRUE(Listed(again));
  EXPECT_EQ(again.ListingsStarted(), 1);
}

TEST_F(RestoreWindowTest, NothingStartsWithoutTicksOrWithABadTarget) {
  bvtest::TempDir src;
  CPlan* plan = MakePlanWithStore("Docs", src, {{"a.txt", "a"}}, 1);
  ASSERT_TRUE(plan);
  CDlgRestore dlg(plan->Id());
  dlg.show();
  ASSERT_TRUE(Listed(dlg));
  EXPECT_EQ(dlg.Restore(), 0);
  EXPECT_EQ(Messages(), Restore("MSG_NO_FILES_TO_BE_RESTORED") + "\n");

  dlg.Tree()->SetNodeCheck(dlg.Root().get(), kCheckAll);
  dlg.TargetBox()->setEditText("not/an/absolute/folder");
  EXPECT_FALSE(dlg.OriginalLocation());
  EXPECT_EQ(dlg.Restore(), 0);
  EXPECT_NE(Messages().find(Restore("MSG_TARGET_FOLDER_IS_INVALID") + " not/an/absolute/folder"),
            std::string::npos);
  // Choosing the first line again means the original places.
  dlg.TargetBox()->setCurrentIndex(0);
  EXPECT_TRUE(dlg.OriginalLocation());
}

TEST_F(RestoreWindowTest, DraggingOffersTheStoreFilesAsNativePaths) {
  bvtest::TempDir src;
  CPlan* plan = MakePlanWithStore("Docs", src, files_, 1);
  ASSERT_TRUE(plan);
  CDlgRestore dlg(plan->Id());
  dlg.show();
  ASSERT_TRUE(Listed(dlg));
  CDirNode* photo = FindNode(dlg.Root().get(), "\xc3\xa4 photo.jpg");
  ASSERT_TRUE(photo);
  QTreeWidgetItem* item = dlg.Tree()->RevealNode(photo);
  ASSERT_TRUE(item);
  EXPECT_TRUE(item->flags() & Qt::ItemIsDragEnabled);
  std::unique_ptr<QMimeData> data(dlg.Tree()->DragData({item}));
  ASSERT_TRUE(data);
  ASSERT_EQ(data->urls().size(), 1);
  const std::string path = data->urls().front().toLocalFile().toStdString();
  EXPECT_EQ(path, dir_.NativeOf("evol/Backup/Docs/Latest/" + InStore(src) + "/My Files/" +
                                "\xc3\xa4 photo.jpg"));
  EXPECT_EQ(ReadNative(path), files_.at("My Files/\xc3\xa4 photo.jpg"));
  // Folders are not offered.
  EXPECT_EQ(dlg.Tree()->DragData({dlg.Tree()->ItemOf(photo->parent)}), nullptr);
}

TEST_F(RestoreWindowTest, ProgressWindowPausesCreepsAndFinishes) {
  bvtest::TempDir src;
  CPlan* plan = MakePlanWithStore("Docs", src, files_, 1);
  ASSERT_TRUE(plan);
  CDlgRestore dlg(plan->Id());
  dlg.show();
  ASSERT_TRUE(Listed(dlg));
  CDirNode* latest = FindNode(dlg.Root().get(), "Latest");
  dlg.Tree()->SetNodeCheck(latest, kCheckAll);
  RestoreStore store;
  ASSERT_TRUE(GetRestoreStore(plan, &store));
  bvtest::TempDir out;

  bvtest::ManualClock clock;
  CDlgRestoreProgress progress(dlg.Root(), store, out.System());
  EXPECT_EQ(progress.SpeedShown(), 51200u);
  progress.PauseButton()->click();  // held before the first file
  EXPECT_EQ(progress.PauseButton()->text().toStdString(),
            GetText("DIALOG_RESTORE_PROGRESS", "BUTTON_RESUME"));
  progress.show();
  RunUntil([] { return false; }, 100);
  EXPECT_TRUE(bvtest::FilesBelow(out.Native()).empty()) << "nothing is copied while paused";

  RestoreProgress p;
  p.currentName = "a.txt";
  p.percent = 40;
  p.remainingSeconds = 3725;
  p.bytesPerSecond = 1048576;
  progress.ShowProgress(p);
  EXPECT_EQ(progress.findChild<QLabel*>("progressTime")->text().toStdString(), "1 h 2 min 5 s");
  EXPECT_EQ(progress.findChild<QLabel*>("progressSpeed")->text().toStdString(), "1 MB/s");
  EXPECT_EQ(progress.findChild<QProgressBar*>("progressBar")->value(), 40);
  p.percent = 30;
  progress.ShowProgress(p);
  EXPECT_EQ(progress.PercentShown(), 40u) << "never goes back";
  clock.Advance(30000);
  EXPECT_EQ(progress.PercentShown(), 40u) << "paused: no creeping";

  progress.PauseButton()->click();
  clock.Advance(20000);  // the carrier's reports wait for the event loop
  EXPECT_EQ(progress.PercentShown(), 42u);
  EXPECT_EQ(progress.SecondsShown(), 3723u);

  ASSERT_TRUE(RunUntil([&] { return !progress.isVisible(); }));
  EXPECT_EQ(progress.result(), CDlgRestoreProgress::kFinished);
  EXPECT_EQ(progress.PercentShown(), 100u);
  EXPECT_EQ(progress.FilesCopied(), files_.size());
  EXPECT_EQ(bvtest::FilesBelow(out.Native() + "/" + InStore(src)).size(), files_.size());
}

TEST_F(RestoreWindowTest, CancelClosesWithTwo) {
  bvtest::TempDir src;
  CPlan* plan = MakePlanWithStore("Docs", src, files_, 1);
  ASSERT_TRUE(plan);
  CDlgRestore dlg(plan->Id());
  dlg.show();
  ASSERT_TRUE(Listed(dlg));
  dlg.Tree()->SetNodeCheck(dlg.Root().get(), kCheckAll);
  RestoreStore store;
  ASSERT_TRUE(GetRestoreStore(plan, &store));
  bvtest::TempDir out;
  {
    CDlgRestoreProgress progress(dlg.Root(), store, out.System());
    progress.PauseButton()->click();
    progress.show();
    progress.CancelButton()->click();
    EXPECT_FALSE(progress.isVisible());
    EXPECT_EQ(progress.result(), CDlgRestoreProgress::kFailed);
  }
  RunUntil([] { return DiscardedRestoreJobsRunning() == 0; });
  EXPECT_LE(bvtest::FilesBelow(out.Native()).size(), 1u)
      << "at most the file announced before the pause";
}

TEST_F(RestoreWindowTest, ADriveThatIsNotHereFailsTheRestoreToOriginalPlaces) {
  bvtest::TempDir src;
  CPlan* plan = MakePlanWithStore("Docs", src, {{"a.txt", "a"}}, 1);
  ASSERT_TRUE(plan);
  // A copy that came from drive Q, which this machine does not have.
  WriteNative(dir_.NativeOf("evol/Backup/Docs/Latest/Q/x.txt"), "from Q");
  CDlgRestore dlg(plan->Id());
  dlg.show();
  ASSERT_TRUE(Listed(dlg));
  dlg.Tree()->SetNodeCheck(dlg.Root().get(), kCheckAll);
  const std::string invalid = Restore("MSG_ORIGINAL_FILE_IS_INVALID");
  ASSERT_FALSE(invalid.empty());
  fs::remove(src.NativeOf("a.txt"));
  EXPECT_EQ(dlg.Restore(), CDlgRestoreProgress::kFailed);
  EXPECT_EQ(Messages(), invalid + "\n");
  EXPECT_FALSE(fs::exists(src.NativeOf("a.txt"))) << "nothing is copied";
}

// Pictures of the window with a tree, with a search, and of the progress
// window. With BV_SCREENSHOT_DIR set they are written there.
TEST_F(RestoreWindowTest, Pictures) {
  const char* outDir = std::getenv("BV_SCREENSHOT_DIR");
  const std::string out = outDir ? outDir : "";
  auto shoot = [&](QWidget* w, const char* name) {
    QPixmap pixmap = w->grab();
    EXPECT_FALSE(pixmap.isNull());
    if (!out.empty()) {
      EXPECT_TRUE(pixmap.save(QString::fromStdString(out + "/" + name)));
    }
  };
  bvtest::TempDir src;
  CPlan* docs = MakePlanWithStore("Documents", src,
                                  {{"Reports/report 2025.doc", std::string(48213, 'r')},
                                   {"Reports/report 2026.doc", std::string(61440, 'r')},
                                   {"Reports/budget.xlsx", std::string(1320000, 'b')},
                                   {"Letters/to the bank.odt", std::string(23000, 'l')},
                                   {"Letters/thank you.odt", std::string(18000, 't')},
                                   {"Photos/holiday 01.jpg", std::string(2400000, 'p')},
                                   {"Photos/holiday 02.jpg", std::string(2100000, 'p')},
                                   {"notes.txt", "notes"}});
  ASSERT_TRUE(docs);
  bvtest::TempDir src2;
  ASSERT_TRUE(MakePlanWithStore("Pictures", src2, {{"cat.png", "cat"}}, 1));

  CDlgRestore dlg(docs->Id());
  dlg.resize(940, 620);
  dlg.show();
  ASSERT_TRUE(Listed(dlg));
  CDirNode* root = dlg.Root().get();
  CRestoreTree* tree = dlg.Tree();
  CDirNode* reports = FindBelow(root, "Latest", "Reports");
  CDirNode* photos = FindBelow(root, "Latest", "Photos");
  ASSERT_TRUE(reports && photos);
  tree->RevealNode(reports->children.front().get());
  tree->RevealNode(photos->children.front().get());
  tree->RevealNode(FindBelow(root, "Latest", "Letters"));
  tree->ItemOf(reports)->setCheckState(0, Qt::Checked);
  tree->ItemOf(photos->children.front().get())->setCheckState(0, Qt::Checked);
  tree->ItemOf(FindBelow(root, "Latest", "Letters"))->setExpanded(true);
  tree->ItemOf(FindNode(root, "Revision"))->setExpanded(false);
  RunUntil([] { return false; }, 200);
  shoot(&dlg, "restore.png");

  dlg.SearchBox()->setText("report");
  dlg.Search();
  ASSERT_TRUE(Searched(dlg));
  RunUntil([] { return false; }, 200);
  shoot(&dlg, "restore-search.png");

  SetCheckState(root, kCheckAll);
  RestoreStore store;
  ASSERT_TRUE(GetRestoreStore(docs, &store));
  bvtest::TempDir target;
  CDlgRestoreProgress progress(dlg.Root(), store, target.System());
  progress.PauseButton()->click();  // the picture shows the display, not a race
  progress.show();
  RestoreProgress p;
  p.currentName = "holiday 01.jpg";
  p.percent = 42;
  p.remainingSeconds = 3725;
  p.bytesPerSecond = 5 * 1048576;
  progress.ShowProgress(p);
  RunUntil([] { return false; }, 200);
  shoot(&progress, "restore-progress.png");
  progress.CancelButton()->click();
  RunUntil([] { return DiscardedRestoreJobsRunning() == 0; });
}

}  // namespace
