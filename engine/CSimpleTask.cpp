#include <mutex>
#include <string>
#include <vector>

#include "common/EngineEvents.h"
#include "common/Texts.h"
#include "destinations/FtpDevice.h"
#include "destinations/ObjectDevice.h"
#include "destinations/StoreBinding.h"
#include "destinations/VolumeCapacity.h"
#include "engine/CFileDispatchThread.h"
#include "engine/CSimpleEngine.h"
#include "engine/CSimplePlan.h"
#include "engine/CTask.h"
#include "engine/CatchUpRequests.h"
#include "engine/CatchUpWalk.h"
#include "engine/NotProtectedNames.h"
#include "engine/RunFile.h"
#include "engine/SourceWalk.h"
#include "history/CLoggingDatabase.h"
#include "plans/CPlan.h"
#include "plans/RuleSet.h"
#include "plans/Schedule.h"
#include "platform/base/Errors.h"
#include "platform/files/Files.h"
#include "platform/files/FolderAccess.h"
#include "platform/process/Clock.h"
#include "platform/volumes/Paths.h"

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

// A forced run waits this long so that the user sees the plan working.
constexpr uint32_t kForcedRunDelayMs = 2000;
// A plan's files are walked again at least this often.
constexpr int64_t kCatchUpPeriod = 86400;
// Free bytes on the journal's disk that let a walk note what it missed.
constexpr uint64_t kJournalRoom = 65536;
constexpr int64_t kMissedWalkGap = 10;

bool JournalHasRoom(CLoggingDatabase* db) {
  uint64_t free = 0;
  return GetFreeSpace(db->DatabasePath(), &free) == 0 && free >= kJournalRoom;
}

}  // namespace

CSimpleTask::Facts CSimpleTask::ReadFacts(CPlan* plan) {
  Guard guard(plan->Lock());
  return {plan->BackupTime(), plan->ScheduleNum(), plan->ScheduleUnit(), plan->Id()};
}

CSimpleTask::CSimpleTask(CPlan* plan) : CSimpleTask(plan, ReadFacts(plan)) {}

CSimpleTask::CSimpleTask(CPlan* plan, const Facts& facts)
    : CTask(facts.baseTime, facts.scheduleNum, facts.scheduleUnit, facts.id, true), plan_(plan) {}

bool CSimpleTask::IsBlocked() { return plan_->IsBlocked(); }

bool CSimpleTask::MissedScheduledBackup() { return plan_->MissScheduledBackup(); }

bool CSimpleTask::PlanStopping() { return plan_->Stopping(); }

// How often a continuous plan's last backup time is saved at most.
constexpr int64_t kPersistEverySeconds = 3;

bool CSimpleTask::ChangesSettled() { return MsUntilChangesSettle() == 0; }

int64_t CSimpleTask::MsUntilChangesSettle() {
  if (ScheduleUnit() != kUnitContinuous) return -1;
  CSimplePlan* simple = dynamic_cast<CSimplePlan*>(plan_);
  return simple != nullptr ? simple->Recent().MsUntilSettled(plat::GetTickCount64()) : -1;
}

bool CSimpleTask::CatchUpDue(std::string* fingerprint) {
  CLoggingDatabase* db = plan_->Database();
  if (db == nullptr || plan_->Stopping() || !plan_->Enabled()) return false;
  const uint32_t id = plan_->Id();
  if (!catchUpStateRead_) {
    const CatchUpState state = ReadCatchUpState(plan_->GetPlanFolder());
    catchUpFingerprint_ = state.fingerprint;
    catchUpWalked_ = state.walked;
    rebuildsSeen_ = db->RebuildCount();
    catchUpStateRead_ = true;
  }
  // Every reason is looked at (and a request taken) at each look.
  bool due = catchup::Take(id);
  const uint64_t rebuilds = db->RebuildCount();
  if (rebuilds != rebuildsSeen_) due = true;
  *fingerprint = CatchUpFingerprint(plan_);
  if (*fingerprint != catchUpFingerprint_) due = true;
  const int64_t now = plat::Now();
  if (now - catchUpWalked_ >= kCatchUpPeriod || now < catchUpWalked_) due = true;
  // Changes the journal could not record: found by a walk once it has room.
  // (At most every few seconds: the room may be too little after all.)
  CSimplePlan* simple = dynamic_cast<CSimplePlan*>(plan_);
  if (simple != nullptr && simple->ChangesMissed() && now - missedWalkAt_ >= kMissedWalkGap &&
      JournalHasRoom(db))
    due = true;
  if (catchUpAtStart_) due = true;
  if (!plan_->InitDone()) {
    // The first backup walks everything; afterwards the files are known.
    catchUpAtStart_ = false;
    rebuildsSeen_ = rebuilds;
    return false;
  }
  return due;
}

