#include "app/gui/CBrevantoApp.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QStyleFactory>

#include "app/gui/CInstanceServer.h"
#include "app/gui/StartMode.h"
#include "common/EngineEvents.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "engine/ActivityLogger.h"
#include "engine/PlanList.h"
#include "platform/process/ExitSignals.h"
#include "platform/profile/Folders.h"
#include "ui/main/CBrevantoView.h"
#include "ui/main/CMainFrame.h"
#include "ui/main/EngineStartup.h"
#include "ui/main/EventPump.h"
#include "ui/main/RunSoon.h"
#include "ui/settings/Autostart.h"
#include "ui/tray/CDlgSystrayMesssage.h"
#include "ui/widgets/StartupTrace.h"

CBrevantoApp::CBrevantoApp(std::string commandLine, QObject* parent)
    : QObject(parent), commandLine_(std::move(commandLine)) {}

CBrevantoApp::~CBrevantoApp() { ExitInstance(); }

bool CBrevantoApp::InitInstance() {
  // A request to end (a session's logout) goes through the exit path once
  // the event loop runs, also when it arrived during start-up.
  const int signalFd = plat::CatchExitSignals();
  if (signalFd >= 0) {
    exitSignals_ = std::make_unique<QSocketNotifier>(signalFd, QSocketNotifier::Read);
    connect(exitSignals_.get(), &QSocketNotifier::activated, this, &CBrevantoApp::OnExitSignal);
  }
  if (!gate_.Pass()) return false;

  // Qt brings up its own libraries with the QApplication; the window stays
  // open until the exit command, so the last hidden window must not quit.
  QApplication::setQuitOnLastWindowClosed(false);
  QCoreApplication::setOrganizationName(QStringLiteral("Orlimtech"));
  QCoreApplication::setApplicationName(QStringLiteral("Brevanto"));
  QCoreApplication::setApplicationVersion(QString::fromLatin1(ProductVersion()));
  SetUiThread();
  if (QStyle* style = QStyleFactory::create(QStringLiteral("Fusion"))) {
    QApplication::setStyle(style);
  }
  qApp->installEventFilter(&helpFilter_);
  if (!plat::EnsureDataFolder()) TraceStartup("data-folder-failed");

  // The frame is created hidden; its view starts the engine.
  frame_ = std::make_unique<CMainFrame>();
  connect(frame_.get(), &CMainFrame::frameClosed, qApp, &QCoreApplication::quit,
          Qt::QueuedConnection);

  const int runOnce = ReadInternalInt("General", "RunOnce", 1);
  if (runOnce != 0) {
    // First start after installation. The update client keeps no cached data
    // on this platform, so there is nothing to delete.
    WriteInternalInt("General", "RunOnce", 0);
    TraceStartup("first-start");
  }

  const bool silent = IsSilentCommandLine(commandLine_);
  TraceStartup(silent ? "start-silent" : "start-normal");
  const int plans = PlanCount();
  // The session starts the program once there is something to protect, and
  // no longer once the last plan is gone (or the data folder was removed).
  if (!SyncAutostartEntry(plans > 0)) TraceStartup("autostart-failed");
  connect(frame_->View()->EventPump(), &CEventPump::eventArrived, this,
          [](CMEvent*, const EventData& event) {
            if (event.code == kEvPlanCreated || event.code == kEvPlanDeleted)
              SyncAutostartEntry(PlanCount() > 0);
          });
  switch (DecideStartWindow(silent, runOnce, plans,
                            static_cast<int>(PlanList::Instance().SetAsideCount()))) {
    case StartWindow::kHide:
      if (!frame_->IsIconShown() && frame_->CanMinimise()) {
        // No notification area to live in: the task bar keeps the window
        // within reach instead.
        frame_->showMinimized();
        TraceStartup("shown-minimised");
      } else {
        TraceStartup("hidden");
      }
      break;
    case StartWindow::kShow:
      frame_->show();
      TraceStartup("shown");
      break;
    case StartWindow::kShowFirstUse:
      frame_->show();
      TraceStartup("shown");
      // The first-use routine: the plan wizard opens once the event loop runs.
      TraceStartup("first-use");
      RunSoon(frame_.get(), [frame = frame_.get()] { frame->RunFirstUse(); });
      break;
  }
  // With plans, the update client is asked here; on this platform it never
  // has an installer to launch.

  // The running instance's window handle: the socket later starts talk to.
  server_ = std::make_unique<CInstanceServer>();
  connect(server_.get(), &CInstanceServer::showRequested, this, &CBrevantoApp::OnShowRequest);
  const std::string name = CInstanceServer::NameFor(gate_.Block().FilePath());
  if (server_->Listen(name)) {
    gate_.SetWindowHandle(name);
  } else {
    TraceStartup("listen-failed");
  }
  frame_->setWindowTitle(QString::fromStdString(GetProductName()));
  return true;
}

void CBrevantoApp::OnExitSignal() {
  if (plat::TakeExitSignal() == 0) return;
  TraceStartup("exit-signal");
  if (frame_) {
    frame_->ExitWithoutQuestion();
  } else {
    QCoreApplication::quit();
  }
}

void CBrevantoApp::OnShowRequest() {
  TraceStartup("show-request");
  if (frame_) frame_->ShowFromTray();
}

int CBrevantoApp::ExitInstance() {
  if (exited_) return 0;
  exited_ = true;
  // The notification pop-up ends first (result 2); plan threads end before
  // anything they post to or write through goes.
  CDlgSystrayMesssage::EndIfOpen();
  if (frame_) StopEngine();
  // What the plans posted on their way out is written before the process ends.
  CActivityLogger::Instance().Stop();
  if (server_) server_->Close();
  gate_.Leave(frame_ != nullptr);
  TraceStartup("instance-exit");
  return 0;
}
