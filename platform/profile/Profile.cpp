#include "platform/profile/Profile.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "platform/base/Errors.h"
#include "platform/base/Text.h"
#include "platform/files/FileSupport.h"
#include "platform/files/Files.h"

namespace plat {

namespace {

// Serialises read-modify-write cycles of profile files within the process.
std::mutex g_writeLock;  // guards the read-modify-write of any profile file

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// One line of the file: [begin, end) is its text without the line feed (and
// without a CR before it); next is where the following line starts.
struct Line {
  size_t begin, end, next;
};

class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {
    if (text_.substr(0, kBom.size()) == kBom) pos_ = kBom.size();
  }
  bool Next(Line* line) {
    if (pos_ >= text_.size()) return false;
    size_t nl = text_.find('\n', pos_);
    line->begin = pos_;
    line->next = nl == std::string_view::npos ? text_.size() : nl + 1;
    size_t end = nl == std::string_view::npos ? text_.size() : nl;
    if (end > pos_ && text_[end - 1] == '\r') --end;
    line->end = end;
    pos_ = line->next;
    return true;
  }
  std::string_view Text(const Line& l) const { return text_.substr(l.begin, l.end - l.begin); }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// "[name]" (the closing bracket may be missing) -> name.
bool ParseSection(std::string_view line, std::string_view* name) {
  const std::string_view t = Trim(line);
  if (t.empty() || t[0] != '[') return false;
  const size_t close = t.find(']');
  *name = Trim(t.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
  return true;
}

// "key = value" -> key, value (both trimmed). Lines starting with ";" are
// comments; lines without "=" carry nothing.
bool ParseEntry(std::string_view line, std::string_view* key, std::string_view* value) {
  const std::string_view t = Trim(line);
  if (t.empty() || t[0] == ';' || t[0] == '[') return false;
  const size_t eq = t.find('=');
  if (eq == std::string_view::npos) return false;
  *key = Trim(t.substr(0, eq));
  *value = Trim(t.substr(eq + 1));
  return true;
}

std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

// At most maxChars characters (code points) of v.
std::string_view CutChars(std::string_view v, size_t maxChars) {
  size_t chars = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    if ((static_cast<unsigned char>(v[i]) & 0xC0) == 0x80) continue;
    if (chars++ == maxChars) return v.substr(0, i);
  }
  return v;
}

bool ReadProfile(std::string_view path, std::string* text) {
  if (ReadWholeFile(path, text)) return true;
  const uint32_t err = GetLastError();
  text->clear();
  return err == kErrFileNotFound || err == kErrPathNotFound;  // missing: empty
}

// Texts of files the program only reads, kept with what identifies the
// version read: a later call that finds the same file, size and times reads
// nothing, and within a second of the last look it does not even look (a
// window shows dozens of texts ten times a second). The status is taken
// before the read, so a file changed during it is read again next time.
class KeptTexts {
 public:
  std::shared_ptr<const std::string> Read(std::string_view path) {
    std::string native;
    if (!detail::Resolve(path, &native)) return ReadUnkept(path);
    const auto now = std::chrono::steady_clock::now();
    {
      std::lock_guard<std::mutex> guard(lock_);
      for (const Kept& k : kept_) {
        if (k.native == native && now - k.looked < kLookEvery) return k.text;
      }
    }
    struct stat st {};
    if (stat(native.c_str(), &st) != 0) return ReadUnkept(path);
    {
      std::lock_guard<std::mutex> guard(lock_);
      for (Kept& k : kept_) {
        if (k.native != native || !Same(k.st, st)) continue;
        k.looked = now;
        return k.text;
      }
    }
    auto text = std::make_shared<std::string>();
    if (!ReadProfile(path, text.get())) return nullptr;
    std::lock_guard<std::mutex> guard(lock_);
    for (Kept& k : kept_) {
      if (k.native == native) {
        k = Kept{native, st, now, text};
        return text;
      }
    }
    constexpr size_t kMaxKept = 8;
    if (kept_.size() >= kMaxKept) kept_.erase(kept_.begin());
    kept_.push_back(Kept{native, st, now, text});
    return text;
  }

  void Forget() {
    std::lock_guard<std::mutex> guard(lock_);
    kept_.clear();
  }

