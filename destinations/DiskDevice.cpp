#include "destinations/DiskDevice.h"

#include "destinations/StoreMarker.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Text.h"
#include "platform/Volumes.h"

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

}  // namespace

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
  if (!plat::IsDirectory(root_)) plat::CreateDirectory(root_);  // one level only
  std::string marker = root_;
  if (marker.back() != '\\') marker.push_back('\\');
  marker += kStoreMarkerName;
  // An existing marker is truncated to empty. Hidden is a name convention on
  // some platforms (a leading dot there), so the attribute may have no effect.
  plat::File file;
  if (file.Open(marker, plat::File::kWrite, plat::File::kCreateAlways)) {
    file.Close();
    plat::SetFileAttributes(marker, plat::kAttrHidden);
  }
  return true;
}

void CDiskDevice::Refresh() {
  available_ = false;
  if (root_.size() < 2) return;
  std::string root = plat::TrimBlanks(root_);
  if (root.size() < 2 || root[1] != ':') return;
  char letter = root[0];
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'C' || letter > 'Z') return;  // A: and B: never hold a disk destination
  available_ = (plat::VolumeTable::Instance().LogicalDrives() >> (letter - 'A')) & 1u;
}
