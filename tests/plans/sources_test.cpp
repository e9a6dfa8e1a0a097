// Plan types, web choices, wizard rules, the extension list, the built-in sources' walk.
#include <gtest/gtest.h>

#include "common/Texts.h"
#include "destinations/StoreMarker.h"
#include "engine/PlanList.h"
#include "plans/ExtensionList.h"
#include "plans/PlanSources.h"
#include "platform/base/Text.h"
#include "platform/profile/Profile.h"
#include "support/EventCollector.h"
#include "support/ScratchEnv.h"

namespace fs = std::filesystem;

namespace {

// A home folder of its own, so the built-in sources point into it.
class SourcesTest : public ::testing::Test {
 protected:
  SourcesTest() { ResetBuiltinSources(); }
  ~SourcesTest() override { ResetBuiltinSources(); }
  void Set(const char* section, const char* key, const char* value) {
    ASSERT_TRUE(plat::WriteProfileString(dir_.SystemOf("UI.ini"), section, key, value));
  }
  static std::vector<std::string> Items(const CRuleGroup* g) {
    std::vector<std::string> out;
    for (size_t i = 0; g && i < g->ItemCount(); ++i) out.push_back(g->Item(i)->mask);
    return out;
  }
  static std::vector<std::string> IncludeNames(const CRuleSet& rules) {
    std::vector<std::string> out;
    for (size_t i = 0; i < rules.GroupCount(kRuleInclude); ++i)
      out.push_back(rules.Group(kRuleInclude, i)->Name());
    return out;
  }
  bvtest::TempDir dir_;
  bvtest::ScopedEnv home_{"HOME", dir_.Native().c_str()}, config_{"XDG_CONFIG_HOME", nullptr},
      data_{"XDG_DATA_HOME", nullptr};
};

TEST_F(SourcesTest, PlanTypeWebChoicesAndRulesFromTheWizardAnswers) {
  struct Step {
    const char *section, *key, *value;
    int32_t type;
  } steps[] = {
      {nullptr, nullptr, nullptr, kPlanOther},  // no UI.ini at all
      {"BackupDestination", "BackupType", "0", kPlanOther},
      {"FileTypes", "Document Files", "1", kPlanOfficeDocuments},
      {"FileTypes", "Videos", "2", kPlanAllMyDocuments},
      {"FileTypes", "Document Files", "0", kPlanVideos},
      {"FileTypes", "Videos", "-1", kPlanOther},
      {"FileTypes", "Photos and Pictures", "1", kPlanPicturesAndPhotos},
      {"FileTypes", "Photos and Pictures", "0", kPlanOther},
      {"FileTypes", "Music and Sound Files", "1", kPlanSoundsAndMusic},
      {"BackupDestination", "BackupType", "1", kPlanAllMyWebSettings},
      {"BackupDestination", "BackupType", "2", kPlanOther},  // no tab
      {"NEW_WIZARD_SELECT_SOURCE", "ActiveTab", "0", kPlanSpecificFolder},
      {"NEW_WIZARD_SELECT_SOURCE", "ActiveTab", "1", kPlanSpecificExtensions},
      {"NEW_WIZARD_SELECT_SOURCE", "ActiveTab", "2", kPlanOther},
      {"BackupDestination", "BackupType", "3", kPlanOther},
  };
  for (const Step& s : steps) {
    if (s.section) Set(s.section, s.key, s.value);
    EXPECT_EQ(GetPlanType(dir_.System()), s.type)
        << (s.key ? s.key : "none") << "=" << (s.value ? s.value : "");
  }
  // Music, Pictures, Documents, IE, Firefox, Netscape, Opera, four mail programs, Messengers.
  EXPECT_EQ(ReadWebChoices(dir_.System()), WebChoices{});
  dir_.Write("UI.ini", "[ApplicationData]\nInternet Favorites=1\n");
  EXPECT_EQ(ReadWebChoices(dir_.System()),
            (WebChoices{false, false, false, true, false, false, true}));
  dir_.Write("UI.ini", "[ApplicationData]\nOutlook Data=5\n[CommonData]\nFiles in Pictures=1\n");
  EXPECT_EQ(ReadWebChoices(dir_.System()), (WebChoices{false, true, false, false, false, false,
                                                       false, true, true, true, true, true}));
  dir_.Write("UI.ini",
             "[ApplicationData]\nFireFox Bookmarks=1\n[CommonData]\n"
             "Files in My Documents=1\nFiles in My Music=1\n");
  EXPECT_EQ(ReadWebChoices(dir_.System()), (WebChoices{true, false, true, false, true}));
  CRuleSet rules;
  rules.AddGroup(kRuleInclude, "orl:netscape", "!");
  rules.AddGroup(kRuleInclude, "orl:my_documents", "!");
  rules.AddGroup(kRuleInclude, "orl:netscape", "!");  // a duplicate goes too
  rules.AddGroup(kRuleInclude, "group1", "Group1 Text");
  WebChoices choices{};
  choices[3] = choices[6] = true;
  ASSERT_TRUE(ApplyWebChoices(&rules, choices));
  ASSERT_TRUE(ApplyWebChoices(&rules, choices));  // nothing twice
  ASSERT_EQ(IncludeNames(rules),
            (std::vector<std::string>{"group1", "orl:ie_favorites", "orl:ie_cookies",
                                      "orl:ie_history", "orl:opera"}));
  EXPECT_EQ(rules.FindGroup(kRuleInclude, "orl:opera")->Pattern(),
            dir_.System() + "\\.config\\opera\\");
  // The groups include everything below their folders, and nothing else.
  EXPECT_TRUE(rules.Match(dir_.SystemOf(".config/opera/bookmarks.adr")));
  EXPECT_TRUE(rules.Match(dir_.SystemOf(".config/chromium/Default/Bookmarks")));
  EXPECT_FALSE(rules.Match(dir_.SystemOf(".mozilla/firefox/places.sqlite")));
  EXPECT_FALSE(rules.Match(dir_.SystemOf(".config/operaX/a")));
  // A source without a folder is left out; nothing chosen removes them all again.
  CRuleSet mail;
  choices = {};
  choices[11] = true;
  ASSERT_TRUE(ApplyWebChoices(&mail, choices));
  EXPECT_EQ(mail.GroupCount(kRuleInclude), 4u);
  EXPECT_EQ(mail.FindGroup(kRuleInclude, "orl:windowsmessengercontacts"), nullptr);
  ASSERT_TRUE(ApplyWebChoices(&mail, WebChoices{}));
  EXPECT_EQ(mail.GroupCount(kRuleInclude), 0u);
  EXPECT_FALSE(ApplyWebChoices(nullptr, choices));
  // The wizard's folders (nested ones skipped) and masks replace group1.
  choices = {};
  choices[4] = true;
  ASSERT_TRUE(BuildRulesFromWizard(
      &rules, SplitFolderList("C:\\A,C:\\A\\B,,c:\\a\\c,C:\\AB , ,D:\\X"), {"*.JPG", ""}, choices));
  const CRuleGroup* g = rules.FindGroup(kRuleInclude, "group1");
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(Items(g), (std::vector<std::string>{"C:\\A", "C:\\AB", "D:\\X", "*.JPG"}));
  EXPECT_EQ(g->Item(0)->desc, "C:\\A");
  EXPECT_EQ(g->Item(3)->desc, "");
  EXPECT_EQ(IncludeNames(rules), (std::vector<std::string>{"group1", "orl:firefox"}));
  // The whole computer ignores the web choices and the masks.
  choices.fill(true);
  CRuleSet whole;
  ASSERT_TRUE(BuildRulesFromWizard(&whole, {kMyComputerEntry}, {"*.doc"}, choices));
  EXPECT_EQ(IncludeNames(whole), std::vector<std::string>{"group1"});
  EXPECT_EQ(Items(whole.FindGroup(kRuleInclude, "group1")), std::vector<std::string>{"*.*"});
}

// The extension list in UTF-8 or UTF-16, bad entries told, the chosen masks as ticked.
TEST(ExtensionList, ParsesReportsAndFollowsTheChosenItems) {
  bvtest::EventCollector events;
  const std::string text =
      "\xEF\xBB\xBF\"Document Files\",\"Word|*.doc\",\"A, \"\"quoted\"\" kind|*.q\", Plain | *.txt "
      ",\r\n\r\nVideos,NoBar,\"Movies \xC3\xA4|*.mp4\"\n,\"No name|*.x\"\n";
  std::string utf16 = "\xFF\xFE";
  for (char16_t c : plat::Utf8ToUtf16(text.substr(3))) {
    utf16.push_back(static_cast<char>(c & 0xFF));
    utf16.push_back(static_cast<char>(c >> 8));
  }
  for (const std::string& form : {text, utf16}) {
    std::string read;
    for (const auto& category : ParseExtensionList(form)) {
      read += category.name + ":";
      for (const auto& e : category.entries) read += " " + e.description + "|" + e.mask;
      read += "\n";
    }
    EXPECT_EQ(read,
              "Document Files: Word|*.doc A, \"quoted\" kind|*.q Plain|*.txt\n"
              "Videos: Movies \xC3\xA4|*.mp4\n");
  }
  const auto all = events.Events();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].code, kEvInvalidContent);
  EXPECT_EQ(all[0].text1 + "|" + all[0].text2, "Missing | in Ext.txt file!|NoBar");
  events.Clear();
  EXPECT_TRUE(ParseExtensionList("\xEF\xBB\xBF").empty()) << "a byte-order mark alone";
  const auto bad = ParseExtensionList("Videos,\"" + std::string(5000, 'x') + "|*.x\"\n" +
                                      std::string("\x01\xFF\xFE\x00junk,\x80|*.bin\n", 17) +
                                      "Document Files,\"Word|*.doc\"");
  ASSERT_EQ(bad.size(), 2u);
  EXPECT_EQ(bad[1].name, "Document Files");
  EXPECT_EQ(events.CountOf(kEvInvalidContent), 1u);
  for (const auto& c : bad) EXPECT_TRUE(plat::IsValidUtf8(c.name));
  bvtest::TempDir dir;
  std::vector<ExtensionCategory> out{{"stale", {}}};
  EXPECT_FALSE(ReadExtensionList(dir.SystemOf("missing.txt"), &out));
  EXPECT_TRUE(out.empty());
  dir.Write("big.txt", std::string(kMaxExtensionFileBytes + 1, 'a'));
  events.Clear();
  EXPECT_FALSE(ReadExtensionList(dir.SystemOf("big.txt"), &out));
  EXPECT_EQ(events.CountOf(kEvInvalidContent), 1u);
  const auto list = ParseExtensionList(
      "Videos,\"A|*.a\",\"B|*.b\",\"C|*.c\"\nDocument Files,\"D|*.d\",\"E|*.e\"\n");
  // Document Files is not chosen: its item does not count.
  dir.Write("UI.ini",
            "[FileTypes]\nVideos=1\n[Videos]\nItem1=1\nItem2=0\nItem3=1\n"
            "[Document Files]\nItem1=1\n");
  EXPECT_EQ(ChosenExtensionMasks(dir.SystemOf("UI.ini"), list),
            (std::vector<std::string>{"*.a", "*.c"}));
}

