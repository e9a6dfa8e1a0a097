#include "plans/RuleFile.h"

#include <string>

#include "common/KeyValueFile.h"

namespace {

// Recursive descent over the entries with one entry of look-ahead.
class RuleFileParser {
 public:
  explicit RuleFileParser(CKeyValueReader* reader) : reader_(reader) {}

  bool Parse(CRuleSet* rules) {
    while (Next()) {
      bool ok;
      if (key_ == "groups.inc.begin") {
        ok = ParseSection(rules, kRuleInclude);
      } else if (key_ == "groups.exc.begin") {
        ok = ParseSection(rules, kRuleExclude);
      } else if (key_ == "groups.alw.begin") {
        ok = SkipSection();
      } else {
        ok = false;
      }
      if (!ok) return false;
    }
    return !reader_->Failed();
  }

 private:
  bool Next() {
    if (pushedBack_) {
      pushedBack_ = false;
      return true;
    }
    return reader_->Next(&key_, &value_);
  }

  bool ParseSection(CRuleSet* rules, int32_t kind) {
    enum { kNoGroup, kHeader, kBody } state = kNoGroup;
    std::string name, text;
    while (Next()) {
      if (key_ == "groups.end") return true;
      if (key_ == "group.begin") {
        // A second opener before the header is complete drops the unfinished
        // group and ends this section quietly.
        if (state == kHeader) return true;
        name = value_;
        text.clear();
        state = kHeader;
      } else if (key_ == "group.text") {
        if (state != kHeader) return false;
        text = value_;
      } else if (key_ == "group.pattern") {
        if (state != kHeader) return false;
        CRuleGroup* group = rules->AddGroup(kind, name, text, true);
        if (!group) return false;
        group->SetPattern(value_);
        if (!ParseItems(group)) return false;
        state = kBody;
      } else if (key_ == "group.end") {
        if (state != kBody) return false;
        state = kNoGroup;
      } else {
        return false;
      }
    }
    return true;
  }

  // Items follow a group's pattern: item.begin, item.mask, item.desc,
  // item.end in exactly this order, each time. The first other entry is
  // handed back to the section.
  bool ParseItems(CRuleGroup* group) {
    while (Next()) {
      if (key_ != "item.begin") {
        pushedBack_ = true;
        return true;
      }
      if (!Next() || key_ != "item.mask" || value_.empty()) return false;
      std::string mask = value_;
      if (!Next() || key_ != "item.desc") return false;
      std::string desc = value_;
      if (!Next() || key_ != "item.end") return false;
      if (!group->AddItem(mask, desc, true, false, 0)) return false;
    }
    return true;
  }

  // Always-exclude groups come from "exclude.ini"; the saved copy is ignored.
  bool SkipSection() {
    while (Next())
      if (key_ == "groups.end") return true;
    return true;
  }

  CKeyValueReader* reader_;
  std::string key_, value_;
  bool pushedBack_ = false;
};

// Text that the reader would see as empty (blanks only) cannot be read back.
bool Blank(std::string_view s) {
  return s.find_first_not_of(std::string_view(" \t\r\n\0", 5)) == std::string_view::npos;
}

void WriteSection(const CRuleSet& rules, int32_t kind, const char* opener, CKeyValueWriter* w) {
  w->Add(opener, "");
  for (size_t g = 0; g < rules.GroupCount(kind); ++g) {
    const CRuleGroup& group = *rules.Group(kind, g);
    if (!group.Enabled() || Blank(group.Name())) continue;
    w->Add("group.begin", group.Name());
    w->Add("group.text", group.Text());
    w->Add("group.pattern", group.Pattern());
    for (size_t i = 0; i < group.ItemCount(); ++i) {
      const CRuleItem& item = *group.Item(i);
      if (!item.enabled || Blank(item.mask)) continue;
      w->Add("item.begin", "");
      w->Add("item.mask", item.mask);
      w->Add("item.desc", item.desc);
      w->Add("item.end", "");
    }
    w->Add("group.end", "");
  }
  w->Add("groups.end", "");
}

}  // namespace

std::unique_ptr<CRuleSet> LoadRuleSet(std::string_view path) {
  CKeyValueReader reader;
  if (!reader.Open(path)) return nullptr;
  auto rules = std::make_unique<CRuleSet>();
  RuleFileParser parser(&reader);
  if (!parser.Parse(rules.get())) return nullptr;
  return rules;
}

namespace {

void WriteAll(const CRuleSet& rules, CKeyValueWriter* w) {
  WriteSection(rules, kRuleInclude, "groups.inc.begin", w);
  WriteSection(rules, kRuleExclude, "groups.exc.begin", w);
  WriteSection(rules, kRuleAlwaysExclude, "groups.alw.begin", w);
}

}  // namespace

std::string FormatRuleSet(const CRuleSet& rules) {
  CKeyValueWriter w;
  WriteAll(rules, &w);
  return w.Contents();
}

bool SaveRuleSet(const CRuleSet& rules, std::string_view path) {
  CKeyValueWriter w;
  WriteAll(rules, &w);
  return w.Write(path);
}
