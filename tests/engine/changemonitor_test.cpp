#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/EngineEvents.h"
#include "engine/CChangeMonitor.h"
#include "engine/CFileDispatchThread.h"
#include "engine/CatchUpRequests.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "plans/RuleSet.h"
#include "platform/Text.h"
#include "support/EventCollector.h"
#include "support/ScratchEnv.h"
#include "support/TempDir.h"

using bvtest::EventCollector;
using bvtest::ScratchEnv;
using bvtest::WriteNative;

namespace {

// Generous guard against a hang; the tests never depend on speed.
constexpr auto kHangGuard = std::chrono::seconds(20);

// What the scripted device has been asked and what it serves.
struct DeviceScript {
  std::mutex lock;  // guards every field below
  std::condition_variable changed;
  std::deque<std::vector<uint8_t>> buffers;                  // served by record reads
  std::deque<std::pair<uint32_t, std::u16string>> launches;  // served by launch polls
  std::vector<std::pair<uint32_t, uint32_t>> calls;          // code and 32-bit input
  size_t reads = 0;
  size_t servedBy = 0;  // the read that took the last buffer
  size_t launchPolls = 0;
  bool stopped = false;
  bool closed = false;
  uint32_t failCode = 0;
  std::vector<std::vector<std::string>> toldFolders;  // each WatchFolders list
  std::deque<uint32_t> losses;                        // served by TakeLostChanges

  template <class Pred>
  bool WaitUntil(Pred pred) {
    std::unique_lock<std::mutex> g(lock);
    return changed.wait_for(g, kHangGuard, pred);
  }
  // Queues a buffer and waits until the driver thread has walked it (it asks
  // for the next one only after the walk).
  bool Serve(std::vector<uint8_t> buffer) {
    {
      std::lock_guard<std::mutex> g(lock);
      buffers.push_back(std::move(buffer));
    }
    changed.notify_all();
    return WaitUntil([&] { return buffers.empty() && reads > servedBy; });
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
    if (code == plat::kIoctlReadRecords) {
      ++s_->reads;
      s_->changed.notify_all();
      s_->changed.wait(g, [&] { return s_->stopped || !s_->buffers.empty(); });
      if (s_->buffers.empty()) return 0;
      std::vector<uint8_t> b = std::move(s_->buffers.front());
      s_->buffers.pop_front();
      s_->servedBy = s_->reads;
      const size_t n = std::min(b.size(), outSize);
      std::memcpy(out, b.data(), n);
      *returned = n;
      return 0;
    }
    if (code == plat::kIoctlLaunchReport) {
      ++s_->launchPolls;
      s_->changed.notify_all();
      uint8_t report[524] = {};
      if (!s_->launches.empty()) {
        auto [value, path] = s_->launches.front();
        s_->launches.pop_front();
        std::memcpy(report, &value, 4);
        std::memcpy(report + 4, path.data(), std::min<size_t>(path.size() * 2, 520));
      }
      const size_t n = std::min(sizeof report, outSize);
      std::memcpy(out, report, n);
      *returned = n;
      return 0;
    }
    uint32_t value = 0;
    if (in && inSize >= 4) std::memcpy(&value, in, 4);
    s_->calls.emplace_back(code, value);
    if (code == s_->failCode) return 31;
    if (code == plat::kIoctlStopReporting) s_->stopped = true;
    s_->changed.notify_all();
    return 0;
  }
  plat::ChangeSource Source() const override { return plat::ChangeSource::kInotify; }
  void WatchFolders(const std::vector<std::string>& folders) override {
    std::lock_guard<std::mutex> g(s_->lock);
    s_->toldFolders.push_back(folders);
    s_->changed.notify_all();
  }
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

// Collects the first texts published on one channel.
class ChannelCollector : public CBaseClass {
 public:
  explicit ChannelCollector(CMEvent* channel) { Subscribe(channel, this); }
  ~ChannelCollector() override { DisconnectAll(); }
  void OnEvent(CMEvent*, const EventData& e) override {
    std::lock_guard<std::mutex> g(lock_);
    codes_.push_back(e.code);
    texts_.push_back(e.text1);
    changed_.notify_all();
  }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> g(lock_);
    return texts_;
  }
  std::vector<int32_t> Codes() {
    std::lock_guard<std::mutex> g(lock_);
    return codes_;
  }
  bool WaitForCount(size_t n) {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, kHangGuard, [&] { return texts_.size() >= n; });
  }
  bool WaitForCode(int32_t code) {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, kHangGuard, [&] {
      for (int32_t c : codes_)
        if (c == code) return true;
      return false;
    });
  }
  void Clear() {
    std::lock_guard<std::mutex> g(lock_);
    texts_.clear();
    codes_.clear();
  }

 private:
  std::mutex lock_;  // guards texts_ and codes_
  std::condition_variable changed_;
  std::vector<std::string> texts_;
  std::vector<int32_t> codes_;
};

