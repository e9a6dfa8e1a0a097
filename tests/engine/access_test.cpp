// The single-file backup where the system says no: as an ordinary user (unreadable sources,
// read-only store folders), with the journal's disk full, and what a plan may walk.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>

#include "common/EngineEvents.h"
#include "common/Settings.h"
#include "engine/CSimpleEngine.h"
#include "engine/CTask.h"
#include "engine/PlanList.h"
#include "engine/SourceWalk.h"
#include "plans/Schedule.h"
#include "platform/base/Errors.h"
#include "platform/volumes/Volumes.h"
#include "support/EventCollector.h"
#include "support/ScratchEnv.h"

namespace fs = std::filesystem;
using bvtest::ScratchEnv;

namespace {

constexpr uid_t kNobody = 65534;

// What body returns in a forked child dropped to the unprivileged user, passed through out (a
// file the child may write); "SKIP" when it cannot drop.
std::string RunAsNobody(const std::string& out, const std::function<std::string()>& body) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const bool dropped = setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 &&
                         setuid(kNobody) == 0 && geteuid() == kNobody;
    bvtest::WriteNative(out, dropped ? body() : "SKIP");
    _exit(0);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return "SKIP";
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "crashed: " + std::to_string(status);
  return bvtest::ReadNative(out);
}

// As an ordinary user, unreadable sources and read-only store folders fail as access denied.
TEST(EngineAccess, UnreadableSourcesAndReadOnlyStoreFoldersFailWithAccessDenied) {
  ScratchEnv env;
  std::string base = "/var/tmp/bv-outc-XXXXXX";  // a folder the unprivileged child may write in
  if (!mkdtemp(base.data())) GTEST_SKIP() << "no folder for the unprivileged user";
  struct Remove {
    std::string at;
    ~Remove() {
      std::error_code ec;
      fs::remove_all(at, ec);
    }
  } remove{base};
  chmod(base.c_str(), 0755);
  mkdir((base + "/src").c_str(), 0755);
  bvtest::WriteNative(base + "/src/secret.doc", "secret");
  chmod((base + "/src/secret.doc").c_str(), 0600);
  if (chown(base.c_str(), kNobody, kNobody) != 0 ||
      chown((base + "/src").c_str(), kNobody, kNobody) != 0)
    GTEST_SKIP() << "cannot hand the folder over";

  const std::string got = RunAsNobody(base + "/result.txt", [&]() -> std::string {
    // A data folder, store and volume table of the child's own: E: = base/store.
    mkdir((base + "/data").c_str(), 0700);
    mkdir((base + "/store").c_str(), 0700);
    const std::string volumes = base + "/data/volumes.ini";
    bvtest::WriteNative(volumes,
                        "[C]\nRoot=/\nType=fixed\nBus=none\nSystem=1\n[E]\nRoot=" + base +
                            "/store\nType=fixed\nBus=none\n[Power]\nSource=ac\nPressure=idle\n");
    setenv("BREVANTO_DATA_DIR", (base + "/data").c_str(), 1);
    setenv("BREVANTO_VOLUMES", volumes.c_str(), 1);
    ResetSettingsCache();
    plat::VolumeTable::Instance().Reload();
    auto plan = env.MakePlan(1, kUnitDaily, 3, {"C:\\" + base.substr(1)});
    if (!plan) return "error=no plan\n";
    const std::string folder = bvtest::NativeToSystemC(base + "/src") + "\\";
    CSimpleEngine* engine = plan->Engine();
    const std::string latest = base + "/store/store1/Latest/C" + base + "/src";
    std::ostringstream o;
    bvtest::WriteNative(base + "/src/old.doc", "v1");
    o << "first=" << engine->BackupFile(folder + "old.doc", false, nullptr, 0) << "\n";

    bvtest::EventCollector events;
    o << "secret=" << engine->BackupFile(folder + "secret.doc", false, nullptr, 0) << "\n";
    LogRecord rec;
    o << "found=" << ScratchEnv::RecordOf(plan.get(), folder + "secret.doc", &rec) << "\n";
    o << "state=" << rec.state << "\nfailed=" << rec.failedAttempts
      << "\nbackup=" << rec.lastBackupTime << "\n";
    if (!events.Events().empty()) {
      o << "text3=" << events.Events().back().text3 << "\nvalue=" << events.Events().back().value
        << "\n";
    }

    chmod(latest.c_str(), 0555);
    bvtest::WriteNative(base + "/src/new.doc", "n");
    bvtest::WriteNative(base + "/src/old.doc", "v2");
    o << "new=" << engine->BackupFile(folder + "new.doc", false, nullptr, 0) << "\n";
    o << "old=" << engine->BackupFile(folder + "old.doc", false, nullptr, 0) << "\n";
    o << "events=" << events.CountOf(kEvFileFailed) << "\n";
    if (ScratchEnv::RecordOf(plan.get(), folder + "new.doc", &rec))
      o << "newstate=" << rec.state << "\n";
    std::string names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(latest, ec)) names += e.path().filename().string() + ",";
    o << "names=" << names << "\noldcopy=" << bvtest::ReadNative(latest + "/old.doc") << "\n";
    chmod(latest.c_str(), 0755);
    return o.str();
  });
  if (got == "SKIP") GTEST_SKIP() << "cannot drop to the unprivileged user";
  const std::string failed = std::to_string(kLogFailed);
  // No temporary file and nothing rotated out: the old copy alone, intact.
  EXPECT_EQ(got, "first=0\nsecret=5\nfound=1\nstate=" + failed +
                     "\nfailed=1\nbackup=0\ntext3=Code: 5, Error: " + plat::WinErrorMessage(5) +
                     "\nvalue=5\nnew=5\nold=5\nevents=3\nnewstate=" + failed +
                     "\nnames=old.doc,\noldcopy=v1\n");
  EXPECT_EQ(bvtest::ReadNative(base + "/src/secret.doc"), "secret") << "untouched";
}

