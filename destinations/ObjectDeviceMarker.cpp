// The object store's marker "Brevanto.dat" below the prefix (whose store the
// prefix holds), and the sweep of unfinished multipart uploads.
#include "destinations/ObjectDevice.h"
#include "destinations/StoreMarker.h"
#include "platform/process/Clock.h"

namespace {

// A marker is a few lines; more is not one.
constexpr size_t kMaxMarkerBytes = 4096;
// How long a marker seen stands for the store before it is looked at again
// (a store emptied behind the plan's back is noticed within this).
constexpr int64_t kMarkerLookSeconds = 60;

}  // namespace

bool CObjectDevice::SweepIfDue() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  if (!sweepDue_ || !connected_) return false;
  if (SweepListed()) sweepDue_ = false;
  return true;
}

int32_t CObjectDevice::ReadStoreMarkerId(std::string* id) {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  const int64_t now = plat::Now();
  if (markerLookedAt_ != 0 && now - markerLookedAt_ < kMarkerLookSeconds && !markerId_.empty()) {
    *id = markerId_;
    return 1;
  }
  const std::string key = KeyOf(GetRootPath()) + kStoreMarkerName;
  std::string text;
  const ObjectReply reply = Retried([&] {
    text.clear();
    return session_.Get(key, [&](const char* data, size_t size) {
      text.append(data, size);
      return text.size() <= kMaxMarkerBytes;
    });
  });
  if (reply.status == 404 && reply.code != "NoSuchBucket") return 0;
  // Unreadable text under the marker's name names no store: one is put there.
  if (reply.Ok() && !ParseStoreMarker(text, id)) return 0;
  if (!reply.Ok()) return -1;
  markerId_ = *id;
  markerLookedAt_ = now;
  return 1;
}

bool CObjectDevice::PlaceStoreMarker(const std::string& id) {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  const std::string key = KeyOf(GetRootPath()) + kStoreMarkerName;
  if (!Retried([&] { return session_.PutText(key, StoreMarkerText(id)); }).Ok()) return false;
  listed_.clear();  // a new store: what was listed of the old one is gone
  markerId_ = id;
  markerLookedAt_ = plat::Now();
  return true;
}

uint32_t CObjectDevice::SweepTemporaryCopies() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  uint32_t aborted = 0;
  if (SweepListed(&aborted)) sweepDue_ = false;
  return aborted;
}