class ChangeMonitorTest : public ::testing::Test {
 protected:
  int StartMonitor() { return monitor_.Start(std::make_unique<ScriptedDevice>(script_)); }
  std::vector<std::pair<uint32_t, uint32_t>> Calls() {
    std::lock_guard<std::mutex> g(script_->lock);
    return script_->calls;
  }

  ScratchEnv env_;
  std::shared_ptr<DeviceScript> script_ = std::make_shared<DeviceScript>();
  CChangeMonitor monitor_;
};

TEST_F(ChangeMonitorTest, WalkStopsAtMalformedRecordsAndSkipsForeignPaths) {
  env_.Src().Write("a.txt", "a");
  const std::string a = env_.Src().SystemOf("a.txt");
  ASSERT_EQ(StartMonitor(), 0);
  ASSERT_NE(monitor_.NewFileChannel(), nullptr);
  EXPECT_EQ(monitor_.NewFileChannel()->Name(), "NewFile");
  ChannelCollector seen(monitor_.NewFileChannel());

  // The second record claims more units than remain: only the first counts.
  std::vector<uint8_t> b;
  AddRecord(&b, a);
  AddRecord(&b, "C:\\second.txt", 2000);
  AddRecord(&b, "C:\\third.txt");
  ASSERT_TRUE(script_->Serve(b));
  EXPECT_EQ(seen.Texts(), std::vector<std::string>{a});
  EXPECT_EQ(seen.Codes(), std::vector<int32_t>{kEvFileWritten});

  // A record without its zero terminator ends the walk; so do trailing bytes
  // too short for a record. The next buffer is read normally.
  seen.Clear();
  b.clear();
  AddRecord(&b, "D:\\one.txt");
  AddRecord(&b, "D:\\two.txt", -1, 'x');
  AddRecord(&b, "D:\\three.txt");
  ASSERT_TRUE(script_->Serve(b));
  b.clear();
  AddRecord(&b, "D:\\four.txt");
  b.push_back(7);
  b.push_back(0);
  b.push_back(0);
  ASSERT_TRUE(script_->Serve(b));
  EXPECT_EQ(seen.Texts(), (std::vector<std::string>{"D:\\one.txt", "D:\\four.txt"}));

  // Relative, rooted, object-manager and device names are skipped, and so is
  // a path holding a zero unit; a long-path prefix names the plain path; a
  // share keeps its prefix; letters beyond the basic plane (surrogate pairs)
  // and control characters pass unchanged.
  seen.Clear();
  b.clear();
  const std::string odd = "D:\\\u00e4 \u65e5\u672c\\\U0001F600\t%*?.txt";
  for (const std::string& p :
       {std::string("docs\\x.txt"), std::string("\\x.txt"), std::string("\\??\\C:\\x.txt"),
        std::string("\\\\.\\Brevanto"), std::string(), std::string("\\\\server"),
        std::string("D:\\nul\0x.txt", 12), std::string("\\\\?\\D:\\long.txt"),
        std::string("\\\\nas\\share\\dir\\f.txt"), std::string("\\\\?\\UNC\\nas\\share\\g.txt"),
        odd})
    AddRecord(&b, p);
  ASSERT_TRUE(script_->Serve(b));
  EXPECT_EQ(seen.Texts(), (std::vector<std::string>{"D:\\long.txt", "\\\\nas\\share\\dir\\f.txt",
                                                    "\\\\nas\\share\\g.txt", odd}));

  // A record that fills the whole 65,536-byte buffer is walked; one that
  // claims more units than any buffer holds ends the walk.
  seen.Clear();
  b.clear();
  const std::string longest = "D:\\" + std::string(CDriverThread::kBufferSize / 2 - 2 - 3, 'n');
  AddRecord(&b, longest);
  ASSERT_EQ(b.size(), CDriverThread::kBufferSize);
  ASSERT_TRUE(script_->Serve(b));
  b.clear();
  AddRecord(&b, "D:\\claims.txt", 0xFFFF);
  AddRecord(&b, "D:\\after.txt");
  ASSERT_TRUE(script_->Serve(b));
  EXPECT_EQ(seen.Texts(), std::vector<std::string>{longest});

  // Binary junk neither crashes the walk nor stops later reads.
  std::vector<uint8_t> junk(65536);
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(i * 131 + 7);
  ASSERT_TRUE(script_->Serve(junk));
  seen.Clear();
  b.clear();
  AddRecord(&b, a);
  ASSERT_TRUE(script_->Serve(b));
  EXPECT_EQ(seen.Texts(), std::vector<std::string>{a});
}

