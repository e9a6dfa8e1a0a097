#include "destinations/DiskDevice.h"

#include <atomic>
#include "destinations/StoreMarker.h"

#include "platform/base/Text.h"
#include "platform/files/Files.h"
#include "platform/profile/Profile.h"
#include "platform/volumes/DeviceBroadcast.h"
#include "platform/volumes/Volumes.h"

namespace {

// Length of the white-space character at s[i] (ASCII white space and the
// Unicode space separators), 0 when it is something else.
size_t WhiteSpaceAt(std::string_view s, size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
  auto is = [&](std::string_view seq) { return s.substr(i, seq.size()) == seq; };
  if (is("\xC2\x85") || is("\xC2\xA0")) return 2;          // U+0085, U+00A0
  if (is("\xE1\x9A\x80") || is("\xE3\x80\x80")) return 3;  // U+1680, U+3000
  if (c == 0xE2 && i + 2 < s.size()) {
    unsigned char b1 = static_cast<unsigned char>(s[i + 1]);
    unsigned char b2 = static_cast<unsigned char>(s[i + 2]);
    if (b1 == 0x80 && ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF))
      return 3;                              // U+2000..U+200A, U+2028, U+2029, U+202F
    if (b1 == 0x81 && b2 == 0x9F) return 3;  // U+205F
  }
  return 0;
}

// Follows the device-change broadcasts for every disk destination: the
// letters whose volume went away (bit n = 'A' + n) until they arrive again.
// One object for the process, never destroyed, so no destination ever has to
// leave the broadcaster (which would wait for a delivery under a plan's lock).
class VolumeWatch final : public plat::IDeviceChangeRecipient {
 public:
  static VolumeWatch& Instance() {
    static VolumeWatch* watch = [] {
      auto* w = new VolumeWatch;
      plat::DeviceBroadcaster::Instance().AddRecipient(w);
      plat::DeviceBroadcaster::Instance().Start();
      return w;
    }();
    return *watch;
  }
  uint32_t Gone() const { return gone_.load(); }
  // The table holds the letter again (its arrival broadcast may still come).
  void Back(uint32_t bits) { gone_.fetch_and(~bits); }

  uint32_t OnDeviceChange(uint32_t event, const void* data, size_t size) override {
    if (data == nullptr || size < sizeof(plat::BroadcastVolume)) return 0;
    const auto* volume = static_cast<const plat::BroadcastVolume*>(data);
    if (volume->deviceType != plat::kDbtDevtypVolume) return 0;
    if (event == plat::kDbtDeviceRemoveComplete) gone_.fetch_or(volume->unitMask);
    if (event == plat::kDbtDeviceArrival) gone_.fetch_and(~volume->unitMask);
    return 0;
  }

 private:
  std::atomic<uint32_t> gone_{0};  // written on the broadcast thread, read by plans
};

// The drive letter's bit of a root "X:..." (C to Z), 0 for any other root.
uint32_t LetterBit(const std::string& root) {
  const std::string trimmed = plat::TrimBlanks(root);
  if (trimmed.size() < 2 || trimmed[1] != ':') return 0;
  char letter = trimmed[0];
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'C' || letter > 'Z') return 0;  // A: and B: never hold a disk destination
  return 1u << (letter - 'A');
}

}  // namespace

bool CDiskDevice::IsAvailable() const {
  return available_ && !storeAway_ && (VolumeWatch::Instance().Gone() & LetterBit(root_)) == 0;
}

bool CDiskDevice::LoadSettings() {
  std::string ini = DevicesIniPath();
  if (ini.empty() || !plat::FileExists(ini)) return false;
  root_ = plat::GetProfileString(ini, kDiskDeviceSection, "RootDir", "", 1023);
  return !root_.empty();
}

bool CDiskDevice::SaveSettings() {
  std::string ini = DevicesIniPath();
  std::string value;
  if (ini.empty() || !ProfileSafeValue(root_, &value)) return false;
  return plat::WriteProfileString(ini, kDiskDeviceSection, "RootDir", value.c_str());
}

void CDiskDevice::Configure(const PlanSettings& settings) {
  std::string_view path = settings.storePath;
  size_t begin = 0;
  while (begin < path.size()) {
    size_t n = WhiteSpaceAt(path, begin);
    if (n == 0) break;
    begin += n;
  }
  size_t end = path.size();
  while (end > begin && path[end - 1] == ' ') --end;
  root_ = path.substr(begin, end - begin);
}

bool CDiskDevice::Prepare(bool initialize) {
  if (!initialize || root_.empty()) return true;
  // The store holds copies of private files: only its owner may enter it.
  if (!plat::IsDirectory(root_)) plat::CreateDirectory(root_, /*privateMode=*/true);  // one level
  // A store there keeps its name (plans may share one); anything else under
  // the marker's name is replaced by a marker naming a new store.
  std::string id;
  TakeOrMakeStoreMarker(root_, &id);
  return true;
}

void CDiskDevice::Refresh() {
  VolumeWatch& watch = VolumeWatch::Instance();  // from now on a vanished volume is seen at once
  const uint32_t bit = LetterBit(root_);
  available_ = bit != 0 && (plat::VolumeTable::Instance().LogicalDrives() & bit) != 0;
  if (available_) watch.Back(bit);
}
