// The catch-up walk over a tree of unchanged files whose journal knows every
// one, against `find DIR -printf '%T@ %s\n'` over the same tree in the same
// run (both with a warm cache: each is run once before it is timed): wall
// and CPU time of each and their ratios, and the process's peak memory. The
// walk pauses only for files it notes, so pause_s stays 0 here; the journal
// must not be written.
//
//   BV_BENCH_FULL=1  100,000 files (default 10,000)
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "common/Settings.h"
#include "engine/CSimplePlan.h"
#include "engine/CatchUpWalk.h"
#include "engine/SourceWalk.h"
#include "history/CLoggingDatabase.h"
#include "plans/CPlan.h"
#include "plans/RuleSet.h"
#include "plans/Schedule.h"
#include "platform/process/Clock.h"
#include "platform/volumes/Volumes.h"

namespace fs = std::filesystem;

namespace {

bool EnvSet(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' && std::string(v) != "0";
}

std::string SystemPath(const std::string& native) {
  std::string s = "C:" + native;
  for (char& c : s) {
    if (c == '/') c = '\\';
  }
  return s;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Peak resident memory of this process (VmHWM), in MB.
double PeakRssMb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return -1;
}

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class BenchPlan : public CSimplePlan {
 public:
  BenchPlan() : CSimplePlan(nullptr) {}
  void Enable() {
    std::lock_guard<std::recursive_mutex> g(Lock());
    enabled_ = true;
  }
};

void BM_CatchUpUnchanged(benchmark::State& state) {
  const int files = EnvSet("BV_BENCH_FULL") ? 100000 : 10000;
  const char* home = std::getenv("HOME");
  const std::string base = std::string(home && *home ? home : "/root") + "/bv-bench";
  fs::create_directories(base);
  std::string tmpl = base + "/catchup-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) std::abort();
  const std::string root = tmpl;
  fs::create_directories(root + "/data");
  fs::create_directories(root + "/store");
  setenv("BREVANTO_DATA_DIR", (root + "/data").c_str(), 1);
  std::ofstream(root + "/volumes.ini")
      << "[C]\nRoot=/\nType=fixed\nBus=none\nSystem=1\n[E]\nRoot=" << root
      << "/store\nType=fixed\nBus=none\n";
  setenv("BREVANTO_VOLUMES", (root + "/volumes.ini").c_str(), 1);
  plat::VolumeTable::Instance().Reload();
  ResetSettingsCache();
  SetBackupFileMaxSize(0);

  // 100 folders of 10 subfolders; small files.
  const std::string tree = root + "/tree";
  std::vector<std::string> paths;
  paths.reserve(files);
  for (int i = 0; i < files; ++i) {
    const std::string dir = tree + "/d" + std::to_string(i % 100) + "/e" + std::to_string(i % 10);
    if (i < 1000) fs::create_directories(dir);
    const std::string path = dir + "/f" + std::to_string(i) + ".txt";
    std::ofstream(path) << i;
    paths.push_back(path);
  }

  PlanSettings s;
  s.name = "Catch-up bench";
  s.id = 1;
  s.storePath = "E:\\store";
  s.storageType = kStorageLocal;
  s.scheduleNum = 1;
  s.scheduleUnit = kUnitContinuous;
  s.versionNumber = 3;
  s.initialScanDone = 1;
  auto plan = std::make_unique<BenchPlan>();
  if (!plan->ApplySettings(s, kApplyCreate)) {
    state.SkipWithError("plan could not be made");
    return;
  }
  {
    std::lock_guard<std::recursive_mutex> g(plan->Lock());
    const std::string source = SystemPath(tree);
    plan->Rules()->AddGroup(kRuleInclude, "group1", "Group1 Text")->AddItem(source, source);
  }
  plan->Enable();
  // Every file copied after its last change.
  const int64_t copiedAt = plat::Now() + 60;
  for (const std::string& p : paths) {
    LogRecord rec;
    rec.SetPath(SystemPath(p));
    rec.state = kLogCopied;
    rec.changeTime = rec.lastBackupTime = rec.lastAttemptTime = copiedAt;
    plan->Database()->WriteRecord(0, rec);
  }
  plan->Database()->LoadIndex();

  const std::string find = "find '" + tree + "' -printf '%T@ %s\\n' > /dev/null";
  double findSeconds = 0, walkSeconds = 0, walkCpu = 0, findCpu = 0, pauseSeconds = 0;
  uint64_t noted = 0, seen = 0;
  for (auto _ : state) {
    if (std::system(find.c_str()) != 0) state.SkipWithError("find failed");
    double cpu = CpuSeconds(RUSAGE_CHILDREN);
    auto start = std::chrono::steady_clock::now();
    if (std::system(find.c_str()) != 0) state.SkipWithError("find failed");
    findSeconds = Seconds(start);
    findCpu = CpuSeconds(RUSAGE_CHILDREN) - cpu;

    RunCatchUpWalk(plan.get());  // warms the cache as find's first run did
    std::string journal = plan->Database()->DatabasePath().substr(2);
    for (char& c : journal) {
      if (c == '\\') c = '/';
    }
    const auto journalBefore = fs::last_write_time(journal);
    const auto sizeBefore = fs::file_size(journal);
    ResetWalkPauseStats();
    cpu = CpuSeconds(RUSAGE_THREAD);
    start = std::chrono::steady_clock::now();
    const CatchUpResult result = RunCatchUpWalk(plan.get());
    walkSeconds = Seconds(start);
    walkCpu = CpuSeconds(RUSAGE_THREAD) - cpu;
    pauseSeconds = static_cast<double>(GetWalkPauseStats().pauseMicros) / 1e6;
    noted = result.noted;
    seen = result.files;
    if (fs::last_write_time(journal) != journalBefore || fs::file_size(journal) != sizeBefore) {
      state.SkipWithError("the walk wrote to the journal");
    }
    state.SetIterationTime(walkSeconds);
  }
  if (noted != 0) state.SkipWithError("an unchanged file was noted");
  if (seen != static_cast<uint64_t>(files)) state.SkipWithError("the walk missed files");
  const double work = walkSeconds - pauseSeconds;
  state.counters["files"] = files;
  state.counters["find_s"] = findSeconds;
  state.counters["find_cpu_s"] = findCpu;
  state.counters["walk_s"] = walkSeconds;
  state.counters["walk_cpu_s"] = walkCpu;
  state.counters["pause_s"] = pauseSeconds;
  state.counters["ratio_to_find"] = findSeconds > 0 ? walkSeconds / findSeconds : 0;
  state.counters["ratio_without_pauses"] = findSeconds > 0 ? work / findSeconds : 0;
  state.counters["cpu_ratio_to_find"] = findCpu > 0 ? walkCpu / findCpu : 0;
  state.counters["peak_rss_MB"] = PeakRssMb();
  plan.reset();
  std::error_code ec;
  fs::remove_all(root, ec);
}
BENCHMARK(BM_CatchUpUnchanged)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
