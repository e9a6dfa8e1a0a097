// The plan wizard's answers, kept in a "UI.ini" (a working copy while the
// wizard runs), and what the finished wizard does with them: a settings
// record, a rule set, a new or changed plan. No Qt here, so the steps are
// tested without windows.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/PlanSettings.h"
#include "plans/DefaultPlans.h"
#include "plans/ExtensionList.h"
#include "plans/PlanSources.h"

class CPlan;
class PlanList;

namespace wiz {

// Sections of "UI.ini".
inline constexpr char kDestSection[] = "BackupDestination";
inline constexpr char kFileTypes[] = "FileTypes";
inline constexpr char kAppData[] = "ApplicationData";
inline constexpr char kCommonData[] = "CommonData";
inline constexpr char kSourceSection[] = "NEW_WIZARD_SELECT_SOURCE";
inline constexpr char kFolders[] = "Selected Folders";
inline constexpr char kParentFolders[] = "Selected Parent Folders";
inline constexpr char kWhenSection[] = "WizardPage3Options";
inline constexpr char kVersionsSection[] = "Wizard4Options";
inline constexpr char kFolderListKey[] = "FolderList";
inline constexpr char kCustomTypes[] = "Custom File Type(s)";

// "FileTypes" keys of the four categories (also the rows of "Ext.txt").
inline constexpr const char* kCategories[4] = {"Document Files", "Photos and Pictures",
                                               "Music and Sound Files", "Videos"};
// "ApplicationData" and "CommonData" keys.
inline constexpr const char* kWebKeys[3] = {"Outlook Data", "Internet Favorites",
                                            "FireFox Bookmarks"};
inline constexpr const char* kCommonKeys[3] = {"Files in My Documents", "Files in Pictures",
                                               "Files in My Music"};
// Keys of the schedule choices, in the order of the wizard's schedule list.
inline constexpr const char* kScheduleKeys[6] = {"Continuously", "Daily",  "Weekly",
                                                 "Monthly",      "Starts", "Manually"};

enum BackupType : int32_t { kTypeCategories = 0, kTypeWeb = 1, kTypeFolders = 2 };
// Destination tabs in their order.
enum DestTab : int32_t {
  kTabExternal = 0,
  kTabUsbKey = 1,
  kTabNetwork = 2,
  kTabFtp = 3,
  kTabLocal = 4,
  kTabObject = 5
};

}  // namespace wiz

// "Wizard4Options" KeepDays: one of KeepVersions (PlanSettings.h); missing
// or any other value: kKeepByCount (a plan made before ages were kept).
int32_t ReadWizardKeepDays(std::string_view uiIniPath);

// Tab 0/1 -> 2 (USB disk), 2 -> 3, 3 -> 4, 4 -> 1, 5 -> 5; 0 for any other tab.
int32_t StorageTypeOfTab(int32_t tab);
// The schedule list shows the units in their order: row 0..7 -> unit 1..8 (0
// for another row) and back (-1 for an unknown unit).
int32_t UnitOfScheduleRow(int32_t row);
int32_t ScheduleRowOfUnit(int32_t unit);
// The default-plan table's schedule choice 0..5 (kScheduleKeys order) -> unit
// 1, 4, 5, 6, 7, 8 (continuously for another choice).
int32_t UnitOfScheduleChoice(int32_t choice);
// The schedule answers of section "WizardPage3Options": one key per unit
// (kScheduleKeys, or "SaveYouFolder" with "TimeUnit" "minutes" or "hours" and
// "Time" = count for units 2 and 3), every other key cleared.
void WriteScheduleAnswers(const std::string& uiIni, int32_t unit, int32_t count);

// The working copy of the answers: data folder + "Wizard\UI.ini". Begin copies
// the plan's own "UI.ini" into it (planId 0 or no file: an empty copy).
std::string WizardWorkingFile();
bool BeginAnswers(uint32_t planId, std::string* workingFile);
// Writes the working copy over the plan's "UI.ini".
bool CommitAnswers(const std::string& workingFile, uint32_t planId);
void DiscardAnswers(const std::string& workingFile);

