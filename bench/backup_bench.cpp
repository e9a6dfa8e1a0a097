// The first backup of a generated tree and of a slice of /usr/share (real
// files nobody here wrote, copied under $HOME first), against `cp -a` of the
// same tree, and the copy of one large file, against `cp`. Everything lies on
// one disk (under $HOME, outside the folders the built-in exclusions leave
// out). The activity log is written as the program writes it (a logger
// subscribed to the channels, flushed by a thread as the window's pump does).
// The system calls of a second first backup of the same tree (into a new
// store) are counted with `strace -c -f` attached to this process, beside
// those of `cp -a`.
//
//   BV_BENCH_FULL=1  20,000 files of 1-64 KiB and four 64 MiB files, and
//                    20,000 files of /usr/share
//                    (default: 2,000 files and one 64 MiB file; 2,000 files)
//   BV_BENCH_BIG=1   the large file is 1 GiB (default 256 MiB)
//   BV_BENCH_STRACE=0  no system call counts (strace missing or not allowed)
//   BV_BENCH_STRACE_SHOW=1  prints strace's table of the counted backup
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/ActivityLog.h"
#include "common/Settings.h"
#include "engine/ActivityLogger.h"
#include "engine/CSimpleEngine.h"
#include "engine/CSimplePlan.h"
#include "engine/CTask.h"
#include "engine/SourceWalk.h"
#include "plans/CPlan.h"
#include "plans/RuleSet.h"
#include "plans/Schedule.h"
#include "platform/files/Files.h"
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

// Peak resident set since the last reset, in bytes.
void ResetPeakRss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}
uint64_t PeakRssBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

void WriteRandomFile(const std::string& path, size_t size, std::mt19937_64* rng) {
  std::string data(size, '\0');
  for (size_t i = 0; i + 8 <= size; i += 8) {
    const uint64_t v = (*rng)();
    std::memcpy(&data[i], &v, 8);
  }
  std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(size));
}

// A plan enabled without its working thread: the benchmark drives its task.
class BenchPlan : public CSimplePlan {
 public:
  BenchPlan() : CSimplePlan(nullptr) {}
  void Enable() {
    std::lock_guard<std::recursive_mutex> g(Lock());
    enabled_ = true;
  }
};

// Data folder, volume table (C: = "/", E: = the store folder) and scratch
// folders under $HOME/bv-bench.
class BenchWorld {
 public:
  BenchWorld() {
    const char* home = std::getenv("HOME");
    std::string base = std::string(home && *home ? home : "/root") + "/bv-bench";
    fs::create_directories(base);
    std::string tmpl = base + "/run-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    root_ = tmpl;
    fs::create_directories(root_ + "/data");
    fs::create_directories(root_ + "/store");
    setenv("BREVANTO_DATA_DIR", (root_ + "/data").c_str(), 1);
    const std::string volumes = root_ + "/volumes.ini";
    std::ofstream(volumes) << "[C]\nRoot=/\nType=fixed\nBus=none\nSystem=1\n[E]\nRoot=" << root_
                           << "/store\nType=fixed\nBus=none\n[Power]\nSource=ac\n";
    setenv("BREVANTO_VOLUMES", volumes.c_str(), 1);
    plat::VolumeTable::Instance().Reload();
    ResetSettingsCache();
    SetBackupFileMaxSize(0);
    CLogSet::Instance().SetLogFolder(DefaultLogFolder());
    SetPlanInfoProvider([](uint32_t id, PlanInfoForLog* info) {
      info->name = "Bench " + std::to_string(id);
      info->scheduleUnit = kUnitDaily;
      return true;
    });
    CActivityLogger::Instance().Start();
  }
  ~BenchWorld() {
    CActivityLogger::Instance().Stop();
    SetPlanInfoProvider({});
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const std::string& Root() const { return root_; }

  std::unique_ptr<BenchPlan> MakePlan(uint32_t id, const std::string& sourceNative) {
    PlanSettings s;
    s.name = "Bench " + std::to_string(id);
    s.id = id;
    s.storePath = "E:\\store" + std::to_string(id);
    s.storageType = kStorageLocal;
    s.scheduleNum = 1;
    s.scheduleUnit = kUnitDaily;
    s.versionNumber = 3;
    auto plan = std::make_unique<BenchPlan>();
    if (!plan->ApplySettings(s, kApplyCreate)) return nullptr;
    {
      std::lock_guard<std::recursive_mutex> g(plan->Lock());
      const std::string source = SystemPath(sourceNative);
      plan->Rules()->AddGroup(kRuleInclude, "group1", "Group1 Text")->AddItem(source, source);
    }
    plan->Enable();
    return plan;
  }

 private:
  std::string root_;
};

// Total calls of an `strace -c` summary; -1 when there is none.
long long StraceTotal(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  long long total = -1;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string w; fields >> w;) words.push_back(w);
    // "% time  seconds  usecs/call  calls  [errors]  total"
    if (words.size() >= 5 && words.back() == "total") total = std::atoll(words[3].c_str());
  }
  return total;
}

