// The walk of a plan's first backup: every folder of the include group
// "group1" (or every local fixed drive), then the built-in sources the plan's
// wizard answers chose. Files are backed up through the plan's engine with
// the existence check, so files whose latest copy exists are left alone.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CPlan;
class CSimplePlan;

// The stop test of a walk (folders or journal): stopping is looked at for
// every entry, blocked at most every kBlockedCheckMs (that check reads
// settings and free space, too costly for every entry). Once true, stays so.
class WalkGate {
 public:
  static constexpr uint64_t kBlockedCheckMs = 250;
  explicit WalkGate(CPlan* plan) : plan_(plan) {}
  bool ShouldStop();

 private:
  CPlan* plan_;
  bool stopped_ = false;
  bool checked_ = false;
  uint64_t lastCheck_ = 0;
};

// The whole source walk. Marks the plan busy (the caller clears the flag).
void RunSourceWalk(CSimplePlan* plan);
// The recursive walk of one folder (system path). Hidden and system entries
// are skipped, temporary-attribute folders and backup stores (folders holding
// "Brevanto.dat") are not entered; the thread sleeps 1 ms after every fifth
// entry.
void WalkFolder(CSimplePlan* plan, std::string_view folder);
// Root folders ("C:\") of the present fixed drives that are not on a USB or
// IEEE 1394 bus.
std::vector<std::string> FixedDriveRoots();
// The folders "group1" names; empty with *wholeMachine set when an enabled
// item is not a drive path. False when the plan has no "group1".
bool WalkItemsOfPlan(CSimplePlan* plan, std::vector<std::string>* folders, bool* wholeMachine);
// Waits in 1 s steps while a plan on the same destination runs its first
// backup; returns when that ends or this plan is stopping or disabled.
void WaitForSameDestination(CSimplePlan* plan);

// Process-wide tally of the walk's pauses (for measurements).
struct WalkPauseStats {
  uint64_t entries = 0;
  uint64_t pauses = 0;
  uint64_t pauseMicros = 0;
};
WalkPauseStats GetWalkPauseStats();
void ResetWalkPauseStats();
