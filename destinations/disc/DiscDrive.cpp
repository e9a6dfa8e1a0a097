// The disc engine's recorders: the libraries started and stopped, the
// recorders found (real ones, then the pseudo-drives), their discs, speeds
// and erasing.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "destinations/disc/DiscLibrary.h"
#include "platform/files/FolderAccess.h"

namespace disc {

namespace {

constexpr int kSlowestImageKbs = 1385;  // a DVD written at 1x

std::mutex g_lock;  // guards g_users, g_scanned and g_addresses
int g_users = 0;
bool g_scanned = false;
std::vector<std::string> g_addresses;  // libburn addresses by recorder number
std::vector<PseudoDrive> g_pseudo;     // pseudo-drives, after the real ones

constexpr const char* kNamePrefix = "CdRom";

struct MediaRow {
  const char* name;
};
const MediaRow kMedia[kMediaLast + 1] = {
    {"Unknown"},  {"CD-ROM"},    {"CD-R"},       {"CD-RW"},    {"DVD-ROM"},   {"DVD-R"},
    {"DVD-RAM"},  {"DVD-RW RO"}, {"DVD-RW SR"},  {"DVD+RW"},   {"DD CD-ROM"}, {"DD CD-R"},
    {"DD CD-RW"}, {"DVD+R"},     {"No media"},   {"DVD+R DL"}, {"DVD-R DL"},  {"BD-ROM"},
    {"BD-R"},     {"BD-RE"},     {"HD-DVD ROM"}, {"HD-DVD R"}, {"HD-DVD W"},
};

uint64_t ParseCapacity(std::string_view text) {
  uint64_t value = 0;
  size_t i = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9')
    value = value * 10 + (text[i++] - '0');
  if (i < text.size()) {
    switch (text[i]) {
      case 'K':
      case 'k':
        value <<= 10;
        break;
      case 'M':
      case 'm':
        value <<= 20;
        break;
      case 'G':
      case 'g':
        value <<= 30;
        break;
      default:
        break;
    }
  }
  return value;
}

void ScanLocked() {
  if (g_scanned) return;
  g_scanned = true;
  g_addresses.clear();
  burn_drive_info* infos = nullptr;
  unsigned int count = 0;
  // The scan runs on a thread of the library: asked again until it ends.
  int r = 0;
  while ((r = burn_drive_scan(&infos, &count)) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (r > 0 && infos != nullptr) {
    for (unsigned int i = 0; i < count; ++i) {
      char adr[BURN_DRIVE_ADR_LEN] = {};
      if (burn_drive_get_adr(&infos[i], adr) > 0) g_addresses.emplace_back(adr);
      // Given up again, so that OpenDevice can grab it by its address.
      burn_drive_info_forget(&infos[i], 0);
    }
    burn_drive_info_free(infos);
  }
  g_pseudo = PseudoDrivesFromEnvironment();
  for (const PseudoDrive& p : g_pseudo) g_addresses.push_back("stdio:" + p.path);
}

}  // namespace

std::string MediaTypeName(int type) {
  if (type < 0 || type > kMediaLast) return {};
  return kMedia[type].name;
}

int MediaTypeOfProfile(int profile) {
  switch (profile) {
    case 0x00:
      return kMediaNone;
    case 0x08:
      return 1;
    case 0x09:
      return 2;
    case 0x0a:
      return 3;
    case 0x10:
      return 4;
    case 0x11:
      return 5;
    case 0x12:
      return 6;
    case 0x13:
      return 7;
    case 0x14:
      return 8;
    case 0x1a:
      return 9;
    case 0x1b:
      return 13;
    case 0x2b:
      return 15;
    case 0x15:
    case 0x16:
      return 16;
    case 0x40:
      return 17;
    case 0x41:
    case 0x42:
      return 18;
    case 0x43:
      return 19;
    case 0x50:
      return 20;
    case 0x51:
      return 21;
    case 0x52:
    case 0x53:
      return 22;
    // A pseudo-drive behaves as a rewritable random-access disc.
    case 0xffff:
      return 6;
    default:
      return kMediaUnknown;
  }
}

int MediaFamily(int type) {
  if ((type >= 1 && type <= 3) || (type >= 10 && type <= 12)) return 1;
  if ((type >= 4 && type <= 9) || type == 13 || type == 15 || type == 16) return 2;
  if (type >= 17 && type <= 19) return 3;
  return 0;
}

bool IsRewritable(int type) {
  return type == 3 || type == 6 || type == 7 || type == 8 || type == 9 || type == 12 ||
         type == 19 || type == 22;
}

std::vector<PseudoDrive> PseudoDrivesFromEnvironment() {
  std::vector<PseudoDrive> out;
  const char* env = std::getenv("BREVANTO_PSEUDO_DRIVES");
  if (env == nullptr) return out;
  std::string_view rest(env);
  while (!rest.empty()) {
    size_t end = rest.find(';');
    std::string_view entry = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (entry.empty()) continue;
    PseudoDrive drive;
    size_t eq = entry.rfind('=');
    drive.path = std::string(entry.substr(0, eq));
    if (eq != std::string_view::npos) drive.capacity = ParseCapacity(entry.substr(eq + 1));
    if (!drive.path.empty() && drive.path[0] == '/') out.push_back(drive);
  }
  return out;
}

int Initialise(std::string* error) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_users++ > 0) return kDiscOk;
  if (burn_initialize() != 1) {
    --g_users;
    return Fail(error, "the disc library cannot start");
  }
  if (iso_init() < 0) {
    burn_finish();
    --g_users;
    return Fail(error, "the image library cannot start");
  }
  iso_set_local_charset(const_cast<char*>("UTF-8"), 0);
  burn_msgs_set_severities(const_cast<char*>("SORRY"), const_cast<char*>("NEVER"),
                           const_cast<char*>("libburn: "));
  iso_set_msgs_severities(const_cast<char*>("SORRY"), const_cast<char*>("NEVER"),
                          const_cast<char*>("libisofs: "));
  return kDiscOk;
}

