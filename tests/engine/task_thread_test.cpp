// Plans on their own working threads, a stop during a look at a mute server; a change noted while
// its file is copied.
#include "TaskWorld.h"

using enginetest::EventWaiter;
using enginetest::TaskTest;

namespace {

// Back up now runs a manual plan on its thread and switches it off; shut down deletes a plan.
TEST_F(TaskTest, ManualPlansRunOnTheirThreadAndShutDownDeletesThePlan) {
  env_.Src().Write("m.txt", "m");
  auto plan = env_.MakePlan(9, kUnitManual, 3, {env_.Src().System()});
  ASSERT_TRUE(plan);
  plan->SetEnabled(false, 0);  // made enabled without a thread; start it properly
  EventWaiter waiter;
  plan->SetEnabled(true, 0);
  ASSERT_NE(plan->Thread(), nullptr);
  {
    std::lock_guard<std::recursive_mutex> g(plan->Lock());
    ASSERT_NE(plan->Task(), nullptr);
    EXPECT_GT(plan->Task()->NextDue(), plat::Now() + 1000000);
    plan->Task()->SetForced(true);
  }
  EXPECT_EQ(waiter.WaitFor(kEvRunEnds, 9).code, kEvRunEnds);
  EXPECT_EQ(waiter.WaitFor(kEvPlanDisabled, 9).value, 0);
  EXPECT_FALSE(plan->Enabled());
  EXPECT_EQ(bvtest::ReadNative(Latest(9, "m.txt")), "m");

  std::promise<void> gone;
  std::future<void> goneFuture = gone.get_future();
  auto owned = env_.MakePlan(10, kUnitDaily, 3, {}, nullptr, true, "", [&] { gone.set_value(); });
  ASSERT_TRUE(owned);
  owned->SetEnabled(false, 0);
  owned->SetEnabled(true, 0);
  ASSERT_NE(owned->Thread(), nullptr);
  owned.release()->ShutDown();  // the thread deletes the plan when it ends
  EXPECT_EQ(goneFuture.wait_for(std::chrono::minutes(1)), std::future_status::ready);

  // A server that never answers (time-out 30 s): a stop cuts the look short; nothing connects
  // again.
  bvtest::FtpRelay silent(1);
  silent.SetFault(bvtest::FtpRelay::Fault::kMute);
  PlanSettings s = bvtest::ScratchEnv::Settings("Mute", "");
  s.id = 11;
  s.storageType = kStorageFtp;
  s.ftp.server = "sftp://127.0.0.1";
  std::tie(s.ftp.port, s.ftp.user, s.ftp.timeout) = std::tuple(silent.Port(), "u", 30);
  s.ftp.pinnedKey = "SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
  auto mute = std::make_unique<bvtest::TestPlan>(nullptr);
  ASSERT_TRUE(mute->ApplySettings(s, kApplyCreate));
  mute->EnableWithoutThread();
  mute->SetEnabled(false, 0);
  mute->SetEnabled(true, 0);
  const int tried = silent.Connections();
  for (int i = 0; i < 1000 && silent.Connections() == tried; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto stopping = std::chrono::steady_clock::now();
  mute->StopAndWait();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(5));
  EXPECT_EQ(silent.Connections(), tried + 1);
}

// Noted at once (the copy does not hold the journal); the new version follows, by either walk.
class NoteDuringCopy : public TaskTest {};

TEST_F(NoteDuringCopy, IsJournaledAtOnceAndTheNewVersionFollows) {
  env_.Src().Write("a.txt", "one");
  env_.Src().Write("b.txt", "first");
  auto plan = env_.MakePlan(7, kUnitContinuous, 3, {env_.Src().System()}, nullptr, true);
  ASSERT_TRUE(plan);
  const std::string a = Src("a.txt"), b = Src("b.txt");
  Record(plan.get(), "a.txt", plat::Now() - 10);
  CSimpleTask task(plan.get());
  plat::fault::SetCopyDelay(400);
  for (const auto& [path, walked] : {std::pair{a, false}, std::pair{b, true}}) {
    EventWaiter waiter;
    std::thread run([&, path = path, walked = walked] {
      if (walked) {
        plan->BackUpWalkedFile(path);
      } else {
        task.Run();
      }
    });
    ASSERT_EQ(waiter.WaitFor(kEvFileBackupBegins, 7).text1, path);
    env_.Src().Write(walked ? "b.txt" : "a.txt", "second");
    plan->NoteChangedFile(path);
    EXPECT_EQ(waiter.CountOf(kEvFileCopied), 0u) << path << ": the note waited for the copy";
    run.join();
    EXPECT_EQ(StateOf(plan.get(), walked ? "b.txt" : "a.txt"), kLogPending)
        << path << ": the change noted during the copy was lost";
  }
  plat::fault::SetCopyDelay(0);
  // Once settled, the walk copies the version noted during the copy.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  task.Run();
  for (const char* rel : {"a.txt", "b.txt"})
    EXPECT_EQ(bvtest::ReadNative(Latest(7, rel)), "second");
}

}  // namespace
