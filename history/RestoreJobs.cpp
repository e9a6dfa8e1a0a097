#include "history/RestoreJobs.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "common/Texts.h"
#include "destinations/Destination.h"
#include "destinations/FtpDevice.h"
#include "destinations/ObjectDevice.h"
#include "history/StoreAccess.h"
#include "history/VersionTree.h"
#include "platform/base/Errors.h"
#include "platform/files/Files.h"
#include "platform/files/FilesBelow.h"
#include "platform/files/FolderAccess.h"
#include "platform/process/Clock.h"
#include "platform/volumes/Paths.h"
#include "platform/volumes/Volumes.h"

namespace {

constexpr char kTextSection[] = "DIALOG_RESTORE";
constexpr char kMarkerName[] = "Brevanto.dat";
constexpr char kLatest[] = "Latest";
constexpr char kRevision[] = "Revision";
constexpr uint64_t kPartEveryMs = 250;  // a download's progress is told this often

bool IsSeparator(char c) { return c == '\\' || c == '/'; }
bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::string FailureText(const char* key, std::string_view argument) {
  return RestoreFailureText(key, argument);
}

// A store or target path as the user reads it.
std::string Readable(const std::string& systemPath) {
  std::string native;
  return plat::ToNativePath(systemPath, &native) ? native : systemPath;
}

std::string ChildPath(const std::string& parent, std::string_view name, char sep) {
  std::string path = parent;
  if (!path.empty() && !IsSeparator(path.back())) path += sep;
  path += name;
  return path;
}

}  // namespace

bool GetDestinationStore(uint32_t planId, const CDestination* destination, RestoreStore* out) {
  if (destination == nullptr || out == nullptr || destination->GetRootPath().empty()) return false;
  RestoreStore store;
  store.planId = planId;
  store.storageType = destination->GetStorageType();
  store.separator = destination->GetPathSeparator();
  store.folder = destination->GetRootPath();
  if (!IsSeparator(store.folder.back())) store.folder += store.separator;
  if (const auto* ftp = dynamic_cast<const CFTPDevice*>(destination))
    store.ftp = ftp->GetFtpSettings();
  if (const auto* object = dynamic_cast<const CObjectDevice*>(destination))
    store.objectStore = object->GetObjectSettings();
  *out = std::move(store);
  return true;
}

// ---------------------------------------------------------------- base

CRestoreThread::CRestoreThread(IRestoreObserver* observer, std::shared_ptr<CDirNode> root,
                               RestoreStore store)
    : observer_(observer), store_(std::move(store)), root_(std::move(root)) {}

CRestoreThread::~CRestoreThread() { StopAndJoin(); }

int CRestoreThread::Begin() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (started_) return 1;
    started_ = true;
  }
  if (Start(/*lowestPriority=*/InBackground()) != 0) {
    std::lock_guard<std::mutex> guard(lock_);
    started_ = false;
    return 1;
  }
  return 0;
}

void CRestoreThread::Stop() {
  stop_.exchange(1);
  cancel_.store(true);  // a transfer or a server's answer under way ends at once
}

bool CRestoreThread::IsJobRunning() const {
  std::lock_guard<std::mutex> guard(lock_);
  return started_ && !ended_ && stop_.load() == 0;
}

bool CRestoreThread::HasEnded() const {
  std::lock_guard<std::mutex> guard(lock_);
  return !started_ || ended_;
}

std::shared_ptr<CDirNode> CRestoreThread::Root() const {
  std::lock_guard<std::mutex> guard(lock_);
  return root_;
}

void CRestoreThread::SetRoot(std::shared_ptr<CDirNode> root) {
  std::lock_guard<std::mutex> guard(lock_);
  root_ = std::move(root);
}

void CRestoreThread::StopAndJoin() {
  Stop();
  Join();
}

void CRestoreThread::Trace(const std::string& text) {
  std::fprintf(stderr, "restore: %s\n", text.c_str());
  if (observer_ != nullptr) observer_->OnTrace(text);
}

void CRestoreThread::Run() {
  plat::SetThreadCancelFlag(&cancel_);
  Work();
  plat::SetThreadCancelFlag(nullptr);
  std::lock_guard<std::mutex> guard(lock_);
  ended_ = true;
}

