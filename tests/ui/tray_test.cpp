// The notification icon and the message pop-up on real widgets (offscreen),
// with time driven by a test clock: the busy animation, the pop-up's place
// and its 10 seconds, the engine events and power changes that the main
// frame turns into icons and pop-ups, and the icon on a real desktop bus.
#include <gtest/gtest.h>

#include <signal.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QToolButton>
#include <set>
#include <thread>

#include "ManualClock.h"
#include "UiTestKit.h"
#include "app/ProgramRun.h"
#include "common/EngineEvents.h"
#include "ui/CBrevantoView.h"
#include "ui/CDlgSystrayMesssage.h"
#include "ui/CMainFrame.h"
#include "ui/CTrayWnd.h"
#include "ui/TextFormat.h"

namespace {

using bvtest::App;
using bvtest::ManualClock;
using bvtest::ReadNative;
using bvtest::WriteNative;
namespace fs = std::filesystem;

CDlgSystrayMesssage& Popup() { return CDlgSystrayMesssage::Instance(); }
std::string PopupText() { return Popup().Text().toStdString(); }

class TrayTest : public bvtest::UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    Popup().HideMessage();
  }
  void TearDown() override {
    Popup().HideMessage();
    UiTest::TearDown();
  }
};

TEST(TextFormatTest, FieldsTakeTheValuesInOrder) {
  EXPECT_EQ(FormatText("%d files by \"%s\"", {"12", "Docs"}), "12 files by \"Docs\"");
  EXPECT_EQ(FormatText("%s%% of %ld (%.2d)", {"50", "7", "3"}), "50% of 7 (3)");
  // A translated text with more fields than values never reads past them.
  EXPECT_EQ(FormatText("%s and %s and %d", {"a"}), "a and  and ");
  EXPECT_EQ(FormatText("100 %", {"x"}), "100 %");
}

// The pop-up: text and kind's picture at the bottom right of the free area,
// on top; each message gets its full 10 s (a later one starts them again);
// the close button and the program's exit end it.
TEST_F(TrayTest, PopupShowsEachMessageForItsFullTenSeconds) {
  ManualClock clock;
  const std::pair<PopupKind, const char*> kinds[] = {{PopupKind::kInfo, "popup-info.png"},
                                                     {PopupKind::kWarning, "popup-warning.png"},
                                                     {PopupKind::kError, "popup-error.png"}};
  std::set<qint64> pictures;
  for (const auto& [kind, file] : kinds) {
    const std::string text = kind == PopupKind::kInfo ? "Backup finished: 12 files copied by the "
                                                        "plan \"Documents\"."
                                                      : GetText("MAIN_UI", "POWER_IS_OFFLINE");
    Popup().ShowMessage(QString::fromStdString(text), kind);
    ASSERT_TRUE(Popup().isVisible() && Popup().IsShown());
    EXPECT_EQ(Popup().findChild<QLabel*>("systrayMessageText")->text().toStdString(), text);
    EXPECT_EQ(Popup().Kind(), kind);
    EXPECT_FALSE(Popup().findChild<QLabel*>("systrayMessageIcon")->pixmap().isNull());
    pictures.insert(Popup().KindIcon(kind).cacheKey());
    bvtest::Shoot(&Popup(), file);
  }
  EXPECT_EQ(pictures.size(), 3u) << "every kind has its own picture";
  EXPECT_TRUE(Popup().windowFlags() & Qt::WindowStaysOnTopHint);
  const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
  const QRect frame = Popup().frameGeometry();
  EXPECT_EQ(frame.right(), available.right() - CDlgSystrayMesssage::kEdgeMargin);
  EXPECT_EQ(frame.bottom(), available.bottom() - CDlgSystrayMesssage::kEdgeMargin);

  Popup().ShowMessage("one", PopupKind::kInfo);
  clock.Advance(5000);
  Popup().ShowMessage("two", PopupKind::kWarning);
  clock.Advance(CDlgSystrayMesssage::kShowMs - 1);
  EXPECT_TRUE(Popup().isVisible());
  EXPECT_EQ(PopupText(), "two");
  clock.Advance(1);
  EXPECT_FALSE(Popup().isVisible() || Popup().IsShown());
  EXPECT_EQ(clock.ActiveTimers(), 0u);
  Popup().ShowMessage("hello", PopupKind::kInfo);
  Popup().findChild<QToolButton*>("systrayMessageClose")->click();
  EXPECT_FALSE(Popup().isVisible() || Popup().IsShown());
  EXPECT_EQ(clock.ActiveTimers(), 0u);
  Popup().ShowMessage("hello again", PopupKind::kInfo);
  CDlgSystrayMesssage::EndIfOpen();
  EXPECT_FALSE(Popup().isVisible());
  EXPECT_EQ(Popup().result(), 2);
  Popup().ShowMessage("later", PopupKind::kInfo);  // shown again, it still hides on time
  clock.Advance(CDlgSystrayMesssage::kShowMs);
  EXPECT_FALSE(Popup().isVisible());
}

