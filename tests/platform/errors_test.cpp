// errno to Windows error numbers, message texts, per-thread last error.
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <utility>

#include "platform/Errors.h"

TEST(Errors, MapsErrnoValues) {
  const std::pair<int, uint32_t> cases[] = {
      {0, 0u},
      {ENOENT, plat::kErrFileNotFound},
      {ENOTDIR, plat::kErrPathNotFound},
      {EACCES, plat::kErrAccessDenied},
      {EPERM, plat::kErrAccessDenied},
      {EROFS, plat::kErrAccessDenied},
      {EEXIST, plat::kErrAlreadyExists},
      {ENOSPC, plat::kErrDiskFull},
      {EDQUOT, plat::kErrDiskFull},
      {EBUSY, plat::kErrSharingViolation},
      {ENAMETOOLONG, plat::kErrFilenameExcedRange},
      {ENOTEMPTY, plat::kErrDirNotEmpty},
      {EIO, plat::kErrIoDevice},
      {EXDEV, plat::kErrNotSameDevice},
      {99999, plat::kErrGenFailure},
  };
  for (const auto& [e, code] : cases) EXPECT_EQ(plat::ErrnoToWinError(e), code) << e;
}

TEST(Errors, MessageTexts) {
  EXPECT_EQ(plat::WinErrorMessage(2), "The system cannot find the file specified.");
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
