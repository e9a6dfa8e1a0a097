// The main view's plan commands from a cell's buttons and option row: back
// up now, pause or launch, delete (with or without the store), rename and
// archive.
#include "ui/main/CBrevantoView.h"

#include <mutex>
#include <string>
#include <vector>

#include "common/PlanSettings.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "engine/CTask.h"
#include "engine/CatchUpRequests.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "plans/Schedule.h"
#include "ui/main/BrevantoViewParts.h"
#include "ui/main/CPlanCell.h"
#include "ui/main/StoreRemoval.h"
#include "ui/widgets/AppMessage.h"
#include "ui/widgets/CDlgSureMessage.h"
#include "ui/widgets/TextFormat.h"

using view_parts::Main;
using view_parts::Q;

void CBrevantoView::BackUpNow(uint32_t id) {
  CPlan* plan = PlanList::Instance().Find(id);
  if (plan == nullptr) return;
  const bool wasEnabled = plan->Enabled();
  if (!wasEnabled) plan->SetEnabled(true, 0);
  // A continuous plan copies changes as they come: now it also looks
  // through its folders for what it may have missed, and copies that.
  if (plan->ScheduleUnit() == kUnitContinuous) catchup::Request(id, "backup-now");
  {
    std::lock_guard<std::recursive_mutex> lock(plan->Lock());
    if (CSimpleTask* task = plan->Task()) task->SetForced(true);
  }
  if (!wasEnabled && plan->ScheduleUnit() != kUnitManual) plan->Save();
  Refresh();
}

void CBrevantoView::PauseOrLaunch(uint32_t id) {
  CPlan* plan = PlanList::Instance().Find(id);
  if (plan == nullptr) return;
  if (plan->ScheduleUnit() == kUnitManual && plan->Mode() != kModeWorking) {
    BackUpNow(id);
    return;
  }
  plan->SetEnabled(!plan->Enabled(), 0);
  bool available = false;
  {
    std::lock_guard<std::recursive_mutex> lock(plan->Lock());
    CDestination* dest = plan->Destination();
    available = dest != nullptr && dest->IsAvailable();
  }
  // A server that refused the plan (its key, its encryption) answers: the
  // card's own action leads to it, and the toggle only pauses or launches.
  auto it = plans_.find(id);
  const bool refused = it != plans_.end() && it->second.serverRefused != 0 &&
                       it->second.serverRefused != kEvServerUnreachable;
  if (available || refused) {
    plan->Save();
  } else {
    emit destinationStepRequested(id);
  }
  Refresh();
}

void CBrevantoView::DeletePlan(uint32_t id) {
  auto it = plans_.find(id);
  if (it == plans_.end() || deleting_.count(id)) return;
  const PlanSnapshot snap = it->second.snap;
  const bool offerStore =
      snap.hasDestination && snap.available && !IsServerStorage(snap.storageType);
  PlanList& list = PlanList::Instance();
  // Plans sharing the store keep their files, and the question says so.
  std::string message = FormatText(GetText("MAIN_UI", "SURE_DELETE_PLAN"), {snap.name});
  std::vector<std::string> sharing;
  for (uint32_t other : list.SharingStore(id)) {
    if (const CPlan* plan = list.Find(other)) sharing.push_back("\"" + plan->Name() + "\"");
  }
  if (offerStore && !sharing.empty()) {
    std::string names;
    for (const std::string& name : sharing) names += (names.empty() ? "" : ", ") + name;
    message += "\n\n" + FormatText(GetText("MAIN_UI", "DELETE_SHARED_STORE"), {names});
  }
  CDlgSureMessage question(Q(message), offerStore ? Main("DELETE_BACKUP_FILES") : QString(),
                           Main("BUTTON_DELETE"), Main("BUTTON_CANCEL"), this);
  if (question.Ask() != CDlgSureMessage::kOk) return;
  if (list.Find(id) == nullptr) return;  // gone while the question was up

  PendingDelete request;
  request.removeStore = offerStore && question.Checked();
  request.storeRoot = snap.root;
  RemoveCell(id);
  if (worker_.IsReading(id)) {
    deleting_[id] = request;  // finished when the journal job is done
    return;
  }
  FinishDelete(id, request);
}

void CBrevantoView::FinishDelete(uint32_t id, const PendingDelete& request) {
  deleting_.erase(id);
  plans_.erase(id);
  // Unlisting shuts the plan down: its thread is told to stop and the plan
  // goes with it; the plan folder is deleted. Its journal is kept for the
  // removal of its files, which leaves the files of plans sharing the store.
  StoreRemoval removal;
  if (request.removeStore) {
    removal.storeRoot = request.storeRoot;
    removal.planId = id;
    removal.journalFolder = GetDataFolder() + "PLAN\\" + std::to_string(id) + ".removing";
    for (uint32_t other : PlanList::Instance().SharingStore(id))
      removal.otherRuleFiles.push_back(GetPlanFolder(other) + "IncExc.ini");
  }
  PlanList::Instance().DeletePlan(id, removal.journalFolder);
  if (request.removeStore) worker_.RemoveStore(std::move(removal));
  emit planDeleted(id);
  Refresh();
}

void CBrevantoView::FinishDeferredDeletes() {
  std::vector<std::pair<uint32_t, PendingDelete>> ready;
  for (const auto& [id, request] : deleting_) {
    if (!worker_.IsReading(id)) ready.emplace_back(id, request);
  }
  for (const auto& [id, request] : ready) FinishDelete(id, request);
}

void CBrevantoView::RenamePlan(uint32_t id, const QString& name) {
  PlanList& list = PlanList::Instance();
  CPlan* plan = list.Find(id);
  if (plan == nullptr) return;
  const std::string wanted = name.trimmed().toStdString();
  if (wanted.empty() || wanted == plan->Name()) {
    Refresh();
    return;
  }
  if (list.FindByName(wanted, plan) != nullptr) {
    ShowAppMessage(FormatText(GetText("MAIN_UI", "RENAME_NAME_TAKEN"), {wanted}),
                   QMessageBox::Warning);
  } else if (plan->SetName(wanted)) {
    plan->Save();
  }
  Refresh();
}

void CBrevantoView::ArchivePlan(uint32_t id) {
  auto it = plans_.find(id);
  if (it == plans_.end()) return;
  if (IsServerStorage(it->second.snap.storageType)) {
    ShowAppMessage(GetText("MAIN_UI", it->second.snap.storageType == kStorageFtp
                                          ? "CAN_NOT_ARCHIVE_FTP"
                                          : "CAN_NOT_ARCHIVE_OBJECT_STORE"),
                   QMessageBox::Information);
    return;
  }
  emit archiveRequested(id);
}

void CBrevantoView::MakeRoomFor(uint32_t id) {
  CPlan* plan = PlanList::Instance().Find(id);
  if (plan == nullptr) return;
  plan->SetMakeRoom(true);
  plan->SavePlanFile();
  Refresh();
}
