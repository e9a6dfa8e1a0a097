#include "ui/wizard/WizardAnswers.h"

#include <algorithm>

#include "destinations/ObjectDevice.h"
#include "engine/PlanList.h"
#include "plans/BuiltinExclusions.h"
#include "plans/CPlan.h"
#include "plans/RuleSet.h"
#include "plans/Schedule.h"
#include "platform/base/Text.h"
#include "platform/files/Files.h"
#include "platform/profile/Folders.h"
#include "platform/profile/Profile.h"
#include "platform/volumes/Paths.h"

namespace {

using wiz::kDestSection;

constexpr size_t kMaxMaskChars = 64;
// The unit of each key of wiz::kScheduleKeys.
constexpr int32_t kChoiceUnits[6] = {kUnitContinuous, kUnitDaily,   kUnitWeekly,
                                     kUnitMonthly,    kUnitStartUp, kUnitManual};
// "UI.ini" is small; anything larger is not a wizard file.
constexpr uint64_t kMaxAnswersBytes = 1u << 20;
constexpr size_t kMaxPasswordChars = 4095;

int GetInt(const std::string& ini, const char* section, const char* key, int fallback) {
  return plat::GetProfileInt(ini, section, key, fallback);
}
std::string GetString(const std::string& ini, const char* section, const char* key) {
  return plat::GetProfileString(ini, section, key, "", 4095);
}
bool Chosen(const std::string& ini, const char* section, const char* key) {
  return GetInt(ini, section, key, 0) > 0;
}

// Web choice indices (WebChoices order) that each answer chooses.
void ChooseWeb(const std::string& ini, WebChoices* web) {
  if (Chosen(ini, wiz::kAppData, wiz::kWebKeys[0]))
    for (size_t g : {7, 8, 9, 10, 11}) (*web)[g] = true;
  if (Chosen(ini, wiz::kAppData, wiz::kWebKeys[1]))
    for (size_t g : {3, 6}) (*web)[g] = true;
  if (Chosen(ini, wiz::kAppData, wiz::kWebKeys[2])) (*web)[4] = true;
}
void ChooseCommon(const std::string& ini, WebChoices* web) {
  if (Chosen(ini, wiz::kCommonData, wiz::kCommonKeys[0])) (*web)[2] = true;
  if (Chosen(ini, wiz::kCommonData, wiz::kCommonKeys[1])) (*web)[1] = true;
  if (Chosen(ini, wiz::kCommonData, wiz::kCommonKeys[2])) (*web)[0] = true;
}

// Copies a small file; a missing source gives an empty target.
bool CopyAnswers(const std::string& from, const std::string& to) {
  std::string text;
  if (!from.empty() && plat::FileExists(from) &&
      !plat::ReadWholeFile(from, &text, kMaxAnswersBytes))
    return false;
  plat::CreateDirectories(plat::PathFolder(to), "",
                          /*privateMode=*/true);  // answers hold a password
  return plat::WriteFileAtomic(to, text, true);
}

}  // namespace

int32_t StorageTypeOfTab(int32_t tab) {
  switch (tab) {
    case wiz::kTabExternal:
    case wiz::kTabUsbKey:
      return kStorageUsb;
    case wiz::kTabNetwork:
      return kStorageNetwork;
    case wiz::kTabFtp:
      return kStorageFtp;
    case wiz::kTabLocal:
      return kStorageLocal;
    case wiz::kTabObject:
      return kStorageObject;
    default:
      return 0;
  }
}

int32_t UnitOfScheduleRow(int32_t row) { return row >= 0 && row < 8 ? row + 1 : 0; }

int32_t ScheduleRowOfUnit(int32_t unit) {
  return unit >= kUnitContinuous && unit <= kUnitManual ? unit - 1 : -1;
}

int32_t UnitOfScheduleChoice(int32_t choice) {
  return choice >= 0 && choice < 6 ? kChoiceUnits[choice] : kUnitContinuous;
}

void WriteScheduleAnswers(const std::string& ini, int32_t unit, int32_t count) {
  for (int c = 0; c < 6; ++c)
    plat::WriteProfileInt(ini, wiz::kWhenSection, wiz::kScheduleKeys[c],
                          kChoiceUnits[c] == unit ? 1 : 0);
  const bool interval = unit == kUnitMinutes || unit == kUnitOtherInterval;
  plat::WriteProfileInt(ini, wiz::kWhenSection, "SaveYouFolder", interval ? 1 : 0);
  if (!interval) return;
  plat::WriteProfileString(ini, wiz::kWhenSection, "TimeUnit",
                           unit == kUnitMinutes ? "minutes" : "hours");
  plat::WriteProfileInt(ini, wiz::kWhenSection, "Time", std::max(1, count));
}

