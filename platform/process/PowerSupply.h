// Internal: the power status read from a power-supply folder laid out like
// /sys/class/power_supply (tests point it at a folder of their own).
#pragma once
#include <string>

#include "platform/process/Clock.h"

namespace plat::detail {

PowerStatus ReadPowerSupplyFolder(const std::string& nativeFolder);

}  // namespace plat::detail
