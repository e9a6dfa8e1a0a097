// The engine tests' prelude and the task tests' world: a scratch world with a plan's sources
// and store, and helpers to write journal records, rules and file times.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "EventWaiter.h"
#include "common/ActivityLog.h"
#include "common/EngineEvents.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "destinations/StoreBinding.h"
#include "engine/CSimpleEngine.h"
#include "engine/CTask.h"
#include "engine/CWorkingThread.h"
#include "engine/CatchUpRequests.h"
#include "engine/CatchUpWalk.h"
#include "engine/PlanList.h"
#include "engine/RunFile.h"
#include "engine/SourceWalk.h"
#include "plans/Schedule.h"
#include "platform/base/Errors.h"
#include "platform/base/FaultSeam.h"
#include "platform/process/Clock.h"
#include "platform/volumes/Paths.h"
#include "support/EventCollector.h"
#include "support/FtpRelay.h"
#include "support/FtpServer.h"
#include "support/ScopedEnv.h"
#include "support/ScratchEnv.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace enginetest {

class TaskTest : public ::testing::Test {
 protected:
  std::string Src(const std::string& rel) { return env_.Src().SystemOf(rel); }
  std::string Latest(uint32_t id, const std::string& rel) {
    return env_.Latest("store" + std::to_string(id), rel);
  }
  void Record(CPlan* plan, const std::string& rel, int64_t changeTime, uint16_t state = 0,
              uint32_t failures = 0, int64_t lastAttempt = 0, int64_t lastBackup = 0) {
    LogRecord rec;
    ASSERT_TRUE(rec.SetPath(Src(rel)));
    rec.changeTime = changeTime;
    rec.state = state;
    rec.failedAttempts = failures;
    rec.lastAttemptTime = lastAttempt;
    rec.lastBackupTime = lastBackup;
    ASSERT_EQ(plan->Database()->WriteRecord(0, rec), 0u);
  }
  template <class Edit>
  static void EditRules(CPlan* plan, Edit edit) {
    std::lock_guard<std::recursive_mutex> guard(plan->Lock());
    edit(plan->Rules());
  }
  static void AddRule(CPlan* plan, int32_t kind, const std::string& mask) {
    EditRules(plan,
              [&](CRuleSet* r) { r->AddGroup(kind, "rule " + mask, "x")->AddItem(mask, ""); });
  }
  void SetWriteTime(const std::string& rel, int64_t seconds, long nanoseconds) {
    const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, env_.Src().NativeOf(rel).c_str(), times, 0), 0);
  }
  uint16_t StateOf(CPlan* plan, const std::string& rel) {
    LogRecord rec;
    if (!bvtest::ScratchEnv::RecordOf(plan, Src(rel), &rec)) return 0xFFFF;
    return rec.state;
  }

  bvtest::ScratchEnv env_;
};

}  // namespace enginetest
