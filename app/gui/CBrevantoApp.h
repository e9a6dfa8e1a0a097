// The application object: instance initialisation and exit processing around
// the Qt event loop. main() makes one after the QApplication.
#pragma once
#include <QObject>
#include <memory>
#include <string>

#include "app/gui/CHelpKeyFilter.h"
#include "app/gui/CInstanceGate.h"

class CInstanceServer;
class QSocketNotifier;
class CMainFrame;

class CBrevantoApp : public QObject {
  Q_OBJECT
 public:
  // commandLine: the whole command line (JoinCommandLine of main's argv).
  explicit CBrevantoApp(std::string commandLine, QObject* parent = nullptr);
  ~CBrevantoApp() override;

  // True when the event loop is to run; false ends the process (ExitInstance
  // still runs).
  bool InitInstance();
  // Exit processing; returns the process exit code. Runs once.
  int ExitInstance();

  CMainFrame* MainFrame() const { return frame_.get(); }

 private:
  void OnShowRequest();
  // SIGTERM, SIGINT or SIGHUP arrived: the exit command, without its question.
  void OnExitSignal();

  std::string commandLine_;
  CInstanceGate gate_;
  CHelpKeyFilter helpFilter_;
  std::unique_ptr<CInstanceServer> server_;
  std::unique_ptr<CMainFrame> frame_;
  std::unique_ptr<QSocketNotifier> exitSignals_;  // readable when a signal asks to end
  bool exited_ = false;
};
