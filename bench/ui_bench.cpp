// How responsive the main window stays while a plan makes its first backup.
// The real main frame runs offscreen in this process on a scratch data folder
// and volume table (C: = "/", E: = a store folder); a continuous plan over a
// generated tree is created and enabled, and until the store holds a copy of
// every file a 10 ms timer on the UI thread records the gaps between its
// ticks. The view's refresh and the pending-count round trip (ask the worker,
// get the answer back on the UI thread) are timed on the side.
//
//   BV_BENCH_FULL=1    20,000 files (200 folders x 100 files of 1-4 KiB);
//                      default 2,000 (20 folders x 100)
//   BV_BENCH_STACKS=1  on every UI stall over 100 ms, the UI thread's stack is
//                      taken (signal + backtrace) and the most common stacks
//                      are printed to stderr at the end
#include <benchmark/benchmark.h>
#include <cxxabi.h>
#include <execinfo.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/PlanSettings.h"
#include "common/Settings.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "plans/RuleSet.h"
#include "plans/Schedule.h"
#include "platform/volumes/Volumes.h"
#include "support/TempDir.h"
#include "ui/main/CBrevantoView.h"
#include "ui/main/CMainFrame.h"
#include "ui/main/ViewWorker.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

bool EnvSet(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' && std::string(v) != "0";
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

QApplication* App() {
  static int argc = 1;
  static char name[] = "ui_bench";
  static char* argv[] = {name, nullptr};
  if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) return app;
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  return new QApplication(argc, argv);
}

// Files of 1-4 KiB, 100 per folder.
void WriteTree(const std::string& root, int files) {
  std::mt19937_64 rng(42);
  std::string data(4096, '\0');
  for (int i = 0; i < files; ++i) {
    const std::string dir = root + "/d" + std::to_string(i / 100);
    if (i % 100 == 0) fs::create_directories(dir);
    const size_t size = 1024 + rng() % (3 * 1024 + 1);
    for (size_t k = 0; k + 8 <= size; k += 8) {
      const uint64_t v = rng();
      std::memcpy(&data[k], &v, 8);
    }
    std::ofstream(dir + "/f" + std::to_string(i) + ".dat", std::ios::binary)
        .write(data.data(), static_cast<std::streamsize>(size));
  }
}

size_t CountFiles(const std::string& root) {
  std::error_code ec;
  size_t n = 0;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec)) ++n;
  }
  return n;
}

// Stack capture of the UI thread on stalls (BV_BENCH_STACKS=1).
class StallSampler {
 public:
  static StallSampler& Instance() {
    static StallSampler s;
    return s;
  }
  void Start(pthread_t ui, std::atomic<int64_t>* lastTickNs) {
    ui_ = ui;
    lastTick_ = lastTickNs;
    void* warm[4];
    backtrace(warm, 4);  // loads the unwinder before any signal needs it
    struct sigaction sa {};
    sa.sa_handler = &StallSampler::OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGUSR2, &sa, nullptr);
    running_ = true;
    thread_ = std::thread([this] { Watch(); });
  }
  void Stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }
  void Print() const {
    std::vector<std::pair<int, std::string>> sorted;
    for (const auto& [stack, n] : stacks_) sorted.emplace_back(n, stack);
    std::sort(sorted.rbegin(), sorted.rend());
    std::fprintf(stderr, "UI thread stacks taken during stalls over 100 ms: %d\n", samples_);
    for (size_t i = 0; i < sorted.size() && i < 6; ++i) {
      std::fprintf(stderr, "--- seen %d times\n%s", sorted[i].first, sorted[i].second.c_str());
    }
  }

 private:
  static void OnSignal(int) {
    depth_.store(backtrace(frames_, kFrames), std::memory_order_release);
    taken_.store(true, std::memory_order_release);
  }
  static std::string Demangled(const char* line) {
    // "binary(mangled+0x12) [0x...]"
    std::string s(line);
    const size_t open = s.find('('), plus = s.find('+', open);
    if (open == std::string::npos || plus == std::string::npos || plus == open + 1) return s;
    const std::string mangled = s.substr(open + 1, plus - open - 1);
    int status = 0;
    char* name = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
    std::string out = status == 0 && name ? std::string(name) : mangled;
    std::free(name);
    return out.size() > 160 ? out.substr(0, 160) + "..." : out;
  }
  void Watch() {
    bool inStall = false;
    while (running_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const int64_t now = Clock::now().time_since_epoch().count();
      const bool stalled = now - lastTick_->load() > 100'000'000;
      if (!stalled) {
        inStall = false;
        continue;
      }
      if (inStall) continue;
      inStall = true;
      taken_ = false;
      pthread_kill(ui_, SIGUSR2);
      for (int i = 0; i < 200 && !taken_.load(std::memory_order_acquire); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (!taken_) continue;
      const int depth = depth_.load(std::memory_order_acquire);
      char** names = backtrace_symbols(frames_, depth);
      std::string stack;
      // The first two frames are the handler and the signal trampoline.
      for (int i = 2; i < depth && i < 26; ++i) stack += "  " + Demangled(names[i]) + "\n";
      std::free(names);
      ++stacks_[stack];
      ++samples_;
    }
  }

  static constexpr int kFrames = 48;
  static inline void* frames_[kFrames];
  static inline std::atomic<int> depth_{0};
  static inline std::atomic<bool> taken_{false};
  pthread_t ui_{};
  std::atomic<int64_t>* lastTick_ = nullptr;
  std::atomic<bool> running_{false};
  std::thread thread_;
  std::map<std::string, int> stacks_;
  int samples_ = 0;
};

