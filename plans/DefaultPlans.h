// Defaults per plan type (name, folder name, schedule, versions, first backup,
// drive kinds) from the built-in table and "OEM.ini", and the step that gives
// an installed plan without destination one on a chosen drive.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

class IPlanOwner;

struct DefaultPlanRecord {
  int32_t planType = 8;
  std::string planName;
  std::string secondText;
  std::string backupFolderName;
  int32_t schedule = 0;  // index in the wizard's list: 0 continuously .. 5 manually
  int32_t versions = 3;
  int32_t firstBackup = 0;
  std::vector<int32_t> driveKinds;  // ends with 5 in the built-in rows
};

struct DefaultDrive {
  char letter = 0;
  uint32_t driveType = 0;
  uint32_t busType = 0;
  uint64_t totalBytes = 0, freeBytes = 0;
  bool holdsSystem = false;
  bool writable = false;  // the user may create folders in its root
  // Where a backup folder goes (system path ending in "\"): the root, or the
  // user's home folder when no drive of the row's kinds takes folders.
  std::string folder;
};

// Found: fills the record, the chosen kind (0..4) and drive. Only drives
// whose root the user may create folders in are chosen; when the row's kinds
// have none, the drive of the user's home folder is (kind 3, its folder the
// home folder).
bool GetDefaultForType(int32_t planType, DefaultPlanRecord* record, int32_t* kind,
                       DefaultDrive* drive);
// Fills in a destination for the plan's "Plan.ini" when its path is empty;
// true when it did (the load then applies the plan as a change). Names and
// folders are made unique against the plans of the given owner.
bool RunDefaultDestinationStep(uint32_t planId, const IPlanOwner& plans);
// Drive kinds: 0 fixed on USB/IEEE 1394, 1 removable on USB/IEEE 1394 with a
// size, 2 network, 3 other fixed, 4 anything else.
int32_t DriveKindOf(const DefaultDrive& drive);
// Storage type for a drive kind (0 for kind 4), and the wizard's destination tab.
int32_t StorageTypeOfKind(int32_t kind);
int32_t DestinationTabOfKind(int32_t kind);
// The folder a backup folder on a drive goes into ("X:\\", or the user's home
// folder when the root takes no folders and the home lies on that drive).
std::string BackupFolderBase(char letter);
// The drive list (letters C to Z) as built with the defaults.
std::vector<DefaultDrive> DefaultDrives();
// Forgets the cached table and drive list (tests, and changed volumes).
void ResetDefaultPlans();
