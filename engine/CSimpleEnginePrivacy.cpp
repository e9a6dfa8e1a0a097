// The privacy of a file's copies once its source became private here: the
// latest copy and every revision take the source's mode where the store can
// set it.
#include <vector>

#include "common/EngineEvents.h"
#include "common/Texts.h"
#include "engine/CSimpleEngine.h"
#include "platform/files/Files.h"
#include "platform/files/FolderAccess.h"

namespace {

// The source's own mode and the mode its folders let others have; false when
// it cannot be looked at or everyone here may read it.
bool PrivateModes(std::string_view source, uint32_t* own, uint32_t* reachable) {
  plat::File file;
  int64_t written = 0;
  if (!file.Open(source, plat::File::kRead, plat::File::kOpenExisting) ||
      !file.GetModeAndTime(own, &written))
    return false;
  *reachable = plat::ReachableMode(source, *own) & 0777u;
  return (*reachable & 044) != 044;
}

// Gives each copy the source's privacy; where one refuses, the plan says the
// copies there stay readable.
void KeepPrivate(CDestination* dest, std::string_view source,
                 const std::vector<std::string>& copies, bool listed, uint32_t own,
                 uint32_t reachable, uint32_t planId) {
  bool kept = listed;
  for (const std::string& copy : copies) {
    if (!kept) break;
    kept = dest->KeepCopyPrivate(source, copy, own, reachable) == kDestOk;
  }
  if (!kept)
    PostEvent(kEvNotProtected, source, planId, {},
              GetText("NOT_PROTECTED", "REASON_COPIES_STAY_READABLE"));
}

}  // namespace

void CSimpleEngine::KeepCopiesPrivate(CDestination* dest, std::string_view source,
                                      const StoreNames& names, uint32_t planId) {
  uint32_t own = 0, reachable = 0;
  if (!PrivateModes(source, &own, &reachable)) return;
  if (dest->KeepCopyPrivate(source, names.latestName, own, reachable) != kDestOk)
    return KeepPrivate(dest, source, {}, false, own, reachable, planId);
  // The revisions the rotation knows: older contents are as private as the
  // newest. A listing that fails leaves them as they were, and says so.
  std::vector<VersionEntry> revisions;
  const bool listed =
      dest->ListVersions(names.revisionFolder, names.stem, names.extension, &revisions) >= 0;
  std::vector<std::string> paths;
  for (const VersionEntry& revision : revisions) paths.push_back(revision.path);
  KeepPrivate(dest, source, paths, listed, own, reachable, planId);
}

void CSimpleEngine::KeepRevisionsPrivate(CDestination* dest, std::string_view source,
                                         const std::vector<std::string>& revisions,
                                         uint32_t planId) {
  uint32_t own = 0, reachable = 0;
  if (!revisions.empty() && PrivateModes(source, &own, &reachable))
    KeepPrivate(dest, source, revisions, true, own, reachable, planId);
}

const char* CSimpleEngine::NotPrivateReason(std::string_view source) {
  plat::File file;
  uint32_t mode = 0;
  int64_t written = 0;
  if (file.Open(source, plat::File::kRead, plat::File::kOpenExisting) &&
      file.GetModeAndTime(&mode, &written) && (plat::ReachableMode(source, mode) & 040) != 0)
    return "REASON_SERVER_NOT_PRIVATE_GROUP";
  return "REASON_SERVER_NOT_PRIVATE";
}
