// The walks over a plan's sources (first backup and catch-up), on real folders.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "common/EngineEvents.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "engine/CatchUpWalk.h"
#include "engine/FolderRules.h"
#include "engine/PlanList.h"
#include "engine/SourceWalk.h"
#include "plans/Schedule.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "support/DeepTree.h"
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

// The rules settled per folder answer as the rule set does for every file:
// masks that hold folders or one file, wildcards over the whole path (also
// ending in "\*"), masks of the name alone ("*.tmp", "*\\x", "*\\.#*"),
// group scopes, folder-only and attribute exclusions, names beyond ASCII,
// hidden and read-only files.
TEST_F(SourceWalkTest, FolderRulesAnswerAsTheRuleSetForEveryFile) {
  for (const char* rel : {"a.doc", "b.JPG", ".hid.doc", "ro.doc", "\xc3\xa9t\xc3\xa9.doc", "x~",
                          "docs/x.doc", "docs/y.tmp", "docs/deep/z.doc", "docs/deep/Desktop.ini",
                          "cache/c.doc", "cache2/c.doc", "cache/GPUCache/g.doc", ".#keep/k.doc"}) {
    env_.Src().Write(rel, "x");
  }
  fs::permissions(env_.Src().NativeOf("ro.doc"), fs::perms::owner_write, fs::perm_options::remove);
  const std::string src = env_.Src().System();
  auto in = [&](const char* rel) { return env_.Src().SystemOf(rel); };
  struct Rule {
    Rule(int32_t k, std::string m, bool p = false, uint32_t a = 0, std::string s = {})
        : kind(k), mask(std::move(m)), pathOnly(p), attributes(a), scope(std::move(s)) {}
    int32_t kind;
    std::string mask;
    bool pathOnly;
    uint32_t attributes;
    std::string scope;
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

  // Folders that the usual rules settle whole: a source folder with folder
  // and "\*" exclusions; only the name masks are looked at per file.
  CRuleSet usual;
  usual.AddGroup(kRuleInclude, "g", "t")->AddItem(src, "");
  usual.AddGroup(kRuleAlwaysExclude, "a", "t")->AddItem("*\\GPUCache\\*", "");
  usual.AddGroup(kRuleAlwaysExclude, "b", "t")->AddItem("C:\\tmp", "");
  FolderRules folderRules;
  for (const char* rel : {"docs", "cache/GPUCache"}) {
    folderRules.Build(usual, plat::ToUpper(in(rel) + "\\"));
    EXPECT_TRUE(folderRules.Settled()) << rel;
  }
  usual.AddGroup(kRuleAlwaysExclude, "c", "t")->AddItem("*.tmp", "");
  folderRules.Build(usual, plat::ToUpper(in("docs") + "\\"));
  EXPECT_FALSE(folderRules.Settled());
  folderRules.Build(usual, plat::ToUpper(in("cache/GPUCache") + "\\"));
  EXPECT_TRUE(folderRules.Settled());  // excluded whole all the same
}

// The catch-up walk reads unchanged files without pausing and pauses only
// for the files it notes; names beyond ASCII are found in the journal; a
// walk with nothing to note writes nothing.
TEST_F(SourceWalkTest, CatchUpPacesOnlyWhatItNotesAndFindsEveryKnownName) {
  std::vector<std::string> known = {"sub/\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80.doc",
                                    "\xc3\x84\xc3\x96.doc", "sub/deeper/k.doc"};
  for (int i = 0; i < 20; ++i) known.push_back("k" + std::to_string(i) + ".doc");
  for (const std::string& rel : known) env_.Src().Write(rel, "k");
  for (int i = 0; i < 7; ++i) env_.Src().Write("sub/new" + std::to_string(i) + ".doc", "n");
  auto plan = env_.MakePlan(11, kUnitDaily, 3, {env_.Src().System()}, nullptr, true);
  ASSERT_TRUE(plan);
  for (const std::string& rel : known) {
    LogRecord rec;
    ASSERT_TRUE(rec.SetPath(env_.Src().SystemOf(rel)));
    rec.state = kLogCopied;
    rec.changeTime = rec.lastBackupTime = plat::Now() + 60;
    ASSERT_EQ(plan->Database()->WriteRecord(0, rec), 0u);
  }
  plan->WalkCounter() = 0;
  ResetWalkPauseStats();
  CatchUpResult result = RunCatchUpWalk(plan.get());
  EXPECT_TRUE(result.complete);
  EXPECT_EQ(result.files, 30u);
  EXPECT_EQ(result.noted, 7u);
  EXPECT_EQ(GetWalkPauseStats().entries, 7u);
  EXPECT_EQ(GetWalkPauseStats().pauses, 1u);

  std::string journal;
  ASSERT_TRUE(plat::ToNativePath(plan->Database()->DatabasePath(), &journal));
  const std::string before = bvtest::ReadNative(journal);
  ResetWalkPauseStats();
  result = RunCatchUpWalk(plan.get());
  EXPECT_EQ(result.files, 30u);
  EXPECT_EQ(result.noted, 0u);  // the new files wait for their copies already
  EXPECT_EQ(GetWalkPauseStats().pauses, 0u);
  EXPECT_EQ(bvtest::ReadNative(journal), before);
}

// A tree deeper than the system opens by name: the walk goes on below it
// through the open parent folders; each file there that the plan takes is
// reported not protected once, and the files above it are still taken.
TEST_F(SourceWalkTest, FilesBeyondTheLongestPathAreReportedOnce) {
  const std::string name(200, 'd');
  ASSERT_TRUE(bvtest::MakeDeepTree(env_.Src().Native(), name, 22,
                                   {{3, "near.doc"}, {22, "far.doc"}, {22, "far.tmp"}}));
  struct Cleanup {
    ~Cleanup() { bvtest::RemoveDeepTree(root, name); }
    std::string root, name;
  } cleanup{env_.Src().Native(), name};
  auto plan = env_.MakePlan(12, kUnitDaily, 3, {env_.Src().System()}, nullptr, true);
  ASSERT_TRUE(plan);
  {
    std::lock_guard<std::recursive_mutex> guard(plan->Lock());
    plan->Rules()->AddGroup(kRuleAlwaysExclude, "no tmp", "no tmp")->AddItem("*.tmp", "");
  }
  std::string far = env_.Src().System() + "\\";
  for (int i = 0; i < 22; ++i) far += name + "\\";
  far += "far.doc";
  bvtest::EventCollector events;
  CatchUpResult result = RunCatchUpWalk(plan.get());
  EXPECT_TRUE(result.complete);
  EXPECT_EQ(result.files, 1u);  // near.doc
  EXPECT_EQ(result.noted, 1u);
  EXPECT_EQ(plan->UnheldNameCount(), 1u);  // far.tmp is excluded by the rules
  ASSERT_EQ(events.CountOf(kEvNotProtected), 1u);
  for (const EventData& e : events.Events()) {
    if (e.code != kEvNotProtected) continue;
    EXPECT_EQ(e.text1, far);
    EXPECT_EQ(e.text3, GetText("NOT_PROTECTED", "REASON_TOO_LONG"));
  }
  // The next walk meets it again: still told once.
  result = RunCatchUpWalk(plan.get());
  EXPECT_EQ(result.files, 1u);
  EXPECT_EQ(events.CountOf(kEvNotProtected), 1u);
}

}  // namespace
