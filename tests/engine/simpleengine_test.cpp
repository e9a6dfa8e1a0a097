// The versioned store: names, rotation, journal records and events of the
// single-file backup, on real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <vector>

#include "common/EngineEvents.h"
#include "engine/CSimpleEngine.h"
#include "plans/CPlan.h"
#include "platform/Clock.h"
#include "platform/Errors.h"
#include "support/EventCollector.h"
#include "support/ScratchEnv.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using bvtest::ScratchEnv;

namespace {

TEST(StoreNames, SplitsThePathIntoStoreFoldersStemAndExtension) {
  struct Case {
    const char *root, *path;
    char sep;
    const char *latestFolder, *stem, *extension;
  };
  const Case cases[] = {
      {"E:\\S\\", "C:\\Users\\a\\report.doc", '\\', "E:\\S\\Latest\\C\\Users\\a\\", "report",
       "doc"},
      {"E:\\S\\", "C:\\x\\a.b.doc", '\\', "E:\\S\\Latest\\C\\x\\", "a.b", "doc"},
      {"E:\\S\\", "C:\\x\\Makefile", '\\', "E:\\S\\Latest\\C\\x\\", "Makefile", ""},
      // A root without its closing separator gets one.
      {"E:\\S", "C:\\x\\f.txt", '\\', "E:\\S\\Latest\\C\\x\\", "f", "txt"},
      // Every ":" of the folder part goes, not only the drive's.
      {"E:\\S\\", "C:\\odd:dir\\f.txt", '\\', "E:\\S\\Latest\\C\\odddir\\", "f", "txt"},
      // A "/" destination gets slashes throughout.
      {"\\root\\", "C:\\Users\\a\\report.doc", '/', "/root/Latest/C/Users/a/", "report", "doc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const StoreNames n = MakeStoreNames(c.root, c.path, c.sep);
    EXPECT_EQ(n.latestFolder, c.latestFolder);
    std::string revision = c.latestFolder;
    revision.replace(revision.find("Latest"), 6, "Revision");
    EXPECT_EQ(n.revisionFolder, revision);
    EXPECT_EQ(n.stem, c.stem);
    EXPECT_EQ(n.extension, c.extension);
    const std::string file = n.extension.empty() ? n.stem : n.stem + "." + n.extension;
    EXPECT_EQ(n.latestName, c.latestFolder + file);
  }
}

TEST(StoreNames, VersionNamesHaveFourDigitsOrMore) {
  EXPECT_EQ(VersionName("R\\", "report", "doc", 7), "R\\report(0007).doc");
  EXPECT_EQ(VersionName("R\\", "report", "doc", 0), "R\\report.doc");
  EXPECT_EQ(VersionName("R\\", "Makefile", "", 1), "R\\Makefile(0001)");
  EXPECT_EQ(VersionName("R\\", "report", "doc", 10000), "R\\report(10000).doc");
  EXPECT_EQ(VersionName("R\\", "a.b", "doc", 12), "R\\a.b(0012).doc");
}

class SimpleEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plan_ = env_.MakePlan(1, 4, 3, {env_.Src().System()});
    ASSERT_TRUE(plan_);
    engine_ = plan_->Engine();
    ASSERT_NE(engine_, nullptr);
  }
  std::string Src(const std::string& rel) { return env_.Src().SystemOf(rel); }
  // Native path of a store file for a source file of the test's source tree.
  std::string StoreNative(const std::string& tree, const std::string& rel) {
    std::string native = env_.Src().NativeOf(rel);
    return env_.Store().NativeOf("store1/" + tree + "/C" + native);
  }
  std::vector<std::string> RevisionFiles(const std::string& rel) {
    std::vector<std::string> names;
    fs::path folder = fs::path(StoreNative("Revision", rel)).parent_path();
    std::error_code ec;
    for (auto& e : fs::directory_iterator(folder, ec)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  ScratchEnv env_;
  std::unique_ptr<bvtest::TestPlan> plan_;
  CSimpleEngine* engine_ = nullptr;
};

TEST_F(SimpleEngineTest, FirstCopyRecordsAndReports) {
  env_.Src().Write("docs/report.doc", "v1");
  bvtest::EventCollector events;
  const int64_t before = plat::Now();
  ASSERT_EQ(engine_->BackupFile(Src("docs/report.doc"), false, nullptr, 0), 0);
  EXPECT_EQ(bvtest::ReadNative(StoreNative("Latest", "docs/report.doc")), "v1");

  LogRecord rec;
  ASSERT_TRUE(ScratchEnv::RecordOf(plan_.get(), Src("docs/report.doc"), &rec));
  EXPECT_EQ(rec.state, kLogCopied);
  EXPECT_EQ(rec.failedAttempts, 0u);
  EXPECT_GE(rec.lastBackupTime, before);
  EXPECT_EQ(rec.lastAttemptTime, rec.lastBackupTime);
  EXPECT_EQ(rec.changeTime, rec.lastBackupTime);

  auto list = events.Events();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].code, kEvFileBackupBegins);
  EXPECT_EQ(list[0].text1, Src("docs/report.doc"));
  EXPECT_EQ(list[0].planId, 1u);
  EXPECT_EQ(list[1].code, kEvFileCopied);
  EXPECT_EQ(list[1].text2, "E:\\store1\\Latest\\C" + Src("docs/report.doc").substr(2));
  EXPECT_EQ(list[1].value, 0);
}

