// The real program telling the user what it did and ending when told to: a
// first backup's burst of copies reaches the activity log whole (whatever the
// window's queue drops) and each copy once, a name holding line breaks stays
// one escaped line, SIGTERM during a backup ends the program as its exit
// command does, a read-only destination is reported with its real cause and
// its files wait for it, and lock files planted in the shared folder stop
// nobody.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <QProcess>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ProgramRun.h"
#include "support/DataFolder.h"
#include "support/QtApp.h"
#include "support/ReadOnlyFolder.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using bvtest::WaitFor;

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class EventsEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bvtest::App();
    ASSERT_FALSE(source_.Native().empty()) << "cannot make a folder under $HOME";
    fs::create_directories(source_.NativeOf("src"));
    bvtest::PlanFiles plan;
    plan.id = 1;
    plan.name = "Burst";
    plan.storePath = "E:\\Store\\";
    plan.sources = {source_.SystemOf("src")};
    data_.WritePlan(plan);  // the first backup is still to do
    data_.WritePlanList({1});
  }

  void TearDown() override {
    for (auto& p : processes_) {
      if (p->state() != QProcess::NotRunning) {
        p->kill();
        p->waitForFinished(10000);
      }
    }
  }

  void MakeFiles(int count) {
    for (int i = 0; i < count; ++i) {
      source_.Write("src/f" + std::to_string(i) + ".txt", "file " + std::to_string(i));
    }
  }

  // pumpMs: the window's event pump period (a busy interface thread).
  QProcess* Start(const std::string& pumpMs = {},
                  std::vector<std::pair<std::string, std::string>> extra = {}) {
    extra.insert(extra.end(), {{"BREVANTO_CHANGE_SOURCE", "inotify"},
                               {"BREVANTO_CHANGE_ROOTS", source_.Native()},
                               {"BREVANTO_PUMP_INTERVAL_MS", pumpMs}});
    auto p = bvtest::StartProgram(data_, extra);
    EXPECT_NE(p, nullptr);
    if (!p) return nullptr;
    processes_.push_back(std::move(p));
    return processes_.back().get();
  }

  bool TraceHas(const std::string& line) const {
    const std::string text = "\n" + bvtest::ReadNative(data_.TraceLog());
    return text.find("\n" + line + "\n") != std::string::npos;
  }

  bvtest::TempDir work_;
  bvtest::DataFolder data_{work_.Native()};
  // Under $HOME: the built-in exclusions leave the temporary folders out.
  bvtest::TempDir source_{bvtest::TempDir::Where::kHome};
  std::vector<std::unique_ptr<QProcess>> processes_;
};

TEST_F(EventsEndToEndTest, BurstOfFirstBackupCopiesIsLoggedWholeAndNamesStayOneLine) {
  constexpr int kFiles = 3000;
  MakeFiles(kFiles);
  source_.Write("src/inj\r\n#Plan Deleted\r\nPlan Name = Burst\r\nx.txt", "forged");
  // The window takes its events every 3 s: far more copies than its queue
  // holds come in between.
  QProcess* program = Start("3000");
  ASSERT_NE(program, nullptr);
  // The plan file says when the walk is over; its records follow shortly.
  ASSERT_TRUE(WaitFor(
      [&] {
        const std::string plan = bvtest::ReadNative(data_.Data("PLAN/1/Plan.ini"));
        return plan.find("Name=") != std::string::npos &&
               plan.find("InitDone=0") == std::string::npos;
      },
      600))
      << bvtest::ReadNative(data_.StderrLog());
  WaitFor([&] { return data_.LogText().find("#Plan Initial Backup End ") != std::string::npos; },
          20);
  const std::string log = data_.LogText();
  // Every copy once, however fast they came.
  EXPECT_EQ(CountOf(log, "#Backup File Success"), size_t(kFiles + 1));
  EXPECT_EQ(CountOf(log, "#Plan Initial Backup Start"), 1u);
  EXPECT_EQ(CountOf(log, "#Plan Initial Backup End "), 1u);
  EXPECT_EQ(log.find("#Backup File Fail"), std::string::npos);
  EXPECT_EQ(CountOf(log, "Source Path = " + source_.SystemOf("src/f2999.txt") + "\r"), 1u);
  // The odd name is one line with its breaks escaped; nothing forged.
  EXPECT_EQ(CountOf(log, "Source Path = " + source_.SystemOf("src/inj") +
                             "\\x0D\\x0A#Plan Deleted\\x0D\\x0APlan Name = Burst\\x0D\\x0Ax.txt\r"),
            1u);
  EXPECT_EQ(log.find("\n#Plan Deleted"), std::string::npos);
  EXPECT_EQ(log.find("\nPlan Name = Burst\r\r\nx.txt"), std::string::npos);
  EXPECT_EQ(program->state(), QProcess::Running);
}

