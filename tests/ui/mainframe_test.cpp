// The main frame and the settings dialog on real widgets (offscreen).
#include <QAction>
#include <QDesktopServices>
#include <QMenu>
#include <QMenuBar>
#include <QTextBrowser>

#include "ManualClock.h"
#include "UiTestKit.h"
#include "app/gui/CHelpKeyFilter.h"
#include "ui/restore/CDlgRestore.h"
#include "ui/settings/CDlgAppSettings.h"
#include "ui/tray/CDlgSystrayMesssage.h"
#include "ui/widgets/CDlgTimer.h"

namespace bvtest {
namespace {

// The local file an action opens, caught before a desktop program would get it.
std::string Opened(const std::function<void()>& open) {
  QTextBrowser opened;
  QDesktopServices::setUrlHandler("file", &opened, "setSource");
  open();
  QDesktopServices::unsetUrlHandler("file");
  return opened.source().toLocalFile().toStdString();
}

std::string HelpFile() {
  std::string help;
  EXPECT_TRUE(plat::ToNativePath(GetProgramFolder() + "Help\\Brevanto.html", &help));
  return help;
}

class MainFrameTest : public UiTest {
 protected:
  int Setting(const char* section, const char* key) const {
    return plat::GetProfileInt(GetInternalSettingsPath(), section, key, -1);
  }
};

// A desktop with a notification area, with only a task bar, or neither.
template <bool kIcon, bool kTaskBar>
class FrameOn : public CMainFrame {
 public:
  bool IsIconShown() const override { return kIcon; }
  bool CanMinimise() const override { return kTaskBar; }
};

// Closing goes to the icon or the task bar (said once for good); with neither, the program ends.
TEST_F(MainFrameTest, ClosingFollowsTheDesktopAndSaysWhyOnceForGood) {
  CDlgSystrayMesssage& popup = CDlgSystrayMesssage::Instance();
  popup.HideMessage();
  auto closeTwice = [&](CMainFrame& frame, bool toTaskBar, const std::string& said) {
    frame.show();
    for (int i = 0; i < 2; ++i) {
      frame.close();
      QCoreApplication::sendPostedEvents();
      EXPECT_TRUE(toTaskBar ? frame.isMinimized() : !frame.isVisible()) << i;
      EXPECT_FALSE(frame.IsExiting());
      EXPECT_EQ(popup.isVisible(), i == 0 && !said.empty()) << i;
      if (i == 0 && !said.empty()) {
        EXPECT_NE(popup.Text().toStdString().find(said), std::string::npos) << said;
      }
      popup.HideMessage();
      if (i == 0)
        frame.ShowAction()->trigger();  // the menu's Open, then a click on the icon
      else
        frame.HandleActivation(QSystemTrayIcon::Trigger, QPoint(5, 5));
      EXPECT_TRUE(frame.isVisible() && !frame.isMinimized()) << i;
    }
  };
  {
    FrameOn<true, false> frame;
    closeTwice(frame, false, "Brevanto Essentials is still protecting your files");
    EXPECT_EQ(popup.Kind(), PopupKind::kInfo);
  }
  EXPECT_EQ(Setting("Notices", "ClosedToIcon"), 1);
  FrameOn<true, false> restarted;
  closeTwice(restarted, false, "");
  EXPECT_FALSE(popup.isVisible());

  {
    FrameOn<false, true> frame;
    EXPECT_EQ(frame.menuWidget(), nullptr);
    frame.show();
    auto* bar = qobject_cast<QMenuBar*>(frame.menuWidget());
    ASSERT_TRUE(bar && bar->actions().size() == 1);
    EXPECT_EQ(bar->actions()[0]->menu(), frame.Menu());
    closeTwice(frame, true,
               FormatText(GetText("MAIN_UI", "NO_NOTIFICATION_AREA"), {"Brevanto Essentials"}));
  }
  EXPECT_EQ(Messages(), "");

  FrameOn<false, false> neither;
  neither.move(10, 20);
  neither.show();
  bool closed = false;
  QObject::connect(&neither, &CMainFrame::frameClosed, [&closed] { closed = true; });
  neither.close();
  QCoreApplication::sendPostedEvents();
  EXPECT_TRUE(closed);
  EXPECT_EQ(Setting("Application Position", "x"), 10);
  EXPECT_TRUE(Said("closing its window ends the program")) << Messages();
}

// Help from the menu and the window; restore at the first plan (or why not); About's version.
TEST_F(MainFrameTest, HelpRestoreAndVersionAreWithinReach) {
  CMainFrame frame;
  const QList<QAction*> menu = frame.Menu()->actions();
  EXPECT_TRUE(menu.contains(frame.HelpAction()) && menu.contains(frame.RestoreAction()));
  EXPECT_EQ(Opened([&] { frame.HelpAction()->trigger(); }), HelpFile());
  EXPECT_EQ(Opened([&] { frame.View()->HelpButton()->click(); }), HelpFile());

  frame.RestoreAction()->trigger();
  EXPECT_TRUE(Said("MAIN_UI", "RESTORE_NO_PLAN")) << Messages();
  CPlan* plan = MakePlan("Docs", dir_.SystemOf("Store") + "\\", 8, false);
  ASSERT_NE(plan, nullptr);
  uint32_t shown = 0;
  WhenModal<CDlgRestore>([&](CDlgRestore* dialog) {
    shown = dialog->PlanId();
    dialog->reject();
  });
  frame.RestoreAction()->trigger();
  EXPECT_EQ(shown, plan->Id());

  frame.AboutAction()->trigger();
  EXPECT_TRUE(Said("Version 3.0.0 ")) << Messages();
}

// Exit closes at once or after the timed question; the position is stored unless minimised.
TEST_F(MainFrameTest, ExitStoresThePositionAndCloses) {
  enum Answer { kNone, kEscape, kAccept, kRunOut };
  const struct {
    Answer answer;
    bool minimised;
    bool closes;
  } cases[] = {{kNone, true, true},
               {kEscape, false, false},
               {kAccept, false, true},
               {kRunOut, false, true},
               {kNone, false, true}};
  WriteInternalInt("Application Position", "x", 40);
  WriteInternalInt("Application Position", "y", 50);
  ManualClock clock;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    WriteInternalInt("Show Notification", "Confirm", c.answer != kNone);
    CMainFrame frame;
    frame.move(123, 77);
    c.minimised ? frame.showMinimized() : frame.show();
    QString message, countAfter19;
    if (c.answer != kNone)
      WhenModal<CDlgTimer>([&](CDlgTimer* dialog) {
        message = dialog->findChild<QLabel*>("messageLabel")->text();
        if (c.answer == kEscape) Key(dialog, Qt::Key_Escape);
        if (c.answer == kAccept) dialog->AcceptButton()->click();
        if (c.answer != kRunOut) return;
        EXPECT_EQ(dialog->findChild<QLabel*>("countLabel")->text(), "20");
        clock.Advance(3000);
        Shoot(dialog, "exit-countdown.png");
        clock.Advance(16000);
        countAfter19 = dialog->findChild<QLabel*>("countLabel")->text();
        EXPECT_TRUE(dialog->isVisible() && dialog->result() == 0);
        clock.Advance(1000);  // the last second runs out: as if accepted
      });
    bool closed = false;
    QObject::connect(&frame, &CMainFrame::frameClosed, [&closed] { closed = true; });
    frame.ExitAction()->trigger();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(closed, c.closes);
    EXPECT_EQ(frame.IsExiting(), c.closes);
    EXPECT_EQ(frame.isVisible(), !c.closes);
    const bool stored = c.closes && !c.minimised;
    EXPECT_EQ(Setting("Application Position", "x"), stored ? 123 : 40);
    EXPECT_EQ(Setting("Application Position", "y"), stored ? 77 : 50);
    if (c.answer != kNone) {
      EXPECT_EQ(message.toStdString(), GetText("MAIN_UI", "NO_LONGER_BE_PROTECTED") + " " +
                                           GetProductName() + ". " +
                                           GetText("MAIN_UI", "CLICK_OK_TO_SHUTDOWN"));
    }
    EXPECT_EQ(countAfter19, c.answer == kRunOut ? "1" : "");
    if (stored) {
      CMainFrame next;
      EXPECT_EQ(next.pos(), QPoint(123, 77));
      WriteInternalInt("Application Position", "x", 40);
      WriteInternalInt("Application Position", "y", 50);
    }
  }
}

using L = CAppSettingsList;

// OK adds the autostart entry while plans exist: never the real one.
class SettingsDialogTest : public UiTest {
 protected:
  std::string Raw(const char* section, const char* key) const {
    return plat::GetProfileString(GetInternalSettingsPath(), section, key, "<none>");
  }
  bool SettingsFileExists() const {
    return std::filesystem::exists(dir_.NativeOf("data/InternalSettings.ini"));
  }
  // Types into the size field the way a user does and presses OK.
  static void TypeSizeAndOk(CDlgAppSettings& dialog, const QString& text) {
    QLineEdit* edit = dialog.List()->SizeEdit();
    edit->setFocus();
    edit->selectAll();
    Key(edit, Qt::Key_Delete);
    for (QChar c : text) Key(edit, c.toUpper().unicode(), QString(c));
    EXPECT_EQ(edit->text(), text);
    dialog.OkButton()->click();
  }
  static std::vector<bool> Ticks(CDlgAppSettings& dialog) {
    std::vector<bool> ticks;  // battery, error, status, confirm, start at log-in
    for (auto option : {L::kBattery, L::kError, L::kStatus, L::kConfirm, L::kStartAtLogin})
      ticks.push_back(dialog.List()->IsChecked(option));
    return ticks;
  }

