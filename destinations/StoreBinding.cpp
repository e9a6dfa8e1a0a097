#include "destinations/StoreBinding.h"

#include "common/PlanSettings.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "destinations/Destination.h"
#include "destinations/StoreMarker.h"
#include "platform/base/Text.h"
#include "platform/files/Files.h"
#include "platform/files/FolderAccess.h"
#include "platform/profile/Profile.h"
#include "platform/volumes/Volumes.h"

namespace {

constexpr char kRecordFile[] = "Store.ini";
constexpr char kSection[] = "Store";

struct VolumeFacts {
  std::string identity, label, root;  // root: "X:\" or "\\server\share\"
  std::string name;                   // the label, else the mount folder's name
  bool declared = false;              // a letter the user fixed (the volume override)
};

// The volume (or share) that holds a system path.
VolumeFacts VolumeOf(const std::string& root) {
  VolumeFacts f;
  if (root.size() >= 2 && root[1] == ':') {
    plat::VolumeInfo v;
    if (plat::VolumeTable::Instance().Find(root[0], &v)) {
      f.identity = v.identity;
      f.label = v.label;
      f.name = v.label;
      // A disk without a label (or whose label cannot be read, as through
      // FUSE) is known by the folder it is mounted on: "/media/ann/EXF".
      const size_t slash = v.root.find_last_of('/');
      if (f.name.empty() && slash != std::string::npos && slash + 1 < v.root.size())
        f.name = v.root.substr(slash + 1);
      f.declared = plat::VolumeTable::Instance().IsOverridden();
    }
    f.root = root.substr(0, 2) + "\\";
  } else if (root.rfind("\\\\", 0) == 0) {
    const size_t server = root.find('\\', 2);
    const size_t share = server == std::string::npos ? server : root.find('\\', server + 1);
    f.root = share == std::string::npos ? root + "\\" : root.substr(0, share + 1);
    f.identity = plat::ToUpper(f.root);
    f.label = f.root.substr(0, f.root.size() - 1);
    f.name = f.label;
  }
  return f;
}

std::string WithSeparator(std::string s) {
  if (!s.empty() && s.back() != '\\') s += '\\';
  return s;
}

}  // namespace

bool ReadStoreRecord(const std::string& planFolder, StoreRecord* out) {
  const std::string ini = planFolder + kRecordFile;
  if (!plat::FileExists(ini)) return false;
  auto read = [&](const char* key) { return plat::GetProfileString(ini, kSection, key, "", 1023); };
  out->id = read("Id");
  out->root = read("Root");
  out->type = plat::GetProfileInt(ini, kSection, "Type", 0);
  out->volume = read("Volume");
  out->label = read("Label");
  out->name = read("Name");
  out->installation = read("Installation");
  out->continued = plat::GetProfileInt(ini, kSection, "Continued", 0) != 0;
  return !out->id.empty();
}

bool WriteStoreRecord(const std::string& planFolder, const StoreRecord& r) {
  const std::string text = "[" + std::string(kSection) + "]\nId=" + r.id + "\nRoot=" + r.root +
                           "\nType=" + std::to_string(r.type) + "\nVolume=" + r.volume +
                           "\nLabel=" + r.label + "\nName=" + r.name + "\n" +
                           (r.installation.empty() ? "" : "Installation=" + r.installation + "\n") +
                           (r.continued ? "Continued=1\n" : "");
  for (const std::string* v : {&r.root, &r.volume, &r.label, &r.name, &r.installation})
    if (v->find_first_of("\r\n") != std::string::npos) return false;
  return plat::WriteFileAtomic(planFolder + kRecordFile, text);
}

