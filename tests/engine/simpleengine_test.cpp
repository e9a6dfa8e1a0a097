// The single-file backup on real files: names, rotation, records, leftovers, reserve, failures.
#include <sys/file.h>

#include <optional>

#include "TaskWorld.h"
#include "support/SshServer.h"

using bvtest::ScratchEnv;
using Names = std::vector<std::string>;

namespace {

TEST(StoreNames, SplitsThePathIntoStoreFoldersStemAndExtension) {
  const struct {
    const char *root, *path;
    const char *latestFolder, *stem, *extension;
  } cases[] = {
      {"E:\\S\\", "C:\\Users\\a\\report.doc", "E:\\S\\Latest\\C\\Users\\a\\", "report", "doc"},
      {"E:\\S\\", "C:\\x\\a.b.doc", "E:\\S\\Latest\\C\\x\\", "a.b", "doc"},
      {"E:\\S", "C:\\x\\Makefile", "E:\\S\\Latest\\C\\x\\", "Makefile", ""},
      {"E:\\S\\", "C:\\odd:dir\\f.txt", "E:\\S\\Latest\\C\\odddir\\", "f", "txt"},
      {"E:\\S\\", "C:\\x\\r.", "E:\\S\\Latest\\C\\x\\", "r.", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const StoreNames n = MakeStoreNames(c.root, c.path, '\\');
    EXPECT_EQ(n.latestFolder, c.latestFolder);
    std::string revision = c.latestFolder;
    EXPECT_EQ(n.revisionFolder, revision.replace(revision.find("Latest"), 6, "Revision"));
    EXPECT_EQ(n.stem, c.stem);
    EXPECT_EQ(n.extension, c.extension);
    const std::string file = n.extension.empty() ? n.stem : n.stem + "." + n.extension;
    EXPECT_EQ(n.latestName, c.latestFolder + file);
  }
  EXPECT_EQ(VersionName("R\\", "report", "doc", 0), "R\\report.doc");
  EXPECT_EQ(VersionName("R\\", "Makefile", "", 1), "R\\Makefile(0001)");
}

class SimpleEngineTest : public enginetest::TaskTest {
 protected:
  void SetUp() override {
    plan_ = env_.MakePlan(1, 4, 3, {env_.Src().System()});
    ASSERT_TRUE(plan_);
    engine_ = plan_->Engine();
  }
  int32_t Backup(const std::string& rel, bool existenceCheck = false) {
    return engine_->BackupFile(Src(rel), existenceCheck, nullptr, 0);
  }
  // Backs up with the journal's record handed in, set back to pending.
  int32_t BackupRecord(const std::string& rel, LogRecord* rec) {
    uint64_t offset = 0;
    if (!ScratchEnv::RecordOf(plan_.get(), Src(rel), rec, &offset)) return -1;
    rec->state = kLogPending;
    return engine_->BackupFile(Src(rel), false, rec, offset);
  }
  std::string StoreNative(const std::string& tree, const std::string& rel) {
    return env_.Store().NativeOf("store1/" + tree + "/C" + env_.Src().NativeOf(rel));
  }
  std::string Stored(const std::string& tree, const std::string& rel) {
    return bvtest::ReadNative(StoreNative(tree, rel));
  }
  Names RevisionFiles(const std::string& rel) {
    Names names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(fs::path(StoreNative("Revision", rel)).parent_path(), ec))
      names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  uint16_t StateOf(const std::string& rel, LogRecord* rec = nullptr) {
    LogRecord r;
    if (!ScratchEnv::RecordOf(plan_.get(), Src(rel), &r)) return 0xFFFF;
    if (rec) *rec = r;
    return r.state;
  }

  std::unique_ptr<bvtest::TestPlan> plan_;
  CSimpleEngine* engine_ = nullptr;
};

// Leftovers swept once per start, copies rotated into numbered revisions, records kept in place.
TEST_F(SimpleEngineTest, SweepsCopiesRotatesAndRecords) {
  const std::string temp = ".~bvtmp-0123456789abcdef";
  const std::string latest = env_.Store().NativeOf("store1/Latest/C/x/");
  const std::string revision = env_.Store().NativeOf("store1/Revision/C/x/y/");
  const std::string root = env_.Store().NativeOf("store1/"), other = root + "Other/";
  bvtest::TempDir outside;
  outside.Write("folder/" + temp, "outside");
  for (const std::string& at : {latest, revision, root, other})
    bvtest::WriteNative(at + temp, "partial");
  bvtest::WriteNative(latest + ".~bvtmp-notmine", "kept");
  fs::permissions(revision + temp, fs::perms::owner_read);
  fs::create_symlink(outside.NativeOf("folder/" + temp), latest + ".~bvtmp-00000000000000aa");
  fs::create_directory_symlink(outside.NativeOf("folder"), latest + "linked");

  env_.Src().Write("docs/report.doc", "v1");
  bvtest::EventCollector events;
  const int64_t before = plat::Now();
  ASSERT_EQ(Backup("docs/report.doc"), 0);
  for (const std::string& at : {latest, revision, root}) EXPECT_FALSE(fs::exists(at + temp)) << at;
  EXPECT_TRUE(fs::exists(other + temp)) << "only the root's own files and the two trees";
  EXPECT_TRUE(fs::exists(latest + ".~bvtmp-notmine"));
  EXPECT_TRUE(fs::is_symlink(latest + ".~bvtmp-00000000000000aa"));
  EXPECT_EQ(bvtest::ReadNative(outside.NativeOf("folder/" + temp)), "outside");
  EXPECT_EQ(Stored("Latest", "docs/report.doc"), "v1");
  LogRecord rec;
  EXPECT_EQ(StateOf("docs/report.doc", &rec), kLogCopied);
  EXPECT_EQ(rec.failedAttempts, 0u);
  EXPECT_GE(rec.lastBackupTime, before);
  EXPECT_EQ(rec.lastAttemptTime, rec.lastBackupTime);
  EXPECT_EQ(rec.changeTime, rec.lastBackupTime);
  const auto list = events.Events();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(std::to_string(list[0].code) + list[0].text1 + std::to_string(list[0].planId),
            std::to_string(kEvFileBackupBegins) + Src("docs/report.doc") + "1");
  EXPECT_EQ(list[1].code, kEvFileCopied);
  EXPECT_EQ(list[1].text2, "E:\\store1\\Latest\\C" + Src("docs/report.doc").substr(2));

  bvtest::WriteNative(latest + temp, "partial");
  for (int v = 2; v <= 5; ++v) {
    env_.Src().Write("docs/report.doc", "v" + std::to_string(v));
    ASSERT_EQ(Backup("docs/report.doc"), 0);
  }
  EXPECT_TRUE(fs::exists(latest + temp)) << "swept once per start";
  EXPECT_EQ(Stored("Latest", "docs/report.doc"), "v5");
  EXPECT_EQ(RevisionFiles("docs/report.doc"), (Names{"report(0003).doc", "report(0004).doc"}));
  EXPECT_EQ(Stored("Revision", "docs/report(0004).doc"), "v4");
  // A copy killed between its rotation and replacement left no latest: every revision stays.
  fs::remove(StoreNative("Latest", "docs/report.doc"));
  env_.Src().Write("docs/report.doc", "v5");
  ASSERT_EQ(Backup("docs/report.doc"), 0);
  EXPECT_EQ(RevisionFiles("docs/report.doc"), (Names{"report(0003).doc", "report(0004).doc"}));
  const std::string busy = latest + ".~bvtmp-00000000000000bb";
  bvtest::WriteNative(busy, "being copied");
  const int held = open(busy.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  env_.Src().Write("docs/" + temp, "the user's own");  // named like a leftover
  ASSERT_EQ(Backup("docs/" + temp), 0);
  engine_->RequestSweep();
  env_.Src().Write("any.txt", "x");
  ASSERT_EQ(Backup("any.txt"), 0);
  EXPECT_FALSE(fs::exists(latest + temp));
  EXPECT_TRUE(fs::exists(busy)) << "a copy in progress is not a leftover";
  EXPECT_EQ(Stored("Latest", "docs/" + temp), "the user's own");
  close(held);

  env_.Src().Write("docs/report.doc", "v6");
  events.Clear();
  EXPECT_EQ(Backup("docs/report.doc", true), kBackupExists);
  EXPECT_EQ(Stored("Latest", "docs/report.doc"), "v5");
  EXPECT_TRUE(events.Events().empty());

  // A record handed in is rewritten in place, not appended.
  const uint64_t end = plan_->Database()->TrackedEnd();
  ASSERT_EQ(BackupRecord("docs/report.doc", &rec), 0);
  EXPECT_EQ(plan_->Database()->TrackedEnd(), end);
  EXPECT_EQ(rec.state, kLogCopied);
  EXPECT_EQ(StateOf("docs/report.doc"), kLogCopied);
  EXPECT_EQ(RevisionFiles("docs/report.doc"), (Names{"report(0004).doc", "report(0005).doc"}));

  // Pending again while still its latest copy (written well before): nothing rotates.
  fs::last_write_time(env_.Src().NativeOf("docs/report.doc"),
                      fs::file_time_type::clock::now() - std::chrono::minutes(10));
  ASSERT_EQ(Backup("docs/report.doc"), 0);
  // Made private (the second time, or by its folders): its copies are made private too.
  const Names revisions = {"report(0005).doc", "report(0006).doc"};
  const std::string copies[] = {StoreNative("Latest", "docs/report.doc"),
                                StoreNative("Revision", "docs/" + revisions[0]),
                                StoreNative("Revision", "docs/" + revisions[1])};
  bool reachable = true;  // every folder above the sources lets others through
  for (fs::path p = env_.Src().Native(); p != p.root_path(); p = p.parent_path())
    reachable &= (fs::status(p).permissions() & fs::perms::others_exec) != fs::perms::none;
  for (const std::string& copy : copies) fs::permissions(copy, fs::perms(0644));
  for (int again = 0; again < 2; ++again) {  // not counted as a copy (a restored file)
    if (again) fs::permissions(env_.Src().NativeOf("docs/report.doc"), fs::perms(0600));
    ASSERT_EQ(BackupRecord("docs/report.doc", &rec), kBackupUnchanged);
    EXPECT_EQ(StateOf("docs/report.doc"), kLogCopied);
    const auto want = fs::perms(again || !reachable ? 0600 : 0644);
    for (const std::string& copy : copies)
      EXPECT_EQ(fs::status(copy).permissions() & fs::perms::all, want) << copy;
  }
  EXPECT_EQ(RevisionFiles("docs/report.doc"), revisions);
  // New bytes of the same size with the old write time put back (cp -p, touch -r) are copied.
  const auto putBack = fs::last_write_time(env_.Src().NativeOf("docs/report.doc"));
  env_.Src().Write("docs/report.doc", "v7");
  fs::last_write_time(env_.Src().NativeOf("docs/report.doc"), putBack);
  ASSERT_EQ(Backup("docs/report.doc"), 0);
  EXPECT_EQ(Stored("Latest", "docs/report.doc"), "v7");
  EXPECT_EQ(RevisionFiles("docs/report.doc"), (Names{"report(0006).doc", "report(0007).doc"}));

  bvtest::WriteNative(StoreNative("Revision", "docs/report(9999).doc"), "x");
  env_.Src().Write("docs/report.doc", "v8");
  ASSERT_EQ(Backup("docs/report.doc"), 0);
  EXPECT_EQ(Stored("Revision", "docs/report(10000).doc"), "v7");
  EXPECT_EQ(RevisionFiles("docs/report.doc"), (Names{"report(10000).doc", "report(9999).doc"}));

  plan_->SetVersionNumber(1);  // no revisions, and those an earlier count left go too
  env_.Src().Write("docs/report.doc", "v9");
  ASSERT_EQ(Backup("docs/report.doc"), 0);
  EXPECT_EQ(Stored("Latest", "docs/report.doc"), "v9");
  EXPECT_TRUE(RevisionFiles("docs/report.doc").empty());
  // On server stores (no copy's stamp) a change of mode, access time or owner alone makes no
  // copy; the sources lie where others may reach them.
  bvtest::FtpServer ftp;
  bvtest::SshServer ssh;
  bvtest::ScopedEnv home("HOME", ssh.ClientHome());
  std::optional<bvtest::TempDir> open;
  (bvtest::ScopedEnv("TMPDIR", "/tmp"), open.emplace());  // the other users' /tmp
  ASSERT_EQ(chmod(open->Native().c_str(), 0755), 0);
  for (const bool sftp : {false, true}) {
    if (!(sftp ? ssh.Ok() : ftp.Ok())) continue;
    PlanSettings s = ScratchEnv::Settings("Served", "");
    s.id = sftp ? 3 : 2;
    s.storageType = kStorageFtp;
    s.ftp = sftp ? ssh.Settings("kept/") : ftp.Settings("kept/");
    auto served = std::make_unique<bvtest::TestPlan>(nullptr);
    ASSERT_TRUE(served->ApplySettings(s, kApplyCreate));
    ScratchEnv::IncludeOnly(served.get(), open->System());
    served->EnableWithoutThread();
    const std::string rel = sftp ? "meta/s.txt" : "meta/f.txt", file = open->NativeOf(rel);
    const std::string source = open->SystemOf(rel);
    for (int v = 1; v <= 3; ++v) {
      open->Write(rel, "v" + std::to_string(v));
      fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::minutes(10 - v));
      ASSERT_EQ(served->Engine()->BackupFile(source, false, nullptr, 0), 0) << v;
    }
    const struct timespec accessOnly[2] = {{0, UTIME_NOW}, {0, UTIME_OMIT}};
    for (const mode_t mode : {0600, 0644, 0640}) {
      ASSERT_EQ(chmod(file.c_str(), mode), 0);
      ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), accessOnly, 0), 0);
      ASSERT_EQ(chown(file.c_str(), getuid(), getgid()), 0);
      EXPECT_EQ(served->Engine()->BackupFile(source, false, nullptr, 0), kBackupUnchanged);
    }
    // Put back by a restore (another file, its time to the second): no new copy either.
    const auto second = std::chrono::floor<std::chrono::seconds>(fs::last_write_time(file));
    bvtest::WriteNative(file + "~", "v3");
    fs::last_write_time(file + "~", second), fs::rename(file + "~", file);
    EXPECT_EQ(served->Engine()->BackupFile(source, false, nullptr, 0), kBackupUnchanged);
    // New bytes of the same size with the old write time put back are copied; made private
    // then, every copy of the file is.
    const auto putBack = fs::last_write_time(file);
    open->Write(rel, "v4");
    fs::last_write_time(file, putBack);
    EXPECT_EQ(served->Engine()->BackupFile(source, false, nullptr, 0), 0);
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    EXPECT_EQ(served->Engine()->BackupFile(source, false, nullptr, 0), kBackupUnchanged);
    const std::string store = sftp ? ssh.Home() + "/kept" : ftp.NativeOf("/bvuser/kept");
    const std::string revisions = store + "/Revision/C" + open->NativeOf("meta/");
    Names kept;
    for (const auto& [name, bytes] : bvtest::FilesBelow(revisions)) {
      kept.push_back(name + bytes);
      EXPECT_EQ(fs::status(revisions + name).permissions() & fs::perms::all, fs::perms(0600));
    }
    EXPECT_EQ(kept, sftp ? (Names{"s(0002).txtv2", "s(0003).txtv3"})
                         : (Names{"f(0002).txtv2", "f(0003).txtv3"}));
    EXPECT_EQ(bvtest::ReadNative(store + "/Latest/C" + file), "v4");
  }
}

