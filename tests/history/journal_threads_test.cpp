// Several threads on one journal, as in the running program: change
// notifications, a backup walk that reads and rewrites records under the
// lock, and a counter of pending files. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "JournalBytes.h"
#include "history/CLoggingDatabase.h"
#include "support/TempDir.h"

namespace {

std::string SharedPath(int i) { return "C:\\shared\\file" + std::to_string(i) + ".txt"; }
std::string OwnPath(int thread, int i) {
  return "C:\\own" + std::to_string(thread) + "\\f" + std::to_string(i) + ".txt";
}

}  // namespace

TEST(JournalThreads, NotesWalksAndCountsInParallelKeepOneRecordPerPath) {
  constexpr int kNoters = 3, kRounds = 150, kShared = 40;
  bvtest::TempDir t;
  CLoggingDatabase db;
  ASSERT_EQ(db.Open(t.System(), 8), 0u);
  ASSERT_EQ(db.LoadIndex(), 0u);

  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int n = 0; n < kNoters; ++n) {
    threads.emplace_back([&, n] {
      for (int i = 0; i < kRounds; ++i) {
        if (db.NoteChangedFile(OwnPath(n, i)) != 0) ++failures;
        if (db.NoteChangedFile(SharedPath((i * 7 + n) % kShared)) != 0) ++failures;
      }
    });
  }
  // The backup walk: holds the lock for the whole walk, marks records copied.
  std::atomic<int> copied{0};
  std::atomic<int> passes{0};
  threads.emplace_back([&] {
    while (!stop.load()) {
      std::lock_guard<std::recursive_mutex> g(db.Mutex());
      uint64_t offset = 1024;
      for (;;) {
        LogRecord r;
        uint64_t next = 0;
        bool found = false;
        if (db.ReadRecord(offset, &r, &next, &found) != 0) {
          ++failures;
          break;
        }
        if (!found || next <= offset) break;
        if (r.IsPending()) {
          r.state = kLogCopied;
          r.lastBackupTime = r.changeTime;
          if (db.WriteRecord(offset, r) != 0) ++failures;
          ++copied;
        }
        offset = next;
      }
      ++passes;
    }
  });
  // The main window counting pending files, and a reload of the index.
  std::atomic<size_t> lastCount{0};
  threads.emplace_back([&] {
    while (!stop.load()) {
      std::vector<std::string> pending;
      if (db.CollectPending(&pending) != 0) ++failures;
      lastCount = pending.size();
      if (db.LoadIndex() != 0) ++failures;
    }
  });
  for (int n = 0; n < kNoters; ++n) threads[n].join();
  // Two whole walks after the last note: the walk has seen pending records.
  const int seen = passes.load();
  while (passes.load() < seen + 2) std::this_thread::yield();
  stop = true;
  for (size_t i = kNoters; i < threads.size(); ++i) threads[i].join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(copied.load(), 0);
  const size_t distinct = kNoters * kRounds + kShared;
  EXPECT_EQ(db.IndexCount(), distinct);
  db.Close();

  // One record per path, every one valid.
  ASSERT_EQ(db.Open(t.System(), 8), 0u);
  ASSERT_EQ(db.LoadIndex(), 0u);
  EXPECT_EQ(db.GetCounters().read, distinct);
  EXPECT_EQ(db.GetCounters().readValid, distinct);
  for (int n = 0; n < kNoters; ++n)
    for (int i = 0; i < kRounds; ++i) EXPECT_TRUE(db.Lookup(OwnPath(n, i), nullptr));
  for (int i = 0; i < kShared; ++i) EXPECT_TRUE(db.Lookup(SharedPath(i), nullptr));
}
