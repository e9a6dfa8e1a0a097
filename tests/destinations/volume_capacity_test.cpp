// Free space and total size of a path's volume, measured and overridden.
#include <filesystem>

#include <gtest/gtest.h>

#include "destinations/Destination.h"
#include "destinations/VolumeCapacity.h"
#include "support/TempDir.h"
#include "volume_override.h"

namespace {

// The override's figures replace the measured ones; without them the file
// system is measured (the last letter too); unknown volumes give failure and zero.
TEST(VolumeCapacity, OverriddenMeasuredAndUnknownVolumes) {
  bvtest::TempDir d, e;
  ScopedVolumes volumes("[C]\nRoot=/\n[Z]\nRoot=" + d.Native() + "\n[E]\nRoot=" + e.Native() +
                        "\nTotalBytes=5000000000000\nFreeBytes=10485759\n");
  uint64_t bytes = 1;
  EXPECT_EQ(GetFreeSpace("E:\\", &bytes), kDestOk);
  EXPECT_EQ(bytes, 10485759u);
  EXPECT_EQ(GetTotalSpace("e:\\Store\\not\\made\\yet", &bytes), kDestOk);
  EXPECT_EQ(bytes, 5000000000000u);
  EXPECT_EQ(GetFreeSpace("\\\\?\\E:\\Store", &bytes), kDestOk);
  EXPECT_EQ(bytes, 10485759u);
  EXPECT_EQ(GetFreeSpace("E:\\", nullptr), kDestOk);

  uint64_t total = 0, freeBytes = 0;
  ASSERT_EQ(GetTotalSpace("Z:\\", &total), kDestOk);
  ASSERT_EQ(GetFreeSpace("Z:\\", &freeBytes), kDestOk);
  const std::filesystem::space_info space = std::filesystem::space(d.Native());
  EXPECT_EQ(total, space.capacity);
  // Others write to the same disk meanwhile: allow for some drift.
  EXPECT_LT(freeBytes > space.available ? freeBytes - space.available : space.available - freeBytes,
            1ull << 30);

  for (const char* path : {"Q:\\x", "\\\\nowhere\\share\\x", ""}) {
    for (auto* get : {&GetFreeSpace, &GetTotalSpace}) {
      bytes = 77;
      EXPECT_EQ(get(path, &bytes), kDestFailed) << path;
      EXPECT_EQ(bytes, 0u) << path;
    }
  }
}

}  // namespace
