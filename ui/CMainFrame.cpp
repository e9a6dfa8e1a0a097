#include "ui/CMainFrame.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QMetaObject>
#include <QScreen>

#include "app/Settings.h"
#include "app/Texts.h"
#include "ui/CBrevantoView.h"
#include "ui/CDlgTimer.h"
#include "ui/CTrayIcon.h"
#include "ui/NativePath.h"
#include "ui/StartupTrace.h"

namespace {

constexpr char kPositionSection[] = "Application Position";

QString MainText(const char* key) { return QString::fromStdString(GetText("MAIN_UI", key)); }

}  // namespace

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent) {
  // The view brings up the engine in its constructor, before anything shows.
  view_ = new CBrevantoView(this);
  setCentralWidget(view_);
  setWindowTitle(QStringLiteral("Brevanto  Essentials"));
  setWindowIcon(QIcon(NativeQPath(GetIconPath("Brevanto"))));
  resize(720, 480);
  PlaceAtStoredPosition();

  tray_ = new CTrayIcon(this);
  connect(tray_, &CTrayIcon::showRequested, this, &CMainFrame::ShowFromTray);
  connect(tray_, &CTrayIcon::exitRequested, this, &CMainFrame::ExitCommand);
}

CMainFrame::~CMainFrame() = default;

void CMainFrame::PlaceAtStoredPosition() {
  const int x = ReadInternalInt(kPositionSection, "x", -1);
  const int y = ReadInternalInt(kPositionSection, "y", -1);
  if (x == -1 || y == -1) return;
  // A position left from a screen that is gone would put the window out of reach.
  if (QGuiApplication::screenAt(QPoint(x, y)) == nullptr) return;
  move(x, y);
}

void CMainFrame::ShowFromTray() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
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
  if (!isMinimized()) {
    WriteInternalInt(kPositionSection, "x", pos().x());
    WriteInternalInt(kPositionSection, "y", pos().y());
  }
  tray_->Remove();
  exiting_ = true;
  TraceStartup("exit");
  QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  if (exiting_) {
    event->accept();
    emit frameClosed();
    return;
  }
  event->ignore();
  if (tray_->IsShown()) {
    hide();
  } else {
    // Without a notification icon a hidden window could not be brought back
    // or ended from the desktop: closing it is the exit command.
    ExitCommand();
  }
}
