// The source tally on its own thread: folder walks outside stores, hidden
// entries, rule sets, byte limits, long paths, drive roots and the whole
// computer.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "plans/CTallyProcess.h"
#include "plans/PlanSources.h"
#include "plans/RuleSet.h"
#include "platform/Volumes.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

// Runs one tally to its end: "bytes/files".
std::string Tally(std::string_view folder, const CRuleSet* rules = nullptr, uint64_t limit = 0,
                  bool whole = false, bool skipHidden = false) {
  CTallyProcess tally;
  tally.SetUp(folder, rules, limit, whole, skipHidden);
  EXPECT_EQ(tally.Start(), 0);
  tally.Join();
  EXPECT_FALSE(tally.Running());
  uint64_t bytes = 0, files = 0;
  tally.Results(&bytes, &files);
  EXPECT_EQ(bytes, tally.Bytes());
  EXPECT_EQ(files, tally.Files());
  return std::to_string(bytes) + "/" + std::to_string(files);
}

TEST(Tally, FoldersRulesLimitsAndLongPaths) {
  bvtest::TempDir dir;
  dir.Write("a.txt", std::string(100, 'a'));
  dir.Write("sub/b.doc", std::string(20, 'b'));
  dir.Write("sub/deeper/c.txt", std::string(3, 'c'));
  dir.Write(".hidden.txt", std::string(7, 'h'));
  dir.Write(".cfg/d.txt", std::string(11, 'd'));
  dir.Write("store/Brevanto.dat", "");  // neither a store nor anything below it counts
  dir.Write("store/Latest/e.txt", std::string(1000, 'e'));
  CRuleSet rules;
  rules.AddGroup(kRuleInclude, "group1", "Group1 Text")->AddItem("*.txt", "");
  CRuleSet never;
  never.AddGroup(kRuleInclude, "group1", "Group1 Text")->AddItem("*.txt", "");
  never.AddGroup(kRuleAlwaysExclude, "never", "x")->AddItem("*\\DEEPER\\*", "");
  EXPECT_EQ(Tally(dir.System()), "141/5");
  EXPECT_EQ(Tally(dir.System() + "\\"), "141/5");
  for (const std::string& none : {std::string(), dir.SystemOf("missing"), dir.SystemOf("a.txt")})
    EXPECT_EQ(Tally(none), "0/0") << none;
  EXPECT_EQ(Tally(dir.System(), nullptr, 0, false, true), "123/3") << "without hidden entries";
  EXPECT_EQ(Tally(dir.SystemOf("sub")), "23/2");
  EXPECT_EQ(Tally(dir.System(), &rules), "103/2") << "included visible files";
  EXPECT_EQ(Tally(dir.System(), &never), "100/1") << "always-excludes count";
  EXPECT_EQ(Tally("", &never), "0/0");
  CTallyProcess stopped;
  stopped.SetUp(dir.System(), nullptr, 0, false, false);
  stopped.Stop();
  ASSERT_EQ(stopped.Start(), 0);
  stopped.Join();
  EXPECT_EQ(stopped.Files() + stopped.Bytes(), 0u);
  EXPECT_TRUE(stopped.Stopped());

  // The limit is tested before each file: the walk ends after the file that
  // passes it. Folders whose path with its closing "\" has 248 characters or
  // more are not entered.
  bvtest::TempDir five;
  for (int i = 0; i < 5; ++i) five.Write("f" + std::to_string(i) + ".txt", std::string(600, 'x'));
  for (const CRuleSet* r :
       {static_cast<const CRuleSet*>(nullptr), static_cast<const CRuleSet*>(&rules)}) {
    EXPECT_EQ(Tally(five.System(), r, 1000), "1200/2");
    EXPECT_EQ(Tally(five.System(), r, 1200), "1800/3");
    EXPECT_EQ(Tally(five.System(), r, 100000), "3000/5");
  }
  bvtest::TempDir deep;
  const size_t base = deep.System().size() + 1;
  const std::string shortName(247 - base - 1, 's');
  deep.Write(shortName + "/in.txt", "12345");
  deep.Write(std::string(248 - base - 1, 'l') + "/out.txt", "123");
  ASSERT_EQ((deep.System() + "\\" + shortName + "\\").size(), 247u);
  EXPECT_EQ(Tally(deep.System()), "5/1");
}

// Drives from a volume override (D: and E: internal, F: on USB, C: a disc):
// a drive root reports its used space and counts its files; "My Computer"
// sums the used space of the internal disks at once; the whole computer
// walks the internal disks without hidden files.
TEST(Tally, DrivesAndTheWholeComputer) {
  bvtest::TempDir table, d, e, f;
  d.Write("one.bin", std::string(10, '1'));
  d.Write("sub/two.bin", std::string(20, '2'));
  d.Write(".hidden", std::string(40, 'h'));
  e.Write("three.bin", std::string(30, '3'));
  f.Write("usb.bin", std::string(50, 'u'));
  table.Write(
      "volumes.ini",
      "[C]\nRoot=/\nType=cdrom\n[D]\nRoot=" + d.Native() +
          "\nType=fixed\nBus=none\nTotalBytes=1000\nFreeBytes=400\n[E]\nRoot=" + e.Native() +
          "\nType=fixed\nBus=none\nTotalBytes=500\nFreeBytes=100\n[F]\nRoot=" + f.Native() +
          "\nType=fixed\nBus=usb\nTotalBytes=9999\nFreeBytes=0\n");
  struct Reload {
    ~Reload() { plat::VolumeTable::Instance().Reload(); }
  } reload;
  bvtest::ScopedEnv volumes("BREVANTO_VOLUMES", table.NativeOf("volumes.ini"));
  plat::VolumeTable::Instance().Reload();
  EXPECT_EQ(Tally("D:\\"), "600/3");
  EXPECT_EQ(Tally("D:\\", nullptr, 0, false, true), "600/2");
  EXPECT_EQ(Tally("D:"), "600/3");
  EXPECT_EQ(Tally("D:\\sub"), "20/1");
  EXPECT_EQ(Tally(kMyComputerEntry), "1000/0");
  EXPECT_EQ(Tally(kMyComputerEntry, nullptr, 0, true, true), "1000/0");
  EXPECT_EQ(Tally("", nullptr, 0, true), "60/3");
  EXPECT_EQ(Tally("", nullptr, 15, true), "30/2") << "D: holds 10 bytes at its root, then 20";
}

}  // namespace
