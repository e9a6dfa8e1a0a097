// The main frame on real widgets (offscreen).
#include <QAction>
#include <QDesktopServices>
#include <QMenu>
#include <QMenuBar>
#include <QTextBrowser>

#include "ManualClock.h"
#include "UiTestKit.h"
#include "ui/restore/CDlgRestore.h"
#include "ui/tray/CDlgSystrayMesssage.h"
#include "ui/widgets/CDlgTimer.h"

namespace bvtest {
namespace {

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
  QTextBrowser opened;
  QDesktopServices::setUrlHandler("file", &opened, "setSource");
  std::string help;
  ASSERT_TRUE(plat::ToNativePath(GetProgramFolder() + "Help\\Brevanto.html", &help));
  for (const auto& open : {std::function<void()>([&] { frame.HelpAction()->trigger(); }),
                           std::function<void()>([&] { frame.View()->HelpButton()->click(); })}) {
    opened.setSource(QUrl());
    open();
    EXPECT_EQ(opened.source().toLocalFile().toStdString(), help);
  }
  QDesktopServices::unsetUrlHandler("file");

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
}  // namespace bvtest
