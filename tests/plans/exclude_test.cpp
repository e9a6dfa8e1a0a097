#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/Settings.h"
#include "common/Texts.h"
#include "plans/BuiltinExclusions.h"
#include "platform/Folders.h"
#include "support/EventCollector.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

std::string Expand(const std::string& value, uint32_t* attributes = nullptr) {
  std::string mask;
  uint32_t attrs = 99;
  EXPECT_TRUE(ExpandExclusionValue(value, &mask, &attrs)) << value;
  if (attributes) *attributes = attrs;
  return mask;
}

TEST(ExcludeMacros, AttributeWordsAndFolderPrefixesExpand) {
  const std::string home = plat::GetShellFolder(plat::ShellFolder::kProfile);
  ASSERT_FALSE(home.empty());
  struct Case {
    std::string value, mask;
    uint32_t attributes;
  };
  const Case cases[] = {
      // Attribute words are compared exactly: anything else is a plain mask.
      {"$(hidden)", "!", kRuleAttrHidden},
      {"$(system)", "!", kRuleAttrSystem},
      {"$(readonly)", "!", kRuleAttrReadOnly},
      {"$(HIDDEN)", "$(HIDDEN)", 0},
      {"$(hidden)x", "$(hidden)x", 0},
      {"C:\\tmp\\*.swp", "C:\\tmp\\*.swp", 0},
      // Folder prefixes take one separator after them, whatever their case.
      {"$(windows)", "C:\\usr\\", 0},
      {"$(WINDOWS)share\\doc", "C:\\usr\\share\\doc", 0},
      {"$(Windows)\\share", "C:\\usr\\share", 0},
      {"$(system_dir)x", "C:\\usr\\lib\\x", 0},
      {"$(program files)app", "C:\\opt\\app", 0},
      {"$(brevanto)exclude.ini", GetProgramFolder() + "exclude.ini", 0},
      {"$(data)", GetDataFolder(), 0},
      {"$(home)\\.local\\share\\Trash", home + "\\.local\\share\\Trash", 0},
      {"$(temp)x", plat::GetShellFolder(plat::ShellFolder::kTemp) + "\\x", 0},
  };
  for (const Case& c : cases) {
    uint32_t attrs = 0;
    EXPECT_EQ(Expand(c.value, &attrs), c.mask);
    EXPECT_EQ(attrs, c.attributes) << c.value;
  }
  // The internet cache is the user's cache folder.
  bvtest::TempDir dir;
  bvtest::ScopedEnv cache("XDG_CACHE_HOME", dir.Native());
  EXPECT_EQ(Expand("$(ie_cache)thumbnails"), dir.System() + "\\thumbnails");
  cache.Set(nullptr);
  EXPECT_EQ(Expand("$(ie_cache)"), home + "\\.cache\\");
}

TEST(ExcludeFile, ReadsEntriesAndReportsBadLines) {
  bvtest::TempDir dir;
  CRuleSet none;
  EXPECT_FALSE(AddExclusionsFromFile(&none, dir.SystemOf("exclude.ini")));  // missing file
  EXPECT_EQ(none.GroupCount(kRuleAlwaysExclude), 0u);
  dir.Write("exclude.ini",
            "# comment\n"
            "exclude=*.tmp\n"
            "exclude.path.only=C:\\spool\n"
            "exclude=$(hidden)\n"
            "include=C:\\x\n"
            "Exclude=C:\\y\n"
            "exclude=\n"
            "exclude=$(windows)tmp\n");
  bvtest::EventCollector events;
  CRuleSet rules;
  ASSERT_TRUE(AddExclusionsFromFile(&rules, dir.SystemOf("exclude.ini")));
  const CRuleGroup* g = rules.FindGroup(kRuleAlwaysExclude, "built-in exclude");
  ASSERT_NE(g, nullptr);
  EXPECT_TRUE(g->Enabled());
  EXPECT_EQ(g->Text(), "Built-in Exclude Group");
  std::string items;
  for (size_t i = 0; i < g->ItemCount(); ++i)
    items += g->Item(i)->mask + "/" + std::to_string(g->Item(i)->pathOnly) + "/" +
             std::to_string(g->Item(i)->attributes) + "/" + g->Item(i)->desc + " ";
  EXPECT_EQ(items, "*.tmp/0/0/ C:\\spool/1/0/ !/0/" + std::to_string(kRuleAttrHidden) +
                       "/ C:\\usr\\tmp/0/0/ ");

  std::vector<std::string> texts;
  for (const EventData& e : events.Events())
    if (e.code == kEvInvalidContent) texts.push_back(e.text1);
  const std::string prefix = "Invalid line in " + dir.SystemOf("exclude.ini") + " ";
  EXPECT_EQ(texts, (std::vector<std::string>{prefix + "include=C:\\x",
                                             prefix + "Exclude=C:\\y",  // keys are case-sensitive
                                             prefix + "exclude="}));
  rules.AddGroup(kRuleInclude, "all", "t")->AddItem("C:\\", "");
  EXPECT_FALSE(rules.Match("C:\\a\\b.TMP"));
  EXPECT_TRUE(rules.Match("C:\\a\\b.TMP", true));
  EXPECT_FALSE(rules.Match("C:\\spool\\job"));
  EXPECT_TRUE(rules.Match("C:\\spool\\sub\\job"));

  // Adding again replaces the group instead of doubling it.
  ASSERT_TRUE(AddExclusionsFromFile(&rules, dir.SystemOf("exclude.ini")));
  EXPECT_EQ(rules.GroupCount(kRuleAlwaysExclude), 1u);
}

