// The built-in exclusions of "exclude.ini" (program folder): one always-exclude
// group "built-in exclude" that every plan gets at load and creation.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "plans/RuleSet.h"

// Reads "exclude.ini" from the program folder into rules. False when the file
// cannot be opened (nothing is added then) or the group cannot be made.
bool AddBuiltinExclusions(CRuleSet* rules);
// The same from any file. A group of that name added before is replaced, so
// calling it twice does not double the exclusions. Lines with other keys than
// "exclude", "exclude.path.only" and "exclude.system" raise event 0 and are
// skipped. "exclude.system" entries (the system's own trees) apply only to
// rules that search the whole computer (a "group1" item that is not a drive
// path): a folder the user chose is never left out by them. Call it after
// the include groups are in place.
bool AddExclusionsFromFile(CRuleSet* rules, std::string_view path);

// Expands the macros of an exclusion value into a mask and attribute flags.
// False when the macro's folder cannot be named on this machine.
bool ExpandExclusionValue(std::string_view value, std::string* mask, uint32_t* attributes);
