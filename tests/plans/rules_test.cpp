// Rule sets: scores, wildcards, matching; the rule file; the built-in exclusions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "common/Settings.h"
#include "common/Texts.h"
#include "plans/BuiltinExclusions.h"
#include "plans/RuleFile.h"
#include "plans/RuleSet.h"
#include "platform/profile/Folders.h"
#include "support/EventCollector.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

// "+mask" include, "-mask" exclude, "!mask" always; "mask/" path-only, "@group=scope" a group.
std::unique_ptr<CRuleSet> Rules(std::initializer_list<std::string> items) {
  auto rules = std::make_unique<CRuleSet>();
  CRuleGroup* groups[3] = {rules->AddGroup(kRuleInclude, "group1", "Group1 Text"),
                           rules->AddGroup(kRuleExclude, "group2", "Group2 Text"),
                           rules->AddGroup(kRuleAlwaysExclude, "built-in exclude", "Built-in")};
  for (std::string item : items) {
    const int kind = item[0] == '+' ? 0 : item[0] == '-' ? 1 : 2;
    const int32_t kinds[] = {kRuleInclude, kRuleExclude, kRuleAlwaysExclude};
    item.erase(0, 1);
    if (item[0] == '@') {
      const size_t eq = item.find('=');
      groups[kind] = rules->AddGroup(kinds[kind], item.substr(1, eq - 1), "t");
      groups[kind]->SetPattern(item.substr(eq + 1));
      continue;
    }
    const bool pathOnly = item.size() > 1 && item.back() == '/';
    if (pathOnly) item.pop_back();
    groups[kind]->AddItem(item, "", true, pathOnly);
  }
  return rules;
}

// Masks score, lie within and match; higher scores, scopes and always-excludes decide.
TEST(RuleMatch, ScoresScopesAndAlwaysExcludesDecide) {
  const std::pair<const char*, int> scores[] = {
      {"", 0},
      {"*", 10},  // the first character counts 10 whatever it is
      {"C:\\DATA\\*", 75},
      {"*.DOC", 50},
      {"a?b*", 10 - 3 + 10 - 5},
      {"\xC3\xA9\xC3\xA9", 20},  // characters, not bytes
  };
  for (const auto& [mask, score] : scores) EXPECT_EQ(ScoreOfMask(mask), score) << mask;
  struct Case {
    const char* pattern;
    std::string text;
    bool expected;
  };
  const Case within[] = {
      {"C:\\DATA", "C:\\DATA", true},
      {"C:\\DATA", "C:\\DATA\\A.TXT", true},
      {"C:\\DATA\\", "C:\\DATA\\A.TXT", true},
      {"C:\\DATA", "C:\\DATABASE\\A.TXT", false},
      {"C:\\DATA\\A.TXT", "C:\\DATA", false},
      {"", "C:\\DATA", false},
      {"C:\\", "C:\\X", true},
  };
  for (const Case& c : within) EXPECT_EQ(LiesWithin(c.pattern, c.text), c.expected) << c.pattern;
  const std::string many(20000, 'A');
  const Case wild[] = {
      {"*.MP3", "C:\\MUSIC\\SUB\\A.MP3", true},
      {"*.MP3", "C:\\MUSIC\\A.MP3X", false},
      {"C:\\?\\*", "C:\\A\\B\\C", true},
      {"C:\\?\\*", "C:\\AB\\C", false},
      {"*", "", true},
      {"?", "", false},
      {"A*B*C", "AXXBYYBZZC", true},
      {"A*B*C", "AXXBYYBZZ", false},
      {"**A**", "BAB", true},
      // "?" takes one whole character, also a multi-byte one.
      {"X?Y", "X\xC3\x89Y", true},
      {"X??Y", "X\xC3\x89Y", false},
      {"*?Y", "\xC3\x89Y", true},
      // Many stars against a long text that almost matches: no backtracking explosion.
      {"*A*A*A*A*A*A*A*A*A*A*A*A*A*A*A*B", many, false},
      {"*A*A*A*A*A*A*A*A*A*A*A*A*A*A*A*A", many, true},
  };
  for (const Case& c : wild) EXPECT_EQ(WildcardMatch(c.pattern, c.text), c.expected) << c.pattern;
  struct Scenario {
    const char* what;
    std::unique_ptr<CRuleSet> rules;
    std::vector<std::pair<const char*, bool>> paths;
  } cases[] = {
      {"higher score wins",
       Rules({"+C:\\DATA", "-C:\\DATA\\TEMP"}),
       {{"C:\\Data\\Temp\\x.doc", false},
        {"C:\\Data\\x.doc", true},
        {"c:\\data", true},
        {"C:\\DATABASE\\a.doc", false},
        {"", false}}},
      {"extension loses to a longer folder",
       Rules({"+*.DOC", "-C:\\DATA", "+*.*"}),
       {{"C:\\DATA\\A.DOC", false}, {"C:\\OTHER\\A.doc", true}, {"C:\\NOEXT\\README", true}}},
      {"equal scores keep the earlier include",
       Rules({"+C:\\DATA\\*.TXT", "-C:\\DATA\\*.TXT"}),
       {{"C:\\DATA\\A.TXT", true}}},
      {"always-exclude beats any score",
       Rules({"+C:\\DATA\\IMPORTANT\\REPORT.DOC", "!*.DOC"}),
       {{"C:\\DATA\\IMPORTANT\\REPORT.DOC", false}}},
      {"path-only items exclude direct entries only",
       Rules({"+C:\\", "!C:\\WINDOWS\\TEMP/", "!C:\\VAR\\/", "!C:\\SPOOL\\*.JOB/"}),
       {{"C:\\WINDOWS\\TEMP\\A.TMP", false},
        {"C:\\WINDOWS\\TEMP\\SUB\\A.TMP", true},
        {"C:\\WINDOWS\\TEMP", false},
        {"C:\\WINDOWS\\TEMPLATES\\A", true},
        {"C:\\VAR\\X", false},
        {"C:\\VAR\\Y\\X", true},
        {"C:\\SPOOL\\A\\B.JOB", false}}},  // a wildcard match at any depth
      {"a group's scope gates its items",
       Rules({"+@home=C:\\HOME", "+*.TXT", "+@music=*\\MUSIC\\*", "+*"}),
       {{"C:\\HOME\\ANN\\A.TXT", true},
        {"C:\\ETC\\A.TXT", false},
        {"C:\\SRV\\MUSIC\\A.OGG", true},
        {"C:\\SRV\\VIDEO\\A.OGG", false}}},
  };
  for (const Scenario& c : cases)
    for (const auto& [path, want] : c.paths)
      EXPECT_EQ(c.rules->Match(path), want) << c.what << ": " << path;
  EXPECT_TRUE(cases[3].rules->Match("C:\\DATA\\IMPORTANT\\REPORT.DOC", true)) << "skipped always";
  // Disabled groups and items are ignored.
  auto off = Rules({"+C:\\C"});
  off->FindGroup(kRuleInclude, "group1")->AddItem("C:\\A", "", false);
  off->AddGroup(kRuleAlwaysExclude, "off", "t", false)->AddItem("*", "");
  EXPECT_FALSE(off->Match("C:\\A\\X"));
  EXPECT_TRUE(off->Match("C:\\C\\X"));
}

