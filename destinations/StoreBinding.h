// Whether the store at a plan's destination is the plan's own, looked at
// before the plan writes. A plan remembers the store it fills in "Store.ini"
// in its folder: the identifier its marker names, where it was found, and the
// volume (identity and label) that held it. A store missing where the plan
// left it is taken for lost only when the volume there is provably the same
// (same identity and label); on any other volume the plan writes nothing, so
// a new store never starts on a disk that merely answers to the plan's letter.
#pragma once
#include <cstdint>
#include <string>

struct StoreRecord {
  std::string id;            // the marker's store identifier ("" none yet)
  std::string root;          // the destination root it lies at
  int32_t type = 0;          // the storage type then
  std::string volume;        // identity of the volume that held it ("" unknown)
  std::string label;         // that volume's label ("" unknown)
  std::string name;          // how people know it: the label, else its mount folder's name
  std::string installation;  // an object store's: the installation that made or took it
  bool continued = false;    // an earlier plan's store the plan continues, not yet looked around
};

// "Store.ini" in the plan folder (a system path ending with "\").
bool ReadStoreRecord(const std::string& planFolder, StoreRecord* out);
bool WriteStoreRecord(const std::string& planFolder, const StoreRecord& record);

enum class StoreVerdict {
  kOwn,                // the plan's store is there: write
  kNotConnected,       // the plan's store is elsewhere: write nothing, record changes
  kFresh,              // a store was made or found here for the plan: fill it anew
  kForeign,            // another plan's store is there: write nothing, say why
  kOtherInstallation,  // another installation's store is there: write nothing, say why
  kNotAMarker,         // something not a marker stands under its name: write nothing, say why
  kUnmarkedCopies,     // a store's copies without a marker are there: write nothing, say why
  kInsideStore,        // the place lies inside another store's folder: write nothing, say why
  kNotOwned,  // another user owns the store's folder or a tree of it: write nothing, say why
  // The refusals of an object store only (say why, write nothing):
  kNestedStore,      // the plan's own store lies inside another store's folder
  kStoreBelow,       // a new place holds another store in a folder below it
  kGhostMarker,      // the endpoint claims a marker (412) it does not return
  kEarlierStore,     // a store of this installation that no plan here records
  kStoreReplaced,    // the plan's store is gone and another installation made one there
  kNotAMarkerAbove,  // a folder above holds an object under the marker's name that is no marker
  kCopiesAbove,      // a folder above holds a store's trees without their marker
  kMarkerNotKept,    // the endpoint took the marker's write but does not return it
  // Whose store it is cannot be told now (a request failed, a listing was cut
  // short): write nothing, look again after a pause.
  kUnknown,
};

// Whether a verdict keeps the plan from writing into the store there.
inline bool RefusesStore(StoreVerdict v) {
  return v != StoreVerdict::kOwn && v != StoreVerdict::kNotConnected && v != StoreVerdict::kFresh &&
         v != StoreVerdict::kUnknown;
}
// The key of a refusal's words in the texts' "STORE" section ("" for others).
const char* StoreRefusalText(StoreVerdict v);
// The words of key in the texts' "STORE" section, naming what where they hold "%s".
std::string StoreSaid(const char* key, const std::string& what);

class CDestination;

// Looks at the store at root for a local kind (disk, USB, network); other
// kinds are always kOwn. filledBefore: the plan made its first backup (a
// plan from before stores were named then gets no new store on a volume that
// does not hold its folder). Makes the root and its marker when the store is
// to be made, and rewrites the record when it changed.
StoreVerdict LookAtStore(const std::string& planFolder, int32_t storageType,
                         const std::string& root, bool filledBefore, StoreRecord* record);

// How people know the plan's disk: the remembered label, else the name of
// the folder it was mounted on, else the root's drive ("E:") or share.
std::string StoreDiskName(const StoreRecord& record, const std::string& root);

// Looks at the store of a kind that lies behind a connection (an object
// store) through its marker. Only a plan whose record names the marker's
// store may write there (it rewrites an older marker naming no installation
// so that it names this one); any other marker is refused: one naming
// another installation (kOtherInstallation, whatever the plan's record
// says), one of this installation or of none naming another store
// (kForeign), an object under the marker's name that is no marker
// (kNotAMarker, never replaced). Where no marker is, a place holding a
// store's trees is refused (kUnmarkedCopies) unless the record names the
// store there, which then gets its marker back (its own copies lost only
// their marker); so is a place inside another store's folder
// (kInsideStore), and so is one below a folder holding something that is no
// marker under the marker's name (kNotAMarkerAbove) or a store's trees
// without their marker (kCopiesAbove); any other place gets a new store, filled anew by a plan
// that had one (kFresh). A refusal is held by the destination for a pause
// that doubles up to the marker's look time. A store whose marker, folders
// or listing cannot be looked at now (before its marker was read as the
// plan's, or placed and read back) is kUnknown, held on the same pauses:
// nothing is written there until a look goes through.
StoreVerdict LookAtRemoteStore(const std::string& planFolder, CDestination& destination,
                               StoreRecord* record);

// What an object store place holds for the plan in planFolder ("" a new
// plan), looked at without writing (the wizard's test): kOwn (the plan's
// record names the marker's store), kEarlierStore, kFresh (nothing: a new
// store would be made), kUnknown, or the refusal the plan would meet (an
// earlier plan's store with another store above or below it too).
StoreVerdict StoreFoundAt(CDestination& destination, const std::string& planFolder);

// A store this installation made at an object store place that no plan here
// records (a plan deleted and set up again there): its identifier, else "".
// The only store a new plan may continue, and only on the user's word.
std::string EarlierStoreAt(CDestination& destination);
// The plan in planFolder continues the store id at root (a new plan, on the
// user's word): its record names the store, so its looks take it for its
// own once its first look found no store above or below it. False, and
// nothing recorded, when another plan records that store.
bool ContinueEarlierStore(const std::string& planFolder, const std::string& root,
                          const std::string& id);
