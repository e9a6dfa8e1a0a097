// Starting the real program on a hand-written data folder, and waiting for
// what it does, for the tests that run it as a user would.
#pragma once
#include <sys/resource.h>
#include <QProcess>
#include <QThread>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/DataFolder.h"
#include "support/TempDir.h"

namespace bvtest {

// Polls until done() holds; the limit only guards against a hang.
inline bool WaitFor(const std::function<bool()>& done, int seconds = 60) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= limit) return false;
    QThread::msleep(100);
  }
  return true;
}

// The program started on the data folder (its environment, the trace log on,
// stderr to the folder's log) with extra variables; null when it did not start.
inline std::unique_ptr<QProcess> StartProgram(
    const DataFolder& data, const std::vector<std::pair<std::string, std::string>>& extra = {},
    const QStringList& args = {}) {
  auto p = std::make_unique<QProcess>();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  auto add = [&env](const std::string& key, const std::string& value) {
    if (value.empty())
      env.remove(QString::fromStdString(key));
    else
      env.insert(QString::fromStdString(key), QString::fromStdString(value));
  };
  for (const auto& [key, value] : data.Environment(true)) add(key, value);
  for (const auto& [key, value] : extra) add(key, value);
  p->setProcessEnvironment(env);
  p->setStandardOutputFile(QProcess::nullDevice());
  p->setStandardErrorFile(QString::fromStdString(data.StderrLog()));
  // A crash of the program leaves a core (in the test's working folder, as
  // the system's core pattern says) to look at afterwards.
  p->setChildProcessModifier([] {
    rlimit core{};
    if (getrlimit(RLIMIT_CORE, &core) == 0) {
      core.rlim_cur = core.rlim_max;
      setrlimit(RLIMIT_CORE, &core);
    }
  });
  p->start(QStringLiteral(BV_EXE_PATH), args);
  if (!p->waitForStarted(10000)) return nullptr;
  return p;
}

// True once the start-up decided on the window: the engine, the change
// monitor and the plans are running by then.
inline bool WaitUntilRunning(const DataFolder& data) {
  return WaitFor([&data] {
    const std::string trace = ReadNative(data.TraceLog());
    return trace.find("hidden") != std::string::npos || trace.find("shown") != std::string::npos;
  });
}

}  // namespace bvtest
