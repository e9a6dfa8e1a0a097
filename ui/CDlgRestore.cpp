#include "ui/CDlgRestore.h"

#include <QAction>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <mutex>
#include <vector>

#include "common/Texts.h"
#include "engine/PlanList.h"
#include "history/VersionSearch.h"
#include "history/VersionTree.h"
#include "plans/CPlan.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "ui/AppMessage.h"
#include "ui/CDlgRestoreProgress.h"
#include "ui/CRestoreTree.h"
#include "ui/CellTexts.h"
#include "ui/PlanSnapshot.h"
#include "ui/RestoreRelay.h"
#include "ui/RestoreTexts.h"
#include "ui/StyleSheet.h"
#include "ui/TextFormat.h"

namespace {

constexpr int kAnimationMs = 300;
constexpr int kWatchMs = 50;  // how often ended jobs are collected
constexpr char kNormalImage[] = "EditSearch_Normal";
constexpr char kAnimateImage[] = "EditSearch_Animate";
constexpr size_t kNewerExamples = 5;  // files the question names

QString T(const char* key) { return QString::fromStdString(RestoreText(key)); }

std::string Native(const std::string& systemPath) {
  std::string path = systemPath;
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  std::string native;
  return plat::ToNativePath(path, &native) ? native : path;
}

// The plan's store as the jobs need it, without waiting for a busy plan.
bool TryGetStore(CPlan* plan, RestoreStore* out, bool* busy) {
  std::unique_lock<std::recursive_mutex> lock(plan->Lock(), std::try_to_lock);
  *busy = !lock.owns_lock();
  return !*busy && GetRestoreStore(plan, out);
}

// The search box's images: the program folder's "Icons\<name>.png" when a
// distribution supplies it, otherwise drawn here (a magnifier; the animation
// frames turn a blue arc around it a quarter at a time).
QIcon SearchIcon(const std::string& name) {
  QIcon icon = ImageIcon("Icons", name.c_str());
  if (!icon.isNull()) return icon;
  const int frame = name == kNormalImage ? -1 : name.back() - '0';
  QPixmap pixmap(40, 40);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor slate(91, 103, 115), blue(31, 111, 178);
  p.setPen(QPen(frame < 0 ? slate : blue, 3.4, Qt::SolidLine, Qt::RoundCap));
  p.drawEllipse(QRectF(7, 7, 19, 19));
  p.drawLine(QPointF(24, 24), QPointF(33, 33));
  if (frame >= 0) {
    p.setPen(QPen(QColor(120, 180, 230), 3.4, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(7, 7, 19, 19), (90 - frame * 90) * 16, 80 * 16);
  }
  p.end();
  pixmap.setDevicePixelRatio(2.0);
  return QIcon(pixmap);
}

}  // namespace

void ShowRestoreWindow(QWidget* parent, uint32_t planId) {
  CDlgRestore dialog(planId, parent);
  dialog.exec();
}

CDlgRestore::CDlgRestore(uint32_t planId, QWidget* parent)
    : QDialog(parent), planId_(planId), animation_(MakeUiTimer()), country_(CellCountry()) {
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
  SetSearchImage(kNormalImage);
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
  tree_->SetCountry(country_);
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

  auto* buttons = new QHBoxLayout;
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
  connect(restoreButton_, &QPushButton::clicked, this, [this] { Restore(); });
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
    if (snap.hasDestination && snap.storageType != kStorageFtp &&
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
  access_.reset();
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
  tree_->SetDragFromStore(store_.storageType != kStorageFtp);
  access_ = MakeStoreAccess(store_);

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

void CDlgRestore::StartListing(CVersionFolder* folder) {
  if (!haveStore_ || cleaned_ || listers_.count(folder) != 0) return;
  Job& job = listers_[folder];
  job.relay = std::make_unique<CRestoreRelay>(this, static_cast<IRestoreObserver*>(this));
  job.job = std::make_unique<CFolderLister>(job.relay.get(), store_, folder);
  if (job.job->Begin() != 0) {
    Discard(&job);
    listers_.erase(folder);
    SetStatus(QString::fromStdString(
        RestoreFailureText("MSG_CANNOT_LIST_FOLDER", Native(store_.folder))));
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
    AdoptListing(folder, listed.get());
    tree_->FolderListed(folder);
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

void CDlgRestore::Discard(Job* job) {
  DiscardRestoreJob(std::move(job->job), std::move(job->relay));
}

void CDlgRestore::StopSearch() {
  Discard(&finder_);
  animation_->Stop();
  SetSearchImage(kNormalImage);
  pendingSearch_ = false;
}

void CDlgRestore::WatchJobs() {
  if (finder_.job && finder_.job->HasEnded()) {
    Discard(&finder_);
    animation_->Stop();
    SetSearchImage(kNormalImage);
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

void CDlgRestore::UpdateEnabled() {
  const bool ready = haveStore_ && tree_->Shown() != nullptr;
  restoreButton_->setEnabled(ready && !IsSearching());
  searchBox_->setEnabled(haveStore_ && Folders() != nullptr);
  if (IsSearching() || IsListing())
    setCursor(Qt::BusyCursor);
  else
    unsetCursor();
}

void CDlgRestore::SetStatus(const QString& text) {
  status_->setText(text);
  status_->setVisible(!text.isEmpty());
}

QString CDlgRestore::StatusText() const { return status_->text(); }

void CDlgRestore::OnVersionsFound(std::shared_ptr<CVersionFolder> found) {
  animation_->Stop();
  SetSearchImage(kNormalImage);
  found_ = std::move(found);
  if (!found_) {
    tree_->ClearTree();
    SetStatus(QString::fromStdString(
        RestoreFailureText("MSG_CANNOT_LIST_FOLDER", Native(store_.folder))));
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
  SetSearchImage(std::string(kAnimateImage) + "_0");
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
  SetSearchImage(std::string(kAnimateImage) + "_" + std::to_string(frame_));
}

void CDlgRestore::SetSearchImage(const std::string& name) {
  if (name == searchImage_) return;
  searchImage_ = name;
  searchAction_->setIcon(SearchIcon(name));
}

void CDlgRestore::OnTargetChosen() {
  originalLocation_ = targetBox_->currentText() == T("RESTORE_ORIGINAL_FILE_LOCATION");
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
}

void CDlgRestore::OnBrowse() {
  QString start = originalLocation_ ? QString() : targetBox_->currentText();
  const QString folder =
      QFileDialog::getExistingDirectory(this, T("BROWSE_TITLE"), start, QFileDialog::ShowDirsOnly);
  ChooseFolder(folder);
}

bool CDlgRestore::SettleNewerFiles(std::vector<RestoreChoice>* choices) {
  std::vector<RestoreChoice*> newer;
  std::string examples;
  for (RestoreChoice& c : *choices) {
    std::string target, folder;
    plat::FindData info;
    if (!MakeRestoreTarget(c.version.storePath, false, store_.folder, "", &target, &folder) ||
        !plat::GetFileInfo(target, &info) || (info.attributes & plat::kAttrDirectory) != 0 ||
        info.writeTime <= c.version.time)
      continue;
    newer.push_back(&c);
    if (newer.size() <= kNewerExamples) examples += "\n" + Native(target);
  }
  if (newer.empty()) return true;
  if (newer.size() > kNewerExamples) examples += "\n\u2026";
  QMessageBox box(QMessageBox::Question, T("OVERWRITE_TITLE"),
                  QString::fromStdString(FormatText(RestoreText("MSG_NEWER_FILES_IN_PLACE"),
                                                    {CountText("FILES", newer.size())}) +
                                         examples),
                  QMessageBox::NoButton, this);
  box.setInformativeText(T("OVERWRITE_CHOICES"));
  // Room for whole paths: a message box is narrow by itself.
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
    grid->addItem(new QSpacerItem(560, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                  grid->rowCount(), 0, 1, grid->columnCount());
  box.setObjectName("overwriteQuestion");
  box.setTextFormat(Qt::PlainText);
  QPushButton* replace = box.addButton(T("BUTTON_OVERWRITE"), QMessageBox::DestructiveRole);
  replace->setObjectName("overwriteReplace");
  QPushButton* beside = box.addButton(T("BUTTON_RESTORE_BESIDE"), QMessageBox::AcceptRole);
  beside->setObjectName("overwriteBeside");
  QPushButton* cancel = box.addButton(T("BUTTON_CANCEL"), QMessageBox::RejectRole);
  cancel->setObjectName("overwriteCancel");
  box.setDefaultButton(beside);
  box.setEscapeButton(cancel);
  box.exec();
  if (box.clickedButton() == replace) return true;
  if (box.clickedButton() != beside) return false;
  const int64_t now = plat::Now();
  for (RestoreChoice* c : newer) c->restoreName = RestoredBesideName(c->fileName, now);
  return true;
}

int CDlgRestore::Restore() {
  if (listers_.count(nullptr) != 0) return 0;  // the first level is on its way
  CVersionFolder* shown = tree_->Shown();
  if (!haveStore_ || !access_ || shown == nullptr ||
      (shown->folders.empty() && shown->files.empty())) {
    ShowAppMessage(RestoreText("MSG_RESTORATION_LOCATION_IS_EMPTY"), QMessageBox::Information);
    return 0;
  }
  if (IsSearching()) return 0;
  std::string failure;
  if (!access_->Reach(&failure)) {
    ShowAppMessage(failure, QMessageBox::Warning);
    return 0;
  }
  // Folders ticked before they were opened are listed here, with the
  // restore's own access (a listing job only ever fills a copy).
  std::vector<RestoreChoice> choices = CollectChoices(*access_, store_.separator, shown);
  if (choices.empty()) {
    ShowAppMessage(RestoreText("MSG_NO_FILES_TO_BE_RESTORED"), QMessageBox::Information);
    return 0;
  }
  std::string target;
  if (!originalLocation_) {
    const std::string native = targetBox_->currentText().trimmed().toStdString();
    if (native.empty() || !plat::ToSystemPath(native, &target)) {
      ShowAppMessage(RestoreText("MSG_TARGET_FOLDER_IS_INVALID") + " " + native,
                     QMessageBox::Warning);
      return 0;
    }
  } else if (!SettleNewerFiles(&choices)) {
    return 0;
  }
  CDlgRestoreProgress progress(BuildSelection(store_, choices), store_, target, this);
  const int result = progress.exec();
  if (progress.FilesFailed() > 0)
    SetStatus(
        QString::fromStdString(RestoreResultText(progress.FilesCopied(), progress.FilesFailed())));
  else
    SetStatus({});
  return result;
}

void CDlgRestore::Cleanup() {
  if (cleaned_) return;
  cleaned_ = true;
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
