// CNetworkDevice: a destination in a folder on a network share (storage
// type 3), given as a share path ("\\server\share\folder") or as a path on a
// mapped network letter ("Z:\folder"). It keeps the disk kind's root, section
// "Disk Device", preparation and close, adds the key RemoteName (the share a
// mapped letter was connected to at configuration) and its own availability
// test. Copies are flushed to the device.
#pragma once
#include <string>

#include "destinations/DiskDevice.h"

class CNetworkDevice : public CDiskDevice {
 public:
  explicit CNetworkDevice(IDestinationOwner* owner);

  // RootDir and RemoteName; true when the file exists and the root is not
  // empty.
  bool LoadSettings() override;
  // RootDir, then RemoteName; false (and no second write) when the first
  // write fails.
  bool SaveSettings() override;
  // Root as the disk kind trims it; remote name = the share the root's drive
  // letter is connected to now (empty for a share path or a local letter).
  void Configure(const PlanSettings& settings) override;
  int32_t GetStorageType() const override { return kStorageNetwork; }
  // Share path: available when the share can be connected. Mapped letter:
  // available when the letter exists and is connected to exactly the stored
  // remote name (case counts).
  void Refresh() override;

  const std::string& GetRemoteName() const { return remoteName_; }

 private:
  std::string remoteName_;
};
