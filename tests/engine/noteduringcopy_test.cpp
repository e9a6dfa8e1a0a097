// A change noted while its file is being copied: the note is journaled at
// once (the copy does not hold the journal), and the record stays due, so the
// new version is copied too: by a journal walk and by a first backup's walk.
#include <gtest/gtest.h>

#include <thread>

#include "EventWaiter.h"
#include "engine/CTask.h"
#include "plans/Schedule.h"
#include "platform/base/FaultSeam.h"
#include "platform/process/Clock.h"
#include "support/ScratchEnv.h"

namespace {

TEST(NoteDuringCopy, IsJournaledAtOnceAndTheNewVersionFollows) {
  bvtest::ScratchEnv env;
  env.Src().Write("a.txt", "one");
  env.Src().Write("b.txt", "first");
  auto plan = env.MakePlan(7, kUnitContinuous, 3, {env.Src().System()}, nullptr, true);
  ASSERT_TRUE(plan);
  const std::string a = env.Src().SystemOf("a.txt");
  const std::string b = env.Src().SystemOf("b.txt");
  LogRecord rec;
  ASSERT_TRUE(rec.SetPath(a));
  rec.changeTime = plat::Now() - 10;
  ASSERT_EQ(plan->Database()->WriteRecord(0, rec), 0u);
  CSimpleTask task(plan.get());
  plat::fault::SetCopyDelay(400);
  for (const auto& [path, walked] : {std::pair{a, false}, std::pair{b, true}}) {
    enginetest::EventWaiter waiter;
    std::thread run([&, path = path, walked = walked] {
      if (walked) {
        plan->BackUpWalkedFile(path);
      } else {
        task.Run();
      }
    });
    ASSERT_EQ(waiter.WaitFor(kEvFileBackupBegins, 7).text1, path);
    env.Src().Write(walked ? "b.txt" : "a.txt", "second");
    plan->NoteChangedFile(path);
    EXPECT_EQ(waiter.CountOf(kEvFileCopied), 0u) << path << ": the note waited for the copy";
    run.join();
    LogRecord after;
    ASSERT_TRUE(bvtest::ScratchEnv::RecordOf(plan.get(), path, &after)) << path;
    EXPECT_EQ(after.state, kLogPending) << path << ": the change noted during the copy was lost";
  }
  plat::fault::SetCopyDelay(0);
  // Once settled, the walk copies the version noted during the copy.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  task.Run();
  EXPECT_EQ(bvtest::ReadNative(env.Latest("store7", "a.txt")), "second");
  EXPECT_EQ(bvtest::ReadNative(env.Latest("store7", "b.txt")), "second");
}

}  // namespace
