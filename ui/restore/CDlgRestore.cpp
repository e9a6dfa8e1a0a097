#include "ui/restore/CDlgRestore.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <mutex>
#include <vector>

#include "engine/PlanList.h"
#include "history/VersionTree.h"
#include "plans/CPlan.h"
#include "platform/files/Files.h"
#include "platform/volumes/Paths.h"
#include "ui/model/CellTexts.h"
#include "ui/model/PlanSnapshot.h"
#include "ui/restore/AsOfQuestion.h"
#include "ui/restore/CDlgRestoreProgress.h"
#include "ui/restore/CRestoreTree.h"
#include "ui/restore/NewerFilesQuestion.h"
#include "ui/restore/RestoreRelay.h"
#include "ui/restore/RestoreTexts.h"
#include "ui/widgets/AppMessage.h"
#include "ui/widgets/SearchIcon.h"
#include "ui/widgets/StyleSheet.h"

namespace {

QString T(const char* key) { return QString::fromStdString(RestoreText(key)); }

// The plan's store as the jobs need it, without waiting for a busy plan.
bool TryGetStore(CPlan* plan, RestoreStore* out, bool* busy) {
  std::unique_lock<std::recursive_mutex> lock(plan->Lock(), std::try_to_lock);
  *busy = !lock.owns_lock();
  return !*busy && GetRestoreStore(plan, out);
}

}  // namespace

void ShowRestoreWindow(QWidget* parent, uint32_t planId) {
  CDlgRestore dialog(planId, parent);
  dialog.exec();
}

CDlgRestore::CDlgRestore(uint32_t planId, QWidget* parent)
    : QDialog(parent), planId_(planId), animation_(MakeUiTimer()) {
  setObjectName("restoreWindow");
  setWindowTitle(T("TITLE"));
  setStyleSheet(AppStyleSheet());
  setModal(true);
  setSizeGripEnabled(true);
  BuildWidgets();
  animation_->OnTimeout([this] { AnimateSearch(); });
  watch_ = new QTimer(this);
  connect(watch_, &QTimer::timeout, this, &CDlgRestore::WatchJobs);

  // A comfortable size on a small screen, not a huge one on a large screen.
  QSize size(940, 620);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QSize avail = screen->availableGeometry().size();
    size = size.boundedTo(QSize(avail.width() * 9 / 10, avail.height() * 9 / 10));
  }
  resize(size);

  tree_->SetLister([this](CVersionFolder* folder) {
    StartListing(folder);
    return false;
  });
  FillPlanBox();
  SetSearchImage(kSearchNormalImage);
  ShowPlan(planId);
}

CDlgRestore::~CDlgRestore() { Cleanup(); }