// The busy animation: one cycle per 1.5 s through the strip's square
// frames, back to the ready image when it stops; images that are missing,
// broken or hold no square frame change nothing.
TEST_F(TrayTest, AnimationCyclesThroughItsFramesOncePerCycle) {
  ManualClock clock;
  CTrayWnd wnd;
  wnd.AddIcon();
  EXPECT_EQ(wnd.Tooltip().toStdString(), GetProductName());
  dir_.Write("junk.png", std::string("\x89PNG\r\n\x1a\n garbage", 17));
  dir_.Write("tall.ppm", "P3\n2 4\n255\n" + std::string(8 * 6, '0'));  // 2 wide, 4 high
  for (const char* bad : {"missing.png", "junk.png", "tall.ppm"}) {
    EXPECT_FALSE(wnd.StartAnimation(dir_.SystemOf(bad))) << bad;
    EXPECT_FALSE(wnd.IsAnimating());
    EXPECT_EQ(wnd.AnimationFrameCount(), 0);
    EXPECT_EQ(wnd.CurrentIcon().cacheKey(), wnd.ReadyIcon().cacheKey());
  }
  ASSERT_TRUE(wnd.StartAnimation(GetIconPath("SystrayAnim")));
  const int frames = wnd.AnimationFrameCount();
  ASSERT_GT(frames, 1);
  EXPECT_EQ(wnd.AnimationPeriod(), CTrayWnd::kAnimationCycleMs / frames);
  const qint64 first = wnd.CurrentIcon().cacheKey();
  clock.Advance(wnd.AnimationPeriod());
  EXPECT_EQ(wnd.AnimationFrameIndex(), 1);
  EXPECT_NE(wnd.CurrentIcon().cacheKey(), first);
  clock.Advance(static_cast<int64_t>(wnd.AnimationPeriod()) * (frames - 1));
  EXPECT_EQ(wnd.AnimationFrameIndex(), 0);  // back to the first frame after the last
  wnd.SetReadyIcon();
  EXPECT_FALSE(wnd.IsAnimating());
  clock.Advance(5000);
  EXPECT_EQ(wnd.CurrentIcon().cacheKey(), wnd.ReadyIcon().cacheKey());
}

