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

TEST_F(ViewFiguresTest, TheStoreIsWalkedOnlyForASeenWindow) {
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

  // A small store is walked again as runs end (a large one rests a hundred
  // times its walk's time in between).
  revision("a(0003).txt");
  ASSERT_TRUE(bvtest::RunUntil([&] {
    view.RefreshPendingCounts();
    return versions().find("they take " + FormatSize(3000, "", false)) != std::string::npos;
  })) << versions();
}

}  // namespace
