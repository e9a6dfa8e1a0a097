// The journal under failing file calls: a fault loop over appends and in-place
// updates (call 1, 2, 3 ... fails, once or from then on, also with a full
// disk), a real partial write cut back, and the damaged journals kept as
// fixtures opened one by one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "JournalBytes.h"
#include "history/CLoggingDatabase.h"
#include "platform/Errors.h"
#include "platform/FaultSeam.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// What each path's record may hold after the run: the (state, failures)
// pairs acknowledged last or attempted after that, and kAbsent when the
// record may be missing.
using Allowed = std::set<std::pair<uint16_t, uint32_t>>;
const std::pair<uint16_t, uint32_t> kAbsent{0xFFFF, 0};

std::string PathOf(int i) {
  return "C:\\fault\\dir" + std::to_string(i % 3) + "\\f" + std::to_string(i) + ".txt";
}

// Three copied records written without faults; five paths still unknown.
void SeedJournal(const bvtest::TempDir& t, std::map<std::string, Allowed>* model) {
  std::string recs;
  for (int i = 0; i < 3; ++i) {
    recs += jb::Record({.path = jb::U(PathOf(i)), .state = kLogCopied});
    (*model)[PathOf(i)] = {{kLogCopied, 0}};
  }
  for (int i = 3; i < 8; ++i) (*model)[PathOf(i)] = {kAbsent};
  bvtest::WriteNative(jb::DbFile(t), jb::Header() + recs);
}

// Appends, in-place updates and re-arms (run with the seam armed).
void RunCalls(const bvtest::TempDir& t, std::map<std::string, Allowed>* model) {
  CLoggingDatabase db;
  if (db.Open(t.System(), 3) != 0 || db.LoadIndex() != 0) return;
  uint32_t version = 100;
  auto update = [&](const std::string& path) {
    uint64_t off = 0, next = 0;
    bool found = false;
    LogRecord r;
    if (!db.Lookup(path, &off)) return;
    std::lock_guard<std::recursive_mutex> g(db.Mutex());
    if (db.ReadRecord(off, &r, &next, &found) != 0 || !found) return;
    r.state = kLogFailed;
    r.failedAttempts = ++version;
    r.lastAttemptTime = 1234;
    Allowed& a = (*model)[path];
    if (db.WriteRecord(off, r) == 0) a.erase(a.begin(), a.lower_bound(kAbsent));
    a.insert({kLogFailed, version});
  };
  auto note = [&](const std::string& path) {
    Allowed& a = (*model)[path];
    // A re-arm keeps the failure count of whatever the record held.
    Allowed rearmed;
    for (const auto& held : a)
      if (held != kAbsent) rearmed.insert({kLogPending, held.second});
    if (rearmed.empty()) rearmed.insert({kLogPending, 0});
    if (db.NoteChangedFile(path) == 0) a.clear();
    a.insert(rearmed.begin(), rearmed.end());
  };
  for (int i = 0; i < 3; ++i) update(PathOf(i));
  for (int i = 3; i < 7; ++i) note(PathOf(i));
  update(PathOf(4));
  note(PathOf(1));
  note(PathOf(7));
  update(PathOf(7));
  update(PathOf(0));
}