// ---------------------------------------------------------------- filler

CRestoreFiller::CRestoreFiller(IRestoreObserver* observer, RestoreStore store)
    : CRestoreThread(observer, nullptr, std::move(store)) {}

CRestoreFiller::~CRestoreFiller() { StopAndJoin(); }

void CRestoreFiller::Work() {
  const RestoreStore& store = Store();
  if (store.folder.empty()) return;
  std::unique_ptr<StoreAccess> access = MakeStoreAccess(store);
  std::string failure;
  if (!access->Reach(&failure)) {
    Trace(failure);
    return;
  }

  auto root = std::make_shared<CDirNode>();
  root->name = store.folder;
  root->path = store.folder;
  root->isFolder = true;
  int64_t rootTime = plat::Now();
  access->FolderTime(store.folder, &rootTime);
  root->time = ToNodeTime(rootTime);
  SetRoot(root);
  if (Observer() != nullptr) Observer()->OnTreeRoot(root);

  // Each folder is listed whole, then its child folders in turn, depth first.
  bool rootListed = true;
  std::vector<CDirNode*> folders{root.get()};
  while (!folders.empty() && !StopRequested()) {
    CDirNode* folder = folders.back();
    folders.pop_back();
    const size_t firstNew = folder->children.size();
    const bool listed = access->List(folder->path, [&](const plat::FindData& entry) {
      if (StopRequested()) return false;
      auto node = std::make_unique<CDirNode>();
      node->name = entry.name;
      node->path = ChildPath(folder->path, entry.name, store.separator);
      node->isFolder = (entry.attributes & plat::kAttrDirectory) != 0;
      node->fileCount = node->isFolder ? 0 : 1;
      node->size = node->isFolder ? 0 : entry.size;
      node->time = ToNodeTime(entry.writeTime);
      folder->AddChild(std::move(node));
      return true;
    });
    if (!listed) {
      Trace(FailureText("MSG_CANNOT_LIST_FOLDER", folder->path));
      if (folder == root.get()) rootListed = false;
    }
    for (size_t i = folder->children.size(); i > firstNew; --i) {
      CDirNode* child = folder->children[i - 1].get();
      if (child->isFolder) folders.push_back(child);
    }
  }
  if (StopRequested()) return;

  root->RemoveChild(kMarkerName);
  if (Observer() != nullptr) Observer()->OnTreeRefresh();
  ComputeTotals(root.get());
  if (Observer() != nullptr) Observer()->OnTreeRefresh();
  // A store that could not be listed is listed anew next time.
  if (rootListed) CDirNodeCache::Instance().Put(store.planId, root);
}

// ---------------------------------------------------------------- finder

CRestoreFinder::CRestoreFinder(IRestoreObserver* observer, std::shared_ptr<CDirNode> root,
                               RestoreStore store, std::string pattern, bool expand)
    : CRestoreThread(observer, std::move(root), std::move(store)),
      pattern_(std::move(pattern)),
      expand_(expand) {}

CRestoreFinder::~CRestoreFinder() { StopAndJoin(); }

void CRestoreFinder::Work() {
  const std::shared_ptr<CDirNode> root = Root();
  if (!root) return;
  if (!ApplySearch(root.get(), pattern_, &StopFlag())) return;
  if (StopRequested()) return;
  ComputeTotals(root.get());
  if (StopRequested()) return;
  IRestoreObserver* observer = Observer();
  if (observer != nullptr) observer->OnSearchApplied(root.get());
  if (expand_) {
    const bool complete = WalkTree(root.get(), [&](CDirNode* node) {
      if (StopRequested()) return false;
      if (observer != nullptr) observer->OnShowNode(node);
      return true;
    });
    if (!complete) return;
  }
  if (StopRequested()) return;
  if (observer != nullptr) observer->OnSearchFinished();
}

// ---------------------------------------------------------------- carrier

CRestoreCarrier::CRestoreCarrier(IRestoreObserver* observer, std::shared_ptr<CDirNode> root,
                                 RestoreStore store, std::string targetFolder, bool restoreAll,
                                 std::vector<std::string> keepFrom)
    : CRestoreThread(observer, std::move(root), std::move(store)),
      targetFolder_(std::move(targetFolder)),
      restoreAll_(restoreAll),
      keepFrom_(std::move(keepFrom)) {}

