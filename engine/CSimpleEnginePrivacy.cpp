// The privacy of a file's copies once its source became private here: the
// latest copy and every revision take the source's mode where the store can
// set it.
#include <vector>

#include "common/EngineEvents.h"
#include "common/Texts.h"
#include "engine/CSimpleEngine.h"
#include "platform/files/Files.h"
#include "platform/files/FolderAccess.h"

void CSimpleEngine::KeepCopiesPrivate(CDestination* dest, std::string_view source,
                                      const StoreNames& names, uint32_t planId) {
  plat::File file;
  uint32_t mode = 0;
  int64_t written = 0;
  if (!file.Open(source, plat::File::kRead, plat::File::kOpenExisting) ||
      !file.GetModeAndTime(&mode, &written))
    return;
  const uint32_t reachable = plat::ReachableMode(source, mode) & 0777u;
  if ((reachable & 044) == 044) return;
  bool kept = dest->KeepCopyPrivate(source, names.latestName, mode, reachable) == kDestOk;
  // The revisions the rotation knows: older contents are as private as the
  // newest. A listing that fails leaves them as they were, and says so.
  std::vector<VersionEntry> revisions;
  kept = kept &&
         dest->ListVersions(names.revisionFolder, names.stem, names.extension, &revisions) >= 0;
  for (const VersionEntry& revision : revisions) {
    if (!kept) break;
    kept = dest->KeepCopyPrivate(source, revision.path, mode, reachable) == kDestOk;
  }
  // One every user outside its group reads (a mode such as 0604) keeps no
  // one out whom a readable copy on the server lets in.
  if (!kept && (reachable & 004) == 0)
    PostEvent(kEvNotProtected, source, planId, {},
              GetText("NOT_PROTECTED", "REASON_COPIES_STAY_READABLE"));
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
