// The program tests' prelude: the real program started on a hand-written data folder.
#pragma once
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "history/CLoggingDatabase.h"
#include "support/DataFolder.h"
#include "support/QtApp.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace bvtest {

using Env = std::vector<std::pair<std::string, std::string>>;

// Polls until done() holds; the limit only guards against a hang.
inline bool WaitFor(const std::function<bool()>& done, int seconds = 60) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= limit) return false;
    QThread::msleep(100);
  }
  return true;
}

inline size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at) ++n;
  return n;
}

inline bool Holds(const std::string& native, const std::string& bytes) {
  return std::filesystem::exists(native) && ReadNative(native) == bytes;
}

// Detaches the mount on the folder at (if any) when it goes.
struct Unmount {
  std::string at;
  ~Unmount() {
    if (!at.empty()) umount2(at.c_str(), MNT_DETACH);
  }
};

// The user an ordinary-user run of the program runs as.
constexpr uid_t kNobodyUid = 65534;

// Gives top and everything below it to uid (links themselves, not targets).
inline void ChownTree(const std::string& top, uid_t uid) {
  std::error_code ec;
  if (chown(top.c_str(), uid, uid) != 0) return;
  for (auto it = std::filesystem::recursive_directory_iterator(top, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (lchown(it->path().c_str(), uid, uid) != 0) return;
}

// The program on data with extra variables (empty: removed), as kNobodyUid if asked; or null.
inline std::unique_ptr<QProcess> StartProgram(const DataFolder& data, const Env& extra = {},
                                              const QStringList& args = {}, bool asNobody = false,
                                              const std::string& exe = BV_EXE_PATH) {
  auto p = std::make_unique<QProcess>();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  Env vars = data.Environment(true);
  vars.insert(vars.end(), extra.begin(), extra.end());
  for (const auto& [key, value] : vars)
    value.empty() ? env.remove(QString::fromStdString(key))
                  : env.insert(QString::fromStdString(key), QString::fromStdString(value));
  p->setProcessEnvironment(env);
  p->setStandardOutputFile(QProcess::nullDevice());
  p->setStandardErrorFile(QString::fromStdString(data.StderrLog()), QIODevice::Append);
  p->setChildProcessModifier([asNobody] {
    rlimit core{};
    if (getrlimit(RLIMIT_CORE, &core) == 0)
      core.rlim_cur = core.rlim_max, setrlimit(RLIMIT_CORE, &core);
    if (asNobody &&
        (setgroups(0, nullptr) != 0 || setgid(kNobodyUid) != 0 || setuid(kNobodyUid) != 0))
      _exit(97);
  });
  p->start(QString::fromStdString(exe), args);
  return p->waitForStarted(10000) ? std::move(p) : nullptr;
}

// Data and volume folders, a home for the sources (/srv for an ordinary user), programs killed.
class ProgramWorld {
 public:
  enum class Home { kUnderHome, kUnderSrv };
  explicit ProgramWorld(const std::string& volumes = "E", Home where = Home::kUnderHome)
      : data(work.Native(), volumes) {
    App();
    const bool srv = where == Home::kUnderSrv;
    if (srv) std::filesystem::create_directories("/srv");
    ScopedEnv tmp("TMPDIR", "/srv");  // where a kTmp folder goes
    home_ = std::make_unique<TempDir>(srv ? TempDir::Where::kTmp : TempDir::Where::kHome);
    if (srv) chmod(home_->Native().c_str(), 0755);
  }
  ~ProgramWorld() {
    for (auto& p : programs_) Kill(p.get());
  }
  ProgramWorld(const ProgramWorld&) = delete;
  ProgramWorld& operator=(const ProgramWorld&) = delete;

  // Native and system paths below the home folder; Put writes a file there.
  std::string Home(const std::string& rel = "") const {
    return rel.empty() ? home_->Native() : home_->Native() + "/" + rel;
  }
  std::string HomeSys(const std::string& rel) const { return NativeToSystemC(Home(rel)); }
  void Put(const std::string& rel, const std::string& bytes) const {
    WriteNative(Home(rel), bytes);
  }
  // The copy of the home folder's rel in a store tree on a volume.
  std::string InStore(const std::string& rel, const char* tree = "Latest", char letter = 'E',
                      const std::string& store = "Store") const {
    return data.Volume(letter) + "/" + store + "/" + tree + "/C" + Home(rel);
  }
  // Writes plan id protecting the home folder's rels, stored at store.
  PlanFiles Plan(uint32_t id, const std::string& name, const std::string& store,
                 const std::vector<std::string>& rels, bool firstDone = true) const {
    PlanFiles p{id, name, store, {}, 1, 3, true, firstDone};
    for (const std::string& r : rels) p.sources.push_back(HomeSys(r));
    data.WritePlan(p);
    return p;
  }
  // Replaces "key=..." of a plan's "Plan.ini".
  void SetPlanKey(uint32_t id, const std::string& key, const std::string& value) const {
    std::string text = PlanIni(id);
    const size_t at = text.find(key + "=");
    text.replace(at, text.find('\n', at) - at, key + "=" + value);
    WriteNative(data.Data("PLAN/" + std::to_string(id) + "/Plan.ini"), text);
  }
  std::string PlanIni(uint32_t id = 1) const {
    return ReadNative(data.Data("PLAN/" + std::to_string(id) + "/Plan.ini"));
  }
  bool FirstBackupDone(uint32_t id = 1) const {
    const std::string plan = PlanIni(id);
    return plan.find("Name=") != std::string::npos && plan.find("InitDone=0") == std::string::npos;
  }
  // The change source watching the home folder only.
  Env Inotify() const {
    return {{"BREVANTO_CHANGE_SOURCE", "inotify"}, {"BREVANTO_CHANGE_ROOTS", Home()}};
  }

  // Starts the program; waits until it decided on its window (the plans run by then) if asked.
  QProcess* Start(const Env& extra = {}, const QStringList& args = {"-s"}, bool asNobody = false,
                  bool wait = true, const std::string& exe = BV_EXE_PATH) {
    std::filesystem::remove(data.TraceLog());
    programs_.push_back(StartProgram(data, extra, args, asNobody, exe));
    EXPECT_NE(programs_.back(), nullptr);
    EXPECT_TRUE(!wait || WaitFor([this] {
      const std::string trace = ReadNative(data.TraceLog());
      return trace.find("hidden") != std::string::npos || trace.find("shown") != std::string::npos;
    })) << Stderr();
    return programs_.back().get();
  }
  static void Kill(QProcess* p) {
    if (p == nullptr || p->state() == QProcess::NotRunning) return;
    p->kill();
    p->waitForFinished(10000);
  }
  // Sends a signal (0: none) and waits: true when the program ended normally with 0.
  static bool EndsWithZero(QProcess* p, int signal = 0) {
    if (signal != 0) ::kill(static_cast<pid_t>(p->processId()), signal);
    return p->waitForFinished(60000) && p->exitStatus() == QProcess::NormalExit &&
           p->exitCode() == 0;
  }

  std::string Log() const { return data.LogText(); }
  std::string Stderr() const { return ReadNative(data.StderrLog()); }
  bool TraceHas(const std::string& line) const {
    return ("\n" + ReadNative(data.TraceLog())).find("\n" + line + "\n") != std::string::npos;
  }
  // The journal record of each path that has one (the program must have ended).
  std::map<std::string, LogRecord> Journal(uint32_t id, const std::vector<std::string>& paths) {
    std::map<std::string, LogRecord> found;
    CLoggingDatabase db;
    const std::string folder = NativeToSystemC(data.Data("PLAN/" + std::to_string(id))) + "\\";
    EXPECT_EQ(db.Open(folder, id), CLoggingDatabase::kOk);
    EXPECT_EQ(db.LoadIndex(), CLoggingDatabase::kOk);
    for (const std::string& p : paths) {
      uint64_t offset = 0, next = 0;
      bool there = false;
      LogRecord r;
      if (db.Lookup(p, &offset) && db.ReadRecord(offset, &r, &next, &there) == 0 && there)
        found[p] = r;
    }
    return found;
  }

  TempDir work;
  DataFolder data;

 private:
  std::unique_ptr<TempDir> home_;
  std::vector<std::unique_ptr<QProcess>> programs_;
};

}  // namespace bvtest

namespace fs = std::filesystem;
using bvtest::CountOf;
using bvtest::Holds;
using bvtest::WaitFor;