CRestoreCarrier::~CRestoreCarrier() { StopAndJoin(); }

bool CRestoreCarrier::OriginalLocationIsValid(const CDirNode* root, std::string* missing) const {
  const std::string latestPath = Store().folder + kLatest;
  const CDirNode* latest = nullptr;
  std::string rootPath = root->path;
  if (!rootPath.empty() && IsSeparator(rootPath.back())) rootPath.pop_back();
  if (rootPath == latestPath) {
    latest = root;
  } else {
    for (const auto& child : root->children) {
      if (child->path == latestPath) {
        latest = child.get();
        break;
      }
    }
  }
  if (latest == nullptr) {
    *missing = Readable(latestPath);
    return false;
  }
  // Every one-letter folder below "Latest" stands for a source drive that
  // must exist here. Other names (copies of network paths) cannot go back
  // to an original place; the per-node rule skips them.
  for (const auto& child : latest->children) {
    if (!child->isFolder || child->name.size() != 1 || !IsAsciiLetter(child->name[0])) continue;
    const char letter = static_cast<char>(child->name[0] & ~0x20);  // upper case
    const plat::DriveType type = plat::VolumeTable::Instance().GetDriveType(letter);
    if (type == plat::DriveType::kUnknown || type == plat::DriveType::kNoRootDir) {
      *missing = std::string(1, letter) + ":";
      return false;
    }
  }
  return true;
}

std::string CRestoreCarrier::NoPlaceText(const std::string& nodePath) const {
  // The folder the copy came from in place of a drive ("srv" of a share).
  std::string rest = nodePath.substr(std::min(nodePath.size(), Store().folder.size()));
  for (const char* tree : {kLatest, kRevision}) {
    const std::string prefix = std::string(tree) + Store().separator;
    if (rest.compare(0, prefix.size(), prefix) == 0) rest.erase(0, prefix.size());
  }
  return FailureText("MSG_ORIGINAL_FILE_IS_INVALID", rest.substr(0, rest.find(Store().separator)));
}

void CRestoreCarrier::Hold(bool held) {
  std::lock_guard<std::mutex> guard(holdLock_);
  held_ = held;
  holdChanged_.notify_all();
}

void CRestoreCarrier::Stop() {
  CRestoreThread::Stop();
  std::lock_guard<std::mutex> guard(holdLock_);
  holdChanged_.notify_all();
}

bool CRestoreCarrier::WaitWhileHeld() {
  std::unique_lock<std::mutex> lock(holdLock_);
  if (!held_ || StopRequested()) return false;
  holdChanged_.wait(lock, [this] { return !held_ || StopRequested(); });
  return true;
}

void CRestoreCarrier::Fail(const std::string& file, const std::string& reason) {
  failed_.fetch_add(1);
  Trace(reason + " (" + file + ")");
  if (Observer() != nullptr) Observer()->OnFileFailed(file, reason);
}

void CRestoreCarrier::Measure(uint64_t done) {
  const uint64_t elapsed = plat::GetTickCount64() - startTick_;
  // The guess stands until bytes have come in and can be measured.
  if (elapsed != 0 && done != 0) {
    progress_.bytesPerSecond = done * 1000 / elapsed;
    progress_.measured = true;
  }
  if (progress_.bytesPerSecond != 0)
    progress_.remainingSeconds =
        (totalBytes_ - std::min(done, totalBytes_)) / progress_.bytesPerSecond + 1;
  if (totalBytes_ != 0)
    progress_.percent = static_cast<uint32_t>(std::min<uint64_t>(done * 100 / totalBytes_, 100));
}

