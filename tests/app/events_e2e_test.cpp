// The real program telling the user what it did and ending when told to:
// SIGTERM during a first backup ends the program as its exit command does,
// and the next start finishes the backup; its burst of copies reaches the
// activity log whole (whatever the window's queue drops) and each copy once;
// a name holding line breaks stays one escaped line; a read-only destination
// is reported with its real cause and its files wait for it.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "ProgramRun.h"
#include "support/ReadOnlyFolder.h"

namespace fs = std::filesystem;

namespace {

using bvtest::CountOf;
using bvtest::WaitFor;

// A plan whose first backup is still to do, over count files.
void WriteBurst(bvtest::ProgramWorld& w, int count) {
  for (int i = 0; i < count; ++i)
    w.Put("src/f" + std::to_string(i) + ".txt", "file " + std::to_string(i));
  w.Plan(1, "Burst", "E:\\Store\\", {"src"}, false);
  w.data.WritePlanList({1});
}

TEST(EventsEndToEndTest, SigtermCutsAFirstBackupTheNextStartLogsTheRestOnce) {
  constexpr int kFiles = 3000;
  bvtest::ProgramWorld w;
  ASSERT_TRUE(w.Ok());
  WriteBurst(w, kFiles);
  w.Put("src/inj\r\n#Plan Deleted\r\nPlan Name = Burst\r\nx.txt", "forged");
  // The window takes its events every 3 s: far more copies than its queue
  // holds come in between.
  auto env = w.Inotify();
  env.emplace_back("BREVANTO_PUMP_INTERVAL_MS", "3000");
  QProcess* program = w.Start(env);
  ASSERT_NE(program, nullptr);
  ASSERT_TRUE(
      WaitFor([&] { return w.Log().find("#Backup File Success") != std::string::npos; }, 300))
      << w.Stderr();
  // Seconds, not minutes: the limit only keeps a hang from stalling the run.
  ASSERT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));
  EXPECT_TRUE(w.TraceHas("exit-signal"));
  EXPECT_TRUE(w.TraceHas("instance-exit"));
  EXPECT_FALSE(w.FirstBackupDone()) << "the walk was cut short";

  program = w.Start(env);
  ASSERT_NE(program, nullptr);
  EXPECT_FALSE(w.TraceHas("refused-running"));
  EXPECT_FALSE(w.TraceHas("refused-another-user"));
  // The walk ends, the files it left waiting are copied: every copy once
  // over both runs, however fast they came (one more pump period changes
  // nothing).
  auto copies = [&] { return CountOf(w.Log(), "#Backup File Success"); };
  ASSERT_TRUE(WaitFor([&] { return w.FirstBackupDone() && copies() >= kFiles + 1; }, 600))
      << copies() << "\n"
      << w.Stderr();
  QThread::msleep(3500);
  const std::string log = w.Log();
  EXPECT_EQ(CountOf(log, "#Backup File Success"), size_t(kFiles + 1));
  // Each run's walk is logged from its start to its end, the cut one too.
  EXPECT_EQ(CountOf(log, "#Plan Initial Backup Start"), 2u);
  EXPECT_EQ(CountOf(log, "#Plan Initial Backup End "), 2u);
  EXPECT_EQ(log.find("#Backup File Fail"), std::string::npos);
  EXPECT_EQ(CountOf(log, "Source Path = " + w.HomeSys("src/f2999.txt") + "\r"), 1u);
  // The odd name is one line with its breaks escaped; nothing forged.
  EXPECT_EQ(CountOf(log, "Source Path = " + w.HomeSys("src/inj") +
                             "\\x0D\\x0A#Plan Deleted\\x0D\\x0APlan Name = Burst\\x0D\\x0Ax.txt\r"),
            1u);
  EXPECT_EQ(log.find("\n#Plan Deleted"), std::string::npos);
  EXPECT_EQ(log.find("\nPlan Name = Burst\r\r\nx.txt"), std::string::npos);
  // SIGHUP ends it the same way.
  EXPECT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGHUP));
}

// A destination on a disk that turned read-only: every copy of the first
// backup fails and the log says why (code 19, write protected), one pop-up
// says so, "Last backup" stays unset; once the disk is writable the failed
// files are tried again and copied, and the time of that copy is in the plan
// file and stays there over a restart.
TEST(EventsEndToEndTest, ReadOnlyDestinationIsReportedAndItsFilesWaitForTheDisk) {
  bvtest::ProgramWorld w;
  ASSERT_TRUE(w.Ok());
  WriteBurst(w, 3);
  // The store's folder turns read-only (the volume's root stays as it is).
  const std::string disk = w.data.Volume('E') + "/Store";
  fs::create_directories(disk);
  bvtest::ReadOnlyFolder readOnly(disk);
  if (!readOnly.Failure().empty()) GTEST_SKIP() << readOnly.Failure();
  const std::string popups = w.work.NativeOf("popups.log");
  auto env = w.Inotify();
  env.emplace_back("BREVANTO_POPUP_LOG", popups);
  QProcess* program = w.Start(env);
  ASSERT_NE(program, nullptr);
  const std::string said = "Error = Code: 19, Error: The media is write protected.\r";
  ASSERT_TRUE(WaitFor([&] { return CountOf(w.Log(), said) >= 3; }, 120)) << w.Log();
  ASSERT_TRUE(WaitFor([&] { return w.FirstBackupDone(); }));
  EXPECT_EQ(w.Log().find("#Backup File Success"), std::string::npos);
  EXPECT_EQ(w.Log().find("Code: 3,"), std::string::npos);
  EXPECT_NE(w.PlanIni().find("LastBackupTime=0\n"), std::string::npos);
  // Retried files do not say it again.
  ASSERT_TRUE(WaitFor([&] { return CountOf(w.Log(), said) >= 6; }));
  EXPECT_EQ(CountOf(bvtest::ReadNative(popups), "write protected"), 1u)
      << bvtest::ReadNative(popups);

  ASSERT_TRUE(readOnly.MakeWritable());
  ASSERT_TRUE(WaitFor([&] { return CountOf(w.Log(), "#Backup File Success") >= 3; }, 180))
      << w.Log();
  std::string stored;
  ASSERT_TRUE(WaitFor(
      [&] {
        const std::string plan = w.PlanIni();
        const size_t at = plan.find("LastBackupTime=");
        if (at == std::string::npos) return false;
        stored = plan.substr(at, plan.find('\n', at) - at);
        return stored != "LastBackupTime=0";
      },
      30));
  EXPECT_EQ(bvtest::ReadNative(w.InStore("src/f2.txt")), "file 2");

  // A restart: the time is read back and written out unchanged.
  ASSERT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));
  program = w.Start(env);
  ASSERT_NE(program, nullptr);
  ASSERT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));
  EXPECT_NE(w.PlanIni().find(stored + "\n"), std::string::npos);
}

}  // namespace
