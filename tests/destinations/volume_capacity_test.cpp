// Free space and total size of a path's volume, measured and overridden.
#include <filesystem>

#include <gtest/gtest.h>

#include "destinations/Destination.h"
#include "destinations/VolumeCapacity.h"
#include "support/TempDir.h"
#include "volume_override.h"

namespace {

class VolumeCapacityTest : public testing::Test {
 protected:
  bvtest::TempDir d_, e_;
  ScopedVolumes volumes_{"[C]\nRoot=/\n[D]\nRoot=" + d_.Native() + "\n[E]\nRoot=" + e_.Native() +
                         "\nTotalBytes=5000000000000\nFreeBytes=10485759\n"};
};

TEST_F(VolumeCapacityTest, OverrideFiguresReplaceTheMeasuredOnes) {
  uint64_t bytes = 1;
  EXPECT_EQ(GetFreeSpace("E:\\", &bytes), kDestOk);
  EXPECT_EQ(bytes, 10485759u);
  EXPECT_EQ(GetTotalSpace("e:\\Store\\not\\made\\yet", &bytes), kDestOk);
  EXPECT_EQ(bytes, 5000000000000u);
  EXPECT_EQ(GetFreeSpace("\\\\?\\E:\\Store", &bytes), kDestOk);
  EXPECT_EQ(bytes, 10485759u);
}

TEST_F(VolumeCapacityTest, MeasuredFiguresMatchTheFileSystem) {
  uint64_t total = 0, freeBytes = 0;
  ASSERT_EQ(GetTotalSpace("D:\\", &total), kDestOk);
  ASSERT_EQ(GetFreeSpace("D:\\", &freeBytes), kDestOk);
  std::filesystem::space_info space = std::filesystem::space(d_.Native());
  EXPECT_EQ(total, space.capacity);
  EXPECT_LE(freeBytes, total);
  // Others write to the same disk meanwhile: allow for some drift.
  uint64_t drift =
      freeBytes > space.available ? freeBytes - space.available : space.available - freeBytes;
  EXPECT_LT(drift, 1ull << 30);
}

TEST_F(VolumeCapacityTest, UnknownVolumesGiveFailureAndZero) {
  for (const char* path : {"Q:\\x", "\\\\nowhere\\share\\x", ""}) {
    for (auto* get : {&GetFreeSpace, &GetTotalSpace}) {
      uint64_t bytes = 77;
      EXPECT_EQ(get(path, &bytes), kDestFailed) << path;
      EXPECT_EQ(bytes, 0u) << path;
    }
  }
  EXPECT_EQ(GetFreeSpace("E:\\", nullptr), kDestOk);
}

}  // namespace
