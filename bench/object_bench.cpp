// The object storage destination against the gateway the tests start (a
// one-node cluster and its S3 gateway on loopback), each figure beside ONE
// `rclone` invocation doing the same work in the same run (its remote set up
// through environment variables for the same gateway and keys, with an empty
// --config file in a temporary folder):
//   - 1,000 files of 4 KiB uploaded as the engine does it (the folder's
//     revisions listed once, the latest copy looked for, the copy), against
//     `rclone copy` of the folder (its defaults: four transfers at a time;
//     `rclone_1_s` is the same with --transfers 1);
//   - one 1 GiB file (in parts above 64 MiB), against `rclone copy` of it;
//   - the restore's listing of a folder of 10,000 revisions (a fresh
//     connection, every page), against `rclone lsf` of that folder.
// Needs the gateway's packages (scripts/deps.sh) and rclone (`apt-get install
// rclone`); skips with the reason otherwise. Installs nothing.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "destinations/DestinationFactory.h"
#include "history/ObjectStoreAccess.h"
#include "support/CephGateway.h"
#include "support/TempDir.h"

namespace {

bvtest::CephGateway& Gateway() {
  static bvtest::CephGateway gateway;
  return gateway;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Why the bench cannot run here; empty when it can.
std::string Missing() {
  if (std::system("command -v rclone > /dev/null 2>&1") != 0)
    return "rclone is not installed (apt-get install rclone)";
  if (!Gateway().Ok()) return Gateway().Reason();
  return "";
}

// Runs rclone with a remote "bv" for the gateway; its wall time, or a
// negative number when it failed.
double TimeRclone(const std::string& arguments) {
  static const bvtest::TempDir dir;  // not below the folders copied
  const std::string config = dir.NativeOf("rclone.conf");
  std::ofstream(config) << "";
  // An AWS_CA_BUNDLE of the environment would make rclone's S3 client fail
  // before its first request (the gateway speaks plain http on loopback).
  const std::string command =
      "env -u AWS_CA_BUNDLE RCLONE_CONFIG_BV_TYPE=s3 RCLONE_CONFIG_BV_PROVIDER=Ceph "
      "RCLONE_CONFIG_BV_ENV_AUTH=false "
      "RCLONE_CONFIG_BV_ACCESS_KEY_ID=" +
      bvtest::CephGateway::AccessKey() +
      " RCLONE_CONFIG_BV_SECRET_ACCESS_KEY=" + bvtest::CephGateway::SecretKey() +
      " RCLONE_CONFIG_BV_REGION=" + bvtest::CephGateway::Region() +
      " RCLONE_CONFIG_BV_ENDPOINT=" + Gateway().Endpoint() +
      " RCLONE_CONFIG_BV_FORCE_PATH_STYLE=true rclone --config '" + config + "' " + arguments +
      " > /dev/null";
  const auto start = std::chrono::steady_clock::now();
  const int rc = std::system(command.c_str());
  const double seconds = Seconds(start);
  return rc == 0 ? seconds : -1;
}

std::unique_ptr<CDestination> Destination(const std::string& bucket) {
  auto dest = CreateDestination(nullptr, kStorageObject);
  PlanSettings settings;
  settings.storageType = kStorageObject;
  settings.objectStore = Gateway().Settings(bucket, "ours");
  dest->Configure(settings);
  return dest->Prepare(true) ? std::move(dest) : nullptr;
}

// Uploads the files of sources both ways; ours is the iteration time.
void Upload(benchmark::State& state, const std::vector<std::string>& names,
            const bvtest::TempDir& sources) {
  const std::string missing = Missing();
  if (!missing.empty()) {
    state.SkipWithError(missing.c_str());
    return;
  }
  static int run = 0;
  const std::string bucket = "bench" + std::to_string(getpid()) + "-" + std::to_string(++run);
  if (!Gateway().MakeBucket(bucket)) {
    state.SkipWithError("the bucket could not be made");
    return;
  }
  for (auto _ : state) {
    auto dest = Destination(bucket);
    if (!dest) {
      state.SkipWithError("the destination did not connect");
      return;
    }
    const std::string folder = dest->GetRootPath() + "Latest/C/docs/";
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& name : names) {
      std::vector<VersionEntry> listed;
      dest->ListVersions(dest->GetRootPath() + "Revision/C/docs/", name, "", &listed);
      dest->FileExists(folder + name);
      if (dest->CopyFile(sources.SystemOf(name), folder + name) != kDestOk) {
        state.SkipWithError("a copy failed");
        return;
      }
    }
    const double ours = Seconds(start);
    state.SetIterationTime(ours);
    // The gateway keeps its data in memory (2 GiB at most): each upload is
    // deleted, and its space collected, before the next.
    for (const std::string& name : names) dest->DeleteFile(folder + name);
    Gateway().Admin("gc process --include-all");
    const std::string from = "'" + sources.Native() + "'";
    const double rclone = TimeRclone("copy " + from + " bv:" + bucket + "/rclone/");
    TimeRclone("purge bv:" + bucket + "/rclone/");
    Gateway().Admin("gc process --include-all");
    const double single = TimeRclone("copy --transfers 1 " + from + " bv:" + bucket + "/rclone1/");
    TimeRclone("purge bv:" + bucket + "/rclone1/");
    Gateway().Admin("gc process --include-all");
    if (rclone < 0 || single < 0) {
      state.SkipWithError("rclone failed");
      return;
    }
    state.counters["ours_s"] = ours;
    state.counters["rclone_s"] = rclone;
    state.counters["rclone_1_s"] = single;
    state.counters["ratio"] = ours / rclone;
  }
}

void BM_Upload1000Files4KiB(benchmark::State& state) {
  bvtest::TempDir sources;
  std::vector<std::string> names;
  const std::string block(4096, 'x');
  for (int i = 0; i < 1000; ++i) {
    names.push_back("f" + std::to_string(i) + ".txt");
    sources.Write(names.back(), block);
  }
  Upload(state, names, sources);
  state.counters["files"] = 1000;
}

void BM_UploadOneFile1GiB(benchmark::State& state) {
  bvtest::TempDir sources;
  std::string chunk(1 << 20, '\0');
  for (size_t i = 0; i < chunk.size(); i += 64) chunk[i] = static_cast<char>(i * 31 % 251);
  {
    std::ofstream out(sources.NativeOf("big.bin"), std::ios::binary);
    for (int i = 0; i < 1024; ++i) {
      chunk[0] = static_cast<char>(i);
      out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
  }
  Upload(state, {"big.bin"}, sources);
}

// The restore's listing of a folder of 10,000 revisions of one file.
void BM_RestoreListTenThousandRevisions(benchmark::State& state) {
  const std::string missing = Missing();
  if (!missing.empty()) {
    state.SkipWithError(missing.c_str());
    return;
  }
  constexpr int kRevisions = 10000;
  const std::string bucket = "list" + std::to_string(getpid());
  if (!Gateway().MakeBucket(bucket)) {
    state.SkipWithError("the bucket could not be made");
    return;
  }
  const std::string folder = "ours/Revision/C/docs/";
  std::vector<std::thread> putters;
  std::atomic<int> next{1}, refused{0};
  for (int t = 0; t < 8; ++t) {
    putters.emplace_back([&] {
      for (int n = next++; n <= kRevisions; n = next++) {
        const std::string key = folder + RevisionFileName("report", "txt", n);
        if (Gateway().Request("PUT", "/" + bucket + "/" + bvtest::UriEncode(key, true), "r") != 200)
          ++refused;
      }
    });
  }
  for (std::thread& t : putters) t.join();
  if (refused != 0) {
    state.SkipWithError("the revisions could not be written");
    return;
  }
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    auto access = MakeObjectStoreAccess(Gateway().Settings(bucket, "ours"));
    std::string failure;
    int listed = 0;
    if (!access->Reach(&failure) || !access->List("/" + folder, [&](const plat::FindData&) {
          ++listed;
          return true;
        })) {
      state.SkipWithError("the listing failed");
      return;
    }
    const double ours = Seconds(start);
    state.SetIterationTime(ours);
    const double rclone = TimeRclone("lsf bv:" + bucket + "/" + folder);
    if (rclone < 0 || listed != kRevisions) {
      state.SkipWithError("rclone failed or the listing fell short");
      return;
    }
    state.counters["ours_s"] = ours;
    state.counters["rclone_s"] = rclone;
    state.counters["ratio"] = ours / rclone;
  }
}

}  // namespace

BENCHMARK(BM_Upload1000Files4KiB)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UploadOneFile1GiB)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RestoreListTenThousandRevisions)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