// Failures counted and said; the reserve, vanished sources, torn copies, stops, bad arguments.
TEST_F(SimpleEngineTest, FailuresTheReserveVanishedSourcesAndStops) {
  env_.Src().Write("f.txt", "data");
  bvtest::WriteNative(env_.Store().NativeOf("store1/Latest"), "in the way");  // no folder
  bvtest::EventCollector events;
  const int32_t first = Backup("f.txt");
  EXPECT_GT(first, 0);
  EXPECT_EQ(Backup("f.txt"), first);
  LogRecord rec;
  EXPECT_EQ(StateOf("f.txt", &rec), kLogFailed);
  EXPECT_EQ(rec.failedAttempts, 2u);
  EXPECT_EQ(rec.lastBackupTime, 0);
  EXPECT_GT(rec.lastAttemptTime, 0);
  const EventData failed = events.Events().back();
  EXPECT_EQ(failed.code, kEvFileFailed);
  EXPECT_EQ(failed.value, first);
  EXPECT_EQ(failed.text3, "Code: " + std::to_string(first) +
                              ", Error: " + plat::WinErrorMessage(static_cast<uint32_t>(first)));
  const CopyHealth failing = engine_->Health();  // what the plan's cell shows
  EXPECT_EQ(failing.error, static_cast<uint32_t>(first));
  EXPECT_EQ(failing.root, plan_->DestinationRoot());
  EXPECT_GT(failing.failingSince, 0);
  EXPECT_EQ(plan_->LastBackupTime(), 0);
  fs::remove(env_.Store().NativeOf("store1/Latest"));
  ASSERT_EQ(Backup("f.txt"), 0);
  EXPECT_EQ(StateOf("f.txt", &rec), kLogCopied);
  EXPECT_EQ(rec.failedAttempts, 0u);
  EXPECT_EQ(engine_->Health().error, 0u);
  EXPECT_GT(plan_->LastBackupTime(), 0);
  // One good copy does not hide a file whose copies still fail.
  env_.Src().Write("sub/g.txt", "g");
  bvtest::WriteNative(StoreNative("Latest", "sub"), "in the way");
  EXPECT_GT(Backup("sub/g.txt"), 0);
  env_.Src().Write("h.txt", "h");
  ASSERT_EQ(Backup("h.txt"), 0);
  EXPECT_NE(engine_->Health().error, 0u);
  fs::remove(StoreNative("Latest", "sub"));
  ASSERT_EQ(Backup("sub/g.txt"), 0);
  EXPECT_EQ(engine_->Health().error, 0u);

  const std::string big(1 << 20, 'b');
  env_.Src().Write("f.txt", big);
  env_.Src().Write("b.bin", big);
  env_.SetFreeBytes(kMinFreeBytes + big.size() / 2);
  events.Clear();
  for (const char* f : {"f.txt", "b.bin"}) {
    EXPECT_EQ(Backup(f), kBackupNoSpace) << f;
    EXPECT_EQ(StateOf(f), kLogPending) << f;
  }
  EXPECT_EQ(Stored("Latest", "f.txt"), "data");
  EXPECT_TRUE(RevisionFiles("f.txt").empty());
  EXPECT_FALSE(fs::exists(StoreNative("Latest", "b.bin")));
  // Each is skipped and said once; neither holds the plan (and other files) back.
  EXPECT_FALSE(plan_->IsBlocked());
  EXPECT_EQ(Backup("b.bin"), kBackupNoSpace);
  ASSERT_EQ(events.CountOf(kEvFileFailed), 2u);
  EXPECT_EQ(events.Events().back().value, static_cast<int32_t>(plat::kErrDiskFull));
  EXPECT_TRUE(engine_->WaitsForRoom(Src("b.bin")));
  EXPECT_EQ(engine_->RoomWanted(), big.size() + kMinFreeBytes);  // what the card says
  env_.SetFreeBytes(kMinFreeBytes + 2 * big.size());
  EXPECT_FALSE(engine_->WaitsForRoom(Src("b.bin")));
  EXPECT_EQ(Backup("f.txt"), 0);
  EXPECT_EQ(Stored("Latest", "f.txt"), big);
  EXPECT_EQ(Backup("b.bin"), 0);
  EXPECT_EQ(engine_->RoomWanted(), 0u);

  // Gone before its copy (also a folder in its place): no failure, and nothing rotates.
  env_.Src().Write("noted.doc", "n");
  ASSERT_EQ(plan_->Database()->NoteChangedFile(Src("noted.doc")), 0u);
  fs::remove(env_.Src().NativeOf("f.txt"));
  fs::remove(env_.Src().NativeOf("noted.doc"));
  fs::create_directory(env_.Src().NativeOf("noted.doc"));
  events.Clear();
  EXPECT_EQ(Backup("f.txt"), kBackupSourceMissing);
  EXPECT_EQ(StateOf("f.txt"), kLogSourceGone);
  EXPECT_TRUE(Stored("Latest", "f.txt") == big);
  EXPECT_EQ(RevisionFiles("f.txt"), Names{"f(0001).txt"});
  EXPECT_EQ(BackupRecord("noted.doc", &rec), kBackupSourceMissing);
  EXPECT_EQ(rec.state, kLogSourceGone) << "the record handed in is updated";
  EXPECT_EQ(StateOf("noted.doc"), kLogSourceGone);
  EXPECT_EQ(Backup("never.doc"), kBackupSourceMissing);
  EXPECT_EQ(StateOf("never.doc"), 0xFFFF);
  EXPECT_EQ(events.CountOf(kEvFileFailed), 0u) << "a vanished source is no failure";

  // Written while copied: nothing torn is kept; the stamp is the copy's; said once.
  const std::string image = env_.Src().NativeOf("vm.img");
  env_.Src().Write("vm.img", std::string(1 << 20, 'a'));
  ASSERT_EQ(Backup("vm.img"), 0);
  EXPECT_EQ(StateOf("vm.img", &rec), kLogCopied);
  struct stat st {};
  ASSERT_EQ(stat(image.c_str(), &st), 0);
  EXPECT_EQ(rec.stamp.writeNs, st.st_mtim.tv_sec * 1000000000ll + st.st_mtim.tv_nsec);
  EXPECT_EQ(rec.stamp.inode, st.st_ino);
  events.Clear();
  plat::fault::SetCopyDelay(100);
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    const int fd = open(image.c_str(), O_WRONLY | O_CLOEXEC);
    for (char c = 'b'; writing; c = c == 'z' ? 'b' : c + 1) {
      for (off_t at = 0; at < (1 << 20); at += 1 << 18) pwrite(fd, &c, 1, at);
      usleep(20000);
    }
    close(fd);
  });
  for (uint32_t torn = 1; torn <= 4; ++torn) {
    EXPECT_EQ(Backup("vm.img"), static_cast<int32_t>(plat::kErrSourceChanged));
    EXPECT_EQ(StateOf("vm.img", &rec), kLogFailed);
    EXPECT_EQ(rec.failedAttempts, torn);
  }
  writing = false;
  writer.join();
  plat::fault::SetCopyDelay(0);
  EXPECT_TRUE(Stored("Latest", "vm.img") == std::string(1 << 20, 'a'))
      << "no torn copy, no rotation";
  EXPECT_FALSE(fs::exists(StoreNative("Revision", "vm(0001).img")));
  EXPECT_EQ(events.CountOf(kEvFileCopied) + events.CountOf(kEvFileFailed), 0u);
  ASSERT_EQ(events.CountOf(kEvSourceKeepsChanging), 1u);
  EXPECT_EQ(engine_->Health().error, 0u) << "the store is fine";
  ASSERT_EQ(Backup("vm.img"), 0) << "settled";
  EXPECT_EQ(Stored("Latest", "vm.img"), bvtest::ReadNative(image));
  EXPECT_TRUE(Stored("Revision", "vm(0001).img") == std::string(1 << 20, 'a'));

  env_.Src().Write("s.txt", "x");
  plan_->SetStopping(true);
  EXPECT_EQ(Backup("s.txt"), kBackupStopping);
  plan_->SetStopping(false);
  EXPECT_EQ(StateOf("s.txt"), kLogPending);
  EXPECT_FALSE(fs::exists(StoreNative("Latest", "s.txt")));
  EXPECT_EQ(engine_->BackupFile("", false, nullptr, 0), kBackupBadArgument);
  plan_->ReplaceDestination(nullptr);
  EXPECT_EQ(Backup("s.txt"), kBackupBadArgument);
}

