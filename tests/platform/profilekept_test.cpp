// Kept profile texts are read again whenever the file changes: rewritten in
// place at the same size, replaced by a rename with its old times, removed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/Profile.h"
#include "support/TempDir.h"

namespace {

TEST(KeptProfile, IsReadAgainWhenTheFileChanges) {
  bvtest::TempDir dir;
  const std::string ini = dir.SystemOf("side.ini");
  const auto expect = [&](const char* text, int n) {
    EXPECT_EQ(plat::GetKeptProfileString(ini, "s", "K", "-"), text);
    EXPECT_EQ(plat::GetKeptProfileInt(ini, "S", "n", 0), n);
  };
  dir.Write("side.ini", "[S]\nk=one\nn=1\n");
  expect("one", 1);
  expect("one", 1);
  // The file system's clock is coarse: a later write gets a later time.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  dir.Write("side.ini", "[S]\nk=two\nn=2\n");
  expect("two", 2);
  const std::string other = dir.Write("other.ini", "[S]\nk=six\nn=6\n");
  std::filesystem::last_write_time(other,
                                   std::filesystem::last_write_time(dir.NativeOf("side.ini")));
  ASSERT_EQ(std::rename(other.c_str(), dir.NativeOf("side.ini").c_str()), 0);
  expect("six", 6);
  ASSERT_EQ(std::remove(dir.NativeOf("side.ini").c_str()), 0);
  expect("-", 0);
}

}  // namespace
