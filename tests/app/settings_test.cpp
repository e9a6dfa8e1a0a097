#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/Settings.h"
#include "platform/Volumes.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// Points the data folder at a fresh temporary folder for each test.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("BREVANTO_DATA_DIR");
    hadOld_ = old != nullptr;
    if (old) old_ = old;
    setenv("BREVANTO_DATA_DIR", dir_.Native().c_str(), 1);
    ResetSettingsCache();
  }
  void TearDown() override {
    if (hadOld_)
      setenv("BREVANTO_DATA_DIR", old_.c_str(), 1);
    else
      unsetenv("BREVANTO_DATA_DIR");
    ResetSettingsCache();
  }
  void WriteGlobal(const std::string& text) { dir_.Write("Global.ini", text); }
  void WriteInternal(const std::string& text) { dir_.Write("InternalSettings.ini", text); }
  std::string Internal() { return dir_.Read("InternalSettings.ini"); }

  bvtest::TempDir dir_;
  bool hadOld_ = false;
  std::string old_;
};

TEST_F(SettingsTest, DataFolderAndFilePaths) {
  const std::string folder = GetDataFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '\\');
  EXPECT_EQ(folder, dir_.System() + "\\");
  EXPECT_EQ(GetGlobalIniPath(), folder + "Global.ini");
  EXPECT_EQ(GetInternalSettingsPath(), folder + "InternalSettings.ini");
}

TEST_F(SettingsTest, DriverSettingsWithoutWithEmptyAndWithFilledGlobalIni) {
  DriverSettings s = ReadDriverSettings();
  EXPECT_EQ(s.priority, 0);
  EXPECT_TRUE(s.ignoreTime && s.noOpenBackup && s.backupOnlyWritten);
  EXPECT_FALSE(fs::exists(dir_.NativeOf("Global.ini")));

  WriteGlobal("");
  s = ReadDriverSettings();
  EXPECT_EQ(s.priority, 1);
  EXPECT_TRUE(s.ignoreTime && s.noOpenBackup && s.backupOnlyWritten);

  WriteGlobal("[Driver]\nPriority=-2\nIgnoreTime=0\nNoOpenBackup=5\n");
  s = ReadDriverSettings();
  EXPECT_EQ(s.priority, -2);
  EXPECT_FALSE(s.ignoreTime);
  EXPECT_TRUE(s.noOpenBackup);
  EXPECT_TRUE(s.backupOnlyWritten);
}

TEST_F(SettingsTest, MaxVersionCountDefaultsAndIsReadOnce) {
  EXPECT_EQ(GetMaxVersionCount(), 3);
  EXPECT_FALSE(fs::exists(dir_.NativeOf("Global.ini")));  // not created by a read

  WriteGlobal("[APP]\nMaxVersionCount=0\n");
  ResetSettingsCache();
  EXPECT_EQ(GetMaxVersionCount(), 3);

  WriteGlobal("[APP]\nMaxVersionCount=12\n");
  ResetSettingsCache();
  EXPECT_EQ(GetMaxVersionCount(), 12);
  WriteGlobal("[APP]\nMaxVersionCount=20\n");
  EXPECT_EQ(GetMaxVersionCount(), 12);  // cached for the process
}

TEST_F(SettingsTest, BackupFileMaxSizeNegativeZeroAndImmediateSet) {
  EXPECT_EQ(GetBackupFileMaxSize(), 2048);
  EXPECT_FALSE(fs::exists(dir_.NativeOf("InternalSettings.ini")));

  WriteInternal("[Backup Settings]\nBackupFileMaxSize=-5\n");
  ResetSettingsCache();
  EXPECT_EQ(GetBackupFileMaxSize(), 2048);

  WriteInternal("[Backup Settings]\nBackupFileMaxSize=0\n");
  ResetSettingsCache();
  EXPECT_EQ(GetBackupFileMaxSize(), 0);

  WriteInternal("[Backup Settings]\nBackupFileMaxSize=700\n");
  EXPECT_EQ(GetBackupFileMaxSize(), 0);  // cached

  SetBackupFileMaxSize(100);
  EXPECT_EQ(GetBackupFileMaxSize(), 100);  // no restart needed
  EXPECT_NE(Internal().find("BackupFileMaxSize=100"), std::string::npos);
  ResetSettingsCache();
  EXPECT_EQ(GetBackupFileMaxSize(), 100);

  SetBackupFileMaxSize(-1);
  EXPECT_EQ(GetBackupFileMaxSize(), 2048);
}

