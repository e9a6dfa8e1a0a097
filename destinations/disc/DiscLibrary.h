// What the disc engine's files share (not part of the module's interface):
// the recorder and image records behind the handles of DiscEngine.h, the
// libraries' messages and the wait for a drive to fall idle.
#pragma once
#include <libburn/libburn.h>
#include <libisofs/libisofs.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "destinations/disc/DiscEngine.h"
#include "platform/files/FileId.h"
#include "platform/files/Files.h"
#include "platform/volumes/Paths.h"

namespace disc {

// libburn.h puts its C++ declarations into a namespace of their own.
using namespace burn;

constexpr uint64_t kBlock = 2048;

// What proves a pseudo-drive's image file to be the partial image of a
// write: noted before the first block goes out (PartialImages.cpp).
struct PartialNote {
  std::string path;  // system path
  plat::FileId id;
  uint64_t imageBytes = 0;  // the whole image
  std::string created;      // the image's creation stamp
};

struct Device {
  burn_drive_info* info = nullptr;
  burn_drive* drive = nullptr;
  bool pseudo = false;
  uint64_t capacity = 0;  // pseudo-drive capacity (0: the file system's)
  std::string file;       // pseudo-drive: the image file (native path)
  // While its image file is written: the file, held open so that its inode
  // stays its own, and its note.
  std::unique_ptr<plat::File> writing;
  PartialNote note;
};

// A file or folder put in an image, for its Joliet name.
struct ImageEntry {
  std::string name;
  IsoNode* node = nullptr;
  bool folder = false;
};

struct Image {
  IsoImage* image = nullptr;
  burn::burn_source* source = nullptr;  // made by FinishImage
  uint64_t files = 0;
  uint64_t size = 0;
  bool written = false;
  // The creation time recorded in its volume descriptors ("YYYYMMDDhhmmsscc",
  // UTC), never the same for two images of a process: made by FinishImage.
  std::string created;
  bool checksum = true;
  // Each folder's entries in the order added (the root's under its node).
  std::unordered_map<IsoDir*, std::vector<ImageEntry>> children;
  // Entries whose Joliet name is not their own: path below the root ("\\"
  // between names) and the Joliet name. Made once by GiveJolietNames.
  std::vector<std::pair<std::string, std::string>> jolietRenames;
  bool jolietNamed = false;
};

// Notes the pseudo-drive's image file before the image is written to it
// (the file is made, empty, when missing); takes the note away.
void MarkPartialImage(Device* device, const Image* image);
void UnmarkPartialImage(Device* device);

// The engines' queued messages of severity SORRY and above, joined.
inline std::string TakeMessages() {
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

inline int Fail(std::string* error, std::string_view what, int code = kDiscFailed) {
  if (error != nullptr) {
    std::string detail = TakeMessages();
    *error = std::string(what);
    if (!detail.empty()) *error += ": " + detail;
  }
  return code;
}

inline bool WaitIdle(burn_drive* drive, const Progress& progress, bool writing) {
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

// The pseudo-drive's image file holds this many bytes (0 when missing).
inline uint64_t PseudoFileSize(Device* device) {
  std::string path;
  plat::FindData data;
  if (!plat::ToSystemPath(device->file, &path) || !plat::GetFileInfo(path, &data)) return 0;
  return data.size;
}
}  // namespace disc
