// The disc archiving windows on pseudo-drives.
#include <sys/mount.h>

#include <QProgressBar>

#include "UiTestKit.h"
#include "common/ActivityLog.h"
#include "destinations/disc_world.h"
#include "ui/disc/CDlgBurnDisc.h"
#include "ui/disc/CDlgBurnSetting.h"
#include "ui/disc/CDlgEraseBurning.h"
#include "ui/disc/CDlgEraseDisc.h"
#include "ui/disc/CDlgErrBurning.h"
#include "ui/disc/CDlgStopBurning.h"

namespace bvtest {
namespace {

std::string Text(const char* section, const char* key) { return GetText(section, key); }

class BurnDialogsTest : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    ASSERT_EQ(disc::Initialise(&error_), 0) << error_;
    // Acts on the modal window up, each action deferred so that a question it opens is answered.
    connect_ = QObject::connect(&driver_, &QTimer::timeout, [this] {
      RunSoon(&driver_, [this] {
        if (QWidget* w = QApplication::activeModalWidget(); w && onModal_) onModal_(w);
      });
    });
    driver_.start(20);
  }
  void TearDown() override {
    disc::Shutdown();
    driver_.stop();
    QObject::disconnect(connect_);
    UiTest::TearDown();
  }
  std::string Latest() const { return dir_.System() + "\\Store\\Latest"; }
  std::string Drive() const { return dir_.Native() + "/drive.iso"; }
  std::string Image(int n) const { return dir_.Native() + "/disc-" + std::to_string(n) + ".iso"; }
  void UseDrive(const std::string& drives) {
    drives_.Set(drives.c_str());
    disc::RescanRecorders();
  }
  BurnJob Job(uint64_t total) {
    BurnJob job;
    job.recorder = disc::RecorderNames().back();
    job.discName = "Test";
    job.latest = Latest();
    job.totalBytes = total;
    return job;
  }

  std::string error_;
  ScopedEnv drives_{"BREVANTO_PSEUDO_DRIVES", nullptr};
  QTimer driver_;
  QMetaObject::Connection connect_;
  std::function<void(QWidget*)> onModal_;
};

// The settings, the erase warning and run, then the store across two discs.
TEST_F(BurnDialogsTest, ArchiveErasesTheDiscThenSpansDiscs) {
  std::set<std::string> store;
  for (int i = 0; i < 40; ++i) {
    const std::string rel = (i % 2 ? "C/home/ann/Fotos/Sommer" : "C/home/ann/Документы") +
                            std::string("/f") + std::to_string(i) + "-ü.bin";
    dir_.Write("Store/Latest/" + rel, std::string(20000 + i, char('a' + i % 26)));
    store.insert("/" + rel);
  }
  WriteNative(Drive(), "old data on the disc");
  UseDrive(Drive() + "=640K");
  CDlgBurnSetting dialog(Latest());
  dialog.show();
  // The store is counted on a thread: the window is up at once, Archive waits.
  EXPECT_EQ(dialog.findChild<QLabel*>("archiveSize")->text().toStdString(),
            Text("DIALOG_BURN_SETTING", "COUNTING"));
  EXPECT_FALSE(dialog.ArchiveButton()->isEnabled());
  ASSERT_TRUE(RunUntil([&] { return dialog.ArchiveButton()->isEnabled(); }));
  EXPECT_EQ(dialog.TotalBytes(), 40 * 20000u + 39 * 20);
  EXPECT_EQ(dialog.findChild<QComboBox*>("recorderBox")->currentText().toStdString(),
            "Image file " + Drive());
  EXPECT_EQ(dialog.DiscsNeededLabel()->text().toStdString(),
            FormatText(Text("DIALOG_BURN_SETTING", "LBL_DISCS_NEEDED"), {"2"}));
  const QString name = dialog.NameEdit()->text();
  EXPECT_TRUE(name.startsWith("Brevanto ") && name.size() <= 16) << name.toStdString();
  // More options: a DVD's speeds, verify on, erase offered.
  dialog.MoreButton()->click();
  EXPECT_EQ(dialog.WriteSpeedBox()->itemData(1).toInt(), 27700);
  EXPECT_TRUE(dialog.VerifyBox()->isChecked());
  Shoot(&dialog, "burn-settings.png");

  // A name longer than 16 characters is refused; nothing is written.
  dialog.NameEdit()->setText("A name far too long");
  dialog.ArchiveButton()->click();
  EXPECT_TRUE(Said("DIALOG_BURN_SETTING", "DISC_NAME_MAX_LENGTH"));
  EXPECT_EQ(ReadNative(Drive()), "old data on the disc");

  dialog.NameEdit()->setText("Holiday 2026");
  std::vector<std::string> seen;
  int shots = 0;
  CDlgBurnDisc* burn = nullptr;
  onModal_ = [&](QWidget* w) {
    if (auto* q = qobject_cast<CDlgEraseBurning*>(w)) {
      seen.push_back("erase warning");
      Shoot(q, "burn-erase-warning.png");
      q->OkButton()->click();
    } else if (qobject_cast<CDlgEraseDisc*>(w)) {
      if (seen.empty() || seen.back() != "erasing") seen.push_back("erasing");
    } else if (auto* b = qobject_cast<CDlgBurnDisc*>(w)) {
      burn = b;
      if (b->ContinueButton()->isVisible()) {
        if (shots++ == 0) Shoot(b, "burn-next-disc.png");
        const int n = int(disc::Counters().discNumber.load());
        ASSERT_EQ(std::rename(Drive().c_str(), Image(n).c_str()), 0)
            << int(b->Worker().Refusal()) << " wait " << b->Worker().WaitNumber()
            << b->MessageLabel()->text().toStdString();
        seen.push_back("disc " + std::to_string(n));
        b->ContinueButton()->click();
      } else if (b->Outcome() != 0) {
        Shoot(b, "burn-finished.png");
        EXPECT_EQ(b->Outcome(), CDlgBurnDisc::kFinished);
        EXPECT_EQ(b->Bar()->value(), 1000);
        EXPECT_EQ(b->MessageLabel()->text().toStdString(),
                  FormatText(Text("DIALOG_BURN_DISC", "BURN_FINISHED"),
                             {CountText("FILES", 40),
                              FormatText(Text("DIALOG_BURN_DISC", "DISCS"), {"2"})}));
        b->CancelButton()->click();  // now Close
      }
    }
  };
  dialog.ArchiveButton()->click();
  onModal_ = nullptr;
  ASSERT_NE(burn, nullptr);
  EXPECT_EQ(seen, (std::vector<std::string>{"erase warning", "erasing", "disc 1"}));
  ASSERT_EQ(std::rename(Drive().c_str(), Image(2).c_str()), 0);
  std::set<std::string> archived;
  for (int n = 1; n <= 2; ++n) {
    EXPECT_EQ(ReadNative(Image(n)).find("old data"), std::string::npos);
    for (const std::string& f : ImageFiles(Image(n))) EXPECT_TRUE(archived.insert(f).second);
  }
  EXPECT_EQ(archived, store);
}

