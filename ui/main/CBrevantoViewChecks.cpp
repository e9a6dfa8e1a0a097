// The main view's periodic checks: recording-only periods (kept in the
// plan's "UI.ini") and their warnings, and the destination space check.
#include "ui/main/CBrevantoView.h"

#include <mutex>
#include <string>

#include "common/Settings.h"
#include "common/Texts.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "platform/process/Clock.h"
#include "platform/profile/Profile.h"
#include "ui/main/BrevantoViewParts.h"
#include "ui/main/PlanProblem.h"
#include "ui/model/CellTexts.h"
#include "ui/widgets/TextFormat.h"

namespace {

using view_parts::kTagSpaceCheck;
using view_parts::Q;

// Where the start of a recording-only period is kept in the plan's "UI.ini".
constexpr char kLoggingSection[] = "MainWindow";
constexpr char kLoggingKey[] = "LoggingModeTime";

std::string UiIniPath(uint32_t id) { return GetPlanFolder(id) + "UI.ini"; }

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

}  // namespace

void CBrevantoView::TrackBlockedStates(bool onBattery) {
  std::vector<std::string> lines;  // the plans newly blocked, each with its cause
  const int64_t now = plat::Now();
  for (uint32_t id : order_) {
    PlanState& state = plans_[id];
    bool known = true;
    // Only a cause the user did not choose makes a recording-only period.
    const RecordingCause cause = RecordingOnlyCause(state.snap, onBattery, state.space, &known);
    if (!known) continue;
    // blocked: -1 not known yet, 0 copying, 1 only recording (said), 2 only
    // recording, said once its cause is known (free space that could not be
    // read just as the disk went away is no cause to name).
    if (cause == RecordingCause::kNone) {
      if (state.blocked != 0) ClearLoggingStamp(id);
      state.blocked = 0;
      continue;
    }
    if (state.blocked == 1) continue;
    // A destination away counts from when the plan's task found it away,
    // which survives a restart.
    const int64_t since =
        cause == RecordingCause::kAway && state.snap.awaySince > 0 ? state.snap.awaySince : now;
    if (state.blocked == -1) {
      const std::string old = ReadLoggingStamp(id);
      if (old.empty() || old == "NULL") WriteLoggingStamp(id, since);
      state.blocked = 1;
      continue;
    }
    if (state.blocked == 0) WriteLoggingStamp(id, since);
    const bool battery = cause == RecordingCause::kBattery;
    if (!battery && !state.problem.Any()) {
      state.blocked = 2;
      continue;
    }
    state.blocked = 1;
    PlanProblem said = state.problem;
    if (battery) said.words = GetText("PLAN_PROBLEM", "ON_BATTERY");
    lines.push_back(ProblemLine(state.snap.name, said));
  }
  if (lines.empty() || !GetShowErrorNotification()) return;
  emit messageRequested(Q(ProblemPopupText(lines)), kWarning);
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
    if (state.blocked < 1) continue;
    std::string stamp = ReadLoggingStamp(id);
    int64_t since = stamp.empty() || stamp == "NULL" ? 0 : ParseStamp(stamp);
    // A destination away: since the plan's task found it away (kept across
    // restarts), even when the period's own stamp is younger.
    if (state.snap.awaySince > 0 && (since == 0 || state.snap.awaySince < since))
      since = state.snap.awaySince;
    if (since == 0) {
      WriteLoggingStamp(id, now);
      since = now;
    }
    // Counted (the day begun included) once a whole day has passed: a period
    // of minutes is no news.
    const int64_t whole = now > since ? (now - since) / 86400 : 0;
    if (whole < 1) continue;
    report.days = std::max(report.days, whole + 1);
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
