#include "common/PlanSettings.h"

#include "common/Settings.h"

std::string GetPlanFolder(uint32_t id) {
  return GetDataFolder() + "PLAN\\" + std::to_string(id) + "\\";
}