void CDlgRestore::BuildWidgets() {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(18, 16, 18, 14);
  layout->setSpacing(10);

  auto* hint = new QLabel(T("HINT"), this);
  hint->setObjectName("restoreHint");
  hint->setWordWrap(true);
  layout->addWidget(hint);

  auto* top = new QHBoxLayout;
  top->setSpacing(8);
  auto* planLabel = new QLabel(T("PLAN_LABEL"), this);
  planLabel->setObjectName("restoreCaption");
  planBox_ = new QComboBox(this);
  planBox_->setObjectName("restorePlanBox");
  planBox_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  planBox_->setMinimumContentsLength(24);
  planLabel->setBuddy(planBox_);
  searchBox_ = new QLineEdit(this);
  searchBox_->setObjectName("restoreSearch");
  searchBox_->setPlaceholderText(T("SEARCH_HINT"));
  searchBox_->setClearButtonEnabled(true);
  searchBox_->setMinimumWidth(200);
  searchBox_->setMaximumWidth(320);
  searchAction_ = searchBox_->addAction(QIcon(), QLineEdit::TrailingPosition);
  searchAction_->setToolTip(T("SEARCH_BUTTON"));
  top->addWidget(planLabel);
  top->addWidget(planBox_, 1);
  top->addSpacing(12);
  top->addWidget(searchBox_);
  layout->addLayout(top);

  tree_ = new CRestoreTree(this);
  layout->addWidget(tree_, 1);
  status_ = new QLabel(this);
  status_->setObjectName("restoreStatus");
  status_->setWordWrap(true);
  status_->setTextFormat(Qt::PlainText);
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  status_->hide();
  layout->addWidget(status_);

  auto* target = new QHBoxLayout;
  target->setSpacing(8);
  auto* targetLabel = new QLabel(T("TARGET_LABEL"), this);
  targetLabel->setObjectName("restoreCaption");
  targetBox_ = new QComboBox(this);
  targetBox_->setObjectName("restoreTargetBox");
  targetBox_->setEditable(true);
  targetBox_->setInsertPolicy(QComboBox::NoInsert);
  targetBox_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  targetBox_->setMinimumContentsLength(24);
  targetBox_->addItem(T("RESTORE_ORIGINAL_FILE_LOCATION"));
  targetBox_->setCurrentIndex(0);
  targetLabel->setBuddy(targetBox_);
  browseButton_ = new QPushButton(T("BUTTON_BROWSE"), this);
  browseButton_->setObjectName("restoreBrowse");
  browseButton_->setAutoDefault(false);
  target->addWidget(targetLabel);
  target->addWidget(targetBox_, 1);
  target->addWidget(browseButton_);
  layout->addLayout(target);
  fullPath_ = new QCheckBox(T("FULL_PATH"), this);
  fullPath_->setObjectName("restoreFullPath");
  fullPath_->setToolTip(T("FULL_PATH_TIP"));
  fullPath_->setEnabled(false);  // with the original places there is nothing to choose
  layout->addWidget(fullPath_);

  auto* buttons = new QHBoxLayout;
  asOfButton_ = new QPushButton(T("BUTTON_AS_OF"), this);
  asOfButton_->setObjectName("restoreAsOf");
  asOfButton_->setAutoDefault(false);
  buttons->addWidget(asOfButton_);
  buttons->addStretch(1);
  restoreButton_ = new QPushButton(T("BUTTON_RESTORE"), this);
  restoreButton_->setObjectName("restoreButton");
  restoreButton_->setAutoDefault(false);
  closeButton_ = new QPushButton(T("BUTTON_CLOSE"), this);
  closeButton_->setObjectName("restoreClose");
  closeButton_->setAutoDefault(false);
  buttons->addWidget(restoreButton_);
  buttons->addWidget(closeButton_);
  layout->addLayout(buttons);

  connect(planBox_, &QComboBox::activated, this, [this](int index) {
    const uint32_t id = planBox_->itemData(index).toUInt();
    if (id != planId_) ShowPlan(id);
  });
  connect(searchBox_, &QLineEdit::returnPressed, this, &CDlgRestore::Search);
  connect(searchAction_, &QAction::triggered, this, &CDlgRestore::Search);
  connect(targetBox_, &QComboBox::currentTextChanged, this, &CDlgRestore::OnTargetChosen);
  connect(browseButton_, &QPushButton::clicked, this, &CDlgRestore::OnBrowse);
  connect(restoreButton_, &QPushButton::clicked, this, [this] {
    if (IsCollecting())
      StopCollecting();
    else
      Restore();
  });
  connect(asOfButton_, &QPushButton::clicked, this, [this] { RestoreAsOf(); });
  connect(closeButton_, &QPushButton::clicked, this, &QDialog::reject);
}

void CDlgRestore::FillPlanBox() {
  planBox_->clear();
  PlanList& list = PlanList::Instance();
  bool retry = false;
  for (size_t i = 0; i < list.Count(); ++i) {
    CPlan* plan = list.At(i);
    if (plan == nullptr) continue;
    PlanSnapshot snap;
    if (!TryTakeSnapshot(plan, &snap)) {
      // A plan busy right now gets its line on the next try.
      retry = true;
      continue;
    }
    planBox_->addItem(QString::fromStdString(PlanLineText(snap)), snap.id);
    std::string native;
    if (snap.hasDestination && !IsServerStorage(snap.storageType) &&
        plat::ToNativePath(snap.root, &native))
      planBox_->setItemData(planBox_->count() - 1, QString::fromStdString(native), Qt::ToolTipRole);
  }
  const int index = planBox_->findData(planId_);
  if (index >= 0) planBox_->setCurrentIndex(index);
  if (retry) QTimer::singleShot(100, this, &CDlgRestore::FillPlanBox);
}

void CDlgRestore::ShowPlan(uint32_t planId) {
  planId_ = planId;
  const int index = planBox_->findData(planId);
  if (index >= 0 && planBox_->currentIndex() != index) planBox_->setCurrentIndex(index);
  StopSearch();
  StopListing();
  tree_->ClearTree();
  found_.reset();
  SetStatus({});
  haveStore_ = false;
  StopCollecting();
  StartShowingPlan();
}

void CDlgRestore::StartShowingPlan() {
  CPlan* plan = PlanList::Instance().Find(planId_);
  if (plan == nullptr || cleaned_) {
    UpdateEnabled();
    return;
  }
  bool busy = false;
  haveStore_ = TryGetStore(plan, &store_, &busy);
  if (busy) {
    // The plan is busy for a moment: try again shortly.
    const uint32_t id = planId_;
    QTimer::singleShot(kWatchMs, this, [this, id] {
      if (id == planId_ && !cleaned_) StartShowingPlan();
    });
    UpdateEnabled();
    return;
  }
  if (!haveStore_) {
    UpdateEnabled();
    return;
  }
  tree_->SetDragFromStore(!IsServerStorage(store_.storageType));

  auto cached = folders_.find(planId_);
  if (cached != folders_.end()) {
    // Shown before while the window is open: no listing, no ticks left.
    TickFolder(cached->second.get(), false);
    ShowFolders();
  } else {
    ++listingsStarted_;
    StartListing(nullptr);
  }
  UpdateEnabled();
}