StoreVerdict LookAtStore(const std::string& planFolder, int32_t type, const std::string& rootIn,
                         bool filledBefore, StoreRecord* record) {
  if (type != kStorageLocal && type != kStorageUsb && type != kStorageNetwork) {
    return StoreVerdict::kOwn;
  }
  const std::string root = WithSeparator(plat::TrimBlanks(rootIn));
  if (root.size() < 3) return StoreVerdict::kOwn;  // nothing to look at; copies will say why
  // Folders another user made there beforehand are never written into (they
  // could read or replace the copies); the user's own are kept from others.
  for (const char* tree : {"", "Latest", "Revision"}) {
    if (!plat::KeepStoreFolderOwn(root + tree)) return StoreVerdict::kNotOwned;
  }
  // Both trees are made with the store (private): in a folder others may
  // write to, no one else can take their names and stop the plan later.
  auto makeTrees = [&] {
    for (const char* tree : {"Latest", "Revision"}) plat::CreateDirectory(root + tree, true);
  };
  std::string found;
  const bool marked = ReadStoreMarker(root, &found);
  const VolumeFacts volume = VolumeOf(root);
  const bool known = !record->id.empty();
  if (known && marked && found == record->id) {
    // Its own store, wherever it lies now (a USB disk under another letter).
    // ... or on a disk that was given another label since.
    const bool relabelled = !volume.identity.empty() &&
                            (record->volume != volume.identity || record->label != volume.label);
    const bool renamed = !volume.name.empty() && record->name != volume.name;
    if (!plat::EqualsNoCase(record->root, root) || record->type != type || relabelled || renamed) {
      record->root = root;
      record->type = type;
      if (relabelled) {
        record->volume = volume.identity;
        record->label = volume.label;
      }
      if (!volume.name.empty()) record->name = volume.name;
      WriteStoreRecord(planFolder, *record);
    }
    makeTrees();
    return StoreVerdict::kOwn;
  }
  // Makes (or takes) the store here and remembers it. A store that cannot be
  // made now (a read-only disk) is looked at again later; meanwhile the
  // copies say why they fail.
  auto bind = [&](StoreVerdict verdict) {
    if (!plat::IsDirectory(root)) plat::CreateDirectories(root, volume.root, true);
    std::string id;
    if (TakeOrMakeStoreMarker(root, &id)) {
      *record = StoreRecord{id, root, type, volume.identity, volume.label, volume.name, ""};
      WriteStoreRecord(planFolder, *record);
      makeTrees();
    }
    return verdict;
  };
  if (!known) {
    // A new plan, or one from before stores were named: a store found here is
    // its own; a missing one is made only where nothing says it lies elsewhere.
    if (marked || !filledBefore || plat::IsDirectory(root) || volume.declared ||
        type == kStorageUsb) {
      return bind(StoreVerdict::kOwn);
    }
    return StoreVerdict::kNotConnected;
  }
  if (!plat::EqualsNoCase(record->root, root) || record->type != type) {
    return bind(StoreVerdict::kFresh);  // pointed at another store: fill it
  }
  // Its store is missing here, or another one is: lost only on its own disk.
  if (!volume.identity.empty() && volume.identity == record->volume &&
      volume.label == record->label) {
    return bind(StoreVerdict::kFresh);
  }
  return StoreVerdict::kNotConnected;
}

std::string StoreSaid(const char* key, const std::string& what) {
  std::string said = GetText("STORE", key);
  if (const size_t at = said.find("%s"); at != std::string::npos) said.replace(at, 2, what);
  return said;
}

std::string StoreDiskName(const StoreRecord& record, const std::string& root) {
  if (!record.label.empty()) return record.label;
  if (!record.name.empty()) return record.name;
  if (root.size() >= 2 && root[1] == ':') return root.substr(0, 2);
  return VolumeOf(root).label;
}

const char* StoreRefusalText(StoreVerdict v) {
  switch (v) {
    case StoreVerdict::kForeign:
      return "ANOTHER_PLANS_STORE";
    case StoreVerdict::kOtherInstallation:
      return "ANOTHER_INSTALLATIONS_STORE";
    case StoreVerdict::kNotAMarker:
      return "NOT_A_MARKER";
    case StoreVerdict::kUnmarkedCopies:
      return "UNMARKED_COPIES";
    case StoreVerdict::kInsideStore:
      return "INSIDE_ANOTHER_STORE";
    case StoreVerdict::kNotOwned:
      return "STORE_NOT_OWNED";
    case StoreVerdict::kNestedStore:
      return "NESTED_STORE";
    case StoreVerdict::kStoreBelow:
      return "STORE_BELOW";
    case StoreVerdict::kGhostMarker:
      return "GHOST_MARKER";
    case StoreVerdict::kEarlierStore:
      return "EARLIER_PLANS_STORE";
    case StoreVerdict::kStoreReplaced:
      return "STORE_REPLACED";
    case StoreVerdict::kNotAMarkerAbove:
      return "NOT_A_MARKER_ABOVE";
    case StoreVerdict::kCopiesAbove:
      return "UNMARKED_COPIES_ABOVE";
    case StoreVerdict::kMarkerNotKept:
      return "MARKER_NOT_KEPT";
    default:
      return "";
  }
}

