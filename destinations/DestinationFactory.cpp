#include "destinations/DestinationFactory.h"

#include "destinations/DiskDevice.h"
#include "destinations/FtpDevice.h"
#include "destinations/NetworkDevice.h"
#include "destinations/ObjectDevice.h"
#include "destinations/UsbDevice.h"

std::unique_ptr<CDestination> CreateDestination(IDestinationOwner* owner, int32_t storageType) {
  switch (storageType) {
    case kStorageLocal:
      return std::make_unique<CDiskDevice>(owner);
    case kStorageUsb:
      return std::make_unique<CUSBDevice>(owner);
    case kStorageNetwork:
      return std::make_unique<CNetworkDevice>(owner);
    case kStorageFtp:
      return std::make_unique<CFTPDevice>(owner);
    case kStorageObject:
      return std::make_unique<CObjectDevice>(owner);
    default:
      return nullptr;
  }
}
