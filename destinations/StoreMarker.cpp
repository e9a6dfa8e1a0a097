#include "destinations/StoreMarker.h"

#include <algorithm>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/FolderEntries.h"
#include "platform/MountPoints.h"
#include "platform/Paths.h"

namespace {

// Length of the root of a system path including its closing "\": 3 for
// "C:\", up to the "\" after the share for "\\server\share\"; 0 when the path
// has no such root.
size_t RootLength(const std::string& path) {
  if (path.size() >= 3 && path[1] == ':' && path[2] == '\\') {
    char c = path[0];
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ? 3 : 0;
  }
  if (path.compare(0, 2, "\\\\") == 0) {
    size_t server = path.find('\\', 2);
    if (server == std::string::npos || server == 2) return 0;
    size_t share = path.find('\\', server + 1);
    if (share == std::string::npos || share == server + 1) return 0;
    return share + 1;
  }
  return 0;
}

std::string WithSeparator(std::string_view folder) {
  std::string f(folder);
  if (!f.empty() && f.back() != '\\') f += '\\';
  return f;
}

bool IsHex(std::string_view s) {
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

// The identifiers of the stores this process fills on servers.
struct ServerStores {
  std::mutex lock;  // guards ids
  std::vector<std::string> ids;
};

ServerStores& NotedServerStores() {
  static ServerStores* stores = new ServerStores;  // never destroyed: walks may outlive statics
  return *stores;
}

bool IsServerStore(const std::string& id) {
  ServerStores& stores = NotedServerStores();
  std::lock_guard<std::mutex> guard(stores.lock);
  return std::find(stores.ids.begin(), stores.ids.end(), id) != stores.ids.end();
}

bool AnyServerStore() {
  ServerStores& stores = NotedServerStores();
  std::lock_guard<std::mutex> guard(stores.lock);
  return !stores.ids.empty();
}

}  // namespace

// The identifier of a marker's text: "[Store]" first, then "Id=<32 hex>".
bool ParseStoreMarker(std::string_view text, std::string* id) {
  bool inStore = false, first = true;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (first) {
      inStore = line == "[Store]";
      first = false;
      if (!inStore) return false;
      continue;
    }
    if (line.rfind("Id=", 0) == 0 && line.size() == 35 && IsHex(line.substr(3))) {
      *id = std::string(line.substr(3));
      std::transform(id->begin(), id->end(), id->begin(),
                     [](char c) { return c >= 'A' && c <= 'F' ? char(c - 'A' + 'a') : c; });
      return true;
    }
  }
  return false;
}

void NoteServerStore(const std::string& id) {
  std::string lower;
  if (id.empty() || !ParseStoreMarker(StoreMarkerText(id), &lower)) return;
  ServerStores& stores = NotedServerStores();
  std::lock_guard<std::mutex> guard(stores.lock);
  if (std::find(stores.ids.begin(), stores.ids.end(), lower) == stores.ids.end())
    stores.ids.push_back(std::move(lower));
}

namespace {

bool HoldsMarker(std::string_view folderWithSeparator) {
  std::string id;
  if (ReadStoreMarker(folderWithSeparator, &id)) return true;
  // A server on this machine may keep its files private to the user it maps
  // the login to: while this process fills a server store, a marker it may
  // not read is taken for that store's, or the store would be copied into
  // itself without end.
  const std::string marker = WithSeparator(folderWithSeparator) + kStoreMarkerName;
  std::string text;
  return AnyServerStore() && plat::EntryExists(marker) &&
         !plat::ReadOwnFile(marker, &text, 4096, /*anyOwner=*/true) &&
         plat::GetLastError() == plat::kErrAccessDenied;
}

// Folders (with their closing "\") where IsInsideStore last found a marker.
// A hint only: each is looked at again before it answers, so a store deleted
// or moved meanwhile is never taken for one.
class KnownStores {
 public:
  // True when one of the hinted folders holds folder and still its marker.
  bool Hold(std::string_view folder) {
    std::vector<std::string> hints;
    {
      std::lock_guard<std::mutex> guard(lock_);
      for (const std::string& f : folders_) {
        if (folder.substr(0, f.size()) == f) hints.push_back(f);
      }
    }
    for (const std::string& f : hints) {
      if (HoldsMarker(f)) return true;
      Forget(f);
    }
    return false;
  }
  void Add(std::string_view folder) {
    constexpr size_t kMaxHints = 64;
    std::lock_guard<std::mutex> guard(lock_);
    for (const std::string& f : folders_) {
      if (f == folder) return;
    }
    if (folders_.size() >= kMaxHints) folders_.erase(folders_.begin());
    folders_.emplace_back(folder);
  }

