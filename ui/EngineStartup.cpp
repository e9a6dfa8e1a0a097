#include "ui/EngineStartup.h"

#include <mutex>
#include <vector>

#include "app/Settings.h"
#include "engine/ActivityLog.h"
#include "plans/CPlan.h"
#include "plans/PlanList.h"
#include "plans/PlanSources.h"

void RunEngineStartup() {
  // 1. Activity log files go to "log" in the data folder (created here).
  CLogSet::Instance().SetLogFolder(GetDataFolder() + "log");

  // 2. The table of built-in sources (mail, browser, messenger and user
  //    folders of this machine).
  BuildBuiltinSources();

  // 3. The change monitor starts here once it exists; when it cannot start,
  //    "FAILED_TO_INIT_DRIVER" (MAIN_UI) is shown and the process ends with 0.
  //    The plan list's change dispatch then starts and subscribes to the
  //    monitor's "NewFile" channel.

  // 4. Every plan of "plans.ini". Installed plans without a destination get
  //    their default one while they load; each enabled plan that is not
  //    manual is enabled, which starts its working thread.
  PlanList::Instance().LoadAllPlans();
}

void StopEngine() {
  PlanList& list = PlanList::Instance();
  std::vector<CPlan*> plans;
  {
    std::lock_guard<std::recursive_mutex> g(list.Lock());
    for (size_t i = 0; i < list.Count(); ++i) plans.push_back(list.At(i));
  }
  // Waited for without the list's lock: a working thread may need it to end
  // its step. Plans are deleted on the UI thread only, so the pointers hold.
  for (CPlan* plan : plans) plan->StopAndWait();
}
