#include "platform/base/IniText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace plat::detail {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

}  // namespace

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = char(x - 32);
    if (y >= 'a' && y <= 'z') y = char(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::string IniSection::Get(std::string_view key, std::string_view fallback) const {
  for (const auto& e : entries)
    if (EqualsAsciiNoCase(e.first, key)) return e.second;
  return std::string(fallback);
}

bool IniSection::Has(std::string_view key) const {
  for (const auto& e : entries)
    if (EqualsAsciiNoCase(e.first, key)) return true;
  return false;
}

const IniSection* FindSection(const std::vector<IniSection>& ini, std::string_view name) {
  for (const auto& s : ini)
    if (EqualsAsciiNoCase(s.name, name)) return &s;
  return nullptr;
}

std::vector<IniSection> ParseIni(std::string_view text) {
  std::vector<IniSection> out;
  IniSection* cur = nullptr;
  // A UTF-8 byte order mark is not part of the first line.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = Trim(text.substr(0, nl));
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      size_t close = line.rfind(']');
      if (close == std::string_view::npos || close == 0) {
        cur = nullptr;  // malformed header: ignore its keys
        continue;
      }
      std::string name(Trim(line.substr(1, close - 1)));
      cur = nullptr;
      bool seen = false;
      for (auto& s : out) seen |= EqualsAsciiNoCase(s.name, name);
      if (!seen) {
        out.push_back(IniSection{name, {}});
        cur = &out.back();
      }
      continue;
    }
    size_t eq = line.find('=');
    if (!cur || eq == std::string_view::npos) continue;
    std::string_view key = Trim(line.substr(0, eq));
    std::string_view value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    if (key.empty() || cur->Has(key)) continue;
    cur->entries.emplace_back(std::string(key), std::string(value));
  }
  return out;
}

bool ReadNativeFile(const std::string& path, std::string* out, size_t maxBytes) {
  out->clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[65536];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    if (out->size() + size_t(n) > maxBytes) {
      ok = false;
      break;
    }
    out->append(buf, size_t(n));
  }
  ::close(fd);
  if (!ok) out->clear();
  return ok;
}

bool WriteNativeFileAtomic(const std::string& path, std::string_view content, int mode) {
  std::string tmp = path + ".tmp" + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  bool ok = done == content.size() && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) return true;
  ::unlink(tmp.c_str());
  return false;
}

}  // namespace plat::detail
