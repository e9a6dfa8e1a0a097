// The program's settings, texts and number formats, read from real files.
#include <thread>

#include "ProgramRun.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "platform/volumes/Volumes.h"

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSettingsCache();
    SetProgramFolderForTests(dir_.System());
  }
  void TearDown() override {
    ResetSettingsCache();
    SetProgramFolderForTests("");
  }

  bvtest::TempDir dir_;
  bvtest::ScopedEnv data_{"BREVANTO_DATA_DIR", dir_.Native()};
};

TEST_F(SettingsTest, DefaultsStoredOddAndCachedValuesAndBattery) {
  EXPECT_EQ(GetDataFolder(), dir_.System() + "\\");  // the files below lie in it
  DriverSettings driver = ReadDriverSettings();
  EXPECT_EQ(driver.priority, 0);
  EXPECT_TRUE(driver.ignoreTime && driver.noOpenBackup && driver.backupOnlyWritten);
  EXPECT_EQ(GetMaxVersionCount(), 999);
  EXPECT_EQ(GetBackupFileMaxSize(), 0);
  EXPECT_EQ(GetRunOnce(), 1);
  EXPECT_TRUE(GetShowStatusNotification() && GetShowErrorNotification() && GetBatterySetting());
  EXPECT_FALSE(GetConfirmShutdown());
  int x = 0, y = 0;
  EXPECT_FALSE(GetAppPosition(&x, &y));
  EXPECT_TRUE(x == -1 && y == -1);
  // Reads write nothing, but for the three intervals that write their default back.
  EXPECT_FALSE(fs::exists(dir_.NativeOf("Global.ini")));
  EXPECT_FALSE(fs::exists(dir_.NativeOf("InternalSettings.ini")));
  EXPECT_EQ(GetCheckDiskDelayTime(), 60);
  EXPECT_EQ(GetCheckDiskTooLowInternalTime(), 86400);
  EXPECT_EQ(GetRefreshPendingFileInternalTime(), 20);
  for (const char* line : {"CheckDiskDelayTime=60", "CheckDiskTooLowInternalTime=86400",
                           "RefreshPendingFileInternalTime=20"})
    EXPECT_NE(dir_.Read("InternalSettings.ini").find(line), std::string::npos) << line;
  dir_.Write("InternalSettings.ini",
             "[General]\nCheckDiskDelayTime=5\nRefreshPendingFileInternalTime=7\n");
  EXPECT_EQ(GetCheckDiskDelayTime(), 5);
  EXPECT_EQ(GetRefreshPendingFileInternalTime(), 7);
  EXPECT_EQ(dir_.Read("InternalSettings.ini").find("=60"), std::string::npos);
  SetAppPosition(120, 0);
  SetShowErrorNotification(false);
  EXPECT_TRUE(GetAppPosition(&x, &y) && x == 120 && y == 0);
  EXPECT_FALSE(GetShowErrorNotification());
  EXPECT_NE(dir_.Read("InternalSettings.ini").find("[Application Position]\nx=120\n"),
            std::string::npos);

  dir_.Write("Global.ini", "");
  EXPECT_EQ(ReadDriverSettings().priority, 1);  // an empty file: missing keys take 1
  dir_.Write("Global.ini", "[Driver]\nPriority=-2\nIgnoreTime=0\nNoOpenBackup=5\n");
  driver = ReadDriverSettings();
  EXPECT_EQ(driver.priority, -2);
  EXPECT_FALSE(driver.ignoreTime);
  EXPECT_TRUE(driver.noOpenBackup && driver.backupOnlyWritten);
  const std::tuple<const char*, const char*, int, int> rows[] = {
      {"MaxVersionCount=0", "BackupFileMaxSize=-5", 999, 0},
      {"MaxVersionCount=5000", "BackupFileMaxSize=0", 999, 0},
      {"MaxVersionCount=12", "BackupFileMaxSize=0", 12, 0},
      {"MaxVersionCount=1", "BackupFileMaxSize=700", 1, 700}};
  for (const auto& [global, internal, versions, maxSize] : rows) {
    dir_.Write("Global.ini", std::string("[APP]\n") + global + "\n");
    dir_.Write("InternalSettings.ini", std::string("[Backup Settings]\n") + internal + "\n");
    ResetSettingsCache();
    EXPECT_EQ(GetMaxVersionCount(), versions) << global;
    EXPECT_EQ(GetBackupFileMaxSize(), maxSize) << internal;
  }
  // Cached for the process; a set is seen at once and written.
  dir_.Write("Global.ini", "[APP]\nMaxVersionCount=20\n");
  dir_.Write("InternalSettings.ini", "[Backup Settings]\nBackupFileMaxSize=9\n");
  EXPECT_EQ(GetMaxVersionCount(), 1);
  EXPECT_EQ(GetBackupFileMaxSize(), 700);
  // The distribution's "config.ini" also says less.
  dir_.Write("config.ini", "[APP]\nMaxVersionCount=7\n");
  ResetSettingsCache();
  EXPECT_EQ(GetMaxVersionCount(), 7);
  fs::remove(dir_.NativeOf("config.ini"));
  SetBackupFileMaxSize(100);
  ResetSettingsCache();
  EXPECT_EQ(GetBackupFileMaxSize(), 100);
  SetBackupFileMaxSize(-1);
  EXPECT_EQ(GetBackupFileMaxSize(), 0);

  // Battery blocking follows the key (missing: on) and the power source on every call.
  bvtest::ScopedEnv volumes("BREVANTO_VOLUMES", dir_.NativeOf("volumes.ini"));
  for (const std::string source : {"battery", "ac"}) {
    dir_.Write("volumes.ini", "[C]\nRoot=/\nType=fixed\n[Power]\nSource=" + source);
    plat::VolumeTable::Instance().Reload();
    for (const std::string key : {"", "Battery=0\n", "Battery=1\n"}) {
      dir_.Write("InternalSettings.ini", "[Backup Settings]\n" + key);
      EXPECT_EQ(IsBatteryBlocking(), source == "battery" && key != "Battery=0\n") << source << key;
    }
  }
  volumes.Restore();
  plat::VolumeTable::Instance().Reload();
}

