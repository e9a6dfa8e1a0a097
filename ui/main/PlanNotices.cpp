#include "ui/main/PlanNotices.h"

#include "common/ActivityLog.h"
#include "common/EngineEvents.h"
#include "common/Texts.h"
#include "platform/base/Errors.h"
#include "ui/model/CellTexts.h"
#include "ui/widgets/NativePath.h"
#include "ui/widgets/TextFormat.h"

namespace {

const char* ProblemKey(int32_t code) {
  switch (code) {
    case kEvNotProtected:
      return "PROBLEM_NOT_PROTECTED";
    case kEvDatabaseOpenFailed:
      return "PROBLEM_JOURNAL_OPEN";
    case kEvDatabaseProblem:
      return "PROBLEM_JOURNAL";
    case kEvInvalidContent:
      return "PROBLEM_INVALID_CONTENT";
    case kEvUnreadablePlanFile:
      return "PROBLEM_PLAN_FILE";
    case kEvServerKeyChanged:
      return "PROBLEM_SERVER_KEY_CHANGED";
    case kEvServerKeyUntrusted:
      return "PROBLEM_SERVER_KEY_UNTRUSTED";
    case kEvServerNotEncrypted:
      return "PROBLEM_SERVER_NOT_ENCRYPTED";
    case kEvSourceKeepsChanging:
      return "PROBLEM_KEEPS_CHANGING";
    case kEvStoreState:
      return "PROBLEM_STORE";
    default:
      return "PROBLEM_MONITOR";
  }
}

}  // namespace

std::optional<PlanNotice> CPlanNotices::OnEvent(const EventData& event, int64_t now) {
  const uint32_t id = event.planId;
  switch (event.code) {
    case kEvFileCopied: {
      auto scan = scanCopied_.find(id);
      if (scan != scanCopied_.end()) ++scan->second;
      // The plan copies again: a failure from now on is news.
      failingSaid_.erase(failingSaid_.lower_bound({id, INT32_MIN}),
                         failingSaid_.upper_bound({id, INT32_MAX}));
      return std::nullopt;
    }
    case kEvFileFailed:
      return CopyFailed(event);
    case kEvScanBegins:
      scanCopied_[id] = 0;
      return std::nullopt;
    case kEvScanEnds: {
      // The scan's own event carries no count: the copies seen since its
      // start are the count.
      auto scan = scanCopied_.find(id);
      const int64_t copied = scan == scanCopied_.end() ? 0 : scan->second;
      if (scan != scanCopied_.end()) scanCopied_.erase(scan);
      return RunFinished(event, copied);
    }
    case kEvRunEnds:
      return RunFinished(event, event.value);
    case kEvPlanDeleted:
      scanCopied_.erase(id);
      failingSaid_.erase(failingSaid_.lower_bound({id, INT32_MIN}),
                         failingSaid_.upper_bound({id, INT32_MAX}));
      return std::nullopt;
    default:
      if (IsProtectionProblem(event.code)) return Problem(event, now);
      return std::nullopt;
  }
}

std::optional<PlanNotice> CPlanNotices::RunFinished(const EventData& event, int64_t copied) {
  const bool asked = event.code == kEvRunEnds && event.text2 == kRunAskedNow;
  if ((copied <= 0 && !asked) || !statusOn_()) return std::nullopt;
  // A continuous plan runs at every save: its copies are no news, only its
  // first backup (the scan) and a run the user asked for are.
  if (event.code == kEvRunEnds && !asked && continuous_(event.planId)) return std::nullopt;
  std::string name = event.text1;  // both run events carry the plan's name
  if (name.empty()) name = names_(event.planId);
  name = EscapeControls(name);
  // A run the user asked for that found the plan unable to copy says why
  // it copied nothing.
  if (asked && event.text3 == kRunFoundBlocked)
    return PlanNotice{FormatText(GetText("MAIN_UI", "PLAN_CHANGE_LOGGING_MODE"), {name}), true};
  if (copied <= 0)
    return PlanNotice{FormatText(GetText("PLAN_HEALTH", "NOTHING_TO_COPY"), {name}), false};
  return PlanNotice{FormatText(GetText("MAIN_UI", "NUMBER_OF_BACKUP_FILES_PROMPT"),
                               {CountText("FILES", static_cast<uint64_t>(copied)), name}),
                    false};
}

std::optional<PlanNotice> CPlanNotices::CopyFailed(const EventData& event) {
  // One pop-up per plan and cause, however many files fail for it.
  if (failingSaid_.count({event.planId, event.value}) || !errorsOn_()) return std::nullopt;
  failingSaid_.insert({event.planId, event.value});
  const uint32_t code = event.value > 0 ? static_cast<uint32_t>(event.value) : 0;
  return PlanNotice{FormatText(GetText("PLAN_HEALTH", "FAILING_POPUP"),
                               {EscapeControls(names_(event.planId)), CopyErrorWords(code),
                                EscapeControls(ReadablePath(event.text1))}),
                    true};
}

std::optional<PlanNotice> CPlanNotices::Problem(const EventData& event, int64_t now) {
  if (!errorsOn_()) return std::nullopt;
  auto [it, fresh] = problemShown_.try_emplace({event.code, event.planId}, now);
  if (!fresh) {
    if (now - it->second < kProblemQuietSeconds && now >= it->second) return std::nullopt;
    it->second = now;
  }
  const std::string name = event.planId != 0 ? names_(event.planId) : std::string();
  // Names and paths come from the disk: escaped, they cannot shape the text.
  const std::string path = EscapeControls(ReadablePath(event.text1));
  // A journal rebuilt after damage says so in its own words (text 2): it
  // records changes again. A journal that cannot grow says why: the data
  // folder's disk is full.
  const bool rebuilt = event.code == kEvDatabaseOpenFailed && !event.text2.empty();
  const bool diskFull =
      event.code == kEvDatabaseProblem && event.value == static_cast<int32_t>(plat::kErrDiskFull);
  const std::string pattern = GetText("MESSAGE_RECEIVER", rebuilt    ? "PROBLEM_JOURNAL_REBUILT"
                                                          : diskFull ? "PROBLEM_JOURNAL_DISK_FULL"
                                                                     : ProblemKey(event.code));
  const bool withPlan = event.code == kEvNotProtected || event.code == kEvDatabaseOpenFailed ||
                        event.code == kEvDatabaseProblem || event.code == kEvServerKeyChanged ||
                        event.code == kEvServerKeyUntrusted ||
                        event.code == kEvServerNotEncrypted ||
                        event.code == kEvSourceKeepsChanging || event.code == kEvStoreState;
  const std::string& words = rebuilt ? event.text2 : event.text3;
  return PlanNotice{withPlan
                        ? FormatText(pattern, {EscapeControls(name), path, EscapeControls(words)})
                        : FormatText(pattern, {path}),
                    true};
}
