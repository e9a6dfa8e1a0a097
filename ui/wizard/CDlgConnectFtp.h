// The wizard's FTP connection test: connects to the server with a copy of
// the wizard's FTP settings on a worker thread and places the store marker,
// while a one-second timer reads the result. A test that failed says so with
// its cause at the next tick; one still running when the plan's time-out
// allowed every attempt its wait (at least 21 ticks) counts as failed and is
// abandoned; once logged in, the test file is given a minute (or twice the
// time-out), then the test fails saying the server did not confirm it. The
// window grows to show its whole text. Pressing the button while the test
// runs asks whether to stop waiting. An abandoned worker (given up on,
// cancelled, its dialog closed) is told to stop: its requests end within a
// second and it closes its connection. It never touches the dialog: it
// writes only to a state record it shares with the dialog. The result says whether the connection
// is encrypted; a server whose certificate no authority vouches for shows its key fingerprint and
// the user is asked whether to trust it; when they do, the test runs again with that key pinned
// (AcceptedKey()). A server that is this machine whose marker turns up below the plan's folders
// (sources) is said with the success: the plan would back up its own copies; one whose marker lies
// at or above one of them fails the test (the store would take that folder for its own).
#pragma once
#include <QDialog>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/PlanSettings.h"

class CUiTimer;
class QLabel;
class QPushButton;

class CDlgConnectFtp : public QDialog {
  Q_OBJECT
 public:
  explicit CDlgConnectFtp(const FtpSettings& settings, QWidget* parent = nullptr,
                          std::vector<std::string> sources = {});
  ~CDlgConnectFtp() override;

  // The question asked when the button is pressed during the test (true:
  // stop waiting); a message box unless a test sets its own.
  void SetCancelQuestion(std::function<bool()> ask) { ask_ = std::move(ask); }
  // The question whether to trust a server key (true: trust it); a message
  // box unless a test sets its own.
  void SetTrustQuestion(std::function<bool(const QString&)> ask) { trust_ = std::move(ask); }
  // The key the user chose to trust in this dialog; empty when none.
  const std::string& AcceptedKey() const { return acceptedKey_; }
  // Ticks counted so far without success.
  int Ticks() const { return ticks_; }
  bool Succeeded() const { return succeeded_; }
  // After the test: the folder of this machine holding the store's marker
  // around the sources (a system path); empty when none was found.
  const std::string& LoopFolder() const { return loopFolder_; }
  QLabel* Message() const { return message_; }
  QPushButton* Button() const { return button_; }

  struct State;
  // The record the worker shares; expired once the worker has ended and the
  // dialog is gone.
  std::weak_ptr<State> Watch() const { return state_; }
  // The worker has stored its result.
  bool WorkerEnded() const;

 private:
  void OnTick();
  void OnButton();
  void Abandon();
  void Finish(const QString& text);
  void StartWorker();

  std::shared_ptr<State> state_;
  std::thread worker_;
  std::unique_ptr<CUiTimer> timer_;
  std::function<bool()> ask_;
  std::function<bool(const QString&)> trust_;
  FtpSettings settings_;
  std::vector<std::string> sources_;
  std::string acceptedKey_;
  std::string loopFolder_;
  QLabel* message_;
  QPushButton* button_;
  int ticks_ = 0;
  int tickLimit_ = 21;    // from the time-out and retries of the settings
  int confirmTicks_ = 0;  // ticks since the worker logged in and writes its test file
  bool running_ = true;
  bool succeeded_ = false;
};
