#include "engine/SourceWalk.h"
#include "engine/CSimplePlan.h"

#include <atomic>
#include <chrono>
#include <mutex>

#include "destinations/StoreMarker.h"
#include "engine/CSimpleEngine.h"
#include "engine/CWorkingThread.h"
#include "engine/FolderRules.h"
#include "engine/NotProtectedNames.h"
#include "engine/PlanList.h"
#include "history/CLoggingDatabase.h"
#include "plans/CPlan.h"
#include "plans/PlanSources.h"
#include "plans/RuleSet.h"
#include "platform/base/Text.h"
#include "platform/changes/ChangeSources.h"
#include "platform/files/Files.h"
#include "platform/process/Clock.h"
#include "platform/process/MachineLoad.h"
#include "platform/volumes/Paths.h"
#include "platform/volumes/Volumes.h"

namespace {

constexpr uint32_t kPauseEvery = 5;
constexpr uint32_t kSameDestinationPollMs = 1000;

std::atomic<uint64_t> g_entries{0};
std::atomic<uint64_t> g_pauses{0};
std::atomic<uint64_t> g_pauseMicros{0};

bool StoppingOrDisabled(CSimplePlan* plan) { return plan->Stopping() || !plan->Enabled(); }

// Files too large for the store reach the engine, which says so once.
bool PathAllowed(CSimplePlan* plan, const std::string& path) {
  IPlanOwner* list = plan->Owner();
  if (list != nullptr && !list->IsPathEligible(path)) return false;
  return plan->MatchPath(path, false);
}

// A drive path: at least two characters, the second a ":".
bool IsDrivePath(std::string_view item) { return item.size() >= 2 && item[1] == ':'; }

// The longer of best and folder when path lies in folder (exactly as spelt:
// another case may be another folder here).
void KeepLongestHolder(std::string_view folder, std::string_view path, size_t* best) {
  while (folder.size() > 3 && folder.back() == '\\') folder.remove_suffix(1);
  if (folder.size() <= *best || folder.size() >= path.size() || !path.starts_with(folder)) return;
  if (folder.back() == '\\' || path[folder.size()] == '\\') *best = folder.size();
}

}  // namespace

// The walk already runs at the lowest priorities, so on an idle machine a
// pause only wastes time; but on a machine whose processors share more than
// the scheduler divides, any work of ours slows what the user runs. So the
// walk waits while other processes keep a processor busy or use the disks,
// looking again four times a second, and pauses briefly on battery. The
// plan's counter is touched atomically: a working thread told to stop may
// still be finishing a walk of the plan while its successor thread starts one.
// While others keep the machine busy the walk waits for them, but never more
// than kLongestWait in one go: then it walks at the brief pace for kWalkSpell
// before it waits again, so that a machine that is never quiet still gets its
// backup (at about a sixth of the speed).
constexpr auto kLongestWait = std::chrono::seconds(5);
constexpr auto kWalkSpell = std::chrono::seconds(1);
thread_local std::chrono::steady_clock::time_point t_walkSpellEnds{};

void PaceEntry(CSimplePlan* plan) {
  g_entries.fetch_add(1, std::memory_order_relaxed);
  std::atomic_ref<uint32_t> counter(plan->WalkCounter());
  if (counter.fetch_add(1, std::memory_order_relaxed) + 1 < kPauseEvery) return;
  counter.store(0, std::memory_order_relaxed);
  const plat::Pace pace = plat::MachinePace();
  if (pace == plat::Pace::kNone) return;
  const auto begin = std::chrono::steady_clock::now();
  plat::SleepMs(1);
  if (pace == plat::Pace::kWait && begin >= t_walkSpellEnds) {
    while (!StoppingOrDisabled(plan) && plat::MachinePace() == plat::Pace::kWait) {
      if (std::chrono::steady_clock::now() - begin >= kLongestWait) {
        t_walkSpellEnds = std::chrono::steady_clock::now() + kWalkSpell;
        break;
      }
      plat::SleepMs(250);
    }
  }
  const auto spent = std::chrono::steady_clock::now() - begin;
  g_pauses.fetch_add(1, std::memory_order_relaxed);
  g_pauseMicros.fetch_add(std::chrono::duration_cast<std::chrono::microseconds>(spent).count(),
                          std::memory_order_relaxed);
}

