// Defined outcomes of the single-file backup and the first-backup walk when
// the files misbehave: sources that vanish, unreadable sources, read-only
// store folders, odd and long names, native names a system path cannot carry.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/EngineEvents.h"
#include "common/Settings.h"
#include "engine/CSimpleEngine.h"
#include "engine/SourceWalk.h"
#include "plans/Schedule.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Volumes.h"
#include "support/EventCollector.h"
#include "support/ReadOnlyFolder.h"
#include "support/ScratchEnv.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using bvtest::ScratchEnv;

namespace {

constexpr uid_t kNobody = 65534;

// Removes a tree whose paths may be longer than the system allows in one
// call, by walking it with folder handles.
void RemoveTreeAt(int parent, const char* name) {
  const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    std::vector<std::string> entries;
    if (DIR* dir = fdopendir(dup(fd))) {
      while (dirent* e = readdir(dir)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") entries.push_back(n);
      }
      closedir(dir);
    }
    for (const auto& n : entries) {
      if (unlinkat(fd, n.c_str(), 0) != 0) RemoveTreeAt(fd, n.c_str());
    }
    close(fd);
  }
  unlinkat(parent, name, AT_REMOVEDIR);
}

// Creates `depth` nested folders named `part` under the native folder and a
// file in the deepest; returns the total path length in bytes.
size_t MakeDeepFile(const std::string& top, const std::string& part, int depth,
                    const std::string& file, const std::string& content) {
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  size_t length = top.size();
  for (int i = 0; i < depth && fd >= 0; ++i) {
    mkdirat(fd, part.c_str(), 0755);
    const int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    fd = next;
    length += 1 + part.size();
  }
  if (fd < 0) return 0;
  const int out = openat(fd, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  close(fd);
  if (out < 0) return 0;
  const bool ok = write(out, content.data(), content.size()) == ssize_t(content.size());
  close(out);
  return ok ? length + 1 + file.size() : 0;
}

// Runs body in a forked child that has dropped to the unprivileged user and
// returns what it wrote; "SKIP ..." when the drop failed.
std::string RunAsNobody(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return "SKIP no pipe";
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return "SKIP no fork";
  }
  if (pid == 0) {
    close(fds[0]);
    std::string out;
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0 ||
        geteuid() != kNobody) {
      out = "SKIP cannot drop to nobody";
    } else {
      out = body();
    }
    const char* p = out.data();
    size_t n = out.size();
    while (n > 0) {
      const ssize_t w = write(fds[1], p, n);
      if (w <= 0) break;
      p += w;
      n -= size_t(w);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  ssize_t r;
  while ((r = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, size_t(r));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "CRASH " + out;
  return out;
}

// "key=value" lines into a map.
std::map<std::string, std::string> Parse(const std::string& text) {
  std::map<std::string, std::string> m;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return m;
}

class OutcomesTest : public ::testing::Test {
 protected:
  std::string Src(const std::string& rel) { return env_.Src().SystemOf(rel); }
  std::string Latest(uint32_t id, const std::string& rel) {
    return env_.Latest("store" + std::to_string(id), rel);
  }

  // A folder the unprivileged child may write in, removed at the end.
  std::string MakeSharedBase() {
    std::string base = "/var/tmp/bv-outc-XXXXXX";
    if (!mkdtemp(base.data())) return {};
    chmod(base.c_str(), 0755);
    if (chown(base.c_str(), kNobody, kNobody) != 0) return {};
    shared_ = base;
    return base;
  }
  void TearDown() override {
    if (!shared_.empty()) {
      std::error_code ec;
      fs::remove_all(shared_, ec);
    }
  }

  // In the child: a data folder and store of its own under base, a plan on
  // E: = base/store, and E: in a volume table of its own.
  static std::unique_ptr<bvtest::TestPlan> ChildPlan(ScratchEnv& env, const std::string& base) {
    mkdir((base + "/data").c_str(), 0700);
    mkdir((base + "/store").c_str(), 0700);
    const std::string volumes = base + "/data/volumes.ini";
    bvtest::WriteNative(volumes, "[C]\nRoot=/\nType=fixed\nBus=none\nSystem=1\n[E]\nRoot=" + base +
                                     "/store\nType=fixed\nBus=none\n[Power]\nSource=ac\n");
    setenv("BREVANTO_DATA_DIR", (base + "/data").c_str(), 1);
    setenv("BREVANTO_VOLUMES", volumes.c_str(), 1);
    ResetSettingsCache();
    plat::VolumeTable::Instance().Reload();
    return env.MakePlan(1, kUnitDaily, 3, {"C:\\" + base.substr(1)});
  }

  ScratchEnv env_;
  std::string shared_;
};

TEST_F(OutcomesTest, SourceVanishingAfterBeingNoted) {
  auto plan = env_.MakePlan(1, kUnitDaily, 3, {env_.Src().System()});
  ASSERT_TRUE(plan);
  CSimpleEngine* engine = plan->Engine();
  CLoggingDatabase* db = plan->Database();

  // Noted in the journal, then gone before the working thread copies it; the
  // record handed in is updated in place.
  const std::string noted = Src("noted.doc");
  env_.Src().Write("noted.doc", "n");
  ASSERT_EQ(db->NoteChangedFile(noted), 0u);
  LogRecord rec;
  uint64_t offset = 0;
  ASSERT_TRUE(ScratchEnv::RecordOf(plan.get(), noted, &rec, &offset));
  ASSERT_EQ(rec.state, kLogPending);
  fs::remove(env_.Src().NativeOf("noted.doc"));
  bvtest::EventCollector events;
  EXPECT_EQ(engine->BackupFile(noted, false, &rec, offset), kBackupSourceMissing);
  EXPECT_EQ(rec.state, kLogSourceGone);
  LogRecord stored;
  ASSERT_TRUE(ScratchEnv::RecordOf(plan.get(), noted, &stored));
  EXPECT_EQ(stored.state, kLogSourceGone);
  EXPECT_EQ(events.CountOf(kEvFileFailed), 0u);
  EXPECT_FALSE(fs::exists(Latest(1, "noted.doc")));

  // A folder standing where the listed file was is no source file either.
  const std::string swapped = Src("swapped.doc");
  env_.Src().Write("swapped.doc", "s");
  ASSERT_EQ(db->NoteChangedFile(swapped), 0u);
  fs::remove(env_.Src().NativeOf("swapped.doc"));
  fs::create_directory(env_.Src().NativeOf("swapped.doc"));
  events.Clear();
  EXPECT_EQ(engine->BackupFile(swapped, false, nullptr, 0), kBackupSourceMissing);
  ASSERT_TRUE(ScratchEnv::RecordOf(plan.get(), swapped, &stored));
  EXPECT_EQ(stored.state, kLogSourceGone);
  EXPECT_EQ(events.CountOf(kEvFileFailed), 0u);
  EXPECT_FALSE(fs::exists(Latest(1, "swapped.doc")));
}

TEST_F(OutcomesTest, SourceTheUserMayNotRead) {
  const std::string base = MakeSharedBase();
  if (base.empty()) GTEST_SKIP() << "no folder for the unprivileged user";
  // Readable by root only, in a folder anyone may pass through.
  mkdir((base + "/src").c_str(), 0755);
  bvtest::WriteNative(base + "/src/secret.doc", "secret");
  chmod((base + "/src/secret.doc").c_str(), 0600);

  const std::string out = RunAsNobody([&]() -> std::string {
    auto plan = ChildPlan(env_, base);
    if (!plan) return "error=no plan\n";
    const std::string source = "C:" + base + "/src/secret.doc";
    std::string system = source;
    for (char& c : system)
      if (c == '/') c = '\\';
    bvtest::EventCollector events;
    const int32_t rc = plan->Engine()->BackupFile(system, false, nullptr, 0);
    LogRecord rec;
    const bool found = ScratchEnv::RecordOf(plan.get(), system, &rec);
    std::ostringstream o;
    o << "rc=" << rc << "\nfound=" << found << "\nstate=" << rec.state
      << "\nfailed=" << rec.failedAttempts << "\nbackup=" << rec.lastBackupTime
      << "\nevents=" << events.CountOf(kEvFileFailed) << "\n";
    if (!events.Events().empty()) {
      o << "text3=" << events.Events().back().text3 << "\nvalue=" << events.Events().back().value
        << "\n";
    }
    std::error_code ec;
    o << "latest=" << fs::exists(base + "/store/store1/Latest/C" + base + "/src/secret.doc", ec)
      << "\n";
    return o.str();
  });
  if (out.rfind("SKIP", 0) == 0) GTEST_SKIP() << out;
  const auto m = Parse(out);
  ASSERT_EQ(m.count("rc"), 1u) << out;
  EXPECT_EQ(m.at("rc"), "5");
  EXPECT_EQ(m.at("found"), "1");
  EXPECT_EQ(m.at("state"), std::to_string(kLogFailed));
  EXPECT_EQ(m.at("failed"), "1");
  EXPECT_EQ(m.at("backup"), "0");
  EXPECT_EQ(m.at("events"), "1");
  EXPECT_EQ(m.at("text3"), "Code: 5, Error: " + plat::WinErrorMessage(5));
  EXPECT_EQ(m.at("value"), "5");
  EXPECT_EQ(m.at("latest"), "0");
  // The root-only file itself is untouched.
  EXPECT_EQ(bvtest::ReadNative(base + "/src/secret.doc"), "secret");
}

TEST_F(OutcomesTest, StoreFolderThatBecameReadOnly) {
  const std::string base = MakeSharedBase();
  if (base.empty()) GTEST_SKIP() << "no folder for the unprivileged user";
  const std::string out = RunAsNobody([&]() -> std::string {
    auto plan = ChildPlan(env_, base);
    if (!plan) return "error=no plan\n";
    mkdir((base + "/src").c_str(), 0755);
    bvtest::WriteNative(base + "/src/old.doc", "v1");
    std::string folder = "C:" + base + "/src/";
    for (char& c : folder)
      if (c == '/') c = '\\';
    CSimpleEngine* engine = plan->Engine();
    std::ostringstream o;
    o << "first=" << engine->BackupFile(folder + "old.doc", false, nullptr, 0) << "\n";
    // The store's folder turns read-only; a new file and a new version of
    // the old one both arrive.
    const std::string latest = base + "/store/store1/Latest/C" + base + "/src";
    chmod(latest.c_str(), 0555);
    bvtest::WriteNative(base + "/src/new.doc", "n");
    bvtest::WriteNative(base + "/src/old.doc", "v2");
    bvtest::EventCollector events;
    o << "new=" << engine->BackupFile(folder + "new.doc", false, nullptr, 0) << "\n";
    o << "old=" << engine->BackupFile(folder + "old.doc", false, nullptr, 0) << "\n";
    o << "events=" << events.CountOf(kEvFileFailed) << "\n";
    if (!events.Events().empty()) o << "text3=" << events.Events().back().text3 << "\n";
    LogRecord rec;
    if (ScratchEnv::RecordOf(plan.get(), folder + "new.doc", &rec))
      o << "newstate=" << rec.state << "\n";
    std::string names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(latest, ec)) names += e.path().filename().string() + ",";
    o << "names=" << names << "\n";
    o << "oldcopy=" << bvtest::ReadNative(latest + "/old.doc") << "\n";
    chmod(latest.c_str(), 0755);
    return o.str();
  });
  if (out.rfind("SKIP", 0) == 0) GTEST_SKIP() << out;
  const auto m = Parse(out);
  ASSERT_EQ(m.count("first"), 1u) << out;
  EXPECT_EQ(m.at("first"), "0");
  EXPECT_EQ(m.at("new"), "5");
  EXPECT_EQ(m.at("old"), "5");
  EXPECT_EQ(m.at("events"), "2");
  EXPECT_EQ(m.at("text3"), "Code: 5, Error: " + plat::WinErrorMessage(5));
  EXPECT_EQ(m.at("newstate"), std::to_string(kLogFailed));
  // Nothing under the new name, no temporary file, the old copy intact (the
  // rotation could not move it out either).
  EXPECT_EQ(m.at("names"), "old.doc,");
  EXPECT_EQ(m.at("oldcopy"), "v1");
}

// A store whose disk turns read-only (the kernel remounts a damaged disk so):
// every copy fails and says the real cause, for a file in a folder the store
// still has to make and for a new version of a known file alike; the plan's
// copies count as failing until one succeeds again, and the last backup time
// is the last success's, written to "Plan.ini" once.
TEST_F(OutcomesTest, StoreOnAReadOnlyDiskSaysWriteProtectedUntilACopySucceeds) {
  auto plan = env_.MakePlan(1, kUnitDaily, 3, {env_.Src().System()});
  ASSERT_TRUE(plan);
  CSimpleEngine* engine = plan->Engine();
  env_.Src().Write("a.txt", "v1");
  ASSERT_EQ(engine->BackupFile(Src("a.txt"), false, nullptr, 0), 0);
  const int64_t copiedAt = plan->LastBackupTime();
  EXPECT_GT(copiedAt, 0);
  EXPECT_EQ(engine->Health().error, 0u);
  const std::string planFile = plan->GetPlanFolder() + "Plan.ini";
  engine->PersistLastBackupTime();
  std::string saved;
  ASSERT_TRUE(plat::ReadWholeFile(planFile, &saved));
  EXPECT_NE(saved.find("LastBackupTime=" + std::to_string(copiedAt)), std::string::npos) << saved;

  // The store's own folder, not the volume's root: the volume stays.
  const std::string store = env_.Store().NativeOf("store1");
  bvtest::ReadOnlyFolder readOnly(store);
  if (!readOnly.Failure().empty()) GTEST_SKIP() << readOnly.Failure();

  env_.Src().Write("sub/b.txt", "b");  // its store folder does not exist yet
  env_.Src().Write("a.txt", "v2");
  bvtest::EventCollector events;
  EXPECT_EQ(engine->BackupFile(Src("sub/b.txt"), false, nullptr, 0), 19);
  EXPECT_EQ(engine->BackupFile(Src("a.txt"), false, nullptr, 0), 19);
  const std::string said = "Code: 19, Error: The media is write protected.";
  ASSERT_EQ(events.CountOf(kEvFileFailed), 2u);
  for (const EventData& e : events.Events()) {
    if (e.code == kEvFileFailed) {
      EXPECT_EQ(e.text3, said) << e.text1;
    }
  }
  const CopyHealth failing = engine->Health();
  EXPECT_EQ(failing.error, 19u);
  EXPECT_EQ(failing.root, plan->DestinationRoot());
  EXPECT_GT(failing.failingSince, 0);
  EXPECT_EQ(plan->LastBackupTime(), copiedAt);
  engine->PersistLastBackupTime();  // nothing new to write
  std::string after;
  ASSERT_TRUE(plat::ReadWholeFile(planFile, &after));
  EXPECT_EQ(after, saved);

  ASSERT_TRUE(readOnly.MakeWritable());  // writable again
  EXPECT_EQ(engine->BackupFile(Src("sub/b.txt"), false, nullptr, 0), 0);
  EXPECT_EQ(engine->Health().error, 0u);
  EXPECT_EQ(bvtest::ReadNative(env_.Latest("store1", "sub/b.txt")), "b");
}

TEST_F(OutcomesTest, OddAndLongNames) {
  auto plan = env_.MakePlan(1, kUnitDaily, 3, {env_.Src().System()});
  ASSERT_TRUE(plan);
  CSimpleEngine* engine = plan->Engine();
  const std::vector<std::string> names = {"with blanks  in it.doc",
                                          "it's.doc",
                                          "say \"hi\".doc",
                                          "caf\xC3\xA9 Stra\xC3\x9F"
                                          "e.doc",
                                          "\xE6\x97\xA5\xE6\x9C\xAC.txt",
                                          std::string(251, 'n') + ".txt"};
  ASSERT_EQ(names.back().size(), 255u);
  for (const auto& n : names) {
    env_.Src().Write("odd/" + n, "content of " + n);
    EXPECT_EQ(engine->BackupFile(Src("odd/" + n), false, nullptr, 0), 0) << n;
    EXPECT_EQ(bvtest::ReadNative(Latest(1, "odd/" + n)), "content of " + n) << n;
  }
  // A second version of the 255-byte name: its revision name would be too
  // long, so the rotation cannot keep it, but the new copy still lands.
  env_.Src().Write("odd/" + names.back(), "second");
  EXPECT_EQ(engine->BackupFile(Src("odd/" + names.back()), false, nullptr, 0), 0);
  EXPECT_EQ(bvtest::ReadNative(Latest(1, "odd/" + names.back())), "second");

  // A path longer than the system takes in one call: the copy fails with the
  // real error (name too long) and the file stays due for a retry; it is not
  // taken for a vanished source.
  const std::string part(200, 'd');
  const size_t length = MakeDeepFile(env_.Src().Native(), part, 22, "deep.txt", "deep");
  ASSERT_GT(length, 4096u);
  std::string deep = env_.Src().System();
  for (int i = 0; i < 22; ++i) deep += "\\" + part;
  deep += "\\deep.txt";
  bvtest::EventCollector events;
  const int32_t rc = engine->BackupFile(deep, false, nullptr, 0);
  EXPECT_EQ(rc, static_cast<int32_t>(plat::kErrFilenameExcedRange));
  ASSERT_EQ(events.CountOf(kEvFileFailed), 1u);
  const EventData failed = events.Events().back();
  EXPECT_EQ(failed.value, rc);
  EXPECT_EQ(failed.text3.rfind("Code: 206, Error: ", 0), 0u) << failed.text3;
  EXPECT_EQ(events.CountOf(kEvFileCopied), 0u);

  // The walk over the same tree copies the odd names and survives the deep one.
  auto walker = env_.MakePlan(2, kUnitDaily, 3, {env_.Src().System()});
  ASSERT_TRUE(walker);
  WalkFolder(walker.get(), env_.Src().System());
  for (const auto& n : names) EXPECT_TRUE(fs::exists(Latest(2, "odd/" + n))) << n;

  const int top = open(env_.Src().Native().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  RemoveTreeAt(top, part.c_str());
  close(top);
  for (const char* store : {"store1", "store2"}) {
    const int s = open(env_.Store().Native().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    RemoveTreeAt(s, store);
    close(s);
  }
}

TEST_F(OutcomesTest, NativeNamesASystemPathCannotCarry) {
  env_.Src().Write("plain/ok.doc", "ok");
  env_.Src().Write("plain/also ok.doc", "ok2");
  // Made with POSIX calls: a "\" in a name, and bytes that are not UTF-8.
  const std::string folder = env_.Src().NativeOf("plain");
  const std::vector<std::string> bad = {"back\\slash.doc", "latin1-\xE9t\xE9.doc", "\xFF\xFE.doc"};
  for (const auto& n : bad) {
    const int fd = open((folder + "/" + n).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << n;
    ASSERT_EQ(write(fd, "bad", 3), 3);
    close(fd);
  }
  // A folder with such a name is not entered either.
  ASSERT_EQ(mkdir((folder + "/dir\\x").c_str(), 0755), 0);
  bvtest::WriteNative(folder + "/dir\\x/inner.doc", "inner");

  plat::DirSearch search;
  plat::FindData entry;
  std::vector<std::string> listed;
  ASSERT_TRUE(search.Open(env_.Src().SystemOf("plain") + "\\*", &entry));
  do listed.push_back(entry.name);
  while (search.Next(&entry));
  EXPECT_EQ(search.SkippedNames(), 4u);
  for (const auto& n : listed) EXPECT_EQ(n.find('\\'), std::string::npos) << n;

  auto plan = env_.MakePlan(1, kUnitDaily, 3, {env_.Src().System()});
  ASSERT_TRUE(plan);
  bvtest::EventCollector events;
  WalkFolder(plan.get(), env_.Src().System());
  EXPECT_EQ(bvtest::ReadNative(Latest(1, "plain/ok.doc")), "ok");
  EXPECT_EQ(bvtest::ReadNative(Latest(1, "plain/also ok.doc")), "ok2");
  EXPECT_EQ(events.CountOf(kEvFileCopied), 2u);
  EXPECT_EQ(events.CountOf(kEvFileFailed), 0u);
  // Exactly the two good files are in the store, under no other name.
  std::vector<std::string> stored;
  for (auto& e : fs::recursive_directory_iterator(env_.Store().NativeOf("store1/Latest")))
    if (e.is_regular_file()) stored.push_back(e.path().filename().string());
  std::sort(stored.begin(), stored.end());
  EXPECT_EQ(stored, (std::vector<std::string>{"also ok.doc", "ok.doc"}));
}

}  // namespace

// Changes the journal cannot take (its disk is full) are reported once, with
// the reason, when such failures begin; again after the journal took one.
TEST_F(OutcomesTest, ChangesTheJournalCannotTakeAreReportedOnce) {
  const std::string folder = env_.Data().NativeOf("PLAN/1");
  fs::create_directories(folder);
  if (mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "this machine does not let the test mount";
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{folder};
  auto plan = env_.MakePlan(1, kUnitDaily, 3, {env_.Src().System()});
  ASSERT_TRUE(plan);
  auto fill = [&] {
    const std::string block(4096, 'f');
    for (int i = 0;; ++i) {
      std::FILE* f = std::fopen((folder + "/filler" + std::to_string(i)).c_str(), "w");
      if (f == nullptr) return;
      const bool full = std::fwrite(block.data(), 1, block.size(), f) != block.size();
      if (std::fclose(f) != 0 || full) return;
    }
  };
  auto reports = [](bvtest::EventCollector& events) {
    std::vector<EventData> out;
    for (const EventData& e : events.Events())
      if (e.code == kEvDatabaseProblem && !e.text2.empty()) out.push_back(e);
    return out;
  };
  bvtest::EventCollector events;
  fill();
  for (int i = 0; i < 200; ++i) plan->NoteChangedFile(Src("lost" + std::to_string(i) + ".txt"));
  std::vector<EventData> said = reports(events);
  ASSERT_EQ(said.size(), 1u);
  // The page the journal already holds takes a few; the report names the
  // first change that found no room.
  int first = 0;
  LogRecord rec;
  while (first < 200 &&
         ScratchEnv::RecordOf(plan.get(), Src("lost" + std::to_string(first) + ".txt"), &rec))
    ++first;
  ASSERT_LT(first, 200);
  EXPECT_EQ(said[0].text2, Src("lost" + std::to_string(first) + ".txt"));
  EXPECT_EQ(said[0].planId, 1u);
  EXPECT_EQ(said[0].value, static_cast<int32_t>(plat::kErrDiskFull));
  EXPECT_EQ(said[0].text3.rfind("Code: 112, Error: ", 0), 0u) << said[0].text3;

  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().filename().string().rfind("filler", 0) == 0) fs::remove(e.path());
  plan->NoteChangedFile(Src("kept.txt"));
  EXPECT_TRUE(ScratchEnv::RecordOf(plan.get(), Src("kept.txt"), &rec));
  fill();
  for (int i = 0; i < 200; ++i) plan->NoteChangedFile(Src("again" + std::to_string(i) + ".txt"));
  EXPECT_EQ(reports(events).size(), 2u);
}
