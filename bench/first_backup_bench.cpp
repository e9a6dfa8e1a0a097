// A plan's first backup measured on the real program, started black box on a
// hand-written data folder: a continuous plan over a slice of /usr/share and
// /usr/include copied below $HOME, its store on a disk folder of the same
// file system, timed from the "#Plan Initial Backup Start" record to the
// "#Plan Initial Backup End" record, beside `cp -a` of the same tree in the
// same run.
//
//   FirstBackup       program_s / cp_a_s (ratio), the program's CPU over the
//                     same span against cp's (cpu_ratio), its peak memory;
//                     startup_s: from the start to the start record (with
//                     inotify, setting up the watches)
//   FirstBackupCalls  system calls per copied file, waits left out (futex,
//                     sleeps): the difference between a small and a larger
//                     first backup under `strace -f -c`, and cp -a's the same
//                     way (BV_BENCH_STRACE=0 leaves it out)
//
//   Unobtrusive       a CPU-bound job (xz -9 of a fixed file) and an I/O-bound
//                     one (reading a cold 1 GiB file) alone and while a first
//                     backup of generated files runs (100,000; 20,000 by
//                     default): xz_ratio and read_ratio, each against the
//                     mean of a run before and a run after; during the read,
//                     the program's CPU and disk traffic and the dirty pages
//                     at its start (read_program_*, read_dirty_at_start_MB)
//
//   BV_BENCH_SYNC_FIRST=1  dirty pages written out (sync) before that read
//   BV_BENCH_FULL=1        20,000 files (default 5,000)
//   BV_BENCH_SOURCE=inotify the change source a user without privileges gets
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BlackBox.h"
#include "support/DataFolder.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using bvbench::Clock;

namespace {

// The first `count` regular files below /usr/share then /usr/include, in
// name order, copied with their folders into `to`.
size_t MakeTree(const std::string& to, size_t count) {
  std::vector<fs::path> files;
  for (const char* root : {"/usr/share", "/usr/include"}) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(
             root, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (ec) break;
      if (it->is_regular_file(ec) && !it->is_symlink(ec)) files.push_back(it->path());
    }
  }
  std::sort(files.begin(), files.end());
  size_t made = 0;
  for (const fs::path& file : files) {
    if (made == count) break;
    const fs::path target = fs::path(to) / file.relative_path();
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (fs::copy_file(file, target, fs::copy_options::overwrite_existing, ec)) ++made;
  }
  return made;
}

size_t CountFiles(const std::string& root) {
  size_t n = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (it->is_regular_file(ec)) ++n;
  }
  return n;
}

std::map<std::string, std::string> SourceEnv(const std::string& home) {
  const char* v = std::getenv("BV_BENCH_SOURCE");
  if (v != nullptr && std::string(v) == "inotify")
    return {{"BREVANTO_CHANGE_SOURCE", "inotify"}, {"BREVANTO_CHANGE_ROOTS", home}};
  return {};
}

// One continuous plan over home's "prot" folder, its store on disk E.
void WriteBenchPlan(bvtest::DataFolder& data, const bvtest::TempDir& home) {
  bvtest::PlanFiles plan;
  plan.name = "Bench";
  plan.storePath = "E:\\Store\\";
  plan.sources = {home.SystemOf("prot")};
  data.WritePlan(plan);
  data.WritePlanList({1});
}

// A continuous plan over home/"prot" with its store on the E: folder.
struct World {
  bvtest::TempDir work;
  bvtest::TempDir home{bvtest::TempDir::Where::kHome};
  bvtest::DataFolder data{work.Native()};
  size_t files = 0;

  explicit World(size_t count) {
    files = MakeTree(home.NativeOf("prot"), count);
    WriteBenchPlan(data, home);
    data.PaceByMachineLoad();
  }
  std::string Latest() const { return data.Volume('E') + "/Store/Latest"; }
};

struct Run {
  bool ok = false;
  double startup = 0, wall = 0, cpu = 0, peak = 0;
  size_t copied = 0;
};

