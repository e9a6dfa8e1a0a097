// A plan's task (run file, first backup, journal and catch-up walks, missed and manual runs), the
// walks over its sources and the rules settled per folder; real plans, files and threads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <set>
#include <thread>

#include "EventWaiter.h"
#include "common/ActivityLog.h"
#include "common/EngineEvents.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "destinations/StoreMarker.h"
#include "engine/CSimpleEngine.h"
#include "engine/CTask.h"
#include "engine/CWorkingThread.h"
#include "engine/CatchUpRequests.h"
#include "engine/CatchUpWalk.h"
#include "engine/FolderRules.h"
#include "engine/PlanList.h"
#include "engine/RunFile.h"
#include "engine/SourceWalk.h"
#include "plans/Schedule.h"
#include "platform/base/Text.h"
#include "platform/process/Clock.h"
#include "platform/volumes/Paths.h"
#include "support/EventCollector.h"
#include "support/FtpRelay.h"
#include "support/FtpServer.h"
#include "support/ScratchEnv.h"

namespace fs = std::filesystem;
using enginetest::EventWaiter;

namespace {

class TaskTest : public ::testing::Test {
 protected:
  std::string Src(const std::string& rel) { return env_.Src().SystemOf(rel); }
  std::string Latest(uint32_t id, const std::string& rel) {
    return env_.Latest("store" + std::to_string(id), rel);
  }
  void Record(CPlan* plan, const std::string& rel, int64_t changeTime, uint16_t state = 0,
              uint32_t failures = 0, int64_t lastAttempt = 0, int64_t lastBackup = 0) {
    LogRecord rec;
    ASSERT_TRUE(rec.SetPath(Src(rel)));
    rec.changeTime = changeTime;
    rec.state = state;
    rec.failedAttempts = failures;
    rec.lastAttemptTime = lastAttempt;
    rec.lastBackupTime = lastBackup;
    ASSERT_EQ(plan->Database()->WriteRecord(0, rec), 0u);
  }
  std::unique_ptr<bvtest::TestPlan> Plan(uint32_t id, bool initDone = false) {
    return env_.MakePlan(id, kUnitDaily, 3, {env_.Src().System()}, nullptr, initDone);
  }
  template <class Edit>
  static void EditRules(CPlan* plan, Edit edit) {
    std::lock_guard<std::recursive_mutex> guard(plan->Lock());
    edit(plan->Rules());
  }
  static void AddRule(CPlan* plan, int32_t kind, const std::string& mask) {
    EditRules(plan,
              [&](CRuleSet* r) { r->AddGroup(kind, "rule " + mask, "x")->AddItem(mask, ""); });
  }
  void SetWriteTime(const std::string& rel, int64_t seconds, long nanoseconds) {
    const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, env_.Src().NativeOf(rel).c_str(), times, 0), 0);
  }
  uint16_t StateOf(CPlan* plan, const std::string& rel) {
    LogRecord rec;
    if (!bvtest::ScratchEnv::RecordOf(plan, Src(rel), &rec)) return 0xFFFF;
    return rec.state;
  }

  bvtest::ScratchEnv env_;
};

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
  // No run time for a continuous plan, but where its store is, and since
  // when it is away, for the next start.
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

  // A change noted through the plan is copied once a second has passed since
  // the note, before its whole-second change time would say so, and the task
  // is due for it then, whatever its schedule. Noted just after a second of
  // the clock turns, so that a second and a bit later the journal still
  // counts the change as fresh.
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
  // A change that settled while the plan is blocked is the run's that finds
  // it blocked: the queue does not run the plan again at every look for it.
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
  std::vector<std::string> all = {"new.txt",
                                  "copied.txt",
                                  "changed.txt",
                                  "gone.txt",
                                  "pending.txt",
                                  "sub/deep.txt",
                                  ".hidden.txt",
                                  "skip.tmp",
                                  "evol/other-volume.txt",
                                  "later/added.txt",
                                  "sub/\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80.doc",
                                  "\xc3\x84\xc3\x96.doc"};
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
  // Copied for real (the copy keeps the file's stamp), then written again within the second
  // the copy began, or put back with an older time (as "cp -p" does): both are noted.
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

  // The journal is recreated: every file is noted again, while others keep the machine busy
  // without end: the walk waits for them, but not for ever.
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

