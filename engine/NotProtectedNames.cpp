#include "engine/NotProtectedNames.h"

#include <atomic>
#include <mutex>

#include "common/EngineEvents.h"
#include "common/Texts.h"
#include "engine/CSimplePlan.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "platform/files/Files.h"
#include "platform/files/FolderAccess.h"
#include "platform/volumes/Paths.h"

namespace {

std::atomic<size_t> g_linkLinesCap{1000};

// "4,000": the count as the log's reader reads it.
std::string GroupedCount(uint64_t count) {
  std::string digits = std::to_string(count);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

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
  if (list != nullptr && !list->IsPathEligible(standIn)) return false;
  if (!plan->MatchPath(standIn, false)) return false;
  const std::string shown = folder + plat::ShownName(unheld.name);
  if (!plan->NoteUnheldName(shown)) return false;
  // Text 2 is the folder: the shown name may hold a "\", so only the
  // folder part may be read as a path.
  PostEvent(kEvNotProtected, shown, plan->Id(), folder,
            GetText("NOT_PROTECTED", ReasonKey(unheld.reason)));
  return true;
}

void SetLinkedFolderLinesCap(size_t cap) { g_linkLinesCap = cap; }

void ReportLinkedFolders(CSimplePlan* plan, const std::string& base,
                         const std::vector<LinkedFolder>& links, uint64_t unnamed) {
  if (links.empty() && unnamed == 0) return;
  // A linked folder met by the plan's walk is within its folders; what it
  // holds is unknown, so no file rule is asked.
  const std::string folder = plat::WithSeparator(base);
  const std::string planFolder = plan->GetPlanFolder();
  SaidLinks& said = plan->Links();
  const size_t cap = g_linkLinesCap.load();
  const std::string reason = GetText("NOT_PROTECTED", "REASON_LINKED_FOLDER");
  size_t told = 0;
  uint64_t more = 0;
  for (const LinkedFolder& link : links) {
    const std::string shown = folder + plat::ShownName(link.name);
    plan->NoteUnheldName(shown);
    if (!said.FirstTime(planFolder, shown, link.target)) continue;
    if (told == cap) {
      ++more;
      continue;
    }
    ++told;
    // Text 2 is the folder: the shown name may hold a "\", so only the
    // folder part may be read as a path.
    PostEvent(kEvNotProtected, shown, plan->Id(), folder, reason);
  }
  if (unnamed != 0 && said.FirstTime(planFolder, folder, "+" + std::to_string(unnamed)))
    more += unnamed;
  if (more != 0) {
    std::string line = GetText("NOT_PROTECTED", "REASON_MORE_LINKED_FOLDERS");
    if (const size_t at = line.find("%s"); at != std::string::npos)
      line.replace(at, 2, GroupedCount(more));
    PostEvent(kEvNotProtected, folder, plan->Id(), {}, line);
  }
  said.Save();
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
        !file.GetModeAndTime(&mode, &written) || (plat::ReachableMode(path, mode) & 004) == 0)
      continue;
    plan->ForgetUnheldName(path);
    plan->NoteChangedFile(path);
  }
}
