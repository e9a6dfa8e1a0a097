// errno to Windows error numbers, message texts, per-thread last error.
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "support/TempDir.h"

TEST(Errors, MapsErrnoValues) {
  EXPECT_EQ(plat::ErrnoToWinError(0), 0u);
  EXPECT_EQ(plat::ErrnoToWinError(ENOENT), plat::kErrFileNotFound);
  EXPECT_EQ(plat::ErrnoToWinError(ENOTDIR), plat::kErrPathNotFound);
  EXPECT_EQ(plat::ErrnoToWinError(EACCES), plat::kErrAccessDenied);
  EXPECT_EQ(plat::ErrnoToWinError(EPERM), plat::kErrAccessDenied);
  EXPECT_EQ(plat::ErrnoToWinError(EROFS), plat::kErrAccessDenied);
  EXPECT_EQ(plat::ErrnoToWinError(EEXIST), plat::kErrAlreadyExists);
  EXPECT_EQ(plat::ErrnoToWinError(ENOSPC), plat::kErrDiskFull);
  EXPECT_EQ(plat::ErrnoToWinError(EDQUOT), plat::kErrDiskFull);
  EXPECT_EQ(plat::ErrnoToWinError(EBUSY), plat::kErrSharingViolation);
  EXPECT_EQ(plat::ErrnoToWinError(ENAMETOOLONG), plat::kErrFilenameExcedRange);
  EXPECT_EQ(plat::ErrnoToWinError(ENOTEMPTY), plat::kErrDirNotEmpty);
  EXPECT_EQ(plat::ErrnoToWinError(EIO), plat::kErrIoDevice);
  EXPECT_EQ(plat::ErrnoToWinError(EXDEV), plat::kErrNotSameDevice);
  EXPECT_EQ(plat::ErrnoToWinError(99999), plat::kErrGenFailure);
}

TEST(Errors, RealCallsDistinguishMissingFileFromMissingFolder) {
  bvtest::TempDir t;
  std::string out;
  EXPECT_FALSE(plat::ReadWholeFile(t.SystemOf("nope.txt"), &out));
  EXPECT_EQ(plat::GetLastError(), plat::kErrFileNotFound);
  EXPECT_FALSE(plat::ReadWholeFile(t.SystemOf("nodir\\nope.txt"), &out));
  EXPECT_EQ(plat::GetLastError(), plat::kErrPathNotFound);
  t.Write("file", "x");
  EXPECT_FALSE(plat::ReadWholeFile(t.SystemOf("file\\below"), &out));
  EXPECT_EQ(plat::GetLastError(), plat::kErrPathNotFound);
  EXPECT_FALSE(plat::ReadWholeFile(t.SystemOf(std::string(300, 'n')), &out));
  EXPECT_EQ(plat::GetLastError(), plat::kErrFilenameExcedRange);
}

TEST(Errors, MessageTexts) {
  EXPECT_EQ(plat::WinErrorMessage(2), "The system cannot find the file specified.");
  EXPECT_EQ(plat::WinErrorMessage(3), "The system cannot find the path specified.");
  EXPECT_EQ(plat::WinErrorMessage(5), "Access is denied.");
  EXPECT_EQ(plat::WinErrorMessage(112), "There is not enough space on the disk.");
  EXPECT_EQ(plat::WinErrorMessage(183), "Cannot create a file when that file already exists.");
  EXPECT_EQ(plat::WinErrorMessage(424242), "Unknown error 424242.");
  // Every number the layer can produce has its own text.
  for (int e = 1; e < 134; ++e) {
    const uint32_t code = plat::ErrnoToWinError(e);
    EXPECT_EQ(plat::WinErrorMessage(code).rfind("Unknown error", 0), std::string::npos) << e;
  }
}

TEST(Errors, LastErrorIsPerThread) {
  plat::SetLastError(5);
  std::thread([] {
    EXPECT_EQ(plat::GetLastError(), 0u);
    plat::SetLastError(112);
  }).join();
  EXPECT_EQ(plat::GetLastError(), 5u);
}
