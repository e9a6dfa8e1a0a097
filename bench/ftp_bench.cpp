// The FTP destination against the loopback server the tests start (pure-ftpd),
// each figure beside ONE `curl` invocation doing the same work in the same
// run (a --config file with one upload line per file, --ftp-create-dirs, the
// connection kept between them):
//   - 1,000 files of 4 KiB, uploaded as the engine does it (folders, then the
//     copy under a temporary name, size check, rename);
//   - one 256 MiB file;
//   - listing a folder of 10,000 revisions of one file (ListVersions), against
//     `curl --list-only` of that folder;
//   - the 1,000 small files again over FTPS (explicit TLS, the server's key
//     pinned), beside one `curl --ssl-reqd` invocation;
//   - the 1,000 small files again over SFTP, to the loopback sshd the tests
//     start, beside one `curl` invocation uploading them over SFTP.
// Needs root (the servers start as root), pure-ftpd and openssh-server;
// skips otherwise.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "destinations/DestinationFactory.h"
#include "destinations/FtpDevice.h"
#include "support/FtpServer.h"
#include "support/ScopedEnv.h"
#include "support/SshServer.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

bvtest::FtpServer& Server() {
  static bvtest::FtpServer server;
  return server;
}

bvtest::FtpServer& TlsServer() {
  static bvtest::FtpServer server(/*tls=*/true);
  return server;
}

bvtest::SshServer& SshServer() {
  static bvtest::SshServer server;
  return server;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// A destination on server; an encrypted server's key is trusted first.
std::unique_ptr<CDestination> Destination(const std::string& sub,
                                          bvtest::FtpServer& server = Server()) {
  auto dest = CreateDestination(nullptr, kStorageFtp);
  PlanSettings settings;
  settings.storageType = kStorageFtp;
  settings.ftp = server.Settings(sub);
  dest->Configure(settings);
  auto* ftp = static_cast<CFTPDevice*>(dest.get());
  if (&server == &TlsServer()) ftp->SetPinnedKey(ftp->ProbeServerKey());
  return dest->Prepare(true) ? std::move(dest) : nullptr;
}

// Runs curl with a config file (the password stays off the command line);
// its wall time, or a negative number when it failed.
double TimeCurl(const bvtest::TempDir& dir, const std::string& lines, const std::string& extra) {
  const std::string config = dir.NativeOf("curl.cfg");
  const bool ssh = lines.find("sftp://") != std::string::npos;
  std::ofstream(config) << (ssh ? ""
                                : "user = \"" + std::string(bvtest::FtpServer::kUser) + ":" +
                                      bvtest::FtpServer::kPassword + "\"\n")
                        << "silent\nshow-error\nmax-time = 300\n"
                        << lines;
  const std::string command = "curl --config '" + config + "' " + extra + " > /dev/null";
  const auto start = std::chrono::steady_clock::now();
  const int rc = std::system(command.c_str());
  const double seconds = Seconds(start);
  return rc == 0 ? seconds : -1;
}

std::string UrlOf(const std::string& serverPath, const bvtest::FtpServer& server = Server()) {
  return "ftp://127.0.0.1:" + std::to_string(server.Port()) + "/%2F" + serverPath.substr(1);
}

// Uploads the files both ways; the destination's time is the iteration time.
void Upload(benchmark::State& state, const std::string& label,
            const std::vector<std::string>& names, const bvtest::TempDir& sources,
            bvtest::FtpServer& server = Server()) {
  if (!server.Ok()) {
    state.SkipWithError(server.Reason().c_str());
    return;
  }
  static int run = 0;
  const std::string sub = label + std::to_string(++run) + "/";
  for (auto _ : state) {
    auto dest = Destination("ours-" + sub, server);
    if (!dest) {
      state.SkipWithError("the destination did not connect");
      return;
    }
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& name : names) {
      const std::string target = dest->GetRootPath() + "Latest/C/docs/" + name;
      dest->CreateFolders(target);
      if (dest->CopyFile(sources.SystemOf(name), target) != kDestOk) {
        state.SkipWithError("a copy failed");
        return;
      }
    }
    const double ours = Seconds(start);
    state.SetIterationTime(ours);

    // An encrypted server: TLS required, its self-signed certificate taken.
    std::string lines =
        std::string("ftp-create-dirs\n") + (&server == &TlsServer() ? "ssl-reqd\ninsecure\n" : "");
    for (const std::string& name : names) {
      lines += "upload-file = \"" + sources.NativeOf(name) + "\"\nurl = \"" +
               UrlOf("/bvuser/curl-" + sub + "Latest/C/docs/" + name, server) + "\"\n";
    }
    const double curl = TimeCurl(sources, lines, "");
    if (curl < 0) {
      state.SkipWithError("curl failed");
      return;
    }
    state.counters["ours_s"] = ours;
    state.counters["curl_s"] = curl;
    state.counters["ratio"] = ours / curl;
  }
}

void Upload1000Files4KiB(benchmark::State& state, bvtest::FtpServer& server) {
  bvtest::TempDir sources;
  std::vector<std::string> names;
  const std::string block(4096, 'x');
  for (int i = 0; i < 1000; ++i) {
    names.push_back("f" + std::to_string(i) + ".txt");
    sources.Write(names.back(), block);
  }
  Upload(state, "small", names, sources, server);
  state.counters["files"] = 1000;
}

