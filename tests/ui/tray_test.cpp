// The notification icon and the pop-up (offscreen), time on a test clock.
#include <set>

#include "ManualClock.h"
#include "UiTestKit.h"
#include "ui/main/PlanNotices.h"
#include "ui/main/PlanProblem.h"
#include "ui/tray/CDlgSystrayMesssage.h"

namespace bvtest {
namespace {

CDlgSystrayMesssage& Popup() { return CDlgSystrayMesssage::Instance(); }
std::string PopupText() { return Popup().Text().toStdString(); }

class TrayTest : public UiTest {
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

// Each kind has its picture; each message gets its full 10 s; Close and the exit end it.
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
    pictures.insert(Popup().KindIcon(kind).cacheKey());
    Shoot(&Popup(), file);
  }
  EXPECT_EQ(pictures.size(), 3u) << "every kind has its own picture";
  // A full disk's pop-up offers to make room once; the next message has no button.
  int madeRoom = 0;
  Popup().ShowMessage(
      QString::fromStdString(FormatText(GetText("MAIN_UI", "DISK_FULL_MESSAGE"), {"Documents"})),
      PopupKind::kWarning, QString::fromStdString(GetText("UGGRID", "MAKE_ROOM")),
      [&] { ++madeRoom; });
  ASSERT_TRUE(Popup().ActionButton()->isVisible());
  Shoot(&Popup(), "popup-make-room.png");
  Popup().ActionButton()->click();
  EXPECT_EQ(madeRoom, 1);
  EXPECT_FALSE(Popup().IsShown());
  Popup().ShowMessage("Another message", PopupKind::kInfo);
  EXPECT_FALSE(Popup().ActionButton()->isVisible());
  if (std::getenv("BV_SCREENSHOT_DIR")) {  // a pop-up per cause (pictures only)
    PlanSnapshot disk, away, server;
    disk.enabled = disk.hasDestination = disk.available = true;
    away = server = disk;
    away.available = server.available = false;
    server.storageType = kStorageNetwork;
    server.root = "\\\\nas\\backup\\";
    auto said = [](const PlanSnapshot& snap, uint64_t free) {
      return ProblemPopupText(
          {ProblemLine("Documents", FindProblem(snap, {true, true, free, 1000 * free}, false, "",
                                                plat::Now()))});
    };
    CPlanNotices notices([](uint32_t) { return std::string("Documents"); },
                         [](uint32_t) { return false; }, [] { return true; }, [] { return true; });
    const std::pair<const char*, std::string> causes[] = {
        {"popup-disk-away.png", said(away, 0)},
        {"popup-disk-full.png", said(disk, 4194304)},
        {"popup-server-unreachable.png", said(server, 0)},
        {"popup-not-writable.png",
         notices.OnEvent({kEvFileFailed, "C:\\a.odt", 1, "", "", 19}, 0)->text},
        {"popup-key-not-trusted.png",
         notices
             .OnEvent({kEvServerKeyChanged, "nas:21", 1, "", GetText("SERVER_KEY", "CHANGED"), 0},
                      0)
             ->text}};
    for (const auto& [file, text] : causes) {
      Popup().ShowMessage(QString::fromStdString(text), PopupKind::kWarning);
      Shoot(&Popup(), file);
    }
  }

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
}

// Busy plans animate the icon; runs say what they copied; problems warn once per kind and plan.
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
                     const std::string& text3 = {}, const std::string& text2 = {}) {
    std::thread worker([&] { PostEvent(code, text1, plan, text2, text3, value); });
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
      {kEvFileFailed, 3, true},         {kEvFileFailed, 3, false},
      {kEvFileFailed, 4, true},         {kEvDatabaseProblem, 3, true},
      {kEvDatabaseProblem, 3, false},   {kEvDatabaseOpenFailed, 3, true},
      {kEvInvalidContent, 0, true},     {kEvUnreadablePlanFile, 0, true},
      {kEvNotProtected, 3, true},       {kEvDriverFailed, 0, true},
      {kEvDriverFailed, 0, false},      {kEvPlanEnabled, 3, false},
      {kEvServerKeyChanged, 3, true},   {kEvServerKeyChanged, 3, false},
      {kEvServerKeyUntrusted, 3, true}, {kEvServerNotEncrypted, 3, true},
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
  // A journal rebuilt after damage (its words in text 2) records changes: it says so.
  Popup().HideMessage();
  const std::string rebuilt = GetText("LOGGING_DATABASE", "REBUILT");
  deliver(kEvDatabaseOpenFailed, "C:\\j\\Logging.dat", 4, 0, {}, rebuilt);
  ASSERT_TRUE(Popup().isVisible());
  EXPECT_NE(PopupText().find(rebuilt.substr(0, rebuilt.find("%s"))), std::string::npos)
      << PopupText();
  EXPECT_EQ(PopupText().find("not being recorded"), std::string::npos) << PopupText();

  // A journal that cannot grow for a full disk says where the room is missing.
  Popup().HideMessage();
  deliver(kEvDatabaseProblem, "C:\\d\\PLAN\\5\\Logging.dat", 5, 112, "Code: 112");
  EXPECT_NE(PopupText().find("The disk of the data folder is full"), std::string::npos);

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

// A driver failure is said, then ends the program (the child finds the folder in its environment).
TEST(DriverFailureTest, EndsTheProgramAfterSayingSo) {
  App();
  std::unique_ptr<TempDir> own;
  std::string folder;
  if (const char* inherited = std::getenv("BV_TEST_DEATH_DIR")) {
    folder = inherited;
  } else {
    own = std::make_unique<TempDir>();
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
  EXPECT_EQ(ReadNative(log), expected + "\n");
}

}  // namespace
}  // namespace bvtest
