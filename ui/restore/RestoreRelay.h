// Carries the callbacks of one restore job from the job's thread to an
// observer on the UI thread. A callback the job must wait for is queued to
// the UI thread and the job waits until it has been handled there; one that
// is only posted returns at once. Detach() cuts the relay off: callbacks
// queued but not yet handled are dropped and a waiting job is released, so
// the window can stop a job without ever waiting for it on the UI thread.
// Hold() keeps the job waiting at its next waited-for callback (pause).
#pragma once
#include <QObject>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "history/RestoreJobs.h"

class CRestoreRelay final : public IRestoreObserver {
 public:
  // context: a QObject living on the UI thread, alive until Detach();
  // target: called there.
  CRestoreRelay(QObject* context, IRestoreObserver* target);
  ~CRestoreRelay() override;
  CRestoreRelay(const CRestoreRelay&) = delete;
  CRestoreRelay& operator=(const CRestoreRelay&) = delete;

  // UI thread. After it the target is never called again.
  void Detach();
  // UI thread. While held, the job waits before its next waited-for callback.
  void Hold(bool held);
  bool Held() const;

  void OnTreeRoot(const std::shared_ptr<CDirNode>& root) override;
  void OnTreeRefresh() override;
  void OnSearchApplied(CDirNode* root) override;
  void OnShowNode(CDirNode* node) override;
  void OnSearchFinished() override;
  void OnVersionsFound(std::shared_ptr<CVersionFolder> found) override;
  void OnFolderListed(CVersionFolder* folder, std::shared_ptr<CVersionFolder> listed,
                      const std::string& failure) override;
  void OnChoicesProgress(uint64_t folders, uint64_t files) override;
  void OnChoicesCollected(std::shared_ptr<std::vector<RestoreChoice>> choices,
                          const std::string& failure, uint64_t leftOut) override;
  void OnFileFailed(const std::string& file, const std::string& reason) override;
  void OnFileProgress(const RestoreProgress& progress) override;
  void OnFilePart(const RestoreProgress& progress) override;
  void OnRestoreFinished() override;
  void OnRestoreFailed() override;
  void OnMessageBox(const std::string& text) override;
  void OnTrace(const std::string& text) override;

 private:
  // Shared with the queued calls, which may outlive the relay.
  struct Shared {
    mutable std::mutex lock;  // guards every field below
    std::condition_variable changed;
    IRestoreObserver* target = nullptr;  // null once detached
    bool held = false;
    uint64_t queued = 0;   // waited-for calls queued so far
    uint64_t handled = 0;  // ... and handled (or dropped)
  };
  // Job thread: runs call(target) on the UI thread; waits for it when wait.
  void Forward(std::function<void(IRestoreObserver*)> call, bool wait);

  std::shared_ptr<Shared> shared_;
  QObject* const context_;  // outlives the relay's attached time
};

// Lets go of a job the window no longer wants: detaches its relay, stops it
// and, when its thread has not ended yet, leaves the waiting for it to a
// thread of its own, so the UI thread never waits for a job.
void DiscardRestoreJob(std::unique_ptr<CRestoreThread> job, std::unique_ptr<CRestoreRelay> relay);
// Discarded jobs whose threads are still ending.
int DiscardedRestoreJobsRunning();