// Files by hand load leniently (a group without text disabled), malformed ones are refused.
TEST(RuleFile, SavesTheWrittenFormLoadsItBackAndRefusesMalformedFiles) {
  bvtest::TempDir dir;
  CRuleSet rules;
  CRuleGroup* g1 = rules.AddGroup(kRuleInclude, "group1", "Group1 Text");
  g1->SetPattern("  C:\\home\\ann ");
  g1->AddItem("C:\\home\\ann\\Documents", "docs");
  g1->AddItem("C:\\home\\ann\\off", "disabled", false);
  g1->AddItem("*.odt", "", true, true, kRuleAttrHidden);            // flags are not stored
  rules.AddGroup(kRuleInclude, "quiet", "")->AddItem("C:\\x", "");  // disabled group
  rules.AddGroup(kRuleExclude, "group2", "Group2 Text")
      ->AddItem("C:\\home\\ann\\Documents\\tmp", "a=b");
  rules.AddGroup(kRuleAlwaysExclude, "built-in exclude", "Built-in Exclude Group")
      ->AddItem("*.tmp", "");
  ASSERT_TRUE(SaveRuleSet(rules, dir.SystemOf("IncExc.ini")));
  EXPECT_EQ(dir.Read("IncExc.ini"),
            "groups.inc.begin\ngroup.begin=group1\ngroup.text=Group1 Text\n"
            "group.pattern=C:\\home\\ann\nitem.begin\nitem.mask=C:\\home\\ann\\Documents\n"
            "item.desc=docs\nitem.end\nitem.begin\nitem.mask=*.odt\nitem.desc\nitem.end\n"
            "group.end\ngroups.end\ngroups.exc.begin\ngroup.begin=group2\ngroup.text=Group2 Text\n"
            "group.pattern\nitem.begin\nitem.mask=C:\\home\\ann\\Documents\\tmp\nitem.desc=a=b\n"
            "item.end\ngroup.end\ngroups.end\ngroups.alw.begin\ngroup.begin=built-in exclude\n"
            "group.text=Built-in Exclude Group\ngroup.pattern\nitem.begin\nitem.mask=*.tmp\n"
            "item.desc\nitem.end\ngroup.end\ngroups.end\n");
  auto back = LoadRuleSet(dir.SystemOf("IncExc.ini"));
  ASSERT_NE(back, nullptr);
  const std::string saved = dir.Read("IncExc.ini");  // the always groups come from exclude.ini
  EXPECT_EQ(FormatRuleSet(*back),
            saved.substr(0, saved.find("groups.alw.begin")) + "groups.alw.begin\ngroups.end\n");
  const CRuleItem* odt = back->FindGroup(kRuleInclude, "group1")->Item(1);
  EXPECT_EQ(odt->pathOnly + odt->attributes, 0u);
  EXPECT_EQ(odt->score, 50);  // "*" first counts 10
  EXPECT_TRUE(back->Match("C:\\home\\ann\\Documents\\a.txt"));
  EXPECT_FALSE(back->Match("C:\\home\\ann\\Documents\\tmp\\a.txt"));
  EXPECT_FALSE(back->Match("C:\\home\\bob\\b.odt"));  // outside the scope
  EXPECT_EQ(LoadRuleSet(dir.SystemOf("missing.ini")), nullptr);
  EXPECT_FALSE(SaveRuleSet(CRuleSet(), dir.SystemOf("no/such/folder/IncExc.ini")));
  const std::string head = "groups.inc.begin\ngroup.begin=g\ngroup.text=t\ngroup.pattern\n";
  const std::string inc = head + "item.begin\nitem.mask=C:\\A\nitem.desc\nitem.end\ngroup.end\n";
  struct Case {
    const char* what;
    std::string text;
    int include;  // -1: refused
    int exclude = 0;
    bool matches = false;
  } cases[] = {
      {"empty", "", 0, 0, false},
      {"always section skipped",
       "groups.alw.begin\ngroup.begin=built-in exclude\ngroup.text=x\ngroup.pattern\n"
       "item.begin\nitem.desc=out of order\nitem.end\nnonsense\ngroups.end\n" +
           inc + "groups.end\n",
       1, 0, true},
      {"unfinished always section", "groups.alw.begin\ngroup.begin=x\n", 0, 0, false},
      {"open section, CRLF, padding",
       "# saved by hand\r\ngroups.inc.begin\r\n  group.begin = g \r\ngroup.text=t\r\n! note\r\n"
       "group.pattern=\r\nitem.begin\r\nitem.mask= C:\\A \r\nitem.desc=\r\nitem.end\r\n",
       1, 0, true},
      {"second opener",
       "groups.inc.begin\ngroup.begin=a\ngroup.text=t\ngroup.begin=b\n"
       "groups.exc.begin\ngroup.begin=e\ngroup.text=t\ngroup.pattern\n"
       "item.begin\nitem.mask=C:\\E\nitem.desc\nitem.end\ngroup.end\ngroups.end\n",
       0, 1, false},
      {"group without text",
       "groups.inc.begin\ngroup.begin=g\ngroup.pattern\n"
       "item.begin\nitem.mask=C:\\A\nitem.desc\nitem.end\ngroup.end\ngroups.end\n",
       1, 0, false},
      {"desc before mask", head + "item.begin\nitem.desc=d\nitem.mask=m\nitem.end\n", -1},
      {"empty mask", head + "item.begin\nitem.mask=\nitem.desc\nitem.end\n", -1},
      {"item cut short", head + "item.begin\nitem.mask=m\nitem.desc\n", -1},
      {"text outside a group", "groups.inc.begin\ngroup.text=t\n", -1},
      {"group end before pattern", "groups.inc.begin\ngroup.begin=g\ngroup.end\n", -1},
      {"unknown entry in a section", head + "color=red\n", -1},
      {"unknown entry at top level", "color=red\n", -1},
      {"empty group name", "groups.inc.begin\ngroup.begin\ngroup.text=t\ngroup.pattern\n", -1},
      {"bad after good", head + "group.end\ngroups.end\ngroups.exc.begin\nitem.end\n", -1},
  };
  for (const Case& c : cases) {
    dir.Write("IncExc.ini", c.text);
    auto rules = LoadRuleSet(dir.SystemOf("IncExc.ini"));
    ASSERT_EQ(rules != nullptr, c.include >= 0) << c.what;
    if (!rules) continue;
    EXPECT_EQ(rules->GroupCount(kRuleInclude), size_t(c.include)) << c.what;
    EXPECT_EQ(rules->GroupCount(kRuleExclude), size_t(c.exclude)) << c.what;
    EXPECT_EQ(rules->GroupCount(kRuleAlwaysExclude), 0u) << c.what;
    EXPECT_EQ(rules->Match("C:\\A\\b"), c.matches) << c.what;
  }
}