// Engine events travel the real way (posted on a channel from a worker
// thread, queued by the view's receiver, drained by its pump into the
// frame): busy plans animate the icon until the last is idle (a deleted one
// counts as idle); finished runs and first scans say what they copied while
// status pop-ups are on; whatever leaves files unprotected is one warning
// per kind and plan, names escaped, while error pop-ups are on; a change to
// battery shows its icon and a pop-up, the first reading only the icon.
TEST_F(TrayTest, EngineEventsAndPowerBecomeIconsAndPopups) {
  ManualClock clock;
  {
    CMainFrame starting;
    starting.OnPowerStatus(plat::PowerStatus::kBattery);
    EXPECT_TRUE(starting.OnBattery());
    EXPECT_NE(starting.CurrentIcon().cacheKey(), starting.ReadyIcon().cacheKey());
    EXPECT_FALSE(Popup().isVisible());
  }
  CMainFrame frame;
  auto deliver = [&](int32_t code, const std::string& text1, uint32_t plan, int32_t value = 0,
                     const std::string& text3 = {}) {
    std::thread worker([&] { PostEvent(code, text1, plan, {}, text3, value); });
    worker.join();
    frame.View()->EventPump()->Drain();
  };
  EXPECT_FALSE(frame.IsAnimating());
  deliver(kEvPlanModeChanged, "", 5, 2);
  EXPECT_TRUE(frame.IsAnimating());
  deliver(kEvPlanModeChanged, "", 6, 2);
  deliver(kEvPlanModeChanged, "", 5, 1);
  EXPECT_TRUE(frame.IsAnimating());  // plan 6 still runs
  clock.Advance(frame.AnimationPeriod());
  EXPECT_EQ(frame.AnimationFrameIndex(), 1);
  deliver(kEvPlanModeChanged, "", 6, 1);
  EXPECT_FALSE(frame.IsAnimating());
  EXPECT_EQ(frame.CurrentIcon().cacheKey(), frame.ReadyIcon().cacheKey());
  deliver(kEvPlanModeChanged, "", 7, 2);
  deliver(kEvPlanDeleted, "Seven", 7);
  EXPECT_FALSE(frame.IsAnimating());
  EXPECT_EQ(frame.BusyPlanCount(), 0u);

  SetShowStatusNotification(false);
  deliver(kEvRunEnds, "Documents", 3, 12);
  EXPECT_FALSE(Popup().isVisible());
  SetShowStatusNotification(true);
  SetShowErrorNotification(false);         // does not silence status pop-ups
  deliver(kEvRunEnds, "Documents", 3, 0);  // nothing copied
  EXPECT_FALSE(Popup().isVisible());
  deliver(kEvRunEnds, "Documents", 3, 12);
  ASSERT_TRUE(Popup().isVisible());
  EXPECT_EQ(PopupText(), "Backup finished: 12 files copied by the plan \"Documents\".");
  EXPECT_EQ(Popup().Kind(), PopupKind::kInfo);
  deliver(kEvRunEnds, "Documents", 3, 1);
  EXPECT_EQ(PopupText(), "Backup finished: 1 file copied by the plan \"Documents\".");
  Popup().HideMessage();
  // A first scan counts the copies since it began, of its own plan.
  deliver(kEvFileCopied, "C:\\a\\x.txt", 4);
  deliver(kEvScanBegins, "Pictures", 4);
  deliver(kEvScanEnds, "Pictures", 4);
  EXPECT_FALSE(Popup().isVisible());
  deliver(kEvScanBegins, "Pictures", 4);
  for (int i = 0; i < 3; ++i) deliver(kEvFileCopied, "C:\\a\\y.txt", 4);
  deliver(kEvFileCopied, "C:\\a\\other.txt", 9);
  deliver(kEvFileFailed, "C:\\a\\z.txt", 4);
  deliver(kEvScanEnds, "Pictures", 4);
  ASSERT_TRUE(Popup().isVisible());
  EXPECT_EQ(PopupText(), "Backup finished: 3 files copied by the plan \"Pictures\".");

  Popup().HideMessage();
  deliver(kEvDatabaseProblem, "C:\\d\\Logging.dat", 3);
  frame.OnPowerStatus(plat::PowerStatus::kMains);
  frame.OnPowerStatus(plat::PowerStatus::kBattery);  // with error pop-ups off: the icon only
  EXPECT_TRUE(frame.OnBattery());
  EXPECT_FALSE(Popup().isVisible());
  frame.OnPowerStatus(plat::PowerStatus::kMains);
  SetShowErrorNotification(true);
  const struct {
    int32_t code;
    uint32_t plan;
    bool shown;
  } cases[] = {
      {kEvFileFailed, 3, true},       {kEvFileFailed, 3, false},
      {kEvFileFailed, 4, true},       {kEvDatabaseProblem, 3, true},
      {kEvDatabaseProblem, 3, false}, {kEvDatabaseOpenFailed, 3, true},
      {kEvInvalidContent, 0, true},   {kEvUnreadablePlanFile, 0, true},
      {kEvNotProtected, 3, true},     {kEvDriverFailed, 0, true},
      {kEvDriverFailed, 0, false},    {kEvPlanEnabled, 3, false},
      {kEvServerKeyChanged, 3, true}, {kEvServerKeyChanged, 3, false},
  };
  for (const auto& c : cases) {
    Popup().HideMessage();
    deliver(c.code, "C:\\inj\r\n#Plan Deleted\r\n", c.plan, 0, "Access is denied.");
    EXPECT_EQ(Popup().isVisible(), c.shown) << c.code << " " << c.plan;
    if (!c.shown) continue;
    EXPECT_EQ(Popup().Kind(), PopupKind::kWarning);
    // The path as the user knows it ("C:" is "/"), its control characters escaped.
    EXPECT_NE(PopupText().find("/inj\\x0D\\x0A#Plan Deleted\\x0D\\x0A"), std::string::npos)
        << PopupText();
    EXPECT_EQ(PopupText().find("C:"), std::string::npos) << PopupText();
    if (c.code == kEvDatabaseOpenFailed) {  // its own words, not the journal's other problems
      const std::string words = GetText("MESSAGE_RECEIVER", "PROBLEM_JOURNAL_OPEN");
      EXPECT_NE(PopupText().find(words.substr(words.find("%s") + 2, 30)), std::string::npos);
    }
  }

  Popup().HideMessage();
  frame.OnPowerStatus(plat::PowerStatus::kUnknown);
  EXPECT_FALSE(Popup().isVisible());
  frame.OnPowerStatus(plat::PowerStatus::kBattery);
  ASSERT_TRUE(Popup().isVisible());
  EXPECT_EQ(PopupText(), GetText("MAIN_UI", "POWER_IS_OFFLINE"));
  EXPECT_EQ(Popup().Kind(), PopupKind::kWarning);
  EXPECT_NE(frame.CurrentIcon().cacheKey(), frame.ReadyIcon().cacheKey());
  Popup().HideMessage();
  frame.OnPowerStatus(plat::PowerStatus::kBattery);  // staying on battery says nothing new
  EXPECT_FALSE(Popup().isVisible());
  frame.OnPowerStatus(plat::PowerStatus::kMains);
  EXPECT_FALSE(frame.OnBattery());
  EXPECT_EQ(frame.CurrentIcon().cacheKey(), frame.ReadyIcon().cacheKey());
}

