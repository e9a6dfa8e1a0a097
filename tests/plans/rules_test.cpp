#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

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

TEST(RuleSetModel, GroupsAndItems) {
  CRuleSet rules;
  EXPECT_EQ(rules.AddGroup(kRuleInclude, "", "text"), nullptr);
  EXPECT_EQ(rules.AddGroup(7, "x", "text"), nullptr);
  CRuleGroup* a = rules.AddGroup(kRuleInclude, "g", "first");
  CRuleGroup* b = rules.AddGroup(kRuleInclude, "g", "second");
  CRuleGroup* quiet = rules.AddGroup(kRuleExclude, "g", "");
  ASSERT_TRUE(a && b && quiet);
  EXPECT_FALSE(quiet->Enabled());  // no text: stays disabled
  EXPECT_EQ(rules.FindGroup(kRuleInclude, "g"), a);
  EXPECT_EQ(rules.FindGroup(kRuleInclude, "G"), nullptr);
  EXPECT_EQ(rules.FindGroup(kRuleExclude, "g"), quiet);
  EXPECT_TRUE(rules.RemoveGroup(kRuleInclude, "g"));
  EXPECT_EQ(rules.FindGroup(kRuleInclude, "g"), b);
  EXPECT_EQ(rules.GroupCount(kRuleInclude), 1u);
  EXPECT_FALSE(rules.RemoveGroup(kRuleAlwaysExclude, "g"));

  b->SetPattern("  c:\\Data\t ");
  EXPECT_EQ(b->PatternUpper(), "C:\\DATA");
  EXPECT_EQ(b->AddItem("", "d"), nullptr);
  const CRuleItem* it = b->AddItem("c:\\data\\*", "desc", true, true, kRuleAttrHidden);
  ASSERT_NE(it, nullptr);
  EXPECT_EQ(it->maskUpper, "C:\\DATA\\*");
  EXPECT_EQ(it->score, 75);
  EXPECT_EQ(b->Item(1), nullptr);
}

class RuleMatch : public ::testing::Test {
 protected:
  void Include(const char* mask) { inc_->AddItem(mask, ""); }
  void Exclude(const char* mask) { exc_->AddItem(mask, ""); }
  CRuleSet rules_;
  CRuleGroup* inc_ = rules_.AddGroup(kRuleInclude, "group1", "Group1 Text");
  CRuleGroup* exc_ = rules_.AddGroup(kRuleExclude, "group2", "Group2 Text");
  CRuleGroup* alw_ = rules_.AddGroup(kRuleAlwaysExclude, "built-in exclude", "Built-in");
};

TEST_F(RuleMatch, HigherScoreWins) {
  Include("C:\\DATA");        // 70
  Exclude("C:\\DATA\\TEMP");  // 120
  EXPECT_FALSE(rules_.Match("C:\\Data\\Temp\\x.doc"));
  EXPECT_TRUE(rules_.Match("C:\\Data\\x.doc"));
  EXPECT_TRUE(rules_.Match("c:\\data"));  // the folder itself
  EXPECT_FALSE(rules_.Match("C:\\DATABASE\\a.doc"));
  EXPECT_FALSE(rules_.Match(""));
}

TEST_F(RuleMatch, ExtensionLosesToLongerFolder) {
  Include("*.DOC");     // 50
  Exclude("C:\\DATA");  // 70
  EXPECT_FALSE(rules_.Match("C:\\DATA\\A.DOC"));
  EXPECT_TRUE(rules_.Match("C:\\OTHER\\A.doc"));
  EXPECT_FALSE(rules_.Match("C:\\OTHER\\A.TXT"));
  Include("*.*");  // matches every path, also one without an extension
  EXPECT_TRUE(rules_.Match("C:\\NOEXT\\README"));
}

TEST_F(RuleMatch, EqualScoresKeepTheEarlierInclude) {
  Include("C:\\DATA\\*.TXT");
  Exclude("C:\\DATA\\*.TXT");
  EXPECT_TRUE(rules_.Match("C:\\DATA\\A.TXT"));
  // Within one list the first of equal scores decides too.
  CRuleSet two;
  two.AddGroup(kRuleExclude, "e", "t")->AddItem("C:\\X", "");
  two.AddGroup(kRuleInclude, "i", "t")->AddItem("C:\\Y", "");
  EXPECT_FALSE(two.Match("C:\\X\\1"));
}

