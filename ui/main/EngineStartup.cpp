#include "ui/main/EngineStartup.h"

#include <cstdlib>
#include <mutex>
#include <vector>

#include "common/ActivityLog.h"
#include "common/EngineEvents.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "destinations/CUsbWindow.h"
#include "destinations/disc/DiscEngine.h"
#include "engine/CChangeMonitor.h"
#include "engine/CFileDispatchThread.h"
#include "engine/CSimpleEngine.h"
#include "engine/PlanList.h"
#include "history/RestoreLeftovers.h"
#include "plans/CPlan.h"
#include "plans/PlanSources.h"
#include "ui/widgets/AppMessage.h"
#include "ui/widgets/StartupTrace.h"

void RunEngineStartup() {
  // 1. Activity log files go to "log" in the data folder (created here).
  CLogSet::Instance().SetLogFolder(GetDataFolder() + "log");
  //    A disc image that an archiving run cut by the end of the process left
  //    part-written is no disc: it goes (said in the log).
  disc::SweepPartialImages();
  //    So is a restore's download it cut short: its temporary file goes.
  SweepRestoreLeftovers();

  // 2. The table of built-in sources (mail, browser, messenger and user
  //    folders of this machine).
  BuildBuiltinSources();

  // 3. The change monitor. Without it nothing could be protected
  //    continuously: say so and end at once, with exit code 0.
  if (CChangeMonitor::Instance().Start() != 0) {
    TraceStartup("change-monitor-failed");
    ShowAppMessage(GetText("MAIN_UI", "FAILED_TO_INIT_DRIVER"), QMessageBox::NoIcon);
    std::_Exit(0);
  }
  //    The plan list's change dispatch takes the monitor's written files.
  auto* dispatch = new CFileDispatchThread();
  Subscribe(CChangeMonitor::Instance().NewFileChannel(), dispatch);
  dispatch->Start();
  PlanList::Instance().SetDispatchThread(dispatch);

  // 4. Every plan of "plans.ini". Installed plans without a destination get
  //    their default one while they load; each enabled plan that is not
  //    manual is enabled, which starts its working thread.
  PlanList::Instance().LoadAllPlans();
}

void StopEngine() {
  // No more device-change answers: they may reach into the plans.
  StopUsbWindow();
  PlanList& list = PlanList::Instance();
  std::vector<CPlan*> plans;
  {
    std::lock_guard<std::recursive_mutex> g(list.Lock());
    for (size_t i = 0; i < list.Count(); ++i) plans.push_back(list.At(i));
  }
  // Waited for without the list's lock: a working thread may need it to end
  // its step. Plans are deleted on the UI thread only, so the pointers hold.
  for (CPlan* plan : plans) {
    plan->StopAndWait();
    // A run cut short by the stop leaves its last copy's time to be saved.
    if (CSimpleEngine* engine = plan->Engine()) engine->PersistLastBackupTime();
  }

  // No more written files: the dispatch stops (its destructor joins it)
  // before the monitor's threads.
  if (CThread* dispatch = list.DispatchThread()) {
    list.SetDispatchThread(nullptr);
    delete dispatch;
  }
  CChangeMonitor::Instance().Stop();
}
