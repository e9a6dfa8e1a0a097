// The file-operation suite every destination kind runs, and the helpers destination tests share.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include "common/PlanSettings.h"
#include "destinations/Destination.h"
#include "destinations/DestinationFactory.h"
#include "platform/volumes/Volumes.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

struct PlanOwner : IDestinationOwner {
  explicit PlanOwner(std::string f, uint32_t i = 0) : folder(std::move(f)), id(i) {}
  std::string GetPlanFolder() const override { return folder; }
  uint32_t GetPlanId() const override { return id; }
  std::string folder;
  uint32_t id;
};

// A plan folder of its own (named with a closing backslash, as plans name theirs) and its plan.
struct PlanFolder : bvtest::TempDir, PlanOwner {
  explicit PlanFolder(uint32_t id = 0) : PlanOwner(System() + "\\", id) {}
};

template <typename Dest>
std::unique_ptr<Dest> Configured(const std::string& root, IDestinationOwner* owner = nullptr) {
  auto dest = std::make_unique<Dest>(owner);
  PlanSettings settings;
  settings.storePath = root;
  dest->Configure(settings);
  return dest;
}

// A server destination (FTP, or SFTP for "sftp://" servers) or an object store on these settings.
template <typename Kind>
std::unique_ptr<CDestination> DestinationOn(const Kind& kind, IDestinationOwner* owner = nullptr) {
  constexpr bool kFtp = std::is_same_v<Kind, FtpSettings>;
  PlanSettings settings;
  settings.storageType = kFtp ? kStorageFtp : kStorageObject;
  if constexpr (kFtp)
    settings.ftp = kind;
  else
    settings.objectStore = kind;
  auto dest = CreateDestination(owner, settings.storageType);
  dest->Configure(settings);
  return dest;
}
// ... prepared as a plan's start (full) or its load does.
template <typename Kind>
std::unique_ptr<CDestination> PreparedOn(const Kind& kind, bool full,
                                         IDestinationOwner* owner = nullptr) {
  auto dest = DestinationOn(kind, owner);
  EXPECT_TRUE(dest->Prepare(full));
  return dest;
}

// The cause of the destination's pending refusal ("" when none), taken.
inline std::string Refusal(CDestination& dest) {
  std::string server, cause;
  dest.TakeServerRefusal(&server, &cause);
  return cause;
}

// The volume table from an override file for the object's life; Rewrite replaces it whole.
class ScopedVolumes {
 public:
  explicit ScopedVolumes(const std::string& iniText) { Rewrite(iniText); }
  ~ScopedVolumes() {
    env_.Restore();
    plat::VolumeTable::Instance().Reload();
  }
  void Rewrite(const std::string& iniText) {
    bvtest::WriteNative(path_ + ".new", iniText);
    std::filesystem::rename(path_ + ".new", path_);
    plat::VolumeTable::Instance().Reload();
  }
  // Readable for an ordinary user too (a look at the table reloads it).
  bool OpenToAll() const {
    return chmod(dir_.Native().c_str(), 0755) == 0 && chmod(path_.c_str(), 0644) == 0;
  }

 private:
  bvtest::TempDir dir_;
  std::string path_ = dir_.NativeOf("volumes.ini");
  bvtest::ScopedEnv env_{"BREVANTO_VOLUMES", path_};
};

// Runs fn in a child process as the user and group uid; what it returned, or "exit N" when the
// child could not become that user or tell it.
inline std::string AsUser(uid_t uid, const std::function<std::string()>& fn) {
  int said[2];
  if (pipe(said) != 0) return "no pipe";
  const pid_t child = fork();
  if (child == 0) {
    close(said[0]);
    if (setgid(uid) != 0 || setuid(uid) != 0) _exit(2);
    const std::string out = fn();
    _exit(write(said[1], out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 3);
  }
  close(said[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = read(said[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  close(said[0]);
  int status = -1;
  waitpid(child, &status, 0);
  const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return ok ? out : "exit " + std::to_string(WEXITSTATUS(status));
}

// A destination whose root lies in a fresh folder, with native access to it.
class DestinationWorld {
 public:
  virtual ~DestinationWorld() = default;
  virtual CDestination& Dest() = 0;
  // The destination's own path, and the native path, of "a/b.txt" in the store.
  virtual std::string PathOf(const std::string& rel) const = 0;
  virtual std::string NativeOf(const std::string& rel) const = 0;
  bvtest::TempDir& Sources() { return sources_; }
  // Straight into and out of the store, behind the destination's back.
  virtual void Put(const std::string& rel, const std::string& content) {
    bvtest::WriteNative(NativeOf(rel), content);
  }
  virtual std::string Get(const std::string& rel) const {
    return bvtest::ReadNative(NativeOf(rel));
  }
  virtual bool Exists(const std::string& rel) const {
    return std::filesystem::exists(std::filesystem::symlink_status(NativeOf(rel)));
  }
  virtual std::vector<std::string> Names(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(NativeOf(folder)))
      names.push_back(e.path().filename().string());
    return names;
  }
  virtual void MakeFolder(const std::string& rel) {
    std::filesystem::create_directories(NativeOf(rel));
  }

 private:
  bvtest::TempDir sources_;
};

struct DestinationKind {
  std::string name;
  std::function<std::unique_ptr<DestinationWorld>()> make;
  bool carriesReadOnly = true;  // moves keep the read-only attribute
  bool hasFolders = true;       // CreateFolders makes folders (object stores have none)
  bool stagesCopies = true;     // a copy lies whole under a temporary name before it replaces
  std::function<std::string()> unavailable = {};  // why the kind cannot run here
};

// A kind whose store is a local folder, on C: or on a share, made by the factory.
DestinationKind LocalKind(const std::string& name, int32_t storageType, bool onShare = false);

inline std::string KindName(const testing::TestParamInfo<DestinationKind>& i) {
  return i.param.name;
}
inline void PrintTo(const DestinationKind& kind, std::ostream* os) { *os << kind.name; }

class DestinationSuite : public testing::TestWithParam<DestinationKind> {
 protected:
  void SetUp() override;

  CDestination& Dest() { return world_->Dest(); }
  std::string PathOf(const std::string& rel) const { return world_->PathOf(rel); }
  std::string NativeOf(const std::string& rel) const { return world_->NativeOf(rel); }
  std::string Source(const std::string& rel, const std::string& content) {
    world_->Sources().Write(rel, content);
    return world_->Sources().SystemOf(rel);
  }
  void Put(const std::string& rel, const std::string& content) { world_->Put(rel, content); }
  std::string Get(const std::string& rel) const { return world_->Get(rel); }
  bool Exists(const std::string& rel) const { return world_->Exists(rel); }

  std::unique_ptr<DestinationWorld> world_;
};
