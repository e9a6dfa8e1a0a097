// The real program with its own change source catches up at start: files
// written while it was off, and files already in a folder added to the plan
// files while it was off, reach "Latest"; a start with nothing changed
// leaves the journal's bytes as they were. Run as root (fanotify) and as an
// ordinary user (inotify).
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QProcess>
#include <QThread>
#include <filesystem>
#include <memory>
#include <string>

#include "ProgramRun.h"
#include "support/DataFolder.h"
#include "support/QtApp.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using bvtest::WaitFor;

class CatchUpEndToEndTest : public ::testing::TestWithParam<bool> {
 protected:
  bool AsUser() const { return GetParam(); }
  void SetUp() override {
    bvtest::App();
    if (AsUser() && geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    ASSERT_FALSE(home_.Native().empty()) << "cannot make a folder below /srv";
  }
  void TearDown() override { Stop(); }

  void WritePlan(const std::vector<std::string>& folders) {
    bvtest::PlanFiles p;
    p.id = 1;
    p.name = "Catch up";
    p.storePath = "E:\\Store\\";
    for (const std::string& f : folders) p.sources.push_back(home_.SystemOf(f));
    p.firstBackupDone = true;
    data_.WritePlan(p);
    data_.WritePlanList({1});
    if (AsUser()) bvtest::ChownTree(work_.Native(), bvtest::kNobodyUid);
  }

  // Starts the program and waits until its catch-up walk has ended: the walk
  // writes the plan's "catchup.ini" when it ends, so the file is removed first.
  void StartAndCatchUp() {
    const std::string state = data_.Data("PLAN/1/catchup.ini");
    fs::remove(state);
    program_ = bvtest::StartProgram(data_,
                                    {{"HOME", home_.Native()},
                                     {"BREVANTO_CHANGE_SOURCE", ""},
                                     {"BREVANTO_CHANGE_ROOTS", ""},
                                     {"XDG_CACHE_HOME", ""},
                                     {"XDG_DATA_HOME", ""}},
                                    {}, AsUser());
    ASSERT_NE(program_, nullptr);
    ASSERT_TRUE(bvtest::WaitUntilRunning(data_)) << bvtest::ReadNative(data_.StderrLog());
    ASSERT_TRUE(WaitFor([&] { return fs::exists(state); }))
        << "no catch-up walk; stderr:\n"
        << bvtest::ReadNative(data_.StderrLog());
  }
  void Stop() {
    if (program_ && program_->state() != QProcess::NotRunning) {
      program_->kill();
      program_->waitForFinished(10000);
    }
  }

  std::string Latest(const std::string& rel) {
    return data_.Volume('E') + "/Store/Latest/C" + home_.NativeOf(rel);
  }
  bool HasBytes(const std::string& rel, const std::string& bytes) {
    return fs::exists(Latest(rel)) && bvtest::ReadNative(Latest(rel)) == bytes;
  }

  bvtest::TempDir work_;
  bvtest::DataFolder data_{work_.Native()};
  bvtest::SrvFolder home_;
  std::unique_ptr<QProcess> program_;
};

TEST_P(CatchUpEndToEndTest, WhatChangedWhileOffIsCopiedAndAQuietStartWritesNothing) {
  // Files that were there before the program ever ran.
  home_.Write("prot/a.txt", "a, first");
  home_.Write("prot/sub/b.txt", "b");
  home_.Write("later/c.txt", "c, in a folder not yet protected");
  WritePlan({"prot"});
  StartAndCatchUp();
  ASSERT_TRUE(WaitFor([&] {
    return HasBytes("prot/a.txt", "a, first") && HasBytes("prot/sub/b.txt", "b");
  })) << bvtest::ReadNative(data_.StderrLog());
  EXPECT_FALSE(fs::exists(Latest("later/c.txt")));
  Stop();

  // While the program is off: a file changes, one is added, and the plan
  // files gain a folder that holds a file already.
  QThread::msleep(1100);  // a later second than the copies
  home_.Write("prot/a.txt", "a, changed while off");
  home_.Write("prot/new.txt", "new while off");
  WritePlan({"prot", "later"});
  StartAndCatchUp();
  ASSERT_TRUE(WaitFor([&] {
    return HasBytes("prot/a.txt", "a, changed while off") &&
           HasBytes("prot/new.txt", "new while off") &&
           HasBytes("later/c.txt", "c, in a folder not yet protected");
  })) << bvtest::ReadNative(data_.StderrLog());
  // Every pending record has been copied once the journal stops changing.
  const std::string journal = data_.Data("PLAN/1/Logging.dat");
  std::string settled;
  ASSERT_TRUE(WaitFor([&] {
    const std::string now = bvtest::ReadNative(journal);
    QThread::msleep(3500);
    return now == bvtest::ReadNative(journal) && (settled = now, true);
  }));
  Stop();

  // Nothing changed: the next start walks and writes nothing to the journal.
  StartAndCatchUp();
  QThread::msleep(4000);  // a continuous plan's runs come and go meanwhile
  EXPECT_EQ(bvtest::ReadNative(journal), settled);
  EXPECT_EQ(program_->state(), QProcess::Running);
  // The run was the user's: the journal is the program's own file.
  struct stat st {};
  ASSERT_EQ(stat(journal.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, AsUser() ? bvtest::kNobodyUid : 0u);
}

INSTANTIATE_TEST_SUITE_P(AsRootAndAsUser, CatchUpEndToEndTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "OrdinaryUser" : "Root"; });

}  // namespace
