// The real program on a hand-written data folder and store: every file keeps
// its own history whatever its name (case twins, a file named like another's
// revision, wildcard characters, a 255-byte name), a pending record of an
// unchanged file pushes no revision out, leftovers of a killed copy are swept,
// two names that meet on a store that ignores case are reported, and every
// copy keeps the destination's reserve free.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <QProcess>
#include <chrono>
#include <filesystem>
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

using bvtest::WaitFor;

const std::string kTemp = ".~bvtmp-00112233445566ff";

class StoreEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bvtest::App();
    ASSERT_FALSE(home_.Native().empty()) << "cannot make a folder under $HOME";
  }
  void TearDown() override {
    if (program_ && program_->state() != QProcess::NotRunning) {
      program_->kill();
      program_->waitForFinished(10000);
    }
    for (const std::string& m : mounts_) umount2(m.c_str(), MNT_DETACH);
  }

  // A plan protecting home_'s folder src, stored in <letter>:\Store\.
  void WritePlan(uint32_t id, char letter, const std::string& src, bool firstDone,
                 int versions = 3) {
    bvtest::PlanFiles p;
    p.id = id;
    p.name = "Plan " + std::to_string(id);
    p.storePath = std::string(1, letter) + ":\\Store\\";
    p.sources = {home_.SystemOf(src)};
    p.firstBackupDone = firstDone;
    p.versions = versions;
    data_.WritePlan(p);
    bvtest::WriteNative(Store(letter) + "/Brevanto.dat", "");
  }
  void Start() {
    program_ = bvtest::StartProgram(
        data_, {{"BREVANTO_CHANGE_SOURCE", "inotify"}, {"BREVANTO_CHANGE_ROOTS", home_.Native()}},
        {"-s"});
    ASSERT_NE(program_, nullptr);
    ASSERT_TRUE(bvtest::WaitUntilRunning(data_)) << bvtest::ReadNative(data_.StderrLog());
  }
  std::string Store(char letter) const { return data_.Volume(letter) + "/Store"; }
  // Native path in a store tree of home_'s rel.
  std::string In(char letter, const char* tree, const std::string& rel) const {
    return Store(letter) + "/" + tree + "/C" + home_.NativeOf(rel);
  }
  void Put(const std::string& native, const std::string& bytes) {
    bvtest::WriteNative(native, bytes);
  }
  bool Holds(const std::string& native, const std::string& bytes) {
    return fs::exists(native) && bvtest::ReadNative(native) == bytes;
  }
  std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) names.insert(e.path().filename());
    return names;
  }
  // Mounts a small file system of its own over a volume's folder; false when
  // this machine does not let the test mount.
  bool MountSmall(char letter, const std::string& size) {
    const std::string at = data_.Volume(letter);
    if (mount("tmpfs", at.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) return false;
    mounts_.push_back(at);
    return true;
  }

  bvtest::TempDir work_;
  bvtest::DataFolder data_{work_.Native(), "EF"};
  bvtest::TempDir home_{bvtest::TempDir::Where::kHome};
  std::unique_ptr<QProcess> program_;
  std::vector<std::string> mounts_;
};

