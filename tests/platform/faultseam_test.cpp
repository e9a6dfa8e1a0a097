// The fault seam: counting, once/persistent faults, and what the file layer
// leaves on disk when any one of its steps fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/Errors.h"
#include "platform/FaultSeam.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using bvtest::TempDir;

namespace {

struct DisarmAtEnd {
  ~DisarmAtEnd() { plat::fault::Disarm(); }
};

bool HasTempFiles(const std::string& folder) {
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().filename().string().rfind(".~bvtmp-", 0) == 0) return true;
  return false;
}

}  // namespace

TEST(FaultSeam, CountsAndFiresOnceOrPersistently) {
  DisarmAtEnd guard;
  TempDir t;
  t.Write("a", "x");
  const std::string a = t.SystemOf("a");

  plat::fault::Arm(2, plat::kErrIoDevice);
  EXPECT_NE(plat::GetFileAttributes(a), plat::kInvalidAttributes);
  EXPECT_FALSE(plat::fault::Fired());
  EXPECT_EQ(plat::GetFileAttributes(a), plat::kInvalidAttributes);
  EXPECT_EQ(plat::GetLastError(), plat::kErrIoDevice);
  EXPECT_TRUE(plat::fault::Fired());
  EXPECT_NE(plat::GetFileAttributes(a), plat::kInvalidAttributes);  // once only
  EXPECT_EQ(plat::fault::Calls(), 3u);

  plat::fault::Arm(1, plat::kErrAccessDenied, true);
  EXPECT_FALSE(plat::fault::Fired());
  EXPECT_EQ(plat::fault::Calls(), 0u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(plat::DeleteFile(a));
    EXPECT_EQ(plat::GetLastError(), plat::kErrAccessDenied);
  }
  EXPECT_TRUE(fs::exists(t.NativeOf("a")));

  plat::fault::Disarm();
  const uint64_t before = plat::fault::Calls();
  EXPECT_TRUE(plat::DeleteFile(a));
  EXPECT_EQ(plat::fault::Calls(), before);  // a disarmed seam does not count
}

// Fails step 1, then 2, 3 ... of an atomic rewrite until it passes. After each
// failure the file holds the old text (or, when only the final folder sync
// failed, the new one) and no temporary file is left.
TEST(FaultSeam, AtomicWriteLeavesOldOrNewFileAtEveryStep) {
  DisarmAtEnd guard;
  TempDir t;
  const std::string newText(3 * 1024 * 1024 + 5, 'N');  // several write chunks
  uint64_t step = 1;
  for (;; ++step) {
    ASSERT_LT(step, 100u);
    bvtest::WriteNative(t.NativeOf("f.ini"), "old");
    plat::fault::Arm(step, plat::kErrDiskFull, true);
    const bool ok = plat::WriteFileAtomic(t.SystemOf("f.ini"), newText);
    const bool fired = plat::fault::Fired();
    plat::fault::Disarm();
    const std::string now = t.Read("f.ini");
    EXPECT_FALSE(HasTempFiles(t.Native())) << "step " << step;
    if (!fired) {
      EXPECT_TRUE(ok);
      EXPECT_TRUE(now == newText);
      break;
    }
    EXPECT_FALSE(ok) << "step " << step;
    EXPECT_TRUE(now == "old" || now == newText) << "step " << step;
  }
  EXPECT_GE(step, 6u);  // open, 4 chunks, sync, rename, folder sync
}

TEST(FaultSeam, CopyNeverLeavesAPartialTarget) {
  DisarmAtEnd guard;
  TempDir t;
  const std::string data(5 * 1024 * 1024, 'c');
  t.Write("src.bin", data);
  fs::create_directory(t.NativeOf("out"));
  uint64_t step = 1;
  for (;; ++step) {
    ASSERT_LT(step, 100u);
    plat::fault::Arm(step, plat::kErrDiskFull, true);
    const uint32_t rc =
        plat::CopyFile(t.SystemOf("src.bin"), t.SystemOf("out\\dst.bin"), true, true);
    const bool fired = plat::fault::Fired();
    plat::fault::Disarm();
    EXPECT_FALSE(HasTempFiles(t.NativeOf("out"))) << "step " << step;
    if (!fired) {
      EXPECT_EQ(rc, 0u);
      break;
    }
    EXPECT_EQ(rc, plat::kErrDiskFull);
    // Only the last step (the folder sync) comes after the rename.
    if (fs::exists(t.NativeOf("out/dst.bin"))) {
      EXPECT_TRUE(t.Read("out/dst.bin") == data);
      fs::remove(t.NativeOf("out/dst.bin"));
    }
  }
  EXPECT_TRUE(t.Read("out/dst.bin") == data);
  EXPECT_GE(step, 4u);
}

TEST(FaultSeam, ProfileWriteUnderFaultKeepsTheFile) {
  DisarmAtEnd guard;
  TempDir t;
  const std::string original = "; settings\n[A]\nx=1\n\n[B]\ny=2\n";
  t.Write("p.ini", original);
  for (uint64_t step = 1; step < 5; ++step) {
    plat::fault::Arm(step, plat::kErrAccessDenied, true);
    const bool ok = plat::WriteProfileString(t.SystemOf("p.ini"), "A", "x", "changed");
    const bool fired = plat::fault::Fired();
    plat::fault::Disarm();
    if (!fired) break;
    const std::string now = t.Read("p.ini");
    EXPECT_FALSE(ok);
    EXPECT_TRUE(now == original || now.find("x=changed") != std::string::npos);
    bvtest::WriteNative(t.NativeOf("p.ini"), original);
  }
}
