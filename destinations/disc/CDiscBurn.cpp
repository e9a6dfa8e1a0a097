#include "destinations/disc/CDiscBurn.h"

#include "common/ActivityLog.h"
#include "platform/files/Files.h"
#include "platform/process/Clock.h"
#include "platform/volumes/Paths.h"

namespace disc {

namespace {

constexpr uint64_t kBlock = 2048;
// Room the file system of an image takes besides the files' blocks: the
// descriptors, path tables and root folders of the ISO 9660 and Joliet trees
// and the checksum tags; each file's records in both trees; each folder's
// own blocks in both trees and its path-table entries.
constexpr uint64_t kImageReserve = 64 * kBlock;
constexpr uint64_t kPerFile = 768;
constexpr uint64_t kPerFolder = 3 * kBlock;

uint64_t Blocks(uint64_t bytes) { return (bytes + kBlock - 1) / kBlock * kBlock; }

void LogRecord(const std::string& title, const std::string& body) {
  CLogSet::Instance().AppendRecord("#" + title + "\nTime = " + plat::AscTime(plat::Now()) + "\n" +
                                   body);
}

}  // namespace

uint64_t BurnCounters::FilesPlaced() {
  std::lock_guard<std::mutex> hold(placedLock_);
  return filesPlaced_;
}
void BurnCounters::SetFilesPlaced(uint64_t n) {
  std::lock_guard<std::mutex> hold(placedLock_);
  filesPlaced_ = n;
}
void BurnCounters::AddFilePlaced() {
  std::lock_guard<std::mutex> hold(placedLock_);
  ++filesPlaced_;
}

BurnCounters& Counters() {
  static BurnCounters counters;
  return counters;
}

uint64_t CompleteDiscCapacity(int mediaType) {
  switch (MediaFamily(mediaType)) {
    case 1:
      return 681574400ull;
    case 2:
      return 5046586572ull;
    case 3:
      return 24696061952ull;
    default:
      return 0;
  }
}

CDiscBurn::CDiscBurn(PendingList& list) : list_(list) {
  std::string error;
  engineUp_ = Initialise(&error) == kDiscOk;
}

CDiscBurn::~CDiscBurn() {
  Stop();
  Join();
  ReleaseRecorder(false);
  if (engineUp_) Shutdown();
}

void CDiscBurn::SetLatestFolder(std::string folder) { latest_ = plat::WithSeparator(folder); }

int CDiscBurn::StartJob() {
  running_ = true;
  failed_ = false;
  if (!engineUp_ || Start() != 0) {
    running_ = false;
    SetFailed("the archiving cannot start");
    return 1;
  }
  return 0;
}

void CDiscBurn::NextDisc() {
  std::lock_guard<std::mutex> hold(lock_);
  nextDisc_ = true;
  nextDiscSignal_.notify_all();
}

void CDiscBurn::EraseAndContinue() {
  std::lock_guard<std::mutex> hold(lock_);
  eraseAllowed_ = true;
  nextDisc_ = true;
  nextDiscSignal_.notify_all();
}

void CDiscBurn::Stop() {
  std::lock_guard<std::mutex> hold(lock_);
  stopRequested_ = true;
  nextDisc_ = true;
  nextDiscSignal_.notify_all();
}

bool CDiscBurn::StopRequested() {
  std::lock_guard<std::mutex> hold(lock_);
  return stopRequested_;
}

std::string CDiscBurn::ErrorText() {
  std::lock_guard<std::mutex> hold(lock_);
  return error_;
}

void CDiscBurn::SetFailed(const std::string& why) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    error_ = why;
  }
  failed_ = true;
  LogRecord("Disc Archive Failed",
            "Recorder = " + recorder_ + "\nReason = " + EscapeControls(why) + "\n");
}

bool CDiscBurn::OpenRecorder() {
  if (device_ != nullptr) return true;
  std::string error;
  device_ = OpenDevice(recorder_, &error);
  if (device_ == nullptr) SetFailed(error);
  return device_ != nullptr;
}