void CRestoreCarrier::Work() {
  const std::shared_ptr<CDirNode> root = Root();
  if (!root) return;
  IRestoreObserver* observer = Observer();
  std::string missing;
  if (targetFolder_.empty() && !OriginalLocationIsValid(root.get(), &missing)) {
    const std::string text = FailureText("MSG_ORIGINAL_FILE_IS_INVALID", missing);
    Trace(text);
    if (observer != nullptr) {
      observer->OnMessageBox(text);
      observer->OnRestoreFailed();
    }
    return;
  }
  std::unique_ptr<StoreAccess> access = MakeStoreAccess(Store());
  std::string failure;
  if (!access->Reach(&failure)) {
    Trace(failure);
    if (observer != nullptr) {
      observer->OnFileFailed({}, failure);  // said in the window, not only traced
      observer->OnRestoreFailed();
    }
    return;
  }

  totalBytes_ = restoreAll_ ? root->size : SelectedSize(root.get());
  doneBytes_ = 0;
  progress_ = RestoreProgress{};
  progress_.bytesPerSecond = access->InitialSpeed();
  startTick_ = plat::GetTickCount64();
  // Run by root, the restore does not leave the user's files to root: what
  // it makes takes the owner of the folder it lands in.
  const bool administrator = plat::RunsAsAdministrator();

  std::string trustedFor, trusted;  // the last folder of an original place and its way
  WalkTree(root.get(), [&](CDirNode* node) {
    if (StopRequested()) return false;
    if (node->hidden || (!restoreAll_ && node->checkState != kCheckAll)) return true;
    std::string target, folder;
    if (!MakeRestoreTarget(node->path, node->isFolder, Store().folder, targetFolder_, &target,
                           &folder, keepFrom_)) {
      // A file that has no place to go back to (a copy from a network path)
      // counts as failed, so the window can say so.
      if (!node->isFolder) Fail(Readable(node->path), NoPlaceText(node->path));
      return true;
    }
    if (!node->isFolder && !node->restoreName.empty())
      target = plat::PathAppend(folder, node->restoreName);
    // No link is followed below a chosen folder, or on the way to an original
    // place past the links the administrator or the user made (a home that is
    // a link elsewhere stays usable): one another user planted in place of a
    // folder must not send restored files into a folder of theirs.
    std::string within = targetFolder_;
    if (within.empty() && folder != trustedFor) {
      trustedFor = folder;  // files of one folder come one after another
      trusted = plat::TrustedFolderOnTheWay(folder);
    }
    if (within.empty()) within = trusted;
    if (within.empty()) within = target.substr(0, 3);  // "C:\"
    if (folder.size() > 3) plat::CreateDirectories(folder, within, false, administrator);
    if (node->isFolder) return true;

    Measure(doneBytes_);
    progress_.currentName = target.substr(target.find_last_of("\\/") + 1);  // the user's name
    if (observer != nullptr) observer->OnFileProgress(progress_);

    // A long download moves the bar and the speed as its bytes come in, and
    // waits there while the restore is held.
    uint64_t told = plat::GetTickCount64();
    bool waited = false;
    access->SetFetchProgress([&, size = node->size](uint64_t received) {
      waited = WaitWhileHeld() || waited;
      const uint64_t now = plat::GetTickCount64();
      if (observer == nullptr || now - told < kPartEveryMs) return;
      told = now;
      Measure(doneBytes_ + std::min(received, size));
      observer->OnFilePart(progress_);
    });
    uint32_t error = 0;
    do {  // a download the server dropped while it waited starts again
      waited = false;
      error = access->Fetch(node->path, target, within);
    } while (error != 0 && waited && !StopRequested());
    access->SetFetchProgress({});
    // Stopped: the download was cut short and its file left out; not a failure.
    if (error != 0 && StopRequested()) return false;
    if (error != 0) {
      // A refusal here is not the server's.
      const bool here = access->FetchFailedHere();
      const char* key = here ? "MSG_CANNOT_COPY_FILE" : access->FetchFailureKey();
      Fail(Readable(target), FailureText(key, RestoreReasonText(error)));
      // A file refused here (a link in its place, a full disk) fails alone:
      // the others are still tried, and every one is counted and said.
      if (!here && access->FetchFailureFailsRestore()) {
        if (observer != nullptr) observer->OnRestoreFailed();
        return true;
      }
    } else {
      copied_.fetch_add(1);
    }
    doneBytes_ += node->size;
    return true;
  });
  if (!StopRequested() && observer != nullptr) observer->OnRestoreFinished();
}
