// The real program with the change source it picks by itself, run as root
// (fanotify) and as an ordinary user (inotify): saves that write a hidden
// temporary file and rename it over the original reach "Latest" with the new
// bytes, the vanished temporary file is no failure, and a protected folder
// outside the home folder is watched.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QProcess>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "support/DataFolder.h"
#include "support/QtApp.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using bvtest::WaitFor;

constexpr uid_t kNobody = 65534;

// A folder below /srv (outside every home folder and outside the temporary
// folders the shipped exclusions leave out), removed at the end.
class SrvDir {
 public:
  SrvDir() {
    fs::create_directories("/srv");
    char tmpl[] = "/srv/bvtest-XXXXXX";
    if (mkdtemp(tmpl)) path_ = tmpl;
    if (!path_.empty()) chmod(path_.c_str(), 0755);
  }
  ~SrvDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string& Native() const { return path_; }

 private:
  std::string path_;
};

void ChownTree(const std::string& top, uid_t uid) {
  std::error_code ec;
  if (chown(top.c_str(), uid, uid) != 0) return;
  for (auto it = fs::recursive_directory_iterator(top, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (lchown(it->path().c_str(), uid, uid) != 0) return;
  }
}

class SavesEndToEndTest : public ::testing::TestWithParam<bool> {
 protected:
  bool AsUser() const { return GetParam(); }

  void SetUp() override {
    bvtest::App();
    if (AsUser() && geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    ASSERT_FALSE(base_.Native().empty()) << "cannot make a folder below /srv";
    home_ = base_.Native() + "/home";
    for (const std::string& d : {home_ + "/docs", base_.Native() + "/outside"}) {
      fs::create_directories(d);
    }
    bvtest::WriteNative(Docs("report.txt"), "report, old");
    bvtest::WriteNative(Docs("notes.txt"), "notes, old");
    bvtest::PlanFiles p;
    p.name = "Saves";
    p.storePath = "E:\\Store\\";
    p.sources = {bvtest::NativeToSystemC(home_ + "/docs"),
                 bvtest::NativeToSystemC(base_.Native() + "/outside")};
    p.firstBackupDone = true;
    data_.WritePlan(p);
    data_.WritePlanList({1});
    if (AsUser()) {
      ChownTree(work_.Native(), kNobody);
      ChownTree(base_.Native(), kNobody);
    }
  }

  void TearDown() override {
    if (program_ && program_->state() != QProcess::NotRunning) {
      program_->kill();
      program_->waitForFinished(10000);
    }
  }

  // The program on the data folder with $HOME below /srv; as the ordinary
  // user when the test runs so.
  void Start() {
    program_ = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    std::vector<std::pair<std::string, std::string>> vars = data_.Environment(true);
    vars.emplace_back("HOME", home_);
    vars.emplace_back("BREVANTO_CHANGE_SOURCE", "");
    vars.emplace_back("BREVANTO_CHANGE_ROOTS", "");
    vars.emplace_back("XDG_CACHE_HOME", "");
    vars.emplace_back("XDG_DATA_HOME", "");
    for (const auto& [key, value] : vars) {
      if (value.empty())
        env.remove(QString::fromStdString(key));
      else
        env.insert(QString::fromStdString(key), QString::fromStdString(value));
    }
    program_->setProcessEnvironment(env);
    program_->setStandardOutputFile(QProcess::nullDevice());
    program_->setStandardErrorFile(QString::fromStdString(data_.StderrLog()));
    if (AsUser()) {
      program_->setChildProcessModifier([] {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(97);
      });
    }
    program_->start(QStringLiteral(BV_EXE_PATH), {"-s"});
    ASSERT_TRUE(program_->waitForStarted(10000));
    ASSERT_TRUE(bvtest::WaitUntilRunning(data_)) << bvtest::ReadNative(data_.StderrLog());
  }

  std::string Docs(const std::string& name) const { return home_ + "/docs/" + name; }
  std::string Latest(const std::string& native) const {
    return data_.Volume('E') + "/Store/Latest/C" + native;
  }
  bool HasBytes(const std::string& native, const std::string& bytes) const {
    return fs::exists(native) && bvtest::ReadNative(native) == bytes;
  }

  // An editor's save: a hidden file written and synced, renamed over the
  // original half a second later.
  static void SaveByRename(const std::string& temp, const std::string& target,
                           const std::string& bytes) {
    bvtest::WriteNative(temp, bytes);
    QThread::msleep(500);
    fs::rename(temp, target);
  }

  bvtest::TempDir work_;
  bvtest::DataFolder data_{work_.Native()};
  SrvDir base_;
  std::string home_;
  std::unique_ptr<QProcess> program_;
};

TEST_P(SavesEndToEndTest, RenamedSavesAndFoldersOutsideHomeAreProtected) {
  Start();

  // The temporary name of one editor is left out by the shipped rules, the
  // other's is not: that one is noted and gone when its copy is due.
  SaveByRename(Docs(".report.txt.swp"), Docs("report.txt"), "report, saved by rename");
  SaveByRename(Docs(".goutputstream-7Q2ZK1"), Docs("notes.txt"), "notes, saved by rename");
  EXPECT_TRUE(WaitFor([&] {
    return HasBytes(Latest(Docs("report.txt")), "report, saved by rename") &&
           HasBytes(Latest(Docs("notes.txt")), "notes, saved by rename");
  })) << "stderr:\n"
      << bvtest::ReadNative(data_.StderrLog());

  // Outside $HOME: the program is told the plan's folders a moment after its
  // plans load, so the file is written again until a copy shows up.
  const std::string outside = base_.Native() + "/outside/ledger.txt";
  EXPECT_TRUE(WaitFor([&] {
    if (HasBytes(Latest(outside), "ledger")) return true;
    bvtest::WriteNative(outside, "ledger");
    if (AsUser()) ChownTree(outside, kNobody);
    return WaitFor([&] { return HasBytes(Latest(outside), "ledger"); }, 5);
  })) << "never copied; stderr:\n"
      << bvtest::ReadNative(data_.StderrLog());

  ASSERT_EQ(program_->state(), QProcess::Running) << bvtest::ReadNative(data_.StderrLog());
  // The run was the user's: the activity log is the program's own file.
  struct stat st {};
  ASSERT_EQ(stat(data_.Data("log").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, AsUser() ? kNobody : 0u);
  const std::string log = data_.LogText();
  EXPECT_EQ(log.find("#Backup File Fail"), std::string::npos) << log;
  EXPECT_EQ(log.find(".goutputstream"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(AsRootAndAsUser, SavesEndToEndTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "OrdinaryUser" : "Root"; });

}  // namespace
