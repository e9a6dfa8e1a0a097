// A plan's task (run file, first backup, journal and catch-up walks, missed runs).
#include "TaskWorld.h"

using enginetest::EventWaiter;
using enginetest::TaskTest;

namespace {

// The run file, the destination's comings and goings, the first run and the last run restored.
TEST_F(TaskTest, RunFileFirstBackupAndTheLastRun) {
  const std::string folder = env_.Data().System() + "\\";
  int64_t last = -1;
  EXPECT_FALSE(ReadRunFile(folder, &last));
  ASSERT_TRUE(WriteRunFile(folder, 1234567890));
  const std::string text = env_.Data().Read("run.ini");
  ASSERT_EQ(text.rfind("run=1234567890\n", 0), 0u) << text;
  const size_t boot = text.find("boot="), asc = text.find("!run=");
  ASSERT_LT(boot, asc);
  ASSERT_NE(asc, std::string::npos);
  EXPECT_LE(std::llabs(std::stoll(text.substr(boot + 5)) - plat::GetBootTime()), 2);
  ASSERT_TRUE(ReadRunFile(folder, &last));
  EXPECT_EQ(last, 1234567890);
  env_.Data().Write("run.ini", "boot=5\nrun=7\n");
  ASSERT_TRUE(ReadRunFile(folder, &last));
  EXPECT_EQ(last, 0);

  env_.Src().Write("a.txt", "a");
  env_.Src().Write("sub/deeper/b.txt", "b");
  auto plan = env_.MakePlan(3, kUnitDaily, 3, {env_.Src().System()});
  ASSERT_TRUE(plan);
  plan->SetLastTime(5000);
  CSimpleTask task(plan.get());
  task.RestoreLastRun();
  EXPECT_EQ(task.LastRun(), 5000);
  bvtest::EventCollector events;
  for (bool present : {true, false, false, true}) {
    env_.SetStorePresent(present);
    task.PreCheck();
  }
  std::vector<int32_t> codes, availability;
  for (const auto& e : events.Events()) {
    if (e.code == kEvAvailabilityChanged) availability.push_back(e.value);
    EXPECT_EQ(e.text1, "Plan 3");
  }
  EXPECT_EQ(availability, (std::vector<int32_t>{0, 1}));
  events.Clear();
  task.MarkRun();
  EXPECT_EQ(plan->LastTime(), task.LastRun());
  EXPECT_GE(task.NextDue(), task.LastRun());
  task.Run();
  EXPECT_EQ(bvtest::ReadNative(Latest(3, "a.txt")), "a");
  EXPECT_EQ(bvtest::ReadNative(Latest(3, "sub/deeper/b.txt")), "b");
  EXPECT_TRUE(plan->InitDone());
  EXPECT_FALSE(plan->Busy());
  EXPECT_EQ(plan->Mode(), kModeIdle);
  for (const auto& e : events.Events())
    if (e.planId == 3 && e.code != kEvFileBackupBegins && e.code != kEvFileCopied)
      codes.push_back(e.code);
  EXPECT_EQ(codes, (std::vector<int32_t>{kEvRunBegins, kEvPlanModeChanged, kEvScanBegins,
                                         kEvScanEnds, kEvPlanModeChanged, kEvRunEnds}));
  ASSERT_TRUE(ReadRunFile(plan->GetPlanFolder(), &last));
  EXPECT_EQ(last, task.LastRun());
  events.Clear();
  task.Run();
  EXPECT_EQ(events.CountOf(kEvScanBegins), 0u) << "the first backup runs once";
  ASSERT_TRUE(WriteRunFile(plan->GetPlanFolder(), 7000));
  task.RestoreLastRun();
  EXPECT_EQ(task.LastRun(), 7000);
  ASSERT_TRUE(WriteRunFile(plan->GetPlanFolder(), plat::Now() + 100000));
  const int64_t before = plat::Now();
  task.RestoreLastRun();
  EXPECT_GE(task.LastRun(), before);
  EXPECT_LE(task.LastRun(), plat::Now());

  auto continuous = env_.MakePlan(4, kUnitContinuous, 3, {env_.Src().System()});
  ASSERT_TRUE(continuous);
  CSimpleTask(continuous.get()).Run();
  EXPECT_TRUE(continuous->InitDone());
  // No run time for a continuous plan, but where its store is and since when it is away.
  const AwayState seen = ReadAwayState(continuous->GetPlanFolder());
  EXPECT_EQ(seen.folder, env_.Store().NativeOf("store4"));
  EXPECT_EQ(seen.since, 0);
  env_.SetStorePresent(false);
  const int64_t gone = plat::Now();
  CSimpleTask later(continuous.get());  // as a plan's start makes it
  later.RestoreLastRun();
  later.Run();
  CSimpleTask restarted(continuous.get());
  restarted.RestoreLastRun();
  EXPECT_GE(restarted.Away().since, gone);
  EXPECT_EQ(restarted.Away().folder, seen.folder);

  // A folder or link through which others may rename the store away is warned of once, by name.
  env_.SetStorePresent(true);
  uint32_t id = 10;
  events.Clear();
  for (const auto& [name, owner, group, mode, warned] :  // mode 0: a link to the admin's folder
       {std::tuple<const char*, uid_t, gid_t, mode_t, size_t>{"theirs", 65534, 65534, 0755, 1},
        {"open", 0, 0, 0777, 1},
        {"sticky", 0, 0, 01777, 0},
        {"closed", 0, 0, 0755, 0},
        {"my group's", 0, 0, 0775, 0},  // only the administrator is in group 0
        {"a shared group's", 0, 65534, 0775, 1},
        {"theirlink", 65534, 65534, 0, 1}}) {
    const std::string above = env_.Store().NativeOf(name);
    fs::create_directories(mode != 0 ? above : above + "-real");
    if (mode == 0) fs::create_directory_symlink(above + "-real", above);
    ASSERT_EQ(lchown(above.c_str(), owner, group), 0);
    ASSERT_EQ(mode != 0 ? chmod(above.c_str(), mode) : 0, 0);
    auto p = env_.MakePlan(++id, kUnitDaily, 3, {env_.Src().System()}, nullptr, false,
                           std::string(name) + "\\store");
    ASSERT_TRUE(p);
    CSimpleTask store(p.get());
    for (int look = 0; look < 2; ++look) store.PreCheck();
    size_t said = 0;
    for (const auto& e : events.Events())
      said += e.code == kEvStoreState && e.text3 == StoreSaid("MOVABLE_BY_OTHERS", above);
    EXPECT_EQ(said, warned) << name;
  }
}

// The journal walk copies settled pending records, failed ones after their back-off, and stops.
TEST_F(TaskTest, JournalWalkCopiesSettledPendingRecords) {
  for (const char* name : {"p1.txt", "p2.txt", "fresh.txt", "done.txt", "backoff.txt"})
    env_.Src().Write(name, name);
  env_.Src().Write("huge.bin", std::string(2 * 1024 * 1024 + 1, 'z'));
  SetBackupFileMaxSize(1);
  auto plan = env_.MakePlan(5, kUnitContinuous, 3, {env_.Src().System()}, nullptr, true);
  ASSERT_TRUE(plan);
  const int64_t now = plat::Now();
  Record(plan.get(), "p1.txt", now - 10);
  Record(plan.get(), "huge.bin", now - 10);
  Record(plan.get(), "fresh.txt", now + 600);  // still being written
  Record(plan.get(), "done.txt", now - 10, kLogCopied);
  Record(plan.get(), "backoff.txt", now - 10, kLogFailed, 5, now);
  Record(plan.get(), "p2.txt", now - 10, kLogFailed, 2, now);
  CSimpleTask task(plan.get());
  EventWaiter waiter;
  task.Run();
  EXPECT_EQ(waiter.WaitFor(kEvRunEnds, 5).value, 2);
  EXPECT_EQ(task.LastCopiedCount(), 2);
  EXPECT_EQ(bvtest::ReadNative(Latest(5, "p1.txt")), "p1.txt");
  EXPECT_EQ(bvtest::ReadNative(Latest(5, "p2.txt")), "p2.txt");
  EXPECT_EQ(StateOf(plan.get(), "p1.txt"), kLogCopied);
  EXPECT_EQ(StateOf(plan.get(), "huge.bin"), kLogTooLarge);
  const EventData skipped = waiter.WaitFor(kEvNotProtected, 5);  // with its size and the limit
  EXPECT_EQ(skipped.text1, Src("huge.bin"));
  EXPECT_NE(skipped.text3.find("2 MB (2097153 bytes), larger than the size limit of 1 MB"),
            std::string::npos)
      << skipped.text3;
  EXPECT_EQ(plan->Engine()->TooLargeCount(), 1u);
  EXPECT_EQ(StateOf(plan.get(), "fresh.txt"), kLogPending);
  for (const char* left : {"huge.bin", "fresh.txt", "done.txt", "backoff.txt"})
    EXPECT_FALSE(fs::exists(Latest(5, left))) << left;
  EXPECT_EQ(plan->Mode(), kModeIdle);

  // Asked now, a file in its back-off is tried; a too large one never again.
  SetBackupFileMaxSize(0);
  waiter.Clear();
  task.SetForced(true);
  task.Run();
  ResetSettingsCache();
  EXPECT_EQ(waiter.WaitFor(kEvRunEnds, 5).text2, kRunAskedNow);
  EXPECT_EQ(bvtest::ReadNative(Latest(5, "backoff.txt")), "backoff.txt");
  for (const auto& e : waiter.Events()) EXPECT_NE(e.text1, Src("huge.bin"));

  // Another writer's append and re-arm in place (same size, newer write time) are found.
  CLoggingDatabase other;
  ASSERT_EQ(other.Open(plan->GetPlanFolder(), 5), 0u);
  ASSERT_EQ(other.LoadIndex(), 0u);
  for (const std::string name : {"other.txt", "p1.txt"}) {
    env_.Src().Write(name, name + " again");
    LogRecord rec;
    ASSERT_TRUE(rec.SetPath(Src(name)));
    rec.changeTime = now - 10;
    uint64_t at = 0;  // 0: appended
    other.Lookup(Src(name), &at);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(other.WriteRecord(at, rec), 0u);
    task.Run();
    EXPECT_EQ(task.LastCopiedCount(), 1) << name;
    EXPECT_EQ(bvtest::ReadNative(Latest(5, name)), name + " again");
  }
  other.Close();

  // A noted change is copied (and the task due) a second after the note, before its whole-second
  // change time would say so: noted just after a second turns, it still counts as fresh then.
  env_.Src().Write("quick.txt", "quick");
  while (std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
                 .count() %
             1000 >
         100)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  plan->NoteChangedFile(Src("quick.txt"));
  task.Run();
  EXPECT_EQ(StateOf(plan.get(), "quick.txt"), kLogPending);
  EXPECT_FALSE(task.ChangesSettled());
  std::this_thread::sleep_for(std::chrono::milliseconds(1050));
  EXPECT_TRUE(task.ChangesSettled());
  task.Run();
  EXPECT_EQ(bvtest::ReadNative(Latest(5, "quick.txt")), "quick");
  EXPECT_FALSE(task.ChangesSettled());

  for (const char* name : {"s1.txt", "s2.txt", "s3.txt"}) {
    env_.Src().Write(name, name);
    Record(plan.get(), name, now - 10);
  }
  waiter.onEvent = [&](const EventData& e) {
    if (e.code == kEvFileCopied) plan->SetStopping(true);
  };
  task.Run();
  EXPECT_EQ(task.LastCopiedCount(), 1);
  EXPECT_EQ(StateOf(plan.get(), "s1.txt"), kLogCopied);
  EXPECT_EQ(StateOf(plan.get(), "s2.txt"), kLogPending);
  EXPECT_EQ(StateOf(plan.get(), "s3.txt"), kLogPending);
}

// A scheduled run missed while blocked is made up once the destination is back.
TEST_F(TaskTest, BlockedScheduledRunIsMadeUpWhenUnblocked) {
  env_.Src().Write("a.txt", "a");
  auto daily = env_.MakePlan(7, kUnitDaily, 3, {env_.Src().System()});
  auto continuous = env_.MakePlan(8, kUnitContinuous, 3, {env_.Src().System()});
  ASSERT_TRUE(daily && continuous);
  env_.SetStorePresent(false);
  CSimpleTask dailyTask(daily.get()), continuousTask(continuous.get());
  dailyTask.PreCheck();
  continuousTask.PreCheck();
  ASSERT_TRUE(daily->IsBlocked());
  dailyTask.Run();
  continuousTask.Run();
  EXPECT_TRUE(daily->MissScheduledBackup());
  EXPECT_FALSE(continuous->MissScheduledBackup());
  EXPECT_FALSE(daily->InitDone());
  // A change settled while blocked is the blocked run's: not run again at every look.
  continuous->NoteChangedFile(Src("a.txt"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1050));
  ASSERT_TRUE(continuousTask.ChangesSettled());
  continuousTask.Run();
  EXPECT_FALSE(continuousTask.ChangesSettled());

  // Queued and not due: while blocked it waits, once free it runs at once, once.
  CTaskQueue queue(nullptr);
  auto* task = new CSimpleTask(daily.get());
  task->SetNextDue(plat::Now() + 100000);
  ASSERT_TRUE(queue.Add(task));
  bvtest::EventCollector events;
  for (int look = 0; look < 3; ++look) {
    queue.Process();
    EXPECT_EQ(events.CountOf(kEvRunBegins), look == 0 ? 0u : 1u) << look;
    env_.SetStorePresent(true);
  }
  EXPECT_FALSE(daily->MissScheduledBackup());
  EXPECT_TRUE(daily->InitDone());
  EXPECT_EQ(bvtest::ReadNative(Latest(7, "a.txt")), "a");
}

// The catch-up walk notes unknown and changed files only, and runs only when there is cause.
TEST_F(TaskTest, CatchUpNotesUnknownAndChangedFilesOnly) {
  const int64_t now = plat::Now();
  const std::string wide = "sub/\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80.doc",
                    umlauts = "\xc3\x84\xc3\x96.doc";
  std::vector<std::string> all = {"new.txt",         "copied.txt",  "changed.txt",
                                  "gone.txt",        "pending.txt", "sub/deep.txt",
                                  ".hidden.txt",     "skip.tmp",    "evol/other-volume.txt",
                                  "later/added.txt", wide,          umlauts};
  for (const std::string& name : all) env_.Src().Write(name, name);
  // A volume mounted inside the source folder belongs to its own letter.
  env_.SetExtra("[F]\nRoot=" + env_.Src().NativeOf("evol") + "\nType=fixed\nBus=none\n");
  auto plan = env_.MakePlan(15, kUnitDaily, 3, {Src("")}, nullptr, true);
  ASSERT_TRUE(plan);
  for (const std::string& name : {all[1], all[10], all[11]})  // known by names beyond ASCII too
    Record(plan.get(), name, now + 10, kLogCopied, 0, 0, now + 10);
  Record(plan.get(), "changed.txt", now - 100, kLogCopied, 0, 0, now - 100);  // written since
  Record(plan.get(), "gone.txt", now + 10, kLogSourceGone, 0, 0, now + 10);   // back again
  Record(plan.get(), "pending.txt", now - 100, kLogPending, 0, 0, now - 100);
  // Copied, then written within the copy's second or put back older ("cp -p"): both noted.
  for (const char* name : {"steady.txt", "racy.txt", "put-back.txt"}) {
    env_.Src().Write(name, "copied");
    SetWriteTime(name, now - 100, 0);
    ASSERT_EQ(plan->Engine()->BackupFile(Src(name), false, nullptr, 0), 0);
  }
  LogRecord copied;
  ASSERT_TRUE(bvtest::ScratchEnv::RecordOf(plan.get(), Src("racy.txt"), &copied));
  env_.Src().Write("racy.txt", "changed");
  SetWriteTime("racy.txt", copied.lastBackupTime, 900000000);
  env_.Src().Write("put-back.txt", "an old");
  SetWriteTime("put-back.txt", now - 200, 0);
  all.insert(all.end(), {"steady.txt", "racy.txt", "put-back.txt"});
  AddRule(plan.get(), kRuleExclude, Src("later"));  // for now
  std::string journal;
  ASSERT_TRUE(plat::ToNativePath(plan->Database()->DatabasePath(), &journal));
  auto pendingNames = [&] {
    std::set<std::string> names;
    for (const std::string& rel : all) {
      LogRecord rec;
      if (bvtest::ScratchEnv::RecordOf(plan.get(), Src(rel), &rec) && rec.IsPending())
        names.insert(rel);
    }
    return names;
  };
  std::set<std::string> expected = {"new.txt",      "changed.txt", "gone.txt",    "pending.txt",
                                    "sub/deep.txt", "racy.txt",    "put-back.txt"};
  CSimpleTask task(plan.get());
  plan->WalkCounter() = 0;
  ResetWalkPauseStats();
  env_.SetPressure("busy");
  task.Maintain();  // the first look: pauses only for the files it notes
  EXPECT_EQ(pendingNames(), expected);
  EXPECT_EQ(GetWalkPauseStats().entries, 6u) << "pending.txt was noted already";
  EXPECT_EQ(GetWalkPauseStats().pauses, 1u) << "after the fifth";

  // Nothing changed: a look walks nothing, a requested walk writes nothing.
  const std::string before = bvtest::ReadNative(journal);
  task.Maintain();
  catchup::Request(15, "test");
  task.Maintain();
  EXPECT_EQ(bvtest::ReadNative(journal), before);

  // The sources change: the folder's files that were there already come in.
  EditRules(plan.get(), [&](CRuleSet* r) { r->RemoveGroup(kRuleExclude, "rule " + Src("later")); });
  task.Maintain();
  expected.insert("later/added.txt");
  EXPECT_EQ(pendingNames(), expected);

  // The journal recreated: all noted again; a machine busy without end is waited for, not for ever.
  ASSERT_EQ(plan->Database()->Recreate(), 0u);
  env_.SetPressure("loaded");
  ResetWalkPauseStats();
  auto walked = std::async(std::launch::async, [&] { task.Maintain(); });
  if (walked.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "the walk waits for a machine that never quiets";
    plan->SetEnabled(false, 0);
  }
  walked.wait();
  EXPECT_GE(GetWalkPauseStats().pauseMicros, 2'000'000u) << "it waited for the others first";
  env_.SetPressure("busy");
  expected.insert({all[1], all[10], all[11], "steady.txt"});
  EXPECT_EQ(pendingNames(), expected);

  // A clock set back makes a walk due; the size limit counts whole MiB.
  SetBackupFileMaxSize(1);
  env_.Src().Write("fits.bin", std::string((1 << 20) + 1, 'f'));
  env_.Src().Write("big.bin", std::string(2 << 20, 'b'));
  Record(plan.get(), "fits.bin", now - 100, kLogTooLarge, 0, 0, now - 100);  // too large before
  CatchUpState state = ReadCatchUpState(plan->GetPlanFolder());
  state.walked = plat::Now() + 100000;
  ASSERT_TRUE(WriteCatchUpState(plan->GetPlanFolder(), state));
  plan->SetInitDone(false);
  CSimpleTask restarted(plan.get());
  restarted.Maintain();  // reads the state; no walk before the first backup
  plan->SetInitDone(true);
  restarted.Maintain();
  ResetSettingsCache();
  LogRecord rec;
  EXPECT_TRUE(bvtest::ScratchEnv::RecordOf(plan.get(), Src("fits.bin"), &rec) && rec.IsPending());
  // Noted all the same: the journal's walk says that it skips it.
  EXPECT_TRUE(bvtest::ScratchEnv::RecordOf(plan.get(), Src("big.bin"), &rec));
}

}  // namespace
