#include "history/VersionSearch.h"

#include <utility>
#include <vector>

#include "history/StoreAccess.h"
#include "platform/process/Clock.h"

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

CFolderLister::CFolderLister(IRestoreObserver* observer, RestoreStore store, CVersionFolder* folder)
    : CRestoreThread(observer, nullptr, std::move(store)), target_(folder) {
  if (folder != nullptr) {
    latestPath_ = folder->latestPath;
    revisionPath_ = folder->revisionPath;
    sourcePath_ = folder->sourcePath;
    storeRoot_ = folder->storeRoot;
    sizes_ = folder->listed;
  }
}

CFolderLister::~CFolderLister() { StopAndJoin(); }

void CFolderLister::Work() {
  std::unique_ptr<StoreAccess> access = MakeStoreAccess(Store());
  std::string failure;
  std::shared_ptr<CVersionFolder> listed;
  if (access->Reach(&failure)) {
    if (target_ == nullptr) {
      listed = ListProtectedFolders(*access, Store(), &StopFlag());
      if (!listed) failure = RestoreFailureText("MSG_CANNOT_LIST_FOLDER", Store().folder);
    } else {
      auto copy = std::make_shared<CVersionFolder>();
      copy->latestPath = latestPath_;
      copy->revisionPath = revisionPath_;
      copy->sourcePath = sourcePath_;
      copy->storeRoot = storeRoot_;
      if (sizes_ ? ListVersionSizes(*access, Store().separator, copy.get())
                 : ListVersionFolder(*access, Store().separator, copy.get()))
        listed = std::move(copy);
      else
        failure = RestoreFailureText("MSG_CANNOT_LIST_FOLDER",
                                     latestPath_.empty() ? revisionPath_ : latestPath_);
    }
  }
  if (StopRequested()) return;
  if (!listed) Trace(failure);
  if (Observer() != nullptr) Observer()->OnFolderListed(target_, std::move(listed), failure);
}

CChoiceCollector::CChoiceCollector(IRestoreObserver* observer, RestoreStore store,
                                   PendingChoices pending, WalkLimits limits)
    : CRestoreThread(observer, nullptr, std::move(store)),
      pending_(std::move(pending)),
      limits_(limits) {}

CChoiceCollector::~CChoiceCollector() { StopAndJoin(); }

void CChoiceCollector::Work() {
  IRestoreObserver* observer = Observer();
  std::unique_ptr<StoreAccess> access = MakeStoreAccess(Store());
  std::string failure;
  if (!access->Reach(&failure)) {
    Trace(failure);
    if (!StopRequested() && observer != nullptr) observer->OnChoicesCollected(nullptr, failure, 0);
    return;
  }
  // Told at most every tenth of a second: a window has no use for more.
  uint64_t told = 0;
  std::string looped;
  const WalkEnd end = FinishChoices(
      *access, Store(), &pending_, &StopFlag(), limits_,
      [&](const WalkProgress& p) {
        const uint64_t now = plat::GetTickCount64();
        if (observer == nullptr || (told != 0 && now - told < 100)) return;
        told = now;
        observer->OnChoicesProgress(p.folders, p.files);
      },
      &looped);
  if (end == WalkEnd::kStopped || StopRequested()) return;
  if (end == WalkEnd::kTooDeep)
    failure = RestoreFailureText("MSG_FOLDERS_TOO_DEEP", std::to_string(limits_.maxDepth));
  if (end == WalkEnd::kLoops) failure = RestoreFailureText("MSG_FOLDERS_LOOP", looped);
  if (end == WalkEnd::kTooMany)
    failure = RestoreFailureText("MSG_TOO_MANY_FOLDERS", std::to_string(limits_.maxFolders));
  if (!failure.empty()) Trace(failure);
  if (observer == nullptr) return;
  observer->OnChoicesCollected(
      failure.empty() ? std::make_shared<std::vector<RestoreChoice>>(std::move(pending_.choices))
                      : nullptr,
      failure, pending_.leftOut);
}
