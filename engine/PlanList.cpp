#include "engine/PlanList.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <set>

#include "common/ActivityLog.h"
#include "common/EngineEvents.h"
#include "common/KeyValueFile.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "destinations/CUsbWindow.h"
#include "destinations/FtpDevice.h"
#include "destinations/StoreMarker.h"
#include "destinations/UsbDevice.h"
#include "engine/CSimplePlan.h"
#include "plans/BuiltinExclusions.h"
#include "plans/CPlan.h"
#include "plans/DefaultPlans.h"
#include "plans/PlanFile.h"
#include "plans/RuleFile.h"
#include "plans/RuleSet.h"
#include "platform/Clock.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "platform/Text.h"
#include "platform/Volumes.h"

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

std::string WithoutTrailingSeparator(std::string_view path) {
  if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  return std::string(path);
}

std::string TrimName(std::string_view s) { return plat::TrimSpace(s); }

// Whether names on the volume of a system path ignore case (FAT and exFAT);
// every other file system here compares names exactly.
bool VolumeIgnoresCase(std::string_view path) {
  plat::VolumeInfo volume;
  if (path.size() < 2 || path[1] != ':' ||
      !plat::VolumeTable::Instance().Find(plat::ToUpper(path.substr(0, 1))[0], &volume))
    return false;
  for (std::string_view t : {"vfat", "msdos", "fat", "exfat", "umsdos"})
    if (volume.fileSystem == t) return true;
  return false;
}

// Two store roots name one folder: exactly, or without regard to case on a
// volume that ignores it; a closing "\" does not count.
bool SameStoreFolder(std::string_view a, std::string_view b) {
  const std::string x = WithoutTrailingSeparator(a), y = WithoutTrailingSeparator(b);
  return x == y || (VolumeIgnoresCase(x) && plat::EqualsNoCase(x, y));
}

// The path lies within the store root, compared as the store's volume
// compares names.
bool LiesWithinStore(std::string_view root, std::string_view path) {
  if (root.empty()) return false;
  if (VolumeIgnoresCase(root)) return LiesWithin(plat::ToUpper(root), plat::ToUpper(path));
  return LiesWithin(root, path);
}

std::atomic<PlanList*> g_logList{nullptr};  // the list the activity log asks

bool LookUpForLog(uint32_t id, PlanInfoForLog* info) {
  PlanList* list = g_logList.load();
  if (!list) return false;
  Guard g(list->Lock());
  CPlan* plan = list->Find(id);
  if (!plan) return false;
  info->name = plan->Name();
  info->scheduleUnit = plan->ScheduleUnit();
  info->versionNumber = plan->VersionNumber();
  info->storePath = plan->DestinationRoot();
  info->storageType = plan->StorageType();
  info->usbModel.clear();
  info->usbVendor.clear();
  // A USB disk is named by the identity its destination took from it.
  if (info->storageType == kStorageUsb) {
    Guard planGuard(plan->Lock());
    if (const auto* usb = dynamic_cast<const CUSBDevice*>(plan->Destination())) {
      info->usbModel = usb->Model();
      info->usbVendor = usb->Vendor();
    }
  }
  return true;
}

// Where a USB disk that went missing notes the time: its plan in the
// process's list.
void StoreMissingTimeInPlan(uint32_t planId, int64_t time) {
  PlanList& list = PlanList::Instance();
  Guard g(list.Lock());
  if (CPlan* plan = list.Find(planId)) plan->SetMissingTime(time);
}

}  // namespace

PlanList& PlanList::Instance() {
  static PlanList list;
  static const bool usbSinkSet =
      (CUsbWindow::SetDefaultMissingTimeSink(StoreMissingTimeInPlan), true);
  (void)usbSinkSet;
  return list;
}

PlanList::PlanList() {
  g_logList.store(this);
  SetPlanInfoProvider(&LookUpForLog);
}

PlanList::~PlanList() {
  PlanList* self = this;
  g_logList.compare_exchange_strong(self, nullptr);
  std::vector<std::unique_ptr<CPlan>> plans;
  {
    Guard g(lock_);
    plans.swap(plans_);
  }
  for (auto& plan : plans) plan->StopAndWait();
  plans.clear();
}

std::string PlanList::FixedDrives() const {
  // The table as last read: the change monitor reads it again whenever the
  // mounts change.
  bool inTable[26] = {};
  for (const plat::VolumeInfo& info : plat::VolumeTable::Instance().Volumes()) {
    if (info.letter < 'A' || info.letter > 'Z') continue;
    if (info.type != plat::DriveType::kFixed) continue;
    if (info.bus == plat::BusType::kUsb || info.bus == plat::BusType::kIeee1394) continue;
    inTable[info.letter - 'A'] = true;
  }
  std::string drives;
  for (char letter = 'A'; letter <= 'Z'; ++letter)
    if (inTable[letter - 'A']) drives += letter;
  return drives;
}

