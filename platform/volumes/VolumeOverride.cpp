// The override table: an INI file named by BREVANTO_VOLUMES.
#include <algorithm>
#include <cstdlib>

#include "platform/base/IniText.h"
#include "platform/volumes/VolumeSources.h"

namespace plat::detail {
namespace {

bool ParseU64(std::string_view s, uint64_t* out) {
  if (s.empty() || s.size() > 20) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    uint64_t d = uint64_t(c - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = v;
  return true;
}

DriveType ParseType(std::string_view t) {
  if (EqualsAsciiNoCase(t, "removable")) return DriveType::kRemovable;
  if (EqualsAsciiNoCase(t, "network") || EqualsAsciiNoCase(t, "remote")) return DriveType::kRemote;
  if (EqualsAsciiNoCase(t, "cdrom")) return DriveType::kCdRom;
  return DriveType::kFixed;
}

BusType ParseBus(std::string_view b) {
  if (EqualsAsciiNoCase(b, "usb")) return BusType::kUsb;
  if (EqualsAsciiNoCase(b, "1394") || EqualsAsciiNoCase(b, "ieee1394") ||
      EqualsAsciiNoCase(b, "firewire"))
    return BusType::kIeee1394;
  return BusType::kOther;
}

// "\\srv\share\" -> "\\srv\share" ("/" accepted as a separator).
std::string NormalizeShareName(std::string_view s) {
  std::string out(s);
  std::replace(out.begin(), out.end(), '/', '\\');
  while (out.size() > 2 && out.back() == '\\') out.pop_back();
  return out;
}

}  // namespace

bool ParseVolumeSerial(std::string_view text, uint32_t* serial) {
  std::string hex;
  for (char c : text)
    if (c != '-') hex += c;
  if (hex.size() != 8 || (text.size() == 9 && text[4] != '-') || text.size() > 9) return false;
  uint32_t v = 0;
  for (char c : hex) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = (v << 4) | uint32_t(d);
  }
  *serial = v;
  return true;
}

VolumeSnapshot ParseVolumeOverride(std::string_view iniText) {
  VolumeSnapshot snap;
  for (const IniSection& sec : ParseIni(iniText)) {
    const std::string& name = sec.name;
    if (name.size() == 1 &&
        ((name[0] >= 'C' && name[0] <= 'Z') || (name[0] >= 'c' && name[0] <= 'z'))) {
      std::string root = NormalizeRoot(sec.Get("Root"));
      if (root.empty()) continue;  // a letter needs an absolute native root
      VolumeInfo v;
      v.letter = name[0] >= 'a' ? char(name[0] - 32) : name[0];
      bool dup = false;
      for (const auto& o : snap.volumes) dup |= o.letter == v.letter;
      if (dup) continue;
      v.root = root;
      v.type = ParseType(sec.Get("Type", "fixed"));
      v.bus = ParseBus(sec.Get("Bus", "none"));
      ParseVolumeSerial(sec.Get("Serial"), &v.serial);
      v.vendor = sec.Get("Vendor");
      v.model = sec.Get("Model");
      v.revision = sec.Get("Revision");
      v.system = sec.Get("System") == "1";
      v.remote = NormalizeShareName(sec.Get("Remote"));
      v.identity = "override:" + v.root;
      v.label = sec.Get("Label");
      v.fileSystem = sec.Get("FileSystem");
      v.hasTotalBytes = ParseU64(sec.Get("TotalBytes"), &v.totalBytes);
      v.hasFreeBytes = ParseU64(sec.Get("FreeBytes"), &v.freeBytes);
      if (!v.remote.empty() && v.type == DriveType::kFixed) v.type = DriveType::kRemote;
      snap.volumes.push_back(std::move(v));
    } else if (name.size() > 2 && (name[0] == '\\' || name[0] == '/') &&
               (name[1] == '\\' || name[1] == '/')) {
      ShareInfo s;
      s.name = NormalizeShareName(name);
      s.root = NormalizeRoot(sec.Get("Root"));
      s.online = !s.root.empty() && sec.Get("Online", "1") != "0";
      snap.shares.push_back(std::move(s));
    } else if (EqualsAsciiNoCase(name, "Power")) {
      std::string src = sec.Get("Source");
      if (EqualsAsciiNoCase(src, "ac")) snap.power = PowerOverride::kAc;
      if (EqualsAsciiNoCase(src, "battery")) snap.power = PowerOverride::kBattery;
      const std::string pressure = sec.Get("Pressure");
      if (EqualsAsciiNoCase(pressure, "busy")) snap.pressure = PressureOverride::kBusy;
      if (EqualsAsciiNoCase(pressure, "idle")) snap.pressure = PressureOverride::kIdle;
      if (EqualsAsciiNoCase(pressure, "loaded")) snap.pressure = PressureOverride::kLoaded;
    }
  }
  std::sort(snap.volumes.begin(), snap.volumes.end(),
            [](const VolumeInfo& a, const VolumeInfo& b) { return a.letter < b.letter; });
  return snap;
}

}  // namespace plat::detail
