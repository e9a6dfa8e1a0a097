#include "plans/RuleSet.h"

#include <algorithm>

#include "platform/base/Text.h"
#include "platform/files/Files.h"

namespace {

constexpr int32_t kHardScore = 100000;

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Index of the character after the one that starts at i.
size_t NextChar(std::string_view s, size_t i) {
  ++i;
  while (i < s.size() && IsContinuation(s[i])) ++i;
  return i;
}

std::string_view TrimBlanksView(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

int32_t ScoreOfMask(std::string_view mask) {
  if (mask.empty()) return 0;
  int32_t score = 10;
  for (size_t i = NextChar(mask, 0); i < mask.size(); i = NextChar(mask, i)) {
    score += mask[i] == '*' ? -5 : mask[i] == '?' ? -3 : 10;
  }
  return score;
}

bool LiesWithin(std::string_view f, std::string_view p) {
  if (f.empty() || f.size() > p.size() || p.compare(0, f.size(), f) != 0) return false;
  return f.size() == p.size() || f.back() == '\\' || p[f.size()] == '\\';
}

// Two pointers with one remembered star: on a mismatch the last "*" takes one
// more character and matching resumes after it. No recursion, no blow-up.
bool WildcardMatch(std::string_view pattern, std::string_view text) {
  auto isWild = [](char c) { return c == '*' || c == '?'; };
  // The literal head before the first wildcard must begin the text and the
  // literal tail after the last one must end it; most masks fail here.
  size_t head = 0;
  for (; head < pattern.size() && !isWild(pattern[head]); ++head) {
    if (head >= text.size() || pattern[head] != text[head]) return false;
  }
  if (head == pattern.size()) return text.size() == pattern.size();
  size_t pe = pattern.size(), te = text.size();
  for (; !isWild(pattern[pe - 1]); --pe, --te) {
    if (te <= head || pattern[pe - 1] != text[te - 1]) return false;
  }
  const std::string_view p = pattern.substr(head, pe - head);
  const std::string_view t = text.substr(head, te - head);

  constexpr size_t kNone = std::string_view::npos;
  size_t pi = 0, ti = 0, starP = kNone, starT = 0;
  while (ti < t.size()) {
    if (pi < p.size()) {
      const char c = p[pi];
      if (c == '*') {
        starP = pi++;
        starT = ti;
        continue;
      }
      if (c == '?') {
        ++pi;
        ti = NextChar(t, ti);
        continue;
      }
      if (c == t[ti]) {
        ++pi;
        ++ti;
        continue;
      }
    }
    if (starP == kNone) return false;
    pi = starP + 1;
    starT = NextChar(t, starT);
    ti = starT;
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

CRuleGroup::CRuleGroup(int32_t kind, std::string_view name, std::string_view text, bool enabled)
    : kind_(kind), name_(name), text_(text), enabled_(enabled) {}

void CRuleGroup::SetPattern(std::string_view pattern) {
  pattern_.assign(TrimBlanksView(pattern));
  patternUpper_ = plat::ToUpper(pattern_);
}

CRuleItem* CRuleGroup::AddItem(std::string_view mask, std::string_view desc, bool enabled,
                               bool pathOnly, uint32_t attributes) {
  if (mask.empty()) return nullptr;
  auto item = std::make_unique<CRuleItem>();
  item->mask.assign(mask);
  item->maskUpper = mask == "*.*" ? std::string("*") : plat::ToUpper(mask);
  item->desc.assign(desc);
  item->enabled = enabled ? 1 : 0;
  item->pathOnly = pathOnly ? 1 : 0;
  item->attributes = attributes & (kRuleAttrReadOnly | kRuleAttrHidden | kRuleAttrSystem);
  item->score = ScoreOfMask(mask);
  items_.push_back(std::move(item));
  return items_.back().get();
}

const std::vector<std::unique_ptr<CRuleGroup>>* CRuleSet::List(int32_t kind) const {
  switch (kind) {
    case kRuleInclude:
      return &include_;
    case kRuleExclude:
      return &exclude_;
    case kRuleAlwaysExclude:
      return &always_;
    default:
      return nullptr;
  }
}

std::vector<std::unique_ptr<CRuleGroup>>* CRuleSet::List(int32_t kind) {
  return const_cast<std::vector<std::unique_ptr<CRuleGroup>>*>(
      static_cast<const CRuleSet*>(this)->List(kind));
}

CRuleGroup* CRuleSet::AddGroup(int32_t kind, std::string_view name, std::string_view text,
                               bool enabled) {
  auto* list = List(kind);
  if (!list || name.empty()) return nullptr;
  list->push_back(std::make_unique<CRuleGroup>(kind, name, text, enabled && !text.empty()));
  return list->back().get();
}

CRuleGroup* CRuleSet::FindGroup(int32_t kind, std::string_view name) const {
  const auto* list = List(kind);
  if (!list) return nullptr;
  for (const auto& g : *list)
    if (g->Name() == name) return g.get();
  return nullptr;
}

bool CRuleSet::RemoveGroup(int32_t kind, std::string_view name) {
  auto* list = List(kind);
  if (!list) return false;
  for (auto it = list->begin(); it != list->end(); ++it) {
    if ((*it)->Name() == name) {
      list->erase(it);
      return true;
    }
  }
  return false;
}

size_t CRuleSet::GroupCount(int32_t kind) const {
  const auto* list = List(kind);
  return list ? list->size() : 0;
}

CRuleGroup* CRuleSet::Group(int32_t kind, size_t index) const {
  const auto* list = List(kind);
  return list && index < list->size() ? (*list)[index].get() : nullptr;
}

bool CRuleSet::Match(std::string_view path, bool skipAlways) const {
  if (path.empty()) return false;
  const std::string up = plat::ToUpper(path);
  bool include = false;
  int32_t best = -100000;
  // Attributes are read at most once per call, and only if an item asks.
  bool attrsRead = false;
  uint32_t attrs = plat::kInvalidAttributes;

  // Returns true when a hard exclusion has settled the answer.
  auto consult = [&](const std::vector<std::unique_ptr<CRuleGroup>>& groups, bool verdict,
                     bool hard) {
    for (const auto& g : groups) {
      if (!g->Enabled()) continue;
      const std::string& scope = g->PatternUpper();
      if (!scope.empty() && !LiesWithin(scope, up) && !WildcardMatch(scope, up)) continue;
      for (size_t i = 0; i < g->ItemCount(); ++i) {
        const CRuleItem& item = *g->Item(i);
        if (!item.enabled) continue;
        if (item.attributes != 0) {
          if (!attrsRead) {
            attrs = plat::GetFileAttributes(path);
            attrsRead = true;
          }
          if (attrs == plat::kInvalidAttributes) continue;
          // kRuleAttr* use the same bits as the file attributes.
          if (attrs & item.attributes) {
            include = false;
            best = kHardScore;
            if (hard) return true;
            continue;
          }
        }
        const std::string& mask = item.maskUpper;
        const bool within = LiesWithin(mask, up);
        if (!within && !WildcardMatch(mask, up)) continue;
        if (!hard) {
          if (item.score > best) {
            include = verdict;
            best = item.score;
          }
          continue;
        }
        if (item.pathOnly && within) {
          // Only entries directly inside the folder.
          size_t restStart = mask.size();
          if (mask.back() != '\\' && up.size() > mask.size()) ++restStart;
          if (up.find('\\', restStart) != std::string::npos) continue;
        }
        include = false;
        best = kHardScore;
        return true;
      }
    }
    return false;
  };

  consult(include_, true, false);
  consult(exclude_, false, false);
  if (!skipAlways && consult(always_, false, true)) return false;
  return include;
}

std::string FolderOfMask(std::string_view mask) {
  const bool drive = mask.size() >= 2 && mask[1] == ':' &&
                     ((mask[0] >= 'A' && mask[0] <= 'Z') || (mask[0] >= 'a' && mask[0] <= 'z'));
  if (!drive) return {};
  const size_t wild = mask.find_first_of("*?");
  if (wild != std::string_view::npos) {
    const size_t sep = mask.rfind('\\', wild);
    if (sep == std::string_view::npos) return {};
    mask = mask.substr(0, sep + 1);
  }
  std::string folder(mask);
  while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
  if (folder.size() == 2) folder += '\\';
  return folder;
}

namespace {

std::string_view WithoutClosingSeparator(std::string_view path) {
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  return path;
}

}  // namespace

std::vector<std::string> IncludedFolders(const CRuleSet& rules) {
  std::vector<std::string> out;
  auto add = [&out](std::string_view mask) {
    std::string f = FolderOfMask(mask);
    if (!f.empty() && std::find(out.begin(), out.end(), f) == out.end()) out.push_back(f);
  };
  for (size_t g = 0; g < rules.GroupCount(kRuleInclude); ++g) {
    const CRuleGroup* group = rules.Group(kRuleInclude, g);
    if (group == nullptr || !group->Enabled()) continue;
    add(group->Pattern());
    for (size_t n = 0; n < group->ItemCount(); ++n) {
      const CRuleItem* item = group->Item(n);
      if (item != nullptr && item->enabled) add(item->mask);
    }
  }
  return out;
}

bool StoreHoldsFolder(std::string_view storeRoot, std::string_view folder) {
  const std::string_view root = WithoutClosingSeparator(storeRoot);
  const std::string_view f = WithoutClosingSeparator(folder);
  if (root.empty()) return false;
  return LiesWithin(root, f);
}
