#include "ui/main/CMainFrame.h"

#include "ui/disc/CDlgBurnDisc.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QMenuBar>
#include <QMetaObject>
#include <QPointer>
#include <QScreen>
#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/ActivityLog.h"
#include "common/EngineEvents.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "plans/Schedule.h"
#include "ui/disc/CDlgBurnDisc.h"
#include "ui/disc/CDlgBurnSetting.h"
#include "ui/main/CBrevantoView.h"
#include "ui/main/PlanProblem.h"
#include "ui/restore/CDlgRestore.h"
#include "ui/settings/CDlgAppSettings.h"
#include "ui/tray/CDlgSystrayMesssage.h"
#include "ui/widgets/AppMessage.h"
#include "ui/widgets/CDlgTimer.h"
#include "ui/widgets/DesktopOpen.h"
#include "ui/widgets/NativePath.h"
#include "ui/widgets/StartupTrace.h"
#include "ui/widgets/TextFormat.h"
#include "ui/wizard/CPlanWizardDlg.h"

namespace {

constexpr char kPositionSection[] = "Application Position";
// One-time notices already given ("InternalSettings.ini").
constexpr char kNoticeSection[] = "Notices";

QString MainText(const char* key) { return QString::fromStdString(GetText("MAIN_UI", key)); }
QString MenuText(const char* key) { return QString::fromStdString(GetText("TRAYMENU", key)); }

// A notification-area image drawn at the icon theme's sizes
// ("Icons\<name>-<size>.png"); the desktop picks the size it shows.
QIcon SizedTrayImage(const std::string& name) {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    const QString file = NativeQPath(GetIconPath(name + "-" + std::to_string(size)));
    if (QFile::exists(file)) icon.addFile(file, QSize(size, size));
  }
  return icon;
}

}  // namespace

const char* ProductVersion() { return BV_VERSION; }

CMainFrame::CMainFrame(QWidget* parent)
    : CTrayWnd(parent),
      notices_(
          [](uint32_t id) {
            PlanList& list = PlanList::Instance();
            std::lock_guard<std::recursive_mutex> guard(list.Lock());
            CPlan* plan = list.Find(id);
            return plan ? plan->Name() : std::string();
          },
          [](uint32_t id) {
            PlanList& list = PlanList::Instance();
            std::lock_guard<std::recursive_mutex> guard(list.Lock());
            CPlan* plan = list.Find(id);
            return plan != nullptr && plan->ScheduleUnit() == kUnitContinuous;
          },
          [] { return GetShowStatusNotification(); }, [] { return GetShowErrorNotification(); }) {
  // The view brings up the engine in its constructor, before anything shows.
  view_ = new CBrevantoView(this);
  setCentralWidget(view_);
  setObjectName("mainFrame");
  setWindowTitle(QString::fromStdString(GetProductName()));
  setWindowIcon(QIcon(NativeQPath(GetIconPath("Brevanto"))));
  resize(960, 720);
  PlaceAtStoredPosition();

  BuildMenu();
  warningIcon_ = SizedTrayImage("SystrayWarning");
  failureIcon_ = SizedTrayImage("SystrayFailure");
  AddProblemsEntry();
  connect(view_, &CBrevantoView::problemsChanged, this, &CMainFrame::ShowProblems);
  CEventPump* pump = view_->EventPump();
  connect(pump, &CEventPump::eventArrived, this, &CMainFrame::OnEngineEvent, Qt::DirectConnection);
  connect(pump, &CEventPump::drained, this, [this] { OnPowerStatus(plat::GetPowerStatus()); });
  // The plan wizard: a new plan, a plan to change, or a plan whose
  // destination is away, opened at the destination step.
  auto wizard = [this](uint32_t id, int page) {
    if (RunPlanWizard(this, id, page)) view_->Refresh();
  };
  connect(view_, &CBrevantoView::addPlanRequested, this, [wizard] { wizard(0, 0); });
  connect(view_, &CBrevantoView::editPlanRequested, this, [wizard](uint32_t id) { wizard(id, 0); });
  connect(view_, &CBrevantoView::destinationStepRequested, this,
          [wizard](uint32_t id) { wizard(id, 2); });
  connect(view_, &CBrevantoView::restoreRequested, this,
          [this](uint32_t id) { ShowRestoreWindow(this, id); });
  connect(view_, &CBrevantoView::archiveRequested, this,
          [this](uint32_t id) { ShowBurnSettings(this, id); });
  // The view's own notices (low space, plans only recording) are pop-ups.
  connect(view_, &CBrevantoView::messageRequested, this, [](const QString& text, int kind) {
    CDlgSystrayMesssage::Instance().ShowMessage(text, static_cast<PopupKind>(kind));
  });
  connect(view_, &CBrevantoView::makeRoomOffered, this,
          [this](const QString& text, int kind, uint32_t id) {
            CDlgSystrayMesssage::Instance().ShowMessage(
                text, static_cast<PopupKind>(kind),
                QString::fromStdString(GetText("UGGRID", "MAKE_ROOM")),
                [view = QPointer<CBrevantoView>(view_), id] {
                  if (view) view->MakeRoomFor(id);
                });
          });
  AddIcon();
}

