// The restore's listing of a server store against `curl --list-only` in the
// same run: a folder holding one file with 10,000 revisions ("Latest" holds
// the current copy, "Revision" the 10,000), on the loopback pure-ftpd the
// tests start. Ours is what opening that folder in the restore window costs
// on a fresh connection: log in, make sure of the store folder, list the
// folder's "Latest" and "Revision" into the version tree ("Revision" by
// names). curl is one invocation listing the "Revision" folder's names
// (`curl_mlsd_s`: the same with the machine listing). `open_file_s`: what
// opening the file's versions then costs (a new connection, the folder
// listed with sizes and dates). Nine rounds, medians.
// Needs root (the server starts as root) and pure-ftpd; skips otherwise.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "destinations/Destination.h"
#include "history/RestoreJobs.h"
#include "history/StoreAccess.h"
#include "history/VersionTree.h"
#include "support/FtpServer.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void BM_RestoreListTenThousandRevisions(benchmark::State& state) {
  static bvtest::FtpServer server;
  if (!server.Ok()) {
    state.SkipWithError(server.Reason().c_str());
    return;
  }
  constexpr int kRevisions = 10000;
  constexpr int kRounds = 9;
  const std::string store = "/bvuser/restore-list/";
  const std::string native = server.NativeOf(store);
  fs::create_directories(native + "Revision/C/docs");
  fs::create_directories(native + "Latest/C/docs");
  std::ofstream(native + "Brevanto.dat") << "[Store]\n";
  std::ofstream(native + "Latest/C/docs/report.txt") << "now";
  for (int i = 1; i <= kRevisions; ++i)
    std::ofstream(native + "Revision/C/docs/" + RevisionFileName("report", "txt", i)) << i;
  for (const auto& e : fs::recursive_directory_iterator(server.NativeOf("/bvuser")))
    if (chown(e.path().c_str(), 65534, 65534) != 0) break;
  RestoreStore where;
  where.storageType = kStorageFtp;
  where.separator = '/';
  where.folder = store;
  where.ftp = server.Settings("restore-list/");
  bvtest::TempDir scratch;
  const std::string config = scratch.NativeOf("curl.cfg");
  std::ofstream(config) << "user = \"" << bvtest::FtpServer::kUser << ":"
                        << bvtest::FtpServer::kPassword << "\"\nsilent\nshow-error\nlist-only\n"
                        << "url = \"ftp://127.0.0.1:" << server.Port() << "/%2F" << store.substr(1)
                        << "Revision/C/docs/\"\n";
  const std::string curl = "curl --config '" + config + "' > /dev/null";
  for (auto _ : state) {
    std::vector<double> ours, theirs, machine, opening;
    for (int round = 0; round < kRounds; ++round) {
      auto start = std::chrono::steady_clock::now();
      std::unique_ptr<StoreAccess> access = MakeStoreAccess(where);
      std::string failure;
      CVersionFolder folder;
      folder.latestPath = store + "Latest/C/docs";
      folder.revisionPath = store + "Revision/C/docs";
      if (!access->Reach(&failure) || !ListVersionFolder(*access, '/', &folder) ||
          folder.files.size() != 1 || folder.files[0].versions.size() != kRevisions + 1) {
        state.SkipWithError(("the listing failed: " + failure).c_str());
        return;
      }
      ours.push_back(Seconds(start));
      start = std::chrono::steady_clock::now();
      {
        std::unique_ptr<StoreAccess> sizes = MakeStoreAccess(where);
        CVersionFolder copy;
        copy.latestPath = folder.latestPath;
        copy.revisionPath = folder.revisionPath;
        if (!sizes->Reach(&failure) || !ListVersionSizes(*sizes, '/', &copy)) {
          state.SkipWithError(("the sized listing failed: " + failure).c_str());
          return;
        }
        AdoptSizes(&folder, &copy);
        if (!folder.files[0].versions.back().sized) {
          state.SkipWithError("the versions got no sizes");
          return;
        }
      }
      opening.push_back(Seconds(start));
      start = std::chrono::steady_clock::now();
      if (std::system(curl.c_str()) != 0) {
        state.SkipWithError("curl failed");
        return;
      }
      theirs.push_back(Seconds(start));
      // The same folder's machine listing (what ours asks for: sizes, dates).
      start = std::chrono::steady_clock::now();
      if (std::system((curl + " --request MLSD").c_str()) != 0) {
        state.SkipWithError("curl failed");
        return;
      }
      machine.push_back(Seconds(start));
    }
    state.SetIterationTime(Median(ours));
    state.counters["ours_s"] = Median(ours);
    state.counters["curl_s"] = Median(theirs);
    state.counters["ratio"] = Median(ours) / Median(theirs);
    state.counters["curl_mlsd_s"] = Median(machine);
    state.counters["open_file_s"] = Median(opening);
  }
  state.counters["revisions"] = kRevisions;
}

}  // namespace

BENCHMARK(BM_RestoreListTenThousandRevisions)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