TEST_F(SettingsTest, TextsAndSideFilesAndAnEditShownWithinASecond) {
  EXPECT_EQ(GetProgramFolder(), dir_.System() + "\\");
  EXPECT_EQ(GetText("MAIN_UI", "PLAIN"), "");  // no file at all
  dir_.Write("BV_Texts.ini",
             "[MAIN_UI]\nTWO_LINES=First line\\nSecond line\nPLAIN=Stopped\nEMPTY=\n"
             "BACKSLASH=C:\\new\\x\nLONG=" +
                 std::string(3000, 'a') + "\nWIDE=" + std::string(1023, 'a') +
                 "\xC3\xA9"
                 "b\n"
                 "[main_ui]\nPLAIN=Shadowed\n");
  EXPECT_EQ(GetText("MAIN_UI", "TWO_LINES"), "First line\nSecond line");
  EXPECT_EQ(GetText("main_ui", "plain"), "Stopped");
  for (const auto& [section, key] :
       {std::pair{"MAIN_UI", "EMPTY"}, {"MAIN_UI", "MISSING"}, {"NO_SECTION", "PLAIN"}})
    EXPECT_EQ(GetText(section, key), "") << key;
  // Only backslash-n is an escape, in a path too; the cut is at 1024 characters, not bytes.
  EXPECT_EQ(GetText("MAIN_UI", "BACKSLASH"), "C:\new\\x");
  EXPECT_EQ(GetText("MAIN_UI", "LONG"), std::string(1024, 'a'));
  EXPECT_EQ(GetText("MAIN_UI", "WIDE"), std::string(1023, 'a') + "\xC3\xA9");
  // A text read a moment ago is not read again; an edit shows within a second (2 s: loaded).
  const auto shows = [&](const char* text) {
    const auto edited = std::chrono::steady_clock::now();
    while (GetText("MAIN_UI", "PLAIN") != text &&
           std::chrono::steady_clock::now() - edited < std::chrono::seconds(4))
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return std::chrono::steady_clock::now() - edited;
  };
  dir_.Write("BV_Texts.ini", "[MAIN_UI]\nPLAIN=Two\n");
  EXPECT_LT(shows("Two"), std::chrono::seconds(2));
  dir_.Write("BV_Texts.ini", "[MAIN_UI]\nPLAIN=Three\n");
  EXPECT_EQ(GetText("MAIN_UI", "PLAIN"), "Two");
  EXPECT_LT(shows("Three"), std::chrono::seconds(2));
  EXPECT_EQ(GetText("MAIN_UI", "PLAIN"), "Three");

  // The other side files fall back when a key is missing or empty.
  EXPECT_EQ(GetConfigString("Links", "Shop", "none"), "none");
  EXPECT_EQ(GetEditionString("Country", "US"), "US");
  dir_.Write("config.ini", "[Links]\nShop=https://example.com/buy\nEmpty=\n");
  dir_.Write("OEM.ini",
             "[OEMSettings]\nCountry=DE\nEmpty=\nProductName=\n[Backup_Date]\nDay=15\nBad=x\n");
  EXPECT_EQ(GetConfigString("Links", "Shop", "none"), "https://example.com/buy");
  EXPECT_EQ(GetConfigString("Links", "Empty", "none"), "none");
  EXPECT_EQ(GetEditionString("Country", "US"), "DE");
  EXPECT_EQ(GetEditionString("Empty", "US"), "US");
  EXPECT_EQ(GetBackupDateSetting("Day"), 15);
  EXPECT_EQ(GetBackupDateSetting("Bad") + GetBackupDateSetting("Missing"), 0);
  EXPECT_EQ(GetProductName(), "Brevanto Essentials");

  // Truncated small units, the thousands form, two decimals above; a high half gives gigabytes.
  // clang-format off
  const std::tuple<uint64_t, bool, const char*> sizes[] = {
      {0, false, "0 B"}, {1023, false, "1023 B"}, {1024, false, "1 KB"},
      {1048575, false, "1023 KB"}, {1048575, true, "1023 KB"}, {1048576, false, "1 MB"},
      {1073741823, false, "1023 MB"}, {1048576, true, "1,000 KB"}, {1572864, true, "1,500 KB"},
      {1048576 + 1024, true, "1,000 KB"}, {1048576 + 2048, true, "1,001 KB"},
      {1073741823, true, "1023,999 KB"}, {1073741824ull, false, "1.00 GB"},
      {1073741824ull, true, "1.00 GB"}, {1610612736ull, false, "1.50 GB"},
      {0xFFFFFFFFull, false, "4.00 GB"}, {(1ull << 40) - 1, false, "1024.00 GB"},
      {1ull << 40, false, "1.00 TB"}, {5ull << 40, false, "5.00 TB"},
      {UINT64_MAX, false, "16777216.00 TB"}, {(1ull << 32) + 5, false, "4.00 GB"},
      {(1ull << 32) + 2048, true, "4.00 GB"}};
  // clang-format on
  for (const auto& [size, thousands, text] : sizes)
    EXPECT_EQ(FormatSize(size, "B", thousands), text) << size;
  dir_.Write("BV_Texts.ini", "[UTIL_FUNCTIONS]\nSIZE_UNIT=Byte\n");  // an empty unit's word
  SetProgramFolderForTests(dir_.System());                           // forgets the kept texts
  EXPECT_EQ(FormatSize(10, "", false), "10 Byte");
  EXPECT_EQ(FormatSize(2048, "", false), "2 KByte");
  EXPECT_EQ(FormatSize(10, "b", false), "10 b");
  const std::pair<int64_t, const char*> durations[] = {
      {0, "00h 00min 00s"},      {59, "00h 00min 59s"},      {60, "00h 01min 00s"},
      {3599, "00h 59min 59s"},   {3600, "01h 00min 00s"},    {3661, "01h 01min 01s"},
      {359999, "99h 59min 59s"}, {360000, "100h 00min 00s"}, {-5, "00h 00min 00s"}};
  for (const auto& [seconds, text] : durations) EXPECT_EQ(FormatDuration(seconds), text) << seconds;
}

}  // namespace
