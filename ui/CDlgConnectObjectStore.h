// The wizard's object storage connection test: on a worker thread, a
// throw-away destination lists the bucket, then writes, reads back and
// deletes a probe object, while a timer reads the result. The answer names
// the step that failed and why (keys, bucket, clock, certificate,
// reachability). The worker shares only a small state record, so a dialog
// closed meanwhile leaves it to end on its own (bounded by the time-out).
#pragma once
#include <QDialog>
#include <memory>

#include "common/PlanSettings.h"

class QLabel;
class QPushButton;
class QTimer;

class CDlgConnectObjectStore : public QDialog {
  Q_OBJECT
 public:
  explicit CDlgConnectObjectStore(const ObjectStoreSettings& settings, QWidget* parent = nullptr);
  ~CDlgConnectObjectStore() override;

  bool Finished() const { return finished_; }
  bool Succeeded() const { return succeeded_; }
  QLabel* Message() const { return message_; }

  struct State;

 private:
  void OnTick();

  std::shared_ptr<State> state_;
  QTimer* timer_;
  QLabel* message_;
  QPushButton* button_;
  bool finished_ = false;
  bool succeeded_ = false;
};