// Back up now runs a manual plan on its thread and switches it off; shut down deletes a plan.
TEST_F(TaskTest, ManualPlansRunOnTheirThreadAndShutDownDeletesThePlan) {
  env_.Src().Write("m.txt", "m");
  auto plan = env_.MakePlan(9, kUnitManual, 3, {env_.Src().System()});
  ASSERT_TRUE(plan);
  plan->SetEnabled(false, 0);  // made enabled without a thread; start it properly
  EventWaiter waiter;
  plan->SetEnabled(true, 0);
  ASSERT_NE(plan->Thread(), nullptr);
  {
    std::lock_guard<std::recursive_mutex> g(plan->Lock());
    ASSERT_NE(plan->Task(), nullptr);
    EXPECT_GT(plan->Task()->NextDue(), plat::Now() + 1000000);
    plan->Task()->SetForced(true);
  }
  EXPECT_EQ(waiter.WaitFor(kEvRunEnds, 9).code, kEvRunEnds);
  EXPECT_EQ(waiter.WaitFor(kEvPlanDisabled, 9).value, 0);
  EXPECT_FALSE(plan->Enabled());
  EXPECT_EQ(bvtest::ReadNative(Latest(9, "m.txt")), "m");

  std::promise<void> gone;
  std::future<void> goneFuture = gone.get_future();
  auto owned = env_.MakePlan(10, kUnitDaily, 3, {}, nullptr, true, "", [&] { gone.set_value(); });
  ASSERT_TRUE(owned);
  owned->SetEnabled(false, 0);
  owned->SetEnabled(true, 0);
  ASSERT_NE(owned->Thread(), nullptr);
  owned.release()->ShutDown();  // the thread deletes the plan when it ends
  EXPECT_EQ(goneFuture.wait_for(std::chrono::minutes(1)), std::future_status::ready);
}

// Fixed drives leave out USB, 1394 and removable ones; a plan walks "group1" or the machine.
TEST_F(TaskTest, WhatAPlanWalks) {
  bvtest::TempDir f, g, h, i;
  env_.SetExtra("[F]\nRoot=" + f.Native() + "\nType=fixed\nBus=usb\n" + "[G]\nRoot=" + g.Native() +
                "\nType=removable\nBus=none\n" + "[H]\nRoot=" + h.Native() +
                "\nType=fixed\nBus=1394\n" + "[I]\nRoot=" + i.Native() +
                "\nType=fixed\nBus=none\n");
  EXPECT_EQ(FixedDriveRoots(), (std::vector<std::string>{"C:\\", "E:\\", "I:\\"}));

  auto plan = env_.MakePlan(1, kUnitDaily, 3, {"C:\\DATA", "D:\\x"});
  ASSERT_TRUE(plan);
  std::vector<std::string> folders;
  bool whole = true;
  ASSERT_TRUE(WalkItemsOfPlan(plan.get(), &folders, &whole));
  EXPECT_FALSE(whole);
  EXPECT_EQ(folders, (std::vector<std::string>{"C:\\DATA", "D:\\x"}));
  for (bool enabled : {false, true}) {
    EditRules(plan.get(), [&](CRuleSet* r) {
      r->FindGroup(kRuleInclude, "group1")->AddItem("*.JPG", "", enabled);
    });
    ASSERT_TRUE(WalkItemsOfPlan(plan.get(), &folders, &whole));
    EXPECT_EQ(whole, enabled) << "a disabled item does not count";
  }
  EXPECT_TRUE(folders.empty());
  EditRules(plan.get(), [](CRuleSet* r) { r->RemoveGroup(kRuleInclude, "group1"); });
  EXPECT_FALSE(WalkItemsOfPlan(plan.get(), &folders, &whole));
}

