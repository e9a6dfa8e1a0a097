// The rule file "IncExc.ini": a rule set in the key-value format. Only the
// include and exclude sections are read back; the always-exclude groups are
// written for the reader's benefit but rebuilt from "exclude.ini" at load.
#pragma once
#include <memory>
#include <string>
#include <string_view>

#include "plans/RuleSet.h"

// Null when the file cannot be opened or breaks the grammar in any way;
// nothing of a malformed file is used. An empty file gives an empty set.
std::unique_ptr<CRuleSet> LoadRuleSet(std::string_view path);
// The text SaveRuleSet writes.
std::string FormatRuleSet(const CRuleSet& rules);
// Writes every enabled group with its enabled items; false when the file
// cannot be written. The old file stays whole on failure.
bool SaveRuleSet(const CRuleSet& rules, std::string_view path);
