// The progress window of archiving: runs the archiving worker over the
// pending list, shows the disc being written or verified, the share done,
// the speed, the time left, the start time and the files placed; asks for
// each further disc (Continue); asks before a cancel stops the work; shows
// the reason of a failure. Ends with kFinished, kStopped or kFailed.
#pragma once
#include <QDialog>
#include <cstdint>
#include <memory>
#include <string>

#include "destinations/disc/CDiscBurn.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

struct BurnJob {
  std::string recorder;
  std::string discName;
  std::string latest;  // the store's "Latest" folder (system path)
  uint64_t totalBytes = 0;
  uint32_t discsNeeded = 1;
  bool verify = false;
  bool eject = false;
  int writeSpeed = 0;  // kB/s, 0 the fastest
};

class CDlgBurnDisc : public QDialog {
  Q_OBJECT
 public:
  enum Result { kFinished = 1, kStopped = 2, kFailed = 3 };

  CDlgBurnDisc(const BurnJob& job, disc::PendingList& list, QWidget* parent = nullptr);
  ~CDlgBurnDisc() override;

  bool Start();  // also done when the window is first shown
  // The program is asked to end (a log-out): the job open in a window stops
  // at once, without a question, and the window closes as stopped.
  static void EndIfOpen();
  int Outcome() const { return outcome_; }
  disc::CDiscBurn& Worker() { return *worker_; }
  QPushButton* ContinueButton() const { return continue_; }
  QPushButton* CancelButton() const { return cancel_; }
  QLabel* MessageLabel() const { return message_; }
  QLabel* LeadInLabel() const { return leadIn_; }
  QProgressBar* Bar() const { return bar_; }

 public slots:
  void reject() override;  // Cancel, Escape, the close box

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void Poll();
  void ShowWait(uint32_t discNo, qint64 now);
  void Finish();
  std::string Skipped() const;  // " 2 files were left out ..." or nothing

  BurnJob job_;
  std::unique_ptr<disc::CDiscBurn> worker_;
  QLabel* leadIn_;
  QLabel* phase_;
  QProgressBar* bar_;
  QLabel* speed_;
  QLabel* timeLeft_;
  QLabel* startedAt_;
  QLabel* report_;
  QLabel* message_;
  QPushButton* continue_;
  QPushButton* cancel_;
  QTimer* timer_;
  qint64 startedMs_ = 0;
  qint64 pausedMs_ = 0;     // time spent waiting for discs (left out of the speed)
  qint64 waitSinceMs_ = 0;  // since when the worker waits for a disc (0: it does not)
  uint32_t shownWait_ = 0;  // the worker's wait the window shows
  uint32_t discShown_ = 0;
  bool started_ = false;
  bool ending_ = false;  // the program ends: nothing more is asked
  int outcome_ = 0;
};