CVersionFolder* CDlgRestore::Folders() const {
  auto it = folders_.find(planId_);
  return it == folders_.end() ? nullptr : it->second.get();
}

void CDlgRestore::ShowFolders() {
  CVersionFolder* folders = Folders();
  tree_->ShowTree(folders, false);
  // A single protected folder opens at once.
  if (folders != nullptr && folders->folders.size() == 1 && folders->files.empty())
    if (QTreeWidgetItem* item = tree_->topLevelItem(0)) item->setExpanded(true);
}

void CDlgRestore::UpdateEnabled() {
  const bool ready = haveStore_ && tree_->Shown() != nullptr;
  restoreButton_->setEnabled(ready && !IsSearching());
  asOfButton_->setEnabled(ready && !IsSearching() && !IsCollecting());
  searchBox_->setEnabled(haveStore_ && Folders() != nullptr);
  if (IsSearching() || IsListing() || IsCollecting())
    setCursor(Qt::BusyCursor);
  else
    unsetCursor();
}

void CDlgRestore::SetStatus(const QString& text) {
  status_->setText(text);
  status_->setVisible(!text.isEmpty());
}

QString CDlgRestore::StatusText() const { return status_->text(); }

void CDlgRestore::OnTargetChosen() {
  originalLocation_ = targetBox_->currentText() == T("RESTORE_ORIGINAL_FILE_LOCATION");
  fullPath_->setEnabled(!originalLocation_);
}

void CDlgRestore::ChooseFolder(const QString& nativeFolder) {
  if (nativeFolder.isEmpty()) return;
  int index = targetBox_->findText(nativeFolder);
  if (index < 0) {
    targetBox_->addItem(nativeFolder);
    index = targetBox_->count() - 1;
  }
  targetBox_->setCurrentIndex(index);
  targetBox_->setEditText(nativeFolder);
  originalLocation_ = false;
  fullPath_->setEnabled(true);
}

void CDlgRestore::OnBrowse() {
  QString start = originalLocation_ ? QString() : targetBox_->currentText();
  const QString folder =
      QFileDialog::getExistingDirectory(this, T("BROWSE_TITLE"), start, QFileDialog::ShowDirsOnly);
  ChooseFolder(folder);
}

int CDlgRestore::Restore() {
  if (listers_.count(nullptr) != 0 || IsCollecting()) return 0;  // the first level is on its way
  CVersionFolder* shown = tree_->Shown();
  if (!haveStore_ || shown == nullptr || (shown->folders.empty() && shown->files.empty())) {
    ShowAppMessage(RestoreText("MSG_RESTORATION_LOCATION_IS_EMPTY"), QMessageBox::Information);
    return 0;
  }
  if (IsSearching()) return 0;
  // Folders ticked before they were opened are looked through on a job
  // (so are versions whose size or time a listing left out or gave roughly);
  // the window goes on meanwhile and can stop it.
  PendingChoices pending = TakeChoices(shown);
  std::vector<RestoreChoice> choices;
  if (ChoicesKnown(pending))
    choices = std::move(pending.choices);
  else if (!Collect(std::move(pending), &choices))
    return 0;
  if (choices.empty()) {
    ShowAppMessage(RestoreText("MSG_NO_FILES_TO_BE_RESTORED"), QMessageBox::Information);
    return 0;
  }
  return RestoreChoices(std::move(choices));
}

int CDlgRestore::RestoreAsOf() {
  CVersionFolder* folder = tree_->Shown();
  QTreeWidgetItem* current = tree_->currentItem();
  const bool whole =
      current == nullptr || CRestoreTree::KindOf(current) != CRestoreTree::kFolderRow;
  if (!whole) folder = CRestoreTree::FolderOf(current);
  if (folder == nullptr) return RestoreAt({});
  // The folder's store paths are taken before the question: the tree may
  // be read again while it is open.
  PendingChoices pending = ChoicesAt(*folder, 0);
  std::string native;
  if (!plat::ToNativePath(folder->sourcePath, &native)) native = folder->name;
  const QString what = whole ? T("AS_OF_WHOLE_PLAN") : QString::fromStdString("\"" + native + "\"");
  if (!AskAsOfTime(this, what, QDateTime::currentSecsSinceEpoch(), &pending.asOf)) return 0;
  return RestoreAt(std::move(pending));
}

