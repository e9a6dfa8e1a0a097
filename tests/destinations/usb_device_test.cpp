// The USB disk destination over a volume table rewritten as disks are plugged and unplugged.
#include "destination_suite.h"
#include "destinations/UsbDevice.h"
#include "platform/profile/Profile.h"
#include "support/EventCollector.h"

INSTANTIATE_TEST_SUITE_P(Usb, DestinationSuite, testing::Values(LocalKind("Usb", 2)), KindName);

namespace {

struct Disk {
  char letter;
  std::string serial;  // also names the disk's folder, which follows it
  std::string model = "Stick", revision = "1.0", type = "removable";
};

class UsbDeviceTest : public testing::Test {
 protected:
  UsbDeviceTest() : volumes_(TableText({{'E', "ABCD-1234"}})) {}
  void SetUp() override { plat::DeviceBroadcaster::Instance().CheckNow(); }
  void TearDown() override { plat::DeviceBroadcaster::Instance().CheckNow(); }

  std::string TableText(const std::vector<Disk>& disks) {
    std::string text = "[C]\nRoot=/\nType=fixed\nSystem=1\n";
    for (const auto& d : disks) {
      fs::create_directories(disks_.Native() + "/disk-" + d.serial);
      text += std::string("[") + d.letter + "]\nRoot=" + disks_.Native() + "/disk-" + d.serial +
              "\nType=" + d.type + "\nBus=usb\nVendor=\" Acme \"\nModel=" + d.model +
              "\nRevision=" + d.revision + " \nSerial=" + d.serial + "\nTotalBytes=4000000000\n";
    }
    return text;
  }
  // Plug, unplug or re-letter: the table changes and the broadcasts follow.
  void Replug(const std::vector<Disk>& disks) {
    volumes_.Rewrite(TableText(disks));
    plat::DeviceBroadcaster::Instance().CheckNow();
  }
  std::unique_ptr<CUSBDevice> Captured(const std::string& root) {
    auto usb = Configured<CUSBDevice>(root, &owner_);
    EXPECT_TRUE(usb->Prepare(true));
    return usb;
  }
  // Arrival and removal events for our plan since the last call.
  std::vector<int32_t> UsbEvents() {
    std::vector<int32_t> out;
    for (const auto& e : events_.Events())
      if ((e.code == kEvUsbArrived || e.code == kEvUsbRemoved) && e.planId == kPlanId)
        out.push_back(e.code);
    events_.Clear();
    return out;
  }

  static constexpr uint32_t kPlanId = 41;
  bvtest::TempDir disks_, plan_;
  ScopedVolumes volumes_;
  PlanOwner owner_{plan_.System() + "\\", kPlanId};
  bvtest::EventCollector events_;
};

// A disk differing in one field of its identity is never attached; the real one is found under
// another letter; a removal request lets it go, a refused one takes it back.
TEST_F(UsbDeviceTest, CapturedDiskIsFoundAgainNeverALookAlikeAndLetGoOnRequest) {
  auto usb = Captured("E:\\Backup");
  const std::string stick = disks_.Native() + "/disk-ABCD-1234";
  for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    auto target = fs::read_symlink(fd.path(), ec).string();
    EXPECT_NE(target.rfind(stick, 0), 0u) << "the held handle keeps the disk open: " << target;
  }
  EXPECT_TRUE(usb->IsAvailable());
  EXPECT_EQ(usb->GetRootPath(), "E:\\Backup");
  EXPECT_EQ(usb->Vendor() + "|" + usb->Model() + "|" + usb->Revision(), "Acme|Stick|1.0");
  EXPECT_EQ(usb->Size(), 4000000000);
  EXPECT_EQ(usb->PartitionSerialNumber(), static_cast<int32_t>(0xABCD1234u));
  ASSERT_TRUE(usb->SaveSettings());
  auto key = [&](const char* k) {
    return plat::GetProfileString(plan_.SystemOf("Devices.ini"), "USB Device", k, "?", 200);
  };
  EXPECT_EQ(key("Size"), "-294967296");  // the low 32 bits, signed
  EXPECT_EQ(key("PartitionSerialNumber"), "-1412623820");
  EXPECT_EQ(key("RelativePath"), "\\Backup");