TEST_F(SimpleEngineTest, RotationKeepsTheVersionCount) {
  const std::string path = Src("report.doc");
  for (int v = 1; v <= 5; ++v) {
    env_.Src().Write("report.doc", "v" + std::to_string(v));
    ASSERT_EQ(engine_->BackupFile(path, false, nullptr, 0), 0);
  }
  // Three versions: the latest and two revisions, numbered on.
  EXPECT_EQ(bvtest::ReadNative(StoreNative("Latest", "report.doc")), "v5");
  EXPECT_EQ(RevisionFiles("report.doc"),
            (std::vector<std::string>{"report(0003).doc", "report(0004).doc"}));
  EXPECT_EQ(bvtest::ReadNative(StoreNative("Revision", "report(0004).doc")), "v4");
}

TEST_F(SimpleEngineTest, OneVersionKeepsNoRevisions) {
  plan_->SetVersionNumber(1);
  const std::string path = Src("noext");
  env_.Src().Write("noext", "old");
  ASSERT_EQ(engine_->BackupFile(path, false, nullptr, 0), 0);
  // A revision left by an earlier, larger version count goes too.
  bvtest::WriteNative(StoreNative("Revision", "noext(0001)"), "older");
  env_.Src().Write("noext", "new");
  ASSERT_EQ(engine_->BackupFile(path, false, nullptr, 0), 0);
  EXPECT_EQ(bvtest::ReadNative(StoreNative("Latest", "noext")), "new");
  EXPECT_TRUE(RevisionFiles("noext").empty());
}

TEST_F(SimpleEngineTest, RevisionNumbersGrowPastFourDigits) {
  const std::string path = Src("big.txt");
  env_.Src().Write("big.txt", "a");
  ASSERT_EQ(engine_->BackupFile(path, false, nullptr, 0), 0);
  bvtest::WriteNative(StoreNative("Revision", "big(9999).txt"), "x");
  env_.Src().Write("big.txt", "b");
  ASSERT_EQ(engine_->BackupFile(path, false, nullptr, 0), 0);
  EXPECT_EQ(bvtest::ReadNative(StoreNative("Revision", "big(10000).txt")), "a");
  EXPECT_EQ(bvtest::ReadNative(StoreNative("Latest", "big.txt")), "b");
}

