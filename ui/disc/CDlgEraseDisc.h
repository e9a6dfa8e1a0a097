// The progress window of erasing a rewritable disc: runs the archiving
// worker in erase-only mode on the chosen recorder, shows the step and the
// time it has taken, asks before a cancel stops it, and ends with kErased,
// kStopped or kFailed (after showing the reason).
#pragma once
#include <QDialog>
#include <memory>
#include <string>

#include "destinations/disc/CDiscBurn.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

class CDlgEraseDisc : public QDialog {
  Q_OBJECT
 public:
  enum Result { kErased = 1, kStopped = 2, kFailed = 3 };

  // thenArchive: archiving follows (the window says so).
  CDlgEraseDisc(std::string recorder, bool thenArchive, QWidget* parent = nullptr);
  ~CDlgEraseDisc() override;

  // Starts the worker (also done when the window is first shown).
  bool Start();
  int Outcome() const { return outcome_; }
  QPushButton* CancelButton() const { return cancel_; }
  QLabel* PhaseLabel() const { return phase_; }

 public slots:
  void reject() override;  // Cancel, Escape, the close box: asks before stopping

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void Poll();

  disc::PendingList unused_;  // the worker's list (erasing places no files)
  std::unique_ptr<disc::CDiscBurn> worker_;
  QLabel* phase_;
  QLabel* time_;
  QProgressBar* bar_;
  QPushButton* cancel_;
  QTimer* timer_;
  qint64 startedMs_ = 0;
  bool started_ = false;
  int outcome_ = 0;
};