// The first-backup walk leaves out what must not be copied and pauses after every fifth entry.
TEST_F(TaskTest, WalkSkipsWhatMustNotBeCopied) {
  env_.Src().Write("keep.doc", "k");
  env_.Src().Write("deep/er/keep2.doc", "k2");
  env_.Src().Write("drop.tmp", "t");
  env_.Src().Write(".dot/inner.doc", "h");
  env_.Src().Write("big.bin", std::string(2 * 1024 * 1024 + 1, 'b'));
  env_.Src().Write("nested-store/Brevanto.dat", StoreMarkerText(NewStoreId()));
  env_.Src().Write("nested-store/Latest/x.doc", "x");
  env_.Src().Write("disk/on-another-volume.doc", "v");
  for (int i = 0; i < 40; ++i) env_.Src().Write("cache/c" + std::to_string(i) + ".doc", "c");
  // Names the store cannot hold: counted when the rules take them.
  env_.Src().Write("deep/a\\b.doc", "b");
  env_.Src().Write("\xff\xfe.doc", "u");
  env_.Src().Write("c\\d.tmp", "t");
  env_.SetExtra("[F]\nRoot=" + env_.Src().NativeOf("disk") + "\nType=fixed\nBus=none\n");
  const plat::MountBarriers barriers;
  EXPECT_TRUE(barriers.Stops("C:\\proc"));
  EXPECT_TRUE(barriers.Stops("C:\\sys\\"));
  EXPECT_FALSE(barriers.Stops("C:\\"));
  EXPECT_FALSE(barriers.Stops(env_.Src().System()));
  SetBackupFileMaxSize(1);
  auto plan = Plan(2);
  ASSERT_TRUE(plan);
  AddRule(plan.get(), kRuleAlwaysExclude, "*.tmp");
  AddRule(plan.get(), kRuleAlwaysExclude, env_.Src().SystemOf("cache"));
  plan->WalkCounter() = 3;
  ResetWalkPauseStats();
  env_.SetPressure("busy");
  WalkFolder(plan.get(), env_.Src().System());
  ResetSettingsCache();
  EXPECT_EQ(bvtest::ReadNative(Latest(2, "keep.doc")), "k");
  EXPECT_EQ(bvtest::ReadNative(Latest(2, "deep/er/keep2.doc")), "k2");
  for (const char* left : {"drop.tmp", ".dot/inner.doc", "big.bin", "nested-store/Latest/x.doc",
                           "disk/on-another-volume.doc", "cache/c0.doc"})
    EXPECT_FALSE(fs::exists(Latest(2, left))) << left;
  EXPECT_EQ(plan->UnheldNameCount(), 2u);
  const WalkPauseStats stats = GetWalkPauseStats();
  EXPECT_GE(stats.entries, 9u);
  EXPECT_LT(stats.entries, 40u) << "the excluded folder is not listed";
  EXPECT_EQ(stats.pauses, (3 + stats.entries) / 5);
  EXPECT_EQ(plan->WalkCounter(), (3 + stats.entries) % 5);
  EXPECT_GE(stats.pauseMicros, stats.pauses * 1000);

  // On an idle machine the walk does not pause at all.
  env_.SetPressure("idle");
  ResetWalkPauseStats();
  env_.Src().Write("keep.doc", "changed");
  env_.Src().Write("new.doc", "n");
  WalkFolder(plan.get(), env_.Src().System());
  EXPECT_GE(GetWalkPauseStats().entries, 9u);
  EXPECT_EQ(GetWalkPauseStats().pauses, 0u);
  EXPECT_EQ(bvtest::ReadNative(Latest(2, "keep.doc")), "k");
  EXPECT_EQ(bvtest::ReadNative(Latest(2, "new.doc")), "n");
  EXPECT_EQ(plan->UnheldNameCount(), 2u) << "each told once";
}

