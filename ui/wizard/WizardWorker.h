// Work of the plan wizard that may wait (listing folders, reading the drive
// table and free space, choosing default destinations): each job runs on a
// thread of its own and hands back a function that runs on the UI thread.
// When the worker is gone by then, that function is dropped; the jobs
// themselves must capture values only, never the windows.
#pragma once
#include <QObject>
#include <functional>
#include <memory>
#include <mutex>

class CWizardWorker : public QObject {
  Q_OBJECT
 public:
  explicit CWizardWorker(QObject* parent = nullptr);
  // Does not wait: running jobs finish on their own and their results are dropped.
  ~CWizardWorker() override;

  // job runs on a new thread; the function it returns runs on the UI thread.
  void Run(std::function<std::function<void()>()> job);
  // Jobs started and not yet delivered.
  int Pending() const { return pending_; }

 signals:
  void jobFinished();

 private:
  struct Shared {
    std::mutex lock;  // guards target
    CWizardWorker* target = nullptr;
  };
  std::shared_ptr<Shared> shared_;
  int pending_ = 0;  // UI thread only
};