TEST_F(SimpleEngineTest, ExistenceCheckLeavesExistingCopyAlone) {
  const std::string path = Src("a.txt");
  env_.Src().Write("a.txt", "one");
  ASSERT_EQ(engine_->BackupFile(path, true, nullptr, 0), 0);
  env_.Src().Write("a.txt", "two");
  bvtest::EventCollector events;
  EXPECT_EQ(engine_->BackupFile(path, true, nullptr, 0), kBackupExists);
  EXPECT_EQ(bvtest::ReadNative(StoreNative("Latest", "a.txt")), "one");
  EXPECT_TRUE(events.Events().empty());
  EXPECT_TRUE(RevisionFiles("a.txt").empty());
}

TEST_F(SimpleEngineTest, VanishedSourceIsMarkedGone) {
  const std::string path = Src("gone.doc");
  env_.Src().Write("gone.doc", "v1");
  ASSERT_EQ(engine_->BackupFile(path, false, nullptr, 0), 0);
  fs::remove(env_.Src().NativeOf("gone.doc"));

  bvtest::EventCollector events;
  EXPECT_EQ(engine_->BackupFile(path, false, nullptr, 0), kBackupSourceMissing);
  LogRecord rec;
  ASSERT_TRUE(ScratchEnv::RecordOf(plan_.get(), path, &rec));
  EXPECT_EQ(rec.state, kLogSourceGone);
  EXPECT_EQ(events.CountOf(kEvFileFailed), 0u) << "a vanished source is no failure";
  // The rotation ran first: the old copy is a revision, no latest copy.
  EXPECT_FALSE(fs::exists(StoreNative("Latest", "gone.doc")));
  EXPECT_EQ(bvtest::ReadNative(StoreNative("Revision", "gone(0001).doc")), "v1");

  // A missing source the journal never knew gets no record.
  EXPECT_EQ(engine_->BackupFile(Src("never.doc"), false, nullptr, 0), kBackupSourceMissing);
  EXPECT_FALSE(ScratchEnv::RecordOf(plan_.get(), Src("never.doc"), &rec));
}

TEST_F(SimpleEngineTest, CopyFailureCountsAndReportsTheError) {
  const std::string path = Src("f.txt");
  env_.Src().Write("f.txt", "data");
  // A file where the "Latest" folder should be: no folder, no copy.
  bvtest::WriteNative(env_.Store().NativeOf("store1/Latest"), "in the way");
  bvtest::EventCollector events;
  const int32_t first = engine_->BackupFile(path, false, nullptr, 0);
  EXPECT_GT(first, 0);
  EXPECT_EQ(engine_->BackupFile(path, false, nullptr, 0), first);
  LogRecord rec;
  ASSERT_TRUE(ScratchEnv::RecordOf(plan_.get(), path, &rec));
  EXPECT_EQ(rec.state, kLogFailed);
  EXPECT_EQ(rec.failedAttempts, 2u);
  EXPECT_EQ(rec.lastBackupTime, 0);
  EXPECT_GT(rec.lastAttemptTime, 0);
  const EventData failed = events.Events().back();
  EXPECT_EQ(failed.code, kEvFileFailed);
  EXPECT_EQ(failed.value, first);
  EXPECT_EQ(failed.text3, "Code: " + std::to_string(first) +
                              ", Error: " + plat::WinErrorMessage(static_cast<uint32_t>(first)));

  // A later success resets the count.
  fs::remove(env_.Store().NativeOf("store1/Latest"));
  ASSERT_EQ(engine_->BackupFile(path, false, nullptr, 0), 0);
  ASSERT_TRUE(ScratchEnv::RecordOf(plan_.get(), path, &rec));
  EXPECT_EQ(rec.state, kLogCopied);
  EXPECT_EQ(rec.failedAttempts, 0u);
}

