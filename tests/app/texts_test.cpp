#include <gtest/gtest.h>

#include <string>

#include "common/Texts.h"
#include "support/TempDir.h"

namespace {

// Gives the side files their own program folder for each test.
class TextsTest : public ::testing::Test {
 protected:
  void SetUp() override { SetProgramFolderForTests(dir_.System()); }
  void TearDown() override { SetProgramFolderForTests(""); }
  bvtest::TempDir dir_;
};

TEST_F(TextsTest, ProgramFolderOverrideAndRealFolder) {
  EXPECT_EQ(GetProgramFolder(), dir_.System() + "\\");
  SetProgramFolderForTests("");
  const std::string real = GetProgramFolder();
  ASSERT_FALSE(real.empty());
  EXPECT_EQ(real.back(), '\\');
  EXPECT_NE(real, dir_.System() + "\\");
}

TEST_F(TextsTest, TextsWithLineBreakEscapesAndMissingValues) {
  dir_.Write("BV_Texts.ini",
             "[MAIN_UI]\nTWO_LINES=First line\\nSecond line\nPLAIN=Stopped\nEMPTY=\n"
             "BACKSLASH=C:\\new\\x\n[main_ui]\nPLAIN=Shadowed\n");
  EXPECT_EQ(GetText("MAIN_UI", "TWO_LINES"), "First line\nSecond line");
  EXPECT_EQ(GetText("main_ui", "plain"), "Stopped");
  EXPECT_EQ(GetText("MAIN_UI", "EMPTY"), "");
  EXPECT_EQ(GetText("MAIN_UI", "MISSING"), "");
  EXPECT_EQ(GetText("NO_SECTION", "PLAIN"), "");
  // Only the pair backslash-n is an escape; "\n" inside a path is one too.
  EXPECT_EQ(GetText("MAIN_UI", "BACKSLASH"), "C:\new\\x");
}

TEST_F(TextsTest, TextsAreReadAgainOnEveryCallAndCutAt1024) {
  EXPECT_EQ(GetText("MAIN_UI", "PLAIN"), "");  // no file at all
  dir_.Write("BV_Texts.ini", "[MAIN_UI]\nPLAIN=One\n");
  EXPECT_EQ(GetText("MAIN_UI", "PLAIN"), "One");
  dir_.Write("BV_Texts.ini", "[MAIN_UI]\nPLAIN=Two\nLONG=" + std::string(3000, 'a') + "\n");
  EXPECT_EQ(GetText("MAIN_UI", "PLAIN"), "Two");
  EXPECT_EQ(GetText("MAIN_UI", "LONG"), std::string(1024, 'a'));
  // The cut counts characters, not bytes.
  dir_.Write("BV_Texts.ini", "[MAIN_UI]\nWIDE=" + std::string(1023, 'a') +
                                 "\xC3\xA9"
                                 "b\n");
  EXPECT_EQ(GetText("MAIN_UI", "WIDE"), std::string(1023, 'a') + "\xC3\xA9");
}

TEST_F(TextsTest, ConfigAndEditionStringsFallBackWhenMissingOrEmpty) {
  EXPECT_EQ(GetConfigString("Links", "Shop", "none"), "none");
  EXPECT_EQ(GetEditionString("Country", "US"), "US");
  EXPECT_EQ(GetBackupDateSetting("Day"), 0);
  dir_.Write("config.ini", "[Links]\nShop=https://example.com/buy\nEmpty=\n");
  dir_.Write("OEM.ini", "[OEMSettings]\nCountry=DE\nEmpty=\n[Backup_Date]\nDay=15\nBad=x\n");
  EXPECT_EQ(GetConfigString("Links", "Shop", "none"), "https://example.com/buy");
  EXPECT_EQ(GetConfigString("Links", "Empty", "none"), "none");
  EXPECT_EQ(GetEditionString("Country", "US"), "DE");
  EXPECT_EQ(GetEditionString("Empty", "US"), "US");
  EXPECT_EQ(GetBackupDateSetting("Day"), 15);
  EXPECT_EQ(GetBackupDateSetting("Bad"), 0);
  EXPECT_EQ(GetBackupDateSetting("Missing"), 0);
}

TEST_F(TextsTest, ProductNameFallsBackOnEmptyAndIsCachedOnce) {
  dir_.Write("OEM.ini", "[OEMSettings]\nProductName=\n");
  EXPECT_EQ(GetProductName(), "Brevanto Essentials");

  SetProgramFolderForTests(dir_.System());  // forgets the cache
  dir_.Write("OEM.ini", "[OEMSettings]\nProductName=Brevanto Home\n");
  EXPECT_EQ(GetProductName(), "Brevanto Home");
  dir_.Write("OEM.ini", "[OEMSettings]\nProductName=Changed\n");
  EXPECT_EQ(GetProductName(), "Brevanto Home");
}

TEST_F(TextsTest, ImageAndSideFilePaths) {
  const std::string folder = dir_.System() + "\\";
  EXPECT_EQ(GetImageFolder(), folder + "Image\\");
  EXPECT_EQ(GetIconPath("Plan"), folder + "Image\\Icons\\Plan.png");
  EXPECT_EQ(GetButtonPath("Ok_Normal"), folder + "Image\\Buttons\\Ok_Normal.png");
  EXPECT_EQ(GetBackgroundPath("Main"), folder + "Image\\Backgrounds\\Main.png");
  EXPECT_EQ(GetExtensionListPath(), folder + "Ext.txt");
}

}  // namespace