void BM_Upload1000Files4KiB(benchmark::State& state) { Upload1000Files4KiB(state, Server()); }

// The same over explicit TLS (control and data encrypted).
void BM_FtpsUpload1000Files4KiB(benchmark::State& state) {
  Upload1000Files4KiB(state, TlsServer());
}

void BM_UploadOneFile256MiB(benchmark::State& state) {
  bvtest::TempDir sources;
  std::string data(256u << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131) >> 7);
  sources.Write("big.bin", data);
  data.clear();
  data.shrink_to_fit();
  Upload(state, "big", {"big.bin"}, sources);
  state.counters["MiB"] = 256;
}

// The small files over SFTP, as the engine copies them (folders, upload under
// a temporary name, size, rename), beside one curl run over one connection.
void BM_SftpUpload1000Files4KiB(benchmark::State& state) {
  bvtest::SshServer& server = SshServer();
  if (!server.Ok()) {
    state.SkipWithError(server.Reason().c_str());
    return;
  }
  const bvtest::ScopedEnv home("HOME", server.ClientHome());
  bvtest::TempDir sources;
  std::vector<std::string> names;
  const std::string block(4096, 'x');
  for (int i = 0; i < 1000; ++i) {
    names.push_back("f" + std::to_string(i) + ".txt");
    sources.Write(names.back(), block);
  }
  static int run = 0;
  const std::string sub = std::to_string(++run) + "/";
  for (auto _ : state) {
    auto dest = CreateDestination(nullptr, kStorageFtp);
    PlanSettings settings;
    settings.storageType = kStorageFtp;
    settings.ftp = server.Settings("ours-" + sub);
    dest->Configure(settings);
    if (!dest->Prepare(true)) {
      state.SkipWithError("the destination did not connect");
      return;
    }
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& name : names) {
      const std::string target = dest->GetRootPath() + "Latest/C/docs/" + name;
      dest->CreateFolders(target);
      if (dest->CopyFile(sources.SystemOf(name), target) != kDestOk) {
        state.SkipWithError("a copy failed");
        return;
      }
    }
    const double ours = Seconds(start);
    state.SetIterationTime(ours);

    const FtpSettings ftp = server.Settings("curl-" + sub);
    std::string lines = "ftp-create-dirs\nuser = \"" + ftp.user + ":\"\nkey = \"" +
                        server.ClientHome() + "/.ssh/id_ed25519\"\nhostpubsha256 = \"" +
                        ftp.pinnedKey.substr(7) + "\"\n";
    for (const std::string& name : names) {
      lines += "upload-file = \"" + sources.NativeOf(name) +
               "\"\nurl = \"sftp://127.0.0.1:" + std::to_string(server.Port()) + ftp.root +
               "Latest/C/docs/" + name + "\"\n";
    }
    const double curl = TimeCurl(sources, lines, "");
    if (curl < 0) {
      state.SkipWithError("curl failed");
      return;
    }
    state.counters["ours_s"] = ours;
    state.counters["curl_s"] = curl;
    state.counters["ratio"] = ours / curl;
  }
  state.counters["files"] = 1000;
}

void BM_ListTenThousandRevisions(benchmark::State& state) {
  if (!Server().Ok()) {
    state.SkipWithError(Server().Reason().c_str());
    return;
  }
  constexpr int kRevisions = 10000;
  auto dest = Destination("list/");
  if (!dest) {
    state.SkipWithError("the destination did not connect");
    return;
  }
  const std::string folder = dest->GetRootPath() + "Revision/C/docs/";
  const std::string native = Server().NativeOf(folder);
  fs::create_directories(native);
  for (int i = 1; i <= kRevisions; ++i) {
    std::ofstream(native + RevisionFileName("report", "txt", i)) << i;
  }
  for (fs::path p = native; p.string().size() > Server().NativeOf("/bvuser").size();
       p = p.parent_path())
    chown(p.c_str(), 65534, 65534);
  bvtest::TempDir scratch;
  for (auto _ : state) {
    std::vector<VersionEntry> list;
    const auto start = std::chrono::steady_clock::now();
    const int32_t highest = dest->ListVersions(folder, "report", "txt", &list);
    const double ours = Seconds(start);
    state.SetIterationTime(ours);
    if (highest != kRevisions || list.size() != static_cast<size_t>(kRevisions)) {
      state.SkipWithError(("the listing missed revisions: " + std::to_string(highest) + " " +
                           std::to_string(list.size()))
                              .c_str());
      return;
    }
    const double curl = TimeCurl(scratch, "list-only\nurl = \"" + UrlOf(folder) + "\"\n", "");
    if (curl < 0) {
      state.SkipWithError("curl failed");
      return;
    }
    state.counters["ours_s"] = ours;
    state.counters["curl_s"] = curl;
    state.counters["ratio"] = ours / curl;
  }
  state.counters["revisions"] = kRevisions;
}

}  // namespace

BENCHMARK(BM_Upload1000Files4KiB)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FtpsUpload1000Files4KiB)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UploadOneFile256MiB)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SftpUpload1000Files4KiB)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListTenThousandRevisions)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
