// The main frame on real widgets (offscreen): caption, menu, the icon's
// callbacks, closing on each kind of desktop, and the exit command with and
// without the timed confirmation.
#include <gtest/gtest.h>

#include <QAction>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>

#include "ManualClock.h"
#include "UiTestKit.h"
#include "common/ActivityLog.h"
#include "platform/Profile.h"
#include "ui/CDlgSystrayMesssage.h"
#include "ui/CDlgTimer.h"
#include "ui/CMainFrame.h"
#include "ui/TextFormat.h"

namespace {

using bvtest::Shoot;
using bvtest::WhenModal;

class MainFrameTest : public bvtest::UiTest {
 protected:
  int Setting(const char* section, const char* key) const {
    return plat::GetProfileInt(GetInternalSettingsPath(), section, key, -1);
  }
};

// Caption, icon, the activity log started by the view's engine start-up,
// the notification menu in order; a click or double click on the icon
// brings the window back, minimised or hidden, unless callbacks are off.
TEST_F(MainFrameTest, FrameHasCaptionMenuAndIconCallbacks) {
  CMainFrame frame;
  EXPECT_EQ(frame.windowTitle().toStdString(), "Brevanto Essentials");
  EXPECT_EQ(frame.menuWidget(), nullptr);
  EXPECT_FALSE(frame.isVisible());  // created hidden
  EXPECT_FALSE(frame.windowIcon().isNull());
  EXPECT_EQ(CLogSet::Instance().LogFolder(), GetDataFolder() + "log\\");
  EXPECT_TRUE(std::filesystem::is_directory(dir_.NativeOf("data/log")));
  QMenu* menu = frame.Menu();
  ASSERT_EQ(menu->actions().size(), 6);
  const char* keys[] = {"ABOUT", "APPSETTINGS",  "CHECKFORUPDATES",
                        nullptr, "OPENBREVANTO", "SHUTDOWN"};
  for (int i = 0; i < 6; ++i) {
    QAction* action = menu->actions()[i];
    EXPECT_EQ(action->isSeparator(), keys[i] == nullptr) << i;
    if (keys[i]) {
      EXPECT_EQ(action->text().toStdString(), GetText("TRAYMENU", keys[i]));
    }
  }
  EXPECT_EQ(menu->actions()[4], frame.ShowAction());
  EXPECT_EQ(menu->actions()[5], frame.ExitAction());

  for (auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::DoubleClick}) {
    for (bool minimised : {true, false}) {
      minimised ? frame.showMinimized() : frame.hide();
      frame.EnableCallbacks(false);
      EXPECT_EQ(frame.CallbackMessage(), 0);
      frame.HandleActivation(reason, QPoint(5, 5));
      EXPECT_TRUE(minimised ? frame.isMinimized() : !frame.isVisible()) << reason;
      frame.EnableCallbacks(true);
      EXPECT_EQ(frame.CallbackMessage(), CTrayWnd::kCallbackMessage);
      frame.HandleActivation(reason, QPoint(5, 5));
      EXPECT_TRUE(frame.isVisible() && !frame.isMinimized()) << reason << " " << minimised;
    }
  }
  frame.HandleActivation(QSystemTrayIcon::Context, QPoint(40, 40));
  EXPECT_TRUE(frame.Menu()->isVisible());
  frame.Menu()->hide();
}

// A desktop with a notification area, one with only a task bar, and one
// with neither (the offscreen one).
template <bool kIcon, bool kTaskBar>
class FrameOn : public CMainFrame {
 public:
  bool IsIconShown() const override { return kIcon; }
  bool CanMinimise() const override { return kTaskBar; }
};

// Closing sends the window to the icon, or minimises it into the task bar
// (which then gets the icon's menu as its menu bar); the first time a pop-up
// says why, once for good (also after a restart); Open brings it back. With
// neither, the user is told that closing ends the program, and it does.
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
      frame.showMinimized();
      frame.ShowAction()->trigger();
      EXPECT_TRUE(frame.isVisible() && !frame.isMinimized());
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

// The exit command from the menu: without the confirmation it closes at
// once; with it, the timed question (Escape: nothing changes; accepted or
// left to run out after 20 s: it closes). Closing stores the position
// unless the window is minimised; the next frame comes up there.
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
        if (c.answer == kEscape) {
          QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
          QApplication::sendEvent(dialog, &escape);
        }
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

}  // namespace