void Shutdown() {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_users == 0 || --g_users > 0) return;
  iso_finish();
  burn_finish();
  g_scanned = false;
}

std::vector<std::string> RecorderNames() {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_users == 0) return {};  // the library is not started
  ScanLocked();
  std::vector<std::string> names;
  for (size_t i = 0; i < g_addresses.size(); ++i) names.push_back(kNamePrefix + std::to_string(i));
  return names;
}

void RescanRecorders() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_scanned = false;
}

Device* OpenDevice(std::string_view name, std::string* error) {
  std::string adr;
  uint64_t capacity = 0;
  bool pseudo = false;
  std::string file;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_users == 0) {
      Fail(error, "the disc library is not started", kDiscNoDevice);
      return nullptr;
    }
    ScanLocked();
    std::string_view prefix(kNamePrefix);
    size_t index = g_addresses.size();
    if (name.substr(0, prefix.size()) == prefix && name.size() > prefix.size()) {
      index = 0;
      for (char c : name.substr(prefix.size())) {
        if (c < '0' || c > '9') {
          index = g_addresses.size();
          break;
        }
        index = index * 10 + size_t(c - '0');
      }
    }
    if (index >= g_addresses.size()) {
      Fail(error, "no recorder is called " + std::string(name), kDiscNoDevice);
      return nullptr;
    }
    adr = g_addresses[index];
    size_t real = g_addresses.size() - g_pseudo.size();
    if (index >= real) {
      pseudo = true;
      capacity = g_pseudo[index - real].capacity;
      file = g_pseudo[index - real].path;
    }
  }
  burn_drive_info* info = nullptr;
  if (burn_drive_scan_and_grab(&info, adr.data(), 1) != 1 || info == nullptr) {
    Fail(error, "the recorder " + std::string(name) + " cannot be opened", kDiscNoDevice);
    return nullptr;
  }
  auto* device = new Device;
  device->info = info;
  device->drive = info[0].drive;
  device->pseudo = pseudo;
  device->capacity = capacity;
  device->file = file;
  return device;
}

