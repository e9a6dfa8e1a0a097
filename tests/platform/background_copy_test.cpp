// What the background copier takes from the platform: its thread's class,
// store folders made in as few steps as the layout allows (and never through
// a link), whole files read however large they are or say they are.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/Clock.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using bvtest::TempDir;

TEST(BackgroundCopy, LowestPriorityYieldsButIsNeverShutOut) {
  int policy = -1, niceness = 0;
  std::thread([&] {
    plat::SetCurrentThreadLowestPriority();
    policy = sched_getscheduler(0);
    niceness = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  }).join();
  // The idle class would wait behind every busy process.
  EXPECT_EQ(policy, SCHED_BATCH);
  EXPECT_EQ(niceness, 19);
}

TEST(BackgroundCopy, NewLastFoldersAreMadeInTheirParentButNeverThroughALink) {
  TempDir t;
  t.Write("store/Latest/a/old.txt", "x");
  t.Write("outside/keep.txt", "keep");
  fs::create_directory_symlink(t.NativeOf("outside"), t.NativeOf("store/Latest/a/planted"));
  const std::string root = t.SystemOf("store");
  ASSERT_TRUE(plat::CreateDirectories(root + "\\Latest\\a\\new", root, true));
  struct stat st {};
  ASSERT_EQ(stat(t.NativeOf("store/Latest/a/new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  // The missing last folder is a link: refused, nothing made beyond it.
  EXPECT_FALSE(plat::CreateDirectories(root + "\\Latest\\a\\planted", root, true));
  EXPECT_EQ(plat::GetLastError(), plat::kErrStoppedOnLink);
  EXPECT_FALSE(plat::CreateDirectories(root + "\\Latest\\a\\planted\\b", root, true));
  EXPECT_EQ(std::distance(fs::directory_iterator(t.NativeOf("outside")), {}), 1);
}

TEST(BackgroundCopy, WholeFilesAreReadWhateverSizeTheyReport) {
  TempDir t;
  std::string big(3u << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
  t.Write("big.bin", big);
  std::string out;
  ASSERT_TRUE(plat::ReadWholeFile(t.SystemOf("big.bin"), &out));
  EXPECT_EQ(out, big);
  ASSERT_TRUE(plat::ReadWholeFile(t.SystemOf("big.bin"), &out, big.size()));
  EXPECT_FALSE(plat::ReadWholeFile(t.SystemOf("big.bin"), &out, big.size() - 1));
  // A file that reports no size (the kernel's own, megabytes long) is read to
  // its end.
  std::stringstream expected;
  expected << std::ifstream("/proc/kallsyms").rdbuf();
  if (expected.str().size() < 65536) GTEST_SKIP() << "no long kernel file here";
  ASSERT_TRUE(plat::ReadWholeFile(bvtest::NativeToSystemC("/proc/kallsyms"), &out));
  EXPECT_GT(out.size(), 65536u);
  EXPECT_EQ(out.substr(0, 65536), expected.str().substr(0, 65536));
  EXPECT_EQ(out.back(), '\n');
}