// A typed extension as a mask: "mp3", ".mp3" and "*.mp3" give "*.mp3"; a
// mask with wildcards stays as typed. Empty for text that cannot be a mask
// (empty, "\", "/", ",", quotes, control characters, longer than 64).
std::string NormaliseExtensionMask(std::string_view typed);
// "Custom File Type(s)" value <-> masks (comma-separated, empty parts left out).
std::vector<std::string> SplitMasks(std::string_view value);
std::string JoinMasks(const std::vector<std::string>& masks);

// What the answers choose as sources, counting only the answers that apply
// to the chosen backup type (and, for folders or extensions, the active tab).
struct SourceAnswers {
  std::vector<std::string> folders;
  std::vector<std::string> masks;
  WebChoices web{};
};
SourceAnswers ReadSourceAnswers(const std::string& uiIni,
                                const std::vector<ExtensionCategory>& extensions);
// The chosen folders the plan would never back up: its rules with the
// built-in exclusions take no file in them (a folder below the temporary
// folder, a cache, the program's data), checked as the engine matches files.
std::vector<std::string> FoldersLeftOut(const std::vector<std::string>& folders);
// Drive letters (upper case) the chosen sources lie on: each folder's drive;
// for kinds of files and extensions, every local fixed drive (they are
// looked for everywhere); for mail, browser and the common folders, the
// drive of the home folder.
std::string SourceDriveLetters(const SourceAnswers& sources);
// True when a destination (system path) lies on one of those drives: a copy
// there is lost with the disk that holds the originals.
bool SharesDiskWithSources(std::string_view destination, std::string_view letters);
// Clears the choices that do not apply to the chosen type, so that the
// plan's later readers of "UI.ini" (its source walk) see what the rules say.
void NormaliseAnswers(const std::string& uiIni);

// The FTP fields of section "BackupDestination".
FtpSettings ReadFtpAnswers(const std::string& uiIni);
void WriteFtpAnswers(const std::string& uiIni, const FtpSettings& ftp);
// The store path shown for an FTP store: "ftp://host/root/", or
// "sftp://host/root/" for a server entered as "sftp://host".
std::string FtpStorePath(const FtpSettings& ftp);

// The object storage fields of section "BackupDestination"; the secret key
// is never among the answers (it goes to the plan's "Devices.ini" only).
ObjectStoreSettings ReadObjectAnswers(const std::string& uiIni);
void WriteObjectAnswers(const std::string& uiIni, const ObjectStoreSettings& store);
// The store an earlier plan made at the answers' object store place that the
// user chose to continue ("" none), kept with that place: answers that name
// another place since continue nothing.
void WriteContinuedStore(const std::string& uiIni, const std::string& id);
std::string ReadContinuedStore(const std::string& uiIni);

// The defaults of the plan type the answers give so far: the default-plan
// record, and when a drive of one of its kinds exists, that drive, its
// destination tab and a folder on it that no plan uses and that does not
// exist (system path). Reads drives and folders: call it off the UI thread.
struct WizardDefaults {
  int32_t planType = 8;
  bool found = false;  // a drive was found; record, tab and folder are set
  DefaultPlanRecord record;
  int32_t tab = wiz::kTabLocal;
  char letter = 0;
  std::string folder;
};
WizardDefaults ComputeWizardDefaults(const std::string& uiIni, const PlanList& list);

// The destination page's path check for a disk tab: the native path typed by
// the user -> its system path (without closing "" except a drive root).
enum class DestCheck {
  kOk,
  kEmpty,       // "DESTINATION_FOLDER_IS_EMPTY"
  kInvalid,     // "DESTINATION_FOLDER_IS_INVALID"
  kNotNetwork,  // "DESTINATION_FOLDER_IS_NOT_NETWORK"
  kNotUsb,      // "DESTINATION_FOLDER_IS_NOT_USB"
  kNotHardDisk  // "DESTINATION_FOLDER_IS_NOT_HARDDISK"
};
DestCheck CheckDestinationFolder(int32_t tab, std::string_view native, std::string* systemPath);
const char* DestCheckKey(DestCheck result);

