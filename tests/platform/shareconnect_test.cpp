// Network letters' connection names and connecting to shares: through the
// override table, and through the real table with a stand-in `gio` command
// (a script on PATH that records how it was called).
#include "platform/volumes/ShareConnect.h"

#include <chrono>
#include <thread>

#include "Checks.h"

using plat::ConnectShare;

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
    const std::string script = tmp_.Write(
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
  bvtest::TempDir tmp_, share_;
};

// Connection names of network letters; declared shares connect while online,
// the longest name deciding; gio is never run for an override table.
TEST_F(ShareConnectTest, OverrideTableNamesAndConnectsItsShares) {
  FakeGio("exit 0");
  const std::string root = "\nRoot=" + share_.Native() + "\n";
  UseTable("[C]\nRoot=/\n[E]" + root + "[Z]" + root +
           "Type=network\nRemote=\\\\srv\\Mapped\\\n[Y]" + root + "Type=network\n[\\\\srv\\share]" +
           root);  // Online defaults to 1
  std::string name = "stale";
  EXPECT_TRUE(plat::GetConnectionName("z:", &name));
  EXPECT_EQ(name, "\\\\srv\\Mapped");
  for (const char* drive : {"Z:\\", "Z", "", "Z:\\x", ":Z", "E:", "Y:", "X:", "C:", "1:"}) {
    name = "stale";
    EXPECT_FALSE(plat::GetConnectionName(drive, &name)) << drive;
    EXPECT_EQ(name, "") << drive;
  }
  for (const char* path : {"\\\\srv\\share", "\\\\srv\\share\\", "\\\\srv\\share\\Backup\\deep",
                           "\\\\SRV\\Share\\x", "//srv/share/x", "\\\\?\\UNC\\srv\\share\\x",
                           "\\\\srv\\\\share\\x", "\\\\srv\\mapped\\Backup"})
    EXPECT_EQ(ConnectShare(path), plat::kErrSuccess) << path;
  for (const char* path : {"", "C:\\x", "\\\\", "\\\\srv", "\\\\srv\\", "\\\\\\srv\\share",
                           "\\\\.\\Brevanto", "\\\\?\\C:\\x", "\\\\srv\\share\\..\\x",
                           "\\\\srv\\..\\share", "\\srv\\share", "srv\\share"})
    EXPECT_EQ(ConnectShare(path), plat::kErrBadNetName) << path;

  UseTable("[C]\nRoot=/\n[\\\\nas\\export]" + root + "Online=0\n[\\\\nas\\export\\data]" + root);
  plat::SetLastError(0);
  EXPECT_EQ(ConnectShare("\\\\nas\\export\\other"), plat::kErrBadNetPath);
  EXPECT_EQ(plat::GetLastError(), plat::kErrBadNetPath);
  EXPECT_EQ(ConnectShare("\\\\nas\\export"), plat::kErrBadNetPath);
  EXPECT_EQ(ConnectShare("\\\\nas\\export\\data\\x"), plat::kErrSuccess);
  EXPECT_EQ(ConnectShare("\\\\srv\\other\\Backup"), plat::kErrBadNetPath);
  EXPECT_EQ(GioLog(), "");
}

// The real table asks an executable gio once per share and minute, and does
// not take its success on trust.
TEST_F(ShareConnectTest, RealTableAsksGioOncePerShareAndMinute) {
  FakeGio("exit 2");
  UseRealTable();
  const std::string path = "\\\\bv-nosuch.invalid\\share x\\sub";
  const std::string first = "mount smb://bv-nosuch.invalid/share%20x\n";
  EXPECT_EQ(ConnectShare(path), plat::kErrBadNetPath);
  EXPECT_EQ(ConnectShare(path), plat::kErrBadNetPath);
  EXPECT_EQ(ConnectShare("\\\\BV-NOSUCH.invalid\\SHARE X\\other"), plat::kErrBadNetPath);
  EXPECT_EQ(GioLog(), first);
  EXPECT_EQ(ConnectShare("\\\\bv-nosuch.invalid\\c$"), plat::kErrBadNetPath);
  plat::detail::SetShareMountTiming(-1, 0);  // the wait has passed
  EXPECT_EQ(ConnectShare(path), plat::kErrBadNetPath);
  EXPECT_EQ(GioLog(), first + "mount smb://bv-nosuch.invalid/c$\n" + first);

  FakeGio("exit 0");
  bvtest::WriteNative(tmp_.NativeOf("gio.log"), "");
  EXPECT_EQ(ConnectShare("\\\\bv-nosuch.invalid\\other"), plat::kErrBadNetPath);
  EXPECT_EQ(GioLog(), "mount smb://bv-nosuch.invalid/other\n");
  chmod(tmp_.NativeOf("bin/gio").c_str(), 0644);
  env_.Set("PATH", tmp_.NativeOf("bin"));  // no other gio to find
  EXPECT_EQ(ConnectShare("\\\\bv-nosuch.invalid\\third"), plat::kErrBadNetPath);
  EXPECT_EQ(GioLog(), "mount smb://bv-nosuch.invalid/other\n");
}

// True once the process is gone or a zombie, false after ten seconds.
bool EventuallyGone(const std::string& pid) {
  for (int i = 0; i < 1000; ++i) {
    const std::string stat = bvtest::ReadNative("/proc/" + pid + "/stat");
    const size_t close = stat.rfind(')');
    if (stat.empty() || (close != std::string::npos && stat.size() > close + 2 &&
                         (stat[close + 2] == 'Z' || stat[close + 2] == 'X')))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST_F(ShareConnectTest, AHangingGioIsKilledWithItsChildren) {
  FakeGio("sleep 600 &\necho $$ $! > '" + tmp_.NativeOf("pids") + "'\nwait");
  UseRealTable();
  plat::detail::SetShareMountTiming(3000, -1);
  EXPECT_EQ(ConnectShare("\\\\bv-nosuch.invalid\\share"), plat::kErrTimeout);
  std::string pids = bvtest::ReadNative(tmp_.NativeOf("pids"));
  const size_t blank = pids.find(' ');
  ASSERT_NE(blank, std::string::npos) << "the stand-in never ran";
  while (!pids.empty() && pids.back() == '\n') pids.pop_back();
  EXPECT_TRUE(EventuallyGone(pids.substr(0, blank)));
  EXPECT_TRUE(EventuallyGone(pids.substr(blank + 1)));
}

}  // namespace
