// The wizard's last step: a new plan made from the answers, or a plan
// changed to them (stopped first, then given its new settings and rules).
#include "ui/wizard/WizardAnswers.h"

#include <memory>
#include <mutex>

#include "destinations/DestinationFactory.h"
#include "destinations/StoreBinding.h"
#include "engine/CTask.h"
#include "engine/PlanList.h"
#include "plans/BuiltinExclusions.h"
#include "plans/CPlan.h"
#include "plans/RuleSet.h"
#include "plans/Schedule.h"
#include "platform/base/Text.h"
#include "platform/profile/Profile.h"

namespace {

// A fresh rule set from the answers plus the built-in exclusions.
std::unique_ptr<CRuleSet> RulesFromAnswers(const std::string& ini,
                                           const std::vector<ExtensionCategory>& extensions) {
  const SourceAnswers answers = ReadSourceAnswers(ini, extensions);
  auto rules = std::make_unique<CRuleSet>();
  BuildRulesFromWizard(rules.get(), answers.folders, answers.masks, answers.web);
  AddBuiltinExclusions(rules.get());
  return rules;
}

// The first backup at once: enabled, the task asked to run. "Last backup"
// stays as it is until a copy succeeds.
void RunNow(CPlan* plan) {
  if (!plan->Enabled()) plan->SetEnabled(true, 0);
  std::lock_guard<std::recursive_mutex> lock(plan->Lock());
  if (CSimpleTask* task = plan->Task()) task->SetForced(true);
}

}  // namespace

CPlan* FinishNewPlan(PlanList& list, const std::string& workingFile,
                     const std::vector<ExtensionCategory>& extensions,
                     const std::string& objectSecret) {
  NormaliseAnswers(workingFile);
  PlanSettings s;
  if (!SettingsFromAnswers(workingFile, &s)) return nullptr;
  s.objectStore.secretKey = objectSecret;
  CPlan* plan = list.CreatePlan(s);
  if (plan == nullptr) return nullptr;
  CommitAnswers(workingFile, plan->Id());
  const std::string ini = plan->GetPlanFolder() + "UI.ini";
  if (const std::string earlier = ReadContinuedStore(ini);
      !earlier.empty() && plan->StorageType() == kStorageObject)
    ContinueEarlierStore(plan->GetPlanFolder(), plan->DestinationRoot(), earlier);

  plan->SetStopping(true);
  plan->ReplaceRules(RulesFromAnswers(ini, extensions));
  // Cleared before the plan starts, so its first scan does not end at once.
  plan->SetStopping(false);
  plan->SetBackupTime(ReadWizardBackupTime(ini));
  if (plat::GetProfileInt(ini, wiz::kWhenSection, "DoInitBackup", 0) != 0)
    RunNow(plan);
  else if (plan->ScheduleUnit() != kUnitManual)
    plan->SetEnabled(true, 0);
  plan->Save();
  return plan;
}

PlanChange BeginPlanChange(CPlan* plan) {
  PlanChange change;
  change.id = plan->Id();
  change.wasEnabled = plan->Enabled();
  change.oldRoot = plan->DestinationRoot();
  change.oldType = plan->StorageType();
  if (change.wasEnabled) {
    plan->SetStopping(true);
    plan->SetEnabled(false, 0);
  }
  std::lock_guard<std::recursive_mutex> lock(plan->Lock());
  if (CDestination* dest = plan->Destination()) dest->Close();
  return change;
}

bool CompletePlanChange(PlanList& list, CPlan* plan, const PlanChange& change,
                        const std::string& workingFile,
                        const std::vector<ExtensionCategory>& extensions, bool honourInitBackup,
                        const std::string& objectSecret) {
  NormaliseAnswers(workingFile);
  PlanSettings s;
  bool ok = SettingsFromAnswers(workingFile, &s);
  s.objectStore.secretKey = objectSecret;
  // A storage type without a destination class would leave the plan with none.
  if (ok && !CreateDestination(nullptr, s.storageType)) ok = false;
  if (ok && list.FindByName(plat::TrimSpace(s.name), plan) != nullptr) ok = false;
  CommitAnswers(workingFile, change.id);
  if (ok) {
    const PlanSettings old = plan->Settings();
    s.id = old.id;
    s.lastTime = old.lastTime;
    s.missingTime = old.missingTime;
    s.lastBackupTime = old.lastBackupTime;
    s.initialScanDone = old.initialScanDone;
    s.makeRoom = old.makeRoom;  // chosen on the card, not in the wizard
    plan->SetStopping(true);
    ok = plan->ApplySettings(s, kApplyReapply);
    if (ok) {
      const std::string ini = plan->GetPlanFolder() + "UI.ini";
      plan->ReplaceRules(RulesFromAnswers(ini, extensions));
      plan->SetBackupTime(ReadWizardBackupTime(ini));
    }
  }
  plan->SetStopping(false);
  if (change.wasEnabled) {
    plan->SetEnabled(true, 0);
    const std::string ini = plan->GetPlanFolder() + "UI.ini";
    if (ok && honourInitBackup && plat::GetProfileInt(ini, wiz::kWhenSection, "DoInitBackup", 0))
      RunNow(plan);
  }
  plan->Save();
  if (plan->DestinationRoot() != change.oldRoot || plan->StorageType() != change.oldType)
    list.RebuildSameDestinationLinks();
  return ok;
}