namespace {

// The verdict on what a look around a store root found (LookAroundStore's
// answer; none: nothing there).
StoreVerdict AroundVerdict(int32_t around, StoreVerdict none) {
  switch (around) {
    case -1:
      return StoreVerdict::kUnknown;
    case 2:
      return StoreVerdict::kNestedStore;
    case 3:
      return StoreVerdict::kStoreBelow;
    case 4:
      return StoreVerdict::kNotAMarkerAbove;
    case 5:
      return StoreVerdict::kCopiesAbove;
    default:
      return none;
  }
}

// Whether a plan of this data folder other than the one in planFolder
// ("" none) records the store id (its "Store.ini").
bool OtherPlanRecords(const std::string& planFolder, const std::string& id) {
  const std::string plans = GetDataFolder() + "PLAN\\";
  bool found = false;
  plat::ListFolderNames(plans, [&](const plat::FindData& e) {
    StoreRecord other;
    const std::string folder = plans + e.name + "\\";
    found = (e.attributes & plat::kAttrDirectory) != 0 && !plat::EqualsNoCase(folder, planFolder) &&
            ReadStoreRecord(folder, &other) && other.id == id;
    return !found;
  });
  return found;
}

// The verdict of one look (kUnknown: a request failed, nothing is known).
StoreVerdict LookAtMarker(const std::string& planFolder, CDestination& destination,
                          StoreRecord* record) {
  const std::string root = destination.GetRootPath();
  const int32_t type = destination.GetStorageType();
  const std::string me = InstallationId();
  std::string found, installation;
  const int32_t marked = destination.ReadStoreMarkerId(&found, &installation);
  if (marked < 0) return StoreVerdict::kUnknown;
  if (marked == 2) return StoreVerdict::kNotAMarker;
  const auto remember = [&](const std::string& id) {
    *record = StoreRecord{id, root, type, "", "", "", me};
    WriteStoreRecord(planFolder, *record);
  };
  const bool recorded = !record->id.empty() && record->root == root && record->type == type;
  // Whose store a marker naming found and installation is, when not the plan's.
  const auto whose = [&] {
    if (!installation.empty() && installation != me)
      return recorded && found != record->id ? StoreVerdict::kStoreReplaced
                                             : StoreVerdict::kOtherInstallation;
    if (installation.empty() || OtherPlanRecords(planFolder, found)) return StoreVerdict::kForeign;
    return StoreVerdict::kEarlierStore;  // this installation's, and no plan here has it
  };
  // Whose store the marker there names, once a placement found it first.
  const auto theOneThere = [&] {
    const int32_t there = destination.ReadStoreMarkerId(&found, &installation);
    if (there == 2) return StoreVerdict::kNotAMarker;
    // Claimed by the endpoint (412) but not returned: no store to name.
    if (there == 0) return StoreVerdict::kGhostMarker;
    if (there < 0) return StoreVerdict::kForeign;
    // The plan's own, from an attempt whose answer was lost on the way back.
    if (!record->id.empty() && found == record->id && installation == me) return StoreVerdict::kOwn;
    return whose();
  };
  if (marked > 0) {
    // Its own store, whoever wrote the marker last: another installation
    // that names it (this one's identifier lost, made anew) only if the
    // plan's record says the store was this plan's under that installation.
    const bool own =
        !record->id.empty() && found == record->id &&
        (installation.empty() || installation == me || installation == record->installation);
    if (!own) return whose();
    if (record->continued) {
      // An earlier plan's store, continued: looked above and below as a new
      // place is before it is taken (another store may have come since).
      const StoreVerdict around = AroundVerdict(destination.LookAroundStore(), StoreVerdict::kOwn);
      if (around != StoreVerdict::kOwn) return around;
    } else if (destination.LookAboveStore(false) == 2) {
      // A store found inside another one (both made at once, or the outer one
      // since): the outer one keeps it; this one is refused, and keeps its copies.
      return StoreVerdict::kNestedStore;
    }
    if (record->root != root || record->type != type || record->installation != me ||
        record->continued)
      remember(found);
    // A marker from before installations were named names this one from
    // now on: another installation that took the store over is refused.
    if (installation != me) destination.PlaceStoreMarker(found, true);
    return StoreVerdict::kOwn;
  }
  // No marker: a new place, the plan's store emptied behind its back, or
  // copies whose marker went (deleted by hand, by a lifecycle rule).
  const int32_t around = destination.LookAroundUnmarkedRoot();
  if (around < 0) return StoreVerdict::kUnknown;
  if (around == 1 && recorded) {
    // The plan's own store lost its marker only: it gets it back, unless a
    // store came above or below it meanwhile (it would hold that one).
    const StoreVerdict near = AroundVerdict(destination.LookAroundStore(), StoreVerdict::kOwn);
    if (near != StoreVerdict::kOwn) return near;
    const int32_t placed = destination.PlaceStoreMarker(record->id, false);
    if (placed < 0) return StoreVerdict::kUnknown;
    if (placed == 2) return StoreVerdict::kMarkerNotKept;
    return placed == 0 ? theOneThere() : StoreVerdict::kOwn;
  }
  if (around == 1) return StoreVerdict::kUnmarkedCopies;
  if (around == 2) return StoreVerdict::kInsideStore;
  if (around == 3) return StoreVerdict::kStoreBelow;
  if (around == 4) return StoreVerdict::kNotAMarkerAbove;
  if (around == 5) return StoreVerdict::kCopiesAbove;
  const std::string id = NewStoreId();
  const StoreRecord before = *record;
  // Kept before it is sent: a marker that lands while its answer is lost
  // (a connection dropped, a gateway's time-out) is still this plan's.
  remember(id);
  const int32_t placed = destination.PlaceStoreMarker(id, false);
  if (placed < 0) return StoreVerdict::kUnknown;
  if (placed == 0 || placed == 2) {
    // Another plan placed its marker at the same moment, or this one's landed;
    // or the endpoint took it and does not give it back.
    const StoreVerdict there = placed == 2 ? StoreVerdict::kMarkerNotKept : theOneThere();
    if (there != StoreVerdict::kOwn) {
      *record = before;  // the store is another's: the plan keeps what it had
      WriteStoreRecord(planFolder, before);
    }
    return there;
  }
  // A store placed above at the same moment: this one, inside it, stops.
  if (destination.LookAboveStore(true) == 2) return StoreVerdict::kNestedStore;
  return before.id.empty() ? StoreVerdict::kOwn : StoreVerdict::kFresh;
}

}  // namespace

