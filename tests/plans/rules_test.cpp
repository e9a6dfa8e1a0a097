// Rule sets: scores, wildcards, matching, attribute items, and the rule file
// written, read back, read leniently by hand and refused when malformed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "plans/RuleFile.h"
#include "plans/RuleSet.h"
#include "support/TempDir.h"

namespace {

TEST(RuleMatch, ScoresWithinAndWildcards) {
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
}

// A rule set written as "+mask" (include), "-mask" (exclude), "!mask"
// (always excluded); a trailing "/" marks a path-only item, "@group=scope" a
// new group of that kind.
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

TEST(RuleMatch, ScoresScopesAndAlwaysExcludesDecide) {
  struct Case {
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
  for (const Case& c : cases)
    for (const auto& [path, want] : c.paths)
      EXPECT_EQ(c.rules->Match(path), want) << c.what << ": " << path;
  EXPECT_TRUE(cases[3].rules->Match("C:\\DATA\\IMPORTANT\\REPORT.DOC", true)) << "skipped always";

  // Within one list the first of equal scores decides too.
  CRuleSet two;
  two.AddGroup(kRuleExclude, "e", "t")->AddItem("C:\\X", "");
  two.AddGroup(kRuleInclude, "i", "t")->AddItem("C:\\Y", "");
  EXPECT_FALSE(two.Match("C:\\X\\1"));
  // Disabled groups and items are ignored.
  auto off = Rules({"+C:\\C"});
  off->FindGroup(kRuleInclude, "group1")->AddItem("C:\\A", "", false);
  off->AddGroup(kRuleInclude, "off", "t", false)->AddItem("C:\\B", "");
  off->AddGroup(kRuleAlwaysExclude, "off", "t", false)->AddItem("*", "");
  EXPECT_FALSE(off->Match("C:\\A\\X") || off->Match("C:\\B\\X"));
  EXPECT_TRUE(off->Match("C:\\C\\X"));
}

// Attribute items look at the file itself (the path as given, not its
// upper-case copy); one in an ordinary exclude group beats an include of the
// very file.
TEST(RuleMatch, AttributeItemsLookAtTheFileItself) {
  bvtest::TempDir dir;
  dir.Write(".secret", "s");
  dir.Write("plain.txt", "p");
  dir.Write("locked.txt", "l");
  ASSERT_EQ(chmod(dir.NativeOf("locked.txt").c_str(), 0444), 0);
  auto rules = Rules({"+" + dir.System()});
  CRuleGroup* always = rules->FindGroup(kRuleAlwaysExclude, "built-in exclude");
  always->AddItem("!", "", true, false, kRuleAttrHidden);
  EXPECT_FALSE(rules->Match(dir.SystemOf(".secret")));
  EXPECT_TRUE(rules->Match(dir.SystemOf(".ghost")));  // a hidden name, but no such file
  EXPECT_TRUE(rules->Match(dir.SystemOf(".SECRET")));
  EXPECT_TRUE(rules->Match(dir.SystemOf("locked.txt")));
  always->AddItem("!", "", true, false, kRuleAttrReadOnly);
  EXPECT_FALSE(rules->Match(dir.SystemOf("locked.txt")));
  EXPECT_TRUE(rules->Match(dir.SystemOf("plain.txt")));
  CRuleSet own;
  own.AddGroup(kRuleInclude, "i", "t")->AddItem(dir.SystemOf(".secret"), "");
  own.AddGroup(kRuleExclude, "e", "t")->AddItem("!", "", true, false, kRuleAttrHidden);
  EXPECT_FALSE(own.Match(dir.SystemOf(".secret")));
}

std::unique_ptr<CRuleSet> LoadText(const bvtest::TempDir& dir, const std::string& text) {
  dir.Write("IncExc.ini", text);
  return LoadRuleSet(dir.SystemOf("IncExc.ini"));
}

TEST(RuleFile, SavesTheWrittenFormAndLoadsItBack) {
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
            "groups.inc.begin\n"
            "group.begin=group1\ngroup.text=Group1 Text\ngroup.pattern=C:\\home\\ann\n"
            "item.begin\nitem.mask=C:\\home\\ann\\Documents\nitem.desc=docs\nitem.end\n"
            "item.begin\nitem.mask=*.odt\nitem.desc\nitem.end\n"
            "group.end\ngroups.end\n"
            "groups.exc.begin\n"
            "group.begin=group2\ngroup.text=Group2 Text\ngroup.pattern\n"
            "item.begin\nitem.mask=C:\\home\\ann\\Documents\\tmp\nitem.desc=a=b\nitem.end\n"
            "group.end\ngroups.end\n"
            "groups.alw.begin\n"
            "group.begin=built-in exclude\ngroup.text=Built-in Exclude Group\ngroup.pattern\n"
            "item.begin\nitem.mask=*.tmp\nitem.desc\nitem.end\n"
            "group.end\ngroups.end\n");
  auto back = LoadRuleSet(dir.SystemOf("IncExc.ini"));
  ASSERT_NE(back, nullptr);
  ASSERT_EQ(back->GroupCount(kRuleInclude), 1u);
  ASSERT_EQ(back->GroupCount(kRuleExclude), 1u);
  EXPECT_EQ(back->GroupCount(kRuleAlwaysExclude), 0u);  // rebuilt from exclude.ini instead
  const CRuleGroup* inc = back->FindGroup(kRuleInclude, "group1");
  ASSERT_NE(inc, nullptr);
  EXPECT_TRUE(inc->Enabled());
  EXPECT_EQ(inc->Text() + "|" + inc->Pattern(), "Group1 Text|C:\\home\\ann");
  ASSERT_EQ(inc->ItemCount(), 2u);
  EXPECT_EQ(inc->Item(0)->desc, "docs");
  EXPECT_EQ(inc->Item(1)->mask, "*.odt");
  EXPECT_EQ(inc->Item(1)->pathOnly + inc->Item(1)->attributes, 0u);
  EXPECT_EQ(inc->Item(1)->score, 50);  // "*" first counts 10
  EXPECT_EQ(back->FindGroup(kRuleExclude, "group2")->Item(0)->desc, "a=b");
  EXPECT_TRUE(back->Match("C:\\home\\ann\\Documents\\a.txt"));
  EXPECT_FALSE(back->Match("C:\\home\\ann\\Documents\\tmp\\a.txt"));
  EXPECT_FALSE(back->Match("C:\\home\\bob\\b.odt"));  // outside the scope
  EXPECT_EQ(LoadRuleSet(dir.SystemOf("missing.ini")), nullptr);
  EXPECT_FALSE(SaveRuleSet(CRuleSet(), dir.SystemOf("no/such/folder/IncExc.ini")));
}

// Files by hand, and malformed ones (nullptr: refused whole). An always
// section is skipped whatever it holds; end of file closes an open section;
// CRLF lines and comments are fine; a second group opener before the
// pattern drops the unfinished group and ends the section; a group without
// text loads disabled.
TEST(RuleFile, HandWrittenFilesLoadLenientlyAndMalformedOnesFailWhole) {
  bvtest::TempDir dir;
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
      {"comments only", "# only a comment\r\n\r\n", 0, 0, false},
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
      {"item without end", head + "item.begin\nitem.mask=m\nitem.desc\ngroup.end\n", -1},
      {"text outside a group", "groups.inc.begin\ngroup.text=t\n", -1},
      {"pattern outside a group", "groups.exc.begin\ngroup.pattern=C:\\\n", -1},
      {"group end before pattern", "groups.inc.begin\ngroup.begin=g\ngroup.end\n", -1},
      {"stray group end", "groups.inc.begin\ngroup.end\n", -1},
      {"item outside a group", "groups.inc.begin\nitem.begin\n", -1},
      {"unknown entry in a section", head + "color=red\n", -1},
      {"unknown entry at top level", "color=red\n", -1},
      {"group at top level", "group.begin=g\n", -1},
      {"closer at top level", "groups.end\n", -1},
      {"empty group name", "groups.inc.begin\ngroup.begin\ngroup.text=t\ngroup.pattern\n", -1},
      {"bad after a good section", head + "group.end\ngroups.end\ngroups.exc.begin\nitem.end\n",
       -1},
  };
  for (const Case& c : cases) {
    auto rules = LoadText(dir, c.text);
    ASSERT_EQ(rules != nullptr, c.include >= 0) << c.what;
    if (!rules) continue;
    EXPECT_EQ(rules->GroupCount(kRuleInclude), size_t(c.include)) << c.what;
    EXPECT_EQ(rules->GroupCount(kRuleExclude), size_t(c.exclude)) << c.what;
    EXPECT_EQ(rules->GroupCount(kRuleAlwaysExclude), 0u) << c.what;
    EXPECT_EQ(rules->Match("C:\\A\\b"), c.matches) << c.what;
  }
}

// Inputs kept from fuzzing and hand-made damaged files: each loads or fails
// cleanly, and a loaded set survives save and reload with its enabled groups.
TEST(RuleFile, KeptInputsLoadOrFailCleanly) {
  bvtest::TempDir dir;
  int seen = 0;
  for (const char* sub : {"rules", "keyvalue"}) {
    for (const auto& e :
         std::filesystem::directory_iterator(std::filesystem::path(BV_TEST_DATA_DIR) / sub)) {
      ++seen;
      auto rules = LoadRuleSet(bvtest::NativeToSystemC(e.path().string()));
      if (!rules) continue;
      ASSERT_TRUE(SaveRuleSet(*rules, dir.SystemOf("re.ini"))) << e.path();
      auto again = LoadRuleSet(dir.SystemOf("re.ini"));
      ASSERT_NE(again, nullptr) << e.path();
      for (int32_t kind : {kRuleInclude, kRuleExclude}) {
        size_t enabled = 0;
        for (size_t i = 0; i < rules->GroupCount(kind); ++i)
          enabled += rules->Group(kind, i)->Enabled();
        EXPECT_EQ(again->GroupCount(kind), enabled) << e.path();
      }
    }
  }
  EXPECT_GT(seen, 0);
}

}  // namespace
