// Start-up of the real program: the gate that keeps one instance, and exit processing.
#include "ProgramRun.h"
#include "app/gui/CInstanceServer.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "platform/process/Locks.h"
#include "platform/profile/Profile.h"

namespace {

// Starts refused, waiting or showing the first instance; exit processing.
TEST(StartupTest, GateRefusesWaitsAndShowsOneInstance) {
  bvtest::ProgramWorld w;
  w.data.ApplyEnvironment(false);
  ResetSettingsCache();
  auto trace = [&](const std::string& name) { return w.work.NativeOf(name + ".trace"); };
  auto has = [&](const std::string& name, const std::string& line) {
    return ("\n" + bvtest::ReadNative(trace(name))).find("\n" + line + "\n") != std::string::npos;
  };
  auto start = [&](const std::string& name, const QStringList& args = {}, bvtest::Env extra = {}) {
    extra.emplace_back("BREVANTO_TRACE_LOG", trace(name));
    return w.Start(extra, args, false, false);
  };
  // Every line of yes in the named trace, none of no.
  auto traced = [&](const std::string& name, std::vector<std::string> yes,
                    std::vector<std::string> no) {
    for (const std::string& line : yes) EXPECT_TRUE(has(name, line)) << name << ": " << line;
    for (const std::string& line : no) EXPECT_FALSE(has(name, line)) << name << ": " << line;
  };
  auto endsWithZero = [](QProcess* p) { return bvtest::ProgramWorld::EndsWithZero(p); };
  auto runOnce = [] {
    return plat::GetProfileInt(GetInternalSettingsPath(), "General", "RunOnce", 1);
  };
  const std::string messages = w.data.MessageLog();
  EXPECT_EQ(runOnce(), 1);
  {
    plat::NamedMutex initializing;
    ASSERT_EQ(initializing.Create("BrevantoInitializing"), plat::MutexResult::kCreated);
    ASSERT_TRUE(endsWithZero(start("initializing")));
    EXPECT_EQ(bvtest::ReadNative(trace("initializing")), "refused-initializing\ninstance-exit\n");
    initializing.Close();
    plat::NamedMutex exiting;
    ASSERT_EQ(exiting.Create("BrevantoExiting"), plat::MutexResult::kCreated);
    ASSERT_TRUE(endsWithZero(start("gives-up", {}, {{"BREVANTO_EXITING_TRIES", "3"}})));
    traced("gives-up", {"refused-exiting"}, {"shown"});
    EXPECT_EQ(bvtest::ReadNative(messages), "");
  }
  {
    // Held by this process, as another user's instance would hold it.
    plat::NamedMutex global;
    ASSERT_EQ(global.Create("Global\\BrevantoIsRunning"), plat::MutexResult::kCreated);
    ASSERT_TRUE(endsWithZero(start("other")));
    traced("other", {"refused-another-user"}, {"shown"});
    std::string expected = GetText("MAIN_UI", "ANOTHER_USER");
    ASSERT_FALSE(expected.empty());
    std::replace(expected.begin(), expected.end(), '\n', ' ');
    EXPECT_EQ(bvtest::ReadNative(messages), expected + "\n");
    fs::remove(messages);
  }

  // An instance exiting: the start waits for it.
  plat::NamedMutex exiting;
  ASSERT_EQ(exiting.Create("BrevantoExiting"), plat::MutexResult::kCreated);
  QProcess* first = start("first", {"-s"});
  ASSERT_TRUE(WaitFor([&] { return has("first", "waiting-exiting"); }));
  QThread::msleep(1000);
  EXPECT_FALSE(has("first", "shown"));
  exiting.Close();
  // The first start after installing, silent or not, shows the first-use routine.
  ASSERT_TRUE(WaitFor([&] { return has("first", "first-use"); }))
      << bvtest::ReadNative(trace("first"));
  traced("first", {"first-start", "start-silent", "shown"}, {"refused-another-user"});
  EXPECT_EQ(runOnce(), 0);

  // The first instance publishes its socket after showing.
  plat::InstanceBlock block(fs::canonical(BV_EXE_PATH).string());
  ASSERT_TRUE(WaitFor([&] { return !block.GetWindowHandle().empty(); }));
  ASSERT_TRUE(endsWithZero(start("second")));
  traced("second", {"sent-show", "refused-running"}, {"shown"});
  EXPECT_TRUE(WaitFor([&] { return has("first", "show-request"); }));
  EXPECT_EQ(first->state(), QProcess::Running);
  EXPECT_EQ(block.Count(), 1);  // the refused start took its count back

  // Killed (its count stays): the next start runs.
  bvtest::ProgramWorld::Kill(first);
  // Its only plan cannot be loaded: the window says so instead of starting afresh.
  w.Plan(9, "Unit nine", "E:\\Store\\", {"docs"});
  w.SetPlanKey(9, "ScheduleUnit", "9");
  w.data.WritePlanList({9});
  QProcess* next = start("next", {"-sx"});
  ASSERT_TRUE(WaitFor([&] { return has("next", "shown"); })) << bvtest::ReadNative(trace("next"));
  traced("next", {"start-normal"},
         {"refused-running", "refused-another-user", "first-start", "first-use"});
  // SIGHUP ends it as the exit command does: the count, socket and mutex given back.
  ASSERT_TRUE(WaitFor([&] { return !block.GetWindowHandle().empty(); }));
  const std::string handle = block.GetWindowHandle();
  EXPECT_TRUE(plat::NamedMutexExists("Global\\BrevantoIsRunning"));
  EXPECT_TRUE(bvtest::ProgramWorld::EndsWithZero(next, SIGHUP));
  traced("next", {"exit-signal", "instance-exit"}, {});
  EXPECT_EQ(block.Count(), 0);
  EXPECT_TRUE(block.GetWindowHandle().empty());
  EXPECT_FALSE(plat::NamedMutexExists("Global\\BrevantoIsRunning"));
  EXPECT_FALSE(CInstanceServer::SendShow(handle));
  EXPECT_EQ(bvtest::ReadNative(messages), "");
}

}  // namespace
