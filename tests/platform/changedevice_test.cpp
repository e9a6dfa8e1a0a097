#include "platform/ChangeDevice.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Text.h"
#include "support/DeepTree.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using plat::ChangeDevice;
using plat::ChangeSource;

namespace {

constexpr char kName[] = "\\\\.\\Brevanto";

// Parses packed records; stops at the first malformed one (a test failure).
std::vector<std::string> Parse(const uint8_t* p, size_t size) {
  std::vector<std::string> out;
  size_t at = 0;
  auto unit = [&](size_t i) { return static_cast<char16_t>(p[i] | (p[i + 1] << 8)); };
  while (at + 4 <= size) {
    size_t n = unit(at);
    EXPECT_LE(at + 2 * n + 4, size);
    if (at + 2 * n + 4 > size) break;
    std::u16string s;
    for (size_t i = 0; i < n; ++i) s.push_back(unit(at + 2 + 2 * i));
    EXPECT_EQ(unit(at + 2 + 2 * n), 0);
    out.push_back(plat::Utf16ToUtf8(s));
    at += 2 * n + 4;
  }
  EXPECT_EQ(at, size);
  return out;
}

// Stops reporting if the test is still reading after a long while, so a
// missing event fails the test instead of hanging it.
class HangGuard {
 public:
  explicit HangGuard(ChangeDevice* dev)
      : thread_([this, dev] {
          std::unique_lock<std::mutex> l(m_);
          if (!cv_.wait_for(l, std::chrono::seconds(60), [this] { return done_; })) {
            size_t r;
            dev->Control(plat::kIoctlStopReporting, nullptr, 0, nullptr, 0, &r);
          }
        }) {}
  ~HangGuard() {
    {
      std::lock_guard<std::mutex> g(m_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// Reads batches until `want` shows up or reporting stops; returns every path
// seen on the way.
std::vector<std::string> ReadUntil(ChangeDevice* dev, const std::string& want) {
  HangGuard guard(dev);
  std::vector<std::string> seen;
  std::vector<uint8_t> buf(65536);
  for (;;) {
    size_t got = 0;
    uint32_t rc = dev->Control(plat::kIoctlReadRecords, nullptr, 0, buf.data(), buf.size(), &got);
    EXPECT_EQ(rc, 0u);
    if (rc != 0 || got == 0) break;
    for (std::string& p : Parse(buf.data(), got)) seen.push_back(std::move(p));
    if (std::find(seen.begin(), seen.end(), want) != seen.end()) break;
  }
  return seen;
}

size_t Count(const std::vector<std::string>& v, const std::string& native) {
  return static_cast<size_t>(std::count(v.begin(), v.end(), bvtest::NativeToSystemC(native)));
}

// Reads until the file's record shows up; how often it was reported.
size_t TimesSeen(ChangeDevice* dev, const std::string& native) {
  return Count(ReadUntil(dev, bvtest::NativeToSystemC(native)), native);
}

void WriteFile(const std::string& native, const std::string& text) {
  std::ofstream(native, std::ios::binary) << text;
}

uint32_t Send(ChangeDevice* dev, uint32_t code) {
  size_t r = 0;
  return dev->Control(code, nullptr, 0, nullptr, 0, &r);
}

// A folder under $HOME (not /tmp, which may be another file system), watched
// through BREVANTO_CHANGE_ROOTS with inotify forced.
class ChangeDeviceTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeHomeDir();
    setenv("BREVANTO_CHANGE_SOURCE", "inotify", 1);
    setenv("BREVANTO_CHANGE_ROOTS", root_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("BREVANTO_CHANGE_SOURCE");
    unsetenv("BREVANTO_CHANGE_ROOTS");
    unsetenv("BREVANTO_CHANGE_WATCH_LIMIT");
    unsetenv("BREVANTO_VOLUMES");
    std::error_code ec;
    for (const std::string& d : dirs_) fs::remove_all(d, ec);
  }
  std::string MakeHomeDir() {
    const char* home = std::getenv("HOME");
    std::string tmpl = std::string(home && *home ? home : "/root") + "/bv-cdev-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    EXPECT_NE(mkdtemp(buf.data()), nullptr);
    std::string dir = fs::canonical(buf.data()).string();
    dirs_.push_back(dir);
    return dir;
  }
  std::unique_ptr<ChangeDevice> OpenStarted() {
    uint32_t err = 99;
    auto dev = ChangeDevice::Open(kName, &err);
    EXPECT_TRUE(dev);
    EXPECT_EQ(err, 0u);
    if (dev) {
      EXPECT_EQ(Send(dev.get(), plat::kIoctlStartReporting), 0u);
    }
    return dev;
  }
  std::string root_;
  std::vector<std::string> dirs_;
};

// Files written (each once per read, under its system path), made in new
// folders, renamed or linked in, in folders moved in or renamed within the
// tree, and in folders removed and made again (also folders made and removed
// before their watch could be set) are all reported.
TEST_F(ChangeDeviceTest, FilesAreReportedOnceWhereverTheyComeFrom) {
  fs::create_directories(root_ + "/v/a/b");
  auto dev = OpenStarted();
  ASSERT_TRUE(dev);
  EXPECT_EQ(dev->Source(), ChangeSource::kInotify);
  std::string a = root_ + "/Ä b.txt", marker = root_ + "/marker.txt";
  std::string b = root_ + "/b.txt";
  WriteFile(a, "one");
  WriteFile(b, "b");
  WriteFile(a, "two");  // a second write before the read merges with the first
  WriteFile(marker, "m");
  auto seen = ReadUntil(dev.get(), bvtest::NativeToSystemC(marker));
  EXPECT_EQ(Count(seen, a), 1u);
  EXPECT_EQ(Count(seen, b), 1u);
  EXPECT_EQ(Count(seen, marker), 1u);

  // A file in a folder created after start (deep, made in one go).
  fs::create_directories(root_ + "/x/y/z");
  WriteFile(root_ + "/x/y/z/d.txt", "d");
  EXPECT_EQ(TimesSeen(dev.get(), root_ + "/x/y/z/d.txt"), 1u);

  // A file renamed in from outside the watched tree, and one linked in.
  const std::string outside = MakeHomeDir();
  WriteFile(outside + "/m.txt", "m");
  fs::rename(outside + "/m.txt", root_ + "/x/moved.txt");
  EXPECT_EQ(TimesSeen(dev.get(), root_ + "/x/moved.txt"), 1u);
  WriteFile(outside + "/l.txt", "l");
  fs::create_hard_link(outside + "/l.txt", root_ + "/x/linked.txt");
  EXPECT_EQ(TimesSeen(dev.get(), root_ + "/x/linked.txt"), 1u);

  // A folder moved in: its files are reported and it is watched from then on.
  fs::create_directories(outside + "/f");
  WriteFile(outside + "/f/in.txt", "i");
  fs::rename(outside + "/f", root_ + "/f");
  EXPECT_EQ(TimesSeen(dev.get(), root_ + "/f/in.txt"), 1u);
  WriteFile(root_ + "/f/later.txt", "l");
  EXPECT_EQ(TimesSeen(dev.get(), root_ + "/f/later.txt"), 1u);

  // A folder renamed within the tree is watched under its new name.
  fs::rename(root_ + "/f", root_ + "/g");
  WriteFile(root_ + "/g/after.txt", "a");
  EXPECT_EQ(TimesSeen(dev.get(), root_ + "/g/after.txt"), 1u);

  // Folders that vanish while watched.
  fs::remove_all(root_ + "/v");
  for (int i = 0; i < 200; ++i) {
    const std::string d = root_ + "/brief" + std::to_string(i);
    fs::create_directories(d + "/inner");
    WriteFile(d + "/inner/gone.txt", "g");
    fs::remove_all(d);
  }
  fs::create_directories(root_ + "/v/a/b");
  const std::string again = root_ + "/v/a/b/again.txt";
  WriteFile(again, "a");
  seen = ReadUntil(dev.get(), bvtest::NativeToSystemC(again));
  EXPECT_EQ(Count(seen, again), 1u);
  // Later writes in the made-again folder are seen through its new watch.
  const std::string later = root_ + "/v/a/b/later.txt";
  WriteFile(later, "l");
  EXPECT_EQ(TimesSeen(dev.get(), later), 1u);
}

TEST_F(ChangeDeviceTest, StopWakesBlockedReadAndStartResumes) {
  auto dev = OpenStarted();
  ASSERT_TRUE(dev);
  std::atomic<bool> entered{false};
  uint32_t rc = 99;
  size_t got = 99;
  std::thread reader([&] {
    std::vector<uint8_t> buf(65536);
    entered = true;
    rc = dev->Control(plat::kIoctlReadRecords, nullptr, 0, buf.data(), buf.size(), &got);
  });
  while (!entered) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it block
  EXPECT_EQ(Send(dev.get(), plat::kIoctlStopReporting), 0u);
  reader.join();
  EXPECT_EQ(rc, 0u);
  EXPECT_EQ(got, 0u);

  // Stopped: a read returns 0 bytes at once, even with writes pending.
  WriteFile(root_ + "/while-stopped.txt", "s");
  std::vector<uint8_t> buf(256);
  got = 99;
  EXPECT_EQ(dev->Control(plat::kIoctlReadRecords, nullptr, 0, buf.data(), buf.size(), &got), 0u);
  EXPECT_EQ(got, 0u);

  // Started again: only writes made since are reported.
  EXPECT_EQ(Send(dev.get(), plat::kIoctlStartReporting), 0u);
  std::string next = root_ + "/next.txt";
  WriteFile(next, "n");
  auto seen = ReadUntil(dev.get(), bvtest::NativeToSystemC(next));
  EXPECT_EQ(Count(seen, next), 1u);
  EXPECT_EQ(Count(seen, root_ + "/while-stopped.txt"), 0u);
}

TEST_F(ChangeDeviceTest, RecordsSplitAcrossSmallBuffersAndOtherControlCodes) {
  auto dev = OpenStarted();
  ASSERT_TRUE(dev);
  std::vector<std::string> want;
  for (int i = 0; i < 5; ++i) {
    std::string p = root_ + "/file" + std::to_string(i) + ".txt";
    WriteFile(p, "x");
    want.push_back(bvtest::NativeToSystemC(p));
  }
  const size_t one = 2 * plat::Utf8ToUtf16(want[0]).size() + 4;

  // Too small for any record: refused, nothing lost.
  std::vector<uint8_t> buf(65536);
  size_t got = 99;
  EXPECT_EQ(dev->Control(plat::kIoctlReadRecords, nullptr, 0, buf.data(), one - 1, &got), 122u);
  EXPECT_EQ(got, 0u);

  // Room for one and a half records: exactly one whole record each time.
  std::vector<std::string> seen;
  while (seen.size() < want.size()) {
    got = 0;
    ASSERT_EQ(dev->Control(plat::kIoctlReadRecords, nullptr, 0, buf.data(), one + one / 2, &got),
              0u);
    ASSERT_EQ(got, one);
    auto recs = Parse(buf.data(), got);
    ASSERT_EQ(recs.size(), 1u);
    seen.push_back(recs[0]);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, want);

  // The other control codes, and a device name of no device.
  uint32_t err = 0;
  EXPECT_FALSE(ChangeDevice::Open("\\\\.\\Other", &err));
  EXPECT_NE(err, 0u);
  size_t r = 0;
  uint32_t value = 0;
  for (uint32_t code :
       {plat::kIoctlSetBackupOnlyWritten, plat::kIoctlSetNoOpenBackup, plat::kIoctlSetIgnoreTime}) {
    EXPECT_EQ(dev->Control(code, &value, sizeof value, nullptr, 0, &r), 0u);
    EXPECT_EQ(dev->Control(code, &value, 2, nullptr, 0, &r), 87u);
    EXPECT_EQ(dev->Control(code, nullptr, 0, nullptr, 0, &r), 87u);
  }
  std::vector<uint8_t> report(600, 0xAB);
  EXPECT_EQ(dev->Control(plat::kIoctlLaunchReport, nullptr, 0, report.data(), 524, &r), 0u);
  EXPECT_EQ(r, 524u);
  EXPECT_TRUE(std::all_of(report.begin(), report.begin() + 524, [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(report[524], 0xAB);
  EXPECT_EQ(dev->Control(plat::kIoctlLaunchReport, nullptr, 0, report.data(), 100, &r), 122u);
  EXPECT_EQ(dev->Control(0x22EC00, nullptr, 0, nullptr, 0, &r), 1u);
  EXPECT_EQ(dev->Control(plat::kIoctlReadRecords, nullptr, 0, nullptr, 10, &r), 87u);
}

// inotify watches the folders it is told, wherever they lie (one made only
// after it was told included), and lets them go when no longer told; it
// follows volumes that appear in the table.
TEST_F(ChangeDeviceTest, ToldFoldersAndNewVolumesAreWatched) {
  const std::string told = MakeHomeDir(), volume = MakeHomeDir();
  const std::string notYet = told + "-made-later";
  const std::string table = root_ + "/volumes.ini";
  WriteFile(table, "[C]\nRoot=/\nType=fixed\n");
  setenv("BREVANTO_VOLUMES", table.c_str(), 1);
  unsetenv("BREVANTO_CHANGE_ROOTS");
  bvtest::ScopedEnv home("HOME", root_);  // the base roots: root_ and the volumes
  auto dev = OpenStarted();
  ASSERT_TRUE(dev);

  fs::create_directories(told + "/sub");
  dev->WatchFolders({bvtest::NativeToSystemC(told), bvtest::NativeToSystemC(notYet)});
  WriteFile(told + "/sub/a.txt", "a");
  EXPECT_EQ(TimesSeen(dev.get(), told + "/sub/a.txt"), 1u);

  // The told folder made, a volume mounted: both seen at the next look, at
  // least once a second.
  fs::create_directories(notYet);
  dirs_.push_back(notYet);
  WriteFile(table, "[C]\nRoot=/\nType=fixed\n[E]\nRoot=" + volume + "\nType=fixed\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  WriteFile(root_ + "/marker.txt", "m");
  ReadUntil(dev.get(), bvtest::NativeToSystemC(root_ + "/marker.txt"));
  WriteFile(notYet + "/n.txt", "n");
  EXPECT_EQ(TimesSeen(dev.get(), notYet + "/n.txt"), 1u);
  WriteFile(volume + "/on-e.txt", "e");
  const std::vector<std::string> seen = ReadUntil(dev.get(), "E:\\on-e.txt");
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "E:\\on-e.txt"), 1);

  dev->WatchFolders({});
  WriteFile(told + "/sub/b.txt", "b");
  WriteFile(root_ + "/marker2.txt", "m");
  EXPECT_EQ(Count(ReadUntil(dev.get(), bvtest::NativeToSystemC(root_ + "/marker2.txt")),
                  told + "/sub/b.txt"),
            0u);
}

TEST_F(ChangeDeviceTest, WatchLimitStopsAddingAndSaysSo) {
  fs::create_directories(root_ + "/a/b/c");
  setenv("BREVANTO_CHANGE_WATCH_LIMIT", "2", 1);
  testing::internal::CaptureStderr();
  auto dev = OpenStarted();
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(dev);
  EXPECT_NE(err.find("watch limit"), std::string::npos) << err;
  EXPECT_EQ(dev->TakeLostChanges(), plat::kChangesLostWatchLimit);
  EXPECT_EQ(dev->TakeLostChanges(), 0u);
  // The root keeps its watch.
  std::string top = root_ + "/top.txt";
  WriteFile(top, "t");
  EXPECT_EQ(TimesSeen(dev.get(), top), 1u);
}

// More writes than one read's buffer holds, and more than the kernel's event
// queue holds before the first read: whole records in every read, no path
// twice, the overflow said once on stderr, and writes after it reported.
TEST_F(ChangeDeviceTest, FloodBeyondReadBufferAndKernelQueue) {
  unsigned long queued = 16384;
  if (FILE* f = std::fopen("/proc/sys/fs/inotify/max_queued_events", "r")) {
    if (std::fscanf(f, "%lu", &queued) != 1) queued = 16384;
    std::fclose(f);
  }
  // Each new file is two events (created, closed after writing).
  const bool overflow = queued <= 100000;
  const size_t files = overflow ? queued / 2 + 1000 : 3000;
  auto dev = OpenStarted();
  ASSERT_TRUE(dev);
  const std::string folder = root_ + "/a folder with a rather long name to fill the buffer sooner";
  fs::create_directories(folder);
  // The folder's own watch comes with the first read; files go in afterwards.
  WriteFile(root_ + "/first.txt", "f");
  ReadUntil(dev.get(), bvtest::NativeToSystemC(root_ + "/first.txt"));
  for (size_t i = 0; i < files; ++i) WriteFile(folder + "/" + std::to_string(i) + ".txt", "x");

  testing::internal::CaptureStderr();
  std::vector<uint8_t> buf(65536);
  size_t got = 0;
  ASSERT_EQ(dev->Control(plat::kIoctlReadRecords, nullptr, 0, buf.data(), buf.size(), &got), 0u);
  const std::string err = testing::internal::GetCapturedStderr();
  std::vector<std::string> seen = Parse(buf.data(), got);
  size_t bytes = got;
  // The kernel queue was drained by that read: this write is not lost.
  const std::string after = folder + "/after.txt";
  WriteFile(after, "a");
  for (std::string& p : ReadUntil(dev.get(), bvtest::NativeToSystemC(after))) {
    bytes += 2 * plat::Utf8ToUtf16(p).size() + 4;
    seen.push_back(std::move(p));
  }
  EXPECT_GT(bytes, buf.size());
  std::vector<std::string> sorted = seen;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
  EXPECT_EQ(Count(seen, after), 1u);
  EXPECT_LE(seen.size(), files + 1);
  if (overflow) {
    EXPECT_NE(err.find("overflowed"), std::string::npos) << err;
    EXPECT_EQ(dev->TakeLostChanges(), plat::kChangesLostOverflow);
  } else {
    EXPECT_EQ(seen.size(), files + 1);
  }
}

// A folder the user may not read is left out; the device opens and the rest
// of the tree is reported. Runs in a child process that drops root (root
// reads every folder).
TEST_F(ChangeDeviceTest, UnreadableFolderIsSkipped) {
  bvtest::TempDir top;  // outside $HOME, which an unprivileged user cannot enter
  fs::permissions(top.Native(), fs::perms::all);
  fs::create_directories(top.NativeOf("locked/inner"));
  fs::create_directories(top.NativeOf("open"));
  fs::permissions(top.NativeOf("locked"), fs::perms::none);
  fs::permissions(top.NativeOf("open"), fs::perms::all);
  setenv("BREVANTO_CHANGE_ROOTS", top.Native().c_str(), 1);
  const std::string written = top.NativeOf("open/f.txt");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(60);  // a missing record ends the child instead of hanging the test
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
    uint32_t err = 0;
    auto dev = ChangeDevice::Open(kName, &err);
    if (!dev) _exit(11);
    size_t r = 0;
    if (dev->Control(plat::kIoctlStartReporting, nullptr, 0, nullptr, 0, &r) != 0) _exit(12);
    FILE* f = std::fopen(written.c_str(), "w");
    if (!f || std::fputs("x", f) < 0 || std::fclose(f) != 0) _exit(13);
    _exit(TimesSeen(dev.get(), written) == 1 ? 0 : 14);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  fs::permissions(top.NativeOf("locked"), fs::perms::owner_all);
}

// Runs step in a child process (this process's own writes are not reported
// under fanotify); true when it succeeded.
bool InChild(const std::function<bool()>& step) {
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) _exit(step() ? 0 : 1);
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool ChildWrites(const std::string& native, const std::string& text) {
  return InChild([&] {
    FILE* f = std::fopen(native.c_str(), "w");
    if (f) std::fputs(text.c_str(), f);
    return f && std::fclose(f) == 0;
  });
}

// The source the device picks by itself as root: another process's writes
// are reported, this process's own are not; a save that writes a hidden file
// and renames it over the original is reported under the original's name
// even when the temporary name was read first; files linked or moved in, and
// the files of a folder moved in, are reported under their new names; a
// folder the plans protect on a file system of no volume (tmpfs) is watched
// once told.
TEST_F(ChangeDeviceTest, FanotifyReportsFilesUnderTheirFinalNames) {
  if (geteuid() != 0) GTEST_SKIP() << "fanotify needs root";
  unsetenv("BREVANTO_CHANGE_ROOTS");
  // Descriptor events alone (file systems without handles) hear writes in
  // place only; then the group the device picks by itself.
  for (const char* forced : {"fanotify-fd", ""}) {
    setenv("BREVANTO_CHANGE_SOURCE", forced, 1);
    uint32_t err = 0;
    auto dev = ChangeDevice::Open(kName, &err);
    ASSERT_TRUE(dev);
    if (dev->Source() != ChangeSource::kFanotify) GTEST_SKIP() << "fanotify not usable here";
    ASSERT_EQ(Send(dev.get(), plat::kIoctlStartReporting), 0u);
    const std::string own = root_ + "/own.txt", child = root_ + "/child.txt";
    WriteFile(own, "o");
    ASSERT_TRUE(ChildWrites(child, forced));
    auto seen = ReadUntil(dev.get(), bvtest::NativeToSystemC(child));
    EXPECT_EQ(Count(seen, child), 1u) << forced;
    EXPECT_EQ(Count(seen, own), 0u) << forced;
  }
  const std::string table = root_ + "/volumes.ini";
  WriteFile(table, "[C]\nRoot=/\nType=fixed\n");
  setenv("BREVANTO_VOLUMES", table.c_str(), 1);
  uint32_t err = 0;
  auto dev = ChangeDevice::Open(kName, &err);
  ASSERT_TRUE(dev);
  ASSERT_EQ(Send(dev.get(), plat::kIoctlStartReporting), 0u);
  const std::string child = root_ + "/child.txt";
  std::vector<std::string> seen;

  // A file system mounted and named as a fixed volume: marked at the next
  // look (at least once a second).
  const std::string mnt = root_ + "/mnt";
  fs::create_directories(mnt);
  if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m") == 0) {
    WriteFile(table, "[C]\nRoot=/\nType=fixed\n[E]\nRoot=" + mnt + "\nType=fixed\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_TRUE(ChildWrites(child, "marker"));
    ReadUntil(dev.get(), bvtest::NativeToSystemC(child));
    ASSERT_TRUE(ChildWrites(mnt + "/v.txt", "v"));
    seen = ReadUntil(dev.get(), "E:\\v.txt");
    umount2(mnt.c_str(), MNT_DETACH);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "E:\\v.txt"), 1);
  } else {
    std::printf("no tmpfs mount here (errno %d): mounts not tried\n", errno);
  }

  const std::string doc = root_ + "/doc.txt", swp = root_ + "/.doc.txt.swp";
  ASSERT_TRUE(ChildWrites(doc, "old"));
  EXPECT_EQ(TimesSeen(dev.get(), doc), 1u);
  ASSERT_TRUE(ChildWrites(swp, "new"));
  EXPECT_EQ(TimesSeen(dev.get(), swp), 1u);
  ASSERT_TRUE(InChild([&] { return std::rename(swp.c_str(), doc.c_str()) == 0; }));
  EXPECT_EQ(TimesSeen(dev.get(), doc), 1u);

  const std::string linked = root_ + "/linked.txt";
  ASSERT_TRUE(InChild([&] { return link(doc.c_str(), linked.c_str()) == 0; }));
  EXPECT_EQ(TimesSeen(dev.get(), linked), 1u);

  const std::string outside = MakeHomeDir();
  fs::create_directories(outside + "/f/g");
  WriteFile(outside + "/f/g/deep.txt", "d");
  ASSERT_TRUE(InChild([&] {
    return std::rename((outside + "/f").c_str(), (root_ + "/moved folder").c_str()) == 0;
  }));
  EXPECT_EQ(TimesSeen(dev.get(), root_ + "/moved folder/g/deep.txt"), 1u);

  char tmpl[] = "/dev/shm/bv-cdev-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string shmDir = tmpl;
  dev->WatchFolders({bvtest::NativeToSystemC(shmDir)});
  ASSERT_TRUE(ChildWrites(shmDir + "/on-tmpfs.txt", "t"));
  seen = ReadUntil(dev.get(), bvtest::NativeToSystemC(shmDir + "/on-tmpfs.txt"));
  fs::remove_all(shmDir);
  EXPECT_EQ(Count(seen, shmDir + "/on-tmpfs.txt"), 1u);

  // A file written in a folder beyond the longest path cannot be named: the
  // device says so (the catch-up walk then finds it and reports it).
  while (dev->TakeLostChanges() != 0) {
  }
  const std::string level(200, 'd');
  ASSERT_TRUE(InChild([&] { return bvtest::MakeDeepTree(root_, level, 24, {{24, "deep.txt"}}); }));
  ASSERT_TRUE(ChildWrites(child, "after the deep one"));
  ReadUntil(dev.get(), bvtest::NativeToSystemC(child));
  EXPECT_EQ(dev->TakeLostChanges(), plat::kChangesBeyondLongestPath);
  const int rootFd = open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bvtest::RemoveDeepEntry(rootFd, level.c_str());
  close(rootFd);
}

}  // namespace
