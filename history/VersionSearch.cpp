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

CFolderLister::CFolderLister(IRestoreObserver* observer, RestoreStore store, CVersionFolder* folder)
    : CRestoreThread(observer, nullptr, std::move(store)), target_(folder) {
  if (folder != nullptr) {
    latestPath_ = folder->latestPath;
    revisionPath_ = folder->revisionPath;
    sourcePath_ = folder->sourcePath;
    storeRoot_ = folder->storeRoot;
  }
}

CFolderLister::~CFolderLister() { StopAndJoin(); }

void CFolderLister::Work() {
  std::unique_ptr<StoreAccess> access = MakeStoreAccess(Store());
  std::string failure;
  std::shared_ptr<CVersionFolder> listed;
  if (access->Reach(&failure)) {
    if (target_ == nullptr) {
      listed = ListProtectedFolders(*access, Store());
      if (!listed) failure = RestoreFailureText("MSG_CANNOT_LIST_FOLDER", Store().folder);
    } else {
      auto copy = std::make_shared<CVersionFolder>();
      copy->latestPath = latestPath_;
      copy->revisionPath = revisionPath_;
      copy->sourcePath = sourcePath_;
      copy->storeRoot = storeRoot_;
      if (ListVersionFolder(*access, Store().separator, copy.get()))
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
