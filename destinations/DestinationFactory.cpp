#include "destinations/DestinationFactory.h"

#include "destinations/DiskDevice.h"

std::unique_ptr<CDestination> CreateDestination(IDestinationOwner* owner, int32_t storageType) {
  switch (storageType) {
    case kStorageLocal:
      return std::make_unique<CDiskDevice>(owner);
    case kStorageUsb:      // CUSBDevice
    case kStorageNetwork:  // CNetworkDevice (derives from CDiskDevice)
    case kStorageFtp:      // CFTPDevice
      // These kinds join here as their classes arrive; until then the plan
      // gets no destination, as for an unknown number.
      return nullptr;
    default:
      return nullptr;
  }
}
