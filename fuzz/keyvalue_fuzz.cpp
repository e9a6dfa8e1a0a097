// Feeds arbitrary bytes to the key-value reader through a real file, then
// writes what it read and checks that reading the written file gives the same
// entries back.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "common/KeyValueFile.h"
#include "platform/base/Text.h"

namespace {

std::string NativeToSystem(const std::string& native) {
  std::string s = "C:" + native;
  for (char& c : s)
    if (c == '/') c = '\\';
  return s;
}

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries ReadAll(const std::string& path) {
  Entries out;
  CKeyValueReader r;
  if (!r.Open(path)) abort();
  std::string k, v;
  while (r.Next(&k, &v)) {
    if (!plat::IsValidUtf8(k) || !plat::IsValidUtf8(v)) abort();
    (void)r.Int(1);
    (void)r.Int64(-1);
    out.emplace_back(k, v);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string base = "/dev/shm/keyvalue_fuzz-" + std::to_string(getpid());
  {
    std::ofstream out(base + ".in", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const Entries first = ReadAll(NativeToSystem(base + ".in"));

  (void)KeyValueToInt(std::string_view(reinterpret_cast<const char*>(data), size), 3);
  (void)KeyValueToInt64(std::string_view(reinterpret_cast<const char*>(data), size), 3);

  // Everything the reader returns must survive the writer unchanged (entries
  // without a key are not written).
  CKeyValueWriter w;
  Entries want;
  for (const auto& [k, v] : first) {
    w.Add(k, v);
    if (!k.empty()) want.emplace_back(k, v);
  }
  // The writer's text, written without the sync of the atomic save (speed).
  {
    std::ofstream out(base + ".out", std::ios::binary | std::ios::trunc);
    out << w.Contents();
  }
  const Entries second = ReadAll(NativeToSystem(base + ".out"));
  if (second != want) {
    for (size_t i = 0; i < want.size() || i < second.size(); ++i) {
      if (i < want.size() && i < second.size() && want[i] == second[i]) continue;
      fprintf(stderr, "entry %zu differs after writing\n", i);
      break;
    }
    abort();
  }
  return 0;
}
