#include "history/VersionSearch.h"

#include <utility>

#include "history/StoreAccess.h"

CVersionFinder::CVersionFinder(IRestoreObserver* observer, RestoreStore store, std::string pattern)
    : CRestoreThread(observer, nullptr, std::move(store)), pattern_(std::move(pattern)) {}

CVersionFinder::~CVersionFinder() { StopAndJoin(); }

void CVersionFinder::Work() {
  std::unique_ptr<StoreAccess> access = MakeStoreAccess(Store());
  std::string failure;
  if (!access->Reach(&failure)) {
    Trace(failure);
    if (Observer() != nullptr) Observer()->OnVersionsFound(nullptr);
    return;
  }
  std::shared_ptr<CVersionFolder> found = SearchVersions(*access, Store(), pattern_, &StopFlag());
  if (StopRequested()) return;
  if (!found) Trace(RestoreFailureText("MSG_CANNOT_LIST_FOLDER", Store().folder));
  if (Observer() != nullptr) Observer()->OnVersionsFound(std::move(found));
}