bool TracedNow() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("TracerPid:", 0) == 0) return std::atoi(line.c_str() + 10) != 0;
  }
  return false;
}

// `strace -c -f` attached to this whole process (every thread) from Start to
// Stop.
class SelfTrace {
 public:
  explicit SelfTrace(std::string out) : out_(std::move(out)) {}
  bool Start() {
    if (!EnvSet("BV_BENCH_STRACE") && std::getenv("BV_BENCH_STRACE") != nullptr) return false;
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    const std::string self = std::to_string(getpid());
    pid_ = fork();
    if (pid_ == 0) {
      execlp("strace", "strace", "-c", "-f", "-q", "-p", self.c_str(), "-o", out_.c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
    if (pid_ < 0) return false;
    for (int i = 0; i < 1000; ++i) {
      if (TracedNow()) return true;
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
      usleep(10000);
    }
    pid_ = -1;
    return false;
  }
  long long Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGINT);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    while (TracedNow()) usleep(1000);
    if (EnvSet("BV_BENCH_STRACE_SHOW")) {
      std::ifstream in(out_);
      std::fprintf(stderr, "%s\n", std::string(std::istreambuf_iterator<char>(in), {}).c_str());
    }
    return StraceTotal(out_);
  }

 private:
  std::string out_;
  pid_t pid_ = -1;
};

