#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "plans/RuleFile.h"
#include "support/TempDir.h"

namespace {

std::string DataDir(const char* sub) {
  return (std::filesystem::path(BV_TEST_DATA_DIR) / sub).string();
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
  CRuleGroup* g2 = rules.AddGroup(kRuleExclude, "group2", "Group2 Text");
  g2->AddItem("C:\\home\\ann\\Documents\\tmp", "a=b");
  rules.AddGroup(kRuleAlwaysExclude, "built-in exclude", "Built-in Exclude Group")
      ->AddItem("*.tmp", "");
  ASSERT_TRUE(SaveRuleSet(rules, dir.SystemOf("IncExc.ini")));
  EXPECT_EQ(dir.Read("IncExc.ini"),
            "groups.inc.begin\n"
            "group.begin=group1\ngroup.text=Group1 Text\ngroup.pattern=C:\\home\\ann\n"
            "item.begin\nitem.mask=C:\\home\\ann\\Documents\nitem.desc=docs\nitem.end\n"
            "item.begin\nitem.mask=*.odt\nitem.desc\nitem.end\n"
            "group.end\n"
            "groups.end\n"
            "groups.exc.begin\n"
            "group.begin=group2\ngroup.text=Group2 Text\ngroup.pattern\n"
            "item.begin\nitem.mask=C:\\home\\ann\\Documents\\tmp\nitem.desc=a=b\nitem.end\n"
            "group.end\n"
            "groups.end\n"
            "groups.alw.begin\n"
            "group.begin=built-in exclude\ngroup.text=Built-in Exclude Group\ngroup.pattern\n"
            "item.begin\nitem.mask=*.tmp\nitem.desc\nitem.end\n"
            "group.end\n"
            "groups.end\n");

  auto back = LoadRuleSet(dir.SystemOf("IncExc.ini"));
  ASSERT_NE(back, nullptr);
  ASSERT_EQ(back->GroupCount(kRuleInclude), 1u);
  ASSERT_EQ(back->GroupCount(kRuleExclude), 1u);
  EXPECT_EQ(back->GroupCount(kRuleAlwaysExclude), 0u);  // rebuilt from exclude.ini instead
  const CRuleGroup* inc = back->FindGroup(kRuleInclude, "group1");
  ASSERT_NE(inc, nullptr);
  EXPECT_TRUE(inc->Enabled());
  EXPECT_EQ(inc->Text(), "Group1 Text");
  EXPECT_EQ(inc->Pattern(), "C:\\home\\ann");
  ASSERT_EQ(inc->ItemCount(), 2u);
  EXPECT_EQ(inc->Item(0)->desc, "docs");
  EXPECT_EQ(inc->Item(1)->mask, "*.odt");
  EXPECT_EQ(inc->Item(1)->pathOnly, 0);
  EXPECT_EQ(inc->Item(1)->attributes, 0u);
  EXPECT_EQ(inc->Item(1)->score, 50);  // "*" first counts 10
  EXPECT_EQ(back->FindGroup(kRuleExclude, "group2")->Item(0)->desc, "a=b");
  EXPECT_TRUE(back->Match("C:\\home\\ann\\Documents\\a.txt"));
  EXPECT_FALSE(back->Match("C:\\home\\ann\\Documents\\tmp\\a.txt"));
  EXPECT_FALSE(back->Match("C:\\home\\bob\\b.odt"));  // outside the scope

  // Saving the loaded set again gives the same file, minus the always part.
  ASSERT_TRUE(SaveRuleSet(*back, dir.SystemOf("again.ini")));
  auto again = LoadRuleSet(dir.SystemOf("again.ini"));
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->FindGroup(kRuleInclude, "group1")->ItemCount(), 2u);
}

TEST(RuleFile, MalformedFilesFailWhole) {
  bvtest::TempDir dir;
  const char* head = "groups.inc.begin\ngroup.begin=g\ngroup.text=t\ngroup.pattern\n";
  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"desc before mask", std::string(head) + "item.begin\nitem.desc=d\nitem.mask=m\nitem.end\n"},
      {"empty mask", std::string(head) + "item.begin\nitem.mask=\nitem.desc\nitem.end\n"},
      {"item cut short", std::string(head) + "item.begin\nitem.mask=m\nitem.desc\n"},
      {"item without end", std::string(head) + "item.begin\nitem.mask=m\nitem.desc\ngroup.end\n"},
      {"text outside a group", "groups.inc.begin\ngroup.text=t\n"},
      {"pattern outside a group", "groups.exc.begin\ngroup.pattern=C:\\\n"},
      {"group end before pattern", "groups.inc.begin\ngroup.begin=g\ngroup.end\n"},
      {"stray group end", "groups.inc.begin\ngroup.end\n"},
      {"item outside a group", "groups.inc.begin\nitem.begin\n"},
      {"unknown entry in a section", std::string(head) + "color=red\n"},
      {"unknown entry at top level", "color=red\n"},
      {"group at top level", "group.begin=g\n"},
      {"closer at top level", "groups.end\n"},
      {"empty group name", "groups.inc.begin\ngroup.begin\ngroup.text=t\ngroup.pattern\n"},
      {"bad after a good section",
       std::string(head) + "group.end\ngroups.end\ngroups.exc.begin\nitem.end\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LoadText(dir, c.text), nullptr) << c.what;
  }
}

// Files by hand: an always section is skipped whatever it holds; end of
// file closes an open section; CRLF lines and comments are fine; a second
// group opener before the pattern drops the unfinished group and ends the
// section; a group without text loads disabled.
TEST(RuleFile, LenientReadingOfHandWrittenFiles) {
  bvtest::TempDir dir;
  EXPECT_EQ(LoadRuleSet(dir.SystemOf("missing.ini")), nullptr);
  EXPECT_FALSE(SaveRuleSet(CRuleSet(), dir.SystemOf("no/such/folder/IncExc.ini")));
  const std::string inc =
      "groups.inc.begin\ngroup.begin=g\ngroup.text=t\ngroup.pattern\n"
      "item.begin\nitem.mask=C:\\A\nitem.desc\nitem.end\ngroup.end\n";
  struct Case {
    const char* what;
    std::string text;
    size_t include, exclude;
    bool matches;
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
  };
  for (const Case& c : cases) {
    auto rules = LoadText(dir, c.text);
    ASSERT_NE(rules, nullptr) << c.what;
    EXPECT_EQ(rules->GroupCount(kRuleInclude), c.include) << c.what;
    EXPECT_EQ(rules->GroupCount(kRuleExclude), c.exclude) << c.what;
    EXPECT_EQ(rules->GroupCount(kRuleAlwaysExclude), 0u) << c.what;
    EXPECT_EQ(rules->Match("C:\\A\\b"), c.matches) << c.what;
  }
}

// Inputs kept from fuzzing and hand-made damaged files: each must load or fail
// cleanly, and a loaded set must survive save and reload unchanged in shape.
TEST(RuleFile, KeptInputsLoadOrFailCleanly) {
  bvtest::TempDir dir;
  int seen = 0;
  for (const char* sub : {"rules", "keyvalue"}) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(DataDir(sub), ec)) {
      if (!e.is_regular_file()) continue;
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
      rules->Match("C:\\home\\ann\\a.txt");
    }
  }
  EXPECT_GT(seen, 0);
}

}  // namespace
