#include "platform/Paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "EnvScope.h"
#include "platform/Volumes.h"
#include "support/TempDir.h"

namespace {

using plat::ToNativePath;
using plat::ToSystemPath;

// A volume table from an override file: C: is "/", E: and a share live in a
// temporary folder. The variable is removed again at the end.
class OverrideTable : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(tmp_.NativeOf("e"));
    std::filesystem::create_directories(tmp_.NativeOf("share"));
    env_.Volumes(tmp_.NativeOf("vol.ini"),
                 "[C]\nRoot=/\nSystem=1\n[E]\nRoot=" + tmp_.NativeOf("e") +
                     "/\n[\\\\srv\\share]\nRoot=" + tmp_.NativeOf("share") +
                     "\nOnline=1\n[\\\\srv\\off]\nRoot=" + tmp_.NativeOf("share") + "\nOnline=0\n");
  }
  std::string Native(const std::string& sys) {
    std::string n;
    return ToNativePath(sys, &n) ? n : "<fail>";
  }
  std::string System(const std::string& nat) {
    std::string s;
    return ToSystemPath(nat, &s) ? s : "<fail>";
  }
  bvtest::TempDir tmp_;
  EnvScope env_;
};

TEST(PathsTest, StripLongPathPrefix) {
  EXPECT_EQ(plat::StripLongPathPrefix("\\\\?\\C:\\x\\y"), "C:\\x\\y");
  EXPECT_EQ(plat::StripLongPathPrefix("\\\\?\\UNC\\srv\\share\\x"), "\\\\srv\\share\\x");
  EXPECT_EQ(plat::StripLongPathPrefix("\\\\srv\\share"), "\\\\srv\\share");
  EXPECT_EQ(plat::StripLongPathPrefix("C:\\a"), "C:\\a");
  EXPECT_EQ(plat::StripLongPathPrefix("\\\\?"), "\\\\?");
}

TEST(PathsTest, StringHelpers) {
  EXPECT_EQ(plat::PathFolder("C:\\a\\b.txt"), "C:\\a\\");
  EXPECT_EQ(plat::PathFolder("C:\\"), "C:\\");
  EXPECT_EQ(plat::PathFolder("b.txt"), "");
  EXPECT_EQ(plat::PathName("C:\\a\\b.txt"), "b.txt");
  EXPECT_EQ(plat::PathName("C:\\a\\"), "");
  EXPECT_EQ(plat::PathName("plain"), "plain");
  EXPECT_EQ(plat::PathAppend("C:\\a", "b"), "C:\\a\\b");
  EXPECT_EQ(plat::PathAppend("C:\\a\\", "\\b"), "C:\\a\\b");
  EXPECT_EQ(plat::PathAppend("C:\\", "b"), "C:\\b");
  EXPECT_EQ(plat::PathAppend("\\\\srv\\share", "x"), "\\\\srv\\share\\x");
  EXPECT_EQ(plat::PathAppend("", "x"), "x");
  EXPECT_EQ(plat::WithSeparator("C:\\a"), "C:\\a\\");
  EXPECT_EQ(plat::WithSeparator("C:\\a\\"), "C:\\a\\");
}

TEST_F(OverrideTable, DrivePathsMapThroughTheTable) {
  EXPECT_EQ(Native("C:\\home\\a"), "/home/a");
  EXPECT_EQ(Native("c:\\home\\a"), "/home/a");
  EXPECT_EQ(Native("C:"), "/");
  EXPECT_EQ(Native("C:\\"), "/");
  EXPECT_EQ(Native("C:\\a\\\\b\\.\\c"), "/a/b/c");
  EXPECT_EQ(Native("C:\\a\\"), "/a/");
  EXPECT_EQ(Native("\\\\?\\C:\\a"), "/a");
  EXPECT_EQ(Native("E:"), tmp_.NativeOf("e"));
  EXPECT_EQ(Native("E:\\"), tmp_.NativeOf("e"));
  EXPECT_EQ(Native("E:\\x\\y z.txt"), tmp_.NativeOf("e/x/y z.txt"));
}

TEST_F(OverrideTable, BadSystemPathsFail) {
  for (const char* bad : {"", "home\\a", "\\home\\a", "C:home", "Q:\\x", "D:", "C:\\a\\..\\b",
                          "C:\\..", "E:\\..\\..\\etc", "1:\\x", "\\\\.\\C:\\x"})
    EXPECT_EQ(Native(bad), "<fail>") << bad;
  std::string withNul("C:\\a\0b", 6);
  std::string n;
  EXPECT_FALSE(ToNativePath(withNul, &n));
}

