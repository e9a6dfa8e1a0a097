// The restore window's store jobs: the listings of its first level and of
// the folders opened, the search and its animation, the look through ticked
// folders before a restore, and the collection of jobs that ended.
#include <QAction>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <string>

#include "history/VersionSearch.h"
#include "platform/volumes/Paths.h"
#include "ui/restore/CDlgRestore.h"
#include "ui/restore/CRestoreTree.h"
#include "ui/restore/RestoreRelay.h"
#include "ui/restore/RestoreTexts.h"
#include "ui/widgets/AppMessage.h"
#include "ui/widgets/NativePath.h"
#include "ui/widgets/SearchIcon.h"
#include "ui/widgets/TextFormat.h"
#include "ui/widgets/UiTimer.h"

namespace {

constexpr int kAnimationMs = 300;

QString T(const char* key) { return QString::fromStdString(RestoreText(key)); }

}  // namespace

void CDlgRestore::StartListing(CVersionFolder* folder) {
  if (!haveStore_ || cleaned_ || listers_.count(folder) != 0) return;
  Job& job = listers_[folder];
  job.relay = std::make_unique<CRestoreRelay>(this, static_cast<IRestoreObserver*>(this));
  job.job = std::make_unique<CFolderLister>(job.relay.get(), store_, folder);
  if (job.job->Begin() != 0) {
    Discard(&job);
    listers_.erase(folder);
    SetStatus(QString::fromStdString(
        RestoreFailureText("MSG_CANNOT_LIST_FOLDER", ReadableFolderPath(store_.folder))));
    return;
  }
  watch_->start(kWatchMs);
  UpdateEnabled();
}

void CDlgRestore::StopListing() {
  for (auto& [folder, job] : listers_) Discard(&job);
  listers_.clear();
}

void CDlgRestore::OnFolderListed(CVersionFolder* folder, std::shared_ptr<CVersionFolder> listed,
                                 const std::string& failure) {
  if (!listed) {
    SetStatus(QString::fromStdString(failure));
  } else if (folder == nullptr) {
    folders_[planId_] = std::move(listed);
    ShowFolders();
  } else {
    if (folder->listed)
      AdoptSizes(folder, listed.get());  // listed again for sizes and dates
    else
      AdoptListing(folder, listed.get());
    tree_->FolderListed(folder);
  }
  UpdateEnabled();
}

void CDlgRestore::Discard(Job* job) {
  DiscardRestoreJob(std::move(job->job), std::move(job->relay));
}

void CDlgRestore::StopSearch() {
  Discard(&finder_);
  animation_->Stop();
  SetSearchImage(kSearchNormalImage);
  pendingSearch_ = false;
}

void CDlgRestore::WatchJobs() {
  if (finder_.job && finder_.job->HasEnded()) {
    Discard(&finder_);
    animation_->Stop();
    SetSearchImage(kSearchNormalImage);
  }
  for (auto it = listers_.begin(); it != listers_.end();) {
    if (it->second.job && it->second.job->HasEnded()) {
      Discard(&it->second);
      it = listers_.erase(it);
    } else {
      ++it;
    }
  }
  if (!finder_.job && listers_.empty()) watch_->stop();
  UpdateEnabled();
}

void CDlgRestore::OnVersionsFound(std::shared_ptr<CVersionFolder> found) {
  animation_->Stop();
  SetSearchImage(kSearchNormalImage);
  found_ = std::move(found);
  if (!found_) {
    tree_->ClearTree();
    SetStatus(QString::fromStdString(
        RestoreFailureText("MSG_CANNOT_LIST_FOLDER", ReadableFolderPath(store_.folder))));
  } else if (found_->folders.empty() && found_->files.empty()) {
    tree_->ClearTree();
    SetStatus(T("SEARCH_FOUND_NOTHING"));
  } else {
    SetStatus({});
    tree_->ShowTree(found_.get(), true);
  }
  UpdateEnabled();
}

void CDlgRestore::Search() {
  if (!haveStore_ || Folders() == nullptr) return;
  Discard(&finder_);
  const std::string text = searchBox_->text().trimmed().toStdString();
  if (text.empty()) {
    // An empty search shows the folders again.
    StopSearch();
    found_.reset();
    SetStatus({});
    ShowFolders();
    UpdateEnabled();
    return;
  }
  frame_ = 0;
  SetSearchImage(std::string(kSearchAnimateImage) + "_0");
  animation_->Start(kAnimationMs);
  StartSearch(text);
}

void CDlgRestore::StartSearch(const std::string& text) {
  if (cleaned_) return;
  pendingSearch_ = false;
  finder_.relay = std::make_unique<CRestoreRelay>(this, static_cast<IRestoreObserver*>(this));
  finder_.job =
      std::make_unique<CVersionFinder>(finder_.relay.get(), store_, SearchPatternFor(text));
  if (finder_.job->Begin() != 0) {
    Discard(&finder_);
    OnVersionsFound(nullptr);
    return;
  }
  watch_->start(kWatchMs);
  UpdateEnabled();
}

void CDlgRestore::AnimateSearch() {
  frame_ = (frame_ + 1) % 4;
  SetSearchImage(std::string(kSearchAnimateImage) + "_" + std::to_string(frame_));
}

void CDlgRestore::SetSearchImage(const std::string& name) {
  if (name == searchImage_) return;
  searchImage_ = name;
  searchAction_->setIcon(SearchBoxIcon(name));
}

bool CDlgRestore::Collect(PendingChoices pending, std::vector<RestoreChoice>* choices) {
  collected_.reset();
  collectFailure_.clear();
  collectedLeftOut_ = 0;
  collector_.relay = std::make_unique<CRestoreRelay>(this, static_cast<IRestoreObserver*>(this));
  collector_.job =
      std::make_unique<CChoiceCollector>(collector_.relay.get(), store_, std::move(pending));
  if (collector_.job->Begin() != 0) {
    Discard(&collector_);
    return false;
  }
  QEventLoop loop;
  collectLoop_ = &loop;
  restoreButton_->setText(T("BUTTON_STOP"));
  OnChoicesProgress(0, 0);
  UpdateEnabled();
  loop.exec();  // until the job hands its choices over or is stopped
  collectLoop_ = nullptr;
  Discard(&collector_);
  restoreButton_->setText(T("BUTTON_RESTORE"));
  SetStatus({});
  UpdateEnabled();
  if (!collected_) {
    if (!collectFailure_.empty()) ShowAppMessage(collectFailure_, QMessageBox::Warning);
    return false;
  }
  *choices = std::move(*collected_);
  collected_.reset();
  return !cleaned_;
}

void CDlgRestore::StopCollecting() {
  if (collectLoop_ == nullptr) return;
  Discard(&collector_);
  collectLoop_->quit();
}

void CDlgRestore::OnChoicesProgress(uint64_t folders, uint64_t files) {
  if (collectLoop_ == nullptr) return;
  SetStatus(QString::fromStdString(
      FormatText(RestoreText("COLLECTING"), {std::to_string(folders), std::to_string(files)})));
}

void CDlgRestore::OnChoicesCollected(std::shared_ptr<std::vector<RestoreChoice>> choices,
                                     const std::string& failure, uint64_t leftOut) {
  collected_ = std::move(choices);
  collectFailure_ = failure;
  collectedLeftOut_ = leftOut;
  if (collectLoop_ != nullptr) collectLoop_->quit();
}
