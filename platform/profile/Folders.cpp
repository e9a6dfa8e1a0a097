#include "platform/profile/Folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/base/Errors.h"
#include "platform/files/FileSupport.h"
#include "platform/volumes/Paths.h"

namespace plat {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string StripSlash(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::string Home() {
  std::string h = Env("HOME");
  if (h.empty() || h[0] != '/') {
    const passwd* pw = getpwuid(getuid());
    h = pw && pw->pw_dir ? pw->pw_dir : "/";
  }
  return StripSlash(h);
}

// An XDG base folder: the variable when it holds an absolute path, else
// $HOME + fallback.
std::string XdgBase(const char* var, const char* fallback) {
  const std::string v = Env(var);
  if (!v.empty() && v[0] == '/') return StripSlash(v);
  return Home() + fallback;
}

std::string DataFolderNative() {
  const std::string custom = Env("BREVANTO_DATA_DIR");
  if (!custom.empty() && custom[0] == '/') return StripSlash(custom);
  return XdgBase("XDG_DATA_HOME", "/.local/share") + "/Orlimtech/Brevanto";
}

// A native path as a system path, "" when no volume holds it.
std::string SystemOf(const std::string& native) {
  std::string sys;
  return ToSystemPath(native, &sys) ? sys : std::string();
}

std::string WithoutSeparator(std::string p) {
  while (p.size() > 3 && p.back() == '\\') p.pop_back();
  return p;
}

// The user folder named key ("XDG_DOCUMENTS_DIR") in user-dirs.dirs, with
// "$HOME" expanded; "" when not listed.
std::string UserDir(std::string_view key) {
  const std::string file = XdgBase("XDG_CONFIG_HOME", "/.config") + "/user-dirs.dirs";
  FILE* f = fopen(file.c_str(), "re");
  if (!f) return {};
  char line[4096];
  std::string result;
  while (fgets(line, sizeof line, f)) {
    std::string_view l(line);
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.remove_suffix(1);
    while (!l.empty() && (l.front() == ' ' || l.front() == '\t')) l.remove_prefix(1);
    if (l.empty() || l[0] == '#' || l.substr(0, key.size()) != key) continue;
    l.remove_prefix(key.size());
    if (l.empty() || l[0] != '=') continue;
    l.remove_prefix(1);
    if (l.size() >= 2 && l.front() == '"' && l.back() == '"') l = l.substr(1, l.size() - 2);
    std::string v(l);
    if (v.rfind("$HOME", 0) == 0 && (v.size() == 5 || v[5] == '/')) {
      v = Home() + v.substr(5);
    } else if (v.empty() || v[0] != '/') {
      continue;  // only absolute or $HOME-relative paths are valid
    }
    result = StripSlash(v);
    break;  // the first entry wins
  }
  fclose(f);
  return result;
}

}  // namespace

std::string GetDataFolder() {
  const std::string native = DataFolderNative();
  std::string sys = SystemOf(native);
  if (sys.empty()) {
    // Outside every volume: name it on C: so the program can still say where.
    sys = "C:" + native;
    for (char& c : sys)
      if (c == '/') c = '\\';
  }
  if (sys.back() != '\\') sys += '\\';
  return sys;
}

bool EnsureDataFolder() {
  const std::string native = DataFolderNative();
  for (size_t pos = 1; pos <= native.size(); ++pos) {
    if (pos != native.size() && native[pos] != '/') continue;
    const std::string part = native.substr(0, pos);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
      return detail::Fail(detail::ErrorFor(errno, part));
  }
  struct stat st;
  if (stat(native.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return detail::Fail(kErrPathNotFound);
  return true;
}

std::string GetProgramFile() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return SystemOf(std::string(buf, static_cast<size_t>(n)));
}

std::string GetProgramFolder() {
  const std::string file = GetProgramFile();
  return file.empty() ? std::string() : PathFolder(file);
}

std::string GetShellFolder(ShellFolder folder) {
  std::string native;
  switch (folder) {
    case ShellFolder::kDocuments:
      native = UserDir("XDG_DOCUMENTS_DIR");
      if (native.empty()) native = Home() + "/Documents";
      break;
    case ShellFolder::kMusic:
      native = UserDir("XDG_MUSIC_DIR");
      if (native.empty()) native = Home() + "/Music";
      break;
    case ShellFolder::kPictures:
      native = UserDir("XDG_PICTURES_DIR");
      if (native.empty()) native = Home() + "/Pictures";
      break;
    case ShellFolder::kVideos:
      native = UserDir("XDG_VIDEOS_DIR");
      if (native.empty()) native = Home() + "/Videos";
      break;
    case ShellFolder::kDesktop:
      native = UserDir("XDG_DESKTOP_DIR");
      if (native.empty()) native = Home() + "/Desktop";
      break;
    case ShellFolder::kAppData:
      native = XdgBase("XDG_CONFIG_HOME", "/.config");
      break;
    case ShellFolder::kLocalAppData:
      native = XdgBase("XDG_DATA_HOME", "/.local/share");
      break;
    case ShellFolder::kProfile:
      native = Home();
      break;
    case ShellFolder::kCache:
      native = XdgBase("XDG_CACHE_HOME", "/.cache");
      break;
    case ShellFolder::kTemp: {
      const std::string t = Env("TMPDIR");
      native = !t.empty() && t[0] == '/' ? StripSlash(t) : "/tmp";
      break;
    }
  }
  return WithoutSeparator(SystemOf(native));
}

std::string GetRegistryFile() {
  return SystemOf(XdgBase("XDG_CONFIG_HOME", "/.config") + "/Orlimtech/Registry.ini");
}

}  // namespace plat