TEST_F(StoreEndToEndTest, EveryFileKeepsItsOwnHistory) {
  const std::string longName = std::string(251, 'L') + ".txt";  // 255 bytes
  // The store as earlier runs left it: copies, revisions, and the temporary
  // files of copies that a kill interrupted.
  auto latest = [&](const std::string& f, const std::string& bytes) {
    Put(In('E', "Latest", "src/" + f), bytes);
    Put(home_.NativeOf("src/" + f), bytes);
  };
  for (const char* f : {"report.txt", "Report.txt", "r.txt", "r(0001).txt", "x.txt"})
    latest(f, std::string(f) + " copied");
  latest(longName, "long copied");
  const std::vector<std::string> revisions = {
      "report(0001).txt", "report(0002).txt", "Report(0001).txt",  "Report(0002).txt",
      "r(0001).txt",      "r(0002).txt",      "r(0001)(0001).txt", "r(0001)(0002).txt",
      "same(0001).txt",   "same(0002).txt"};
  for (const std::string& f : revisions) Put(In('E', "Revision", "src/" + f), f);
  Put(In('E', "Latest", "src/" + kTemp), "partial");
  Put(In('E', "Revision", "src/deep/" + kTemp), "partial");
  // A file whose latest copy is up to date and whose record is pending again.
  latest("same.txt", "same bytes");
  const auto past = fs::file_time_type::clock::now() - std::chrono::hours(1);
  fs::last_write_time(home_.NativeOf("src/same.txt"), past);
  fs::last_write_time(In('E', "Latest", "src/same.txt"), past);
  WritePlan(1, 'E', "src", false);
  {
    CLoggingDatabase db;
    const std::string folder = bvtest::NativeToSystemC(data_.Data("PLAN/1")) + "\\";
    ASSERT_EQ(db.Create(folder, 1), CLoggingDatabase::kOk);
    ASSERT_EQ(db.Open(folder, 1), CLoggingDatabase::kOk);
    ASSERT_EQ(db.LoadIndex(), CLoggingDatabase::kOk);
    ASSERT_EQ(db.NoteChangedFile(home_.SystemOf("src/same.txt")), CLoggingDatabase::kOk);
    db.Close();
  }
  // New files the first backup walk must take although x.txt has a copy.
  for (const char* f : {"*.txt", "?.txt"}) home_.Write(std::string("src/") + f, f);

  // The first backup of a plan on a store that ignores case, for twins.
  {
    std::string table = bvtest::ReadNative(work_.NativeOf("volumes.ini"));
    const std::string f = "[F]\nRoot=" + data_.Volume('F') + "\nType=fixed\n";
    ASSERT_NE(table.find(f), std::string::npos);
    table.replace(table.find(f), f.size(), f + "FileSystem=vfat\n");
    bvtest::WriteNative(work_.NativeOf("volumes.ini"), table);
  }
  home_.Write("twins/notes.txt", "lower");
  home_.Write("twins/Notes.txt", "upper");
  WritePlan(2, 'F', "twins", false);
  data_.WritePlanList({1, 2});
  Start();

  ASSERT_TRUE(WaitFor([&] {
    return Holds(In('E', "Latest", "src/*.txt"), "*.txt") &&
           Holds(In('E', "Latest", "src/?.txt"), "?.txt");
  })) << "names with wildcard characters were skipped";
  ASSERT_TRUE(WaitFor([&] {
    return data_.LogText().find("#Backup File Shares Store Name") != std::string::npos;
  })) << data_.LogText();

  // One change each: every rotation keeps the others' revisions.
  for (const char* f : {"report.txt", "r.txt"}) home_.Write(std::string("src/") + f, "changed");
  home_.Write("src/" + longName, "long changed");
  ASSERT_TRUE(WaitFor([&] {
    return Holds(In('E', "Latest", "src/report.txt"), "changed") &&
           Holds(In('E', "Latest", "src/r.txt"), "changed") &&
           Holds(In('E', "Latest", "src/" + longName), "long changed");
  }));
  // The pending record of the unchanged file was walked by now (the journal
  // walk precedes the copies of later changes).
  program_->kill();
  program_->waitForFinished(10000);

  const std::set<std::string> now = Names(In('E', "Revision", "src"));
  for (const char* kept : {"report(0002).txt", "report(0003).txt", "Report(0001).txt",
                           "Report(0002).txt", "r(0002).txt", "r(0003).txt", "r(0001)(0001).txt",
                           "r(0001)(0002).txt", "same(0001).txt", "same(0002).txt"})
    EXPECT_EQ(now.count(kept), 1u) << kept;
  for (const char* gone : {"report(0001).txt", "r(0001).txt", "same(0003).txt"})
    EXPECT_EQ(now.count(gone), 0u) << gone;
  EXPECT_EQ(bvtest::ReadNative(In('E', "Revision", "src/report(0003).txt")), "report.txt copied");
  EXPECT_EQ(bvtest::ReadNative(In('E', "Latest", "src/same.txt")), "same bytes");
  // The long name's old copy is a revision under a name that fits.
  size_t longRevisions = 0;
  for (const std::string& n : now) {
    if (n.rfind("LLLL", 0) != 0) continue;
    ++longRevisions;
    EXPECT_LE(n.size(), 255u);
    EXPECT_EQ(bvtest::ReadNative(In('E', "Revision", "src/" + n)), "long copied");
  }
  EXPECT_EQ(longRevisions, 1u);
  EXPECT_FALSE(fs::exists(In('E', "Latest", "src/" + kTemp)));
  EXPECT_FALSE(fs::exists(In('E', "Revision", "src/deep/" + kTemp)));
  // Said once, naming both sources.
  const std::string log = data_.LogText();
  const size_t at = log.find("#Backup File Shares Store Name");
  EXPECT_EQ(log.find("#Backup File Shares Store Name", at + 1), std::string::npos);
  EXPECT_NE(log.find(home_.SystemOf("twins/Notes.txt"), at), std::string::npos);
  EXPECT_NE(log.find(home_.SystemOf("twins/notes.txt"), at), std::string::npos);
}

