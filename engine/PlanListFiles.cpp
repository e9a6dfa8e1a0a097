// The plan list on disk: "plans.ini" and the plan folders. Loading every
// plan (and the folders the list lost), setting damaged plans aside, saving
// the list and deleting a plan's folder.
#include "engine/PlanList.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/EngineEvents.h"
#include "common/KeyValueFile.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "engine/CSimplePlan.h"
#include "history/CLoggingDatabase.h"
#include "plans/BuiltinExclusions.h"
#include "plans/CPlan.h"
#include "plans/DefaultPlans.h"
#include "plans/PlanFile.h"
#include "plans/RuleFile.h"
#include "plans/RuleSet.h"
#include "platform/base/Errors.h"
#include "platform/base/Text.h"
#include "platform/files/Files.h"
#include "platform/process/Clock.h"
#include "platform/profile/Profile.h"
#include "platform/volumes/Paths.h"

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

// A deleted plan's folder while it is deleted ("<id>.deleted-<time>").
constexpr char kDeletedMark[] = ".deleted-";
}  // namespace

bool PlanList::DeletePlan(uint32_t id, const std::string& keepJournalIn) {
  CPlan* plan = nullptr;
  std::string folder;
  {
    Guard g(lock_);
    size_t index = 0;
    for (; index < plans_.size(); ++index) {
      if (plans_[index]->Id() == id) {
        plan = plans_[index].get();
        break;
      }
    }
    if (!plan) return false;
    PostEvent(kEvPlanDeleted, plan->Name(), id);
    folder = plan->GetPlanFolder();
    plans_[index].release();
    plans_.erase(plans_.begin() + static_cast<ptrdiff_t>(index));
    RebuildSameDestinationLinks();
    SaveList();
  }
  // Unlisted now, so no other thread reaches it through the list. Shut down
  // without the list's lock: the plan may wait for a stopped thread that
  // needs it.
  plan->ShutDown();  // the plan may be gone from here on
  // Its thread may still be ending and write by name (its plan file after a
  // last copy, its run file): the folder is renamed first, so that nothing
  // new arrives under the plan's own name and no plan comes back at the next
  // start from what was written meanwhile.
  std::string name = folder;
  while (!name.empty() && name.back() == '\\') name.pop_back();
  const std::string gone = name + kDeletedMark + std::to_string(plat::Now()) + "\\";
  if (plat::MoveFile(name, gone.substr(0, gone.size() - 1)) == 0) folder = gone;
  // The plan file goes first: a folder that cannot be deleted whole is never
  // taken for a plan the list lost.
  plat::DeleteFile(folder + kPlanFileName);
  if (!keepJournalIn.empty() && plat::CreateDirectories(keepJournalIn, "", /*privateMode=*/true)) {
    const std::string kept = plat::WithSeparator(keepJournalIn) + CLoggingDatabase::kFileName;
    plat::DeleteFile(kept);  // left by an earlier plan of this number
    plat::MoveFile(folder + CLoggingDatabase::kFileName, kept);
  }
  return plat::DeleteTree(folder) || folder == gone;  // what is left goes at the next start
}

