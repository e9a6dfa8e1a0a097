// The extension list "Ext.txt" of the program folder: one row per file
// category, comma-separated, fields optionally in double quotes. The first
// field names the category (as in the wizard's "FileTypes" section); every
// further field is "description|mask".
#pragma once
#include <string>
#include <string_view>
#include <vector>

struct ExtensionEntry {
  std::string description;
  std::string mask;  // "*.doc"
};

struct ExtensionCategory {
  std::string name;
  std::vector<ExtensionEntry> entries;
};

// Lines longer than this many characters are skipped with event 0.
inline constexpr size_t kMaxExtensionLine = 4096;
// Larger files are refused with event 0.
inline constexpr size_t kMaxExtensionFileBytes = 4u << 20;

// Parses the text of the list (UTF-8, with or without a byte-order mark, or
// UTF-16LE with its mark). An entry without "|" is left out with event 0
// "Missing | in Ext.txt file!". Rows without a name are left out.
std::vector<ExtensionCategory> ParseExtensionList(std::string_view bytes);
// Reads and parses the file; false with event 0 (or 9 when it cannot be
// read) and an empty list.
bool ReadExtensionList(std::string_view path, std::vector<ExtensionCategory>* out);
// The program folder's list.
bool ReadExtensionList(std::vector<ExtensionCategory>* out);

// Masks of the entries chosen in a plan's "UI.ini": for every category chosen
// in section "FileTypes" (value above 0), each entry whose key "Item%d"
// (1-based entry number) in the section named like the category is 1.
// Categories in list order, entries in row order.
std::vector<std::string> ChosenExtensionMasks(std::string_view uiIniPath,
                                              const std::vector<ExtensionCategory>& list);
