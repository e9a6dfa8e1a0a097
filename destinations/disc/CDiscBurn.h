// The archiving worker: writes the pending files (PendingFiles.h) to one or
// more discs through the disc-writing engine, waiting for the next disc
// between them, optionally verifying each; or only erases a rewritable disc.
// The dialogs set it up, start it, poll its flags and the progress counters,
// and answer the next-disc wait.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "common/CThread.h"
#include "destinations/disc/DiscEngine.h"
#include "destinations/disc/PendingFiles.h"

namespace disc {

// Progress shared with the progress dialogs (one job at a time).
struct BurnCounters {
  std::atomic<uint64_t> totalBytes{0};    // the whole job (twice the files when verifying)
  std::atomic<uint64_t> discBytes{0};     // the current disc (twice its files when verifying)
  std::atomic<uint64_t> writtenBytes{0};  // done so far, all discs
  std::atomic<bool> verify{false};
  std::atomic<uint32_t> discNumber{0};  // 1 for the first disc
  uint64_t FilesPlaced();
  void SetFilesPlaced(uint64_t n);
  void AddFilePlaced();

 private:
  std::mutex placedLock_;  // guards filesPlaced_
  uint64_t filesPlaced_ = 0;
};
BurnCounters& Counters();

// The disc kind's capacity when the disc is already complete (see the
// media table); 0 when the system's size of the drive is meant.
uint64_t CompleteDiscCapacity(int mediaType);

// Why the disc put in for the next part of the job is not written (yet).
enum class NextDiscRefusal : int {
  kNone,
  kJustWritten,  // the disc this job just wrote: it is still in the recorder
  kHoldsData,    // a disc that holds data and cannot be erased
  kAskErase,     // a rewritable disc that holds data: erased only when allowed
  kNoDisc,       // no disc (or none that can be read) in the recorder
};

class CDiscBurn : public CThread {
 public:
  static constexpr uint64_t kDefaultCapacity = 681574400;  // 650 MiB
  static constexpr const char* kPublisher = "OrlimtechUSA";
  static constexpr const char* kApplication = "Brevanto";

  explicit CDiscBurn(PendingList& list);
  ~CDiscBurn() override;

  // Set before StartJob.
  void SetRecorder(std::string name) { recorder_ = std::move(name); }
  void SetDiscName(std::string name) { discName_ = std::move(name); }
  // The store's "Latest" folder: the folders below it are made on the disc.
  void SetLatestFolder(std::string folder);
  void SetTotalBytes(uint64_t bytes) { totalBytes_ = bytes; }
  void SetDiscsNeeded(uint32_t n) { discsNeeded_ = n; }
  void SetVerify(bool on) { verifyAfter_ = on; }
  void SetEraseOnly(bool on) { eraseOnly_ = on; }
  void SetEject(bool on) { eject_ = on; }
  void SetWriteSpeed(int kbs) { writeSpeed_ = kbs; }

  // Starts the thread; 0, or 1 when it cannot start.
  int StartJob();
  // The next disc is in the drive.
  void NextDisc();
  // The rewritable disc that holds data may be erased and written.
  void EraseAndContinue();
  // Stops at the next step (also while waiting for the next disc).
  void Stop();

  bool Running() const { return running_.load(); }
  bool Waiting() const { return waiting_.load(); }
  // Counts the waits for a disc: a new one starts after each refusal too.
  uint32_t WaitNumber() const { return waits_.load(); }
  // Why the disc put in last was not taken (kNone for the first wait).
  NextDiscRefusal Refusal() const { return NextDiscRefusal(refusal_.load()); }
  bool Failed() const { return failed_.load(); }
  bool Verifying() const { return verifying_.load(); }
  bool Erasing() const { return erasing_.load(); }
  bool EraseFinished() const { return eraseFinished_.load(); }
  bool StopRequested();
  // Set with the failed flag when the image had no valid file structure.
  bool BadStructure() const { return badStructure_.load(); }
  std::string ErrorText();
  uint64_t DiscCapacity() const { return capacity_.load(); }
  uint32_t DiscsNeeded() const { return discsNeeded_; }
  // The true counts of the job so far: discs written whole, the files on
  // them, and the files left out.
  uint32_t DiscsWritten() const { return discsWritten_.load(); }
  uint64_t FilesOnDiscs() const { return filesOnDiscs_.load(); }
  uint64_t FilesSkipped() const { return filesSkipped_.load(); }
  // A disc was left part written by a stop or a failure.
  bool Unfinished() const { return unfinished_.load(); }

 protected:
  void Run() override;

 private:
  void EraseOnly();
  void Archive();
  // Builds one disc's image from the front of the list; null when it fails
  // or a stop was asked for (*stopped).
  Image* PackDisc(uint64_t capacity, uint64_t* placedBytes, bool* stopped);
  Node FolderChain(Image* image, const std::string& folder, bool* made);
  bool OpenRecorder();
  void ReleaseRecorder(bool eject);
  void SetFailed(const std::string& why);
  // Waits until the next disc is put in and can be written; false after a
  // stop or a failure.
  bool TakeNextDisc();
  NextDiscRefusal LookAtNextDisc(bool eraseAllowed);

  PendingList& list_;
  Device* device_ = nullptr;
  std::string recorder_;
  std::string discName_;
  std::string latest_;
  std::atomic<uint64_t> capacity_{kDefaultCapacity};
  uint64_t totalBytes_ = 0;
  uint32_t discsNeeded_ = 1;
  std::atomic<bool> running_{false};
  std::atomic<bool> waiting_{false};
  std::atomic<bool> failed_{false};
  std::atomic<bool> verifying_{false};
  std::atomic<bool> erasing_{false};
  std::atomic<bool> eraseFinished_{false};
  std::atomic<bool> badStructure_{false};
  std::atomic<uint32_t> waits_{0};
  std::atomic<int> refusal_{0};
  std::string lastIdentity_;  // of the disc written last (worker thread only)
  std::atomic<uint32_t> discsWritten_{0};
  std::atomic<uint64_t> filesOnDiscs_{0};  // files on the discs written whole
  std::atomic<uint64_t> filesSkipped_{0};  // files left out (each said in the log)
  std::atomic<bool> unfinished_{false};    // a disc was left part written
  bool verifyAfter_ = false;
  bool eraseOnly_ = false;
  bool eject_ = false;
  int writeSpeed_ = 0;
  bool engineUp_ = false;
  std::map<std::string, Node> folders_;  // image folders by store folder (worker thread only)

  std::mutex lock_;  // guards stopRequested_, nextDisc_, eraseAllowed_ and error_
  std::condition_variable nextDiscSignal_;
  bool stopRequested_ = false;
  bool nextDisc_ = false;  // the next-disc event (manual reset)
  bool eraseAllowed_ = false;
  std::string error_;
};

}  // namespace disc
