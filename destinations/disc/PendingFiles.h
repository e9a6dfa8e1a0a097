// The files waiting to be archived to discs: one process-wide list, filled by
// the settings dialog from a store's "Latest" folder and emptied from the
// front by the archiving worker as it places files on discs.
#pragma once
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

namespace disc {

struct PendingFile {
  std::string folder;  // system path of the file's folder, with a closing "\"
  std::string name;
  uint64_t size = 0;
};

class PendingList {
 public:
  static PendingList& Instance();

  void Clear();
  void PushBack(PendingFile file);
  bool Front(PendingFile* file);
  void PopFront();
  bool Empty();
  size_t Size();
  uint64_t TotalBytes();
  // The bytes of the files smaller than limit (those a disc can take).
  uint64_t BytesBelow(uint64_t limit);
  // Takes every file of other (which is left empty) in place of its own.
  void TakeFrom(PendingList& other);

 private:
  std::mutex lock_;  // guards files_
  std::deque<PendingFile> files_;
};

// Walks latestFolder (a store's "Latest" folder, system path) and appends
// every file to the list, folder by folder in name order, files of a folder
// before its subfolders. Temporary copies of an unfinished backup and links
// (which backups never make) are left out. False when the folder cannot be read.
bool FillPendingList(std::string_view latestFolder, PendingList* list);

// Discs needed for total bytes on discs of the given capacity (at least 1).
uint32_t DiscsNeeded(uint64_t totalBytes, uint64_t capacity);
// Discs needed for the list's files on discs of that capacity, leaving out
// the files too large for any disc (they are skipped when archiving).
uint32_t DiscsNeededFor(PendingList& list, uint64_t capacity);

}  // namespace disc