void CSimpleTask::Maintain() {
  std::string fingerprint;
  if (!CatchUpDue(&fingerprint)) return;
  const uint64_t rebuilds = plan_->Database()->RebuildCount();
  CSimplePlan* simple = dynamic_cast<CSimplePlan*>(plan_);
  if (simple == nullptr) return;
  // Taken now: a note the walk itself cannot write sets it again.
  const bool missed = simple->TakeChangesMissed();
  if (missed) missedWalkAt_ = plat::Now();
  // Watched first: a file written after the walk passed its folder is noted.
  WatchBeforeWalk(plan_);
  const CatchUpResult result = RunCatchUpWalk(simple);
  if (!result.complete) {
    if (missed) simple->NoteChangesMissed();
    return;  // asked again at the next look
  }
  catchUpAtStart_ = false;
  // The walk found what the journal could not take: it records again.
  if (missed) plan_->SetUnrecordedError(0);
  rebuildsSeen_ = rebuilds;
  catchUpFingerprint_ = fingerprint;
  catchUpWalked_ = plat::Now();
  WriteCatchUpState(plan_->GetPlanFolder(), {catchUpFingerprint_, catchUpWalked_});
}

void CSimpleTask::PreCheck() {
  if (plan_->Stopping()) return;  // nothing is looked at or written for a plan going away
  std::string name, refusedServer, refusedWhy, root, disk, serverStore, heldSource, foreignStore;
  std::string foundStore;  // the bucket's folder that holds the store found below
  CDestination::ServerRefusal refusal = CDestination::ServerRefusal::kNone;
  uint32_t id;
  bool before, after, filledBefore = false, looked = false, modesKept = true, renewed = false,
                      unproven = false, keepsVersions = false, aboveUnchecked = false,
                      openToOthers = false;
  std::string rearrangeable;  // a folder above a local store another user may change
  uint32_t markerError = 0;
  StoreVerdict verdict = StoreVerdict::kOwn;
  {
    // The destination has no lock of its own; the plan's lock serialises it.
    Guard guard(plan_->Lock());
    CDestination* dest = plan_->Destination();
    if (dest == nullptr) return;
    before = dest->IsAvailable();
    dest->SetStoreAway(false);
    {
      // A stop waiting for the plan's lock ends a connection under way.
      const std::atomic<bool>* own = plat::ThreadCancelFlag();
      auto* simple = dynamic_cast<CSimplePlan*>(plan_);
      if (simple != nullptr) plat::SetThreadCancelFlag(simple->StopAsked());
      dest->Refresh();
      plat::SetThreadCancelFlag(own);
    }
    if (dest->IsAvailable()) {
      // Before anything is written: is the store there the plan's own?
      const std::string folder = plan_->GetPlanFolder();
      if (!storeRecordRead_) ReadStoreRecord(folder, &store_);
      storeRecordRead_ = true;
      root = dest->GetRootPath();
      filledBefore = plan_->InitDone();
      auto* bucket = dynamic_cast<CObjectDevice*>(dest);
      verdict = bucket != nullptr
                    ? LookAtRemoteStore(folder, *dest, &store_)
                    : LookAtStore(folder, dest->GetStorageType(), root, filledBefore, &store_);
      looked = true;
      dest->SetStoreAway(verdict == StoreVerdict::kNotConnected ||
                         verdict == StoreVerdict::kUnknown || RefusesStore(verdict));
      if (bucket != nullptr && !dest->StoreAway()) {
        bucket->SweepIfDue();
        keepsVersions = bucket->TakeKeepsVersions();
      }
      if (bucket != nullptr) {
        foreignStore = ReadableObjectStore(bucket->GetObjectSettings());
        if (verdict == StoreVerdict::kStoreBelow && !bucket->FoundFolder().empty())
          foundStore = "s3://" + bucket->GetObjectSettings().bucket + "/" + bucket->FoundFolder();
        aboveUnchecked = bucket->TakeAboveUnchecked();
      }
      // A server that is this machine: where its store lies is pinned, and a
      // store that holds a folder the plan protects takes nothing in.
      if (auto* ftp = dynamic_cast<CFTPDevice*>(dest)) {
        const std::vector<std::string> sources =
            plan_->Rules() ? IncludedFolders(*plan_->Rules()) : std::vector<std::string>{};
        serverStore = ftp->PinLocalStore(sources);
        modesKept = ftp->KeepsModes();
        renewed = ftp->TakeStoreRenewed();
        unproven = ftp->StoreUnproven();
        markerError = ftp->MarkerError();
        for (const std::string& source : sources) {
          if (serverStore.empty() || !StoreHoldsFolder(serverStore, source)) continue;
          heldSource = source;
          dest->SetStoreAway(true);
          break;
        }
      }
      disk = StoreDiskName(store_, root);
      // Once a start: others may make entries in a local store's own folder.
      if (!openLooked_ && !bucket && !dynamic_cast<CFTPDevice*>(dest) &&
          (verdict == StoreVerdict::kOwn || verdict == StoreVerdict::kFresh)) {
        openLooked_ = true;
        openToOthers = plat::OthersMayWriteIn(root);
        rearrangeable = plat::FolderOthersMayRearrange(root);
      }
      std::lock_guard<std::mutex> awayGuard(awayLock_);
      away_.label = store_.label.empty() ? store_.name : store_.label;
      if ((verdict == StoreVerdict::kFresh || renewed) && filledBefore) {
        plan_->SetInitDone(false);  // a store new to the plan is filled from scratch
        plan_->SavePlanFile();
      }
    }
    after = dest->IsAvailable();
    refusal = dest->TakeServerRefusal(&refusedServer, &refusedWhy);
    root = dest->GetRootPath();
    name = plan_->Name();
    id = plan_->Id();
  }
  NoteAvailability(after, root);
  if (before != after) PostEvent(kEvAvailabilityChanged, name, id, {}, {}, after ? 1 : 0);
  if (refusal == CDestination::ServerRefusal::kStoreRefused) {
    PostEvent(kEvStoreState, refusedServer, id, {}, refusedWhy, 4);
  } else if (refusal != CDestination::ServerRefusal::kNone) {
    using R = CDestination::ServerRefusal;
    const EventCode code = refusal == R::kKeyChanged     ? kEvServerKeyChanged
                           : refusal == R::kKeyUntrusted ? kEvServerKeyUntrusted
                           : refusal == R::kNotEncrypted ? kEvServerNotEncrypted
                                                         : kEvServerUnreachable;
    // A server out of reach and one that answers but refuses the login: one
    // event, told apart by its value (1: the login refused).
    PostEvent(code, refusedServer, id, {}, refusedWhy, refusal == R::kLoginRefused ? 1 : 0);
  }
  // Said once while the plan's disk stays away, and once for each refill.
  if (verdict == StoreVerdict::kNotConnected && !storeAwaySaid_)
    PostEvent(kEvStoreState, root, id, {}, StoreSaid("NOT_CONNECTED", disk), 0);
  if (looked) storeAwaySaid_ = verdict == StoreVerdict::kNotConnected;
  // Said once while the place holds another plan's (or installation's)
  // store, an object under the marker's name that is no marker, copies
  // without a marker, or lies inside another store.
  if (RefusesStore(verdict) && verdict != foreignSaid_)
    PostEvent(kEvStoreState, root, id, {},
              StoreSaid(StoreRefusalText(verdict), foundStore.empty() ? foreignStore : foundStore),
              4);
  if (looked && verdict != StoreVerdict::kUnknown)
    foreignSaid_ = verdict;  // a refusal back is not new
  // Said once a start when the folders above the bucket's store could not be seen.
  if (aboveUnchecked)
    PostEvent(kEvStoreState, root, id, {}, StoreSaid("ABOVE_UNCHECKED", foreignStore), 3);
  if (openToOthers) {
    std::string native = root;
    plat::ToNativePath(root, &native);
    PostEvent(kEvStoreState, root, id, {}, StoreSaid("OPEN_TO_OTHERS", native), 3);
  }
  if (!rearrangeable.empty())
    PostEvent(kEvStoreState, root, id, {}, StoreSaid("MOVABLE_BY_OTHERS", rearrangeable), 3);
  // Said once while the server's store holds a protected folder.
  if (looked && !heldSource.empty() && !storeHoldsSaid_) {
    std::string said = GetText("STORE", "SERVER_STORE_HOLDS_SOURCES");
    for (const std::string& path : {serverStore, heldSource}) {
      std::string native = path;
      plat::ToNativePath(path, &native);
      if (const size_t at = said.find("%s"); at != std::string::npos) said.replace(at, 2, native);
    }
    PostEvent(kEvStoreState, root, id, {}, said, 2);
  }
  if (looked) storeHoldsSaid_ = !heldSource.empty();
  // A server that keeps copies private again (set right, or another one at
  // the same place): the files held back from it are tried once more.
  if (looked && modesKept && modesRefusedSaid_) {
    CLoggingDatabase* db = plan_->Database();
    for (const std::string& path : plan_->PrivateUnheldNames()) {
      if (db == nullptr) break;
      std::lock_guard<std::recursive_mutex> guard(db->Mutex());
      db->NoteChangedFile(path);
    }
  }
  // Said once while the server keeps every copy readable by its other users.
  if (looked && !modesKept && !modesRefusedSaid_)
    PostEvent(kEvStoreState, root, id, {}, GetText("STORE", "SERVER_KEEPS_COPIES_READABLE"), 3);
  if (looked) modesRefusedSaid_ = !modesKept;
  // Said once while nothing tells where on this computer the server's store lies.
  if (looked && unproven && !unprovenSaid_)
    PostEvent(kEvStoreState, root, id, {}, GetText("STORE", "SERVER_STORE_UNPROVEN"), 3);
  if (looked) unprovenSaid_ = unproven;
  // Said once for each cause that keeps the server from taking the store's marker.
  if (looked && markerError != 0 && markerError != markerErrorSaid_) {
    std::string said = GetText(
        "STORE", markerError == plat::kErrTimeout ? "SERVER_MARKER_LATE" : "SERVER_MARKER_REFUSED");
    std::string cause = plat::WinErrorMessage(markerError);
    if (!cause.empty() && cause.back() == '.') cause.pop_back();
    if (const size_t at = said.find("%s"); at != std::string::npos) said.replace(at, 2, cause);
    PostEvent(kEvStoreState, root, id, {}, said, 3);
  }
  if (looked) markerErrorSaid_ = markerError;
  if ((verdict == StoreVerdict::kFresh || renewed) && filledBefore)
    PostEvent(kEvStoreState, root, id, {}, GetText("STORE", "REFILLED"), 1);
  // Said once a start: the bucket keeps what the plan removes.
  if (keepsVersions)
    PostEvent(kEvStoreState, root, id, {}, StoreSaid("BUCKET_KEEPS_VERSIONS", foreignStore), 5);
}

