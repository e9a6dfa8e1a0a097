// The real volume table: mounts from /proc/self/mountinfo, device facts from
// sysfs, identities from what this user can read (VolumeIdentity.cpp),
// letters remembered per volume identity in Drives.ini.
#include <dirent.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "platform/base/IniText.h"
#include "platform/volumes/VolumeSources.h"

namespace plat::detail {
namespace {

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> f;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    size_t j = i;
    while (j < line.size() && line[j] != ' ') ++j;
    if (j > i) f.push_back(line.substr(i, j - i));
    i = j;
  }
  return f;
}

std::vector<MountLine> ParseMountInfo(std::string_view text) {
  std::vector<MountLine> out;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    auto f = Fields(line);
    // id parent devno root mountpoint options [optional...] - fstype source superopts
    size_t dash = 6;
    while (dash < f.size() && f[dash] != "-") ++dash;
    if (f.size() < 7 || dash + 2 >= f.size()) continue;
    MountLine m;
    m.id = std::string(f[0]);
    m.devno = std::string(f[2]);
    m.root = UnescapeMountField(f[3]);
    m.mountPoint = UnescapeMountField(f[4]);
    m.fsType = std::string(f[dash + 1]);
    m.source = UnescapeMountField(f[dash + 2]);
    // A later mount on the same folder hides the earlier one.
    out.erase(std::remove_if(out.begin(), out.end(),
                             [&](const MountLine& o) { return o.mountPoint == m.mountPoint; }),
              out.end());
    out.push_back(std::move(m));
  }
  return out;
}

bool IsNetworkFs(std::string_view t) {
  return t == "cifs" || t == "smb3" || t == "smbfs" || t == "nfs" || t == "nfs4" ||
         t == "fuse.sshfs";
}

// "//srv/share/sub" (cifs), "srv:/export/x" (nfs), "user@host:/path" (sshfs)
// -> "\\srv\share", "\\srv\export\x", "\\host\path".
std::string ShareNameOf(const MountLine& m) {
  std::string server, path;
  if (m.source.rfind("//", 0) == 0) {
    std::string_view rest = std::string_view(m.source).substr(2);
    size_t s1 = rest.find('/');
    if (s1 == std::string_view::npos) return {};
    server = std::string(rest.substr(0, s1));
    std::string_view after = rest.substr(s1 + 1);
    size_t s2 = after.find('/');
    path = std::string(after.substr(0, s2));  // the share, without a subfolder
  } else {
    size_t colon = m.source.find(':');
    if (colon == std::string::npos) return {};
    server = m.source.substr(0, colon);
    size_t at = server.rfind('@');
    if (at != std::string::npos) server = server.substr(at + 1);
    path = m.source.substr(colon + 1);
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    while (!path.empty() && path.back() == '/') path.pop_back();
  }
  if (server.empty() || path.empty()) return {};
  std::string name = "\\\\" + server + "\\" + path;
  std::replace(name.begin(), name.end(), '/', '\\');
  return name;
}

std::string ReadTrimmed(const std::string& path) {
  std::string s;
  ReadNativeFile(path, &s, 4096);
  size_t b = 0, e = s.size();
  while (b < e && (unsigned char)s[b] <= ' ') ++b;
  while (e > b && (unsigned char)s[e - 1] <= ' ') --e;
  return s.substr(b, e - b);
}

std::string RealPath(const std::string& p) {
  char buf[PATH_MAX];
  return ::realpath(p.c_str(), buf) ? std::string(buf) : std::string();
}

// Device facts from sysfs: type, bus, vendor/model/revision.
void FillFromSysfs(const MountLine& m, VolumeInfo* v) {
  std::string dev = RealPath("/sys/dev/block/" + m.devno);
  if (dev.empty()) return;
  std::string disk = dev;
  struct stat st;
  if (::stat((dev + "/partition").c_str(), &st) == 0) disk = dev.substr(0, dev.rfind('/'));
  std::string diskName = disk.substr(disk.rfind('/') + 1);
  bool removable = ReadTrimmed(disk + "/removable") == "1";
  if (diskName.rfind("sr", 0) == 0)
    v->type = DriveType::kCdRom;
  else if (removable)
    v->type = DriveType::kRemovable;
  if (disk.find("/usb") != std::string::npos)
    v->bus = BusType::kUsb;
  else if (disk.find("/firewire") != std::string::npos || disk.find("/fw") != std::string::npos ||
           disk.find("ieee1394") != std::string::npos)
    v->bus = BusType::kIeee1394;
  v->vendor = ReadTrimmed(disk + "/device/vendor");
  v->model = ReadTrimmed(disk + "/device/model");
  v->revision = ReadTrimmed(disk + "/device/rev");
}

}  // namespace

