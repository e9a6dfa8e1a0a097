// Brings up the backup machinery before the main window is first shown (run
// by the main view's constructor), and stops it in order at exit.
#pragma once

void RunEngineStartup();

// Stops every plan's working thread and waits for it, so that no thread is
// left running into the destruction of the process-wide objects (channels,
// log set, plan list). Runs at exit processing; a second call does nothing.
void StopEngine();
