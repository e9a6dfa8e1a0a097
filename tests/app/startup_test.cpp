// Start-up of the real program: single instance, the other-user lock, the
// exiting wait, silent starts and the first-start flag, each run against the
// built executable in its own runtime, lock and data folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProcess>
#include <QTextBrowser>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/gui/CBrevantoApp.h"
#include "app/gui/CHelpKeyFilter.h"
#include "app/gui/CInstanceServer.h"
#include "app/gui/StartMode.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "platform/Locks.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "support/QtApp.h"
#include "support/TempDir.h"
#include "ui/CMainFrame.h"

namespace {

using bvtest::App;

std::vector<std::string> ReadLines(const std::string& file) {
  std::vector<std::string> lines;
  std::string text = bvtest::ReadNative(file);
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

bool HasLine(const std::string& file, const std::string& line) {
  auto lines = ReadLines(file);
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Index of a line in the file, -1 when absent.
int LineIndex(const std::string& file, const std::string& line) {
  auto lines = ReadLines(file);
  auto it = std::find(lines.begin(), lines.end(), line);
  return it == lines.end() ? -1 : int(it - lines.begin());
}

// Polls until the line appears; the limit only guards against a hang.
bool WaitForLine(const std::string& file, const std::string& line) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < limit) {
    if (HasLine(file, line)) return true;
    QThread::msleep(50);
  }
  return false;
}

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

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* sub : {"run", "global", "data", "config"}) {
      std::filesystem::create_directories(dir_.NativeOf(sub));
    }
    std::filesystem::permissions(dir_.NativeOf("run"), std::filesystem::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", dir_.NativeOf("run").c_str(), 1);
    setenv("BREVANTO_GLOBAL_LOCK_DIR", dir_.NativeOf("global").c_str(), 1);
    setenv("BREVANTO_DATA_DIR", dir_.NativeOf("data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", dir_.NativeOf("config").c_str(), 1);
    ResetSettingsCache();
    App();
  }

  void TearDown() override {
    for (auto& p : processes_) {
      if (p->state() != QProcess::NotRunning) {
        p->kill();
        p->waitForFinished(10000);
      }
    }
  }

  std::string Trace(const std::string& name) const { return dir_.NativeOf(name + ".trace"); }
  std::string Messages() const { return dir_.NativeOf("messages.log"); }

  // Starts the program; its decisions go to Trace(name).
  QProcess* Start(const std::string& name, const QStringList& args = {},
                  const QStringList& extraEnv = {}) {
    auto p = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("BREVANTO_TRACE_LOG", QString::fromStdString(Trace(name)));
    env.insert("BREVANTO_MESSAGE_LOG", QString::fromStdString(Messages()));
    for (const QString& kv : extraEnv) env.insert(kv.section('=', 0, 0), kv.section('=', 1));
    p->setProcessEnvironment(env);
    p->setStandardOutputFile(QProcess::nullDevice());
    p->setStandardErrorFile(QProcess::nullDevice());
    p->start(QStringLiteral(BV_EXE_PATH), args);
    EXPECT_TRUE(p->waitForStarted(10000));
    processes_.push_back(std::move(p));
    return processes_.back().get();
  }

  // Waits for a refused or ended start and checks that it exited with 0.
  static void ExpectExitsWithZero(QProcess* p) {
    ASSERT_TRUE(p->waitForFinished(60000));
    EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p->exitCode(), 0);
  }

  int RunOnceValue() const {
    return plat::GetProfileInt(GetInternalSettingsPath(), "General", "RunOnce", 1);
  }

  bvtest::TempDir dir_;
  std::vector<std::unique_ptr<QProcess>> processes_;
};

TEST(StartModeTest, SilentOnlyWhenTheWholeLineEndsWithDashS) {
  EXPECT_TRUE(IsSilentCommandLine("brevanto -s"));
  EXPECT_TRUE(IsSilentCommandLine("-s"));
  EXPECT_TRUE(IsSilentCommandLine("brevanto x-s"));
  EXPECT_FALSE(IsSilentCommandLine("brevanto -sx"));
  EXPECT_FALSE(IsSilentCommandLine("brevanto -s "));
  EXPECT_FALSE(IsSilentCommandLine("brevanto -S"));
  EXPECT_FALSE(IsSilentCommandLine("brevanto -s -x"));
  EXPECT_FALSE(IsSilentCommandLine("s"));
  EXPECT_FALSE(IsSilentCommandLine(""));

  const char* plain[] = {"/opt/b/brevanto", "-s"};
  EXPECT_EQ(JoinCommandLine(2, plain), "/opt/b/brevanto -s");
  // An argument with a blank is quoted, so "a -s" as one argument is not silent.
  const char* quoted[] = {"/opt/b/brevanto", "a -s"};
  EXPECT_EQ(JoinCommandLine(2, quoted), "/opt/b/brevanto \"a -s\"");
  EXPECT_FALSE(IsSilentCommandLine(JoinCommandLine(2, quoted)));
  const char* empty[] = {"brevanto", ""};
  EXPECT_EQ(JoinCommandLine(2, empty), "brevanto \"\"");
}