// Mount points escape blanks, tabs, newlines and "\" as octal ("\040").
std::string UnescapeMountField(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
        s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
      out += char((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

namespace {

void FillCapacity(VolumeInfo* v) {
  struct statvfs sv;
  if (::statvfs(v->root.c_str(), &sv) != 0) return;
  v->totalBytes = uint64_t(sv.f_blocks) * sv.f_frsize;
  v->freeBytes = uint64_t(sv.f_bavail) * sv.f_frsize;
}

// gvfs SMB mounts: <gvfs folder>/smb-share:server=S,share=N[,...].
void AddGvfsShares(const std::string& folder, std::vector<ShareInfo>* shares) {
  DIR* d = ::opendir(folder.c_str());
  if (!d) return;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n.rfind("smb-share:", 0) != 0) continue;
    std::string server, share;
    size_t i = 10;
    while (i < n.size()) {
      size_t comma = n.find(',', i);
      std::string kv = n.substr(i, comma == std::string::npos ? std::string::npos : comma - i);
      if (kv.rfind("server=", 0) == 0) server = kv.substr(7);
      if (kv.rfind("share=", 0) == 0) share = kv.substr(6);
      if (comma == std::string::npos) break;
      i = comma + 1;
    }
    if (!server.empty() && !share.empty())
      shares->push_back(ShareInfo{"\\\\" + server + "\\" + share, folder + "/" + n, true});
  }
  ::closedir(d);
}

bool MakeFolders(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      std::string part = path.substr(0, i);
      if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

}  // namespace

std::string NativeDrivesIniPath() {
  std::string folder;
  // Same rules as the data folder (Folders.h), which needs this table itself.
  if (const char* d = std::getenv("BREVANTO_DATA_DIR"); d && *d == '/') {
    folder = d;
  } else {
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x == '/') {
      folder = x;
    } else {
      const char* home = std::getenv("HOME");
      if (!home || *home != '/') {
        struct passwd* pw = ::getpwuid(::getuid());
        home = pw ? pw->pw_dir : nullptr;
      }
      if (!home) return {};
      folder = std::string(home) + "/.local/share";
    }
    folder += "/Orlimtech/Brevanto";
  }
  folder = NormalizeRoot(folder);
  if (folder.empty()) return {};
  return folder == "/" ? "/Drives.ini" : folder + "/Drives.ini";
}

VolumeSnapshot LoadRealVolumes(std::string_view mountinfo, const std::string& drivesIni) {
  VolumeSnapshot snap;
  std::vector<MountLine> mounts = ParseMountInfo(mountinfo);
  std::string rootDevno;
  for (const auto& m : mounts)
    if (m.mountPoint == "/") rootDevno = m.devno;

  VolumeInfo sys;
  sys.letter = 'C';
  sys.root = "/";
  sys.type = DriveType::kFixed;
  sys.system = true;
  sys.identity = "/";
  std::vector<VolumeInfo> others;
  std::set<std::string> seenDev, seenIdentity;
  for (const auto& m : mounts) {
    if (m.mountPoint == "/") {
      sys.fileSystem = m.fsType;
      sys.instance = m.id + "@" + m.devno;
      if (m.source.rfind("/dev/", 0) == 0) {
        std::string type = m.fsType;
        Identify(m, &sys, &type);
        if (sys.identity.empty())
          sys.identity = "/";  // there is only one system volume
        else
          sys.serial = SerialFromUuid(sys.identity, type);
        FillFromSysfs(m, &sys);
        sys.type = DriveType::kFixed;  // the system volume is fixed
      }
      continue;
    }
    if (m.mountPoint.empty() || m.mountPoint[0] != '/') continue;
    VolumeInfo v;
    v.root = NormalizeRoot(m.mountPoint);
    v.instance = m.id + "@" + m.devno;
    if (IsNetworkFs(m.fsType)) {
      v.type = DriveType::kRemote;
      v.remote = ShareNameOf(m);
      v.identity = m.source;
      v.fileSystem = m.fsType;
      if (!v.remote.empty()) snap.shares.push_back(ShareInfo{v.remote, v.root, true});
    } else if (m.fsType == "fuse.gvfsd-fuse") {
      AddGvfsShares(v.root, &snap.shares);
      continue;
    } else if (m.source.rfind("/dev/", 0) == 0 && m.fsType != "squashfs" && m.fsType != "erofs" &&
               m.fsType != "swap") {
      // A bind mount of a folder, or a second mount of a device already named
      // (the system's included), is not another volume.
      if (m.root != "/" || m.devno == rootDevno || !seenDev.insert(m.devno).second) continue;
      v.type = DriveType::kFixed;
      std::string type;
      Identify(m, &v, &type);
      if (type.empty()) type = m.fsType;
      v.fileSystem = type;
      v.serial = SerialFromUuid(v.identity, type);
      FillFromSysfs(m, &v);
      if (type == "iso9660" || type == "udf") v.type = DriveType::kCdRom;
      FillCapacity(&v);
    } else {
      continue;  // pseudo file systems
    }
    if (!v.identity.empty() && !seenIdentity.insert(v.identity).second) continue;
    others.push_back(std::move(v));
  }
  FillCapacity(&sys);

  // Letters: remembered ones first, then the lowest letter neither present nor
  // remembered for another volume (else the lowest not present). A volume
  // without identity is never remembered and never takes a remembered letter;
  // it keeps the letter it got while this mount of it lasts.
  std::string iniText;
  std::vector<IniSection> ini;
  if (!drivesIni.empty() && ReadNativeFile(drivesIni, &iniText, 1u << 20)) ini = ParseIni(iniText);
  const IniSection* known = FindSection(ini, "Drives");
  std::vector<std::pair<std::string, char>> remembered;  // identity -> letter
  if (known)
    for (const auto& e : known->entries) {
      char l = e.second.size() == 1 ? char(std::toupper((unsigned char)e.second[0])) : 0;
      // Device nodes named volumes once; they never name one now.
      if (l >= 'D' && l <= 'Z' && e.first.rfind("dev:", 0) != 0)
        remembered.emplace_back(e.first, l);
    }
  uint32_t taken = 1u << ('C' - 'A');
  uint32_t reserved = 0;
  for (const auto& r : remembered) reserved |= 1u << (r.second - 'A');
  for (auto& v : others) {
    for (const auto& r : remembered)
      if (!v.identity.empty() && EqualsAsciiNoCase(r.first, v.identity) &&
          !(taken & (1u << (r.second - 'A')))) {
        v.letter = r.second;
        taken |= 1u << (r.second - 'A');
        break;
      }
  }
  // Never destroyed: the device thread may still look while the process ends.
  static std::mutex& sessionLock = *new std::mutex;  // guards sessionLetters
  static std::map<std::string, char>& sessionLetters =
      *new std::map<std::string, char>;  // mount instance -> letter
  std::lock_guard<std::mutex> sessionGuard(sessionLock);
  std::map<std::string, char> stillMounted;
  for (auto& v : others) {
    if (!v.identity.empty()) continue;
    auto it = sessionLetters.find(v.instance);
    char l = it == sessionLetters.end() ? 0 : it->second;
    if (l && !((taken | reserved) & (1u << (l - 'A')))) v.letter = l;
    for (char c = 'D'; c <= 'Z' && !v.letter; ++c)
      if (!((taken | reserved) & (1u << (c - 'A')))) v.letter = c;
    if (!v.letter) continue;
    taken |= 1u << (v.letter - 'A');
    stillMounted[v.instance] = v.letter;
  }
  sessionLetters = std::move(stillMounted);
  bool changed = false;
  for (auto& v : others) {
    if (v.letter || v.identity.empty()) continue;
    char pick = 0;
    for (char l = 'D'; l <= 'Z' && !pick; ++l)
      if (!((taken | reserved) & (1u << (l - 'A')))) pick = l;
    for (char l = 'D'; l <= 'Z' && !pick; ++l)
      if (!(taken & (1u << (l - 'A')))) pick = l;
    if (!pick) continue;  // more volumes than letters
    v.letter = pick;
    taken |= 1u << (pick - 'A');
    changed = true;
    // The letter now belongs to this volume alone.
    remembered.erase(std::remove_if(remembered.begin(), remembered.end(),
                                    [&](const auto& r) {
                                      return r.second == pick ||
                                             EqualsAsciiNoCase(r.first, v.identity);
                                    }),
                     remembered.end());
    remembered.emplace_back(v.identity, pick);
  }
  if (changed && !drivesIni.empty()) {
    std::string text = "[Drives]\n";
    for (const auto& r : remembered) text += r.first + "=" + std::string(1, r.second) + "\n";
    MakeFolders(drivesIni.substr(0, drivesIni.rfind('/')));
    WriteNativeFileAtomic(drivesIni, text, 0600);
  }

  snap.volumes.push_back(std::move(sys));
  for (auto& v : others)
    if (v.letter) snap.volumes.push_back(std::move(v));
  std::sort(snap.volumes.begin(), snap.volumes.end(),
            [](const VolumeInfo& a, const VolumeInfo& b) { return a.letter < b.letter; });
  return snap;
}

}  // namespace plat::detail
