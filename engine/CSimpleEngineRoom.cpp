// Room on the store: the reserve a copy must leave, files too large for the
// size limit or the store's disk, and room made by removing old revisions.
#include "engine/CSimpleEngine.h"

#include <algorithm>
#include <initializer_list>
#include <mutex>

#include "common/ActivityLog.h"
#include "common/EngineEvents.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "destinations/StoreDisk.h"
#include "destinations/StoreRevisions.h"
#include "destinations/VolumeCapacity.h"
#include "plans/CPlan.h"
#include "platform/process/Clock.h"

namespace {

// "5200 MB (5452595200 bytes)": whole MiB, rounded down, and the bytes.
std::string Megabytes(uint64_t bytes) {
  return std::to_string(bytes >> 20) + " MB (" + std::to_string(bytes) + " bytes)";
}

// The pattern with its "%s" filled in order.
std::string Fill(std::string pattern, std::initializer_list<std::string> values) {
  size_t at = 0;
  for (const std::string& value : values) {
    at = pattern.find("%s", at);
    if (at == std::string::npos) break;
    pattern.replace(at, 2, value);
    at += value.size();
  }
  return pattern;
}

}  // namespace

bool CSimpleEngine::LacksRoom(const std::string& root, uint64_t wanted) {
  std::lock_guard<std::mutex> guard(roomLock_);
  const uint64_t now = plat::GetTickCount64();
  if (roomTick_ != 0 && root == roomRoot_ && now - roomTick_ < 1000 && !FreeSpaceStated(root) &&
      roomFree_ >= roomSpent_ + wanted + kRoomMargin) {
    roomSpent_ += wanted;
    return false;
  }
  uint64_t free = 0;
  if (GetFreeSpace(root, &free) != 0) {
    roomTick_ = 0;
    return false;  // not measured: the copy itself says whether it fits
  }
  roomRoot_ = root;
  roomFree_ = free;
  roomTick_ = now;
  roomSpent_ = wanted;
  return free < wanted;
}

bool CSimpleEngine::TooLarge(const std::string& root, std::string_view source, uint64_t size,
                             uint32_t planId) {
  const int mib = GetBackupFileMaxSize();
  const uint64_t largest = LargestFileOn(root);
  std::string reason;
  if (mib > 0 && (size >> 20) > static_cast<uint64_t>(mib)) {
    reason = Fill(GetText("NOT_PROTECTED", "REASON_TOO_LARGE"),
                  {Megabytes(size), Megabytes(static_cast<uint64_t>(mib) << 20)});
  } else if (largest != 0 && size > largest) {
    reason = Fill(GetText("NOT_PROTECTED", "REASON_TOO_LARGE_FOR_DISK"),
                  {Megabytes(size), Megabytes(largest)});
  } else {
    return false;
  }
  bool fresh;
  {
    std::lock_guard<std::mutex> guard(reportedLock_);
    fresh = tooLarge_.insert(std::string(source)).second;
  }
  if (fresh) PostEvent(kEvNotProtected, source, planId, {}, reason);
  return true;
}

uint64_t CSimpleEngine::RoomWanted() {
  std::lock_guard<std::mutex> guard(reportedLock_);
  uint64_t most = 0;
  for (const auto& [source, wanted] : noRoom_) most = std::max(most, wanted);
  return most;
}

size_t CSimpleEngine::TooLargeCount() {
  std::lock_guard<std::mutex> guard(reportedLock_);
  return tooLarge_.size();
}

void CSimpleEngine::ForgetTooLarge(std::string_view source) {
  std::lock_guard<std::mutex> guard(reportedLock_);
  if (!tooLarge_.empty()) tooLarge_.erase(std::string(source));
}

bool CSimpleEngine::WaitsForRoom(std::string_view source) {
  uint64_t wanted = 0;
  {
    std::lock_guard<std::mutex> guard(reportedLock_);
    const auto it = noRoom_.find(std::string(source));
    if (it == noRoom_.end()) return false;
    wanted = it->second;
  }
  const std::shared_ptr<CDestination> dest = plan_->SharedDestination();
  uint64_t free = 0;
  return dest && GetFreeSpace(dest->GetRootPath(), &free) == 0 && free < wanted;
}

void CSimpleEngine::ForgetNoRoom(std::string_view source) {
  std::lock_guard<std::mutex> guard(reportedLock_);
  if (!noRoom_.empty()) noRoom_.erase(std::string(source));
}

uint64_t CSimpleEngine::MakeRoom(CDestination* dest, const std::string& root, uint64_t need,
                                 const std::set<std::string>& spared) {
  // Oldest first: by time, then by path. Called on the plan's thread only,
  // when a copy finds the disk full, so one walk per such copy is paid.
  std::vector<RevisionFile> files;
  WalkRevisionFiles(root, [&](const RevisionFile& file) {
    if (spared.count(file.path) == 0) files.push_back(file);
    return true;
  });
  std::sort(files.begin(), files.end(), [](const RevisionFile& a, const RevisionFile& b) {
    return a.time != b.time ? a.time < b.time : a.path < b.path;
  });
  std::string planName;
  {
    std::lock_guard<std::recursive_mutex> guard(plan_->Lock());
    planName = plan_->Name();
  }
  uint64_t removed = 0;
  for (const RevisionFile& file : files) {
    if (removed >= need) break;
    if (dest->DeleteFile(file.path) != kDestOk) continue;
    removed += file.size;
    ++removedForRoom_;
    CLogSet::Instance().AppendRecord(
        "#Old Version Removed To Make Room\nPlan Name = " + EscapeControls(planName) +
        "\nTime = " + plat::AscTime(plat::Now()) + "\nDestination Path = " + LogPath(file.path) +
        "\nVersion Time = " + plat::AscTime(file.time) + "\nSize = " + std::to_string(file.size) +
        "\n");
  }
  return removed;
}
