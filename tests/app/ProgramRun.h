// Starting the real program on a hand-written data folder, and waiting for
// what it does, for the tests that run it as a user would.
#pragma once
#include <grp.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>
#include <QThread>
#include <chrono>
#include <filesystem>
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

// The user an ordinary-user run of the program runs as.
constexpr uid_t kNobodyUid = 65534;

// Gives top and everything below it to uid (links themselves, not targets).
inline void ChownTree(const std::string& top, uid_t uid) {
  std::error_code ec;
  if (chown(top.c_str(), uid, uid) != 0) return;
  for (auto it = std::filesystem::recursive_directory_iterator(top, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (lchown(it->path().c_str(), uid, uid) != 0) return;
  }
}

// A folder below /srv, outside every home folder and outside the temporary
// folders the shipped exclusions leave out, that every user can reach;
// removed at the end. Native() is empty when it could not be made.
class SrvFolder {
 public:
  SrvFolder() {
    std::error_code ec;
    std::filesystem::create_directories("/srv", ec);
    char tmpl[] = "/srv/bvtest-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) native_ = tmpl;
    if (!native_.empty()) chmod(native_.c_str(), 0755);
  }
  ~SrvFolder() {
    std::error_code ec;
    if (!native_.empty()) std::filesystem::remove_all(native_, ec);
  }
  SrvFolder(const SrvFolder&) = delete;
  SrvFolder& operator=(const SrvFolder&) = delete;
  const std::string& Native() const { return native_; }
  std::string NativeOf(const std::string& rel) const { return native_ + "/" + rel; }
  std::string SystemOf(const std::string& rel) const { return NativeToSystemC(NativeOf(rel)); }
  // Writes a file, making its folders (readable by every user).
  void Write(const std::string& rel, const std::string& content) const {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(NativeOf(rel)).parent_path(), ec);
    WriteNative(NativeOf(rel), content);
  }

 private:
  std::string native_;
};

// The program started on the data folder (its environment, the trace log on,
// stderr to the folder's log) with extra variables; null when it did not start.
// asNobody: as the user kNobodyUid (the test runs as root), so that the
// program picks the change source of an ordinary user.
inline std::unique_ptr<QProcess> StartProgram(
    const DataFolder& data, const std::vector<std::pair<std::string, std::string>>& extra = {},
    const QStringList& args = {}, bool asNobody = false) {
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
  p->setChildProcessModifier([asNobody] {
    rlimit core{};
    if (getrlimit(RLIMIT_CORE, &core) == 0) {
      core.rlim_cur = core.rlim_max;
      setrlimit(RLIMIT_CORE, &core);
    }
    if (asNobody &&
        (setgroups(0, nullptr) != 0 || setgid(kNobodyUid) != 0 || setuid(kNobodyUid) != 0)) {
      _exit(97);
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