// Writes the activity log while it runs, as the window's pump does.
class LogPump {
 public:
  LogPump() {
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        CActivityLogger::Instance().Flush();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      CActivityLogger::Instance().Flush();
    });
  }
  ~LogPump() {
    stop_.store(true);
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct TreeFacts {
  int files = 0;
  uint64_t bytes = 0;
};

// The first backup of tree, against `cp -a` of it, both timed; then a second
// first backup of the same tree into a new store and a second `cp -a`, both
// with their system calls counted.
void RunFirstBackup(benchmark::State& state, BenchWorld& world, const std::string& tree,
                    const TreeFacts& facts, uint32_t firstId) {
  double cpSeconds = 0, engineSeconds = 0, pauseSeconds = 0;
  uint64_t peak = 0, pauses = 0;
  long long engineCalls = -1, cpCalls = -1;
  uint32_t id = firstId;
  for (auto _ : state) {
    const std::string cpTarget = world.Root() + "/cp" + std::to_string(id);
    auto start = std::chrono::steady_clock::now();
    const int rc = std::system(("cp -a '" + tree + "' '" + cpTarget + "'").c_str());
    cpSeconds = Seconds(start);
    if (rc != 0) state.SkipWithError("cp -a failed");

    for (int pass = 0; pass < 2; ++pass) {
      // cp's copy goes only after the timed backup: a file system that has
      // just freed many inodes makes new files dearer for a while, and the
      // two must find it in the same state.
      if (pass == 1) fs::remove_all(cpTarget);
      auto plan = world.MakePlan(id++, tree);
      if (!plan) {
        state.SkipWithError("plan could not be made");
        return;
      }
      CSimpleTask task(plan.get());
      SelfTrace trace(world.Root() + "/strace-engine.txt");
      if (pass == 1 && !trace.Start()) break;
      ResetWalkPauseStats();
      ResetPeakRss();
      start = std::chrono::steady_clock::now();
      {
        LogPump pump;
        task.MarkRun();
        task.Run();
      }
      if (pass == 1) {
        engineCalls = trace.Stop();
        break;
      }
      engineSeconds = Seconds(start);
      peak = PeakRssBytes();
      const WalkPauseStats stats = GetWalkPauseStats();
      pauseSeconds = static_cast<double>(stats.pauseMicros) / 1e6;
      pauses = stats.pauses;
      state.SetIterationTime(engineSeconds);
      if (!plan->InitDone()) state.SkipWithError("first backup did not finish");
    }
    if (engineCalls >= 0) {
      const std::string out = world.Root() + "/strace-cp.txt";
      if (std::system(("strace -c -f -q -o '" + out + "' cp -a '" + tree + "' '" + cpTarget + "'")
                          .c_str()) == 0)
        cpCalls = StraceTotal(out);
      fs::remove_all(cpTarget);
    }
  }
  const double files = facts.files;
  const double working = engineSeconds - pauseSeconds;
  state.counters["files"] = files;
  state.counters["MiB"] = static_cast<double>(facts.bytes) / (1 << 20);
  state.counters["cp_a_s"] = cpSeconds;
  state.counters["engine_s"] = engineSeconds;
  state.counters["ratio_to_cp"] = cpSeconds > 0 ? engineSeconds / cpSeconds : 0;
  state.counters["pauses"] = static_cast<double>(pauses);
  state.counters["pause_s"] = pauseSeconds;
  state.counters["pause_share"] = engineSeconds > 0 ? pauseSeconds / engineSeconds : 0;
  // The target: the time without the mandated pauses against cp -a.
  state.counters["ratio_no_pause"] = cpSeconds > 0 ? working / cpSeconds : 0;
  state.counters["peak_rss_MiB"] = static_cast<double>(peak) / (1 << 20);
  if (engineCalls >= 0) state.counters["calls_per_file"] = engineCalls / files;
  if (cpCalls >= 0) state.counters["cp_calls_per_file"] = cpCalls / files;
}

void BM_FirstBackup(benchmark::State& state) {
  const bool full = EnvSet("BV_BENCH_FULL");
  const int smallFiles = full ? 20000 : 2000;
  const int bigFiles = full ? 4 : 1;
  BenchWorld world;
  const std::string tree = world.Root() + "/tree";
  std::mt19937_64 rng(42);
  TreeFacts facts;
  for (int i = 0; i < smallFiles; ++i) {
    const std::string dir = tree + "/d" + std::to_string(i % 50) + "/e" + std::to_string(i % 7);
    fs::create_directories(dir);
    const size_t size = 1024 + rng() % (63 * 1024 + 1);
    WriteRandomFile(dir + "/f" + std::to_string(i) + ".dat", size, &rng);
    facts.bytes += size;
  }
  for (int i = 0; i < bigFiles; ++i) {
    WriteRandomFile(tree + "/big" + std::to_string(i) + ".bin", 64u << 20, &rng);
    facts.bytes += 64u << 20;
  }
  facts.files = smallFiles + bigFiles;
  sync();
  RunFirstBackup(state, world, tree, facts, 1);
}
BENCHMARK(BM_FirstBackup)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// The first regular files of /usr/share (in the order a sorted walk meets
// them; hidden names, links and unreadable files left out), copied under the
// bench folder with their relative paths.
TreeFacts CopyUsrShareSlice(const std::string& to, int count) {
  TreeFacts facts;
  std::error_code ec;
  std::vector<fs::path> stack{"/usr/share"};
  while (!stack.empty() && facts.files < count) {
    const fs::path dir = stack.back();
    stack.pop_back();
    std::vector<fs::directory_entry> entries;
    for (const auto& e : fs::directory_iterator(dir, ec)) entries.push_back(e);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.path() > b.path(); });
    for (const auto& e : entries) {
      const std::string name = e.path().filename().string();
      if (name.empty() || name[0] == '.' || e.is_symlink(ec)) continue;
      if (e.is_directory(ec)) {
        stack.push_back(e.path());
      } else if (e.is_regular_file(ec) && facts.files < count) {
        const fs::path target = to + e.path().string().substr(std::strlen("/usr/share"));
        fs::create_directories(target.parent_path(), ec);
        if (!fs::copy_file(e.path(), target, ec)) continue;
        facts.bytes += fs::file_size(target, ec);
        ++facts.files;
      }
    }
  }
  return facts;
}

