#include "history/VersionTree.h"

#include <algorithm>
#include <map>
#include <utility>

#include "destinations/Destination.h"
#include "history/RestoreJobs.h"
#include "history/StoreAccess.h"
#include "history/VersionStorePaths.h"
#include "platform/volumes/Paths.h"

namespace version_tree {

std::string StoreChild(const std::string& parent, std::string_view name, char sep) {
  std::string path;
  path.reserve(parent.size() + 1 + name.size());
  path = parent;
  if (!path.empty() && path.back() != '\\' && path.back() != '/') path += sep;
  path += name;
  return path;
}

bool HasVersion(const VersionFile& f) { return !f.versions.empty(); }

// How many folders below the store folder a folder lies.
int StoreDepth(const CVersionFolder& f, const RestoreStore& store) {
  const std::string& path = f.latestPath.empty() ? f.revisionPath : f.latestPath;
  int depth = 0;
  for (size_t i = std::min(store.folder.size(), path.size()); i < path.size(); ++i)
    depth += path[i] == store.separator ? 1 : 0;
  return depth;
}

}  // namespace version_tree

using version_tree::HasVersion;
using version_tree::kLatest;
using version_tree::kRevision;
using version_tree::StoreChild;
using version_tree::StoreDepth;

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

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
    v.sized = v.exact = true;
    return false;
  };
  file->versions.erase(std::remove_if(file->versions.begin(), file->versions.end(), gone),
                       file->versions.end());
  return HasVersion(*file);
}

}  // namespace

namespace {

// A revision's name split: the number's "(" and ")" and the number.
bool SplitRevisionName(std::string_view name, size_t* openAt, size_t* closeAt, int64_t* number) {
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
  *openAt = open;
  *closeAt = close;
  *number = n;
  return true;
}

// Appends the name's natural sort key: bytes whose plain byte order is the
// natural order. Letters are folded to lower case; a run of digits becomes
// '0' (it sorts among the other characters as any digit would), its length
// without leading zeros in two bytes (names are far shorter than 65,536
// bytes) and those digits. Sorting compares keys made once instead of
// names character by character; names with equal keys go by their bytes.
void AppendNaturalKey(std::string_view name, std::string* key) {
  // At most four bytes for each byte of the name (a one-digit run).
  const size_t at = key->size();
  key->resize(at + 4 * name.size());
  char* out = key->data() + at;
  for (size_t i = 0; i < name.size();) {
    if (!IsDigit(name[i])) {
      *out++ = Fold(name[i++]);
      continue;
    }
    size_t end = i;
    while (end < name.size() && IsDigit(name[end])) ++end;
    while (i + 1 < end && name[i] == '0') ++i;
    const size_t length = end - i;
    *out++ = '0';
    *out++ = static_cast<char>((length >> 8) & 0xFF);
    *out++ = static_cast<char>(length & 0xFF);
    while (i < end) *out++ = name[i++];
  }
  key->resize(static_cast<size_t>(out - key->data()));
}

}  // namespace

bool ParseRevisionName(std::string_view name, std::string* fileName, int64_t* number) {
  size_t open = 0, close = 0;
  if (!SplitRevisionName(name, &open, &close, number)) return false;
  fileName->assign(name.substr(0, open));
  fileName->append(name.substr(close + 1));
  return true;
}

bool NaturalLess(std::string_view a, std::string_view b) {
  std::string keyA, keyB;
  AppendNaturalKey(a, &keyA);
  AppendNaturalKey(b, &keyB);
  if (const int c = keyA.compare(keyB); c != 0) return c < 0;
  return a < b;
}