// Starts the program and waits for the first backup's end record.
Run FirstBackup(World& world, const std::vector<std::string>& wrapper = {}) {
  Run run;
  bvbench::ProgramRun program(world.data);
  const auto launched = Clock::now();
  if (!program.Start(SourceEnv(world.home.Native()), wrapper)) return run;
  bvbench::LogTail log(world.data);
  const auto limit = Clock::now() + std::chrono::minutes(10);
  while (!log.Has("#Plan Initial Backup Start") && Clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const auto begin = Clock::now();
  const double cpu = bvbench::CpuSecondsOf(program.ProgramPid());
  while (!log.Has("#Plan Initial Backup End") && Clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  run.wall = bvbench::Seconds(Clock::now() - begin);
  run.startup = bvbench::Seconds(begin - launched);
  run.cpu = bvbench::CpuSecondsOf(program.ProgramPid()) - cpu;
  run.peak = bvbench::PeakRssMbOf(program.ProgramPid());
  run.ok = Clock::now() < limit && program.Terminate(30);
  if (!run.ok) std::fprintf(stderr, "program stderr:\n%s\n", program.Stderr().c_str());
  run.copied = CountFiles(world.Latest());
  return run;
}

void BM_FirstBackup(benchmark::State& state) {
  const size_t count = bvbench::Full() ? 20000 : 5000;
  for (auto _ : state) {
    World world(count);
    bvtest::TempDir target;
    const bvbench::CommandCost cp = bvbench::RunTimed("cp -a '" + world.home.NativeOf("prot") +
                                                      "' '" + target.NativeOf("cp") + "'");
    const Run run = FirstBackup(world);
    if (!cp.ok || !run.ok || run.copied != world.files) {
      std::fprintf(stderr, "%zu of %zu files in Latest\n", run.copied, world.files);
      state.SkipWithError("the first backup or cp -a did not complete");
      return;
    }
    state.counters["files"] = static_cast<double>(world.files);
    state.counters["startup_s"] = run.startup;
    state.counters["program_s"] = run.wall;
    state.counters["cp_a_s"] = cp.wall;
    state.counters["ratio"] = run.wall / cp.wall;
    state.counters["program_cpu_s"] = run.cpu;
    state.counters["cp_a_cpu_s"] = cp.cpu;
    state.counters["cpu_ratio"] = cp.cpu > 0 ? run.cpu / cp.cpu : 0;
    state.counters["peak_rss_MB"] = run.peak;
  }
}
BENCHMARK(BM_FirstBackup)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Calls per system call name in an `strace -c` summary, waits left out.
std::map<std::string, double> StraceCounts(const std::string& file) {
  static const std::set<std::string> kWaits = {"futex",           "nanosleep", "clock_nanosleep",
                                               "restart_syscall", "wait4",     "rt_sigtimedwait"};
  std::map<std::string, double> counts;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string w; fields >> w;) words.push_back(w);
    // "% time seconds usecs/call calls [errors] syscall"
    if (words.size() < 5 || words.back() == "total" || words.back() == "syscall") continue;
    if (kWaits.count(words.back())) continue;
    const double calls = std::atof(words[3].c_str());
    if (calls > 0) counts[words.back()] += calls;
  }
  return counts;
}

double Sum(const std::map<std::string, double>& counts) {
  double total = 0;
  for (const auto& [name, n] : counts) total += n;
  return total;
}

