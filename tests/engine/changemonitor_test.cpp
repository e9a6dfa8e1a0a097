// Change monitoring on a scripted device; a plan's first walk on the real device.
#include <cstring>
#include <deque>

#include "TaskWorld.h"
#include "engine/CChangeMonitor.h"
#include "engine/CFileDispatchThread.h"
#include "platform/base/Text.h"
#include "platform/changes/ChangeDevice.h"

using bvtest::ScratchEnv;
using enginetest::EventWaiter;
using CallList = std::vector<std::pair<uint32_t, uint32_t>>;

namespace {

// What the scripted device serves and what it has been asked; shared with the monitor's threads.
struct DeviceScript {
  std::mutex lock;  // guards every field below
  std::condition_variable changed;
  std::deque<std::vector<uint8_t>> buffers;                  // served by record reads
  std::deque<std::pair<uint32_t, std::u16string>> launches;  // served by launch polls
  std::deque<uint32_t> losses;                               // served by TakeLostChanges
  CallList calls;                                            // code and 32-bit input
  size_t reads = 0, servedBy = 0, launchPolls = 0;  // servedBy: the read that took the last buffer
  bool stopped = false, closed = false;
  uint32_t failCode = 0;

  template <class Pred>
  bool WaitUntil(Pred pred) {
    std::unique_lock<std::mutex> g(lock);
    return changed.wait_for(g, std::chrono::seconds(20), pred);
  }
  // Queues a buffer and waits until the driver thread asks for the next one, after its walk.
  bool Serve(std::vector<uint8_t> buffer) {
    {
      std::lock_guard<std::mutex> g(lock);
      buffers.push_back(std::move(buffer));
    }
    changed.notify_all();
    return WaitUntil([&] { return buffers.empty() && reads > servedBy; });
  }
  CallList Calls() {
    std::lock_guard<std::mutex> g(lock);
    return calls;
  }
};

class ScriptedDevice : public plat::ChangeDevice {
 public:
  explicit ScriptedDevice(std::shared_ptr<DeviceScript> s) : s_(std::move(s)) {}
  ~ScriptedDevice() override {
    std::lock_guard<std::mutex> g(s_->lock);
    s_->closed = true;
    s_->changed.notify_all();
  }
  uint32_t Control(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize,
                   size_t* returned) override {
    std::unique_lock<std::mutex> g(s_->lock);
    *returned = 0;
    std::vector<uint8_t> reply;
    if (code == plat::kIoctlReadRecords) {
      ++s_->reads;
      s_->changed.notify_all();
      s_->changed.wait(g, [&] { return s_->stopped || !s_->buffers.empty(); });
      if (s_->buffers.empty()) return 0;
      reply = std::move(s_->buffers.front());
      s_->buffers.pop_front();
      s_->servedBy = s_->reads;
    } else if (code == plat::kIoctlLaunchReport) {
      ++s_->launchPolls;
      s_->changed.notify_all();
      reply.assign(524, 0);
      if (!s_->launches.empty()) {
        auto [value, path] = s_->launches.front();
        s_->launches.pop_front();
        std::memcpy(reply.data(), &value, 4);
        std::memcpy(reply.data() + 4, path.data(), std::min<size_t>(path.size() * 2, 520));
      }
    } else {
      uint32_t value = 0;
      if (in && inSize >= 4) std::memcpy(&value, in, 4);
      s_->calls.emplace_back(code, value);
      if (code == s_->failCode) return 31;
      if (code == plat::kIoctlStopReporting) s_->stopped = true;
      s_->changed.notify_all();
      return 0;
    }
    *returned = std::min(reply.size(), outSize);
    std::memcpy(out, reply.data(), *returned);
    return 0;
  }
  plat::ChangeSource Source() const override { return plat::ChangeSource::kInotify; }
  uint32_t TakeLostChanges() override {
    std::lock_guard<std::mutex> g(s_->lock);
    if (s_->losses.empty()) return 0;
    const uint32_t lost = s_->losses.front();
    s_->losses.pop_front();
    s_->changed.notify_all();
    return lost;
  }

 private:
  std::shared_ptr<DeviceScript> s_;
};

// One record: count, units, terminator (the count may lie).
void AddRecord(std::vector<uint8_t>* b, const std::string& path, int count = -1,
               uint16_t terminator = 0) {
  const std::u16string units = plat::Utf8ToUtf16(path);
  const uint16_t n = count < 0 ? static_cast<uint16_t>(units.size()) : static_cast<uint16_t>(count);
  const size_t at = b->size();
  b->resize(at + 2 + units.size() * 2 + 2);
  std::memcpy(b->data() + at, &n, 2);
  std::memcpy(b->data() + at + 2, units.data(), units.size() * 2);
  std::memcpy(b->data() + at + 2 + units.size() * 2, &terminator, 2);
}

std::vector<uint8_t> Records(const std::vector<std::string>& paths) {
  std::vector<uint8_t> b;
  for (const std::string& p : paths) AddRecord(&b, p);
  return b;
}

class ChangeMonitorTest : public ::testing::Test {
 protected:
  int StartMonitor() { return monitor_.Start(std::make_unique<ScriptedDevice>(script_)); }