// A destination with 24 MiB and 30 files of 1 MiB: the copies stop with 10 MiB
// still free, and the copy refused stays pending in the journal.
TEST_F(StoreEndToEndTest, CopiesKeepTheReserveFree) {
  if (!MountSmall('E', "24m")) GTEST_SKIP() << "this machine does not let the test mount";
  constexpr int kFiles = 30;
  const std::string bytes(1 << 20, 'm');
  for (int i = 0; i < kFiles; ++i) home_.Write("big/f" + std::to_string(i) + ".bin", bytes);
  WritePlan(1, 'E', "big", false, 1);
  data_.WritePlanList({1});
  Start();

  auto copies = [&] { return Names(In('E', "Latest", "big")).size(); };
  ASSERT_TRUE(WaitFor([&] { return copies() >= 5; })) << "no copies made";
  // Settled: no copy for two seconds.
  size_t last = 0;
  ASSERT_TRUE(WaitFor([&] {
    const size_t n = copies();
    const bool settled = n == last;
    last = n;
    QThread::msleep(2000);
    return settled && copies() == n;
  }));
  struct statvfs vfs;
  ASSERT_EQ(statvfs(Store('E').c_str(), &vfs), 0);
  EXPECT_GE(uint64_t(vfs.f_bavail) * vfs.f_frsize, 10u << 20);
  const size_t made = copies();
  EXPECT_LT(made, size_t(kFiles));

  program_->kill();
  program_->waitForFinished(10000);

  CLoggingDatabase db;
  ASSERT_EQ(db.Open(bvtest::NativeToSystemC(data_.Data("PLAN/1")) + "\\", 1),
            CLoggingDatabase::kOk);
  ASSERT_EQ(db.LoadIndex(), CLoggingDatabase::kOk);
  size_t pending = 0, copied = 0;
  for (int i = 0; i < kFiles; ++i) {
    uint64_t offset = 0;
    const std::string path = home_.SystemOf("big/f" + std::to_string(i) + ".bin");
    if (!db.Lookup(path, &offset)) continue;
    LogRecord rec;
    uint64_t next = 0;
    bool found = false;
    ASSERT_EQ(db.ReadRecord(offset, &rec, &next, &found), CLoggingDatabase::kOk);
    pending += rec.state == kLogPending;
    copied += rec.state == kLogCopied;
  }
  db.Close();
  EXPECT_EQ(copied, made);
  EXPECT_GE(pending, 1u) << "a refused copy must stay pending";
}

}  // namespace
