// Well-known folders from the environment and the XDG user-dirs file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "EnvScope.h"
#include "platform/Folders.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

TEST(Folders, DataShellAndProgramFoldersFromTheEnvironment) {
  bvtest::TempDir t;
  EnvScope env;
  env.Unset("BREVANTO_DATA_DIR");
  env.Set("XDG_DATA_HOME", t.NativeOf("xdg"));
  EXPECT_EQ(plat::GetDataFolder(), t.SystemOf("xdg\\Orlimtech\\Brevanto\\"));
  ASSERT_TRUE(plat::EnsureDataFolder());
  struct stat st {};
  ASSERT_EQ(stat(t.NativeOf("xdg/Orlimtech/Brevanto").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(plat::EnsureDataFolder());  // already there
  env.Set("HOME", t.NativeOf("home"));
  env.Set("XDG_DATA_HOME", "relative/ignored");
  EXPECT_EQ(plat::GetDataFolder(), t.SystemOf("home\\.local\\share\\Orlimtech\\Brevanto\\"));
  env.Set("BREVANTO_DATA_DIR", t.NativeOf("custom") + "/");
  EXPECT_EQ(plat::GetDataFolder(), t.SystemOf("custom\\"));

  env.Set("XDG_CONFIG_HOME", t.NativeOf("cfg"));
  env.Set("XDG_DATA_HOME", t.NativeOf("data"));
  env.Set("TMPDIR", t.NativeOf("tmp"));
  EXPECT_EQ(plat::GetShellFolder(plat::ShellFolder::kDocuments), t.SystemOf("home\\Documents"));
  t.Write("cfg/user-dirs.dirs",
          "# written by xdg-user-dirs-update\n"
          "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\nXDG_MUSIC_DIR=\"" +
              t.NativeOf("elsewhere/Musik") +
              "\"\nXDG_PICTURES_DIR=\"relative/ignored\"\n"
              "XDG_DOCUMENTS_DIR=\"$HOME/second\"\n");
  for (const auto& [folder, path] : std::vector<std::pair<plat::ShellFolder, std::string>>{
           {plat::ShellFolder::kDocuments, "home\\Dokumente"},
           {plat::ShellFolder::kMusic, "elsewhere\\Musik"},
           {plat::ShellFolder::kPictures, "home\\Pictures"},
           {plat::ShellFolder::kVideos, "home\\Videos"},
           {plat::ShellFolder::kAppData, "cfg"},
           {plat::ShellFolder::kLocalAppData, "data"},
           {plat::ShellFolder::kProfile, "home"},
           {plat::ShellFolder::kTemp, "tmp"}})
    EXPECT_EQ(plat::GetShellFolder(folder), t.SystemOf(path)) << path;
  env.Unset("TMPDIR");
  EXPECT_EQ(plat::GetShellFolder(plat::ShellFolder::kTemp), "C:\\tmp");
  EXPECT_EQ(plat::GetRegistryFile(), t.SystemOf("cfg\\Orlimtech\\Registry.ini"));

  const std::string exe = fs::canonical("/proc/self/exe").string();
  EXPECT_EQ(plat::GetProgramFile(), bvtest::NativeToSystemC(exe));
  EXPECT_EQ(plat::GetProgramFolder(),
            bvtest::NativeToSystemC(fs::path(exe).parent_path().string()) + "\\");
}
