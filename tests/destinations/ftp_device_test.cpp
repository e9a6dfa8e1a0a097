// The server destination (FTP, and SFTP for "sftp://" servers) against real
// servers on loopback: the shared suite, settings in "Devices.ini", the
// home-folder root, one login for many copies, keys pinned on first use,
// listing lines and the sweep of leftovers (its failures and the names it
// cannot keep: ftp_faults_test). Tests skip when a server cannot be
// started here.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "SharedServers.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "destination_suite.h"
#include "destinations/FtpDevice.h"
#include "platform/base/Errors.h"
#include "platform/files/Files.h"
#include "support/FtpRelay.h"
#include "support/FtpServer.h"
#include "support/ScopedEnv.h"
#include "support/SshServer.h"

namespace fs = std::filesystem;
using bvtest::FtpServer;
using bvtest::SshServer;

namespace {

// A fresh store folder in the user's home on the shared server of its kind.
class ServerWorld : public DestinationWorld {
 public:
  explicit ServerWorld(bool sftp) : sftp_(sftp) {
    static int n = 0;
    sub_ = "s" + std::to_string(++n) + "/";
    dest_ = ServerDestination(sftp ? Ssh().Settings(sub_) : Ftp().Settings(sub_));
    dest_->Prepare(true);
  }
  CDestination& Dest() override { return *dest_; }
  std::string PathOf(const std::string& rel) const override { return dest_->GetRootPath() + rel; }
  std::string NativeOf(const std::string& rel) const override {
    return sftp_ ? Ssh().Home() + "/" + sub_ + rel : Ftp().NativeOf("/bvuser/" + sub_ + rel);
  }
  void Put(const std::string& rel, const std::string& content) override {
    DestinationWorld::Put(rel, content);
    if (sftp_) return;
    const size_t home = Ftp().NativeOf("/bvuser").size();
    for (fs::path p = NativeOf(rel); p.string().size() > home; p = p.parent_path())
      chown(p.c_str(), 65534, 65534);  // up to the home folder: the FTP server user's
  }

 private:
  bool sftp_;
  bvtest::ScopedEnv home_{"HOME", Ssh().ClientHome()};  // the SFTP client key
  std::string sub_;
  std::unique_ptr<CDestination> dest_;
};

DestinationKind ServerKind(bool sftp) {
  DestinationKind kind{sftp ? "Sftp" : "Ftp",
                       [sftp] { return std::make_unique<ServerWorld>(sftp); }};
  kind.carriesReadOnly = false;
  kind.unavailable = [sftp]() -> std::string {
    if (sftp) return Ssh().Ok() ? "" : Ssh().Reason();
    return Ftp().Ok() ? "" : Ftp().Reason();
  };
  return kind;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Server, DestinationSuite,
                         testing::Values(ServerKind(false), ServerKind(true)), KindName);

// Settings are normalised, kept in "Devices.ini" (private, other sections
// left alone) and read back; the server text names the protocol and port.
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
    ftp.security = kFtpPlain;
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
    EXPECT_EQ(fs::status(ini).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write)
        << "the file holds the password";
    const std::string text = bvtest::ReadNative(ini);
    EXPECT_EQ(text.find("Key=kept") != std::string::npos, c.retry > 0) << text;

