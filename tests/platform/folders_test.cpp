// Well-known folders from the environment and the XDG user-dirs file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "EnvScope.h"
#include "platform/Folders.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using bvtest::NativeToSystemC;

TEST(Folders, DataFolderFromTheEnvironment) {
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

  env.Unset("XDG_DATA_HOME");
  env.Set("HOME", t.NativeOf("home"));
  EXPECT_EQ(plat::GetDataFolder(), t.SystemOf("home\\.local\\share\\Orlimtech\\Brevanto\\"));
  env.Set("XDG_DATA_HOME", "relative/ignored");
  EXPECT_EQ(plat::GetDataFolder(), t.SystemOf("home\\.local\\share\\Orlimtech\\Brevanto\\"));

  env.Set("BREVANTO_DATA_DIR", t.NativeOf("custom") + "/");
  EXPECT_EQ(plat::GetDataFolder(), t.SystemOf("custom\\"));
  ASSERT_TRUE(plat::EnsureDataFolder());
  EXPECT_TRUE(fs::is_directory(t.NativeOf("custom")));
}

TEST(Folders, ShellFoldersAndUserDirs) {
  bvtest::TempDir t;
  EnvScope env;
  env.Set("HOME", t.NativeOf("home"));
  env.Set("XDG_CONFIG_HOME", t.NativeOf("cfg"));
  env.Set("XDG_DATA_HOME", t.NativeOf("data"));
  env.Set("TMPDIR", t.NativeOf("tmp"));
  // No user-dirs file: the usual names under the home folder.
  EXPECT_EQ(plat::GetShellFolder(plat::ShellFolder::kDocuments), t.SystemOf("home\\Documents"));
  EXPECT_EQ(plat::GetShellFolder(plat::ShellFolder::kVideos), t.SystemOf("home\\Videos"));
  t.Write("cfg/user-dirs.dirs",
          "# written by xdg-user-dirs-update\n"
          "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n"
          "XDG_MUSIC_DIR=\"" +
              t.NativeOf("elsewhere/Musik") +
              "\"\n"
              "XDG_PICTURES_DIR=\"relative/ignored\"\n"
              "XDG_DOCUMENTS_DIR=\"$HOME/second\"\n");
  EXPECT_EQ(plat::GetShellFolder(plat::ShellFolder::kDocuments), t.SystemOf("home\\Dokumente"));
  EXPECT_EQ(plat::GetShellFolder(plat::ShellFolder::kMusic), t.SystemOf("elsewhere\\Musik"));
  EXPECT_EQ(plat::GetShellFolder(plat::ShellFolder::kPictures), t.SystemOf("home\\Pictures"));
  EXPECT_EQ(plat::GetShellFolder(plat::ShellFolder::kAppData), t.SystemOf("cfg"));
  EXPECT_EQ(plat::GetShellFolder(plat::ShellFolder::kLocalAppData), t.SystemOf("data"));
  EXPECT_EQ(plat::GetShellFolder(plat::ShellFolder::kProfile), t.SystemOf("home"));
  EXPECT_EQ(plat::GetShellFolder(plat::ShellFolder::kTemp), t.SystemOf("tmp"));
  env.Unset("TMPDIR");
  EXPECT_EQ(plat::GetShellFolder(plat::ShellFolder::kTemp), "C:\\tmp");
  EXPECT_EQ(plat::GetRegistryFile(), t.SystemOf("cfg\\Orlimtech\\Registry.ini"));
}

TEST(Folders, ProgramFolderHoldsTheRunningExecutable) {
  const std::string exe = fs::canonical("/proc/self/exe").string();
  EXPECT_EQ(plat::GetProgramFile(), NativeToSystemC(exe));
  EXPECT_EQ(plat::GetProgramFolder(), NativeToSystemC(fs::path(exe).parent_path().string()) + "\\");
}
