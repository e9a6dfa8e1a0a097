// A scratch world for engine tests: a data folder of its own, a volume table
// with C: = "/" and a fixed E: for stores, source files outside /tmp (the
// built-in exclusions leave /tmp out), and plans made from settings records.
#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/Settings.h"
#include "engine/EngineEvents.h"
#include "history/CLoggingDatabase.h"
#include "plans/CPlan.h"
#include "plans/PlanSettings.h"
#include "plans/RuleSet.h"
#include "platform/Volumes.h"
#include "support/TempDir.h"

namespace bvtest {

// A plan whose destination a test may replace.
class TestPlan : public CSimplePlan {
 public:
  explicit TestPlan(PlanList* owner, std::function<void()> onDelete = {})
      : CSimplePlan(owner), onDelete_(std::move(onDelete)) {}
  ~TestPlan() override {
    StopAndWait();
    if (onDelete_) onDelete_();
  }
  // Enabled without a working thread: tests drive the task themselves.
  void EnableWithoutThread() {
    std::lock_guard<std::recursive_mutex> g(Lock());
    enabled_ = true;
  }
  void ReplaceDestination(std::unique_ptr<CDestination> dest) {
    std::lock_guard<std::recursive_mutex> g(Lock());
    destination_ = std::move(dest);
  }

 private:
  std::function<void()> onDelete_;
};

class EngineTestEnv {
 public:
  EngineTestEnv() {
    SaveEnv("TMPDIR", &oldTmp_);
    SaveEnv("BREVANTO_DATA_DIR", &oldData_);
    SaveEnv("BREVANTO_VOLUMES", &oldVolumes_);
    setenv("TMPDIR", HomeTestBase().c_str(), 1);
    data_ = std::make_unique<TempDir>();
    store_ = std::make_unique<TempDir>();
    src_ = std::make_unique<TempDir>();
    setenv("BREVANTO_DATA_DIR", data_->Native().c_str(), 1);
    ResetSettingsCache();
    volumesIni_ = data_->NativeOf("volumes.ini");
    WriteVolumes();
    setenv("BREVANTO_VOLUMES", volumesIni_.c_str(), 1);
    plat::VolumeTable::Instance().Reload();
  }
  ~EngineTestEnv() {
    RestoreEnv("BREVANTO_VOLUMES", oldVolumes_);
    RestoreEnv("BREVANTO_DATA_DIR", oldData_);
    RestoreEnv("TMPDIR", oldTmp_);
    plat::VolumeTable::Instance().Reload();
    ResetSettingsCache();
  }
  EngineTestEnv(const EngineTestEnv&) = delete;
  EngineTestEnv& operator=(const EngineTestEnv&) = delete;

  const TempDir& Data() const { return *data_; }
  const TempDir& Store() const { return *store_; }
  const TempDir& Src() const { return *src_; }

  // E: present or not (a missing destination drive).
  void SetStorePresent(bool present) {
    storePresent_ = present;
    WriteVolumes();
  }
  void SetFreeBytes(uint64_t bytes) {
    freeBytes_ = bytes;
    WriteVolumes();
  }
  void SetExtra(const std::string& text) {
    extra_ = text;
    WriteVolumes();
  }

  // A local-disk plan with its store in E:\<storeRel>, made as the wizard
  // would, with "group1" holding the given folders (system paths).
  std::unique_ptr<TestPlan> MakePlan(uint32_t id, int32_t unit, int32_t versions,
                                     const std::vector<std::string>& group1,
                                     PlanList* list = nullptr, bool initDone = false,
                                     const std::string& storeRel = "",
                                     std::function<void()> onDelete = {}) {
    PlanSettings s;
    s.name = "Plan " + std::to_string(id);
    s.id = id;
    s.storePath = "E:\\" + (storeRel.empty() ? "store" + std::to_string(id) : storeRel);
    s.storageType = kStorageLocal;
    s.scheduleNum = 1;
    s.scheduleUnit = unit;
    s.versionNumber = versions;
    s.initialScanDone = initDone ? 1 : 0;
    auto plan = std::make_unique<TestPlan>(list, std::move(onDelete));
    if (!plan->ApplySettings(s, kApplyCreate)) return nullptr;
    {
      std::lock_guard<std::recursive_mutex> g(plan->Lock());
      CRuleGroup* group = plan->Rules()->AddGroup(kRuleInclude, "group1", "Group1 Text");
      for (const auto& f : group1) group->AddItem(f, f);
    }
    plan->EnableWithoutThread();
    return plan;
  }

 private:
  static void SaveEnv(const char* name, std::optional<std::string>* out) {
    if (const char* v = std::getenv(name)) *out = v;
  }
  static void RestoreEnv(const char* name, const std::optional<std::string>& v) {
    if (v)
      setenv(name, v->c_str(), 1);
    else
      unsetenv(name);
  }
  void WriteVolumes() {
    std::string ini = "[C]\nRoot=/\nType=fixed\nBus=none\nSystem=1\n";
    if (storePresent_) {
      ini += "[E]\nRoot=" + store_->Native() + "\nType=fixed\nBus=none\n";
      if (freeBytes_) ini += "FreeBytes=" + std::to_string(*freeBytes_) + "\n";
    }
    ini += "[Power]\nSource=ac\n";
    ini += extra_;
    WriteNative(volumesIni_, ini);
    plat::VolumeTable::Instance().Reload();
  }

 public:
  // The journal record of a path; false when there is none.
  static bool RecordOf(CPlan* plan, const std::string& path, LogRecord* rec,
                       uint64_t* offset = nullptr) {
    CLoggingDatabase* db = plan->Database();
    uint64_t at = 0, next = 0;
    bool found = false;
    if (!db->Lookup(path, &at)) return false;
    if (db->ReadRecord(at, rec, &next, &found) != 0 || !found) return false;
    if (offset) *offset = at;
    return true;
  }

 private:
  std::optional<std::string> oldTmp_, oldData_, oldVolumes_;
  std::unique_ptr<TempDir> data_, store_, src_;
  std::string volumesIni_;
  bool storePresent_ = true;
  std::optional<uint64_t> freeBytes_;
  std::string extra_;
};

}  // namespace bvtest
