// Removing a plan's store when the plan is deleted together with its backup
// files. Runs on a worker: a store may hold many files on a slow disk.
#pragma once
#include <atomic>
#include <string>

// Deletes "Latest" and "Revision" with everything in them and the marker
// "Brevanto.dat" from the store folder (a system path, with or without a
// closing "\"). The folder itself goes too when it held nothing else (or
// could not be listed); a folder with other entries keeps them. A drive root
// or an empty path is refused. cancel (may be null) ends the work early.
// True when every part that was asked for is gone.
bool RemoveStoreFolder(const std::string& storeRoot, const std::atomic<bool>* cancel);
