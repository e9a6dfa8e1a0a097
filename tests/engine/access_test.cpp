// Where the system says no (an ordinary user, a full journal disk); what a plan's walks take.
#include <grp.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cstdio>
#include <functional>
#include <sstream>

#include "TaskWorld.h"
#include "engine/NotProtectedNames.h"
#include "platform/volumes/Volumes.h"

using bvtest::ScratchEnv;

namespace {

constexpr uid_t kNobody = 65534;

// What body returns as the unprivileged user (through the file out); "SKIP" when it cannot drop.
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

// Changes a full journal disk refuses are said once, with the reason, and walked in with room.
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

// Links said once per plan across starts, counted past the lines cap of a folder, said when made.
TEST(FolderLinks, SaidOncePerPlanCountedPastTheCapAndWhenMade) {
  bvtest::ScratchEnv env;
  bvtest::TempDir outside;
  fs::create_directories(outside.NativeOf("a"));
  const auto link = [&](const std::string& to, const std::string& rel) {
    fs::create_directories(fs::path(env.Src().NativeOf(rel)).parent_path());
    fs::create_directory_symlink(to, env.Src().NativeOf(rel));
  };
  // Said: one out, one above the folder walked; not: one back into it, one in a folder the plan
  // excludes. Past the lines cap of a folder (2) the rest are counted and summed up in one line.
  link(outside.Native(), "papers");
  link(env.Src().NativeOf(".."), "up");
  link(env.Src().Native(), "deep/er/loop");
  link("/", "left/root");
  for (int i = 0; i < 5; ++i) link(outside.Native(), "many/m" + std::to_string(i));
  SetLinkedFolderLinesCap(2);
  bvtest::EventCollector said;
  auto linkLines = [&] {  // the names said (m0..m4 as "m"), the lines of the rest
    std::vector<std::string> lines;
    for (const EventData& e : said.Events()) {
      if (e.code != kEvNotProtected) continue;
      std::string name = e.text1.substr(e.text1.rfind('\\') + 1);
      lines.push_back(e.text2.empty() ? e.text3.substr(0, 9)
                                      : name.substr(0, name[0] == 'm' ? 1 : name.size()));
    }
    std::sort(lines.begin(), lines.end());
    said.Clear();
    return lines;
  };
  const auto start = [&] {  // the plan as a start of the program makes it, walked twice
    auto plan = env.MakePlan(2, kUnitDaily, 3, {env.Src().System()});
    if (plan == nullptr) return plan;
    plan->Lock().lock();
    plan->Rules()->AddGroup(kRuleExclude, "left", "x")->AddItem(env.Src().SystemOf("left"), "");
    plan->Lock().unlock();
    for (int walk = 0; walk < 2; ++walk) WalkFolder(plan.get(), env.Src().System());
    return plan;
  };
  auto plan = start();
  ASSERT_TRUE(plan);
  EXPECT_EQ(linkLines(), (std::vector<std::string>{"... and 3", "m", "m", "papers", "up"}));
  EXPECT_EQ(plan->UnheldNameCount(), 7u);

  // The next start says none again, but for one that leads elsewhere now; the card counts all.
  plan.reset();
  fs::remove(env.Src().NativeOf("many/m3"));
  link(outside.NativeOf("a"), "many/m3");
  plan = start();
  SetLinkedFolderLinesCap(1000);
  ASSERT_TRUE(plan);
  EXPECT_EQ(linkLines(), (std::vector<std::string>{"m"}));
  EXPECT_EQ(plan->UnheldNameCount(), 7u);

  // One made while the program runs is said when the monitor reports it (once), one in a
  // hidden folder is not, as a walk would not meet it.
  PlanList list;
  CPlan* listed = list.CreatePlan(bvtest::ScratchEnv::Settings("Listed", "store7"));
  ASSERT_TRUE(listed);
  bvtest::ScratchEnv::IncludeOnly(listed, env.Src().System());
  for (const char* made : {"deep/er/new", ".dot/new"}) {
    link(outside.NativeOf("a"), made);
    for (int report = 0; report < 2; ++report)
      EXPECT_FALSE(list.OfferChangedFile(env.Src().SystemOf(made)));
  }
  EXPECT_EQ(linkLines(), (std::vector<std::string>{"new"}));
}

}  // namespace