FolderWalker::FolderWalker(CSimplePlan* plan, WalkGate* gate, bool pacePerEntry)
    : plan_(plan), gate_(gate), pacePerEntry_(pacePerEntry) {
  std::lock_guard<std::recursive_mutex> guard(plan->Lock());
  const CRuleSet* rules = plan->Rules();
  if (rules == nullptr) return;
  for (size_t g = 0; g < rules->GroupCount(kRuleAlwaysExclude); ++g) {
    const CRuleGroup* group = rules->Group(kRuleAlwaysExclude, g);
    if (group == nullptr || !group->Enabled() || !group->PatternUpper().empty()) continue;
    for (size_t i = 0; i < group->ItemCount(); ++i) {
      const CRuleItem* item = group->Item(i);
      if (!item->enabled || item->pathOnly || item->attributes != 0) continue;
      if (item->maskUpper.find_first_of("*?") != std::string::npos) continue;
      excluded_.push_back(item->maskUpper);
    }
  }
}

bool FolderWalker::Pruned(const std::string& folder) const {
  if (IsStoreFolder(folder) || barriers_.Stops(folder)) return true;
  // A folder no file of which may be offered (another plan's store on a
  // server that is this machine, a recycle folder) is not entered.
  IPlanOwner* owner = plan_->Owner();
  if (owner != nullptr &&
      !owner->IsPathEligible(std::string_view(folder).substr(0, folder.size() - 1)))
    return true;
  if (excluded_.empty()) return false;
  std::string upper = plat::ToUpper(folder);
  if (!upper.empty() && upper.back() == '\\') upper.pop_back();
  for (const std::string& mask : excluded_) {
    if (LiesWithin(mask, upper)) return true;
  }
  return false;
}

void FolderWalker::Walk(std::string_view folder, bool withHidden, const OnFolder& onFolder,
                        const OnFile& onFile) {
  if (folder.empty() || stopped_ || StoppingOrDisabled(plan_)) return;
  const std::string base = plat::WithSeparator(folder);
  // The start folder is the user's choice: only a store is refused there.
  if (IsStoreFolder(base)) return;
  rootUpper_ = plat::ToUpper(base);
  WalkOne(base, nullptr, {}, withHidden, onFolder, onFile);
}

void FolderWalker::WalkOne(const std::string& base, plat::DirSearch* parent, std::string_view name,
                           bool withHidden, const OnFolder& onFolder, const OnFile& onFile) {
  if (StoppingOrDisabled(plan_)) {
    stopped_ = true;
    return;
  }
  const bool files = !onFolder || onFolder(base);
  plat::DirSearch search;
  plat::FindData entry;
  const bool opened =
      parent ? search.OpenChild(*parent, name, &entry) : search.Open(base + "*", &entry);
  if (!opened) return;
  std::vector<std::string> subfolders;
  do {
    if (stopped_ || (stopped_ = gate_->ShouldStop())) return;
    if (pacePerEntry_) PaceEntry(plan_);
    if (entry.name == "." || entry.name == "..") continue;
    if (entry.attributes & plat::kAttrSystem) continue;
    if (!withHidden && (entry.attributes & plat::kAttrHidden)) continue;
    if (entry.attributes & plat::kAttrDirectory) {
      if (!(entry.attributes & plat::kAttrTemporary)) subfolders.push_back(entry.name);
    } else if (!files || (entry.attributes & plat::kAttrReparsePoint)) {
      // A link is not a file of the folder: what it points at is not copied.
      continue;
    } else if (search.NativeLength() + 1 + entry.name.size() > plat::kMaxNativePath) {
      ReportNotProtected(plan_, {base, entry.name, plat::UnheldReason::kTooLong});
    } else {
      onFile(base, entry);
    }
  } while (search.Next(&entry));
  // Names a system path cannot carry were skipped by the search: the plan
  // says so once for each one its rules would take.
  if (files) {
    for (const std::string& raw : search.SkippedList()) {
      ReportNotProtected(plan_, {base, raw, plat::ReasonForName(raw)});
    }
    // A link to a folder is not followed (it may lead anywhere, or loop):
    // the plan says once that what it leads to is not backed up here.
    std::vector<LinkedFolder> outward;
    std::string target;
    for (const std::string& linked : search.LinkedFolders()) {
      if ((withHidden || linked.front() != '.') && LeadsOutOfPlan(base + linked + "\\", &target))
        outward.push_back({linked, std::move(target)});
    }
    ReportLinkedFolders(plan_, base, outward,
                        search.LinkedFolderCount() - search.LinkedFolders().size());
  }
  for (const std::string& sub : subfolders) {
    const std::string folder = base + sub + "\\";
    if (!Pruned(folder)) WalkOne(folder, &search, sub, withHidden, onFolder, onFile);
    if (stopped_) return;
  }
}

