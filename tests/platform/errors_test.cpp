// errno to Windows error numbers, message texts, per-thread last error.
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <utility>

#include "platform/Errors.h"

// Each errno gives the code whose text names the real cause: a read-only
// file system is "write protected", not "access denied" or "path not found".
TEST(Errors, MapsErrnoValuesToTheRealCauseAndItsText) {
  struct Case {
    int err;
    uint32_t code;
    const char* words;  // part of the code's text
  };
  const Case cases[] = {
      {0, 0u, "completed successfully"},
      {ENOENT, plat::kErrFileNotFound, "cannot find the file"},
      {ENOTDIR, plat::kErrPathNotFound, "cannot find the path"},
      {EACCES, plat::kErrAccessDenied, "Access is denied"},
      {EPERM, plat::kErrAccessDenied, "Access is denied"},
      {EROFS, 19u, "write protected"},
      {EEXIST, plat::kErrAlreadyExists, "already exists"},
      {ENOSPC, 112u, "not enough space"},
      {EDQUOT, 112u, "not enough space"},
      {EFBIG, plat::kErrFileTooLarge, "exceeds the limit"},
      {EBUSY, plat::kErrBusy, "in use"},
      {ETXTBSY, plat::kErrSharingViolation, "being used by another process"},
      {ENAMETOOLONG, 206u, "too long"},
      {ENOTEMPTY, plat::kErrDirNotEmpty, "not empty"},
      {EIO, plat::kErrIoDevice, "I/O device error"},
      {EXDEV, plat::kErrNotSameDevice, "different disk drive"},
      {EUCLEAN, plat::kErrFileCorrupt, "corrupted"},
      {EMLINK, plat::kErrTooManyLinks, "links"},
      {ENETDOWN, plat::kErrBadNetPath, "network path"},
      {EREMOTEIO, plat::kErrUnexpNetErr, "network error"},
      {99999, plat::kErrGenFailure, "not functioning"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(plat::ErrnoToWinError(c.err), c.code) << c.err;
    EXPECT_NE(plat::WinErrorMessage(c.code).find(c.words), std::string::npos) << c.code;
  }
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