  {  // A plan loaded at start finds its disk by scanning the drives.
    CUSBDevice loaded(&owner_);
    ASSERT_TRUE(loaded.LoadSettings());
    EXPECT_TRUE(loaded.IsAvailable());
    EXPECT_EQ(loaded.GetRootPath(), "E:\\Backup");
    EXPECT_TRUE(loaded.Prepare(false));  // already held: stays paired
    EXPECT_TRUE(loaded.IsAvailable());
    EXPECT_TRUE(loaded.IsSameDestination(*usb));
  }

  CUSBDevice orphan(nullptr);
  EXPECT_FALSE(orphan.LoadSettings());
  EXPECT_FALSE(orphan.IsAvailable());
  // A drive root or a path without a letter leaves the root empty.
  for (const char* bad : {"E:\\", "\\\\srv\\share\\x", "Backup"}) {
    auto d = Captured(bad);
    EXPECT_EQ(d->GetRootPath(), "") << bad;
    EXPECT_FALSE(d->IsAvailable()) << bad;
  }

  UsbEvents();
  Replug({{'E', "0000-0001"}});  // swapped under its letter for another serial
  EXPECT_FALSE(usb->IsAvailable());
  EXPECT_EQ(UsbEvents(), (std::vector<int32_t>{kEvUsbRemoved, kEvUsbArrived}));
  Replug({{'E', "0000-0001"}, {'H', "ABCD-1234", "Other"}});  // another model
  EXPECT_FALSE(usb->IsAvailable());
  Replug({{'E', "ABCD-1234", "Stick", "2.0"}});  // another revision
  EXPECT_FALSE(usb->IsAvailable());
  auto twin = Captured("E:\\Backup");
  EXPECT_TRUE(twin->IsAvailable());
  EXPECT_FALSE(usb->IsSameDestination(*twin));
  EXPECT_FALSE(twin->IsSameDestination(*usb));
  twin.reset();
  // The real one beside a look-alike, under a new letter, saying it is fixed.
  Replug({{'E', "0000-0001"}, {'K', "ABCD-1234", "Stick", "1.0", "fixed"}});
  EXPECT_TRUE(usb->IsAvailable());
  EXPECT_EQ(usb->GetRootPath(), "K:\\Backup");

  UsbEvents();
  plat::BroadcastHandle b{};
  b.size = sizeof b;
  b.deviceType = plat::kDbtDevtypHandle;
  b.handle = usb->VolumeHandleValue();
  b.notification = usb->NotificationValue();
  CUsbWindow* window = GetUsbWindow();
  plat::BroadcastHandle other = b;  // someone else's handle is not ours
  other.handle += 999;
  window->OnDeviceChange(plat::kDbtDeviceQueryRemove, &other, sizeof other);
  EXPECT_TRUE(usb->IsAvailable());

  EXPECT_EQ(window->OnDeviceChange(plat::kDbtDeviceQueryRemove, &b, sizeof b), 1u);
  EXPECT_FALSE(usb->IsAvailable());
  EXPECT_NE(usb->NotificationValue(), 0u);  // still registered
  EXPECT_EQ(UsbEvents(), std::vector<int32_t>{kEvUsbRemoved});
  window->OnDeviceChange(plat::kDbtDeviceQueryRemoveFailed, &b, sizeof b);
  EXPECT_TRUE(usb->IsAvailable()) << "the removal failed: the disk is held again";
  EXPECT_EQ(UsbEvents(), std::vector<int32_t>{kEvUsbArrived});
  // Short or missing broadcast data is ignored.
  window->OnDeviceChange(plat::kDbtDeviceRemoveComplete, &b, 8);
  window->OnDeviceChange(plat::kDbtDeviceRemoveComplete, nullptr, 0);
  EXPECT_TRUE(usb->IsAvailable());
  usb->Close();
  EXPECT_FALSE(usb->IsAvailable());
  EXPECT_EQ(usb->NotificationValue(), 0u);
}

}  // namespace
