// The main view's requests to its worker (waiting-file counts, free space)
// and what it does with the results.
#include "ui/main/CBrevantoView.h"

#include <algorithm>
#include <mutex>

#include "common/Settings.h"
#include "common/Texts.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "platform/process/Clock.h"
#include "ui/main/BrevantoViewParts.h"
#include "ui/model/CellTexts.h"
#include "ui/widgets/TextFormat.h"

namespace {

using view_parts::kTagPending;
using view_parts::kTagSpaceCheck;
using view_parts::kTagStatus;
using view_parts::Q;

std::string DriveRoot(const std::string& root) {
  return root.size() >= 2 && root[1] == ':' ? root.substr(0, 1) + ":\\" : root;
}

}  // namespace

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
  MeasureRevisions(id, &plans_[id]);
}

void CBrevantoView::MeasureRevisions(uint32_t id, PlanState* state) {
  // The revisions' room is a walk of the whole tree (a year's store holds
  // hundreds of thousands of files): not for a window nobody sees, and not
  // again before a hundred times the last walk's time has passed, so that a
  // large store is not walked after every copy of a continuous plan.
  if (!isVisible() || state->snap.root.empty()) return;
  const uint64_t now = plat::GetTickCount64();
  if (state->revisionsRoot == state->snap.root && now < state->revisionsNextMs) return;
  state->revisionsAskedMs = now;
  state->revisionsNextMs = UINT64_MAX;
  state->revisionsRoot = state->snap.root;
  worker_.MeasureRevisions(id, state->snap.root);
}

void CBrevantoView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  for (uint32_t id : order_) {
    PlanState& state = plans_[id];
    if (HasMeasuredSpace(state.snap) && state.snap.available) MeasureRevisions(id, &state);
  }
}

void CBrevantoView::OnRevisionsMeasured(uint32_t id, const QString& root, uint64_t bytes) {
  auto it = plans_.find(id);
  if (it == plans_.end()) return;
  if (it->second.revisionsRoot == root.toStdString()) {
    constexpr uint64_t kLongestRestMs = 600000;
    const uint64_t now = plat::GetTickCount64();
    it->second.revisionsNextMs =
        now + std::min(kLongestRestMs, (now - it->second.revisionsAskedMs) * 100);
  }
  if (it->second.snap.root != root.toStdString()) return;
  it->second.revisionsKnown = true;
  it->second.revisionBytes = bytes;
  UpdateCells();
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
    const QString text =
        key ? Q(FormatText(GetText("MAIN_UI", key), {state.snap.name})) : QString();
    if (key && std::string_view(key) == "DISK_FULL_MESSAGE" && !state.snap.makeRoom)
      emit makeRoomOffered(text, kWarning, id);
    else if (key)
      emit messageRequested(text, kWarning);
  }
  UpdateProblems();
  TrackBlockedStates(IsBatteryBlocking());
  UpdateCells();
}
