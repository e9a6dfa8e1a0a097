// Counts the files and bytes of a selection on a thread of its own, so that
// the wizard's folder tree stays responsive while a large folder is summed.
// The owner sets the request up, starts the thread, reads the growing
// results at any time and may stop the walk; one object per request.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/CThread.h"

class CRuleSet;

class CTallyProcess : public CThread {
 public:
  // Paths of this many characters or more are not entered.
  static constexpr size_t kMaxFolderPath = 248;

  CTallyProcess() = default;
  // Stops the walk and waits for the thread.
  ~CTallyProcess() override;

  // The request; call before Start. startFolder gets a closing "\" (except
  // the "My Computer" entry); rules are not owned and must outlive the walk;
  // byteLimit 0 means none. Further folders are kept for the owner.
  void SetUp(std::string_view startFolder, const CRuleSet* rules, uint64_t byteLimit,
             bool wholeComputer, bool skipHidden, std::vector<std::string> folders = {});

  // Results so far, read together under the lock.
  void Results(uint64_t* bytes, uint64_t* files) const;
  uint64_t Bytes() const;
  uint64_t Files() const;
  // The walk ends at its next entry.
  void Stop() { stop_.store(true); }
  bool Stopped() const { return stop_.load(); }
  // True while the thread body runs.
  bool Running() const { return running_.load(); }

  const std::string& StartFolder() const { return startFolder_; }
  const std::vector<std::string>& Folders() const { return folders_; }

 protected:
  void Run() override;

 private:
  enum class Mode { kFolder, kDriveRoot, kRules, kWholeComputer };
  void TallyFolder();
  // Breadth-first walk below folder; false when it ended early (stop or limit).
  bool Walk(const std::string& folder, Mode mode, bool skipHidden);
  // Adds one file; false when the byte limit is now exceeded.
  bool AddFile(uint64_t size, bool addSize);
  bool OverLimit() const;

  // The request, fixed before the thread starts.
  std::string startFolder_;
  const CRuleSet* rules_ = nullptr;
  uint64_t byteLimit_ = 0;
  bool wholeComputer_ = false;
  bool skipHidden_ = false;
  std::vector<std::string> folders_;

  mutable std::mutex lock_;  // guards bytes_ and files_
  uint64_t bytes_ = 0;
  uint64_t files_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> running_{false};
};