TEST_F(EventsEndToEndTest, SigtermDuringABackupEndsLikeTheExitCommandAndTheNextStartRuns) {
  MakeFiles(3000);
  QProcess* program = Start();
  ASSERT_NE(program, nullptr);
  ASSERT_TRUE(WaitFor(
      [&] { return data_.LogText().find("#Backup File Success") != std::string::npos; }, 300))
      << bvtest::ReadNative(data_.StderrLog());
  ASSERT_EQ(::kill(pid_t(program->processId()), SIGTERM), 0);
  // Seconds, not minutes: the limit only keeps a hang from stalling the run.
  ASSERT_TRUE(program->waitForFinished(30000)) << "still running after SIGTERM";
  EXPECT_EQ(program->exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program->exitCode(), 0);
  EXPECT_TRUE(TraceHas("exit-signal"));
  EXPECT_TRUE(TraceHas("instance-exit"));
  // The walk was cut short: the first backup is still to finish.
  EXPECT_NE(bvtest::ReadNative(data_.Data("PLAN/1/Plan.ini")).find("InitDone=0"),
            std::string::npos);

  fs::remove(data_.TraceLog());
  QProcess* next = Start();
  ASSERT_NE(next, nullptr);
  ASSERT_TRUE(bvtest::WaitUntilRunning(data_)) << bvtest::ReadNative(data_.StderrLog());
  EXPECT_FALSE(TraceHas("refused-running"));
  EXPECT_FALSE(TraceHas("refused-another-user"));
  // SIGINT and SIGHUP end it the same way.
  ASSERT_EQ(::kill(pid_t(next->processId()), SIGHUP), 0);
  ASSERT_TRUE(next->waitForFinished(30000));
  EXPECT_EQ(next->exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(next->exitCode(), 0);
}

// A destination on a disk that turned read-only: every copy of the first
// backup fails and the log says why (code 19, write protected), one pop-up
// says so, "Last backup" stays unset; once the disk is writable the failed
// files are tried again and copied, and the time of that copy is in the plan
// file and stays there over a restart.
TEST_F(EventsEndToEndTest, ReadOnlyDestinationIsReportedAndItsFilesWaitForTheDisk) {
  MakeFiles(3);
  // The store's folder turns read-only (the volume's root stays as it is).
  const std::string disk = data_.Volume('E') + "/Store";
  fs::create_directories(disk);
  bvtest::ReadOnlyFolder readOnly(disk);
  if (!readOnly.Failure().empty()) GTEST_SKIP() << readOnly.Failure();
  const std::string popups = work_.NativeOf("popups.log");
  QProcess* program = Start({}, {{"BREVANTO_POPUP_LOG", popups}});
  ASSERT_NE(program, nullptr);
  const std::string said = "Error = Code: 19, Error: The media is write protected.\r";
  ASSERT_TRUE(WaitFor([&] { return CountOf(data_.LogText(), said) >= 3; }, 120)) << data_.LogText();
  ASSERT_TRUE(WaitFor(
      [&] {
        return bvtest::ReadNative(data_.Data("PLAN/1/Plan.ini")).find("InitDone=0") ==
               std::string::npos;
      },
      60));
  EXPECT_EQ(data_.LogText().find("#Backup File Success"), std::string::npos);
  EXPECT_EQ(data_.LogText().find("Code: 3,"), std::string::npos);
  EXPECT_NE(bvtest::ReadNative(data_.Data("PLAN/1/Plan.ini")).find("LastBackupTime=0\n"),
            std::string::npos);
  // Retried files do not say it again.
  ASSERT_TRUE(WaitFor([&] { return CountOf(data_.LogText(), said) >= 6; }, 60));
  EXPECT_EQ(CountOf(bvtest::ReadNative(popups), "write protected"), 1u)
      << bvtest::ReadNative(popups);

  ASSERT_TRUE(readOnly.MakeWritable());
  ASSERT_TRUE(WaitFor([&] { return CountOf(data_.LogText(), "#Backup File Success") >= 3; }, 180))
      << data_.LogText();
  std::string stored;
  ASSERT_TRUE(WaitFor(
      [&] {
        const std::string plan = bvtest::ReadNative(data_.Data("PLAN/1/Plan.ini"));
        const size_t at = plan.find("LastBackupTime=");
        if (at == std::string::npos) return false;
        stored = plan.substr(at, plan.find('\n', at) - at);
        return stored != "LastBackupTime=0";
      },
      30));
  EXPECT_EQ(bvtest::ReadNative(disk + "/Latest/C" + source_.NativeOf("src/f2.txt")), "file 2");

  // A restart: the time is read back and written out unchanged.
  ASSERT_EQ(::kill(pid_t(program->processId()), SIGTERM), 0);
  ASSERT_TRUE(program->waitForFinished(30000));
  fs::remove(data_.TraceLog());
  QProcess* next = Start();
  ASSERT_NE(next, nullptr);
  ASSERT_TRUE(bvtest::WaitUntilRunning(data_));
  ASSERT_EQ(::kill(pid_t(next->processId()), SIGTERM), 0);
  ASSERT_TRUE(next->waitForFinished(30000));
  EXPECT_NE(bvtest::ReadNative(data_.Data("PLAN/1/Plan.ini")).find(stored + "\n"),
            std::string::npos);
}

TEST_F(EventsEndToEndTest, LockFilesPlantedInTheSharedFolderStopNobody) {
  const std::string planted = data_.Work() + "/global/Brevanto-BrevantoIsRunning.lock";
  struct Plant {
    const char* what;
    bool link;
  };
  for (const Plant plant :
       {Plant{"a link", true}, Plant{"a private file of another user", false}}) {
    fs::remove(planted);
    if (plant.link) {
      fs::create_symlink("/etc/passwd", planted);
    } else {
      bvtest::WriteNative(planted, "");
      ASSERT_EQ(::chmod(planted.c_str(), 0600), 0);
      if (::getuid() == 0) {
        ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
      }
    }
    fs::remove(data_.TraceLog());
    QProcess* p = Start();
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(WaitFor([&] {
      return TraceHas("refused-another-user") || TraceHas("shown") || TraceHas("hidden");
    })) << plant.what;
    EXPECT_FALSE(TraceHas("refused-another-user")) << plant.what;
    EXPECT_EQ(p->state(), QProcess::Running) << plant.what;
    p->kill();
    p->waitForFinished(10000);
  }
}

}  // namespace
