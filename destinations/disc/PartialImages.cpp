// The partial images of pseudo-drives: each image file is noted before the
// first block goes to it, and what a stopped, failed or cut write left is
// removed only once it is proven to be that very image: the same file
// (device and inode) no larger than the image and beginning as the image
// does. Anything else under its name is kept, and the log says why.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>

#include "common/ActivityLog.h"
#include "common/Settings.h"
#include "destinations/disc/DiscLibrary.h"
#include "platform/base/Errors.h"
#include "platform/process/Clock.h"
#include "platform/profile/Folders.h"
#include "platform/profile/Profile.h"

namespace disc {

namespace {

// The notes of the image files being written: a section per file (device
// and inode) with its path and what proves it. A write that ends, well or
// not, takes its section away; one that is left was cut by the end of the
// process.
std::string PartialImagesFile() { return GetDataFolder() + "PartialImages.ini"; }

std::string SectionOf(const plat::FileId& id) {
  return std::to_string(id.device) + "-" + std::to_string(id.inode);
}

// An image begins with its system area (blank here) and the primary volume
// descriptor, which holds the creation stamp given to this image alone.
constexpr uint64_t kDescriptor = 16 * kBlock;
constexpr size_t kCreatedAt = 813;

// Empty when the file under the noted path is the partial image noted, else
// why it is not (or not proven to be). held: the image file kept open since
// the note (its inode cannot have gone to another file), or null.
std::string WhyNotTheImage(const PartialNote& note, plat::File* held) {
  if (note.created.size() != 16) return "nothing noted proves it an image of this program";
  plat::FileId now;
  if (!plat::GetFileId(note.path, &now) || !(now == note.id))
    return "another file has taken its name";
  plat::File opened;
  plat::File* file = held;
  if (file == nullptr) {
    if (!opened.Open(note.path, plat::File::kRead, plat::File::kOpenExisting))
      return "it cannot be read (error " + std::to_string(plat::GetLastError()) + ")";
    file = &opened;
  }
  uint64_t size = 0;
  std::string head(kDescriptor + kCreatedAt + 17, '\0');
  size_t got = 0;
  if (!file->GetSize(&size) || !file->ReadAt(0, head.data(), head.size(), &got))
    return "it cannot be read (error " + std::to_string(plat::GetLastError()) + ")";
  if (size > note.imageBytes) return "it is larger than the image that was written to it";
  // What the image holds there, as far as the file goes: the blank system
  // area, then the descriptor's head and the creation stamp.
  const std::string stamp = note.created + '\0';  // the time zone: UTC
  const std::pair<uint64_t, std::string_view> fields[] = {{kDescriptor, std::string_view("\x01"
                                                                                         "CD001"
                                                                                         "\x01",
                                                                                         7)},
                                                          {kDescriptor + kCreatedAt, stamp}};
  bool same = head.find_first_not_of('\0') >= std::min<uint64_t>(got, kDescriptor);
  for (const auto& [at, bytes] : fields) {
    const size_t n = got > at ? std::min<size_t>(got - at, bytes.size()) : 0;
    same = same && head.compare(at, n, bytes.substr(0, n)) == 0;
  }
  if (!same) return "it does not begin as the image that was written to it";
  return {};
}

void LogPartialImage(const std::string& path, bool removed, const std::string& reason) {
  std::string native;
  plat::ToNativePath(path, &native);
  CLogSet::Instance().AppendRecord(
      std::string("#Disc Archive Partial Image ") + (removed ? "Removed" : "Kept") +
      "\nTime = " + plat::AscTime(plat::Now()) + "\nImage File = " + native +
      "\nReason = " + EscapeControls(reason) + "\n");
}

// Removes the file under the noted path when it is the partial image, else
// keeps it; either is logged (nothing when no file bears the name). True
// when it was removed.
bool RemoveIfTheImage(const PartialNote& note, plat::File* held, const char* why) {
  if (!plat::FileExists(note.path)) return false;
  std::string notIt = WhyNotTheImage(note, held);
  if (notIt.empty() && plat::DeleteFile(note.path)) {
    LogPartialImage(note.path, true, why);
    return true;
  }
  if (notIt.empty())
    notIt = "it cannot be removed (error " + std::to_string(plat::GetLastError()) + ")";
  LogPartialImage(note.path, false, notIt);
  return false;
}

uint64_t ToNumber(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 10); }

}  // namespace

void MarkPartialImage(Device* device, const Image* image) {
  UnmarkPartialImage(device);
  std::string path;
  if (!device->pseudo || !plat::ToSystemPath(device->file, &path) || !plat::EnsureDataFolder())
    return;
  // Made (empty, which is still a blank disc) when missing, so that it has
  // its inode; held open, so that the inode stays its own.
  auto file = std::make_unique<plat::File>();
  PartialNote note{path, {}, image->size, image->created};
  if (!file->Open(path, plat::File::kRead, plat::File::kOpenAlways) ||
      !plat::GetFileId(path, &note.id))
    return;
  const std::string list = PartialImagesFile(), section = SectionOf(note.id);
  plat::WriteProfileString(list, section, "Path", path.c_str());
  plat::WriteProfileString(list, section, "Device", std::to_string(note.id.device).c_str());
  plat::WriteProfileString(list, section, "Inode", std::to_string(note.id.inode).c_str());
  plat::WriteProfileString(list, section, "Image Size", std::to_string(note.imageBytes).c_str());
  plat::WriteProfileString(list, section, "Created", note.created.c_str());
  device->note = std::move(note);
  device->writing = std::move(file);
}

void UnmarkPartialImage(Device* device) {
  if (!device->writing) return;
  plat::WriteProfileString(PartialImagesFile(), SectionOf(device->note.id), nullptr, nullptr);
  device->writing.reset();
}

bool DiscardUnfinishedImage(Device* device) {
  if (device == nullptr || !device->writing) return false;
  const bool removed = RemoveIfTheImage(device->note, device->writing.get(),
                                        "left unfinished by a stopped or failed write");
  UnmarkPartialImage(device);
  return removed;
}

uint32_t SweepPartialImages() {
  const std::string list = PartialImagesFile();
  if (!plat::FileExists(list)) return 0;
  uint32_t removed = 0;
  for (const std::string& section : plat::GetProfileSectionNames(list)) {
    auto key = [&](const char* name) {
      return plat::GetProfileString(list, section, name, "", 4095);
    };
    PartialNote note{key("Path"),
                     {ToNumber(key("Device")), ToNumber(key("Inode"))},
                     ToNumber(key("Image Size")),
                     key("Created")};
    if (!note.path.empty() &&
        RemoveIfTheImage(note, nullptr, "left unfinished when the program ended"))
      ++removed;
    plat::WriteProfileString(list, section, nullptr, nullptr);
  }
  if (plat::GetProfileSectionNames(list).empty()) plat::DeleteFile(list);
  return removed;
}

}  // namespace disc
