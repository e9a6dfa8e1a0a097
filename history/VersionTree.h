// The store as the user knows it: the protected folders under their own
// paths ("/home/ann/Documents"), each file once with its versions (the
// current copy in "Latest", the revisions "stem(nnnn).ext" in "Revision").
// Folders are listed when they are opened, so a big store shows its first
// level at once. The window ticks folders and chooses versions here; a
// choice becomes the store files the carrier copies (BuildSelection).
//
// No lock: the window builds and changes a tree on its thread; a search job
// builds its own tree and hands it over when done.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "history/RestoreTree.h"

class StoreAccess;
struct RestoreStore;

// One version of a file in the store.
struct FileVersion {
  std::string storePath;  // the store file
  bool current = false;   // the copy in "Latest"
  int64_t number = 0;     // the revision's number (0 for the current copy)
  uint64_t size = 0;
  int64_t time = 0;   // last write, seconds since 1970 UTC
  bool sized = true;  // size and time known (a search fills them in before it hands over)
  bool exact = true;  // time to the second (not so from an SFTP listing)
};

// A file with its versions, newest first: the current copy, then the
// revisions by number, highest first.
struct VersionFile {
  std::string name;
  std::vector<FileVersion> versions;
  int chosen = -1;  // the version to bring back, -1 none
};

class CVersionFolder {
 public:
  CVersionFolder() = default;
  CVersionFolder(const CVersionFolder&) = delete;
  CVersionFolder& operator=(const CVersionFolder&) = delete;

  CVersionFolder* parent = nullptr;
  std::string name;        // its name; a protected folder: its whole path as the user knows it
  std::string sourcePath;  // the original folder (system path), empty when it has none
  std::string latestPath, revisionPath;  // its store folders (either may be missing)
  bool listed = false;
  bool storeRoot = false;  // the store's "Latest"/"Revision" pair: its folders are drives
  bool ticked = false;     // everything below: the newest version of each file
  std::vector<std::unique_ptr<CVersionFolder>> folders;  // natural order
  std::vector<VersionFile> files;                        // natural order
};

// "stem(nnnn).ext" or "stem(nnnn)", n in at least four digits as the store
// writes it (no more leading zeros than four digits need) -> "stem.ext", n.
bool ParseRevisionName(std::string_view name, std::string* fileName, int64_t* number);
// Natural order: runs of digits by value, letters without regard to case.
bool NaturalLess(std::string_view a, std::string_view b);

// How far a walk over the store goes. A damaged or hostile server may nest
// folders without end: folders deeper than maxDepth below the store folder
// are not entered, and a walk ends after listing maxFolders folders.
struct WalkLimits {
  int maxDepth = 512;
  uint64_t maxFolders = 200000;
};
// How a walk ended.
enum class WalkEnd { kDone, kStopped, kTooDeep, kTooMany, kLoops };
// A walk's progress so far, given to its observer after each folder.
struct WalkProgress {
  uint64_t folders = 0;  // listed
  uint64_t files = 0;    // chosen
};

// Lists a folder's two store folders into folders and files (once). Children
// of a ticked folder are ticked. False when neither could be listed. Where
// sizes cost a server a look per entry (FTP), "Revision" is listed by names
// (its revisions' FileVersion::sized false until ListVersionSizes).
bool ListVersionFolder(StoreAccess& access, char separator, CVersionFolder* folder);
// The same with every size and time the store's listings give.
bool ListVersionSizes(StoreAccess& access, char separator, CVersionFolder* folder);
// Takes the sizes and times a ListVersionSizes of a copy of the (listed)
// folder found for the versions that lack them.
void AdoptSizes(CVersionFolder* folder, CVersionFolder* listed);
// The same with names only where sizes and dates would cost a call per file
// (FileVersion::sized false; CompleteVersions fetches them), as a search
// lists the folders it only looks through.
bool ListVersionNames(StoreAccess& access, char separator, CVersionFolder* folder);
// Takes over what a listing of a copy of the folder found (children, their
// parent) when the folder itself is not listed yet; a ticked folder ticks
// them. A listing job lists such a copy, so it never touches a shown tree.
void AdoptListing(CVersionFolder* folder, CVersionFolder* listed);
// The store's protected folders: a root (without a name of its own) whose
// folders are the deepest folders above which nothing else was backed up,
// named by their paths as the user knows them (going down no deeper than
// limits.maxDepth). Null when the store cannot be listed at all or stop
// became non-zero (stop may be null).
std::unique_ptr<CVersionFolder> ListProtectedFolders(StoreAccess& access, const RestoreStore& store,
                                                     const std::atomic<int32_t>* stop = nullptr,
                                                     const WalkLimits& limits = {});
