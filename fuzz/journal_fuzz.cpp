// Fuzz target for the journal: the input becomes "Logging.dat"; it is opened,
// indexed, walked for pending files, read record by record, updated in place
// and appended to (both record forms, with and without a stamp). Besides not
// crashing it checks that whatever the damage the walks end cleanly (damage
// is rebuilt from the valid records), and that the journal stays whole:
// reopened, it loads again with every record it loaded before plus the
// appends; every record read is in the index; a rewrite keeps the record's
// form.
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
      // Rewritten in place in the form it has, whatever form is asked for:
      // a stamp stays only in a stamped record.
      const uint64_t here = offset == 0 ? 1024 : offset;
      const bool stamped = r.magic == kLogRecordStampedMagic;
      r.state = kLogCopied;
      r.failedAttempts += 1;
      r.stamp = {-1, 2, 3, 4};
      r.magic = stamped ? kLogRecordMagic : kLogRecordStampedMagic;
      Check(db.WriteRecord(here, r) == 0);
      LogRecord back;
      uint64_t after = 0;
      bool there = false;
      Check(db.ReadRecord(here, &back, &after, &there) == 0 && there && after == next);
      Check(back.state == kLogCopied && back.failedAttempts == r.failedAttempts);
      Check(back.stamp == (stamped ? r.stamp : plat::FileStamp{}));
    }
    offset = next;
  }
  const bool known = db.Lookup("C:\\fuzz\\appended.txt", nullptr);
  Check(db.NoteChangedFile("C:\\fuzz\\appended.txt") == 0);
  // An append is stamped and keeps its stamp.
  LogRecord added;
  Check(added.SetPath("C:\\fuzz\\stamped.txt"));
  added.stamp = {5, 6, 7, 8};
  uint64_t addedAt = 0;
  const bool addedKnown = db.Lookup("C:\\fuzz\\stamped.txt", nullptr);
  Check(db.WriteRecord(0, added, &addedAt) == 0);
  Check(db.ReadRecord(addedAt, &r, &next, &found) == 0 && found && r.stamp == added.stamp);
  db.Close();

  Check(db.Open(g_system, 1) == 0);
  Check(db.LoadIndex() == 0);
  Check(db.Lookup("C:\\fuzz\\appended.txt", nullptr));
  Check(db.IndexCount() == loaded + (known ? 0 : 1) + (addedKnown ? 0 : 1));
  db.Close();
  return 0;
}