    CFTPDevice loaded(&owner);
    ASSERT_TRUE(loaded.LoadSettings());
    EXPECT_EQ(loaded.GetRootPath(), c.wantRoot);
    EXPECT_EQ(loaded.GetFtpSettings().user + "|" + loaded.GetFtpSettings().password,
              "ann|pass word");
    EXPECT_EQ(loaded.GetPinnedKey(), std::string("sha256//") + c.wantServer);
    EXPECT_EQ(loaded.GetFtpSettings().security, kFtpPlain);
    EXPECT_TRUE(loaded.IsSameDestination(*dest));
    FtpSettings other = device->GetFtpSettings();
    other.server = std::string(c.wantServer) + ".other";
    EXPECT_FALSE(ServerDestination(other)->IsSameDestination(*dest));
    other = device->GetFtpSettings();
    other.port = 2121;
    EXPECT_FALSE(ServerDestination(other)->IsSameDestination(*dest));
    again.ftp.port = 2121;  // the plan moves to another server
    dest->Configure(again);
    EXPECT_EQ(device->GetPinnedKey(), "") << "a key trusted for another server";
  }
  bvtest::TempDir empty;
  PlanOwner owner(empty.System() + "\\");
  CFTPDevice device(&owner);
  EXPECT_FALSE(device.LoadSettings());
  bvtest::WriteNative(empty.NativeOf("Devices.ini"), "[FTP Device]\nServer=x\n");
  ASSERT_TRUE(device.LoadSettings());
  EXPECT_EQ(device.GetRootPath(), "/");
  EXPECT_EQ(device.GetFtpSettings().security, kFtpsRequired) << "made before the choice";

  const struct {
    const char* server;
    int32_t port;
    const char* wantServer;
    int32_t wantPort;
    bool sftp;
    int32_t security = kFtpsRequired, wantSecurity = kFtpsRequired;
  } texts[] = {
      {" SFTP://Backup.Example.org ", 21, "sftp://backup.example.org", 22, true, kFtpPlain, kSftp},
      {"sftp://host", 0, "sftp://host", 22, true, kSftp, kSftp},
      {"sftp://host:2222/", 21, "sftp://host", 2222, true, kSftp, kSftp},
      {"sftp://host", 2200, "sftp://host", 2200, true, kSftp, kSftp},
      {"sftp://[::1]:21", 0, "sftp://::1", 21, true, kSftp, kSftp},
      {"host", 21, "sftp://host", 22, true, kSftp, kSftp},  // chosen, not typed
      {"ftp://host:2121", 21, "host", 2121, false, kFtpPlain, kFtpPlain},
      {"fe80::1", 21, "fe80::1", 21, false, 7, kFtpsRequired},
  };
  for (const auto& c : texts) {
    FtpSettings s;
    s.server = c.server;
    s.port = c.port;
    s.security = c.security;
    NormaliseFtpSettings(&s);
    EXPECT_EQ(s.server + ":" + std::to_string(s.port),
              c.wantServer + std::string(":") + std::to_string(c.wantPort));
    EXPECT_EQ(s.security, c.wantSecurity) << c.server;
    const FtpSessionOptions o = FtpSessionOptionsOf(s);
    EXPECT_EQ(o.requireTls, c.wantSecurity != kFtpPlain) << c.server;
    EXPECT_EQ(o.sftp, c.sftp) << c.server;
    EXPECT_EQ(o.server.find("://"), std::string::npos) << o.server;
  }
}

// Listing lines from a server that cannot be trusted (machine listings and
// long listings): only plain files and folders with names that stay inside
// their folder come through; dates without a year fall in the half year
// before now.
TEST(FtpDevice, ListingLinesKeepOnlyPlainEntries) {
  bvtest::ScopedEnv tz("TZ", "UTC");
  const int64_t now = 1796605323;  // 2026-12-07 01:02:03 UTC
  const std::string longName(2000, 'n');
  struct Case {
    bool mlsd;
    std::string line;
    const char* name;  // nullptr: refused
    uint64_t size;
    bool folder;
    int64_t time;
    int32_t mode = -1;  // permission bits, -1 not told
  };
  const Case cases[] = {
      {true, "type=file;size=12;modify=20261207010203;UNIX.mode=0640; a b.txt\r\n", "a b.txt", 12,
       false, now, 0640},
      {true, "Type=DIR;Modify=20261207010203; sub", "sub", 0, true, now},
      {true, "type=dir; ..", nullptr, 0, false, 0},
      {true, "type=pdir; x", nullptr, 0, false, 0},
      {true, "type=file;size=1; ../../etc/passwd", nullptr, 0, false, 0},
      {true, "type=file;size=1; a\\b", nullptr, 0, false, 0},
      {true, "type=file;size=1; " + longName, nullptr, 0, false, 0},
      {true, "type=file;size=99999999999999999999999; big", nullptr, 0, false, 0},
      {true, "type=OS.unix=symlink;size=1; link", nullptr, 0, false, 0},
      {true, "size=1; untyped", nullptr, 0, false, 0},
      {true, "garbage without facts", nullptr, 0, false, 0},
      {true, "", nullptr, 0, false, 0},
      {false, "-rw-------    1 ann   ann    12 Dec  7 01:02 a  b.txt\r", "a  b.txt", 12, false,
       1796605320, 0600},
      {false, "drwx------    2 ann   ann  4096 Dec 30  2025 sub", "sub", 0, true, 1767052800, 0700},
      {false, "-rwSr-xr-t    1 ann   ann     5 Dec 30 10:00 old", "old", 5, false, 1767088800,
       0655},
      {false, "drwxr-xr-x    3 ann   ann  4096 Dec  7 01:02 ..", nullptr, 0, false, 0},
      {false, "lrwxrwxrwx    1 ann   ann     4 Dec  7 01:02 l -> /etc", nullptr, 0, false, 0},
      {false, "-rw-r--r--    1 ann   ann     1 Dec  7 01:02 a\\b", nullptr, 0, false, 0},
      {false, "-rw-r--r--    1 ann   ann     1 Dec  7 01:02 " + longName, nullptr, 0, false, 0},
      {false, "-rw-r--r--    1 ann   ann 99999999999999999999999 Dec  7 01:02 big", nullptr, 0,
       false, 0},
      {false, "-rw-r--r--    1 ann   ann     1 Foo  7 01:02 x", nullptr, 0, false, 0},
      {false, "-rw-r--r--    1 ann   ann     1 Dec  7 25:02 x", nullptr, 0, false, 0},
      {false, "garbage", nullptr, 0, false, 0},
      {false, "", nullptr, 0, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 60));
    FtpEntry entry;
    const bool kept =
        c.mlsd ? ParseMlsdLine(c.line, &entry) : ParseLongListLine(c.line, now, &entry);
    ASSERT_EQ(kept, c.name != nullptr);
    if (!kept) continue;
    EXPECT_EQ(entry.name, c.name);
    EXPECT_EQ(entry.size, c.size);
    EXPECT_EQ(entry.folder, c.folder);
    EXPECT_EQ(entry.writeTime, c.time);
    EXPECT_EQ(entry.mode, c.mode);
  }
}

