// What a plan and the steps that make plans need of the list that owns the
// plans (engine/PlanList.h): its lock, which guards the plans' same-destination
// links, whether a changed file may be offered at all, and names and store
// folders that no plan uses yet.
#pragma once
#include <mutex>
#include <string>
#include <string_view>

class IPlanOwner {
 public:
  virtual ~IPlanOwner() = default;

  // Guards the plans and their same-destination links; taken before a plan's lock.
  virtual std::recursive_mutex& Lock() const = 0;
  // Whether a changed file may be offered: on a local fixed drive, not in
  // its drive's recycle or system-volume folders, not in any destination.
  virtual bool IsPathEligible(std::string_view path) const = 0;
  // base when no plan is named so, else base + " " + n for the first free n from 2.
  virtual std::string MakeUniqueName(std::string_view base) const = 0;
  // base, else base + " " + n for the first n from 2, that no plan uses as destination
  // and that does not exist on disk.
  virtual std::string MakeUniqueDestinationFolder(std::string_view base) const = 0;
};
