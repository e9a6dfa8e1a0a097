#include "ui/main/ViewWorker.h"

#include <QMetaObject>
#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <thread>

#include "destinations/StoreRevisions.h"
#include "destinations/VolumeCapacity.h"
#include "history/CLoggingDatabase.h"
#include "platform/process/Clock.h"
#include "ui/main/StoreRemoval.h"

namespace {
constexpr int64_t kLongestBackOff = 3600;  // beyond every back-off of a failing file
// How long a worker going away waits for a space or removal job.
constexpr int kLongestOtherJobWait = 20;
}  // namespace

CViewWorker::CViewWorker(QObject* parent) : QObject(parent), shared_(std::make_shared<Shared>()) {
  shared_->target = this;
}

CViewWorker::~CViewWorker() {
  std::unique_lock<std::mutex> lock(shared_->lock);
  shared_->target = nullptr;
  shared_->idle.wait(lock, [this] { return shared_->journalJobs == 0; });
  // The others are waited for too, so that none runs on into the end of the
  // process; only one held by a volume that stopped answering is left.
  shared_->idle.wait_for(lock, std::chrono::seconds(kLongestOtherJobWait),
                         [this] { return shared_->running == 0; });
}

// job runs on the new thread and returns what the UI thread is to do with
// its result; that part is posted to the worker only while it exists.
void CViewWorker::Launch(bool journal, std::function<std::function<void()>()> job) {
  std::shared_ptr<Shared> shared = shared_;
  {
    std::lock_guard<std::mutex> lock(shared->lock);
    if (journal) ++shared->journalJobs;
    ++shared->running;
  }
  std::thread([shared, journal, job = std::move(job)] {
    std::function<void()> deliver = job();
    std::lock_guard<std::mutex> lock(shared->lock);
    if (shared->target) {
      CViewWorker* target = shared->target;
      QMetaObject::invokeMethod(
          target,
          [target, deliver = std::move(deliver)] {
            deliver();
            emit target->jobFinished();
          },
          Qt::QueuedConnection);
    }
    --shared->running;
    if (journal) --shared->journalJobs;
    shared->idle.notify_all();
  }).detach();
}

void CViewWorker::CountPending(std::vector<JournalRequest> requests, int tag, bool distinct) {
  std::vector<uint32_t> ids;
  for (const JournalRequest& r : requests) {
    ++reading_[r.id];
    ids.push_back(r.id);
  }
  Launch(true, [this, requests = std::move(requests), ids, tag, distinct] {
    std::vector<JournalCount> counts;
    std::set<std::string> all;
    for (const JournalRequest& r : requests) {
      JournalCount c;
      c.id = r.id;
      if (r.db) {
        // The journal may be held by a walk or a note: skipped, never waited for.
        std::unique_lock<std::recursive_mutex> lock(r.db->Mutex(), std::try_to_lock);
        if (lock.owns_lock()) {
          std::vector<std::string> paths;
          // Failed files resting in their back-off wait all the same: counted
          // as of a time when every back-off has ended.
          if (r.db->CollectPending(&paths, plat::Now() + kLongestBackOff) ==
              CLoggingDatabase::kOk) {
            c.ok = true;
            c.pending = paths.size();
            if (distinct) all.insert(paths.begin(), paths.end());
          }
        }
      }
      counts.push_back(c);
    }
    const uint64_t distinctCount = all.size();
    // Runs on the UI thread, where reading_ lives.
    return std::function<void()>([this, counts, ids, tag, distinctCount] {
      for (uint32_t id : ids) {
        auto it = reading_.find(id);
        if (it != reading_.end() && --it->second <= 0) reading_.erase(it);
      }
      emit pendingCounted(tag, counts, distinctCount);
    });
  });
}

void CViewWorker::MeasureSpace(uint32_t id, std::string path, int tag) {
  Launch(false, [this, id, path = std::move(path), tag] {
    uint64_t freeBytes = 0, totalBytes = 0;
    const bool ok = GetFreeSpace(path, &freeBytes) == 0 && GetTotalSpace(path, &totalBytes) == 0;
    return std::function<void()>([this, id, ok, freeBytes, totalBytes, tag] {
      emit spaceMeasured(tag, id, ok, freeBytes, totalBytes);
    });
  });
}

void CViewWorker::MeasureRevisions(uint32_t id, std::string root) {
  Launch(false, [this, id, root = std::move(root)] {
    const uint64_t bytes = RevisionBytes(root);
    return std::function<void()>([this, id, root, bytes] {
      emit revisionsMeasured(id, QString::fromStdString(root), bytes);
    });
  });
}

void CViewWorker::RemoveStore(StoreRemoval what) {
  Launch(false, [this, what = std::move(what)] {
    const bool ok = RemovePlanFiles(what, nullptr);
    return std::function<void()>([this, storeRoot = what.storeRoot, ok] {
      emit storeRemoved(QString::fromStdString(storeRoot), ok);
    });
  });
}

bool CViewWorker::IsReading(uint32_t id) const { return reading_.count(id) != 0; }

int CViewWorker::RunningJobs() const {
  std::lock_guard<std::mutex> lock(shared_->lock);
  return shared_->running;
}
