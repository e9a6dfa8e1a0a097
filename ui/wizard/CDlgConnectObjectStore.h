// The wizard's object storage connection test: on a worker thread, a
// throw-away destination lists the bucket, looks whose store the folder
// holds (or lies in, or holds below), and only in a folder free for the plan
// writes, reads back and deletes a probe object, while a timer reads the
// result. Another installation's or plan's store, any other store the plan
// would be refused (named by the folder found, above or below it too), or a
// look that failed is said in the wizard's own words. The answer names
// the step that failed and why (keys, bucket, clock, certificate,
// reachability). The worker shares only a small state record, so a dialog
// closed meanwhile leaves it to end on its own (bounded by the time-out).
// A certificate no authority vouches for (or whose key is not the pinned
// one) shows the key it holds, and the user is asked whether to trust it;
// when they do, the test runs again with that key pinned (AcceptedKey()).
// A store this installation made at the place that no plan records (a plan
// deleted and set up again) is said, and the user chooses to continue it
// with the new plan (ContinuedStore()) or to choose another folder.
#pragma once
#include <QDialog>
#include <functional>
#include <memory>
#include <string>

#include "common/PlanSettings.h"

class QLabel;
class QPushButton;
class QTimer;

class CDlgConnectObjectStore : public QDialog {
  Q_OBJECT
 public:
  // planFolder: the plan changed (its folder), "" for a new plan.
  explicit CDlgConnectObjectStore(const ObjectStoreSettings& settings, QWidget* parent = nullptr,
                                  const std::string& planFolder = "");
  ~CDlgConnectObjectStore() override;

  bool Finished() const { return finished_; }
  bool Succeeded() const { return succeeded_; }
  // The folder is one a plan cannot use (a store found there, above or
  // below it, or an earlier plan's store not continued).
  bool Refused() const { return refused_; }
  QLabel* Message() const { return message_; }
  // The question whether to trust a key (true: trust it); a message box
  // unless replaced.
  void SetTrustQuestion(std::function<bool(const QString&)> ask) { trust_ = std::move(ask); }
  // The key the user chose to trust in this dialog; empty when none.
  const std::string& AcceptedKey() const { return acceptedKey_; }
  // The choice whether the new plan continues the store an earlier plan
  // made at the place (true: continue it); two buttons unless replaced;
  // none (never continued, as for a plan changed) when null.
  void SetContinueQuestion(std::function<bool(const QString&)> ask) { continue_ = std::move(ask); }
  // The identifier of the store the user chose to continue; empty when none.
  const std::string& ContinuedStore() const { return continuedStore_; }

  struct State;

 private:
  void OnTick();
  void StartWorker();
  // Shows text in the message, the window sized to hold all of it.
  void ShowText(const QString& text);

  ObjectStoreSettings settings_;
  std::string planFolder_;
  std::function<bool(const QString&)> trust_;
  std::function<bool(const QString&)> continue_;
  std::string acceptedKey_;
  std::string continuedStore_;
  std::shared_ptr<State> state_;
  QTimer* timer_;
  QLabel* message_;
  QPushButton* button_;
  bool finished_ = false;
  bool succeeded_ = false;
  bool refused_ = false;
};
