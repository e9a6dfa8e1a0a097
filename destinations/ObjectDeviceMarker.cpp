// The object store's marker "Brevanto.dat" below the prefix (whose store the
// prefix holds), the sweep of unfinished multipart uploads, and the bucket's
// versioning asked at a start.
#include <algorithm>
#include <chrono>
#include <thread>

#include "common/Settings.h"
#include "destinations/ObjectDevice.h"
#include "destinations/StoreMarker.h"
#include "platform/process/Clock.h"

namespace {

// A marker is a few lines; more is not one.
constexpr size_t kMaxMarkerBytes = 4096;
// How long a marker seen stands for the store before it is looked at again
// (a store emptied, or its marker replaced, behind the plan's back is
// noticed within this): "InternalSettings.ini" [General] StoreMarkerLookTime
// in seconds, else a minute.
constexpr int kMarkerLookSeconds = 60;
// How long after placing its marker a plan reads it back: another plan
// placing one at the same moment on a store that does not refuse the second
// has written it by then.
constexpr int kReadBackMs = 500;

}  // namespace

bool CObjectDevice::SweepIfDue() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  if (!sweepDue_ || !connected_) return false;
  if (SweepListed()) sweepDue_ = false;
  return true;
}

int32_t CObjectDevice::ReadStoreMarkerId(std::string* id, std::string* installation) {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  const int64_t now = plat::Now();
  if (markerLookedAt_ != 0 && now - markerLookedAt_ < LookSeconds() && !markerId_.empty()) {
    *id = markerId_;
    *installation = markerInstallation_;
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
  if (reply.status == 403 && reply.code != "RequestTimeTooSkewed") {
    MarkerDenied(ObjectFailure::kMarkerDenied);
    return -1;
  }
  markerDenied_ = false;
  if (reply.status == 404 && reply.code != "NoSuchBucket") return 0;
  // A marker is a few lines: anything else under its name (cut off for its
  // length, or no marker's text) may be someone's object, never replaced.
  if (reply.status >= 200 && reply.status < 300 && text.size() > kMaxMarkerBytes) return 2;
  if (!reply.Ok()) return -1;
  if (!ParseStoreMarker(text, id, nullptr, installation)) return 2;
  markerId_ = *id;
  markerInstallation_ = *installation;
  markerLookedAt_ = now;
  return 1;
}

int CObjectDevice::LookSeconds() {
  if (markerLookSeconds_ <= 0)
    markerLookSeconds_ =
        std::max(1, ReadInternalInt("General", "StoreMarkerLookTime", kMarkerLookSeconds));
  return markerLookSeconds_;
}

std::chrono::seconds CObjectDevice::NextRefusalPause() {
  return std::min(std::chrono::seconds(LookSeconds()),
                  std::max(std::chrono::seconds(1), refusalPause_ * 2));
}

void CObjectDevice::MarkerDenied(ObjectFailure cause) {
  markerDenied_ = cause == ObjectFailure::kMarkerDenied;
  connected_ = false;
  failure_ = cause;
  refusalPause_ = NextRefusalPause();
  nextProbe_ = std::chrono::steady_clock::now() + refusalPause_;
}

int32_t CObjectDevice::HeldRefusal() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  return std::chrono::steady_clock::now() < heldUntil_ ? heldVerdict_ : 0;
}

void CObjectDevice::HoldRefusal(int32_t verdict) {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  heldVerdict_ = verdict;
  refusalPause_ = verdict == 0 ? std::chrono::seconds(0) : NextRefusalPause();
  heldUntil_ = std::chrono::steady_clock::now() + refusalPause_;
}

void CObjectDevice::ForgetMarker() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  markerLookedAt_ = 0;
}

int32_t CObjectDevice::LookAroundUnmarkedRoot() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  const std::string folder = KeyOf(GetRootPath());
  for (const char* tree : {"Latest/", "Revision/"}) {
    std::vector<ObjectEntry> entries;
    if (!Retried([&] { return session_.List(folder + tree, &entries, 1); }).Ok()) return -1;
    if (!entries.empty()) return 1;
  }
  if (const int32_t above = LookAboveStore(true); above != 0) return above;
  return LookBelow(folder, false);
}

