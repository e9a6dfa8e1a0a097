#include "destinations/StoreMarker.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "common/EngineEvents.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "platform/base/Errors.h"
#include "platform/files/FileId.h"
#include "platform/files/Files.h"
#include "platform/files/FolderEntries.h"
#include "platform/volumes/MountPoints.h"
#include "platform/volumes/Paths.h"

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

// The identifiers of the stores this process fills on servers, the folders
// where those on this machine lie, and the folders whose foreign marker
// naming one of them was not obeyed.
struct Pin {
  std::string id;
  plat::FileId at;
  std::string folder;
};
struct ServerStores {
  std::mutex lock;  // guards every field
  std::vector<std::string> ids;
  std::vector<Pin> pinned;
  std::vector<std::string> told;
  std::vector<ServerMarker> written;  // the last markers written, oldest first
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

// Whether folder is the one pinned for id (any store for an empty id).
bool IsPinnedFolder(std::string_view folder, const std::string& id) {
  {
    ServerStores& stores = NotedServerStores();
    std::lock_guard<std::mutex> guard(stores.lock);
    if (stores.pinned.empty()) return false;
  }
  plat::FileId at;
  if (!plat::GetFolderId(folder, &at)) return false;
  ServerStores& stores = NotedServerStores();
  std::lock_guard<std::mutex> guard(stores.lock);
  return std::any_of(stores.pinned.begin(), stores.pinned.end(),
                     [&](const auto& pin) { return (id.empty() || pin.id == id) && pin.at == at; });
}

bool IsServerMarkerIn(const std::string& folder, const std::vector<ServerMarker>& ms);

// Whether folder's marker is one a device of this process wrote last on a
// server here, known by the identity the server gave of it (a marker of the
// store id, or of any store for an empty id).
bool IsWrittenServerMarker(std::string_view folder, const std::string& id) {
  std::vector<ServerMarker> ms;
  {
    ServerStores& stores = NotedServerStores();
    std::lock_guard<std::mutex> guard(stores.lock);
    for (const ServerMarker& m : stores.written)
      if (m.identified && (id.empty() || m.id == id)) ms.push_back(m);
  }
  return !ms.empty() && IsServerMarkerIn(std::string(folder), ms);
}

// Logs, once per folder, a marker naming a server store that is not ours and
// not where that store lies: a copy planted to hide the folder from backups.
void TellUnobeyed(const std::string& marker) {
  {
    ServerStores& stores = NotedServerStores();
    std::lock_guard<std::mutex> guard(stores.lock);
    if (std::find(stores.told.begin(), stores.told.end(), marker) != stores.told.end()) return;
    constexpr size_t kMostTold = 256;
    if (stores.told.size() >= kMostTold) stores.told.erase(stores.told.begin());
    stores.told.push_back(marker);
  }
  std::string native = marker, words = GetText("STORE", "FOREIGN_MARKER");
  plat::ToNativePath(marker, &native);
  if (const size_t at = words.find("%s"); at != std::string::npos) words.replace(at, 2, native);
  PostEvent(kEvInvalidContent, words, 0, native);
}

}  // namespace

// The identifier of a marker's text: "[Store]" first, then "Id=<32 hex>";
// "Nonce=<32 hex>" and "Installation=<32 hex>" too, in any order.
bool ParseStoreMarker(std::string_view text, std::string* id, std::string* nonce,
                      std::string* installation) {
  bool first = true, named = false;
  if (nonce != nullptr) nonce->clear();
  if (installation != nullptr) installation->clear();
  auto lower = [](std::string_view hex) {
    std::string out(hex);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return c >= 'A' && c <= 'F' ? char(c - 'A' + 'a') : c; });
    return out;
  };
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (first) {
      first = false;
      if (line != "[Store]") return false;
      continue;
    }
    if (!named && line.rfind("Id=", 0) == 0 && line.size() == 35 && IsHex(line.substr(3))) {
      *id = lower(line.substr(3));
      named = true;
    } else if (nonce != nullptr && nonce->empty() && line.rfind("Nonce=", 0) == 0 &&
               line.size() == 38 && IsHex(line.substr(6))) {
      *nonce = lower(line.substr(6));
    } else if (installation != nullptr && installation->empty() &&
               line.rfind("Installation=", 0) == 0 && line.size() == 45 && IsHex(line.substr(13))) {
      *installation = lower(line.substr(13));
    }
  }
  return named;
}

