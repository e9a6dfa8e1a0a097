// The three background jobs of the restore window, each on its own thread:
// CRestoreFiller lists a plan's store into a tree, CRestoreFinder applies a
// search to a tree, CRestoreCarrier copies the chosen files back. They report
// through IRestoreObserver, which the restore and progress windows implement.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/CThread.h"
#include "common/PlanSettings.h"
#include "history/RestoreTree.h"

class CDestination;
class CVersionFolder;
struct RestoreChoice;

// What the jobs need to know of a plan's store, taken from the plan once
// when the job is made, so a job never touches the plan or its destination
// object while it runs.
struct RestoreStore {
  uint32_t planId = 0;
  int32_t storageType = kStorageLocal;
  std::string folder;     // the store folder (destination root) with its closing separator
  char separator = '\\';  // '/' on an FTP server
  FtpSettings ftp;        // FTP destinations only
  ObjectStoreSettings objectStore;  // object storage only
};
// The store of a plan's destination: its kind, root and settings. The caller
// keeps the destination alive meanwhile (a plan reads it under its lock:
// GetRestoreStore in plans/CPlan.h). False without a destination or a root.
bool GetDestinationStore(uint32_t planId, const CDestination* destination, RestoreStore* out);

// The carrier's progress record; valid during OnFileProgress only.
struct RestoreProgress {
  std::string currentName;        // the file about to be copied
  uint32_t percent = 0;           // 0-100 of the bytes to restore
  uint64_t bytesPerSecond = 0;    // measured so far (a guess before the first file)
  uint64_t remainingSeconds = 0;  // estimated
  bool measured = false;          // the speed was measured (else it is the guess)
};

// Callbacks of the jobs. Every callback runs on the job's thread, and the job
// goes on only when it returns. Callbacks marked "tree" may touch the tree
// (the job does not change it meanwhile); the others must not keep pointers
// into it. A window that forwards a callback to its UI thread and waits for
// the answer must not wait for the job's end on that UI thread at the same
// time (poll HasEnded() while handling its events instead). The defaults do
// nothing.
class IRestoreObserver {
 public:
  virtual ~IRestoreObserver() = default;

  // Filler, tree: the listing begins; show this new root.
  virtual void OnTreeRoot(const std::shared_ptr<CDirNode>& root) { (void)root; }
  // Filler, tree: the listing has finished; refresh (once before and once
  // after the totals are computed).
  virtual void OnTreeRefresh() {}
  // Finder, tree: the search is applied; rebuild the view from the root.
  virtual void OnSearchApplied(CDirNode* root) { (void)root; }
  // Finder, tree: show this node (every node, root first, depth first, when
  // the finder was asked to expand).
  virtual void OnShowNode(CDirNode* node) { (void)node; }
  // Finder: the search has finished.
  virtual void OnSearchFinished() {}
  // Version search: the protected folders with the matching files (null
  // when the store could not be read); the receiver takes the tree.
  virtual void OnVersionsFound(std::shared_ptr<CVersionFolder> found) { (void)found; }
  // Folder lister: what a listing found for the folder (null: the store's
  // protected folders); listed null with a failure text when it could not.
  virtual void OnFolderListed(CVersionFolder* folder, std::shared_ptr<CVersionFolder> listed,
                              const std::string& failure) {
    (void)folder;
    (void)listed;
    (void)failure;
  }

  // Choice collector: how far its walk has come (folders listed, files
  // found so far).
  virtual void OnChoicesProgress(uint64_t folders, uint64_t files) {
    (void)folders;
    (void)files;
  }
  // Choice collector: every file to restore (null with a failure text when
  // the store could not be reached or the walk went beyond its limits), and
  // how many files had no version at the time asked for (PendingChoices::
  // leftOut). Not called after a stop.
  virtual void OnChoicesCollected(std::shared_ptr<std::vector<RestoreChoice>> choices,
                                  const std::string& failure, uint64_t leftOut) {
    (void)choices;
    (void)failure;
    (void)leftOut;
  }

