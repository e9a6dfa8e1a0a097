// The application settings dialog on real widgets (offscreen): what it shows
// for missing and stored values, ticking options with the mouse and keyboard,
// the size rules of its OK button, and what it writes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "UiTestKit.h"
#include "common/PlanSettings.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "platform/Profile.h"
#include "ui/CDlgAppSettings.h"
#include "ui/TextFormat.h"

namespace {

using bvtest::App;

// Input the way the window system delivers it.
void Click(QWidget* widget, QPoint at) {
  for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
    QMouseEvent event(type, at, widget->mapToGlobal(at), Qt::LeftButton,
                      type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                      Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
  }
}

void Key(QWidget* widget, int key, const QString& text = {}) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
  QApplication::sendEvent(widget, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
  QApplication::sendEvent(widget, &release);
}

void Type(QWidget* widget, const QString& text) {
  for (QChar c : text) Key(widget, c.toUpper().unicode(), QString(c));
}

class SettingsDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("BREVANTO_DATA_DIR", dir_.Native().c_str(), 1);
    setenv("BREVANTO_MESSAGE_LOG", dir_.NativeOf("messages.log").c_str(), 1);
    // OK adds the autostart entry while plans exist: never the real one.
    if (const char* config = std::getenv("XDG_CONFIG_HOME")) config_ = config;
    setenv("XDG_CONFIG_HOME", dir_.NativeOf("config").c_str(), 1);
    ResetSettingsCache();
    App();
  }
  void TearDown() override {
    unsetenv("BREVANTO_MESSAGE_LOG");
    if (config_.empty())
      unsetenv("XDG_CONFIG_HOME");
    else
      setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
  }

  std::string Raw(const char* section, const char* key) const {
    return plat::GetProfileString(GetInternalSettingsPath(), section, key, "<none>");
  }
  std::string Messages() const { return bvtest::ReadNative(dir_.NativeOf("messages.log")); }
  bool SettingsFileExists() const {
    return std::filesystem::exists(dir_.NativeOf("InternalSettings.ini"));
  }
  // Types into the size field the way a user does and presses OK.
  static void TypeSizeAndOk(CDlgAppSettings& dialog, const QString& text) {
    QLineEdit* edit = dialog.List()->SizeEdit();
    edit->setFocus();
    edit->selectAll();
    Key(edit, Qt::Key_Delete);
    Type(edit, text);
    EXPECT_EQ(edit->text(), text);
    dialog.OkButton()->click();
  }

  bvtest::TempDir dir_;
  std::string config_;
};

