// Start-up of the real program: the silent flag and the window decision, the
// gate that keeps one instance, waits for an exiting one and refuses another
// user's, the first-start flag, lock files planted by others, the socket
// later starts talk to, exit processing, and the help key.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <QApplication>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTextBrowser>
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

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

// Holds a lock file with flock, as another process holding the mutex would.
class HeldLock {
 public:
  explicit HeldLock(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) Release();
  }
  ~HeldLock() { Release(); }
  bool Held() const { return fd_ >= 0; }
  void Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

int RunOnceValue() {
  return plat::GetProfileInt(GetInternalSettingsPath(), "General", "RunOnce", 1);
}

TEST(StartModeTest, SilentFlagCommandLineAndWindowDecision) {
  const std::vector<std::pair<std::string, bool>> lines = {{"brevanto -s", true},
                                                           {"-s", true},
                                                           {"brevanto x-s", true},
                                                           {"brevanto -sx", false},
                                                           {"brevanto -s ", false},
                                                           {"brevanto -S", false},
                                                           {"brevanto -s -x", false},
                                                           {"s", false},
                                                           {"", false}};
  for (const auto& [line, silent] : lines) EXPECT_EQ(IsSilentCommandLine(line), silent) << line;
  const char* plain[] = {"/opt/b/brevanto", "-s"};
  EXPECT_EQ(JoinCommandLine(2, plain), "/opt/b/brevanto -s");
  // An argument with a blank is quoted, so "a -s" as one argument is not silent.
  const char* quoted[] = {"/opt/b/brevanto", "a -s"};
  EXPECT_EQ(JoinCommandLine(2, quoted), "/opt/b/brevanto \"a -s\"");
  const char* empty[] = {"brevanto", ""};
  EXPECT_EQ(JoinCommandLine(2, empty), "brevanto \"\"");

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

// One data folder, start after start: refused while another initialises,
// given up while an exiting one stays, refused with a message while another
// user's runs; then a first start that waits for an exiting instance, a
// second start that shows the first and ends, and a start after the first
// was killed; lock files planted in the shared folder stop nobody.
TEST(StartupTest, GateRefusesWaitsAndShowsOneInstance) {
  bvtest::ProgramWorld w;
  w.data.ApplyEnvironment(false);
  ResetSettingsCache();
  auto trace = [&](const std::string& name) { return w.work.NativeOf(name + ".trace"); };
  auto has = [&](const std::string& name, const std::string& line) {
    return ("\n" + bvtest::ReadNative(trace(name))).find("\n" + line + "\n") != std::string::npos;
  };
  auto start = [&](const std::string& name, const QStringList& args = {},
                   std::vector<std::pair<std::string, std::string>> extra = {}) {
    extra.emplace_back("BREVANTO_TRACE_LOG", trace(name));
    return w.Start(extra, args, false, false);
  };
  auto endsWithZero = [](QProcess* p) {
    return p->waitForFinished(60000) && p->exitStatus() == QProcess::NormalExit &&
           p->exitCode() == 0;
  };
  const std::string messages = w.data.MessageLog();
  EXPECT_EQ(RunOnceValue(), 1);
  {
    HeldLock initializing(plat::NamedMutexFile("BrevantoInitializing"));
    ASSERT_TRUE(initializing.Held());
    ASSERT_TRUE(endsWithZero(start("initializing")));
    EXPECT_EQ(bvtest::ReadNative(trace("initializing")), "refused-initializing\ninstance-exit\n");
    initializing.Release();
    HeldLock exiting(plat::NamedMutexFile("BrevantoExiting"));
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
  HeldLock exiting(plat::NamedMutexFile("BrevantoExiting"));
  ASSERT_TRUE(exiting.Held());
  QProcess* first = start("first", {"-s"});
  ASSERT_TRUE(WaitFor([&] { return has("first", "waiting-exiting"); }));
  QThread::msleep(1000);
  EXPECT_FALSE(has("first", "shown"));
  exiting.Release();
  // The first start after installing, silent or not, shows the window and
  // the first-use routine (traced just after it).
  ASSERT_TRUE(WaitFor([&] { return has("first", "first-use"); }))
      << bvtest::ReadNative(trace("first"));
  for (const char* line : {"first-start", "start-silent", "shown"})
    EXPECT_TRUE(has("first", line)) << line;
  EXPECT_FALSE(has("first", "refused-another-user"));
  EXPECT_EQ(RunOnceValue(), 0);

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

  // Killed without exit processing (its count stays in the block), with a
  // private lock file of another user planted: the next start runs; "-sx"
  // is no silent flag.
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
  // SIGHUP ends it as the exit command does, and exit processing gives
  // back the count, the socket and the other-user mutex.
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
