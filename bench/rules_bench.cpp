// Rule matching as change monitoring does it: one full path against a plan's
// rule set of about 50 items (wizard folders and extensions, source groups
// with scopes, built-in exclusions with wildcards).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "plans/RuleSet.h"

namespace {

void BuildRules(CRuleSet* rules) {
  CRuleGroup* inc = rules->AddGroup(kRuleInclude, "group1", "Group1 Text");
  for (const char* m : {"C:\\home\\ann\\Documents", "C:\\home\\ann\\Pictures",
                        "C:\\home\\ann\\Music", "C:\\home\\ann\\Videos", "C:\\srv\\projects",
                        "*.odt", "*.ods", "*.docx", "*.xlsx", "*.pdf", "*.jpg", "*.png"}) {
    inc->AddItem(m, "");
  }
  for (const char* scope : {"C:\\home\\ann\\.mozilla\\firefox", "C:\\home\\ann\\.thunderbird",
                            "C:\\home\\ann\\.config\\chromium", "C:\\home\\ann\\.purple"}) {
    CRuleGroup* g = rules->AddGroup(kRuleInclude, scope, "!");
    g->SetPattern(scope);
    g->AddItem("*", "");
  }
  CRuleGroup* exc = rules->AddGroup(kRuleExclude, "group2", "Group2 Text");
  for (const char* m : {"C:\\home\\ann\\Documents\\tmp", "C:\\home\\ann\\Music\\Podcasts",
                        "C:\\srv\\projects\\build", "*.o", "*.obj", "*\\node_modules\\*",
                        "*\\.git\\objects\\*", "*.iso"}) {
    exc->AddItem(m, "");
  }
  CRuleGroup* alw = rules->AddGroup(kRuleAlwaysExclude, "built-in exclude", "Built-in");
  for (const char* m : {"C:\\home\\ann\\.local\\share\\Orlimtech\\Brevanto\\",
                        "C:\\home\\ann\\.cache\\",
                        "C:\\home\\ann\\.thumbnails",
                        "C:\\home\\ann\\.local\\share\\Trash",
                        "*\\GPUCache\\*",
                        "*\\Code Cache\\*",
                        "*\\ShaderCache\\*",
                        "*\\Service Worker\\CacheStorage\\*",
                        "*\\.mozilla\\firefox\\*\\cache2\\*",
                        "C:\\proc",
                        "C:\\sys",
                        "C:\\dev",
                        "C:\\run",
                        "C:\\tmp",
                        "C:\\var\\tmp",
                        "C:\\var\\cache",
                        "C:\\swapfile",
                        "*.swp",
                        "*.tmp",
                        "*~",
                        "*.part",
                        "*.crdownload",
                        "*\\.~lock.*#",
                        "*\\.#*",
                        "*\\parent.lock",
                        "*.lck"}) {
    alw->AddItem(m, "");
  }
}

const std::vector<std::string>& Paths() {
  static const std::vector<std::string> paths = {
      "C:\\home\\ann\\Documents\\Reports\\2026\\quarterly-report-final.odt",
      "C:\\home\\ann\\Documents\\tmp\\scratch.txt",
      "C:\\home\\ann\\.mozilla\\firefox\\k2x9.default-release\\places.sqlite",
      "C:\\home\\ann\\.mozilla\\firefox\\k2x9.default-release\\cache2\\entries\\ABCDEF",
      "C:\\home\\ann\\.cache\\thumbnails\\normal\\0123456789abcdef.png",
      "C:\\srv\\projects\\engine\\src\\core\\scheduler.cpp",
      "C:\\srv\\projects\\web\\node_modules\\left-pad\\index.js",
      "C:\\var\\log\\syslog",
      "C:\\home\\ann\\Downloads\\debian-12.iso.part",
      "C:\\home\\ann\\Pictures\\Holidays\\IMG_2041.JPG",
  };
  return paths;
}

void BM_RuleMatch(benchmark::State& state) {
  CRuleSet rules;
  BuildRules(&rules);
  const auto& paths = Paths();
  size_t i = 0, included = 0;
  for (auto _ : state) {
    included += rules.Match(paths[i]);
    if (++i == paths.size()) i = 0;
  }
  benchmark::DoNotOptimize(included);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RuleMatch);

// A pattern that would make a backtracking matcher explode.
void BM_WildcardWorstCase(benchmark::State& state) {
  const std::string text(static_cast<size_t>(state.range(0)), 'A');
  const std::string pattern = "*A*A*A*A*A*A*A*A*B*";
  for (auto _ : state) benchmark::DoNotOptimize(WildcardMatch(pattern, text));
}
BENCHMARK(BM_WildcardWorstCase)->Arg(260)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
