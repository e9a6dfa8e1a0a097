// The file-operation suite that every destination kind runs. A kind joins
// with one line in its own test file:
//
//   INSTANTIATE_TEST_SUITE_P(Disk, DestinationSuite, testing::Values(LocalKind("Disk", 1)),
//                            KindName);
//
// Each test gets a fresh DestinationWorld: a destination whose root lies in a
// new temporary folder, with native access to that folder for arranging and
// checking files, and a local folder for source files.
#pragma once
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "common/PlanSettings.h"
#include "destinations/Destination.h"
#include "destinations/DestinationFactory.h"
#include "support/TempDir.h"

// A server destination (FTP, or SFTP for "sftp://" servers) on these settings.
inline std::unique_ptr<CDestination> ServerDestination(const FtpSettings& ftp,
                                                       IDestinationOwner* owner = nullptr) {
  auto dest = CreateDestination(owner, kStorageFtp);
  PlanSettings settings;
  settings.storageType = kStorageFtp;
  settings.ftp = ftp;
  dest->Configure(settings);
  return dest;
}

class DestinationWorld {
 public:
  virtual ~DestinationWorld() = default;
  virtual CDestination& Dest() = 0;
  // The destination's own path of a store-relative path ("a/b.txt").
  virtual std::string PathOf(const std::string& rel) const = 0;
  // The native path of the same place.
  virtual std::string NativeOf(const std::string& rel) const = 0;
  // Local folder for the source files of copies.
  bvtest::TempDir& Sources() { return sources_; }
  // Writes a file straight into the store (a kind whose server works as
  // another user hands the new file and folders to that user).
  virtual void Put(const std::string& rel, const std::string& content);

 private:
  bvtest::TempDir sources_;
};

struct DestinationKind {
  std::string name;
  std::function<std::unique_ptr<DestinationWorld>()> make;
  bool carriesReadOnly = true;  // moves keep the read-only attribute
  bool usesFaultSeam = true;    // copies pass the platform's fault seam
  // Why the kind cannot run here (a server that did not start); empty: it can.
  std::function<std::string()> unavailable;
};

// A kind whose store is a plain local folder reached by a system path on C:
// (the temporary folder): the destination comes from the factory, configured
// with that folder and prepared.
DestinationKind LocalKind(const std::string& name, int32_t storageType);

std::string KindName(const testing::TestParamInfo<DestinationKind>& info);
inline void PrintTo(const DestinationKind& kind, std::ostream* os) { *os << kind.name; }

class DestinationSuite : public testing::TestWithParam<DestinationKind> {
 protected:
  void SetUp() override;
  void TearDown() override;

  CDestination& Dest() { return world_->Dest(); }
  std::string PathOf(const std::string& rel) const { return world_->PathOf(rel); }
  std::string NativeOf(const std::string& rel) const { return world_->NativeOf(rel); }
  // Writes a source file and returns its system path.
  std::string Source(const std::string& rel, const std::string& content);
  // Writes a file straight into the store.
  void Put(const std::string& rel, const std::string& content);
  std::string Get(const std::string& rel) const;
  bool Exists(const std::string& rel) const;

  std::unique_ptr<DestinationWorld> world_;
};