void FolderWalker::OfferLink(const std::string& root, const std::string& link) {
  const std::string base = plat::WithSeparator(root);
  const size_t cut = link.find_last_of('\\');
  if (cut == std::string::npos || cut + 1 < base.size() || cut + 1 == link.size()) return;
  rootUpper_ = plat::ToUpper(base);
  if (link.compare(0, base.size(), base) != 0 || IsStoreFolder(base)) return;
  // The link and every folder on the way are ones the walk meets (not
  // hidden, not left out).
  if (link[cut + 1] == '.') return;
  for (size_t at = base.size(); at <= cut; at = link.find('\\', at) + 1) {
    if (link[at] == '.' || Pruned(link.substr(0, link.find('\\', at) + 1))) return;
  }
  std::string target;
  if (LeadsOutOfPlan(link + "\\", &target))
    ReportLinkedFolders(plan_, link.substr(0, cut + 1), {{link.substr(cut + 1), target}}, 0);
}

void OfferNewLinkedFolder(CSimplePlan* plan, const std::string& link) {
  const std::string root = SourceFolderOf(plan, link);
  if (root.empty()) return;
  WalkGate gate(plan);
  FolderWalker walker(plan, &gate, /*pacePerEntry=*/false);
  walker.OfferLink(root, link);
}

bool FolderWalker::TakesFilesIn(const std::string& folder) const {
  if (Pruned(folder)) return false;
  IPlanOwner* list = plan_->Owner();
  if (list != nullptr && !list->IsPathEligible(folder)) return false;
  FolderRules rules;
  {
    std::lock_guard<std::recursive_mutex> guard(plan_->Lock());
    const CRuleSet* set = plan_->Rules();
    if (set == nullptr) return false;
    rules.Build(*set, plat::ToUpper(folder));
  }
  return !rules.Settled() || rules.Takes({}, 0);
}

bool FolderWalker::InExcludedFolder(const std::string& path) const {
  std::string upper = plat::ToUpper(path);
  if (!upper.empty() && upper.back() == '\\') upper.pop_back();
  std::lock_guard<std::recursive_mutex> guard(plan_->Lock());
  const CRuleSet* set = plan_->Rules();
  if (set == nullptr) return false;
  for (int32_t kind : {kRuleExclude, kRuleAlwaysExclude}) {
    for (size_t g = 0; g < set->GroupCount(kind); ++g) {
      const CRuleGroup* group = set->Group(kind, g);
      if (group == nullptr || !group->Enabled() || !group->PatternUpper().empty()) continue;
      for (size_t i = 0; i < group->ItemCount(); ++i) {
        const CRuleItem* item = group->Item(i);
        if (item->enabled && item->attributes == 0 && LiesWithin(item->maskUpper, upper))
          return true;
      }
    }
  }
  return false;
}

bool FolderWalker::LeadsOutOfPlan(const std::string& link, std::string* target) const {
  // A link in a folder the plan leaves out is none of the plan's business.
  if (InExcludedFolder(link)) return false;
  std::string native, real, system;
  target->clear();
  if (!plat::ToNativePath(link, &native)) return true;
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  real = plat::ResolvedFolder(native);
  *target = real;
  if (real.empty() || !plat::ToSystemPath(real, &system)) return true;
  // One that leads into the folder being walked, or into another folder the
  // plan protects, loses nothing; one that leads above the folder being
  // walked ("/", a parent) leads to much the plan does not protect.
  const std::string upper = plat::ToUpper(plat::WithSeparator(system));
  if (upper.rfind(rootUpper_, 0) == 0) return false;
  return rootUpper_.rfind(upper, 0) == 0 || !TakesFilesIn(plat::WithSeparator(system));
}

bool WalkGate::ShouldStop() {
  if (stopped_) return true;
  if (plan_->Stopping()) return stopped_ = true;
  if (CWorkingThread* thread = CWorkingThread::Current(); thread && thread->StopRequested()) {
    return stopped_ = true;
  }
  if (!stopWhenBlocked_) return false;
  const uint64_t now = plat::GetTickCount64();
  if (checked_ && now - lastCheck_ < kBlockedCheckMs) return false;
  checked_ = true;
  lastCheck_ = now;
  return stopped_ = plan_->IsBlocked();
}