namespace {

// How a folder is listed: every size and time; "Revision" by names where
// sizes cost the server a look per entry (the window's listing); names
// wherever they are cheaper (a search). Left-out sizes and times leave
// FileVersion::sized false.
enum class ListMode { kSized, kCheapRevisions, kNames };

bool ListFolder(StoreAccess& access, char sep, CVersionFolder* folder, ListMode mode) {
  if (folder->listed) return true;
  // Both store folders' entries first, then one sort in the order shown
  // brings each name's entries together: no lookup per entry, and the names
  // of all entries share one buffer.
  struct Entry {
    uint32_t nameAt, nameSize;  // its own name (a revision's without its number) in names
    uint32_t diskAt, diskSize;  // its name in the store folder, in names
    uint32_t keyAt, keySize;    // its own name's natural sort key, in names
    bool isFolder, current, sized, exact;
    int64_t number;  // a revision's, 0 for the current copy
    uint64_t size;
    int64_t time;
  };
  std::vector<Entry> entries;
  std::string names, revisionName;
  std::vector<std::string> latestFolders;  // sorted: tells a bare name's kind
  entries.reserve(128);
  names.reserve(4096);
  bool listed = false;
  for (const bool latest : {true, false}) {
    const std::string& path = latest ? folder->latestPath : folder->revisionPath;
    if (path.empty()) continue;
    bool brief = false, bare = false, unresolved = false;
    auto each = [&](const plat::FindData& e) {
      if (IsTemporaryCopyName(e.name)) return true;
      Entry entry{};
      entry.isFolder = (e.attributes & plat::kAttrDirectory) != 0;
      if (bare) {
        // "Revision" holds revisions and the folders "Latest" holds: a name
        // of a folder in "Latest" is a folder, another name a revision. A
        // name that is neither has the folder listed with its kinds.
        size_t open = 0, close = 0;
        int64_t number = 0;
        entry.isFolder = std::binary_search(latestFolders.begin(), latestFolders.end(), e.name);
        if (!entry.isFolder && !SplitRevisionName(e.name, &open, &close, &number)) {
          unresolved = true;
          return false;
        }
      } else if (latest && entry.isFolder && mode == ListMode::kCheapRevisions) {
        latestFolders.push_back(e.name);
      }
      entry.current = latest;
      entry.sized = !brief && !bare;
      entry.exact = entry.sized && access.ExactTimes();
      entry.size = e.size;
      entry.time = e.writeTime;
      entry.diskAt = static_cast<uint32_t>(names.size());
      entry.diskSize = static_cast<uint32_t>(e.name.size());
      names += e.name;
      std::string_view own = e.name;
      size_t open = 0, close = 0;
      if (!entry.isFolder && !latest && SplitRevisionName(e.name, &open, &close, &entry.number)) {
        revisionName.assign(e.name, 0, open);
        revisionName.append(e.name, close + 1);
        own = revisionName;
        entry.nameAt = static_cast<uint32_t>(names.size());
        names += own;
      } else {
        entry.nameAt = entry.diskAt;
      }
      entry.nameSize = static_cast<uint32_t>(own.size());
      entry.keyAt = static_cast<uint32_t>(names.size());
      AppendNaturalKey(own, &names);
      entry.keySize = static_cast<uint32_t>(names.size() - entry.keyAt);
      entries.push_back(entry);
      return true;
    };
    if (mode == ListMode::kNames) {
      listed |= access.ListNames(path, each, &brief);
    } else if (mode == ListMode::kCheapRevisions && !latest) {
      std::sort(latestFolders.begin(), latestFolders.end());
      const size_t entriesBefore = entries.size(), namesBefore = names.size();
      const bool revisions = access.ListRevisions(path, each, &bare);
      if (unresolved) {
        entries.resize(entriesBefore);
        names.resize(namesBefore);
        bare = false;
        listed |= access.ListSized(path, each);
      } else {
        listed |= revisions;
      }
    } else {
      listed |= access.ListSized(path, each);
    }
  }
  if (!listed) return false;
  const char* text = names.data();
  auto name = [text](const Entry& e) { return std::string_view(text + e.nameAt, e.nameSize); };
  auto disk = [text](const Entry& e) { return std::string_view(text + e.diskAt, e.diskSize); };
  auto key = [text](const Entry& e) { return std::string_view(text + e.keyAt, e.keySize); };
  // Folders before files, then by name in natural order; a file's versions
  // newest first.
  std::sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
    if (a.isFolder != b.isFolder) return a.isFolder;
    if (const int c = key(a).compare(key(b)); c != 0) return c < 0;
    if (const int c = name(a).compare(name(b)); c != 0) return c < 0;
    if (a.current != b.current) return a.current;
    return a.number > b.number;
  });
  auto storePath = [&](const Entry& e) {
    return StoreChild(e.current ? folder->latestPath : folder->revisionPath, disk(e), sep);
  };
  // Where each name's entries begin, and how many folders and files.
  std::vector<uint32_t> starts;
  starts.reserve(entries.size() + 1);
  size_t folderCount = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i > 0 && entries[i].isFolder == entries[i - 1].isFolder &&
        name(entries[i]) == name(entries[i - 1]))
      continue;
    starts.push_back(static_cast<uint32_t>(i));
    folderCount += entries[i].isFolder ? 1 : 0;
  }
  folder->folders.reserve(folderCount);
  folder->files.reserve(starts.size() - folderCount);
  starts.push_back(static_cast<uint32_t>(entries.size()));
  for (size_t g = 0; g + 1 < starts.size(); ++g) {
    const size_t i = starts[g], end = starts[g + 1];
    const Entry& first = entries[i];
    if (first.isFolder) {
      auto child = std::make_unique<CVersionFolder>();
      child->parent = folder;
      child->name = name(first);
      child->sourcePath = SourceChild(folder, child->name);
      child->ticked = folder->ticked;
      for (size_t k = i; k < end; ++k)
        (entries[k].current ? child->latestPath : child->revisionPath) = storePath(entries[k]);
      folder->folders.push_back(std::move(child));
    } else {
      VersionFile& file = folder->files.emplace_back();
      file.name = name(first);
      file.versions.reserve(end - i);
      for (size_t k = i; k < end; ++k) {
        const Entry& e = entries[k];
        file.versions.push_back(
            FileVersion{storePath(e), e.current, e.number, e.size, e.time, e.sized, e.exact});
      }
      if (folder->ticked && HasVersion(file)) file.chosen = 0;
    }
  }
  folder->listed = true;
  return true;
}

}  // namespace

