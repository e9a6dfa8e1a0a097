#include <cstdlib>
#include <functional>

#include "platform/base/IniText.h"
#include "platform/volumes/VolumeSources.h"
#include "platform/volumes/Volumes.h"

namespace plat {
namespace detail {

std::string NormalizeRoot(std::string_view root) {
  if (root.empty() || root[0] != '/') return {};
  std::string out;
  for (char c : root) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out += c;
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

bool PathUnderRoot(std::string_view path, std::string_view root) {
  if (root == "/") return !path.empty() && path[0] == '/';
  if (path.size() < root.size() || path.compare(0, root.size(), root) != 0) return false;
  return path.size() == root.size() || path[root.size()] == '/';
}

}  // namespace detail

namespace {

const char* OverridePath() {
  const char* p = std::getenv("BREVANTO_VOLUMES");
  return p && *p ? p : nullptr;
}

// What a read of the current source sees: the override file's content (with
// its name) or the mount table's text. Equal stamps mean nothing changed.
std::string CurrentStamp(std::string* content) {
  const char* ov = OverridePath();
  if (ov) {
    if (!detail::ReadNativeFile(ov, content)) content->clear();
    std::string s = "O:";
    s += ov;
    s += '\n';
    s += std::to_string(std::hash<std::string>{}(*content));
    s += ':';
    s += std::to_string(content->size());
    return s;
  }
  detail::ReadNativeFile("/proc/self/mountinfo", content);
  return "R:" + *content;
}

bool SameVolume(const VolumeInfo& a, const VolumeInfo& b) {
  return a.root == b.root && a.identity == b.identity && a.instance == b.instance &&
         a.type == b.type && a.serial == b.serial && a.vendor == b.vendor && a.model == b.model &&
         a.revision == b.revision;
}

}  // namespace

VolumeTable& VolumeTable::Instance() {
  static VolumeTable table;
  return table;
}

VolumeTable::VolumeTable() = default;

void VolumeTable::LoadLocked() {
  std::string content;
  stamp_ = CurrentStamp(&content);
  const char* ov = OverridePath();
  detail::VolumeSnapshot snap;
  if (ov) {
    snap = detail::ParseVolumeOverride(content);
    source_ = ov;
    overridden_ = true;
  } else {
    snap = detail::LoadRealVolumes(content, detail::NativeDrivesIniPath());
    source_.clear();
    overridden_ = false;
  }
  volumes_ = std::move(snap.volumes);
  shares_ = std::move(snap.shares);
  power_ = snap.power;
  pressure_ = snap.pressure;
  loaded_ = true;
}

void VolumeTable::EnsureLoadedLocked() const {
  // The override variable may be set or changed by a test at any time: a
  // different source than the last read means the table is read again.
  const char* ov = OverridePath();
  bool sourceChanged = ov ? source_ != ov : !source_.empty();
  if (!loaded_ || sourceChanged) const_cast<VolumeTable*>(this)->LoadLocked();
}

void VolumeTable::Reload(uint32_t* arrived, uint32_t* removed) {
  std::lock_guard<std::mutex> g(lock_);
  std::vector<VolumeInfo> before = volumes_;
  bool had = loaded_;
  LoadLocked();
  uint32_t in = 0, out = 0;
  if (had) {
    for (const auto& v : volumes_) {
      bool found = false;
      for (const auto& o : before) found |= o.letter == v.letter && SameVolume(o, v);
      if (!found) in |= 1u << (v.letter - 'A');
    }
    for (const auto& o : before) {
      bool found = false;
      for (const auto& v : volumes_) found |= o.letter == v.letter && SameVolume(o, v);
      if (!found) out |= 1u << (o.letter - 'A');
    }
  }
  if (arrived) *arrived = in;
  if (removed) *removed = out;
}

bool VolumeTable::ReloadIfChanged(uint32_t* arrived, uint32_t* removed) {
  {
    std::lock_guard<std::mutex> g(lock_);
    std::string content;
    if (loaded_ && CurrentStamp(&content) == stamp_) {
      if (arrived) *arrived = 0;
      if (removed) *removed = 0;
      return false;
    }
  }
  Reload(arrived, removed);
  return true;
}

std::vector<VolumeInfo> VolumeTable::Volumes() const {
  std::lock_guard<std::mutex> g(lock_);
  EnsureLoadedLocked();
  return volumes_;
}

bool VolumeTable::Find(char letter, VolumeInfo* out) const {
  if (letter >= 'a' && letter <= 'z') letter = char(letter - 32);
  std::lock_guard<std::mutex> g(lock_);
  EnsureLoadedLocked();
  for (const auto& v : volumes_)
    if (v.letter == letter) {
      if (out) *out = v;
      return true;
    }
  return false;
}

bool VolumeTable::FindByNativePath(std::string_view nativePath, VolumeInfo* out) const {
  std::lock_guard<std::mutex> g(lock_);
  EnsureLoadedLocked();
  const VolumeInfo* best = nullptr;
  for (const auto& v : volumes_)
    if (detail::PathUnderRoot(nativePath, v.root) && (!best || v.root.size() > best->root.size()))
      best = &v;
  if (!best) return false;
  if (out) *out = *best;
  return true;
}

uint32_t VolumeTable::LogicalDrives() const {
  std::lock_guard<std::mutex> g(lock_);
  EnsureLoadedLocked();
  uint32_t mask = 0;
  for (const auto& v : volumes_) mask |= 1u << (v.letter - 'A');
  return mask;
}

DriveType VolumeTable::GetDriveType(char letter) const {
  VolumeInfo v;
  return Find(letter, &v) ? v.type : DriveType::kNoRootDir;
}

bool VolumeTable::FindShare(std::string_view share, ShareInfo* out) const {
  std::string name(share);
  while (name.size() > 2 && (name.back() == '\\' || name.back() == '/')) name.pop_back();
  for (char& c : name)
    if (c == '/') c = '\\';
  std::lock_guard<std::mutex> g(lock_);
  EnsureLoadedLocked();
  for (const auto& s : shares_)
    if (detail::EqualsAsciiNoCase(s.name, name)) {
      if (out) *out = s;
      return true;
    }
  for (const auto& v : volumes_)
    if (!v.remote.empty() && detail::EqualsAsciiNoCase(v.remote, name)) {
      if (out) *out = ShareInfo{v.remote, v.root, true};
      return true;
    }
  return false;
}

bool VolumeTable::FindShareByNativePath(std::string_view nativePath, ShareInfo* out) const {
  std::lock_guard<std::mutex> g(lock_);
  EnsureLoadedLocked();
  const ShareInfo* best = nullptr;
  for (const auto& s : shares_)
    if (s.online && detail::PathUnderRoot(nativePath, s.root) &&
        (!best || s.root.size() > best->root.size()))
      best = &s;
  if (!best) return false;
  if (out) *out = *best;
  return true;
}

PowerOverride VolumeTable::Power() const {
  std::lock_guard<std::mutex> g(lock_);
  EnsureLoadedLocked();
  return power_;
}

PressureOverride VolumeTable::Pressure() const {
  std::lock_guard<std::mutex> g(lock_);
  EnsureLoadedLocked();
  return pressure_;
}

bool VolumeTable::IsOverridden() const {
  std::lock_guard<std::mutex> g(lock_);
  EnsureLoadedLocked();
  return overridden_;
}

}  // namespace plat