TEST_F(ChangeMonitorTest, NormalisationRestoresStoredCaseAndKeepsMissingParts) {
  env_.Src().Write("MixedCase/Sub Folder/File.TXT", "x");
  const std::string stored = env_.Src().SystemOf("MixedCase/Sub Folder/File.TXT");
  std::string out;
  ASSERT_TRUE(CDriverThread::NormalizePath(plat::ToLower(stored), &out));
  // The drive letter stays as reported; everything after it as stored.
  EXPECT_EQ(out.substr(3), stored.substr(3));
  ASSERT_TRUE(CDriverThread::NormalizePath(plat::ToUpper(stored), &out));
  EXPECT_EQ(out, stored);

  const std::string folder = env_.Src().SystemOf("MixedCase");
  ASSERT_TRUE(CDriverThread::NormalizePath(plat::ToUpper(folder) + "\\NoSuch\\Deep.TXT", &out));
  EXPECT_EQ(out, folder + "\\NoSuch\\Deep.TXT");
  // Doubled separators collapse; wildcards are names, not patterns.
  ASSERT_TRUE(CDriverThread::NormalizePath(plat::ToUpper(folder) + "\\\\SUB FOLDER\\*", &out));
  EXPECT_EQ(out, folder + "\\Sub Folder\\*");

  for (const char* bad : {"", "x", "1:\\a", "\\a\\b", "\\??\\C:\\a", "\\\\\\x", "\\\\s\\"})
    EXPECT_FALSE(CDriverThread::NormalizePath(bad, &out)) << bad;

  // Through the device the published path is the normalised one.
  ASSERT_EQ(StartMonitor(), 0);
  ChannelCollector seen(monitor_.NewFileChannel());
  std::vector<uint8_t> b;
  AddRecord(&b, plat::ToUpper(stored));
  ASSERT_TRUE(script_->Serve(b));
  EXPECT_EQ(seen.Texts(), std::vector<std::string>{stored});
}

