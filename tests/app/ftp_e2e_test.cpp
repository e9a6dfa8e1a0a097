// The real program with a continuous plan whose store is on an FTP server on
// loopback: the plan loads from "plans.ini", saved files reach "Latest" on
// the server, a second save pushes the old copy to "Revision", and all of it
// goes over one login; a copy the server refuses is logged with its cause;
// the password appears nowhere but in "Devices.ini". The same plan over SSH
// stops, with its own event, once the server shows a new host key. Skips
// when the server cannot be started here.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QProcess>
#include <filesystem>
#include <memory>
#include <string>

#include "ProgramRun.h"
#include "support/DataFolder.h"
#include "support/FtpServer.h"
#include "support/QtApp.h"
#include "support/SshServer.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using bvtest::WaitFor;

TEST(FtpEndToEnd, PlanOnAServerBacksUpAndRotatesOverOneLogin) {
  bvtest::App();
  bvtest::FtpServer server;
  if (!server.Ok()) GTEST_SKIP() << server.Reason();
  bvtest::TempDir work;
  bvtest::TempDir home{bvtest::TempDir::Where::kHome};
  bvtest::DataFolder data{work.Native()};
  fs::create_directories(home.NativeOf("docs"));

  bvtest::PlanFiles plan;
  plan.id = 1;
  plan.name = "Offsite";
  plan.storePath = "/bvuser/e2e/";
  plan.sources = {home.SystemOf("docs")};
  plan.firstBackupDone = true;
  data.WritePlan(plan);
  data.WritePlanList({1});
  const std::string planIni = data.Data("PLAN/1/Plan.ini");
  std::string text = bvtest::ReadNative(planIni);
  text.replace(text.find("StorageType=1"), 13, "StorageType=4");
  bvtest::WriteNative(planIni, text);
  bvtest::WriteNative(data.Data("PLAN/1/Devices.ini"),
                      "[FTP Device]\nPassive=1\nServer=127.0.0.1\nPort=" +
                          std::to_string(server.Port()) + "\nUser=" + server.kUser +
                          "\nPassword=" + server.kPassword + "\nTimeOut=10\nRoot=/bvuser/e2e/\n");

  std::unique_ptr<QProcess> program = bvtest::StartProgram(
      data, {{"BREVANTO_CHANGE_SOURCE", "inotify"}, {"BREVANTO_CHANGE_ROOTS", home.Native()}},
      {"-s"});
  ASSERT_NE(program, nullptr);
  ASSERT_TRUE(bvtest::WaitUntilRunning(data)) << bvtest::ReadNative(data.StderrLog());
  // The marker shows that the plan loaded and reached its server.
  ASSERT_TRUE(WaitFor([&] { return fs::exists(server.NativeOf("/bvuser/e2e/Brevanto.dat")); }))
      << bvtest::ReadNative(data.StderrLog());

  const std::string latest = server.NativeOf("/bvuser/e2e/Latest/C" + home.NativeOf("docs"));
  const std::string revision = server.NativeOf("/bvuser/e2e/Revision/C" + home.NativeOf("docs"));
  auto holds = [](const std::string& native, const std::string& bytes) {
    return fs::exists(native) && bvtest::ReadNative(native) == bytes;
  };
  home.Write("docs/a.txt", "first");
  for (int i = 0; i < 20; ++i) home.Write("docs/many" + std::to_string(i) + ".txt", "m");
  ASSERT_TRUE(WaitFor([&] {
    return holds(latest + "/a.txt", "first") && holds(latest + "/many19.txt", "m");
  })) << data.LogText();

  home.Write("docs/a.txt", "second, longer");
  ASSERT_TRUE(WaitFor([&] {
    return holds(latest + "/a.txt", "second, longer") && holds(revision + "/a(0001).txt", "first");
  })) << data.LogText();

  // Nothing but finished copies under final names, and one login for all.
  for (const auto& [rel, bytes] : bvtest::FilesBelow(server.NativeOf("/bvuser/e2e")))
    EXPECT_EQ(rel.find(".~bvtmp-"), std::string::npos) << rel;
  EXPECT_LE(server.Logins(), 2) << "logins for 22 copies";

  // A folder the server refuses to write: the failed copy is logged with its
  // cause.
  chmod(latest.c_str(), 0555);
  home.Write("docs/c.txt", "refused");
  EXPECT_TRUE(WaitFor([&] {
    return data.LogText().find("Access is denied.") != std::string::npos;
  })) << data.LogText();
  EXPECT_FALSE(fs::exists(latest + "/c.txt"));
  chmod(latest.c_str(), 0755);

  // The password is in "Devices.ini" and nowhere else: not on the command
  // line, not in the activity log, the messages, the trace or stderr.
  const std::string cmdline =
      bvtest::ReadNative("/proc/" + std::to_string(program->processId()) + "/cmdline");
  EXPECT_FALSE(cmdline.empty());
  EXPECT_EQ(cmdline.find(server.kPassword), std::string::npos);
  int files = 0;
  for (const auto& [rel, bytes] : bvtest::FilesBelow(work.Native())) {
    if (fs::path(rel).filename() == "Devices.ini") continue;
    ++files;
    EXPECT_EQ(bytes.find(server.kPassword), std::string::npos) << rel;
  }
  EXPECT_GT(files, 3);

  program->terminate();
  EXPECT_TRUE(program->waitForFinished(20000));
}

