// One rotation of a file whose revision folder holds 3 revisions, and of one
// whose folder holds 999, with versions kept by age ("as many as fit"): each
// backup of a small file moves the latest copy into the revisions and the
// ceiling removes the oldest, so every iteration does the same work but for
// the size of the folder. The folder is listed once per rotation (the
// listing's sizes and times serve the rule), so the ratio stays under 2.
//
// Counters: the median microseconds of a backup with its rotation for each
// size (us_with_3, us_with_999) and their ratio.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/ActivityLog.h"
#include "common/PlanSettings.h"
#include "common/Settings.h"
#include "engine/CSimpleEngine.h"
#include "engine/CSimplePlan.h"
#include "plans/CPlan.h"
#include "plans/RuleSet.h"
#include "plans/Schedule.h"
#include "platform/process/Clock.h"
#include "platform/volumes/Volumes.h"

namespace fs = std::filesystem;

namespace {

class BenchPlan : public CSimplePlan {
 public:
  BenchPlan() : CSimplePlan(nullptr) {}
  void Enable() {
    std::lock_guard<std::recursive_mutex> g(Lock());
    enabled_ = true;
  }
};

std::string SystemPath(const std::string& native) {
  std::string s = "C:" + native;
  for (char& c : s) {
    if (c == '/') c = '\\';
  }
  return s;
}

// A file "doc.txt" in a folder of its own whose revision folder holds
// `revisions` revisions, each a week older than the next (no window holds
// two), under a plan that keeps revisions + 1 versions: every backup adds one
// revision and the ceiling takes the oldest.
struct RotatingFile {
  std::unique_ptr<BenchPlan> plan;
  std::string source;
  int round = 0;

  RotatingFile(const std::string& root, uint32_t id, int revisions) {
    PlanSettings s;
    s.name = "Rotation " + std::to_string(id);
    s.id = id;
    s.storePath = "E:\\store" + std::to_string(id);
    s.storageType = kStorageLocal;
    s.scheduleNum = 1;
    s.scheduleUnit = kUnitDaily;
    s.versionNumber = revisions + 1;
    s.keepDays = kKeepAsManyAsFit;
    plan = std::make_unique<BenchPlan>();
    if (!plan->ApplySettings(s, kApplyCreate)) std::abort();
    const std::string folder = root + "/src" + std::to_string(id);
    fs::create_directories(folder);
    plan->Rules()->AddGroup(kRuleInclude, "g", "g")->AddItem(SystemPath(folder), "src");
    plan->Enable();
    source = folder + "/doc.txt";
    if (Backup() != 0) std::abort();
    const std::string revisionFolder =
        root + "/store/store" + std::to_string(id) + "/Revision/C" + folder + "/";
    fs::create_directories(revisionFolder);
    const int64_t now = plat::Now();
    for (int n = 1; n <= revisions; ++n) {
      char name[32];
      std::snprintf(name, sizeof name, "doc(%04d).txt", n);
      const std::string path = revisionFolder + name;
      std::ofstream(path) << "revision " << n;
      const int64_t when = now - int64_t{revisions - n + 2} * 7 * 86400;
      const timespec times[2] = {{when, 0}, {when, 0}};
      utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
    Backup();  // the first rotation may remove more than one
  }
  int32_t Backup() {
    std::ofstream(source) << "round " << ++round;
    return plan->Engine()->BackupFile(SystemPath(source), false, nullptr, 0);
  }
  // Seconds one backup with its rotation takes.
  double Time() {
    std::ofstream(source) << "round " << ++round;
    const auto start = std::chrono::steady_clock::now();
    const int32_t result = plan->Engine()->BackupFile(SystemPath(source), false, nullptr, 0);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result == 0 ? seconds : -1;
  }
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Rotations with 3 and with 999 revisions taken in turn, so that the other
// work on the machine weighs on both alike; medians of each.
void BM_Rotation(benchmark::State& state) {
  const char* home = std::getenv("HOME");
  const char* where = std::getenv("BV_BENCH_DIR");
  std::string tmpl = std::string(where && *where ? where
                                 : home && *home ? home
                                                 : "/root") +
                     "/bv-bench-rotation-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) std::abort();
  const std::string root = tmpl;
  fs::create_directories(root + "/data");
  fs::create_directories(root + "/store");
  setenv("BREVANTO_DATA_DIR", (root + "/data").c_str(), 1);
  const std::string volumes = root + "/volumes.ini";
  std::ofstream(volumes) << "[C]\nRoot=/\nType=fixed\nBus=none\nSystem=1\n[E]\nRoot=" << root
                         << "/store\nType=fixed\nBus=none\n[Power]\nSource=ac\n";
  setenv("BREVANTO_VOLUMES", volumes.c_str(), 1);
  plat::VolumeTable::Instance().Reload();
  ResetSettingsCache();
  CLogSet::Instance().SetLogFolder(root + "/data/log");
  {
    RotatingFile few(root, 1, 3), many(root, 2, 998);
    std::vector<double> withFew, withMany;
    for (auto _ : state) {
      const double a = few.Time(), b = many.Time();
      if (a < 0 || b < 0) state.SkipWithError("backup failed");
      withFew.push_back(a);
      withMany.push_back(b);
      state.SetIterationTime(a + b);
    }
    const double usFew = Median(withFew) * 1e6, usMany = Median(withMany) * 1e6;
    state.counters["us_with_3"] = usFew;
    state.counters["us_with_999"] = usMany;
    state.counters["ratio"] = usMany / usFew;
  }
  std::error_code ec;
  fs::remove_all(root, ec);
}

}  // namespace

BENCHMARK(BM_Rotation)->Iterations(500)->UseManualTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
