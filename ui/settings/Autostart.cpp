#include "ui/settings/Autostart.h"

#include "common/Settings.h"
#include "common/Texts.h"
#include "platform/files/Files.h"
#include "platform/profile/Folders.h"
#include "platform/volumes/Paths.h"

namespace {

constexpr char kSection[] = "General";
constexpr char kKey[] = "StartAtLogin";
// 1 while the entry this program wrote should be in place.
constexpr char kWrittenKey[] = "AutostartWritten";

void SetWritten(bool on) {
  if ((ReadInternalInt(kSection, kWrittenKey, 0) != 0) != on)
    WriteInternalInt(kSection, kWrittenKey, on ? 1 : 0);
}

// The entry is there and not switched off by the desktop's own start-up
// settings (which hide an entry or mark it disabled).
bool EntryActive(const std::string& path) {
  std::string text;
  if (!plat::ReadWholeFile(path, &text, 1 << 16)) return false;
  return text.find("\nHidden=true") == std::string::npos &&
         text.find("\nX-GNOME-Autostart-enabled=false") == std::string::npos;
}

// A desktop entry's string value: backslashes doubled, line breaks refused
// by the caller.
std::string EscapeValue(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += '\\';
    out += c;
  }
  return out;
}

bool NeedsQuotes(std::string_view argument) {
  return argument.empty() ||
         argument.find_first_of(" \t\"'\\><~|&;$*?#()`") != std::string_view::npos;
}

std::string EntryText(const std::string& exeNative) {
  const std::string exec = DesktopExecValue(exeNative, "-s");
  if (exec.empty()) return {};
  std::string comment = GetText("DESKTOP", "AUTOSTART_COMMENT");
  for (char& c : comment)
    if (c == '\n') c = ' ';
  std::string text = "[Desktop Entry]\nType=Application\n";
  text += "Name=" + EscapeValue(GetProductName()) + "\n";
  if (!comment.empty()) text += "Comment=" + EscapeValue(comment) + "\n";
  text += "Exec=" + exec + "\n";
  text += "TryExec=" + EscapeValue(exeNative) + "\n";
  text += "Icon=" + std::string(kDesktopAppId) + "\n";
  text += "Terminal=false\nX-GNOME-Autostart-enabled=true\n";
  return text;
}

}  // namespace

bool GetStartAtLogin() { return ReadInternalInt(kSection, kKey, 1) != 0; }

void SetStartAtLogin(bool on) {
  WriteInternalInt(kSection, kKey, on ? 1 : 0);
  SetWritten(false);  // the user's word here outranks what the desktop did before
}

std::string AutostartEntryPath() {
  const std::string config = plat::GetShellFolder(plat::ShellFolder::kAppData);
  if (config.empty()) return {};
  return config + "\\autostart\\" + kDesktopAppId + ".desktop";
}

std::string DesktopExecValue(std::string_view executable, std::string_view arguments) {
  for (char c : executable)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return {};
  std::string exec;
  if (NeedsQuotes(executable)) {
    exec += '"';
    for (char c : executable) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') exec += '\\';
      exec += c;
    }
    exec += '"';
  } else {
    exec = std::string(executable);
  }
  if (!arguments.empty()) exec += ' ' + std::string(arguments);
  std::string out;
  for (char c : exec) {
    if (c == '%') out += '%';
    out += c;
  }
  return EscapeValue(out);
}

bool SyncAutostartEntry(bool plansExist) {
  const std::string path = AutostartEntryPath();
  if (path.empty()) return false;
  if (GetStartAtLogin() && ReadInternalInt(kSection, kWrittenKey, 0) != 0 && !EntryActive(path)) {
    // The entry written here was removed or switched off with the desktop's
    // own start-up settings: that is the user's choice as well.
    WriteInternalInt(kSection, kKey, 0);
  }
  if (!plansExist || !GetStartAtLogin()) {
    SetWritten(false);
    return !plat::FileExists(path) || plat::DeleteFile(path);
  }
  std::string exe;
  if (!plat::ToNativePath(plat::GetProgramFile(), &exe)) return false;
  const std::string text = EntryText(exe);
  if (text.empty()) return false;
  std::string present;
  if (plat::ReadWholeFile(path, &present, 1 << 16) && present == text) {
    SetWritten(true);
    return true;
  }
  const std::string folder = path.substr(0, path.find_last_of('\\'));
  if (!plat::CreateDirectories(folder) || !plat::WriteFileAtomic(path, text)) return false;
  SetWritten(true);
  return true;
}