void BM_FirstBackupCalls(benchmark::State& state) {
  const char* v = std::getenv("BV_BENCH_STRACE");
  if (v != nullptr && std::string(v) == "0") {
    state.SkipWithError("BV_BENCH_STRACE=0");
    return;
  }
  const size_t small = 1000, large = bvbench::Full() ? 10000 : 5000;
  for (auto _ : state) {
    std::map<std::string, double> program[2], cp[2];
    size_t files[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
      World world(i == 0 ? small : large);
      files[i] = world.files;
      const std::string out = world.work.NativeOf("strace.txt");
      const Run run = FirstBackup(world, {"strace", "-f", "-c", "-o", out});
      if (!run.ok || run.copied != world.files) {
        state.SkipWithError("the first backup under strace did not complete");
        return;
      }
      program[i] = StraceCounts(out);
      const std::string cpOut = world.work.NativeOf("strace-cp.txt");
      bvtest::TempDir target;
      bvbench::RunTimed("strace -f -c -o '" + cpOut + "' cp -a '" + world.home.NativeOf("prot") +
                        "' '" + target.NativeOf("cp") + "'");
      cp[i] = StraceCounts(cpOut);
    }
    const double n = static_cast<double>(files[1] - files[0]);
    state.counters["calls_per_file"] = (Sum(program[1]) - Sum(program[0])) / n;
    state.counters["cp_calls_per_file"] = (Sum(cp[1]) - Sum(cp[0])) / n;
    // The largest contributors, per file.
    std::vector<std::pair<double, std::string>> each;
    for (const auto& [name, calls] : program[1])
      each.push_back({(calls - program[0][name]) / n, name});
    std::sort(each.rbegin(), each.rend());
    for (size_t i = 0; i < each.size() && i < 8; ++i)
      state.counters[each[i].second] = each[i].first;
    std::fprintf(stderr, "calls per copied file:");
    for (const auto& [calls, name] : each)
      if (calls >= 0.05) std::fprintf(stderr, " %s %.2f", name.c_str(), calls);
    std::fprintf(stderr, "\n");
  }
}
BENCHMARK(BM_FirstBackupCalls)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// count files of 1-8 KiB in folders of 100, below to.
size_t MakeGenerated(const std::string& to, size_t count) {
  std::string bytes(8192, '\0');
  uint32_t seed = 7;
  for (char& c : bytes) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>('a' + (seed >> 16) % 26);
  }
  size_t made = 0;
  for (size_t i = 0; i < count; ++i) {
    const std::string folder = to + "/d" + std::to_string(i / 100);
    if (i % 100 == 0) fs::create_directories(folder);
    std::ofstream out(folder + "/f" + std::to_string(i) + ".txt", std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(1024 + (i * 977) % 7168));
    if (out) ++made;
  }
  return made;
}

// A line of /proc/meminfo in MB (0 when missing).
double MeminfoMb(const std::string& key) {
  std::ifstream in("/proc/meminfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::strtod(line.c_str() + key.size(), nullptr) / 1024.0;
  }
  return 0;
}

// Bytes a process made the disk read and was charged for writing (/proc/PID/io).
struct IoBytes {
  double read = 0, write = 0;
};
IoBytes IoOf(pid_t pid) {
  IoBytes io;
  std::ifstream in("/proc/" + std::to_string(pid) + "/io");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("read_bytes:", 0) == 0) io.read = std::strtod(line.c_str() + 11, nullptr);
    if (line.rfind("write_bytes:", 0) == 0) io.write = std::strtod(line.c_str() + 12, nullptr);
  }
  return io;
}

// Empties the page cache (we run as root), so the next read of a file goes to the disk;
// then reads `warm` back in.
bool MakeCold(const std::string& warm) {
  return std::system(("sync && echo 3 > /proc/sys/vm/drop_caches && cat '" + warm + "' > /dev/null")
                         .c_str()) == 0;
}

