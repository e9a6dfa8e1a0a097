// The restore listing of a big store against `ls -R` of the same store in
// the same run (both warm: each is run once before it is timed). The store
// is generated: a "Latest" tree below C:\home\ann and C:\srv\projects, four
// to six folders deep, about 80 files a folder with everyday names, and a
// revision or two in "Revision" for every eighth file.
//
//   whole_s       every folder of the store listed into the version tree,
//                 each file once with its versions, sizes and dates (as
//                 opening every folder in the window lists them)
//   first_level_s the restore window (real, offscreen) from its creation to
//                 its first level on screen
//   search_s      the window's search for a name part, from Enter to the
//                 result on screen
//   whole_cpu_s   the CPU seconds of the whole listing (user and system), and
//   ls_lR_cpu_s   ls -lR's, which reads sizes and dates too;
//                 cpu_ratio_to_ls_lR is the steadier figure on a busy machine
//                 (least of the timed rounds each)
//   names_cpu_s   every folder listed with names only (as the search looks
//                 through folders), against ls -R's CPU: cpu_ratio_to_ls_R
//   *_peak_MB     the peak resident memory of each (VmHWM reset before it,
//                 so the window's include Qt's; ls's own through
//                 /usr/bin/time, -1 without it)
//
//   BV_BENCH_FULL=1  100,000 files (default 10,000)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <QApplication>
#include <QLineEdit>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/PlanSettings.h"
#include "common/Settings.h"
#include "engine/PlanList.h"
#include "history/RestoreJobs.h"
#include "history/StoreAccess.h"
#include "history/VersionTree.h"
#include "plans/CPlan.h"
#include "platform/volumes/Volumes.h"
#include "ui/restore/CDlgRestore.h"
#include "ui/restore/CRestoreTree.h"
#include "ui/restore/RestoreRelay.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

extern char** environ;

namespace {

bool EnvSet(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' && std::string(v) != "0";
}

// This thread's CPU seconds so far (user and system together: the kernel's
// split between them is only estimated from ticks).
double ThreadCpu() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

QApplication* App() {
  static int argc = 1;
  static char name[] = "restore_bench";
  static char* argv[] = {name, nullptr};
  if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) return app;
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  return new QApplication(argc, argv);
}

// Starts a new peak: VmHWM falls back to the present RSS.
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }
double PeakMb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

// Runs a command with its output thrown away: wall seconds, its CPU seconds
// (user and system, when cpu is given), and its own peak in MB (through /usr/bin/time, a small
// process, when there is one: a child of this big process would count this one's pages before its
// exec).
bool RunTool(const std::vector<std::string>& args, double* seconds, double* peakMb,
             double* cpu = nullptr) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return false;
  *seconds = Seconds(start);
  *peakMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
  auto secs = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
  };
  if (cpu != nullptr) *cpu = secs(usage.ru_utime) + secs(usage.ru_stime);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double ToolPeakMb(const std::vector<std::string>& args, const std::string& scratch) {
  if (!fs::exists("/usr/bin/time")) return -1;
  std::vector<std::string> timed{"/usr/bin/time", "-f", "%M", "-o", scratch};
  timed.insert(timed.end(), args.begin(), args.end());
  double seconds = 0, ignored = 0;
  if (!RunTool(timed, &seconds, &ignored)) return -1;
  std::ifstream in(scratch);
  double kb = -1;
  in >> kb;
  return kb < 0 ? -1 : kb / 1024.0;
}

