#include "history/VersionTree.h"

#include <algorithm>
#include <map>
#include <utility>

#include "destinations/Destination.h"
#include "history/RestoreJobs.h"
#include "history/StoreAccess.h"
#include "platform/Paths.h"

namespace {

constexpr char kLatest[] = "Latest";
constexpr char kRevision[] = "Revision";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

std::string StoreChild(const std::string& parent, std::string_view name, char sep) {
  std::string path = parent;
  if (!path.empty() && path.back() != '\\' && path.back() != '/') path += sep;
  path += name;
  return path;
}

// The original folder of a child: a drive below the store's tree folders,
// otherwise a name below the parent's original folder.
std::string SourceChild(const CVersionFolder* parent, const std::string& name) {
  if (parent->storeRoot)
    return name.size() == 1 && IsAsciiLetter(name[0]) ? name + ":\\" : std::string();
  if (parent->sourcePath.empty()) return {};
  return plat::PathAppend(parent->sourcePath, name);
}

std::string Readable(const std::string& systemPath) {
  std::string path = systemPath;
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  std::string native;
  return plat::ToNativePath(path, &native) ? native : path;
}

bool HasVersion(const VersionFile& f) { return !f.versions.empty(); }

void UpdateUp(CVersionFolder* folder) {
  for (CVersionFolder* f = folder; f != nullptr; f = f->parent) {
    bool all = f->listed && (!f->folders.empty() || !f->files.empty());
    for (const auto& sub : f->folders) all = all && sub->ticked;
    for (const VersionFile& file : f->files) all = all && file.chosen == 0;
    f->ticked = all;
  }
}

// Fetches the sizes and times a listing of names left out; a version gone
// since is dropped, as a listing would not have shown it. False when none
// is left.
bool CompleteVersions(StoreAccess& access, VersionFile* file) {
  auto gone = [&](FileVersion& v) {
    if (v.sized) return false;
    plat::FindData info;
    if (!access.Info(v.storePath, &info)) return true;
    v.size = info.size;
    v.time = info.writeTime;
    v.sized = true;
    return false;
  };
  file->versions.erase(std::remove_if(file->versions.begin(), file->versions.end(), gone),
                       file->versions.end());
  return HasVersion(*file);
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

bool ParseRevisionName(std::string_view name, std::string* fileName, int64_t* number) {
  // As the store writes them: "(" the number in at least four digits (more
  // only when it needs them) ")", ending the name or just before its last '.'.
  const size_t close = name.rfind(')');
  if (close == std::string_view::npos) return false;
  if (close + 1 != name.size() && (name[close + 1] != '.' || name.rfind('.') != close + 1))
    return false;
  const size_t open = name.rfind('(', close);
  if (open == std::string_view::npos) return false;
  const size_t digits = close - open - 1;
  if (digits < 4 || digits > 18 || (digits > 4 && name[open + 1] == '0')) return false;
  int64_t n = 0;
  for (size_t i = open + 1; i < close; ++i) {
    if (!IsDigit(name[i])) return false;
    n = n * 10 + (name[i] - '0');
  }
  if (n <= 0) return false;
  *fileName = std::string(name.substr(0, open)) + std::string(name.substr(close + 1));
  *number = n;
  return true;
}

bool NaturalLess(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      size_t ei = i, ej = j;
      while (ei < a.size() && IsDigit(a[ei])) ++ei;
      while (ej < b.size() && IsDigit(b[ej])) ++ej;
      size_t si = i, sj = j;
      while (si + 1 < ei && a[si] == '0') ++si;
      while (sj + 1 < ej && b[sj] == '0') ++sj;
      if (ei - si != ej - sj) return ei - si < ej - sj;
      const int c = a.substr(si, ei - si).compare(b.substr(sj, ej - sj));
      if (c != 0) return c < 0;
      i = ei;
      j = ej;
      continue;
    }
    const char ca = Fold(a[i]), cb = Fold(b[j]);
    if (ca != cb) return static_cast<unsigned char>(ca) < static_cast<unsigned char>(cb);
    ++i;
    ++j;
  }
  if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
  return a < b;
}

namespace {

// namesOnly: sizes and times may be left out (FileVersion::sized false).
bool ListFolder(StoreAccess& access, char sep, CVersionFolder* folder, bool namesOnly) {
  if (folder->listed) return true;
  // Both store folders' entries first, then one sort brings each name's
  // entries together: no lookup per entry.
  struct Entry {
    std::string name;  // the folder's or file's own name (a revision's without its number)
    bool isFolder = false;
    FileVersion version;
  };
  std::vector<Entry> entries;
  bool listed = false;
  for (const bool latest : {true, false}) {
    const std::string& path = latest ? folder->latestPath : folder->revisionPath;
    if (path.empty()) continue;
    bool brief = false;
    auto each = [&](const plat::FindData& e) {
      if (IsTemporaryCopyName(e.name)) return true;
      Entry& entry = entries.emplace_back();
      entry.isFolder = (e.attributes & plat::kAttrDirectory) != 0;
      entry.version =
          FileVersion{StoreChild(path, e.name, sep), latest, 0, e.size, e.writeTime, !brief};
      if (entry.isFolder || latest ||
          !ParseRevisionName(e.name, &entry.name, &entry.version.number))
        entry.name = e.name;
      return true;
    };
    listed |= namesOnly ? access.ListNames(path, each, &brief) : access.List(path, each);
  }
  if (!listed) return false;
  // Folders before files, then by name; a file's versions newest first.
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.isFolder != b.isFolder) return a.isFolder;
    if (const int c = a.name.compare(b.name); c != 0) return c < 0;
    if (a.version.current != b.version.current) return a.version.current;
    return a.version.number > b.version.number;
  });
  for (size_t i = 0; i < entries.size();) {
    Entry& first = entries[i];
    size_t end = i + 1;
    while (end < entries.size() && entries[end].isFolder == first.isFolder &&
           entries[end].name == first.name)
      ++end;
    if (first.isFolder) {
      auto child = std::make_unique<CVersionFolder>();
      child->parent = folder;
      child->sourcePath = SourceChild(folder, first.name);
      child->ticked = folder->ticked;
      for (size_t k = i; k < end; ++k)
        (entries[k].version.current ? child->latestPath : child->revisionPath) =
            std::move(entries[k].version.storePath);
      child->name = std::move(first.name);
      folder->folders.push_back(std::move(child));
    } else {
      VersionFile& file = folder->files.emplace_back();
      file.versions.reserve(end - i);
      for (size_t k = i; k < end; ++k) file.versions.push_back(std::move(entries[k].version));
      file.name = std::move(first.name);
      if (folder->ticked && HasVersion(file)) file.chosen = 0;
    }
    i = end;
  }
  std::sort(folder->folders.begin(), folder->folders.end(),
            [](const auto& a, const auto& b) { return NaturalLess(a->name, b->name); });
  std::sort(folder->files.begin(), folder->files.end(),
            [](const VersionFile& a, const VersionFile& b) { return NaturalLess(a.name, b.name); });
  folder->listed = true;
  return true;
}

}  // namespace

