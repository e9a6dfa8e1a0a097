// Start-up of the real program: the silent flag, the window decision, the gate
// that keeps one instance, exit processing, and the help key.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTextBrowser>
#include <algorithm>
#include <string>

#include "ProgramRun.h"
#include "app/gui/CHelpKeyFilter.h"
#include "app/gui/CInstanceServer.h"
#include "app/gui/StartMode.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "platform/Locks.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

namespace fs = std::filesystem;

namespace {

using bvtest::WaitFor;

TEST(StartModeTest, SilentFlagCommandLineAndWindowDecision) {
  for (const char* line : {"brevanto -s", "-s", "brevanto x-s"})
    EXPECT_TRUE(IsSilentCommandLine(line)) << line;
  for (const char* line :
       {"brevanto -sx", "brevanto -s ", "brevanto -S", "brevanto -s -x", "s", ""})
    EXPECT_FALSE(IsSilentCommandLine(line)) << line;
  // An argument with a blank is quoted, so "a -s" as one argument is not silent.
  const std::pair<const char*, const char*> args[] = {{"-s", "/opt/b/brevanto -s"},
                                                      {"a -s", "/opt/b/brevanto \"a -s\""},
                                                      {"", "/opt/b/brevanto \"\""}};
  for (const auto& [arg, line] : args) {
    const char* argv[] = {"/opt/b/brevanto", arg};
    EXPECT_EQ(JoinCommandLine(2, argv), line);
  }

  // Hidden only on a later silent start with plans; no plan: the first-use routine.
  EXPECT_EQ(DecideStartWindow(true, 0, 2), StartWindow::kHide);
  EXPECT_EQ(DecideStartWindow(true, 1, 2), StartWindow::kShow);
  EXPECT_EQ(DecideStartWindow(false, 0, 2), StartWindow::kShow);
  EXPECT_EQ(DecideStartWindow(false, 1, 1), StartWindow::kShow);
  for (bool silent : {false, true})
    for (int runOnce : {0, 1})
      EXPECT_EQ(DecideStartWindow(silent, runOnce, 0), StartWindow::kShowFirstUse);
  EXPECT_EQ(PlanCount(), 0);
}

// Start after start on one data folder: refused while another initialises,
// while an exiting one stays, while another user's runs; a first start that
// waits for an exiting one, a second that shows the first, a start after a
// kill; planted lock files stop nobody.
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
    EXPECT_TRUE(has("gives-up", "refused-exiting"));
    EXPECT_FALSE(has("gives-up", "shown"));
    EXPECT_EQ(bvtest::ReadNative(messages), "");
  }
  {
    // Held by this process, as another user's instance would hold it.
    plat::NamedMutex global;
    ASSERT_EQ(global.Create("Global\\BrevantoIsRunning"), plat::MutexResult::kCreated);
    ASSERT_TRUE(endsWithZero(start("other")));
    EXPECT_TRUE(has("other", "refused-another-user"));
    EXPECT_FALSE(has("other", "shown"));
    std::string expected = GetText("MAIN_UI", "ANOTHER_USER");
    ASSERT_FALSE(expected.empty());
    std::replace(expected.begin(), expected.end(), '\n', ' ');
    std::string said = bvtest::ReadNative(messages);
    if (!said.empty() && said.back() == '\n') said.pop_back();
    EXPECT_EQ(said, expected);
    fs::remove(messages);
  }

  // A link planted where the other-user lock lies; an instance exiting.
  const std::string planted = w.work.NativeOf("global/Brevanto-BrevantoIsRunning.lock");
  fs::remove(planted);
  fs::create_symlink("/etc/passwd", planted);
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
  for (const char* line : {"first-start", "start-silent", "shown"})
    EXPECT_TRUE(has("first", line)) << line;
  EXPECT_FALSE(has("first", "refused-another-user"));
  EXPECT_EQ(runOnce(), 0);

  // The first instance publishes its socket after showing.
  plat::InstanceBlock block(fs::canonical(BV_EXE_PATH).string());
  ASSERT_TRUE(WaitFor([&] { return !block.GetWindowHandle().empty(); }));
  ASSERT_TRUE(endsWithZero(start("second")));
  EXPECT_TRUE(has("second", "sent-show"));
  EXPECT_TRUE(has("second", "refused-running"));
  EXPECT_FALSE(has("second", "shown"));
  EXPECT_TRUE(WaitFor([&] { return has("first", "show-request"); }));
  EXPECT_EQ(first->state(), QProcess::Running);
  EXPECT_EQ(block.Count(), 1);  // the refused start took its count back

  // Killed (its count stays in the block), another user's private lock file
  // planted: the next start runs.
  bvtest::ProgramWorld::Kill(first);
  fs::remove(planted);
  bvtest::WriteNative(planted, "");
  chmod(planted.c_str(), 0600);
  ASSERT_TRUE(geteuid() != 0 || chown(planted.c_str(), 65534, 65534) == 0);
  QProcess* next = start("next", {"-sx"});
  ASSERT_TRUE(WaitFor([&] { return has("next", "shown"); })) << bvtest::ReadNative(trace("next"));
  EXPECT_TRUE(has("next", "start-normal"));
  for (const char* line : {"refused-running", "refused-another-user", "first-start"})
    EXPECT_FALSE(has("next", line)) << line;
  // SIGHUP ends it as the exit command does: the count, socket and mutex given back.
  ASSERT_TRUE(WaitFor([&] { return !block.GetWindowHandle().empty(); }));
  const std::string handle = block.GetWindowHandle();
  EXPECT_TRUE(plat::NamedMutexExists("Global\\BrevantoIsRunning"));
  EXPECT_TRUE(bvtest::ProgramWorld::EndsWithZero(next, SIGHUP));
  EXPECT_TRUE(has("next", "exit-signal"));
  EXPECT_TRUE(has("next", "instance-exit"));
  EXPECT_EQ(block.Count(), 0);
  EXPECT_TRUE(block.GetWindowHandle().empty());
  EXPECT_FALSE(plat::NamedMutexExists("Global\\BrevantoIsRunning"));
  EXPECT_FALSE(CInstanceServer::SendShow(handle));
  EXPECT_EQ(bvtest::ReadNative(messages), "");
}

TEST(HelpKeyTest, F1IsConsumedAndOpensTheHelpFile) {
  bvtest::App();
  QTextBrowser recorder;  // stands in for the desktop's file opener
  QList<QUrl> opened;
  QObject::connect(&recorder, &QTextBrowser::sourceChanged,
                   [&opened](const QUrl& url) { opened.append(url); });
  QDesktopServices::setUrlHandler("file", &recorder, "setSource");
  CHelpKeyFilter filter;
  qApp->installEventFilter(&filter);
  QLineEdit edit;
  QKeyEvent f1(QEvent::KeyPress, Qt::Key_F1, Qt::NoModifier);
  QApplication::sendEvent(&edit, &f1);
  QKeyEvent letter(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
  QApplication::sendEvent(&edit, &letter);
  qApp->removeEventFilter(&filter);
  QDesktopServices::unsetUrlHandler("file");
  std::string expected;
  ASSERT_TRUE(plat::ToNativePath(GetProgramFolder() + "Help\\Brevanto.html", &expected));
  ASSERT_EQ(opened.size(), 1);
  EXPECT_EQ(opened[0].toLocalFile().toStdString(), expected);
  EXPECT_TRUE(fs::exists(expected)) << "the help is shipped next to the program";
  EXPECT_EQ(edit.text(), "a");  // other keys pass
}

}  // namespace
