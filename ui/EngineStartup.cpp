#include "ui/EngineStartup.h"

#include "app/Settings.h"
#include "engine/ActivityLog.h"

void RunEngineStartup() {
  // 1. Activity log files go to "log" in the data folder (created here).
  CLogSet::Instance().SetLogFolder(GetDataFolder() + "log");

  // 2. The table of built-in sources is built here once plan sources exist.

  // 3. The change monitor starts here once it exists; when it cannot start,
  //    "FAILED_TO_INIT_DRIVER" (MAIN_UI) is shown and the process ends with 0.

  // 4. Here the plan list's change dispatch starts and subscribes to the
  //    monitor's "NewFile" channel, the predefined plans are installed, and
  //    "plans.ini" is loaded, enabling every enabled plan that is not manual.
}