void CDiscBurn::ReleaseRecorder(bool eject) {
  ReleaseDevice(device_, eject);
  device_ = nullptr;
}

void CDiscBurn::Run() {
  if (eraseOnly_) {
    EraseOnly();
  } else {
    Archive();
    // How the job ended, with its true counts, for a finish and a stop as for a failure.
    const BurnCounters& c = Counters();
    const std::string counts = "Recorder = " + recorder_ +
                               "\nFiles On Discs = " + std::to_string(filesOnDiscs_.load()) +
                               "\nFiles Skipped = " + std::to_string(filesSkipped_.load()) +
                               "\nDiscs Written = " + std::to_string(discsWritten_.load()) + "\n";
    if (!failed_.load() && StopRequested()) {
      LogRecord(
          "Disc Archive Stopped",
          counts + (unfinished_ ? "Unfinished Disc = " + std::to_string(c.discNumber.load()) + "\n"
                                : ""));
    } else if (!failed_.load()) {
      LogRecord("Disc Archive Finished", counts);
    }
  }
  ReleaseRecorder(eject_);
  verifying_ = false;
  waiting_ = false;
  running_ = false;
}

void CDiscBurn::EraseOnly() {
  erasing_ = true;
  eraseFinished_ = false;
  if (OpenRecorder()) {
    std::string error;
    int r = Erase(
        device_, true, [this](uint64_t, uint64_t) { return !StopRequested(); }, &error);
    if (r != kDiscOk && r != kDiscCancelled) SetFailed(error);
    ReleaseRecorder(false);
  }
  erasing_ = false;
  eraseFinished_ = true;
}

void CDiscBurn::Archive() {
  BurnCounters& c = Counters();
  c.totalBytes = verifyAfter_ ? totalBytes_ * 2 : totalBytes_;
  c.discBytes = 0;
  c.writtenBytes = 0;
  c.verify = verifyAfter_;
  c.discNumber = 0;
  c.SetFilesPlaced(0);
  discsWritten_ = 0;
  filesOnDiscs_ = 0;
  filesSkipped_ = 0;
  unfinished_ = false;
  if (list_.Empty()) return;
  uint64_t doneBefore = 0;
  while (true) {
    ++c.discNumber;
    if (!OpenRecorder()) return;
    std::string error;
    int status = kStatusNone;
    uint64_t freeBlocks = 0;
    if (DiscInfo(device_, &status, &freeBlocks, &error) != kDiscOk) return SetFailed(error);
    capacity_ =
        status == kStatusComplete ? CompleteDiscCapacity(MediaType(device_)) : freeBlocks * kBlock;
    SetSpeeds(device_, 65535, writeSpeed_, &error);

    if (capacity_ < kImageReserve + kPerFile + kPerFolder + kBlock) {
      return SetFailed("the disc is too small for its own file system and one file (" +
                       std::to_string(capacity_.load()) + " bytes free)");
    }
    uint64_t placed = 0;
    bool stopped = false;
    Image* image = PackDisc(capacity_, &placed, &stopped);
    if (stopped) return;
    if (image == nullptr) return SetFailed(ErrorText().empty() ? "no image" : ErrorText());
    const uint64_t share = verifyAfter_ ? placed * 2 : placed;
    c.discBytes = share;
    if (FileCount(image) == 0) {
      ReleaseImage(image);
      badStructure_ = true;
      return SetFailed("The disc has incorrect file structure!");
    }
    SetImageChecksum(image, verifyAfter_);
    if (FinishImage(image, discName_, kPublisher, kApplication, &error) != kDiscOk) {
      ReleaseImage(image);
      return SetFailed(error);
    }
    // The Joliet names as laid out, said before the disc is written.
    for (const auto& [path, joliet] : JolietRenames(image)) {
      LogRecord("Disc Archive Name Mapped", "Source Path = " + LogPath(latest_ + path) +
                                                "\nJoliet Name = " + EscapeControls(joliet) + "\n");
    }
    Capabilities caps;
    GetCapabilities(device_, &caps, &error);
    const uint64_t imageBytes = std::max<uint64_t>(ImageSize(image), 1);
    auto report = [&](uint64_t base) {
      return [this, &c, base, placed, imageBytes](uint64_t done, uint64_t) {
        c.writtenBytes = base + placed * std::min(done, imageBytes) / imageBytes;
        return !StopRequested();
      };
    };
    int r = WriteImage(device_, image, caps.modes, report(doneBefore), &error);
    if (r != kDiscOk) {
      // What a stopped or failed write left is no disc: its partial image goes
      // (only that very file, never another under its name).
      unfinished_ = true;
      DiscardUnfinishedImage(device_);
    }
    if (r == kDiscOk && verifyAfter_) {
      verifying_ = true;
      r = Verify(device_, image, report(doneBefore + placed), &error);
      verifying_ = false;
    }
    const uint64_t files = FileCount(image);
    ReleaseImage(image);
    if (r == kDiscCancelled) return;
    if (r != kDiscOk) return SetFailed(error);
    ++discsWritten_;
    filesOnDiscs_ += files;
    doneBefore += share;
    c.writtenBytes = doneBefore;
    if (StopRequested() || list_.Empty()) return;
    lastIdentity_ = DiscIdentity(device_);
    if (!TakeNextDisc()) return;
  }
}