void BM_FirstBackupUsrShare(benchmark::State& state) {
  if (!fs::is_directory("/usr/share")) {
    state.SkipWithError("no /usr/share");
    return;
  }
  BenchWorld world;
  const std::string tree = world.Root() + "/share";
  const TreeFacts facts = CopyUsrShareSlice(tree, EnvSet("BV_BENCH_FULL") ? 20000 : 2000);
  sync();
  RunFirstBackup(state, world, tree, facts, 50);
}
BENCHMARK(BM_FirstBackupUsrShare)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

void BM_CopyLargeFile(benchmark::State& state) {
  const uint64_t size = EnvSet("BV_BENCH_BIG") ? (1ull << 30) : (256ull << 20);
  BenchWorld world;
  const std::string source = world.Root() + "/large/one.bin";
  fs::create_directories(world.Root() + "/large");
  std::mt19937_64 rng(7);
  WriteRandomFile(source, size, &rng);
  sync();
  double cpSeconds = 0, engineSeconds = 0;
  uint32_t id = 100;
  for (auto _ : state) {
    const std::string cpTarget = world.Root() + "/one-cp.bin";
    auto start = std::chrono::steady_clock::now();
    const int rc = std::system(("cp '" + source + "' '" + cpTarget + "'").c_str());
    cpSeconds = Seconds(start);
    if (rc != 0) state.SkipWithError("cp failed");
    fs::remove(cpTarget);

    auto plan = world.MakePlan(id++, world.Root() + "/large");
    if (!plan) {
      state.SkipWithError("plan could not be made");
      break;
    }
    start = std::chrono::steady_clock::now();
    const int32_t result = plan->Engine()->BackupFile(SystemPath(source), false, nullptr, 0);
    engineSeconds = Seconds(start);
    if (result != 0) state.SkipWithError("backup failed");
    state.SetIterationTime(engineSeconds);

    // cp again, now that the source is as warm as it was for the engine; the
    // better of the two cp runs is the one compared.
    start = std::chrono::steady_clock::now();
    if (std::system(("cp '" + source + "' '" + cpTarget + "'").c_str()) != 0) {
      state.SkipWithError("cp failed");
    }
    cpSeconds = std::min(cpSeconds, Seconds(start));
    fs::remove(cpTarget);
  }
  state.counters["MiB"] = static_cast<double>(size) / (1 << 20);
  state.counters["cp_s"] = cpSeconds;
  state.counters["engine_s"] = engineSeconds;
  state.counters["ratio_to_cp"] = cpSeconds > 0 ? engineSeconds / cpSeconds : 0;
}
BENCHMARK(BM_CopyLargeFile)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// What flushing each copy to the device before it takes its final name costs
// (removable and network destinations do it): 200 files of 32 KiB and one of
// 64 MiB, copied with and without the flush.
void BM_FlushCost(benchmark::State& state) {
  BenchWorld world;
  const std::string src = world.Root() + "/flush-src";
  fs::create_directories(src);
  std::mt19937_64 rng(11);
  for (int i = 0; i < 200; ++i) WriteRandomFile(src + "/f" + std::to_string(i), 32 << 10, &rng);
  WriteRandomFile(src + "/big.bin", 64ull << 20, &rng);
  sync();
  double plain = 0, flushed = 0;
  for (auto _ : state) {
    for (int pass = 0; pass < 2; ++pass) {
      const bool flush = pass == 1;
      const std::string dst = world.Root() + (flush ? "/flush-on" : "/flush-off");
      fs::create_directories(dst);
      const auto start = std::chrono::steady_clock::now();
      for (const auto& entry : fs::directory_iterator(src)) {
        const std::string name = entry.path().filename().string();
        if (plat::CopyFile(SystemPath(entry.path().string()), SystemPath(dst + "/" + name), false,
                           flush) != 0) {
          state.SkipWithError("copy failed");
        }
      }
      (flush ? flushed : plain) = Seconds(start);
    }
    state.SetIterationTime(flushed);
  }
  state.counters["plain_s"] = plain;
  state.counters["flushed_s"] = flushed;
  state.counters["flush_factor"] = plain > 0 ? flushed / plain : 0;
}
BENCHMARK(BM_FlushCost)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