void ReleaseDevice(Device* device, bool eject) {
  if (device == nullptr) return;
  burn_drive_release(device->drive, eject ? 1 : 0);
  burn_drive_info_free(device->info);
  delete device;
}

bool IsPseudo(Device* device) { return device != nullptr && device->pseudo; }

bool ImageFileWritable(Device* device) {
  if (device == nullptr || !device->pseudo) return device != nullptr;
  std::string path;
  if (!plat::ToSystemPath(device->file, &path)) return false;
  plat::FindData data;
  if (plat::GetFileInfo(path, &data) && (data.attributes & plat::kAttrReadOnly) != 0) return false;
  return plat::MayCreateIn(plat::PathFolder(path));
}

std::string PseudoDriveFile(std::string_view name) {
  std::lock_guard<std::mutex> hold(g_lock);
  ScanLocked();
  const std::string_view prefix(kNamePrefix);
  if (name.substr(0, prefix.size()) != prefix) return {};
  size_t index = 0;
  for (char c : name.substr(prefix.size())) {
    if (c < '0' || c > '9') return {};
    index = index * 10 + size_t(c - '0');
  }
  const size_t real = g_addresses.size() - g_pseudo.size();
  if (index < real || index >= g_addresses.size()) return {};
  return g_pseudo[index - real].path;
}

void DescribeDevice(Device* device, std::string* model, std::string* where) {
  model->clear();
  where->clear();
  if (device == nullptr) return;
  if (device->pseudo) {
    *where = device->file;
    return;
  }
  const auto trimmed = [](const char* text, size_t size) {
    std::string s(text, strnlen(text, size));
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
  };
  const burn_drive_info& info = device->info[0];
  const std::string vendor = trimmed(info.vendor, sizeof info.vendor);
  const std::string product = trimmed(info.product, sizeof info.product);
  *model = vendor.empty() || product.empty() ? vendor + product : vendor + " " + product;
  char adr[BURN_DRIVE_ADR_LEN] = {};
  if (burn_drive_d_get_adr(device->drive, adr) > 0) *where = adr;
}

int MediaType(Device* device) {
  if (device == nullptr) return kMediaUnknown;
  if (burn_disc_get_status(device->drive) == BURN_DISC_EMPTY) return kMediaNone;
  int profile = 0;
  char name[80] = {};
  if (burn_disc_get_profile(device->drive, &profile, name) != 1) return kMediaUnknown;
  return MediaTypeOfProfile(profile);
}

int DiscInfo(Device* device, int* status, uint64_t* freeBlocks, std::string* error) {
  if (device == nullptr) return Fail(error, "no recorder", kDiscNoDevice);
  *status = kStatusNone;
  *freeBlocks = 0;
  if (device->pseudo) {
    // libburn calls every image file appendable; an empty or missing file
    // stands for a blank disc, one with data for a disc that holds data.
    uint64_t bytes = PseudoFileSize(device);
    *status = bytes == 0 ? kStatusBlank : kStatusAppendable;
    uint64_t space = uint64_t(burn_disc_available_space(device->drive, nullptr));
    if (device->capacity > 0) space = device->capacity > bytes ? device->capacity - bytes : 0;
    *freeBlocks = space / kBlock;
    return kDiscOk;
  }
  switch (burn_disc_get_status(device->drive)) {
    case BURN_DISC_BLANK:
      *status = kStatusBlank;
      break;
    case BURN_DISC_APPENDABLE:
      *status = kStatusAppendable;
      break;
    case BURN_DISC_FULL:
      *status = kStatusComplete;
      break;
    case BURN_DISC_EMPTY:
      return Fail(error, "no disc in the recorder", kDiscNoMedia);
    default:
      return Fail(error, "the disc cannot be read", kDiscNoMedia);
  }
  if (*status == kStatusComplete) return kDiscOk;
  *freeBlocks = uint64_t(burn_disc_available_space(device->drive, nullptr)) / kBlock;
  return kDiscOk;
}

