// The server destination (FTP, and SFTP for "sftp://" servers) against real servers on loopback:
// the shared suite, settings, listing lines, the home-folder root and one login for many copies.
#include "SharedServers.h"

namespace {

// A fresh store folder in the user's home on the shared server of its kind.
class ServerWorld : public DestinationWorld {
 public:
  explicit ServerWorld(bool sftp) : at_(ServerOf(sftp, "s" + std::to_string(++made_) + "/")) {
    dest_->Prepare(true);
  }
  CDestination& Dest() override { return *dest_; }
  std::string PathOf(const std::string& rel) const override { return dest_->GetRootPath() + rel; }
  std::string NativeOf(const std::string& rel) const override { return at_.native + rel; }
  void Put(const std::string& rel, const std::string& content) override {
    DestinationWorld::Put(rel, content);
    if (at_.sftp) return;
    const size_t home = Ftp().NativeOf("/bvuser").size();
    for (fs::path p = NativeOf(rel); p.string().size() > home; p = p.parent_path())
      chown(p.c_str(), 65534, 65534);  // up to the home folder: the FTP server user's
  }

 private:
  static inline int made_ = 0;
  bvtest::ScopedEnv home_{"HOME", Ssh().ClientHome()};  // the SFTP client key
  ServerAt at_;
  std::unique_ptr<CDestination> dest_ = DestinationOn(at_.settings);
};

DestinationKind ServerKind(bool sftp) {
  DestinationKind kind{sftp ? "Sftp" : "Ftp",
                       [sftp] { return std::make_unique<ServerWorld>(sftp); }};
  kind.carriesReadOnly = false;
  kind.unavailable = [sftp] { return sftp ? Ssh().Reason() : Ftp().Reason(); };
  return kind;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Server, DestinationSuite,
                         testing::Values(ServerKind(false), ServerKind(true)), KindName);

// Settings are normalised, kept private in "Devices.ini" beside other sections, and read back.
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
    PlanFolder plan;
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
    auto dest = DestinationOn(ftp, &plan);
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

    CFTPDevice loaded(&plan);
    ASSERT_TRUE(loaded.LoadSettings());
    EXPECT_EQ(loaded.GetRootPath(), c.wantRoot);
    EXPECT_EQ(loaded.GetFtpSettings().user + "|" + loaded.GetFtpSettings().password,
              "ann|pass word");
    EXPECT_EQ(loaded.GetPinnedKey(), std::string("sha256//") + c.wantServer);
    EXPECT_EQ(loaded.GetFtpSettings().security, kFtpPlain);
    EXPECT_TRUE(loaded.IsSameDestination(*dest));
    FtpSettings other = device->GetFtpSettings();
    other.server = std::string(c.wantServer) + ".other";
    EXPECT_FALSE(DestinationOn(other)->IsSameDestination(*dest));
    other = device->GetFtpSettings();
    other.port = 2121;
    EXPECT_FALSE(DestinationOn(other)->IsSameDestination(*dest));
    again.ftp.port = 2121;  // the plan moves to another server
    dest->Configure(again);
    EXPECT_EQ(device->GetPinnedKey(), "") << "a key trusted for another server";
  }
  PlanFolder empty;
  CFTPDevice device(&empty);
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

// Only plain files and folders named inside their folder come through; dates without a year
// fall in the half year before now.
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

// A root the server refuses moves below the user's home; a proxy is used only with its port.
TEST(FtpDevice, HomeFolderLoginsProxyAndActiveMode) {
  REQUIRE_SERVER(Ftp());
  PlanFolder plan;
  FtpSettings ftp = Ftp().Settings("");
  ftp.root = "/backup/";
  auto dest = DestinationOn(ftp, &plan);
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
  CFTPDevice loaded(&plan);
  ASSERT_TRUE(loaded.LoadSettings());
  EXPECT_EQ(loaded.GetRootPath(), "/bvuser/backup/");

  ftp.password = "wrong";
  auto refused = DestinationOn(ftp);
  EXPECT_FALSE(refused->Prepare(true));
  refused->Refresh();
  EXPECT_FALSE(refused->IsAvailable());
  ftp = Ftp().Settings("");
  ftp.proxy = "127.0.0.1";
  ftp.proxyPort = 1;  // nothing listens there
  EXPECT_FALSE(DestinationOn(ftp)->Prepare(true));
  ftp.proxyPort = 0;
  EXPECT_TRUE(DestinationOn(ftp)->Prepare(true));

  ftp = Ftp().Settings("active/");
  ftp.passive = 0;  // the data connections come from the server
  auto active = PreparedOn(ftp, true);
  const int logins = Ftp().Logins();
  bvtest::TempDir sources;
  sources.Write("f.txt", "active");
  for (const char* name : {"a/f.txt", "b/f.txt", "c/f.txt"}) {
    ASSERT_EQ(active->CreateFolders(active->GetRootPath() + name), kDestOk);
    EXPECT_EQ(active->CopyFile(sources.SystemOf("f.txt"), active->GetRootPath() + name), kDestOk);
  }
  EXPECT_EQ(Ftp().Logins(), logins) << "a copy logged in anew";
  EXPECT_EQ(bvtest::ReadNative(Ftp().NativeOf("/bvuser/active/c/f.txt")), "active");

  // SITE CHMOD refused: found at the marker, then neither asked again nor logged in anew.
  ASSERT_TRUE(Ftp().RefuseModes());
  auto refusing = PreparedOn(Ftp().Settings("m/"), true);
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