bool CDiscBurn::TakeNextDisc() {
  refusal_ = int(NextDiscRefusal::kNone);
  while (true) {
    // The drive is let go so that the next disc can be put in.
    ReleaseRecorder(eject_);
    bool eraseAllowed = false;
    {
      std::unique_lock<std::mutex> hold(lock_);
      nextDisc_ = false;
      eraseAllowed_ = false;
      ++waits_;
      waiting_ = true;
      nextDiscSignal_.wait(hold, [this] { return nextDisc_; });
      eraseAllowed = eraseAllowed_;
      if (stopRequested_) {
        waiting_ = false;
        return false;
      }
    }
    // Waiting ends only with a disc taken, so that nobody reads the old wait as a new one.
    const NextDiscRefusal refusal = LookAtNextDisc(eraseAllowed);
    refusal_ = int(refusal);
    if (refusal == NextDiscRefusal::kNone) {
      waiting_ = false;
      return !failed_.load() && !StopRequested();
    }
    const char* why =
        refusal == NextDiscRefusal::kJustWritten ? "the disc just written is still in the recorder"
        : refusal == NextDiscRefusal::kHoldsData ? "the disc holds data and cannot be erased"
        : refusal == NextDiscRefusal::kNoDisc    ? "no disc that can be read is in the recorder"
                                                 : nullptr;
    if (why != nullptr) {
      LogRecord("Disc Archive Disc Refused", "Recorder = " + recorder_ + "\nDisc = " +
                                                 std::to_string(Counters().discNumber + 1) +
                                                 "\nReason = " + why + "\n");
    }
  }
}

NextDiscRefusal CDiscBurn::LookAtNextDisc(bool eraseAllowed) {
  std::string error;
  if (device_ == nullptr) device_ = OpenDevice(recorder_, &error);
  if (device_ == nullptr) return NextDiscRefusal::kNoDisc;
  int status = kStatusNone;
  uint64_t freeBlocks = 0;
  if (DiscInfo(device_, &status, &freeBlocks, &error) != kDiscOk) return NextDiscRefusal::kNoDisc;
  if (status == kStatusBlank) return NextDiscRefusal::kNone;
  // Above all never the disc just written: it is refused even when it could be erased.
  if (!lastIdentity_.empty() && DiscIdentity(device_) == lastIdentity_) {
    return NextDiscRefusal::kJustWritten;
  }
  if (!IsRewritable(MediaType(device_))) return NextDiscRefusal::kHoldsData;
  if (!eraseAllowed) return NextDiscRefusal::kAskErase;
  erasing_ = true;
  const int r = Erase(
      device_, true, [this](uint64_t, uint64_t) { return !StopRequested(); }, &error);
  erasing_ = false;
  if (r == kDiscCancelled) return NextDiscRefusal::kNone;  // the stop is seen by the caller
  if (r != kDiscOk) SetFailed(error);
  return NextDiscRefusal::kNone;
}

