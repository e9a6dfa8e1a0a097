#include "plans/DefaultPlans.h"

#include <mutex>
#include <string_view>

#include "common/PlanSettings.h"
#include "common/Texts.h"
#include "destinations/VolumeCapacity.h"
#include "plans/PlanFile.h"
#include "plans/PlanOwner.h"
#include "plans/PlanSources.h"
#include "platform/files/Files.h"
#include "platform/files/FolderAccess.h"
#include "platform/profile/Folders.h"
#include "platform/profile/Profile.h"
#include "platform/volumes/Volumes.h"

namespace {

constexpr int32_t kKindEnd = 5;
constexpr size_t kMaxKinds = 40;
constexpr size_t kMaxOemText = 259;
constexpr char kOemSection[] = "Backup_Plan_Default_Setting";

struct BuiltinRow {
  int32_t type;
  const char* prefix;
  const char* name;
  const char* folder;
  int32_t schedule, versions, firstBackup;
  std::vector<int32_t> kinds;
};

const std::vector<BuiltinRow>& BuiltinRows() {
  static const std::vector<BuiltinRow> rows = {
      {0, "Videos_", "My Videos", "Brevanto Videos", 5, 1, 0, {0, 2, 3, kKindEnd}},
      {1,
       "SoundsAndMusic_",
       "My Sounds and Music",
       "Brevanto Sounds and Music",
       2,
       1,
       1,
       {0, 1, 2, 3, kKindEnd}},
      {2,
       "PicturesAndPhotos_",
       "My Pictures and Photos",
       "Brevanto Pictures and Photos",
       0,
       2,
       1,
       {0, 1, 2, 3, kKindEnd}},
      {3,
       "OfficeDocuments_",
       "My Office Documents",
       "Brevanto Office Documents",
       0,
       4,
       1,
       {0, 1, 2, 3, kKindEnd}},
      {4,
       "AllMyDocuments_",
       "My Multimedia Documents",
       "Brevanto Multimedia Documents",
       2,
       1,
       1,
       {0, 2, 3, kKindEnd}},
      {5,
       "AllMyWebSettings_",
       "My Web Settings",
       "Brevanto Web Settings",
       4,
       1,
       1,
       {0, 1, 2, 3, kKindEnd}},
      {6, "SpecificFolder_", "My Folder", "Brevanto Folder", 0, 2, 1, {0, 1, 2, 3, kKindEnd}},
      {7, "SpecificExtensions_", "My Files", "Brevanto Files", 0, 4, 1, {0, 1, 2, 3, kKindEnd}},
      {8, "OtherPlanTypes_", "Default", "Brevanto Default", 0, 3, 0, {0, 1, 2, 3, kKindEnd}},
  };
  return rows;
}

std::mutex cacheLock;  // guards built, records and drives
bool built = false;
std::vector<DefaultPlanRecord> records;
std::vector<DefaultDrive> drives;

// A distributor's text from "OEM.ini"; an absent or empty key keeps ours.
std::string OemText(const std::string& oem, const std::string& key, const char* builtin) {
  std::string v = plat::GetProfileString(oem, kOemSection, key, "", kMaxOemText);
  return v.empty() ? std::string(builtin) : v;
}

void BuildLocked() {
  if (built) return;
  records.clear();
  drives.clear();
  const std::string oem = GetProgramFolder() + "OEM.ini";
  const bool haveOem = plat::FileExists(oem);
  for (const BuiltinRow& row : BuiltinRows()) {
    DefaultPlanRecord r;
    r.planType = row.type;
    r.planName = row.name;
    r.backupFolderName = row.folder;
    if (haveOem) {
      r.planName = OemText(oem, std::string(row.prefix) + "PlanName", row.name);
      r.backupFolderName = OemText(oem, std::string(row.prefix) + "BackupFolderName", row.folder);
    }
    r.schedule = row.schedule;
    r.versions = row.versions;
    r.firstBackup = row.firstBackup;
    r.driveKinds = row.kinds;
    if (r.driveKinds.size() > kMaxKinds) r.driveKinds.resize(kMaxKinds);
    records.push_back(std::move(r));
  }
  for (const plat::VolumeInfo& v : plat::VolumeTable::Instance().Volumes()) {
    if (v.letter < 'C' || v.letter > 'Z') continue;  // A and B are never considered
    DefaultDrive d;
    d.letter = v.letter;
    d.driveType = static_cast<uint32_t>(v.type);
    d.busType = static_cast<uint32_t>(v.bus);
    d.holdsSystem = v.system;
    const std::string root = std::string(1, v.letter) + ":\\";
    if (GetTotalSpace(root, &d.totalBytes) != 0) d.totalBytes = 0;
    if (GetFreeSpace(root, &d.freeBytes) != 0) d.freeBytes = 0;
    d.writable = plat::MayCreateIn(root);
    d.folder = root;
    drives.push_back(d);
  }
  built = true;
}

// The drive of a kind whose root takes folders: one without the system
// folder first, then the most free space, then the earlier letter.
const DefaultDrive* ChooseDrive(const std::vector<DefaultDrive>& list, int32_t kind) {
  const DefaultDrive* best = nullptr;
  for (const DefaultDrive& d : list) {
    if (DriveKindOf(d) != kind || !d.writable) continue;
    if (!best || best->holdsSystem || (!d.holdsSystem && d.freeBytes > best->freeBytes)) {
      best = &d;
    }
  }
  return best;
}

}  // namespace

