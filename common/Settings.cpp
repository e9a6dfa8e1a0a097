#include "common/Settings.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "common/Texts.h"
#include "platform/files/Files.h"
#include "platform/process/Clock.h"
#include "platform/profile/Folders.h"
#include "platform/profile/Profile.h"

namespace {

constexpr int kUnknown = -1;                  // cache not filled yet (both cached values are >= 0)
constexpr int kDefaultMaxVersionCount = 999;  // also the ceiling
constexpr int kDefaultBackupFileMaxSize = 0;  // no limit

std::atomic<int> g_maxVersionCount{kUnknown};
std::atomic<int> g_backupFileMaxSize{kUnknown};

int EffectiveBackupFileMaxSize(int mib) { return mib < 0 ? kDefaultBackupFileMaxSize : mib; }

// Reads an integer of [General]; writes the default back when the key is missing.
int ReadGeneralInterval(const char* key, int fallback) {
  const std::string path = GetInternalSettingsPath();
  if (plat::GetProfileString(path, "General", key, "").empty()) {
    plat::WriteProfileInt(path, "General", key, fallback);
    return fallback;
  }
  return plat::GetProfileInt(path, "General", key, fallback);
}

}  // namespace

std::string GetDataFolder() { return plat::GetDataFolder(); }

std::string GetGlobalIniPath() { return GetDataFolder() + "Global.ini"; }

std::string GetInternalSettingsPath() { return GetDataFolder() + "InternalSettings.ini"; }

int GetMaxVersionCount() {
  int v = g_maxVersionCount.load();
  if (v != kUnknown) return v;
  v = kDefaultMaxVersionCount;
  // The data folder's "Global.ini" and the distribution's "config.ini" may
  // each say less; a value below 1 says nothing.
  const std::string path = GetGlobalIniPath();
  if (plat::FileExists(path)) {
    const int global = plat::GetProfileInt(path, "APP", "MaxVersionCount", 0);
    if (global >= 1) v = std::min(v, global);
  }
  const int config = std::atoi(GetConfigString("APP", "MaxVersionCount", "0").c_str());
  if (config >= 1) v = std::min(v, config);
  g_maxVersionCount.store(v);
  return v;
}

int GetBackupFileMaxSize() {
  int v = g_backupFileMaxSize.load();
  if (v != kUnknown) return v;
  v = kDefaultBackupFileMaxSize;
  const std::string path = GetInternalSettingsPath();
  if (plat::FileExists(path)) {
    v = EffectiveBackupFileMaxSize(plat::GetProfileInt(path, "Backup Settings", "BackupFileMaxSize",
                                                       kDefaultBackupFileMaxSize));
  }
  // A Set racing with this first read wins: only fill a cache that is still empty.
  int expected = kUnknown;
  if (!g_backupFileMaxSize.compare_exchange_strong(expected, v)) return expected;
  return v;
}

void SetBackupFileMaxSize(int mib) {
  WriteInternalInt("Backup Settings", "BackupFileMaxSize", mib);
  g_backupFileMaxSize.store(EffectiveBackupFileMaxSize(mib));
}

DriverSettings ReadDriverSettings() {
  DriverSettings s;  // no file: priority 0, every flag set
  const std::string path = GetGlobalIniPath();
  if (!plat::FileExists(path)) return s;
  s.priority = plat::GetProfileInt(path, "Driver", "Priority", 1);
  s.ignoreTime = plat::GetProfileInt(path, "Driver", "IgnoreTime", 1) != 0;
  s.noOpenBackup = plat::GetProfileInt(path, "Driver", "NoOpenBackup", 1) != 0;
  s.backupOnlyWritten = plat::GetProfileInt(path, "Driver", "BackupOnlyWritten", 1) != 0;
  return s;
}

bool GetBatterySetting() { return ReadInternalInt("Backup Settings", "Battery", 1) != 0; }

void SetBatterySetting(bool blockOnBattery) {
  WriteInternalInt("Backup Settings", "Battery", blockOnBattery ? 1 : 0);
}

bool IsBatteryBlocking() {
  return GetBatterySetting() && plat::GetPowerStatus() == plat::PowerStatus::kBattery;
}

int GetRunOnce() { return ReadInternalInt("General", "RunOnce", 1); }

void SetRunOnce(int value) { WriteInternalInt("General", "RunOnce", value); }

int GetCheckDiskDelayTime() { return ReadGeneralInterval("CheckDiskDelayTime", 60); }

int GetCheckDiskTooLowInternalTime() {
  return ReadGeneralInterval("CheckDiskTooLowInternalTime", 86400);
}

int GetRefreshPendingFileInternalTime() {
  return ReadGeneralInterval("RefreshPendingFileInternalTime", 20);
}

bool GetShowStatusNotification() { return ReadInternalInt("Show Notification", "Status", 1) != 0; }

void SetShowStatusNotification(bool on) {
  WriteInternalInt("Show Notification", "Status", on ? 1 : 0);
}

bool GetShowErrorNotification() { return ReadInternalInt("Show Notification", "Error", 1) != 0; }

void SetShowErrorNotification(bool on) {
  WriteInternalInt("Show Notification", "Error", on ? 1 : 0);
}

bool GetConfirmShutdown() { return ReadInternalInt("Show Notification", "Confirm", 0) != 0; }

void SetConfirmShutdown(bool on) { WriteInternalInt("Show Notification", "Confirm", on ? 1 : 0); }

bool GetAppPosition(int* x, int* y) {
  const int px = ReadInternalInt("Application Position", "x", -1);
  const int py = ReadInternalInt("Application Position", "y", -1);
  if (x) *x = px;
  if (y) *y = py;
  return px != -1 && py != -1;
}

void SetAppPosition(int x, int y) {
  WriteInternalInt("Application Position", "x", x);
  WriteInternalInt("Application Position", "y", y);
}

int ReadInternalInt(const char* section, const char* key, int fallback) {
  return plat::GetProfileInt(GetInternalSettingsPath(), section, key, fallback);
}

bool WriteInternalInt(const char* section, const char* key, int value) {
  return plat::WriteProfileInt(GetInternalSettingsPath(), section, key, value);
}

std::string ReadInternalString(const char* section, const char* key, const char* fallback) {
  return plat::GetProfileString(GetInternalSettingsPath(), section, key, fallback ? fallback : "");
}

bool WriteInternalString(const char* section, const char* key, const char* value) {
  return plat::WriteProfileString(GetInternalSettingsPath(), section, key, value);
}

void ResetSettingsCache() {
  g_maxVersionCount.store(kUnknown);
  g_backupFileMaxSize.store(kUnknown);
}
