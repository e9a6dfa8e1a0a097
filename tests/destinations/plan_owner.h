// A plan as a destination sees it (its folder and id), and a destination of a
// given class configured with a store path.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "destinations/Destination.h"

class PlanOwner : public IDestinationOwner {
 public:
  explicit PlanOwner(std::string folder, uint32_t id = 0) : folder_(std::move(folder)), id_(id) {}
  std::string GetPlanFolder() const override { return folder_; }
  uint32_t GetPlanId() const override { return id_; }

 private:
  std::string folder_;
  uint32_t id_;
};

template <typename Dest>
std::unique_ptr<Dest> Configured(const std::string& root, IDestinationOwner* owner = nullptr) {
  auto dest = std::make_unique<Dest>(owner);
  PlanSettings settings;
  settings.storePath = root;
  dest->Configure(settings);
  return dest;
}
