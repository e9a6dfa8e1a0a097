// Disc archiving of a 1 GiB store (900 files of 1 MiB and 12,000 of 10 KiB
// in 120 folders, some with non-ASCII names) to one pseudo-drive: the
// archiving worker fills the list, builds the image (ISO 9660, Joliet, Rock
// Ridge) and writes it, against ONE `xorriso -as mkisofs -J -R -o FILE` of
// the same tree in the same run. Both read the tree warm (it was just
// written). `ratio` is ours / xorriso.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "destinations/disc/CDiscBurn.h"
#include "destinations/disc/PendingFiles.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

uint64_t MakeStore(const bvtest::TempDir& dir) {
  uint64_t total = 0;
  std::string big(1u << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) >> 7);
  const std::string small(10240, 's');
  for (int f = 0; f < 120; ++f) {
    const std::string folder = "Store/Latest/C/home/ann/" +
                               std::string(f % 3 ? "Projekte/Größe-" : "docs/") +
                               std::to_string(f) + "/";
    for (int i = 0; i < 100; ++i) {
      dir.Write(folder + "note-" + std::to_string(i) + ".txt", small);
      total += small.size();
    }
    for (int i = 0; i < 8 && f * 8 + i < 900; ++i) {  // 900 files of 1 MiB in all
      big[0] = static_cast<char>(f * 8 + i);
      dir.Write(folder + "bild-" + std::to_string(i) + ".raw", big);
      total += big.size();
    }
  }
  return total;
}

void BM_ArchiveOneGiBStore(benchmark::State& state) {
  bvtest::TempDir dir;
  const uint64_t total = MakeStore(dir);
  const std::string drive = dir.NativeOf("ours.iso");
  bvtest::ScopedEnv drives("BREVANTO_PSEUDO_DRIVES", drive + "=8G");
  disc::RescanRecorders();
  for (auto _ : state) {
    std::remove(drive.c_str());
    const auto start = std::chrono::steady_clock::now();
    disc::PendingList list;
    disc::FillPendingList(dir.SystemOf("Store\\Latest"), &list);
    disc::CDiscBurn worker(list);
    worker.SetRecorder(disc::RecorderNames().back());
    worker.SetDiscName("Bench");
    worker.SetLatestFolder(dir.SystemOf("Store\\Latest"));
    worker.SetTotalBytes(list.TotalBytes());
    if (worker.StartJob() != 0) {
      state.SkipWithError("the worker did not start");
      return;
    }
    while (worker.Running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    worker.Join();
    const double ours = Seconds(start);
    if (worker.Failed() || !list.Empty()) {
      state.SkipWithError(("archiving failed: " + worker.ErrorText()).c_str());
      return;
    }
    state.SetIterationTime(ours);

    const std::string out = dir.NativeOf("xorriso.iso");
    std::remove(out.c_str());
    const std::string command = "xorriso -as mkisofs -J -R -o '" + out + "' '" +
                                dir.NativeOf("Store/Latest") + "' > /dev/null 2>&1";
    const auto xstart = std::chrono::steady_clock::now();
    const int rc = std::system(command.c_str());
    const double xorriso = Seconds(xstart);
    if (rc != 0) {
      state.SkipWithError("xorriso failed");
      return;
    }
    state.counters["ours_s"] = ours;
    state.counters["xorriso_s"] = xorriso;
    state.counters["ratio"] = ours / xorriso;
    state.counters["MiB"] = double(total) / (1 << 20);
    std::remove(out.c_str());
  }
}

BENCHMARK(BM_ArchiveOneGiBStore)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