TEST_F(RuleMatch, AlwaysExcludeOverridesAndCanBeSkipped) {
  Include("C:\\DATA\\IMPORTANT\\REPORT.DOC");  // very high score
  alw_->AddItem("*.DOC", "");
  EXPECT_FALSE(rules_.Match("C:\\DATA\\IMPORTANT\\REPORT.DOC"));
  EXPECT_TRUE(rules_.Match("C:\\DATA\\IMPORTANT\\REPORT.DOC", true));
}

TEST_F(RuleMatch, PathOnlyExcludesDirectEntriesOnly) {
  Include("C:\\");
  alw_->AddItem("C:\\WINDOWS\\TEMP", "", true, true);
  EXPECT_FALSE(rules_.Match("C:\\WINDOWS\\TEMP\\A.TMP"));
  EXPECT_TRUE(rules_.Match("C:\\WINDOWS\\TEMP\\SUB\\A.TMP"));
  EXPECT_FALSE(rules_.Match("C:\\WINDOWS\\TEMP"));
  EXPECT_TRUE(rules_.Match("C:\\WINDOWS\\TEMPLATES\\A"));
  // With a closing separator the rest starts right after it.
  alw_->AddItem("C:\\VAR\\", "", true, true);
  EXPECT_FALSE(rules_.Match("C:\\VAR\\X"));
  EXPECT_TRUE(rules_.Match("C:\\VAR\\Y\\X"));
  // A wildcard match of a path-only item excludes at any depth.
  alw_->AddItem("C:\\SPOOL\\*.JOB", "", true, true);
  EXPECT_FALSE(rules_.Match("C:\\SPOOL\\A\\B.JOB"));
}

TEST_F(RuleMatch, GroupScopeGatesItsItems) {
  inc_->SetPattern("C:\\HOME");
  Include("*.TXT");
  EXPECT_TRUE(rules_.Match("C:\\HOME\\ANN\\A.TXT"));
  EXPECT_FALSE(rules_.Match("C:\\ETC\\A.TXT"));
  CRuleGroup* wild = rules_.AddGroup(kRuleInclude, "music", "!");
  wild->SetPattern("*\\MUSIC\\*");
  wild->AddItem("*", "");
  EXPECT_TRUE(rules_.Match("C:\\SRV\\MUSIC\\A.OGG"));
  EXPECT_FALSE(rules_.Match("C:\\SRV\\VIDEO\\A.OGG"));
}

TEST_F(RuleMatch, DisabledGroupsAndItemsAreIgnored) {
  inc_->AddItem("C:\\A", "", false);
  EXPECT_FALSE(rules_.Match("C:\\A\\X"));
  CRuleGroup* off = rules_.AddGroup(kRuleInclude, "off", "t", false);
  off->AddItem("C:\\B", "");
  EXPECT_FALSE(rules_.Match("C:\\B\\X"));
  rules_.AddGroup(kRuleAlwaysExclude, "off", "t", false)->AddItem("*", "");
  Include("C:\\C");
  EXPECT_TRUE(rules_.Match("C:\\C\\X"));
}

TEST_F(RuleMatch, AttributeItemsLookAtTheFileItself) {
  bvtest::TempDir dir;
  dir.Write(".secret", "s");
  dir.Write("plain.txt", "p");
  dir.Write("locked.txt", "l");
  ASSERT_EQ(chmod(dir.NativeOf("locked.txt").c_str(), 0444), 0);
  Include(dir.System().c_str());
  alw_->AddItem("!", "", true, false, kRuleAttrHidden);
  EXPECT_FALSE(rules_.Match(dir.SystemOf(".secret")));
  EXPECT_TRUE(rules_.Match(dir.SystemOf(".ghost")));  // a hidden name, but no such file
  EXPECT_TRUE(rules_.Match(dir.SystemOf("plain.txt")));
  EXPECT_TRUE(rules_.Match(dir.SystemOf("locked.txt")));
  alw_->AddItem("!", "", true, false, kRuleAttrReadOnly);
  EXPECT_FALSE(rules_.Match(dir.SystemOf("locked.txt")));
  EXPECT_TRUE(rules_.Match(dir.SystemOf("plain.txt")));
  // Attributes are read from the path as given, not its upper-case copy.
  EXPECT_TRUE(rules_.Match(dir.SystemOf(".SECRET")));
  // An attribute item of an ordinary exclude group wins over an include of
  // the very file.
  CRuleSet own;
  own.AddGroup(kRuleInclude, "i", "t")->AddItem(dir.SystemOf(".secret"), "");
  own.AddGroup(kRuleExclude, "e", "t")->AddItem("!", "", true, false, kRuleAttrHidden);
  EXPECT_FALSE(own.Match(dir.SystemOf(".secret")));
}

}  // namespace