CMainFrame::~CMainFrame() { RemoveIcon(); }

void CMainFrame::RunFirstUse() {
  if (RunPlanWizard(this, 0, 0)) view_->Refresh();
}

void CMainFrame::BuildMenu() {
  menu_ = std::make_unique<QMenu>();
  menu_->setObjectName("trayMenu");
  aboutAction_ = menu_->addAction(MenuText("ABOUT"));
  settingsAction_ = menu_->addAction(MenuText("APPSETTINGS"));
  helpAction_ = menu_->addAction(MenuText("HELP"));
  menu_->addSeparator();
  restoreAction_ = menu_->addAction(MenuText("RESTORE"));
  showAction_ = menu_->addAction(MenuText("OPENBREVANTO"));
  exitAction_ = menu_->addAction(MenuText("SHUTDOWN"));
  connect(aboutAction_, &QAction::triggered, this, &CMainFrame::ShowAbout);
  connect(settingsAction_, &QAction::triggered, this, &CMainFrame::ShowSettings);
  connect(helpAction_, &QAction::triggered, this, [] { OpenHelp(); });
  connect(restoreAction_, &QAction::triggered, this, &CMainFrame::ShowRestore);
  connect(showAction_, &QAction::triggered, this, &CMainFrame::ShowMainWindow);
  connect(exitAction_, &QAction::triggered, this, &CMainFrame::ExitCommand);
}

QMenu* CMainFrame::ContextMenu() { return menu_.get(); }

void CMainFrame::AddProblemsEntry() {
  problemsAction_ = new QAction(menu_.get());
  problemsAction_->setObjectName("problemsAction");
  problemsAction_->setVisible(false);
  menu_->insertAction(menu_->actions().value(0), problemsAction_);
  connect(problemsAction_, &QAction::triggered, this, &CMainFrame::TellProblems);
  ShowProblems();
}

void CMainFrame::ShowProblems() {
  const std::vector<CBrevantoView::ProblemEntry> problems = view_->Problems();
  QString tip = QString::fromStdString(GetProductName());
  int level = 0;
  for (const CBrevantoView::ProblemEntry& entry : problems) {
    tip += "\n" + QString::fromStdString(ProblemLine(entry.name, entry.problem));
    level = std::max(level, entry.problem.Failure() ? 2 : 1);
  }
  SetTooltip(tip);
  problemsAction_->setText(QString::fromStdString(
      FormatText(GetText("PLAN_PROBLEM", "MENU_ENTRY"), {LocaleNumber(problems.size())})));
  problemsAction_->setVisible(!problems.empty());
  if (level == problemLevel_) return;
  problemLevel_ = level;
  if (busy_.empty()) ShowRestingIcon();
}

