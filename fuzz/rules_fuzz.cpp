// Loads arbitrary bytes as a rule file. A set that loads must save, load
// again and give the same answers for a few paths. Short ASCII inputs also
// check the wildcard matcher against a plain dynamic-programming reference.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "plans/RuleFile.h"
#include "plans/RuleSet.h"

namespace {

std::string NativeToSystem(const std::string& native) {
  std::string s = "C:" + native;
  for (char& c : s)
    if (c == '/') c = '\\';
  return s;
}

bool ReferenceMatch(const std::string& p, const std::string& t) {
  std::vector<std::vector<char>> m(p.size() + 1, std::vector<char>(t.size() + 1, 0));
  m[0][0] = 1;
  for (size_t i = 1; i <= p.size(); ++i) {
    for (size_t j = 0; j <= t.size(); ++j) {
      if (p[i - 1] == '*') {
        m[i][j] = m[i - 1][j] || (j > 0 && m[i][j - 1]);
      } else if (j > 0) {
        m[i][j] = m[i - 1][j - 1] && (p[i - 1] == '?' || p[i - 1] == t[j - 1]);
      }
    }
  }
  return m[p.size()][t.size()];
}

bool IsAscii(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

size_t EnabledGroups(const CRuleSet& rules, int32_t kind) {
  size_t n = 0;
  for (size_t i = 0; i < rules.GroupCount(kind); ++i) n += rules.Group(kind, i)->Enabled();
  return n;
}

const char* const kPaths[] = {
    "C:\\home\\ann\\Documents\\report.odt",
    "C:\\DATA",
    "C:\\data\\temp\\x.doc",
    "\\\\nas\\share\\a.mp3",
    "C:\\home\\ann\\.mozilla\\firefox\\x\\places.sqlite",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  if (size <= 64) {
    const size_t cut = input.find('\n');
    if (cut != std::string::npos) {
      const std::string p = input.substr(0, cut), t = input.substr(cut + 1);
      const bool got = WildcardMatch(p, t);
      if (IsAscii(p) && IsAscii(t) && got != ReferenceMatch(p, t)) abort();
      (void)LiesWithin(p, t);
      (void)ScoreOfMask(p);
    }
  }

  static const std::string base = "/dev/shm/rules_fuzz-" + std::to_string(getpid());
  {
    std::ofstream out(base + ".ini", std::ios::binary | std::ios::trunc);
    out.write(input.data(), static_cast<std::streamsize>(input.size()));
  }
  auto rules = LoadRuleSet(NativeToSystem(base + ".ini"));
  if (!rules) return 0;
  if (rules->GroupCount(kRuleAlwaysExclude) != 0) abort();
  // The saved text, written without the sync of the atomic save (speed).
  {
    std::ofstream out(base + ".out", std::ios::binary | std::ios::trunc);
    out << FormatRuleSet(*rules);
  }
  auto again = LoadRuleSet(NativeToSystem(base + ".out"));
  if (!again) abort();
  for (int32_t kind : {kRuleInclude, kRuleExclude}) {
    if (again->GroupCount(kind) != EnabledGroups(*rules, kind)) abort();
  }
  for (const char* path : kPaths) {
    if (rules->Match(path) != again->Match(path)) abort();
  }
  return 0;
}
