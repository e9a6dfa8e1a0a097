#include "app/gui/StartMode.h"

#include "common/Texts.h"
#include "engine/PlanList.h"
#include "ui/widgets/TextFormat.h"

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

std::string CommandLineAnswer(int argc, const char* const* argv, std::string_view version) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i] != nullptr ? argv[i] : "";
    if (arg == "--help" || arg == "-h") {
      const std::string_view path = argv[0] != nullptr ? argv[0] : "brevanto";
      const std::string name(path.substr(path.find_last_of('/') + 1));
      return FormatText(GetText("COMMAND_LINE", "USAGE"), {name, GetProductName()}) + "\n";
    }
    if (arg == "--version")
      return FormatText(GetText("COMMAND_LINE", "VERSION"),
                        {GetProductName(), std::string(version)}) +
             "\n";
  }
  return {};
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