void CMainFrame::TellProblems() {
  ShowMainWindow();
  std::string text;
  for (const CBrevantoView::ProblemEntry& entry : view_->Problems())
    text += (text.empty() ? "" : "\n") + ProblemLine(entry.name, entry.problem);
  if (!text.empty()) ShowMessage(QString::fromStdString(text), PopupKind::kWarning);
}

void CMainFrame::PlaceAtStoredPosition() {
  const int x = ReadInternalInt(kPositionSection, "x", -1);
  const int y = ReadInternalInt(kPositionSection, "y", -1);
  if (x == -1 || y == -1) return;
  // A position left from a screen that is gone would put the window out of reach.
  if (QGuiApplication::screenAt(QPoint(x, y)) == nullptr) return;
  move(x, y);
}

void CMainFrame::ShowAbout() {
  ShowAppMessage(FormatText(GetText("MAIN_UI", "ABOUT_TEXT"), {GetProductName(), ProductVersion()}),
                 QMessageBox::Information);
}

void CMainFrame::ShowSettings() {
  CDlgAppSettings dialog(isVisible() ? this : nullptr);
  dialog.exec();
}

void CMainFrame::ShowRestore() {
  // The restore window starts at the first plan; its plan box offers the others.
  uint32_t first = 0;
  {
    PlanList& list = PlanList::Instance();
    std::lock_guard<std::recursive_mutex> guard(list.Lock());
    if (CPlan* plan = list.Count() > 0 ? list.At(0) : nullptr) first = plan->Id();
  }
  if (first == 0) {
    ShowAppMessage(GetText("MAIN_UI", "RESTORE_NO_PLAN"), QMessageBox::Information);
    return;
  }
  ShowRestoreWindow(isVisible() ? this : nullptr, first);
}

void CMainFrame::ExitCommand() {
  if (exiting_) return;
  if (ReadInternalInt("Show Notification", "Confirm", 0) != 0) {
    const QString message = MainText("NO_LONGER_BE_PROTECTED") + " " +
                            QString::fromStdString(GetProductName()) + ". " +
                            MainText("CLICK_OK_TO_SHUTDOWN");
    CDlgTimer dialog(message, MainText("BUTTON_CLOSE"), MainText("BUTTON_CANCEL"),
                     CDlgTimer::kDefaultSeconds, isVisible() ? this : nullptr);
    if (dialog.exec() != QDialog::Accepted) {
      TraceStartup("exit-cancelled");
      return;
    }
  }
  ExitWithoutQuestion();
}

void CMainFrame::ExitWithoutQuestion() {
  if (exiting_) return;
  if (!isMinimized()) {
    WriteInternalInt(kPositionSection, "x", pos().x());
    WriteInternalInt(kPositionSection, "y", pos().y());
  }
  RemoveIcon();
  exiting_ = true;
  TraceStartup("exit");
  QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  if (exiting_) {
    ClosePopups();
    CDlgBurnDisc::EndIfOpen();
    event->accept();
    emit frameClosed();
    return;
  }
  event->ignore();
  if (IsIconShown()) {
    hide();
    TellClosedToIcon();
  } else if (CanMinimise()) {
    // No notification area: the task bar keeps the window within reach.
    showMinimized();
    TellNoNotificationArea();
  } else {
    // Nothing could bring a hidden window back or end the program from the
    // desktop: closing it is the exit command, and the user is told why.
    ShowAppMessage(FormatText(GetText("MAIN_UI", "NO_NOTIFICATION_AREA_EXIT"), {GetProductName()}),
                   QMessageBox::Information);
    ExitCommand();
  }
}

