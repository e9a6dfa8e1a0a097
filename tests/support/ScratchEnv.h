// A scratch world for plan and engine tests: a data folder, C: = "/" and a fixed E: for stores.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/PlanSettings.h"
#include "common/Settings.h"
#include "engine/CSimplePlan.h"
#include "history/CLoggingDatabase.h"
#include "plans/CPlan.h"
#include "plans/DefaultPlans.h"
#include "plans/RuleSet.h"
#include "platform/volumes/DeviceBroadcast.h"
#include "platform/volumes/Volumes.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace bvtest {

// A plan whose enabling starts no working thread: tests drive it themselves.
class IdlePlan : public CSimplePlan {
 public:
  using CSimplePlan::CSimplePlan;
  int Start() override { return 0; }
  void Stop() override {}
};

// A real plan (enabling starts its thread) whose destination a test may replace.
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

class ScratchEnv {
 public:
  // The volume watcher learns this test's disks at once (one a test before took away is back).
  ScratchEnv() {
    WriteVolumes();
    plat::DeviceBroadcaster::Instance().CheckNow();
  }
  ScratchEnv(const ScratchEnv&) = delete;
  ScratchEnv& operator=(const ScratchEnv&) = delete;

  const TempDir& Data() const { return data_; }
  const TempDir& Store() const { return store_; }
  const TempDir& Src() const { return src_; }
  // "E:\" + rel: a path on the store volume.
  static std::string OnE(const std::string& rel) { return "E:\\" + rel; }
  // Native path of the latest copy of Src()'s rel in the store E:\<storeRel>.
  std::string Latest(const std::string& storeRel, const std::string& rel) const {
    return store_.NativeOf(storeRel + "/Latest/C" + src_.NativeOf(rel));
  }

  // E: present or not, its free space, the power source, extra volume sections.
  void SetStorePresent(bool present) { Change(storePresent_, present); }
  void SetFreeBytes(uint64_t bytes) { Change(freeBytes_, std::optional<uint64_t>(bytes)); }
  void SetBattery(bool battery) { Change(battery_, battery); }
  // "busy", "idle" or "" (the machine's real load decides).
  void SetPressure(std::string pressure) { Change(pressure_, std::move(pressure)); }
  void SetExtra(const std::string& text) { Change(extra_, text); }

  // A settings record for a local-disk plan on E:.
  static PlanSettings Settings(const std::string& name, const std::string& storeRel,
                               int32_t unit = 1) {
    PlanSettings s;
    s.name = name;
    s.storePath = OnE(storeRel);
    s.storageType = kStorageLocal;
    s.scheduleNum = 1;
    s.scheduleUnit = unit;
    s.versionNumber = 3;
    return s;
  }

  // A plan in E:\<storeRel> (default "store<id>") as the wizard makes it, "group1" holding
  // the folders, enabled without a working thread.
  std::unique_ptr<TestPlan> MakePlan(uint32_t id, int32_t unit, int32_t versions,
                                     const std::vector<std::string>& group1,
                                     PlanList* list = nullptr, bool initDone = false,
                                     const std::string& storeRel = "",
                                     std::function<void()> onDelete = {}) {
    PlanSettings s = Settings("Plan " + std::to_string(id),
                              storeRel.empty() ? "store" + std::to_string(id) : storeRel, unit);
    s.id = id;
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

  // Replaces a plan's rules by one include group holding folder.
  static void IncludeOnly(CPlan* plan, const std::string& folder) {
    auto rules = std::make_unique<CRuleSet>();
    rules->AddGroup(kRuleInclude, "group1", "Sources")->AddItem(folder, "src");
    plan->ReplaceRules(std::move(rules));
  }

  // The journal record of a path; false when there is none.
  static bool RecordOf(CPlan* plan, const std::string& path, LogRecord* rec,
                       uint64_t* offset = nullptr) {
    CLoggingDatabase* db = plan->Database();
    uint64_t at = 0, next = 0;
    bool found = false;
    if (!db->Lookup(path, &at) || db->ReadRecord(at, rec, &next, &found) != 0 || !found)
      return false;
    if (offset) *offset = at;
    return true;
  }

 private:
  // Declared first, so it runs last: caches reset once the variables are back.
  struct Resetter {
    Resetter() { Reset(); }
    ~Resetter() { Reset(); }
    static void Reset() {
      plat::VolumeTable::Instance().Reload();
      ResetSettingsCache();
      ResetDefaultPlans();
    }
  };

  template <typename T>
  void Change(T& field, T value) {
    field = std::move(value);
    WriteVolumes();
  }
  void WriteVolumes() {
    std::string ini = "[C]\nRoot=/\nType=fixed\nBus=none\nSystem=1\n";
    if (storePresent_) {
      ini += "[E]\nRoot=" + store_.Native() + "\nType=fixed\nBus=none\n";
      if (freeBytes_) ini += "FreeBytes=" + std::to_string(*freeBytes_) + "\n";
    }
    ini += std::string("[Power]\nSource=") + (battery_ ? "battery" : "ac") + "\n";
    if (!pressure_.empty()) ini += "Pressure=" + pressure_ + "\n";
    ini += extra_;
    // Whole or not at all: the device watcher may read it at any moment.
    WriteNative(data_.NativeOf("volumes.ini.new"), ini);
    std::filesystem::rename(data_.NativeOf("volumes.ini.new"), data_.NativeOf("volumes.ini"));
    plat::VolumeTable::Instance().Reload();
  }

  Resetter resetter_;
  ScopedEnv tmp_{"TMPDIR", HomeTestBase()};
  TempDir data_, store_, src_;
  ScopedEnv dataVar_{"BREVANTO_DATA_DIR", data_.Native()};
  ScopedEnv volumesVar_{"BREVANTO_VOLUMES", data_.NativeOf("volumes.ini")};
  Resetter resetAfterSetUp_;
  bool storePresent_ = true;
  bool battery_ = false;
  std::string pressure_ = "idle";  // walks do not wait for the tests beside this one
  std::optional<uint64_t> freeBytes_;
  std::string extra_;
};

}  // namespace bvtest
