// The signals that ask a program to end (SIGTERM from a session's logout,
// SIGINT, SIGHUP) turned into a readable descriptor, so that the program can
// end through its own exit path on its own thread instead of dying.
#pragma once

namespace plat {

// Installs the handlers (once; later calls return the same descriptor).
// The descriptor becomes readable when one of the signals arrives; -1 when
// it cannot be made.
int CatchExitSignals();
// Reads one waiting signal from the descriptor: its number, 0 when none.
int TakeExitSignal();

}  // namespace plat
