// The FTP destination against a real server on loopback: the shared suite,
// its settings in "Devices.ini", the home-folder root, one login for many
// copies, active mode, reconnecting after the server went away, and the
// proxy. Tests skip when the server cannot be started here.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "destination_suite.h"
#include "destinations/DestinationFactory.h"
#include "destinations/FtpDevice.h"
#include "plan_owner.h"
#include "platform/Errors.h"
#include "platform/Profile.h"
#include "support/FtpRelay.h"
#include "support/FtpServer.h"
#include "support/ScopedEnv.h"
#include "support/SshServer.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using bvtest::FtpServer;

namespace {

FtpServer& Server() {
  static FtpServer server;
  return server;
}

// Hands a native path below the server's root (and the folders up to the
// user's home) to the server's user.
void GiveToServerUser(const std::string& native, const std::string& home) {
  for (fs::path p = native; p.string().size() > home.size(); p = p.parent_path())
    chown(p.c_str(), 65534, 65534);
}

// A fresh store folder in the user's home on the shared server.
class FtpWorld : public DestinationWorld {
 public:
  FtpWorld() {
    static int n = 0;
    sub_ = "s" + std::to_string(++n) + "/";
    dest_ = ServerDestination(Server().Settings(sub_));
    dest_->Prepare(true);
  }
  CDestination& Dest() override { return *dest_; }
  std::string PathOf(const std::string& rel) const override { return dest_->GetRootPath() + rel; }
  std::string NativeOf(const std::string& rel) const override {
    return Server().NativeOf("/bvuser/" + sub_ + rel);
  }
  void Put(const std::string& rel, const std::string& content) override {
    DestinationWorld::Put(rel, content);
    GiveToServerUser(NativeOf(rel), Server().NativeOf("/bvuser"));
  }

 private:
  std::string sub_;
  std::unique_ptr<CDestination> dest_;
};

DestinationKind FtpKind() {
  DestinationKind kind;
  kind.name = "Ftp";
  kind.make = [] { return std::make_unique<FtpWorld>(); };
  kind.carriesReadOnly = false;
  kind.usesFaultSeam = false;
  kind.unavailable = [] { return Server().Ok() ? std::string() : Server().Reason(); };
  return kind;
}

#define REQUIRE_SERVER(server) \
  if (!(server).Ok()) GTEST_SKIP() << (server).Reason()

}  // namespace

INSTANTIATE_TEST_SUITE_P(Ftp, DestinationSuite, testing::Values(FtpKind()), KindName);

