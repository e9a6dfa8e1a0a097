// The main window: caption, placement, the notification icon with its menu,
// the pop-ups raised by engine events and the power state, and the exit
// command. Closing it by its close button only hides it while a notification
// icon can bring it back; without one it is minimised where the desktop
// keeps minimised windows, and only where nothing could bring it back does
// closing it end the program.
#pragma once
#include <QString>
#include <QTimer>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "platform/process/Clock.h"
#include "ui/main/PlanNotices.h"
#include "ui/tray/CTrayWnd.h"

class QAction;
class QMenu;
class CBrevantoView;
class CMEvent;
struct EventData;

// The program's version ("3.0.0", the project's).
const char* ProductVersion();

class CMainFrame : public CTrayWnd {
  Q_OBJECT
 public:
  // Created hidden; placed at the stored position when there is one.
  explicit CMainFrame(QWidget* parent = nullptr);
  ~CMainFrame() override;

  CBrevantoView* View() const { return view_; }

  // The notification icon's menu and its actions, in menu order.
  QMenu* Menu() const { return menu_.get(); }
  QAction* AboutAction() const { return aboutAction_; }
  QAction* SettingsAction() const { return settingsAction_; }
  QAction* HelpAction() const { return helpAction_; }
  QAction* RestoreAction() const { return restoreAction_; }
  QAction* ShowAction() const { return showAction_; }
  QAction* ExitAction() const { return exitAction_; }
  // "Problems: n — show", first in the menu while plans cannot copy.
  QAction* ProblemsAction() const { return problemsAction_; }
  // The resting icon while some plan only records (warning) or its copies
  // fail (failure).
  const QIcon& WarningIcon() const { return warningIcon_; }
  const QIcon& FailureIcon() const { return failureIcon_; }

  // Restores the window when minimised, shows it and brings it to the front.
  void ShowFromTray() { ShowMainWindow(); }
  // Asks for confirmation when configured, stores the position, removes the
  // notification icon and posts the close that ends the program.
  void ExitCommand();
  // The exit command without its question (the session asked the program
  // to end): stores the position, removes the icon and closes.
  void ExitWithoutQuestion();
  bool IsExiting() const { return exiting_; }
  // The first-use routine (no plan exists): the plan wizard for a new plan.
  void RunFirstUse();

  // One engine event from the view's pump (UI thread): the busy animation,
  // the pop-ups CPlanNotices picks, and the end of the program when the
  // change-monitoring driver failed.
  void OnEngineEvent(CMEvent* source, const EventData& event);
  // The power state read by the pump's periodic check. Only a change counts:
  // going to battery shows the battery icon and the "POWER_IS_OFFLINE"
  // pop-up; coming back to mains power shows the usual icon again.
  void OnPowerStatus(plat::PowerStatus status);
  bool OnBattery() const { return onBattery_; }
  size_t BusyPlanCount() const { return busy_.size(); }

 signals:
  // The frame closed for good (after the exit command).
  void frameClosed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  // On a desktop without a notification area, the first show gives the
  // window a menu bar with the icon's menu, the only way to its commands.
  void showEvent(QShowEvent* event) override;
  QMenu* ContextMenu() override;

 private:
  void PlaceAtStoredPosition();
  // The first time the window closes to the icon: a pop-up says the program
  // still protects the files and that the icon's menu exits it.
  void TellClosedToIcon();
  // The first time the window closes on a desktop without a notification
  // area: a pop-up says the window stays minimised and how to end it.
  void TellNoNotificationArea();
  void BuildMenu();
  // The problems entry, hidden while every plan is well.
  void AddProblemsEntry();
  // The view's problems changed: the tool tip names each plan and its
  // problem, the resting icon and the menu entry follow.
  void ShowProblems();
  // The problems in a pop-up (the menu entry), the window shown.
  void TellProblems();
  void ShowAbout();
  void ShowSettings();
  // The restore window at the first plan (a message when there is none).
  void ShowRestore();
  // The icon shown while no plan is busy: the battery image on battery.
  void ShowRestingIcon();
  void PlanModeChanged(uint32_t planId, int32_t mode);

  CBrevantoView* view_;
  std::unique_ptr<QMenu> menu_;
  QAction* aboutAction_ = nullptr;
  QAction* settingsAction_ = nullptr;
  QAction* helpAction_ = nullptr;
  QAction* restoreAction_ = nullptr;
  QAction* showAction_ = nullptr;
  QAction* exitAction_ = nullptr;
  QAction* problemsAction_ = nullptr;
  bool exiting_ = false;
  QIcon warningIcon_, failureIcon_;
  int problemLevel_ = 0;  // 0 every plan is well, 1 a warning, 2 a failure

  std::set<uint32_t> busy_;  // plans in run state 2
  CPlanNotices notices_;     // which events become pop-ups (UI thread only)
  bool powerKnown_ = false;
  bool onBattery_ = false;
};
