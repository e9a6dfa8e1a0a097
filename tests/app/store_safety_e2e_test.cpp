// The real program and its store under attack or interruption: store folders
// keep the access of the folders they copy (the root is private), links
// planted in the store never send a copy elsewhere (the copy fails with its
// own error), and exit during a long copy stops it at once, leaving no
// temporary file and the file waiting in the journal.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QProcess>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "ProgramRun.h"
#include "app/gui/CBrevantoApp.h"
#include "common/Settings.h"
#include "history/CLoggingDatabase.h"
#include "support/DataFolder.h"
#include "support/QtApp.h"
#include "support/TempDir.h"
#include "ui/CMainFrame.h"

namespace fs = std::filesystem;

namespace {

using bvtest::WaitFor;

mode_t ModeOf(const std::string& native) {
  struct stat st {};
  return lstat(native.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Every entry below a folder whose name starts with prefix (native paths).
std::vector<std::string> NamedBelow(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->path().filename().string().rfind(prefix, 0) == 0) found.push_back(it->path());
  }
  return found;
}

class StoreSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bvtest::App();
    ASSERT_FALSE(home_.Native().empty()) << "cannot make a folder under $HOME";
    fs::create_directories(home_.NativeOf("prot/sub"));
    fs::create_directories(work_.Native() + "/outside");
    chmod(home_.NativeOf("prot").c_str(), 0700);
    chmod(home_.NativeOf("prot/sub").c_str(), 0750);
  }

  void TearDown() override {
    if (program_ && program_->state() != QProcess::NotRunning) {
      program_->kill();
      program_->waitForFinished(10000);
    }
  }

  void WritePlan(bool firstBackupDone) {
    bvtest::PlanFiles p;
    p.id = 1;
    p.name = "Guarded";
    p.storePath = "E:\\Store\\";
    p.sources = {home_.SystemOf("prot")};
    p.firstBackupDone = firstBackupDone;
    data_.WritePlan(p);
    data_.WritePlanList({1});
  }

  std::string Store() const { return data_.Volume('E') + "/Store"; }
  std::string InStore(const char* tree, const std::string& rel) const {
    return Store() + "/" + tree + "/C" + home_.NativeOf(rel);
  }
  std::string Outside() const { return work_.Native() + "/outside"; }

  bvtest::TempDir work_;
  bvtest::DataFolder data_{work_.Native()};
  bvtest::TempDir home_{bvtest::TempDir::Where::kHome};
  std::unique_ptr<QProcess> program_;
};

TEST_F(StoreSafetyTest, PrivateFoldersStayPrivateAndPlantedLinksAreNeverFollowed) {
  WritePlan(true);
  program_ = bvtest::StartProgram(
      data_, {{"BREVANTO_CHANGE_SOURCE", "inotify"}, {"BREVANTO_CHANGE_ROOTS", home_.Native()}},
      {"-s"});
  ASSERT_NE(program_, nullptr);
  ASSERT_TRUE(bvtest::WaitUntilRunning(data_)) << bvtest::ReadNative(data_.StderrLog());

  home_.Write("prot/sub/a.txt", "first");
  ASSERT_TRUE(WaitFor([&] {
    return bvtest::ReadNative(InStore("Latest", "prot/sub/a.txt")) == "first";
  })) << bvtest::ReadNative(data_.StderrLog());
  // The root and the levels that stand for nothing are private; the others
  // have the access of the folders they copy.
  EXPECT_EQ(ModeOf(Store()), 0700u);
  EXPECT_EQ(ModeOf(Store() + "/Latest"), 0700u);
  EXPECT_EQ(ModeOf(Store() + "/Latest/C"), 0700u);
  EXPECT_EQ(ModeOf(InStore("Latest", "prot")), 0700u);
  EXPECT_EQ(ModeOf(InStore("Latest", "prot/sub")), 0750u);

  // Links planted in place of a store folder and of the revision tree.
  fs::remove_all(InStore("Latest", "prot/sub"));
  fs::create_directory_symlink(Outside(), InStore("Latest", "prot/sub"));
  fs::create_directory_symlink(Outside(), Store() + "/Revision");
  home_.Write("prot/sub/b.txt", "must stay inside");
  home_.Write("prot/doc.txt", "version one");
  ASSERT_TRUE(WaitFor(
      [&] { return bvtest::ReadNative(InStore("Latest", "prot/doc.txt")) == "version one"; }));
  home_.Write("prot/doc.txt", "version two");
  ASSERT_TRUE(WaitFor([&] {
    const std::string log = data_.LogText();
    return log.find("Code: 681") != std::string::npos &&
           log.find(home_.SystemOf("prot/sub/b.txt")) != std::string::npos &&
           bvtest::ReadNative(InStore("Latest", "prot/doc.txt")) == "version two";
  })) << data_.LogText();
  EXPECT_TRUE(fs::is_empty(Outside())) << "a copy went through a planted link";
  EXPECT_TRUE(fs::is_symlink(InStore("Latest", "prot/sub")));
  EXPECT_TRUE(NamedBelow(Store(), ".~bvtmp-").empty());
}

