// The real program with a continuous plan whose store is on a server on
// loopback (FTP, then SFTP): the plan loads, saved files reach "Latest" on
// the server, a second save pushes the old copy to "Revision", nothing but
// finished copies lies there, and all of it goes over one login. Over FTP a
// copy the server refuses is logged with its cause and the password appears
// nowhere but in "Devices.ini"; over SFTP the plan stops, with its own event,
// once the server shows a new host key. Skips when a server cannot start.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "ProgramRun.h"
#include "support/FtpServer.h"
#include "support/SshServer.h"

namespace fs = std::filesystem;

namespace {

using bvtest::Holds;
using bvtest::WaitFor;

// Starts the program with a plan stored at root on a server (devices: the
// "Devices.ini" text), saves docs\a.txt (and more) twice and checks the
// copies; returns the native folder of the copies in "Latest".
std::string BackUpAndRotate(bvtest::ProgramWorld& w, const std::string& root,
                            const std::string& nativeRoot, const std::string& devices,
                            const std::function<int()>& logins, int more, QProcess** program,
                            const std::vector<std::pair<std::string, std::string>>& env = {}) {
  fs::create_directories(w.Home("docs"));
  w.Plan(1, "Offsite", root, {"docs"});
  w.data.WritePlanList({1});
  w.SetPlanKey(1, "StorageType", "4");
  bvtest::WriteNative(w.data.Data("PLAN/1/Devices.ini"), "[FTP Device]\n" + devices);
  auto extra = w.Inotify();
  extra.insert(extra.end(), env.begin(), env.end());
  *program = w.Start(extra);
  // The marker shows that the plan loaded and reached its server.
  EXPECT_TRUE(WaitFor([&] { return fs::exists(nativeRoot + "Brevanto.dat"); })) << w.Stderr();
  const std::string latest = nativeRoot + "Latest/C" + w.Home("docs");
  w.Put("docs/a.txt", "first");
  for (int i = 0; i < more; ++i) w.Put("docs/many" + std::to_string(i) + ".txt", "m");
  EXPECT_TRUE(WaitFor([&] {
    return Holds(latest + "/a.txt", "first") &&
           (more == 0 || Holds(latest + "/many" + std::to_string(more - 1) + ".txt", "m"));
  })) << w.Log();
  w.Put("docs/a.txt", "second, longer");
  EXPECT_TRUE(WaitFor([&] {
    return Holds(latest + "/a.txt", "second, longer") &&
           Holds(nativeRoot + "Revision/C" + w.Home("docs/a(0001).txt"), "first");
  })) << w.Log();
  // Nothing but finished copies under final names, and one login for all.
  for (const auto& [rel, bytes] : bvtest::FilesBelow(nativeRoot))
    EXPECT_EQ(rel.find(".~bvtmp-"), std::string::npos) << rel;
  EXPECT_LE(logins(), 2) << "logins for " << more + 2 << " copies";
  return latest;
}

TEST(FtpEndToEnd, PlanOnAServerBacksUpRotatesAndKeepsItsPassword) {
  bvtest::App();
  bvtest::FtpServer server;
  if (!server.Ok()) GTEST_SKIP() << server.Reason();
  bvtest::ProgramWorld w;
  QProcess* program = nullptr;
  const std::string latest = BackUpAndRotate(
      w, "/bvuser/e2e/", server.NativeOf("/bvuser/e2e/"),
      "Passive=1\nServer=127.0.0.1\nPort=" + std::to_string(server.Port()) + "\nUser=" +
          server.kUser + "\nPassword=" + server.kPassword + "\nTimeOut=10\nRoot=/bvuser/e2e/\n",
      [&] { return server.Logins(); }, 20, &program);
  ASSERT_NE(program, nullptr);

  // A folder the server refuses to write: the failed copy is logged with its cause.
  chmod(latest.c_str(), 0555);
  w.Put("docs/c.txt", "refused");
  EXPECT_TRUE(WaitFor([&] { return w.Log().find("Access is denied.") != std::string::npos; }))
      << w.Log();
  EXPECT_FALSE(fs::exists(latest + "/c.txt"));
  chmod(latest.c_str(), 0755);

  // The password is in "Devices.ini" and nowhere else: not on the command
  // line, not in the activity log, the messages, the trace or stderr.
  const std::string cmdline =
      bvtest::ReadNative("/proc/" + std::to_string(program->processId()) + "/cmdline");
  EXPECT_FALSE(cmdline.empty());
  EXPECT_EQ(cmdline.find(server.kPassword), std::string::npos);
  int files = 0;
  for (const auto& [rel, bytes] : bvtest::FilesBelow(w.work.Native())) {
    if (fs::path(rel).filename() == "Devices.ini") continue;
    ++files;
    EXPECT_EQ(bytes.find(server.kPassword), std::string::npos) << rel;
  }
  EXPECT_GT(files, 3);
  EXPECT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));
}

TEST(FtpEndToEnd, SftpPlanBacksUpAndStopsAtANewHostKey) {
  bvtest::App();
  bvtest::SshServer server;
  if (!server.Ok()) GTEST_SKIP() << server.Reason();
  bvtest::ProgramWorld w;
  const std::string store = server.Home() + "/e2e/";
  const FtpSettings ftp = server.Settings("e2e/");
  QProcess* program = nullptr;
  const std::string latest = BackUpAndRotate(
      w, store, store,
      "Server=sftp://127.0.0.1:" + std::to_string(server.Port()) + "\nUser=" + ftp.user +
          "\nTimeOut=5\nRoot=" + store + "\nPinnedKey=" + ftp.pinnedKey + "\n",
      [&] { return server.Logins(); }, 0, &program, {{"HOME", server.ClientHome()}});
  ASSERT_NE(program, nullptr);

  // A new host key: the log says the server's key changed and nothing was
  // sent, and nothing is.
  const int logins = server.Logins();
  ASSERT_TRUE(server.ChangeHostKey());
  w.Put("docs/b.txt", "not for a stranger");
  EXPECT_TRUE(WaitFor([&] {
    const std::string log = w.Log();
    return log.find("#Server Key Changed") != std::string::npos &&
           log.find("nothing was sent") != std::string::npos;
  })) << w.Log();
  EXPECT_FALSE(fs::exists(latest + "/b.txt"));
  EXPECT_EQ(server.Logins(), logins);
  EXPECT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));
}

}  // namespace
