// The store marker "Brevanto.dat" in a destination root marks the folder as a
// backup store and names it: "[Store]" and "Id=" with 32 hexadecimal digits,
// the store's own identifier, so that a plan knows its store from any other;
// a server's marker also holds "Nonce=", new at each connection. Only a
// marker this user's program wrote counts (a plain file of this user naming a
// store), so an empty or foreign "Brevanto.dat" in a shared folder hides
// nothing from a backup; so does, whoever owns it, the marker in the one
// folder pinned (PinServerStore) as where a store this process fills on a
// server that is this machine lies: such a server writes as whatever user it
// maps the login to. Also the two lookups that keep stores out of every
// backup. Paths are system paths.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/FileId.h"

inline constexpr char kStoreMarkerName[] = "Brevanto.dat";

// True when folder + "Brevanto.dat" is a marker that counts.
bool IsStoreFolder(std::string_view folder);

// True when any folder on the file's path, from the drive root ("C:\" or
// "\\server\share\") down to the file's own folder, holds a marker that
// counts. False for a path without such a root.
bool IsInsideStore(std::string_view filePath);

// The store identifier named by the marker in folder; false when there is no
// marker that counts.
bool ReadStoreMarker(std::string_view folder, std::string* id);
// Writes the marker naming id into folder (an existing one is replaced).
bool WriteStoreMarker(std::string_view folder, const std::string& id);
// The store the marker in folder names, or, when none counts, a new store
// whose marker is written there; false when that cannot be written. Plans of
// this process that share a folder thus agree on one store.
bool TakeOrMakeStoreMarker(std::string_view folder, std::string* id);
// A new store identifier (32 hexadecimal digits).
std::string NewStoreId();
// This installation of the program (its data folder): 32 hexadecimal digits
// kept as "InstallationId" in "InternalSettings.ini", made at the first call.
// An object store's marker names it, so that a store another installation
// fills is never taken for a plan's own.
std::string InstallationId();
// The marker's text for id (with a nonce and the installation when given),
// and the identifier such a text names (lower case; false when it names
// none), its nonce and its installation (empty when it holds none).
std::string StoreMarkerText(const std::string& id, const std::string& nonce = {},
                            const std::string& installation = {});
bool ParseStoreMarker(std::string_view text, std::string* id, std::string* nonce = nullptr,
                      std::string* installation = nullptr);
// The first folder, at or below one of folders (system paths), whose marker
// names id, whoever owns it; breadth first over at most maxFolders folders,
// never into another store, another volume or a pseudo file system. Empty
// when none was found.
std::string FindStoreFolderBelow(const std::vector<std::string>& folders, const std::string& id,
                                 size_t maxFolders);
// What a server's marker was written as at the last connection: the store,
// its nonce, and the identity of the file the server wrote (its device and
// inode, where the server tells them).
struct ServerMarker {
  std::string id;
  std::string nonce;
  plat::FileId identity;
  bool identified = false;
};
// Notes a server's marker this process wrote (the last 16 are kept): the
// search below takes it as well as the one it is given, so that plans
// sharing a store find it whichever wrote the marker last.
void NoteServerMarker(const ServerMarker& marker);
// The stores of the markers noted, each once.
std::vector<ServerMarker> NotedServerMarkers();
// Where the server's marker lies on this machine: the first folder, among
// the folders above each of folders and then at or below them (breadth first
// over at most maxFolders folders, as FindStoreFolderBelow), whose marker is
// the very file the server wrote (or a noted one of the same store), by its
// identity, or is this user's own file naming the store with the nonce (or a
// noted one's). A marker another user made or copied never is, whatever it
// holds or whenever it was written. Empty when none was found.
std::string FindServerStoreFolder(const std::vector<std::string>& folders,
                                  const ServerMarker& marker, size_t maxFolders);
// Notes the identifier of a store on a server. Kept for the process's life.
void NoteServerStore(const std::string& id);
// Pins folder (its device and inode) as where the noted server store id lies
// on this machine: its marker counts whoever owns it, and so does one this
// user may not read. An empty folder unpins the store. Any other marker
// naming the store and not this user's own counts for nothing; each such
// folder is logged once.
void PinServerStore(const std::string& id, const std::string& folder);
// The folder pinned for the store id; empty when none is.
std::string PinnedServerStoreFolder(const std::string& id);