std::vector<std::string> FixedDriveRoots() {
  std::vector<std::string> roots;
  plat::VolumeTable& table = plat::VolumeTable::Instance();
  table.ReloadIfChanged();
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    plat::VolumeInfo info;
    if (!table.Find(letter, &info)) continue;
    if (info.type != plat::DriveType::kFixed) continue;
    if (info.bus == plat::BusType::kUsb || info.bus == plat::BusType::kIeee1394) continue;
    roots.push_back(std::string(1, letter) + ":\\");
  }
  return roots;
}

bool WalkItemsOfPlan(CSimplePlan* plan, std::vector<std::string>* folders, bool* wholeMachine) {
  folders->clear();
  *wholeMachine = false;
  std::lock_guard<std::recursive_mutex> guard(plan->Lock());
  CRuleSet* rules = plan->Rules();
  const CRuleGroup* group = rules ? rules->FindGroup(kRuleInclude, "group1") : nullptr;
  if (group == nullptr) return false;
  for (size_t i = 0; i < group->ItemCount(); ++i) {
    const CRuleItem* item = group->Item(i);
    if (item == nullptr || !item->enabled) continue;
    if (!IsDrivePath(item->mask)) {
      *wholeMachine = true;
      folders->clear();
      return true;
    }
    folders->push_back(item->mask);
  }
  return true;
}

std::string SourceFolderOf(CPlan* plan, std::string_view path) {
  size_t best = 0;
  {
    std::lock_guard<std::recursive_mutex> guard(plan->Lock());
    const CRuleSet* rules = plan->Rules();
    const CRuleGroup* group = rules ? rules->FindGroup(kRuleInclude, "group1") : nullptr;
    for (size_t i = 0; group != nullptr && i < group->ItemCount(); ++i) {
      const CRuleItem* item = group->Item(i);
      if (item != nullptr && item->enabled && IsDrivePath(item->mask))
        KeepLongestHolder(item->mask, path, &best);
    }
  }
  if (best == 0) {
    const WebChoices choices = ReadWebChoices(plan->GetPlanFolder());
    for (size_t g = 0; g < choices.size(); ++g) {
      if (!choices[g]) continue;
      for (const BuiltinSource& source : BuiltinSourcesOfGroup(g))
        KeepLongestHolder(source.folder, path, &best);
    }
  }
  return std::string(path.substr(0, best));
}

void WaitForSameDestination(CSimplePlan* plan) {
  while (!StoppingOrDisabled(plan) && plan->IsEarlierSameDestinationBusy()) {
    for (uint32_t waited = 0; waited < kSameDestinationPollMs && !StoppingOrDisabled(plan);
         waited += 100) {
      plat::SleepMs(100);
    }
  }
}

void WalkFolder(CSimplePlan* plan, std::string_view folder) {
  CSimpleEngine* engine = plan->Engine();
  if (engine == nullptr) return;
  WalkGate gate(plan);
  FolderWalker walker(plan, &gate);
  walker.Walk(folder, false, {}, [&](const std::string& base, const plat::FindData& entry) {
    const std::string path = base + entry.name;
    if (PathAllowed(plan, path)) engine->BackupFile(path, true, nullptr, 0, &entry);
  });
}

void RunSourceWalk(CSimplePlan* plan) {
  WaitForSameDestination(plan);
  plan->SetBusy(true);
  std::vector<std::string> folders;
  bool wholeMachine = false;
  if (!WalkItemsOfPlan(plan, &folders, &wholeMachine)) return;
  if (wholeMachine) folders = FixedDriveRoots();
  for (const std::string& folder : folders) {
    if (StoppingOrDisabled(plan)) return;
    WalkFolder(plan, folder);
  }
  if (StoppingOrDisabled(plan)) return;
  WaitForSameDestination(plan);
  if (StoppingOrDisabled(plan)) return;
  WalkChosenSources(plan);
}

WalkPauseStats GetWalkPauseStats() {
  WalkPauseStats stats;
  stats.entries = g_entries.load();
  stats.pauses = g_pauses.load();
  stats.pauseMicros = g_pauseMicros.load();
  return stats;
}

void ResetWalkPauseStats() {
  g_entries.store(0);
  g_pauses.store(0);
  g_pauseMicros.store(0);
}
