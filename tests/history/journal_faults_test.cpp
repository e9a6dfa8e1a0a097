// The journal under failing writes, every call in turn.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "JournalBytes.h"
#include "history/CLoggingDatabase.h"
#include "platform/base/Errors.h"
#include "platform/base/FaultSeam.h"

namespace {

// The (state, failures) a path's record may hold after a run; kAbsent: none.
using Allowed = std::set<std::pair<uint16_t, uint32_t>>;
const std::pair<uint16_t, uint32_t> kAbsent{0xFFFF, 0};

std::string PathOf(int i) {
  return "C:\\fault\\dir" + std::to_string(i % 3) + "\\f" + std::to_string(i) + ".txt";
}

// Appends, updates and re-arms, noting in the model what each path may hold.
void RunCalls(const bvtest::TempDir& t, std::map<std::string, Allowed>* model,
              const std::function<void()>& arm) {
  std::string recs;
  for (int i = 0; i < 8; ++i) (*model)[PathOf(i)] = {kAbsent};
  for (int i = 0; i < 3; ++i) {
    recs += jb::Record({.path = jb::U(PathOf(i)), .state = kLogCopied});
    (*model)[PathOf(i)] = {{kLogCopied, 0}};
  }
  bvtest::WriteNative(jb::DbFile(t), jb::Header() + recs);
  arm();
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
    Allowed& a = (*model)[path];
    if (db.WriteRecord(off, r) == 0) a.erase(a.begin(), a.lower_bound(kAbsent));
    a.insert({kLogFailed, version});
  };
  auto note = [&](const std::string& path) {
    Allowed& a = (*model)[path];
    Allowed rearmed;  // a re-arm keeps the failure count of whatever the record held
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
        RunCalls(t, &model, [&] { plat::fault::Arm(nth, error, persistent); });
        plat::fault::Disarm();
        const bool fired = plat::fault::Fired();
        CLoggingDatabase db;
        ASSERT_EQ(db.Open(t.System(), 3), 0u);
        ASSERT_EQ(db.LoadIndex(), 0u);
        EXPECT_EQ(db.GetCounters().read, db.GetCounters().readValid);
        EXPECT_EQ(db.TrackedEnd(), jb::FileSize(jb::DbFile(t)));
        for (const auto& [path, allowed] : model) {
          uint64_t off = 0, next = 0;
          bool found = false;
          LogRecord r;
          std::pair<uint16_t, uint32_t> held = kAbsent;
          if (db.Lookup(path, &off)) {
            ASSERT_EQ(db.ReadRecord(off, &r, &next, &found), 0u);
            held = {r.state, r.failedAttempts};
          }
          EXPECT_TRUE(allowed.count(held)) << path << " " << held.first << "/" << held.second;
        }
        if (HasFatalFailure() || !fired) break;
      }
      EXPECT_GT(nth, 20u);  // the sequence makes many calls; each failed once
      EXPECT_LT(nth, 1000u);
    }
  }
}

}  // namespace
