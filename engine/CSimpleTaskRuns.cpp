// A plan's task: its last run and the time its store has been away, kept
// in the plan's folder across starts.
#include <mutex>
#include <string>

#include "destinations/StoreBinding.h"
#include "engine/CSimplePlan.h"
#include "engine/CTask.h"
#include "engine/RunFile.h"
#include "platform/process/Clock.h"
#include "platform/volumes/Paths.h"

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

}  // namespace

void CSimpleTask::MarkRun() {
  CTask::MarkRun();
  Guard guard(plan_->Lock());
  plan_->SetLastTime(LastRun());
}

void CSimpleTask::RestoreLastRun() {
  int64_t last = 0;
  if (!ReadRunFile(plan_->GetPlanFolder(), &last)) last = plan_->LastTime();
  const int64_t now = plat::Now();
  if (last > now) last = now;
  SetLastRun(last);
  RecomputeDue();
  AwayState away = ReadAwayState(plan_->GetPlanFolder());
  if (away.since > now) away.since = now;
  StoreRecord store;
  if (ReadStoreRecord(plan_->GetPlanFolder(), &store))
    away.label = store.label.empty() ? store.name : store.label;
  std::lock_guard<std::mutex> guard(awayLock_);
  away_ = std::move(away);
}

AwayState CSimpleTask::Away() const {
  std::lock_guard<std::mutex> guard(awayLock_);
  return away_;
}

void CSimpleTask::NoteAvailability(bool available, const std::string& root) {
  AwayState seen;
  {
    std::lock_guard<std::mutex> guard(awayLock_);
    seen = away_;
  }
  if (available) {
    std::string folder = root;
    while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
    std::string native;
    if (plat::ToNativePath(folder, &native)) seen.folder = native;
    seen.since = 0;
  } else if (seen.since == 0) {
    seen.since = plat::Now();
  }
  {
    std::lock_guard<std::mutex> guard(awayLock_);
    seen.label = away_.label;
    if (seen.since == away_.since && seen.folder == away_.folder) return;
    away_ = seen;
  }
  // A plan being deleted keeps its folder untouched: the deletion removes it.
  if (plan_->Stopping()) return;
  WriteAwayState(plan_->GetPlanFolder(), seen, plan_->LastTime());
}
