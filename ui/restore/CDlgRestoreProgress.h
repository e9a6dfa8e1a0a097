// The modal progress window of a restore: runs the carrier over the ticked
// files of a tree, shows the file being copied, the percent done, the speed
// (once one has been measured) and the time left, and closes with 1 when
// the restore has finished or 2 when it failed or was cancelled (the
// download under way ends, the file in place stays). The pause button holds
// the carrier where it is, within a download too, and the bar with it, until
// pressed again. When the restore is done, Pause and Cancel give way
// to Close; a restore where every file came back closes by itself after a
// second, one where some failed stays open and lists them with the reasons.
// The window opens centred on its parent.
#pragma once
#include <QDialog>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "history/RestoreJobs.h"
#include "history/RestoreTree.h"
#include "ui/widgets/UiTimer.h"

class QLabel;
class QProgressBar;
class QPushButton;
class CRestoreRelay;

class CDlgRestoreProgress : public QDialog, private IRestoreObserver {
  Q_OBJECT
 public:
  enum Result { kFinished = 1, kFailed = 2 };

  // target: the chosen folder (system path), or empty for the original place.
  CDlgRestoreProgress(std::shared_ptr<CDirNode> root, RestoreStore store, std::string target,
                      QWidget* parent = nullptr);
  ~CDlgRestoreProgress() override;

  // Below the chosen folder, files below one of these folders keep only the
  // folders from that one down (CRestoreCarrier's keepFrom). Before Start.
  void KeepFoldersFrom(std::vector<std::string> folders) { keepFrom_ = std::move(folders); }
  // Starts the carrier (also done by the first show); false when it could
  // not be started.
  bool Start();

  // Shows a carrier's progress report (a file begins, or more of it came in): the percent never
  // goes back; speed and time left are taken as they come.
  void ShowProgress(const RestoreProgress& progress);
  bool Paused() const { return paused_; }
  // Cancel was pressed while the restore ran.
  bool Cancelled() const { return cancelled_; }

  uint32_t PercentShown() const { return percent_; }
  uint64_t SecondsShown() const { return remaining_; }
  uint64_t SpeedShown() const { return speed_; }
  QPushButton* PauseButton() const { return pauseButton_; }
  QPushButton* CancelButton() const { return cancelButton_; }
  QPushButton* CloseButton() const { return closeButton_; }
  // Each file that failed, as the user reads it, with the reason.
  const std::vector<std::string>& Failures() const { return failures_; }
  // Files the carrier copied and failed (once it has ended).
  uint64_t FilesCopied() const { return copied_; }
  uint64_t FilesFailed() const { return failed_; }

 public slots:
  void reject() override;  // Cancel, Escape, the close box: result 2

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void Centre();

 private:
  // Carrier callbacks, on the UI thread through the relay.
  void OnFileProgress(const RestoreProgress& progress) override;
  void OnFilePart(const RestoreProgress& progress) override;
  void OnRestoreFinished() override;
  void OnRestoreFailed() override;
  void OnMessageBox(const std::string& text) override;
  void OnFileFailed(const std::string& file, const std::string& reason) override;

  void OnTick();
  void OnPause();
  void Redraw();
  // Stops the timer and lets go of the carrier, keeping its counts.
  void StopCarrier();
  // Close in place of Pause and Cancel; with the count and the list of the
  // files not restored, shown until closed.
  void ShowClose();
  void ShowFailures();
  void Finish(int result);

  const std::shared_ptr<CDirNode> root_;
  const RestoreStore store_;
  const std::string target_;
  std::vector<std::string> keepFrom_;
  std::unique_ptr<CRestoreRelay> relay_;
  std::unique_ptr<CRestoreCarrier> carrier_;
  std::unique_ptr<CUiTimer> timer_;
  bool started_ = false;
  bool ending_ = false;
  bool paused_ = false;  // the carrier is held where it is; no creeping
  bool cancelled_ = false;
  uint32_t percent_ = 0;
  uint64_t remaining_ = 0;
  uint64_t speed_ = 51200;
  bool measured_ = false;  // the speed shown was measured, not guessed
  bool finished_ = false;  // the carrier reported its end: Close gives 1
  std::string current_;
  std::vector<std::string> failures_;
  uint64_t copied_ = 0, failed_ = 0;

  QLabel* caption_ = nullptr;
  QLabel* fileLabel_ = nullptr;
  QLabel* percentLabel_ = nullptr;
  QProgressBar* bar_ = nullptr;
  QLabel* speedValue_ = nullptr;
  QLabel* timeValue_ = nullptr;
  QLabel* statusLabel_ = nullptr;
  QPushButton* pauseButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
  QPushButton* closeButton_ = nullptr;
  class QPlainTextEdit* failureList_ = nullptr;
};