StoreVerdict LookAtRemoteStore(const std::string& planFolder, CDestination& destination,
                               StoreRecord* record) {
  if (const int32_t held = destination.HeldRefusal(); held != 0)
    return static_cast<StoreVerdict>(held);
  const StoreVerdict verdict = LookAtMarker(planFolder, destination, record);
  // Not known now backs off as a refusal does: the same doubling pauses.
  destination.HoldRefusal(RefusesStore(verdict) || verdict == StoreVerdict::kUnknown
                              ? static_cast<int32_t>(verdict)
                              : 0);
  return verdict;
}

StoreVerdict StoreFoundAt(CDestination& destination, const std::string& planFolder) {
  StoreRecord record;
  if (!planFolder.empty()) ReadStoreRecord(planFolder, &record);
  const std::string me = InstallationId();
  std::string found, installation;
  const int32_t marked = destination.ReadStoreMarkerId(&found, &installation);
  if (marked < 0) return StoreVerdict::kUnknown;
  if (marked == 2) return StoreVerdict::kNotAMarker;
  if (marked == 1) {
    if (!record.id.empty() && found == record.id) return StoreVerdict::kOwn;
    if (!installation.empty() && installation != me) return StoreVerdict::kOtherInstallation;
    if (installation.empty() || OtherPlanRecords(planFolder, found)) return StoreVerdict::kForeign;
    // Offered to be continued only where a new store could be made.
    return AroundVerdict(destination.LookAroundStore(), StoreVerdict::kEarlierStore);
  }
  const int32_t around = destination.LookAroundUnmarkedRoot();
  if (around == 1) {  // the plan's own copies, their marker lost, are its own
    return !record.id.empty() && record.root == destination.GetRootPath() &&
                   record.type == destination.GetStorageType()
               ? StoreVerdict::kOwn
               : StoreVerdict::kUnmarkedCopies;
  }
  // A place that is no store yet lies inside the store above it.
  return around == 2 ? StoreVerdict::kInsideStore : AroundVerdict(around, StoreVerdict::kFresh);
}

std::string EarlierStoreAt(CDestination& destination) {
  std::string found, installation;
  if (destination.ReadStoreMarkerId(&found, &installation) != 1) return {};
  if (installation.empty() || installation != InstallationId()) return {};
  return OtherPlanRecords("", found) ? std::string() : found;
}

bool ContinueEarlierStore(const std::string& planFolder, const std::string& root,
                          const std::string& id) {
  if (id.empty() || OtherPlanRecords(planFolder, id)) return false;
  return WriteStoreRecord(planFolder,
                          {id, root, kStorageObject, "", "", "", InstallationId(), true});
}
