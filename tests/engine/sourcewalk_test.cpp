// The walks over a plan's sources (first backup and catch-up), on real folders.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "EventWaiter.h"
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
  std::unique_ptr<bvtest::TestPlan> Plan(uint32_t id, bool initDone = false) {
    return env_.MakePlan(id, kUnitDaily, 3, {env_.Src().System()}, nullptr, initDone);
  }
  static void AddRule(CPlan* plan, int32_t kind, const std::string& mask) {
    std::lock_guard<std::recursive_mutex> guard(plan->Lock());
    plan->Rules()->AddGroup(kind, "rule " + mask, "x")->AddItem(mask, "");
  }
  bvtest::ScratchEnv env_;
};

// The machine's fixed drives leave out USB, 1394 and removable ones; a plan
// walks its "group1" folders, or the whole machine when an enabled item
// there is a mask; without "group1" there is nothing to walk.
TEST_F(SourceWalkTest, WhatAPlanWalks) {
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
    {
      std::lock_guard<std::recursive_mutex> guard(plan->Lock());
      plan->Rules()->FindGroup(kRuleInclude, "group1")->AddItem("*.JPG", "", enabled);
    }
    ASSERT_TRUE(WalkItemsOfPlan(plan.get(), &folders, &whole));
    EXPECT_EQ(whole, enabled) << "a disabled item does not count";
  }
  EXPECT_TRUE(folders.empty());
  {
    std::lock_guard<std::recursive_mutex> guard(plan->Lock());
    plan->Rules()->RemoveGroup(kRuleInclude, "group1");
  }
  EXPECT_FALSE(WalkItemsOfPlan(plan.get(), &folders, &whole));
}

// The first-backup walk leaves out excluded, hidden and too large files,
// stores, other volumes and pseudo file systems, never lists a folder the
// always-exclude rules hold whole, counts the names the store cannot hold
// once, pauses after every fifth entry, and leaves existing copies alone.
TEST_F(SourceWalkTest, WalkSkipsWhatMustNotBeCopied) {
  env_.Src().Write("keep.doc", "k");
  env_.Src().Write("deep/er/keep2.doc", "k2");
  env_.Src().Write("drop.tmp", "t");
  env_.Src().Write(".dot/inner.doc", "h");
  env_.Src().Write("big.bin", std::string(2 * 1024 * 1024 + 1, 'b'));
  env_.Src().Write("nested-store/Brevanto.dat", "");
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

  env_.Src().Write("keep.doc", "changed");
  env_.Src().Write("new.doc", "n");
  WalkFolder(plan.get(), env_.Src().System());
  EXPECT_EQ(bvtest::ReadNative(Latest(2, "keep.doc")), "k");
  EXPECT_EQ(bvtest::ReadNative(Latest(2, "new.doc")), "n");
  EXPECT_EQ(plan->UnheldNameCount(), 2u) << "each told once";
}