TEST_F(ChangeMonitorTest, StartSendsFlagsInOrderAndStopEndsThreads) {
  using CallList = std::vector<std::pair<uint32_t, uint32_t>>;
  ASSERT_EQ(StartMonitor(), 0);
  EXPECT_TRUE(monitor_.IsStarted());
  EXPECT_EQ(StartMonitor(), 0) << "a second start changes nothing";
  EXPECT_EQ(Calls(), (CallList{{plat::kIoctlStartReporting, 0},
                               {plat::kIoctlSetBackupOnlyWritten, 1},
                               {plat::kIoctlSetNoOpenBackup, 1},
                               {plat::kIoctlSetIgnoreTime, 1}}));
  // The driver thread waits in its read; Stop completes it with the stop code.
  ASSERT_TRUE(script_->WaitUntil([&] { return script_->reads >= 1; }));
  monitor_.Stop();
  EXPECT_FALSE(monitor_.IsStarted());
  EXPECT_EQ(monitor_.NewFileChannel(), nullptr);
  EXPECT_EQ(Calls().back(), (std::pair<uint32_t, uint32_t>{plat::kIoctlStopReporting, 0}));
  {
    std::lock_guard<std::mutex> g(script_->lock);
    EXPECT_TRUE(script_->closed);
    EXPECT_EQ(script_->reads, 1u) << "the thread ended after the empty completion";
  }
  monitor_.Stop();  // nothing more to do

  // Values come from Global.ini; missing keys there are set.
  WriteNative(env_.Data().NativeOf("Global.ini"),
              "[Driver]\nPriority=-2\nBackupOnlyWritten=0\nIgnoreTime=0\n");
  script_ = std::make_shared<DeviceScript>();
  ASSERT_EQ(StartMonitor(), 0);
  EXPECT_EQ(Calls(), (CallList{{plat::kIoctlStartReporting, 0},
                               {plat::kIoctlSetBackupOnlyWritten, 0},
                               {plat::kIoctlSetNoOpenBackup, 1},
                               {plat::kIoctlSetIgnoreTime, 0}}));
  monitor_.Stop();
}

TEST_F(ChangeMonitorTest, FailedRequestsGiveTheirCodesAndReleaseTheDevice) {
  EXPECT_EQ(monitor_.Start(nullptr), 1000);
  EXPECT_FALSE(monitor_.IsStarted());

  script_->failCode = plat::kIoctlStartReporting;
  EXPECT_EQ(StartMonitor(), 1001);
  EXPECT_FALSE(monitor_.IsStarted());
  {
    std::lock_guard<std::mutex> g(script_->lock);
    EXPECT_TRUE(script_->closed);
    EXPECT_EQ(script_->reads, 0u) << "no thread starts when reporting cannot start";
  }

  // A flag refused after the threads started: they are stopped again.
  script_ = std::make_shared<DeviceScript>();
  script_->failCode = plat::kIoctlSetNoOpenBackup;
  EXPECT_EQ(StartMonitor(), 1001);
  EXPECT_FALSE(monitor_.IsStarted());
  const auto calls = Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back().first, static_cast<uint32_t>(plat::kIoctlStopReporting));
  {
    std::lock_guard<std::mutex> g(script_->lock);
    EXPECT_TRUE(script_->closed);
  }
  // Nothing was left behind: a later start works.
  script_ = std::make_shared<DeviceScript>();
  EXPECT_EQ(StartMonitor(), 0);
}

// Launch reports reach their channel. Lost changes, polled at the same pace,
// ask every plan for a catch-up walk each time and are said (event 14 with
// a sentence) once per kind.
TEST_F(ChangeMonitorTest, LaunchReportsAndLostChangesArePublished) {
  const uint64_t requests = catchup::RequestCount();
  EventCollector events;
  {
    std::lock_guard<std::mutex> g(script_->lock);
    script_->launches.push_back({0, u"C:\\ignored.exe"});
    script_->launches.push_back({1, std::u16string(300, u'a')});
    script_->launches.push_back({7, u"C:\\Program Files\\Tool\\run.exe"});
    script_->losses = {plat::kChangesLostOverflow, plat::kChangesLostOverflow,
                       plat::kChangesLostOverflow | plat::kChangesLostWatchLimit};
  }
  ASSERT_EQ(StartMonitor(), 0);
  ASSERT_NE(monitor_.LaunchChannel(), nullptr);
  EXPECT_EQ(monitor_.LaunchChannel()->Name(), "Launch");
  ChannelCollector seen(monitor_.LaunchChannel());
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
  EXPECT_EQ(seen.Codes(), (std::vector<int32_t>{kEvLaunchReport, kEvLaunchReport}));
  monitor_.Stop();
}

