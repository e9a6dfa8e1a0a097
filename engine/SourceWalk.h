// The walk of a plan's first backup: every folder of the include group
// "group1" (or every local fixed drive), then the built-in sources the plan's
// wizard answers chose. Files are backed up through the plan's engine with
// the existence check, so files whose latest copy exists are left alone.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/Files.h"
#include "platform/volumes/MountPoints.h"

class CPlan;
class CSimplePlan;

// The stop test of a walk (folders or journal): stopping is looked at for
// every entry, blocked at most every kBlockedCheckMs (that check reads
// settings and free space, too costly for every entry). Once true, stays so.
// A walk that only notes files (the catch-up walk) goes on while blocked.
class WalkGate {
 public:
  static constexpr uint64_t kBlockedCheckMs = 250;
  explicit WalkGate(CPlan* plan, bool stopWhenBlocked = true)
      : plan_(plan), stopWhenBlocked_(stopWhenBlocked) {}
  bool ShouldStop();

 private:
  CPlan* plan_;
  bool stopWhenBlocked_;
  bool stopped_ = false;
  bool checked_ = false;
  uint64_t lastCheck_ = 0;
};

// The folder walk shared by the first backup and the catch-up walk. It never
// enters another file system (pseudo file systems, other volumes' mount
// points), backup stores, temporary-attribute folders or folders the plan's
// always-exclude rules leave out whole, and ends when the gate says so. A
// folder's files are offered before its subfolders are walked; subfolders are
// opened through their parent's open folder, so paths longer than the system
// opens by name are reached, and each file there that the plan takes is
// reported as not protected (its path is too long to be read or stored).
// With pacing (the first backup), every fifth entry the walk looks at the
// machine and steps aside (PaceEntry); the catch-up walk paces only the files
// it notes.
class FolderWalker {
 public:
  // folder: the folder's path with its closing ""; entry: what the listing
  // says of the file (entry.name is its name).
  using OnFile = std::function<void(const std::string& folder, const plat::FindData& entry)>;
  // folder: as above; false skips its files (its subfolders are still walked).
  using OnFolder = std::function<bool(const std::string& folder)>;

  // Reads the mount table and the plan's always-exclude folders now.
  FolderWalker(CSimplePlan* plan, WalkGate* gate, bool pacePerEntry = true);
  // withHidden: hidden entries are walked too (the built-in sources keep
  // mail and browser data in dot-folders). onFolder may be empty.
  void Walk(std::string_view folder, bool withHidden, const OnFolder& onFolder,
            const OnFile& onFile);
  bool Stopped() const { return stopped_; }
  // A link to a folder met outside a walk (made while the program runs; link:
  // its system path) in the source folder root: said as a walk of root would
  // say it, unless the walk would not reach it.
  void OfferLink(const std::string& root, const std::string& link);

 private:
  void WalkOne(const std::string& base, plat::DirSearch* parent, std::string_view name,
               bool withHidden, const OnFolder& onFolder, const OnFile& onFile);
  bool Pruned(const std::string& folder) const;
  // Whether the plan takes files in folder (a system path with its closing
  // "\"), or may, by their names.
  bool TakesFilesIn(const std::string& folder) const;
  // Whether a link to a folder, found in the walk (link: its system path with
  // a closing "\"), leads where the plan does not protect the files;
  // *target: the folder it leads to (native; empty when unknown).
  bool LeadsOutOfPlan(const std::string& link, std::string* target) const;
  // Whether path lies in a folder one of the plan's exclusions names.
  bool InExcludedFolder(const std::string& path) const;
  CSimplePlan* plan_;
  WalkGate* gate_;
  bool pacePerEntry_;
  plat::MountBarriers barriers_;
  std::vector<std::string> excluded_;  // upper case, literal always-exclude folders
  std::string rootUpper_;              // the folder being walked, upper case, with its "\\"
  bool stopped_ = false;
};

// Counts one entry of a walk of the plan; after every fifth, sleeps 1 ms on
// battery and waits while other processes keep the machine busy.
void PaceEntry(CSimplePlan* plan);

// The whole source walk. Marks the plan busy (the caller clears the flag).
void RunSourceWalk(CSimplePlan* plan);
// The recursive walk of one folder (system path). Hidden and system entries
// are skipped, temporary-attribute folders and backup stores (folders holding
// "Brevanto.dat") are not entered; the thread sleeps 1 ms after every fifth
// entry.
void WalkFolder(CSimplePlan* plan, std::string_view folder);
// A link to a folder the change monitor reported (made while the program
// runs): said as the walk of the plan's source folder holding it would.
void OfferNewLinkedFolder(CSimplePlan* plan, const std::string& link);
// Root folders ("C:\") of the present fixed drives that are not on a USB or
// IEEE 1394 bus.
std::vector<std::string> FixedDriveRoots();
// The folders "group1" names; empty with *wholeMachine set when an enabled
// item is not a drive path. False when the plan has no "group1".
bool WalkItemsOfPlan(CSimplePlan* plan, std::vector<std::string>* folders, bool* wholeMachine);
// The source folder of the plan that holds path (system path): the longest
// folder of "group1" or of the built-in sources the plan chose that path lies
// in, spelt as in path; empty when none does. A backup follows no link below
// it (the folder itself may be one).
std::string SourceFolderOf(CPlan* plan, std::string_view path);
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