// A root the server refuses ("/backup/" beside the home folder) moves below
// the user's home; a wrong password leaves the destination unavailable; a
// proxy is used only with its port; in active mode copies go over one login.
TEST(FtpDevice, HomeFolderLoginsProxyAndActiveMode) {
  REQUIRE_SERVER(Ftp());
  bvtest::TempDir plan;
  PlanOwner owner(plan.System() + "\\");
  FtpSettings ftp = Ftp().Settings("");
  ftp.root = "/backup/";
  auto dest = ServerDestination(ftp, &owner);
  // The marker's local file: no link in the shared temporary folder is followed.
  bvtest::TempDir shared, data;
  shared.Write("victim", "precious");
  fs::create_symlink(shared.NativeOf("victim"), shared.NativeOf("Brevanto.dat"));
  bvtest::ScopedEnv tmp("TMPDIR", shared.Native()), dataDir("BREVANTO_DATA_DIR", data.Native());
  ASSERT_TRUE(dest->Prepare(true));
  EXPECT_EQ(bvtest::ReadNative(shared.NativeOf("victim")), "precious");
  EXPECT_TRUE(bvtest::FilesBelow(data.Native()).empty());
  EXPECT_TRUE(dest->IsAvailable());
  EXPECT_EQ(dest->GetRootPath(), "/bvuser/backup/");
  EXPECT_TRUE(fs::is_regular_file(Ftp().NativeOf("/bvuser/backup/Brevanto.dat")));
  EXPECT_FALSE(fs::exists(Ftp().NativeOf("/backup")));
  ASSERT_TRUE(dest->SaveSettings());
  CFTPDevice loaded(&owner);
  ASSERT_TRUE(loaded.LoadSettings());
  EXPECT_EQ(loaded.GetRootPath(), "/bvuser/backup/");

  ftp.password = "wrong";
  auto refused = ServerDestination(ftp);
  EXPECT_FALSE(refused->Prepare(true));
  refused->Refresh();
  EXPECT_FALSE(refused->IsAvailable());
  ftp = Ftp().Settings("");
  ftp.proxy = "127.0.0.1";
  ftp.proxyPort = 1;  // nothing listens there
  EXPECT_FALSE(ServerDestination(ftp)->Prepare(true));
  ftp.proxyPort = 0;
  EXPECT_TRUE(ServerDestination(ftp)->Prepare(true));

  ftp = Ftp().Settings("active/");
  ftp.passive = 0;  // the data connections come from the server
  auto active = ServerDestination(ftp);
  ASSERT_TRUE(active->Prepare(true));
  const int logins = Ftp().Logins();
  bvtest::TempDir sources;
  sources.Write("f.txt", "active");
  for (const char* name : {"a/f.txt", "b/f.txt", "c/f.txt"}) {
    ASSERT_EQ(active->CreateFolders(active->GetRootPath() + name), kDestOk);
    EXPECT_EQ(active->CopyFile(sources.SystemOf("f.txt"), active->GetRootPath() + name), kDestOk);
  }
  EXPECT_EQ(Ftp().Logins(), logins) << "a copy logged in anew";
  EXPECT_EQ(bvtest::ReadNative(Ftp().NativeOf("/bvuser/active/c/f.txt")), "active");

  // A server that refuses SITE CHMOD: said at the marker; the refusal keeps the connection,
  // and the looks that follow neither ask again nor log in anew.
  ASSERT_TRUE(Ftp().RefuseModes());
  auto refusing = ServerDestination(Ftp().Settings("m/"));
  ASSERT_TRUE(refusing->Prepare(true));
  EXPECT_FALSE(static_cast<CFTPDevice*>(refusing.get())->KeepsModes());
  const int asked = Ftp().Logins();
  for (int look = 0; look < 4; ++look) {
    refusing->Refresh();
    EXPECT_EQ(refusing->CreateFolders(refusing->GetRootPath() + "x/f.txt"), kDestOk);
  }
  EXPECT_TRUE(refusing->IsAvailable());
  EXPECT_EQ(Ftp().Logins() - asked, 0);
  ASSERT_TRUE(Ftp().RefuseModes(false));
}