// A store on a disk that is unmounted while the program runs (no USB plan,
// the machine's own volume table): nothing is ever written into the empty
// mount folder, and the file saved meanwhile is copied once the disk is back.
TEST_F(StoreSafetyTest, AVanishedVolumeGetsNothingAndItsFilesWaitForItsReturn) {
  const std::string img = work_.Native() + "/q.img", mnt = work_.Native() + "/mnt";
  const std::string uuid = "5afe7e57-0000-4000-8000-000000000003";
  fs::create_directories(mnt);
  if (std::system(("truncate -s 32M " + img + " && mkfs.ext4 -q -U " + uuid + " " + img).c_str()))
    GTEST_SKIP() << "cannot make an ext4 image";
  auto mount = [&] { return std::system(("mount -o loop " + img + " " + mnt).c_str()) == 0; };
  if (!mount()) GTEST_SKIP() << "loop mounts are not possible here";
  struct Unmount {
    std::string dir;
    ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
  } unmount{mnt};
  bvtest::WriteNative(data_.Data("Drives.ini"), "[Drives]\n" + uuid + "=Q\n");
  bvtest::PlanFiles p;
  p.id = 1;
  p.name = "On a disk";
  p.storePath = "Q:\\Store\\";
  p.sources = {home_.SystemOf("prot")};
  p.firstBackupDone = true;
  data_.WritePlan(p);
  data_.WritePlanList({1});
  program_ = bvtest::StartProgram(data_,
                                  {{"BREVANTO_VOLUMES", ""},
                                   {"BREVANTO_CHANGE_SOURCE", "inotify"},
                                   {"BREVANTO_CHANGE_ROOTS", home_.Native()}},
                                  {"-s"});
  ASSERT_NE(program_, nullptr);
  ASSERT_TRUE(bvtest::WaitUntilRunning(data_)) << bvtest::ReadNative(data_.StderrLog());
  const std::string latest = mnt + "/Store/Latest/C" + home_.NativeOf("prot");
  home_.Write("prot/one.txt", "while mounted");
  ASSERT_TRUE(WaitFor([&] { return bvtest::ReadNative(latest + "/one.txt") == "while mounted"; }))
      << bvtest::ReadNative(data_.StderrLog());

  ASSERT_EQ(umount2(mnt.c_str(), 0), 0);
  home_.Write("prot/two.txt", "while away");
  // Well past the quiet second and several polls: the empty mount folder on
  // the system disk stays empty.
  EXPECT_FALSE(WaitFor([&] { return !fs::is_empty(mnt); }, 6)) << "written into the mount folder";
  ASSERT_TRUE(mount());
  EXPECT_TRUE(WaitFor([&] { return bvtest::ReadNative(latest + "/two.txt") == "while away"; }))
      << data_.LogText();
}

// Exit while a file is being copied to a slow disk (the fault seam pauses a
// second before every 4 MiB): the copy stops at once instead of running to
// its end, leaves no temporary file, and the file waits in the journal.
TEST_F(StoreSafetyTest, ExitDuringALongCopyStopsItAndTheFileWaits) {
  const std::string big(48u << 20, 'b');
  bvtest::WriteNative(home_.NativeOf("prot/big.bin"), big);
  WritePlan(false);  // the first backup copies it at start
  const std::string source = home_.SystemOf("prot/big.bin");
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        data_.ApplyEnvironment(false);
        setenv("BREVANTO_FAULT_COPY_DELAY_MS", "1000", 1);
        ResetSettingsCache();
        int code = 0;
        {
          CBrevantoApp app("test_app");
          if (!app.InitInstance()) std::_Exit(2);
          const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
          while (NamedBelow(Store(), ".~bvtmp-").empty() &&
                 std::chrono::steady_clock::now() < limit) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
          }
          if (NamedBelow(Store(), ".~bvtmp-").empty()) code = 3;
          app.MainFrame()->ExitAction()->trigger();
          QCoreApplication::sendPostedEvents();
          app.ExitInstance();
        }
        // The copy (12 s at this pace) was cut short: nothing under either name.
        if (code == 0 && fs::exists(InStore("Latest", "prot/big.bin"))) code = 4;
        if (code == 0 && !NamedBelow(Store(), ".~bvtmp-").empty()) code = 5;
        if (code == 0) {
          CLoggingDatabase db;
          uint64_t offset = 0;
          uint64_t next = 0;
          LogRecord record;
          bool found = false;
          const std::string folder = bvtest::NativeToSystemC(data_.Data("PLAN/1")) + "\\";
          if (db.Open(folder, 1) != CLoggingDatabase::kOk ||
              db.LoadIndex() != CLoggingDatabase::kOk || !db.Lookup(source, &offset) ||
              db.ReadRecord(offset, &record, &next, &found) != CLoggingDatabase::kOk || !found ||
              !record.IsPending()) {
            code = 6;
          }
          db.Close();
        }
        std::error_code ec;
        fs::remove_all(home_.Native(), ec);
        fs::remove_all(work_.Native(), ec);
        std::exit(code);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