TEST(ExcludeFile, BuiltInListSuitsAWorkstation) {
  bvtest::EventCollector events;
  CRuleSet rules;
  rules.AddGroup(kRuleInclude, "group1", "Group1 Text")->AddItem("C:\\", "");
  ASSERT_TRUE(AddBuiltinExclusions(&rules));
  EXPECT_EQ(events.CountOf(kEvInvalidContent), 0u);
  const std::string home = plat::GetShellFolder(plat::ShellFolder::kProfile);
  ASSERT_FALSE(home.empty());
  // Kept: user files and the data of mail and browser programs. Left out:
  // caches, trash, volatile system folders, temporary and backup files.
  const char* cache = std::getenv("XDG_CACHE_HOME");
  const std::pair<std::string, bool> paths[] = {
      {home + "\\Documents\\report.odt", true},
      {home + "\\.thunderbird\\abc.default\\Mail\\Inbox", true},
      {home + "\\.mozilla\\firefox\\abc.default\\places.sqlite", true},
      {home + "\\.bashrc", true},
      {"C:\\etc\\fstab", true},
      {home + "\\.cache\\thumbnails\\normal\\a.png", cache && *cache},
      {home + "\\.local\\share\\Trash\\files\\old.odt", false},
      {GetDataFolder() + "PLAN\\1\\Logging.dat", false},
      {"C:\\proc\\1\\status", false},
      {"C:\\tmp\\x", false},
      {"C:\\var\\cache\\apt\\pkgcache.bin", false},
      {home + "\\Documents\\draft.tmp", false},
      {home + "\\Documents\\report.odt~", false},
      {home + "\\Documents\\.~lock.report.odt#", false},
      {home + "\\.config\\chromium\\Default\\GPUCache\\data_1", false},
  };
  for (const auto& [path, kept] : paths) EXPECT_EQ(rules.Match(path), kept) << path;

  // A plan that searches the whole computer for pictures leaves the system's
  // trees and other mounts out; a plan of chosen folders keeps what it chose.
  CRuleSet pictures;
  pictures.AddGroup(kRuleInclude, "group1", "Group1 Text")->AddItem("*.PNG", "");
  ASSERT_TRUE(AddBuiltinExclusions(&pictures));
  CRuleSet chosen;
  chosen.AddGroup(kRuleInclude, "group1", "Group1 Text")->AddItem("C:\\usr\\share\\art", "");
  chosen.FindGroup(kRuleInclude, "group1")->AddItem("C:\\etc", "");
  ASSERT_TRUE(AddBuiltinExclusions(&chosen));
  EXPECT_EQ(events.CountOf(kEvInvalidContent), 0u);
  for (const char* system : {"C:\\usr\\share\\art\\a.png", "C:\\opt\\app\\icon.png",
                             "C:\\var\\lib\\x.png", "C:\\etc\\x.png", "C:\\boot\\grub\\x.png",
                             "C:\\snap\\x\\y.png", "C:\\media\\stick\\x.png"}) {
    EXPECT_FALSE(pictures.Match(system)) << system;
  }
  EXPECT_TRUE(pictures.Match(home + "\\Pictures\\holiday.png"));
  EXPECT_TRUE(chosen.Match("C:\\usr\\share\\art\\a.png"));
  EXPECT_TRUE(chosen.Match("C:\\etc\\fstab"));
}

}  // namespace