// Missing settings show the defaults, stored ones are shown (any non-zero
// ticks, a negative size is the default); Cancel writes nothing. Everything
// fits: the list is as wide as its longest text needs.
TEST_F(SettingsDialogTest, DialogShowsTheSettingsAndCancelWritesNothing) {
  using L = CAppSettingsList;
  const struct {
    const char* battery;
    const char* size;
    const char* error;
    const char* confirm;
    std::vector<bool> ticks;  // battery, error, status, confirm, start at log-in
    const char* shown;
  } cases[] = {
      {nullptr, nullptr, nullptr, nullptr, {true, true, true, false, true}, "2048"},
      {"0", "700", "0", "5", {false, false, true, true, true}, "700"},
      {"1", "-5", "1", "0", {true, true, true, false, true}, "2048"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    if (c.battery) {
      WriteInternalString("Backup Settings", "Battery", c.battery);
      WriteInternalString("Backup Settings", "BackupFileMaxSize", c.size);
      WriteInternalString("Show Notification", "Error", c.error);
      WriteInternalString("Show Notification", "Confirm", c.confirm);
    }
    CDlgAppSettings dialog;
    std::vector<bool> ticks;
    for (auto option : {L::kBattery, L::kError, L::kStatus, L::kConfirm, L::kStartAtLogin})
      ticks.push_back(dialog.List()->IsChecked(option));
    EXPECT_EQ(ticks, c.ticks);
    EXPECT_EQ(dialog.List()->SizeEdit()->text().toStdString(), c.shown);
    if (c.battery) continue;
    EXPECT_EQ(dialog.windowTitle().toStdString(), GetText("DIALOG_APP_SETTING", "TITLE"));
    EXPECT_EQ(dialog.OkButton()->text().toStdString(), GetText("DIALOG_APP_SETTING", "BUTTON_OK"));
    dialog.show();
    EXPECT_GE(dialog.List()->width(), dialog.List()->sizeHint().width());
    Click(dialog.List(), dialog.List()->OptionRect(L::kError).center());
    dialog.List()->SizeEdit()->setText("300");
    dialog.CancelButton()->click();
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_FALSE(SettingsFileExists());
  }
  WriteInternalString("Show Notification", "Confirm", "1");
  CDlgAppSettings dialog;
  dialog.show();
  bvtest::Shoot(&dialog, "settings-dialog.png");
}

TEST_F(SettingsDialogTest, ClicksAndSpaceTickOptionsAndOkWritesThemAll) {
  CDlgAppSettings dialog;
  dialog.show();
  CAppSettingsList* list = dialog.List();
  Click(list, list->OptionRect(CAppSettingsList::kBattery).center());
  Click(list, list->OptionRect(CAppSettingsList::kConfirm).center());
  EXPECT_FALSE(list->IsChecked(CAppSettingsList::kBattery));
  EXPECT_TRUE(list->IsChecked(CAppSettingsList::kConfirm));
  // A click on a heading changes nothing.
  Click(list, QPoint(20, 3));
  EXPECT_FALSE(list->IsChecked(CAppSettingsList::kBattery));

  // Keyboard: up from Confirm to Status, Space unticks it.
  list->setFocus();
  Key(list, Qt::Key_Up);
  EXPECT_EQ(list->CurrentOption(), CAppSettingsList::kStatus);
  Key(list, Qt::Key_Space, " ");
  EXPECT_FALSE(list->IsChecked(CAppSettingsList::kStatus));

  TypeSizeAndOk(dialog, "1,500 MB");
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(Raw("Backup Settings", "Battery"), "0");
  EXPECT_EQ(Raw("Show Notification", "Error"), "1");
  EXPECT_EQ(Raw("Show Notification", "Status"), "0");
  EXPECT_EQ(Raw("Show Notification", "Confirm"), "1");
  EXPECT_EQ(Raw("Backup Settings", "BackupFileMaxSize"), "1500");
  // The backup task's cached limit changed at once.
  EXPECT_EQ(GetBackupFileMaxSize(), 1500);
  EXPECT_TRUE(GetConfirmShutdown());
  EXPECT_EQ(Messages(), "");
}

TEST_F(SettingsDialogTest, SizesOutsideTheRangeAreRefusedAndNothingIsWritten) {
  EXPECT_EQ(GetBackupFileMaxSize(), 2048);  // cached before the dialog
  const std::string error =
      FormatText(GetText("DIALOG_APP_SETTING", "ERROR_INPUT"), {"200", "2048"});
  ASSERT_NE(error.find("200"), std::string::npos);
  ASSERT_NE(error.find("2048"), std::string::npos);

  CDlgAppSettings dialog;
  dialog.show();
  std::string expected;
  for (const char* text : {"199", "2049", "", "MB", "0", "99999999999999999999", "2,0,4,9"}) {
    SCOPED_TRACE(text);
    TypeSizeAndOk(dialog, QString::fromUtf8(text));
    expected += error + "\n";
    EXPECT_EQ(Messages(), expected);
    EXPECT_TRUE(dialog.isVisible());  // stays open for a correction
  }
  EXPECT_FALSE(SettingsFileExists());
  EXPECT_EQ(GetBackupFileMaxSize(), 2048);

  // The bounds themselves are accepted.
  TypeSizeAndOk(dialog, "200");
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(Raw("Backup Settings", "BackupFileMaxSize"), "200");
  CDlgAppSettings again;
  again.show();
  TypeSizeAndOk(again, "2048 MB");
  EXPECT_EQ(GetBackupFileMaxSize(), 2048);
  EXPECT_EQ(Messages(), expected);
}

// The start at log-in: OK writes the autostart entry only
// while a plan exists, pointing at the running executable; unticked, the
// entry goes; an entry that cannot be written is reported.
TEST_F(SettingsDialogTest, StartAtLoginAddsAndRemovesTheAutostartEntry) {
  const std::string entry = dir_.NativeOf("config/autostart/org.brevanto.Brevanto.desktop");
  auto ok = [](bool tick) {
    CDlgAppSettings dialog;
    dialog.show();
    CAppSettingsList* list = dialog.List();
    if (list->IsChecked(CAppSettingsList::kStartAtLogin) != tick)
      Click(list, list->OptionRect(CAppSettingsList::kStartAtLogin).center());
    dialog.OkButton()->click();
  };
  ok(true);
  EXPECT_FALSE(std::filesystem::exists(entry));  // nothing to protect yet

  PlanSettings settings;
  settings.name = "Docs";
  settings.storePath = dir_.SystemOf("Store") + "\\";
  settings.storageType = kStorageLocal;
  settings.scheduleNum = 1;
  settings.scheduleUnit = 1;
  settings.versionNumber = 3;
  CPlan* plan = PlanList::Instance().CreatePlan(settings);
  ASSERT_NE(plan, nullptr);
  ok(true);
  EXPECT_TRUE(std::filesystem::exists(entry));  // its lines: install_test's AutostartTest
  EXPECT_EQ(Raw("General", "StartAtLogin"), "1");

  ok(false);
  EXPECT_FALSE(std::filesystem::exists(entry));
  EXPECT_EQ(Raw("General", "StartAtLogin"), "0");
  EXPECT_FALSE(CDlgAppSettings().List()->IsChecked(CAppSettingsList::kStartAtLogin));
  EXPECT_EQ(Messages(), "");

  // A file where the autostart folder belongs.
  std::filesystem::remove_all(dir_.NativeOf("config/autostart"));
  bvtest::WriteNative(dir_.NativeOf("config/autostart"), "");
  ok(true);
  EXPECT_NE(Messages().find("The start at log-in could not be changed: the entry " + entry +
                            " cannot be written or removed."),
            std::string::npos)
      << Messages();
  PlanList::Instance().DeletePlan(plan->Id());
}

TEST(SettingsParseTest, OnlyDigitsCount) {
  const std::pair<QString, int> cases[] = {{"1,500 MB", 1500},
                                           {" 0700\t", 700},
                                           {QString::fromUtf8("١٢٣ 12"), 12},  // other digits drop
                                           {"", 0},
                                           {"-300", 300},
                                           {QString(100000, QChar('9')), INT_MAX}};
  for (const auto& [text, size] : cases)
    EXPECT_EQ(CDlgAppSettings::ParseSize(text), size) << text.left(20).toStdString();
}

TEST_F(SettingsDialogTest, LogLinkOpensTheLogFolder) {
  // Opening a file URL goes to this browser instead of the desktop.
  QTextBrowser opened;
  QDesktopServices::setUrlHandler("file", &opened, "setSource");
  CDlgAppSettings dialog;
  dialog.LogLink()->click();
  QDesktopServices::unsetUrlHandler("file");
  EXPECT_EQ(opened.source().toLocalFile().toStdString(), dir_.Native() + "/log");
  EXPECT_EQ(dialog.LogLink()->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_EQ(dialog.LogLink()->toolTip().toStdString(), dir_.Native() + "/log");

  // A desktop without an opener (nothing on the PATH): the folder is named.
  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  std::filesystem::create_directories(dir_.NativeOf("no-bin"));
  setenv("PATH", dir_.NativeOf("no-bin").c_str(), 1);
  dialog.LogLink()->click();
  setenv("PATH", path.c_str(), 1);
  EXPECT_NE(Messages().find("The log files are in " + dir_.Native() + "/log."), std::string::npos)
      << Messages();
}

}  // namespace
