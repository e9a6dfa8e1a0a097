// A plan's task: its run file, pre-check, first backup, journal walk, missed
// scheduled runs and manual plans, with real plans, files and threads.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "common/EngineEvents.h"
#include "common/Settings.h"
#include "engine/CTask.h"
#include "engine/CWorkingThread.h"
#include "engine/CatchUpRequests.h"
#include "engine/RunFile.h"
#include "plans/Schedule.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "support/EventCollector.h"
#include "support/ScratchEnv.h"

namespace fs = std::filesystem;

namespace {

// Waits (without a time limit of its own; ctest's timeout ends a hang) for
// an event that matches.
class EventWaiter : public CBaseClass {
 public:
  EventWaiter() {
    Subscribe(&UiChannel(), this);
    Subscribe(&WorkerChannel(), this);
  }
  ~EventWaiter() override { DisconnectAll(); }
  void OnEvent(CMEvent*, const EventData& e) override {
    std::lock_guard<std::mutex> g(lock_);
    events_.push_back(e);
    changed_.notify_all();
  }
  EventData WaitFor(int32_t code, uint32_t planId) {
    std::unique_lock<std::mutex> g(lock_);
    EventData found;
    changed_.wait(g, [&] {
      for (const auto& e : events_) {
        if (e.code == code && e.planId == planId) {
          found = e;
          return true;
        }
      }
      return false;
    });
    return found;
  }

 private:
  std::mutex lock_;  // guards events_
  std::condition_variable changed_;
  std::vector<EventData> events_;
};

std::vector<int32_t> Codes(const std::vector<EventData>& events, uint32_t planId) {
  std::vector<int32_t> codes;
  for (const auto& e : events) {
    if (e.planId == planId) codes.push_back(e.code);
  }
  return codes;
}

std::vector<int32_t> Without(std::vector<int32_t> codes, std::initializer_list<int32_t> drop) {
  std::vector<int32_t> kept;
  for (int32_t c : codes) {
    if (std::find(drop.begin(), drop.end(), c) == drop.end()) kept.push_back(c);
  }
  return kept;
}

TEST(RunFile, WritesRunBootAndReadableTime) {
  bvtest::TempDir dir;
  const std::string folder = dir.System() + "\\";
  int64_t last = -1;
  EXPECT_FALSE(ReadRunFile(folder, &last));
  ASSERT_TRUE(WriteRunFile(folder, 1234567890));
  const std::string text = dir.Read("run.ini");
  ASSERT_EQ(text.rfind("run=1234567890\n", 0), 0u) << text;
  const size_t boot = text.find("boot=");
  const size_t asc = text.find("!run=");
  ASSERT_NE(boot, std::string::npos);
  ASSERT_NE(asc, std::string::npos);
  EXPECT_LT(boot, asc);
  const int64_t bootValue = std::stoll(text.substr(boot + 5));
  EXPECT_LE(std::llabs(bootValue - plat::GetBootTime()), 2);
  ASSERT_TRUE(ReadRunFile(folder, &last));
  EXPECT_EQ(last, 1234567890);

  // Only a first key "run" counts.
  dir.Write("run.ini", "boot=5\nrun=7\n");
  ASSERT_TRUE(ReadRunFile(folder, &last));
  EXPECT_EQ(last, 0);
  dir.Write("run.ini", std::string("\x01\xff junk without equals\n") + std::string(100000, 'x'));
  ASSERT_TRUE(ReadRunFile(folder, &last));
  EXPECT_EQ(last, 0);
}

class TaskTest : public ::testing::Test {
 protected:
  std::string Src(const std::string& rel) { return env_.Src().SystemOf(rel); }
  std::string Latest(uint32_t id, const std::string& rel) {
    return env_.Latest("store" + std::to_string(id), rel);
  }
  // A settled pending record for a source file.
  void Pend(CPlan* plan, const std::string& rel, int64_t changeTime, uint16_t state = 0,
            uint32_t failures = 0, int64_t lastAttempt = 0) {
    LogRecord rec;
    ASSERT_TRUE(rec.SetPath(Src(rel)));
    rec.changeTime = changeTime;
    rec.state = state;
    rec.failedAttempts = failures;
    rec.lastAttemptTime = lastAttempt;
    ASSERT_EQ(plan->Database()->WriteRecord(0, rec), 0u);
  }
  uint16_t StateOf(CPlan* plan, const std::string& rel) {
    LogRecord rec;
    if (!bvtest::ScratchEnv::RecordOf(plan, Src(rel), &rec)) return 0xFFFF;
    return rec.state;
  }

