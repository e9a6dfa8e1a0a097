#include "platform/Paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "EnvScope.h"
#include "platform/Volumes.h"
#include "support/TempDir.h"

namespace {

using plat::ToNativePath;
using plat::ToSystemPath;
using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(PathsTest, StringHelpers) {
  for (const auto& [path, plain] : Pairs{{"\\\\?\\C:\\x\\y", "C:\\x\\y"},
                                         {"\\\\?\\UNC\\srv\\share\\x", "\\\\srv\\share\\x"},
                                         {"\\\\srv\\share", "\\\\srv\\share"},
                                         {"\\\\?", "\\\\?"},
                                         {"C:\\a", "C:\\a"}})
    EXPECT_EQ(plat::StripLongPathPrefix(path), plain);
  EXPECT_EQ(plat::PathFolder("C:\\a\\b.txt"), "C:\\a\\");
  EXPECT_EQ(plat::PathFolder("C:\\"), "C:\\");
  EXPECT_EQ(plat::PathFolder("b.txt"), "");
  EXPECT_EQ(plat::PathName("C:\\a\\b.txt"), "b.txt");
  EXPECT_EQ(plat::PathName("C:\\a\\"), "");
  EXPECT_EQ(plat::PathName("plain"), "plain");
  for (const auto& [folder, joined] : Pairs{{"C:\\a", "C:\\a\\b"},
                                            {"C:\\a\\", "C:\\a\\b"},
                                            {"C:\\", "C:\\b"},
                                            {"", "b"},
                                            {"\\\\srv\\share", "\\\\srv\\share\\b"}})
    EXPECT_EQ(plat::PathAppend(folder, "b"), joined) << folder;
  EXPECT_EQ(plat::PathAppend("C:\\a\\", "\\b"), "C:\\a\\b");
  EXPECT_EQ(plat::WithSeparator("C:\\a"), "C:\\a\\");
  EXPECT_EQ(plat::WithSeparator("C:\\a\\"), "C:\\a\\");
}

// Through an override table (C: is "/", E: and shares in a temporary folder):
// both directions, the paths each refuses, and odd names that round-trip.
TEST(PathsTest, PathsMapThroughTheTableBothWays) {
  bvtest::TempDir tmp;
  EnvScope env;
  const std::string e = tmp.NativeOf("e"), share = tmp.NativeOf("share");
  env.Volumes(tmp.NativeOf("vol.ini"),
              "[C]\nRoot=/\nSystem=1\n[E]\nRoot=" + e + "/\n[\\\\srv\\share]\nRoot=" + share +
                  "\nOnline=1\n[\\\\srv\\off]\nRoot=" + share + "\nOnline=0\n");
  auto native = [](const std::string& sys) {
    std::string n;
    return ToNativePath(sys, &n) ? n : "<fail>";
  };
  auto system = [](const std::string& nat) {
    std::string s;
    return ToSystemPath(nat, &s) ? s : "<fail>";
  };
  for (const auto& [sys, nat] : Pairs{{"C:\\home\\a", "/home/a"},
                                      {"c:\\home\\a", "/home/a"},
                                      {"C:", "/"},
                                      {"C:\\", "/"},
                                      {"C:\\a\\\\b\\.\\c", "/a/b/c"},
                                      {"C:\\a\\", "/a/"},
                                      {"\\\\?\\C:\\a", "/a"},
                                      {"E:", e},
                                      {"E:\\", e},
                                      {"E:\\x\\y z.txt", e + "/x/y z.txt"},
                                      {"\\\\srv\\share\\x\\y", share + "/x/y"},
                                      {"\\\\SRV\\Share\\x", share + "/x"},
                                      {"\\\\srv\\share", share},
                                      {"\\\\?\\UNC\\srv\\share\\x", share + "/x"}})
    EXPECT_EQ(native(sys), nat) << sys;
  for (const char* bad : {"", "home\\a", "\\home\\a", "C:home", "Q:\\x", "D:", "C:\\a\\..\\b",
                          "C:\\..", "E:\\..\\..\\etc", "1:\\x", "\\\\.\\C:\\x", "\\\\srv\\off\\x",
                          "\\\\srv\\other\\x", "\\\\srv", "\\\\srv\\share\\..\\off"})
    EXPECT_EQ(native(bad), "<fail>") << bad;
  EXPECT_EQ(native(std::string("C:\\a\0b", 6)), "<fail>");
  plat::ShareInfo s;
  ASSERT_TRUE(plat::VolumeTable::Instance().FindShare("\\\\srv\\off\\", &s));
  EXPECT_FALSE(s.online);
  // The longest root wins, at component boundaries only.
  for (const auto& [nat, sys] :
       Pairs{{"/home/a", "C:\\home\\a"},
             {"/", "C:\\"},
             {e, "E:\\"},
             {e + "//x/./y/", "E:\\x\\y"},
             {tmp.NativeOf("ex/y"), bvtest::NativeToSystemC(tmp.NativeOf("ex/y"))}})
    EXPECT_EQ(system(nat), sys) << nat;
  for (const char* bad : {"/a\\b", "/a/\xff\xfe", "/a/\xc0\xaf", "relative/x", "", "/a/../b"})
    EXPECT_EQ(system(bad), "<fail>") << bad;

  std::string deep;
  for (int i = 0; i < 40; ++i) deep += "/" + std::string(250, 'n');  // over 10,000 bytes
  for (const std::string& rel :
       {std::string("/with blank/and  two"), std::string("/quote\"s/'single'"),
        std::string("/Ärger/日本語/ñ.txt"), std::string("/semi;colon/perc%ent/star*?<>|"), deep}) {
    for (const std::string& nat : {rel, e + rel}) {
      const std::string sys = system(nat);
      EXPECT_EQ(sys.find('/'), std::string::npos) << nat;
      EXPECT_EQ(native(sys), nat);
    }
  }
}

// Shares name native paths outside every volume; the table follows the
// variable without being told to reload.
TEST(PathsTest, SharesNameNativePathsOutsideEveryVolume) {
  bvtest::TempDir tmp;
  EnvScope env;
  env.Unset("BREVANTO_VOLUMES");
  const std::string ini =
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
