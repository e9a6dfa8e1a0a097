#include "plans/CPlan.h"

#include <algorithm>

#include "common/EngineEvents.h"
#include "common/Settings.h"
#include "destinations/DestinationFactory.h"
#include "history/RestoreJobs.h"
#include "plans/BuiltinExclusions.h"
#include "plans/PlanFile.h"
#include "plans/RuleFile.h"
#include "platform/base/Text.h"
#include "platform/files/Files.h"
#include "platform/process/Clock.h"

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

bool IsNameSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string TrimName(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && IsNameSpace(s[b])) ++b;
  while (e > b && IsNameSpace(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

// Characters (code points) of UTF-8 text.
size_t CharCount(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

}  // namespace

CPlan::CPlan(IPlanOwner* owner) : owner_(owner), rules_(std::make_unique<CRuleSet>()) {}

CPlan::~CPlan() {
  std::unique_ptr<CLoggingDatabase> database;
  {
    Guard g(lock_);
    if (destination_) destination_->Close();
    destination_.reset();
    rules_.reset();
    database = std::move(database_);
  }
  // The journal lock comes before the plan lock (a journal walk reads plan
  // fields), so the journal is closed outside the plan lock.
  if (database) database->Close();
}

std::string CPlan::GetPlanFolder() const { return ::GetPlanFolder(Id()); }

bool CPlan::SetName(std::string_view name) {
  std::string trimmed = TrimName(name);
  if (trimmed.empty()) return false;
  if (CharCount(trimmed) >= 256) {
    PostEvent(kEvPlanNameTooLong, trimmed);
    return false;
  }
  Guard g(lock_);
  name_ = std::move(trimmed);
  return true;
}

std::string CPlan::Name() const {
  Guard g(lock_);
  return name_;
}

uint32_t CPlan::Id() const {
  Guard g(lock_);
  return id_;
}

void CPlan::SetId(uint32_t id) {
  Guard g(lock_);
  id_ = id;
}

int32_t CPlan::VersionNumber() const {
  Guard g(lock_);
  return versionNumber_;
}

void CPlan::SetVersionNumber(int32_t n) {
  const int32_t max = GetMaxVersionCount();
  if (n > max) n = max;
  if (n < 1) n = 1;
  Guard g(lock_);
  versionNumber_ = n;
}

int32_t CPlan::KeepDays() const {
  Guard g(lock_);
  return keepDays_;
}

void CPlan::SetKeepDays(int32_t days) {
  Guard g(lock_);
  keepDays_ = days;
}

bool CPlan::MakeRoom() const {
  Guard g(lock_);
  return makeRoom_;
}

void CPlan::SetMakeRoom(bool on) {
  Guard g(lock_);
  makeRoom_ = on;
}

int32_t CPlan::ScheduleNum() const {
  Guard g(lock_);
  return scheduleNum_;
}

int32_t CPlan::ScheduleUnit() const {
  Guard g(lock_);
  return scheduleUnit_;
}

bool CPlan::Enabled() const {
  Guard g(lock_);
  return enabled_;
}

void CPlan::SetEnabled(bool enabled, int32_t reason) {
  uint32_t id;
  {
    Guard g(lock_);
    if (enabled_ == enabled) return;
    enabled_ = enabled;
    id = id_;
  }
  PostEvent(enabled ? kEvPlanEnabled : kEvPlanDisabled, {}, id, {}, {}, reason);
  if (enabled)
    Start();
  else
    Stop();
}

int32_t CPlan::Mode() const {
  Guard g(lock_);
  return mode_;
}

void CPlan::SetMode(int32_t mode) {
  uint32_t id;
  {
    Guard g(lock_);
    if (mode_ == mode) return;
    mode_ = mode;
    id = id_;
  }
  PostEvent(kEvPlanModeChanged, {}, id, {}, {}, mode);
}

int64_t CPlan::LastTime() const {
  Guard g(lock_);
  return lastTime_;
}

void CPlan::SetLastTime(int64_t t) {
  Guard g(lock_);
  lastTime_ = t;
}

int64_t CPlan::LastBackupTime() const {
  Guard g(lock_);
  return lastBackupTime_;
}

void CPlan::SetLastBackupTime(int64_t t) {
  Guard g(lock_);
  lastBackupTime_ = t;
}

int64_t CPlan::MissingTime() const {
  Guard g(lock_);
  return missingTime_;
}

void CPlan::SetMissingTime(int64_t t) {
  Guard g(lock_);
  missingTime_ = t;
  SavePlanFile();
}

int64_t CPlan::BackupTime() const {
  Guard g(lock_);
  return backupTime_;
}

void CPlan::SetBackupTime(int64_t t) {
  Guard g(lock_);
  backupTime_ = t;
}

bool CPlan::InitDone() const {
  Guard g(lock_);
  return initDone_;
}

void CPlan::SetInitDone(bool done) {
  Guard g(lock_);
  initDone_ = done;
}

uint32_t CPlan::UnrecordedError() const {
  Guard g(lock_);
  return unrecordedError_;
}

void CPlan::SetUnrecordedError(uint32_t error) {
  Guard g(lock_);
  unrecordedError_ = error;
}

bool CPlan::Stopping() const {
  Guard g(lock_);
  return stopping_;
}

void CPlan::SetStopping(bool stopping) {
  Guard g(lock_);
  stopping_ = stopping;
}

bool CPlan::Busy() const {
  Guard g(lock_);
  return busy_;
}

void CPlan::SetBusy(bool busy) {
  Guard g(lock_);
  busy_ = busy;
}

bool CPlan::MissScheduledBackup() const {
  Guard g(lock_);
  return missScheduledBackup_;
}

void CPlan::SetMissScheduledBackup(bool missed) {
  Guard g(lock_);
  missScheduledBackup_ = missed;
}

CPlan* CPlan::SameDestinationLink() const {
  Guard g(lock_);
  return sameDestLink_;
}

void CPlan::SetSameDestinationLink(CPlan* plan) {
  Guard g(lock_);
  sameDestLink_ = plan;
}

uint64_t CPlan::SpaceWanted() const {
  constexpr int64_t kRetryAfter = 600;
  Guard g(lock_);
  if (spaceWanted_ == 0 || plat::Now() - spaceWantedAt_ >= kRetryAfter) return 0;
  return spaceWanted_;
}

void CPlan::SetSpaceWanted(uint64_t freeBytes) {
  Guard g(lock_);
  spaceWanted_ = freeBytes;
  spaceWantedAt_ = plat::Now();
}

CSimpleTask* CPlan::Task() const {
  Guard g(lock_);
  return task_;
}

void CPlan::SetTask(CSimpleTask* task) {
  Guard g(lock_);
  task_ = task;
}

bool CPlan::MatchPath(std::string_view path, bool skipAlways) {
  Guard g(lock_);
  return rules_ && rules_->Match(path, skipAlways);
}

void CPlan::ReplaceRules(std::unique_ptr<CRuleSet> rules) {
  if (!rules) rules = std::make_unique<CRuleSet>();
  std::unique_ptr<CRuleSet> old;
  Guard g(lock_);
  old = std::move(rules_);
  rules_ = std::move(rules);
}

CRuleSet* CPlan::Rules() { return rules_.get(); }

CDestination* CPlan::Destination() {
  Guard g(lock_);
  return destination_.get();
}

std::shared_ptr<CDestination> CPlan::SharedDestination() const {
  Guard g(lock_);
  return destination_;
}

CLoggingDatabase* CPlan::Database() {
  Guard g(lock_);
  return database_.get();
}

std::string CPlan::DestinationRoot() const {
  Guard g(lock_);
  if (!destination_) return {};
  std::string root = destination_->GetRootPath();
  return root.empty() ? storePath_ : root;
}

int32_t CPlan::StorageType() const {
  Guard g(lock_);
  return destination_ ? destination_->GetStorageType() : 0;
}

PlanSettings CPlan::Settings() const {
  Guard g(lock_);
  PlanSettings s;
  s.name = name_;
  s.id = id_;
  s.kind = Kind();
  s.scheduleNum = scheduleNum_;
  s.scheduleUnit = scheduleUnit_;
  if (destination_) {
    s.storePath = destination_->GetRootPath();
    if (s.storePath.empty()) s.storePath = storePath_;
    s.storageType = destination_->GetStorageType();
  }
  s.mode = mode_;
  s.versionNumber = versionNumber_;
  s.keepDays = keepDays_;
  s.makeRoom = makeRoom_ ? 1 : 0;
  s.lastTime = lastTime_;
  s.missingTime = missingTime_;
  s.lastBackupTime = lastBackupTime_;
  s.enabled = enabled_ ? 1 : 0;
  s.initialScanDone = initDone_ ? 1 : 0;
  s.missedScheduledRun = missScheduledBackup_ ? 1 : 0;
  return s;
}

bool CPlan::SavePlanFile() {
  Guard g(lock_);
  return WritePlanFile(GetPlanFolder() + kPlanFileName, Settings());
}

bool CPlan::Save() {
  Guard g(lock_);
  if (!SavePlanFile()) return false;
  CRuleSet empty;
  return SaveRuleSet(rules_ ? *rules_ : empty, GetPlanFolder() + "IncExc.ini");
}

bool CPlan::IsEarlierSameDestinationBusy() const {
  // The links change only under the list's lock, and a linked plan is not
  // deleted while it is held.
  std::unique_lock<std::recursive_mutex> listLock;
  if (owner_) listLock = std::unique_lock<std::recursive_mutex>(owner_->Lock());
  for (CPlan* p = SameDestinationLink(); p; p = p->SameDestinationLink())
    if (p->Busy()) return true;
  return false;
}

void CPlan::WaitWhileEarlierSameDestinationBusy() {
  while (!Stopping() && IsEarlierSameDestinationBusy()) {
    for (int i = 0; i < 10 && !Stopping(); ++i) plat::SleepMs(100);
  }
}

bool CPlan::PrepareDestination(const PlanSettings& s, int32_t purpose) {
  Guard g(lock_);
  if (!destination_ || destination_->GetStorageType() != s.storageType) {
    if (destination_) destination_->Close();
    destination_ = CreateDestination(this, s.storageType);
  }
  if (!destination_) return false;
  storePath_ = s.storePath;
  const bool absentAllowed = IsServerStorage(s.storageType) || s.storageType == kStorageUsb;
  if (purpose == kApplyLoad) {
    missScheduledBackup_ = s.missedScheduledRun != 0;
    // Without "Devices.ini" (a plan folder copied by hand, or a lost file) the
    // path of "Plan.ini" stands in.
    if (!destination_->LoadSettings()) destination_->Configure(s);
    if (!destination_->Prepare(false) && !absentAllowed) return false;
  } else {
    destination_->Configure(s);
    if (!destination_->Prepare(true) && !IsServerStorage(s.storageType)) return false;
    destination_->SaveSettings();
  }
  return true;
}

bool CPlan::OpenDatabase(int32_t purpose) {
  std::string folder = GetPlanFolder();
  uint32_t id = Id();
  CLoggingDatabase* db;
  {
    Guard g(lock_);
    if (!database_) database_ = std::make_unique<CLoggingDatabase>();
    db = database_.get();
  }
  if (purpose == kApplyReapply) {
    // A plan being changed may be in the middle of a journal walk on its old
    // thread, which holds the journal's lock through a long copy: a journal
    // in use is open already, and the interface thread must not wait for it.
    std::unique_lock<std::recursive_mutex> busy(db->Mutex(), std::try_to_lock);
    if (!busy.owns_lock()) return true;
  }
  bool open;
  if (purpose == kApplyCreate) {
    db->Create(folder, id);
    open = db->Open(folder, id) == CLoggingDatabase::kOk;
  } else {
    open = db->Open(folder, id) == CLoggingDatabase::kOk;
    if (!open) {
      db->Create(folder, id);
      open = db->Open(folder, id) == CLoggingDatabase::kOk;
    }
  }
  if (!open) {
    PostEvent(kEvDatabaseOpenFailed, folder + CLoggingDatabase::kFileName, id);
    return false;
  }
  return true;
}

bool CPlan::ApplySettings(const PlanSettings& s, int32_t purpose) {
  if (!SetName(s.name)) return false;
  if (purpose == kApplyCreate || purpose == kApplyLoad) SetId(s.id);
  SetMode(s.mode);
  if (s.scheduleUnit < 1 || s.scheduleUnit > 8) return false;
  {
    Guard g(lock_);
    scheduleUnit_ = s.scheduleUnit;
    scheduleNum_ = s.scheduleNum;
    if (purpose == kApplyCreate) lastTime_ = s.lastTime;
    missingTime_ = s.missingTime;
    lastBackupTime_ = s.lastBackupTime;
  }
  // Private to the user, whoever may enter the data folder: it holds the
  // server password and the journal of every file name.
  plat::CreateDirectories(GetPlanFolder(), "", /*privateMode=*/true);
  if (!PrepareDestination(s, purpose)) return false;
  CreateEngine();
  if (!OpenDatabase(purpose)) return false;
  SetVersionNumber(s.versionNumber);
  SetKeepDays(s.keepDays);
  SetMakeRoom(s.makeRoom != 0);
  if (purpose == kApplyCreate || purpose == kApplyLoad) Database()->LoadIndex();
  SetMode(s.mode);
  SetInitDone(s.initialScanDone != 0);
  // A plan being created is not listed yet, so nothing matches against its
  // rules meanwhile; the lock stays free because the reader may post events.
  if (purpose == kApplyCreate) AddBuiltinExclusions(rules_.get());
  return true;
}

bool GetRestoreStore(CPlan* plan, RestoreStore* out) {
  if (plan == nullptr || out == nullptr) return false;
  Guard g(plan->Lock());
  return GetDestinationStore(plan->Id(), plan->Destination(), out);
}