// A server on this machine whose login lands in a folder nothing here names (a virtual user):
// a plan protecting the whole served tree copies what is there, never its own store again.
TEST_F(TaskTest, AServerStoreInsideTheSourcesIsNotCopiedIntoItself) {
  bvtest::FtpServer ftp;
  if (!ftp.Ok()) GTEST_SKIP() << ftp.Reason();
  bvtest::WriteNative(ftp.NativeOf("/bvuser/docs/a.txt"), "a");
  PlanSettings s = bvtest::ScratchEnv::Settings("Served", "");
  s.id = 6;
  s.storageType = kStorageFtp;
  s.ftp = ftp.Settings("loop/");
  auto plan = std::make_unique<bvtest::TestPlan>(nullptr);
  ASSERT_TRUE(plan->ApplySettings(s, kApplyCreate));
  std::string served;
  ASSERT_TRUE(plat::ToSystemPath(ftp.NativeOf(""), &served));
  bvtest::ScratchEnv::IncludeOnly(plan.get(), served);
  plan->EnableWithoutThread();
  CSimpleTask(plan.get()).Run();
  const std::string latest = ftp.NativeOf("/bvuser/loop/Latest/C");
  EXPECT_EQ(bvtest::ReadNative(latest + ftp.NativeOf("/bvuser/docs/a.txt")), "a");
  bvtest::WriteNative(ftp.NativeOf("/bvuser/docs/b.txt"), "b");
  WalkFolder(plan.get(), served);
  EXPECT_EQ(bvtest::ReadNative(latest + ftp.NativeOf("/bvuser/docs/b.txt")), "b");
  for (const auto& [rel, bytes] : bvtest::FilesBelow(latest))
    EXPECT_EQ(rel.find("/loop/"), std::string::npos) << rel;
  std::string copy;  // nor is a change there offered again
  ASSERT_TRUE(plat::ToSystemPath(latest + ftp.NativeOf("/bvuser/docs/b.txt"), &copy));
  EXPECT_TRUE(IsInsideStore(copy));

  // Two more plans on the same store, both connected before either looks for it: each writes
  // its own nonce over the one marker, and whichever wrote last, no plan copies the store.
  std::vector<std::unique_ptr<bvtest::TestPlan>> sharing;
  for (uint32_t twin : {9u, 10u}) {
    PlanSettings t = s;
    t.id = twin;
    sharing.push_back(std::make_unique<bvtest::TestPlan>(nullptr));
    ASSERT_TRUE(sharing.back()->ApplySettings(t, kApplyCreate));
    bvtest::ScratchEnv::IncludeOnly(sharing.back().get(), served);
    sharing.back()->EnableWithoutThread();
    sharing.back()->Destination()->Refresh();
  }
  for (int round = 0; round < 2; ++round) {
    bvtest::WriteNative(ftp.NativeOf("/bvuser/docs/c.txt"), std::string(round + 1, 'c'));
    for (auto& twin : sharing) {
      CSimpleTask(twin.get()).Run();
      WalkFolder(twin.get(), served);
    }
  }
  EXPECT_TRUE(fs::exists(latest + ftp.NativeOf("/bvuser/docs/c.txt")));
  // The store deleted on the server while the plan runs: its marker is placed and pinned again
  // before a copy makes its folders anew, so the new store is never copied into itself.
  // The copy that found its folder gone is redone at once, not logged as failed.
  {
    bvtest::EventCollector gone;
    fs::remove_all(ftp.NativeOf("/bvuser/loop"));
    bvtest::WriteNative(ftp.NativeOf("/bvuser/docs/d.txt"), "d");
    WalkFolder(plan.get(), served);
    EXPECT_TRUE(fs::exists(ftp.NativeOf("/bvuser/loop/Brevanto.dat")));
    EXPECT_EQ(bvtest::ReadNative(latest + ftp.NativeOf("/bvuser/docs/d.txt")), "d");
    EXPECT_EQ(gone.CountOf(kEvFileFailed), 0u);
  }
  // Deleted while the plan was not connected: the store is filled anew at the next connection.
  fs::remove_all(ftp.NativeOf("/bvuser/loop"));
  plan->Destination()->Close();
  CSimpleTask(plan.get()).Run();
  EXPECT_EQ(bvtest::ReadNative(latest + ftp.NativeOf("/bvuser/docs/a.txt")), "a");
  for (const auto& [rel, bytes] : bvtest::FilesBelow(latest))
    EXPECT_EQ(rel.find("/loop/"), std::string::npos) << rel;

  // Copies of the store's marker planted in the served tree by another user hide nothing,
  // and are told once: the real store, pinned at the plan's connection, is still left out.
  bvtest::EventCollector events;
  for (const char* planted : {"/bvuser/docs/shared/", "/bvuser/docs/private/"}) {
    const std::string folder = ftp.NativeOf(planted);
    fs::create_directories(folder);
    fs::copy_file(ftp.NativeOf("/bvuser/loop/Brevanto.dat"), folder + "Brevanto.dat");
    bvtest::WriteNative(folder + "p.txt", planted);
    ASSERT_EQ(chown((folder + "Brevanto.dat").c_str(), 4242, 4242), 0);
  }
  chmod(ftp.NativeOf("/bvuser/docs/private/Brevanto.dat").c_str(), 0600);
  CSimpleTask(plan.get()).Run();
  WalkFolder(plan.get(), served);
  for (const char* planted : {"/bvuser/docs/shared/", "/bvuser/docs/private/"})
    EXPECT_EQ(bvtest::ReadNative(latest + ftp.NativeOf(planted) + "p.txt"), planted);
  for (const auto& [rel, bytes] : bvtest::FilesBelow(latest))
    EXPECT_EQ(rel.find("/loop/"), std::string::npos) << rel;
  WalkFolder(plan.get(), served);
  EXPECT_EQ(events.CountOf(kEvInvalidContent), 2u) << "each planted marker told once";

  // A plan whose store lies outside its folders: copies of its marker, nonce and all (readable
  // where the server keeps files readable), planted by another user above its folder and
  // inside it, neither pin the store there nor stop the plan; both folders are backed up. Its
  // store, inside the first plan's folders, is left out of that plan's walks.
  const std::string team = ftp.NativeOf("/bvuser/team/");
  PlanSettings farSettings = s;
  farSettings.id = 11;
  farSettings.ftp = ftp.Settings("far/");
  auto far = std::make_unique<bvtest::TestPlan>(nullptr);
  ASSERT_TRUE(far->ApplySettings(farSettings, kApplyCreate));
  std::string ledger;
  ASSERT_TRUE(plat::ToSystemPath(team + "ledger", &ledger));
  bvtest::WriteNative(team + "ledger/inner/l.txt", "l");
  bvtest::ScratchEnv::IncludeOnly(far.get(), ledger);
  far->EnableWithoutThread();
  far->Destination()->Refresh();
  for (const std::string& planted : {team, team + "ledger/inner/"}) {
    fs::copy_file(ftp.NativeOf("/bvuser/far/Brevanto.dat"), planted + "Brevanto.dat");
    ASSERT_EQ(chown((planted + "Brevanto.dat").c_str(), 4242, 4242), 0);
  }
  events.Clear();
  CSimpleTask(far.get()).Run();
  EXPECT_EQ(bvtest::ReadNative(ftp.NativeOf("/bvuser/far/Latest/C") + team + "ledger/inner/l.txt"),
            "l");
  EXPECT_EQ(events.CountOf(kEvStoreState), 0u);
  CSimpleTask(plan.get()).Run();
  WalkFolder(plan.get(), served);
  EXPECT_FALSE(fs::exists(latest + ftp.NativeOf("/bvuser/far")));

  // The login's folder is itself protected: the store would hold it, so nothing is sent and
  // the plan says why, once.
  ASSERT_EQ(chown(ftp.NativeOf("/bvuser/docs").c_str(), 65534, 65534), 0);  // the server's user
  PlanSettings held = s;
  held.id = 7;
  held.ftp = ftp.Settings("docs/");
  auto holder = std::make_unique<bvtest::TestPlan>(nullptr);
  ASSERT_TRUE(holder->ApplySettings(held, kApplyCreate));
  std::string docs;
  ASSERT_TRUE(plat::ToSystemPath(ftp.NativeOf("/bvuser/docs"), &docs));
  bvtest::ScratchEnv::IncludeOnly(holder.get(), docs);
  holder->EnableWithoutThread();
  events.Clear();
  CSimpleTask task(holder.get());
  for (int run = 0; run < 2; ++run) task.Run();
  EXPECT_FALSE(fs::exists(ftp.NativeOf("/bvuser/docs/Latest")));
  const std::vector<EventData> said = events.Events();
  const auto holds = std::find_if(said.begin(), said.end(), [](const EventData& e) {
    return e.code == kEvStoreState && e.value == 2;
  });
  ASSERT_NE(holds, said.end());
  EXPECT_EQ(
      std::count_if(holds + 1, said.end(),
                    [](const EventData& e) { return e.code == kEvStoreState && e.value == 2; }),
      0);
  std::string record;  // the log says it in words
  ASSERT_TRUE(BuildLogRecord(*holds, nullptr, "now", &record));
  EXPECT_NE(record.find(ftp.NativeOf("/bvuser/docs")), std::string::npos) << record;

  // A server that refuses to change modes leaves every copy readable by its other users: the
  // plan says so once, as a warning (logged as one, not as a store that stops the plan), and
  // only there.
  auto warnings = [&](const char* key) {  // words with a cause ("%s") match up to it
    const std::vector<EventData> all = events.Events();
    const std::string words = GetText("STORE", key);
    return std::count_if(all.begin(), all.end(), [&](const EventData& e) {
      std::string record;
      return e.code == kEvStoreState &&
             e.text3.compare(0, words.find("%s"), words, 0, words.find("%s")) == 0 &&
             BuildLogRecord(e, nullptr, "now", &record) &&
             record.rfind("#Backup Store Warning\n", 0) == 0;
    });
  };
  EXPECT_EQ(warnings("SERVER_KEEPS_COPIES_READABLE"), 0);
  // A private file is held back from such a server (said once, counted); the others go.
  bvtest::WriteNative(ftp.NativeOf("/bvuser/mine/key.pem"), "secret");
  bvtest::WriteNative(ftp.NativeOf("/bvuser/mine/n.txt"), "n");
  ASSERT_EQ(chmod(ftp.NativeOf("/bvuser/mine/key.pem").c_str(), 0600), 0);
  std::string mine;
  ASSERT_TRUE(plat::ToSystemPath(ftp.NativeOf("/bvuser/mine"), &mine));
  ASSERT_TRUE(ftp.RefuseModes());
  PlanSettings open = s;
  open.id = 8;
  open.ftp = ftp.Settings("open/");
  auto exposed = std::make_unique<bvtest::TestPlan>(nullptr);
  ASSERT_TRUE(exposed->ApplySettings(open, kApplyCreate));
  bvtest::ScratchEnv::IncludeOnly(exposed.get(), mine);
  exposed->EnableWithoutThread();
  CSimpleTask refused(exposed.get());
  for (int run = 0; run < 2; ++run) refused.Run(), WalkFolder(exposed.get(), mine);
  EXPECT_EQ(warnings("SERVER_KEEPS_COPIES_READABLE"), 1);
  const std::string openLatest = ftp.NativeOf("/bvuser/open/Latest/C");
  EXPECT_EQ(bvtest::ReadNative(openLatest + ftp.NativeOf("/bvuser/mine/n.txt")), "n");
  EXPECT_FALSE(fs::exists(openLatest + ftp.NativeOf("/bvuser/mine/key.pem")));
  EXPECT_EQ(exposed->UnheldNameCount(), 1u);
  const std::vector<EventData> all = events.Events();
  EXPECT_EQ(std::count_if(all.begin(), all.end(),
                          [](const EventData& e) {
                            return e.code == kEvNotProtected &&
                                   e.text3 == GetText("NOT_PROTECTED", "REASON_SERVER_NOT_PRIVATE");
                          }),
            1);

  // A server that tells nothing of its files (no MLST) and writes as another user: nothing
  // proves which folder here holds its marker, so nothing is pinned, and the plan says so once.
  bvtest::FtpRelay relay(ftp.Port());
  relay.SetFault(bvtest::FtpRelay::Fault::kNoMlst);
  PlanSettings blind = open;
  blind.id = 12;
  blind.ftp = ftp.Settings("blind/");
  blind.ftp.port = relay.Port();
  auto unproven = std::make_unique<bvtest::TestPlan>(nullptr);
  ASSERT_TRUE(unproven->ApplySettings(blind, kApplyCreate));
  bvtest::ScratchEnv::IncludeOnly(unproven.get(), docs);
  unproven->EnableWithoutThread();
  CSimpleTask told(unproven.get());
  for (int run = 0; run < 2; ++run) told.Run();
  EXPECT_EQ(warnings("SERVER_STORE_UNPROVEN"), 1);

  // A folder the server will not write: the plan says it took no marker, and why, once.
  fs::create_directories(ftp.NativeOf("/bvuser/ro"));
  ASSERT_EQ(chmod(ftp.NativeOf("/bvuser/ro").c_str(), 0555), 0);
  PlanSettings readOnly = open;
  readOnly.id = 13;
  readOnly.ftp = ftp.Settings("ro/");
  auto markless = std::make_unique<bvtest::TestPlan>(nullptr);
  ASSERT_TRUE(markless->ApplySettings(readOnly, kApplyCreate));
  bvtest::ScratchEnv::IncludeOnly(markless.get(), ledger);
  markless->EnableWithoutThread();
  CSimpleTask unmarked(markless.get());
  for (int run = 0; run < 2; ++run) unmarked.Run();
  EXPECT_EQ(warnings("SERVER_MARKER_REFUSED"), 1);
  // A slow server (100 KB/s: it answers the marker's last byte 2.6 s after it, beyond the
  // time-out of 1 s): the marker lands, the store is found, nothing false is said of it.
  ASSERT_TRUE(ftp.LimitBandwidth(100));
  PlanSettings slowSettings = open;
  slowSettings.id = 14;
  slowSettings.ftp = ftp.Settings("slow/");
  slowSettings.ftp.timeout = 1;
  auto slow = std::make_unique<bvtest::TestPlan>(nullptr);
  ASSERT_TRUE(slow->ApplySettings(slowSettings, kApplyCreate));
  bvtest::ScratchEnv::IncludeOnly(slow.get(), ledger);
  slow->EnableWithoutThread();
  CSimpleTask patient(slow.get());
  for (int run = 0; run < 2; ++run) patient.Run(), WalkFolder(slow.get(), ledger);
  EXPECT_EQ(warnings("SERVER_STORE_UNPROVEN"), 1);
  EXPECT_EQ(bvtest::ReadNative(ftp.NativeOf("/bvuser/slow/Latest/C") + team + "ledger/inner/l.txt"),
            "l");
}

