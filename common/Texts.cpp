#include "common/Texts.h"

#include <mutex>

#include "platform/files/Files.h"
#include "platform/profile/Folders.h"
#include "platform/profile/Profile.h"

namespace {

constexpr size_t kMaxTextChars = 1024;
constexpr char kDefaultProductName[] = "Brevanto Essentials";

std::mutex g_lock;  // guards g_folderOverride, g_sideFolder and g_productName
std::string g_folderOverride;
std::string g_sideFolder;
std::string g_productName;

// The folder of the side files: the executable's own folder when the texts
// lie beside it (a build folder), else "share\brevanto\" beside the
// executable's "bin" folder (an installed program: <prefix>/bin and
// <prefix>/share/brevanto). The executable's folder when neither holds them.
std::string FindSideFolder() {
  const std::string exe = plat::GetProgramFolder();
  if (exe.empty() || plat::FileExists(exe + "BV_Texts.ini")) return exe;
  const size_t cut = exe.find_last_of('\\', exe.size() - 2);
  if (cut == std::string::npos) return exe;
  const std::string shared = exe.substr(0, cut + 1) + "share\\brevanto\\";
  return plat::FileExists(shared + "BV_Texts.ini") ? shared : exe;
}

std::string SideFile(const char* name) { return GetProgramFolder() + name; }

}  // namespace

std::string GetProgramFolder() {
  {
    std::lock_guard<std::mutex> g(g_lock);
    if (!g_folderOverride.empty()) return g_folderOverride;
    if (!g_sideFolder.empty()) return g_sideFolder;
  }
  std::string found = FindSideFolder();
  std::lock_guard<std::mutex> g(g_lock);
  if (g_sideFolder.empty()) g_sideFolder = std::move(found);
  return g_sideFolder;
}

void SetProgramFolderForTests(std::string_view folder) {
  std::lock_guard<std::mutex> g(g_lock);
  g_folderOverride = std::string(folder);
  if (!g_folderOverride.empty() && g_folderOverride.back() != '\\') g_folderOverride += '\\';
  g_productName.clear();
  plat::ForgetKeptProfiles();
}

std::string GetText(std::string_view section, std::string_view key) {
  const std::string raw =
      plat::GetKeptProfileString(SideFile("BV_Texts.ini"), section, key, "", kMaxTextChars);
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\\' && i + 1 < raw.size() && raw[i + 1] == 'n') {
      out += '\n';
      ++i;
    } else {
      out += raw[i];
    }
  }
  return out;
}

std::string GetConfigString(std::string_view section, std::string_view key,
                            std::string_view fallback) {
  std::string v = plat::GetKeptProfileString(SideFile("config.ini"), section, key, "");
  return v.empty() ? std::string(fallback) : v;
}

std::string GetEditionString(std::string_view key, std::string_view fallback) {
  std::string v = plat::GetKeptProfileString(SideFile("OEM.ini"), "OEMSettings", key, "");
  return v.empty() ? std::string(fallback) : v;
}

std::string GetProductName() {
  {
    std::lock_guard<std::mutex> g(g_lock);
    if (!g_productName.empty()) return g_productName;
  }
  std::string name = GetEditionString("ProductName", kDefaultProductName);
  std::lock_guard<std::mutex> g(g_lock);
  if (g_productName.empty()) g_productName = name;
  return g_productName;
}

int GetBackupDateSetting(std::string_view key) {
  return plat::GetKeptProfileInt(SideFile("OEM.ini"), "Backup_Date", key, 0);
}

std::string GetImageFolder() { return GetProgramFolder() + "Image\\"; }

std::string GetIconPath(std::string_view name) {
  return GetImageFolder() + "Icons\\" + std::string(name) + ".png";
}

std::string GetButtonPath(std::string_view name) {
  return GetImageFolder() + "Buttons\\" + std::string(name) + ".png";
}

std::string GetBackgroundPath(std::string_view name) {
  return GetImageFolder() + "Backgrounds\\" + std::string(name) + ".png";
}

std::string GetExtensionListPath() { return SideFile("Ext.txt"); }
