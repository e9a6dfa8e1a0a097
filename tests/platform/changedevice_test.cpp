#include "platform/changes/ChangeDevice.h"

#include <sys/mount.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

#include "Checks.h"
#include "platform/base/Text.h"
#include "support/DeepTree.h"

namespace fs = std::filesystem;
using bvtest::NativeToSystemC;
using bvtest::WriteNative;
using plat::ChangeDevice;
using plat::ChangeSource;

namespace {

constexpr char kName[] = "\\\\.\\Brevanto";

uint32_t Send(ChangeDevice* dev, uint32_t code) {
  size_t r = 0;
  return dev->Control(code, nullptr, 0, nullptr, 0, &r);
}

uint32_t Read(ChangeDevice* dev, std::vector<uint8_t>* buf, size_t room, size_t* got) {
  return dev->Control(plat::kIoctlReadRecords, nullptr, 0, buf->data(), room, got);
}

// A native path as the device names it; a system path as it stands.
std::string Sys(const std::string& path) {
  return path.find(':') == 1 ? path : NativeToSystemC(path);
}

// Parses packed records (count, UTF-16LE units, 0); a malformed one fails the test.
std::vector<std::string> Parse(const uint8_t* p, size_t size) {
  std::vector<std::string> out;
  auto unit = [&](size_t i) { return static_cast<char16_t>(p[i] | (p[i + 1] << 8)); };
  size_t at = 0;
  for (size_t n; at + 4 <= size && at + 2 * (n = unit(at)) + 4 <= size; at += 2 * n + 4) {
    std::u16string s;
    for (size_t i = 0; i < n; ++i) s.push_back(unit(at + 2 + 2 * i));
    EXPECT_EQ(unit(at + 2 + 2 * n), 0);
    out.push_back(plat::Utf16ToUtf8(s));
  }
  EXPECT_EQ(at, size);
  return out;
}

// Every path read until the file's record shows up or reporting stops (a minute at most).
std::vector<std::string> ReadUntil(ChangeDevice* dev, const std::string& native) {
  std::promise<void> done;
  std::thread guard([dev, f = done.get_future()] {
    if (f.wait_for(std::chrono::seconds(60)) == std::future_status::timeout)
      Send(dev, plat::kIoctlStopReporting);
  });
  const std::string want = Sys(native);
  std::vector<std::string> seen;
  std::vector<uint8_t> buf(65536);
  for (size_t got = 0; Read(dev, &buf, buf.size(), &got) == 0 && got > 0;) {
    for (std::string& p : Parse(buf.data(), got)) seen.push_back(std::move(p));
    if (std::find(seen.begin(), seen.end(), want) != seen.end()) break;
  }
  done.set_value();
  guard.join();
  return seen;
}

size_t Count(const std::vector<std::string>& v, const std::string& native) {
  return static_cast<size_t>(std::count(v.begin(), v.end(), Sys(native)));
}

size_t TimesSeen(ChangeDevice* dev, const std::string& native) {
  return Count(ReadUntil(dev, native), native);
}

// Writes the file, then how often it was reported until seen.
size_t Written(ChangeDevice* dev, const std::string& native) {
  WriteNative(native, "x");
  return TimesSeen(dev, native);
}

// A folder under $HOME (not /tmp: maybe another file system) watched with inotify forced.
class ChangeDeviceTest : public testing::Test {
 protected:
  std::string MakeHomeDir() {
    return fs::canonical(dirs_.emplace_back(bvtest::TempDir::Where::kHome).Native()).string();
  }
  std::unique_ptr<ChangeDevice> OpenStarted() {
    uint32_t err = 99;
    auto dev = ChangeDevice::Open(kName, &err);
    EXPECT_EQ(err, 0u);
    EXPECT_TRUE(dev && Send(dev.get(), plat::kIoctlStartReporting) == 0);
    return dev;
  }
  std::deque<bvtest::TempDir> dirs_;
  std::string root_ = MakeHomeDir();
  bvtest::ScopedEnv source_{"BREVANTO_CHANGE_SOURCE", "inotify"};
  bvtest::ScopedEnv roots_{"BREVANTO_CHANGE_ROOTS", root_};
  bvtest::ScopedEnv limit_{"BREVANTO_CHANGE_WATCH_LIMIT", nullptr};
  bvtest::ScopedEnv volumes_{"BREVANTO_VOLUMES", nullptr};
};

// Every file once however it came (written, moved, in new or moved folders, told, new volumes).
TEST_F(ChangeDeviceTest, InotifyReportsEveryFileOnceAndObeysItsControls) {
  const std::string outside = MakeHomeDir(), told = MakeHomeDir(), volume = MakeHomeDir();
  const std::string notYet = MakeHomeDir() + "/later", table = root_ + "/volumes.ini";
  WriteNative(table, "[C]\nRoot=/\nType=fixed\n");
  volumes_.Set(table.c_str());
  roots_.Set(nullptr);
  bvtest::ScopedEnv home("HOME", root_);  // the base roots: root_ and the volumes
  fs::create_directories(root_ + "/v/a/b");
  fs::create_directories(root_ + "/real/prot");  // also told through a link below
  fs::create_directory_symlink(root_ + "/real", outside + "/via");
  auto dev = OpenStarted();
  ASSERT_TRUE(dev);
  EXPECT_EQ(dev->Source(), ChangeSource::kInotify);
  std::vector<std::string> want;
  for (int i = 0; i < 5; ++i) {
    want.push_back(NativeToSystemC(root_ + "/file" + std::to_string(i) + ".txt"));
    WriteNative(root_ + "/file" + std::to_string(i) + ".txt", "x");
  }
  WriteNative(root_ + "/file0.txt", "twice");
  const size_t one = 2 * plat::Utf8ToUtf16(want[0]).size() + 4;
  std::vector<uint8_t> buf(65536);
  size_t got = 99;
  EXPECT_EQ(Read(dev.get(), &buf, one - 1, &got), 122u);
  EXPECT_EQ(got, 0u);
  std::vector<std::string> seen;
  while (seen.size() < want.size()) {
    ASSERT_EQ(Read(dev.get(), &buf, one + one / 2, &got), 0u);
    ASSERT_EQ(got, one);
    seen.push_back(Parse(buf.data(), got).at(0));
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, want);
  fs::create_directories(root_ + "/x/y/z");
  EXPECT_EQ(Written(dev.get(), root_ + "/x/y/z/d.txt"), 1u);
  WriteNative(outside + "/m.txt", "m");
  fs::rename(outside + "/m.txt", root_ + "/x/moved.txt");
  EXPECT_EQ(TimesSeen(dev.get(), root_ + "/x/moved.txt"), 1u);
  fs::permissions(root_ + "/x/moved.txt", fs::perms(0600));  // who may read it: a change too
  EXPECT_EQ(TimesSeen(dev.get(), root_ + "/x/moved.txt"), 1u);
  fs::create_directories(outside + "/f");
  WriteNative(outside + "/f/in.txt", "i");
  fs::rename(outside + "/f", root_ + "/f");
  EXPECT_EQ(TimesSeen(dev.get(), root_ + "/f/in.txt"), 1u);
  fs::create_directories(outside + "/h");
  fs::create_directory_symlink(outside, outside + "/h/out");  // a link to a folder: told too
  fs::rename(outside + "/h", root_ + "/h");
  EXPECT_EQ(TimesSeen(dev.get(), root_ + "/h/out"), 1u);
  EXPECT_EQ(Written(dev.get(), root_ + "/f/later.txt"), 1u);
  fs::rename(root_ + "/f", root_ + "/g");
  EXPECT_EQ(Written(dev.get(), root_ + "/g/after.txt"), 1u);
  // Folders that vanish while watched, some before their watch could be set.
  fs::remove_all(root_ + "/v");
  for (int i = 0; i < 200; ++i) {
    const std::string d = root_ + "/brief" + std::to_string(i);
    fs::create_directories(d + "/inner");
    WriteNative(d + "/inner/gone.txt", "g");
    fs::remove_all(d);
  }
  fs::create_directories(root_ + "/v/a/b");
  EXPECT_EQ(Written(dev.get(), root_ + "/v/a/b/again.txt"), 1u);
  fs::create_directories(told + "/sub");
  dev->WatchFolders(
      {NativeToSystemC(told), NativeToSystemC(notYet), NativeToSystemC(outside + "/via/prot")});
  EXPECT_EQ(Written(dev.get(), told + "/sub/a.txt"), 1u);
  fs::create_directories(notYet);
  WriteNative(table, "[C]\nRoot=/\nType=fixed\n[E]\nRoot=" + volume + "\nType=fixed\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // a look a second
  Written(dev.get(), root_ + "/marker.txt");
  EXPECT_EQ(Written(dev.get(), notYet + "/n.txt"), 1u);
  WriteNative(volume + "/on-e.txt", "e");
  EXPECT_EQ(TimesSeen(dev.get(), "E:\\on-e.txt"), 1u);
  dev->WatchFolders({});
  EXPECT_EQ(Written(dev.get(), root_ + "/real/prot/kept.txt"), 1u);  // one watch, two names
  WriteNative(told + "/sub/b.txt", "b");
  WriteNative(root_ + "/marker2.txt", "m");
  EXPECT_EQ(Count(ReadUntil(dev.get(), root_ + "/marker2.txt"), told + "/sub/b.txt"), 0u);
  // Stopped, a read returns nothing at once; started again, only what came since.
  EXPECT_EQ(Send(dev.get(), plat::kIoctlStopReporting), 0u);
  WriteNative(root_ + "/while-stopped.txt", "s");
  got = 99;
  EXPECT_EQ(Read(dev.get(), &buf, buf.size(), &got), 0u);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(Send(dev.get(), plat::kIoctlStartReporting), 0u);
  WriteNative(root_ + "/next.txt", "n");
  seen = ReadUntil(dev.get(), root_ + "/next.txt");
  EXPECT_EQ(Count(seen, root_ + "/next.txt"), 1u);
  EXPECT_EQ(Count(seen, root_ + "/while-stopped.txt"), 0u);
}

TEST_F(ChangeDeviceTest, WatchLimitStopsAddingAndSaysSo) {
  fs::create_directories(root_ + "/a/b/c");
  limit_.Set("2");
  testing::internal::CaptureStderr();
  auto dev = OpenStarted();
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(dev);
  EXPECT_NE(err.find("watch limit"), std::string::npos) << err;
  EXPECT_EQ(dev->TakeLostChanges(), plat::kChangesLostWatchLimit);
  EXPECT_EQ(dev->TakeLostChanges(), 0u);
  EXPECT_EQ(Written(dev.get(), root_ + "/top.txt"), 1u);  // the root keeps its watch
}

// More writes than the kernel queue holds: no path twice, the overflow said and counted.
TEST_F(ChangeDeviceTest, FloodBeyondTheKernelQueue) {
  const std::string max = bvtest::ReadNative("/proc/sys/fs/inotify/max_queued_events");
  const unsigned long queued = max.empty() ? 16384 : std::stoul(max);
  if (queued > 100000) GTEST_SKIP() << "a kernel queue too long to fill quickly";
  auto dev = OpenStarted();
  ASSERT_TRUE(dev);
  const std::string folder = root_ + "/a folder with a rather long name to fill the buffer sooner";
  fs::create_directories(folder);
  Written(dev.get(), root_ + "/first.txt");       // the folder's watch comes with this read
  for (size_t i = 0; i < queued / 2 + 1000; ++i)  // two events a file
    WriteNative(folder + "/" + std::to_string(i) + ".txt", "x");
  testing::internal::CaptureStderr();
  std::vector<uint8_t> buf(65536);
  size_t got = 0;
  ASSERT_EQ(Read(dev.get(), &buf, buf.size(), &got), 0u);
  const std::string err = testing::internal::GetCapturedStderr();
  std::vector<std::string> seen = Parse(buf.data(), got);
  WriteNative(folder + "/after.txt", "a");  // the kernel queue was drained: not lost
  for (std::string& p : ReadUntil(dev.get(), folder + "/after.txt")) seen.push_back(p);
  EXPECT_EQ(Count(seen, folder + "/after.txt"), 1u);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
  EXPECT_GT(seen.size(), 1000u);
  EXPECT_NE(err.find("overflowed"), std::string::npos) << err;
  EXPECT_EQ(dev->TakeLostChanges(), plat::kChangesLostOverflow);
}

bool ChildWrites(const std::string& native, const std::string& text) {
  return Succeeds([&] {
    WriteNative(native, text);
    return true;
  });
}

// Another process writes the file; how often it was reported until seen.
size_t ChildWritten(ChangeDevice* dev, const std::string& native) {
  return ChildWrites(native, "x") ? TimesSeen(dev, native) : 0;
}

// A folder an ordinary user may not read is left out; the rest of the tree is reported.
TEST_F(ChangeDeviceTest, UnreadableFolderIsSkipped) {
  bvtest::TempDir top;  // outside $HOME, which an unprivileged user cannot enter
  fs::permissions(top.Native(), fs::perms::all);
  fs::create_directories(top.NativeOf("locked/inner"));
  fs::create_directories(top.NativeOf("open"));
  fs::permissions(top.NativeOf("locked"), fs::perms::none);
  fs::permissions(top.NativeOf("open"), fs::perms::all);
  roots_.Set(top.Native().c_str());
  EXPECT_TRUE(Succeeds(
      [&] {
        alarm(60);  // a missing record ends the child instead of hanging the test
        auto dev = OpenStarted();
        WriteNative(top.NativeOf("open/f.txt"), "x");
        return dev && TimesSeen(dev.get(), top.NativeOf("open/f.txt")) == 1;
      },
      true));
  fs::permissions(top.NativeOf("locked"), fs::perms::owner_all);
}

// As root: others' writes (not this one's) under final names, a later mount, too long a path.
TEST_F(ChangeDeviceTest, FanotifyReportsFilesUnderTheirFinalNames) {
  if (geteuid() != 0) GTEST_SKIP() << "fanotify needs root";
  roots_.Set(nullptr);
  const std::string own = root_ + "/own.txt", child = root_ + "/child.txt";
  for (const char* forced : {"fanotify-fd", ""}) {
    source_.Set(forced);
    auto dev = OpenStarted();
    ASSERT_TRUE(dev);
    if (dev->Source() != ChangeSource::kFanotify) GTEST_SKIP() << "fanotify not usable here";
    WriteNative(own, "o");
    ASSERT_TRUE(ChildWrites(child, forced));
    const auto seen = ReadUntil(dev.get(), child);
    EXPECT_EQ(Count(seen, child), 1u) << forced;
    EXPECT_EQ(Count(seen, own), 0u) << forced;
  }
  const std::string table = root_ + "/volumes.ini";
  WriteNative(table, "[C]\nRoot=/\nType=fixed\n");
  volumes_.Set(table.c_str());
  auto dev = OpenStarted();
  ASSERT_TRUE(dev);
  const std::string mnt = root_ + "/mnt";
  fs::create_directories(mnt);
  if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m") == 0) {
    WriteNative(table, "[C]\nRoot=/\nType=fixed\n[E]\nRoot=" + mnt + "\nType=fixed\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ChildWritten(dev.get(), child);
    ASSERT_TRUE(ChildWrites(mnt + "/v.txt", "v"));
    const size_t times = TimesSeen(dev.get(), "E:\\v.txt");
    umount2(mnt.c_str(), MNT_DETACH);
    EXPECT_EQ(times, 1u);
  }
  ASSERT_TRUE(Succeeds([&] { return link(child.c_str(), (root_ + "/linked.txt").c_str()) == 0; }));
  EXPECT_EQ(TimesSeen(dev.get(), root_ + "/linked.txt"), 1u);
  ASSERT_TRUE(Succeeds([&] { return chmod(child.c_str(), 0600) == 0; }));
  EXPECT_EQ(TimesSeen(dev.get(), child), 1u);
  const std::string outside = MakeHomeDir();
  fs::create_directories(outside + "/f/g");
  WriteNative(outside + "/f/g/deep.txt", "d");
  ASSERT_TRUE(Succeeds(
      [&] { return std::rename((outside + "/f").c_str(), (root_ + "/m f").c_str()) == 0; }));
  EXPECT_EQ(TimesSeen(dev.get(), root_ + "/m f/g/deep.txt"), 1u);
  fs::create_directories(outside + "/h/i");
  fs::create_directory_symlink("/", outside + "/h/i/root");
  ASSERT_TRUE(
      Succeeds([&] { return std::rename((outside + "/h").c_str(), (root_ + "/h").c_str()) == 0; }));
  EXPECT_EQ(TimesSeen(dev.get(), root_ + "/h/i/root"), 1u);
  while (dev->TakeLostChanges() != 0) {
  }
  const std::string level(200, 'd');
  ASSERT_TRUE(Succeeds([&] { return bvtest::MakeDeepTree(root_, level, 24, {{24, "deep.txt"}}); }));
  ChildWritten(dev.get(), child);
  EXPECT_EQ(dev->TakeLostChanges(), plat::kChangesBeyondLongestPath);
  const int rootFd = open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bvtest::RemoveDeepEntry(rootFd, level.c_str());
  close(rootFd);
}

}  // namespace
