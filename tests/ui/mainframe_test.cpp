// The main frame on real widgets (offscreen): caption, the engine start-up of
// its view, the notification menu and the exit command with and without the
// timed confirmation.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "ManualClock.h"
#include "UiTestKit.h"
#include "app/gui/CHelpKeyFilter.h"
#include "common/ActivityLog.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "support/QtApp.h"
#include "support/TempDir.h"
#include "ui/CDlgSystrayMesssage.h"
#include "ui/CDlgTimer.h"
#include "ui/CMainFrame.h"

namespace {

using bvtest::App;
using bvtest::Shoot;
using bvtest::WhenModal;

class MainFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("BREVANTO_DATA_DIR", dir_.Native().c_str(), 1);
    unsetenv("BREVANTO_TRACE_LOG");
    ResetSettingsCache();
    App();
  }

  int Setting(const char* section, const char* key) const {
    return plat::GetProfileInt(GetInternalSettingsPath(), section, key, -1);
  }

  // Triggers the menu's exit and delivers the close it posts.
  bool ExitThroughMenu(CMainFrame* frame) {
    bool closed = false;
    QObject::connect(frame, &CMainFrame::frameClosed, [&closed] { closed = true; });
    frame->ExitAction()->trigger();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    return closed;
  }

  bvtest::TempDir dir_;
};

TEST_F(MainFrameTest, FrameHasCaptionMenuAndStartsTheActivityLog) {
  CMainFrame frame;
  EXPECT_EQ(frame.windowTitle().toStdString(), "Brevanto Essentials");
  EXPECT_EQ(frame.menuWidget(), nullptr);
  EXPECT_FALSE(frame.isVisible());  // created hidden
  EXPECT_FALSE(frame.windowIcon().isNull());

  // The view's engine start-up gave the activity log its folder.
  EXPECT_EQ(CLogSet::Instance().LogFolder(), GetDataFolder() + "log\\");
  EXPECT_TRUE(std::filesystem::is_directory(dir_.NativeOf("log")));

  // The notification menu, in order: about, settings, updates, a
  // separator, open, exit.
  QMenu* menu = frame.Menu();
  ASSERT_EQ(menu->actions().size(), 6);
  const char* keys[] = {"ABOUT", "APPSETTINGS",  "CHECKFORUPDATES",
                        nullptr, "OPENBREVANTO", "SHUTDOWN"};
  for (int i = 0; i < 6; ++i) {
    QAction* action = menu->actions()[i];
    if (keys[i] == nullptr) {
      EXPECT_TRUE(action->isSeparator());
      continue;
    }
    EXPECT_EQ(action->text().toStdString(), GetText("TRAYMENU", keys[i]));
    EXPECT_FALSE(action->text().isEmpty()) << keys[i];
  }
  EXPECT_EQ(menu->actions()[4], frame.ShowAction());
  EXPECT_EQ(menu->actions()[5], frame.ExitAction());
}

// The exit command from the menu: without the confirmation it closes at
// once; with it, the timed question (cancelled: nothing changes; accepted or
// left to run out after 20 s: it closes). Closing stores the position
// unless the window is minimised; the next frame comes up there.
TEST_F(MainFrameTest, ExitStoresThePositionAndCloses) {
  enum Answer { kNone, kCancel, kAccept, kRunOut };
  const struct {
    Answer answer;
    bool minimised;
    bool closes;
  } cases[] = {{kNone, true, true},
               {kCancel, false, false},
               {kAccept, false, true},
               {kRunOut, false, true},
               {kNone, false, true}};
  WriteInternalInt("Application Position", "x", 40);
  WriteInternalInt("Application Position", "y", 50);
  bvtest::ManualClock clock;
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
        EXPECT_EQ(dialog->CancelButton()->text().toStdString(),
                  GetText("MAIN_UI", "BUTTON_CANCEL"));
        EXPECT_EQ(dialog->AcceptButton()->text().toStdString(), GetText("MAIN_UI", "BUTTON_CLOSE"));
        if (c.answer == kCancel) dialog->CancelButton()->click();
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
    EXPECT_EQ(ExitThroughMenu(&frame), c.closes);
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
    if (c.answer == kRunOut) {
      EXPECT_EQ(countAfter19, "1");
    }
    if (stored) {
      CMainFrame next;
      EXPECT_EQ(next.pos(), QPoint(123, 77));
      WriteInternalInt("Application Position", "x", 40);
      WriteInternalInt("Application Position", "y", 50);
    }
  }
}