 private:
  void Forget(const std::string& folder) {
    std::lock_guard<std::mutex> guard(lock_);
    folders_.erase(std::remove(folders_.begin(), folders_.end(), folder), folders_.end());
  }
  std::mutex lock_;  // guards folders_
  std::vector<std::string> folders_;
};

KnownStores& Known() {
  static KnownStores known;
  return known;
}

}  // namespace

bool ReadStoreMarker(std::string_view folder, std::string* id) {
  if (folder.empty()) return false;
  const std::string marker = WithSeparator(folder) + kStoreMarkerName;
  // Most folders hold none: a look first, the read only when there is one.
  if (!plat::EntryExists(marker)) return false;
  std::string text;
  if (plat::ReadOwnFile(marker, &text, 4096)) return ParseStoreMarker(text, id);
  // A server's marker, written under the user the server maps its login to.
  return plat::ReadOwnFile(marker, &text, 4096, /*anyOwner=*/true) && ParseStoreMarker(text, id) &&
         IsServerStore(*id);
}

bool WriteStoreMarker(std::string_view folder, const std::string& id) {
  const std::string marker = WithSeparator(folder) + kStoreMarkerName;
  // A link planted under its name is replaced, never written through. Hidden
  // is a name convention on some platforms, so the attribute may do nothing.
  if (!plat::WriteFileAtomic(marker, StoreMarkerText(id))) return false;
  plat::SetFileAttributes(marker, plat::kAttrHidden, folder);
  return true;
}

bool TakeOrMakeStoreMarker(std::string_view folder, std::string* id) {
  static std::mutex lock;  // serialises the look and the write
  std::lock_guard<std::mutex> g(lock);
  if (ReadStoreMarker(folder, id)) return true;
  *id = NewStoreId();
  return WriteStoreMarker(folder, *id);
}

std::string NewStoreId() {
  static std::mutex lock;  // guards engine
  static std::mt19937_64 engine{std::random_device{}() ^ (uint64_t(std::random_device{}()) << 32)};
  static const char kHex[] = "0123456789abcdef";
  std::lock_guard<std::mutex> g(lock);
  std::string id;
  for (int half = 0; half < 2; ++half) {
    uint64_t v = engine();
    for (int i = 0; i < 16; ++i, v >>= 4) id += kHex[v & 15];
  }
  return id;
}

std::string StoreMarkerText(const std::string& id) { return "[Store]\nId=" + id + "\n"; }

bool IsStoreFolder(std::string_view folder) { return !folder.empty() && HoldsMarker(folder); }

bool IsInsideStore(std::string_view filePath) {
  std::string folder = plat::PathFolder(plat::StripLongPathPrefix(filePath));
  size_t root = RootLength(folder);
  if (root == 0) return false;
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  // Most paths asked about lie in a store found before (a copy's own files).
  if (Known().Hold(folder)) return true;
  auto holds = [&](size_t end) {
    const std::string_view at = std::string_view(folder).substr(0, end);
    if (!HoldsMarker(at)) return false;
    Known().Add(at);
    return true;
  };
  if (holds(root)) return true;
  size_t begin = root;
  for (size_t cut = folder.find('\\', begin); cut != std::string::npos;
       cut = folder.find('\\', begin)) {
    bool emptyComponent = cut == begin;
    begin = cut + 1;
    if (!emptyComponent && holds(begin)) return true;
  }
  return false;
}

std::string FindStoreFolderBelow(const std::vector<std::string>& folders, const std::string& id,
                                 size_t maxFolders) {
  std::string wanted;
  if (!ParseStoreMarker(StoreMarkerText(id), &wanted)) return {};
  const plat::MountBarriers barriers;
  std::vector<std::string> next;
  for (const std::string& f : folders) next.push_back(WithSeparator(f));
  size_t looked = 0;
  while (!next.empty() && looked < maxFolders) {
    std::vector<std::string> now = std::move(next);
    next.clear();
    for (const std::string& folder : now) {
      if (looked++ >= maxFolders) break;
      if (barriers.Stops(folder)) continue;
      bool marked = false;
      std::vector<std::string> below;
      plat::ListFolderEntries(folder, false, [&](const plat::FolderEntry& e) {
        if (e.folder) {
          below.push_back(folder + std::string(e.name) + "\\");
        } else if (e.name == kStoreMarkerName) {
          marked = true;
        }
        return true;
      });
      if (marked) {
        std::string text, named;
        if (plat::ReadOwnFile(folder + kStoreMarkerName, &text, 4096, /*anyOwner=*/true) &&
            ParseStoreMarker(text, &named) && named == wanted)
          return folder.substr(0, folder.size() - 1);
        if (HoldsMarker(folder)) continue;  // another store: nothing of ours below
      }
      next.insert(next.end(), below.begin(), below.end());
    }
  }
  return {};
}