TEST(JournalFaults, EveryFailingCallLeavesAValidJournalWithAcknowledgedRecords) {
  struct DisarmAtEnd {
    ~DisarmAtEnd() { plat::fault::Disarm(); }
  } guard;
  for (uint32_t error : {plat::kErrWriteFault, plat::kErrDiskFull}) {
    for (bool persistent : {false, true}) {
      uint64_t nth = 1;
      for (; nth < 1000; ++nth) {
        SCOPED_TRACE("error " + std::to_string(error) + (persistent ? " persistent" : " once") +
                     " call " + std::to_string(nth));
        bvtest::TempDir t;
        std::map<std::string, Allowed> model;
        SeedJournal(t, &model);
        plat::fault::Arm(nth, error, persistent);
        RunCalls(t, &model);
        plat::fault::Disarm();
        const bool fired = plat::fault::Fired();

        // The reopened journal is whole, and every path holds what is allowed.
        CLoggingDatabase db;
        ASSERT_EQ(db.Open(t.System(), 3), 0u);
        ASSERT_EQ(db.LoadIndex(), 0u);
        EXPECT_EQ(db.GetCounters().read, db.GetCounters().readValid);
        EXPECT_EQ(db.TrackedEnd(), jb::FileSize(jb::DbFile(t)));
        for (const auto& [path, allowed] : model) {
          uint64_t off = 0, next = 0;
          bool found = false;
          LogRecord r;
          if (!db.Lookup(path, &off)) {
            EXPECT_TRUE(allowed.count(kAbsent)) << path;
            continue;
          }
          ASSERT_EQ(db.ReadRecord(off, &r, &next, &found), 0u);
          EXPECT_TRUE(allowed.count({r.state, r.failedAttempts}))
              << path << " state " << r.state << " failures " << r.failedAttempts;
        }
        if (HasFatalFailure() || !fired) break;
      }
      EXPECT_GT(nth, 20u);  // the sequence makes many calls; each failed once
      EXPECT_LT(nth, 1000u);
    }
  }
}

// A write that stops halfway (the file-size limit reached mid-record) is cut
// back: the file is byte for byte what it was, and the next append is found.
TEST(JournalFaults, PartialAppendIsCutBack) {
  bvtest::TempDir t;
  CLoggingDatabase db;
  ASSERT_EQ(db.Open(t.System(), 1), 0u);
  ASSERT_EQ(db.NoteChangedFile("C:\\p\\first.txt"), 0u);
  const std::string before = bvtest::ReadNative(jb::DbFile(t));
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit lim = old;
  lim.rlim_cur = before.size() + 60;  // the head and part of the path fit
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
  const uint32_t rc = db.NoteChangedFile("C:\\p\\second-with-a-long-name.txt");
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(rc, 10000u);
  EXPECT_EQ(bvtest::ReadNative(jb::DbFile(t)), before);
  EXPECT_FALSE(db.Lookup("C:\\p\\second-with-a-long-name.txt", nullptr));
  ASSERT_EQ(db.NoteChangedFile("C:\\p\\third.txt"), 0u);
  db.Close();
  ASSERT_EQ(db.Open(t.System(), 1), 0u);
  ASSERT_EQ(db.LoadIndex(), 0u);
  EXPECT_TRUE(db.Lookup("C:\\p\\first.txt", nullptr));
  EXPECT_TRUE(db.Lookup("C:\\p\\third.txt", nullptr));
  EXPECT_EQ(db.IndexCount(), 2u);
}

// Damaged journals (hand-made and found by fuzzing): each opens and loads
// (repaired where damaged), collects, reads and appends with clean result
// codes; reopened, it holds every record it loaded plus the appended one.
TEST(JournalFaults, DamagedFixturesOpenCleanly) {
  const fs::path dir = fs::path(BV_TEST_DATA_DIR) / "journal";
  int count = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() != ".dat") continue;
    SCOPED_TRACE(entry.path().filename().string());
    ++count;
    bvtest::TempDir t;
    fs::copy_file(entry.path(), jb::DbFile(t));
    CLoggingDatabase db;
    ASSERT_EQ(db.Open(t.System(), 1), 0u);
    EXPECT_EQ(db.LoadIndex(), 0u);
    const size_t loaded = db.IndexCount();
    std::vector<std::string> pending;
    EXPECT_EQ(db.CollectPending(&pending), 0u);
    uint64_t offset = 0, next = 0;
    bool found = true;
    LogRecord r;
    for (int i = 0; i < 100000 && found; ++i, offset = next)
      if (db.ReadRecord(offset, &r, &next, &found) != 0 || next <= offset) break;
    ASSERT_EQ(db.NoteChangedFile("C:\\fixture\\new.txt"), 0u);
    db.Close();
    ASSERT_EQ(db.Open(t.System(), 1), 0u);
    EXPECT_EQ(db.LoadIndex(), 0u);
    EXPECT_TRUE(db.Lookup("C:\\fixture\\new.txt", nullptr));
    EXPECT_EQ(db.IndexCount(), loaded + 1);
  }
  EXPECT_GE(count, 5);
}

}  // namespace
