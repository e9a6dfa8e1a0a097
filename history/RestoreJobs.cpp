#include "history/RestoreJobs.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "app/Texts.h"
#include "destinations/Destination.h"
#include "destinations/FtpDevice.h"
#include "history/FtpStoreReader.h"
#include "plans/CPlan.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Volumes.h"

namespace {

constexpr char kTextSection[] = "DIALOG_RESTORE";
constexpr char kMarkerName[] = "Brevanto.dat";
constexpr char kLatest[] = "Latest";
constexpr char kRevision[] = "Revision";
constexpr uint64_t kLocalSpeedGuess = 2097152;  // bytes per second before the first file
constexpr uint64_t kFtpSpeedGuess = 20480;

// A failure text from the text store, formatted "%s %s" with its argument;
// the key stands in when the text store lacks it.
std::string FailureText(const char* key, std::string_view argument) {
  std::string text = GetText(kTextSection, key);
  if (text.empty()) text = key;
  if (!argument.empty()) {
    text += ' ';
    text += argument;
  }
  return text;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }
bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// How a job reads the store. Local, USB and network stores are folders read
// through the platform's file calls. An FTP store gets its own access here
// once the FTP destination exists (session, connection, current folder,
// listing, binary download); until then it cannot be reached.
class StoreAccess {
 public:
  virtual ~StoreAccess() = default;
  // Opens what the store needs; false with a trace text when it cannot.
  virtual bool Reach(std::string* failure) = 0;
  // Last write of a folder, seconds since 1970 UTC; false when unknown.
  virtual bool FolderTime(std::string_view folder, int64_t* time) = 0;
  // Calls each for every entry of the folder except "." and ".." until it
  // returns false. False when the folder cannot be listed at all.
  virtual bool List(std::string_view folder,
                    const std::function<bool(const plat::FindData&)>& each) = 0;
  // Copies one store file to a local target, overwriting it: 0 or an error
  // number. No link is followed below targetWithin (when not empty).
  virtual uint32_t Fetch(std::string_view source, std::string_view target,
                         std::string_view targetWithin) = 0;
  virtual uint64_t InitialSpeed() const = 0;
  // A failed fetch fails the whole restore (downloads) or only that file.
  virtual bool FetchFailureFailsRestore() const = 0;
  virtual const char* FetchFailureKey() const = 0;
};

class LocalStoreAccess final : public StoreAccess {
 public:
  explicit LocalStoreAccess(std::string folder) : folder_(std::move(folder)) {}
  bool Reach(std::string*) override { return true; }
  bool FolderTime(std::string_view folder, int64_t* time) override {
    plat::FindData info;
    if (!plat::GetFileInfo(folder, &info) || (info.attributes & plat::kAttrDirectory) == 0)
      return false;
    *time = info.writeTime;
    return true;
  }
  bool List(std::string_view folder,
            const std::function<bool(const plat::FindData&)>& each) override {
    plat::DirSearch search;
    plat::FindData entry;
    if (!search.Open(plat::PathAppend(folder, "*.*"), &entry)) {
      // An empty folder reports "nothing matches"; only a missing or
      // unreadable folder is an error.
      return plat::IsDirectory(folder);
    }
    do {
      if (entry.name == "." || entry.name == "..") continue;
      if (!each(entry)) break;
    } while (search.Next(&entry));
    return true;
  }
  // A link inside the store is never read through: it could hand out any
  // file of the machine as if it had been backed up.
  uint32_t Fetch(std::string_view source, std::string_view target,
                 std::string_view targetWithin) override {
    return plat::CopyFileWithin(source, folder_, target, targetWithin, /*failIfExists=*/false,
                                /*flushToDevice=*/false);
  }
  uint64_t InitialSpeed() const override { return kLocalSpeedGuess; }
  bool FetchFailureFailsRestore() const override { return false; }
  const char* FetchFailureKey() const override { return "MSG_CANNOT_COPY_FILE"; }

