// The real program with stores on a disk that goes away and on servers on loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "ProgramRun.h"
#include "support/FtpServer.h"
#include "support/ReadOnlyFolder.h"
#include "support/SshServer.h"

namespace fs = std::filesystem;

namespace {

using bvtest::CountOf;
using bvtest::Holds;
using bvtest::WaitFor;

// A read-only, then vanished disk: failures said once, nothing in its mount folder, files wait.
TEST(UsbEndToEndTest, AReadOnlyThenVanishedDiskGetsNothingAndItsFilesWaitForIt) {
  bvtest::ProgramWorld w;
  const std::string img = w.work.NativeOf("q.img"), mnt = w.work.NativeOf("mnt");
  // A fresh identity: a disk left mounted by a killed run is not this one.
  char tail[13];
  std::snprintf(tail, sizeof tail, "%012llx", (unsigned long long)(std::random_device()()) << 16);
  const std::string uuid = std::string("5afe7e57-0000-4000-8000-") + tail;
  fs::create_directories(mnt);
  if (std::system(("truncate -s 32M " + img + " && mkfs.ext4 -q -U " + uuid + " " + img).c_str()))
    GTEST_SKIP() << "cannot make an ext4 image";
  auto mount = [&] { return std::system(("mount -o loop " + img + " " + mnt).c_str()) == 0; };
  if (!mount()) GTEST_SKIP() << "loop mounts are not possible here";
  bvtest::Unmount unmount{mnt};
  fs::create_directories(mnt + "/Store");
  auto readOnly = std::make_unique<bvtest::ReadOnlyFolder>(mnt + "/Store");
  if (!readOnly->Failure().empty()) GTEST_SKIP() << readOnly->Failure();
  bvtest::WriteNative(w.data.Data("Drives.ini"), "[Drives]\n" + uuid + "=Q\n");
  for (int i = 0; i < 3; ++i)
    w.Put("src/f" + std::to_string(i) + ".txt", "file " + std::to_string(i));
  w.Plan(1, "On a disk", "Q:\\Store\\", {"src"}, false);
  w.data.WritePlanList({1});
  const std::string popups = w.work.NativeOf("popups.log");
  auto env = w.Inotify();
  env.insert(env.end(), {{"BREVANTO_VOLUMES", ""}, {"BREVANTO_POPUP_LOG", popups}});
  QProcess* program = w.Start(env);
  const std::string said = "Error = Code: 19, Error: The media is write protected.\r";
  ASSERT_TRUE(WaitFor([&] { return CountOf(w.Log(), said) >= 3; }, 120)) << w.Log();
  ASSERT_TRUE(WaitFor([&] { return w.FirstBackupDone(); }));
  EXPECT_EQ(w.Log().find("#Backup File Success"), std::string::npos);
  EXPECT_EQ(w.Log().find("Code: 3,"), std::string::npos);
  EXPECT_NE(w.PlanIni().find("LastBackupTime=0\n"), std::string::npos);
  // Retried files do not say it again.
  ASSERT_TRUE(WaitFor([&] { return CountOf(w.Log(), said) >= 6; }));
  EXPECT_EQ(CountOf(bvtest::ReadNative(popups), "write protected"), 1u)
      << bvtest::ReadNative(popups);

  ASSERT_TRUE(readOnly->MakeWritable());
  const std::string latest = mnt + "/Store/Latest/C" + w.Home("src");
  ASSERT_TRUE(WaitFor([&] { return CountOf(w.Log(), "#Backup File Success") >= 3; }, 180))
      << w.Log();
  EXPECT_EQ(bvtest::ReadNative(latest + "/f2.txt"), "file 2");
  auto lastBackup = [&] {
    const std::string plan = w.PlanIni();
    const size_t at = plan.find("LastBackupTime=");
    return at == std::string::npos ? "" : plan.substr(at, plan.find('\n', at) - at + 1);
  };
  EXPECT_TRUE(WaitFor([&] { return lastBackup() != "LastBackupTime=0\n"; }, 30));

  readOnly.reset();
  ASSERT_EQ(umount2(mnt.c_str(), 0), 0);
  w.Put("src/two.txt", "while away");
  EXPECT_FALSE(WaitFor([&] { return !fs::is_empty(mnt); }, 6)) << "written into the mount folder";
  ASSERT_TRUE(mount());
  EXPECT_TRUE(WaitFor([&] { return Holds(latest + "/two.txt", "while away"); })) << w.Log();

  ASSERT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));
  const std::string stored = lastBackup();
  ASSERT_TRUE(bvtest::ProgramWorld::EndsWithZero(w.Start(env), SIGTERM));
  EXPECT_EQ(lastBackup(), stored);
}