// A plan on E:\Store and a home with mail, browser and user files outside /tmp.
class WalkTest : public ::testing::Test {
 protected:
  WalkTest() {
    ResetBuiltinSources();
    homeDir_.Write("Documents/a.txt", "a1");
    homeDir_.Write("Documents/sub/b.txt", "b1");
    homeDir_.Write("Documents/.hidden/h.txt", "h1");
    homeDir_.Write("Documents/old/Brevanto.dat", StoreMarkerText(NewStoreId()));
    homeDir_.Write("Documents/old/in-store.txt", "s");
    homeDir_.Write("Documents/skip.tmp", "t");
    homeDir_.Write(".mozilla/firefox/p1/places.sqlite", "f1");
    homeDir_.Write(".mozilla/firefox/p1/lock.db", "l1");
    homeDir_.Write("Music/m.mp3", "m1");
  }
  ~WalkTest() override { ResetBuiltinSources(); }
  std::unique_ptr<bvtest::IdlePlan> Make(uint32_t id, const std::string& store) {
    PlanSettings s = bvtest::ScratchEnv::Settings("Plan " + std::to_string(id), store);
    s.id = id;
    auto plan = std::make_unique<bvtest::IdlePlan>(&list_);
    if (!plan->ApplySettings(s, kApplyCreate)) return nullptr;
    WebChoices rules{};
    rules[0] = rules[2] = rules[4] = true;  // music too: chosen in the rules only
    {
      std::lock_guard<std::recursive_mutex> g(plan->Lock());
      EXPECT_TRUE(ApplyWebChoices(plan->Rules(), rules));
      plan->Rules()->AddGroup(kRuleExclude, "no tmp", "x")->AddItem("*.tmp", "");
    }
    const std::string ui = plan->GetPlanFolder() + "UI.ini";
    plat::WriteProfileString(ui, "CommonData", "Files in My Documents", "1");
    plat::WriteProfileString(ui, "ApplicationData", "FireFox Bookmarks", "1");
    plan->SetEnabled(true, 0);
    return plan;
  }
  // The latest copy of a home file in a store of E:.
  std::string Latest(const std::string& store, const std::string& rel) const {
    return env_.Store().NativeOf(store + "/Latest/C" + homeDir_.NativeOf(rel));
  }
  bvtest::ScratchEnv env_;
  bvtest::TempDir homeDir_;  // below the test's TMPDIR, outside /tmp
  bvtest::ScopedEnv home_{"HOME", homeDir_.Native().c_str()}, config_{"XDG_CONFIG_HOME", nullptr};
  PlanList list_;
};

