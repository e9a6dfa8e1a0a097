// The source tally: folder walks, drive roots, the whole computer, rule sets,
// byte limits, stores and long paths, on its own thread.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "plans/CTallyProcess.h"
#include "plans/PlanSources.h"
#include "plans/RuleSet.h"
#include "platform/Volumes.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

struct Totals {
  uint64_t bytes = 0, files = 0;
  bool operator==(const Totals&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Totals& t) {
  return os << "{" << t.bytes << " bytes, " << t.files << " files}";
}

// Runs one tally to its end on its thread.
Totals Tally(std::string_view folder, const CRuleSet* rules = nullptr, uint64_t limit = 0,
             bool whole = false, bool skipHidden = false) {
  CTallyProcess tally;
  tally.SetUp(folder, rules, limit, whole, skipHidden);
  EXPECT_EQ(tally.Start(), 0);
  tally.Join();
  EXPECT_FALSE(tally.Running());
  Totals t;
  tally.Results(&t.bytes, &t.files);
  EXPECT_EQ(t.bytes, tally.Bytes());
  EXPECT_EQ(t.files, tally.Files());
  return t;
}

class TallyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write("a.txt", std::string(100, 'a'));
    dir_.Write("sub/b.doc", std::string(20, 'b'));
    dir_.Write("sub/deeper/c.txt", std::string(3, 'c'));
    dir_.Write(".hidden.txt", std::string(7, 'h'));
    dir_.Write(".cfg/d.txt", std::string(11, 'd'));
    // A backup store: neither it nor anything below it counts.
    dir_.Write("store/Brevanto.dat", "");
    dir_.Write("store/Latest/e.txt", std::string(1000, 'e'));
  }
  bvtest::TempDir dir_;
};

TEST_F(TallyTest, FolderWalkCountsFilesAndBytesOutsideStores) {
  EXPECT_EQ(Tally(dir_.System()), (Totals{141, 5}));
  EXPECT_EQ(Tally(dir_.System() + "\\"), (Totals{141, 5}));
  // Nothing to count: no folder, a missing one, a file.
  for (const std::string& none : {std::string(), dir_.SystemOf("missing"), dir_.SystemOf("a.txt")})
    EXPECT_EQ(Tally(none), (Totals{0, 0})) << none;
  // Hidden entries (and everything in hidden folders) left out on request.
  EXPECT_EQ(Tally(dir_.System(), nullptr, 0, false, true), (Totals{123, 3}));
  EXPECT_EQ(Tally(dir_.SystemOf("sub")), (Totals{23, 2}));
  // A rule set counts only included visible files; always-excludes count.
  CRuleSet rules;
  rules.AddGroup(kRuleInclude, "group1", "Group1 Text")->AddItem("*.txt", "");
  EXPECT_EQ(Tally(dir_.System(), &rules), (Totals{103, 2}));
  rules.AddGroup(kRuleAlwaysExclude, "never", "x")->AddItem("*\\DEEPER\\*", "");
  EXPECT_EQ(Tally(dir_.System(), &rules), (Totals{100, 1}));
  EXPECT_EQ(Tally("", &rules), (Totals{0, 0}));
  // Stopped before the first entry: nothing counted.
  CTallyProcess tally;
  tally.SetUp(dir_.System(), nullptr, 0, false, false);
  tally.Stop();
  ASSERT_EQ(tally.Start(), 0);
  tally.Join();
  EXPECT_EQ(tally.Files() + tally.Bytes(), 0u);
  EXPECT_TRUE(tally.Stopped());
}

// With and without a rule set, the limit is tested before each file: the
// walk ends after the file that passes it. Folders whose path with its
// closing "\" has 248 characters or more are not entered.
TEST(Tally, ByteLimitAndLongPathsEndTheWalk) {
  bvtest::TempDir dir;
  for (int i = 0; i < 5; ++i) dir.Write("f" + std::to_string(i) + ".txt", std::string(600, 'x'));
  CRuleSet rules;
  rules.AddGroup(kRuleInclude, "group1", "Group1 Text")->AddItem("*.txt", "");
  for (const CRuleSet* r :
       {static_cast<const CRuleSet*>(nullptr), static_cast<const CRuleSet*>(&rules)}) {
    SCOPED_TRACE(r ? "rule set" : "folder");
    EXPECT_EQ(Tally(dir.System(), r, 1000), (Totals{1200, 2}));
    EXPECT_EQ(Tally(dir.System(), r, 1200), (Totals{1800, 3}));
    EXPECT_EQ(Tally(dir.System(), r, 100000), (Totals{3000, 5}));
  }
  bvtest::TempDir deep;
  const size_t base = deep.System().size() + 1;  // the "\" after the temp dir
  const std::string shortName(247 - base - 1, 's');
  deep.Write(shortName + "/in.txt", "12345");
  deep.Write(std::string(248 - base - 1, 'l') + "/out.txt", "123");
  ASSERT_EQ((deep.System() + "\\" + shortName + "\\").size(), 247u);
  EXPECT_EQ(Tally(deep.System()), (Totals{5, 1}));
}

// Drives from a volume override: D: and E: internal, F: on USB, C: a disc.
class TallyDrivesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    d_.Write("one.bin", std::string(10, '1'));
    d_.Write("sub/two.bin", std::string(20, '2'));
    d_.Write(".hidden", std::string(40, 'h'));
    e_.Write("three.bin", std::string(30, '3'));
    f_.Write("usb.bin", std::string(50, 'u'));
    const std::string ini =
        "[C]\nRoot=/\nType=cdrom\n"
        "[D]\nRoot=" +
        d_.Native() +
        "\nType=fixed\nBus=none\nTotalBytes=1000\nFreeBytes=400\n"
        "[E]\nRoot=" +
        e_.Native() +
        "\nType=fixed\nBus=none\nTotalBytes=500\nFreeBytes=100\n"
        "[F]\nRoot=" +
        f_.Native() + "\nType=fixed\nBus=usb\nTotalBytes=9999\nFreeBytes=0\n";
    bvtest::WriteNative(table_.NativeOf("volumes.ini"), ini);
    volumes_.Set(table_.NativeOf("volumes.ini").c_str());
    plat::VolumeTable::Instance().Reload();
  }
  void TearDown() override {
    volumes_.Restore();
    plat::VolumeTable::Instance().Reload();
  }
  bvtest::TempDir table_, d_, e_, f_;
  bvtest::ScopedEnv volumes_{"BREVANTO_VOLUMES", nullptr};
};

// A drive root reports its used space and counts its files; "My Computer"
// sums the used space of the internal disks at once; the whole computer
// walks the internal disks without hidden files.
TEST_F(TallyDrivesTest, DrivesAndTheWholeComputer) {
  EXPECT_EQ(Tally("D:\\"), (Totals{600, 3}));
  EXPECT_EQ(Tally("D:\\", nullptr, 0, false, true), (Totals{600, 2}));
  EXPECT_EQ(Tally("D:"), (Totals{600, 3}));
  EXPECT_EQ(Tally("D:\\sub"), (Totals{20, 1}));
  EXPECT_EQ(Tally(kMyComputerEntry), (Totals{1000, 0}));
  EXPECT_EQ(Tally(kMyComputerEntry, nullptr, 0, true, true), (Totals{1000, 0}));
  EXPECT_EQ(Tally("", nullptr, 0, true), (Totals{60, 3}));
  // D: holds 10 bytes at its root, then 20 in a subfolder: over 15 there.
  EXPECT_EQ(Tally("", nullptr, 15, true), (Totals{30, 2}));
}

}  // namespace