// Changes a full journal disk refuses are said once when such failures begin, with the reason,
// and a walk finds them once the disk has room again.
TEST(EngineAccess, ChangesTheJournalCannotTakeAreReportedOnce) {
  ScratchEnv env;
  auto src = [&](const std::string& rel) { return env.Src().SystemOf(rel); };
  const std::string folder = env.Data().NativeOf("PLAN/2");
  fs::create_directories(folder);
  if (mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=512k") != 0)
    GTEST_SKIP() << "this machine does not let the test mount";
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{folder};
  auto plan = env.MakePlan(2, kUnitDaily, 3, {env.Src().System()}, nullptr, true);
  ASSERT_TRUE(plan);
  CSimpleTask task(plan.get());
  task.Maintain();  // the first look's walk, before the lost files exist
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
  auto lost = [&](int i) { return src("lost" + std::to_string(i) + ".txt"); };
  bvtest::EventCollector events;
  for (int i = 0; i < 200; ++i) env.Src().Write("lost" + std::to_string(i) + ".txt", "lost");
  fill();
  for (int i = 0; i < 200; ++i) plan->NoteChangedFile(lost(i));
  const std::vector<EventData> said = reports(events);
  ASSERT_EQ(said.size(), 1u);
  // The journal's last page takes a few; the report names the first change without room.
  int first = 0;
  LogRecord rec;
  while (first < 200 && ScratchEnv::RecordOf(plan.get(), lost(first), &rec)) ++first;
  ASSERT_LT(first, 200);
  EXPECT_EQ(said[0].text2, lost(first));
  EXPECT_EQ(said[0].planId, 2u);
  EXPECT_EQ(said[0].value, static_cast<int32_t>(plat::kErrDiskFull));
  EXPECT_EQ(said[0].text3.rfind("Code: 112, Error: ", 0), 0u) << said[0].text3;

  EXPECT_EQ(plan->UnrecordedError(), plat::kErrDiskFull) << "shown until the walk";
  task.Maintain();  // no room yet: no walk
  EXPECT_FALSE(ScratchEnv::RecordOf(plan.get(), lost(199), &rec));
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().filename().string().rfind("filler", 0) == 0) fs::remove(e.path());
  task.Maintain();
  EXPECT_TRUE(ScratchEnv::RecordOf(plan.get(), lost(199), &rec));
  EXPECT_EQ(plan->UnrecordedError(), 0u);
  plan->NoteChangedFile(src("kept.txt"));
  EXPECT_TRUE(ScratchEnv::RecordOf(plan.get(), src("kept.txt"), &rec));
  fill();
  for (int i = 0; i < 200; ++i) plan->NoteChangedFile(src("again" + std::to_string(i) + ".txt"));
  EXPECT_EQ(reports(events).size(), 2u);
}

// The plan list refuses removable disks; a disabled plan walks nothing.
TEST(EngineAccess, WalksOnlyWhatThePlanMayTake) {
  ScratchEnv env;
  env.Src().Write("a.doc", "a");
  bvtest::TempDir removable;
  bvtest::WriteNative(removable.NativeOf("r.doc"), "r");
  env.SetExtra("[G]\nRoot=" + removable.Native() + "\nType=removable\nBus=usb\n");
  bvtest::EventCollector events;
  PlanList list;
  auto listed = env.MakePlan(5, kUnitDaily, 3, {env.Src().System(), "G:\\"}, &list);
  auto unlisted = env.MakePlan(15, kUnitDaily, 3, {"G:\\"});
  ASSERT_TRUE(listed && unlisted);
  WalkFolder(listed.get(), "G:\\");
  WalkFolder(listed.get(), env.Src().System());
  EXPECT_EQ(events.CountOf(kEvFileBackupBegins), 1u);
  EXPECT_EQ(bvtest::ReadNative(env.Latest("store5", "a.doc")), "a");
  WalkFolder(unlisted.get(), "G:\\");
  EXPECT_EQ(events.CountOf(kEvFileCopied), 2u);
  bvtest::WriteNative(removable.NativeOf("s.doc"), "s");
  unlisted->SetEnabled(false, 0);
  WalkFolder(unlisted.get(), "G:\\");
  EXPECT_EQ(events.CountOf(kEvFileBackupBegins), 2u);
}

}  // namespace
