// The FTP destination over SSH against a real OpenSSH server on loopback:
// the shared suite, the server entered as "sftp://host[:port]", one login
// for many copies, and the host key trusted on first use and refused once it
// changes. Tests skip when the server cannot be started here.
#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "destination_suite.h"
#include "destinations/DestinationFactory.h"
#include "destinations/FtpDevice.h"
#include "support/ScopedEnv.h"
#include "support/SshServer.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using bvtest::SshServer;

namespace {

SshServer& Server() {
  static SshServer server;
  return server;
}

// A fresh store folder on the shared server; the client key is found in the
// test's HOME.
class SftpWorld : public DestinationWorld {
 public:
  SftpWorld() {
    static int n = 0;
    sub_ = "s" + std::to_string(++n) + "/";
    dest_ = ServerDestination(Server().Settings(sub_));
    dest_->Prepare(true);
  }
  CDestination& Dest() override { return *dest_; }
  std::string PathOf(const std::string& rel) const override { return dest_->GetRootPath() + rel; }
  std::string NativeOf(const std::string& rel) const override {
    return Server().Home() + "/" + sub_ + rel;
  }

 private:
  bvtest::ScopedEnv home_{"HOME", Server().ClientHome()};
  std::string sub_;
  std::unique_ptr<CDestination> dest_;
};

DestinationKind SftpKind() {
  DestinationKind kind;
  kind.name = "Sftp";
  kind.make = [] { return std::make_unique<SftpWorld>(); };
  kind.carriesReadOnly = false;
  kind.usesFaultSeam = false;
  kind.unavailable = [] { return Server().Ok() ? std::string() : Server().Reason(); };
  return kind;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Sftp, DestinationSuite, testing::Values(SftpKind()), KindName);

TEST(Sftp, ServerTextNamesTheProtocolAndThePort) {
  struct Case {
    const char* server;
    int32_t port;
    const char* wantServer;
    int32_t wantPort;
    bool sftp;
  };
  const Case cases[] = {
      {" SFTP://Backup.Example.org ", 21, "sftp://backup.example.org", 22, true},
      {"sftp://host", 0, "sftp://host", 22, true},
      {"sftp://host:2222/", 21, "sftp://host", 2222, true},
      {"sftp://host", 2200, "sftp://host", 2200, true},
      {"sftp://[::1]:21", 0, "sftp://::1", 21, true},
      {"ftp://host:2121", 21, "host", 2121, false},
      {"fe80::1", 21, "fe80::1", 21, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server);
    FtpSettings s;
    s.server = c.server;
    s.port = c.port;
    NormaliseFtpSettings(&s);
    EXPECT_EQ(s.server, c.wantServer);
    EXPECT_EQ(s.port, c.wantPort);
    const FtpSessionOptions o = FtpSessionOptionsOf(s);
    EXPECT_EQ(o.sftp, c.sftp);
    EXPECT_EQ(o.server.find("://"), std::string::npos) << o.server;
  }
}

// An unknown host key is refused before any login; once pinned, many copies
// go over one login into private files; a new host key is refused again,
// without a login.
TEST(Sftp, HostKeyIsPinnedOnFirstUseAndAChangeIsRefused) {
  SshServer server;
  if (!server.Ok()) GTEST_SKIP() << server.Reason();
  bvtest::ScopedEnv home("HOME", server.ClientHome());
  bvtest::TempDir sources;
  for (int i = 0; i < 100; ++i) sources.Write("f" + std::to_string(i) + ".txt", std::to_string(i));
  FtpSettings ftp = server.Settings("k/");
  ftp.pinnedKey.clear();
  auto dest = ServerDestination(ftp);
  auto* device = static_cast<CFTPDevice*>(dest.get());
  EXPECT_FALSE(dest->Prepare(true));
  EXPECT_EQ(device->TlsFault(), FtpTlsFault::kUntrusted);
  EXPECT_EQ(server.Logins(), 0) << "logged in to an unchecked server";

  const std::string key = device->ProbeServerKey();
  EXPECT_EQ(key, server.Fingerprint());
  device->SetPinnedKey(key);
  ASSERT_TRUE(dest->Prepare(true));
  EXPECT_TRUE(device->Encrypted());
  const int logins = server.Logins();
  for (int i = 0; i < 100; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    const std::string target = dest->GetRootPath() + "Latest/C/docs/" + name;
    ASSERT_EQ(dest->CreateFolders(target), kDestOk);
    ASSERT_EQ(dest->CopyFile(sources.SystemOf(name), target), kDestOk) << name;
  }
  EXPECT_EQ(server.Logins(), logins) << "a copy logged in anew";
  const std::string folder = server.Home() + "/k/Latest/C/docs";
  EXPECT_EQ(bvtest::FilesBelow(folder).size(), 100u);
  EXPECT_EQ(fs::status(folder + "/f7.txt").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);

  ASSERT_TRUE(server.ChangeHostKey());
  dest->Refresh();
  EXPECT_FALSE(dest->IsAvailable());
  EXPECT_EQ(device->TlsFault(), FtpTlsFault::kKeyChanged);
  EXPECT_NE(dest->CopyFile(sources.SystemOf("f1.txt"), dest->GetRootPath() + "new.txt"), kDestOk);
  EXPECT_FALSE(fs::exists(server.Home() + "/k/new.txt"));
  EXPECT_EQ(server.Logins(), logins);
  EXPECT_EQ(device->ProbeServerKey(), server.Fingerprint());
  EXPECT_NE(device->ProbeServerKey(), key);
}

// Long listing lines from a server that cannot be trusted: plain files and
// folders only, with names that stay inside their folder; dates without a
// year fall in the half year before now.
TEST(Sftp, LongListingLinesKeepOnlyPlainEntries) {
  bvtest::ScopedEnv tz("TZ", "UTC");
  const int64_t now = 1796605323;  // 2026-12-07 01:02:03 UTC
  struct Case {
    std::string line;
    bool kept;
    const char* name;
    uint64_t size;
    bool folder;
    int64_t time;
  };
  const Case cases[] = {
      {"-rw-------    1 ann   ann    12 Dec  7 01:02 a  b.txt\r", true, "a  b.txt", 12, false,
       1796605320},
      {"drwx------    2 ann   ann  4096 Dec 30  2025 sub", true, "sub", 0, true, 1767052800},
      {"-rw-r--r--    1 ann   ann     5 Dec 30 10:00 old", true, "old", 5, false, 1767088800},
      {"drwxr-xr-x    3 ann   ann  4096 Dec  7 01:02 ..", false, "", 0, false, 0},
      {"lrwxrwxrwx    1 ann   ann     4 Dec  7 01:02 l -> /etc", false, "", 0, false, 0},
      {"-rw-r--r--    1 ann   ann     1 Dec  7 01:02 a\\b", false, "", 0, false, 0},
      {"-rw-r--r--    1 ann   ann     1 Dec  7 01:02 " + std::string(2000, 'n'), false, "", 0,
       false, 0},
      {"-rw-r--r--    1 ann   ann 99999999999999999999999 Dec  7 01:02 big", false, "", 0, false,
       0},
      {"-rw-r--r--    1 ann   ann     1 Foo  7 01:02 x", false, "", 0, false, 0},
      {"-rw-r--r--    1 ann   ann     1 Dec  7 25:02 x", false, "", 0, false, 0},
      {"garbage", false, "", 0, false, 0},
      {"", false, "", 0, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 60));
    FtpEntry entry;
    ASSERT_EQ(ParseLongListLine(c.line, now, &entry), c.kept);
    if (!c.kept) continue;
    EXPECT_EQ(entry.name, c.name);
    EXPECT_EQ(entry.size, c.size);
    EXPECT_EQ(entry.folder, c.folder);
    EXPECT_EQ(entry.writeTime, c.time);
  }
}