TEST_F(SimpleEngineTest, GivenRecordIsUpdatedInPlace) {
  const std::string path = Src("r.txt");
  env_.Src().Write("r.txt", "x");
  CLoggingDatabase* db = plan_->Database();
  ASSERT_EQ(db->NoteChangedFile(path), 0u);
  LogRecord rec;
  uint64_t offset = 0;
  ASSERT_TRUE(ScratchEnv::RecordOf(plan_.get(), path, &rec, &offset));
  const uint64_t end = db->TrackedEnd();
  ASSERT_EQ(engine_->BackupFile(path, false, &rec, offset), 0);
  EXPECT_EQ(db->TrackedEnd(), end);  // rewritten, not appended
  LogRecord stored;
  ASSERT_TRUE(ScratchEnv::RecordOf(plan_.get(), path, &stored));
  EXPECT_EQ(stored.state, kLogCopied);
  EXPECT_EQ(rec.state, kLogCopied);
}

TEST_F(SimpleEngineTest, StoppingPlanStoresThePendingRecord) {
  const std::string path = Src("s.txt");
  env_.Src().Write("s.txt", "x");
  plan_->SetStopping(true);
  EXPECT_EQ(engine_->BackupFile(path, false, nullptr, 0), kBackupStopping);
  plan_->SetStopping(false);
  LogRecord rec;
  ASSERT_TRUE(ScratchEnv::RecordOf(plan_.get(), path, &rec));
  EXPECT_EQ(rec.state, kLogPending);
  EXPECT_FALSE(fs::exists(StoreNative("Latest", "s.txt")));
}

TEST_F(SimpleEngineTest, BadArguments) {
  EXPECT_EQ(engine_->BackupFile("", false, nullptr, 0), kBackupBadArgument);
  EXPECT_EQ(engine_->BackupFile("C:", false, nullptr, 0), kBackupBadArgument);
  plan_->ReplaceDestination(nullptr);
  env_.Src().Write("n.txt", "x");
  EXPECT_EQ(engine_->BackupFile(Src("n.txt"), false, nullptr, 0), kBackupBadArgument);
}

// Every file keeps its own history however its name relates to others': names
// that differ only in case, a file named like another's revision, names
// holding wildcard characters, and names too long for a numbered revision.
TEST_F(SimpleEngineTest, EveryFileKeepsItsOwnRevisions) {
  const std::string longStem(251, 'L');  // 255 bytes with ".txt"
  const std::string longTwin = std::string(250, 'L') + "M";
  const std::vector<std::string> files = {"report.txt",  "Report.txt",      "r.txt",
                                          "r(0001).txt", longStem + ".txt", longTwin + ".txt"};
  for (int v = 1; v <= 4; ++v) {
    for (const std::string& f : files) {
      env_.Src().Write("h/" + f, f + " v" + std::to_string(v));
      ASSERT_EQ(engine_->BackupFile(Src("h/" + f), false, nullptr, 0), 0) << f;
    }
  }
  // Three versions each: the latest and the revisions of v2 and v3.
  for (const std::string& f : files) {
    SCOPED_TRACE(f.substr(0, 20));
    EXPECT_EQ(bvtest::ReadNative(StoreNative("Latest", "h/" + f)), f + " v4");
    const size_t dot = f.rfind('.');
    std::vector<VersionEntry> found;
    plan_->Destination()->ListVersions("E:\\store1\\Revision\\C" + Src("h/").substr(2),
                                       f.substr(0, dot), "txt", &found);
    ASSERT_EQ(found.size(), 2u);
    std::set<std::string> contents;
    for (const VersionEntry& e : found) {
      const std::string name = e.path.substr(e.path.rfind('\\') + 1);
      EXPECT_LE(name.size(), kMaxStoreNameBytes);
      contents.insert(bvtest::ReadNative(StoreNative("Revision", "h/" + name)));
    }
    EXPECT_EQ(contents, (std::set<std::string>{f + " v2", f + " v3"}));
  }
  EXPECT_EQ(RevisionFiles("h/x").size(), 2 * files.size());

  // Names are literal: with x.txt copied, "*.txt" and "?.txt" are not.
  for (const char* f : {"x.txt", "*.txt", "?.txt"}) {
    env_.Src().Write(std::string("w/") + f, f);
    EXPECT_EQ(engine_->BackupFile(Src(std::string("w/") + f), true, nullptr, 0), 0) << f;
    EXPECT_EQ(bvtest::ReadNative(StoreNative("Latest", std::string("w/") + f)), f);
  }
}

