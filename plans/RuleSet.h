// A plan's include and exclude rules: three ordered lists of groups (include,
// exclude, always-exclude), each group an ordered list of masks. Matching a
// full path weighs every matching mask by its score; the highest score wins,
// and always-exclude items override everything.
//
// A rule set is built once (wizard, rule file, built-in exclusions) and then
// only read, so matching needs no lock; the plan swaps whole rule sets under
// its own lock.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum RuleKind : int32_t {
  kRuleInclude = 1,
  kRuleExclude = 2,
  kRuleAlwaysExclude = 3,
};

enum : uint32_t {
  kRuleAttrReadOnly = 1,
  kRuleAttrHidden = 2,
  kRuleAttrSystem = 4,
};

// Score of a mask: 10 for the first character whatever it is, then -5 per
// "*", -3 per "?" and 10 for any other character; 0 for an empty mask.
int32_t ScoreOfMask(std::string_view mask);
// Folder text f contains path p: p begins with f and either both have the
// same length, f ends with "\", or p continues with "\" right after f. Both
// arguments are upper case already; an empty f contains nothing.
bool LiesWithin(std::string_view f, std::string_view p);
// The whole of text matches pattern: "*" any run of characters (backslashes
// included), "?" exactly one character (one UTF-8 sequence). Both upper case.
// Linear in practice, O(len(pattern) * len(text)) at worst.
bool WildcardMatch(std::string_view pattern, std::string_view text);

struct CRuleItem {
  std::string mask;       // as written
  std::string maskUpper;  // upper-case copy; "*.*" kept as "*"
  std::string desc;
  uint8_t enabled = 1;
  uint8_t pathOnly = 0;
  uint32_t attributes = 0;  // kRuleAttr*; 0 for none
  int32_t score = 0;
};

class CRuleGroup {
 public:
  CRuleGroup(int32_t kind, std::string_view name, std::string_view text, bool enabled);
  CRuleGroup(const CRuleGroup&) = delete;
  CRuleGroup& operator=(const CRuleGroup&) = delete;

  int32_t Kind() const { return kind_; }
  const std::string& Name() const { return name_; }
  const std::string& Text() const { return text_; }
  bool Enabled() const { return enabled_; }
  // The scope: trimmed of blanks; empty for none.
  const std::string& Pattern() const { return pattern_; }
  const std::string& PatternUpper() const { return patternUpper_; }
  void SetPattern(std::string_view pattern);

  // Null for an empty mask. attributes: kRuleAttr* flags.
  CRuleItem* AddItem(std::string_view mask, std::string_view desc, bool enabled = true,
                     bool pathOnly = false, uint32_t attributes = 0);
  size_t ItemCount() const { return items_.size(); }
  const CRuleItem* Item(size_t index) const {
    return index < items_.size() ? items_[index].get() : nullptr;
  }

 private:
  int32_t kind_;
  std::string name_;
  std::string text_;
  bool enabled_;
  std::string pattern_;
  std::string patternUpper_;
  std::vector<std::unique_ptr<CRuleItem>> items_;
};

class CRuleSet {
 public:
  CRuleSet() = default;
  CRuleSet(const CRuleSet&) = delete;
  CRuleSet& operator=(const CRuleSet&) = delete;

  // Appends a group to the kind's list. Null for an empty name or an unknown
  // kind. A group without text stays disabled. Names need not be unique.
  CRuleGroup* AddGroup(int32_t kind, std::string_view name, std::string_view text,
                       bool enabled = true);
  // The first group of the kind with exactly this name (case-sensitive).
  CRuleGroup* FindGroup(int32_t kind, std::string_view name) const;
  // Removes the first such group; false when there is none.
  bool RemoveGroup(int32_t kind, std::string_view name);
  size_t GroupCount(int32_t kind) const;
  CRuleGroup* Group(int32_t kind, size_t index) const;

  // Whether the set includes the full path. skipAlways leaves the
  // always-exclude groups out. Hidden, read-only and system items look at the
  // file itself, so their answer depends on the file existing now.
  bool Match(std::string_view path, bool skipAlways = false) const;

 private:
  const std::vector<std::unique_ptr<CRuleGroup>>* List(int32_t kind) const;
  std::vector<std::unique_ptr<CRuleGroup>>* List(int32_t kind);

  std::vector<std::unique_ptr<CRuleGroup>> include_;
  std::vector<std::unique_ptr<CRuleGroup>> exclude_;
  std::vector<std::unique_ptr<CRuleGroup>> always_;
};

// The folders the enabled include groups and items of a rule set name: the
// part of each mask before any wildcard, up to its last "\", without a
// closing "\" except at a drive root ("C:\a\b*.doc" gives "C:\a"). Masks
// without a drive name none.
std::vector<std::string> IncludedFolders(const CRuleSet& rules);
// A store at storeRoot holds the folder: the folder is the root or lies
// below it. Compared exactly, as Linux compares names; a closing "\" on
// either side is ignored.
bool StoreHoldsFolder(std::string_view storeRoot, std::string_view folder);
// The folder a rule names: the part before any wildcard, up to its last
// separator ("C:\a\b*.doc" gives "C:\a"); empty for a mask without a drive.
std::string FolderOfMask(std::string_view mask);
