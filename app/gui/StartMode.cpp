#include "app/gui/StartMode.h"

#include "engine/PlanList.h"

std::string JoinCommandLine(int argc, const char* const* argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    std::string_view arg = argv[i] != nullptr ? argv[i] : "";
    if (i > 0) line += ' ';
    if (arg.empty() || arg.find_first_of(" \t") != std::string_view::npos) {
      line += '"';
      line += arg;
      line += '"';
    } else {
      line += arg;
    }
  }
  return line;
}

bool IsSilentCommandLine(std::string_view commandLine) {
  return commandLine.size() >= 2 && commandLine.substr(commandLine.size() - 2) == "-s";
}

int PlanCount() { return static_cast<int>(PlanList::Instance().Count()); }

StartWindow DecideStartWindow(bool silent, int runOnce, int planCount, int setAside) {
  if (planCount <= 0) return setAside > 0 ? StartWindow::kShow : StartWindow::kShowFirstUse;
  if (silent && runOnce == 0) return StartWindow::kHide;
  return StartWindow::kShow;
}
