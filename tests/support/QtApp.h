// The one QApplication of a Qt test binary, made on first use (offscreen
// unless the environment says otherwise).
#pragma once
#include <QApplication>
#include <cstdlib>

namespace bvtest {

inline QApplication* App() {
  static int argc = 1;
  static char name[] = "bv-test";
  static char* argv[] = {name, nullptr};
  if (QApplication* app = qobject_cast<QApplication*>(QCoreApplication::instance())) return app;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  return new QApplication(argc, argv);
}

}  // namespace bvtest
