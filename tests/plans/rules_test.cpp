#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "plans/RuleSet.h"
#include "support/TempDir.h"

namespace {

TEST(RuleScore, CountsCharactersByKind) {
  const std::pair<const char*, int> cases[] = {
      {"", 0},
      {"*", 10},  // the first character counts 10 whatever it is
      {"C:\\DATA\\*", 75},
      {"*.DOC", 50},
      {"C:\\DATA", 70},
      {"a?b*", 10 - 3 + 10 - 5},
      {"\xC3\xA9\xC3\xA9", 20},  // "éé": characters, not bytes
  };
  for (const auto& [mask, score] : cases) EXPECT_EQ(ScoreOfMask(mask), score) << mask;
}

TEST(RuleMatchHelpers, LiesWithinAndWildcards) {
  struct Case {
    const char* pattern;
    std::string text;
    bool expected;
  };
  const std::string many(20000, 'A');
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
      // Many stars against a long text that almost matches: finishes (no
      // backtracking explosion).
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
  EXPECT_FALSE(off->Match("C:\\A\\X"));
  EXPECT_FALSE(off->Match("C:\\B\\X"));
  EXPECT_TRUE(off->Match("C:\\C\\X"));
}

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
  EXPECT_TRUE(rules->Match(dir.SystemOf("locked.txt")));
  always->AddItem("!", "", true, false, kRuleAttrReadOnly);
  EXPECT_FALSE(rules->Match(dir.SystemOf("locked.txt")));
  EXPECT_TRUE(rules->Match(dir.SystemOf("plain.txt")));
  // Attributes are read from the path as given, not its upper-case copy.
  EXPECT_TRUE(rules->Match(dir.SystemOf(".SECRET")));
  // An attribute item of an ordinary exclude group wins over an include of
  // the very file.
  CRuleSet own;
  own.AddGroup(kRuleInclude, "i", "t")->AddItem(dir.SystemOf(".secret"), "");
  own.AddGroup(kRuleExclude, "e", "t")->AddItem("!", "", true, false, kRuleAttrHidden);
  EXPECT_FALSE(own.Match(dir.SystemOf(".secret")));
}

}  // namespace