int32_t DriveKindOf(const DefaultDrive& d) {
  const bool external = d.busType == static_cast<uint32_t>(plat::BusType::kUsb) ||
                        d.busType == static_cast<uint32_t>(plat::BusType::kIeee1394);
  const auto type = static_cast<plat::DriveType>(d.driveType);
  if (type == plat::DriveType::kFixed && external) return 0;
  if (type == plat::DriveType::kRemovable && external && d.totalBytes > 0) return 1;
  if (type == plat::DriveType::kRemote) return 2;
  if (type == plat::DriveType::kFixed) return 3;
  return 4;
}

int32_t StorageTypeOfKind(int32_t kind) {
  switch (kind) {
    case 0:
    case 1:
      return kStorageUsb;
    case 2:
      return kStorageNetwork;
    case 3:
      return kStorageLocal;
    default:
      return 0;
  }
}

int32_t DestinationTabOfKind(int32_t kind) {
  switch (kind) {
    case 1:
      return 1;
    case 2:
      return 2;
    case 3:
      return 4;
    default:
      return 0;
  }
}

std::vector<DefaultDrive> DefaultDrives() {
  std::lock_guard<std::mutex> g(cacheLock);
  BuildLocked();
  return drives;
}

void ResetDefaultPlans() {
  std::lock_guard<std::mutex> g(cacheLock);
  built = false;
  records.clear();
  drives.clear();
}

bool GetDefaultForType(int32_t planType, DefaultPlanRecord* record, int32_t* kind,
                       DefaultDrive* drive) {
  std::lock_guard<std::mutex> g(cacheLock);
  BuildLocked();
  for (const DefaultPlanRecord& r : records) {
    if (r.planType != planType) continue;
    for (int32_t k : r.driveKinds) {
      if (k == kKindEnd) break;
      const DefaultDrive* d = ChooseDrive(drives, k);
      if (!d) continue;
      if (record) *record = r;
      if (kind) *kind = k;
      if (drive) *drive = *d;
      return true;
    }
    // No drive of the row's kinds takes folders: a folder in the user's home.
    const std::string home = plat::GetShellFolder(plat::ShellFolder::kProfile);
    if (home.size() < 3 || home[1] != ':' || !plat::MayCreateIn(home)) return false;
    for (const DefaultDrive& d : drives) {
      if (d.letter != home[0] || DriveKindOf(d) != 3) continue;
      if (record) *record = r;
      if (kind) *kind = 3;
      if (drive) {
        *drive = d;
        drive->folder = home + "\\";
      }
      return true;
    }
    return false;  // only the first row of a type counts
  }
  return false;
}

std::string BackupFolderBase(char letter) {
  const std::string root = std::string(1, letter) + ":\\";
  if (plat::MayCreateIn(root)) return root;
  const std::string home = plat::GetShellFolder(plat::ShellFolder::kProfile);
  if (home.size() > 2 && home[0] == letter && home[1] == ':' && plat::MayCreateIn(home))
    return home + "\\";
  return root;
}

bool RunDefaultDestinationStep(uint32_t planId, const IPlanOwner& plans) {
  const std::string folder = GetPlanFolder(planId);
  const std::string planIni = folder + kPlanFileName;
  PlanSettings s;
  s.id = planId;
  if (!ReadPlanFile(planIni, &s, false)) return false;  // the load reports problems
  if (!s.storePath.empty() || IsServerStorage(s.storageType)) return false;

  DefaultPlanRecord record;
  int32_t kind = 4;
  DefaultDrive drive;
  if (!GetDefaultForType(GetPlanType(folder), &record, &kind, &drive)) return false;
  const int32_t storageType = StorageTypeOfKind(kind);
  if (storageType == 0) return false;

  const std::string path =
      plans.MakeUniqueDestinationFolder(drive.folder + record.backupFolderName);
  const std::string name = plans.MakeUniqueName(record.planName);
  s.id = planId;
  s.name = name;
  s.storePath = path + "\\";
  s.storageType = storageType;
  if (!WritePlanFile(planIni, s, PlanFileStyle::kDefaultStep)) return false;

  const std::string ui = folder + "UI.ini";
  plat::WriteProfileString(ui, "WizardPage3Options", "PlanName", name.c_str());
  plat::WriteProfileString(ui, "BackupDestination", "StoragePath", path.c_str());
  plat::WriteProfileInt(ui, "BackupDestination", "StorageType", storageType);
  plat::WriteProfileInt(ui, "Wizard4Options", "VersionsToKeep", record.versions);
  plat::WriteProfileInt(ui, "BackupDestination", "ActiveTabNew", DestinationTabOfKind(kind));
  return true;
}
