// The real program with continuous plans and the change source it picks by
// itself, run as root (fanotify) and as an ordinary user (inotify), on a
// folder below /srv that is its home folder: a file saved in a protected folder
// reaches "Latest", saved again its old copy moves to "Revision"; files in an
// unprotected folder, a new folder, files inside a store or a destination are
// never taken; of three plans on one destination only the earliest that
// matches takes a file.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QProcess>
#include <QThread>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "history/CLoggingDatabase.h"
#include "support/DataFolder.h"
#include "support/QtApp.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using bvtest::App;
using bvtest::WaitFor;

// The activity log's "#Backup File Success" records as (plan name, source).
std::vector<std::pair<std::string, std::string>> CopiedByPlan(const std::string& log) {
  std::vector<std::pair<std::string, std::string>> out;
  const std::string head = "#Backup File Success";
  for (size_t at = log.find(head); at != std::string::npos; at = log.find(head, at + 1)) {
    const size_t end = log.find('#', at + 1);
    const std::string record = log.substr(at, end == std::string::npos ? end : end - at);
    auto field = [&record](const std::string& key) {
      const size_t from = record.find(key);
      if (from == std::string::npos) return std::string();
      const size_t stop = record.find_first_of("\r\n", from);
      return record.substr(from + key.size(), stop - from - key.size());
    };
    out.emplace_back(field("Plan Name = "), field("Source Path = "));
  }
  return out;
}

