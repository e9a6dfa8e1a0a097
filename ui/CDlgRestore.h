// The restore window: one of the plans in a box, what its store holds as a
// tree with columns and check boxes, a search box that narrows the tree, the
// target (the files' original places or a folder the user picks or types),
// and the Restore button that runs the restore under the modal progress
// window. Listing, searching and copying run on the restore jobs; the window
// only starts them, shows what they report and never waits for them.
#pragma once
#include <QDialog>
#include <QString>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "history/RestoreJobs.h"
#include "history/RestoreTree.h"
#include "ui/UiTimer.h"

class QAction;
class QComboBox;
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
  // Stops the jobs and the animation and empties the node cache.
  ~CDlgRestore() override;

  // Shows another plan's tree (as choosing it in the plan box does).
  void ShowPlan(uint32_t planId);
  // Applies the search box's text (as Enter does).
  void Search();
  // What Browse does when a folder was picked (a native folder).
  void ChooseFolder(const QString& nativeFolder);
  // The Restore button. Returns the progress window's result, or 0 when no
  // restore started (a message said why).
  int Restore();

  uint32_t PlanId() const { return planId_; }
  std::shared_ptr<CDirNode> Root() const { return root_; }
  bool IsListing() const { return filler_.job != nullptr || waitingForStore_; }
  bool IsSearching() const { return finder_.job != nullptr || pendingSearch_; }
  int ListingsStarted() const { return listingsStarted_; }
  bool OriginalLocation() const { return originalLocation_; }
  // The image the search box shows now ("EditSearch_Normal", ...).
  const std::string& SearchImage() const { return searchImage_; }

  CRestoreTree* Tree() const { return tree_; }
  QComboBox* PlanBox() const { return planBox_; }
  QComboBox* TargetBox() const { return targetBox_; }
  QLineEdit* SearchBox() const { return searchBox_; }
  QPushButton* RestoreButton() const { return restoreButton_; }
  QPushButton* BrowseButton() const { return browseButton_; }

 public slots:
  void done(int result) override;

 private:
  struct Job {
    std::unique_ptr<CRestoreRelay> relay;
    std::unique_ptr<CRestoreThread> job;
  };

  // Jobs' reports, on the UI thread through the relays.
  void OnTreeRoot(const std::shared_ptr<CDirNode>& root) override;
  void OnTreeRefresh() override;
  void OnSearchApplied(CDirNode* root) override;
  void OnShowNode(CDirNode* node) override;
  void OnSearchFinished() override;

  void BuildWidgets();
  void FillPlanBox();
  void StartShowingPlan();
  void Discard(Job* job);
  void StopJobs();
  // Ends the jobs that have finished; the tree is usable again.
  void WatchJobs();
  void UpdateEnabled();
  void SetSearchImage(const std::string& name);
  void StartSearch(const std::string& text);
  void AnimateSearch();
  void OnTargetChosen();
  void OnBrowse();
  void Cleanup();

  uint32_t planId_;
  std::shared_ptr<CDirNode> root_;
  RestoreStore store_;
  bool haveStore_ = false;
  bool waitingForStore_ = false;  // the plan's lock was busy; retrying
  bool pendingSearch_ = false;    // a search waits for a stopped finder to end
  Job filler_, finder_;
  int listingsStarted_ = 0;
  // Roots a search was left on (by address while the node cache keeps them).
  std::set<const CDirNode*> searched_;
  std::unique_ptr<CUiTimer> animation_;
  int frame_ = 0;
  std::string searchImage_;
  bool originalLocation_ = true;
  std::string country_;
  bool cleaned_ = false;

  QComboBox* planBox_ = nullptr;
  QComboBox* targetBox_ = nullptr;
  CRestoreTree* tree_ = nullptr;
  QLineEdit* searchBox_ = nullptr;
  QAction* searchAction_ = nullptr;
  QPushButton* browseButton_ = nullptr;
  QPushButton* restoreButton_ = nullptr;
  QPushButton* closeButton_ = nullptr;
  QTimer* watch_ = nullptr;
};
