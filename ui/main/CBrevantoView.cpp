// The main view: its widgets, its timers and the engine events it follows.
// The cells, the sizes from the worker, the periodic checks and the plan
// commands live in CBrevantoView*.cpp beside it.
#include "ui/main/CBrevantoView.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <mutex>

#include "common/Settings.h"
#include "common/Texts.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "ui/main/BrevantoViewParts.h"
#include "ui/main/CPlanCell.h"
#include "ui/main/EngineStartup.h"
#include "ui/widgets/DesktopOpen.h"
#include "ui/widgets/NativePath.h"
#include "ui/widgets/StyleSheet.h"

namespace {

using view_parts::Main;
using view_parts::Q;

constexpr int kRefreshMs = 2000;
constexpr int kRecountDelayMs = 2000;

// A timer interval in ms from seconds, kept within what QTimer takes.
int IntervalMs(int seconds) { return std::clamp(seconds, 1, 2000000) * 1000; }

QLabel* MakeLabel(const QString& text, QWidget* parent, const char* objectName) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(objectName);
  return label;
}

}  // namespace

CBrevantoView::CBrevantoView(QWidget* parent) : QWidget(parent) {
  RunEngineStartup();
  pump_.Start();

  connect(&pump_, &CEventPump::eventArrived, this,
          [this](CMEvent*, const EventData& event) { OnEngineEvent(event); });
  connect(&pump_, &CEventPump::drained, this, [this] { OnDrained(); });
  connect(&worker_, &CViewWorker::pendingCounted, this, &CBrevantoView::OnPendingCounted);
  connect(&worker_, &CViewWorker::spaceMeasured, this, &CBrevantoView::OnSpaceMeasured);
  connect(&worker_, &CViewWorker::revisionsMeasured, this, &CBrevantoView::OnRevisionsMeasured);
  connect(&worker_, &CViewWorker::storeRemoved, this, &CBrevantoView::storeRemovalFinished);
  connect(&worker_, &CViewWorker::jobFinished, this, [this] { FinishDeferredDeletes(); });

  BuildWidgets();
  StartTimers();
  Refresh();
  RefreshPendingCounts();
}

CBrevantoView::~CBrevantoView() = default;

