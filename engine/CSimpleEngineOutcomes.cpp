// The outcome of the engine's copies: the plan's copy health, sources that
// keep changing while they are copied, and store names two sources share.
#include "engine/CSimpleEngine.h"

#include <mutex>

#include "common/ActivityLog.h"
#include "common/EngineEvents.h"
#include "common/Texts.h"
#include "plans/CPlan.h"
#include "platform/base/Text.h"
#include "platform/files/Files.h"
#include "platform/process/Clock.h"

namespace {

// Another entry of the source's folder whose name differs from the source's
// only in case; empty when there is none. The search ignores case; "?" for
// the first character keeps it a search even for a name without wildcards.
std::string CaseTwinOf(std::string_view source) {
  const size_t slash = source.rfind('\\');
  if (slash == std::string_view::npos || slash + 1 >= source.size()) return {};
  const std::string_view name = source.substr(slash + 1);
  size_t first = 1;
  while (first < name.size() && (static_cast<unsigned char>(name[first]) & 0xC0) == 0x80) ++first;
  const std::string mask =
      std::string(source.substr(0, slash + 1)) + "?" + std::string(name.substr(first));
  plat::DirSearch search;
  plat::FindData entry;
  if (!search.Open(mask, &entry)) return {};
  do {
    if (entry.name != name && plat::EqualsNoCase(entry.name, name)) {
      return std::string(source.substr(0, slash + 1)) + entry.name;
    }
  } while (search.Next(&entry));
  return {};
}

}  // namespace

void CSimpleEngine::NoteChangingSource(std::string_view source, uint32_t planId,
                                       const std::string& latestName) {
  {
    std::lock_guard<std::mutex> guard(changingLock_);
    const std::string key(source);
    if (++changingInARow_[key] < kChangingCopiesToTell || !changingTold_.insert(key).second) return;
  }
  PostEvent(kEvSourceKeepsChanging, source, planId, latestName, GetText("KEEPS_CHANGING", "REASON"),
            0);
}

void CSimpleEngine::ForgetChangingSource(std::string_view source) {
  std::lock_guard<std::mutex> guard(changingLock_);
  changingInARow_.erase(std::string(source));
}

void CSimpleEngine::NoteOutcome(std::string_view source, uint32_t error, const std::string& root,
                                int64_t when) {
  std::lock_guard<std::mutex> guard(healthLock_);
  // Failures in another store (the plan was moved) are history.
  if (health_.root != root) failing_.clear();
  if (error == 0) {
    failing_.erase(std::string(source));
    // One good copy does not hide the files whose copies still fail.
    if (failing_.empty()) health_ = CopyHealth{};
    health_.root = root;
    return;
  }
  failing_.emplace(std::string(source), when);
  if (health_.error == 0 || health_.root != root) health_.failingSince = when;
  health_.error = error;
  health_.root = root;
}

void CSimpleEngine::ForgetFailure(std::string_view source) {
  std::lock_guard<std::mutex> guard(healthLock_);
  if (failing_.erase(std::string(source)) != 0 && failing_.empty()) health_ = CopyHealth{};
}

CopyHealth CSimpleEngine::Health() const {
  std::lock_guard<std::mutex> guard(healthLock_);
  return health_;
}

void CSimpleEngine::PersistLastBackupTime() {
  if (backupTimeUnsaved_.exchange(false)) plan_->SavePlanFile();
}

void CSimpleEngine::ReportSharedStoreName(std::string_view source, uint32_t planId,
                                          const std::string& latestName) {
  const std::string twin = CaseTwinOf(source);
  if (twin.empty()) return;
  {
    std::lock_guard<std::mutex> guard(reportedLock_);
    if (!reportedShared_.insert(plat::ToLower(latestName)).second) return;
  }
  PostEvent(kEvStoreNameShared, source, planId, twin, latestName, 0);
  std::string planName;
  {
    std::lock_guard<std::recursive_mutex> guard(plan_->Lock());
    planName = plan_->Name();
  }
  CLogSet::Instance().AppendRecord(
      "#Backup File Shares Store Name\nPlan Name = " + EscapeControls(planName) +
      "\nTime = " + plat::AscTime(plat::Now()) + "\nSource Path = " + LogPath(source) +
      "\nOther Source Path = " + LogPath(twin) + "\nDestination Path = " + LogPath(latestName) +
      "\n");
}