// Stopping asks first; a failed write says why.
TEST_F(BurnDialogsTest, StopWhileWaitingAndAFailedWriteAskAndTell) {
  for (int i = 0; i < 4; ++i)
    dir_.Write("Store/Latest/f" + std::to_string(i), std::string(300000, 'x'));
  UseDrive(Drive() + "=800K");
  disc::PendingList list;
  ASSERT_TRUE(disc::FillPendingList(Latest(), &list));
  {
    CDlgBurnDisc burn(Job(list.TotalBytes()), list);
    bool asked = false;
    onModal_ = [&](QWidget* w) {
      if (auto* q = qobject_cast<CDlgStopBurning*>(w)) {
        asked = true;
        Shoot(q, "burn-stop.png");
        q->OkButton()->click();
      } else if (w == &burn && burn.ContinueButton()->isVisible()) {
        burn.CancelButton()->click();
      } else if (w == &burn && burn.Outcome() != 0) {
        burn.CancelButton()->click();
      }
    };
    EXPECT_EQ(burn.exec(), CDlgBurnDisc::kStopped);
    EXPECT_TRUE(asked);
    EXPECT_EQ(burn.MessageLabel()->text().toStdString(),  // how it ended, not "Disc 1 is done"
              FormatText(Text("DIALOG_BURN_DISC", "BURN_STOPPED_BETWEEN"),
                         {CountText("FILES", 2),
                          FormatText(Text("DIALOG_BURN_DISC", "DISCS_ONE"), {"1"})}));
    EXPECT_FALSE(burn.Worker().Failed());
    EXPECT_EQ(list.Size(), 2u);
  }
  // A "disc" on a full file system: the write fails part way and says why.
  const std::string small = dir_.Native() + "/small";
  Shell("mkdir -p " + Quote(small));
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "no tmpfs can be mounted here (needs root)";
  UseDrive(small + "/drive.iso=4M");
  {
    CDlgBurnDisc burn(Job(list.TotalBytes()), list);
    std::string told;
    onModal_ = [&](QWidget* w) {
      if (auto* e = qobject_cast<CDlgErrBurning*>(w)) {
        told = e->findChild<QLabel*>("messageLabel")->text().toStdString();
        Shoot(e, "burn-error.png");
        e->OkButton()->click();
      } else if (w == &burn && burn.Outcome() != 0) {
        burn.CancelButton()->click();
      }
    };
    EXPECT_EQ(burn.exec(), CDlgBurnDisc::kFailed);
    EXPECT_TRUE(burn.Worker().Failed());
    EXPECT_NE(told.find(burn.Worker().ErrorText()), std::string::npos) << told;
    EXPECT_FALSE(burn.Worker().ErrorText().empty());
  }
  umount2(small.c_str(), MNT_DETACH);
}