class ContinuousEndToEndTest : public ::testing::TestWithParam<bool> {
 protected:
  bool AsUser() const { return GetParam(); }
  void SetUp() override {
    App();
    if (AsUser() && geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    ASSERT_FALSE(home_.Native().empty()) << "cannot make a folder below /srv";
    for (const char* sub : {"prot", "unprot", "three/a", "elsewhere", "prot/Dest2", "prot/Old"}) {
      fs::create_directories(home_.NativeOf(sub));
    }
    // Plan 1's store as its creation left it, and a store no plan uses any more.
    home_.Write("prot/Store1/Brevanto.dat", "");
    home_.Write("prot/Old/Brevanto.dat", "");
  }

  void TearDown() override {
    if (program_ && program_->state() != QProcess::NotRunning) {
      program_->kill();
      program_->waitForFinished(10000);
    }
  }

  // Plans in list order; every first backup counts as done.
  void WritePlans() {
    auto plan = [this](uint32_t id, const char* name, const std::string& store,
                       const std::string& source, bool enabled) {
      bvtest::PlanFiles p;
      p.id = id;
      p.name = name;
      p.storePath = store;
      p.sources = {home_.SystemOf(source)};
      p.enabled = enabled;
      p.firstBackupDone = true;
      data_.WritePlan(p);
    };
    // The plan's own store lies inside the folder it protects.
    plan(1, "Continuous", home_.SystemOf("prot/Store1") + "\\", "prot", true);
    // A plan that never runs: its destination counts all the same.
    plan(2, "Elsewhere", home_.SystemOf("prot/Dest2") + "\\", "elsewhere", false);
    plan(3, "Shared A", "E:\\Shared\\", "three/a", true);
    plan(4, "Shared B", "E:\\Shared\\", "three", true);
    plan(5, "Shared C", "E:\\Shared\\", "three", true);
    data_.WritePlanList({1, 2, 3, 4, 5});
    if (AsUser()) {
      bvtest::ChownTree(work_.Native(), bvtest::kNobodyUid);
      bvtest::ChownTree(home_.Native(), bvtest::kNobodyUid);
    }
  }

  void Start() {
    program_ = bvtest::StartProgram(data_,
                                    {{"HOME", home_.Native()},
                                     {"BREVANTO_CHANGE_SOURCE", ""},
                                     {"BREVANTO_CHANGE_ROOTS", ""},
                                     {"XDG_CACHE_HOME", ""},
                                     {"XDG_DATA_HOME", ""}},
                                    {"-s"}, AsUser());
    ASSERT_NE(program_, nullptr);
    ASSERT_TRUE(bvtest::WaitUntilRunning(data_)) << bvtest::ReadNative(data_.StderrLog());
  }

  // Where a protected file's copies go, below a store folder (native).
  std::string InStore(const std::string& storeNative, const char* tree, const std::string& rel) {
    return storeNative + "/" + tree + "/C" + home_.NativeOf(rel);
  }
  std::string Store1() const { return home_.NativeOf("prot/Store1"); }
  std::string Shared() const { return data_.Volume('E') + "/Shared"; }

  bool HasBytes(const std::string& native, const std::string& bytes) {
    return fs::exists(native) && bvtest::ReadNative(native) == bytes;
  }

  // The paths with a record in a plan's journal (the program must have ended).
  std::set<std::string> JournalHas(uint32_t planId, const std::vector<std::string>& paths) {
    std::set<std::string> found;
    CLoggingDatabase db;
    const std::string folder =
        bvtest::NativeToSystemC(data_.Data("PLAN/" + std::to_string(planId))) + "\\";
    EXPECT_EQ(db.Open(folder, planId), CLoggingDatabase::kOk);
    EXPECT_EQ(db.LoadIndex(), CLoggingDatabase::kOk);
    for (const std::string& p : paths) {
      uint64_t offset = 0;
      if (db.Lookup(p, &offset)) found.insert(p);
    }
    db.Close();
    return found;
  }

  bvtest::TempDir work_;
  bvtest::DataFolder data_{work_.Native()};
  // Not in /tmp: the built-in exclusions leave the temporary folders out.
  bvtest::SrvFolder home_;
  std::unique_ptr<QProcess> program_;
};

TEST_P(ContinuousEndToEndTest, SavedFilesReachTheStoreAndOnlyTheRightPlanTakesThem) {
  WritePlans();
  Start();

  // Saved: the copy in "Latest" gets equal bytes.
  home_.Write("prot/doc.txt", "first version");
  ASSERT_TRUE(WaitFor([&] {
    return HasBytes(InStore(Store1(), "Latest", "prot/doc.txt"), "first version");
  })) << "never copied; stderr:\n"
      << bvtest::ReadNative(data_.StderrLog());

  // Saved again: the old copy moves to "Revision" with the first number.
  home_.Write("prot/doc.txt", "second, longer version");
  ASSERT_TRUE(WaitFor([&] {
    return HasBytes(InStore(Store1(), "Latest", "prot/doc.txt"), "second, longer version");
  }));
  EXPECT_EQ(bvtest::ReadNative(InStore(Store1(), "Revision", "prot/doc(0001).txt")),
            "first version");

  // Never taken: an unprotected folder, a new folder, the plan's own store,
  // another plan's destination, a store no plan uses.
  const std::vector<std::string> never = {"unprot/unprotected.txt", "prot/Store1/in-store.txt",
                                          "prot/Dest2/in-destination.txt",
                                          "prot/Old/in-old-store.txt"};
  for (const std::string& rel : never) home_.Write(rel, "must not be copied");
  fs::create_directories(home_.NativeOf("prot/new folder"));

  // Three plans on one destination: A protects three\a, B and C all of three.
  home_.Write("three/a/for-a.txt", "A takes this");
  home_.Write("three/for-b.txt", "B takes this");

  // Paths reach the plans in order: once a later file is copied, the ones
  // above have been offered.
  home_.Write("prot/last.txt", "last");
  ASSERT_TRUE(
      WaitFor([&] { return HasBytes(InStore(Store1(), "Latest", "prot/last.txt"), "last"); }));
  ASSERT_TRUE(WaitFor([&] {
    return HasBytes(InStore(Shared(), "Latest", "three/a/for-a.txt"), "A takes this") &&
           HasBytes(InStore(Shared(), "Latest", "three/for-b.txt"), "B takes this");
  }));
  const std::string forA = home_.SystemOf("three/a/for-a.txt");
  const std::string forB = home_.SystemOf("three/for-b.txt");
  // Every copy's success record has reached the log (it is written a moment
  // after the copy).
  ASSERT_TRUE(WaitFor([&] {
    std::set<std::string> logged;
    for (const auto& c : CopiedByPlan(data_.LogText())) logged.insert(c.second);
    return logged.count(forA) && logged.count(forB) &&
           logged.count(home_.SystemOf("prot/last.txt"));
  })) << data_.LogText();
  ASSERT_EQ(program_->state(), QProcess::Running);
  program_->kill();
  program_->waitForFinished(10000);

  // Nothing of the never-taken files in any store or destination.
  std::set<std::string> neverNames = {"new folder"};
  for (const std::string& rel : never) neverNames.insert(fs::path(rel).filename().string());
  for (const std::string& store : {Store1(), Shared(), home_.NativeOf("prot/Dest2")}) {
    for (const char* tree : {"/Latest", "/Revision"}) {
      const std::string root = store + tree;
      std::error_code ec;
      for (auto it = fs::recursive_directory_iterator(root, ec);
           !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        EXPECT_EQ(neverNames.count(name), 0u) << "taken: " << it->path();
      }
    }
  }
  std::vector<std::string> neverPaths;
  for (const std::string& rel : never) neverPaths.push_back(home_.SystemOf(rel));
  neverPaths.push_back(home_.SystemOf("prot/new folder"));
  EXPECT_TRUE(JournalHas(1, neverPaths).empty());

  // No false alarm on the way.
  EXPECT_EQ(data_.LogText().find("#Backup File Fail"), std::string::npos) << data_.LogText();

  // Each shared file was copied once, by the earliest plan that matched it.
  std::multiset<std::pair<std::string, std::string>> copies;
  for (const auto& c : CopiedByPlan(data_.LogText())) {
    if (c.second == forA || c.second == forB) copies.insert(c);
  }
  EXPECT_EQ(copies, (std::multiset<std::pair<std::string, std::string>>{{"Shared A", forA},
                                                                        {"Shared B", forB}}));
  EXPECT_EQ(JournalHas(3, {forA, forB}), std::set<std::string>{forA});
  EXPECT_EQ(JournalHas(4, {forA, forB}), std::set<std::string>{forB});
  EXPECT_TRUE(JournalHas(5, {forA, forB}).empty());
  // The run was the user's: the copies are the program's own files.
  struct stat st {};
  ASSERT_EQ(stat(InStore(Store1(), "Latest", "prot/doc.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, AsUser() ? bvtest::kNobodyUid : 0u);
}

INSTANTIATE_TEST_SUITE_P(AsRootAndAsUser, ContinuousEndToEndTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "OrdinaryUser" : "Root"; });

}  // namespace