namespace {

constexpr char kAsideMark[] = ".damaged-";

// Identifiers of the folders below the data folder's "PLAN", ascending, and
// (aside may be null) those of plan folders set aside ("<id>.damaged-...").
std::vector<uint32_t> PlanFolderIds(std::set<uint32_t>* aside = nullptr) {
  std::vector<uint32_t> ids;
  plat::DirSearch search;
  plat::FindData entry;
  if (!search.Open(GetDataFolder() + "PLAN\\*", &entry)) return ids;
  do {
    if (!(entry.attributes & plat::kAttrDirectory)) continue;
    std::string name = entry.name;
    const size_t mark = name.find(kAsideMark);
    if (mark != std::string::npos) name.resize(mark);
    if (name.empty() || name.size() > 10 || name[0] == '0') continue;
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const uint64_t id = std::stoull(name);
    if (id > UINT32_MAX) continue;
    if (mark == std::string::npos)
      ids.push_back(static_cast<uint32_t>(id));
    else if (aside != nullptr)
      aside->insert(static_cast<uint32_t>(id));
  } while (search.Next(&entry));
  std::sort(ids.begin(), ids.end());
  return ids;
}

// What deletions left behind ("<id>.deleted-<time>" folders) goes.
void SweepDeletedPlanFolders() {
  const std::string plans = GetDataFolder() + "PLAN\\";
  plat::DirSearch search;
  plat::FindData entry;
  std::vector<std::string> left;
  if (!search.Open(plans + "*", &entry)) return;
  do {
    if ((entry.attributes & plat::kAttrDirectory) &&
        entry.name.find(kDeletedMark) != std::string::npos)
      left.push_back(plans + entry.name);
  } while (search.Next(&entry));
  search.Close();
  for (const std::string& folder : left) plat::DeleteTree(folder);
}

// Moves a damaged list file aside under a name of its own; the new name, or
// empty when nothing was there to move (or it could not be moved).
std::string SetDamagedListAside(const std::string& path) {
  const std::string base = path + ".damaged-" + plat::FormatLocalTime(plat::Now(), "%Y%m%d-%H%M%S");
  for (int n = 0; n < 100; ++n) {
    const std::string aside = n == 0 ? base : base + "-" + std::to_string(n);
    const uint32_t rc = plat::MoveFile(path, aside);
    if (rc == 0) return aside;
    if (rc != plat::kErrAlreadyExists) break;
  }
  return std::string();
}

// A system path as people see it.
std::string ShownPath(const std::string& path) {
  std::string native;
  return plat::ToNativePath(path, &native) ? native : path;
}

// The text store's pattern with each "%s" replaced by the next value.
std::string FillIn(std::string pattern, std::initializer_list<std::string> values) {
  size_t at = 0;
  for (const std::string& v : values) {
    at = pattern.find("%s", at);
    if (at == std::string::npos) break;
    pattern.replace(at, 2, v);
    at += v.size();
  }
  return pattern;
}

}  // namespace

bool PlanList::LoadAllPlans() {
  const std::string path = GetDataFolder() + kPlanListFileName;
  int64_t seed = -1;
  bool damaged = false;
  {
    Guard g(lock_);
    setAside_ = 0;
  }
  std::set<uint32_t> listed;
  // Every plan is loaded before any starts: a plan's first walk must know
  // the destinations of the plans listed after it, to leave them out.
  std::vector<CPlan*> toStart;
  const bool ok = ReadPlanListFile(
      path, &seed,
      [&](uint32_t id) {
        listed.insert(id);
        LoadPlan(id, &toStart);
      },
      &damaged);
  SweepDeletedPlanFolders();
  const std::vector<uint32_t> folders = PlanFolderIds();
  // A plan folder with a readable "Plan.ini" that the list does not name is a
  // plan the list lost (a deleted plan's file goes first).
  bool recovered = false;
  {
    for (uint32_t id : folders) {
      PlanSettings s;
      if (listed.count(id) || !ReadPlanFile(GetPlanFolder(id) + kPlanFileName, &s, false)) continue;
      recovered = true;
      LoadPlan(id, &toStart);
    }
  }
  ReportNestedStores();
  for (CPlan* plan : toStart) plan->SetEnabled(true, 0);
  {
    // A new plan must never take an identifier whose folder exists, nor that
    // of a plan set aside.
    std::set<uint32_t> aside;
    PlanFolderIds(&aside);
    Guard g(lock_);
    reserved_.insert(aside.begin(), aside.end());
    seed_ = std::clamp<int64_t>(seed, 0, UINT32_MAX);
    for (uint32_t id : listed) seed_ = std::max<int64_t>(seed_, id);
    if (!folders.empty()) seed_ = std::max<int64_t>(seed_, folders.back());
    if (!reserved_.empty()) seed_ = std::max<int64_t>(seed_, *reserved_.rbegin());
  }
  if (ok && !damaged && !recovered) return true;
  const std::string aside = SetDamagedListAside(path);
  if (aside.empty() && !damaged && !recovered) return false;  // first start: no list yet
  SaveList();
  const std::string text =
      FillIn(GetText("PLAN_LIST", aside.empty() ? "REBUILT" : "REBUILT_KEPT_ASIDE"),
             {path, std::to_string(Count()), aside});
  PostEvent(kEvInvalidContent, text);
  return false;
}

