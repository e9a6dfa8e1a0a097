// A plan's rules as they apply to the files of one folder. Most rule items
// give every file of a folder the same answer (a source folder holds all of
// them, a system tree none of them); those are settled once, when the walk
// enters the folder, and only the items that look at a file's own name or
// attributes are matched per file. The answer is the one CRuleSet::Match
// gives for the file's full path.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CRuleSet;

class FolderRules {
 public:
  // folderUpper: the folder's system path in upper case with its closing
  // "\". Keeps what it needs from rules (the set may change afterwards).
  void Build(const CRuleSet& rules, std::string_view folderUpper, bool skipAlways = false);
  // name: the file's name as listed; attributes: plat::kAttr* from the listing.
  bool Takes(std::string_view name, uint32_t attributes);
  // Every file of the folder gets the same answer.
  bool Settled() const { return settled_; }

 private:
  struct Item {
    uint8_t kind = 0;  // kRuleInclude, kRuleExclude, kRuleAlwaysExclude
    bool pathOnly = false;
    uint8_t fit = 0;     // the mask holds the folder's files: 0 none, 1 all, 2 by name
    int32_t scope = -1;  // index into scopes_ of a scope that depends on the name
    uint32_t attributes = 0;
    int32_t score = 0;
    std::string maskUpper;  // kept when it holds them by name
    uint8_t nameTest = 0;   // not 0: a test of the name alone against literal
    std::string literal;
  };
  bool Evaluate(uint32_t attributes);
  bool MatchesName(const std::string& maskUpper) const;

  std::string folderUpper_;
  std::vector<std::string> scopes_;
  std::vector<Item> items_;
  bool settled_ = true;
  bool answer_ = false;
  std::string upper_;  // folder and name of the file being matched, upper case
};