  ScopedEnv config_{"XDG_CONFIG_HOME", dir_.NativeOf("config")};
};

// Defaults, Cancel writes nothing; sizes outside 200..16 TiB are refused; OK writes every option.
TEST_F(SettingsDialogTest, DialogShowsTheSettingsOkWritesThemAndCancelNothing) {
  EXPECT_EQ(GetBackupFileMaxSize(), 0);  // cached before the dialog
  {
    CDlgAppSettings dialog;
    EXPECT_EQ(Ticks(dialog), (std::vector<bool>{true, true, true, false, true}));
    EXPECT_EQ(dialog.List()->SizeEdit()->text().toStdString(), "");  // no limit
    dialog.show();
    Shoot(&dialog, "settings-dialog.png");
    Click(dialog.List(), dialog.List()->OptionRect(L::kError).center());
    dialog.List()->SizeEdit()->setText("300");
    dialog.CancelButton()->click();
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_FALSE(SettingsFileExists());
  }
  CDlgAppSettings dialog;
  dialog.show();
  CAppSettingsList* list = dialog.List();
  Click(list, list->OptionRect(L::kBattery).center());
  Click(list, list->OptionRect(L::kConfirm).center());
  Click(list, QPoint(20, 3));
  EXPECT_FALSE(list->IsChecked(L::kBattery));
  EXPECT_TRUE(list->IsChecked(L::kConfirm));
  list->setFocus();
  Key(list, Qt::Key_Up);  // from Confirm to Status
  EXPECT_EQ(list->CurrentOption(), L::kStatus);
  Key(list, Qt::Key_Space, " ");
  EXPECT_FALSE(list->IsChecked(L::kStatus));
  const std::string error =
      FormatText(GetText("DIALOG_APP_SETTING", "ERROR_INPUT"), {"200", "16777216"});
  std::string expected;
  for (const char* text : {"199", "16777217", "MB", "99999999999999999999", "1,9,9"}) {
    SCOPED_TRACE(text);
    TypeSizeAndOk(dialog, QString::fromUtf8(text));
    expected += error + "\n";
    EXPECT_EQ(Messages(), expected);
    EXPECT_TRUE(dialog.isVisible());  // stays open for a correction
  }
  EXPECT_FALSE(SettingsFileExists());
  EXPECT_EQ(GetBackupFileMaxSize(), 0);
  TypeSizeAndOk(dialog, "1,500 MB");
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_FALSE(dialog.isVisible());
  for (const auto& [section, key, value] : {std::tuple{"Backup Settings", "Battery", "0"},
                                            {"Show Notification", "Error", "1"},
                                            {"Show Notification", "Status", "0"},
                                            {"Show Notification", "Confirm", "1"},
                                            {"Backup Settings", "BackupFileMaxSize", "1500"}})
    EXPECT_EQ(Raw(section, key), value) << key;
  EXPECT_EQ(GetBackupFileMaxSize(), 1500);
  EXPECT_TRUE(GetConfirmShutdown());
  // The bounds themselves, a size above 2 GB, and none (no limit) are accepted.
  for (const char* bound : {"200", "16777216 MB", "4096", ""}) {
    CDlgAppSettings again;
    again.show();
    TypeSizeAndOk(again, bound);
    EXPECT_FALSE(again.isVisible());
    EXPECT_EQ(GetBackupFileMaxSize(), std::atoi(bound));
  }
  EXPECT_EQ(Messages(), expected);
  // Stored settings are shown as stored (odd values as their getters read them).
  for (const auto& [section, key, value] : {std::tuple{"Backup Settings", "Battery", "0"},
                                            {"Backup Settings", "BackupFileMaxSize", "700"},
                                            {"Show Notification", "Error", "0"},
                                            {"Show Notification", "Status", "1"},
                                            {"Show Notification", "Confirm", "5"}})
    WriteInternalString(section, key, value);
  CDlgAppSettings shown;
  EXPECT_EQ(Ticks(shown), (std::vector<bool>{false, false, true, true, true}));
  EXPECT_EQ(shown.List()->SizeEdit()->text().toStdString(), "700");
}

// The autostart entry follows the tick (or is reported); the log link and F1 name what they open.
TEST_F(SettingsDialogTest, StartAtLoginLogLinkAndHelp) {
  const std::string entry = dir_.NativeOf("config/autostart/org.brevanto.Brevanto.desktop");
  auto ok = [](bool tick) {
    CDlgAppSettings dialog;
    dialog.show();
    CAppSettingsList* list = dialog.List();
    if (list->IsChecked(L::kStartAtLogin) != tick)
      Click(list, list->OptionRect(L::kStartAtLogin).center());
    dialog.OkButton()->click();
  };
  ASSERT_NE(MakePlan("Docs", dir_.SystemOf("Store") + "\\", 1, false), nullptr);
  ok(true);
  EXPECT_TRUE(std::filesystem::exists(entry));  // its lines: install_test's AutostartTest
  ok(false);
  EXPECT_FALSE(std::filesystem::exists(entry));
  EXPECT_FALSE(CDlgAppSettings().List()->IsChecked(L::kStartAtLogin));
  EXPECT_EQ(Messages(), "");
  std::filesystem::remove_all(dir_.NativeOf("config/autostart"));
  WriteNative(dir_.NativeOf("config/autostart"), "");  // a file where the folder goes
  ok(true);
  EXPECT_TRUE(Said("The start at log-in could not be changed: the entry " + entry +
                   " cannot be written or removed."))
      << Messages();

  const std::string log = dir_.NativeOf("data/log");
  CDlgAppSettings dialog;
  EXPECT_EQ(Opened([&] { dialog.LogLink()->click(); }), log);
  std::filesystem::create_directories(dir_.NativeOf("no-bin"));
  ScopedEnv path("PATH", dir_.NativeOf("no-bin"));
  dialog.LogLink()->click();
  EXPECT_TRUE(Said("The log files are in " + log + ".")) << Messages();
  CHelpKeyFilter filter;
  qApp->installEventFilter(&filter);
  QLineEdit edit;
  Key(&edit, Qt::Key_F1);
  qApp->removeEventFilter(&filter);
  EXPECT_TRUE(Said("The help cannot be opened")) << Messages();
  EXPECT_TRUE(Said("The help is the file " + HelpFile() + ".")) << Messages();
}

}  // namespace
}  // namespace bvtest
