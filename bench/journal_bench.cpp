// The journal's speed and memory: appending 100,000 records, looking paths
// up in the index of 1,000,000 records, opening and indexing a file of
// 1,000,000 records (time and peak memory), and the journal walk of a plan
// whose 1,000,000 records hold 10 pending ones, beside `cat` reading the same
// file in the same run.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "history/CLoggingDatabase.h"
#include "history/Crc64.h"
#include "platform/base/Text.h"

namespace fs = std::filesystem;

namespace {

constexpr int kBig = 1000000;

// A folder under $TMPDIR removed at exit.
struct BenchDir {
  std::string native, system;
  BenchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/bv-bench-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    native = fs::canonical(mkdtemp(buf.data())).string();
    system = "C:" + native;
    for (char& c : system)
      if (c == '/') c = '\\';
  }
  ~BenchDir() {
    std::error_code ec;
    fs::remove_all(native, ec);
  }
};

// About 60 characters, 100 files per folder, as a user's documents look.
std::string BenchPath(int i) {
  char buf[128];
  std::snprintf(buf, sizeof buf,
                "C:\\Users\\bench\\Documents\\Project%03d\\Folder%02d\\doc_%07d.docx", i / 10000,
                (i / 100) % 100, i);
  return buf;
}

void PutLe(std::string* out, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}

// Writes a journal of n records straight to disk, streaming; record i is
// pending when pending(i), else copied.
template <class Pending>
void WriteJournal(const std::string& native, int n, Pending pending) {
  std::ofstream out(native, std::ios::binary | std::ios::trunc);
  std::string header(CLoggingDatabase::kHeaderText);
  header.resize(CLoggingDatabase::kHeaderSize, '\0');
  out << header;
  std::string rec;
  for (int i = 0; i < n; ++i) {
    std::u16string p = plat::Utf8ToUtf16(BenchPath(i));
    rec.clear();
    PutLe(&rec, kLogRecordMagic, 4);
    PutLe(&rec, 0, 4);
    PutLe(&rec, PathHash(p), 8);
    PutLe(&rec, 1700000000 + i, 8);
    PutLe(&rec, 0, 8);
    PutLe(&rec, 0, 8);
    PutLe(&rec, 0, 4);
    PutLe(&rec, pending(i) ? kLogPending : kLogCopied, 2);
    PutLe(&rec, p.size(), 2);
    for (char16_t u : p) PutLe(&rec, u, 2);
    PutLe(&rec, 0, 2);
    out << rec;
  }
}

void WriteBigJournal(const std::string& native, int n) {
  WriteJournal(native, n, [](int i) { return i % 3 != 0; });
}

// kB figures of /proc/self/status.
long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  size_t n = std::strlen(key);
  while (std::getline(in, line))
    if (line.compare(0, n, key) == 0 && line[n] == ':') return std::atol(line.c_str() + n + 1);
  return -1;
}

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Starts a new peak: VmHWM falls back to the present RSS.
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

BenchDir& BigDir() {
  static BenchDir dir;
  static bool made = false;
  if (!made) {
    WriteBigJournal(dir.native + "/Logging.dat", kBig);
    made = true;
  }
  return dir;
}

void BM_OpenAndLoadIndex1M(benchmark::State& state) {
  BenchDir& dir = BigDir();
  long rssBefore = 0, hwm = 0, rssAfter = 0;
  size_t indexBytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ResetPeak();
    rssBefore = StatusKb("VmRSS");
    state.ResumeTiming();
    CLoggingDatabase db;
    if (db.Open(dir.system, 1) != 0 || db.LoadIndex() != 0) state.SkipWithError("load failed");
    state.PauseTiming();
    hwm = StatusKb("VmHWM");
    rssAfter = StatusKb("VmRSS");
    indexBytes = db.IndexMemoryBytes();
    if (db.IndexCount() != static_cast<size_t>(kBig)) state.SkipWithError("records missing");
    db.Close();
    state.ResumeTiming();
  }
  state.counters["records"] = kBig;
  state.counters["peak_MB"] = (hwm - rssBefore) / 1024.0;
  state.counters["rss_growth_MB"] = (rssAfter - rssBefore) / 1024.0;
  state.counters["VmHWM_MB"] = hwm / 1024.0;
  state.counters["index_MB"] = indexBytes / (1024.0 * 1024.0);
}
BENCHMARK(BM_OpenAndLoadIndex1M)->Unit(benchmark::kMillisecond)->Iterations(3);

// Opening alone: the header check and the walk that looks for a torn tail.
void BM_Open1M(benchmark::State& state) {
  BenchDir& dir = BigDir();
  for (auto _ : state) {
    CLoggingDatabase db;
    if (db.Open(dir.system, 1) != 0) state.SkipWithError("open failed");
  }
}
BENCHMARK(BM_Open1M)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Lookup1M(benchmark::State& state) {
  BenchDir& dir = BigDir();
  CLoggingDatabase db;
  if (db.Open(dir.system, 1) != 0 || db.LoadIndex() != 0) {
    state.SkipWithError("load failed");
    return;
  }
  // Keys prepared beforehand: a caller hashes its path once.
  constexpr int kKeys = 65536;
  std::vector<std::u16string> paths(kKeys);
  std::vector<uint64_t> hashes(kKeys);
  for (int i = 0; i < kKeys; ++i) {
    paths[i] = plat::Utf8ToUtf16(BenchPath(static_cast<int>((i * 2654435761u) % kBig)));
    hashes[i] = PathHash(paths[i]);
  }
  size_t i = 0, hits = 0;
  for (auto _ : state) {
    uint64_t off = 0;
    hits += db.Lookup(hashes[i & (kKeys - 1)], paths[i & (kKeys - 1)], &off);
    benchmark::DoNotOptimize(off);
    ++i;
  }
  if (hits != i) state.SkipWithError("lookup missed");
}
BENCHMARK(BM_Lookup1M)->Iterations(1000000);

