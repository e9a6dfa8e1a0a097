// How the main window comes up: the silent-start flag of the command line and
// the choice between showing, hiding and the first-use routine.
#pragma once
#include <string>
#include <string_view>

// The command line as one string: arguments joined by blanks, an argument
// holding a blank (or empty) enclosed in double quotes.
std::string JoinCommandLine(int argc, const char* const* argv);

// What "--help" (or "-h") and "--version" ask for, answered without a window:
// the text to print, empty when the command line asks for neither.
std::string CommandLineAnswer(int argc, const char* const* argv, std::string_view version);

// Silent when the whole command line ends with the two characters "-s".
bool IsSilentCommandLine(std::string_view commandLine);

// Number of backup plans in the plan list (loaded by the engine start-up).
int PlanCount();

enum class StartWindow {
  kShow,          // show the main window
  kShowFirstUse,  // show it and run the first-use routine (no plan exists)
  kHide,          // keep it hidden: the program lives in the notification area
};
// runOnce is the value of General/RunOnce as read at this start (before it is
// cleared): not 0 on the first start after installation. setAside: plans this
// start could not load; without plans the window then shows what was said
// about them rather than the first-use routine of a fresh install.
StartWindow DecideStartWindow(bool silent, int runOnce, int planCount, int setAside = 0);