// Copies the journal's pending records that settled, as the journal's set of
// them names them (no walk over the other records). The database's lock is
// taken per record and not held during a copy, so that changes are noted
// meanwhile; a rebuild (which moves every record) ends the walk.
int32_t CSimpleTask::WalkJournal() {
  CLoggingDatabase* db = plan_->Database();
  CSimpleEngine* engine = plan_->Engine();
  int32_t copied = 0;
  bool working = false;
  WalkGate gate(plan_);
  std::vector<uint64_t> offsets;
  uint64_t rebuilds = 0;
  {
    std::lock_guard<std::recursive_mutex> dbGuard(db->Mutex());
    if (db->PendingOffsets(&offsets) != CLoggingDatabase::kOk) return 0;
    rebuilds = db->RebuildCount();
  }
  // A continuous plan copies a file once a second has passed since its last
  // note, on the monotonic clock; other records once their whole-second
  // change time says so.
  CSimplePlan* simple = dynamic_cast<CSimplePlan*>(plan_);
  RecentChanges* recent = ScheduleUnit() == kUnitContinuous && simple ? &simple->Recent() : nullptr;
  LogRecord record;
  for (const uint64_t offset : offsets) {
    if (gate.ShouldStop()) break;
    std::string path;
    {
      std::lock_guard<std::recursive_mutex> dbGuard(db->Mutex());
      uint64_t next = 0;
      bool found = false;
      if (db->RebuildCount() != rebuilds) break;
      if (db->ReadRecord(offset, &record, &next, &found) != CLoggingDatabase::kOk || !found) break;
      const int64_t now = plat::Now();
      if (!record.IsPending()) continue;
      path = record.PathUtf8();
      if (record.changeTime + 1 >= now && !(recent && recent->Quiet(path, plat::GetTickCount64())))
        continue;
      if (!Forced() && IsInBackOff(record, now)) continue;  // asked now: failed files too
    }
    if (!Forced() && engine->WaitsForRoom(path)) continue;
    if (!working) {
      // Nothing goes into a bucket's prefix whose marker was replaced or
      // removed since it was last read: it is read again (a request a run).
      if (ForgetStoreMarker()) {
        PreCheck();
        if (plan_->IsBlocked() || !plan_->InitDone()) break;
      }
      plan_->SetMode(kModeWorking);
      working = true;
    }
    if (engine->BackupFile(path, false, &record, offset) == 0) ++copied;
  }
  return copied;
}