struct Figures {
  double seconds = 0;
  size_t copies = 0;
  std::vector<double> gaps;  // ms between ticks of the 10 ms timer
  std::vector<double> refreshMs;
  std::vector<double> roundTripMs;
  double createMs = 0;
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
  return v[i];
}
double Max(const std::vector<double>& v) {
  return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

// Runs the event loop for ms (the window settles).
void Spin(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

bool Measure(int files, Figures* out, std::string* error) {
  bvtest::TempDir work(bvtest::TempDir::Where::kHome);
  const std::string w = work.Native();
  for (const char* sub : {"data", "evol", "run", "global", "config"})
    fs::create_directories(w + "/" + sub);
  chmod((w + "/run").c_str(), 0700);
  WriteTree(w + "/src", files);
  std::ofstream(w + "/volumes.ini") << "[C]\nRoot=/\nType=fixed\nSystem=1\n[E]\nRoot=" << w
                                    << "/evol\nType=fixed\n[Power]\nSource=ac\n";
  setenv("XDG_RUNTIME_DIR", (w + "/run").c_str(), 1);
  setenv("BREVANTO_GLOBAL_LOCK_DIR", (w + "/global").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (w + "/config").c_str(), 1);
  setenv("BREVANTO_DATA_DIR", (w + "/data").c_str(), 1);
  setenv("BREVANTO_VOLUMES", (w + "/volumes.ini").c_str(), 1);
  setenv("BREVANTO_MESSAGE_LOG", (w + "/messages.log").c_str(), 1);
  unsetenv("BREVANTO_TRACE_LOG");
  plat::VolumeTable::Instance().Reload();
  ResetSettingsCache();
  App();

  bool ok = true;
  {
    CMainFrame frame;
    CBrevantoView* view = frame.View();
    frame.resize(960, 800);
    frame.show();
    Spin(500);

    // The plan as the wizard leaves it: continuous, its folder in "group1",
    // the first backup still to do.
    auto createStart = Clock::now();
    PlanSettings s;
    s.name = "Bench";
    s.storePath = "E:\\Bench\\";
    s.storageType = kStorageLocal;
    s.scheduleNum = 1;
    s.scheduleUnit = kUnitContinuous;
    s.versionNumber = 3;
    CPlan* plan = PlanList::Instance().CreatePlan(s);
    if (plan == nullptr) {
      *error = "plan could not be made";
      return false;
    }
    const uint32_t id = plan->Id();
    auto rules = std::make_unique<CRuleSet>();
    const std::string source = bvtest::NativeToSystemC(w + "/src");
    rules->AddGroup(kRuleInclude, "group1", "Sources")->AddItem(source, source);
    plan->ReplaceRules(std::move(rules));
    const std::string latest = w + "/evol/Bench/Latest";

    // The finish line, watched off the UI thread: the first backup done and
    // a copy of every file in the store.
    std::atomic<bool> done{false}, stop{false};
    std::atomic<size_t> copies{0};
    std::thread watcher([&] {
      while (!stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (!plan->InitDone()) continue;
        copies = CountFiles(latest);
        if (copies >= static_cast<size_t>(files)) {
          done = true;
          return;
        }
      }
    });

    std::atomic<int64_t> lastTickNs{Clock::now().time_since_epoch().count()};
    const bool stacks = EnvSet("BV_BENCH_STACKS");
    if (stacks) StallSampler::Instance().Start(pthread_self(), &lastTickNs);

    QEventLoop loop;
    Clock::time_point last = Clock::now();
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
      const Clock::time_point now = Clock::now();
      out->gaps.push_back(Ms(now - last));
      last = now;
      lastTickNs = now.time_since_epoch().count();
      if (done) loop.quit();
    });
    QTimer refresh;
    QObject::connect(&refresh, &QTimer::timeout, [&] {
      const Clock::time_point t = Clock::now();
      view->Refresh();
      out->refreshMs.push_back(Ms(Clock::now() - t));
    });
    // One pending count at a time: asked here, answered through the worker.
    bool asked = false;
    Clock::time_point askedAt;
    QObject::connect(view->Worker(), &CViewWorker::pendingCounted, [&] {
      if (!asked) return;
      asked = false;
      out->roundTripMs.push_back(Ms(Clock::now() - askedAt));
    });
    QTimer count;
    QObject::connect(&count, &QTimer::timeout, [&] {
      if (asked) return;
      asked = true;
      askedAt = Clock::now();
      view->RefreshPendingCounts();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);

    const Clock::time_point start = Clock::now();
    plan->SetEnabled(true, 0);
    out->createMs = Ms(Clock::now() - createStart);
    last = Clock::now();
    tick.start(10);
    refresh.start(250);
    count.start(1000);
    guard.start(files * 50 + 120000);  // far beyond any sane run
    loop.exec();
    out->seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (stacks) {
      StallSampler::Instance().Stop();
      StallSampler::Instance().Print();
    }
    stop = true;
    watcher.join();
    out->copies = copies;
    if (!done) {
      *error = "the store did not get every file in time";
      ok = false;
    }
    tick.stop();
    refresh.stop();
    count.stop();
    PlanList::Instance().DeletePlan(id);
    Spin(200);
  }
  unsetenv("BREVANTO_VOLUMES");
  unsetenv("BREVANTO_MESSAGE_LOG");
  plat::VolumeTable::Instance().Reload();
  ResetSettingsCache();
  return ok;
}

void BM_UiDuringFirstBackup(benchmark::State& state) {
  const int files = EnvSet("BV_BENCH_FULL") ? 20000 : 2000;
  Figures f;
  for (auto _ : state) {
    std::string error;
    if (!Measure(files, &f, &error)) state.SkipWithError(error.c_str());
    state.SetIterationTime(f.seconds);
  }
  int over100 = 0;
  for (double g : f.gaps) over100 += g > 100 ? 1 : 0;
  state.counters["files"] = files;
  state.counters["copies"] = static_cast<double>(f.copies);
  state.counters["backup_s"] = f.seconds;
  state.counters["max_gap_ms"] = Max(f.gaps);
  state.counters["p99_gap_ms"] = Percentile(f.gaps, 0.99);
  state.counters["gaps_over_100ms"] = over100;
  state.counters["ticks"] = static_cast<double>(f.gaps.size());
  state.counters["refresh_max_ms"] = Max(f.refreshMs);
  state.counters["refresh_p99_ms"] = Percentile(f.refreshMs, 0.99);
  state.counters["count_rt_max_ms"] = Max(f.roundTripMs);
  state.counters["count_rt_p50_ms"] = Percentile(f.roundTripMs, 0.5);
  state.counters["create_ms"] = f.createMs;
}
BENCHMARK(BM_UiDuringFirstBackup)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
