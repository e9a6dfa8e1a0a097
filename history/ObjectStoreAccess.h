// How the restore reads a store in a bucket: its own session made from the
// destination's settings, listings by prefix and downloads into a private
// file beside the target.
#pragma once
#include <memory>

#include "common/PlanSettings.h"
#include "history/StoreAccess.h"

std::unique_ptr<StoreAccess> MakeObjectStoreAccess(const ObjectStoreSettings& settings);
