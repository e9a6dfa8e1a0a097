// The disc-writing engine: a thin layer over libburn (drives, media, erasing,
// writing, reading back) and libisofs (ISO 9660 images with Joliet and Rock
// Ridge). Recorders are the drives libburn finds plus the pseudo-drives of
// BREVANTO_PSEUDO_DRIVES (image files that stand for discs). Every call
// returns 0 on success and a non-zero code with a readable text in *error on
// failure; nothing throws.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace disc {

enum : int {
  kDiscOk = 0,
  kDiscFailed = 1,
  kDiscNoDevice = 2,
  kDiscNoMedia = 3,
  kDiscCancelled = 4,
  kDiscTooLarge = 5,
  kDiscMismatch = 6,
};

// Disc status as the tool reads it.
enum : int { kStatusBlank = 0, kStatusAppendable = 1, kStatusComplete = 2, kStatusNone = 3 };

// Media kinds, numbered as the tool shows them (14 is "No media").
enum : int { kMediaUnknown = 0, kMediaNone = 14, kMediaLast = 22 };
// The name of a media kind ("DVD+RW"); empty above kMediaLast.
std::string MediaTypeName(int type);
// The media kind of a libburn profile number.
int MediaTypeOfProfile(int profile);
// 1 CD, 2 DVD, 3 BD, 0 other (for the speed labels and complete discs).
int MediaFamily(int type);
// True for the kinds that can be erased and written again.
bool IsRewritable(int type);

// Recording modes in their fixed order of preference.
enum : uint32_t { kModeSao = 1, kModeTao = 2, kModeRaw = 4, kModePacket = 8 };

struct Capabilities {
  bool writesCd = false;
  bool writesDvd = false;  // DVD or BD
  uint32_t modes = 0;      // kMode* bits
};

// Progress of a long operation: bytes (or steps) done of total. Returning
// false asks the operation to stop.
using Progress = std::function<bool(uint64_t done, uint64_t total)>;

// Pseudo-drives: BREVANTO_PSEUDO_DRIVES holds entries separated by ";",
// each a native path of an image file, optionally "=capacity" (bytes, or a
// number with K, M or G): "/tmp/a.iso=700M;/tmp/b.iso". The capacity replaces
// the free space of the file system as the disc's size.
struct PseudoDrive {
  std::string path;
  uint64_t capacity = 0;  // 0: what the file system holds
};
std::vector<PseudoDrive> PseudoDrivesFromEnvironment();

// Initialise / shut down (counted: the last shutdown ends the libraries).
int Initialise(std::string* error);
void Shutdown();

// The recorder names: "CdRom0", "CdRom1", ... for the real drives in the
// order libburn finds them, then one per pseudo-drive. Found once per
// process (RescanRecorders looks again); none before Initialise.
std::vector<std::string> RecorderNames();
void RescanRecorders();

struct Device;
struct Image;

// Opens (grabs) a recorder by name; null with *error when it cannot.
Device* OpenDevice(std::string_view name, std::string* error);
void ReleaseDevice(Device* device, bool eject = false);

int MediaType(Device* device);
// Status (kStatus*) and free blocks of 2048 bytes.
int DiscInfo(Device* device, int* status, uint64_t* freeBlocks, std::string* error);
// Bytes the disc already holds (0 for a blank disc).
uint64_t DataBytes(Device* device);
int GetCapabilities(Device* device, Capabilities* caps, std::string* error);
// Write speeds (kB/s) the drive offers for the loaded media, fastest first.
std::vector<int> WriteSpeeds(Device* device);
// Read speed 65535 (and 0) ask for the fastest; write 0 too.
int SetSpeeds(Device* device, int readKbs, int writeKbs, std::string* error);
bool IsPseudo(Device* device);
// A pseudo-drive whose image file can be made or rewritten where it lies;
// true for every real drive.
bool ImageFileWritable(Device* device);
// The image file (native path) of the pseudo-drive of that name; empty for
// a real drive or an unknown name. Known even when the drive cannot open.
std::string PseudoDriveFile(std::string_view name);
// What names the recorder for a person: a drive's vendor and model with its
// device ("ACME DVD-RW X1", "/dev/sr0"; either may be empty), a pseudo-drive's
// image file (model empty, the file's native path).
void DescribeDevice(Device* device, std::string* model, std::string* where);
// Erases a rewritable disc (fast: only what makes it blank).
int Erase(Device* device, bool fast, const Progress& progress, std::string* error);

// Images. Folders and files are nodes of the image tree; the root is
// RootNode(image). File names are kept whole for Rock Ridge; ISO 9660 gets
// forms libisofs derives, Joliet the names FinishImage chooses per folder
// (JolietRenames).
using Node = void*;
Image* CreateImage(std::string* error);
Node RootNode(Image* image);
int AddFolder(Image* image, Node parent, std::string_view name, Node* folder, std::string* error);
// Adds the file at a system path under the given name.
int AddFile(Image* image, Node parent, std::string_view name, std::string_view systemPath,
            std::string* error);
uint64_t FileCount(Image* image);
// Whether the image records a checksum of itself while it is made (on by
// default; Verify needs it, and costs a pass over the data).
void SetImageChecksum(Image* image, bool on);
// Volume label and the two identifier texts (publisher, application).
int FinishImage(Image* image, std::string_view label, std::string_view publisher,
                std::string_view application, std::string* error);
// Bytes the image takes once written (after FinishImage).
uint64_t ImageSize(Image* image);
void ReleaseImage(Image* image);

// Writes the image in the first of the given modes that the drive takes;
// modes 0: nothing is written (success). An image larger than the free space
// is refused (kDiscTooLarge) before anything is written.
int WriteImage(Device* device, Image* image, uint32_t modes, const Progress& progress,
               std::string* error);
// Removes what an unfinished write left on a pseudo-drive (its image file),
// only when the file under its name is still the very file written and
// begins as the image did; anything else is kept. Either is logged. A real
// disc keeps what it got. True when something was removed.
bool DiscardUnfinishedImage(Device* device);
// Removes the image files of pseudo-drives whose write was cut by the end of
// the process (killed, or the machine went down), each said in the log. Only
// a file this program noted before writing it, still the same file (device
// and inode), no larger than the image and beginning as the image did, is
// removed; a file kept is logged with why. The number removed.
uint32_t SweepPartialImages();
// What tells one written disc from another: the volume identifier and the
// creation time of the ISO 9660 file system on the disc in the drive. Empty
// when the disc holds none (blank, or data of another kind).
std::string DiscIdentity(Device* device);
// Reads the written session back and compares its checksum with the one
// computed while writing.
int Verify(Device* device, Image* image, const Progress& progress, std::string* error);

// The entries whose Joliet name on the disc is not their own name (case
// twins, names Windows cannot open, names over 103 characters), each as its
// path below the image root (names joined by "\\") and its Joliet name.
// Known once FinishImage has laid the image out.
std::vector<std::pair<std::string, std::string>> JolietRenames(Image* image);

}  // namespace disc
