// The main view's plan list: snapshots of the plans, one cell per plan and
// what each cell shows.
#include "ui/main/CBrevantoView.h"

#include <QVBoxLayout>
#include <algorithm>
#include <mutex>

#include "common/PlanSettings.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "platform/process/Clock.h"
#include "ui/main/BrevantoViewParts.h"
#include "ui/main/CPlanCell.h"
#include "ui/model/CellTexts.h"
#include "ui/widgets/NativePath.h"
#include "ui/widgets/TextFormat.h"

using view_parts::kTagStatus;
using view_parts::Q;

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
      if (moved) {
        state.space = SpaceFigures{};
        state.revisionsKnown = false;  // another store: its own figure
      }
      if (moved || back) state.remeasure = true;
      // Read at the first look, and again when the task stops (paused): the
      // task saved where it last saw the store, which a refresh skipped
      // while the plan was busy may never have shown.
      if (!state.seenRead || (state.snap.hasTask && !snap.hasTask)) {
        state.seenRead = true;
        state.seen = ReadAwayState(plan->GetPlanFolder());
      }
      // The folder the store was last seen in, for a plan whose task is not
      // running (paused) or has not seen it yet.
      if (moved && !state.snap.root.empty()) {
        state.seen.folder.clear();
        state.serverRefused = 0;  // another store, perhaps another server
        state.storeRefusal.clear();
      }
      if (snap.storeFolder.empty()) {
        snap.storeFolder = state.seen.folder;
      } else {
        state.seen.folder = snap.storeFolder;
      }
      state.snap = std::move(snap);
    } else if (it == plans_.end() || !it->second.seenRead) {
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
  UpdateProblems();
  TrackBlockedStates(onBattery);
  UpdateCells();
}

void CBrevantoView::UpdateProblems() {
  const int64_t now = plat::Now();
  bool changed = false;
  for (uint32_t id : order_) {
    PlanState& state = plans_[id];
    const PlanSnapshot& s = state.snap;
    // A refused store is away to the copies, but no server or disk is.
    PlanProblem problem =
        !state.storeRefusal.empty() && s.enabled && s.hasDestination && !s.available
            ? StoreRefusedProblem(state.storeRefusal)
            : FindProblem(s, state.space, state.serverRefused, s.diskLabel, now);
    if (problem == state.problem) continue;
    state.problem = std::move(problem);
    changed = true;
  }
  // A plan with a problem may also have gone from the list.
  const size_t count = Problems().size();
  if (changed || count != problemCount_) {
    problemCount_ = count;
    emit problemsChanged();
  }
}

std::vector<CBrevantoView::ProblemEntry> CBrevantoView::Problems() const {
  std::vector<ProblemEntry> out;
  for (uint32_t id : order_) {
    auto it = plans_.find(id);
    if (it == plans_.end() || !it->second.problem.Any()) continue;
    out.push_back({id, it->second.snap.name, it->second.problem});
  }
  return out;
}

CellContent CBrevantoView::ContentFor(const PlanState& state, bool onBattery) const {
  const PlanSnapshot& s = state.snap;
  PlanStatus status = ComputeStatus(s, onBattery, state.space);
  // Refused: nothing comes of waiting, so no "recording changes only".
  const bool refused = state.problem.kind == ProblemKind::kStoreRefused;
  if (refused) status.colour = StatusColour::kProblem;
  CellContent c;
  c.name = Q(s.name);
  c.checkServer = state.problem.kind == ProblemKind::kKeyNotTrusted ||
                  state.problem.kind == ProblemKind::kNotEncrypted;
  // The cause behind a plan that only records or whose copies fail.
  c.statusText = refused ? Q(state.problem.words)
                 : state.problem.Any() && status.icon != StatusIcon::kFailing
                     ? Q(FormatText(GetText("PLAN_PROBLEM", "STATUS"),
                                    {StatusText(status, s), state.problem.words}))
                     : Q(StatusText(status, s));
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
  c.nextBackup = Q(NextBackupText(s));
  c.lastBackup = Q(LastBackupText(s));
  c.pending = state.pendingKnown ? Q(LocaleNumber(state.pending)) : QStringLiteral("\u2013");
  std::string skipped;
  if (s.notProtected > 0) {
    skipped = FormatText(GetText("NOT_PROTECTED", "PLAN_CARD_COUNT"),
                         {CountText("FILES", s.notProtected)});
  }
  if (s.notPrivate > 0) {
    if (!skipped.empty()) skipped += "\n";
    skipped += FormatText(GetText("NOT_PROTECTED", "PLAN_CARD_COUNT_PRIVATE"),
                          {CountText("FILES", s.notPrivate)});
  }
  if (s.tooLarge > 0) {
    if (!skipped.empty()) skipped += "\n";
    skipped +=
        FormatText(GetText("TOO_LARGE", "PLAN_CARD_COUNT"), {CountText("FILES", s.tooLarge)});
  }
  c.notProtected = Q(skipped);
  c.versions = Q(VersionsText(s, state.revisionsKnown, state.revisionBytes));
  c.offerMakeRoom = state.problem.kind == ProblemKind::kDiskFull && !s.makeRoom && SpaceBlocks(s);
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
      // The wizard's server step: its connection test shows the key to accept.
      connect(cell, &CPlanCell::checkServerClicked, this, &CBrevantoView::destinationStepRequested);
      connect(cell, &CPlanCell::renameRequested, this, &CBrevantoView::RenamePlan);
      connect(cell, &CPlanCell::makeRoomClicked, this, &CBrevantoView::MakeRoomFor);
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
