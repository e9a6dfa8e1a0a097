// A scratch world for plan tests: a data folder of its own, a volume table
// with C: = "/" and a fixed E: for stores, and source files outside /tmp
// (the built-in exclusions leave /tmp out).
#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "app/Settings.h"
#include "plans/DefaultPlans.h"
#include "plans/PlanSettings.h"
#include "platform/Volumes.h"
#include "support/TempDir.h"

namespace bvtest {

class PlanTestEnv {
 public:
  PlanTestEnv() {
    SaveEnv("TMPDIR", &oldTmp_);
    SaveEnv("BREVANTO_DATA_DIR", &oldData_);
    SaveEnv("BREVANTO_VOLUMES", &oldVolumes_);
    setenv("TMPDIR", HomeTestBase().c_str(), 1);
    data_ = std::make_unique<TempDir>();
    store_ = std::make_unique<TempDir>();
    src_ = std::make_unique<TempDir>();
    setenv("BREVANTO_DATA_DIR", data_->Native().c_str(), 1);
    ResetSettingsCache();
    ResetDefaultPlans();
    volumesIni_ = data_->NativeOf("volumes.ini");
    WriteVolumes();
    setenv("BREVANTO_VOLUMES", volumesIni_.c_str(), 1);
    plat::VolumeTable::Instance().Reload();
  }
  ~PlanTestEnv() {
    RestoreEnv("BREVANTO_VOLUMES", oldVolumes_);
    RestoreEnv("BREVANTO_DATA_DIR", oldData_);
    RestoreEnv("TMPDIR", oldTmp_);
    plat::VolumeTable::Instance().Reload();
    ResetSettingsCache();
    ResetDefaultPlans();
  }
  PlanTestEnv(const PlanTestEnv&) = delete;
  PlanTestEnv& operator=(const PlanTestEnv&) = delete;

  const TempDir& Data() const { return *data_; }
  const TempDir& Store() const { return *store_; }
  const TempDir& Src() const { return *src_; }
  // "E:\" + rel: a path on the store volume.
  static std::string OnE(const std::string& rel) { return "E:\\" + rel; }

  void SetFreeBytes(uint64_t bytes) {
    freeBytes_ = bytes;
    WriteVolumes();
  }
  void SetBattery(bool battery) {
    battery_ = battery;
    WriteVolumes();
  }
  // Extra override sections (appended as given).
  void SetExtra(const std::string& text) {
    extra_ = text;
    WriteVolumes();
  }

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
    ini += "[E]\nRoot=" + store_->Native() + "\nType=fixed\nBus=none\n";
    if (freeBytes_) ini += "FreeBytes=" + std::to_string(*freeBytes_) + "\n";
    if (battery_) ini += std::string("[Power]\nSource=") + (*battery_ ? "battery" : "ac") + "\n";
    ini += extra_;
    WriteNative(volumesIni_, ini);
    plat::VolumeTable::Instance().Reload();
  }

  std::optional<std::string> oldTmp_, oldData_, oldVolumes_;
  std::unique_ptr<TempDir> data_, store_, src_;
  std::string volumesIni_;
  std::optional<uint64_t> freeBytes_;
  std::optional<bool> battery_;
  std::string extra_;
};

}  // namespace bvtest
