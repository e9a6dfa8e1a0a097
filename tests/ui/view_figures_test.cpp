// The main view's store figures on real widgets (offscreen): the room the
// older versions take is a walk of the store's whole tree, so it is made for
// a window the user sees, not after every copy of a hidden one.
#include "UiTestKit.h"
#include "ui/main/CPlanCell.h"

namespace {

class ViewFiguresTest : public bvtest::UiTest {
 protected:
  std::string Volumes() const override {
    return Drive("E", "evol", "Type=fixed\nTotalBytes=536870912000\n");
  }
};

TEST_F(ViewFiguresTest, TheStoreIsWalkedForASeenWindowAtMostOnceAMinute) {
  CPlanCell::SetAnimationsEnabled(false);
  CMainFrame frame;  // hidden, as after a silent start
  CBrevantoView& view = *frame.View();
  CPlan* plan = MakePlan("Documents", "E:\\Docs\\", 1, true, kStorageLocal, 999);
  ASSERT_TRUE(plan);
  const uint32_t id = plan->Id();
  auto revision = [&](const char* name) {
    bvtest::WriteNative(dir_.NativeOf(std::string("evol/Docs/Revision/C/") + name),
                        std::string(1000, 'r'));
  };
  revision("a(0001).txt");
  revision("x/a(0002).txt");
  auto versions = [&] {
    CPlanCell* cell = view.Cell(id);
    return cell ? cell->Content().versions.toStdString() : std::string();
  };
  auto settled = [&] {
    return bvtest::RunUntil([&] {
      view.Refresh();
      CPlanCell* cell = view.Cell(id);
      return cell && !cell->Content().space.isEmpty() && view.Worker()->RunningJobs() == 0;
    });
  };
  const std::string took = "they take " + FormatSize(2000, "", false);

  // Hidden: the card's free space is current, the tree is not walked.
  view.RefreshPendingCounts();
  ASSERT_TRUE(settled());
  EXPECT_EQ(versions().find("they take"), std::string::npos) << versions();

  // Shown: walked once.
  frame.show();
  ASSERT_TRUE(bvtest::RunUntil([&] {
    view.Refresh();
    return versions().find(took) != std::string::npos;
  })) << versions();

  // Runs that end within the minute (every copy of a continuous plan) and a
  // window shown again do not walk it again.
  revision("a(0003).txt");
  for (int run = 0; run < 3; ++run) {
    view.RefreshPendingCounts();
    ASSERT_TRUE(settled());
  }
  frame.hide();
  frame.show();
  ASSERT_TRUE(settled());
  EXPECT_NE(versions().find(took), std::string::npos) << versions();
}

}  // namespace