// A stopping, disabled or blocked plan walks nothing; a path the plan list
// refuses (a removable disk) is not taken, which a plan without a list takes.
TEST_F(SourceWalkTest, WalksOnlyWhatThePlanMayTake) {
  env_.Src().Write("a.doc", "a");
  auto plan = Plan(4);
  ASSERT_TRUE(plan);
  bvtest::EventCollector events;
  plan->SetStopping(true);
  RunSourceWalk(plan.get());
  plan->SetStopping(false);
  plan->SetEnabled(false, 0);
  WalkFolder(plan.get(), env_.Src().System());
  plan->EnableWithoutThread();
  env_.SetStorePresent(false);
  {
    std::lock_guard<std::recursive_mutex> guard(plan->Lock());
    plan->Destination()->Refresh();
  }
  WalkFolder(plan.get(), env_.Src().System());
  EXPECT_EQ(events.CountOf(kEvFileBackupBegins), 0u);
  EXPECT_FALSE(fs::exists(Latest(4, "a.doc")));
  env_.SetStorePresent(true);

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

// A plan waits for an earlier plan on the same destination to finish its
// first backup; a stop ends the wait without a copy.
TEST_F(SourceWalkTest, WaitsForAnEarlierPlanOnTheSameDestination) {
  env_.Src().Write("w.doc", "w");
  for (const bool stop : {true, false}) {
    SCOPED_TRACE(stop ? "stopped" : "released");
    const uint32_t id = stop ? 6 : 8;
    auto first = env_.MakePlan(id, kUnitDaily, 3, {env_.Src().System()}, nullptr, false, "s");
    auto second = env_.MakePlan(id + 1, kUnitDaily, 3, {env_.Src().System()}, nullptr, false, "s");
    ASSERT_TRUE(first && second);
    second->SetSameDestinationLink(first.get());
    first->SetBusy(true);
    // Whether the earlier plan was still busy when the copy began.
    std::atomic<int> begun{0}, whileBusy{0};
    enginetest::EventWaiter watcher;
    std::thread release([&] {
      plat::SleepMs(300);
      if (stop)
        second->SetStopping(true);
      else
        first->SetBusy(false);
    });
    RunSourceWalk(second.get());
    release.join();
    const auto events = watcher.Events();
    const auto copies = std::count_if(events.begin(), events.end(), [&](const EventData& e) {
      return e.code == kEvFileBackupBegins && e.planId == id + 1;
    });
    EXPECT_EQ(copies, stop ? 0 : 1);
    EXPECT_EQ(first->Busy(), stop);
    if (!stop) {
      EXPECT_TRUE(second->Busy()) << "cleared by the task after the scan";
    }
  }
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
  auto plan = Plan(11, true);
  ASSERT_TRUE(plan);
  for (const std::string& rel : known) {
    LogRecord rec;
    ASSERT_TRUE(rec.SetPath(env_.Src().SystemOf(rel)));
    rec.state = kLogCopied;
    rec.changeTime = rec.lastBackupTime = plat::Now() + 60;
    ASSERT_EQ(plan->Database()->WriteRecord(0, rec), 0u);
  }
  std::string journal;
  ASSERT_TRUE(plat::ToNativePath(plan->Database()->DatabasePath(), &journal));
  plan->WalkCounter() = 0;
  for (const size_t noted : {7, 0}) {  // the second time the new files wait for their copies
    const std::string before = bvtest::ReadNative(journal);
    ResetWalkPauseStats();
    const CatchUpResult result = RunCatchUpWalk(plan.get());
    EXPECT_TRUE(result.complete);
    EXPECT_EQ(result.files, 30u);
    EXPECT_EQ(result.noted, noted);
    EXPECT_EQ(GetWalkPauseStats().entries, noted);
    EXPECT_EQ(GetWalkPauseStats().pauses, noted / 5);
    if (noted == 0) {
      EXPECT_EQ(bvtest::ReadNative(journal), before);
    }
  }
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
  auto plan = Plan(12, true);
  ASSERT_TRUE(plan);
  AddRule(plan.get(), kRuleAlwaysExclude, "*.tmp");
  std::string far = env_.Src().System() + "\\";
  for (int i = 0; i < 22; ++i) far += name + "\\";
  far += "far.doc";
  bvtest::EventCollector events;
  for (int walk = 0; walk < 2; ++walk) {  // the next walk meets it again: still told once
    const CatchUpResult result = RunCatchUpWalk(plan.get());
    EXPECT_TRUE(result.complete);
    EXPECT_EQ(result.files, 1u);  // near.doc
    EXPECT_EQ(result.noted, walk == 0 ? 1u : 0u);
  }
  EXPECT_EQ(plan->UnheldNameCount(), 1u);  // far.tmp is excluded by the rules
  ASSERT_EQ(events.CountOf(kEvNotProtected), 1u);
  for (const EventData& e : events.Events()) {
    if (e.code != kEvNotProtected) continue;
    EXPECT_EQ(e.text1, far);
    EXPECT_EQ(e.text3, GetText("NOT_PROTECTED", "REASON_TOO_LONG"));
  }
}

}  // namespace