// A plan that requires encryption never sends its password to a server (or
// a go-between) that refuses it, and says so once. A server with a key no
// authority vouches for (FTP that takes only encrypted connections; SFTP) is
// refused before any login until its key is pinned, and says so once; then
// copies go encrypted over one login; a new key is refused again, without a
// login. A plain FTP server chosen knowingly is used in clear.
TEST(FtpDevice, KeyedServersAreUsedOnlyWithTheirPinnedKey) {
  REQUIRE_SERVER(Ftp());
  auto plain = ServerDestination(Ftp().Settings("plain/"));
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
  auto refused = ServerDestination(stripped);
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
  // Files private through their folder: a 0644 file in a 0700 folder, and in a 0750 one
  // (the others lie in a folder open to all).
  fs::permissions(sources.Native(), fs::perms(0755));
  sources.Write("shut/tax.txt", "tax");
  sources.Write("team/plan.txt", "plan");
  fs::permissions(sources.NativeOf("shut"), fs::perms(0700));
  fs::permissions(sources.NativeOf("team"), fs::perms(0750));
  // A folder kept private through a link to it (judged on its real path).
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
    auto dest = ServerDestination(ftp);
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
      auto again = ServerDestination(through);
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

    // A server that takes the connection and never says a word: the attempt ends within the
    // plan's time-out, said as such; a stop during an attempt ends it at once, and nothing
    // connects again. A login refused is said as such.
    bvtest::FtpRelay silent(1);
    silent.SetFault(bvtest::FtpRelay::Fault::kMute);
    FtpSettings mute = ftp;
    std::tie(mute.pinnedKey, mute.port, mute.timeout) = std::tuple(key, silent.Port(), 2);
    const auto waited = [](auto&& run) {
      const auto began = std::chrono::steady_clock::now();
      run();
      return std::chrono::steady_clock::now() - began;
    };
    auto quiet = ServerDestination(mute);
    EXPECT_LT(waited([&] { quiet->Refresh(); }), std::chrono::seconds(mute.timeout * 3 + 2));
    EXPECT_FALSE(quiet->IsAvailable());
    EXPECT_EQ(quiet->TakeServerRefusal(&server, &cause), Refusal::kUnreachable);
    std::string timedOut = GetText("SERVER_REFUSED", "CAUSE_TIMEOUT");
    EXPECT_EQ(cause, timedOut.replace(timedOut.find("%s"), 2, "2"));
    mute.timeout = 30;
    auto held = ServerDestination(mute);
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
    auto refusedLogin = ServerDestination(stranger);
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
      refusedLogin = ServerDestination(stranger);
      refusedLogin->Refresh();
    }
    EXPECT_EQ(refusedLogin->TakeServerRefusal(&server, &cause), Refusal::kUnreachable);
    EXPECT_EQ(cause, GetText("SERVER_REFUSED", "CAUSE_LOGIN"));
  }
}