// The desktop's side of the StatusNotifierItem protocol on a private session
// bus: a watcher with a host, recording the items that register.
class SniWatcher : public QDBusVirtualObject {
 public:
  QStringList items;

  QString introspect(const QString&) const override {
    return QStringLiteral(
        "<interface name=\"org.kde.StatusNotifierWatcher\">"
        "<method name=\"RegisterStatusNotifierItem\"><arg name=\"service\" type=\"s\" "
        "direction=\"in\"/></method>"
        "<method name=\"RegisterStatusNotifierHost\"><arg name=\"service\" type=\"s\" "
        "direction=\"in\"/></method>"
        "<property name=\"RegisteredStatusNotifierItems\" type=\"as\" access=\"read\"/>"
        "<property name=\"IsStatusNotifierHostRegistered\" type=\"b\" access=\"read\"/>"
        "<property name=\"ProtocolVersion\" type=\"i\" access=\"read\"/>"
        "</interface>");
  }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
    const QString member = message.member();
    if (member == "RegisterStatusNotifierItem") {
      const QString arg = message.arguments().value(0).toString();
      items << (arg.startsWith('/') ? message.service() : arg);
      return bus.send(message.createReply());
    }
    if (member == "RegisterStatusNotifierHost") return bus.send(message.createReply());
    if (member == "Get") {
      const QString name = message.arguments().value(1).toString();
      QVariant value;
      if (name == "IsStatusNotifierHostRegistered") value = true;
      if (name == "ProtocolVersion") value = 0;
      if (name == "RegisteredStatusNotifierItems") value = items;
      if (!value.isValid()) return false;
      return bus.send(message.createReply(QVariant::fromValue(QDBusVariant(value))));
    }
    if (member == "GetAll") {
      QVariantMap all{{"IsStatusNotifierHostRegistered", true},
                      {"ProtocolVersion", 0},
                      {"RegisteredStatusNotifierItems", items}};
      return bus.send(message.createReply(all));
    }
    return false;
  }
};

// A helper process of the test, ended at the end.
struct Helper {
  QProcess process;
  ~Helper() {
    process.kill();
    process.waitForFinished();
  }
};

