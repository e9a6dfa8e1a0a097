// A manual plan's task on its own working thread, and a shutdown that deletes the plan;
// a stop that cuts short a look at a server that never answers.
#include "TaskWorld.h"

namespace fs = std::filesystem;
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

  // A server that takes the connection and never answers (time-out 30 s): a stop cuts the
  // plan's look at it short, and nothing connects again.
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

}  // namespace