int CDlgRestore::RestoreAsOf(CVersionFolder* folder, int64_t when) {
  if (folder == nullptr) folder = tree_->Shown();
  return RestoreAt(folder != nullptr ? ChoicesAt(*folder, when) : PendingChoices{});
}

int CDlgRestore::RestoreAt(PendingChoices pending) {
  if (listers_.count(nullptr) != 0 || IsCollecting() || IsSearching()) return 0;
  CVersionFolder* shown = tree_->Shown();
  if (!haveStore_ || shown == nullptr || (shown->folders.empty() && shown->files.empty())) {
    ShowAppMessage(RestoreText("MSG_RESTORATION_LOCATION_IS_EMPTY"), QMessageBox::Information);
    return 0;
  }
  // Always walked anew on the collector: a listed folder holds only what it
  // held when opened, and its folders may not be listed at all.
  std::vector<RestoreChoice> choices;
  if (!Collect(std::move(pending), &choices)) return 0;
  const uint64_t leftOut = collectedLeftOut_;
  const QString note = leftOut > 0 ? QString::fromStdString(LeftOutText(leftOut)) : QString();
  if (choices.empty()) {
    ShowAppMessage(RestoreText("MSG_NOTHING_AT_THAT_TIME"), QMessageBox::Information);
    SetStatus(note);
    return 0;
  }
  const int result = RestoreChoices(std::move(choices));
  if (!note.isEmpty()) SetStatus(StatusText().isEmpty() ? note : StatusText() + "\n" + note);
  return result;
}

int CDlgRestore::RestoreChoices(std::vector<RestoreChoice> choices) {
  CVersionFolder* shown = tree_->Shown();
  std::string target;
  if (!originalLocation_) {
    const std::string native = targetBox_->currentText().trimmed().toStdString();
    if (native.empty() || !plat::ToSystemPath(native, &target)) {
      ShowAppMessage(RestoreText("MSG_TARGET_FOLDER_IS_INVALID") + " " + native,
                     QMessageBox::Warning);
      return 0;
    }
  } else if (!SettleNewerFiles(this, store_.folder, &choices)) {
    return 0;
  }
  CDlgRestoreProgress progress(BuildSelection(store_, choices), store_, target, this);
  if (!originalLocation_ && !fullPath_->isChecked()) {
    // Each file keeps the folders from its protected folder down.
    std::vector<std::string> protectedFolders;
    for (const auto& folder : shown->folders)
      if (!folder->sourcePath.empty()) protectedFolders.push_back(folder->sourcePath);
    progress.KeepFoldersFrom(std::move(protectedFolders));
  }
  const int result = progress.exec();
  if (progress.FilesCopied() > 0) ReadAgainAfterRestore();
  if (progress.Cancelled())
    SetStatus(QString::fromStdString(RestoreCancelledText(progress.FilesCopied())));
  else if (progress.FilesFailed() > 0)
    SetStatus(
        QString::fromStdString(RestoreResultText(progress.FilesCopied(), progress.FilesFailed())));
  else
    SetStatus({});
  return result;
}

void CDlgRestore::ReadAgain() {
  StopSearch();
  StopListing();
  tree_->ClearTree();
  found_.reset();
  searchBox_->clear();
  folders_.erase(planId_);
  ShowPlan(planId_);
}

void CDlgRestore::ReadAgainAfterRestore() {
  ReadAgain();
  CPlan* plan = PlanList::Instance().Find(planId_);
  PlanSnapshot snap;
  if (plan == nullptr || !TryTakeSnapshot(plan, &snap)) return;
  // A continuous plan copies a restored file back into the store a few
  // seconds later: its versions change once more.
  const uint32_t id = planId_;
  const int64_t before = snap.lastBackupTime;
  auto* poll = new QTimer(this);
  poll->setInterval(500);
  auto left = std::make_shared<int>(20);
  connect(poll, &QTimer::timeout, this, [this, poll, id, before, left] {
    CPlan* p = PlanList::Instance().Find(id);
    PlanSnapshot now;
    const bool copied = p != nullptr && TryTakeSnapshot(p, &now) && now.lastBackupTime != before;
    if (copied && id == planId_ && !cleaned_) ReadAgain();
    if (copied || --*left <= 0 || cleaned_ || id != planId_) {
      poll->stop();
      poll->deleteLater();
    }
  });
  poll->start();
}

void CDlgRestore::Cleanup() {
  if (cleaned_) return;
  cleaned_ = true;
  StopCollecting();
  StopSearch();
  StopListing();
  watch_->stop();
  tree_->ClearTree();
  found_.reset();
  folders_.clear();
}

void CDlgRestore::done(int result) {
  Cleanup();
  QDialog::done(result);
}
