// The checks of a chosen destination folder: its kind against the tab, its
// path, and where it lies against the plan's sources and the other plans.
#include "ui/wizard/WizardAnswers.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>

#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "plans/RuleSet.h"
#include "platform/base/Text.h"
#include "platform/files/Files.h"
#include "platform/files/FolderAccess.h"
#include "platform/profile/Folders.h"
#include "platform/volumes/Paths.h"
#include "platform/volumes/Volumes.h"

std::string SourceDriveLetters(const SourceAnswers& sources) {
  std::string letters;
  auto add = [&letters](char c) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c >= 'A' && c <= 'Z' && letters.find(c) == std::string::npos) letters += c;
  };
  for (const std::string& f : sources.folders)
    if (f.size() > 1 && f[1] == ':') add(f[0]);
  if (!sources.masks.empty()) {
    for (const plat::VolumeInfo& v : plat::VolumeTable::Instance().Volumes())
      if (v.type == plat::DriveType::kFixed && v.bus != plat::BusType::kUsb &&
          v.bus != plat::BusType::kIeee1394)
        add(v.letter);
  }
  if (std::find(sources.web.begin(), sources.web.end(), true) != sources.web.end()) {
    const std::string home = plat::GetShellFolder(plat::ShellFolder::kProfile);
    if (home.size() > 1 && home[1] == ':') add(home[0]);
  }
  return letters;
}

bool SharesDiskWithSources(std::string_view destination, std::string_view letters) {
  if (destination.size() < 2 || destination[1] != ':') return false;
  char c = destination[0];
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return letters.find(c) != std::string_view::npos;
}

DestCheck CheckDestinationFolder(int32_t tab, std::string_view native, std::string* systemPath) {
  const std::string typed = plat::TrimSpace(native);
  if (typed.empty()) return DestCheck::kEmpty;
  std::string sys;
  if (typed.front() != '/' || !plat::ToSystemPath(typed, &sys) || sys.size() < 3)
    return DestCheck::kInvalid;
  // Names that a store on any destination kind can carry.
  for (size_t i = 2; i < sys.size(); ++i) {
    const unsigned char c = sys[i];
    if (c < 0x20 || c == ',' || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' ||
        c == '?' || c == '*')
      return DestCheck::kInvalid;
  }
  while (sys.size() > 3 && sys.back() == '\\') sys.pop_back();
  const bool share = sys.rfind("\\\\", 0) == 0;
  plat::VolumeInfo volume;
  const bool onVolume =
      !share && sys[1] == ':' && plat::VolumeTable::Instance().Find(sys[0], &volume);
  if (!share && !onVolume) return DestCheck::kInvalid;
  const bool usbBus =
      onVolume && (volume.bus == plat::BusType::kUsb || volume.bus == plat::BusType::kIeee1394);
  switch (tab) {
    case wiz::kTabNetwork:
      if (!share && volume.type != plat::DriveType::kRemote) return DestCheck::kNotNetwork;
      break;
    case wiz::kTabExternal:
    case wiz::kTabUsbKey:
      if (!usbBus) return DestCheck::kNotUsb;
      break;
    case wiz::kTabLocal:
      if (!onVolume || volume.type != plat::DriveType::kFixed || usbBus)
        return DestCheck::kNotHardDisk;
      break;
    default:
      return DestCheck::kInvalid;
  }
  *systemPath = sys;
  return DestCheck::kOk;
}

const char* DestCheckKey(DestCheck result) {
  switch (result) {
    case DestCheck::kEmpty:
      return "DESTINATION_FOLDER_IS_EMPTY";
    case DestCheck::kInvalid:
      return "DESTINATION_FOLDER_IS_INVALID";
    case DestCheck::kNotNetwork:
      return "DESTINATION_FOLDER_IS_NOT_NETWORK";
    case DestCheck::kNotUsb:
      return "DESTINATION_FOLDER_IS_NOT_USB";
    case DestCheck::kNotHardDisk:
      return "DESTINATION_FOLDER_IS_NOT_HARDDISK";
    default:
      return "";
  }
}

