// Volume handles and device-change broadcasts over an override table that
// the test rewrites, as a user plugs, unplugs and re-letters disks.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "Checks.h"
#include "platform/DeviceBroadcast.h"
#include "platform/Errors.h"
#include "platform/VolumeHandles.h"
#include "support/TempDir.h"

namespace {

// Each broadcast as "arrival E F", "remove E" or "remove handle <handle> <notification>".
class Recorder : public plat::IDeviceChangeRecipient {
 public:
  ~Recorder() override { plat::DeviceBroadcaster::Instance().RemoveRecipient(this); }
  uint32_t OnDeviceChange(uint32_t event, const void* data, size_t size) override {
    std::string m = event == plat::kDbtDeviceArrival          ? "arrival"
                    : event == plat::kDbtDeviceRemoveComplete ? "remove"
                                                              : std::to_string(event);
    const auto* header = static_cast<const plat::BroadcastHeader*>(data);
    if (size >= sizeof(plat::BroadcastVolume) && header->deviceType == plat::kDbtDevtypVolume) {
      for (char c = 'A'; c <= 'Z'; ++c)
        if (static_cast<const plat::BroadcastVolume*>(data)->unitMask & (1u << (c - 'A')))
          m += std::string(" ") + c;
    } else if (size >= sizeof(plat::BroadcastHandle)) {
      const auto* h = static_cast<const plat::BroadcastHandle*>(data);
      m += " handle " + std::to_string(h->handle) + " " + std::to_string(h->notification);
    }
    std::lock_guard<std::mutex> g(lock_);
    messages_.push_back(m);
    return 1;
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> g(lock_);
    return std::exchange(messages_, {});
  }

 private:
  std::mutex lock_;  // guards messages_
  std::vector<std::string> messages_;
};

// C: plus one removable USB disk per (letter, serial); a disk's folder
// depends on its serial, so a re-lettered disk keeps it.
void Table(const std::string& ini, const std::vector<std::pair<char, std::string>>& disks) {
  std::string text = "[C]\nRoot=/\nType=fixed\nSystem=1\n";
  for (const auto& [letter, serial] : disks)
    text += std::string("[") + letter + "]\nRoot=" + ini + "-disk-" + serial +
            "\nType=removable\nBus=usb\nVendor=\"  Acme \"\nModel=Stick\nRevision=1.0\nSerial=" +
            serial + "\n";
  bvtest::WriteNative(ini, text);
}

// Handles answer after their disk left; a re-lettered or swapped disk is a
// removal (its handles first) and an arrival; nothing changed, nothing said.
TEST(Broadcast, HandlesOutliveTheirDiskAndChangesAreRemovalsThenArrivals) {
  bvtest::TempDir dir;
  EnvScope env;
  Recorder rec;
  auto& b = plat::DeviceBroadcaster::Instance();
  const std::string ini = dir.NativeOf("volumes.ini");
  Table(ini, {{'E', "1234-ABCD"}});
  env.Set("BREVANTO_VOLUMES", ini);
  b.AddRecipient(&rec);
  b.CheckNow();
  rec.Take();

  const plat::VolumeHandle h = plat::OpenVolume('e'), other = plat::OpenVolume('C');
  ASSERT_NE(h, plat::kInvalidVolume);
  std::string vendor, product, revision;
  ASSERT_TRUE(plat::QueryStorageDescriptor(h, &vendor, &product, &revision));
  EXPECT_EQ(vendor + "|" + product + "|" + revision, "  Acme |Stick|1.0");  // untrimmed
  uint32_t serial = 0;
  EXPECT_TRUE(plat::GetVolumeSerialNumber("E:\\", &serial));
  EXPECT_EQ(serial, 0x1234ABCDu);
  const plat::DeviceNotification n = b.RegisterNotification(&rec, h);
  const plat::DeviceNotification keep = b.RegisterNotification(&rec, other);
  ASSERT_NE(n, 0u);
  b.CheckNow();
  EXPECT_TRUE(rec.Take().empty());

  Table(ini, {{'F', "1234-ABCD"}});
  b.CheckNow();
  const std::string handle = " handle " + std::to_string(h) + " " + std::to_string(n);
  EXPECT_EQ(rec.Take(), (std::vector<std::string>{"remove" + handle, "remove E", "arrival F"}));
  EXPECT_FALSE(plat::GetVolumeSerialNumber("E:\\", &serial));
  EXPECT_TRUE(plat::QueryStorageDescriptor(h, &vendor, nullptr, nullptr));
  Table(ini, {{'F', "5555-0000"}});
  b.CheckNow();
  EXPECT_EQ(rec.Take(), (std::vector<std::string>{"remove F", "arrival F"}));

  EXPECT_TRUE(b.UnregisterNotification(n));
  EXPECT_FALSE(b.UnregisterNotification(n));
  EXPECT_TRUE(b.UnregisterNotification(keep));
  EXPECT_EQ(b.RegisterNotification(&rec, plat::kInvalidVolume), 0u);
  plat::CloseVolume(h);
  plat::CloseVolume(other);
  EXPECT_FALSE(plat::QueryStorageDescriptor(h, &vendor, nullptr, nullptr));
  EXPECT_TRUE(vendor.empty());
  EXPECT_EQ(plat::OpenVolume('Q'), plat::kInvalidVolume);
  EXPECT_EQ(plat::GetLastError(), 15u);
}

}  // namespace