std::string Expand(const std::string& value, uint32_t* attributes = nullptr) {
  std::string mask;
  uint32_t attrs = 99;
  EXPECT_TRUE(ExpandExclusionValue(value, &mask, &attrs)) << value;
  if (attributes) *attributes = attrs;
  return mask;
}

// Macros expand, a file's entries load and its bad lines are told; the built-in list.
TEST(ExcludeFile, MacrosExpandEntriesLoadAndBadLinesAreTold) {
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
  // The built-in list: kept are user, mail and browser files; out caches, trash, system,
  // temporary files and backups.
  bvtest::EventCollector events;
  CRuleSet station;
  station.AddGroup(kRuleInclude, "group1", "Group1 Text")->AddItem("C:\\", "");
  ASSERT_TRUE(AddBuiltinExclusions(&station));
  EXPECT_EQ(events.CountOf(kEvInvalidContent), 0u);
  const char* cached = std::getenv("XDG_CACHE_HOME");
  for (const std::string& path : std::vector<std::string>{
           home + "\\Documents\\report.odt", home + "\\.thunderbird\\abc.default\\Mail\\Inbox",
           home + "\\.mozilla\\firefox\\abc.default\\places.sqlite", home + "\\.bashrc",
           "C:\\etc\\fstab"})
    EXPECT_TRUE(station.Match(path)) << path;
  for (const std::string& path : std::vector<std::string>{
           home + "\\.local\\share\\Trash\\files\\old.odt",
           GetDataFolder() + "PLAN\\1\\Logging.dat", "C:\\proc\\1\\status", "C:\\tmp\\x",
           "C:\\var\\cache\\apt\\pkgcache.bin", home + "\\Documents\\draft.tmp",
           home + "\\Documents\\report.odt~", home + "\\Documents\\.~lock.report.odt#",
           home + "\\.config\\chromium\\Default\\GPUCache\\data_1"})
    EXPECT_FALSE(station.Match(path)) << path;
  // Thumbnails are kept only where the cache lies elsewhere.
  EXPECT_EQ(station.Match(home + "\\.cache\\thumbnails\\normal\\a.png"), cached && *cached);
  // A whole-computer search leaves system trees out; a plan that chose one keeps it.
  CRuleSet pictures, chosen;
  pictures.AddGroup(kRuleInclude, "group1", "t")->AddItem("*.PNG", "");
  chosen.AddGroup(kRuleInclude, "group1", "t")->AddItem("C:\\usr\\share\\art", "");
  ASSERT_TRUE(AddBuiltinExclusions(&pictures) && AddBuiltinExclusions(&chosen));
  for (const char* system :
       {"C:\\usr\\share\\art\\a.png", "C:\\media\\stick\\x.png", "C:\\boot\\grub\\x.png"})
    EXPECT_FALSE(pictures.Match(system)) << system;
  EXPECT_TRUE(pictures.Match(home + "\\Pictures\\holiday.png"));
  EXPECT_TRUE(chosen.Match("C:\\usr\\share\\art\\a.png"));
  bvtest::TempDir dir;
  bvtest::ScopedEnv cache("XDG_CACHE_HOME", dir.Native());
  EXPECT_EQ(Expand("$(ie_cache)thumbnails"), dir.System() + "\\thumbnails");
  cache.Set(nullptr);
  EXPECT_EQ(Expand("$(ie_cache)"), home + "\\.cache\\");
  CRuleSet none;
  EXPECT_FALSE(AddExclusionsFromFile(&none, dir.SystemOf("exclude.ini")));  // missing file
  EXPECT_EQ(none.GroupCount(kRuleAlwaysExclude), 0u);
  dir.Write("exclude.ini",
            "# comment\nexclude=*.tmp\nexclude.path.only=C:\\spool\nexclude=$(hidden)\n"
            "include=C:\\x\nExclude=C:\\y\nexclude=\nexclude=$(windows)tmp\n");
  events.Clear();
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
  const std::string prefix = "Invalid line in " + dir.SystemOf("exclude.ini") + " ";
  EXPECT_EQ(events.Texts(kEvInvalidContent),
            (std::vector<std::string>{prefix + "include=C:\\x",
                                      prefix + "Exclude=C:\\y",  // keys are case-sensitive
                                      prefix + "exclude="}));
  ASSERT_TRUE(AddExclusionsFromFile(&rules, dir.SystemOf("exclude.ini")));
  EXPECT_EQ(rules.GroupCount(kRuleAlwaysExclude), 1u);
}

}  // namespace