  // Carrier: one file is about to be copied.
  virtual void OnFileProgress(const RestoreProgress& progress) { (void)progress; }
  // Carrier: more of the file under way has come in (told at most every
  // quarter second during a download). The job does not wait for it; a
  // pause is the carrier's Hold.
  virtual void OnFilePart(const RestoreProgress& progress) { (void)progress; }
  // Carrier: the restore has finished (not sent when it was stopped).
  virtual void OnRestoreFinished() {}
  // Carrier: the restore failed (original location invalid, store
  // unreachable, a download failed). It may be followed by more progress.
  virtual void OnRestoreFailed() {}
  // Carrier: one file could not be restored: the file as the user reads it
  // (its target, or its store file when it has no target; empty when the
  // store could not be reached at all) and why.
  virtual void OnFileFailed(const std::string& file, const std::string& reason) {
    (void)file;
    (void)reason;
  }
  // Carrier: a text for a message box (the original location is invalid).
  virtual void OnMessageBox(const std::string& text) { (void)text; }

  // Any job: a line for the diagnostic trace (failed copies, unreachable
  // store). The jobs also write it to the process's error output.
  virtual void OnTrace(const std::string& text) { (void)text; }
};

// Base of the jobs. Lifecycle: made by the window, Begin() starts its thread,
// Stop() asks it to end at the next node or listing step (a transfer or a
// wait for a server under way ends at once), Join() waits for
// the thread; destroying a job stops and joins it. A stopped job leaves its
// partial results (a partly listed tree, a partly applied search, files
// already restored).
class CRestoreThread : public CThread {
 public:
  ~CRestoreThread() override;

  // Starts the job's thread: 0, or 1 when it cannot be created or was
  // started before.
  int Begin();
  // Sets the stop flag; the job ends at its next check. Does not wait.
  virtual void Stop();
  // True while the thread has not ended and the stop flag is 0.
  virtual bool IsJobRunning() const;
  // True once the job's body has returned (also when it was never started).
  bool HasEnded() const;
  bool StopRequested() const { return stop_.load() != 0; }
  // Waits for the thread (never from the job's own callbacks).
  void Wait() { Join(); }

  // The tree the job works on (the filler's new tree once it exists).
  std::shared_ptr<CDirNode> Root() const;

 protected:
  CRestoreThread(IRestoreObserver* observer, std::shared_ptr<CDirNode> root, RestoreStore store);
  // The job's work; runs on its thread.
  virtual void Work() = 0;
  // Whether the job's thread runs at the lowest priority (work nobody waits
  // for at the screen); jobs whose result the window waits for say no.
  virtual bool InBackground() const { return true; }
  // Every final job calls this first in its destructor, so its thread never
  // runs Work on a half-destroyed object.
  void StopAndJoin();

  void Trace(const std::string& text);
  void SetRoot(std::shared_ptr<CDirNode> root);
  IRestoreObserver* Observer() const { return observer_; }
  const RestoreStore& Store() const { return store_; }
  std::atomic<int32_t>& StopFlag() { return stop_; }

 private:
  void Run() final;

  std::atomic<int32_t> stop_{0};      // 0 running, 1 stop; the only field two threads write
  std::atomic<bool> cancel_{false};   // the same for the job thread's transfers (set with stop_)
  IRestoreObserver* const observer_;  // may be null
  const RestoreStore store_;
  mutable std::mutex lock_;  // guards root_, started_ and ended_
  std::shared_ptr<CDirNode> root_;
  bool started_ = false;
  bool ended_ = false;
};

// Lists the store folder into a new tree; when complete, keeps it in the
// node cache under the plan.
class CRestoreFiller final : public CRestoreThread {
 public:
  CRestoreFiller(IRestoreObserver* observer, RestoreStore store);
  ~CRestoreFiller() override;

