#include "engine/CSimplePlan.h"

#include <mutex>
#include <utility>

#include "common/EngineEvents.h"
#include "common/Settings.h"
#include "destinations/VolumeCapacity.h"
#include "engine/CSimpleEngine.h"
#include "engine/CTask.h"
#include "engine/CWorkingThread.h"
#include "engine/PlanList.h"
#include "platform/base/Errors.h"
#include "platform/process/Clock.h"

namespace {
using Guard = std::lock_guard<std::recursive_mutex>;
}  // namespace

CSimplePlan::CSimplePlan(PlanList* owner) : CPlan(owner) {}

CSimplePlan::~CSimplePlan() {
  CWorkingThread* thread;
  {
    Guard g(lock_);
    thread = thread_;
    thread_ = nullptr;
    task_ = nullptr;
  }
  delete thread;  // stops and joins it
  ReapRetired(true);
}

void CSimplePlan::ReapRetired(bool wait) {
  std::vector<CWorkingThread*> done;
  {
    Guard g(lock_);
    for (auto it = retired_.begin(); it != retired_.end();) {
      if (wait || !(*it)->IsRunning()) {
        done.push_back(*it);
        it = retired_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (CWorkingThread* t : done) delete t;  // joins a thread still running
}

size_t CSimplePlan::RetiredThreadCount() const {
  Guard g(lock_);
  return retired_.size();
}

void CSimplePlan::CreateEngine() {
  Guard g(lock_);
  if (!engine_) engine_ = std::make_unique<CSimpleEngine>(this);
}

CSimpleEngine* CSimplePlan::Engine() {
  Guard g(lock_);
  return engine_.get();
}

CWorkingThread* CSimplePlan::Thread() const {
  Guard g(lock_);
  return thread_;
}

int CSimplePlan::Start() {
  ReapRetired(false);
  Guard g(lock_);
  if (thread_) return 0;
  auto* thread = new CWorkingThread(this);
  auto* task = new CSimpleTask(this);
  task->RestoreLastRun();
  thread->Queue().Add(task);
  if (thread->Start(true) != 0) {
    delete thread;  // its queue deletes the task
    return 1;
  }
  stopAsked_ = false;
  thread_ = thread;
  task_ = task;
  if (engine_) engine_->RequestSweep();
  return 0;
}

CWorkingThread* CSimplePlan::TakeThreadForStop(uint32_t* id) {
  stopAsked_ = true;
  Guard g(lock_);
  stopping_ = true;
  CWorkingThread* thread = thread_;
  thread_ = nullptr;
  task_ = nullptr;
  *id = id_;
  return thread;
}

void CSimplePlan::Stop() {
  uint32_t id;
  CWorkingThread* thread = TakeThreadForStop(&id);
  // The plan's lock is free here: the thread's running task may want it.
  if (thread) {
    thread->Queue().RemoveByKey(id);
    thread->SetStop();
    Guard g(lock_);
    retired_.push_back(thread);
  }
  SetStopping(false);
}

void CSimplePlan::StopAndWait() {
  uint32_t id;
  CWorkingThread* thread = TakeThreadForStop(&id);
  if (thread) {
    thread->SetStop();
    thread->Join();
    thread->Queue().RemoveByKey(id);
    delete thread;
  }
  ReapRetired(true);
  SetStopping(false);
}

void CSimplePlan::ShutDown() {
  CWorkingThread* thread;
  uint32_t id;
  stopAsked_ = true;
  {
    Guard g(lock_);
    thread = thread_;
    if (thread) {
      enabled_ = false;
      stopping_ = true;
      thread_ = nullptr;
      task_ = nullptr;
    }
    id = id_;
  }
  if (!thread) {
    delete this;  // waits for threads stopped earlier
    return;
  }
  // The thread deletes the plan when it ends (and the plan then waits for
  // threads stopped earlier), so nothing of the plan is touched after SetStop.
  thread->Queue().RemoveByKey(id);
  thread->SetDeletePlanOnExit(true);
  thread->SetAutoDelete(true);
  thread->SetStop();
}

bool CSimplePlan::IsBlocked() {
  std::string root;
  int32_t type;
  {
    Guard g(lock_);
    if (!enabled_) return true;
    if (!destination_ || !destination_->IsAvailable()) return true;
    root = destination_->GetRootPath();
    type = destination_->GetStorageType();
  }
  if (IsBatteryBlocking()) return true;
  const bool checkSpace = type == kStorageLocal || type == kStorageUsb ||
                          (type == kStorageNetwork && root.rfind("\\\\", 0) != 0);
  if (!checkSpace) return false;
  if (root.empty()) return true;
  std::string driveRoot;
  driveRoot += root[0];
  driveRoot += ":\\";
  uint64_t free = 0;
  if (GetFreeSpace(driveRoot, &free) != 0) return true;
  return free <= kMinFreeBytes;
}

void CSimplePlan::NoteChangesMissed() {
  Guard g(lock_);
  changesMissed_ = true;
}

bool CSimplePlan::ChangesMissed() const {
  Guard g(lock_);
  return changesMissed_;
}

bool CSimplePlan::TakeChangesMissed() {
  Guard g(lock_);
  return std::exchange(changesMissed_, false);
}

void CSimplePlan::BackUpWalkedFile(const std::string& path) {
  if (CSimpleEngine* engine = Engine()) engine->BackupFile(path, true, nullptr, 0);
}

void CSimplePlan::NoteChangedFile(std::string_view path) {
  CLoggingDatabase* db = Database();
  if (!db) return;
  recent_.Note(path, plat::GetTickCount64());
  uint32_t rc;
  uint32_t error;
  std::string journal;
  {
    std::lock_guard<std::recursive_mutex> g(db->Mutex());
    rc = db->NoteChangedFile(path);
    error = plat::GetLastError();
    if (rc != CLoggingDatabase::kOk) journal = db->DatabasePath();
  }
  // A change that could not be journaled is lost to the plan: say so once,
  // with the reason, when such failures begin (not for every change after).
  bool report;
  {
    Guard g(lock_);
    report = rc != CLoggingDatabase::kOk && !noteFailureShown_;
    noteFailureShown_ = rc != CLoggingDatabase::kOk;
    unrecordedError_ = rc == CLoggingDatabase::kOk ? 0 : error != 0 ? error : rc;
    // A full disk: a walk finds the lost changes once it has room again.
    if (rc != CLoggingDatabase::kOk && error == plat::kErrDiskFull) changesMissed_ = true;
  }
  if (!report) return;
  if (error == 0) error = rc;
  const std::string message = plat::WinErrorMessage(error);
  PostEvent(kEvDatabaseProblem, journal, Id(), path,
            "Code: " + std::to_string(error) + ", Error: " + message, static_cast<int32_t>(error));
}
