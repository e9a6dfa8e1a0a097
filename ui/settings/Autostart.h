// Starting with the desktop session: the program's entry in the user's XDG
// autostart folder ($XDG_CONFIG_HOME/autostart/<id>.desktop), which starts
// the running executable silently ("-s") at log-in, and the user's choice
// ("InternalSettings.ini" [General] StartAtLogin, on by default).
#pragma once
#include <string>
#include <string_view>

// The program's desktop id: the name of its menu entry, its autostart entry,
// its icons and its AppStream metadata.
inline constexpr char kDesktopAppId[] = "org.brevanto.Brevanto";

// The user's choice; on when never set. Setting it (the settings dialog)
// overrides what the desktop's own start-up settings did to the entry.
bool GetStartAtLogin();
void SetStartAtLogin(bool on);

// System path of the autostart entry; empty when the configuration folder
// cannot be named.
std::string AutostartEntryPath();

// The value of an Exec line that runs the executable (a native path) with
// the arguments: quoted where the desktop entry rules ask for it, field-code
// percent signs doubled and backslashes escaped. Empty when the path holds a
// line break or another control character, which no entry can carry.
std::string DesktopExecValue(std::string_view executable, std::string_view arguments);

// Makes the entry agree with the choice: written (pointing at the running
// executable) when the user wants it and a plan exists, removed otherwise.
// An entry that already says the same is left untouched. An entry written
// here that the desktop's own start-up settings removed or switched off
// (Hidden=true, X-GNOME-Autostart-enabled=false) turns the choice off
// instead of coming back; SetStartAtLogin(true) brings it back. False when
// the entry could not be written or removed.
bool SyncAutostartEntry(bool plansExist);
