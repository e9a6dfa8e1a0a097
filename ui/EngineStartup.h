// Brings up the backup machinery before the main window is first shown; run
// by the main view's constructor.
#pragma once

void RunEngineStartup();
