// The revisions' sizes and times a rotation needs, remembered for the files
// rotated last so that each revision is looked at once.
#include "engine/CSimpleEngine.h"

#include <algorithm>
#include <mutex>

void CSimpleEngine::FillStamps(CDestination* dest, const std::string& root, const std::string& key,
                               std::vector<VersionEntry>* listed,
                               const std::function<bool(const VersionEntry&)>& wanted) {
  std::lock_guard<std::mutex> guard(stampsLock_);
  if (stampsRoot_ != root) {
    stamps_.clear();
    stampsRoot_ = root;
  }
  auto it = std::find_if(stamps_.begin(), stamps_.end(),
                         [&](const FileStamps& file) { return file.key == key; });
  if (it == stamps_.end()) {
    if (stamps_.size() >= kStampsKept) stamps_.pop_back();
    stamps_.push_front({key, {}});
  } else if (it != stamps_.begin()) {
    stamps_.splice(stamps_.begin(), stamps_, it);  // the most recent first
  }
  auto& known = stamps_.front().known;
  size_t present = 0;  // listed numbers that known holds
  for (VersionEntry& entry : *listed) {
    if (entry.time != 0) continue;  // the listing told it
    const auto at = known.find(entry.number);
    if (at != known.end()) {
      entry.size = at->second.first;
      entry.time = at->second.second;
      ++present;
    } else if (wanted(entry)) {
      int64_t changed = 0;
      if (!dest->GetFileStamp(entry.path, &entry.size, &entry.time, &changed)) {
        entry.time = 0;
      } else {
        known.emplace(entry.number, std::make_pair(entry.size, entry.time));
        ++present;
      }
    }
  }
  // Revisions gone otherwise than by a rotation of this engine are forgotten.
  if (known.size() > present) {
    std::unordered_map<int64_t, std::pair<uint64_t, int64_t>> still;
    for (const VersionEntry& entry : *listed) {
      const auto at = known.find(entry.number);
      if (at != known.end()) still.insert(*at);
    }
    known = std::move(still);
  }
}

void CSimpleEngine::RememberRotation(const std::string& root, const std::string& key,
                                     const VersionEntry* made,
                                     const std::vector<VersionEntry>& listed,
                                     const std::vector<bool>& removed) {
  std::lock_guard<std::mutex> guard(stampsLock_);
  if (stampsRoot_ != root || stamps_.empty() || stamps_.front().key != key) return;
  auto& known = stamps_.front().known;
  for (size_t i = 0; i < listed.size(); ++i) {
    if (removed[i]) known.erase(listed[i].number);
  }
  if (made != nullptr) known[made->number] = {made->size, made->time};
}
