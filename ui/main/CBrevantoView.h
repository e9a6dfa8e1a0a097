// The main view inside the main frame: the list of plan cells, the add-plan
// button, the engine-event pump (its 100 ms timer) and the periodic checks
// (free space on the destinations, plans that only record changes).
//
// Nothing here waits on the UI thread: plan fields are copied under try-locks
// (a busy plan keeps its older copy), and journal counts, free-space queries
// and store removal run on CViewWorker.
#pragma once
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/RunFile.h"
#include "ui/main/EventPump.h"
#include "ui/main/PlanProblem.h"
#include "ui/main/ViewWorker.h"
#include "ui/model/PlanSnapshot.h"

class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;
class CPlanCell;
struct CellContent;

class CBrevantoView : public QWidget {
  Q_OBJECT
 public:
  // Kinds of pop-up messages.
  enum MessageKind { kWarning = 0, kInformation = 1, kError = 2 };

  // Runs the engine start-up routine before any widget is built.
  explicit CBrevantoView(QWidget* parent = nullptr);
  ~CBrevantoView() override;

  // Drains the engine events; the view itself listens to its eventArrived.
  CEventPump* EventPump() { return &pump_; }
  CViewWorker* Worker() { return &worker_; }

  // Rebuilds the cells from fresh snapshots, in the order of the plan list.
  void Refresh();
  // Asks the worker for every plan's count of waiting files (timer 5).
  void RefreshPendingCounts();
  // The recording-only check, then the destination space check (timers 4, 3).
  void RunPeriodicChecks();

  // The plan commands (the cells' buttons call these).
  void BackUpNow(uint32_t id);
  void PauseOrLaunch(uint32_t id);
  // Asks first; then removes the plan and, when asked, its store.
  void DeletePlan(uint32_t id);
  void RenamePlan(uint32_t id, const QString& name);
  void ArchivePlan(uint32_t id);
  // Lets the plan remove the oldest versions of its store when the disk is
  // full (the card's and the pop-up's offer); saved in its "Plan.ini".
  void MakeRoomFor(uint32_t id);

  // The plans that cannot copy now and why, in list order.
  struct ProblemEntry {
    uint32_t id = 0;
    std::string name;
    PlanProblem problem;
  };
  std::vector<ProblemEntry> Problems() const;

  CPlanCell* Cell(uint32_t id) const;
  // Identifiers of the cells shown, top to bottom.
  std::vector<uint32_t> CellIds() const;
  QPushButton* AddPlanButton() const { return addPlan_; }
  QPushButton* HelpButton() const { return help_; }

 signals:
  void addPlanRequested();
  void editPlanRequested(uint32_t id);
  void restoreRequested(uint32_t id);
  void archiveRequested(uint32_t id);
  // Pause or launch of a plan whose destination is unavailable: the wizard's
  // destination step is to open for the plan.
  void destinationStepRequested(uint32_t id);
  // A pop-up message for the notification area (MessageKind).
  void messageRequested(const QString& text, int kind);
  // A pop-up (MessageKind) that offers the plan to make room (MakeRoomFor).
  void makeRoomOffered(const QString& text, int kind, uint32_t id);
  // The plan is gone from the plan list.
  void planDeleted(uint32_t id);
  // A plan's problem began, changed or ended (Problems() says what is now).
  void problemsChanged();
  // A store removal asked for by a delete has ended.
  void storeRemovalFinished(const QString& storeRoot, bool ok);

 private:
  // What the view keeps per plan (UI thread only).
  struct PlanState {
    PlanSnapshot snap;
    SpaceFigures space;
    bool measuring = false;
    bool remeasure = false;
    bool revisionsKnown = false;  // revisionBytes measured for snap.root
    uint64_t revisionBytes = 0;
    std::string revisionsRoot;      // the store the last walk was asked for
    uint64_t revisionsAskedMs = 0;  // when (monotonic ms)
    uint64_t revisionsNextMs = 0;   // the next may start then; UINT64_MAX while one runs
    bool pendingKnown = false;
    uint64_t pending = 0;
    int blocked = -1;  // -1 not known yet, 0 copying, 1 recording only, 2 its cause not known yet
    PlanProblem problem;
    // The event that said its server was not used (key changed or not
    // trusted yet, no encryption; kEvServerUnreachable: the login refused),
    // 0 for none; until a copy succeeds or the server is reached.
    int32_t serverRefused = 0;
    // Why its store was refused where it lies (the engine's words), "" for
    // none; until a copy succeeds or the store is reached.
    std::string storeRefusal;
    bool seenRead = false;
    AwayState seen;  // what "run.ini" said of the destination (a plan without a task)
  };
  struct PendingDelete {
    bool removeStore = false;
    std::string storeRoot;
  };
  struct LoggingReport {
    std::vector<std::string> names;
    int64_t days = 0;
  };

  void BuildWidgets();
  void StartTimers();
  void OnEngineEvent(const EventData& event);
  void OnDrained();
  CellContent ContentFor(const PlanState& state, bool onBattery) const;
  void UpdateCells();
  void Measure(uint32_t id, const PlanState& state, int tag);
  // The walk of the store's versions, for a window the user sees, spending at
  // most about 1 % of the time walking.
  void MeasureRevisions(uint32_t id, PlanState* state);
  void showEvent(QShowEvent* event) override;
  void TrackBlockedStates(bool onBattery);
  // Each plan's problem from its snapshot; problemsChanged when one changed.
  void UpdateProblems();
  void OnPendingCounted(int tag, const std::vector<JournalCount>& counts, uint64_t distinct);
  void OnSpaceMeasured(int tag, uint32_t id, bool ok, uint64_t freeBytes, uint64_t totalBytes);
  void OnRevisionsMeasured(uint32_t id, const QString& root, uint64_t bytes);
  void FinishDelete(uint32_t id, const PendingDelete& request);
  void FinishDeferredDeletes();
  void RemoveCell(uint32_t id);
  std::vector<JournalRequest> JournalRequests(const std::vector<uint32_t>& ids) const;

  // Built before the engine starts, so the events of start-up are queued.
  CEventPump pump_;
  CViewWorker worker_;
  std::map<uint32_t, PlanState> plans_;
  std::map<uint32_t, CPlanCell*> cells_;
  std::vector<uint32_t> order_;
  std::map<uint32_t, PendingDelete> deleting_;
  std::map<int, LoggingReport> loggingReports_;
  int nextTag_ = 100;
  size_t problemCount_ = 0;  // problems when problemsChanged was last emitted
  bool dirty_ = false;
  bool recountWanted_ = false;

  QTimer checkDelayTimer_;  // timer 4: once, then the daily checks start
  QTimer checkTimer_;       // timer 3
  QTimer pendingTimer_;     // timer 5
  QTimer refreshTimer_;     // keeps times, power and availability current
  QTimer recountTimer_;     // a recount soon after journal changes, at most one waiting

  QPushButton* addPlan_ = nullptr;
  QPushButton* help_ = nullptr;
  QScrollArea* scroll_ = nullptr;
  QWidget* list_ = nullptr;
  QVBoxLayout* listLayout_ = nullptr;
  QWidget* empty_ = nullptr;
};