 private:
  static constexpr std::chrono::milliseconds kLookEvery{1000};
  struct Kept {
    std::string native;
    struct stat st;
    std::chrono::steady_clock::time_point looked;  // when the status was last taken
    std::shared_ptr<const std::string> text;
  };
  // A file that cannot be looked at (missing, say) is read as it is, and not kept.
  static std::shared_ptr<const std::string> ReadUnkept(std::string_view path) {
    auto text = std::make_shared<std::string>();
    return ReadProfile(path, text.get()) ? text : nullptr;
  }
  static bool Same(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
  }
  std::mutex lock_;  // guards kept_
  std::vector<Kept> kept_;
};

KeptTexts& Kept() {
  static KeptTexts kept;
  return kept;
}

// Finds the first value of key in the first section named section.
bool FindValue(std::string_view text, std::string_view section, std::string_view key,
               std::string_view* value) {
  LineReader r(text);
  Line l;
  bool inSection = false, seen = false;
  while (r.Next(&l)) {
    const std::string_view line = r.Text(l);
    std::string_view name, k, v;
    if (ParseSection(line, &name)) {
      if (inSection) return false;  // the first such section ended
      inSection = !seen && EqualsNoCase(name, section);
      seen = seen || inSection;
    } else if (inSection && ParseEntry(line, &k, &v) && EqualsNoCase(k, key)) {
      *value = v;
      return true;
    }
  }
  return false;
}

// True when the text (ending in a line feed) ends with an empty line.
bool EndsWithBlankLine(std::string_view text, size_t start) {
  size_t e = text.size() - 1;  // the final line feed
  if (e > start && text[e - 1] == '\r') --e;
  return e == start || text[e - 1] == '\n';
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

int ParseInt(std::string_view value, int fallback) {
  value = Trim(Unquote(value));
  size_t i = 0;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  int64_t n = 0;
  size_t digits = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i, ++digits) {
    if (n <= int64_t{1} << 40) n = n * 10 + (value[i] - '0');  // saturates far above int
  }
  if (digits == 0) return fallback;
  if (negative) n = -n;
  if (n > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (n < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(n);
}

// The value of key in text (null: the file could not be read), else the fallback.
std::string StringOf(const std::string* text, std::string_view section, std::string_view key,
                     std::string_view fallback, size_t maxChars) {
  std::string_view value;
  if (!text || !FindValue(*text, section, key, &value))
    return std::string(CutChars(fallback, maxChars));
  return std::string(CutChars(Unquote(value), maxChars));
}

int IntOf(const std::string* text, std::string_view section, std::string_view key, int fallback) {
  std::string_view value;
  if (!text || !FindValue(*text, section, key, &value)) return fallback;
  return ParseInt(value, fallback);
}

}  // namespace

std::string GetProfileString(std::string_view path, std::string_view section, std::string_view key,
                             std::string_view fallback, size_t maxChars) {
  std::string text;
  return StringOf(ReadProfile(path, &text) ? &text : nullptr, section, key, fallback, maxChars);
}

std::string GetKeptProfileString(std::string_view path, std::string_view section,
                                 std::string_view key, std::string_view fallback, size_t maxChars) {
  return StringOf(Kept().Read(path).get(), section, key, fallback, maxChars);
}

void ForgetKeptProfiles() { Kept().Forget(); }

int GetProfileInt(std::string_view path, std::string_view section, std::string_view key,
                  int fallback) {
  std::string text;
  return IntOf(ReadProfile(path, &text) ? &text : nullptr, section, key, fallback);
}

int GetKeptProfileInt(std::string_view path, std::string_view section, std::string_view key,
                      int fallback) {
  return IntOf(Kept().Read(path).get(), section, key, fallback);
}

bool WriteProfileString(std::string_view path, std::string_view section, const char* key,
                        const char* value) {
  // Names that would change the file's structure are refused, not mangled.
  if (section.empty() || HasLineBreak(section) || section.find(']') != std::string_view::npos)
    return (SetLastError(kErrInvalidParameter), false);
  const std::string_view keyText = key ? Trim(key) : std::string_view();
  if (key && (keyText.empty() || HasLineBreak(keyText) || keyText[0] == '[' || keyText[0] == ';' ||
              keyText.find('=') != std::string_view::npos))
    return (SetLastError(kErrInvalidParameter), false);
  if (value && HasLineBreak(value)) return (SetLastError(kErrInvalidParameter), false);

  std::lock_guard<std::mutex> guard(g_writeLock);
  std::string text;
  if (!ReadProfile(path, &text)) return false;

  // Locate the first section of that name and, in it, the first such key.
  LineReader r(text);
  Line l;
  bool inSection = false, found = false, keyFound = false;
  size_t sectionBegin = 0, sectionEnd = text.size(), lastEntryNext = 0;
  Line keyLine{};
  std::string eol = "\n";
  bool eolKnown = false;
  while (r.Next(&l)) {
    if (!eolKnown && l.next > l.end) {
      eol = text.compare(l.end, 2, "\r\n") == 0 ? "\r\n" : "\n";
      eolKnown = true;
    }
    const std::string_view line = r.Text(l);
    std::string_view name, k, v;
    if (ParseSection(line, &name)) {
      if (inSection) {
        sectionEnd = l.begin;
        break;
      }
      if (!found && EqualsNoCase(name, section)) {
        inSection = found = true;
        sectionBegin = l.begin;
        lastEntryNext = l.next;
      }
    } else if (inSection) {
      if (!Trim(line).empty()) lastEntryNext = l.next;
      if (key && !keyFound && ParseEntry(line, &k, &v) && EqualsNoCase(k, keyText)) {
        keyFound = true;
        keyLine = l;
      }
    }
  }

  std::string out;
  if (!key) {
    if (!found) return true;  // nothing to remove
    out = text.substr(0, sectionBegin) + text.substr(sectionEnd);
  } else if (!found) {
    if (!value) return true;
    out = text;
    const size_t start = out.compare(0, kBom.size(), kBom) == 0 ? kBom.size() : 0;
    if (out.size() > start) {
      if (out.back() != '\n') out += eol;
      if (!EndsWithBlankLine(out, start)) out += eol;  // a blank line before the new section
    }
    out += "[" + std::string(Trim(section)) + "]" + eol + std::string(keyText) + "=" + value + eol;
  } else if (keyFound) {
    if (value) {
      // The key keeps its spelling; only the value changes.
      std::string_view k, v;
      ParseEntry(std::string_view(text).substr(keyLine.begin, keyLine.end - keyLine.begin), &k, &v);
      out = text.substr(0, keyLine.begin) + std::string(k) + "=" + value + text.substr(keyLine.end);
    } else {
      out = text.substr(0, keyLine.begin) + text.substr(keyLine.next);
    }
  } else {
    if (!value) return true;
    // After the section's last entry, so blank lines before the next section stay.
    std::string insert = std::string(keyText) + "=" + value + eol;
    if (lastEntryNext > 0 && text[lastEntryNext - 1] != '\n') insert = eol + insert;
    out = text.substr(0, lastEntryNext) + insert + text.substr(lastEntryNext);
  }
  if (out == text) return true;
  return WriteFileAtomic(path, out);
}

bool WriteProfileInt(std::string_view path, std::string_view section, std::string_view key,
                     int value) {
  const std::string k(key);
  const std::string v = std::to_string(value);
  return WriteProfileString(path, section, k.c_str(), v.c_str());
}

std::vector<std::string> GetProfileSectionNames(std::string_view path) {
  std::vector<std::string> names;
  std::string text;
  if (!ReadProfile(path, &text)) return names;
  std::unordered_set<std::string> seen;  // upper-case names already listed
  LineReader r(text);
  Line l;
  while (r.Next(&l)) {
    std::string_view name;
    if (!ParseSection(r.Text(l), &name)) continue;
    if (seen.insert(ToUpper(name)).second) names.emplace_back(name);
  }
  return names;
}

std::vector<std::pair<std::string, std::string>> GetProfileSection(std::string_view path,
                                                                   std::string_view section) {
  std::vector<std::pair<std::string, std::string>> entries;
  std::string text;
  if (!ReadProfile(path, &text)) return entries;
  LineReader r(text);
  Line l;
  bool inSection = false;
  while (r.Next(&l)) {
    const std::string_view line = r.Text(l);
    std::string_view name, k, v;
    if (ParseSection(line, &name)) {
      if (inSection) break;
      inSection = EqualsNoCase(name, section);
    } else if (inSection && ParseEntry(line, &k, &v)) {
      entries.emplace_back(std::string(k), std::string(Unquote(v)));
    }
  }
  return entries;
}

}  // namespace plat
