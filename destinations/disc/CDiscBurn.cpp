#include "destinations/disc/CDiscBurn.h"

#include "common/ActivityLog.h"
#include "platform/Clock.h"
#include "platform/Paths.h"

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
    if (r == kDiscOk && verifyAfter_) {
      verifying_ = true;
      r = Verify(device_, image, report(doneBefore + placed), &error);
      verifying_ = false;
    }
    ReleaseImage(image);
    if (r == kDiscCancelled) return;
    if (r != kDiscOk) return SetFailed(error);
    doneBefore += share;
    c.writtenBytes = doneBefore;
    if (StopRequested() || list_.Empty()) return;
    // The drive is let go so that the next disc can be put in.
    ReleaseRecorder(eject_);
    {
      std::unique_lock<std::mutex> hold(lock_);
      nextDisc_ = false;
      waiting_ = true;
      nextDiscSignal_.wait(hold, [this] { return nextDisc_; });
      waiting_ = false;
      if (stopRequested_) return;
    }
  }
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
    if (std::string mapped = JolietMapping(name); !mapped.empty()) {
      LogRecord("Disc Archive Name Mapped", "Source Path = " + LogPath(path) +
                                                "\nJoliet Name = " + EscapeControls(mapped) + "\n");
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
      LogRecord("Disc Archive File Skipped", "Source Path = " + LogPath(file.folder + file.name) +
                                                 "\nReason = larger than a disc (" +
                                                 std::to_string(capacity) + " bytes)\n");
      continue;
    }
    list_.PopFront();
    Counters().AddFilePlaced();
    bool made = false;
    Node folder = FolderChain(image, file.folder, &made);
    if (folder == nullptr) continue;
    const std::string source = file.folder + file.name;
    if (AddFile(image, folder, file.name, source, &error) != kDiscOk) {
      LogRecord("Disc Archive File Skipped",
                "Source Path = " + LogPath(source) + "\nReason = " + EscapeControls(error) + "\n");
      continue;
    }
    if (std::string mapped = JolietMapping(file.name); !mapped.empty()) {
      LogRecord("Disc Archive Name Mapped", "Source Path = " + LogPath(source) +
                                                "\nJoliet Name = " + EscapeControls(mapped) + "\n");
    }
    used += cost;
    *placedBytes += file.size;
  }
  return image;
}

}  // namespace disc
