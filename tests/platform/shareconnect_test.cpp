// Network letters' connection names and connecting to shares: through the
// override table, and through the real table with a stand-in `gio` command
// (a script on PATH that records how it was called).
#include "platform/ShareConnect.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "EnvScope.h"
#include "platform/Errors.h"
#include "platform/Volumes.h"
#include "support/TempDir.h"

using plat::ConnectShare;
using plat::GetConnectionName;

namespace {

class ShareConnectTest : public testing::Test {
 protected:
  void TearDown() override {
    plat::detail::SetShareMountTiming(15000, 60000);
    plat::detail::ForgetShareMountAttempts();
  }
  void UseTable(const std::string& ini) { env_.Volumes(tmp_.NativeOf("volumes.ini"), ini); }
  // A `gio` on PATH that appends its arguments to gio.log, then runs body.
  void FakeGio(const std::string& body) {
    std::string script = tmp_.Write(
        "bin/gio", "#!/bin/sh\necho \"$@\" >> '" + tmp_.NativeOf("gio.log") + "'\n" + body + "\n");
    chmod(script.c_str(), 0755);
    const char* path = std::getenv("PATH");
    env_.Set("PATH", tmp_.NativeOf("bin") + ":" + (path ? path : "/usr/bin:/bin"));
  }
  std::string GioLog() const { return bvtest::ReadNative(tmp_.NativeOf("gio.log")); }
  // The real table, with its remembered letters kept in a temporary folder.
  void UseRealTable() {
    env_.Set("BREVANTO_DATA_DIR", tmp_.NativeOf("data"));
    env_.Unset("BREVANTO_VOLUMES");
    ASSERT_FALSE(plat::VolumeTable::Instance().IsOverridden());
    plat::detail::ForgetShareMountAttempts();
  }