// The protected folders with only the files whose names match the pattern
// (MatchSearchPattern) and the folders above them, all listed within the
// limits (what lies beyond them is not searched). Null when the store cannot
// be listed or stop became non-zero (stop may be null).
std::unique_ptr<CVersionFolder> SearchVersions(StoreAccess& access, const RestoreStore& store,
                                               std::string_view pattern,
                                               const std::atomic<int32_t>* stop,
                                               const WalkLimits& limits = {});

// Ticking: a folder and everything listed below it; a file's version
// (-1 none). Both bring the folders above up to date: a folder is ticked
// when all it holds is ticked with its newest versions.
void TickFolder(CVersionFolder* folder, bool on);
void ChooseVersion(CVersionFolder* folder, VersionFile* file, int version);
// kCheckAll, kCheckPartial (something below, or an older version) or kCheckNone.
int32_t FolderCheck(const CVersionFolder* folder);
int32_t FileCheck(const VersionFile& file);

// One store file to bring back and where it came from.
struct RestoreChoice {
  FileVersion version;
  std::string fileName;      // the file's own name
  std::string sourceFolder;  // its original folder (system path)
  std::string restoreName;   // restore under this name instead (empty: its own)
};
// The choices a tree holds, taken on the thread that owns the tree without
// reading the store: the chosen versions of listed folders, and copies of
// the ticked folders not listed yet, whose files a walk still has to find.
struct PendingChoices {
  std::vector<RestoreChoice> choices;
  std::vector<std::unique_ptr<CVersionFolder>> unlisted;  // paths only, ticked
  // "As it was on": each file found below the unlisted folders brings its
  // version at asOf (VersionAt) instead of its newest; the files that had
  // none then are counted in leftOut.
  bool byTime = false;
  int64_t asOf = 0;
  uint64_t leftOut = 0;
};
PendingChoices TakeChoices(CVersionFolder* root);
// The version a file had at time when (seconds since 1970 UTC): of those
// last written no later than when, the newest (the first in the file's
// order among equal times); -1 when all are newer (it did not exist yet).
int VersionAt(const VersionFile& file, int64_t when);
// Everything below folder as it was at time when: the folder's store paths
// to be walked anew (FinishChoices), whether it is listed or not.
PendingChoices ChoicesAt(const CVersionFolder& folder, int64_t when);
// Lists the unlisted folders and everything below them, adding the newest
// version of every file (or its version at pending->asOf) to pending->choices; progress (may be
// empty) is told after each folder. Ends early when stop (may be null) becomes non-zero or a limit
// is reached; folders that cannot be listed are passed by. A folder listed with just what one of
// the folders above it holds ends it with kLoops, its store folder in *loopedAt (may be null).
WalkEnd FinishChoices(StoreAccess& access, const RestoreStore& store, PendingChoices* pending,
                      const std::atomic<int32_t>* stop, const WalkLimits& limits,
                      const std::function<void(const WalkProgress&)>& progress,
                      std::string* loopedAt = nullptr);
// Whether the choices need no walk: no folder to list, and every version's
// size and time (to the second) known. FinishChoices fetches what is not.
bool ChoicesKnown(const PendingChoices& pending);
// Both at once, without limits.
std::vector<RestoreChoice> CollectChoices(StoreAccess& access, char separator,
                                          CVersionFolder* root);
// The chosen store files as a tree for the carrier: below the store folder,
// every file checked; "Latest" holds a folder for each source drive used, so
// the carrier's check of the original places covers them all.
std::shared_ptr<CDirNode> BuildSelection(const RestoreStore& store,
                                         const std::vector<RestoreChoice>& choices);
