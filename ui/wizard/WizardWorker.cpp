#include "ui/wizard/WizardWorker.h"

#include <QMetaObject>
#include <thread>

CWizardWorker::CWizardWorker(QObject* parent)
    : QObject(parent), shared_(std::make_shared<Shared>()) {
  shared_->target = this;
}

CWizardWorker::~CWizardWorker() {
  std::lock_guard<std::mutex> g(shared_->lock);
  shared_->target = nullptr;
}

void CWizardWorker::Run(std::function<std::function<void()>()> job) {
  ++pending_;
  std::thread([shared = shared_, job = std::move(job)] {
    std::function<void()> done = job();
    std::lock_guard<std::mutex> g(shared->lock);
    CWizardWorker* target = shared->target;
    if (target == nullptr) return;
    // Posted while the lock keeps the worker alive; a worker deleted before
    // the call runs takes its posted calls with it.
    QMetaObject::invokeMethod(
        target,
        [target, done = std::move(done)] {
          --target->pending_;
          if (done) done();
          emit target->jobFinished();
        },
        Qt::QueuedConnection);
  }).detach();
}
