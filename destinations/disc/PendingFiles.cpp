#include "destinations/disc/PendingFiles.h"

#include <algorithm>
#include <vector>

#include "platform/files/Files.h"
#include "platform/volumes/Paths.h"

namespace disc {

PendingList& PendingList::Instance() {
  static PendingList list;
  return list;
}

void PendingList::Clear() {
  std::lock_guard<std::mutex> hold(lock_);
  files_.clear();
}

void PendingList::PushBack(PendingFile file) {
  std::lock_guard<std::mutex> hold(lock_);
  files_.push_back(std::move(file));
}

bool PendingList::Front(PendingFile* file) {
  std::lock_guard<std::mutex> hold(lock_);
  if (files_.empty()) return false;
  *file = files_.front();
  return true;
}

void PendingList::PopFront() {
  std::lock_guard<std::mutex> hold(lock_);
  if (!files_.empty()) files_.pop_front();
}

bool PendingList::Empty() {
  std::lock_guard<std::mutex> hold(lock_);
  return files_.empty();
}

size_t PendingList::Size() {
  std::lock_guard<std::mutex> hold(lock_);
  return files_.size();
}

uint64_t PendingList::TotalBytes() {
  std::lock_guard<std::mutex> hold(lock_);
  uint64_t total = 0;
  for (const PendingFile& f : files_) total += f.size;
  return total;
}

uint64_t PendingList::BytesBelow(uint64_t limit) {
  std::lock_guard<std::mutex> hold(lock_);
  uint64_t total = 0;
  for (const PendingFile& f : files_)
    if (f.size < limit) total += f.size;
  return total;
}

void PendingList::TakeFrom(PendingList& other) {
  if (&other == this) return;
  std::scoped_lock hold(lock_, other.lock_);
  files_ = std::move(other.files_);
  other.files_.clear();
}

namespace {

bool IsTemporaryCopy(std::string_view name) { return name.rfind(".~bvtmp-", 0) == 0; }

bool Walk(const std::string& folder, PendingList* list) {
  plat::DirSearch search;
  plat::FindData data;
  if (!search.Open(folder + "*", &data)) return false;
  std::vector<plat::FindData> files, folders;
  do {
    if (data.name == "." || data.name == "..") continue;
    if (data.attributes & plat::kAttrDirectory) {
      folders.push_back(data);
    } else if (!IsTemporaryCopy(data.name) && (data.attributes & plat::kAttrReparsePoint) == 0) {
      // A link was planted by someone else: backups never make one.
      files.push_back(data);
    }
  } while (search.Next(&data));
  search.Close();
  auto byName = [](const plat::FindData& a, const plat::FindData& b) { return a.name < b.name; };
  std::sort(files.begin(), files.end(), byName);
  std::sort(folders.begin(), folders.end(), byName);
  for (const plat::FindData& f : files) list->PushBack({folder, f.name, f.size});
  for (const plat::FindData& f : folders) Walk(folder + f.name + "\\", list);
  return true;
}

}  // namespace

bool FillPendingList(std::string_view latestFolder, PendingList* list) {
  return Walk(plat::WithSeparator(latestFolder), list);
}

uint32_t DiscsNeededFor(PendingList& list, uint64_t capacity) {
  // What an empty disc keeps for its own file system (as the packing counts).
  constexpr uint64_t kReserve = 64 * 2048 + 768;
  return DiscsNeeded(list.BytesBelow(capacity > kReserve ? capacity - kReserve : 0), capacity);
}

uint32_t DiscsNeeded(uint64_t totalBytes, uint64_t capacity) {
  if (capacity == 0) return 1;
  uint64_t n = totalBytes / capacity;
  if (n * capacity < totalBytes) ++n;
  return n == 0 ? 1 : uint32_t(std::min<uint64_t>(n, 0xFFFFFFFFu));
}

}  // namespace disc