void CMainFrame::showEvent(QShowEvent* event) {
  CTrayWnd::showEvent(event);
  if (menuWidget() != nullptr || IsIconShown() || !CanMinimise()) return;
  menu_->setTitle(QString::fromStdString(GetProductName()));
  menuBar()->addMenu(menu_.get());
}

void CMainFrame::TellNoNotificationArea() {
  if (ReadInternalInt(kNoticeSection, "NoNotificationArea", 0) != 0) return;
  WriteInternalInt(kNoticeSection, "NoNotificationArea", 1);
  ShowMessage(QString::fromStdString(
                  FormatText(GetText("MAIN_UI", "NO_NOTIFICATION_AREA"), {GetProductName()})),
              PopupKind::kInfo);
}

void CMainFrame::TellClosedToIcon() {
  // Once for good: the user who read it knows where the program went.
  if (ReadInternalInt(kNoticeSection, "ClosedToIcon", 0) != 0) return;
  WriteInternalInt(kNoticeSection, "ClosedToIcon", 1);
  ShowMessage(
      QString::fromStdString(FormatText(GetText("MAIN_UI", "CLOSED_TO_ICON"), {GetProductName()})),
      PopupKind::kInfo);
}

void CMainFrame::OnEngineEvent(CMEvent* /*source*/, const EventData& event) {
  const uint32_t id = event.planId;
  switch (event.code) {
    case kEvPlanModeChanged:
      PlanModeChanged(id, event.value);
      break;
    case kEvPlanDeleted:
      PlanModeChanged(id, 1);
      break;
    case kEvDriverFailed:
      // With a description the monitor runs on but missed changes (lost
      // events, a watch limit): a pop-up below. Without, nothing can be
      // protected any more: say so and end at once.
      if (!event.text1.empty()) break;
      TraceStartup("driver-failed");
      ShowAppMessage(GetText("MESSAGE_RECEIVER", "FAILED_TO_LOAD_DRIVER"), QMessageBox::Critical);
      std::_Exit(0);
    default:
      break;
  }
  const std::optional<PlanNotice> notice = notices_.OnEvent(event, plat::Now());
  if (notice)
    ShowMessage(QString::fromStdString(notice->text),
                notice->warning ? PopupKind::kWarning : PopupKind::kInfo);
}

void CMainFrame::PlanModeChanged(uint32_t planId, int32_t mode) {
  if (mode == 2) {
    busy_.insert(planId);
    if (!IsAnimating()) StartAnimation(GetIconPath("SystrayAnim"));
    return;
  }
  if (busy_.erase(planId) != 0 && busy_.empty()) ShowRestingIcon();
}

void CMainFrame::ShowRestingIcon() {
  if (problemLevel_ == 2) {
    SetIcon(failureIcon_);
  } else if (problemLevel_ == 1) {
    SetIcon(warningIcon_);
  } else if (onBattery_) {
    SetIcon(QIcon(NativeQPath(GetIconPath("SystrayBatteryMode"))));
  } else {
    SetReadyIcon();
  }
}

void CMainFrame::OnPowerStatus(plat::PowerStatus status) {
  if (status == plat::PowerStatus::kUnknown) return;
  const bool battery = status == plat::PowerStatus::kBattery;
  if (!powerKnown_) {
    // The first reading only sets the scene: the icon shows the state, but
    // no change happened that a pop-up could report.
    powerKnown_ = true;
    onBattery_ = battery;
    if (battery && busy_.empty()) ShowRestingIcon();
    return;
  }
  if (battery == onBattery_) return;
  onBattery_ = battery;
  if (battery) {
    SetIcon(QIcon(NativeQPath(GetIconPath("SystrayBatteryMode"))));
    if (GetShowErrorNotification()) ShowMessage(MainText("POWER_IS_OFFLINE"), PopupKind::kWarning);
  } else if (busy_.empty()) {
    ShowRestingIcon();
  } else {
    StartAnimation(GetIconPath("SystrayAnim"));
  }
}