// FTP and SFTP stores rotate versions, refusals are said, a new host key stops, the password stays
// put.
TEST(FtpEndToEnd, PlansOnServersBackUpRotateAndKeepTheirSecrets) {
  bvtest::App();
  bvtest::FtpServer ftp;
  if (!ftp.Ok()) GTEST_SKIP() << ftp.Reason();
  bvtest::SshServer ssh;
  if (!ssh.Ok()) GTEST_SKIP() << ssh.Reason();
  bvtest::ProgramWorld w;
  fs::create_directories(w.Home("docs"));
  const std::string sftpRoot = ssh.Home() + "/e2e/";
  const std::string roots[] = {ftp.NativeOf("/bvuser/e2e/"), sftpRoot};
  const std::string devices[] = {
      "Passive=1\nServer=127.0.0.1\nPort=" + std::to_string(ftp.Port()) + "\nUser=" + ftp.kUser +
          "\nPassword=" + ftp.kPassword + "\nTimeOut=10\nRoot=/bvuser/e2e/\n",
      "Server=sftp://127.0.0.1:" + std::to_string(ssh.Port()) + "\nUser=" + ssh.Settings("").user +
          "\nTimeOut=5\nRoot=" + sftpRoot + "\nPinnedKey=" + ssh.Fingerprint() + "\n"};
  for (uint32_t id : {1, 2}) {
    w.Plan(id, "Offsite " + std::to_string(id), id == 1 ? "/bvuser/e2e/" : sftpRoot, {"docs"});
    w.SetPlanKey(id, "StorageType", "4");
    bvtest::WriteNative(w.data.Data("PLAN/" + std::to_string(id) + "/Devices.ini"),
                        "[FTP Device]\n" + devices[id - 1]);
  }
  w.data.WritePlanList({1, 2});
  auto env = w.Inotify();
  env.emplace_back("HOME", ssh.ClientHome());
  QProcess* program = w.Start(env);
  auto latest = [&](int i, const std::string& name) {
    return roots[i] + "Latest/C" + w.Home("docs/" + name);
  };
  for (const std::string& root : roots)  // the plans loaded and reached their servers
    EXPECT_TRUE(WaitFor([&] { return fs::exists(root + "Brevanto.dat"); })) << w.Stderr();
  w.Put("docs/a.txt", "first");
  for (int i = 0; i < 20; ++i) w.Put("docs/many" + std::to_string(i) + ".txt", "m");
  for (int i : {0, 1})
    EXPECT_TRUE(WaitFor([&] {
      return Holds(latest(i, "a.txt"), "first") && Holds(latest(i, "many19.txt"), "m");
    })) << w.Log();
  w.Put("docs/a.txt", "second, longer");
  for (int i : {0, 1}) {
    EXPECT_TRUE(WaitFor([&] {
      return Holds(latest(i, "a.txt"), "second, longer") &&
             Holds(roots[i] + "Revision/C" + w.Home("docs/a(0001).txt"), "first");
    })) << w.Log();
    for (const auto& [rel, bytes] : bvtest::FilesBelow(roots[i]))
      EXPECT_EQ(rel.find(".~bvtmp-"), std::string::npos) << rel;
  }
  EXPECT_LE(ftp.Logins(), 2);
  EXPECT_LE(ssh.Logins(), 2);

  const std::string ftpLatest = latest(0, "");
  chmod(ftpLatest.c_str(), 0555);
  const int logins = ssh.Logins();
  ASSERT_TRUE(ssh.ChangeHostKey());
  w.Put("docs/b.txt", "refused by one, not for a stranger by the other");
  EXPECT_TRUE(WaitFor([&] {
    const std::string log = w.Log();
    return log.find("Access is denied.") != std::string::npos &&
           log.find("#Server Key Changed") != std::string::npos &&
           log.find("nothing was sent") != std::string::npos;
  })) << w.Log();
  EXPECT_FALSE(fs::exists(latest(0, "b.txt")) || fs::exists(latest(1, "b.txt")));
  EXPECT_EQ(ssh.Logins(), logins);
  chmod(ftpLatest.c_str(), 0755);

  int files = 0;
  for (const auto& [rel, bytes] : bvtest::FilesBelow(w.work.Native())) {
    if (fs::path(rel).filename() == "Devices.ini") continue;
    ++files;
    EXPECT_EQ(bytes.find(ftp.kPassword), std::string::npos) << rel;
  }
  EXPECT_GT(files, 3);
  EXPECT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));
}

}  // namespace
