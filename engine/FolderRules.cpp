#include "engine/FolderRules.h"

#include "plans/RuleSet.h"
#include "platform/base/Text.h"

namespace {

constexpr uint8_t kNever = 0, kAlways = 1, kByName = 2;
constexpr uint8_t kNameGeneral = 0, kNameEnds = 1, kNameIs = 2, kNameBegins = 3;
constexpr int32_t kHardScore = 100000;  // as CRuleSet::Match

bool StartsWith(std::string_view text, std::string_view head) {
  return text.size() >= head.size() && text.compare(0, head.size(), head) == 0;
}

// The paths asked about are folder + name, with a name that is not empty and
// holds no "\". How LiesWithin(mask, path) answers for them.
uint8_t WithinFit(std::string_view mask, std::string_view folder) {
  if (mask.empty()) return kNever;
  if (mask.size() < folder.size()) {
    const bool holds =
        StartsWith(folder, mask) && (mask.back() == '\\' || folder[mask.size()] == '\\');
    return holds ? kAlways : kNever;
  }
  if (mask == folder) return kAlways;
  return StartsWith(mask, folder) ? kByName : kNever;
}

// How WildcardMatch(mask, path) answers for them.
uint8_t WildFit(std::string_view mask, std::string_view folder) {
  const size_t wild = mask.find_first_of("*?");
  if (wild == std::string_view::npos) {
    return mask.size() > folder.size() && StartsWith(mask, folder) ? kByName : kNever;
  }
  // A mask that ends in "\*" meets its last backslash within the folder's
  // path, whatever the name: the folder alone decides. Any other mask that
  // ends in "*" and matches the folder's path matches every file in it.
  if (mask.back() == '*' && WildcardMatch(mask, folder)) return kAlways;
  if (mask.size() >= 2 && mask.substr(mask.size() - 2) == "\\*") return kNever;
  const std::string_view head = mask.substr(0, wild);
  if (head.size() <= folder.size()) {
    if (!StartsWith(folder, head)) return kNever;
    return mask.substr(wild) == "*" ? kAlways : kByName;  // "*" takes any rest
  }
  return StartsWith(head, folder) ? kByName : kNever;
}

uint8_t Combine(uint8_t a, uint8_t b) {
  if (a == kAlways || b == kAlways) return kAlways;
  return a == kNever && b == kNever ? kNever : kByName;
}

bool HasWildcard(std::string_view text) {
  return text.find_first_of("*?") != std::string_view::npos;
}

// A mask that depends on the name alone, given that it holds no folder of
// the path and does not match the folder's path by itself: "*T" (the name
// ends with T), "*\L" (the name is L) and "*\L*" (the name begins with L),
// T and L literal and L without "\". *literal receives T or L.
uint8_t NameTestOf(std::string_view mask, std::string* literal) {
  if (mask.size() < 2 || mask.front() != '*') return kNameGeneral;
  const std::string_view rest = mask.substr(1);
  if (rest.back() == '*' && rest.size() >= 3 && rest.front() == '\\') {
    const std::string_view l = rest.substr(1, rest.size() - 2);
    if (HasWildcard(l) || l.find('\\') != std::string_view::npos) return kNameGeneral;
    literal->assign(l);
    return kNameBegins;
  }
  if (HasWildcard(rest)) return kNameGeneral;
  const size_t slash = rest.rfind('\\');
  if (slash == std::string_view::npos) {
    literal->assign(rest);
    return kNameEnds;
  }
  if (slash != 0 || rest.size() < 2) return kNameGeneral;
  literal->assign(rest.substr(1));
  return kNameIs;
}

void AppendUpper(std::string* out, std::string_view name) {
  const size_t start = out->size();
  for (char c : name) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      out->resize(start);
      *out += plat::ToUpper(name);
      return;
    }
    out->push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
  }
}

}  // namespace