TEST(FtpDevice, SettingsAreNormalisedAndKeptInDevicesIni) {
  struct Case {
    const char *server, *root, *proxy;
    int32_t proxyPort, retry;
    const char *wantServer, *wantRoot, *wantProxyText;
    int32_t wantRetry;
  };
  const Case cases[] = {
      {"  FTP://Host.Example.ORG  ", "backup\\daily", "", 0, -3, "host.example.org",
       "/backup/daily/", "", 0},
      {"ftp.local", "", " proxy.lan ", 8021, 2, "ftp.local", "/", "ftp=ftp://proxy.lan:8021", 2},
      {"ftp.local", " /a/b ", "proxy.lan", 0, 1, "ftp.local", "/a/b/", "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server);
    bvtest::TempDir plan;
    PlanOwner owner(plan.System() + "\\");
    FtpSettings ftp;
    ftp.server = c.server;
    ftp.root = c.root;
    ftp.proxy = c.proxy;
    ftp.proxyPort = c.proxyPort;
    ftp.retryCount = c.retry;
    ftp.user = " ann ";
    ftp.password = " pass word ";
    ftp.pinnedKey = std::string(" sha256//") + c.wantServer + " ";
    auto dest = ServerDestination(ftp, &owner);
    auto* device = static_cast<CFTPDevice*>(dest.get());
    ftp.pinnedKey.clear();
    PlanSettings again;
    again.storageType = kStorageFtp;
    again.ftp = ftp;
    dest->Configure(again);  // without a key: the trusted one stays
    EXPECT_EQ(device->GetFtpSettings().server, c.wantServer);
    EXPECT_EQ(device->GetRootPath(), c.wantRoot);
    EXPECT_EQ(device->ProxyText(), c.wantProxyText);
    EXPECT_EQ(device->GetFtpSettings().retryCount, c.wantRetry);

    const std::string ini = plan.NativeOf("Devices.ini");
    if (c.retry > 0) {  // a file that was there before, open to all, with other sections
      bvtest::WriteNative(ini, "[Other]\nKey=kept\n");
      chmod(ini.c_str(), 0644);
    }
    ASSERT_TRUE(dest->SaveSettings());
    struct stat st {};
    ASSERT_EQ(stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the file holds the password";
    const std::string text = bvtest::ReadNative(ini);
    EXPECT_LT(text.find("Passive="), text.find("Server=")) << text;
    EXPECT_LT(text.find("RetryCount="), text.find("Root=")) << text;
    EXPECT_EQ(text.find("Key=kept") != std::string::npos, c.retry > 0) << text;

    CFTPDevice loaded(&owner);
    ASSERT_TRUE(loaded.LoadSettings());
    EXPECT_EQ(loaded.GetRootPath(), c.wantRoot);
    EXPECT_EQ(loaded.GetFtpSettings().user, "ann");
    EXPECT_EQ(loaded.GetFtpSettings().password, "pass word");
    EXPECT_EQ(loaded.GetPinnedKey(), std::string("sha256//") + c.wantServer);
    EXPECT_TRUE(loaded.IsSameDestination(*dest));
    FtpSettings other = device->GetFtpSettings();
    other.server = std::string(c.wantServer) + ".other";
    EXPECT_FALSE(ServerDestination(other)->IsSameDestination(*dest));
    other = device->GetFtpSettings();
    other.port = 2121;
    EXPECT_FALSE(ServerDestination(other)->IsSameDestination(*dest));
  }
  // No file: nothing read. An empty root reads as "/".
  bvtest::TempDir empty;
  PlanOwner owner(empty.System() + "\\");
  CFTPDevice device(&owner);
  EXPECT_FALSE(device.LoadSettings());
  bvtest::WriteNative(empty.NativeOf("Devices.ini"), "[FTP Device]\nServer=x\n");
  ASSERT_TRUE(device.LoadSettings());
  EXPECT_EQ(device.GetRootPath(), "/");
  EXPECT_EQ(device.MoveFile("", "/x"), kDestOk);  // nothing to rename, no server asked
}

// A root the server refuses ("/backup/" beside the home folder) moves below
// the user's home; a wrong password leaves the destination unavailable.
TEST(FtpDevice, MarkerFindsTheHomeFolderAndBadLoginsFail) {
  REQUIRE_SERVER(Server());
  bvtest::TempDir plan;
  PlanOwner owner(plan.System() + "\\");
  FtpSettings ftp = Server().Settings("");
  ftp.root = "/backup/";
  auto dest = ServerDestination(ftp, &owner);
  ASSERT_TRUE(dest->Prepare(true));
  EXPECT_TRUE(dest->IsAvailable());
  EXPECT_EQ(dest->GetRootPath(), "/bvuser/backup/");
  EXPECT_TRUE(fs::is_regular_file(Server().NativeOf("/bvuser/backup/Brevanto.dat")));
  EXPECT_FALSE(fs::exists(Server().NativeOf("/backup")));
  ASSERT_TRUE(dest->SaveSettings());
  CFTPDevice loaded(&owner);
  ASSERT_TRUE(loaded.LoadSettings());
  EXPECT_EQ(loaded.GetRootPath(), "/bvuser/backup/");

  ftp.password = "wrong";
  auto refused = ServerDestination(ftp);
  EXPECT_FALSE(refused->Prepare(true));
  EXPECT_FALSE(refused->IsAvailable());
  refused->Refresh();
  EXPECT_FALSE(refused->IsAvailable());
}

// The engine's calls for 1,000 small files (folders, existence, copy) go over
// one login, in passive and in active mode.
TEST(FtpDevice, ManyCopiesShareOneLogin) {
  REQUIRE_SERVER(Server());
  bvtest::TempDir sources;
  for (int i = 0; i < 1000; ++i) sources.Write("f" + std::to_string(i) + ".txt", std::to_string(i));
  for (int passive : {1, 0}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    FtpSettings ftp = Server().Settings(passive ? "p/" : "a/");
    ftp.passive = passive;
    auto dest = ServerDestination(ftp);
    ASSERT_TRUE(dest->Prepare(true));
    const int before = Server().Logins();
    const int files = passive ? 1000 : 50;
    for (int i = 0; i < files; ++i) {
      const std::string name = "f" + std::to_string(i) + ".txt";
      const std::string target = dest->GetRootPath() + "Latest/C/docs/" + name;
      ASSERT_FALSE(dest->FileExists(target));
      ASSERT_EQ(dest->CreateFolders(target), kDestOk);
      ASSERT_EQ(dest->CopyFile(sources.SystemOf(name), target), kDestOk) << name;
    }
    EXPECT_EQ(Server().Logins(), before) << "a copy logged in anew";
    const std::string folder = Server().NativeOf(dest->GetRootPath() + "Latest/C/docs");
    EXPECT_EQ(bvtest::FilesBelow(folder).size(), static_cast<size_t>(files));
    EXPECT_EQ(bvtest::ReadNative(folder + "/f7.txt"), "7");
  }
}

// The server goes away: the availability follows it, and the first request
// after its return reconnects on its own.
TEST(FtpDevice, ReconnectsAfterTheServerWentAway) {
  FtpServer server;
  REQUIRE_SERVER(server);
  bvtest::TempDir sources;
  const std::string src = sources.Write("a.txt", "alpha");
  FtpSettings ftp = server.Settings("r/");
  ftp.timeout = 2;
  auto dest = ServerDestination(ftp);
  ASSERT_TRUE(dest->Prepare(true));
  const std::string target = dest->GetRootPath() + "a.txt";

  server.Stop();
  ASSERT_TRUE(server.Start());
  EXPECT_EQ(dest->CopyFile(sources.SystemOf("a.txt"), target), kDestOk);
  EXPECT_EQ(bvtest::ReadNative(server.NativeOf("/bvuser/r/a.txt")), "alpha");
  EXPECT_TRUE(dest->IsAvailable());

  server.Stop();
  dest->Refresh();
  EXPECT_FALSE(dest->IsAvailable());
  EXPECT_NE(dest->DeleteFile(target), kDestOk);
  ASSERT_TRUE(server.Start());
  dest->Refresh();
  EXPECT_TRUE(dest->IsAvailable());
  EXPECT_EQ(dest->MoveFile(target, dest->GetRootPath() + "a(0001).txt"), kDestOk);
  EXPECT_EQ(bvtest::ReadNative(server.NativeOf("/bvuser/r/a(0001).txt")), "alpha");
}

// A plain server is used as before, in clear. A server that takes only
// encrypted connections, with a certificate no authority vouches for, is
// refused until its key is pinned; then every transfer is encrypted (the
// server refuses anything in clear), and a new key is refused again.
TEST(FtpDevice, EncryptedServerIsUsedOnlyWithItsPinnedKey) {
  REQUIRE_SERVER(Server());
  auto plain = ServerDestination(Server().Settings("plain/"));
  auto* plainDevice = static_cast<CFTPDevice*>(plain.get());
  ASSERT_TRUE(plain->Prepare(true));
  EXPECT_FALSE(plainDevice->Encrypted());
  EXPECT_EQ(plainDevice->TlsFault(), FtpTlsFault::kNone);
  EXPECT_EQ(plainDevice->ProbeServerKey(), "");

  FtpServer server(/*tls=*/true);
  REQUIRE_SERVER(server);
  bvtest::TempDir sources;
  sources.Write("a.txt", "alpha");
  FtpSettings ftp = server.Settings("t/");
  ftp.timeout = 3;
  auto dest = ServerDestination(ftp);
  auto* device = static_cast<CFTPDevice*>(dest.get());
  EXPECT_FALSE(dest->Prepare(true));
  dest->Refresh();  // waits longer than preparing does: a busy machine's handshake fits
  EXPECT_FALSE(dest->IsAvailable());
  EXPECT_EQ(device->TlsFault(), FtpTlsFault::kUntrusted);
  EXPECT_EQ(server.Logins(), 0) << "no password sent to an unchecked server";

  const std::string key = device->ProbeServerKey();
  ASSERT_EQ(key.rfind("sha256//", 0), 0u) << key;
  device->SetPinnedKey(key);
  ASSERT_TRUE(dest->Prepare(true));
  EXPECT_TRUE(device->Encrypted());
  EXPECT_EQ(dest->CopyFile(sources.SystemOf("a.txt"), dest->GetRootPath() + "a.txt"), kDestOk);
  EXPECT_EQ(bvtest::ReadNative(server.NativeOf("/bvuser/t/a.txt")), "alpha");

  ASSERT_TRUE(server.ChangeCertificate());
  const int logins = server.Logins();
  dest->Refresh();
  EXPECT_FALSE(dest->IsAvailable());
  EXPECT_EQ(device->TlsFault(), FtpTlsFault::kKeyChanged);
  EXPECT_NE(dest->CopyFile(sources.SystemOf("a.txt"), dest->GetRootPath() + "b.txt"), kDestOk);
  EXPECT_EQ(server.Logins(), logins);
  EXPECT_NE(device->ProbeServerKey(), key);
}

// With a proxy set, the connection goes to the proxy (here a port where
// nothing listens, so it fails); a proxy without port is ignored.
TEST(FtpDevice, ProxyIsUsedOnlyWithItsPort) {
  REQUIRE_SERVER(Server());
  FtpSettings ftp = Server().Settings("");
  ftp.proxy = "127.0.0.1";
  ftp.proxyPort = 1;  // nothing listens there
  EXPECT_FALSE(ServerDestination(ftp)->Prepare(true));
  ftp.proxyPort = 0;
  EXPECT_TRUE(ServerDestination(ftp)->Prepare(true));
}

// Listing lines from a server that cannot be trusted: only plain files and
// folders with names that stay inside their folder come through.
TEST(FtpDevice, ListingLinesKeepOnlyPlainEntries) {
  struct Case {
    std::string line;
    bool kept;
    const char* name;
    uint64_t size;
    bool folder;
  };
  const Case cases[] = {
      {"type=file;size=12;modify=20261207010203; a b.txt\r\n", true, "a b.txt", 12, false},
      {"Type=DIR;Modify=20261207010203; sub", true, "sub", 0, true},
      {"type=dir; ..", false, "", 0, false},
      {"type=pdir; x", false, "", 0, false},
      {"type=file;size=1; ../../etc/passwd", false, "", 0, false},
      {"type=file;size=1; a\\b", false, "", 0, false},
      {"type=file;size=1; " + std::string(2000, 'n'), false, "", 0, false},
      {"type=file;size=99999999999999999999999; big", false, "", 0, false},
      {"type=OS.unix=symlink;size=1; link", false, "", 0, false},
      {"size=1; untyped", false, "", 0, false},
      {"garbage without facts", false, "", 0, false},
      {"", false, "", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 60));
    FtpEntry entry;
    ASSERT_EQ(ParseMlsdLine(c.line, &entry), c.kept);
    if (!c.kept) continue;
    EXPECT_EQ(entry.name, c.name);
    EXPECT_EQ(entry.size, c.size);
    EXPECT_EQ(entry.folder, c.folder);
    EXPECT_EQ(entry.writeTime, 1796605323);  // 2026-12-07 01:02:03 UTC
  }
}

// The server dies in the middle of a large upload: the copy fails, nothing
// lies under the final name, and the next copy after the server's return
// goes through whole.
TEST(FtpDevice, UploadCutByTheServerLeavesNothingUnderTheFinalName) {
  FtpServer server;
  REQUIRE_SERVER(server);
  bvtest::TempDir sources;
  std::string big(64u << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) >> 7);
  sources.Write("big.bin", big);
  FtpSettings ftp = server.Settings("cut/");
  ftp.timeout = 2;
  auto dest = ServerDestination(ftp);
  ASSERT_TRUE(dest->Prepare(true));
  const std::string target = dest->GetRootPath() + "big.bin";
  const std::string folder = server.NativeOf("/bvuser/cut");

  std::atomic<bool> cut{false};
  std::thread killer([&] {
    for (int i = 0; i < 20000 && !cut; ++i) {
      std::error_code ec;
      for (const auto& e : fs::directory_iterator(folder, ec)) {
        if (e.path().filename() != "Brevanto.dat" && e.file_size(ec) > 0) {
          server.Stop();
          cut = true;
          break;
        }
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  const uint32_t rc = dest->CopyFile(sources.SystemOf("big.bin"), target);
  killer.join();
  if (!cut) GTEST_SKIP() << "the upload ended before it could be cut";
  EXPECT_NE(rc, kDestOk);
  EXPECT_FALSE(fs::exists(folder + "/big.bin"));

  ASSERT_TRUE(server.Start());
  EXPECT_EQ(dest->CopyFile(sources.SystemOf("big.bin"), target), kDestOk);
  EXPECT_TRUE(bvtest::ReadNative(folder + "/big.bin") == big) << "contents differ";
}

// Faults on the way to the server, one at a time. Each copy fails with the
// error number that names its cause (the engine's event shows its text), a
// mute server within the time-out setting, a full disk (452, 552) as such;
// nothing lies under the final name;
// and once the fault is gone the next copy goes through whole.
TEST(FtpDevice, FaultsFailTheCopyWithTheirCauseAndHeal) {
  FtpServer server;
  REQUIRE_SERVER(server);
  bvtest::FtpRelay relay(server.Port(), 256 << 10);
  ASSERT_TRUE(relay.Ok());
  bvtest::TempDir sources;
  std::string data(1u << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 9));
  sources.Write("d.bin", data);
  using Fault = bvtest::FtpRelay::Fault;
  struct Case {
    const char* name;
    uint32_t want;
    uint32_t orWant;  // a server that aborts mid-stream: its reply, or a broken connection
    std::function<bool(const std::string& folder)> on;
    std::function<void(const std::string& folder)> off;
  };
  auto viaRelay = [&](Fault fault) {
    return [&relay, fault](const std::string&) { return relay.SetFault(fault), true; };
  };
  auto heal = [&](const std::string&) { relay.SetFault(Fault::kNone); };
  const Case cases[] = {
      {"size", plat::kErrWriteFault, plat::kErrWriteFault, viaRelay(Fault::kWrongSize), heal},
      {"cut", plat::kErrWriteFault, plat::kErrUnexpNetErr, viaRelay(Fault::kCutData), heal},
      {"mute", plat::kErrTimeout, plat::kErrTimeout, viaRelay(Fault::kMute), heal},
      {"452", plat::kErrDiskFull, plat::kErrDiskFull, viaRelay(Fault::kDiskFull), heal},
      {"552", plat::kErrDiskFull, plat::kErrDiskFull, viaRelay(Fault::kStorageExceeded), heal},
      {"refused", plat::kErrAccessDenied, plat::kErrAccessDenied,
       [](const std::string& folder) { return chmod(folder.c_str(), 0555) == 0; },
       [](const std::string& folder) { chmod(folder.c_str(), 0755); }},
      // This server answers a full disk (and a cut on its side) with 451.
      {"full", plat::kErrWriteFault, plat::kErrUnexpNetErr,
       [](const std::string& folder) {
         return mount("bvtest", folder.c_str(), "tmpfs", 0, "size=256k,mode=0755,uid=65534") == 0;
       },
       [](const std::string& folder) { umount2(folder.c_str(), MNT_DETACH); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FtpSettings ftp = server.Settings(std::string(c.name) + "/");
    ftp.port = relay.Port();
    ftp.timeout = 1;
    auto dest = ServerDestination(ftp);
    ASSERT_TRUE(dest->Prepare(true));
    const std::string folder = server.NativeOf("/bvuser/" + std::string(c.name));
    const std::string target = dest->GetRootPath() + "d.bin";
    if (!c.on(folder)) {  // a tmpfs needs the right to mount
      ADD_FAILURE() << c.name << ": the fault could not be set up";
      continue;
    }
    dest->Close();  // the next request logs in anew, under the fault
    const auto start = std::chrono::steady_clock::now();
    const uint32_t rc = dest->CopyFile(sources.SystemOf("d.bin"), target);
    EXPECT_TRUE(rc == c.want || rc == c.orWant) << rc;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "hangs";
    EXPECT_FALSE(fs::exists(folder + "/d.bin"));
    if (rc == plat::kErrDiskFull) {  // the server answered: its partial file is gone too
      for (const auto& [rel, bytes] : bvtest::FilesBelow(folder))
        EXPECT_EQ(rel.find(".~bvtmp-"), std::string::npos) << rel;
    }
    c.off(folder);
    EXPECT_EQ(dest->CopyFile(sources.SystemOf("d.bin"), target), kDestOk);
    EXPECT_TRUE(bvtest::ReadNative(folder + "/d.bin") == data) << "contents differ";
  }
  EXPECT_GT(relay.Cuts(), 0);
}

// Leftovers of interrupted uploads, placed on the server: the sweep removes
// those of this program's naming that the server last wrote an hour or more
// before it wrote the marker (in the root and below the two trees), and
// leaves fresh ones (a copy in flight), other names and other folders alone;
// over FTP and SFTP.
TEST(FtpDevice, SweepRemovesOnlyOldLeftoversOfThisProgram) {
  bvtest::SshServer ssh;
  bvtest::ScopedEnv home("HOME", ssh.ClientHome());
  struct Kind {
    const char* name;
    bool ok;
    FtpSettings settings;
    std::string native;
  };
  const Kind kinds[] = {
      {"ftp", Server().Ok(), Server().Settings("sweep/"), Server().NativeOf("/bvuser/sweep/")},
      {"sftp", ssh.Ok(), ssh.Settings("sweep/"), ssh.Home() + "/sweep/"},
  };
  struct Leftover {
    const char* rel;
    bool old;
    bool stays;
  };
  const Leftover files[] = {
      {"Latest/C/a/.~bvtmp-0123456789abcdef", true, false},
      {"Revision/C/a/b/.~bvtmp-fedcba9876543210", true, false},
      {".~bvtmp-00000000000000aa", true, false},
      {"Latest/C/a/.~bvtmp-0123456789abcdee", false, true},
      {"Latest/C/a/.~bvtmp-notours", true, true},
      {"Latest/C/a/.~bvtmp-0123", true, true},  // too short to be ours
      {"Latest/C/a/keep.txt", true, true},
      {"Other/.~bvtmp-0123456789abcdef", true, true},
  };
  int ran = 0;
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.name);
    if (!kind.ok) continue;
    ++ran;
    auto dest = ServerDestination(kind.settings);
    ASSERT_TRUE(dest->Prepare(true));
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(2);
    for (const Leftover& f : files) {
      bvtest::WriteNative(kind.native + f.rel, "partial");
      if (f.old) fs::last_write_time(kind.native + f.rel, old);
    }
    for (const auto& e : fs::recursive_directory_iterator(kind.native))
      chown(e.path().c_str(), 65534, 65534);  // the FTP server's user
    EXPECT_EQ(dest->SweepTemporaryCopies(), 3u);
    for (const Leftover& f : files) EXPECT_EQ(fs::exists(kind.native + f.rel), f.stays) << f.rel;
  }
  if (ran == 0) GTEST_SKIP() << Server().Reason() << "; " << ssh.Reason();
}