// A record set back to pending for a file that still is its latest copy
// changes nothing in the store: the genuine old versions stay.
TEST_F(SimpleEngineTest, UnchangedFileIsRecordedWithoutRotation) {
  const std::string path = Src("same.doc");
  for (int v = 1; v <= 3; ++v) {
    env_.Src().Write("same.doc", "version " + std::to_string(v));
    // Written well before it is copied, as a file found by a later walk.
    fs::last_write_time(env_.Src().NativeOf("same.doc"),
                        fs::file_time_type::clock::now() - std::chrono::minutes(10 - v));
    ASSERT_EQ(engine_->BackupFile(path, false, nullptr, 0), 0);
  }
  const std::vector<std::string> revisions = {"same(0001).doc", "same(0002).doc"};
  ASSERT_EQ(RevisionFiles("same.doc"), revisions);
  for (int again = 0; again < 3; ++again) {
    LogRecord rec;
    uint64_t offset = 0;
    ASSERT_TRUE(ScratchEnv::RecordOf(plan_.get(), path, &rec, &offset));
    rec.state = kLogPending;
    ASSERT_EQ(engine_->BackupFile(path, false, &rec, offset), 0);
    ASSERT_TRUE(ScratchEnv::RecordOf(plan_.get(), path, &rec));
    EXPECT_EQ(rec.state, kLogCopied);
  }
  EXPECT_EQ(RevisionFiles("same.doc"), revisions);
  EXPECT_EQ(bvtest::ReadNative(StoreNative("Revision", "same(0001).doc")), "version 1");
  EXPECT_EQ(bvtest::ReadNative(StoreNative("Latest", "same.doc")), "version 3");

  // Changed with the same size and time a copy cannot tell apart only within
  // the second of the copy; a later change is copied and rotates.
  env_.Src().Write("same.doc", "version 4");
  ASSERT_EQ(engine_->BackupFile(path, false, nullptr, 0), 0);
  EXPECT_EQ(bvtest::ReadNative(StoreNative("Latest", "same.doc")), "version 4");
  EXPECT_EQ(RevisionFiles("same.doc"),
            (std::vector<std::string>{"same(0002).doc", "same(0003).doc"}));
}

// A copy that would leave less than the reserve free is not made: the record
// stays pending, nothing rotates, the plan is blocked (reported once) until
// there is room, and then the copy is made.
TEST_F(SimpleEngineTest, CopiesKeepTheReserveFree) {
  const std::string big(1 << 20, 'b');
  env_.Src().Write("full/a.bin", "old");
  ASSERT_EQ(engine_->BackupFile(Src("full/a.bin"), false, nullptr, 0), 0);
  env_.Src().Write("full/a.bin", big);
  env_.Src().Write("full/b.bin", big);
  env_.SetFreeBytes(kMinFreeBytes + big.size() / 2);
  ASSERT_FALSE(plan_->IsBlocked());
  bvtest::EventCollector events;
  for (const char* f : {"full/a.bin", "full/b.bin"}) {
    EXPECT_EQ(engine_->BackupFile(Src(f), false, nullptr, 0), kBackupNoSpace) << f;
    LogRecord rec;
    ASSERT_TRUE(ScratchEnv::RecordOf(plan_.get(), Src(f), &rec)) << f;
    EXPECT_EQ(rec.state, kLogPending);
  }
  EXPECT_EQ(bvtest::ReadNative(StoreNative("Latest", "full/a.bin")), "old");
  EXPECT_TRUE(RevisionFiles("full/a.bin").empty());
  EXPECT_FALSE(fs::exists(StoreNative("Latest", "full/b.bin")));
  EXPECT_TRUE(plan_->IsBlocked());
  ASSERT_EQ(events.CountOf(kEvFileFailed), 1u);
  EXPECT_EQ(events.Events().back().value, static_cast<int32_t>(plat::kErrDiskFull));

  env_.SetFreeBytes(kMinFreeBytes + 2 * big.size());
  EXPECT_FALSE(plan_->IsBlocked());
  EXPECT_EQ(engine_->BackupFile(Src("full/a.bin"), false, nullptr, 0), 0);
  EXPECT_EQ(bvtest::ReadNative(StoreNative("Latest", "full/a.bin")), big);
  EXPECT_EQ(plan_->SpaceWanted(), 0u);
}

