// Volume handles and device-change broadcasts over an override table that
// the tests rewrite, as a user plugs, unplugs and re-letters disks.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "EnvScope.h"
#include "platform/DeviceBroadcast.h"
#include "platform/Errors.h"
#include "platform/VolumeHandles.h"
#include "support/TempDir.h"

namespace {

struct Message {
  uint32_t event;
  uint32_t type;
  uint32_t unitMask = 0;
  uint64_t handle = 0, notification = 0;
};

class Recorder : public plat::IDeviceChangeRecipient {
 public:
  uint32_t OnDeviceChange(uint32_t event, const void* data, size_t size) override {
    Message m{event, 0};
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
    ini_ = dir_.NativeOf("volumes.ini");
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
  // The table: C: plus one removable USB disk per (letter, serial); the
  // disk's folder depends on its serial, so a re-lettered disk keeps it.
  void Table(const std::vector<std::pair<char, std::string>>& disks) {
    std::string text = "[C]\nRoot=/\nType=fixed\nSystem=1\n";
    for (const auto& [letter, serial] : disks) {
      text += std::string("[") + letter + "]\nRoot=" + dir_.Native() + "/disk-" + serial +
              "\nType=removable\nBus=usb\nVendor=\"  Acme \"\nModel=Stick\nRevision=1.0\nSerial=" +
              serial + "\n";
    }
    bvtest::WriteNative(ini_, text);
  }

  bvtest::TempDir dir_;
  EnvScope env_;
  std::string ini_;
  Recorder rec_;
};

TEST_F(BroadcastTest, HandlesAreTokensOfTheVolumeAsOpened) {
  plat::VolumeHandle h = plat::OpenVolume('e');
  ASSERT_NE(h, plat::kInvalidVolume);
  std::string vendor, product, revision;
  ASSERT_TRUE(plat::QueryStorageDescriptor(h, &vendor, &product, &revision));
  EXPECT_EQ(vendor, "  Acme ");  // as the device reports it; trimming is the caller's
  EXPECT_EQ(product, "Stick");
  EXPECT_EQ(revision, "1.0");
  uint32_t serial = 0;
  EXPECT_TRUE(plat::GetVolumeSerialNumber("E:\\", &serial));
  EXPECT_EQ(serial, 0x1234ABCDu);

  // The disk leaves: the token still answers as its volume was.
  Table({});
  plat::VolumeTable::Instance().Reload();
  EXPECT_FALSE(plat::GetVolumeSerialNumber("E:\\", &serial));
  EXPECT_TRUE(plat::QueryStorageDescriptor(h, &vendor, nullptr, nullptr));
  plat::CloseVolume(h);
  EXPECT_FALSE(plat::QueryStorageDescriptor(h, &vendor, nullptr, nullptr));
  EXPECT_TRUE(vendor.empty());

  EXPECT_EQ(plat::OpenVolume('Q'), plat::kInvalidVolume);
  EXPECT_EQ(plat::GetLastError(), 15u);
}

TEST_F(BroadcastTest, ReletteredDiskIsRemovedThenArrives) {
  auto& b = plat::DeviceBroadcaster::Instance();
  plat::VolumeHandle h = plat::OpenVolume('E');
  plat::DeviceNotification n = b.RegisterNotification(&rec_, h);
  ASSERT_NE(n, 0u);
  plat::VolumeHandle other = plat::OpenVolume('C');
  plat::DeviceNotification keep = b.RegisterNotification(&rec_, other);

  b.CheckNow();
  EXPECT_TRUE(rec_.Take().empty()) << "nothing changed, nothing is said";

  Table({{'F', "1234-ABCD"}});
  b.CheckNow();
  auto got = rec_.Take();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].event, plat::kDbtDeviceRemoveComplete);
  EXPECT_EQ(got[0].type, plat::kDbtDevtypHandle);
  EXPECT_EQ(got[0].handle, h);
  EXPECT_EQ(got[0].notification, n);
  EXPECT_EQ(got[1].event, plat::kDbtDeviceRemoveComplete);
  EXPECT_EQ(got[1].unitMask, Bit('E'));
  EXPECT_EQ(got[2].event, plat::kDbtDeviceArrival);
  EXPECT_EQ(got[2].unitMask, Bit('F'));

  // Another disk at the same letter (other serial) is a removal and an arrival.
  Table({{'F', "5555-0000"}});
  b.CheckNow();
  got = rec_.Take();
  ASSERT_EQ(got.size(), 2u);  // no handle of that disk is registered
  EXPECT_EQ(got[0].unitMask, Bit('F'));
  EXPECT_EQ(got[0].event, plat::kDbtDeviceRemoveComplete);
  EXPECT_EQ(got[1].event, plat::kDbtDeviceArrival);

  EXPECT_TRUE(b.UnregisterNotification(n));
  EXPECT_FALSE(b.UnregisterNotification(n));
  EXPECT_TRUE(b.UnregisterNotification(keep));
  EXPECT_EQ(b.RegisterNotification(&rec_, plat::kInvalidVolume), 0u);
  plat::CloseVolume(h);
  plat::CloseVolume(other);
}

TEST_F(BroadcastTest, WatchThreadDeliversRewrittenTable) {
  auto& b = plat::DeviceBroadcaster::Instance();
  ASSERT_TRUE(b.Start());
  Table({{'E', "1234-ABCD"}, {'G', "0000-0001"}});
  std::vector<Message> seen;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    for (auto& m : rec_.Take()) seen.push_back(m);
    if (!seen.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  b.Stop();
  b.Stop();  // a second stop does nothing
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].event, plat::kDbtDeviceArrival);
  EXPECT_EQ(seen[0].unitMask, Bit('G'));
}

}  // namespace
