// Servers with a key (FTPS, SFTP) against real servers on loopback.
#include "SharedServers.h"
#include "platform/files/Files.h"

// No password goes to a server refusing encryption; a key no authority vouches for is refused
// before any login until pinned, then copies go over one login; a new key is refused again.
TEST(FtpDevice, KeyedServersAreUsedOnlyWithTheirPinnedKey) {
  REQUIRE_SERVER(Ftp());
  auto plain = DestinationOn(Ftp().Settings("plain/"));
  auto* plainDevice = static_cast<CFTPDevice*>(plain.get());
  ASSERT_TRUE(plain->Prepare(true));
  EXPECT_EQ(fs::status(Ftp().NativeOf("/bvuser/plain")).permissions() & fs::perms::all,
            fs::perms::owner_all)
      << "the store's new folder is private";
  EXPECT_FALSE(plainDevice->Encrypted());
  EXPECT_EQ(plainDevice->TlsFault(), FtpTlsFault::kNone);
  EXPECT_EQ(plainDevice->ProbeServerKey(), "");
  using Refusal = CDestination::ServerRefusal;
  std::string server, cause;
  bvtest::FtpRelay strip(Ftp().Port());
  strip.SetFault(bvtest::FtpRelay::Fault::kNoTls);
  FtpSettings stripped = Ftp().Settings("plain/");
  stripped.port = strip.Port();
  stripped.security = kFtpsRequired;
  auto refused = DestinationOn(stripped);
  refused->Refresh();
  EXPECT_EQ(refused->TakeServerRefusal(&server, &cause), Refusal::kNotEncrypted);
  EXPECT_EQ(cause, GetText("SERVER_REFUSED", "NOT_ENCRYPTED"));
  EXPECT_EQ(refused->TakeServerRefusal(&server, &cause), Refusal::kNone) << "said once";
  // The looks and copies that follow wait (a few tries, then minutes); a changed plan asks now.
  const int tried = strip.Connections();
  for (int look = 0; look < 12; ++look) {
    refused->Refresh();
    EXPECT_NE(refused->CreateFolders(refused->GetRootPath() + "x/f.txt"), kDestOk);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_LE(strip.Connections() - tried, 2) << "a refusing server is asked at every look";
  const int beforeChange = strip.Connections();
  EXPECT_FALSE(refused->Prepare(true));
  EXPECT_EQ(strip.Connections() - beforeChange, 1) << "a plan changed asks again at once";
  EXPECT_EQ(strip.Passwords(), 0) << "the password went in clear";

  FtpServer tls(/*tls=*/true);
  SshServer ssh;
  bvtest::ScopedEnv home("HOME", ssh.ClientHome());
  bvtest::TempDir sources;
  for (int i = 0; i < 20; ++i) sources.Write("f" + std::to_string(i) + ".txt", std::to_string(i));
  const auto kOld = fs::file_time_type::clock::from_sys(
      std::chrono::system_clock::from_time_t(1552645800));  // 2019-03-15 10:30:00 UTC
  fs::permissions(sources.NativeOf("f7.txt"), fs::perms(0640));
  fs::last_write_time(sources.NativeOf("f7.txt"), kOld);
  // Files private through their folder (0700, 0750), or through a link to one.
  fs::permissions(sources.Native(), fs::perms(0755));
  sources.Write("shut/tax.txt", "tax");
  sources.Write("team/plan.txt", "plan");
  fs::permissions(sources.NativeOf("shut"), fs::perms(0700));
  fs::permissions(sources.NativeOf("team"), fs::perms(0750));
  sources.Write("vault/docs/d.txt", "d");
  fs::permissions(sources.NativeOf("vault"), fs::perms(0700));
  fs::create_directory_symlink(sources.NativeOf("vault/docs"), sources.NativeOf("docs"));
  const struct {
    const char* name;
    bool ok;
    FtpSettings settings;
    std::function<int()> logins;
    std::function<std::string(const std::string&)> native;
    std::function<bool()> changeKey;
  } kinds[] = {
      {"ftp", tls.Ok(), tls.Settings("t/"), [&] { return tls.Logins(); },
       [&](const std::string& rel) { return tls.NativeOf("/bvuser/t/" + rel); },
       [&] { return tls.ChangeCertificate(); }},
      {"sftp", ssh.Ok(), ssh.Settings("k/"), [&] { return ssh.Logins(); },
       [&](const std::string& rel) { return ssh.Home() + "/k/" + rel; },
       [&] { return ssh.ChangeHostKey(); }},
  };
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.name);
    if (!kind.ok) continue;
    FtpSettings ftp = kind.settings;
    ftp.pinnedKey.clear();
    ftp.timeout = 10;
    auto dest = DestinationOn(ftp);
    auto* device = static_cast<CFTPDevice*>(dest.get());
    EXPECT_FALSE(dest->Prepare(true));
    dest->Refresh();  // waits longer than preparing does: a busy machine's handshake fits
    EXPECT_FALSE(dest->IsAvailable());
    EXPECT_EQ(device->TlsFault(), FtpTlsFault::kUntrusted);
    EXPECT_EQ(kind.logins(), 0) << "no password sent to an unchecked server";
    EXPECT_EQ(dest->TakeServerRefusal(&server, &cause), Refusal::kKeyUntrusted);
    EXPECT_EQ(cause, GetText("SERVER_REFUSED", "KEY_UNTRUSTED"));

    const std::string key = device->ProbeServerKey();
    if (kind.name[0] == 's')
      EXPECT_EQ(key, ssh.Fingerprint());
    else
      EXPECT_EQ(key.rfind("sha256//", 0), 0u) << key;
    ASSERT_FALSE(key.empty());
    device->SetPinnedKey(key);
    ASSERT_TRUE(dest->Prepare(true));
    EXPECT_TRUE(device->Encrypted());
    const int logins = kind.logins();
    for (int i = 0; i < 20; ++i) {
      const std::string name = "f" + std::to_string(i) + ".txt";
      const std::string target = dest->GetRootPath() + "docs/" + name;
      ASSERT_EQ(dest->CreateFolders(target), kDestOk);
      ASSERT_EQ(dest->CopyFile(sources.SystemOf(name), target), kDestOk) << name;
    }
    EXPECT_EQ(kind.logins(), logins) << "a copy logged in anew";
    EXPECT_EQ(bvtest::FilesBelow(kind.native("docs")).size(), 20u);
    EXPECT_EQ(bvtest::ReadNative(kind.native("docs/f7.txt")), "7");
    // A copy takes its source's mode and time; SFTP folders stay private.
    EXPECT_EQ(fs::status(kind.native("docs/f7.txt")).permissions() & fs::perms::all,
              fs::perms(0640));
    EXPECT_EQ(fs::last_write_time(kind.native("docs/f7.txt")), kOld);
    // The last two rows: a folder judged open just before is made private: it counts at once.
    sources.Write("open/now.txt", "now");
    fs::permissions(sources.NativeOf("open"), fs::perms(0755));
    const std::tuple<std::string, fs::perms, fs::perms> kRows[] = {
        {"shut/tax.txt", fs::perms(0600), {}},
        {"team/plan.txt", fs::perms(0640), {}},
        {"docs/d.txt", fs::perms(0600), {}},
        {"open/now.txt", fs::perms(0644), fs::perms(0700)},
        {"open/now.txt", fs::perms(0600), {}}};
    for (const auto& [rel, perms, then] : kRows) {
      const std::string target = dest->GetRootPath() + "docs/" + rel;
      ASSERT_EQ(dest->CreateFolders(target), kDestOk);
      ASSERT_EQ(dest->CopyFile(sources.SystemOf(rel), target), kDestOk) << rel;
      EXPECT_EQ(fs::status(kind.native("docs/" + rel)).permissions() & fs::perms::all, perms)
          << rel;
      if (then != fs::perms{}) fs::permissions(sources.NativeOf("open"), then);
    }
    // A file made private after its copy: the copy follows, nothing is sent again.
    const std::string f0 = dest->GetRootPath() + "docs/f0.txt";
    EXPECT_EQ(dest->KeepCopyPrivate(sources.SystemOf("f0.txt"), f0, 0644, 0600), kDestOk);
    EXPECT_EQ(fs::status(kind.native("docs/f0.txt")).permissions() & fs::perms::all,
              fs::perms(0600));
    if (kind.name[0] == 's') {
      EXPECT_EQ(fs::status(kind.native("docs")).permissions() & fs::perms::all,
                fs::perms::owner_all);
    }

    ASSERT_TRUE(kind.changeKey());
    dest->Refresh();
    EXPECT_FALSE(dest->IsAvailable());
    EXPECT_EQ(device->TlsFault(), FtpTlsFault::kKeyChanged);
    EXPECT_EQ(dest->TakeServerRefusal(&server, &cause), Refusal::kKeyChanged);
    EXPECT_NE(dest->CopyFile(sources.SystemOf("f1.txt"), dest->GetRootPath() + "new.txt"), kDestOk);
    EXPECT_FALSE(fs::exists(kind.native("new.txt")));
    EXPECT_EQ(kind.logins(), logins);
    EXPECT_NE(device->ProbeServerKey(), key);

    // A changed key, no server (keyed, or plain): asked after a pause; a changed plan at once.
    bvtest::FtpRelay changed(ftp.port), gone(1), absent(1);
    for (bvtest::FtpRelay* relay : {&changed, &gone, &absent}) {
      relay->SetFault(bvtest::FtpRelay::Fault::kRaw);
      FtpSettings through = relay == &absent ? Ftp().Settings("plain/") : ftp;
      std::tie(through.pinnedKey, through.port) =
          std::tuple(relay == &absent ? std::string() : key, relay->Port());
      auto again = DestinationOn(through);
      EXPECT_FALSE(again->Prepare(true));  // the plan's start: tried, and failed
      const auto looks = [&] {
        for (int look = 0; look < 8; ++look, again->Refresh())
          again->CreateFolders(again->GetRootPath() + "x/f.txt");
        return relay->Connections();
      };
      const int first = looks();
      EXPECT_EQ(looks(), first) << "a server that cannot be used is asked at every look";
      EXPECT_FALSE(again->Prepare(true));
      EXPECT_GT(relay->Connections(), first) << "a plan changed asks at once";
    }

    // A mute server: the attempt ends within the time-out, a stop ends it at once.
    bvtest::FtpRelay silent(1);
    silent.SetFault(bvtest::FtpRelay::Fault::kMute);
    FtpSettings mute = ftp;
    std::tie(mute.pinnedKey, mute.port, mute.timeout) = std::tuple(key, silent.Port(), 2);
    const auto waited = [](auto&& run) {
      const auto began = std::chrono::steady_clock::now();
      run();
      return std::chrono::steady_clock::now() - began;
    };
    auto quiet = DestinationOn(mute);
    EXPECT_LT(waited([&] { quiet->Refresh(); }), std::chrono::seconds(mute.timeout * 3 + 2));
    EXPECT_FALSE(quiet->IsAvailable());
    EXPECT_EQ(quiet->TakeServerRefusal(&server, &cause), Refusal::kUnreachable);
    std::string timedOut = GetText("SERVER_REFUSED", "CAUSE_TIMEOUT");
    EXPECT_EQ(cause, timedOut.replace(timedOut.find("%s"), 2, "2"));
    mute.timeout = 30;
    auto held = DestinationOn(mute);
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
      for (int i = 0; i < 1000 && silent.Connections() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      stop = true;
    });
    const auto stopped = waited([&] {
      plat::SetThreadCancelFlag(&stop);
      held->Refresh();
      plat::SetThreadCancelFlag(nullptr);
    });
    stopper.join();
    EXPECT_LT(stopped, std::chrono::seconds(5)) << "a stop waits for the time-out";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(silent.Connections(), 2) << "connected again after a stop";
    // A login refused is said as such, also when the server could not be reached just before.
    FtpSettings stranger = ftp;
    stranger.pinnedKey = device->ProbeServerKey();
    auto refusedLogin = DestinationOn(stranger);
    if (kind.name[0] == 's') {
      ASSERT_TRUE(ssh.ChangeClientKey());  // the user's key is refused
      ssh.Stop();
      refusedLogin->Refresh();
      EXPECT_EQ(refusedLogin->TakeServerRefusal(&server, &cause), Refusal::kUnreachable);
      EXPECT_EQ(cause, GetText("SERVER_REFUSED", "CAUSE_CONNECT"));
      ASSERT_TRUE(ssh.Start());
      refusedLogin->Prepare(true);
    } else {
      stranger.password += "-not";
      refusedLogin = DestinationOn(stranger);
      refusedLogin->Refresh();
    }
    EXPECT_EQ(refusedLogin->TakeServerRefusal(&server, &cause), Refusal::kLoginRefused);
    EXPECT_EQ(cause, GetText("SERVER_REFUSED", "CAUSE_LOGIN"));
  }
}
