#include <QApplication>
#include <string>

#include "app/gui/CBrevantoApp.h"
#include "app/gui/StartMode.h"

int main(int argc, char** argv) {
  // Taken before QApplication removes the options it understands.
  const std::string commandLine = JoinCommandLine(argc, argv);
  QApplication qapp(argc, argv);
  CBrevantoApp app(commandLine);
  int code = 0;
  if (app.InitInstance()) code = QApplication::exec();
  const int exitCode = app.ExitInstance();
  return code != 0 ? code : exitCode;
}
