// The restore window's store work as jobs, so the window never waits for a
// store. CVersionFinder walks the whole store and hands over the protected
// folders with only the files whose names match (SearchVersions), through
// IRestoreObserver::OnVersionsFound. CFolderLister lists the protected
// folders, or one folder of a shown tree into a copy of its own, and hands
// it over through OnFolderListed (the window adopts it: AdoptListing).
// CChoiceCollector finds the files below the folders ticked before they were
// opened (FinishChoices) and hands every choice over through
// OnChoicesCollected, telling its progress on the way.
#pragma once
#include <memory>
#include <string>

#include "history/RestoreJobs.h"
#include "history/VersionTree.h"

class CVersionFinder final : public CRestoreThread {
 public:
  CVersionFinder(IRestoreObserver* observer, RestoreStore store, std::string pattern);
  ~CVersionFinder() override;

 protected:
  void Work() override;
  bool InBackground() const override { return false; }  // the window waits for it

 private:
  const std::string pattern_;
};

class CFolderLister final : public CRestoreThread {
 public:
  // folder null: the store's protected folders. Otherwise the folder's store
  // paths are copied here; the folder itself is only handed back.
  CFolderLister(IRestoreObserver* observer, RestoreStore store, CVersionFolder* folder);
  ~CFolderLister() override;

 protected:
  void Work() override;
  bool InBackground() const override { return false; }  // the window waits for it

 private:
  CVersionFolder* const target_;  // never touched by the job
  std::string latestPath_, revisionPath_, sourcePath_;
  bool storeRoot_ = false;
  bool sizes_ = false;  // the folder was listed: again, with every size and time
};

class CChoiceCollector final : public CRestoreThread {
 public:
  CChoiceCollector(IRestoreObserver* observer, RestoreStore store, PendingChoices pending,
                   WalkLimits limits = {});
  ~CChoiceCollector() override;

 protected:
  void Work() override;
  bool InBackground() const override { return false; }  // the window waits for it

 private:
  PendingChoices pending_;  // the job's own until it hands the choices over
  const WalkLimits limits_;
};