// A log-out while a disc is written ends the job at once, without a question; the log says so.
TEST_F(BurnDialogsTest, AnExitRequestEndsTheJobWithoutAQuestion) {
  for (int i = 0; i < 6; ++i)
    dir_.Write("Store/Latest/big/f" + std::to_string(i), std::string(16 << 20, char('a' + i)));
  UseDrive(Drive() + "=300M");
  disc::PendingList list;
  ASSERT_TRUE(disc::FillPendingList(Latest(), &list));
  CMainFrame frame;
  ASSERT_TRUE(CLogSet::Instance().SetLogFolder(dir_.SystemOf("log")));
  BurnJob job = Job(list.TotalBytes());
  job.verify = true;
  CDlgBurnDisc burn(job, list);
  bool asked = false, exiting = false;
  onModal_ = [&](QWidget* w) {
    if (w != &burn) {
      asked = true;
      if (auto* q = qobject_cast<CDlgSureMessage*>(w)) q->CancelButton()->click();
    } else if (!exiting && disc::Counters().writtenBytes.load() > 0) {
      exiting = true;
      frame.ExitWithoutQuestion();
    } else if (burn.Outcome() != 0) {
      burn.CancelButton()->click();  // ended on its own: Close
    }
  };
  EXPECT_EQ(burn.exec(), CDlgBurnDisc::kStopped);
  EXPECT_FALSE(asked);
  const std::string log =
      ReadNative(dir_.NativeOf("log/" + plat::PathName(CLogSet::Instance().CurrentFile())));
  EXPECT_NE(log.find("#Disc Archive Stopped"), std::string::npos) << log;
  // Stopped while writing: no image is left; while verifying: the disc is whole.
  EXPECT_EQ(std::filesystem::exists(Drive()), log.find("Unfinished Disc = 1") == std::string::npos)
      << log;
}

// Unwritable image files are named as such; a plan on a server or in a bucket is refused.
TEST_F(BurnDialogsTest, ImageFilesThatCannotBeWrittenAndServerPlansSaySo) {
  dir_.Write("Store/Latest/a.txt", "a");
  dir_.Write("locked.iso", "old");
  std::filesystem::permissions(dir_.NativeOf("locked.iso"), std::filesystem::perms::owner_read);
  const std::string missing = dir_.NativeOf("gone/disc.iso");
  UseDrive(missing + ";" + dir_.NativeOf("locked.iso"));
  CDlgBurnSetting dialog(Latest());
  ASSERT_TRUE(RunUntil([&] { return dialog.TotalBytes() == 1; }));
  QComboBox* box = dialog.RecorderBox();
  ASSERT_EQ(box->count(), 2);
  EXPECT_EQ(box->itemText(0).toStdString(),
            FormatText(Text("DIALOG_BURN_SETTING", "RECORDER_IMAGE_FILE_UNUSABLE"), {missing}));
  EXPECT_FALSE(dialog.ArchiveButton()->isEnabled());
  box->setCurrentIndex(1);
  EXPECT_NE(dialog.DiscKindLabel()->text().toStdString().find(
                Text("DIALOG_BURN_SETTING", "IMAGE_FILE_NOT_WRITABLE")),
            std::string::npos)
      << dialog.DiscKindLabel()->text().toStdString();
  EXPECT_FALSE(dialog.ArchiveButton()->isEnabled());

  CPlan* plan = MakePlan("On the server", "ftp://backup.example.com/store/", 1, false, kStorageFtp);
  ASSERT_NE(plan, nullptr);
  ShowBurnSettings(nullptr, plan->Id());
  EXPECT_TRUE(Said("MAIN_UI", "CAN_NOT_ARCHIVE_FTP"));
  plan = MakePlan("In a bucket", "s3://bucket/store/", 1, false, kStorageObject);
  ASSERT_NE(plan, nullptr);
  ShowBurnSettings(nullptr, plan->Id());
  EXPECT_TRUE(Said("MAIN_UI", "CAN_NOT_ARCHIVE_OBJECT_STORE"));
}

}  // namespace
}  // namespace bvtest
