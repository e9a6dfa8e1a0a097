#include "ui/restore/RestoreRelay.h"

#include <QMetaObject>
#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>

CRestoreRelay::CRestoreRelay(QObject* context, IRestoreObserver* target)
    : shared_(std::make_shared<Shared>()), context_(context) {
  shared_->target = target;
}

CRestoreRelay::~CRestoreRelay() { Detach(); }

void CRestoreRelay::Detach() {
  std::lock_guard<std::mutex> guard(shared_->lock);
  shared_->target = nullptr;
  shared_->handled = shared_->queued;
  shared_->changed.notify_all();
}

void CRestoreRelay::Hold(bool held) {
  std::lock_guard<std::mutex> guard(shared_->lock);
  shared_->held = held;
  shared_->changed.notify_all();
}

bool CRestoreRelay::Held() const {
  std::lock_guard<std::mutex> guard(shared_->lock);
  return shared_->held;
}

void CRestoreRelay::Forward(std::function<void(IRestoreObserver*)> call, bool wait) {
  const std::shared_ptr<Shared> shared = shared_;
  uint64_t seq = 0;
  std::unique_lock<std::mutex> lock(shared->lock);
  if (wait) shared->changed.wait(lock, [&] { return !shared->held || shared->target == nullptr; });
  if (shared->target == nullptr) return;
  if (wait) seq = ++shared->queued;
  // Posted under the lock: Detach() (and with it the context's end) cannot
  // come between the check above and the post.
  QMetaObject::invokeMethod(
      context_,
      [shared, call = std::move(call), seq, wait] {
        IRestoreObserver* target = nullptr;
        {
          std::lock_guard<std::mutex> guard(shared->lock);
          target = shared->target;
        }
        // Only the UI thread detaches, so the target stays while it is called.
        if (target != nullptr) call(target);
        if (wait) {
          std::lock_guard<std::mutex> guard(shared->lock);
          shared->handled = std::max(shared->handled, seq);
          shared->changed.notify_all();
        }
      },
      Qt::QueuedConnection);
  if (wait)
    shared->changed.wait(lock, [&] { return shared->handled >= seq || shared->target == nullptr; });
}

void CRestoreRelay::OnTreeRoot(const std::shared_ptr<CDirNode>& root) {
  Forward([root](IRestoreObserver* t) { t->OnTreeRoot(root); }, true);
}
void CRestoreRelay::OnTreeRefresh() {
  Forward([](IRestoreObserver* t) { t->OnTreeRefresh(); }, true);
}
void CRestoreRelay::OnSearchApplied(CDirNode* root) {
  Forward([root](IRestoreObserver* t) { t->OnSearchApplied(root); }, true);
}
void CRestoreRelay::OnShowNode(CDirNode* node) {
  Forward([node](IRestoreObserver* t) { t->OnShowNode(node); }, true);
}
void CRestoreRelay::OnSearchFinished() {
  Forward([](IRestoreObserver* t) { t->OnSearchFinished(); }, true);
}
void CRestoreRelay::OnVersionsFound(std::shared_ptr<CVersionFolder> found) {
  Forward([found](IRestoreObserver* t) { t->OnVersionsFound(found); }, true);
}
void CRestoreRelay::OnFolderListed(CVersionFolder* folder, std::shared_ptr<CVersionFolder> listed,
                                   const std::string& failure) {
  Forward([folder, listed,
           failure](IRestoreObserver* t) { t->OnFolderListed(folder, listed, failure); },
          true);
}
void CRestoreRelay::OnChoicesProgress(uint64_t folders, uint64_t files) {
  Forward([folders, files](IRestoreObserver* t) { t->OnChoicesProgress(folders, files); }, false);
}
void CRestoreRelay::OnChoicesCollected(std::shared_ptr<std::vector<RestoreChoice>> choices,
                                       const std::string& failure, uint64_t leftOut) {
  Forward([choices, failure,
           leftOut](IRestoreObserver* t) { t->OnChoicesCollected(choices, failure, leftOut); },
          true);
}
void CRestoreRelay::OnFileFailed(const std::string& file, const std::string& reason) {
  Forward([file, reason](IRestoreObserver* t) { t->OnFileFailed(file, reason); }, true);
}
void CRestoreRelay::OnFileProgress(const RestoreProgress& progress) {
  Forward([progress](IRestoreObserver* t) { t->OnFileProgress(progress); }, true);
}
void CRestoreRelay::OnFilePart(const RestoreProgress& progress) {
  Forward([progress](IRestoreObserver* t) { t->OnFilePart(progress); }, false);
}
void CRestoreRelay::OnRestoreFinished() {
  Forward([](IRestoreObserver* t) { t->OnRestoreFinished(); }, false);
}
void CRestoreRelay::OnRestoreFailed() {
  Forward([](IRestoreObserver* t) { t->OnRestoreFailed(); }, false);
}
void CRestoreRelay::OnMessageBox(const std::string& text) {
  Forward([text](IRestoreObserver* t) { t->OnMessageBox(text); }, true);
}
void CRestoreRelay::OnTrace(const std::string& text) {
  Forward([text](IRestoreObserver* t) { t->OnTrace(text); }, false);
}

namespace {
std::atomic<int> g_discarding{0};
}

void DiscardRestoreJob(std::unique_ptr<CRestoreThread> job, std::unique_ptr<CRestoreRelay> relay) {
  // Stopped before it is released, so a job held in a callback ends at its
  // next step.
  if (job) job->Stop();
  if (relay) relay->Detach();
  if (!job) return;
  if (job->HasEnded()) return;  // joins at once on destruction
  g_discarding.fetch_add(1);
  // The job's destructor joins its thread; the relay must outlive the job.
  std::thread([job = std::move(job), relay = std::move(relay)]() mutable {
    job.reset();
    relay.reset();
    g_discarding.fetch_sub(1);
  }).detach();
}

int DiscardedRestoreJobsRunning() { return g_discarding.load(); }
