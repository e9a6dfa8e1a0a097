#include "engine/PlanList.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "common/ActivityLog.h"
#include "common/EngineEvents.h"
#include "destinations/CUsbWindow.h"
#include "destinations/FtpDevice.h"
#include "destinations/StoreMarker.h"
#include "destinations/UsbDevice.h"
#include "engine/CSimplePlan.h"
#include "engine/SourceWalk.h"
#include "plans/CPlan.h"
#include "plans/RuleSet.h"
#include "platform/base/Text.h"
#include "platform/files/Files.h"
#include "platform/files/FilesBelow.h"
#include "platform/volumes/Volumes.h"

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
  if (!path.empty() && IsPathEligible(path) && plat::IsLinkToFolder(path)) {
    // A link to a folder made while the program runs: said as a walk says it.
    Guard g(lock_);
    for (const auto& p : plans_)
      if (auto* plan = dynamic_cast<CSimplePlan*>(p.get()))
        OfferNewLinkedFolder(plan, std::string(path));
    return false;
  }
  // A restore's own download still arriving is not the user's file.
  if (path.empty() || plat::IsArrivingFile(path) || plat::IsDirectory(path) ||
      IsInsideStore(path) || !IsPathEligible(path))
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