// A disabled plan walks nothing; the plan list refuses removable disks.
TEST_F(TaskTest, WalksOnlyWhatThePlanMayTake) {
  env_.Src().Write("a.doc", "a");
  auto plan = Plan(4);
  ASSERT_TRUE(plan);
  bvtest::EventCollector events;
  plan->SetEnabled(false, 0);
  WalkFolder(plan.get(), env_.Src().System());
  EXPECT_EQ(events.CountOf(kEvFileBackupBegins), 0u);
  EXPECT_FALSE(fs::exists(Latest(4, "a.doc")));

  bvtest::TempDir removable;
  bvtest::WriteNative(removable.NativeOf("r.doc"), "r");
  env_.SetExtra("[G]\nRoot=" + removable.Native() + "\nType=removable\nBus=usb\n");
  PlanList list;
  auto listed = env_.MakePlan(5, kUnitDaily, 3, {env_.Src().System(), "G:\\"}, &list);
  auto unlisted = env_.MakePlan(15, kUnitDaily, 3, {"G:\\"});
  ASSERT_TRUE(listed && unlisted);
  WalkFolder(listed.get(), "G:\\");
  WalkFolder(listed.get(), env_.Src().System());
  EXPECT_EQ(events.CountOf(kEvFileBackupBegins), 1u);
  EXPECT_EQ(bvtest::ReadNative(Latest(5, "a.doc")), "a");
  WalkFolder(unlisted.get(), "G:\\");
  EXPECT_EQ(events.CountOf(kEvFileCopied), 2u);
}

