#include "destinations/DestinationFactory.h"

#include "destinations/DiskDevice.h"
#include "destinations/NetworkDevice.h"
#include "destinations/UsbDevice.h"

std::unique_ptr<CDestination> CreateDestination(IDestinationOwner* owner, int32_t storageType) {
  switch (storageType) {
    case kStorageLocal:
      return std::make_unique<CDiskDevice>(owner);
    case kStorageUsb:
      return std::make_unique<CUSBDevice>(owner);
    case kStorageNetwork:
      return std::make_unique<CNetworkDevice>(owner);
    case kStorageFtp:  // CFTPDevice
      // These kinds join here as their classes arrive; until then the plan
      // gets no destination, as for an unknown number.
      return nullptr;
    default:
      return nullptr;
  }
}
