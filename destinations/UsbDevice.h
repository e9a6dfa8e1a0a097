// CUSBDevice: a destination in a folder on a removable or external disk
// (storage type 2). The disk is remembered by its identity (vendor, model,
// revision, volume serial) and the folder's path below the drive root, found
// again by scanning the drives, and followed when it comes back under another
// letter. While the disk is present a volume handle is held (a token, never a
// busy descriptor) and a device notification registered for it; availability
// means that handle is open. Device changes arrive through the USB window.
#pragma once
#include <cstdint>
#include <string>

#include "destinations/CUsbWindow.h"
#include "destinations/Destination.h"
#include "platform/volumes/DeviceBroadcast.h"

inline constexpr char kUsbDeviceSection[] = "USB Device";

class CUSBDevice : public CDestination, public IUsbHandler {
 public:
  // Registers with the USB window.
  explicit CUSBDevice(IDestinationOwner* owner);
  // Unregisters first, then closes the handle and the notification.
  ~CUSBDevice() override;

  // False without "Devices.ini"; otherwise reads the identity and scans the
  // drives for the disk (true whatever the scan found).
  bool LoadSettings() override;
  bool SaveSettings() override;  // always true
  // Only a StorePath "X:\..." longer than three characters changes anything.
  void Configure(const PlanSettings& settings) override;
  int32_t GetStorageType() const override { return kStorageUsb; }
  bool IsAvailable() const override;
  // The base test, then equal vendor, model, revision and serial.
  bool IsSameDestination(const CDestination& other) const override;
  // initialize true takes the identity of the disk at the root's letter;
  // false checks that disk against the stored identity. Always true.
  bool Prepare(bool initialize) override;
  void Close() override;
  std::string GetRootPath() const override;

  uint32_t OnUsbDeviceChange(uint32_t event, const void* data, size_t size,
                             UsbNotice* notice) override;

  // Identity, for the status line and tests.
  std::string Vendor() const;
  std::string Model() const;
  std::string Revision() const;
  int32_t PartitionSerialNumber() const;
  int64_t Size() const;
  std::string RelativePath() const;
  // The held volume handle and its notification (invalid / 0 when detached).
  plat::VolumeHandle VolumeHandleValue() const;
  plat::DeviceNotification NotificationValue() const;

  static constexpr uint32_t kAttachFailed = static_cast<uint32_t>(-104);

 private:
  // Attaches to the disk at the letter: capture takes its identity, verify
  // compares it. 0, or kAttachFailed when the volume cannot be opened.
  uint32_t Attach(char letter, bool capture);
  // Verify-attaches each present removable or fixed drive C..Z until one holds.
  void ScanDrives();
  void CloseHandle();
  void CloseAll();
  void RememberPlanId();

  CUsbWindow* window_;
  // The fields below are guarded by the USB window's handler lock.
  std::string vendor_, model_, revision_;
  int64_t size_ = 0;
  std::string root_;
  std::string relative_;  // the root less "X:"; begins with "\"
  plat::VolumeHandle volume_ = plat::kInvalidVolume;
  plat::DeviceNotification notification_ = 0;
  int32_t serial_ = 0;
  uint32_t planId_ = 0;
};