bool PlanList::LoadPlan(uint32_t id, std::vector<CPlan*>* started) {
  if (Find(id)) return false;
  const bool filled = RunDefaultDestinationStep(id, *this);
  const std::string folder = GetPlanFolder(id);
  PlanSettings s;
  if (!ReadPlanFile(folder + kPlanFileName, &s)) {
    // A plan file that is there but cannot be read (damaged) is kept aside
    // and named, never dropped in silence as if the plan had never been.
    if (plat::FileExists(folder + kPlanFileName))
      SetPlanAside(id, GetText("PLAN_LIST", "NAME_UNKNOWN"), "UNREADABLE");
    return false;
  }
  s.id = id;
  if (const char* problem = PlanFileProblem(s)) {
    SetPlanAside(id, s.name, problem);
    return false;
  }

  Guard g(lock_);
  if (!ValidateLocked(s)) return false;
  auto plan = std::make_unique<CSimplePlan>(this);
  bool applied;
  if (filled) {
    plan->SetId(id);
    applied = plan->ApplySettings(s, kApplyReapply);
  } else {
    applied = plan->ApplySettings(s, kApplyLoad);
  }
  if (!applied) return false;

  const std::string rulePath = folder + "IncExc.ini";
  std::unique_ptr<CRuleSet> rules = LoadRuleSet(rulePath);
  if (!rules) {
    PostEvent(kEvUnreadablePlanFile, rulePath, id);
    SetPlanAside(id, s.name, "RULES_UNREADABLE");
    return false;
  }
  AddBuiltinExclusions(rules.get());
  plan->ReplaceRules(std::move(rules));
  plan->SetBackupTime(KeyValueToInt64(
      plat::GetProfileString(folder + "UI.ini", "WizardPage3Options", "BackupTime", ""), 0));

  CPlan* loaded = plan.get();
  plans_.push_back(std::move(plan));
  RebuildSameDestinationLinks();
  // A manual plan runs only on request, so it is never started here.
  if (s.enabled && s.scheduleUnit != 8) {
    if (started != nullptr)
      started->push_back(loaded);
    else
      loaded->SetEnabled(true, 0);
  }
  return true;
}

void PlanList::SetPlanAside(uint32_t id, const std::string& name, const char* problem) {
  const std::string folder = GetPlanFolder(id);
  std::string kept = folder.substr(0, folder.size() - 1) + kAsideMark +
                     plat::FormatLocalTime(plat::Now(), "%Y%m%d-%H%M%S");
  for (int n = 1; plat::FileExists(kept) && n < 100; ++n) kept += "-" + std::to_string(n);
  const std::string shown = ShownPath(plat::MoveFile(folder, kept) == 0 ? kept : folder);
  {
    Guard g(lock_);
    reserved_.insert(id);
    seed_ = std::max<int64_t>(seed_, id);
    ++setAside_;
  }
  std::string shownName = plat::TrimSpace(name);
  if (shownName.size() > 80) {
    size_t cut = 80;
    while (cut > 0 && (static_cast<unsigned char>(shownName[cut]) & 0xC0) == 0x80) --cut;
    shownName = shownName.substr(0, cut) + "...";
  }
  PostEvent(kEvInvalidContent,
            FillIn(GetText("PLAN_LIST", "SET_ASIDE"),
                   {std::to_string(id), shownName, GetText("PLAN_LIST", problem), shown}));
}

void PlanList::ReportNestedStores() {
  std::vector<std::string> texts;
  {
    Guard g(lock_);
    std::vector<std::vector<std::string>> folders;
    for (const auto& p : plans_) {
      Guard planGuard(p->Lock());
      folders.push_back(p->Rules() ? IncludedFolders(*p->Rules()) : std::vector<std::string>{});
    }
    for (const auto& p : plans_) {
      const std::string root = p->DestinationRoot();
      if (IsServerStorage(p->StorageType()) || root.empty()) continue;
      for (size_t q = 0; q < plans_.size(); ++q) {
        for (const std::string& f : folders[q]) {
          if (!StoreHoldsFolder(root, f)) continue;
          texts.push_back(FillIn(GetText("PLAN_LIST", "STORE_HOLDS_SOURCES"),
                                 {p->Name(), ShownPath(root), ShownPath(f), plans_[q]->Name()}));
          break;
        }
      }
    }
  }
  for (const std::string& text : texts) PostEvent(kEvInvalidContent, text);
}

bool PlanList::SaveList() {
  Guard g(lock_);
  return WritePlanListFile(GetDataFolder() + kPlanListFileName, seed_, IdsLocked());
}
