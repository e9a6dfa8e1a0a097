// Makes the destination object for a plan's storage type.
#pragma once
#include <cstdint>
#include <memory>

#include "destinations/Destination.h"

// A new destination of the class that the storage type selects, owned by the
// caller; null for a number that selects no class. owner may be null (a
// throw-away destination).
std::unique_ptr<CDestination> CreateDestination(IDestinationOwner* owner, int32_t storageType);
