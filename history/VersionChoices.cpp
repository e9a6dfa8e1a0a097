// Choosing what to bring back: ticking folders and versions, taking the
// choices a tree holds, walking the ticked folders not listed yet, and the
// chosen store files as the carrier's selection.
#include "history/VersionTree.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "history/RestoreJobs.h"
#include "history/StoreAccess.h"
#include "history/VersionStorePaths.h"

using version_tree::HasVersion;
using version_tree::kLatest;
using version_tree::StoreChild;
using version_tree::StoreDepth;

namespace {

// What a listed folder holds, as one number: the names of its folders and
// its files with their newest versions' sizes and times. 0 for an empty one.
uint64_t ListingDigest(const CVersionFolder& f) {
  if (f.folders.empty() && f.files.empty()) return 0;
  std::string all;
  for (const auto& sub : f.folders) all += sub->name + '/';
  for (const VersionFile& file : f.files) {
    all += file.name + '\0';
    if (!file.versions.empty())
      all += std::to_string(file.versions[0].size) + ':' + std::to_string(file.versions[0].time);
    all += '\0';
  }
  return std::hash<std::string>{}(all) | 1;
}

// The digests of a folder's parents in a walk, nearest first.
struct ParentDigests {
  uint64_t digest = 0;
  std::shared_ptr<const ParentDigests> up;
};

void UpdateUp(CVersionFolder* folder) {
  for (CVersionFolder* f = folder; f != nullptr; f = f->parent) {
    bool all = f->listed && (!f->folders.empty() || !f->files.empty());
    for (const auto& sub : f->folders) all = all && sub->ticked;
    for (const VersionFile& file : f->files) all = all && file.chosen == 0;
    f->ticked = all;
  }
}

// Pre-order list of a folder and its listed folders, without recursion.
std::vector<CVersionFolder*> Folders(CVersionFolder* top) {
  std::vector<CVersionFolder*> order, stack{top};
  while (!stack.empty()) {
    CVersionFolder* f = stack.back();
    stack.pop_back();
    order.push_back(f);
    for (auto it = f->folders.rbegin(); it != f->folders.rend(); ++it) stack.push_back(it->get());
  }
  return order;
}

}  // namespace

void TickFolder(CVersionFolder* folder, bool on) {
  for (CVersionFolder* f : Folders(folder)) {
    f->ticked = on;
    for (VersionFile& file : f->files) file.chosen = on && HasVersion(file) ? 0 : -1;
  }
  UpdateUp(folder->parent);
}

void ChooseVersion(CVersionFolder* folder, VersionFile* file, int version) {
  file->chosen = version >= 0 && version < static_cast<int>(file->versions.size()) ? version : -1;
  UpdateUp(folder);
}

int32_t FileCheck(const VersionFile& file) {
  if (file.chosen < 0) return kCheckNone;
  return file.chosen == 0 ? kCheckAll : kCheckPartial;
}

int32_t FolderCheck(const CVersionFolder* folder) {
  if (folder->ticked) return kCheckAll;
  for (const CVersionFolder* f : Folders(const_cast<CVersionFolder*>(folder))) {
    if (f->ticked) return kCheckPartial;
    for (const VersionFile& file : f->files)
      if (file.chosen >= 0) return kCheckPartial;
  }
  return kCheckNone;
}

PendingChoices TakeChoices(CVersionFolder* root) {
  PendingChoices out;
  std::vector<std::pair<CVersionFolder*, bool>> stack{{root, root->ticked}};
  while (!stack.empty()) {
    auto [f, all] = stack.back();
    stack.pop_back();
    if (all && !f->listed) {
      auto copy = std::make_unique<CVersionFolder>();
      copy->name = f->name;
      copy->latestPath = f->latestPath;
      copy->revisionPath = f->revisionPath;
      copy->sourcePath = f->sourcePath;
      copy->storeRoot = f->storeRoot;
      copy->ticked = true;
      out.unlisted.push_back(std::move(copy));
      continue;
    }
    for (const VersionFile& file : f->files) {
      const int v = all ? (HasVersion(file) ? 0 : -1) : file.chosen;
      if (v >= 0)
        out.choices.push_back(RestoreChoice{file.versions[v], file.name, f->sourcePath, {}});
    }
    for (auto it = f->folders.rbegin(); it != f->folders.rend(); ++it)
      stack.push_back({it->get(), all || (*it)->ticked});
  }
  return out;
}

int VersionAt(const VersionFile& file, int64_t when) {
  int best = -1;
  for (size_t v = 0; v < file.versions.size(); ++v) {
    const int64_t t = file.versions[v].time;
    if (t <= when && (best < 0 || t > file.versions[best].time)) best = static_cast<int>(v);
  }
  return best;
}

PendingChoices ChoicesAt(const CVersionFolder& folder, int64_t when) {
  PendingChoices out;
  auto copy = std::make_unique<CVersionFolder>();
  copy->name = folder.name;
  copy->latestPath = folder.latestPath;
  copy->revisionPath = folder.revisionPath;
  copy->sourcePath = folder.sourcePath;
  copy->storeRoot = folder.storeRoot;
  copy->ticked = true;
  out.unlisted.push_back(std::move(copy));
  out.byTime = true;
  out.asOf = when;
  return out;
}

