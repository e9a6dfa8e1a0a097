// The data folder and the program-wide settings files "Global.ini" and
// "InternalSettings.ini". All paths are system paths. Every function may be
// called from any thread.
#pragma once
#include <cstdint>
#include <string>

std::string GetDataFolder();  // ends with "\"
std::string GetGlobalIniPath();
std::string GetInternalSettingsPath();

// The most versions a plan keeps of a file: 999, or less where Global.ini
// [APP] MaxVersionCount or the program folder's "config.ini" [APP]
// MaxVersionCount says less (values below 1 say nothing). Cached.
int GetMaxVersionCount();
// InternalSettings.ini [Backup Settings] BackupFileMaxSize in MiB; 0 (the
// default, also for a negative value) means no limit. Cached; Set writes the
// key and the cache.
int GetBackupFileMaxSize();
void SetBackupFileMaxSize(int mib);

// Global.ini [Driver]. Without the file: priority 0 and every flag set; with
// it, missing keys give priority 1 and set flags.
struct DriverSettings {
  int priority = 0;
  bool ignoreTime = true;
  bool noOpenBackup = true;
  bool backupOnlyWritten = true;
};
DriverSettings ReadDriverSettings();

// Battery not 0, power status readable and on battery. Read on every call.
bool IsBatteryBlocking();
// [Backup Settings] Battery as stored (default on).
bool GetBatterySetting();
void SetBatterySetting(bool blockOnBattery);

// [General] RunOnce: not 0 until the first start has run.
int GetRunOnce();
void SetRunOnce(int value);

// [General] intervals in seconds; a missing key is written back with its
// default (60, 86400 and 20).
int GetCheckDiskDelayTime();
int GetCheckDiskTooLowInternalTime();
int GetRefreshPendingFileInternalTime();

// [Show Notification] Status, Error (default on) and Confirm (default off).
bool GetShowStatusNotification();
void SetShowStatusNotification(bool on);
bool GetShowErrorNotification();
void SetShowErrorNotification(bool on);
bool GetConfirmShutdown();
void SetConfirmShutdown(bool on);

// [Application Position] x, y: the main window's last left/top; -1 when none.
// Get returns false when either is not stored.
bool GetAppPosition(int* x, int* y);
void SetAppPosition(int x, int y);

// Reading and writing a key of "InternalSettings.ini".
int ReadInternalInt(const char* section, const char* key, int fallback);
bool WriteInternalInt(const char* section, const char* key, int value);
std::string ReadInternalString(const char* section, const char* key, const char* fallback);
bool WriteInternalString(const char* section, const char* key, const char* value);

// Forgets the cached values (tests, and a data folder that changed).
void ResetSettingsCache();