bool CSimpleTask::ForgetStoreMarker() {
  Guard guard(plan_->Lock());
  auto* bucket = dynamic_cast<CObjectDevice*>(plan_->Destination());
  if (bucket != nullptr) bucket->ForgetMarker();
  return bucket != nullptr;
}

void CSimpleTask::Run() {
  CPlan* plan = plan_;
  std::string name;
  uint32_t id;
  int32_t unit;
  bool first;
  {
    Guard guard(plan->Lock());
    name = plan->Name();
    id = plan->Id();
    unit = plan->ScheduleUnit();
    first = !plan->InitDone();
  }
  const std::string runKind = first ? kRunIsFirstBackup : Forced() ? kRunAskedNow : "";
  plat::ForgetFolderAnswers();  // who may reach a file is judged anew every run
  ReofferOpenedFiles(plan);
  // The changes settled by now are this run's, whatever it finds (a blocked
  // plan is not run again at every poll for them).
  if (CSimplePlan* simple = dynamic_cast<CSimplePlan*>(plan); simple && unit == kUnitContinuous)
    simple->Recent().BeginWalk(plat::GetTickCount64());
  PostEvent(kEvRunBegins, name, id, runKind);
  if (first) ForgetStoreMarker();  // the first backup sends every file
  PreCheck();
  first = !plan->InitDone();  // a store new to the plan is filled from scratch
  int32_t copied = 0;
  bool blocked = plan->IsBlocked();
  if (!blocked) {
    if (plan->MissScheduledBackup()) {
      plan->SetMissScheduledBackup(false);
      plan->Save();
    }
    CSimplePlan* simple = dynamic_cast<CSimplePlan*>(plan);
    if (plan->Database() != nullptr && plan->Engine() != nullptr && simple != nullptr) {
      if (first) {
        if (!plan->Stopping() && plan->Enabled()) {
          plan->SetMode(kModeWorking);
          PostEvent(kEvScanBegins, name, id);
          // Watched first: what is written during the walk is noted either way.
          WatchBeforeWalk(plan);
          RunSourceWalk(simple);
          PostEvent(kEvScanEnds, name, id);
          plan->SetBusy(false);
          if (!plan->Stopping() && !plan->IsBlocked()) {
            plan->SetInitDone(true);
            plan->Save();
            // The walk has seen every file: no catch-up walk is due for it.
            catchUpAtStart_ = false;
            catchUpStateRead_ = true;
            catchUpFingerprint_ = CatchUpFingerprint(plan);
            catchUpWalked_ = plat::Now();
            if (CLoggingDatabase* db = plan->Database()) rebuildsSeen_ = db->RebuildCount();
            WriteCatchUpState(plan->GetPlanFolder(), {catchUpFingerprint_, catchUpWalked_});
          }
        }
      } else {
        if (Forced()) {
          plan->SetMode(kModeWorking);
          plat::SleepMs(kForcedRunDelayMs);
        }
        copied = WalkJournal();
      }
    }
  }
  // A scheduled run that found the plan blocked, or that its blocking
  // stopped part-way (the store went away or its disk filled while it
  // copied), is made up once the plan is free again.
  const bool stopped = !blocked && !plan->Stopping() && plan->Enabled() && plan->IsBlocked();
  if ((blocked || stopped) && !Forced() && unit != kUnitContinuous) {
    plan->SetMissScheduledBackup(true);
    plan->Save();
  }
  SetForced(false);
  // The last run survives a restart, so that a slot (or, for a start-up
  // plan, a machine start-up) is served once.
  if (!plan->Stopping() && plan->Enabled() && unit != kUnitContinuous && unit != kUnitManual) {
    WriteRunFile(plan->GetPlanFolder(), LastRun());
  }
  if (plan->Mode() == kModeWorking) plan->SetMode(kModeIdle);
  lastCopied_.store(copied);
  PostEvent(kEvRunEnds, name, id, runKind, blocked ? kRunFoundBlocked : "", copied);
  if (unit == kUnitManual) plan->SetEnabled(false, 0);
  // The last successful copy's time survives a restart (written once the
  // plan is in the state it rests in). A plan being stopped may be on its
  // way out with its folder: exit processing saves for the plans that stay.
  // A continuous plan runs as often as changes settle: its time is saved at
  // most once per due interval.
  const int64_t now = plat::Now();
  if (!plan->Stopping() &&
      (unit != kUnitContinuous || now >= persistedAt_ + kPersistEverySeconds)) {
    persistedAt_ = now;
    if (CSimpleEngine* engine = plan->Engine()) engine->PersistLastBackupTime();
  }
}