bool ListVersionFolder(StoreAccess& access, char sep, CVersionFolder* folder) {
  return ListFolder(access, sep, folder, false);
}

void AdoptListing(CVersionFolder* folder, CVersionFolder* listed) {
  if (folder->listed || listed == nullptr || !listed->listed) return;
  folder->folders = std::move(listed->folders);
  folder->files = std::move(listed->files);
  for (auto& sub : folder->folders) {
    sub->parent = folder;
    sub->ticked = folder->ticked;
  }
  for (VersionFile& file : folder->files) file.chosen = folder->ticked && HasVersion(file) ? 0 : -1;
  folder->listed = true;
}

std::unique_ptr<CVersionFolder> ListProtectedFolders(StoreAccess& access,
                                                     const RestoreStore& store) {
  auto root = std::make_unique<CVersionFolder>();
  root->storeRoot = true;
  root->latestPath = StoreChild(store.folder, kLatest, store.separator);
  root->revisionPath = StoreChild(store.folder, kRevision, store.separator);
  if (!ListVersionFolder(access, store.separator, root.get())) return nullptr;
  // A folder that holds one folder and nothing else is only the way to it:
  // the protected folder shown is the deepest such one.
  for (auto& top : root->folders) {
    ListVersionFolder(access, store.separator, top.get());
    while (top->listed && top->folders.size() == 1 && top->files.empty()) {
      std::unique_ptr<CVersionFolder> only = std::move(top->folders.front());
      only->parent = root.get();
      top = std::move(only);
      ListVersionFolder(access, store.separator, top.get());
    }
    for (auto& child : top->folders) child->parent = top.get();
    if (!top->sourcePath.empty()) top->name = Readable(top->sourcePath);
  }
  std::sort(root->folders.begin(), root->folders.end(),
            [](const auto& a, const auto& b) { return NaturalLess(a->name, b->name); });
  return root;
}

std::unique_ptr<CVersionFolder> SearchVersions(StoreAccess& access, const RestoreStore& store,
                                               std::string_view pattern,
                                               const std::atomic<int32_t>* stop) {
  auto stopped = [stop] { return stop != nullptr && stop->load() != 0; };
  std::unique_ptr<CVersionFolder> root = ListProtectedFolders(access, store);
  if (!root) return nullptr;
  // Every folder listed, parents before children.
  std::vector<CVersionFolder*> order, stack{root.get()};
  while (!stack.empty()) {
    if (stopped()) return nullptr;
    CVersionFolder* f = stack.back();
    stack.pop_back();
    ListFolder(access, store.separator, f, /*namesOnly=*/true);
    order.push_back(f);
    for (auto it = f->folders.rbegin(); it != f->folders.rend(); ++it) stack.push_back(it->get());
  }
  // Children before parents: a folder is kept when something below it is.
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    CVersionFolder* f = *it;
    f->files.erase(std::remove_if(f->files.begin(), f->files.end(),
                                  [&](VersionFile& file) {
                                    return !MatchSearchPattern(file.name, pattern) ||
                                           !CompleteVersions(access, &file);
                                  }),
                   f->files.end());
    f->folders.erase(
        std::remove_if(f->folders.begin(), f->folders.end(),
                       [](const auto& sub) { return sub->folders.empty() && sub->files.empty(); }),
        f->folders.end());
  }
  return stopped() ? nullptr : std::move(root);
}

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

std::vector<RestoreChoice> CollectChoices(StoreAccess& access, char sep, CVersionFolder* root) {
  std::vector<RestoreChoice> out;
  std::vector<std::pair<CVersionFolder*, bool>> stack{{root, root->ticked}};
  while (!stack.empty()) {
    auto [f, all] = stack.back();
    stack.pop_back();
    if (all) ListVersionFolder(access, sep, f);
    for (const VersionFile& file : f->files) {
      const int v = all ? (HasVersion(file) ? 0 : -1) : file.chosen;
      if (v >= 0) out.push_back(RestoreChoice{file.versions[v], file.name, f->sourcePath, {}});
    }
    for (auto it = f->folders.rbegin(); it != f->folders.rend(); ++it)
      stack.push_back({it->get(), all || (*it)->ticked});
  }
  return out;
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