// Temporary files that a killed copy left are removed when the plan starts
// working, in both trees; links are neither followed nor removed, and other
// names stay.
TEST_F(SimpleEngineTest, LeftoverTemporaryCopiesAreSweptAtStart) {
  const std::string temp = ".~bvtmp-0123456789abcdef";
  const std::string latest = env_.Store().NativeOf("store1/Latest/C/x/");
  const std::string revision = env_.Store().NativeOf("store1/Revision/C/x/y/");
  bvtest::TempDir outside;
  outside.Write(temp, "outside");
  outside.Write("folder/" + temp, "outside");
  for (const std::string& at : {latest, revision}) bvtest::WriteNative(at + temp, "partial");
  bvtest::WriteNative(latest + ".~bvtmp-notmine", "kept");
  fs::permissions(revision + temp, fs::perms::owner_read);
  fs::create_symlink(outside.NativeOf(temp), latest + ".~bvtmp-00000000000000aa");
  fs::create_directory_symlink(outside.NativeOf("folder"), latest + "linked");

  env_.Src().Write("any.txt", "x");
  ASSERT_EQ(engine_->BackupFile(Src("any.txt"), false, nullptr, 0), 0);
  EXPECT_FALSE(fs::exists(latest + temp));
  EXPECT_FALSE(fs::exists(revision + temp));
  EXPECT_TRUE(fs::exists(latest + ".~bvtmp-notmine"));
  EXPECT_TRUE(fs::is_symlink(latest + ".~bvtmp-00000000000000aa"));
  EXPECT_EQ(bvtest::ReadNative(outside.NativeOf(temp)), "outside");
  EXPECT_EQ(bvtest::ReadNative(outside.NativeOf("folder/" + temp)), "outside");

  // Once per start: a new leftover stays until the plan starts again. A copy
  // another plan on this store is making right now (its lock held) stays.
  bvtest::WriteNative(latest + temp, "partial");
  ASSERT_EQ(engine_->BackupFile(Src("any.txt"), false, nullptr, 0), 0);
  EXPECT_TRUE(fs::exists(latest + temp));
  const std::string busy = latest + ".~bvtmp-00000000000000bb";
  bvtest::WriteNative(busy, "being copied");
  const int held = open(busy.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  engine_->RequestSweep();
  ASSERT_EQ(engine_->BackupFile(Src("any.txt"), false, nullptr, 0), 0);
  EXPECT_FALSE(fs::exists(latest + temp));
  EXPECT_TRUE(fs::exists(busy)) << "a copy in progress is not a leftover";
  close(held);
}

// On a store that ignores case (FAT, exFAT), two sources that differ only in
// case share one store name: that is said once, and the listing matches as
// the store does.
TEST_F(SimpleEngineTest, SharedStoreNameIsReportedWhereTheStoreIgnoresCase) {
  env_.Src().Write("c/Notes.txt", "upper");
  env_.Src().Write("c/notes.txt", "lower");
  env_.Src().Write("c/other.txt", "alone");
  bvtest::EventCollector events;
  ASSERT_EQ(engine_->BackupFile(Src("c/notes.txt"), false, nullptr, 0), 0);
  EXPECT_EQ(events.CountOf(kEvStoreNameShared), 0u) << "a Linux store keeps both names";

  env_.SetStoreFileSystem("vfat");
  auto fat = env_.MakePlan(2, 4, 3, {env_.Src().System()});
  ASSERT_TRUE(fat);
  for (const char* f : {"c/notes.txt", "c/Notes.txt", "c/notes.txt", "c/other.txt"}) {
    ASSERT_EQ(fat->Engine()->BackupFile(Src(f), false, nullptr, 0), 0) << f;
  }
  ASSERT_EQ(events.CountOf(kEvStoreNameShared), 1u);
  for (const EventData& e : events.Events()) {
    if (e.code != kEvStoreNameShared) continue;
    EXPECT_EQ(e.text1, Src("c/notes.txt"));
    EXPECT_EQ(e.text2, Src("c/Notes.txt"));
    EXPECT_EQ(e.planId, 2u);
  }
  bvtest::WriteNative(env_.Store().NativeOf("store2/R/NOTES(0004).TXT"), "v");
  std::vector<VersionEntry> found;
  EXPECT_EQ(fat->Destination()->ListVersions("E:\\store2\\R\\", "notes", "txt", &found), 4);
}

// A destination with "/" paths that records what it is asked and keeps its
// files in memory.
class SlashDestination : public CDestination {
 public:
  SlashDestination() : CDestination(nullptr) {}
  char GetPathSeparator() const override { return '/'; }
  bool LoadSettings() override { return true; }
  bool SaveSettings() override { return true; }
  void Configure(const PlanSettings&) override {}
  int32_t GetStorageType() const override { return kStorageFtp; }
  bool IsAvailable() const override { return true; }
  bool Prepare(bool) override { return true; }
  void Close() override {}
  std::string GetRootPath() const override { return root_; }
  int32_t ListVersions(std::string_view folder, std::string_view, std::string_view,
                       std::vector<VersionEntry>*) override {
    seen.emplace_back(folder);
    return 0;
  }
  uint32_t CreateFolders(std::string_view path) override {
    seen.emplace_back(path);
    return 0;
  }
  bool FileExists(std::string_view path) override {
    seen.emplace_back(path);
    return files.count(std::string(path)) != 0;
  }
  uint32_t DeleteFile(std::string_view path) override {
    seen.emplace_back(path);
    return 0;
  }
  uint32_t CopyFile(std::string_view, std::string_view target) override {
    seen.emplace_back(target);
    files.insert(std::string(target));
    return 0;
  }
  uint32_t MoveFile(std::string_view source, std::string_view target) override {
    seen.emplace_back(source);
    seen.emplace_back(target);
    files.erase(std::string(source));
    files.insert(std::string(target));
    return 0;
  }
  std::vector<std::string> seen;
  std::set<std::string> files;

 private:
  std::string root_ = "\\backup\\";
};

TEST_F(SimpleEngineTest, SlashDestinationSeesNoBackslash) {
  auto owned = std::make_unique<SlashDestination>();
  SlashDestination* dest = owned.get();
  plan_->ReplaceDestination(std::move(owned));
  env_.Src().Write("w/x.doc", "x");
  ASSERT_EQ(engine_->BackupFile(Src("w/x.doc"), false, nullptr, 0), 0);
  ASSERT_EQ(engine_->BackupFile(Src("w/x.doc"), false, nullptr, 0), 0);
  ASSERT_FALSE(dest->seen.empty());
  for (const auto& p : dest->seen) {
    EXPECT_EQ(p.find('\\'), std::string::npos) << p;
    EXPECT_EQ(p.rfind("/backup/", 0), 0u) << p;
  }
  const std::string rel = env_.Src().NativeOf("w");
  EXPECT_EQ(dest->files.count("/backup/Latest/C" + rel + "/x.doc"), 1u);
  EXPECT_EQ(dest->files.count("/backup/Revision/C" + rel + "/x(0001).doc"), 1u);
}

}  // namespace