void NoteServerStore(const std::string& id) {
  std::string lower;
  if (id.empty() || !ParseStoreMarker(StoreMarkerText(id), &lower)) return;
  ServerStores& stores = NotedServerStores();
  std::lock_guard<std::mutex> guard(stores.lock);
  if (std::find(stores.ids.begin(), stores.ids.end(), lower) == stores.ids.end())
    stores.ids.push_back(std::move(lower));
}

void PinServerStore(const std::string& id, const std::string& folder) {
  std::string lower;
  if (id.empty() || !ParseStoreMarker(StoreMarkerText(id), &lower)) return;
  NoteServerStore(lower);
  plat::FileId at;
  const bool found = !folder.empty() && plat::GetFolderId(folder, &at);
  ServerStores& stores = NotedServerStores();
  std::lock_guard<std::mutex> guard(stores.lock);
  auto& pins = stores.pinned;
  pins.erase(std::remove_if(pins.begin(), pins.end(), [&](const Pin& p) { return p.id == lower; }),
             pins.end());
  if (found) pins.push_back({lower, at, folder});
}

std::string PinnedServerStoreFolder(const std::string& id) {
  std::string lower;
  if (id.empty() || !ParseStoreMarker(StoreMarkerText(id), &lower)) return {};
  ServerStores& stores = NotedServerStores();
  std::lock_guard<std::mutex> guard(stores.lock);
  for (const Pin& pin : stores.pinned)
    if (pin.id == lower) return pin.folder;
  return {};
}

namespace {

bool HoldsMarker(std::string_view folderWithSeparator) {
  std::string id;
  if (ReadStoreMarker(folderWithSeparator, &id)) return true;
  // A server on this machine may keep its files private to the user it maps
  // the login to: in the folder pinned as where a store this process fills
  // lies, a marker it may not read is taken for that store's, or the store
  // would be copied into itself without end.
  const std::string marker = WithSeparator(folderWithSeparator) + kStoreMarkerName;
  std::string text;
  return plat::EntryExists(marker) && !plat::ReadOwnFile(marker, &text, 4096, /*anyOwner=*/true) &&
         plat::GetLastError() == plat::kErrAccessDenied &&
         (IsPinnedFolder(folderWithSeparator, {}) ||
          IsWrittenServerMarker(folderWithSeparator, {}));
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
  // A server's marker, written under the user the server maps its login to,
  // counts where that store lies (pinned, or the very file the server named);
  // a copy of it elsewhere hides nothing.
  if (!plat::ReadOwnFile(marker, &text, 4096, /*anyOwner=*/true) || !ParseStoreMarker(text, id) ||
      !IsServerStore(*id))
    return false;
  if (IsPinnedFolder(folder, *id) || IsWrittenServerMarker(folder, *id)) return true;
  TellUnobeyed(marker);
  return false;
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

std::string StoreMarkerText(const std::string& id, const std::string& nonce,
                            const std::string& installation) {
  return "[Store]\nId=" + id + "\n" + (nonce.empty() ? "" : "Nonce=" + nonce + "\n") +
         (installation.empty() ? "" : "Installation=" + installation + "\n");
}

std::string InstallationId() {
  static std::mutex lock;   // guards made: one identifier however many plans ask at once
  static std::string made;  // for a data folder that cannot be written: one per process
  std::lock_guard<std::mutex> g(lock);
  std::string id = ReadInternalString("General", "InstallationId", "");
  std::string lower;
  if (ParseStoreMarker(StoreMarkerText(id), &lower)) return lower;
  const std::string fresh = NewStoreId();
  if (WriteInternalString("General", "InstallationId", fresh.c_str())) return fresh;
  if (made.empty()) made = fresh;
  return made;
}

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

namespace {

// Breadth first below folders (over at most maxFolders of them, never into
// another store, another volume or a pseudo file system): the first folder
// (with its closing "\\") holding a marker that is the one wanted.
std::string FindMarkedBelow(const std::vector<std::string>& folders, size_t maxFolders,
                            const std::function<bool(const std::string&)>& wanted) {
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
        if (wanted(folder)) return folder;
        if (HoldsMarker(folder)) continue;  // another store: nothing of ours below
      }
      next.insert(next.end(), below.begin(), below.end());
    }
  }
  return {};
}

