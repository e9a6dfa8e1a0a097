#include "platform/volumes/VolumeHandles.h"

#include <map>
#include <mutex>

#include "platform/base/Errors.h"

namespace plat {
namespace {

struct HandleTable {
  std::mutex lock;  // guards next and open
  VolumeHandle next = 0x1000;
  std::map<VolumeHandle, VolumeInfo> open;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // lives to process end
  return *table;
}

}  // namespace

VolumeHandle OpenVolume(char letter) {
  VolumeInfo info;
  if (!VolumeTable::Instance().Find(letter, &info)) {
    SetLastError(15);
    return kInvalidVolume;
  }
  HandleTable& t = Table();
  std::lock_guard<std::mutex> g(t.lock);
  VolumeHandle h = ++t.next;
  t.open.emplace(h, std::move(info));
  return h;
}

void CloseVolume(VolumeHandle handle) {
  if (handle == kInvalidVolume) return;
  HandleTable& t = Table();
  std::lock_guard<std::mutex> g(t.lock);
  t.open.erase(handle);
}

bool VolumeHandleInfo(VolumeHandle handle, VolumeInfo* out) {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.open.find(handle);
  if (it == t.open.end()) return false;
  if (out) *out = it->second;
  return true;
}

bool QueryStorageDescriptor(VolumeHandle handle, std::string* vendor, std::string* product,
                            std::string* revision) {
  VolumeInfo info;
  bool ok = VolumeHandleInfo(handle, &info);
  if (vendor) *vendor = ok ? info.vendor : std::string();
  if (product) *product = ok ? info.model : std::string();
  if (revision) *revision = ok ? info.revision : std::string();
  if (!ok) SetLastError(6);
  return ok;
}

bool GetVolumeSerialNumber(std::string_view root, uint32_t* serial) {
  if (serial) *serial = 0;
  VolumeInfo info;
  if (root.size() < 2 || root[1] != ':' || !VolumeTable::Instance().Find(root[0], &info)) {
    SetLastError(3);
    return false;
  }
  if (info.identity.empty()) {
    SetLastError(kErrUnrecognizedVolume);  // no serial to compare
    return false;
  }
  if (serial) *serial = info.serial;
  return true;
}

bool SameVolumeInfo(const VolumeInfo& a, const VolumeInfo& b) {
  return a.letter == b.letter && a.root == b.root && a.identity == b.identity &&
         a.instance == b.instance && a.type == b.type && a.serial == b.serial &&
         a.vendor == b.vendor && a.model == b.model && a.revision == b.revision;
}

size_t OpenVolumeHandleCount() {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> g(t.lock);
  return t.open.size();
}

}  // namespace plat