std::vector<OtherPlanPlace> OtherPlanPlaces(const PlanList& list, uint32_t skipId) {
  std::vector<OtherPlanPlace> out;
  std::lock_guard<std::recursive_mutex> listLock(list.Lock());
  for (size_t i = 0; i < list.Count(); ++i) {
    CPlan* plan = list.At(i);
    if (plan->Id() == skipId) continue;
    OtherPlanPlace place;
    place.name = plan->Name();
    if (!IsServerStorage(plan->StorageType())) place.storeRoot = plan->DestinationRoot();
    std::lock_guard<std::recursive_mutex> planLock(plan->Lock());
    if (const CRuleSet* rules = plan->Rules()) place.folders = IncludedFolders(*rules);
    out.push_back(std::move(place));
  }
  return out;
}

DestFindings ExamineDestination(std::string_view systemPath, const SourceAnswers& sources,
                                std::string_view sourceLetters, bool probe,
                                const std::vector<OtherPlanPlace>& others) {
  DestFindings f;
  std::string sys(systemPath);
  while (sys.size() > 3 && sys.back() == '\\') sys.pop_back();
  std::string native;
  if (sys.size() > kMaxDestChars || !plat::ToNativePath(sys, &native)) f.tooLong = true;
  size_t begin = 0;
  while (!f.tooLong && begin < native.size()) {
    size_t end = native.find('/', begin);
    if (end == std::string::npos) end = native.size();
    f.tooLong = end - begin > 255;
    begin = end + 1;
  }
  for (const std::string& folder : sources.folders) {
    if (folder == kMyComputerEntry ||
        (sys.rfind(folder, 0) == 0 &&
         (sys.size() == folder.size() || folder.back() == '\\' || sys[folder.size()] == '\\')))
      f.insideSource = true;
  }
  f.sameDisk = SharesDiskWithSources(sys, sourceLetters);
  // A store hides what lies in it from every plan: it must hold no folder
  // that this plan or another protects, nor lie around one.
  // Without sources (a look at the folder alone) nothing is built, so the
  // look stays light enough for any thread or process.
  std::vector<std::string> ownFolders;
  const bool anyWeb = std::find(sources.web.begin(), sources.web.end(), true) != sources.web.end();
  if (!sources.folders.empty() || !sources.masks.empty() || anyWeb) {
    CRuleSet own;
    BuildRulesFromWizard(&own, sources.folders, sources.masks, sources.web);
    ownFolders = IncludedFolders(own);
  }
  for (const std::string& folder : ownFolders) f.holdsSources |= StoreHoldsFolder(sys, folder);
  for (const OtherPlanPlace& other : others) {
    for (const std::string& folder : other.folders)
      if (f.nestedPlan.empty() && StoreHoldsFolder(sys, folder)) f.nestedPlan = other.name;
    for (const std::string& folder : ownFolders) {
      if (f.nestedPlan.empty() && StoreHoldsFolder(other.storeRoot, folder)) {
        f.nestedPlan = other.name;
        f.otherStoreHolds = true;
      }
    }
  }
  if (!probe || f.tooLong) return f;
  // The folder is made when the plan starts: until then its nearest folder
  // that exists is where it would be made.
  std::string at = sys;
  while (at.size() > 3 && !plat::IsDirectory(at)) {
    if (plat::FileExists(at)) {  // a file where a folder has to be
      f.notWritable = true;
      return f;
    }
    at = plat::PathFolder(at);
    while (at.size() > 3 && at.back() == '\\') at.pop_back();
  }
  // A name of this probe's own: the page's probe and the check of Next may
  // look at one folder at the same moment, and each deletes only its file.
  static std::atomic<uint64_t> probes{0};
  static const uint64_t tag = std::random_device{}();
  const std::string file = plat::PathAppend(
      at, ".brevanto-write-probe-" + std::to_string(tag) + "-" + std::to_string(++probes));
  f.notWritable = !plat::WriteFileAtomic(file, "probe") || !plat::DeleteFile(file);
  f.openToOthers = at == sys && plat::OthersMayWriteIn(sys);
  f.movableBy = plat::FolderOthersMayRearrange(sys);
  return f;
}