// The walk copies chosen sources once, hidden files too, nothing in a store or excluded.
TEST_F(WalkTest, ChosenSourcesAreBackedUpOnceOutsideStores) {
  auto plan = Make(1, "Store");
  ASSERT_TRUE(plan);
  plan->SetStopping(true);
  WalkChosenSources(plan.get());
  plan->SetStopping(false);
  plan->SetEnabled(false, 0);
  WalkChosenSources(plan.get());
  WalkChosenSources(nullptr);
  EXPECT_FALSE(fs::exists(Latest("Store", "Documents/a.txt")));
  plan->SetEnabled(true, 0);
  WalkChosenSources(plan.get());
  for (const auto& [rel, content] : {std::pair<const char*, const char*>{"Documents/a.txt", "a1"},
                                     {"Documents/sub/b.txt", "b1"},
                                     {"Documents/.hidden/h.txt", "h1"},
                                     {".mozilla/firefox/p1/places.sqlite", "f1"}})
    EXPECT_EQ(bvtest::ReadNative(Latest("Store", rel)), content) << rel;
  for (const char* rel : {"Documents/old/in-store.txt", "Documents/skip.tmp", "Music/m.mp3"})
    EXPECT_FALSE(fs::exists(Latest("Store", rel))) << rel;
  homeDir_.Write("Documents/a.txt", "a2");
  homeDir_.Write("Documents/new.txt", "n");
  WalkChosenSources(plan.get());
  EXPECT_EQ(bvtest::ReadNative(Latest("Store", "Documents/a.txt")), "a1");
  EXPECT_EQ(bvtest::ReadNative(Latest("Store", "Documents/new.txt")), "n");
  // A plan listed before it on the same store keeps nothing from it.
  auto first = Make(3, "Shared");
  auto second = Make(4, "Shared");
  ASSERT_TRUE(first && second);
  first->SetEnabled(false, 0);
  second->SetSameDestinationLink(first.get());
  WalkChosenSources(second.get());
  EXPECT_EQ(bvtest::ReadNative(Latest("Shared", "Documents/a.txt")), "a2");
  EXPECT_EQ(bvtest::ReadNative(Latest("Shared", ".mozilla/firefox/p1/places.sqlite")), "f1");
  second->SetSameDestinationLink(nullptr);
}

}  // namespace