std::string WizardWorkingFile() { return plat::GetDataFolder() + "Wizard\\UI.ini"; }

// A server's password is kept in the plan's "Devices.ini" alone: a plan's
// answers are written without it, and changing the plan takes it from there.
bool BeginAnswers(uint32_t planId, std::string* workingFile) {
  *workingFile = WizardWorkingFile();
  if (planId == 0) return CopyAnswers({}, *workingFile);
  if (!CopyAnswers(GetPlanFolder(planId) + "UI.ini", *workingFile)) return false;
  const std::string password = plat::GetProfileString(
      GetPlanFolder(planId) + "Devices.ini", "FTP Device", "Password", "", kMaxPasswordChars);
  if (password.empty()) return true;
  return plat::WriteProfileString(*workingFile, kDestSection, "Password",
                                  ("\"" + password + "\"").c_str());
}

bool CommitAnswers(const std::string& workingFile, uint32_t planId) {
  plat::WriteProfileString(workingFile, kDestSection, "Password", nullptr);
  return CopyAnswers(workingFile, GetPlanFolder(planId) + "UI.ini");
}

void DiscardAnswers(const std::string& workingFile) { plat::DeleteFile(workingFile); }

std::string NormaliseExtensionMask(std::string_view typed) {
  std::string mask = plat::TrimSpace(typed);
  if (mask.empty() || mask.size() > kMaxMaskChars) return {};
  for (unsigned char c : mask)
    if (c < 0x20 || c == '\\' || c == '/' || c == ',' || c == '"' || c == '|' || c == ':')
      return {};
  const bool wild = mask.find_first_of("*?") != std::string::npos;
  if (!wild) {
    if (mask[0] == '.') mask.erase(0, 1);
    if (mask.empty() || mask.back() == '.' || mask.find(' ') != std::string::npos) return {};
    mask = "*." + mask;
  }
  if (mask == "*" || mask == "*.*" || mask == "*.") return {};  // that is every file
  return mask;
}

std::vector<std::string> SplitMasks(std::string_view value) { return SplitFolderList(value); }

std::string JoinMasks(const std::vector<std::string>& masks) {
  std::string out;
  for (const std::string& m : masks) {
    if (m.empty()) continue;
    if (!out.empty()) out += ',';
    out += m;
  }
  return out;
}

SourceAnswers ReadSourceAnswers(const std::string& ini,
                                const std::vector<ExtensionCategory>& extensions) {
  SourceAnswers out;
  switch (GetInt(ini, kDestSection, "BackupType", -1)) {
    case wiz::kTypeCategories:
      out.masks = ChosenExtensionMasks(ini, extensions);
      ChooseCommon(ini, &out.web);
      break;
    case wiz::kTypeWeb:
      ChooseWeb(ini, &out.web);
      break;
    case wiz::kTypeFolders:
      if (GetInt(ini, wiz::kSourceSection, "ActiveTab", 0) == 1) {
        out.masks = ChosenExtensionMasks(ini, extensions);
        for (std::string& m : SplitMasks(GetString(ini, wiz::kFileTypes, wiz::kCustomTypes)))
          if (std::find(out.masks.begin(), out.masks.end(), m) == out.masks.end())
            out.masks.push_back(std::move(m));
      } else {
        out.folders = SplitFolderList(GetString(ini, wiz::kFolders, wiz::kFolderListKey));
      }
      break;
    default:
      break;
  }
  return out;
}

std::vector<std::string> FoldersLeftOut(const std::vector<std::string>& folders) {
  CRuleSet rules;
  BuildRulesFromWizard(&rules, folders, {}, WebChoices{});
  AddBuiltinExclusions(&rules);
  std::vector<std::string> out;
  for (const std::string& f : folders) {
    std::string base = f;
    if (base.empty() || base.back() != '\\') base += '\\';
    // Two names no shipped mask leaves out: only the folder's place decides.
    if (!rules.Match(base + "a.txt") && !rules.Match(base + "a")) out.push_back(f);
  }
  return out;
}

void NormaliseAnswers(const std::string& ini) {
  const int type = GetInt(ini, kDestSection, "BackupType", -1);
  if (type != wiz::kTypeWeb)
    for (const char* key : wiz::kWebKeys) plat::WriteProfileInt(ini, wiz::kAppData, key, 0);
  if (type != wiz::kTypeCategories)
    for (const char* key : wiz::kCommonKeys) plat::WriteProfileInt(ini, wiz::kCommonData, key, 0);
}