// Where another plan keeps its copies and what it protects (system paths).
struct OtherPlanPlace {
  std::string name;
  std::string storeRoot;  // empty for a server
  std::vector<std::string> folders;
};
// Every listed plan but the one of skipId (0: none).
std::vector<OtherPlanPlace> OtherPlanPlaces(const PlanList& list, uint32_t skipId);

// What the destination page finds out about a folder (system path) when it is
// chosen. A path too long, a folder that cannot be written, and a store that
// holds protected folders (nothing in a store is ever backed up) refuse Next;
// the others are said on the page.
struct DestFindings {
  bool tooLong = false;       // a name over 255 bytes, or the path over kMaxDestChars
  bool notWritable = false;   // no probe file could be made and removed there
  bool insideSource = false;  // inside a protected folder: the walks skip its store
  bool sameDisk = false;      // on a disk that holds sources
  bool holdsSources = false;  // holds a folder the plan protects
  // Another plan whose protected folders the folder holds, or whose store
  // holds folders this plan protects (otherStoreHolds).
  std::string nestedPlan;
  bool otherStoreHolds = false;
  // Others may make entries in the folder itself (the top of a shared disk):
  // said, not refused.
  bool openToOthers = false;
  // A folder above (or a link on the way) through which another user may
  // rename the store away (native): said, not refused.
  std::string movableBy;
  bool Refused() const { return tooLong || notWritable || holdsSources || !nestedPlan.empty(); }
};
// Room left below the store's root for the protected files' own paths.
inline constexpr size_t kMaxDestChars = 1024;
// probe: create and remove a file in the folder (or the nearest folder
// above it that exists, where it would be made); may wait on the disk.
DestFindings ExamineDestination(std::string_view systemPath, const SourceAnswers& sources,
                                std::string_view sourceLetters, bool probe,
                                const std::vector<OtherPlanPlace>& others = {});

// A settings record from the answers: name, storage type and path (closing
// "\" added; for FTP the FTP block), schedule, versions; kind 1, idle, not
// enabled, times 0. False when a required answer is missing (name, type,
// path or schedule).
bool SettingsFromAnswers(const std::string& uiIni, PlanSettings* settings);

// Finishing the wizard for a new plan: creates the plan, takes the answers as
// its "UI.ini", builds its rules, stores the start time, enables it (unless
// manual) or starts its first backup at once, and saves it. Null when the
// list refuses the plan (its events say why). An object store plan whose
// answers continue an earlier plan's store records that store first (unless
// another plan has taken it since).
// objectSecret: an object storage plan's secret key (not among the answers).
CPlan* FinishNewPlan(PlanList& list, const std::string& workingFile,
                     const std::vector<ExtensionCategory>& extensions,
                     const std::string& objectSecret = {});

// Finishing the wizard for an existing plan, in two steps with the caller's
// half-second pause between them (the destination is closed in the first).
struct PlanChange {
  uint32_t id = 0;
  bool wasEnabled = false;
  std::string oldRoot;
  int32_t oldType = 0;
};
PlanChange BeginPlanChange(CPlan* plan);
// Applies the answers, rebuilds the rules, restores the enabled state (and
// with honourInitBackup a first backup at once), saves. False when the
// answers cannot be applied (the plan keeps its old settings as far as they
// were not applied yet).
bool CompletePlanChange(PlanList& list, CPlan* plan, const PlanChange& change,
                        const std::string& workingFile,
                        const std::vector<ExtensionCategory>& extensions, bool honourInitBackup,
                        const std::string& objectSecret = {});