TEST_F(ChangeMonitorTest, DispatchOffersWrittenFilesToThePlans) {
  env_.Src().Write("Docs/Report.doc", "r");
  env_.Src().Write("Other/skip.txt", "s");
  PlanList list;
  CPlan* plan = list.CreatePlan(ScratchEnv::Settings("Docs", "Store"));
  ASSERT_NE(plan, nullptr);
  ScratchEnv::IncludeOnly(plan, env_.Src().SystemOf("Docs"));

  ASSERT_EQ(StartMonitor(), 0);
  CFileDispatchThread dispatch(&list, &monitor_);
  Subscribe(monitor_.NewFileChannel(), &dispatch);
  ASSERT_EQ(dispatch.Start(), 0);
  // The monitor is told the folder the plan protects, whatever the rule's
  // form, and again when the plans change.
  const std::vector<std::string> docs{env_.Src().SystemOf("Docs")};
  EXPECT_TRUE(script_->WaitUntil(
      [&] { return !script_->toldFolders.empty() && script_->toldFolders.back() == docs; }));
  ScratchEnv::IncludeOnly(plan, env_.Src().SystemOf("Docs\\*.doc"));
  EXPECT_EQ(CFileDispatchThread::ProtectedFolders(list), docs);
  CPlan* second = list.CreatePlan(ScratchEnv::Settings("Other", "Store2"));
  ASSERT_NE(second, nullptr);
  ScratchEnv::IncludeOnly(second, env_.Src().SystemOf("Other") + "\\");
  const std::vector<std::string> both{docs[0], env_.Src().SystemOf("Other")};
  ASSERT_TRUE(script_->WaitUntil([&] { return script_->toldFolders.back() == both; }));
  list.DeletePlan(second->Id());

  EventCollector events;
  ChannelCollector worker(&WorkerChannel());
  const std::string report = env_.Src().SystemOf("Docs/Report.doc");
  std::vector<uint8_t> b;
  AddRecord(&b, env_.Src().SystemOf("Other/skip.txt"));
  AddRecord(&b, plat::ToUpper(report));
  ASSERT_TRUE(script_->Serve(b));
  // Paths are dispatched in order: once the report is noted, the other one
  // has been offered and declined.
  ASSERT_TRUE(worker.WaitForCode(kEvFileNoted));
  // The event comes before the journal note; Stop lets the running offer end.
  dispatch.Stop();
  EXPECT_EQ(events.CountOf(kEvFileNoted), 1u);
  for (const auto& e : events.Events())
    if (e.code == kEvFileNoted) {
      EXPECT_EQ(e.text1, report);
      EXPECT_EQ(e.planId, plan->Id());
    }
  uint64_t offset = 0;
  EXPECT_TRUE(plan->Database()->Lookup(report, &offset));
  EXPECT_FALSE(plan->Database()->Lookup(env_.Src().SystemOf("Other/skip.txt"), &offset));

  // After Stop nothing is queued any more.
  dispatch.Enqueue(report);
  EXPECT_EQ(dispatch.QueuedCount(), 0u);
  monitor_.Stop();
}

TEST(FileDispatchThread, StopDropsQueuedPaths) {
  ScratchEnv env;
  env.Src().Write("f.txt", "f");
  PlanList list;
  CPlan* plan = list.CreatePlan(ScratchEnv::Settings("All", "Store"));
  ASSERT_NE(plan, nullptr);
  ScratchEnv::IncludeOnly(plan, env.Src().System());

  EventCollector events;
  CFileDispatchThread dispatch(&list);
  dispatch.Enqueue("");
  EXPECT_EQ(dispatch.QueuedCount(), 0u);
  for (int i = 0; i < 3; ++i) dispatch.Enqueue(env.Src().SystemOf("f.txt"));
  EXPECT_EQ(dispatch.QueuedCount(), 3u);
  dispatch.Stop();
  EXPECT_EQ(dispatch.QueuedCount(), 0u);
  dispatch.Stop();  // a second stop does nothing
  // A thread started after the stop ends at once without dispatching.
  ASSERT_EQ(dispatch.Start(), 0);
  dispatch.Join();
  EXPECT_EQ(events.CountOf(kEvFileNoted), 0u);
}

}  // namespace