int32_t CObjectDevice::LookAroundStore() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  if (const int32_t above = LookAboveStore(true); above != 0) return above;
  return LookBelow(KeyOf(GetRootPath()), true);
}

std::string CObjectDevice::FoundFolder() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  return foundFolder_;
}

int32_t CObjectDevice::LookBelow(const std::string& folder, bool aside) {
  // A store found below before is looked for by its marker alone (one GET),
  // not by listing every key again, while that marker stands.
  if (!belowMarker_.empty() && belowMarker_.rfind(folder, 0) == 0) {
    std::string text, id;
    const ObjectReply reply = Retried([&] {
      text.clear();
      return session_.Get(belowMarker_, [&](const char* data, size_t size) {
        text.append(data, size);
        return text.size() <= kMaxMarkerBytes;
      });
    });
    if (reply.Ok() && ParseStoreMarker(text, &id)) return 3;
    if (!reply.Ok() && reply.status != 404) return -1;
  }
  belowMarker_.clear();
  // A store made below first: this one would hold it. One listing of every
  // key below (a new place holds few); a key named as a marker is taken for
  // one. A store's own trees hold copies of anything, a file named as the
  // marker too: its other folders are listed one by one instead.
  std::vector<std::string> folders{folder};
  if (aside) {
    std::vector<ObjectEntry> top;
    if (!Retried([&] { return session_.List(folder, &top); }).Ok()) return -1;
    folders.clear();
    for (const ObjectEntry& e : top)
      if (e.folder && e.name != "Latest" && e.name != "Revision")
        folders.push_back(folder + e.name + "/");
  }
  const std::string inFolder = std::string("/") + kStoreMarkerName;
  for (const std::string& in : folders) {
    std::vector<ObjectEntry> entries;
    if (!Retried([&] { return session_.List(in, &entries, 0, true); }).Ok()) return -1;
    for (const ObjectEntry& e : entries) {
      const std::string n = in.substr(folder.size()) + e.name;
      if (n.size() > inFolder.size() &&
          n.compare(n.size() - inFolder.size(), inFolder.size(), inFolder) == 0) {
        belowMarker_ = folder + n;
        foundFolder_ = belowMarker_.substr(0, belowMarker_.size() + 1 - inFolder.size());
        return 3;
      }
    }
  }
  return 0;
}

