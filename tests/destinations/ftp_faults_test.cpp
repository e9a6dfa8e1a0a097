// The server destination when the server fails it, through a relay that misbehaves on purpose.
#include <sys/mount.h>

#include "SharedServers.h"
#include "common/Settings.h"

// The server lost and back, then one fault at a time through a relay: each copy fails with
// its cause, nothing lies under the final name, and the next copy after the fault goes through.
TEST(FtpDevice, ServerLossAndFaultsFailTheCopyWithTheirCauseAndHeal) {
  FtpServer server;
  REQUIRE_SERVER(server);
  bvtest::TempDir sources;
  sources.Write("a.txt", "alpha");
  FtpSettings ftp = server.Settings("r/");
  ftp.timeout = 2;
  auto dest = PreparedOn(ftp, true);
  const std::string target = dest->GetRootPath() + "a.txt";
  server.Stop();
  ASSERT_TRUE(server.Start());
  EXPECT_EQ(dest->CopyFile(sources.SystemOf("a.txt"), target), kDestOk);
  EXPECT_EQ(bvtest::ReadNative(server.NativeOf("/bvuser/r/a.txt")), "alpha");
  server.Stop();
  dest->Refresh();
  EXPECT_FALSE(dest->IsAvailable());
  std::string said, cause;
  EXPECT_EQ(dest->TakeServerRefusal(&said, &cause), CDestination::ServerRefusal::kUnreachable);
  EXPECT_EQ(cause, GetText("SERVER_REFUSED", "CAUSE_CONNECT"));
  EXPECT_NE(dest->DeleteFile(target), kDestOk);
  ASSERT_TRUE(server.Start());
  dest->Refresh();
  EXPECT_TRUE(dest->IsAvailable());
  EXPECT_EQ(dest->MoveFile(target, dest->GetRootPath() + "a(0001).txt"), kDestOk);
  EXPECT_EQ(bvtest::ReadNative(server.NativeOf("/bvuser/r/a(0001).txt")), "alpha");

  bvtest::FtpRelay relay(server.Port(), 256 << 10,
                         [&](const std::string& path) { return server.NativeOf(path); });
  ASSERT_TRUE(relay.Ok());
  std::string data(1u << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 9));
  sources.Write("d.bin", data);
  using Fault = bvtest::FtpRelay::Fault;
  const auto relayed = [&](const std::string& folder) {  // the server's folder through the relay
    FtpSettings settings = server.Settings(folder);
    settings.port = relay.Port();
    return settings;
  };
  struct Case {
    const char* name;
    uint32_t want, orWant;  // a server that aborts mid-stream: its reply, or a broken connection
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
      // Full mid-file: the server stops reading, then says 452 on the control connection.
      {"midway", plat::kErrDiskFull, plat::kErrDiskFull, viaRelay(Fault::kFullMidway), heal},
      {"refused", plat::kErrAccessDenied, plat::kErrAccessDenied,
       [](const std::string& folder) { return chmod(folder.c_str(), 0555) == 0; },
       [](const std::string& folder) { chmod(folder.c_str(), 0755); }},
      // This server answers a full disk (and a cut on its side) with 451.
      {"full", plat::kErrDiskFull, plat::kErrUnexpNetErr,
       [](const std::string& folder) {
         return mount("bvtest", folder.c_str(), "tmpfs", 0, "size=256k,mode=0755,uid=65534") == 0;
       },
       [](const std::string& folder) { umount2(folder.c_str(), MNT_DETACH); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FtpSettings viaRelayFtp = relayed(std::string(c.name) + "/");
    // Short only where the time-out is the fault (a busy machine answers slowly).
    viaRelayFtp.timeout = c.want == plat::kErrTimeout ? 1 : 10;
    auto faulty = PreparedOn(viaRelayFtp, true);
    const std::string where = server.NativeOf("/bvuser/" + std::string(c.name));
    const std::string to = faulty->GetRootPath() + "d.bin";
    ASSERT_TRUE(c.on(where)) << "the fault could not be set up";
    faulty->Close();  // the next request logs in anew, under the fault
    const auto start = std::chrono::steady_clock::now();
    int replaced = 0;  // a failed copy leaves every version where it was
    const uint32_t failed =
        faulty->CopyFileWatched(sources.SystemOf("d.bin"), to, nullptr, [&] { ++replaced; });
    EXPECT_TRUE(failed == c.want || failed == c.orWant) << failed;
    EXPECT_EQ(replaced, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "hangs";
    if (c.want == plat::kErrTimeout) {  // said in words, one second as such
      faulty->Refresh();
      std::string server, cause;
      EXPECT_EQ(faulty->TakeServerRefusal(&server, &cause),
                CDestination::ServerRefusal::kUnreachable);
      EXPECT_EQ(cause, GetText("SERVER_REFUSED", "CAUSE_TIMEOUT_ONE"));
    }
    EXPECT_FALSE(fs::exists(where + "/d.bin"));
    if (failed == plat::kErrDiskFull) {  // the server answered: its partial file is gone too
      for (const auto& [rel, bytes] : bvtest::FilesBelow(where))
        EXPECT_EQ(rel.find(".~bvtmp-"), std::string::npos) << rel;
    }
    c.off(where);
    EXPECT_EQ(faulty->CopyFile(sources.SystemOf("d.bin"), to), kDestOk);
    EXPECT_TRUE(bvtest::ReadNative(where + "/d.bin") == data) << "contents differ";
  }
  EXPECT_GT(relay.Cuts(), 0);

  // The password refused once connected (the session dropped): not "access denied" file after
  // file with a login each, but a refused login said once, and a pause before the next login.
  auto relogin = PreparedOn(relayed("relogin/"), true);
  const std::string again = relogin->GetRootPath() + "a.txt";
  ASSERT_EQ(relogin->CopyFile(sources.SystemOf("a.txt"), again), kDestOk);
  relay.SetFault(Fault::kRefuseLogin);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the session is dropped
  EXPECT_EQ(relogin->CopyFile(sources.SystemOf("a.txt"), again), plat::kErrUnexpNetErr);
  const int passwords = relay.Passwords();
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(relogin->CopyFile(sources.SystemOf("a.txt"), again), plat::kErrUnexpNetErr);
  EXPECT_EQ(relay.Passwords(), passwords) << "a login for each file";
  EXPECT_FALSE(relogin->IsAvailable());
  std::string refusedAt, why;
  EXPECT_EQ(relogin->TakeServerRefusal(&refusedAt, &why),
            CDestination::ServerRefusal::kLoginRefused);
  EXPECT_EQ(why, GetText("SERVER_REFUSED", "CAUSE_LOGIN"));
  relay.SetFault(Fault::kNone);

  // Without SIZE, or never renaming onto an existing file: every later version still lands.
  for (const Fault fault : {Fault::kNoSize, Fault::kNoOverwrite}) {
    relay.SetFault(fault);
    auto strict = PreparedOn(relayed("strict/"), true);
    for (const char* version : {"one", "two, longer"}) {
      sources.Write("v.txt", version);
      EXPECT_EQ(strict->CopyFile(sources.SystemOf("v.txt"), strict->GetRootPath() + "v.txt"),
                kDestOk);
      EXPECT_EQ(bvtest::ReadNative(server.NativeOf("/bvuser/strict/v.txt")), version);
    }
  }
  // Every upload reset, the marker's too: tried at four looks, then once a minute, not each look.
  relay.SetFault(Fault::kResetUploads);
  auto reset = DestinationOn(relayed("reset/"));
  const int loginsBefore = relay.Passwords();
  reset->Prepare(false);
  const auto looking = std::chrono::steady_clock::now();
  for (int look = 0; look < 100; ++look) {
    reset->Refresh();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const int logins = relay.Passwords() - loginsBefore;
  const auto lookedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - looking);
  EXPECT_NE(static_cast<CFTPDevice*>(reset.get())->MarkerError(), 0u);
  EXPECT_LE(logins, 40) << logins << " logins in " << lookedMs.count() << " ms";
  // A destination on these settings, made under this stall wait, available at its first look.
  const auto looked = [](const FtpSettings& settings, const char* stallSeconds = "180") {
    EXPECT_TRUE(WriteInternalString("General", "UploadStallTime", stallSeconds));
    auto dest = DestinationOn(settings);
    EXPECT_TRUE(WriteInternalString("General", "UploadStallTime", "180"));
    dest->Refresh();
    EXPECT_TRUE(dest->IsAvailable());
    return dest;
  };
  // 1 s for every reply: a login longer than any fixed wait ends within the time-out.
  relay.SetFault(Fault::kSlow);
  FtpSettings slow = relayed("slow/");
  auto patient = DestinationOn(slow);
  patient->Prepare(true);  // a first look, as short as a plan's load allows
  patient->Refresh();
  EXPECT_TRUE(patient->IsAvailable());
  // Each reply 0.8 s (the login as a whole past the 2 s time-out, no reply is), then 0.3 s (a
  // dozen folders' replies), then 3 s: taken, taken, and timed out.
  relay.SetReplyDelay(800);
  slow.timeout = 2;
  const auto login = looked(slow);
  relay.SetReplyDelay(300);
  auto deep = looked(slow);
  const std::string far = deep->GetRootPath() + "Latest/C/a/b/c/d/e/f/g/h/i/j/k/far.txt";
  EXPECT_EQ(deep->CreateFolders(far), kDestOk);
  EXPECT_EQ(deep->CopyFile(sources.SystemOf("v.txt"), far), kDestOk);
  EXPECT_EQ(bvtest::ReadNative(server.NativeOf(far)), "two, longer");
  relay.SetReplyDelay(3000);
  const std::string late = deep->GetRootPath() + "Latest/x/y/z.txt";
  EXPECT_EQ(deep->CreateFolders(late), plat::kErrTimeout);
  EXPECT_EQ(deep->CopyFile(sources.SystemOf("v.txt"), late), plat::kErrTimeout);
  // Resting 8 s after 256 KiB, past the stall wait (1 s): the copy fails with its cause, the
  // server stays available (no silent retry without end).
  relay.SetFault(Fault::kRest);
  relay.SetReplyDelay(8000);
  FtpSettings resting = relayed("rest/");
  resting.timeout = 1;
  auto impatient = looked(resting, "1");
  EXPECT_EQ(impatient->CopyFile(sources.SystemOf("d.bin"), impatient->GetRootPath() + "d.bin"),
            plat::kErrTimeout);
  EXPECT_TRUE(impatient->IsAvailable());

  // 100 KB/s, time-out 1 s: bursts of 256 KiB with rests of 2.6 s that each upload waits out;
  // a private file stays private while it arrives under the temporary name.
  ASSERT_TRUE(server.LimitBandwidth(100));
  ASSERT_EQ(chmod(sources.NativeOf("d.bin").c_str(), 0600), 0);
  FtpSettings throttled = server.Settings("throttled/");
  throttled.timeout = 1;
  auto steady = PreparedOn(throttled, false);  // loaded: the marker waits for the plan's first look
  EXPECT_FALSE(fs::exists(server.NativeOf("/bvuser/throttled/Brevanto.dat")));
  steady->Refresh();
  ASSERT_TRUE(steady->IsAvailable());
  EXPECT_TRUE(fs::exists(server.NativeOf("/bvuser/throttled/Brevanto.dat")));
  std::atomic<bool> sent{false};
  std::atomic<int> arriving{-1};  // the temporary file's mode once it holds bytes
  std::thread look([&] {
    while (!sent && arriving < 0) {
      for (const auto& e : fs::directory_iterator(server.NativeOf("/bvuser/throttled"))) {
        struct stat st {};
        if (e.path().filename().string().rfind(".~bvtmp-", 0) == 0 &&
            stat(e.path().c_str(), &st) == 0 && st.st_size > 0)
          arriving = static_cast<int>(st.st_mode & 0777);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  EXPECT_EQ(steady->CopyFile(sources.SystemOf("d.bin"), steady->GetRootPath() + "big.bin"),
            kDestOk);
  sent = true;
  look.join();
  EXPECT_EQ(arriving, 0600);
  EXPECT_TRUE(bvtest::ReadNative(server.NativeOf("/bvuser/throttled/big.bin")) == data);
  // Stall wait 4 s, the server hanging mid-upload: timed out, and away until it answers.
  auto hung = looked(throttled, "4");
  std::thread hang([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    server.Freeze(true);
  });
  const auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(hung->CopyFile(sources.SystemOf("d.bin"), hung->GetRootPath() + "hung.bin"),
            plat::kErrTimeout);
  EXPECT_FALSE(hung->IsAvailable());
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(50));
  hang.join();
  server.Freeze(false);
}

// A line break in a name would smuggle commands (renaming the store away): nothing is sent.
// A name the server stores otherwise (trailing blanks on FTP) fails as changed.
TEST(FtpDevice, NamesTheServerCannotKeepAreRefusedAndTheStoreStays) {
  bvtest::ScopedEnv home("HOME", Ssh().ClientHome());
  bvtest::TempDir sources;
  sources.Write("a.txt", "alpha");
  const std::vector<ServerAt> servers = ServersAt("inj/");
  REQUIRE_SERVERS(servers);
  for (const ServerAt& kind : servers) {
    SCOPED_TRACE(kind.name);
    const uint32_t kept =
        kind.sftp ? uint32_t{kDestOk} : uint32_t{plat::kErrNameChanged};  // the odd name's copy
    auto dest = PreparedOn(kind.settings, true);
    const std::string root = dest->GetRootPath();
    dest->CreateFolders(root + "Latest/x");
    const std::string hijack =
        "Latest/inj\r\nRNFR " + root + "\r\nRNTO " + root.substr(0, root.size() - 1) + "-hijacked";
    // Refused before anything is sent, the connection kept (no new login).
    const int logins = kind.sftp ? Ssh().Logins() : Ftp().Logins();
    for (const std::string& name :
         {hijack, std::string("Latest/Icon\r"), std::string("Latest/a\nb/c")}) {
      EXPECT_FALSE(dest->FileExists(root + name));
      EXPECT_EQ(dest->CreateFolders(root + name + "/f"), plat::kErrNameNotCarried);
      std::vector<VersionEntry> versions;
      EXPECT_EQ(dest->ListVersions(root + name + "/", "f", ".txt", &versions), 0);
      EXPECT_EQ(dest->CopyFile(sources.SystemOf("a.txt"), root + name), plat::kErrNameNotCarried);
      EXPECT_EQ(dest->MoveFile(root + "Latest/x", root + name), kDestFailed);
    }
    EXPECT_TRUE(dest->IsAvailable());
    EXPECT_EQ(dest->CopyFile(sources.SystemOf("a.txt"), root + "Latest/next.txt"), kDestOk);
    EXPECT_EQ((kind.sftp ? Ssh().Logins() : Ftp().Logins()) - logins, 0);
    EXPECT_EQ(bvtest::ReadNative(kind.native + "Latest/next.txt"), "alpha");
    EXPECT_TRUE(fs::exists(kind.native + "Brevanto.dat"));
    for (const char* odd : {"Latest/report  ", "Latest/tab\tname"}) {
      EXPECT_EQ(dest->CopyFile(sources.SystemOf("a.txt"), root + odd), kept) << odd;
      EXPECT_EQ(fs::exists(kind.native + odd), kept == kDestOk) << odd;
    }
    for (const auto& [rel, bytes] : bvtest::FilesBelow(kind.native))
      EXPECT_TRUE(rel == "Brevanto.dat" || rel == "Latest/next.txt" || kept == kDestOk) << rel;
  }
  // Modes kept only at the store's top: the first private copy shows the lie.
  bvtest::FtpRelay deep(Ftp().Port());
  deep.SetFault(bvtest::FtpRelay::Fault::kLieModesBelow);
  FtpSettings below = Ftp().Settings("deep/");
  below.port = deep.Port();
  auto lying = DestinationOn(below);
  if (Ftp().Ok() && deep.Ok() && lying->Prepare(true)) {
    EXPECT_TRUE(static_cast<CFTPDevice*>(lying.get())->KeepsModes());
    const std::string key = lying->GetRootPath() + "Latest/x/key.pem";  // private by its folder
    ASSERT_EQ(lying->CreateFolders(key), kDestOk);
    EXPECT_EQ(lying->CopyFile(sources.SystemOf("a.txt"), key), plat::kErrNotKeptPrivate);
    EXPECT_FALSE(fs::exists(Ftp().NativeOf("/bvuser/deep/Latest/x/key.pem")));
    EXPECT_FALSE(static_cast<CFTPDevice*>(lying.get())->KeepsModes());
  }
}

// The sweep removes leftovers of this program's naming an hour older than the marker, in the
// root and both trees; fresh ones, other names and other folders stay.
TEST(FtpDevice, SweepRemovesOnlyOldLeftoversOfThisProgram) {
  bvtest::ScopedEnv home("HOME", Ssh().ClientHome());
  // Kept: a fresh one, names not of this program's ("0123" is too short), other folders.
  const std::vector<std::string> swept = {"Latest/C/a/.~bvtmp-0123456789abcdef",
                                          "Revision/C/a/b/.~bvtmp-fedcba9876543210",
                                          ".~bvtmp-00000000000000aa"},
                                 kept = {"Latest/C/a/.~bvtmp-0123456789abcdee",
                                         "Latest/C/a/.~bvtmp-notours", "Latest/C/a/.~bvtmp-0123",
                                         "Latest/C/a/keep.txt", "Other/.~bvtmp-0123456789abcdef"};
  const std::vector<ServerAt> servers = ServersAt("sweep/");
  REQUIRE_SERVERS(servers);
  for (const ServerAt& kind : servers) {
    SCOPED_TRACE(kind.name);
    auto dest = PreparedOn(kind.settings, true);
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(2);
    for (const auto* list : {&swept, &kept}) {
      for (const std::string& rel : *list) {
        bvtest::WriteNative(kind.native + rel, "partial");
        if (rel != kept[0]) fs::last_write_time(kind.native + rel, old);
      }
    }
    for (const auto& e : fs::recursive_directory_iterator(kind.native))
      chown(e.path().c_str(), 65534, 65534);  // the FTP server's user
    EXPECT_EQ(dest->SweepTemporaryCopies(), 3u);
    for (const std::string& rel : swept) EXPECT_FALSE(fs::exists(kind.native + rel)) << rel;
    for (const std::string& rel : kept) EXPECT_TRUE(fs::exists(kind.native + rel)) << rel;
  }
}
