#include "ui/CBrevantoView.h"

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

#include "common/PlanSettings.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "engine/CTask.h"
#include "engine/CatchUpRequests.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "plans/Schedule.h"
#include "platform/Clock.h"
#include "platform/Profile.h"
#include "ui/AppMessage.h"
#include "ui/CDlgSureMessage.h"
#include "ui/CPlanCell.h"
#include "ui/CellTexts.h"
#include "ui/EngineStartup.h"
#include "ui/NativePath.h"
#include "ui/StyleSheet.h"
#include "ui/TextFormat.h"

namespace {

// What a worker result was asked for.
enum : int {
  kTagPending = 1,     // the cells' waiting-file counts
  kTagStatus = 2,      // free space for a cell's status and space line
  kTagSpaceCheck = 3,  // the destination space check (pop-ups)
};

constexpr int kRefreshMs = 2000;
constexpr int kRecountDelayMs = 2000;
// Where the start of a recording-only period is kept in the plan's "UI.ini".
constexpr char kLoggingSection[] = "MainWindow";
constexpr char kLoggingKey[] = "LoggingModeTime";

QString Q(const std::string& s) { return QString::fromStdString(s); }
QString Main(const char* key) { return Q(GetText("MAIN_UI", key)); }

// A timer interval in ms from seconds, kept within what QTimer takes.
int IntervalMs(int seconds) { return std::clamp(seconds, 1, 2000000) * 1000; }

std::string UiIniPath(uint32_t id) { return GetPlanFolder(id) + "UI.ini"; }

std::string DriveRoot(const std::string& root) {
  return root.size() >= 2 && root[1] == ':' ? root.substr(0, 1) + ":\\" : root;
}

// "%Y%m%d%H%M%S" in local time; 0 when the text is not such a time.
int64_t ParseStamp(const std::string& text) {
  if (text.size() != 14 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  plat::LocalTime lt{};
  lt.year = std::stoi(text.substr(0, 4));
  lt.month = std::stoi(text.substr(4, 2));
  lt.day = std::stoi(text.substr(6, 2));
  lt.hour = std::stoi(text.substr(8, 2));
  lt.minute = std::stoi(text.substr(10, 2));
  lt.second = std::stoi(text.substr(12, 2));
  if (lt.month < 1 || lt.month > 12 || lt.day < 1 || lt.day > 31) return 0;
  const int64_t t = plat::FromLocalTime(lt);
  return t > 0 ? t : 0;
}

void WriteLoggingStamp(uint32_t id, int64_t now) {
  plat::WriteProfileString(UiIniPath(id), kLoggingSection, kLoggingKey,
                           plat::FormatLocalTime(now, "%Y%m%d%H%M%S").c_str());
}

std::string ReadLoggingStamp(uint32_t id) {
  return plat::GetProfileString(UiIniPath(id), kLoggingSection, kLoggingKey, "");
}

void ClearLoggingStamp(uint32_t id) {
  const std::string old = ReadLoggingStamp(id);
  if (!old.empty() && old != "NULL")
    plat::WriteProfileString(UiIniPath(id), kLoggingSection, kLoggingKey, "NULL");
}

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
// Snapshots and cells

void CBrevantoView::Refresh() {
  PlanList& list = PlanList::Instance();
  std::unique_lock<std::recursive_mutex> listLock(list.Lock(), std::try_to_lock);
  if (!listLock.owns_lock()) {
    dirty_ = true;  // the next drain tries again
    return;
  }
  dirty_ = false;
  std::vector<uint32_t> order;
  std::set<uint32_t> seen;
  for (size_t i = 0; i < list.Count(); ++i) {
    CPlan* plan = list.At(i);
    if (plan == nullptr) continue;
    PlanSnapshot snap;
    const bool fresh = TryTakeSnapshot(plan, &snap);
    const uint32_t id = fresh ? snap.id : plan->Id();
    if (deleting_.count(id)) continue;
    auto it = plans_.find(id);
    if (fresh) {
      PlanState& state = plans_[id];
      const bool moved = state.snap.root != snap.root || state.snap.storageType != snap.storageType;
      const bool back = !state.snap.available && snap.available;
      if (moved) state.space = SpaceFigures{};
      if (moved || back) state.remeasure = true;
      state.snap = std::move(snap);
    } else if (it == plans_.end()) {
      dirty_ = true;  // never seen whole yet: shown once its lock is free
      continue;
    }
    order.push_back(id);
    seen.insert(id);
  }
  listLock.unlock();

  for (auto it = plans_.begin(); it != plans_.end();) {
    if (!seen.count(it->first) && !deleting_.count(it->first)) {
      RemoveCell(it->first);
      it = plans_.erase(it);
    } else {
      ++it;
    }
  }
  order_ = order;
  for (uint32_t id : order_) {
    PlanState& state = plans_[id];
    if (HasMeasuredSpace(state.snap) && state.snap.available &&
        (!state.space.measured || state.remeasure) && !state.measuring) {
      Measure(id, state, kTagStatus);
    }
  }
  const bool onBattery = IsBatteryBlocking();
  TrackBlockedStates(onBattery);
  UpdateCells();
}

CellContent CBrevantoView::ContentFor(const PlanState& state, bool onBattery) const {
  const PlanSnapshot& s = state.snap;
  const std::string country = CellCountry();
  const PlanStatus status = ComputeStatus(s, onBattery, state.space);
  CellContent c;
  c.name = Q(s.name);
  c.statusText = Q(StatusText(status, s));
  int r = 0, g = 0, b = 0;
  StatusRgb(status.colour, &r, &g, &b);
  c.statusColour = QColor(r, g, b);
  c.statusKind = status.colour == StatusColour::kWarning   ? "warning"
                 : status.colour == StatusColour::kStopped ? "stopped"
                 : status.colour == StatusColour::kProblem ? "problem"
                                                           : "running";
  c.iconName = StatusIconName(status.icon);
  c.animated = status.animated;
  c.destination = Q(DestinationText(s));
  c.destinationTip = Q(DestinationToolTip(s));
  if (HasMeasuredSpace(s) && s.available && state.space.measured && state.space.ok) {
    const uint64_t used = state.space.totalBytes > state.space.freeBytes
                              ? state.space.totalBytes - state.space.freeBytes
                              : 0;
    c.space =
        Q(FormatText(GetText("UGGRID", "FREE_SPACE"),
                     {FormatSize(state.space.freeBytes, "", false),
                      FormatSize(state.space.totalBytes, "", false), FormatSize(used, "", false)}));
  }
  c.schedule = Q(ScheduleText(s.scheduleUnit, s.scheduleNum));
  c.nextBackup = Q(NextBackupText(s, country));
  c.lastBackup = Q(LastBackupText(s, country));
  c.pending = state.pendingKnown ? Q(LocaleNumber(state.pending)) : QStringLiteral("\u2013");
  if (s.notProtected > 0) {
    c.notProtected = Q(FormatText(GetText("NOT_PROTECTED", "PLAN_CARD_COUNT"),
                                  {CountText("FILES", s.notProtected)}));
  }
  // A stopped plan, or a manual plan that is not running, offers launch.
  c.showLaunch = !s.enabled || (s.scheduleUnit == 8 && s.mode != 2);
  c.canBackUpNow = true;  // a continuous plan looks for what it missed
  return c;
}

void CBrevantoView::UpdateCells() {
  const bool onBattery = IsBatteryBlocking();
  // Cells in list order; new ones made, gone ones already removed.
  int index = 0;
  for (uint32_t id : order_) {
    CPlanCell* cell = Cell(id);
    if (cell == nullptr) {
      cell = new CPlanCell(id, list_);
      cells_[id] = cell;
      connect(cell, &CPlanCell::backupNowClicked, this, &CBrevantoView::BackUpNow);
      connect(cell, &CPlanCell::pauseLaunchClicked, this, &CBrevantoView::PauseOrLaunch);
      connect(cell, &CPlanCell::deleteClicked, this, &CBrevantoView::DeletePlan);
      connect(cell, &CPlanCell::editClicked, this, &CBrevantoView::editPlanRequested);
      connect(cell, &CPlanCell::restoreClicked, this, &CBrevantoView::restoreRequested);
      connect(cell, &CPlanCell::archiveClicked, this, &CBrevantoView::ArchivePlan);
      connect(cell, &CPlanCell::renameRequested, this, &CBrevantoView::RenamePlan);
    }
    if (listLayout_->indexOf(cell) != index) {
      listLayout_->removeWidget(cell);
      listLayout_->insertWidget(index, cell);
    }
    cell->SetContent(ContentFor(plans_[id], onBattery));
    cell->show();
    ++index;
  }
  empty_->setVisible(order_.empty());
}

void CBrevantoView::RemoveCell(uint32_t id) {
  auto it = cells_.find(id);
  if (it == cells_.end()) return;
  CPlanCell* cell = it->second;
  cells_.erase(it);
  listLayout_->removeWidget(cell);
  cell->hide();
  cell->deleteLater();
  order_.erase(std::remove(order_.begin(), order_.end(), id), order_.end());
  empty_->setVisible(order_.empty());
}

CPlanCell* CBrevantoView::Cell(uint32_t id) const {
  auto it = cells_.find(id);
  return it == cells_.end() ? nullptr : it->second;
}

std::vector<uint32_t> CBrevantoView::CellIds() const { return order_; }

// ---------------------------------------------------------------------------
// Engine events

void CBrevantoView::OnEngineEvent(const EventData& event) {
  switch (event.code) {
    case kEvFileCopied: {
      // The file left the waiting ones; the next count corrects any drift.
      auto it = plans_.find(event.planId);
      if (it != plans_.end() && it->second.pendingKnown && it->second.pending > 0)
        --it->second.pending;
      dirty_ = true;
      break;
    }
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

// ---------------------------------------------------------------------------
// Worker requests and results

std::vector<JournalRequest> CBrevantoView::JournalRequests(const std::vector<uint32_t>& ids) const {
  std::vector<JournalRequest> requests;
  PlanList& list = PlanList::Instance();
  // Plans are deleted on this thread only, so each pointer holds until the
  // view itself deletes the plan, which waits for the job (IsReading).
  for (uint32_t id : ids) {
    if (deleting_.count(id)) continue;
    CPlan* plan = list.Find(id);
    if (plan == nullptr || plan->Database() == nullptr) continue;
    requests.push_back({id, plan->Database()});
  }
  return requests;
}

void CBrevantoView::RefreshPendingCounts() {
  std::vector<JournalRequest> requests = JournalRequests(order_);
  if (!requests.empty()) worker_.CountPending(std::move(requests), kTagPending, false);
  for (uint32_t id : order_) plans_[id].remeasure = true;
  Refresh();
}

void CBrevantoView::Measure(uint32_t id, const PlanState& state, int tag) {
  const std::string root = DriveRoot(state.snap.root);
  if (root.empty()) return;
  if (tag == kTagStatus) {
    plans_[id].measuring = true;
    plans_[id].remeasure = false;
  }
  worker_.MeasureSpace(id, root, tag);
}

void CBrevantoView::OnPendingCounted(int tag, const std::vector<JournalCount>& counts,
                                     uint64_t distinct) {
  for (const JournalCount& c : counts) {
    auto it = plans_.find(c.id);
    if (it == plans_.end() || !c.ok) continue;
    it->second.pending = c.pending;
    it->second.pendingKnown = true;
  }
  if (tag != kTagPending) {
    auto report = loggingReports_.find(tag);
    if (report == loggingReports_.end()) return;
    const LoggingReport r = report->second;
    loggingReports_.erase(report);
    if (GetShowErrorNotification() && !r.names.empty()) {
      const std::string days = CountText("DAYS", static_cast<uint64_t>(r.days));
      const std::string files = CountText("FILES", distinct);
      const std::string text =
          r.names.size() == 1
              ? FormatText(GetText("MAIN_UI", "PLAN_LOGGING_MODE_DAYS"), {r.names[0], days, files})
              : FormatText(GetText("MAIN_UI", "PLANS_LOGGING_MODE_DAYS"),
                           {CountText("PLANS", r.names.size()), days, files});
      emit messageRequested(Q(text), kWarning);
    }
  }
  UpdateCells();
}

void CBrevantoView::OnSpaceMeasured(int tag, uint32_t id, bool ok, uint64_t freeBytes,
                                    uint64_t totalBytes) {
  auto it = plans_.find(id);
  if (it == plans_.end()) return;
  PlanState& state = it->second;
  if (tag == kTagStatus) state.measuring = false;
  state.space.measured = true;
  state.space.ok = ok;
  state.space.freeBytes = freeBytes;
  state.space.totalBytes = totalBytes;
  if (tag == kTagSpaceCheck && ok && GetShowErrorNotification()) {
    const char* key = freeBytes < kTooFullBytes      ? "DISK_FULL_MESSAGE"
                      : freeBytes < kNearlyFullBytes ? "DISK_WILL_FULL_MESSAGE"
                                                     : nullptr;
    if (key)
      emit messageRequested(Q(FormatText(GetText("MAIN_UI", key), {state.snap.name})), kWarning);
  }
  TrackBlockedStates(IsBatteryBlocking());
  UpdateCells();
}

// ---------------------------------------------------------------------------
// Periodic checks and recording-only periods

void CBrevantoView::TrackBlockedStates(bool onBattery) {
  std::vector<std::string> newlyBlocked;
  int blockedCount = 0;
  const int64_t now = plat::Now();
  for (uint32_t id : order_) {
    PlanState& state = plans_[id];
    bool known = true;
    // Only a cause the user did not choose makes a recording-only period.
    const bool blocked =
        RecordingOnlyCause(state.snap, onBattery, state.space, &known) != RecordingCause::kNone;
    if (!known) continue;
    if (blocked) ++blockedCount;
    const int now01 = blocked ? 1 : 0;
    if (state.blocked == now01) continue;
    const bool first = state.blocked == -1;
    state.blocked = now01;
    if (!blocked) {
      ClearLoggingStamp(id);
    } else if (!first) {
      WriteLoggingStamp(id, now);
      newlyBlocked.push_back(state.snap.name);
    } else {
      const std::string old = ReadLoggingStamp(id);
      if (old.empty() || old == "NULL") WriteLoggingStamp(id, now);
    }
  }
  if (newlyBlocked.empty() || !GetShowErrorNotification()) return;
  const std::string text =
      blockedCount > 1
          ? FormatText(GetText("MAIN_UI", "PLANS_CHANGE_LOGGING_MODE"),
                       {CountText("PLANS", static_cast<uint64_t>(blockedCount))})
          : FormatText(GetText("MAIN_UI", "PLAN_CHANGE_LOGGING_MODE"), {newlyBlocked[0]});
  emit messageRequested(Q(text), kWarning);
}

void CBrevantoView::RunPeriodicChecks() {
  Refresh();
  // Recording-only check: the longest period and the files waiting in all
  // blocked plans.
  const int64_t now = plat::Now();
  LoggingReport report;
  std::vector<uint32_t> blockedIds;
  for (uint32_t id : order_) {
    const PlanState& state = plans_[id];
    if (state.blocked != 1) continue;
    std::string stamp = ReadLoggingStamp(id);
    int64_t since = stamp.empty() || stamp == "NULL" ? 0 : ParseStamp(stamp);
    if (since == 0) {
      WriteLoggingStamp(id, now);
      since = now;
    }
    const int64_t days = (now > since ? (now - since) / 86400 : 0) + 1;
    report.days = std::max(report.days, days);
    report.names.push_back(state.snap.name);
    blockedIds.push_back(id);
  }
  if (!blockedIds.empty()) {
    const int tag = nextTag_++;
    loggingReports_[tag] = report;
    worker_.CountPending(JournalRequests(blockedIds), tag, true);
  }

  // Destination space check.
  if (!GetShowErrorNotification()) return;
  for (uint32_t id : order_) {
    const PlanState& state = plans_[id];
    if (HasMeasuredSpace(state.snap) && state.snap.available) Measure(id, state, kTagSpaceCheck);
  }
}

// ---------------------------------------------------------------------------
// Plan commands

void CBrevantoView::BackUpNow(uint32_t id) {
  CPlan* plan = PlanList::Instance().Find(id);
  if (plan == nullptr) return;
  const bool wasEnabled = plan->Enabled();
  if (!wasEnabled) plan->SetEnabled(true, 0);
  // A continuous plan copies changes as they come: now it also looks
  // through its folders for what it may have missed, and copies that.
  if (plan->ScheduleUnit() == kUnitContinuous) catchup::Request(id, "backup-now");
  {
    std::lock_guard<std::recursive_mutex> lock(plan->Lock());
    if (CSimpleTask* task = plan->Task()) task->SetForced(true);
  }
  if (!wasEnabled && plan->ScheduleUnit() != kUnitManual) plan->Save();
  Refresh();
}

void CBrevantoView::PauseOrLaunch(uint32_t id) {
  CPlan* plan = PlanList::Instance().Find(id);
  if (plan == nullptr) return;
  if (plan->ScheduleUnit() == kUnitManual && plan->Mode() != kModeWorking) {
    BackUpNow(id);
    return;
  }
  plan->SetEnabled(!plan->Enabled(), 0);
  bool available = false;
  {
    std::lock_guard<std::recursive_mutex> lock(plan->Lock());
    CDestination* dest = plan->Destination();
    available = dest != nullptr && dest->IsAvailable();
  }
  if (available) {
    plan->Save();
  } else {
    emit destinationStepRequested(id);
  }
  Refresh();
}

void CBrevantoView::DeletePlan(uint32_t id) {
  auto it = plans_.find(id);
  if (it == plans_.end() || deleting_.count(id)) return;
  const PlanSnapshot snap = it->second.snap;
  const bool offerStore = snap.hasDestination && snap.available && snap.storageType != kStorageFtp;
  CDlgSureMessage question(Q(FormatText(GetText("MAIN_UI", "SURE_DELETE_PLAN"), {snap.name})),
                           offerStore ? Main("DELETE_BACKUP_FILES") : QString(),
                           Main("BUTTON_DELETE"), Main("BUTTON_CANCEL"), this);
  if (question.Ask() != CDlgSureMessage::kOk) return;
  if (PlanList::Instance().Find(id) == nullptr) return;  // gone while the question was up

  PendingDelete request;
  request.removeStore = offerStore && question.Checked();
  request.storeRoot = snap.root;
  RemoveCell(id);
  if (worker_.IsReading(id)) {
    deleting_[id] = request;  // finished when the journal job is done
    return;
  }
  FinishDelete(id, request);
}

void CBrevantoView::FinishDelete(uint32_t id, const PendingDelete& request) {
  deleting_.erase(id);
  plans_.erase(id);
  // Unlisting shuts the plan down: its thread is told to stop and the plan
  // goes with it; the plan folder is deleted.
  PlanList::Instance().DeletePlan(id);
  if (request.removeStore) worker_.RemoveStore(request.storeRoot);
  emit planDeleted(id);
  Refresh();
}

void CBrevantoView::FinishDeferredDeletes() {
  std::vector<std::pair<uint32_t, PendingDelete>> ready;
  for (const auto& [id, request] : deleting_) {
    if (!worker_.IsReading(id)) ready.emplace_back(id, request);
  }
  for (const auto& [id, request] : ready) FinishDelete(id, request);
}

void CBrevantoView::RenamePlan(uint32_t id, const QString& name) {
  PlanList& list = PlanList::Instance();
  CPlan* plan = list.Find(id);
  if (plan == nullptr) return;
  const std::string wanted = name.trimmed().toStdString();
  if (wanted.empty() || wanted == plan->Name()) {
    Refresh();
    return;
  }
  if (list.FindByName(wanted, plan) != nullptr) {
    ShowAppMessage(FormatText(GetText("MAIN_UI", "RENAME_NAME_TAKEN"), {wanted}),
                   QMessageBox::Warning);
  } else if (plan->SetName(wanted)) {
    plan->Save();
  }
  Refresh();
}

void CBrevantoView::ArchivePlan(uint32_t id) {
  auto it = plans_.find(id);
  if (it == plans_.end()) return;
  if (it->second.snap.storageType == kStorageFtp) {
    ShowAppMessage(GetText("MAIN_UI", "CAN_NOT_ARCHIVE_FTP"), QMessageBox::Information);
    return;
  }
  emit archiveRequested(id);
}
