// libburn and libisofs behind the calls of DiscEngine.h.
#include "destinations/disc/DiscEngine.h"

#include <libburn/libburn.h>
#include <libisofs/libisofs.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/Files.h"
#include "platform/Paths.h"

// libburn.h puts its C++ declarations into a namespace of their own.
using namespace burn;

namespace disc {

namespace {

std::mutex g_lock;  // guards g_users, g_scanned and g_addresses
int g_users = 0;
bool g_scanned = false;
std::vector<std::string> g_addresses;  // libburn addresses by recorder number
std::vector<PseudoDrive> g_pseudo;     // pseudo-drives, after the real ones

constexpr uint64_t kBlock = 2048;
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

// The engines' queued messages of severity SORRY and above, joined.
std::string TakeMessages() {
  std::string text;
  char msg[BURN_MSGS_MESSAGE_LEN];
  char sev[80];
  int code = 0, prio = 0;
  while (burn_msgs_obtain(const_cast<char*>("SORRY"), &code, msg, &prio, sev) == 1) {
    if (!text.empty()) text += "; ";
    text += msg;
  }
  int imgid = 0;
  char imsg[4096];
  while (iso_obtain_msgs(const_cast<char*>("SORRY"), &code, &imgid, imsg, sev) == 1) {
    if (!text.empty()) text += "; ";
    text += imsg;
  }
  return text;
}

int Fail(std::string* error, std::string_view what, int code = kDiscFailed) {
  if (error != nullptr) {
    std::string detail = TakeMessages();
    *error = std::string(what);
    if (!detail.empty()) *error += ": " + detail;
  }
  return code;
}

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

bool WaitIdle(burn_drive* drive, const Progress& progress, bool writing) {
  bool cancelled = false;
  burn_progress p{};
  while (burn_drive_get_status(drive, nullptr) == BURN_DRIVE_SPAWNING) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  while (burn_drive_get_status(drive, &p) != BURN_DRIVE_IDLE) {
    if (progress && !cancelled) {
      uint64_t done = writing ? uint64_t(p.sector) * kBlock : uint64_t(p.sector);
      uint64_t total = writing ? uint64_t(p.sectors) * kBlock : 0x10000;
      if (!progress(done, total)) {
        burn_drive_cancel(drive);
        cancelled = true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return !cancelled;
}

}  // namespace

struct Device {
  burn_drive_info* info = nullptr;
  burn_drive* drive = nullptr;
  bool pseudo = false;
  uint64_t capacity = 0;  // pseudo-drive capacity (0: the file system's)
  std::string file;       // pseudo-drive: the image file (native path)
};

struct Image {
  IsoImage* image = nullptr;
  burn::burn_source* source = nullptr;  // made by FinishImage
  uint64_t files = 0;
  uint64_t size = 0;
  bool written = false;
  bool checksum = true;
};

namespace {
// The pseudo-drive's image file holds this many bytes (0 when missing).
uint64_t PseudoFileSize(Device* device) {
  std::string path;
  plat::FindData data;
  if (!plat::ToSystemPath(device->file, &path) || !plat::GetFileInfo(path, &data)) return 0;
  return data.size;
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

Image* CreateImage(std::string* error) {
  auto* image = new Image;
  if (iso_image_new("BREVANTO", &image->image) < 0) {
    delete image;
    Fail(error, "no image can be made");
    return nullptr;
  }
  iso_tree_set_follow_symlinks(image->image, 0);
  return image;
}

Node RootNode(Image* image) {
  return image == nullptr ? nullptr : iso_image_get_root(image->image);
}

int AddFolder(Image* image, Node parent, std::string_view name, Node* folder, std::string* error) {
  IsoDir* dir = nullptr;
  std::string n(name);
  int r = iso_image_add_new_dir(image->image, static_cast<IsoDir*>(parent), n.c_str(), &dir);
  if (r < 0) return Fail(error, "the folder " + n + " cannot be put in the image");
  *folder = dir;
  return kDiscOk;
}

int AddFile(Image* image, Node parent, std::string_view name, std::string_view systemPath,
            std::string* error) {
  std::string native;
  std::string n(name);
  if (!plat::ToNativePath(systemPath, &native)) {
    return Fail(error, "the file " + std::string(systemPath) + " lies on no volume");
  }
  IsoNode* node = nullptr;
  int r = iso_tree_add_new_node(image->image, static_cast<IsoDir*>(parent), n.c_str(),
                                native.c_str(), &node);
  if (r < 0) {
    return Fail(error, "the file " + std::string(systemPath) +
                           " cannot be put in the image: " + iso_error_to_msg(r));
  }
  ++image->files;
  return kDiscOk;
}

uint64_t FileCount(Image* image) { return image == nullptr ? 0 : image->files; }

void SetImageChecksum(Image* image, bool on) {
  if (image != nullptr) image->checksum = on;
}

int FinishImage(Image* image, std::string_view label, std::string_view publisher,
                std::string_view application, std::string* error) {
  if (image == nullptr) return Fail(error, "no image");
  std::string l(label), p(publisher), a(application);
  iso_image_set_volume_id(image->image, l.c_str());
  iso_image_set_publisher_id(image->image, p.c_str());
  iso_image_set_application_id(image->image, a.c_str());
  iso_image_set_data_preparer_id(image->image, a.c_str());
  IsoWriteOpts* opts = nullptr;
  if (iso_write_opts_new(&opts, 1) < 0) return Fail(error, "no image options");
  iso_write_opts_set_iso_level(opts, 3);
  iso_write_opts_set_rockridge(opts, 1);
  iso_write_opts_set_joliet(opts, 1);
  iso_write_opts_set_joliet_long_names(opts, 1);
  iso_write_opts_set_joliet_longer_paths(opts, 1);
  iso_write_opts_set_allow_longer_paths(opts, 1);
  iso_write_opts_set_always_gmt(opts, 1);
  // The label and identifier texts as given, not cut to ISO 9660 upper case.
  iso_write_opts_set_relaxed_vol_atts(opts, 1);
  iso_write_opts_set_record_md5(opts, image->checksum ? 1 : 0, 0);
  if (image->source != nullptr) {
    image->source->cancel(image->source);
    burn_source_free(image->source);
    image->source = nullptr;
  }
  // libisofs declares its own copy of libburn's source type.
  int r = iso_image_create_burn_source(image->image, opts,
                                       reinterpret_cast<::burn_source**>(&image->source));
  iso_write_opts_free(opts);
  if (r < 0 || image->source == nullptr) {
    image->source = nullptr;
    return Fail(error, std::string("the image cannot be laid out: ") + iso_error_to_msg(r));
  }
  image->size = uint64_t(image->source->get_size(image->source));
  return kDiscOk;
}

uint64_t ImageSize(Image* image) { return image == nullptr ? 0 : image->size; }

void ReleaseImage(Image* image) {
  if (image == nullptr) return;
  if (image->source != nullptr) {
    if (!image->written && image->source->cancel != nullptr) image->source->cancel(image->source);
    burn_source_free(image->source);
  }
  iso_image_unref(image->image);
  delete image;
}

int WriteImage(Device* device, Image* image, uint32_t modes, const Progress& progress,
               std::string* error) {
  if (device == nullptr) return Fail(error, "no recorder", kDiscNoDevice);
  if (image == nullptr || image->source == nullptr) return Fail(error, "the image is not finished");
  if (modes == 0) return kDiscOk;
  int status = 0;
  uint64_t freeBlocks = 0;
  if (int r = DiscInfo(device, &status, &freeBlocks, error); r != kDiscOk) return r;
  if (status == kStatusComplete) return Fail(error, "the disc is already complete");
  if (image->size > freeBlocks * kBlock) {
    return Fail(error,
                "the image (" + std::to_string(image->size) + " bytes) is larger than the disc (" +
                    std::to_string(freeBlocks * kBlock) + " bytes)",
                kDiscTooLarge);
  }
  burn_track* track = burn_track_create();
  burn_track_define_data(track, 0, 0, 0, BURN_MODE1);
  burn_track_set_source(track, image->source);
  burn_session* session = burn_session_create();
  burn_session_add_track(session, track, BURN_POS_END);
  burn_disc* d = burn_disc_create();
  burn_disc_add_session(d, session, BURN_POS_END);
  burn_write_opts* opts = burn_write_opts_new(device->drive);
  burn_write_opts_set_perform_opc(opts, 0);
  burn_write_opts_set_multi(opts, 0);
  burn_write_opts_set_underrun_proof(opts, 1);
  // An image file is synced once, at the end (the default syncs every 16 MB).
  if (device->pseudo) burn_write_opts_set_stdio_fsync(opts, 1);
  char reasons[BURN_REASONS_LEN] = {};
  bool chosen = false;
  const std::pair<uint32_t, std::pair<burn_write_types, int>> order[] = {
      {kModeSao, {BURN_WRITE_SAO, BURN_BLOCK_SAO}},
      {kModeTao, {BURN_WRITE_TAO, BURN_BLOCK_MODE1}},
      {kModeRaw, {BURN_WRITE_RAW, BURN_BLOCK_RAW16}},
      {kModePacket, {BURN_WRITE_PACKET, BURN_BLOCK_MODE1}}};
  for (const auto& [mode, type] : order) {
    if ((modes & mode) == 0) continue;
    if (burn_write_opts_set_write_type(opts, type.first, type.second) == 1 &&
        burn_precheck_write(opts, d, reasons, 1) == 1) {
      chosen = true;
      break;
    }
  }
  if (!chosen && burn_write_opts_auto_write_type(opts, d, reasons, 0) == BURN_WRITE_NONE) {
    burn_write_opts_free(opts);
    burn_disc_free(d);
    burn_session_free(session);
    burn_track_free(track);
    return Fail(error, std::string("the recorder takes none of the recording modes: ") + reasons);
  }
  image->written = true;
  // The library's thread of the drive's last operation may still be ending
  // although the drive reads idle: the write is refused then, and asked for
  // again.
  for (int attempt = 0;; ++attempt) {
    TakeMessages();
    burn_disc_write(opts, d);
    if (burn_drive_get_status(device->drive, nullptr) != BURN_DRIVE_IDLE) break;
    std::string refused = TakeMessages();
    if (refused.find("still going on") == std::string::npos || attempt == 200) {
      if (!refused.empty()) {
        burn_write_opts_free(opts);
        burn_disc_free(d);
        burn_session_free(session);
        burn_track_free(track);
        image->source->cancel(image->source);
        return Fail(error, "writing the disc did not start: " + refused);
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  bool whole = WaitIdle(device->drive, progress, true);
  bool well = burn_drive_wrote_well(device->drive) == 1;
  burn_write_opts_free(opts);
  burn_disc_free(d);
  burn_session_free(session);
  burn_track_free(track);
  // libisofs's writer thread may still wait for its reader: it is ended.
  if (!whole || !well) image->source->cancel(image->source);
  if (!whole) return Fail(error, "writing was stopped", kDiscCancelled);
  if (!well) return Fail(error, "writing the disc failed");
  // The session checksum exists only once the whole image went out.
  uint32_t start = 0, end = 0;
  char md5[16];
  if (image->checksum && iso_image_get_session_md5(image->image, &start, &end, md5, 0) != 1) {
    return Fail(error, "the image was not written whole");
  }
  return kDiscOk;
}

int Verify(Device* device, Image* image, const Progress& progress, std::string* error) {
  if (device == nullptr) return Fail(error, "no recorder", kDiscNoDevice);
  if (image == nullptr || !image->written) return Fail(error, "nothing was written");
  uint32_t start = 0, end = 0;
  char expected[16] = {};
  if (iso_image_get_session_md5(image->image, &start, &end, expected, 0) != 1) {
    return Fail(error, "the image holds no checksum to compare with");
  }
  void* ctx = nullptr;
  if (iso_md5_start(&ctx) < 0) return Fail(error, "no checksum can be computed");
  constexpr uint32_t kStep = 32;  // blocks per read
  std::vector<char> buffer(kStep * kBlock);
  const uint64_t total = uint64_t(end - start) * kBlock;
  for (uint32_t lba = start; lba < end; lba += kStep) {
    uint32_t n = std::min(kStep, end - lba);
    off_t got = 0;
    if (burn_read_data(device->drive, off_t(lba) * off_t(kBlock), buffer.data(), off_t(n) * kBlock,
                       &got, 2) != 1 ||
        got != off_t(n) * off_t(kBlock)) {
      char sum[16];
      iso_md5_end(&ctx, sum);
      return Fail(error, "block " + std::to_string(lba) + " of the disc cannot be read back");
    }
    iso_md5_compute(ctx, buffer.data(), int(n * kBlock));
    if (progress && !progress(uint64_t(lba - start + n) * kBlock, total)) {
      char sum[16];
      iso_md5_end(&ctx, sum);
      return Fail(error, "verifying was stopped", kDiscCancelled);
    }
  }
  char actual[16] = {};
  iso_md5_end(&ctx, actual);
  if (!iso_md5_match(expected, actual)) {
    return Fail(error, "the disc does not hold what was written", kDiscMismatch);
  }
  return kDiscOk;
}

std::string JolietMapping(std::string_view name) {
  // Joliet keeps up to 103 UTF-16 units (long names), no "*/:;?\" and no
  // control characters; a character beyond 16 bits has no UCS-2 form.
  std::string out;
  size_t units = 0;
  bool changed = false;
  for (size_t i = 0; i < name.size();) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : 4;
    if (units >= 103) {
      changed = true;
      break;
    }
    if (len == 4 || (len == 1 && (c < 0x20 || std::strchr("*/:;?\\", c) != nullptr))) {
      out += '_';
      changed = true;
    } else {
      out.append(name.substr(i, len));
    }
    ++units;
    i += len;
  }
  return changed ? out : std::string();
}

}  // namespace disc
