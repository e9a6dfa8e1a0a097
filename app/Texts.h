// The text store ("BV_Texts.ini"), side files of the program folder, image
// paths and display formats.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

std::string GetProgramFolder();  // ends with "\"
// Text by section and key; "\n" pairs become line breaks; empty when missing.
std::string GetText(std::string_view section, std::string_view key);
std::string GetConfigString(std::string_view section, std::string_view key,
                            std::string_view fallback);
std::string GetEditionString(std::string_view key, std::string_view fallback);
std::string GetProductName();  // cached after the first non-empty result
int GetBackupDateSetting(std::string_view key);
std::string GetImageFolder();
std::string GetIconPath(std::string_view name);
std::string GetButtonPath(std::string_view name);
std::string GetBackgroundPath(std::string_view name);
std::string GetExtensionListPath();
std::string FormatSize(uint64_t size, std::string_view unit, bool thousands);
std::string FormatDuration(int64_t seconds);
