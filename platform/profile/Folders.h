// Well-known folders, as system paths.
#pragma once
#include <string>

namespace plat {

// $BREVANTO_DATA_DIR, else $XDG_DATA_HOME (default ~/.local/share) +
// "/Orlimtech/Brevanto/", as a system path ending in "\". Not created here.
std::string GetDataFolder();
// Creates the data folder (mode 0700) with missing parents.
bool EnsureDataFolder();
// Folder of the running executable, ending in "\".
std::string GetProgramFolder();
// Full system path of the running executable.
std::string GetProgramFile();

enum class ShellFolder {
  kDocuments,
  kMusic,
  kPictures,
  kVideos,
  kDesktop,
  kAppData,       // $XDG_CONFIG_HOME
  kLocalAppData,  // $XDG_DATA_HOME
  kProfile,       // $HOME
  kCache,         // $XDG_CACHE_HOME (default ~/.cache)
  kTemp,          // $TMPDIR or /tmp
};
// System path without a closing "\"; empty when the folder cannot be named.
std::string GetShellFolder(ShellFolder folder);

// The INI file that stands for the registry ($XDG_CONFIG_HOME/Orlimtech/
// Registry.ini), as a system path.
std::string GetRegistryFile();

}  // namespace plat