void FolderRules::Build(const CRuleSet& rules, std::string_view folderUpper, bool skipAlways) {
  folderUpper_.assign(folderUpper);
  scopes_.clear();
  items_.clear();
  bool mayInclude = false, perFile = false, hardAlways = false;
  for (int32_t kind : {kRuleInclude, kRuleExclude, kRuleAlwaysExclude}) {
    if (kind == kRuleAlwaysExclude && skipAlways) break;
    for (size_t g = 0; g < rules.GroupCount(kind); ++g) {
      const CRuleGroup* group = rules.Group(kind, g);
      if (group == nullptr || !group->Enabled()) continue;
      int32_t scope = -1;
      if (const std::string& s = group->PatternUpper(); !s.empty()) {
        const uint8_t fit = Combine(WithinFit(s, folderUpper_), WildFit(s, folderUpper_));
        if (fit == kNever) continue;
        if (fit == kByName) {
          scope = static_cast<int32_t>(scopes_.size());
          scopes_.push_back(s);
        }
      }
      for (size_t i = 0; i < group->ItemCount(); ++i) {
        const CRuleItem& rule = *group->Item(i);
        if (!rule.enabled) continue;
        Item item;
        item.kind = static_cast<uint8_t>(kind);
        item.pathOnly = rule.pathOnly != 0;
        item.scope = scope;
        item.attributes = rule.attributes;
        item.score = rule.score;
        const uint8_t within = WithinFit(rule.maskUpper, folderUpper_);
        item.fit = Combine(within, WildFit(rule.maskUpper, folderUpper_));
        if (kind == kRuleAlwaysExclude && item.pathOnly && within == kAlways) {
          // Only the entries directly inside the mask's folder.
          const size_t rest = rule.maskUpper.size() + (rule.maskUpper.back() != '\\' ? 1 : 0);
          item.fit = rest == folderUpper_.size() ? kAlways : kNever;
        }
        if (item.fit == kNever && item.attributes == 0) continue;
        if (item.fit == kByName) {
          item.maskUpper = rule.maskUpper;
          if (within == kNever) item.nameTest = NameTestOf(rule.maskUpper, &item.literal);
        }
        if (item.fit == kByName || item.attributes != 0 || scope >= 0) perFile = true;
        if (kind == kRuleInclude && item.fit != kNever) mayInclude = true;
        if (kind == kRuleAlwaysExclude && item.fit == kAlways && scope < 0) hardAlways = true;
        items_.push_back(std::move(item));
      }
    }
  }
  // A hard exclusion that holds for every file, or no include that can
  // hold, settles the folder as well.
  settled_ = !perFile || !mayInclude || hardAlways;
  answer_ = settled_ && mayInclude && !hardAlways && Evaluate(0);
}

bool FolderRules::MatchesName(const std::string& maskUpper) const {
  return LiesWithin(maskUpper, upper_) || WildcardMatch(maskUpper, upper_);
}

bool FolderRules::Takes(std::string_view name, uint32_t attributes) {
  if (settled_) return answer_;
  upper_.assign(folderUpper_);
  AppendUpper(&upper_, name);
  return Evaluate(attributes);
}

// CRuleSet::Match over the items that can still answer, in their order.
bool FolderRules::Evaluate(uint32_t attributes) {
  bool include = false;
  int32_t best = -kHardScore;
  for (const Item& item : items_) {
    if (item.scope >= 0 && !MatchesName(scopes_[item.scope])) continue;
    const bool hard = item.kind == kRuleAlwaysExclude;
    if (item.attributes != 0 && (attributes & item.attributes)) {
      // kRuleAttr* use the same bits as the file attributes.
      if (hard) return false;
      include = false;
      best = kHardScore;
      continue;
    }
    if (item.fit == kNever) continue;
    if (item.fit == kByName && item.nameTest != kNameGeneral) {
      const std::string_view name = std::string_view(upper_).substr(folderUpper_.size());
      const std::string& l = item.literal;
      const bool holds = item.nameTest == kNameIs ? name == l
                         : item.nameTest == kNameBegins
                             ? name.substr(0, l.size()) == l
                             : name.size() >= l.size() && name.substr(name.size() - l.size()) == l;
      if (!holds) continue;
    } else if (item.fit == kByName) {
      const std::string& mask = item.maskUpper;
      const bool within = LiesWithin(mask, upper_);
      if (!within && !WildcardMatch(mask, upper_)) continue;
      if (hard && item.pathOnly && within) {
        size_t rest = mask.size();
        if (mask.back() != '\\' && upper_.size() > mask.size()) ++rest;
        if (upper_.find('\\', rest) != std::string::npos) continue;
      }
    }
    if (hard) return false;
    if (item.score > best) {
      include = item.kind == kRuleInclude;
      best = item.score;
    }
  }
  return include;
}