std::string WithoutSeparator(std::string folder) {
  if (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
  return folder;
}

// Whether folder's marker is the server's as it was written last: the very
// file the server wrote, told by the identity the server gave of it, or this
// user's own file naming the store with the nonce. Neither its time (anyone
// may read it and set a file's to it) nor a nonce in a file of another user
// (a server that keeps files readable shows it to all) proves anything, and
// an identity proves nothing while the file has a second name (a hard link
// another user made elsewhere).
bool IsServerMarkerIn(const std::string& folder, const std::vector<ServerMarker>& ms) {
  const std::string marker = WithSeparator(folder) + kStoreMarkerName;
  plat::FileId at;
  uint64_t links = 0;
  if (!plat::GetFileId(marker, &at, &links)) return false;
  if (links == 1 && std::any_of(ms.begin(), ms.end(), [&](const ServerMarker& m) {
        return m.identified && m.identity.inode == at.inode &&
               (m.identity.device == at.device || m.identity.device == (at.device & 0xffffffffu));
      }))
    return true;
  std::string text, id, nonce;
  return plat::ReadOwnFile(marker, &text, 4096) && ParseStoreMarker(text, &id, &nonce) &&
         !nonce.empty() && std::any_of(ms.begin(), ms.end(), [&](const ServerMarker& m) {
           return id == m.id && nonce == m.nonce;
         });
}

}  // namespace

std::string FindStoreFolderBelow(const std::vector<std::string>& folders, const std::string& id,
                                 size_t maxFolders) {
  std::string wanted;
  if (!ParseStoreMarker(StoreMarkerText(id), &wanted)) return {};
  return WithoutSeparator(FindMarkedBelow(folders, maxFolders, [&](const std::string& folder) {
    std::string text, named;
    return plat::ReadOwnFile(folder + kStoreMarkerName, &text, 4096, /*anyOwner=*/true) &&
           ParseStoreMarker(text, &named) && named == wanted;
  }));
}

void NoteServerMarker(const ServerMarker& marker) {
  constexpr size_t kMostKept = 16;
  ServerMarker m = marker;
  if (!ParseStoreMarker(StoreMarkerText(marker.id, marker.nonce), &m.id, &m.nonce)) return;
  ServerStores& stores = NotedServerStores();
  std::lock_guard<std::mutex> guard(stores.lock);
  stores.written.push_back(m);
  if (stores.written.size() > kMostKept) stores.written.erase(stores.written.begin());
}

std::string FindServerStoreFolder(const std::vector<std::string>& folders,
                                  const ServerMarker& marker, size_t maxFolders) {
  ServerMarker wanted = marker;
  if (!ParseStoreMarker(StoreMarkerText(marker.id, marker.nonce), &wanted.id, &wanted.nonce))
    return {};
  // The store's marker as any of its devices here wrote it last: plans
  // sharing the store each write their own over the one marker.
  std::vector<ServerMarker> m = {wanted};
  {
    ServerStores& stores = NotedServerStores();
    std::lock_guard<std::mutex> guard(stores.lock);
    for (const ServerMarker& written : stores.written)
      if (written.id == wanted.id) m.push_back(written);
  }
  // Above each folder first: a store there holds it.
  for (const std::string& f : folders) {
    const std::string folder = WithSeparator(f);
    const size_t root = RootLength(folder);
    if (root == 0) continue;
    for (size_t end = root; end < folder.size(); end = folder.find('\\', end) + 1) {
      const std::string above = folder.substr(0, end);
      if (plat::EntryExists(above + kStoreMarkerName) && IsServerMarkerIn(above, m))
        return WithoutSeparator(above);
    }
  }
  return WithoutSeparator(FindMarkedBelow(
      folders, maxFolders, [&](const std::string& folder) { return IsServerMarkerIn(folder, m); }));
}

std::vector<ServerMarker> NotedServerMarkers() {
  std::vector<ServerMarker> out;
  ServerStores& stores = NotedServerStores();
  std::lock_guard<std::mutex> guard(stores.lock);
  for (auto m = stores.written.rbegin(); m != stores.written.rend(); ++m) {
    if (std::none_of(out.begin(), out.end(), [&](const ServerMarker& o) { return o.id == m->id; }))
      out.push_back(*m);
  }
  return out;
}
