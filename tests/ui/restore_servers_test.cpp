// The restore window over stores on loopback servers: one without end, FTP and
// object stores listing revisions as a file opens, and a huge folder ticked.
#include <unistd.h>

#include <chrono>
#include <set>

#include "RestoreTestKit.h"
#include "support/CephGateway.h"
#include "support/EndlessFtpServer.h"
#include "support/FtpServer.h"

namespace fs = std::filesystem;

namespace bvtest {
namespace {

class RestoreServerTest : public RestoreTest {};

// Folders without end: the first level comes; a ticked folder is looked through on a job while
// the window goes on; Stop ends it.
TEST_F(RestoreServerTest, AServerWithoutEndNeitherHangsNorHoldsTheWindow) {
  for (const bool wide : {false, true}) {
    SCOPED_TRACE(wide);
    EndlessFtpServer server(wide, 5000);
    ASSERT_TRUE(server.Ok());
    PlanSettings s;
    s.name = wide ? "Wide" : "Chain";
    s.storageType = kStorageFtp;
    s.scheduleNum = 1;
    s.scheduleUnit = 8;
    s.ftp.server = "127.0.0.1";
    s.ftp.port = server.Port();
    s.ftp.security = kFtpPlain;  // the hostile server speaks no TLS
    s.ftp.root = s.storePath = "/s/";
    CPlan* plan = PlanList::Instance().CreatePlan(s);
    ASSERT_TRUE(plan);
    CDlgRestore dlg(plan->Id());
    dlg.show();
    ASSERT_TRUE(RunUntil([&] { return !dlg.IsListing(); }, 30000)) << server.Listings();
    EXPECT_LE(server.Listings(), 2 * (WalkLimits{}.maxDepth + 2)) << "went no deeper";
    ASSERT_EQ(dlg.Tree()->topLevelItemCount(), wide ? 3 : 1);
    if (!wide) continue;
    dlg.Tree()->topLevelItem(0)->setCheckState(0, Qt::Checked);
    const auto start = std::chrono::steady_clock::now();
    int listings = 0;
    RunSoon(nullptr, [&] {
      EXPECT_TRUE(RunUntil([&] { return server.Listings() > 50; }, 20000));
      EXPECT_TRUE(dlg.IsCollecting());
      EXPECT_TRUE(dlg.StatusText().contains(" folders, ")) << dlg.StatusText().toStdString();
      EXPECT_EQ(dlg.RestoreButton()->text().toStdString(), RestoreText("BUTTON_STOP"));
      listings = server.Listings();
      dlg.RestoreButton()->click();
    });
    EXPECT_EQ(dlg.Restore(), 0);
    EXPECT_FALSE(dlg.IsCollecting());
    EXPECT_GT(listings, 50) << "looked through while the window went on";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(25));
    EXPECT_TRUE(RunUntil([] { return DiscardedRestoreJobsRunning() == 0; }, 3000));
    EXPECT_LE(server.Listings(), listings + 4) << "and stopped";
    EXPECT_EQ(dlg.RestoreButton()->text().toStdString(), RestoreText("BUTTON_RESTORE"));
  }
}

// Revisions listed by name: opening a file fetches their sizes and dates on a job, and a chosen
// one comes back byte for byte.
TEST_F(RestoreServerTest, AServerStoreListsVersionsWhenOpenedAndRestoresAChosenOne) {
  std::string older(300000, 'o');
  for (size_t at = 0; at < older.size(); at += 7) older[at] = static_cast<char>(at % 251);
  const std::map<std::string, std::string> files = {{"Latest/C/docs/r.txt", "three"},
                                                    {"Revision/C/docs/r(0001).txt", "1"},
                                                    {"Revision/C/docs/r(0002).txt", older}};
  FtpServer ftp;
  CephGateway gw;
  for (const bool bucket : {true, false}) {  // the bucket first: no FTP server skips the rest
    SCOPED_TRACE(bucket ? "bucket" : "FTP");
    PlanSettings s;
    s.name = bucket ? "Bucket" : "Server";
    s.scheduleNum = 1;
    s.scheduleUnit = 8;
    if (bucket) {
      ASSERT_TRUE(gw.Ok() && gw.MakeBucket("restore")) << gw.Reason();
      for (const auto& [rel, bytes] : files)
        ASSERT_EQ(gw.Request("PUT", "/restore/" + UriEncode("team/" + rel, true), bytes), 200);
      s.storageType = kStorageObject;
      s.objectStore = gw.Settings("restore", "team");
      s.storePath = "s3://restore/team/";
    } else {
      // A slow line: the download of the older version takes seconds.
      if (!ftp.Ok() || !ftp.LimitBandwidth(100)) GTEST_SKIP() << ftp.Reason();
      WriteNative(ftp.NativeOf("/bvuser/w/Brevanto.dat"), "[Store]\n");
      for (const auto& [rel, bytes] : files) WriteNative(ftp.NativeOf("/bvuser/w/" + rel), bytes);
      for (const auto& e : fs::recursive_directory_iterator(ftp.NativeOf("/bvuser")))
        ASSERT_EQ(chown(e.path().c_str(), 65534, 65534), 0);
      s.storageType = kStorageFtp;
      s.ftp = ftp.Settings("w/");
      s.storePath = s.ftp.root;
    }
    CPlan* plan = PlanList::Instance().CreatePlan(s);
    ASSERT_TRUE(plan);
    CDlgRestore dlg(plan->Id());
    dlg.show();
    ASSERT_TRUE(RunUntil([&] { return !dlg.IsListing(); }, 30000));
    // The file's version rows, once listed (again after a restore read the store anew).
    auto versionRows = [&dlg]() -> QList<QTreeWidgetItem*> {
      if (!RunUntil([&] { return !dlg.IsListing() && dlg.Tree()->topLevelItemCount() == 1; },
                    30000))
        return {};
      QTreeWidgetItem* folder = dlg.Tree()->topLevelItem(0);
      folder->setExpanded(true);
      if (!RunUntil([&] { return folder->childCount() == 1; }, 10000)) return {};
      QTreeWidgetItem* file = folder->child(0);
      file->setExpanded(true);
      RunUntil([&] { return CRestoreTree::VersionRows(file).size() == 3; }, 10000);
      return CRestoreTree::VersionRows(file);
    };
    QList<QTreeWidgetItem*> versions = versionRows();
    ASSERT_EQ(versions.size(), 3);
    for (QTreeWidgetItem* v : versions)
      EXPECT_FALSE(v->text(CRestoreTree::kSize).isEmpty() ||
                   v->text(CRestoreTree::kDate).isEmpty());
    versions[1]->setCheckState(0, Qt::Checked);
    TempDir out;
    dlg.ChooseFolder(QString::fromStdString(out.Native()));
    // Over the slow line the bar and the speed follow the bytes as they come.
    std::set<uint32_t> midway;
    RunSoon(nullptr, [&] {
      RunUntil(
          [&] {
            CDlgRestoreProgress* p = VisibleProgress();
            if (p && p->CloseButton()->isVisible()) return true;
            if (p && p->PercentShown() > 0 &&
                p->findChild<QLabel*>("progressSpeed")->text() !=
                    QString::fromStdString(ProgressText("RESTORE_PROGRESS_NOT_MEASURED")))
              midway.insert(p->PercentShown());
            return false;
          },
          30000);
    });
    EXPECT_EQ(dlg.Restore(), CDlgRestoreProgress::kFinished);
    EXPECT_TRUE(bucket || midway.lower_bound(1) != midway.lower_bound(100)) << midway.size();
    EXPECT_EQ(FilesBelow(out.Native()),
              (std::map<std::string, std::string>{{"docs/r.txt", older}}));

    // Over the slow line: paused midway for longer than the whole file takes, the user's file
    // stays until Resume; cancelled midway, it stays and the window says what came back.
    for (const bool cancel : {false, true}) {
      if (bucket) break;
      SCOPED_TRACE(cancel ? "cancelled" : "paused");
      versions = versionRows();
      ASSERT_EQ(versions.size(), 3);
      versions[1]->setCheckState(0, Qt::Checked);
      TempDir mine;
      const std::map<std::string, std::string> own = {{"docs/r.txt", "my newer words"}};
      WriteNative(mine.Native() + "/docs/r.txt", "my newer words");
      dlg.ChooseFolder(QString::fromStdString(mine.Native()));
      std::string whilePaused = "not paused";
      RunSoon(nullptr, [&] {
        CDlgRestoreProgress* shown = nullptr;
        if (!RunUntil([&] { return (shown = VisibleProgress()) && shown->PercentShown() > 0; },
                      30000))
          return;
        (cancel ? shown->CancelButton() : shown->PauseButton())->click();
        if (cancel) return;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        RunUntil([&] { return std::chrono::steady_clock::now() > until; }, 6000);
        whilePaused = ReadNative(mine.Native() + "/docs/r.txt");
        shown->PauseButton()->click();
      });
      const int result = dlg.Restore();
      EXPECT_TRUE(RunUntil([] { return DiscardedRestoreJobsRunning() == 0; }, 30000));
      if (cancel) {
        EXPECT_EQ(result, CDlgRestoreProgress::kFailed);
        EXPECT_TRUE(FilesBelow(mine.Native()) == own) << FilesBelow(mine.Native()).size();
        EXPECT_EQ(dlg.StatusText().toStdString(), RestoreCancelledText(0));
      } else {
        EXPECT_TRUE(whilePaused == "my newer words") << whilePaused.size() << " bytes";
        EXPECT_EQ(result, CDlgRestoreProgress::kFinished);
        EXPECT_EQ(FilesBelow(mine.Native()),
                  (std::map<std::string, std::string>{{"docs/r.txt", older}}));
      }
    }

    // Refused here (a link in the chosen folder), then gone at the server: the progress window
    // keeps the file and the right side's cause until closed.
    for (const bool here : {true, false}) {
      SCOPED_TRACE(here ? "refused here" : "gone at the server");
      versions = versionRows();
      ASSERT_EQ(versions.size(), 3);
      versions[1]->setCheckState(0, Qt::Checked);
      TempDir linked, elsewhere;
      if (here) {
        fs::create_directory_symlink(elsewhere.Native(), linked.Native() + "/docs");
      } else if (bucket) {
        EXPECT_EQ(gw.Request("DELETE",
                             "/restore/" + UriEncode("team/Revision/C/docs/r(0002).txt", true)) /
                      100,
                  2);
      } else {
        fs::remove(ftp.NativeOf("/bvuser/w/Revision/C/docs/r(0002).txt"));
      }
      dlg.ChooseFolder(QString::fromStdString(linked.Native()));
      std::string said;
      RunSoon(nullptr, [&] {
        CDlgRestoreProgress* shown = nullptr;
        if (!RunUntil(
                [&] { return (shown = VisibleProgress()) && shown->CloseButton()->isVisible(); },
                20000))
          return;
        said = shown->findChild<QPlainTextEdit*>("progressFailures")->toPlainText().toStdString();
        shown->CloseButton()->click();
      });
      // A file refused here fails alone; one the server lost ends the restore.
      EXPECT_EQ(dlg.Restore(),
                here ? CDlgRestoreProgress::kFinished : CDlgRestoreProgress::kFailed);
      const std::string prefix = linked.Native() + "/docs/r.txt\n    ";
      if (here) {
        EXPECT_EQ(said, prefix + RestoreFailureText("MSG_CANNOT_COPY_FILE",
                                                    GetText("DIALOG_RESTORE", "REASON_681")));
      } else {
        EXPECT_EQ(said.rfind(prefix + RestoreFailureText(
                                          bucket ? "MSG_CANNOT_DOWNLOAD_FILE_FROM_OBJECT_STORE"
                                                 : "MSG_CANNOT_DOWNLOAD_FILE_FROM_FTP",
                                          ""),
                             0),
                  0u)
            << said;
      }
      EXPECT_TRUE(FilesBelow(elsewhere.Native()).empty() && FilesBelow(linked.Native()).empty());
    }
  }
}

// A tick on a huge open folder changes the folder, not every row below it (rows show what the
// folder holds when drawn), and still brings every file back.
TEST_F(RestoreServerTest, TickingAHugeOpenFolderTouchesNoRowBelowIt) {
  constexpr int kFiles = 40000;
  CVersionFolder root;
  root.listed = true;
  auto top = std::make_unique<CVersionFolder>();
  top->name = "/srv/big";
  top->sourcePath = "C:\\srv\\big";
  top->parent = &root;
  top->listed = true;
  for (int i = 0; i < kFiles; ++i)
    top->files.push_back({"f" + std::to_string(i), {{"/s/f", true, 0, 5, 1765000000}}, -1});
  CVersionFolder* big = top.get();
  root.folders.push_back(std::move(top));
  CRestoreTree tree;
  tree.show();
  tree.ShowTree(&root, false);
  QTreeWidgetItem* row = tree.topLevelItem(0);
  row->setExpanded(true);
  ASSERT_EQ(row->childCount(), kFiles);
  int changed = 0, told = 0;
  QObject::connect(tree.model(), &QAbstractItemModel::dataChanged, [&] { ++changed; });
  QObject::connect(&tree, &CRestoreTree::checksChanged, [&] { ++told; });
  row->setCheckState(0, Qt::Checked);
  EXPECT_LE(changed, 2);
  EXPECT_EQ(told, 1);
  EXPECT_EQ(row->child(kFiles - 1)->checkState(0), Qt::Checked);
  EXPECT_EQ(TakeChoices(&root).choices.size(), static_cast<size_t>(kFiles));
  // One file left out: the folder shows it, the restore takes the rest.
  row->child(7)->setCheckState(0, Qt::Unchecked);
  EXPECT_EQ(row->checkState(0), Qt::PartiallyChecked);
  EXPECT_EQ(row->child(7)->checkState(0), Qt::Unchecked);
  EXPECT_EQ(TakeChoices(&root).choices.size(), static_cast<size_t>(kFiles - 1));
  row->setCheckState(0, Qt::Unchecked);
  EXPECT_EQ(row->child(8)->checkState(0), Qt::Unchecked);
  EXPECT_TRUE(TakeChoices(&root).choices.empty() && !big->ticked);
}

}  // namespace
}  // namespace bvtest
