// The data folder and the program-wide settings files "Global.ini" and
// "InternalSettings.ini". All paths are system paths.
#pragma once
#include <cstdint>
#include <string>

std::string GetDataFolder();  // ends with "\"
std::string GetGlobalIniPath();
std::string GetInternalSettingsPath();

// Global.ini [APP] MaxVersionCount; below 1 or no file gives 3. Cached.
int GetMaxVersionCount();
// InternalSettings.ini [Backup Settings] BackupFileMaxSize in MiB; negative
// gives 2048, 0 means no limit. Cached; Set writes the key and the cache.
int GetBackupFileMaxSize();
void SetBackupFileMaxSize(int mib);

struct DriverSettings {
  int priority = 0;
  bool ignoreTime = true;
  bool noOpenBackup = true;
  bool backupOnlyWritten = true;
};
DriverSettings ReadDriverSettings();

// Battery not 0, power status readable and on battery. Read on every call.
bool IsBatteryBlocking();

// Reading and writing a key of "InternalSettings.ini".
int ReadInternalInt(const char* section, const char* key, int fallback);
bool WriteInternalInt(const char* section, const char* key, int value);

// Forgets the cached values (tests, and a data folder that changed).
void ResetSettingsCache();