 protected:
  void Work() override;
};

// Applies a search pattern to a tree and recomputes its totals.
class CRestoreFinder final : public CRestoreThread {
 public:
  // expand: report every node after the search.
  CRestoreFinder(IRestoreObserver* observer, std::shared_ptr<CDirNode> root, RestoreStore store,
                 std::string pattern, bool expand);
  ~CRestoreFinder() override;

 protected:
  void Work() override;

 private:
  const std::string pattern_;
  const bool expand_;
};

// Copies the chosen files of a tree out of the store. A stop ends the
// download under way too: its temporary file goes, the file in place stays.
class CRestoreCarrier final : public CRestoreThread {
 public:
  // targetFolder empty: back to the original location. restoreAll: every
  // visible node, regardless of check marks.
  // keepFrom: below a chosen folder, files below one of these folders (system
  // paths) keep only the folders from that one down (MakeRestoreTarget).
  CRestoreCarrier(IRestoreObserver* observer, std::shared_ptr<CDirNode> root, RestoreStore store,
                  std::string targetFolder, bool restoreAll,
                  std::vector<std::string> keepFrom = {});
  ~CRestoreCarrier() override;

  // Files copied and files that failed, for the caller once the job ended.
  uint64_t FilesCopied() const { return copied_.load(); }
  uint64_t FilesFailed() const { return failed_.load(); }
  // Any thread. While held, the download under way waits where its bytes
  // come in (the connection kept while the server allows; a download the
  // server dropped meanwhile starts again once let go) and nothing is put
  // in place; a stop ends the hold.
  void Hold(bool held);
  void Stop() override;

 protected:
  void Work() override;

 private:
  // False with the drive (or the store's "Latest" folder) that is missing.
  bool OriginalLocationIsValid(const CDirNode* root, std::string* missing) const;
  void Fail(const std::string& file, const std::string& reason);
  // progress_ for done of the bytes to restore: percent, speed (measured once
  // bytes came in), time left.
  void Measure(uint64_t done);
  // Why a file cannot go back: the folder that stands where a drive should.
  std::string NoPlaceText(const std::string& nodePath) const;
  // Job thread: waits while held and not stopped; true when it waited.
  bool WaitWhileHeld();

  const std::string targetFolder_;
  const bool restoreAll_;
  const std::vector<std::string> keepFrom_;
  // Touched by the job's thread only while it runs.
  uint64_t totalBytes_ = 0, doneBytes_ = 0;
  uint64_t startTick_ = 0;
  RestoreProgress progress_;
  std::atomic<uint64_t> copied_{0}, failed_{0};
  std::mutex holdLock_;  // guards held_
  std::condition_variable holdChanged_;
  bool held_ = false;
};

// Where a store node goes when restored. nodePath lies below storeFolder
// (which ends with its separator). The part below the store folder loses a
// leading "Latest" or "Revision" folder name (exact case); a revision file
// loses its "(nnnn)" suffix. Original location (chosenFolder empty): the
// first folder must be a drive letter, "X\a\b" becoming "X:\a\b". Otherwise
// the chosen folder followed by the original folders as the user knows them
// ("X\a\b" of a drive whose native place is "/mnt/x" becomes
// "<chosen>\mnt\x\a\b"; an unknown drive keeps its letter), except that an
// original path below one of keepFrom (system folders, not drive roots; the
// longest wins) keeps that folder's name and what lies below it
// ("C:\home\ann\Docs\a.txt" with keepFrom "C:\home\ann\Docs" becomes
// "<chosen>\Docs\a.txt"). '/' becomes '\'. *targetFolder is the folder to
// create (the target itself for a folder node). False when no target can be
// formed.
bool MakeRestoreTarget(std::string_view nodePath, bool isFolder, std::string_view storeFolder,
                       std::string_view chosenFolder, std::string* target,
                       std::string* targetFolder, const std::vector<std::string>& keepFrom = {});
