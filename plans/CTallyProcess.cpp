#include "plans/CTallyProcess.h"

#include <deque>

#include "destinations/StoreMarker.h"
#include "destinations/VolumeCapacity.h"
#include "plans/PlanSources.h"
#include "plans/RuleSet.h"
#include "platform/files/Files.h"
#include "platform/volumes/MountPoints.h"
#include "platform/volumes/Paths.h"
#include "platform/volumes/Volumes.h"

namespace {

size_t CharCount(std::string_view s) {
  size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// Roots ("D:\") of the local fixed drives, not on a USB or IEEE 1394 bus, in
// letter order.
std::vector<std::string> LocalFixedRoots() {
  std::vector<std::string> roots;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    plat::VolumeInfo v;
    if (!plat::VolumeTable::Instance().Find(letter, &v)) continue;
    if (v.type != plat::DriveType::kFixed) continue;
    if (v.bus == plat::BusType::kUsb || v.bus == plat::BusType::kIeee1394) continue;
    roots.push_back(std::string(1, letter) + ":\\");
  }
  return roots;
}

uint64_t UsedBytes(const std::string& root) {
  uint64_t total = 0, free = 0;
  if (GetTotalSpace(root, &total) != 0) return 0;
  if (GetFreeSpace(root, &free) != 0) free = 0;
  return total > free ? total - free : 0;
}

bool IsDriveRoot(const std::string& folder) {
  return folder.size() == 3 && folder[1] == ':' && folder[2] == '\\';
}

}  // namespace

CTallyProcess::~CTallyProcess() {
  Stop();
  Join();
}

void CTallyProcess::SetUp(std::string_view startFolder, const CRuleSet* rules, uint64_t byteLimit,
                          bool wholeComputer, bool skipHidden, std::vector<std::string> folders) {
  startFolder_ = std::string(startFolder);
  if (!startFolder_.empty() && startFolder_ != kMyComputerEntry) {
    startFolder_ = plat::WithSeparator(startFolder_);
  }
  rules_ = rules;
  byteLimit_ = byteLimit;
  wholeComputer_ = wholeComputer;
  skipHidden_ = skipHidden;
  folders_ = std::move(folders);
}

void CTallyProcess::Results(uint64_t* bytes, uint64_t* files) const {
  std::lock_guard<std::mutex> g(lock_);
  if (bytes) *bytes = bytes_;
  if (files) *files = files_;
}

uint64_t CTallyProcess::Bytes() const {
  std::lock_guard<std::mutex> g(lock_);
  return bytes_;
}

uint64_t CTallyProcess::Files() const {
  std::lock_guard<std::mutex> g(lock_);
  return files_;
}

void CTallyProcess::Run() {
  running_.store(true);
  {
    std::lock_guard<std::mutex> g(lock_);
    bytes_ = files_ = 0;
  }
  if (rules_) {
    if (!startFolder_.empty()) Walk(startFolder_, Mode::kRules, true);
  } else if (!wholeComputer_ || startFolder_ == kMyComputerEntry) {
    // "My Computer" is the used space of the disks, whoever asks.
    TallyFolder();
  } else {
    for (const std::string& root : LocalFixedRoots()) {
      if (!Walk(root, Mode::kWholeComputer, true)) break;
    }
  }
  running_.store(false);
}

void CTallyProcess::TallyFolder() {
  if (startFolder_.empty()) return;
  if (startFolder_ == kMyComputerEntry) {
    uint64_t used = 0;
    for (const std::string& root : LocalFixedRoots()) used += UsedBytes(root);
    std::lock_guard<std::mutex> g(lock_);
    bytes_ = used;
    return;
  }
  if (IsDriveRoot(startFolder_)) {
    // The drive's used space at once; the walk then only counts files.
    const uint64_t used = UsedBytes(startFolder_);
    {
      std::lock_guard<std::mutex> g(lock_);
      bytes_ = used;
    }
    Walk(startFolder_, Mode::kDriveRoot, skipHidden_);
    return;
  }
  Walk(startFolder_, Mode::kFolder, skipHidden_);
}

bool CTallyProcess::OverLimit() const {
  std::lock_guard<std::mutex> g(lock_);
  return byteLimit_ != 0 && bytes_ > byteLimit_;
}

bool CTallyProcess::AddFile(uint64_t size, bool addSize) {
  std::lock_guard<std::mutex> g(lock_);
  if (addSize) bytes_ += size;
  ++files_;
  return !(byteLimit_ != 0 && bytes_ > byteLimit_);
}

bool CTallyProcess::Walk(const std::string& start, Mode mode, bool skipHidden) {
  // Other file systems (pseudo ones, other volumes) are not part of this one.
  const plat::MountBarriers barriers;
  std::deque<std::string> queue{plat::WithSeparator(start)};
  while (!queue.empty()) {
    const std::string folder = std::move(queue.front());
    queue.pop_front();
    plat::DirSearch search;
    plat::FindData fd;
    if (!search.Open(folder + "*", &fd)) continue;
    do {
      if (stop_.load()) return false;
      if (fd.name == "." || fd.name == "..") continue;
      if (fd.attributes & plat::kAttrTemporary) continue;
      if (skipHidden && (fd.attributes & (plat::kAttrHidden | plat::kAttrSystem))) continue;
      std::string path = folder + fd.name;
      if (fd.attributes & plat::kAttrDirectory) {
        path.push_back('\\');
        if (CharCount(path) < kMaxFolderPath && !IsStoreFolder(path) && !barriers.Stops(path)) {
          queue.push_back(std::move(path));
        }
        continue;
      }
      if (mode == Mode::kRules) {
        if (OverLimit()) return false;
        if (!rules_->Match(path, false)) continue;
        AddFile(fd.size, true);
        continue;
      }
      if (!AddFile(fd.size, mode != Mode::kDriveRoot)) return false;
    } while (search.Next(&fd));
  }
  return true;
}
