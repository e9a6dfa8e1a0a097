// The application settings dialog on real widgets (offscreen).
#include <QDesktopServices>
#include <QTextBrowser>

#include "UiTestKit.h"
#include "app/gui/CHelpKeyFilter.h"
#include "ui/settings/CDlgAppSettings.h"

namespace bvtest {
namespace {

using L = CAppSettingsList;

// Input the way the window system delivers it.
void Key(QWidget* widget, int key, const QString& text = {}) {
  for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
    QKeyEvent event(type, key, Qt::NoModifier, text);
    QApplication::sendEvent(widget, &event);
  }
}

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
  QTextBrowser opened;
  QDesktopServices::setUrlHandler("file", &opened, "setSource");
  CDlgAppSettings dialog;
  dialog.LogLink()->click();
  QDesktopServices::unsetUrlHandler("file");
  EXPECT_EQ(opened.source().toLocalFile().toStdString(), log);
  std::filesystem::create_directories(dir_.NativeOf("no-bin"));
  ScopedEnv path("PATH", dir_.NativeOf("no-bin"));
  dialog.LogLink()->click();
  EXPECT_TRUE(Said("The log files are in " + log + ".")) << Messages();
  CHelpKeyFilter filter;
  qApp->installEventFilter(&filter);
  QLineEdit edit;
  Key(&edit, Qt::Key_F1);
  qApp->removeEventFilter(&filter);
  std::string help;
  ASSERT_TRUE(plat::ToNativePath(GetProgramFolder() + "Help\\Brevanto.html", &help));
  EXPECT_TRUE(Said("The help cannot be opened")) << Messages();
  EXPECT_TRUE(Said("The help is the file " + help + ".")) << Messages();
}

}  // namespace
}  // namespace bvtest