void BM_Append100k(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    BenchDir dir;
    CLoggingDatabase db;
    db.Open(dir.system, 1);
    std::vector<std::string> paths;
    paths.reserve(100000);
    for (int i = 0; i < 100000; ++i) paths.push_back(BenchPath(i));
    state.ResumeTiming();
    for (const std::string& p : paths)
      if (db.NoteChangedFile(p) != 0) state.SkipWithError("append failed");
    state.PauseTiming();
    db.Close();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_Append100k)->Unit(benchmark::kMillisecond)->Iterations(3);

// The journal walk of a plan: 1,000,000 records, 10 of them pending. Timed
// apart: opening and indexing the file as a plan's load does, the backup
// task's walk (the journal's pending records read and handed on),
// and CollectPending (the main window's count; asked again with nothing
// written). `cat` reads the same file
// to /dev/null in the same run; peak_MB covers all three steps.
void BM_JournalWalk1M(benchmark::State& state) {
  static BenchDir dir;
  static bool made = false;
  if (!made) {
    WriteJournal(dir.native + "/Logging.dat", kBig, [](int i) { return i % 100000 == 99999; });
    made = true;
  }
  const std::string cat = "cat '" + dir.native + "/Logging.dat' > /dev/null";
  double catSeconds = 0, loadSeconds = 0, walkSeconds = 0, collectSeconds = 0;
  double catCpu = 0, loadCpu = 0, walkCpu = 0, collectCpu = 0, againSeconds = 0;
  long rssBefore = 0, hwm = 0;
  size_t handed = 0, collected = 0;
  using Clock = std::chrono::steady_clock;
  auto since = [](Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
  };
  for (auto _ : state) {
    if (std::system(cat.c_str()) != 0) state.SkipWithError("cat failed");
    double cpu = CpuSeconds(RUSAGE_CHILDREN);
    auto start = Clock::now();
    if (std::system(cat.c_str()) != 0) state.SkipWithError("cat failed");
    catSeconds = since(start);
    catCpu = CpuSeconds(RUSAGE_CHILDREN) - cpu;
    ResetPeak();
    rssBefore = StatusKb("VmRSS");
    cpu = CpuSeconds(RUSAGE_THREAD);
    start = Clock::now();
    CLoggingDatabase db;
    if (db.Open(dir.system, 1) != 0 || db.LoadIndex() != 0) state.SkipWithError("load failed");
    loadSeconds = since(start);
    loadCpu = CpuSeconds(RUSAGE_THREAD) - cpu;
    cpu = CpuSeconds(RUSAGE_THREAD);
    start = Clock::now();
    std::vector<std::string> pending;
    {
      std::lock_guard<std::recursive_mutex> g(db.Mutex());
      std::vector<uint64_t> offsets;
      if (db.PendingOffsets(&offsets) != 0) state.SkipWithError("pending offsets failed");
      LogRecord record;
      for (uint64_t offset : offsets) {
        uint64_t next = 0;
        bool found = false;
        if (db.ReadRecord(offset, &record, &next, &found) != 0 || !found) break;
        pending.push_back(record.PathUtf8());
      }
    }
    walkSeconds = since(start);
    walkCpu = CpuSeconds(RUSAGE_THREAD) - cpu;
    handed = pending.size();
    cpu = CpuSeconds(RUSAGE_THREAD);
    start = Clock::now();
    pending.clear();
    if (db.CollectPending(&pending, 2000000000) != 0) state.SkipWithError("collect failed");
    collectSeconds = since(start);
    collectCpu = CpuSeconds(RUSAGE_THREAD) - cpu;
    // Asked again with nothing written: the window's count after each run.
    start = Clock::now();
    pending.clear();
    if (db.CollectPending(&pending, 2000000000) != 0) state.SkipWithError("collect failed");
    againSeconds = since(start);
    collected = pending.size();
    hwm = StatusKb("VmHWM");
    state.SetIterationTime(loadSeconds + walkSeconds);
  }
  if (handed != 10 || collected != 10) state.SkipWithError("pending records missed");
  state.counters["cat_s"] = catSeconds;
  state.counters["load_s"] = loadSeconds;
  state.counters["walk_s"] = walkSeconds;
  state.counters["collect_s"] = collectSeconds;
  state.counters["collect_again_s"] = againSeconds;
  state.counters["cat_cpu_s"] = catCpu;
  state.counters["load_cpu_s"] = loadCpu;
  state.counters["walk_cpu_s"] = walkCpu;
  state.counters["collect_cpu_s"] = collectCpu;
  state.counters["walk_ratio_to_cat"] = catSeconds > 0 ? walkSeconds / catSeconds : 0;
  state.counters["load_walk_ratio_to_cat"] =
      catSeconds > 0 ? (loadSeconds + walkSeconds) / catSeconds : 0;
  state.counters["peak_MB"] = (hwm - rssBefore) / 1024.0;
  state.counters["VmHWM_MB"] = hwm / 1024.0;
}
BENCHMARK(BM_JournalWalk1M)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
