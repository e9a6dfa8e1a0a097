// Fuzz target for the driver thread's walk over a buffer of written-file
// records. C: is a small folder tree (through a volume table of its own), so
// normalisation looks names up on a real file system. Besides not crashing it
// checks every published path: valid UTF-8, a drive ("X:\") or share
// ("\\server\share\") prefix taken from a reported path of the buffer, no
// empty component, and never more paths than records; a publish callback
// that says stop ends the walk at once.
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/CChangeMonitor.h"
#include "platform/base/Text.h"

namespace fs = std::filesystem;

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void Touch(const fs::path& p) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << "x";
}

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string tmpl = (fs::temp_directory_path() / "bv-recordwalk-fuzz-XXXXXX").string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) abort();
  const fs::path work = fs::canonical(buf.data());
  const fs::path c = work / "c";
  Touch(c / "Docs" / "Sub Folder" / "File.TXT");
  Touch(c / "Docs" / "ä 日本" / "😀.txt");
  Touch(c / "a" / "b");
  {
    std::ofstream vol(work / "volumes.ini");
    vol << "[C]\nRoot=" << c.string() << "\nType=fixed\nSystem=1\n[Power]\nSource=ac\n";
  }
  setenv("BREVANTO_VOLUMES", (work / "volumes.ini").c_str(), 1);
  setenv("BREVANTO_DATA_DIR", work.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte picks after how many paths the callback says stop
  // (0: never); the rest is the buffer, at most the reader's size.
  if (size == 0) return 0;
  const size_t stopAfter = data[0] % 8;
  ++data;
  --size;
  if (size > CDriverThread::kBufferSize) size = CDriverThread::kBufferSize;
  // A copy of exactly the walked size, so reading past it is caught.
  std::vector<uint8_t> buffer(data, data + size);

  size_t published = 0;
  bool stopped = false;
  const bool more =
      CDriverThread::WalkRecords(buffer.data(), buffer.size(), [&](const std::string& path) {
        Check(!stopped);  // nothing after a stop
        ++published;
        Check(plat::IsValidUtf8(path));
        Check(path.size() >= 3);
        size_t body = 0;
        if (IsLetter(path[0]) && path[1] == ':' && path[2] == '\\') {
          body = 3;
        } else {
          Check(path[0] == '\\' && path[1] == '\\');
          const size_t server = path.find('\\', 2);
          Check(server != std::string::npos && server > 2);
          const size_t share = path.find('\\', server + 1);
          Check(share != std::string::npos && share > server + 1);
          body = share + 1;
        }
        Check(path.find('\0') == std::string::npos);
        // Components are never empty: no doubled separator after the prefix.
        Check(path.find("\\\\", body) == std::string::npos);
        if (stopAfter != 0 && published == stopAfter) {
          stopped = true;
          return false;
        }
        return true;
      });
  Check(more == !stopped);
  // Each record takes at least 4 bytes and an empty one is never published.
  Check(published <= buffer.size() / 6);
  return 0;
}