std::string FtpStorePath(const FtpSettings& f) {
  // "sftp://host" names its scheme already.
  const bool named = f.server.find("://") != std::string::npos;
  return (named ? "" : "ftp://") + f.server + f.root;
}

FtpSettings ReadFtpAnswers(const std::string& ini) {
  FtpSettings f;
  std::string server = plat::ToLower(plat::TrimSpace(GetString(ini, kDestSection, "Server")));
  if (server.rfind("ftp://", 0) == 0) server.erase(0, 6);
  while (!server.empty() && server.back() == '/') server.pop_back();
  f.server = server;
  f.port = GetInt(ini, kDestSection, "Port", 21);
  std::string root = plat::TrimSpace(GetString(ini, kDestSection, "Root"));
  if (root.empty() || root.front() != '/') root = std::string("/") + root;
  if (root.back() != '/') root += '/';
  f.root = root;
  f.proxy = plat::TrimSpace(GetString(ini, kDestSection, "Proxy"));
  f.proxyPort = GetInt(ini, kDestSection, "ProxyPort", 0);
  f.user = plat::TrimSpace(GetString(ini, kDestSection, "User"));
  f.password = GetString(ini, kDestSection, "Password");
  f.passive = GetInt(ini, kDestSection, "Passive", 1);
  f.retryCount = std::max(0, GetInt(ini, kDestSection, "RetryCount", 0));
  f.timeout = std::clamp(GetInt(ini, kDestSection, "TimeOut", 30), 0, 120);
  f.pinnedKey = plat::TrimSpace(GetString(ini, kDestSection, "PinnedKey"));
  // Missing (answers kept before the choice existed): encryption required.
  f.security = GetInt(ini, kDestSection, "Security", kFtpsRequired);
  if (server.rfind("sftp://", 0) == 0) f.security = kSftp;
  if (f.security != kSftp && f.security != kFtpPlain) f.security = kFtpsRequired;
  return f;
}

void WriteFtpAnswers(const std::string& ini, const FtpSettings& f) {
  plat::WriteProfileString(ini, kDestSection, "Server", f.server.c_str());
  plat::WriteProfileInt(ini, kDestSection, "Port", f.port);
  plat::WriteProfileString(ini, kDestSection, "Root", f.root.c_str());
  plat::WriteProfileString(ini, kDestSection, "Proxy", f.proxy.c_str());
  plat::WriteProfileInt(ini, kDestSection, "ProxyPort", f.proxyPort);
  plat::WriteProfileString(ini, kDestSection, "User", f.user.c_str());
  // Quoted, so blanks at either end survive (the reader drops one pair of quotes).
  plat::WriteProfileString(ini, kDestSection, "Password", ("\"" + f.password + "\"").c_str());
  plat::WriteProfileInt(ini, kDestSection, "Passive", f.passive);
  plat::WriteProfileInt(ini, kDestSection, "RetryCount", f.retryCount);
  plat::WriteProfileInt(ini, kDestSection, "TimeOut", f.timeout);
  plat::WriteProfileString(ini, kDestSection, "PinnedKey", f.pinnedKey.c_str());
  plat::WriteProfileInt(ini, kDestSection, "Security", f.security);
}

ObjectStoreSettings ReadObjectAnswers(const std::string& ini) {
  ObjectStoreSettings s;
  s.endpoint = plat::TrimSpace(GetString(ini, kDestSection, "ObjectEndpoint"));
  s.region = plat::TrimSpace(GetString(ini, kDestSection, "ObjectRegion"));
  s.bucket = plat::TrimSpace(GetString(ini, kDestSection, "ObjectBucket"));
  std::string prefix = plat::TrimSpace(GetString(ini, kDestSection, "ObjectPrefix"));
  while (!prefix.empty() && prefix.front() == '/') prefix.erase(prefix.begin());
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  s.prefix = prefix;
  s.accessKey = plat::TrimSpace(GetString(ini, kDestSection, "ObjectAccessKey"));
  s.pathStyle = GetInt(ini, kDestSection, "ObjectPathStyle", 1) != 0 ? 1 : 0;
  s.pinnedKey = plat::TrimSpace(GetString(ini, kDestSection, "ObjectPinnedKey"));
  return s;
}