  ScratchEnv env_;
  std::shared_ptr<DeviceScript> script_ = std::make_shared<DeviceScript>();
  CChangeMonitor monitor_;
};

// Paths come out in one form, names as reported; malformed records end a walk, foreign skipped.
TEST_F(ChangeMonitorTest, WalkPublishesNormalisedPathsAndStopsAtMalformedRecords) {
  env_.Src().Write("MixedCase/Sub Folder/File.TXT", "x");
  const std::string stored = env_.Src().SystemOf("MixedCase/Sub Folder/File.TXT");
  const std::string folder = env_.Src().SystemOf("MixedCase");

  ASSERT_EQ(StartMonitor(), 0);
  EventWaiter seen({monitor_.NewFileChannel()});
  // A count beyond the buffer, a missing terminator and a too short tail end the walk.
  std::vector<uint8_t> b = Records({plat::ToUpper(stored)});
  AddRecord(&b, "C:\\second.txt", 2000);
  AddRecord(&b, "C:\\third.txt");
  ASSERT_TRUE(script_->Serve(b));
  b = Records({"D:\\one.txt"});
  AddRecord(&b, "D:\\two.txt", -1, 'x');
  AddRecord(&b, "D:\\three.txt");
  ASSERT_TRUE(script_->Serve(b));
  b = Records({"D:\\four.txt"});
  b.insert(b.end(), {7, 0, 0});
  ASSERT_TRUE(script_->Serve(b));
  EXPECT_EQ(seen.Texts(),
            (std::vector<std::string>{plat::ToUpper(stored), "D:\\one.txt", "D:\\four.txt"}));
  EXPECT_EQ(seen.Events()[0].code, kEvFileWritten);

  // One separator; foreign names skipped; shares kept.
  seen.Clear();
  const std::string odd = "D:\\\u00e4 \u65e5\u672c\\\U0001F600\t%*?.txt";
  ASSERT_TRUE(script_->Serve(
      Records({plat::ToLower(stored), plat::ToUpper(folder) + "\\NoSuch\\Deep.TXT",
               plat::ToUpper(folder) + "\\\\SUB FOLDER\\*", "docs\\x.txt", "\\x.txt", "1:\\a",
               "\\??\\C:\\x.txt", "\\\\.\\Brevanto", "", "\\\\server", "\\\\\\x", "\\\\s\\",
               std::string("D:\\nul\0x.txt", 12), "\\\\?\\D:\\long.txt",
               "\\\\nas\\share\\dir\\f.txt", "\\\\?\\UNC\\nas\\share\\g.txt", odd})));
  EXPECT_EQ(seen.Texts(), (std::vector<std::string>{
                              plat::ToLower(stored), plat::ToUpper(folder) + "\\NoSuch\\Deep.TXT",
                              plat::ToUpper(folder) + "\\SUB FOLDER\\*", "D:\\long.txt",
                              "\\\\nas\\share\\dir\\f.txt", "\\\\nas\\share\\g.txt", odd}));

  // A record filling the whole buffer is walked; an oversized count and junk end only a walk.
  seen.Clear();
  const std::string longest = "D:\\" + std::string(CDriverThread::kBufferSize / 2 - 2 - 3, 'n');
  b = Records({longest});
  ASSERT_EQ(b.size(), CDriverThread::kBufferSize);
  ASSERT_TRUE(script_->Serve(b));
  b.clear();
  AddRecord(&b, "D:\\claims.txt", 0xFFFF);
  AddRecord(&b, "D:\\after.txt");
  ASSERT_TRUE(script_->Serve(b));
  std::vector<uint8_t> junk(65536);
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(i * 131 + 7);
  ASSERT_TRUE(script_->Serve(junk));
  ASSERT_TRUE(script_->Serve(Records({stored})));
  EXPECT_EQ(seen.Texts(), (std::vector<std::string>{longest, stored}));
}

// Requests in order from Global.ini; lost changes ask for catch-up walks, said once per kind.
TEST_F(ChangeMonitorTest, RequestsLaunchReportsLostChangesAndFailures) {
  const uint64_t requests = catchup::RequestCount();
  bvtest::WriteNative(env_.Data().NativeOf("Global.ini"),
                      "[Driver]\nPriority=-2\nBackupOnlyWritten=0\nIgnoreTime=0\n");
  EventWaiter events;
  script_->launches = {{0, u"C:\\ignored.exe"},
                       {1, std::u16string(300, u'a')},
                       {7, u"C:\\Program Files\\Tool\\run.exe"}};
  script_->losses = {plat::kChangesLostOverflow, plat::kChangesLostOverflow,
                     plat::kChangesLostOverflow | plat::kChangesLostWatchLimit};
  ASSERT_EQ(StartMonitor(), 0);
  EXPECT_TRUE(monitor_.IsStarted());
  EXPECT_EQ(StartMonitor(), 0) << "a second start changes nothing";
  EventWaiter seen({monitor_.LaunchChannel()});
  ASSERT_TRUE(script_->WaitUntil([&] { return script_->losses.empty(); }));
  ASSERT_TRUE(script_->WaitUntil([&] { return script_->launchPolls >= 5; }));
  EXPECT_EQ(catchup::RequestCount() - requests, 3u);
  std::vector<std::string> said;
  for (const auto& e : events.Events())
    if (e.code == kEvDriverFailed) said.push_back(e.text1);
  ASSERT_EQ(said.size(), 2u);
  EXPECT_NE(said[0].find("changed at once"), std::string::npos) << said[0];
  EXPECT_NE(said[1].find("limit"), std::string::npos) << said[1];
  ASSERT_TRUE(seen.WaitForCount(2));
  EXPECT_EQ(seen.Texts(),
            (std::vector<std::string>{std::string(259, 'a'), "C:\\Program Files\\Tool\\run.exe"}));
  EXPECT_EQ(seen.CountOf(kEvLaunchReport), 2u);
  ASSERT_TRUE(script_->WaitUntil([&] { return script_->reads >= 1; }));
  monitor_.Stop();  // completes the waiting read with the stop code
  EXPECT_FALSE(monitor_.IsStarted());
  EXPECT_EQ(monitor_.NewFileChannel(), nullptr);
  EXPECT_EQ(script_->Calls(), (CallList{{plat::kIoctlStartReporting, 0},
                                        {plat::kIoctlSetBackupOnlyWritten, 0},
                                        {plat::kIoctlSetNoOpenBackup, 1},
                                        {plat::kIoctlSetIgnoreTime, 0},
                                        {plat::kIoctlStopReporting, 0}}));
  EXPECT_TRUE(script_->closed);
  EXPECT_EQ(script_->reads, 1u) << "the thread ended after the empty completion";
  monitor_.Stop();  // nothing more to do

  EXPECT_EQ(monitor_.Start(nullptr), 1000);
  script_ = std::make_shared<DeviceScript>();
  script_->failCode = plat::kIoctlSetNoOpenBackup;  // refused: reporting stops again
  EXPECT_EQ(StartMonitor(), 1001);
  EXPECT_FALSE(monitor_.IsStarted());
  EXPECT_TRUE(script_->closed);
  EXPECT_EQ(script_->Calls().back().first, uint32_t(plat::kIoctlStopReporting));
  script_ = std::make_shared<DeviceScript>();
  EXPECT_EQ(StartMonitor(), 0) << "nothing was left behind";
}

// The first walk waits for the folders to be watched: a file written as it ends is noted at once.
TEST_F(ChangeMonitorTest, AFileWrittenTheMomentTheFirstWalkEndsIsNoted) {
  bvtest::TempDir elsewhere;
  bvtest::ScopedEnv source("BREVANTO_CHANGE_SOURCE", "inotify");
  bvtest::ScopedEnv roots("BREVANTO_CHANGE_ROOTS", elsewhere.Native().c_str());
  uint32_t error = 0;
  ASSERT_EQ(monitor_.Start(plat::ChangeDevice::Open("\\\\.\\Brevanto", &error)), 0);
  PlanList list;
  CFileDispatchThread dispatch(&list, &monitor_);
  Subscribe(monitor_.NewFileChannel(), &dispatch);
  dispatch.Start();
  list.SetDispatchThread(&dispatch);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // its first look: no plans
  env_.Src().Write("old.txt", "old");
  EventWaiter waiter;
  CPlan* plan = list.CreatePlan(ScratchEnv::Settings("Watched", "store9"));
  ASSERT_TRUE(plan);
  {
    std::lock_guard<std::recursive_mutex> g(plan->Lock());
    plan->Rules()->AddGroup(kRuleInclude, "g", "g")->AddItem(env_.Src().System(), "src");
  }
  plan->SetEnabled(true, 0);
  ASSERT_EQ(waiter.WaitFor(kEvScanEnds, plan->Id()).code, kEvScanEnds);
  env_.Src().Write("right-after.txt", "x");
  LogRecord rec;
  auto noted = [&] {
    return ScratchEnv::RecordOf(plan, env_.Src().SystemOf("right-after.txt"), &rec);
  };
  for (int i = 0; i < 25 && !noted(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(noted());
  plan->StopAndWait();
  list.SetDispatchThread(nullptr);
  dispatch.Stop();
  monitor_.Stop();
}

}  // namespace