// Neither a notification area nor a task bar (the offscreen desktop): the
// user is told that closing ends the program.
TEST_F(MainFrameTest, CloseWithoutNotificationAreaIsTheExitCommand) {
  const std::string log = dir_.NativeOf("messages.log");
  setenv("BREVANTO_MESSAGE_LOG", log.c_str(), 1);
  CMainFrame frame;
  ASSERT_FALSE(frame.IsIconShown() || frame.CanMinimise());
  frame.move(10, 20);
  frame.show();
  bool closed = false;
  QObject::connect(&frame, &CMainFrame::frameClosed, [&closed] { closed = true; });
  frame.close();
  QCoreApplication::sendPostedEvents();
  unsetenv("BREVANTO_MESSAGE_LOG");
  EXPECT_TRUE(closed);
  EXPECT_EQ(Setting("Application Position", "x"), 10);
  EXPECT_NE(bvtest::ReadNative(log).find("closing its window ends the program"), std::string::npos);
}

// F1 on a desktop where nothing can open the help (the offscreen desktop
// opens nothing; an X desktop without xdg-open or its own opener on the PATH
// neither): a message says so and names the help file as the user finds it.
TEST_F(MainFrameTest, HelpWithoutABrowserSaysWhereTheHelpIs) {
  const std::string log = dir_.NativeOf("messages.log");
  setenv("BREVANTO_MESSAGE_LOG", log.c_str(), 1);
  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  std::filesystem::create_directories(dir_.NativeOf("no-bin"));
  setenv("PATH", dir_.NativeOf("no-bin").c_str(), 1);
  CHelpKeyFilter filter;
  qApp->installEventFilter(&filter);
  QLineEdit edit;
  QKeyEvent f1(QEvent::KeyPress, Qt::Key_F1, Qt::NoModifier);
  QApplication::sendEvent(&edit, &f1);
  qApp->removeEventFilter(&filter);
  setenv("PATH", path.c_str(), 1);
  unsetenv("BREVANTO_MESSAGE_LOG");

  std::string help;
  ASSERT_TRUE(plat::ToNativePath(GetProgramFolder() + "Help\\Brevanto.html", &help));
  const std::string messages = bvtest::ReadNative(log);
  EXPECT_NE(messages.find("The help cannot be opened"), std::string::npos) << messages;
  EXPECT_NE(messages.find("The help is the file " + help + "."), std::string::npos) << messages;
}

// The main frame on a desktop with a notification area.
class FrameWithIcon : public CMainFrame {
 public:
  bool IsIconShown() const override { return true; }
};

// Closed, the window goes to the icon, which says so the first time only
// (also after a restart); the menu's Open brings it back, also minimised.
TEST_F(MainFrameTest, ClosingToTheIconSaysSoOnceForGood) {
  CDlgSystrayMesssage& popup = CDlgSystrayMesssage::Instance();
  popup.HideMessage();
  {
    FrameWithIcon frame;
    frame.show();
    for (int i = 0; i < 2; ++i) {
      frame.close();
      EXPECT_FALSE(frame.isVisible());
      EXPECT_FALSE(frame.IsExiting());
      EXPECT_EQ(popup.isVisible(), i == 0) << i;
      if (i == 0) {
        const std::string text = popup.Text().toStdString();
        EXPECT_NE(text.find("Brevanto Essentials is still protecting your files"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("Exit in its menu"), std::string::npos) << text;
        EXPECT_EQ(popup.Kind(), PopupKind::kInfo);
      }
      popup.HideMessage();
      frame.ShowAction()->trigger();
      EXPECT_TRUE(frame.isVisible());
    }
    frame.showMinimized();
    frame.ShowAction()->trigger();
    EXPECT_TRUE(frame.isVisible() && !frame.isMinimized());
  }
  EXPECT_EQ(Setting("Notices", "ClosedToIcon"), 1);
  FrameWithIcon restarted;
  restarted.show();
  restarted.close();
  EXPECT_FALSE(restarted.isVisible());
  EXPECT_FALSE(popup.isVisible());
}

// The countdown drops every second once shown and ends as accepted; Escape
// cancels.
TEST(DlgTimerTest, CountdownDropsEverySecondAndEscapeCancels) {
  App();
  bvtest::ManualClock clock;
  CDlgTimer dialog("message", "Close", "Cancel", 3);
  auto* count = dialog.findChild<QLabel*>("countLabel");
  EXPECT_EQ(count->text(), "3");
  EXPECT_EQ(count->font().weight(), QFont::Bold);
  EXPECT_EQ(clock.ActiveTimers(), 0u);  // counting starts when it shows
  QString afterOne;
  QTimer::singleShot(0, &dialog, [&] {
    clock.Advance(999);
    clock.Advance(1);
    afterOne = count->text();
    clock.Advance(2000);
  });
  EXPECT_EQ(dialog.exec(), QDialog::Accepted);
  EXPECT_EQ(afterOne, "2");
  EXPECT_EQ(dialog.Remaining(), 0);

  CDlgTimer escaped("message", "Close", "Cancel");
  QTimer::singleShot(0, &escaped, [&escaped] {
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&escaped, &escape);
  });
  EXPECT_EQ(escaped.exec(), QDialog::Rejected);
  EXPECT_GT(escaped.Remaining(), 0);
}

}  // namespace