void WriteObjectAnswers(const std::string& ini, const ObjectStoreSettings& s) {
  plat::WriteProfileString(ini, kDestSection, "ObjectEndpoint", s.endpoint.c_str());
  plat::WriteProfileString(ini, kDestSection, "ObjectRegion", s.region.c_str());
  plat::WriteProfileString(ini, kDestSection, "ObjectBucket", s.bucket.c_str());
  plat::WriteProfileString(ini, kDestSection, "ObjectPrefix", s.prefix.c_str());
  plat::WriteProfileString(ini, kDestSection, "ObjectAccessKey", s.accessKey.c_str());
  plat::WriteProfileInt(ini, kDestSection, "ObjectPathStyle", s.pathStyle);
  plat::WriteProfileString(ini, kDestSection, "ObjectPinnedKey", s.pinnedKey.c_str());
}

namespace {

// Where the answers' object store lies: its endpoint, bucket and folder.
std::string ObjectPlace(const std::string& ini) {
  const ObjectStoreSettings s = ReadObjectAnswers(ini);
  return plat::ToLower(s.endpoint) + " " + ReadableObjectStore(s);
}

}  // namespace

void WriteContinuedStore(const std::string& ini, const std::string& id) {
  plat::WriteProfileString(ini, kDestSection, "ContinueStore", id.c_str());
  plat::WriteProfileString(ini, kDestSection, "ContinueStoreAt",
                           id.empty() ? "" : ObjectPlace(ini).c_str());
}

std::string ReadContinuedStore(const std::string& ini) {
  const std::string id = plat::TrimSpace(GetString(ini, kDestSection, "ContinueStore"));
  if (id.empty() || GetString(ini, kDestSection, "ContinueStoreAt") != ObjectPlace(ini)) return {};
  return id;
}

WizardDefaults ComputeWizardDefaults(const std::string& ini, const PlanList& list) {
  WizardDefaults d;
  d.planType = GetPlanType(plat::PathFolder(ini));
  d.record.planType = d.planType;
  ResetDefaultPlans();  // drives may have come and gone since the last look
  int32_t kind = 0;
  DefaultDrive drive;
  if (!GetDefaultForType(d.planType, &d.record, &kind, &drive)) return d;
  d.found = true;
  d.tab = DestinationTabOfKind(kind);
  d.letter = drive.letter;
  d.folder = list.MakeUniqueDestinationFolder(drive.folder + d.record.backupFolderName);
  return d;
}

int32_t ReadWizardKeepDays(std::string_view uiIniPath) {
  const int32_t days =
      plat::GetProfileInt(uiIniPath, wiz::kVersionsSection, "KeepDays", kKeepByCount);
  for (int32_t offered : {kKeepAsManyAsFit, kKeepDay, kKeepWeek, kKeepMonth, kKeepYear})
    if (days == offered) return days;
  return kKeepByCount;
}

bool SettingsFromAnswers(const std::string& ini, PlanSettings* s) {
  *s = PlanSettings{};
  s->name = plat::TrimSpace(GetString(ini, wiz::kWhenSection, "PlanName"));
  s->storageType = GetInt(ini, kDestSection, "StorageType", 0);
  if (s->storageType < kStorageLocal || s->storageType > kStorageObject)
    s->storageType = StorageTypeOfTab(GetInt(ini, kDestSection, "ActiveTabNew", -1));
  s->storePath = plat::TrimSpace(GetString(ini, kDestSection, "StoragePath"));
  if (s->storageType == kStorageFtp) {
    s->ftp = ReadFtpAnswers(ini);
    if (s->storePath.empty() && !s->ftp.server.empty()) s->storePath = FtpStorePath(s->ftp);
  } else if (s->storageType == kStorageObject) {
    s->objectStore = ReadObjectAnswers(ini);
    if (s->storePath.empty() && !s->objectStore.bucket.empty())
      s->storePath = ReadableObjectStore(s->objectStore);
  } else if (!s->storePath.empty() && s->storePath.back() != '\\') {
    s->storePath += '\\';
  }
  int32_t num = 1;
  s->scheduleUnit = ReadWizardScheduleUnit(ini, &num);
  s->scheduleNum = num;
  s->versionNumber = GetInt(ini, wiz::kVersionsSection, "VersionsToKeep", 3);
  s->keepDays = ReadWizardKeepDays(ini);
  s->kind = 1;
  s->mode = kModeIdle;
  s->enabled = 0;
  return !s->name.empty() && s->storageType != 0 && !s->storePath.empty() && s->scheduleUnit != 0;
}