TEST(StartModeTest, WindowIsHiddenOnlyOnLaterSilentStartsWithPlans) {
  EXPECT_EQ(DecideStartWindow(true, 0, 2), StartWindow::kHide);
  EXPECT_EQ(DecideStartWindow(true, 1, 2), StartWindow::kShow);  // first start after install
  EXPECT_EQ(DecideStartWindow(false, 0, 2), StartWindow::kShow);
  EXPECT_EQ(DecideStartWindow(false, 1, 1), StartWindow::kShow);
  for (bool silent : {false, true}) {
    for (int runOnce : {0, 1}) {
      EXPECT_EQ(DecideStartWindow(silent, runOnce, 0), StartWindow::kShowFirstUse);
    }
  }
  EXPECT_EQ(PlanCount(), 0);
}

TEST_F(StartupTest, SecondStartShowsTheFirstAndExitsSilently) {
  QProcess* first = Start("first");
  ASSERT_TRUE(WaitForLine(Trace("first"), "shown"));
  // The first instance publishes its socket after showing; wait for it.
  plat::InstanceBlock block(std::filesystem::canonical(BV_EXE_PATH).string());
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (block.GetWindowHandle().empty() && std::chrono::steady_clock::now() < limit) {
    QThread::msleep(50);
  }
  ASSERT_FALSE(block.GetWindowHandle().empty());

  QProcess* second = Start("second");
  ExpectExitsWithZero(second);
  EXPECT_TRUE(HasLine(Trace("second"), "sent-show"));
  EXPECT_TRUE(HasLine(Trace("second"), "refused-running"));
  EXPECT_FALSE(HasLine(Trace("second"), "shown"));
  EXPECT_TRUE(WaitForLine(Trace("first"), "show-request"));
  EXPECT_EQ(first->state(), QProcess::Running);
  EXPECT_TRUE(bvtest::ReadNative(Messages()).empty());
  // The refused start took its count back.
  EXPECT_EQ(block.Count(), 1);
}

TEST_F(StartupTest, AnotherUsersInstanceIsReportedAndRefused) {
  // Held by this process, as another user's instance would hold it.
  plat::NamedMutex global;
  ASSERT_EQ(global.Create("Global\\BrevantoIsRunning"), plat::MutexResult::kCreated);
  QProcess* p = Start("other");
  ExpectExitsWithZero(p);
  EXPECT_TRUE(HasLine(Trace("other"), "refused-another-user"));
  EXPECT_FALSE(HasLine(Trace("other"), "shown"));
  std::string expected = GetText("MAIN_UI", "ANOTHER_USER");
  ASSERT_FALSE(expected.empty());
  std::replace(expected.begin(), expected.end(), '\n', ' ');
  EXPECT_EQ(ReadLines(Messages()), std::vector<std::string>{expected});

  // Once the other user has gone, the program starts.
  global.Close();
  Start("after");
  EXPECT_TRUE(WaitForLine(Trace("after"), "shown"));
}

TEST_F(StartupTest, InstanceKilledWithoutExitDoesNotBlockTheNextStart) {
  QProcess* first = Start("first");
  ASSERT_TRUE(WaitForLine(Trace("first"), "shown"));
  first->kill();  // SIGKILL: no exit processing, the count stays in the block
  ASSERT_TRUE(first->waitForFinished(10000));

  Start("next");
  ASSERT_TRUE(WaitForLine(Trace("next"), "shown"));
  EXPECT_FALSE(HasLine(Trace("next"), "refused-running"));
  EXPECT_FALSE(HasLine(Trace("next"), "refused-another-user"));
}

TEST_F(StartupTest, StartWaitsWhileAnInstanceIsExiting) {
  HeldLock exiting(plat::NamedMutexFile("BrevantoExiting"));
  ASSERT_TRUE(exiting.Held());
  Start("waiting");
  ASSERT_TRUE(WaitForLine(Trace("waiting"), "waiting-exiting"));
  QThread::msleep(1000);
  EXPECT_FALSE(HasLine(Trace("waiting"), "shown"));
  exiting.Release();
  ASSERT_TRUE(WaitForLine(Trace("waiting"), "shown"));
  EXPECT_LT(LineIndex(Trace("waiting"), "waiting-exiting"), LineIndex(Trace("waiting"), "shown"));
}

TEST_F(StartupTest, StartGivesUpWhenTheExitingInstanceStays) {
  HeldLock exiting(plat::NamedMutexFile("BrevantoExiting"));
  ASSERT_TRUE(exiting.Held());
  QProcess* p = Start("gives-up", {}, {"BREVANTO_EXITING_TRIES=3"});
  ExpectExitsWithZero(p);
  EXPECT_TRUE(HasLine(Trace("gives-up"), "refused-exiting"));
  EXPECT_FALSE(HasLine(Trace("gives-up"), "shown"));
  EXPECT_TRUE(bvtest::ReadNative(Messages()).empty());
}

