// Links to folders a plan's walks do not follow: which are said, said once per plan across
// starts, counted past the lines cap of a folder, and said when made while the program runs;
// real plans, folders and links.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "common/EngineEvents.h"
#include "engine/NotProtectedNames.h"
#include "engine/PlanList.h"
#include "engine/SourceWalk.h"
#include "plans/Schedule.h"
#include "support/EventCollector.h"
#include "support/ScratchEnv.h"

namespace fs = std::filesystem;

namespace {

TEST(FolderLinks, SaidOncePerPlanCountedPastTheCapAndWhenMade) {
  bvtest::ScratchEnv env;
  bvtest::TempDir outside;
  fs::create_directories(outside.NativeOf("a"));
  const auto link = [&](const std::string& to, const std::string& rel) {
    fs::create_directories(fs::path(env.Src().NativeOf(rel)).parent_path());
    fs::create_directory_symlink(to, env.Src().NativeOf(rel));
  };
  // Said: one out, one above the folder walked; not: one back into it, one in a folder the plan
  // excludes. Past the lines cap of a folder (2) the rest are counted and summed up in one line.
  link(outside.Native(), "papers");
  link(env.Src().NativeOf(".."), "up");
  link(env.Src().Native(), "deep/er/loop");
  link("/", "left/root");
  for (int i = 0; i < 5; ++i) link(outside.Native(), "many/m" + std::to_string(i));
  SetLinkedFolderLinesCap(2);
  bvtest::EventCollector said;
  auto linkLines = [&] {  // the names said (m0..m4 as "m"), the lines of the rest
    std::vector<std::string> lines;
    for (const EventData& e : said.Events()) {
      if (e.code != kEvNotProtected) continue;
      std::string name = e.text1.substr(e.text1.rfind('\\') + 1);
      lines.push_back(e.text2.empty() ? e.text3.substr(0, 9)
                                      : name.substr(0, name[0] == 'm' ? 1 : name.size()));
    }
    std::sort(lines.begin(), lines.end());
    said.Clear();
    return lines;
  };
  const auto start = [&] {  // the plan as a start of the program makes it, walked twice
    auto plan = env.MakePlan(2, kUnitDaily, 3, {env.Src().System()});
    if (plan == nullptr) return plan;
    plan->Lock().lock();
    plan->Rules()->AddGroup(kRuleExclude, "left", "x")->AddItem(env.Src().SystemOf("left"), "");
    plan->Lock().unlock();
    for (int walk = 0; walk < 2; ++walk) WalkFolder(plan.get(), env.Src().System());
    return plan;
  };
  auto plan = start();
  ASSERT_TRUE(plan);
  EXPECT_EQ(linkLines(), (std::vector<std::string>{"... and 3", "m", "m", "papers", "up"}));
  EXPECT_EQ(plan->UnheldNameCount(), 7u);

  // The next start says none again, but for one that leads elsewhere now; the card counts all.
  plan.reset();
  fs::remove(env.Src().NativeOf("many/m3"));
  link(outside.NativeOf("a"), "many/m3");
  plan = start();
  SetLinkedFolderLinesCap(1000);
  ASSERT_TRUE(plan);
  EXPECT_EQ(linkLines(), (std::vector<std::string>{"m"}));
  EXPECT_EQ(plan->UnheldNameCount(), 7u);

  // One made while the program runs is said when the monitor reports it (once), one in a
  // hidden folder is not, as a walk would not meet it.
  PlanList list;
  CPlan* listed = list.CreatePlan(bvtest::ScratchEnv::Settings("Listed", "store7"));
  ASSERT_TRUE(listed);
  bvtest::ScratchEnv::IncludeOnly(listed, env.Src().System());
  for (const char* made : {"deep/er/new", ".dot/new"}) {
    link(outside.NativeOf("a"), made);
    for (int report = 0; report < 2; ++report)
      EXPECT_FALSE(list.OfferChangedFile(env.Src().SystemOf(made)));
  }
  EXPECT_EQ(linkLines(), (std::vector<std::string>{"new"}));
}

}  // namespace