// Versions kept by age; a fault at any step of a copy keeps a latest copy; room made when allowed.
TEST_F(SimpleEngineTest, KeepsVersionsByAgeSurvivesFaultsAndMakesRoom) {
  plan_->SetVersionNumber(999);
  plan_->SetKeepDays(kKeepMonth);
  const auto save = [&](const std::string& rel, const std::string& text, int64_t when) {
    env_.Src().Write(rel, text);
    const timespec times[2] = {{when, 0}, {when, 0}};
    EXPECT_EQ(utimensat(AT_FDCWD, env_.Src().NativeOf(rel).c_str(), times, 0), 0);
    return Backup(rel);
  };
  const int64_t now = plat::Now();
  const int64_t window = (now - 3 * 3600) / 600 * 600 + 10;  // a 10-minute window 3 hours ago
  ASSERT_EQ(save("age.txt", "v1", window), 0);
  ASSERT_EQ(save("age.txt", "v2", window + 100), 0);
  ASSERT_EQ(save("age.txt", "v3", now - 1200), 0);
  ASSERT_EQ(save("age.txt", "v4", now), 0);
  EXPECT_EQ(RevisionFiles("age.txt"), (Names{"age(0002).txt", "age(0003).txt"}));
  ASSERT_EQ(save("age.txt", "v5 longer", now), 0);
  EXPECT_EQ(RevisionFiles("age.txt"), (Names{"age(0002).txt", "age(0003).txt", "age(0004).txt"}))
      << "after a gap, the highest number + 1";

  // Every counted step of a copy and its rotation fails in turn, on a file of the same history.
  plan_->SetVersionNumber(4);
  uint64_t nth = 1;
  for (bool fired = true; fired; ++nth) {
    const std::string rel = "fault" + std::to_string(nth) + "/f.txt";
    // (Sizes differ: a copy of the same size and time would be the latest copy already.)
    for (const char* text : {"f1", "f22", "f333", "f4444"}) ASSERT_EQ(save(rel, text, now), 0);
    env_.Src().Write(rel, "f55555");
    plat::fault::Arm(nth, plat::kErrIoDevice);
    Backup(rel);
    plat::fault::Disarm();
    fired = plat::fault::Fired();
    const std::string latest = Stored("Latest", rel);
    ASSERT_TRUE(latest == "f55555" || latest == "f4444") << "step " << nth << ": " << latest;
    for (const std::string& name : RevisionFiles(rel))
      ASSERT_EQ(name.rfind("f(000", 0), 0u) << "step " << nth << ": " << name;
    EXPECT_EQ(save(rel, "f666666", now), 0) << "step " << nth;
    EXPECT_EQ(Stored("Latest", rel), "f666666") << "step " << nth;
  }
  EXPECT_GT(nth, 10u);
  EXPECT_EQ(Stored("Revision", "age(0003).txt"), "v3") << "another file's revisions untouched";
  plan_->SetVersionNumber(999);

  // A full disk: once allowed, the store's oldest revision goes (never a latest), logged.
  const std::string page(64 << 10, 'p');
  ASSERT_EQ(save("old.txt", page, now - 9 * 86400), 0);
  ASSERT_EQ(save("old.txt", page + "2", now - 8 * 86400), 0);
  ASSERT_EQ(save("old.txt", page + "3", now - 7 * 86400), 0);
  ASSERT_TRUE(CLogSet::Instance().SetLogFolder(env_.Data().SystemOf("log")));
  env_.SetFreeBytes(kMinFreeBytes + 1024);
  env_.Src().Write("room.txt", page);
  EXPECT_EQ(Backup("room.txt"), kBackupNoSpace);
  plan_->SetMakeRoom(true);
  EXPECT_EQ(Backup("room.txt"), 0);
  EXPECT_EQ(Stored("Latest", "room.txt"), page);
  const Names left = RevisionFiles("old.txt");
  EXPECT_EQ(std::count(left.begin(), left.end(), "old(0001).txt"), 0);
  EXPECT_EQ(std::count(left.begin(), left.end(), "old(0002).txt"), 1);
  EXPECT_EQ(Stored("Latest", "old.txt"), page + "3");
  EXPECT_EQ(engine_->RemovedForRoom(), 1u);
  std::string log;
  for (const auto& entry : fs::directory_iterator(env_.Data().NativeOf("log")))
    log += bvtest::ReadNative(entry.path().string());
  EXPECT_NE(log.find("#Old Version Removed To Make Room"), std::string::npos) << log;
  EXPECT_NE(log.find("old(0001).txt"), std::string::npos) << log;
}

}  // namespace
