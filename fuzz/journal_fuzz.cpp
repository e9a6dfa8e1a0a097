// Fuzz target for the journal: the input becomes "Logging.dat"; it is opened,
// indexed, walked for pending files, read record by record, updated in place
// and appended to. Besides not crashing it checks that whatever the damage
// the walks end cleanly (damage is rebuilt from the valid records), and that
// the journal stays whole: reopened, it loads again with every record it
// loaded before plus the append; every record read is in the index.
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "history/CLoggingDatabase.h"

namespace fs = std::filesystem;

namespace {

std::string g_native;  // the work folder, native
std::string g_system;  // the same as a system path

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string tmpl = (fs::temp_directory_path() / "bv-journal-fuzz-XXXXXX").string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) abort();
  g_native = fs::canonical(buf.data()).string();
  g_system = "C:" + g_native;
  for (char& c : g_system)
    if (c == '/') c = '\\';
  // Settings (the size limit) come from this folder, not the user's.
  setenv("BREVANTO_DATA_DIR", g_native.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    std::ofstream out(g_native + "/Logging.dat", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  CLoggingDatabase db;
  Check(db.Open(g_system, 1) == 0);
  Check(db.LoadIndex() == 0);
  const size_t loaded = db.IndexCount();
  std::vector<std::string> pending;
  Check(db.CollectPending(&pending, 2000000000) == 0);

  // Record by record, rewriting the first one in place.
  LogRecord r;
  uint64_t offset = 0, next = 0;
  bool found = true;
  for (int i = 0; i < 100000 && found; ++i) {
    if (db.ReadRecord(offset, &r, &next, &found) != 0 || !found || next <= offset) break;
    // Every record read is indexed, under its own offset or an earlier one.
    uint64_t at = 0;
    Check(db.Lookup(r.pathHash, r.path, &at));
    Check(at <= (offset == 0 ? 1024 : offset));
    if (i == 0) {
      r.state = kLogCopied;
      r.failedAttempts += 1;
      Check(db.WriteRecord(offset == 0 ? 1024 : offset, r) == 0);
    }
    offset = next;
  }
  const bool known = db.Lookup("C:\\fuzz\\appended.txt", nullptr);
  Check(db.NoteChangedFile("C:\\fuzz\\appended.txt") == 0);
  db.Close();

  Check(db.Open(g_system, 1) == 0);
  Check(db.LoadIndex() == 0);
  Check(db.Lookup("C:\\fuzz\\appended.txt", nullptr));
  Check(db.IndexCount() == loaded + (known ? 0 : 1));
  db.Close();
  return 0;
}
