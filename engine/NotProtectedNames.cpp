#include "engine/NotProtectedNames.h"

#include <mutex>

#include "common/EngineEvents.h"
#include "common/Texts.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "platform/files/Files.h"
#include "platform/files/FolderAccess.h"
#include "platform/volumes/Paths.h"

namespace {

const char* ReasonKey(plat::UnheldReason reason) {
  switch (reason) {
    case plat::UnheldReason::kBackslash:
      return "REASON_BACKSLASH";
    case plat::UnheldReason::kNotUtf8:
      return "REASON_NOT_UTF8";
    case plat::UnheldReason::kLinkedFolder:
      return "REASON_LINKED_FOLDER";
    default:
      return "REASON_TOO_LONG";
  }
}

}  // namespace

bool ReportNotProtected(CPlan* plan, const plat::UnheldName& unheld) {
  const std::string folder = plat::WithSeparator(unheld.folder);
  const std::string standIn = folder + plat::StandInName(unheld.name);
  IPlanOwner* list = plan->Owner();
  // A linked folder met by the plan's walk is within its folders; what it
  // holds is unknown, so no file rule is asked.
  if (unheld.reason != plat::UnheldReason::kLinkedFolder) {
    if (list != nullptr && !list->IsPathEligible(standIn)) return false;
    if (!plan->MatchPath(standIn, false)) return false;
  }
  const std::string shown = folder + plat::ShownName(unheld.name);
  if (!plan->NoteUnheldName(shown)) return false;
  // Text 2 is the folder: the shown name may hold a "\", so only the
  // folder part may be read as a path.
  PostEvent(kEvNotProtected, shown, plan->Id(), folder,
            GetText("NOT_PROTECTED", ReasonKey(unheld.reason)));
  return true;
}

void OfferNotProtected(PlanList& list, const plat::UnheldName& unheld) {
  std::lock_guard<std::recursive_mutex> guard(list.Lock());
  for (size_t i = 0; i < list.Count(); ++i) ReportNotProtected(list.At(i), unheld);
}

void ReofferOpenedFiles(CPlan* plan) {
  for (const std::string& path : plan->PrivateUnheldNames()) {
    plat::File file;
    uint32_t mode = 0;
    int64_t written = 0;
    if (!file.Open(path, plat::File::kRead, plat::File::kOpenExisting) ||
        !file.GetModeAndTime(&mode, &written) || (plat::ReachableMode(path, mode) & 044) != 044)
      continue;
    plan->ForgetUnheldName(path);
    plan->NoteChangedFile(path);
  }
}
