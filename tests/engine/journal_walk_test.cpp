// The backup task's journal walk goes by the journal's pending records only:
// a run with nothing pending reads no record, and what another writer adds or
// re-arms, or a crashed writer leaves torn, is still found.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/CTask.h"
#include "plans/Schedule.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "support/ScratchEnv.h"

TEST(JournalWalk, ReadsOnlyPendingRecordsAndFindsOtherWriters) {
  bvtest::ScratchEnv env;
  auto plan = env.MakePlan(7, kUnitContinuous, 3, {env.Src().System()}, nullptr, true);
  ASSERT_TRUE(plan);
  CLoggingDatabase* db = plan->Database();
  const int64_t settled = plat::Now() - 10;
  auto record = [&](const std::string& rel, uint16_t state) {
    LogRecord rec;
    EXPECT_TRUE(rec.SetPath(env.Src().SystemOf(rel)));
    rec.state = state;
    rec.changeTime = settled;
    return rec;
  };
  for (int i = 0; i < 300; ++i)
    ASSERT_EQ(db->WriteRecord(0, record("copied" + std::to_string(i), kLogCopied)), 0u);
  CSimpleTask task(plan.get());
  const uint64_t reads = db->GetCounters().read;
  task.Run();
  task.Run();
  EXPECT_EQ(db->GetCounters().read, reads);  // nothing pending: no record read
  EXPECT_EQ(task.LastCopiedCount(), 0);

  auto copiedOnce = [&](const std::string& rel, const std::string& content) {
    env.Src().Write(rel, content);
    task.Run();
    EXPECT_EQ(task.LastCopiedCount(), 1) << rel;
    LogRecord rec;
    EXPECT_TRUE(bvtest::ScratchEnv::RecordOf(plan.get(), env.Src().SystemOf(rel), &rec));
    EXPECT_EQ(rec.state, kLogCopied) << rel;
    EXPECT_EQ(bvtest::ReadNative(env.Latest("store7", rel)), content);
  };
  CLoggingDatabase other;
  ASSERT_EQ(other.Open(plan->GetPlanFolder(), 7), 0u);
  ASSERT_EQ(other.LoadIndex(), 0u);
  // Appended by another writer; then re-armed in place (the file keeps its
  // size: only its write time tells, so let the clock move first).
  ASSERT_EQ(other.WriteRecord(0, record("new.txt", kLogPending)), 0u);
  copiedOnce("new.txt", "new");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  uint64_t at = 0;
  ASSERT_TRUE(other.Lookup(env.Src().SystemOf("copied7"), &at));
  ASSERT_EQ(other.WriteRecord(at, record("copied7", kLogPending)), 0u);
  other.Close();
  copiedOnce("copied7", "seven");

  // A writer that crashed mid-record: the next run cuts the torn tail, so a
  // record appended afterwards is found.
  std::string journal;
  ASSERT_TRUE(plat::ToNativePath(db->DatabasePath(), &journal));
  const uint64_t end = std::filesystem::file_size(journal);
  std::ofstream(journal, std::ios::binary | std::ios::app) << std::string(30, '\x55');
  task.Run();
  EXPECT_EQ(std::filesystem::file_size(journal), end);
  ASSERT_EQ(db->WriteRecord(0, record("late.txt", kLogPending)), 0u);
  copiedOnce("late.txt", "late");
}