TEST_F(OverrideTable, SharePathsMapToDeclaredShares) {
  EXPECT_EQ(Native("\\\\srv\\share\\x\\y"), tmp_.NativeOf("share/x/y"));
  EXPECT_EQ(Native("\\\\SRV\\Share\\x"), tmp_.NativeOf("share/x"));
  EXPECT_EQ(Native("\\\\srv\\share"), tmp_.NativeOf("share"));
  EXPECT_EQ(Native("\\\\?\\UNC\\srv\\share\\x"), tmp_.NativeOf("share/x"));
  EXPECT_EQ(Native("\\\\srv\\off\\x"), "<fail>");    // declared but offline
  EXPECT_EQ(Native("\\\\srv\\other\\x"), "<fail>");  // not declared
  EXPECT_EQ(Native("\\\\srv"), "<fail>");
  EXPECT_EQ(Native("\\\\srv\\share\\..\\off"), "<fail>");
  plat::ShareInfo s;
  ASSERT_TRUE(plat::VolumeTable::Instance().FindShare("\\\\srv\\off\\", &s));
  EXPECT_FALSE(s.online);
}

TEST_F(OverrideTable, NativePathsTakeTheLongestRoot) {
  EXPECT_EQ(System("/home/a"), "C:\\home\\a");
  EXPECT_EQ(System("/"), "C:\\");
  EXPECT_EQ(System(tmp_.NativeOf("e")), "E:\\");
  EXPECT_EQ(System(tmp_.NativeOf("e/x/y")), "E:\\x\\y");
  EXPECT_EQ(System(tmp_.NativeOf("e") + "//x/./y/"), "E:\\x\\y");
  // A folder whose name merely begins like E:'s root is not on E:.
  EXPECT_EQ(System(tmp_.NativeOf("ex/y")), bvtest::NativeToSystemC(tmp_.NativeOf("ex/y")));
}

TEST_F(OverrideTable, NativeNamesASystemPathCannotCarryFail) {
  EXPECT_EQ(System("/a\\b"), "<fail>");
  EXPECT_EQ(System("/a/\xff\xfe"), "<fail>");
  EXPECT_EQ(System("/a/\xc0\xaf"), "<fail>");  // overlong "/"
  EXPECT_EQ(System("relative/x"), "<fail>");
  EXPECT_EQ(System(""), "<fail>");
  EXPECT_EQ(System("/a/../b"), "<fail>");
}

TEST_F(OverrideTable, RoundTripsOddNames) {
  std::string longName(250, 'n');
  std::string deep;
  for (int i = 0; i < 40; ++i) deep += "/" + longName;  // over 10,000 bytes
  for (const std::string& rel :
       std::vector<std::string>{"/with blank/and  two", "/quote\"s/'single'", "/Ärger/日本語/ñ.txt",
                                "/semi;colon/perc%ent/star*?<>|", deep}) {
    for (const std::string& base : {std::string(), tmp_.NativeOf("e")}) {
      std::string native = base + rel;
      std::string sys, back;
      ASSERT_TRUE(ToSystemPath(native, &sys)) << native;
      EXPECT_EQ(sys.find('/'), std::string::npos);
      ASSERT_TRUE(ToNativePath(sys, &back)) << sys;
      EXPECT_EQ(back, native);
    }
  }
}

// The table follows the variable without being told to reload.
TEST(PathsOverrideTest, SharesNameNativePathsOutsideEveryVolume) {
  bvtest::TempDir tmp;
  EnvScope env;  // puts the variable back at the end
  env.Unset("BREVANTO_VOLUMES");
  std::string ini =
      tmp.Write("vol.ini", "[D]\nRoot=" + tmp.NativeOf("d") +
                               "\n[\\\\nas\\backup]\nRoot=" + tmp.NativeOf("nas") + "\n");
  setenv("BREVANTO_VOLUMES", ini.c_str(), 1);
  std::string sys;
  EXPECT_TRUE(ToSystemPath(tmp.NativeOf("nas/x"), &sys));
  EXPECT_EQ(sys, "\\\\nas\\backup\\x");
  EXPECT_TRUE(ToSystemPath(tmp.NativeOf("d/x"), &sys));
  EXPECT_EQ(sys, "D:\\x");
  EXPECT_FALSE(ToSystemPath("/etc/passwd", &sys));  // no C: in this table
  EXPECT_FALSE(ToNativePath("C:\\etc", &sys));
  unsetenv("BREVANTO_VOLUMES");
  EXPECT_TRUE(ToNativePath("C:\\etc", &sys));  // the real table is back
  EXPECT_EQ(sys, "/etc");
}

}  // namespace