size_t PlanList::SetAsideCount() const {
  Guard g(lock_);
  return setAside_;
}

int64_t PlanList::Seed() const {
  Guard g(lock_);
  return seed_;
}

void PlanList::SetDispatchThread(CThread* thread) {
  Guard g(lock_);
  dispatch_ = thread;
}

CThread* PlanList::DispatchThread() const {
  Guard g(lock_);
  return dispatch_;
}

size_t PlanList::Count() const {
  Guard g(lock_);
  return plans_.size();
}

CPlan* PlanList::Find(uint32_t id) const {
  Guard g(lock_);
  for (const auto& p : plans_)
    if (p->Id() == id) return p.get();
  return nullptr;
}

CPlan* PlanList::At(size_t index) const {
  Guard g(lock_);
  return index < plans_.size() ? plans_[index].get() : nullptr;
}

CPlan* PlanList::FindByName(std::string_view name, const CPlan* skip) const {
  Guard g(lock_);
  for (const auto& p : plans_)
    if (p.get() != skip && p->Name() == name) return p.get();
  return nullptr;
}

CPlan* PlanList::FindByDestination(std::string_view path, const CPlan* skip) const {
  const std::string wanted = WithoutTrailingSeparator(path);
  Guard g(lock_);
  for (const auto& p : plans_) {
    if (p.get() == skip) continue;
    if (SameStoreFolder(p->DestinationRoot(), wanted)) return p.get();
  }
  return nullptr;
}

std::string PlanList::MakeUniqueName(std::string_view base) const {
  Guard g(lock_);
  // The base itself while it is free, then "base 2", "base 3", ...
  for (uint64_t n = 1;; ++n) {
    std::string name = std::string(base) + (n == 1 ? std::string() : " " + std::to_string(n));
    if (!FindByName(name)) return name;
  }
}

std::string PlanList::MakeUniqueDestinationFolder(std::string_view base) const {
  Guard g(lock_);
  for (uint64_t n = 1;; ++n) {
    std::string path = std::string(base) + (n == 1 ? std::string() : " " + std::to_string(n));
    if (!FindByDestination(path) && !plat::FileExists(path)) return path;
  }
}

bool PlanList::ValidateLocked(const PlanSettings& s) const {
  const std::string name = TrimName(s.name);
  if (name.empty()) return false;
  for (const auto& p : plans_) {
    if (p->Name() == name) {
      PostEvent(kEvDuplicatePlanName, name);
      return false;
    }
    if (p->Id() == s.id) {
      PostEvent(kEvDuplicatePlanId, name, s.id);
      return false;
    }
  }
  if (s.storePath.empty()) {
    PostEvent(kEvEmptyDestination, name, s.id);
    return false;
  }
  return true;
}

std::vector<uint32_t> PlanList::IdsLocked() const {
  std::vector<uint32_t> ids;
  ids.reserve(plans_.size());
  for (const auto& p : plans_) ids.push_back(p->Id());
  return ids;
}

bool PlanList::IdFreeLocked(int64_t id) const {
  // A number whose folder exists, or whose plan was set aside, belongs to a
  // plan that is not listed: its files are never taken over.
  return id >= 1 && id <= int64_t{UINT32_MAX} && reserved_.count(static_cast<uint32_t>(id)) == 0 &&
         !Find(static_cast<uint32_t>(id)) &&
         !plat::FileExists(GetPlanFolder(static_cast<uint32_t>(id)));
}

CPlan* PlanList::CreatePlan(PlanSettings settings) {
  if (settings.storePath.empty() || settings.scheduleUnit < 1 || settings.scheduleUnit > 8 ||
      settings.kind != 1)
    return nullptr;
  Guard g(lock_);
  const int64_t oldSeed = seed_;
  int64_t id = std::clamp<int64_t>(seed_, 0, UINT32_MAX) + 1;
  while (id <= int64_t{UINT32_MAX} && !IdFreeLocked(id)) ++id;
  if (id <= int64_t{UINT32_MAX}) {
    seed_ = id;
  } else {
    // The counter is at its end: the lowest number no plan ever had. The
    // counter stays, so the next plan looks here again.
    for (id = 1; id <= int64_t{UINT32_MAX} && !IdFreeLocked(id); ++id) {
    }
    if (id > int64_t{UINT32_MAX}) return nullptr;
  }
  settings.id = static_cast<uint32_t>(id);
  if (!ValidateLocked(settings)) return nullptr;
  auto plan = std::make_unique<CSimplePlan>(this);
  if (!plan->ApplySettings(settings, kApplyCreate)) {
    seed_ = oldSeed;
    return nullptr;
  }
  CPlan* made = plan.get();
  plans_.push_back(std::move(plan));
  SaveList();
  made->Save();
  RebuildSameDestinationLinks();
  PostEvent(kEvPlanCreated, made->Name(), made->Id());
  return made;
}