int32_t CObjectDevice::LookAboveStore(bool again) {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  if (above_ >= 0 && !again) return above_;
  const std::string_view name = kStoreMarkerName;
  const std::string_view stem = name.substr(0, name.rfind('.'));
  std::string folder = KeyOf(GetRootPath());
  bool unchecked = false;
  // A request that failed leaves the folders above unknown; its cause is said.
  const auto failed = [&](const ObjectReply& reply) {
    const ObjectFailure cause = ObjectFailureOf(reply);
    failure_ = cause == ObjectFailure::kNone ? ObjectFailure::kOther : cause;
    return -1;
  };
  const auto broken = [](const ObjectReply& reply) {
    return reply.status == 0 || reply.status >= 500 ||
           (reply.status >= 200 && reply.status < 300 && !reply.code.empty());
  };
  // "a/b/" lies in "a/" and in the bucket's top.
  while (!folder.empty()) {
    folder.pop_back();
    folder.erase(folder.rfind('/') == std::string::npos ? 0 : folder.rfind('/') + 1);
    // Asked past Retried: a key kept to its own folder may read nothing
    // above it (403), and that says nothing of this store's bucket.
    std::string text, id;
    const ObjectReply reply =
        session_.Get(folder + std::string(name), [&](const char* data, size_t size) {
          text.append(data, size);
          return text.size() <= kMaxMarkerBytes;
        });
    // Whatever stands where a store's marker belongs counts: a marker, or an
    // object that is none (damaged, replaced, a page in place of the object).
    const bool answered = reply.status >= 200 && reply.status < 300;
    if (answered && (reply.code.empty() || text.size() > kMaxMarkerBytes)) {
      foundFolder_ = folder;
      return above_ = ParseStoreMarker(text, &id) ? 2 : 4;
    }
    if (broken(reply)) return failed(reply);
    if (reply.status == 404 && reply.code != "NoSuchBucket") {
      // No marker: a store's trees there are copies whose marker went. A
      // store's tree holds a drive's letter as a folder ("Latest/C/"); a
      // folder that happens to be called so and holds other things is none.
      // Read past however many of the user's own entries sort before it.
      const auto drive = [](const ObjectEntry& e) {
        return e.folder && e.name.size() == 1 && e.name[0] >= 'A' && e.name[0] <= 'Z';
      };
      for (const char* tree : {"Latest/", "Revision/"}) {
        bool found = false;
        const ObjectReply listed = session_.Seek(folder + tree, drive, &found);
        if (broken(listed)) return failed(listed);
        if (listed.Ok() && found) {
          foundFolder_ = folder;
          return above_ = 5;
        }
      }
      continue;
    }
    if (reply.status != 403 || reply.code == "RequestTimeTooSkewed") continue;
    // Denied: whether one is there, its folder's listing may still tell.
    std::vector<ObjectEntry> entries;
    const ObjectReply listed = session_.List(folder + std::string(stem), &entries, 16);
    if (broken(listed)) return failed(listed);
    if (!listed.Ok()) unchecked = true;
    for (const ObjectEntry& e : entries)
      if (!e.folder && e.name == name.substr(stem.size())) {
        foundFolder_ = folder;
        return above_ = 2;
      }
  }
  if (unchecked && aboveUnchecked_ == 0) aboveUnchecked_ = 1;
  return above_ = 0;
}

bool CObjectDevice::TakeAboveUnchecked() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  if (aboveUnchecked_ != 1) return false;
  aboveUnchecked_ = 2;
  return true;
}

int32_t CObjectDevice::PlaceStoreMarker(const std::string& id, bool replace) {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  const std::string key = KeyOf(GetRootPath()) + kStoreMarkerName;
  const std::string installation = InstallationId();
  const std::string text = StoreMarkerText(id, {}, installation);
  // Only where none is: two plans placing theirs at once would each write
  // into the other's store. A store that does not honour the condition
  // takes the last marker written, so the marker is read back a moment later.
  const ObjectReply put = Retried([&] { return session_.PutText(key, text, !replace); });
  if (put.status == 412) return 0;
  if (put.status == 403 && put.code != "RequestTimeTooSkewed") {
    MarkerDenied(ObjectFailure::kMarkerUnwritable);  // the keys read and list: a policy
    return -1;
  }
  if (!put.Ok()) return -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(kReadBackMs));
  std::string back;
  const ObjectReply read = Retried([&] {
    back.clear();
    return session_.Get(key, [&](const char* data, size_t size) {
      back.append(data, size);
      return back.size() <= kMaxMarkerBytes;
    });
  });
  // Taken, yet not there: an endpoint (or a proxy) that says it stored what it did not.
  if (!read.Ok()) return read.status == 404 ? 2 : -1;
  std::string named;
  if (!ParseStoreMarker(back, &named) || named != id) return 0;
  listed_.clear();  // a new store: what was listed of the old one is gone
  markerId_ = id;
  markerInstallation_ = installation;
  markerLookedAt_ = plat::Now();
  return 1;
}

uint32_t CObjectDevice::SweepTemporaryCopies() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  uint32_t aborted = 0;
  if (SweepListed(&aborted)) sweepDue_ = false;
  return aborted;
}

bool CObjectDevice::TakeKeepsVersions() {
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  if (versioningAsked_ || !connected_) return false;
  bool keeps = false;
  // Asked beside the requests that tell whether the store answers: a key
  // not allowed to ask (403) or a store that knows no versioning leaves the
  // store as it was, with nothing to say.
  const ObjectReply reply = session_.Versioning(&keeps);
  versioningAsked_ = reply.status != 0 && reply.status != 503;
  return keeps;
}
