// The list of backup plans: owns every plan, hands out identifiers, loads and
// saves "plans.ini", keeps the same-destination links and routes changed
// files from change monitoring to the plans that protect them.
//
// Lock order: the list's lock first, then a plan's lock. Plans found through
// the list stay valid only while the caller holds Lock() (or is the UI
// thread, the only one that creates and deletes plans).
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/PlanSettings.h"
#include "plans/PlanOwner.h"

class CPlan;
class CThread;

class PlanList : public IPlanOwner {
 public:
  // The process's list, made on first use.
  static PlanList& Instance();

  // Installs this list as the activity log's plan lookup. Tests make their own lists.
  PlanList();
  // Stops every plan's thread, waits for it and deletes the plans.
  ~PlanList() override;
  PlanList(const PlanList&) = delete;
  PlanList& operator=(const PlanList&) = delete;

  std::recursive_mutex& Lock() const override { return lock_; }

  size_t Count() const;
  CPlan* Find(uint32_t id) const;
  CPlan* At(size_t index) const;
  // Exact, case-sensitive; skip (may be null) is passed over.
  CPlan* FindByName(std::string_view name, const CPlan* skip = nullptr) const;
  // Destination root path, trailing "\" dropped from both, any case.
  CPlan* FindByDestination(std::string_view path, const CPlan* skip = nullptr) const;
  // base when no plan is named so, else base + " " + n for the first free n from 2.
  std::string MakeUniqueName(std::string_view base) const override;
  // base, else base + " " + n for the first n from 2, that no plan uses as destination
  // and that does not exist on disk.
  std::string MakeUniqueDestinationFolder(std::string_view base) const override;

  // A new plan from the wizard's settings, listed and saved; null when
  // refused (events name the reason).
  CPlan* CreatePlan(PlanSettings settings);
  // Removes the plan, shuts it down, saves the list and deletes its folder;
  // true when the folder could be deleted. keepJournalIn (a folder, made
  // when missing) receives the plan's "Logging.dat" first, to tell later
  // which files the plan wrote.
  bool DeletePlan(uint32_t id, const std::string& keepJournalIn = {});
  // The other plans that keep their copies in the same store as this plan.
  std::vector<uint32_t> SharingStore(uint32_t id) const;
  // Loads every plan named by "plans.ini"; true when the file opened and held
  // a SEED line. Plans that cannot load are left out with an event.
  bool LoadAllPlans();
  // Loads one plan from its folder and starts it when it is enabled (or,
  // with started null, leaves that to the caller, who gets it in *started);
  // false when refused.
  bool LoadPlan(uint32_t id, std::vector<CPlan*>* started = nullptr);
  // Writes "plans.ini": SEED, then the identifiers in list order.
  bool SaveList();

  // Whether a changed file may be offered: on a local fixed drive, not in
  // its drive's recycle or system-volume folders, not in any destination.
  bool IsPathEligible(std::string_view path) const override;
  // Offers a changed file to every plan; true when any plan took it. Runs on
  // the change dispatch thread.
  bool OfferChangedFile(std::string_view path);
  // Clears and rebuilds every plan's link to the nearest earlier plan on the
  // same destination.
  void RebuildSameDestinationLinks();

  // Plans that the last LoadAllPlans set aside (see SetPlanAside).
  size_t SetAsideCount() const;

  // Local fixed drive letters (upper case) of the volume table as it is now.
  std::string FixedDrives() const;
  int64_t Seed() const;

  // The change dispatch thread of change monitoring, kept here for it; change
  // monitoring starts, stops and deletes it.
  void SetDispatchThread(CThread* thread);
  CThread* DispatchThread() const;

 private:
  // Name, identifier and destination checks for a new or loaded plan; posts
  // events 2, 11 or 12. Caller holds the lock.
  bool ValidateLocked(const PlanSettings& settings) const;
  // Not listed, no folder, not set aside, within 1 .. 2^32-1. Caller holds the lock.
  bool IdFreeLocked(int64_t id) const;
  // A plan whose "Plan.ini" holds a value no plan can have: its folder is
  // renamed "<id>.damaged-<local time>", its number kept from new plans, and
  // event 0 says which plan, why and where its files are.
  void SetPlanAside(uint32_t id, const std::string& name, const char* problem);
  // Event 0 for every plan whose store holds a folder that it or another
  // plan protects (nothing there is ever backed up).
  void ReportNestedStores();
  std::vector<uint32_t> IdsLocked() const;

  mutable std::recursive_mutex lock_;  // guards plans_, seed_, reserved_, setAside_, dispatch_
  std::vector<std::unique_ptr<CPlan>> plans_;
  int64_t seed_ = 0;
  std::set<uint32_t> reserved_;  // numbers of plans set aside
  size_t setAside_ = 0;          // plans set aside by the last load
  CThread* dispatch_ = nullptr;
};