bool ListVersionFolder(StoreAccess& access, char sep, CVersionFolder* folder) {
  return ListFolder(access, sep, folder, ListMode::kCheapRevisions);
}

bool ListVersionSizes(StoreAccess& access, char sep, CVersionFolder* folder) {
  return ListFolder(access, sep, folder, ListMode::kSized);
}

bool ListVersionNames(StoreAccess& access, char sep, CVersionFolder* folder) {
  return ListFolder(access, sep, folder, ListMode::kNames);
}

void AdoptSizes(CVersionFolder* folder, CVersionFolder* listed) {
  if (listed == nullptr) return;
  std::map<std::string_view, const FileVersion*> known;
  for (const VersionFile& file : listed->files)
    for (const FileVersion& v : file.versions)
      if (v.sized) known.emplace(v.storePath, &v);
  for (VersionFile& file : folder->files) {
    for (FileVersion& v : file.versions) {
      if (v.sized) continue;
      const auto it = known.find(v.storePath);
      if (it == known.end()) continue;
      v.size = it->second->size;
      v.time = it->second->time;
      v.sized = true;
      v.exact = it->second->exact;
    }
  }
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

std::unique_ptr<CVersionFolder> ListProtectedFolders(StoreAccess& access, const RestoreStore& store,
                                                     const std::atomic<int32_t>* stop,
                                                     const WalkLimits& limits) {
  auto stopped = [stop] { return stop != nullptr && stop->load() != 0; };
  auto root = std::make_unique<CVersionFolder>();
  root->storeRoot = true;
  root->latestPath = StoreChild(store.folder, kLatest, store.separator);
  root->revisionPath = StoreChild(store.folder, kRevision, store.separator);
  if (!ListVersionFolder(access, store.separator, root.get())) return nullptr;
  // A folder that holds one folder and nothing else is only the way to it:
  // the protected folder shown is the deepest such one (within the limit).
  for (auto& top : root->folders) {
    if (stopped()) return nullptr;
    ListVersionFolder(access, store.separator, top.get());
    while (top->listed && top->folders.size() == 1 && top->files.empty() && !stopped() &&
           StoreDepth(*top->folders.front(), store) <= limits.maxDepth) {
      std::unique_ptr<CVersionFolder> only = std::move(top->folders.front());
      only->parent = root.get();
      top = std::move(only);
      ListVersionFolder(access, store.separator, top.get());
    }
    for (auto& child : top->folders) child->parent = top.get();
    if (!top->sourcePath.empty()) top->name = Readable(top->sourcePath);
  }
  if (stopped()) return nullptr;
  std::sort(root->folders.begin(), root->folders.end(),
            [](const auto& a, const auto& b) { return NaturalLess(a->name, b->name); });
  return root;
}

std::unique_ptr<CVersionFolder> SearchVersions(StoreAccess& access, const RestoreStore& store,
                                               std::string_view pattern,
                                               const std::atomic<int32_t>* stop,
                                               const WalkLimits& limits) {
  auto stopped = [stop] { return stop != nullptr && stop->load() != 0; };
  std::unique_ptr<CVersionFolder> root = ListProtectedFolders(access, store, stop, limits);
  if (!root) return nullptr;
  // Every folder listed within the limits, parents before children.
  std::vector<CVersionFolder*> order, stack{root.get()};
  uint64_t listed = 0;
  while (!stack.empty()) {
    if (stopped()) return nullptr;
    CVersionFolder* f = stack.back();
    stack.pop_back();
    order.push_back(f);
    if (!f->listed && (++listed > limits.maxFolders || StoreDepth(*f, store) > limits.maxDepth))
      continue;
    ListVersionNames(access, store.separator, f);
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
