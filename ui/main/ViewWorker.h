// Work of the main view that may wait: counting the files that wait in plan
// journals, measuring destination free space, removing a deleted plan's
// files from its store. Each job runs on a thread of its own; its result comes back to the
// UI thread as a queued call and is emitted from there.
//
// A journal job never waits for a journal: when a backup walk holds the
// journal's lock it skips that journal (ok false). The view must not delete a
// plan while a journal job reads it (IsReading).
#pragma once
#include <QObject>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ui/main/StoreRemoval.h"

class CLoggingDatabase;

struct JournalRequest {
  uint32_t id = 0;
  CLoggingDatabase* db = nullptr;  // stays valid while the job runs (see IsReading)
};

struct JournalCount {
  uint32_t id = 0;
  bool ok = false;  // false: the journal was busy or unreadable
  uint64_t pending = 0;
};

class CViewWorker : public QObject {
  Q_OBJECT
 public:
  explicit CViewWorker(QObject* parent = nullptr);
  // Waits for running journal jobs (they never wait on a busy journal), and
  // for a while for space and removal jobs; their results are dropped.
  ~CViewWorker() override;

  // Counts each journal's pending paths, failed files that wait for their
  // next try included. With distinct, also the number of
  // different paths over all journals.
  void CountPending(std::vector<JournalRequest> requests, int tag, bool distinct);
  // Free and total bytes of the volume that holds the path.
  void MeasureSpace(uint32_t id, std::string path, int tag);
  // Bytes the revisions of a local store take (below root + "Revision\").
  void MeasureRevisions(uint32_t id, std::string root);
  // A deleted plan's files in its store (ui/main/StoreRemoval.h).
  void RemoveStore(StoreRemoval what);

  // True while a journal job reads the plan's journal.
  bool IsReading(uint32_t id) const;
  int RunningJobs() const;

 signals:
  void pendingCounted(int tag, const std::vector<JournalCount>& counts, uint64_t distinct);
  void spaceMeasured(int tag, uint32_t id, bool ok, uint64_t freeBytes, uint64_t totalBytes);
  void storeRemoved(const QString& storeRoot, bool ok);
  void revisionsMeasured(uint32_t id, const QString& root, uint64_t bytes);
  // After each result of any kind has been emitted.
  void jobFinished();

 private:
  // Shared with the job threads; outlives the worker while jobs run.
  struct Shared {
    std::mutex lock;  // guards target, journalJobs, running
    std::condition_variable idle;
    CViewWorker* target = nullptr;  // null once the worker is gone
    int journalJobs = 0;
    int running = 0;
  };
  void Launch(bool journal, std::function<std::function<void()>()> job);

  std::shared_ptr<Shared> shared_;
  std::map<uint32_t, int> reading_;  // UI thread only: journal jobs per plan
};