void Spin(const std::function<bool()>& until) {
  while (!until())
    QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void Write(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// The generated store: returns the number of files written (marker aside).
size_t WriteStore(const std::string& store, size_t files) {
  static const char* const kAreas[] = {"home/ann/Documents", "home/ann/Pictures", "home/ann/Music",
                                       "srv/projects"};
  static const char* const kUpper[] = {"2019",          "2020",   "2021",
                                       "Client Berger", "Taxes",  "Holiday Lisbon",
                                       "Archive (old)", "Drafts", "Ünterlagen"};
  static const char* const kStems[] = {"report", "IMG_",    "Track ",  "invoice-",  "notes",
                                       "Scan ",  "draft v", "budget_", "letter to "};
  static const char* const kExts[] = {".odt", ".jpg",  ".flac", ".pdf", ".txt",
                                      ".png", ".docx", ".ods",  ""};
  constexpr size_t kPerFolder = 80;
  Write(store + "/Brevanto.dat", "");
  size_t written = 0, folder = 0;
  while (written < files) {
    const std::string area = kAreas[folder % 4];
    const std::string upper = kUpper[(folder / 4) % 9];
    const std::string rel = "C/" + area + "/" + upper + "/" + "part " +
                            std::to_string(folder / 36) +
                            (folder % 3 == 0 ? "/sub " + std::to_string(folder % 7) : "");
    fs::create_directories(store + "/Latest/" + rel);
    for (size_t i = 0; i < kPerFolder && written < files; ++i) {
      const size_t k = folder * 7 + i;
      const std::string stem = kStems[k % 9] + std::to_string(i * 13 + folder);
      const std::string ext = kExts[(k / 9) % 9];
      Write(store + "/Latest/" + rel + "/" + stem + ext, stem);
      ++written;
      if (i % 8 == 0) {
        // Revisions: one, every other time two.
        fs::create_directories(store + "/Revision/" + rel);
        for (int r = 1; r <= 1 + static_cast<int>(i / 8 % 2) && written < files; ++r) {
          char number[8];
          std::snprintf(number, sizeof number, "(%04d)", r);
          Write(store + "/Revision/" + rel + "/" + stem + number + ext, stem + number);
          ++written;
        }
      }
    }
    ++folder;
  }
  return written;
}

size_t CountFiles(const CVersionFolder* root, size_t* versions) {
  size_t files = 0;
  std::vector<const CVersionFolder*> stack{root};
  while (!stack.empty()) {
    const CVersionFolder* f = stack.back();
    stack.pop_back();
    files += f->files.size();
    for (const VersionFile& file : f->files) *versions += file.versions.size();
    for (const auto& sub : f->folders) stack.push_back(sub.get());
  }
  return files;
}

void BM_RestoreListing(benchmark::State& state) {
  const size_t files = EnvSet("BV_BENCH_FULL") ? 100000 : 10000;
  const char* home = std::getenv("HOME");
  const std::string base = std::string(home && *home ? home : "/root") + "/bv-bench";
  fs::create_directories(base);
  std::string tmpl = base + "/restore-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) std::abort();
  const std::string w = tmpl;
  for (const char* sub : {"data", "evol/Bench"}) fs::create_directories(w + "/" + sub);
  setenv("BREVANTO_DATA_DIR", (w + "/data").c_str(), 1);
  setenv("BREVANTO_MESSAGE_LOG", (w + "/messages.log").c_str(), 1);
  Write(w + "/volumes.ini", "[C]\nRoot=/\nType=fixed\nSystem=1\n[E]\nRoot=" + w +
                                "/evol\nType=fixed\n[Power]\nSource=ac\n");
  setenv("BREVANTO_VOLUMES", (w + "/volumes.ini").c_str(), 1);
  plat::VolumeTable::Instance().Reload();
  ResetSettingsCache();
  App();

  const std::string storeNative = w + "/evol/Bench";
  const size_t written = WriteStore(storeNative, files);

  PlanSettings s;
  s.name = "Bench";
  s.storePath = "E:\\Bench\\";
  s.storageType = kStorageLocal;
  s.scheduleNum = 1;
  s.scheduleUnit = 8;
  s.versionNumber = 5;
  CPlan* plan = PlanList::Instance().CreatePlan(s);
  RestoreStore store;
  if (plan == nullptr || !GetRestoreStore(plan, &store)) {
    state.SkipWithError("plan could not be made");
    return;
  }

  double lsSeconds = 1e9, lsPeak = 0, lslSeconds = 1e9, lslPeak = 0;
  double wholeSeconds = 1e9, wholePeak = 0, firstSeconds = 1e9, firstPeak = 0;
  double lsCpu = 1e9, wholeCpu = 1e9, lslCpu = 1e9, namesCpu = 1e9;
  double searchSeconds = 1e9, searchPeak = 0;
  size_t listed = 0, versions = 0, found = 0;
  bool ok = true;
  for (auto _ : state) {
    for (int round = 0; round < 4; ++round) {  // round 0 warms the cache
      double t = 0, peak = 0, cpu = 0;
      ok = ok && RunTool({"ls", "-R", storeNative}, &t, &peak, &cpu);
      if (round > 0 && t < lsSeconds) lsSeconds = t;
      if (round > 0) lsCpu = std::min(lsCpu, cpu);
      ok = ok && RunTool({"ls", "-lR", storeNative}, &t, &peak, &cpu);
      if (round > 0 && t < lslSeconds) lslSeconds = t;
      if (round > 0) lslCpu = std::min(lslCpu, cpu);
      if (round == 1) {
        lsPeak = ToolPeakMb({"ls", "-R", storeNative}, w + "/peak.txt");
        lslPeak = ToolPeakMb({"ls", "-lR", storeNative}, w + "/peak.txt");
      }

      // Every folder of the store listed, with sizes and dates or names only.
      auto listAll = [&](bool namesOnly) {
        std::unique_ptr<StoreAccess> access = MakeStoreAccess(store);
        std::unique_ptr<CVersionFolder> all = ListProtectedFolders(*access, store);
        std::vector<CVersionFolder*> stack{all.get()};
        while (all && !stack.empty()) {
          CVersionFolder* f = stack.back();
          stack.pop_back();
          ok = (namesOnly ? ListVersionNames(*access, store.separator, f)
                          : ListVersionFolder(*access, store.separator, f)) &&
               ok;
          for (auto& sub : f->folders) stack.push_back(sub.get());
        }
        return all;
      };
      ResetPeak();
      const double cpuBefore = ThreadCpu();
      auto start = Clock::now();
      {
        std::unique_ptr<CVersionFolder> all = listAll(false);
        t = Seconds(start);
        if (round > 0) wholeCpu = std::min(wholeCpu, ThreadCpu() - cpuBefore);
        if (!all) ok = false;
        versions = 0;
        if (all) listed = CountFiles(all.get(), &versions);
      }
      if (round > 0 && t < wholeSeconds) wholeSeconds = t, wholePeak = PeakMb();

      const double namesBefore = ThreadCpu();
      if (std::unique_ptr<CVersionFolder> names = listAll(true); round > 0)
        namesCpu = std::min(namesCpu, ThreadCpu() - namesBefore);

      ResetPeak();
      start = Clock::now();
      {
        CDlgRestore dlg(plan->Id());
        dlg.show();
        Spin([&] { return dlg.Tree()->topLevelItemCount() > 0; });
        t = Seconds(start);
        if (round > 0 && t < firstSeconds) firstSeconds = t, firstPeak = PeakMb();

        ResetPeak();
        dlg.SearchBox()->setText("report");
        start = Clock::now();
        dlg.Search();
        Spin([&] { return dlg.Found() != nullptr; });
        t = Seconds(start);
        Spin([&] { return !dlg.IsSearching() && !dlg.IsListing(); });
        if (round > 0 && t < searchSeconds) searchSeconds = t, searchPeak = PeakMb();
        size_t v = 0;
        found = dlg.Found() != nullptr ? CountFiles(dlg.Found(), &v) : 0;
        dlg.done(0);
      }
      Spin([] { return DiscardedRestoreJobsRunning() == 0; });
    }
  }
  if (!ok || listed == 0 || found == 0) state.SkipWithError("a listing or ls failed");
  state.counters["files_on_disk"] = static_cast<double>(written);
  state.counters["files_listed"] = static_cast<double>(listed);
  state.counters["versions_listed"] = static_cast<double>(versions);
  state.counters["search_found"] = static_cast<double>(found);
  state.counters["ls_R_s"] = lsSeconds;
  state.counters["ls_R_peak_MB"] = lsPeak;
  state.counters["ls_lR_s"] = lslSeconds;
  state.counters["ls_lR_peak_MB"] = lslPeak;
  state.counters["whole_s"] = wholeSeconds;
  state.counters["whole_peak_MB"] = wholePeak;
  state.counters["ratio_to_ls_R"] = wholeSeconds / lsSeconds;
  state.counters["ls_R_cpu_s"] = lsCpu;
  state.counters["whole_cpu_s"] = wholeCpu;
  state.counters["ls_lR_cpu_s"] = lslCpu;
  state.counters["cpu_ratio_to_ls_lR"] = wholeCpu / lslCpu;
  state.counters["names_cpu_s"] = namesCpu;
  state.counters["cpu_ratio_to_ls_R"] = namesCpu / lsCpu;
  state.counters["first_level_s"] = firstSeconds;
  state.counters["first_level_peak_MB"] = firstPeak;
  state.counters["search_s"] = searchSeconds;
  state.counters["search_peak_MB"] = searchPeak;

  PlanList::Instance().DeletePlan(plan->Id());
  fs::remove_all(w);
}
BENCHMARK(BM_RestoreListing)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
