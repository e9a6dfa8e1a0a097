#include "plans/BuiltinExclusions.h"

#include "common/EngineEvents.h"
#include "common/KeyValueFile.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "platform/base/Text.h"
#include "platform/profile/Folders.h"
#include "platform/volumes/Paths.h"

namespace {

constexpr const char* kGroupName = "built-in exclude";
constexpr const char* kGroupText = "Built-in Exclude Group";

std::string SystemFolderOf(const char* native) {
  std::string out;
  return plat::ToSystemPath(native, &out) ? out : std::string();
}

// Folder prefixes. The Windows folders stand for their Linux counterparts:
// the installed system (/usr), its libraries (/usr/lib) and add-on software
// (/opt). The Internet cache is the user's cache folder.
std::string MacroFolder(std::string_view macro) {
  if (macro == "$(windows)") return SystemFolderOf("/usr");
  if (macro == "$(program files)") return SystemFolderOf("/opt");
  if (macro == "$(system_dir)") return SystemFolderOf("/usr/lib");
  if (macro == "$(ie_cache)") return plat::GetShellFolder(plat::ShellFolder::kCache);
  if (macro == "$(brevanto)") return GetProgramFolder();
  if (macro == "$(data)") return GetDataFolder();
  if (macro == "$(home)") return plat::GetShellFolder(plat::ShellFolder::kProfile);
  if (macro == "$(temp)") return plat::GetShellFolder(plat::ShellFolder::kTemp);
  return {};
}

constexpr std::string_view kMacros[] = {
    "$(windows)",  "$(program files)", "$(system_dir)", "$(ie_cache)",
    "$(brevanto)", "$(data)",          "$(home)",       "$(temp)",
};

// A plan that searches the whole computer (a category or extension plan, or
// "My Computer"): an enabled "group1" item that is not a drive path.
bool SearchesWholeComputer(const CRuleSet& rules) {
  const CRuleGroup* group = rules.FindGroup(kRuleInclude, "group1");
  if (group == nullptr) return false;
  for (size_t i = 0; i < group->ItemCount(); ++i) {
    const CRuleItem* item = group->Item(i);
    if (item->enabled && !(item->mask.size() >= 2 && item->mask[1] == ':')) return true;
  }
  return false;
}

}  // namespace

bool ExpandExclusionValue(std::string_view value, std::string* mask, uint32_t* attributes) {
  *attributes = 0;
  if (value == "$(hidden)" || value == "$(system)" || value == "$(readonly)") {
    *mask = "!";
    *attributes = value == "$(hidden)"   ? kRuleAttrHidden
                  : value == "$(system)" ? kRuleAttrSystem
                                         : kRuleAttrReadOnly;
    return true;
  }
  for (std::string_view macro : kMacros) {
    if (!plat::StartsWithNoCase(value, macro)) continue;
    std::string folder = MacroFolder(macro);
    if (folder.empty()) return false;
    // Exactly one separator between the folder and the rest.
    while (!folder.empty() && folder.back() == '\\') folder.pop_back();
    std::string_view rest = value.substr(macro.size());
    while (!rest.empty() && rest.front() == '\\') rest.remove_prefix(1);
    *mask = folder + "\\" + std::string(rest);
    return true;
  }
  mask->assign(value);
  return true;
}

bool AddExclusionsFromFile(CRuleSet* rules, std::string_view path) {
  CKeyValueReader reader;
  if (!rules || !reader.Open(path)) return false;
  rules->RemoveGroup(kRuleAlwaysExclude, kGroupName);
  CRuleGroup* group = rules->AddGroup(kRuleAlwaysExclude, kGroupName, kGroupText, true);
  if (!group) return false;
  // The system's own trees are left out only where the user chose no folder.
  const bool wholeComputer = SearchesWholeComputer(*rules);
  std::string key, value;
  while (reader.Next(&key, &value)) {
    const bool pathOnly = key == "exclude.path.only";
    const bool system = key == "exclude.system";
    if (system && !wholeComputer) continue;
    std::string mask;
    uint32_t attributes = 0;
    if (!pathOnly && !system && key != "exclude") {
      PostEvent(kEvInvalidContent, "Invalid line in " + std::string(path) + " " + reader.Line());
      continue;
    }
    // A folder this machine does not have excludes nothing.
    if (!ExpandExclusionValue(value, &mask, &attributes)) continue;
    if (!group->AddItem(mask, "", true, pathOnly, attributes)) {
      PostEvent(kEvInvalidContent, "Invalid line in " + std::string(path) + " " + reader.Line());
    }
  }
  return true;
}

bool AddBuiltinExclusions(CRuleSet* rules) {
  return AddExclusionsFromFile(rules, GetProgramFolder() + "exclude.ini");
}
