// Volume handles and device-change broadcasts over an override table that
// the tests rewrite, as a user plugs, unplugs and re-letters disks.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "EnvScope.h"
#include "platform/DeviceBroadcast.h"
#include "platform/Errors.h"
#include "platform/VolumeHandles.h"
#include "support/TempDir.h"

namespace {

struct Message {
  uint32_t event, type, unitMask;
  uint64_t handle, notification;
};

class Recorder : public plat::IDeviceChangeRecipient {
 public:
  uint32_t OnDeviceChange(uint32_t event, const void* data, size_t size) override {
    Message m{event, 0, 0, 0, 0};
    if (data != nullptr && size >= sizeof(plat::BroadcastHeader)) {
      std::memcpy(&m.type, static_cast<const char*>(data) + 4, 4);
      if (m.type == plat::kDbtDevtypVolume)
        m.unitMask = static_cast<const plat::BroadcastVolume*>(data)->unitMask;
      if (m.type == plat::kDbtDevtypHandle) {
        m.handle = static_cast<const plat::BroadcastHandle*>(data)->handle;
        m.notification = static_cast<const plat::BroadcastHandle*>(data)->notification;
      }
    }
    std::lock_guard<std::mutex> g(lock_);
    messages_.push_back(m);
    return 1;
  }
  std::vector<Message> Take() {
    std::lock_guard<std::mutex> g(lock_);
    return std::exchange(messages_, {});
  }

 private:
  std::mutex lock_;  // guards messages_
  std::vector<Message> messages_;
};

constexpr uint32_t Bit(char letter) { return 1u << (letter - 'A'); }

class BroadcastTest : public testing::Test {
 protected:
  void SetUp() override {
    Table({{'E', "1234-ABCD"}});
    env_.Set("BREVANTO_VOLUMES", ini_);
    plat::DeviceBroadcaster::Instance().AddRecipient(&rec_);
    plat::DeviceBroadcaster::Instance().CheckNow();
    rec_.Take();
  }
  void TearDown() override {
    plat::DeviceBroadcaster::Instance().RemoveRecipient(&rec_);
    env_.Restore();
    plat::DeviceBroadcaster::Instance().CheckNow();
  }
  // C: plus one removable USB disk per (letter, serial); a disk's folder
  // depends on its serial, so a re-lettered disk keeps it.
  void Table(const std::vector<std::pair<char, std::string>>& disks) {
    std::string text = "[C]\nRoot=/\nType=fixed\nSystem=1\n";
    for (const auto& [letter, serial] : disks)
      text += std::string("[") + letter + "]\nRoot=" + dir_.Native() + "/disk-" + serial +
              "\nType=removable\nBus=usb\nVendor=\"  Acme \"\nModel=Stick\nRevision=1.0\nSerial=" +
              serial + "\n";
    bvtest::WriteNative(ini_, text);
  }

  bvtest::TempDir dir_;
  EnvScope env_;
  std::string ini_ = dir_.NativeOf("volumes.ini");
  Recorder rec_;
};

// A handle is a token of the volume as opened, answering after the disk left;
// a disk re-lettered, or another disk at the same letter, is a removal (to its
// registered handles first) and then an arrival; nothing changed, nothing said.
TEST_F(BroadcastTest, HandlesOutliveTheirDiskAndChangesAreRemovalsThenArrivals) {
  auto& b = plat::DeviceBroadcaster::Instance();
  const plat::VolumeHandle h = plat::OpenVolume('e'), other = plat::OpenVolume('C');
  ASSERT_NE(h, plat::kInvalidVolume);
  std::string vendor, product, revision;
  ASSERT_TRUE(plat::QueryStorageDescriptor(h, &vendor, &product, &revision));
  EXPECT_EQ(vendor + "|" + product + "|" + revision, "  Acme |Stick|1.0");  // untrimmed
  uint32_t serial = 0;
  EXPECT_TRUE(plat::GetVolumeSerialNumber("E:\\", &serial));
  EXPECT_EQ(serial, 0x1234ABCDu);
  const plat::DeviceNotification n = b.RegisterNotification(&rec_, h);
  const plat::DeviceNotification keep = b.RegisterNotification(&rec_, other);
  ASSERT_NE(n, 0u);
  b.CheckNow();
  EXPECT_TRUE(rec_.Take().empty());

  Table({{'F', "1234-ABCD"}});
  b.CheckNow();
  auto got = rec_.Take();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_TRUE(got[0].event == plat::kDbtDeviceRemoveComplete &&
              got[0].type == plat::kDbtDevtypHandle);
  EXPECT_TRUE(got[0].handle == h && got[0].notification == n);
  EXPECT_TRUE(got[1].event == plat::kDbtDeviceRemoveComplete && got[1].unitMask == Bit('E'));
  EXPECT_TRUE(got[2].event == plat::kDbtDeviceArrival && got[2].unitMask == Bit('F'));
  EXPECT_FALSE(plat::GetVolumeSerialNumber("E:\\", &serial));
  EXPECT_TRUE(plat::QueryStorageDescriptor(h, &vendor, nullptr, nullptr));

  Table({{'F', "5555-0000"}});
  b.CheckNow();
  got = rec_.Take();
  ASSERT_EQ(got.size(), 2u);  // no handle of that disk is registered
  EXPECT_TRUE(got[0].event == plat::kDbtDeviceRemoveComplete && got[0].unitMask == Bit('F'));
  EXPECT_TRUE(got[1].event == plat::kDbtDeviceArrival && got[1].unitMask == Bit('F'));

  EXPECT_TRUE(b.UnregisterNotification(n));
  EXPECT_FALSE(b.UnregisterNotification(n));
  EXPECT_TRUE(b.UnregisterNotification(keep));
  EXPECT_EQ(b.RegisterNotification(&rec_, plat::kInvalidVolume), 0u);
  plat::CloseVolume(h);
  plat::CloseVolume(other);
  EXPECT_FALSE(plat::QueryStorageDescriptor(h, &vendor, nullptr, nullptr));
  EXPECT_TRUE(vendor.empty());
  EXPECT_EQ(plat::OpenVolume('Q'), plat::kInvalidVolume);
  EXPECT_EQ(plat::GetLastError(), 15u);
}

}  // namespace