WalkEnd FinishChoices(StoreAccess& access, const RestoreStore& store, PendingChoices* pending,
                      const std::atomic<int32_t>* stop, const WalkLimits& limits,
                      const std::function<void(const WalkProgress&)>& progress,
                      std::string* loopedAt) {
  WalkProgress done;
  done.files = pending->choices.size();
  // Depth first, each folder dropped once its files are taken, so a big
  // store never stands in memory whole.
  std::vector<std::pair<std::unique_ptr<CVersionFolder>, std::shared_ptr<const ParentDigests>>>
      stack;
  for (auto it = pending->unlisted.rbegin(); it != pending->unlisted.rend(); ++it)
    stack.emplace_back(std::move(*it), nullptr);
  pending->unlisted.clear();
  while (!stack.empty()) {
    if (stop != nullptr && stop->load() != 0) return WalkEnd::kStopped;
    std::unique_ptr<CVersionFolder> f = std::move(stack.back().first);
    const std::shared_ptr<const ParentDigests> parents = std::move(stack.back().second);
    stack.pop_back();
    if (StoreDepth(*f, store) > limits.maxDepth) return WalkEnd::kTooDeep;
    if (done.folders >= limits.maxFolders) return WalkEnd::kTooMany;
    ListVersionSizes(access, store.separator, f.get());  // its newest versions, sized
    ++done.folders;
    // A folder that holds just what one of its parents holds is that parent
    // again (a link on the server): walked on, it would nest without end.
    auto here = std::make_shared<ParentDigests>(ParentDigests{ListingDigest(*f), parents});
    for (const ParentDigests* p = parents.get(); here->digest != 0 && p != nullptr; p = p->up.get())
      if (p->digest == here->digest) {
        if (loopedAt != nullptr)
          *loopedAt = f->latestPath.empty() ? f->revisionPath : f->latestPath;
        return WalkEnd::kLoops;
      }
    for (VersionFile& file : f->files) {
      if (!HasVersion(file)) continue;
      const int v = pending->byTime ? VersionAt(file, pending->asOf) : 0;
      if (v < 0) {
        ++pending->leftOut;
        continue;
      }
      pending->choices.push_back(
          RestoreChoice{std::move(file.versions[v]), file.name, f->sourcePath, {}});
    }
    done.files = pending->choices.size();
    for (auto it = f->folders.rbegin(); it != f->folders.rend(); ++it) {
      (*it)->parent = nullptr;
      stack.emplace_back(std::move(*it), here);
    }
    if (progress) progress(done);
  }
  // Sizes and times a listing left out or gave roughly: the size for the
  // progress, the time to tell a newer file in place.
  for (RestoreChoice& c : pending->choices) {
    if (stop != nullptr && stop->load() != 0) return WalkEnd::kStopped;
    if (c.version.sized && c.version.exact) continue;
    plat::FindData info;
    if (!access.Info(c.version.storePath, &info)) continue;  // the fetch says why
    c.version.size = info.size;
    c.version.time = info.writeTime;
    c.version.sized = c.version.exact = true;
  }
  return WalkEnd::kDone;
}

bool ChoicesKnown(const PendingChoices& pending) {
  if (!pending.unlisted.empty()) return false;
  return std::all_of(pending.choices.begin(), pending.choices.end(),
                     [](const RestoreChoice& c) { return c.version.sized && c.version.exact; });
}

std::vector<RestoreChoice> CollectChoices(StoreAccess& access, char sep, CVersionFolder* root) {
  PendingChoices pending = TakeChoices(root);
  RestoreStore store;
  store.separator = sep;
  FinishChoices(access, store, &pending, nullptr, WalkLimits{INT32_MAX, UINT64_MAX}, {});
  return std::move(pending.choices);
}

std::shared_ptr<CDirNode> BuildSelection(const RestoreStore& store,
                                         const std::vector<RestoreChoice>& choices) {
  auto root = std::make_shared<CDirNode>();
  root->name = store.folder;
  root->path = store.folder;
  root->isFolder = true;
  root->checkState = kCheckPartial;
  std::map<std::string, CDirNode*> made;  // store path -> its folder node
  auto folderAt = [&](CDirNode* parent, const std::string& name) {
    const std::string path = StoreChild(parent->path, name, store.separator);
    auto it = made.find(path);
    if (it != made.end()) return it->second;
    auto node = std::make_unique<CDirNode>();
    node->name = name;
    node->path = path;
    node->isFolder = true;
    node->checkState = kCheckPartial;
    return made[path] = parent->AddChild(std::move(node));
  };
  CDirNode* latest = folderAt(root.get(), kLatest);
  for (const RestoreChoice& c : choices) {
    const std::string& path = c.version.storePath;
    if (path.compare(0, store.folder.size(), store.folder) != 0) continue;
    if (c.sourceFolder.size() >= 2 && c.sourceFolder[1] == ':')
      folderAt(latest, c.sourceFolder.substr(0, 1));
    CDirNode* parent = root.get();
    size_t start = store.folder.size();
    for (size_t sepAt; (sepAt = path.find(store.separator, start)) != std::string::npos;
         start = sepAt + 1)
      parent = folderAt(parent, path.substr(start, sepAt - start));
    auto file = std::make_unique<CDirNode>();
    file->name = path.substr(start);
    file->path = path;
    file->size = c.version.size;
    file->fileCount = 1;
    file->time = ToNodeTime(c.version.time);
    file->checkState = kCheckAll;
    file->restoreName = c.restoreName;
    parent->AddChild(std::move(file));
  }
  ComputeTotals(root.get());
  return root;
}