 private:
  std::string folder_;  // the store folder
};

// An FTP store, read through its own connection (FtpStoreReader.h).
class FtpStoreAccess final : public StoreAccess {
 public:
  FtpStoreAccess(const FtpSettings& ftp, std::string folder) : reader_(ftp, std::move(folder)) {}
  bool Reach(std::string* failure) override {
    const char* key = nullptr;
    std::string argument;
    if (reader_.Reach(&key, &argument)) return true;
    *failure = FailureText(key, argument);
    return false;
  }
  bool FolderTime(std::string_view, int64_t*) override { return false; }
  bool List(std::string_view folder,
            const std::function<bool(const plat::FindData&)>& each) override {
    return reader_.List(folder, each);
  }
  uint32_t Fetch(std::string_view source, std::string_view target,
                 std::string_view targetWithin) override {
    return reader_.Fetch(source, target, targetWithin);
  }
  uint64_t InitialSpeed() const override { return kFtpSpeedGuess; }
  bool FetchFailureFailsRestore() const override { return true; }
  const char* FetchFailureKey() const override { return "MSG_CANNOT_DOWNLOAD_FILE_FROM_FTP"; }

 private:
  FtpStoreReader reader_;
};

std::unique_ptr<StoreAccess> MakeStoreAccess(const RestoreStore& store) {
  if (store.storageType == kStorageFtp)
    return std::make_unique<FtpStoreAccess>(store.ftp, store.folder);
  return std::make_unique<LocalStoreAccess>(store.folder);
}

std::string ChildPath(const std::string& parent, std::string_view name, char sep) {
  std::string path = parent;
  if (!path.empty() && !IsSeparator(path.back())) path += sep;
  path += name;
  return path;
}

// The name without a revision's "(nnnn)": a '(' five characters before the
// last ')', that ')' ending the name or followed by its last '.'.
std::string WithoutRevisionSuffix(const std::string& name) {
  const size_t close = name.rfind(')');
  if (close == std::string::npos || close < 5 || name[close - 5] != '(') return name;
  if (close + 1 != name.size() && (name[close + 1] != '.' || name.rfind('.') != close + 1))
    return name;
  return name.substr(0, close - 5) + name.substr(close + 1);
}

}  // namespace

bool GetRestoreStore(CPlan* plan, RestoreStore* out) {
  if (plan == nullptr || out == nullptr) return false;
  std::lock_guard<std::recursive_mutex> guard(plan->Lock());
  CDestination* destination = plan->Destination();
  if (destination == nullptr || destination->GetRootPath().empty()) return false;
  RestoreStore store;
  store.planId = plan->Id();
  store.storageType = destination->GetStorageType();
  store.separator = destination->GetPathSeparator();
  store.folder = destination->GetRootPath();
  if (!IsSeparator(store.folder.back())) store.folder += store.separator;
  store.ftp = plan->Settings().ftp;
  if (const auto* ftp = dynamic_cast<const CFTPDevice*>(destination))
    store.ftp = ftp->GetFtpSettings();
  *out = std::move(store);
  return true;
}

bool MakeRestoreTarget(std::string_view nodePath, bool isFolder, std::string_view storeFolder,
                       std::string_view chosenFolder, std::string* target,
                       std::string* targetFolder) {
  // 1. The part below the store folder (the store folder itself gives "").
  std::string_view rest;
  if (nodePath.substr(0, storeFolder.size()) == storeFolder) {
    rest = nodePath.substr(storeFolder.size());
  } else if (!storeFolder.empty() && IsSeparator(storeFolder.back()) &&
             nodePath == storeFolder.substr(0, storeFolder.size() - 1)) {
    rest = {};
  } else {
    return false;
  }
  // 2. Without the tree's folder name; only a whole name counts.
  bool revision = false;
  auto dropTree = [&rest](std::string_view tree) {
    if (rest.substr(0, tree.size()) != tree) return false;
    if (rest.size() > tree.size() && !IsSeparator(rest[tree.size()])) return false;
    rest.remove_prefix(tree.size());
    return true;
  };
  if (!dropTree(kLatest)) revision = dropTree(kRevision);
  std::string part(rest);
  for (char& c : part)
    if (c == '/') c = '\\';

  std::string result;
  if (chosenFolder.empty()) {
    // 3. Original location: "\X\a\b" -> "X:\a\b".
    if (part.size() < 2) return false;
    if (part[0] == '\\') part.erase(0, 1);
    if (part.empty() || !IsAsciiLetter(part[0])) return false;
    if (part.size() > 1 && part[1] != '\\') return false;  // a folder name, not a drive
    result = part.substr(0, 1) + ":" + part.substr(1);
  } else {
    // 4. Below the chosen folder.
    result = std::string(chosenFolder);
    while (result.size() > 1 && IsSeparator(result.back())) result.pop_back();
    if (!part.empty() && part[0] != '\\') result += '\\';
    result += part;
  }
  // 6. A revision file comes back under its plain name.
  if (revision && !isFolder) {
    const size_t cut = result.rfind('\\') + 1;  // npos + 1 == 0
    result = result.substr(0, cut) + WithoutRevisionSuffix(result.substr(cut));
  }
  // 5. The folder to create.
  if (isFolder) {
    *targetFolder = result;
  } else {
    const size_t last = result.rfind('\\');
    *targetFolder = last == std::string::npos ? std::string() : result.substr(0, last);
  }
  *target = std::move(result);
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
  if (Start(/*lowestPriority=*/true) != 0) {
    std::lock_guard<std::mutex> guard(lock_);
    started_ = false;
    return 1;
  }
  return 0;
}

