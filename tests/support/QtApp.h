// The one QApplication of a Qt test binary (offscreen by default), and a wait that runs it.
#pragma once
#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <cstdlib>
#include <functional>

namespace bvtest {

inline QApplication* App() {
  static int argc = 1;
  static char name[] = "bv-test";
  static char* argv[] = {name, nullptr};
  if (QApplication* app = qobject_cast<QApplication*>(QCoreApplication::instance())) return app;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  return new QApplication(argc, argv);
}

// Runs the event loop until done() holds; the limit only guards against a hang.
inline bool RunUntil(const std::function<bool()>& done, int limitMs = 60000) {
  if (done()) return true;
  QEventLoop loop;
  QTimer poll;
  bool met = false;  // a state that holds for a moment counts once seen
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (done()) {
      met = true;
      loop.quit();
    }
  });
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
  poll.start(10);
  guard.start(limitMs);
  loop.exec();
  return met || done();
}

}  // namespace bvtest