Node CDiscBurn::FolderChain(Image* image, const std::string& folder, bool* made) {
  *made = false;
  if (folder.size() < 3 || folder[1] != ':') return nullptr;
  if (folder.compare(0, latest_.size(), latest_) != 0) return nullptr;
  Node node = RootNode(image);
  std::string path = latest_;
  size_t pos = latest_.size();
  while (pos < folder.size()) {
    size_t end = folder.find('\\', pos);
    if (end == std::string::npos) end = folder.size();
    std::string name = folder.substr(pos, end - pos);
    pos = end + 1;
    if (name.empty()) continue;
    path += name + "\\";
    auto it = folders_.find(path);
    if (it != folders_.end()) {
      node = it->second;
      continue;
    }
    Node child = nullptr;
    std::string error;
    if (AddFolder(image, node, name, &child, &error) != kDiscOk) {
      LogRecord("Disc Archive Folder Skipped",
                "Source Path = " + LogPath(path) + "\nReason = " + EscapeControls(error) + "\n");
      return nullptr;
    }
    *made = true;
    folders_[path] = child;
    node = child;
  }
  return node;
}

Image* CDiscBurn::PackDisc(uint64_t capacity, uint64_t* placedBytes, bool* stopped) {
  std::string error;
  Image* image = CreateImage(&error);
  if (image == nullptr) {
    SetFailed(error);
    return nullptr;
  }
  folders_.clear();
  uint64_t used = kImageReserve;
  *placedBytes = 0;
  PendingFile file;
  while (used < capacity && list_.Front(&file)) {
    if (StopRequested()) {
      ReleaseImage(image);
      *stopped = true;
      return nullptr;
    }
    // Measured now: the store changes while a job runs (a backup replaces
    // a file), and a file that grew may have to open the next disc.
    plat::FindData now;
    if (!plat::GetFileInfo(file.folder + file.name, &now) ||
        (now.attributes & plat::kAttrDirectory) != 0) {
      list_.PopFront();
      Counters().AddFilePlaced();
      ++filesSkipped_;
      LogRecord("Disc Archive File Skipped", "Source Path = " + LogPath(file.folder + file.name) +
                                                 "\nReason = gone from the backup since it was "
                                                 "counted\n");
      continue;
    }
    file.size = now.size;
    // Folders not yet on this disc cost their own blocks.
    uint64_t newFolders = 0;
    for (size_t pos = file.folder.find('\\', latest_.size()); pos != std::string::npos;
         pos = file.folder.find('\\', pos + 1)) {
      if (folders_.count(file.folder.substr(0, pos + 1)) == 0) ++newFolders;
    }
    const uint64_t cost = Blocks(file.size) + kPerFile + newFolders * kPerFolder;
    if (used + cost >= capacity) {
      if (kImageReserve + cost < capacity) break;  // the disc is full: the file opens the next
      list_.PopFront();
      Counters().AddFilePlaced();
      ++filesSkipped_;
      LogRecord("Disc Archive File Skipped", "Source Path = " + LogPath(file.folder + file.name) +
                                                 "\nReason = larger than a disc (" +
                                                 std::to_string(capacity) + " bytes)\n");
      continue;
    }
    list_.PopFront();
    Counters().AddFilePlaced();
    bool made = false;
    Node folder = FolderChain(image, file.folder, &made);
    if (folder == nullptr) {
      ++filesSkipped_;  // its folder could not be made (said in the log)
      continue;
    }
    const std::string source = file.folder + file.name;
    if (AddFile(image, folder, file.name, source, &error) != kDiscOk) {
      ++filesSkipped_;
      LogRecord("Disc Archive File Skipped",
                "Source Path = " + LogPath(source) + "\nReason = " + EscapeControls(error) + "\n");
      continue;
    }
    used += cost;
    *placedBytes += file.size;
  }
  return image;
}

}  // namespace disc
