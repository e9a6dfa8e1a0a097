// The restore window's search as a job: walks the whole store on its own
// thread and hands over the protected folders with only the files whose
// names match (SearchVersions), through IRestoreObserver::OnVersionsFound.
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

 private:
  const std::string pattern_;
};