TEST_F(StartupTest, StartRefusedWhileAnotherIsInitialising) {
  HeldLock initializing(plat::NamedMutexFile("BrevantoInitializing"));
  ASSERT_TRUE(initializing.Held());
  QProcess* p = Start("refused");
  ExpectExitsWithZero(p);
  EXPECT_EQ(ReadLines(Trace("refused")),
            (std::vector<std::string>{"refused-initializing", "instance-exit"}));
}

TEST_F(StartupTest, FirstStartClearsRunOnceAndSilentFlagNeedsTrailingDashS) {
  EXPECT_EQ(RunOnceValue(), 1);
  QProcess* p = Start("first", {"-s"});
  ASSERT_TRUE(WaitForLine(Trace("first"), "shown"));
  EXPECT_TRUE(HasLine(Trace("first"), "first-start"));
  EXPECT_TRUE(HasLine(Trace("first"), "start-silent"));
  EXPECT_TRUE(HasLine(Trace("first"), "first-use"));
  EXPECT_EQ(RunOnceValue(), 0);
  p->kill();
  ASSERT_TRUE(p->waitForFinished(10000));

  // A later silent start without plans still shows the window.
  p = Start("later", {"-s"});
  ASSERT_TRUE(WaitForLine(Trace("later"), "shown"));
  EXPECT_TRUE(HasLine(Trace("later"), "start-silent"));
  EXPECT_FALSE(HasLine(Trace("later"), "first-start"));
  EXPECT_FALSE(HasLine(Trace("later"), "hidden"));
  p->kill();
  ASSERT_TRUE(p->waitForFinished(10000));

  p = Start("suffix", {"-sx"});
  ASSERT_TRUE(WaitForLine(Trace("suffix"), "shown"));
  EXPECT_TRUE(HasLine(Trace("suffix"), "start-normal"));
  EXPECT_EQ(RunOnceValue(), 0);
}

// The application object in this process: the gate, the socket that later
// starts talk to, and exit processing that gives everything back.
TEST_F(StartupTest, InstanceServesShowRequestsAndLeavesCleanly) {
  plat::InstanceBlock block;  // this test executable's block
  {
    // No plan exists, so the first-use routine opens the plan wizard once
    // events run; it is closed as a user would close it.
    bool wizardSeen = false;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&wizardSeen] {
      if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        wizardSeen = true;
        dialog->reject();
      }
    });
    closer.start(20);
    CBrevantoApp app("test_app");
    ASSERT_TRUE(app.InitInstance());
    CMainFrame* frame = app.MainFrame();
    ASSERT_NE(frame, nullptr);
    EXPECT_TRUE(frame->isVisible());
    EXPECT_EQ(frame->windowTitle().toStdString(), "Brevanto Essentials");
    EXPECT_EQ(block.Count(), 1);
    const std::string handle = block.GetWindowHandle();
    ASSERT_FALSE(handle.empty());
    // Another user's start finds the global mutex taken.
    EXPECT_TRUE(plat::NamedMutexExists("Global\\BrevantoIsRunning"));

    frame->showMinimized();
    frame->hide();
    ASSERT_TRUE(CInstanceServer::SendShow(handle));
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!frame->isVisible() && std::chrono::steady_clock::now() < limit) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    EXPECT_TRUE(frame->isVisible());
    EXPECT_FALSE(frame->isMinimized());
    EXPECT_TRUE(wizardSeen);
    closer.stop();

    frame->move(31, 41);
    frame->ExitAction()->trigger();
    QCoreApplication::sendPostedEvents();
    EXPECT_FALSE(frame->isVisible());
    EXPECT_EQ(app.ExitInstance(), 0);
    EXPECT_EQ(block.Count(), 0);
    EXPECT_TRUE(block.GetWindowHandle().empty());
    EXPECT_FALSE(plat::NamedMutexExists("Global\\BrevantoIsRunning"));
    EXPECT_FALSE(CInstanceServer::SendShow(handle));
  }
  EXPECT_EQ(plat::GetProfileInt(GetInternalSettingsPath(), "Application Position", "x", -1), 31);
  EXPECT_EQ(RunOnceValue(), 0);
  EXPECT_EQ(block.Count(), 0);  // ExitInstance ran once; the destructor adds nothing
}

TEST(HelpKeyTest, F1IsConsumedAndOpensTheHelpFile) {
  App();
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
  EXPECT_TRUE(std::filesystem::exists(expected)) << "the help is shipped next to the program";
  EXPECT_EQ(edit.text(), "a");  // other keys pass
}

}  // namespace
