// CDiskDevice: a destination in a folder on a local drive (storage type 1).
// Its settings are the key RootDir of the section "Disk Device" in the plan's
// "Devices.ini"; CNetworkDevice derives from it and shares that section.
#pragma once
#include <string>

#include "destinations/Destination.h"

inline constexpr char kDiskDeviceSection[] = "Disk Device";

class CDiskDevice : public CDestination {
 public:
  explicit CDiskDevice(IDestinationOwner* owner) : CDestination(owner) {}

  // RootDir from "Devices.ini"; true when the file exists and the root read
  // is not empty.
  bool LoadSettings() override;
  // False when there is no owner, the root holds a line break, or the file
  // cannot be written.
  bool SaveSettings() override;
  // Root = StorePath less leading white space and trailing spaces.
  void Configure(const PlanSettings& settings) override;
  int32_t GetStorageType() const override { return kStorageLocal; }
  // As of the last Refresh, and false at once when a device-change broadcast
  // said the root's volume went away (until it arrives again).
  bool IsAvailable() const override;
  // initialize true: creates the root (one level) and an empty marker file in
  // it; failures are left for the copies to report. Always true.
  bool Prepare(bool initialize) override;
  void Close() override {}
  std::string GetRootPath() const override { return root_; }
  // Available when the root starts with a drive letter C to Z and a colon and
  // that drive is in the volume table. The folder itself is not looked at.
  void Refresh() override;

 protected:
  std::string root_;
  bool available_ = true;  // true until the first Refresh says otherwise
};