void CRestoreThread::Stop() { stop_.exchange(1); }

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
  Work();
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
                                 RestoreStore store, std::string targetFolder, bool restoreAll)
    : CRestoreThread(observer, std::move(root), std::move(store)),
      targetFolder_(std::move(targetFolder)),
      restoreAll_(restoreAll) {}

CRestoreCarrier::~CRestoreCarrier() { StopAndJoin(); }

bool CRestoreCarrier::OriginalLocationIsValid(const CDirNode* root) const {
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
  if (latest == nullptr) return false;
  // Every one-letter folder below "Latest" stands for a source drive that
  // must exist here. Other names (copies of network paths) cannot go back
  // to an original place; the per-node rule skips them.
  for (const auto& child : latest->children) {
    if (!child->isFolder || child->name.size() != 1 || !IsAsciiLetter(child->name[0])) continue;
    const char letter = static_cast<char>(child->name[0] & ~0x20);  // upper case
    const plat::DriveType type = plat::VolumeTable::Instance().GetDriveType(letter);
    if (type == plat::DriveType::kUnknown || type == plat::DriveType::kNoRootDir) return false;
  }
  return true;
}

void CRestoreCarrier::Work() {
  const std::shared_ptr<CDirNode> root = Root();
  if (!root) return;
  IRestoreObserver* observer = Observer();
  if (targetFolder_.empty() && !OriginalLocationIsValid(root.get())) {
    const std::string text = FailureText("MSG_ORIGINAL_FILE_IS_INVALID", "");
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
    if (observer != nullptr) observer->OnRestoreFailed();
    return;
  }

  totalBytes_ = restoreAll_ ? root->size : SelectedSize(root.get());
  doneBytes_ = 0;
  progress_ = RestoreProgress{};
  progress_.bytesPerSecond = access->InitialSpeed();
  startTick_ = plat::GetTickCount64();

  WalkTree(root.get(), [&](CDirNode* node) {
    if (StopRequested()) return false;
    if (node->hidden || (!restoreAll_ && node->checkState != kCheckAll)) return true;
    std::string target, folder;
    if (!MakeRestoreTarget(node->path, node->isFolder, Store().folder, targetFolder_, &target,
                           &folder))
      return true;
    // Below a chosen folder no link is followed: one planted there must not
    // send restored files elsewhere. The original places are the user's own.
    if (folder.size() > 3) plat::CreateDirectories(folder, targetFolder_, false);
    if (node->isFolder) return true;

    const uint64_t elapsed = plat::GetTickCount64() - startTick_;
    // The guess stands until a file has been copied and can be measured.
    if (elapsed != 0 && doneBytes_ != 0) progress_.bytesPerSecond = doneBytes_ * 1000 / elapsed;
    if (progress_.bytesPerSecond != 0)
      progress_.remainingSeconds =
          (totalBytes_ - std::min(doneBytes_, totalBytes_)) / progress_.bytesPerSecond + 1;
    if (totalBytes_ != 0)
      progress_.percent =
          static_cast<uint32_t>(std::min<uint64_t>(doneBytes_ * 100 / totalBytes_, 100));
    progress_.currentName = node->name;
    if (observer != nullptr) observer->OnFileProgress(progress_);

    if (access->Fetch(node->path, target, targetFolder_) != 0) {
      failed_.fetch_add(1);
      Trace(FailureText(access->FetchFailureKey(), node->path));
      if (access->FetchFailureFailsRestore()) {
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