TEST(FtpEndToEnd, SftpPlanBacksUpAndStopsAtANewHostKey) {
  bvtest::App();
  bvtest::SshServer server;
  if (!server.Ok()) GTEST_SKIP() << server.Reason();
  bvtest::TempDir work;
  bvtest::TempDir home{bvtest::TempDir::Where::kHome};
  bvtest::DataFolder data{work.Native()};
  fs::create_directories(home.NativeOf("docs"));
  const std::string store = server.Home() + "/e2e/";

  bvtest::PlanFiles plan;
  plan.id = 1;
  plan.name = "Offsite";
  plan.storePath = store;
  plan.sources = {home.SystemOf("docs")};
  plan.firstBackupDone = true;
  data.WritePlan(plan);
  data.WritePlanList({1});
  const std::string planIni = data.Data("PLAN/1/Plan.ini");
  std::string text = bvtest::ReadNative(planIni);
  text.replace(text.find("StorageType=1"), 13, "StorageType=4");
  bvtest::WriteNative(planIni, text);
  const FtpSettings ftp = server.Settings("e2e/");
  bvtest::WriteNative(data.Data("PLAN/1/Devices.ini"),
                      "[FTP Device]\nServer=sftp://127.0.0.1:" + std::to_string(server.Port()) +
                          "\nUser=" + ftp.user + "\nTimeOut=5\nRoot=" + store +
                          "\nPinnedKey=" + ftp.pinnedKey + "\n");

  std::unique_ptr<QProcess> program =
      bvtest::StartProgram(data,
                           {{"BREVANTO_CHANGE_SOURCE", "inotify"},
                            {"BREVANTO_CHANGE_ROOTS", home.Native()},
                            {"HOME", server.ClientHome()}},
                           {"-s"});
  ASSERT_NE(program, nullptr);
  ASSERT_TRUE(bvtest::WaitUntilRunning(data)) << bvtest::ReadNative(data.StderrLog());
  ASSERT_TRUE(WaitFor([&] { return fs::exists(store + "Brevanto.dat"); }))
      << bvtest::ReadNative(data.StderrLog());

  const std::string latest = store + "Latest/C" + home.NativeOf("docs");
  const std::string revision = store + "Revision/C" + home.NativeOf("docs");
  auto holds = [](const std::string& native, const std::string& bytes) {
    return fs::exists(native) && bvtest::ReadNative(native) == bytes;
  };
  home.Write("docs/a.txt", "first");
  ASSERT_TRUE(WaitFor([&] { return holds(latest + "/a.txt", "first"); })) << data.LogText();
  home.Write("docs/a.txt", "second, longer");
  ASSERT_TRUE(WaitFor([&] {
    return holds(latest + "/a.txt", "second, longer") && holds(revision + "/a(0001).txt", "first");
  })) << data.LogText();
  for (const auto& [rel, bytes] : bvtest::FilesBelow(store))
    EXPECT_EQ(rel.find(".~bvtmp-"), std::string::npos) << rel;
  EXPECT_LE(server.Logins(), 2);

  // A new host key: the log says the server's key changed and nothing was
  // sent, and nothing is.
  const int logins = server.Logins();
  ASSERT_TRUE(server.ChangeHostKey());
  home.Write("docs/b.txt", "not for a stranger");
  EXPECT_TRUE(WaitFor([&] {
    const std::string log = data.LogText();
    return log.find("#Server Key Changed") != std::string::npos &&
           log.find("nothing was sent") != std::string::npos;
  })) << data.LogText();
  EXPECT_FALSE(fs::exists(latest + "/b.txt"));
  EXPECT_EQ(server.Logins(), logins);

  program->terminate();
  EXPECT_TRUE(program->waitForFinished(20000));
}