uint64_t DataBytes(Device* device) {
  if (device == nullptr) return 0;
  if (device->pseudo) return PseudoFileSize(device);
  if (burn_disc_get_status(device->drive) != BURN_DISC_APPENDABLE &&
      burn_disc_get_status(device->drive) != BURN_DISC_FULL) {
    return 0;
  }
  int blocks = 0;
  return burn_get_read_capacity(device->drive, &blocks, 0) == 1 ? uint64_t(blocks) * kBlock : 0;
}

int GetCapabilities(Device* device, Capabilities* caps, std::string* error) {
  if (device == nullptr) return Fail(error, "no recorder", kDiscNoDevice);
  const burn_drive_info& info = device->info[0];
  *caps = Capabilities();
  caps->writesCd = info.write_cdr || info.write_cdrw;
  caps->writesDvd = info.write_dvdr || info.write_dvdram;
  int count = 0;
  int profiles[64] = {};
  char current[64] = {};
  if (burn_drive_get_all_profiles(device->drive, &count, profiles, current) == 1) {
    for (int i = 0; i < count; ++i) {
      int family = MediaFamily(MediaTypeOfProfile(profiles[i]));
      if (family == 1) caps->writesCd = true;
      if (family >= 2 || profiles[i] == 0xffff) caps->writesDvd = true;
    }
  }
  if (device->pseudo) caps->writesDvd = true;
  if (info.sao_block_types & BURN_BLOCK_SAO) caps->modes |= kModeSao;
  if (info.tao_block_types & BURN_BLOCK_MODE1) caps->modes |= kModeTao;
  if (info.raw_block_types & BURN_BLOCK_RAW16) caps->modes |= kModeRaw;
  if (info.packet_block_types != 0) caps->modes |= kModePacket;
  // DVD, BD and pseudo-drives are written as one stream whatever the drive
  // says of its CD modes.
  if (caps->modes == 0 && (caps->writesDvd || caps->writesCd)) caps->modes = kModeSao;
  return kDiscOk;
}

std::vector<int> WriteSpeeds(Device* device) {
  std::vector<int> out;
  if (device == nullptr) return out;
  burn_speed_descriptor* list = nullptr;
  if (burn_drive_get_speedlist(device->drive, &list) == 1) {
    for (burn_speed_descriptor* s = list; s != nullptr; s = s->next) {
      if (s->write_speed > 0) out.push_back(s->write_speed);
    }
    burn_drive_free_speedlist(&list);
  }
  std::sort(out.rbegin(), out.rend());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

int SetSpeeds(Device* device, int readKbs, int writeKbs, std::string* error) {
  if (device == nullptr) return Fail(error, "no recorder", kDiscNoDevice);
  // libburn paces an image file by sleeping between its writes, and at a
  // crawl one sleep would outlast a stop: a pseudo-drive is written at a
  // DVD's 1x at the slowest (a stop then takes effect within a second).
  if (device->pseudo && writeKbs > 0) writeKbs = std::max(writeKbs, kSlowestImageKbs);
  burn_drive_set_speed(device->drive, readKbs == 65535 ? 0 : readKbs, writeKbs);
  return kDiscOk;
}

int Erase(Device* device, bool fast, const Progress& progress, std::string* error) {
  if (device == nullptr) return Fail(error, "no recorder", kDiscNoDevice);
  if (device->pseudo) {
    // libburn does not blank image files: emptying the file does.
    std::string path;
    plat::File file;
    if (!plat::ToSystemPath(device->file, &path) ||
        !file.Open(path, plat::File::kWrite, plat::File::kCreateAlways)) {
      return Fail(error, "the image file " + device->file + " cannot be emptied");
    }
    if (progress) progress(1, 1);
    return kDiscOk;
  }
  if (burn_disc_get_status(device->drive) == BURN_DISC_BLANK) return kDiscOk;
  if (!burn_disc_erasable(device->drive)) return Fail(error, "the disc cannot be erased");
  burn_disc_erase(device->drive, fast ? 1 : 0);
  bool whole = WaitIdle(device->drive, progress, false);
  if (!burn_drive_wrote_well(device->drive)) return Fail(error, "erasing the disc failed");
  return whole ? kDiscOk : kDiscCancelled;
}

}  // namespace disc
