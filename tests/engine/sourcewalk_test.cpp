// The first backup's walk over a plan's sources, on real folders.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "app/Settings.h"
#include "engine/EngineEvents.h"
#include "engine/SourceWalk.h"
#include "plans/PlanList.h"
#include "plans/Schedule.h"
#include "platform/Clock.h"
#include "support/EventCollector.h"
#include "support/ScratchEnv.h"

namespace fs = std::filesystem;

namespace {

class SourceWalkTest : public ::testing::Test {
 protected:
  std::string Latest(uint32_t id, const std::string& rel) {
    return env_.Latest("store" + std::to_string(id), rel);
  }
  bvtest::ScratchEnv env_;
};

TEST_F(SourceWalkTest, FixedDrivesLeaveOutUsbAnd1394AndRemovable) {
  bvtest::TempDir f, g, h, i;
  env_.SetExtra("[F]\nRoot=" + f.Native() + "\nType=fixed\nBus=usb\n" + "[G]\nRoot=" + g.Native() +
                "\nType=removable\nBus=none\n" + "[H]\nRoot=" + h.Native() +
                "\nType=fixed\nBus=1394\n" + "[I]\nRoot=" + i.Native() +
                "\nType=fixed\nBus=none\n");
  EXPECT_EQ(FixedDriveRoots(), (std::vector<std::string>{"C:\\", "E:\\", "I:\\"}));
}

TEST_F(SourceWalkTest, Group1ItemsOrTheWholeMachine) {
  auto plan = env_.MakePlan(1, kUnitDaily, 3, {"C:\\DATA", "D:\\x"});
  ASSERT_TRUE(plan);
  std::vector<std::string> folders;
  bool whole = true;
  ASSERT_TRUE(WalkItemsOfPlan(plan.get(), &folders, &whole));
  EXPECT_FALSE(whole);
  EXPECT_EQ(folders, (std::vector<std::string>{"C:\\DATA", "D:\\x"}));

  {
    std::lock_guard<std::recursive_mutex> guard(plan->Lock());
    CRuleGroup* group = plan->Rules()->FindGroup(kRuleInclude, "group1");
    group->AddItem("*.JPG", "", /*enabled=*/false);
  }
  ASSERT_TRUE(WalkItemsOfPlan(plan.get(), &folders, &whole));
  EXPECT_FALSE(whole);  // a disabled item does not count
  {
    std::lock_guard<std::recursive_mutex> guard(plan->Lock());
    plan->Rules()->FindGroup(kRuleInclude, "group1")->AddItem("*.JPG", "");
  }
  ASSERT_TRUE(WalkItemsOfPlan(plan.get(), &folders, &whole));
  EXPECT_TRUE(whole);
  EXPECT_TRUE(folders.empty());

  {
    std::lock_guard<std::recursive_mutex> guard(plan->Lock());
    plan->Rules()->RemoveGroup(kRuleInclude, "group1");
  }
  EXPECT_FALSE(WalkItemsOfPlan(plan.get(), &folders, &whole));
}

TEST_F(SourceWalkTest, WalkSkipsWhatMustNotBeCopied) {
  env_.Src().Write("keep.doc", "k");
  env_.Src().Write("deep/er/keep2.doc", "k2");
  env_.Src().Write("drop.tmp", "t");
  env_.Src().Write(".dot/inner.doc", "h");
  env_.Src().Write("big.bin", std::string(2 * 1024 * 1024 + 1, 'b'));
  env_.Src().Write("nested-store/Brevanto.dat", "");
  env_.Src().Write("nested-store/Latest/x.doc", "x");
  // Names the store cannot hold: counted by the plan when its rules take them.
  env_.Src().Write("deep/a\\b.doc", "b");
  env_.Src().Write("\xff\xfe.doc", "u");
  env_.Src().Write("c\\d.tmp", "t");
  SetBackupFileMaxSize(1);
  auto plan = env_.MakePlan(2, kUnitDaily, 3, {env_.Src().System()});
  ASSERT_TRUE(plan);
  {
    std::lock_guard<std::recursive_mutex> guard(plan->Lock());
    plan->Rules()->AddGroup(kRuleAlwaysExclude, "no tmp", "no tmp")->AddItem("*.tmp", "");
  }
  WalkFolder(plan.get(), env_.Src().System());
  EXPECT_EQ(bvtest::ReadNative(Latest(2, "keep.doc")), "k");
  EXPECT_EQ(bvtest::ReadNative(Latest(2, "deep/er/keep2.doc")), "k2");
  EXPECT_FALSE(fs::exists(Latest(2, "drop.tmp")));
  EXPECT_FALSE(fs::exists(Latest(2, ".dot/inner.doc")));
  EXPECT_FALSE(fs::exists(Latest(2, "big.bin")));
  EXPECT_FALSE(fs::exists(Latest(2, "nested-store/Latest/x.doc")));
  EXPECT_EQ(plan->UnheldNameCount(), 2u);
  ResetSettingsCache();

  // A second walk leaves existing copies alone, even of changed files.
  env_.Src().Write("keep.doc", "changed");
  env_.Src().Write("new.doc", "n");
  WalkFolder(plan.get(), env_.Src().System());
  EXPECT_EQ(bvtest::ReadNative(Latest(2, "keep.doc")), "k");
  EXPECT_EQ(bvtest::ReadNative(Latest(2, "new.doc")), "n");
  EXPECT_EQ(plan->UnheldNameCount(), 2u);  // each told once
}

TEST_F(SourceWalkTest, PausesAfterEveryFifthEntry) {
  for (int i = 0; i < 23; ++i) env_.Src().Write("f" + std::to_string(i) + ".doc", "x");
  auto plan = env_.MakePlan(3, kUnitDaily, 3, {env_.Src().System()});
  ASSERT_TRUE(plan);
  plan->WalkCounter() = 3;
  ResetWalkPauseStats();
  WalkFolder(plan.get(), env_.Src().System());
  const WalkPauseStats stats = GetWalkPauseStats();
  EXPECT_GE(stats.entries, 23u);
  EXPECT_EQ(stats.pauses, (3 + stats.entries) / 5);
  EXPECT_EQ(plan->WalkCounter(), (3 + stats.entries) % 5);
  EXPECT_GE(stats.pauseMicros, stats.pauses * 1000);
}

// Other file systems have their own letters and rules: a walk stops at
// pseudo file systems and at another volume's root; a folder the
// always-exclude rules leave out whole is not even listed.
TEST_F(SourceWalkTest, NeverEntersAnotherFileSystemOrAnExcludedFolder) {
  const plat::MountBarriers barriers;
  EXPECT_TRUE(barriers.Stops("C:\\proc"));
  EXPECT_TRUE(barriers.Stops("C:\\sys\\"));
  EXPECT_FALSE(barriers.Stops("C:\\"));
  EXPECT_FALSE(barriers.Stops(env_.Src().System()));

  env_.Src().Write("keep.doc", "k");
  env_.Src().Write("disk/on-another-volume.doc", "v");
  for (int i = 0; i < 40; ++i) env_.Src().Write("cache/c" + std::to_string(i) + ".doc", "c");
  env_.SetExtra("[F]\nRoot=" + env_.Src().NativeOf("disk") + "\nType=fixed\nBus=none\n");
  auto plan = env_.MakePlan(6, kUnitDaily, 3, {env_.Src().System()});
  ASSERT_TRUE(plan);
  {
    std::lock_guard<std::recursive_mutex> guard(plan->Lock());
    plan->Rules()
        ->AddGroup(kRuleAlwaysExclude, "no cache", "x")
        ->AddItem(env_.Src().SystemOf("cache"), "");
  }
  ResetWalkPauseStats();
  WalkFolder(plan.get(), env_.Src().System());
  EXPECT_EQ(bvtest::ReadNative(Latest(6, "keep.doc")), "k");
  EXPECT_FALSE(fs::exists(Latest(6, "disk/on-another-volume.doc")));
  EXPECT_LT(GetWalkPauseStats().entries, 40u);
}

TEST_F(SourceWalkTest, StoppedOrDisabledPlanWalksNothing) {
  env_.Src().Write("a.doc", "a");
  auto plan = env_.MakePlan(4, kUnitDaily, 3, {env_.Src().System()});
  ASSERT_TRUE(plan);
  plan->SetStopping(true);
  RunSourceWalk(plan.get());
  EXPECT_FALSE(fs::exists(Latest(4, "a.doc")));
  plan->SetStopping(false);
  plan->SetEnabled(false, 0);
  WalkFolder(plan.get(), env_.Src().System());
  EXPECT_FALSE(fs::exists(Latest(4, "a.doc")));
  // A blocked plan (destination gone) stops at the first entry.
  plan->EnableWithoutThread();
  env_.SetStorePresent(false);
  {
    std::lock_guard<std::recursive_mutex> guard(plan->Lock());
    plan->Destination()->Refresh();
  }
  bvtest::EventCollector events;
  WalkFolder(plan.get(), env_.Src().System());
  EXPECT_EQ(events.CountOf(kEvFileBackupBegins), 0u);
}

TEST_F(SourceWalkTest, OnlyPathsThePlanListAllows) {
  bvtest::TempDir removable;
  bvtest::WriteNative(removable.NativeOf("r.doc"), "r");
  env_.SetExtra("[G]\nRoot=" + removable.Native() + "\nType=removable\nBus=usb\n");
  env_.Src().Write("c.doc", "c");
  PlanList list;
  auto plan = env_.MakePlan(5, kUnitDaily, 3, {env_.Src().System(), "G:\\"}, &list);
  ASSERT_TRUE(plan);
  bvtest::EventCollector events;
  WalkFolder(plan.get(), "G:\\");
  WalkFolder(plan.get(), env_.Src().System());
  EXPECT_EQ(events.CountOf(kEvFileBackupBegins), 1u);
  EXPECT_EQ(bvtest::ReadNative(Latest(5, "c.doc")), "c");

  // Without a list the same removable file is taken: the list refused it.
  auto unlisted = env_.MakePlan(15, kUnitDaily, 3, {"G:\\"});
  ASSERT_TRUE(unlisted);
  events.Clear();
  WalkFolder(unlisted.get(), "G:\\");
  EXPECT_EQ(events.CountOf(kEvFileCopied), 1u);
}

TEST_F(SourceWalkTest, WaitsForAnEarlierPlanOnTheSameDestination) {
  env_.Src().Write("w.doc", "w");
  auto first = env_.MakePlan(6, kUnitDaily, 3, {env_.Src().System()}, nullptr, false, "shared");
  auto second = env_.MakePlan(7, kUnitDaily, 3, {env_.Src().System()}, nullptr, false, "shared");
  ASSERT_TRUE(first && second);
  second->SetSameDestinationLink(first.get());
  first->SetBusy(true);

  // Records whether the earlier plan was still busy when the copy began.
  class Watcher : public CBaseClass {
   public:
    explicit Watcher(CPlan* earlier) : earlier_(earlier) {
      Subscribe(&WorkerChannel(), this);
      Subscribe(&UiChannel(), this);
    }
    ~Watcher() override { DisconnectAll(); }
    void OnEvent(CMEvent*, const EventData& e) override {
      if (e.code == kEvFileBackupBegins && e.planId == 7) {
        ++begun;
        if (earlier_->Busy()) ++whileBusy;
      }
    }
    std::atomic<int> begun{0}, whileBusy{0};

   private:
    CPlan* earlier_;
  } watcher(first.get());

  std::thread release([&] {
    plat::SleepMs(1500);
    first->SetBusy(false);
  });
  RunSourceWalk(second.get());
  release.join();
  EXPECT_EQ(watcher.begun.load(), 1);
  EXPECT_EQ(watcher.whileBusy.load(), 0);
  EXPECT_TRUE(second->Busy());  // cleared by the task after the scan
}

TEST_F(SourceWalkTest, StoppingEndsTheWaitForTheEarlierPlan) {
  env_.Src().Write("w.doc", "w");
  auto first = env_.MakePlan(8, kUnitDaily, 3, {env_.Src().System()}, nullptr, false, "shared");
  auto second = env_.MakePlan(9, kUnitDaily, 3, {env_.Src().System()}, nullptr, false, "shared");
  ASSERT_TRUE(first && second);
  second->SetSameDestinationLink(first.get());
  first->SetBusy(true);
  std::thread stop([&] {
    plat::SleepMs(300);
    second->SetStopping(true);
  });
  bvtest::EventCollector events;
  RunSourceWalk(second.get());
  stop.join();
  EXPECT_EQ(events.CountOf(kEvFileBackupBegins), 0u);
  EXPECT_TRUE(first->Busy());
}

}  // namespace