// The rules settled per folder answer as the rule set does, for every kind of mask and file.
TEST_F(TaskTest, FolderRulesAnswerAsTheRuleSetForEveryFile) {
  for (const char* rel : {"a.doc", "b.JPG", ".hid.doc", "ro.doc", "\xc3\xa9t\xc3\xa9.doc", "x~",
                          "docs/x.doc", "docs/y.tmp", "docs/deep/z.doc", "docs/deep/Desktop.ini",
                          "cache/c.doc", "cache2/c.doc", "cache/GPUCache/g.doc", ".#keep/k.doc"}) {
    env_.Src().Write(rel, "x");
  }
  fs::permissions(env_.Src().NativeOf("ro.doc"), fs::perms::owner_write, fs::perm_options::remove);
  const std::string src = env_.Src().System();
  auto in = [&](const char* rel) { return env_.Src().SystemOf(rel); };
  struct Rule {
    int32_t kind;
    std::string mask;
    bool pathOnly = false;
    uint32_t attributes = 0;
    std::string scope = {};
  };
  const std::vector<std::vector<Rule>> sets = {
      {{kRuleInclude, src},
       {kRuleExclude, "*.tmp"},
       {kRuleAlwaysExclude, in("docs"), true},
       {kRuleAlwaysExclude, "!", false, kRuleAttrHidden}},
      {{kRuleInclude, "*.doc"},
       {kRuleInclude, "*.jpg"},
       {kRuleExclude, in("cache")},
       {kRuleExclude, "*\\deep\\*", false, 0, in("docs")},
       {kRuleAlwaysExclude, "*\\desktop.ini"},
       {kRuleExclude, "*\\.h*"},
       {kRuleAlwaysExclude, "*\\ro.doc"},
       {kRuleInclude, in("docs\\deep\\z.doc")},
       {kRuleExclude, "*", false, kRuleAttrReadOnly}},
      {{kRuleInclude, "C:\\*"},
       {kRuleAlwaysExclude, in("cache")},
       {kRuleAlwaysExclude, src, true},
       {kRuleAlwaysExclude, "*\\GPUCache\\*"},
       {kRuleAlwaysExclude, "*~"},
       {kRuleAlwaysExclude, "*\\.#*"}},
      {{kRuleInclude, src + "*"},
       {kRuleExclude, in("do?s") + "\\*"},
       {kRuleInclude, in("docs\\deep\\")},
       {kRuleAlwaysExclude, in("cache\\c.doc")},
       {kRuleInclude, "*\\\xc3\x89T\xc3\x89.DOC"}},
  };
  for (size_t n = 0; n < sets.size(); ++n) {
    CRuleSet rules;
    for (const Rule& rule : sets[n]) {
      CRuleGroup* group = rules.AddGroup(rule.kind, "g", "text");
      if (!rule.scope.empty()) group->SetPattern(rule.scope);
      group->AddItem(rule.mask, "", true, rule.pathOnly, rule.attributes);
    }
    size_t files = 0, taken = 0;
    for (const char* rel :
         {"", "docs", "docs/deep", "cache", "cache2", "cache/GPUCache", ".#keep"}) {
      const std::string folder = plat::WithSeparator(in(rel));
      FolderRules folderRules;
      folderRules.Build(rules, plat::ToUpper(folder));
      plat::DirSearch search;
      plat::FindData entry;
      ASSERT_TRUE(search.Open(folder + "*", &entry));
      do {
        if (entry.attributes & plat::kAttrDirectory) continue;
        ++files;
        const bool expected = rules.Match(folder + entry.name);
        taken += expected;
        EXPECT_EQ(folderRules.Takes(entry.name, entry.attributes), expected)
            << "rule set " << n << ": " << folder + entry.name;
      } while (search.Next(&entry));
    }
    EXPECT_EQ(files, 14u);
    EXPECT_GT(taken, 0u) << "rule set " << n;
    EXPECT_LT(taken, files) << "rule set " << n;
  }
}

}  // namespace