// The real program on an X display (Xvfb) with a private session bus: where
// no notification area exists a silent start keeps the window in the task
// bar; where the desktop runs a StatusNotifierWatcher the icon registers
// with it and the window stays hidden.
TEST(TrayDesktopTest, IconAppearsThroughStatusNotifierWhereTheDesktopOffersIt) {
  App();
  if (QStandardPaths::findExecutable("Xvfb").isEmpty() ||
      QStandardPaths::findExecutable("dbus-daemon").isEmpty())
    GTEST_SKIP() << "needs Xvfb and dbus-daemon";
  bvtest::TempDir dir;
  Helper x, bus;
  int display = 80;
  while (QFile::exists(QString("/tmp/.X11-unix/X%1").arg(display))) ++display;
  x.process.start("Xvfb",
                  {QString(":%1").arg(display), "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
  ASSERT_TRUE(bvtest::WaitFor(
      [&] { return QFile::exists(QString("/tmp/.X11-unix/X%1").arg(display)); }, 20));
  bus.process.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
  ASSERT_TRUE(bus.process.waitForReadyRead(10000));
  const std::string address = bus.process.readLine().trimmed().toStdString();
  QDBusConnection desktop = QDBusConnection::connectToBus(QString::fromStdString(address), "sni");
  ASSERT_TRUE(desktop.isConnected());

  fs::create_directories(dir.NativeOf("run"));
  fs::create_directories(dir.NativeOf("docs"));
  bvtest::DataFolder data(dir.NativeOf("run"));
  bvtest::PlanFiles plan;
  plan.name = "Docs";
  plan.storePath = "E:\\Store\\";
  plan.sources = {bvtest::NativeToSystemC(dir.NativeOf("docs"))};
  data.WritePlan(plan);
  data.WritePlanList({1});
  WriteNative(data.Data("InternalSettings.ini"), "[General]\nRunOnce=0\n");
  const std::vector<std::pair<std::string, std::string>> desk = {
      {"QT_QPA_PLATFORM", "xcb"},
      {"DISPLAY", ":" + std::to_string(display)},
      {"DBUS_SESSION_BUS_ADDRESS", address},
      {"XDG_CURRENT_DESKTOP", ""}};
  // The test answers the program's calls on the bus while it waits.
  auto spinUntil = [](const std::function<bool()>& done) {
    return bvtest::WaitFor([&] {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
      return done();
    });
  };
  auto run = [&](const char* decision, const std::function<bool()>& until,
                 const std::function<void()>& whileRunning) {
    fs::remove(data.TraceLog());
    auto program = bvtest::StartProgram(data, desk, {"-s"});
    ASSERT_NE(program, nullptr);
    EXPECT_TRUE(spinUntil([&] {
      return ReadNative(data.TraceLog()).find(std::string("\n") + decision + "\n") !=
             std::string::npos;
    })) << ReadNative(data.TraceLog())
        << ReadNative(data.StderrLog());
    EXPECT_TRUE(spinUntil(until));
    whileRunning();
    kill(static_cast<pid_t>(program->processId()), SIGTERM);
    EXPECT_TRUE(spinUntil([&] { return program->state() == QProcess::NotRunning; }));
  };
  // No watcher yet: nowhere to put the icon.
  run(
      "shown-minimised", [] { return true; }, [] {});

  SniWatcher watcher;
  ASSERT_TRUE(desktop.registerVirtualObject("/StatusNotifierWatcher", &watcher));
  ASSERT_TRUE(desktop.registerService("org.kde.StatusNotifierWatcher"));
  // The item the icon registered answers as one: active, with its title.
  auto property = [&](const char* name) {
    QDBusMessage get = QDBusMessage::createMethodCall(watcher.items.value(0), "/StatusNotifierItem",
                                                      "org.freedesktop.DBus.Properties", "Get");
    get << QString("org.kde.StatusNotifierItem") << QString(name);
    const QDBusMessage reply = desktop.call(get, QDBus::Block, 5000);
    return reply.arguments().value(0).value<QDBusVariant>().variant().toString().toStdString();
  };
  run(
      "hidden", [&] { return !watcher.items.isEmpty(); },
      [&] {
        EXPECT_EQ(property("Status"), "Active");
        EXPECT_EQ(property("Title"), "Brevanto");
      });
  EXPECT_EQ(watcher.items.size(), 1);
  desktop.unregisterService("org.kde.StatusNotifierWatcher");
  desktop.unregisterObject("/StatusNotifierWatcher");
  QDBusConnection::disconnectFromBus("sni");
}

// The death test's child process runs this test again from the start: it
// takes the parent's folder from the environment instead of making its own.
TEST(DriverFailureTest, EndsTheProgramAfterSayingSo) {
  App();
  std::unique_ptr<bvtest::TempDir> own;
  std::string folder;
  if (const char* inherited = std::getenv("BV_TEST_DEATH_DIR")) {
    folder = inherited;
  } else {
    own = std::make_unique<bvtest::TempDir>();
    folder = own->Native();
    setenv("BV_TEST_DEATH_DIR", folder.c_str(), 1);
  }
  const std::string log = folder + "/messages.log";
  setenv("BREVANTO_DATA_DIR", folder.c_str(), 1);
  setenv("BREVANTO_MESSAGE_LOG", log.c_str(), 1);
  ResetSettingsCache();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        CMainFrame frame;
        PostEvent(kEvDriverFailed);
        frame.View()->EventPump()->Drain();
        std::exit(3);  // not reached when the event ends the program
      },
      ::testing::ExitedWithCode(0), "");
  unsetenv("BV_TEST_DEATH_DIR");
  unsetenv("BREVANTO_MESSAGE_LOG");
  std::string expected = GetText("MESSAGE_RECEIVER", "FAILED_TO_LOAD_DRIVER");
  ASSERT_FALSE(expected.empty());
  for (char& c : expected) c = c == '\n' ? ' ' : c;  // the message log keeps one line
  EXPECT_EQ(bvtest::ReadNative(log), expected + "\n");
}

}  // namespace