std::vector<uint32_t> PlanList::SharingStore(uint32_t id) const {
  std::vector<uint32_t> out;
  Guard g(lock_);
  CPlan* plan = Find(id);
  if (plan == nullptr) return out;
  // As when the links are rebuilt: destinations change on the UI thread only.
  for (const auto& p : plans_) {
    if (p.get() == plan) continue;
    CDestination* mine = plan->Destination();
    CDestination* theirs = p->Destination();
    if (mine && theirs && theirs->IsSameDestination(*mine) &&
        (IsServerStorage(mine->GetStorageType()) ||
         SameStoreFolder(plan->DestinationRoot(), p->DestinationRoot())))
      out.push_back(p->Id());
  }
  return out;
}

namespace {
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
  if (!keepJournalIn.empty() && plat::CreateDirectories(keepJournalIn)) {
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

void PlanList::RebuildSameDestinationLinks() {
  Guard g(lock_);
  // Destinations are replaced only on the UI thread, which also rebuilds the
  // links, so the pointers hold without keeping two plan locks at once.
  std::vector<CDestination*> dests;
  std::vector<std::string> roots;
  dests.reserve(plans_.size());
  for (auto& p : plans_) {
    p->SetSameDestinationLink(nullptr);
    dests.push_back(p->Destination());
    roots.push_back(p->DestinationRoot());
  }
  // The destinations match roots without regard to case; a volume that
  // tells "Store" from "store" holds two stores.
  for (size_t i = 0; i < plans_.size(); ++i) {
    if (!dests[i]) continue;
    for (size_t j = i + 1; j < plans_.size(); ++j) {
      if (dests[j] && dests[j]->IsSameDestination(*dests[i]) &&
          (IsServerStorage(dests[i]->GetStorageType()) || SameStoreFolder(roots[i], roots[j]))) {
        plans_[j]->SetSameDestinationLink(plans_[i].get());
        break;
      }
    }
  }
}

bool PlanList::IsPathEligible(std::string_view path) const {
  if (path.size() < 2 || path[1] != ':') return false;
  char letter = path[0];
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'Z') return false;
  const std::string upper = plat::ToUpper(path);
  const std::string fixed = FixedDrives();
  Guard g(lock_);
  if (fixed.find(letter) == std::string::npos) return false;
  for (const char* folder : {"\\RECYCLER", "\\RECYCLED", "\\SYSTEM VOLUME INFORMATION"}) {
    std::string f(1, letter);
    f += ":";
    f += folder;
    if (LiesWithin(f, upper)) return false;
  }
  for (const auto& p : plans_) {
    if (!IsServerStorage(p->StorageType())) {
      if (LiesWithinStore(WithoutTrailingSeparator(p->DestinationRoot()), path)) return false;
      continue;
    }
    // A server's path names no local folder, unless the server is this
    // machine: then its copies must not be copied again.
    std::vector<std::string> local;
    {
      Guard planGuard(p->Lock());
      if (const auto* ftp = dynamic_cast<const CFTPDevice*>(p->Destination()))
        local = ftp->LocalStoreFolders();
    }
    for (const std::string& folder : local)
      if (LiesWithin(folder, path)) return false;
  }
  return true;
}

bool PlanList::OfferChangedFile(std::string_view path) {
  if (path.empty() || plat::IsDirectory(path) || IsInsideStore(path) || !IsPathEligible(path))
    return false;
  Guard g(lock_);
  // Every plan whose rules take the file notes it, whatever the other plans
  // on its destination do: a disabled or manual plan listed first must not
  // keep a running plan from copying it (the second copy of one file into a
  // shared store finds the first one current and rotates nothing).
  std::vector<CPlan*> takers;
  for (const auto& p : plans_)
    if (p->MatchPath(path, false)) takers.push_back(p.get());
  for (CPlan* p : takers) {
    PostEvent(kEvFileNoted, path, p->Id());
    p->NoteChangedFile(path);
  }
  return !takers.empty();
}