void CBrevantoView::BuildWidgets() {
  setObjectName("brevantoView");
  setAttribute(Qt::WA_StyledBackground, true);
  setStyleSheet(AppStyleSheet());

  auto* header = new QFrame(this);
  header->setObjectName("viewHeader");
  auto* logo = new QLabel(header);
  QPixmap pixmap(NativeQPath(GetIconPath("Brevanto")));
  if (!pixmap.isNull()) {
    logo->setPixmap(pixmap.scaled(40, 40, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  }
  auto* headerLayout = new QHBoxLayout(header);
  headerLayout->setContentsMargins(20, 12, 20, 12);
  headerLayout->setSpacing(12);
  headerLayout->addWidget(logo);
  headerLayout->addWidget(MakeLabel(Q(GetProductName()), header, "productLabel"));
  headerLayout->addStretch(1);
  help_ = new QPushButton(Main("BUTTON_HELP"), header);
  help_->setObjectName("helpButton");
  help_->setCursor(Qt::PointingHandCursor);
  connect(help_, &QPushButton::clicked, this, [] { OpenHelp(); });
  headerLayout->addWidget(help_);

  // Title line of the list with the add-plan button.
  auto* title = MakeLabel(Main("BUTTON_TITLE"), this, "plansTitle");
  addPlan_ = new QPushButton(ImageIcon("Buttons", "AddPlan"), Main("BUTTON_ADD_PLAN"), this);
  addPlan_->setObjectName("addPlanButton");
  addPlan_->setIconSize(QSize(18, 18));
  addPlan_->setCursor(Qt::PointingHandCursor);
  connect(addPlan_, &QPushButton::clicked, this, [this] { emit addPlanRequested(); });
  auto* titleLine = new QHBoxLayout;
  titleLine->setContentsMargins(20, 16, 20, 8);
  titleLine->addWidget(title);
  titleLine->addStretch(1);
  titleLine->addWidget(addPlan_);

  // The cells, in a scrolling column.
  list_ = new QWidget;
  list_->setObjectName("planList");
  listLayout_ = new QVBoxLayout(list_);
  listLayout_->setContentsMargins(20, 4, 20, 20);
  listLayout_->setSpacing(12);

  empty_ = new QFrame(list_);
  empty_->setObjectName("emptyCard");
  auto* emblem = new QLabel(empty_);
  if (!pixmap.isNull()) {
    QPixmap faded(pixmap.size());
    faded.fill(Qt::transparent);
    QPainter painter(&faded);
    painter.setOpacity(0.35);
    painter.drawPixmap(0, 0, pixmap);
    painter.end();
    emblem->setPixmap(faded.scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  }
  auto* emptyTitle = MakeLabel(Main("PLANS_PLACEHOLDER_TITLE"), empty_, "emptyTitle");
  auto* emptyText = MakeLabel(Main("PLANS_PLACEHOLDER_TEXT"), empty_, "emptyText");
  emptyText->setWordWrap(true);
  for (QLabel* label : {emblem, emptyTitle, emptyText}) label->setAlignment(Qt::AlignCenter);
  auto* emptyLayout = new QVBoxLayout(empty_);
  emptyLayout->setContentsMargins(40, 32, 40, 32);
  emptyLayout->setSpacing(10);
  emptyLayout->addWidget(emblem);
  emptyLayout->addWidget(emptyTitle);
  emptyLayout->addWidget(emptyText);
  listLayout_->addWidget(empty_);
  listLayout_->addStretch(1);

  scroll_ = new QScrollArea(this);
  scroll_->setObjectName("planScroll");
  scroll_->setWidgetResizable(true);
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll_->setWidget(list_);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(header);
  layout->addLayout(titleLine);
  layout->addWidget(scroll_, 1);
}

void CBrevantoView::StartTimers() {
  checkDelayTimer_.setSingleShot(true);
  connect(&checkDelayTimer_, &QTimer::timeout, this, [this] {
    checkTimer_.start(IntervalMs(GetCheckDiskTooLowInternalTime()));
    RunPeriodicChecks();
  });
  connect(&checkTimer_, &QTimer::timeout, this, [this] { RunPeriodicChecks(); });
  connect(&pendingTimer_, &QTimer::timeout, this, [this] { RefreshPendingCounts(); });
  connect(&refreshTimer_, &QTimer::timeout, this, [this] { Refresh(); });
  recountTimer_.setSingleShot(true);
  connect(&recountTimer_, &QTimer::timeout, this, [this] { RefreshPendingCounts(); });

  checkDelayTimer_.start(IntervalMs(GetCheckDiskDelayTime()));
  pendingTimer_.start(IntervalMs(GetRefreshPendingFileInternalTime()));
  refreshTimer_.start(kRefreshMs);
}

// ---------------------------------------------------------------------------
// Engine events

void CBrevantoView::OnEngineEvent(const EventData& event) {
  switch (event.code) {
    case kEvFileCopied: {
      // The file left the waiting ones; the next count corrects any drift.
      auto it = plans_.find(event.planId);
      if (it != plans_.end() && it->second.pendingKnown && it->second.pending > 0)
        --it->second.pending;
      if (it != plans_.end()) {  // the server took a copy
        it->second.serverRefused = 0;
        it->second.storeRefusal.clear();
      }
      dirty_ = true;
      break;
    }
    case kEvServerKeyChanged:
    case kEvServerKeyUntrusted:
    case kEvServerNotEncrypted: {
      // Kept for a plan the view has not shown yet too: a new plan's first
      // look at its server may come before its first refresh.
      plans_[event.planId].serverRefused = event.code;
      dirty_ = true;
      break;
    }
    case kEvServerUnreachable: {
      // A refused login is the user's to mend, not the network's; a server
      // then out of reach is said as such again.
      int32_t& refused = plans_[event.planId].serverRefused;
      if (event.value == 1 && refused == 0) refused = kEvServerUnreachable;
      if (event.value != 1 && refused == kEvServerUnreachable) refused = 0;
      dirty_ = true;
      break;
    }
    case kEvStoreState:
      // A store refused where it lies, or one that takes nothing in.
      if (event.value == 4 || event.value == 2) {
        plans_[event.planId].storeRefusal = event.text3;
        dirty_ = true;
      }
      break;
    case kEvFileFailed:
      // A failed file waits to be tried again: it stays counted.
      recountWanted_ = true;
      dirty_ = true;
      break;
    case kEvFileNoted:
      recountWanted_ = true;
      break;
    case kEvRunEnds:
    case kEvScanEnds:
    case kEvAvailabilityChanged:
    case kEvUsbArrived:
    case kEvUsbRemoved: {
      auto it = plans_.find(event.planId);
      if (it != plans_.end()) it->second.remeasure = true;
      // Reached: its server was taken as it is now.
      if (it != plans_.end() && event.code == kEvAvailabilityChanged && event.value == 1) {
        it->second.serverRefused = 0;
        it->second.storeRefusal.clear();
      }
      recountWanted_ = true;
      dirty_ = true;
      break;
    }
    case kEvPlanModeChanged:
    case kEvPlanEnabled:
    case kEvPlanDisabled:
    case kEvRunBegins:
    case kEvScanBegins:
    case kEvPlanDeleted:
      dirty_ = true;
      break;
    case kEvPlanCreated:
      dirty_ = true;
      recountWanted_ = true;
      break;
    default:
      break;
  }
}

void CBrevantoView::OnDrained() {
  if (dirty_) Refresh();
  if (recountWanted_ && !recountTimer_.isActive()) {
    recountWanted_ = false;
    recountTimer_.start(kRecountDelayMs);
  }
}