TEST_F(SettingsTest, GeneralIntervalsAreWrittenBackWhenMissing) {
  EXPECT_EQ(GetCheckDiskDelayTime(), 60);
  EXPECT_EQ(GetCheckDiskTooLowInternalTime(), 86400);
  EXPECT_EQ(GetRefreshPendingFileInternalTime(), 20);
  const std::string text = Internal();
  EXPECT_NE(text.find("CheckDiskDelayTime=60"), std::string::npos) << text;
  EXPECT_NE(text.find("CheckDiskTooLowInternalTime=86400"), std::string::npos) << text;
  EXPECT_NE(text.find("RefreshPendingFileInternalTime=20"), std::string::npos) << text;

  WriteInternal("[General]\nCheckDiskDelayTime=5\nRefreshPendingFileInternalTime=7\n");
  EXPECT_EQ(GetCheckDiskDelayTime(), 5);
  EXPECT_EQ(GetRefreshPendingFileInternalTime(), 7);
  EXPECT_EQ(Internal().find("=60"), std::string::npos);  // present keys are not rewritten
}

TEST_F(SettingsTest, UserOptionsDefaultsAndRoundTrip) {
  EXPECT_EQ(GetRunOnce(), 1);
  EXPECT_TRUE(GetShowStatusNotification());
  EXPECT_TRUE(GetShowErrorNotification());
  EXPECT_FALSE(GetConfirmShutdown());
  EXPECT_TRUE(GetBatterySetting());
  int x = 0, y = 0;
  EXPECT_FALSE(GetAppPosition(&x, &y));
  EXPECT_EQ(x, -1);
  EXPECT_EQ(y, -1);
  // Reads never create the file.
  EXPECT_FALSE(fs::exists(dir_.NativeOf("InternalSettings.ini")));

  SetRunOnce(0);
  SetShowStatusNotification(false);
  SetShowErrorNotification(false);
  SetConfirmShutdown(true);
  SetBatterySetting(false);
  SetAppPosition(120, 0);
  EXPECT_EQ(GetRunOnce(), 0);
  EXPECT_FALSE(GetShowStatusNotification());
  EXPECT_FALSE(GetShowErrorNotification());
  EXPECT_TRUE(GetConfirmShutdown());
  EXPECT_FALSE(GetBatterySetting());
  EXPECT_TRUE(GetAppPosition(&x, &y));
  EXPECT_EQ(x, 120);
  EXPECT_EQ(y, 0);

  const std::string text = Internal();
  EXPECT_NE(text.find("[General]"), std::string::npos);
  EXPECT_NE(text.find("RunOnce=0"), std::string::npos);
  EXPECT_NE(text.find("[Show Notification]"), std::string::npos);
  EXPECT_NE(text.find("Confirm=1"), std::string::npos);
  EXPECT_NE(text.find("[Application Position]"), std::string::npos);
  EXPECT_NE(text.find("x=120"), std::string::npos);

  EXPECT_TRUE(WriteInternalString("Misc", "Name", "a b"));
  EXPECT_EQ(ReadInternalString("Misc", "Name", "z"), "a b");
  EXPECT_EQ(ReadInternalString("Misc", "None", "z"), "z");
}

// Battery blocking follows the key and the power status on every call; the
// power status comes from the volume override's [Power] section.
TEST_F(SettingsTest, BatteryBlockingIsReadOnEveryCall) {
  const char* oldVolumes = std::getenv("BREVANTO_VOLUMES");
  const std::string saved = oldVolumes ? oldVolumes : "";
  const std::string table =
      dir_.Write("volumes.ini", "[C]\nRoot=/\nType=fixed\n[Power]\nSource=battery\n");
  setenv("BREVANTO_VOLUMES", table.c_str(), 1);
  plat::VolumeTable::Instance().Reload();

  EXPECT_TRUE(IsBatteryBlocking());  // key missing: on
  WriteInternal("[Backup Settings]\nBattery=0\n");
  EXPECT_FALSE(IsBatteryBlocking());
  WriteInternal("[Backup Settings]\nBattery=1\n");
  EXPECT_TRUE(IsBatteryBlocking());

  dir_.Write("volumes.ini", "[C]\nRoot=/\nType=fixed\n[Power]\nSource=ac\n");
  plat::VolumeTable::Instance().Reload();
  EXPECT_FALSE(IsBatteryBlocking());

  if (oldVolumes)
    setenv("BREVANTO_VOLUMES", saved.c_str(), 1);
  else
    unsetenv("BREVANTO_VOLUMES");
  plat::VolumeTable::Instance().Reload();
}

}  // namespace