void BM_Unobtrusive(benchmark::State& state) {
  const size_t count = bvbench::Full() ? 100000 : 20000;
  for (auto _ : state) {
    bvtest::TempDir work;
    bvtest::TempDir home{bvtest::TempDir::Where::kHome};
    const std::string xzInput = work.NativeOf("xz-input");
    const std::string big = work.NativeOf("big");
    // A fixed, fairly compressible file for xz; 1 GiB of data for the read.
    if (std::system(("cat /usr/bin/* 2>/dev/null | head -c 24M > '" + xzInput +
                     "' ; head -c 1G /dev/urandom > '" + big + "'")
                        .c_str()) != 0) {
      state.SkipWithError("could not make the input files");
      return;
    }
    const std::string xz = "xz -9 -T1 -c '" + xzInput + "' > /dev/null";
    const std::string read = "cat '" + big + "' > /dev/null";
    // On a virtual machine the cold read's speed depends on how long ago the
    // page cache was emptied (the guest hands freed memory back to its host,
    // and the read then waits for it again: measured here, 0.6 s at once,
    // 1.1 s after 3 s, 2.3 s after 15 s). So each read comes as long after
    // the emptying as the read during the backup does: after the program's
    // start-up and xz.
    auto alone = [&](double* xzSeconds, double* readSeconds, double startup) {
      MakeCold(xzInput);
      const auto cold = Clock::now();
      std::this_thread::sleep_for(std::chrono::duration<double>(startup));
      *xzSeconds = bvbench::RunTimed(xz).wall;
      state.counters["read_alone_cold_age_s"] = bvbench::Seconds(Clock::now() - cold);
      *readSeconds = bvbench::RunTimed(read).wall;
    };
    double xzBefore = 0, readBefore = 0, xzAfter = 0, readAfter = 0;
    alone(&xzBefore, &readBefore, 3.0);

    bvtest::DataFolder data(work.Native());
    const size_t files = MakeGenerated(home.NativeOf("prot"), count);
    WriteBenchPlan(data, home);
    data.PaceByMachineLoad();
    MakeCold(xzInput);
    const auto coldDuring = Clock::now();
    bvbench::ProgramRun program(data);
    if (!program.Start(SourceEnv(home.Native()))) {
      state.SkipWithError("the program did not start");
      return;
    }
    bvbench::LogTail log(data);
    const auto limit = Clock::now() + std::chrono::minutes(5);
    while (!log.Has("#Plan Initial Backup Start") && Clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const double startupDuring = bvbench::Seconds(Clock::now() - coldDuring);
    const double xzDuring = bvbench::RunTimed(xz).wall;
    // What may slow the read down: the program's own disk traffic and CPU
    // while it runs, and the dirty pages the kernel still has to write out.
    const pid_t pid = program.ProgramPid();
    // BV_BENCH_SYNC_FIRST=1: the dirty pages are written out before the
    // read, to tell their writing from the program's own work.
    if (const char* v = std::getenv("BV_BENCH_SYNC_FIRST"); v != nullptr && std::string(v) == "1")
      state.counters["sync_before_read_s"] = bvbench::RunTimed("sync").wall;
    const double dirtyAtRead = MeminfoMb("Dirty:") + MeminfoMb("Writeback:");
    const IoBytes ioBefore = IoOf(pid);
    const double cpuBefore = bvbench::CpuSecondsOf(pid);
    state.counters["read_during_cold_age_s"] = bvbench::Seconds(Clock::now() - coldDuring);
    const double readDuring = bvbench::RunTimed(read).wall;
    const IoBytes ioAfter = IoOf(pid);
    state.counters["read_program_cpu_s"] = bvbench::CpuSecondsOf(pid) - cpuBefore;
    state.counters["read_program_disk_read_MB"] = (ioAfter.read - ioBefore.read) / 1e6;
    state.counters["read_program_disk_write_MB"] = (ioAfter.write - ioBefore.write) / 1e6;
    state.counters["read_dirty_at_start_MB"] = dirtyAtRead;
    const bool throughout = !log.Has("#Plan Initial Backup End");
    const auto backupEnds = Clock::now() + std::chrono::minutes(20);
    while (!log.Has("#Plan Initial Backup End") && Clock::now() < backupEnds)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    program.Terminate(30);
    alone(&xzAfter, &readAfter, startupDuring);
    state.counters["files"] = static_cast<double>(files);
    state.counters["xz_alone_s"] = (xzBefore + xzAfter) / 2;
    state.counters["xz_during_s"] = xzDuring;
    state.counters["xz_ratio"] = xzDuring / ((xzBefore + xzAfter) / 2);
    state.counters["read_alone_s"] = (readBefore + readAfter) / 2;
    state.counters["read_during_s"] = readDuring;
    state.counters["read_ratio"] = readDuring / ((readBefore + readAfter) / 2);
    state.counters["backup_ran_throughout"] = throughout ? 1 : 0;
    if (!throughout) state.SkipWithError("the backup ended before both jobs did: use more files");
  }
}
BENCHMARK(BM_Unobtrusive)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