  bvtest::ScratchEnv env_;
};

TEST_F(TaskTest, LastRunComesFromRunFileElsePlan) {
  auto plan = env_.MakePlan(1, kUnitDaily, 3, {});
  ASSERT_TRUE(plan);
  plan->SetLastTime(5000);
  CSimpleTask task(plan.get());
  task.RestoreLastRun();
  EXPECT_EQ(task.LastRun(), 5000);

  ASSERT_TRUE(WriteRunFile(plan->GetPlanFolder(), 7000));
  task.RestoreLastRun();
  EXPECT_EQ(task.LastRun(), 7000);

  ASSERT_TRUE(WriteRunFile(plan->GetPlanFolder(), plat::Now() + 100000));
  const int64_t before = plat::Now();
  task.RestoreLastRun();
  EXPECT_GE(task.LastRun(), before);
  EXPECT_LE(task.LastRun(), plat::Now());

  task.MarkRun();
  EXPECT_EQ(plan->LastTime(), task.LastRun());
  EXPECT_GE(task.NextDue(), task.LastRun());
}

TEST_F(TaskTest, PreCheckReportsAvailabilityChanges) {
  auto plan = env_.MakePlan(2, kUnitDaily, 3, {});
  ASSERT_TRUE(plan);
  CSimpleTask task(plan.get());
  bvtest::EventCollector events;
  task.PreCheck();
  EXPECT_EQ(events.CountOf(kEvAvailabilityChanged), 0u);
  env_.SetStorePresent(false);
  task.PreCheck();
  task.PreCheck();
  env_.SetStorePresent(true);
  task.PreCheck();
  std::vector<int32_t> values;
  for (const auto& e : events.Events()) {
    if (e.code != kEvAvailabilityChanged) continue;
    EXPECT_EQ(e.planId, 2u);
    EXPECT_EQ(e.text1, "Plan 2");
    values.push_back(e.value);
  }
  EXPECT_EQ(values, (std::vector<int32_t>{0, 1}));
}

TEST_F(TaskTest, FirstBackupWalksSourcesOnce) {
  env_.Src().Write("a.txt", "a");
  env_.Src().Write("sub/deeper/b.txt", "b");
  env_.Src().Write(".hidden.txt", "h");
  env_.Src().Write(".hdir/c.txt", "c");
  env_.Src().Write("old-store/Brevanto.dat", "");
  env_.Src().Write("old-store/d.txt", "d");
  auto plan = env_.MakePlan(3, kUnitDaily, 3, {env_.Src().System()});
  ASSERT_TRUE(plan);
  CSimpleTask task(plan.get());
  bvtest::EventCollector events;
  task.MarkRun();
  task.Run();

  EXPECT_EQ(bvtest::ReadNative(Latest(3, "a.txt")), "a");
  EXPECT_EQ(bvtest::ReadNative(Latest(3, "sub/deeper/b.txt")), "b");
  EXPECT_FALSE(fs::exists(Latest(3, ".hidden.txt")));
  EXPECT_FALSE(fs::exists(Latest(3, ".hdir/c.txt")));
  EXPECT_FALSE(fs::exists(Latest(3, "old-store/d.txt")));
  EXPECT_TRUE(plan->InitDone());
  EXPECT_FALSE(plan->Busy());
  EXPECT_EQ(plan->Mode(), kModeIdle);
  EXPECT_EQ(Without(Codes(events.Events(), 3), {kEvFileBackupBegins, kEvFileCopied}),
            (std::vector<int32_t>{kEvRunBegins, kEvPlanModeChanged, kEvScanBegins, kEvScanEnds,
                                  kEvPlanModeChanged, kEvRunEnds}));
  int64_t last = 0;
  ASSERT_TRUE(ReadRunFile(plan->GetPlanFolder(), &last));
  EXPECT_EQ(last, task.LastRun());

  // The next run walks the journal instead: nothing is pending.
  events.Clear();
  task.Run();
  EXPECT_EQ(events.CountOf(kEvScanBegins), 0u);
  EXPECT_EQ(events.CountOf(kEvFileBackupBegins), 0u);
}

TEST_F(TaskTest, ContinuousPlanWritesNoRunFile) {
  env_.Src().Write("a.txt", "a");
  auto plan = env_.MakePlan(4, kUnitContinuous, 3, {env_.Src().System()});
  ASSERT_TRUE(plan);
  CSimpleTask task(plan.get());
  task.Run();
  EXPECT_TRUE(plan->InitDone());
  EXPECT_FALSE(fs::exists(env_.Data().NativeOf("PLAN/4/run.ini")));
}

TEST_F(TaskTest, JournalWalkCopiesSettledPendingRecords) {
  for (const char* name : {"p1.txt", "p2.txt", "fresh.txt", "done.txt", "backoff.txt"}) {
    env_.Src().Write(name, name);
  }
  env_.Src().Write("huge.bin", std::string(2 * 1024 * 1024 + 1, 'z'));
  SetBackupFileMaxSize(1);
  auto plan = env_.MakePlan(5, kUnitContinuous, 3, {env_.Src().System()}, nullptr, true);
  ASSERT_TRUE(plan);
  const int64_t now = plat::Now();
  Pend(plan.get(), "p1.txt", now - 10);
  Pend(plan.get(), "huge.bin", now - 10);
  Pend(plan.get(), "fresh.txt", now + 5);  // still being written
  Pend(plan.get(), "done.txt", now - 10, kLogCopied);
  Pend(plan.get(), "backoff.txt", now - 10, kLogFailed, 5, now);
  Pend(plan.get(), "p2.txt", now - 10, kLogFailed, 2, now);

  CSimpleTask task(plan.get());
  EventWaiter waiter;
  task.Run();
  EXPECT_EQ(waiter.WaitFor(kEvRunEnds, 5).value, 2);
  EXPECT_EQ(task.LastCopiedCount(), 2);
  EXPECT_EQ(bvtest::ReadNative(Latest(5, "p1.txt")), "p1.txt");
  EXPECT_EQ(bvtest::ReadNative(Latest(5, "p2.txt")), "p2.txt");
  EXPECT_EQ(StateOf(plan.get(), "p1.txt"), kLogCopied);
  EXPECT_EQ(StateOf(plan.get(), "huge.bin"), kLogTooLarge);
  EXPECT_FALSE(fs::exists(Latest(5, "huge.bin")));
  EXPECT_EQ(StateOf(plan.get(), "fresh.txt"), kLogPending);
  EXPECT_FALSE(fs::exists(Latest(5, "fresh.txt")));
  EXPECT_FALSE(fs::exists(Latest(5, "done.txt")));
  EXPECT_FALSE(fs::exists(Latest(5, "backoff.txt")));
  EXPECT_EQ(plan->Mode(), kModeIdle);

  // The too-large file is never tried again, even with the limit lifted.
  SetBackupFileMaxSize(0);
  bvtest::EventCollector events;
  task.Run();
  for (const auto& e : events.Events()) EXPECT_NE(e.text1, Src("huge.bin"));
  ResetSettingsCache();
}

TEST_F(TaskTest, StopDuringJournalWalkEndsAtNextRecord) {
  auto plan = env_.MakePlan(6, kUnitContinuous, 3, {env_.Src().System()}, nullptr, true);
  ASSERT_TRUE(plan);
  const int64_t now = plat::Now();
  for (const char* name : {"s1.txt", "s2.txt", "s3.txt"}) {
    env_.Src().Write(name, name);
    Pend(plan.get(), name, now - 10);
  }
  // Stops the plan as soon as the first file is copied.
  class Stopper : public CBaseClass {
   public:
    explicit Stopper(CPlan* plan) : plan_(plan) {
      Subscribe(&UiChannel(), this);
      Subscribe(&WorkerChannel(), this);
    }
    ~Stopper() override { DisconnectAll(); }
    void OnEvent(CMEvent*, const EventData& e) override {
      if (e.code == kEvFileCopied) plan_->SetStopping(true);
    }

   private:
    CPlan* plan_;
  } stopper(plan.get());
  CSimpleTask task(plan.get());
  task.Run();
  EXPECT_EQ(task.LastCopiedCount(), 1);
  EXPECT_EQ(StateOf(plan.get(), "s1.txt"), kLogCopied);
  EXPECT_EQ(StateOf(plan.get(), "s2.txt"), kLogPending);
  EXPECT_EQ(StateOf(plan.get(), "s3.txt"), kLogPending);
}

TEST_F(TaskTest, BlockedScheduledRunIsMadeUpWhenUnblocked) {
  env_.Src().Write("a.txt", "a");
  auto daily = env_.MakePlan(7, kUnitDaily, 3, {env_.Src().System()});
  auto continuous = env_.MakePlan(8, kUnitContinuous, 3, {env_.Src().System()});
  ASSERT_TRUE(daily && continuous);
  env_.SetStorePresent(false);

  CSimpleTask dailyTask(daily.get());
  CSimpleTask continuousTask(continuous.get());
  dailyTask.PreCheck();
  continuousTask.PreCheck();
  ASSERT_TRUE(daily->IsBlocked());
  dailyTask.Run();
  continuousTask.Run();
  EXPECT_TRUE(daily->MissScheduledBackup());
  EXPECT_FALSE(continuous->MissScheduledBackup());
  EXPECT_FALSE(daily->InitDone());

  // Queued and not due: while blocked it waits, once free it runs at once.
  CTaskQueue queue(nullptr);
  auto* task = new CSimpleTask(daily.get());
  task->SetNextDue(plat::Now() + 100000);
  ASSERT_TRUE(queue.Add(task));
  bvtest::EventCollector events;
  queue.Process();
  EXPECT_EQ(events.CountOf(kEvRunBegins), 0u);
  env_.SetStorePresent(true);
  queue.Process();
  EXPECT_EQ(events.CountOf(kEvRunBegins), 1u);
  EXPECT_FALSE(daily->MissScheduledBackup());
  EXPECT_TRUE(daily->InitDone());
  EXPECT_EQ(bvtest::ReadNative(Latest(7, "a.txt")), "a");
  // Not again: the next slot is in the future.
  queue.Process();
  EXPECT_EQ(events.CountOf(kEvRunBegins), 1u);
}

// A slot runs once, however often the thread looks: an interval plan whose
// start lies in the past, and a daily plan looked at during its slot second.
TEST_F(TaskTest, ScheduledPlansRunOncePerSlot) {
  const int64_t now = plat::Now();
  struct Case {
    uint32_t id;
    int32_t unit;
    int64_t start;
  } cases[] = {{11, kUnitMinutes, now - 3600},
               {12, kUnitOtherInterval, now - 10},
               // Slots a little ahead: the set-up may cross a second, and a
               // slot already passed is tomorrow's.
               {13, kUnitDaily, now - 86400 + 2},
               {14, kUnitWeekly, now + 2}};
  for (const Case& c : cases) {
    auto plan = env_.MakePlan(c.id, c.unit, 3, {env_.Src().System()}, nullptr, true);
    ASSERT_TRUE(plan);
    plan->SetBackupTime(c.start);
    CTaskQueue queue(nullptr);
    auto* task = new CSimpleTask(plan.get());
    task->RestoreLastRun();
    ASSERT_TRUE(queue.Add(task));
    bvtest::EventCollector events;
    // Looks every 100 ms until the slot has run, then three more.
    for (int wait = 0; wait < 60 && events.CountOf(kEvRunBegins) == 0; ++wait) {
      queue.Process();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (int look = 0; look < 3; ++look) queue.Process();
    EXPECT_EQ(events.CountOf(kEvRunBegins), 1u) << "unit " << c.unit;
    EXPECT_EQ(events.CountOf(kEvRunEnds), 1u) << "unit " << c.unit;
    EXPECT_GT(task->NextDue(), plat::Now()) << "unit " << c.unit;
    // A restart after the run: the run file keeps the slot done.
    CSimpleTask again(plan.get());
    again.RestoreLastRun();
    EXPECT_GT(again.NextDue(), plat::Now()) << "unit " << c.unit;
  }
}

// The catch-up walk notes what the journal does not know or what changed
// after its copy, and nothing else; it runs at the first look, on request,
// after the sources change and after the journal was recreated, never more.
TEST_F(TaskTest, CatchUpNotesUnknownAndChangedFilesOnly) {
  const int64_t now = plat::Now();
  for (const char* name : {"new.txt", "copied.txt", "changed.txt", "gone.txt", "pending.txt",
                           "sub/deep.txt", ".hidden.txt", "skip.tmp", "evol/other-volume.txt"}) {
    env_.Src().Write(name, name);
  }
  // A volume mounted inside the source folder belongs to its own letter.
  env_.SetExtra("[F]\nRoot=" + env_.Src().NativeOf("evol") + "\nType=fixed\nBus=none\n");
  fs::create_directories(env_.Src().NativeOf("later"));
  env_.Src().Write("later/added.txt", "added");
  auto plan = env_.MakePlan(15, kUnitDaily, 3, {Src("")}, nullptr, true);
  ASSERT_TRUE(plan);
  auto record = [&](const char* rel, uint16_t state, int64_t lastBackup) {
    LogRecord rec;
    ASSERT_TRUE(rec.SetPath(Src(rel)));
    rec.state = state;
    rec.changeTime = lastBackup;
    rec.lastBackupTime = lastBackup;
    ASSERT_EQ(plan->Database()->WriteRecord(0, rec), 0u);
  };
  record("copied.txt", kLogCopied, now + 10);
  record("changed.txt", kLogCopied, now - 100);  // written after its copy
  record("gone.txt", kLogSourceGone, now + 10);  // back again
  record("pending.txt", kLogPending, now - 100);
  {  // the rules exclude later/ for now
    std::lock_guard<std::recursive_mutex> g(plan->Lock());
    plan->Rules()->AddGroup(kRuleExclude, "not yet", "x")->AddItem(Src("later"), "");
  }
  const std::string journal = plan->Database()->DatabasePath();
  std::string native;
  ASSERT_TRUE(plat::ToNativePath(journal, &native));
  auto pendingNames = [&] {
    std::set<std::string> names;
    for (const char* rel :
         {"new.txt", "copied.txt", "changed.txt", "gone.txt", "pending.txt", "sub/deep.txt",
          ".hidden.txt", "skip.tmp", "evol/other-volume.txt", "later/added.txt"}) {
      LogRecord rec;
      if (bvtest::ScratchEnv::RecordOf(plan.get(), Src(rel), &rec) && rec.IsPending()) {
        names.insert(rel);
      }
    }
    return names;
  };

  CSimpleTask task(plan.get());
  task.Maintain();  // the first look
  EXPECT_EQ(pendingNames(), (std::set<std::string>{"new.txt", "changed.txt", "gone.txt",
                                                   "pending.txt", "sub/deep.txt"}));

  // Nothing changed: a look walks nothing, a requested walk writes nothing.
  const std::string before = bvtest::ReadNative(native);
  task.Maintain();
  catchup::Request(15, "test");
  task.Maintain();
  EXPECT_EQ(bvtest::ReadNative(native), before);

  // The sources change: the folder's files that were there already come in.
  {
    std::lock_guard<std::recursive_mutex> g(plan->Lock());
    plan->Rules()->RemoveGroup(kRuleExclude, "not yet");
  }
  task.Maintain();
  EXPECT_EQ(pendingNames().count("later/added.txt"), 1u);

  // The journal is recreated: every file is noted again.
  ASSERT_EQ(plan->Database()->Recreate(), 0u);
  task.Maintain();
  EXPECT_EQ(pendingNames(),
            (std::set<std::string>{"new.txt", "copied.txt", "changed.txt", "gone.txt",
                                   "pending.txt", "sub/deep.txt", "later/added.txt"}));
}

TEST_F(TaskTest, ForcedManualPlanRunsOnItsThreadAndSwitchesOff) {
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
  waiter.WaitFor(kEvRunEnds, 9);
  const EventData disabled = waiter.WaitFor(kEvPlanDisabled, 9);
  EXPECT_EQ(disabled.value, 0);
  EXPECT_FALSE(plan->Enabled());
  EXPECT_EQ(bvtest::ReadNative(Latest(9, "m.txt")), "m");
  EXPECT_FALSE(fs::exists(env_.Data().NativeOf("PLAN/9/run.ini")));
}

TEST_F(TaskTest, ShutDownLetsTheThreadDeleteThePlan) {
  std::promise<void> gone;
  std::future<void> goneFuture = gone.get_future();
  auto owned = env_.MakePlan(10, kUnitDaily, 3, {}, nullptr, true, "", [&] { gone.set_value(); });
  ASSERT_TRUE(owned);
  owned->SetEnabled(false, 0);
  owned->SetEnabled(true, 0);
  ASSERT_NE(owned->Thread(), nullptr);
  CPlan* plan = owned.release();
  plan->ShutDown();  // the thread deletes the plan when it ends
  goneFuture.wait();
  SUCCEED();
}

}  // namespace