  EnvScope env_;
  bvtest::TempDir tmp_;
  bvtest::TempDir share_;
};

TEST_F(ShareConnectTest, ConnectionNameIsTheRemoteOfANetworkLetter) {
  UseTable("[C]\nRoot=/\n[E]\nRoot=" + share_.Native() + "\n[Z]\nRoot=" + share_.Native() +
           "\nType=network\nRemote=\\\\srv\\Share\\\n[Y]\nRoot=" + share_.Native() +
           "\nType=network\n");
  std::string name = "stale";
  EXPECT_TRUE(GetConnectionName("Z:", &name));
  EXPECT_EQ(name, "\\\\srv\\Share");
  EXPECT_TRUE(GetConnectionName("z:", &name));
  EXPECT_EQ(name, "\\\\srv\\Share");

  // Only "X:" itself asks; local, unconnected and missing letters have none.
  for (const char* drive : {"Z:\\", "Z", "", "Z:\\x", ":Z", "E:", "Y:", "X:", "C:", "1:"}) {
    name = "stale";
    EXPECT_FALSE(GetConnectionName(drive, &name)) << drive;
    EXPECT_EQ(name, "") << drive;
  }
}

TEST_F(ShareConnectTest, DeclaredSharesConnectWhileOnlineAndTheLongestNameDecides) {
  FakeGio("exit 0");  // never run while the table is overridden
  std::string table = "[C]\nRoot=/\n[\\\\srv\\share]\nRoot=" + share_.Native() + "\n";
  UseTable(table + "Online=1\n");
  for (const char* path :
       {"\\\\srv\\share", "\\\\srv\\share\\", "\\\\srv\\share\\Backup\\deep", "\\\\SRV\\Share\\x",
        "//srv/share/x", "\\\\?\\UNC\\srv\\share\\x", "\\\\srv\\\\share\\x"})
    EXPECT_EQ(ConnectShare(path), plat::kErrSuccess) << path;

  UseTable(table + "Online=0\n");
  plat::SetLastError(0);
  EXPECT_EQ(ConnectShare("\\\\srv\\share\\Backup"), plat::kErrBadNetPath);
  EXPECT_EQ(plat::GetLastError(), plat::kErrBadNetPath);
  EXPECT_EQ(ConnectShare("\\\\srv\\other\\Backup"), plat::kErrBadNetPath);

  UseTable(table);  // Online defaults to 1 when a root is given
  EXPECT_EQ(ConnectShare("\\\\srv\\share\\Backup"), plat::kErrSuccess);
  EXPECT_EQ(GioLog(), "");

  UseTable("[C]\nRoot=/\n[\\\\srv\\share]\nRoot=" + share_.Native() + "\n");
  for (const char* path : {"", "C:\\x", "\\\\", "\\\\srv", "\\\\srv\\", "\\\\\\srv\\share",
                           "\\\\.\\Brevanto", "\\\\?\\C:\\x", "\\\\srv\\share\\..\\x",
                           "\\\\srv\\..\\share", "\\srv\\share", "srv\\share"})
    EXPECT_EQ(ConnectShare(path), plat::kErrBadNetName) << path;

  UseTable("[C]\nRoot=/\n[\\\\nas\\export]\nRoot=" + share_.Native() +
           "\nOnline=0\n[\\\\nas\\export\\data]\nRoot=" + share_.Native() +
           "\n[Z]\nRoot=" + tmp_.Native() + "\nType=network\nRemote=\\\\srv\\mapped\n");
  EXPECT_EQ(ConnectShare("\\\\nas\\export\\data\\x"), plat::kErrSuccess);
  EXPECT_EQ(ConnectShare("\\\\nas\\export\\data"), plat::kErrSuccess);
  EXPECT_EQ(ConnectShare("\\\\nas\\export\\other"), plat::kErrBadNetPath);
  EXPECT_EQ(ConnectShare("\\\\nas\\export"), plat::kErrBadNetPath);
  // A share a network letter is connected to is reachable.
  EXPECT_EQ(ConnectShare("\\\\srv\\mapped\\Backup"), plat::kErrSuccess);
}

TEST_F(ShareConnectTest, RealTableAsksGioOncePerShareAndMinute) {
  FakeGio("exit 2");
  UseRealTable();
  const std::string path = "\\\\bv-nosuch.invalid\\share x\\sub";
  EXPECT_EQ(ConnectShare(path), plat::kErrBadNetPath);
  EXPECT_EQ(GioLog(), "mount smb://bv-nosuch.invalid/share%20x\n");
  // Polled again at once, and for another folder of the same share (any case).
  EXPECT_EQ(ConnectShare(path), plat::kErrBadNetPath);
  EXPECT_EQ(ConnectShare("\\\\BV-NOSUCH.invalid\\SHARE X\\other"), plat::kErrBadNetPath);
  EXPECT_EQ(GioLog(), "mount smb://bv-nosuch.invalid/share%20x\n");
  // Another share gets its own attempt.
  EXPECT_EQ(ConnectShare("\\\\bv-nosuch.invalid\\c$"), plat::kErrBadNetPath);
  EXPECT_EQ(GioLog(),
            "mount smb://bv-nosuch.invalid/share%20x\nmount smb://bv-nosuch.invalid/c$\n");

  // Once the wait has passed the share is asked for again.
  plat::detail::SetShareMountTiming(-1, 0);
  EXPECT_EQ(ConnectShare(path), plat::kErrBadNetPath);
  EXPECT_EQ(ConnectShare(path), plat::kErrBadNetPath);
  EXPECT_EQ(GioLog(),
            "mount smb://bv-nosuch.invalid/share%20x\nmount smb://bv-nosuch.invalid/c$\n"
            "mount smb://bv-nosuch.invalid/share%20x\nmount smb://bv-nosuch.invalid/share%20x\n");
}

TEST_F(ShareConnectTest, ASuccessfulGioIsNotTakenOnTrust) {
  // gio says it mounted the share, but no mount shows up: still unreachable.
  FakeGio("exit 0");
  UseRealTable();
  EXPECT_EQ(ConnectShare("\\\\bv-nosuch.invalid\\share"), plat::kErrBadNetPath);
  EXPECT_EQ(GioLog(), "mount smb://bv-nosuch.invalid/share\n");
}

bool ProcessGone(const std::string& pid) {
  std::string stat = bvtest::ReadNative("/proc/" + pid + "/stat");
  if (stat.empty()) return true;
  size_t close = stat.rfind(')');
  return close != std::string::npos && stat.size() > close + 2 &&
         (stat[close + 2] == 'Z' || stat[close + 2] == 'X');
}

// A killed process takes a moment to finish dying: waits until it is gone,
// giving up after ten seconds.
bool EventuallyGone(const std::string& pid) {
  for (int i = 0; i < 1000; ++i) {
    if (ProcessGone(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST_F(ShareConnectTest, AHangingGioIsKilledWithItsChildren) {
  // The script starts a child and waits for it; both must be gone afterwards.
  FakeGio("sleep 600 &\necho $$ $! > '" + tmp_.NativeOf("pids") + "'\nwait");
  UseRealTable();
  plat::detail::SetShareMountTiming(3000, -1);
  EXPECT_EQ(ConnectShare("\\\\bv-nosuch.invalid\\share"), plat::kErrTimeout);
  std::string pids = bvtest::ReadNative(tmp_.NativeOf("pids"));
  size_t blank = pids.find(' ');
  ASSERT_NE(blank, std::string::npos) << "the stand-in never ran";
  std::string shell = pids.substr(0, blank);
  std::string child = pids.substr(blank + 1);
  while (!child.empty() && child.back() == '\n') child.pop_back();
  EXPECT_TRUE(EventuallyGone(shell));
  EXPECT_TRUE(EventuallyGone(child));
}

TEST_F(ShareConnectTest, OnlyAnExecutableGioIsStarted) {
  FakeGio("exit 0");
  chmod(tmp_.NativeOf("bin/gio").c_str(), 0644);
  env_.Set("PATH", tmp_.NativeOf("bin"));  // no other gio to find
  UseRealTable();
  EXPECT_EQ(ConnectShare("\\\\bv-nosuch.invalid\\share"), plat::kErrBadNetPath);
  EXPECT_EQ(GioLog(), "");
}

}  // namespace
