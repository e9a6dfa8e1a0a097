// The text store ("BV_Texts.ini"), side files of the program folder, image
// paths and display formats.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

std::string GetProgramFolder();  // ends with "\"
// Replaces the program folder for tests (a system path; empty restores the
// real one). Also forgets the cached product name and the kept side files.
void SetProgramFolderForTests(std::string_view folder);

// Text by section and key, as the file holds it (looked at once a second at
// most, read again when it changed); "\n" pairs become
// line breaks; at most 1024 characters; empty when missing.
std::string GetText(std::string_view section, std::string_view key);
// "config.ini" of the program folder; the fallback when missing or empty.
std::string GetConfigString(std::string_view section, std::string_view key,
                            std::string_view fallback);
// "OEM.ini" [OEMSettings]; the fallback when missing or empty.
std::string GetEditionString(std::string_view key, std::string_view fallback);
std::string GetProductName();  // cached after the first non-empty result
// "OEM.ini" [Backup_Date] integer; 0 when absent.
int GetBackupDateSetting(std::string_view key);
std::string GetImageFolder();  // program folder + "Image\"
// Image folder + "Icons\" / "Buttons\" / "Backgrounds\" + name + ".png".
std::string GetIconPath(std::string_view name);
std::string GetButtonPath(std::string_view name);
std::string GetBackgroundPath(std::string_view name);
std::string GetExtensionListPath();  // program folder + "Ext.txt"

// Byte count for display: "1023 B", "1 KB", "5 MB" (or "5,000 KB" in the
// thousands form), "1.50 GB", "2.00 TB". An empty unit takes the text store's
// byte unit. The decimal point is always ".".
std::string FormatSize(uint64_t size, std::string_view unit, bool thousands);
// A text that may be a system path, as a person reads it: the native path
// when it names a volume or share ("C:\home\ann\a.txt" -> "/home/ann/a.txt"),
// otherwise the text unchanged.
std::string ReadablePath(const std::string& text);
// "HHh MMmin SSs"; hours grow past 99; negative counts print as zero.
std::string FormatDuration(int64_t seconds);
