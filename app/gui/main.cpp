#include <QApplication>
#include <cstdio>
#include <string>

#include "app/gui/CBrevantoApp.h"
#include "app/gui/StartMode.h"

int main(int argc, char** argv) {
  // Asked how to start it: answered on the terminal, no window.
  if (const std::string answer = CommandLineAnswer(argc, argv, BV_VERSION); !answer.empty()) {
    std::fputs(answer.c_str(), stdout);
    return 0;
  }
  // Taken before QApplication removes the options it understands.
  const std::string commandLine = JoinCommandLine(argc, argv);
  QApplication qapp(argc, argv);
  CBrevantoApp app(commandLine);
  int code = 0;
  if (app.InitInstance()) code = QApplication::exec();
  const int exitCode = app.ExitInstance();
  return code != 0 ? code : exitCode;
}
