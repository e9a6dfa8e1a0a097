#include "ui/CDlgRestore.h"

#include <QAction>
#include <QComboBox>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <mutex>

#include "app/Texts.h"
#include "plans/CPlan.h"
#include "plans/PlanList.h"
#include "platform/Paths.h"
#include "ui/AppMessage.h"
#include "ui/CDlgRestoreProgress.h"
#include "ui/CRestoreTree.h"
#include "ui/CellTexts.h"
#include "ui/PlanSnapshot.h"
#include "ui/RestoreRelay.h"
#include "ui/RestoreTexts.h"
#include "ui/StyleSheet.h"

namespace {

constexpr int kAnimationMs = 300;
constexpr int kWatchMs = 50;  // how often ended jobs are collected
constexpr char kNormalImage[] = "EditSearch_Normal";
constexpr char kAnimateImage[] = "EditSearch_Animate";

QString T(const char* key) { return QString::fromStdString(RestoreText(key)); }

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
  StopJobs();
  tree_->ClearTree();
  root_.reset();
  haveStore_ = false;
  StartShowingPlan();
}

void CDlgRestore::StartShowingPlan() {
  waitingForStore_ = false;
  // A stopped job may still be ending on a tree of the cache: wait for it
  // (by timer) before touching any tree again.
  bool busy = DiscardedRestoreJobsRunning() > 0;
  CPlan* plan = PlanList::Instance().Find(planId_);
  if (plan == nullptr) {
    UpdateEnabled();
    return;
  }
  if (!busy) haveStore_ = TryGetStore(plan, &store_, &busy);
  if (busy) {
    waitingForStore_ = true;
    const uint32_t id = planId_;
    QTimer::singleShot(kWatchMs, this, [this, id] {
      if (id == planId_ && waitingForStore_ && !cleaned_) StartShowingPlan();
    });
    UpdateEnabled();
    return;
  }
  if (!haveStore_) {
    UpdateEnabled();
    return;
  }
  tree_->SetDragFromStore(store_.storageType != kStorageFtp);

  if (std::shared_ptr<CDirNode> cached = CDirNodeCache::Instance().Get(planId_)) {
    if (searched_.erase(cached.get()) != 0) {
      WalkTree(cached.get(), [](CDirNode* n) {
        n->hidden = false;
        return true;
      });
      ComputeTotals(cached.get());
    }
    SetCheckState(cached.get(), kCheckNone);
    root_ = cached;
    tree_->ShowRootOpened(root_.get());
    UpdateEnabled();
    return;
  }

  filler_.relay = std::make_unique<CRestoreRelay>(this, static_cast<IRestoreObserver*>(this));
  filler_.job = std::make_unique<CRestoreFiller>(filler_.relay.get(), store_);
  ++listingsStarted_;
  if (filler_.job->Begin() != 0) Discard(&filler_);
  watch_->start(kWatchMs);
  UpdateEnabled();
}

void CDlgRestore::Discard(Job* job) {
  DiscardRestoreJob(std::move(job->job), std::move(job->relay));
}

void CDlgRestore::StopJobs() {
  Discard(&filler_);
  Discard(&finder_);
  animation_->Stop();
  SetSearchImage(kNormalImage);
  waitingForStore_ = false;
  pendingSearch_ = false;
}

void CDlgRestore::WatchJobs() {
  if (filler_.job && filler_.job->HasEnded()) {
    Discard(&filler_);
    // The listing is complete (or the store could not be read at all).
    if (root_) tree_->RefreshItems();
    if (QTreeWidgetItem* item = tree_->ItemOf(root_.get())) item->setExpanded(true);
  }
  if (finder_.job && finder_.job->HasEnded()) {
    Discard(&finder_);
    animation_->Stop();
    SetSearchImage(kNormalImage);
  }
  if (!filler_.job && !finder_.job) watch_->stop();
  UpdateEnabled();
}

void CDlgRestore::UpdateEnabled() {
  const bool busy = IsListing() || IsSearching();
  // The nodes are the jobs' while they run: no expanding, ticking or dragging.
  tree_->setEnabled(!busy && root_ != nullptr);
  restoreButton_->setEnabled(!busy && root_ != nullptr);
  searchBox_->setEnabled(!IsListing() && root_ != nullptr);
  // Work goes on in the background: the window stays usable meanwhile.
  if (busy)
    setCursor(Qt::BusyCursor);
  else
    unsetCursor();
}

void CDlgRestore::OnTreeRoot(const std::shared_ptr<CDirNode>& root) {
  root_ = root;
  tree_->ShowRoot(root_.get());
  UpdateEnabled();
}

void CDlgRestore::OnTreeRefresh() { tree_->RefreshItems(); }

void CDlgRestore::OnSearchApplied(CDirNode* root) { tree_->ShowRootOpened(root); }

void CDlgRestore::OnShowNode(CDirNode* node) { tree_->RevealNode(node); }

void CDlgRestore::OnSearchFinished() {
  animation_->Stop();
  SetSearchImage(kNormalImage);
}

void CDlgRestore::Search() {
  if (!root_ || IsListing() || !haveStore_) return;
  Discard(&finder_);
  tree_->ClearTree();
  frame_ = 0;
  SetSearchImage(std::string(kAnimateImage) + "_0");
  animation_->Start(kAnimationMs);
  StartSearch(searchBox_->text().toStdString());
}

void CDlgRestore::StartSearch(const std::string& text) {
  if (!root_ || cleaned_) return;
  if (DiscardedRestoreJobsRunning() > 0) {
    // A stopped finder may still be ending on this tree.
    pendingSearch_ = true;
    const std::shared_ptr<CDirNode> root = root_;
    QTimer::singleShot(kWatchMs, this, [this, root, text] {
      if (root == root_ && pendingSearch_) StartSearch(text);
    });
    UpdateEnabled();
    return;
  }
  pendingSearch_ = false;
  // An empty text shows the whole tree again (every name matches "*").
  const std::string pattern = text.empty() ? std::string("*") : SearchPatternFor(text);
  if (text.empty())
    searched_.erase(root_.get());
  else
    searched_.insert(root_.get());
  SetCheckState(root_.get(), kCheckNone);
  finder_.relay = std::make_unique<CRestoreRelay>(this, static_cast<IRestoreObserver*>(this));
  finder_.job =
      std::make_unique<CRestoreFinder>(finder_.relay.get(), root_, store_, pattern, !text.empty());
  if (finder_.job->Begin() != 0) {
    Discard(&finder_);
    OnSearchFinished();
    tree_->ShowRootOpened(root_.get());
    UpdateEnabled();
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

int CDlgRestore::Restore() {
  if (!root_ || root_->hidden || !haveStore_) {
    ShowAppMessage(RestoreText("MSG_RESTORATION_LOCATION_IS_EMPTY"), QMessageBox::Information);
    return 0;
  }
  if (IsListing() || IsSearching()) return 0;
  if (root_->checkState == kCheckNone) {
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
  }
  CDlgRestoreProgress progress(root_, store_, target, this);
  return progress.exec();
}

void CDlgRestore::Cleanup() {
  if (cleaned_) return;
  cleaned_ = true;
  StopJobs();
  watch_->stop();
  tree_->ClearTree();
  root_.reset();
  searched_.clear();
  CDirNodeCache::Instance().Clear();
}

void CDlgRestore::done(int result) {
  Cleanup();
  QDialog::done(result);
}
