// The restore window: one of the plans in a box, its protected folders as
// the user knows them with each file's versions (CRestoreTree over a
// CVersionFolder tree listed folder by folder as the user opens them), a
// search box that finds files by name on a job, the target (the files'
// original places or a folder the user picks or types), and the Restore
// button: the ticked choices become store files for the carrier, which runs
// under the modal progress window. Before files go back to their original
// places, the window asks about files there that are newer than the chosen
// versions (replace them, or restore beside them). "Restore as it was on…"
// brings back everything below the chosen folder (or the whole plan) as it
// was at a time the user picks: each file's newest version not newer than
// that time; the files that did not exist then are left out and counted.
#pragma once
#include <QDialog>
#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "history/RestoreJobs.h"
#include "history/StoreAccess.h"
#include "history/VersionTree.h"
#include "ui/widgets/UiTimer.h"

class QAction;
class QCheckBox;
class QComboBox;
class QEventLoop;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class CRestoreRelay;
class CRestoreTree;

// Opens the restore window for the plan, modal; returns when it closes.
void ShowRestoreWindow(QWidget* parent, uint32_t planId);

class CDlgRestore : public QDialog, private IRestoreObserver {
  Q_OBJECT
 public:
  explicit CDlgRestore(uint32_t planId, QWidget* parent = nullptr);
  // Stops the search and the animation and drops the listed trees.
  ~CDlgRestore() override;

  // Shows another plan's folders (as choosing it in the plan box does).
  void ShowPlan(uint32_t planId);
  // Applies the search box's text (as Enter does).
  void Search();
  // What Browse does when a folder was picked (a native folder).
  void ChooseFolder(const QString& nativeFolder);
  // The Restore button. Returns the progress window's result, or 0 when no
  // restore started (a message said why, or the question was cancelled).
  int Restore();
  // "Restore as it was on…": asks for the time (starting now) for the folder
  // of the current row, or the whole plan when that is no folder row. Returns
  // as Restore does.
  int RestoreAsOf();
  // The same for this folder of the shown tree (null: the whole plan) at
  // this time (seconds since 1970 UTC), without asking.
  int RestoreAsOf(CVersionFolder* folder, int64_t when);

  uint32_t PlanId() const { return planId_; }
  // The protected folders of the plan shown, and a search's result.
  CVersionFolder* Folders() const;
  CVersionFolder* Found() const { return found_.get(); }
  bool IsSearching() const { return finder_.job != nullptr || pendingSearch_; }
  // A listing job runs (the plan's first level, or a folder being opened).
  bool IsListing() const { return !listers_.empty(); }
  // Restore is looking through ticked folders that were never opened (the
  // Restore button then stops it).
  bool IsCollecting() const { return collectLoop_ != nullptr; }
  int ListingsStarted() const { return listingsStarted_; }
  bool OriginalLocation() const { return originalLocation_; }
  // The image the search box shows now ("EditSearch_Normal", ...).
  const std::string& SearchImage() const { return searchImage_; }
  // The line below the tree (a store that cannot be read, a search that
  // found nothing, the last restore's failures).
  QString StatusText() const;

  CRestoreTree* Tree() const { return tree_; }
  QComboBox* PlanBox() const { return planBox_; }
  QComboBox* TargetBox() const { return targetBox_; }
  QLineEdit* SearchBox() const { return searchBox_; }
  QPushButton* RestoreButton() const { return restoreButton_; }
  QPushButton* AsOfButton() const { return asOfButton_; }
  QPushButton* BrowseButton() const { return browseButton_; }
  // Ticked: a restore into a chosen folder recreates each file's whole
  // original path there; unticked (the default) only the folders from the
  // protected folder down ("<chosen>/Documents/report.odt").
  QCheckBox* FullPathBox() const { return fullPath_; }

 public slots:
  void done(int result) override;

 private:
  static constexpr int kWatchMs = 50;  // how often ended jobs are collected

  struct Job {
    std::unique_ptr<CRestoreRelay> relay;
    std::unique_ptr<CRestoreThread> job;
  };

  // The search job's report, on the UI thread through the relay.
  void OnVersionsFound(std::shared_ptr<CVersionFolder> found) override;
  void OnFolderListed(CVersionFolder* folder, std::shared_ptr<CVersionFolder> listed,
                      const std::string& failure) override;
  void OnChoicesProgress(uint64_t folders, uint64_t files) override;
  void OnChoicesCollected(std::shared_ptr<std::vector<RestoreChoice>> choices,
                          const std::string& failure, uint64_t leftOut) override;
  // Brings the choices back where the target says (the newer-files question
  // first for the original places), under the progress window.
  int RestoreChoices(std::vector<RestoreChoice> choices);
  // Walks the pending folder as it was (ChoicesAt) and restores what it finds.
  int RestoreAt(PendingChoices pending);
  // Finds the files of the ticked folders not listed yet on a job while the
  // window goes on (progress below the tree, Restore turned into Stop).
  // False when it was stopped or failed (a message said why).
  bool Collect(PendingChoices pending, std::vector<RestoreChoice>* choices);
  void StopCollecting();

  void BuildWidgets();
  void FillPlanBox();
  void StartShowingPlan();
  // Starts listing the folder (null: the plan's first level) unless a job
  // already lists it.
  void StartListing(CVersionFolder* folder);
  void StopListing();
  void ShowFolders();
  void Discard(Job* job);
  void StopSearch();
  void WatchJobs();
  void UpdateEnabled();
  void SetStatus(const QString& text);
  void SetSearchImage(const std::string& name);
  void StartSearch(const std::string& text);
  void AnimateSearch();
  void OnTargetChosen();
  void OnBrowse();
  // Lists the plan's folders again (what a restore changed, a copy the plan
  // made of a restored file); the search and the ticks go.
  void ReadAgain();
  // After a restore: reads the list again now, and once more when the plan
  // copies something within the next seconds (a restored file backed up).
  void ReadAgainAfterRestore();
  void Cleanup();

  uint32_t planId_;
  RestoreStore store_;
  bool haveStore_ = false;
  // The listed folders of each plan shown while the window is open.
  std::map<uint32_t, std::shared_ptr<CVersionFolder>> folders_;
  std::map<CVersionFolder*, Job> listers_;  // by the folder they list (null: the first level)
  std::shared_ptr<CVersionFolder> found_;   // the search's result while one is shown
  bool pendingSearch_ = false;              // a search waits for a stopped one to end
  Job finder_;
  Job collector_;
  QEventLoop* collectLoop_ = nullptr;  // runs while the collector does
  std::shared_ptr<std::vector<RestoreChoice>> collected_;
  std::string collectFailure_;
  uint64_t collectedLeftOut_ = 0;  // files without a version at the time asked for
  int listingsStarted_ = 0;
  std::unique_ptr<CUiTimer> animation_;
  int frame_ = 0;
  std::string searchImage_;
  bool originalLocation_ = true;
  bool cleaned_ = false;

  QComboBox* planBox_ = nullptr;
  QComboBox* targetBox_ = nullptr;
  CRestoreTree* tree_ = nullptr;
  QLabel* status_ = nullptr;
  QLineEdit* searchBox_ = nullptr;
  QAction* searchAction_ = nullptr;
  QPushButton* browseButton_ = nullptr;
  QCheckBox* fullPath_ = nullptr;
  QPushButton* restoreButton_ = nullptr;
  QPushButton* asOfButton_ = nullptr;
  QPushButton* closeButton_ = nullptr;
  QTimer* watch_ = nullptr;
};
