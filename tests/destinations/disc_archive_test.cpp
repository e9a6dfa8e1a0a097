// Archiving a store to pseudo-drives, the images read back by xorriso; packing; verifying.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <utility>

#include "common/ActivityLog.h"
#include "destinations/disc/DiscEngine.h"
#include "disc_world.h"
#include "platform/volumes/Paths.h"

namespace {

using bvtest::Quote;
using bvtest::Shell;
using disc::CDiscBurn;

class DiscArchiveTest : public testing::Test {
 protected:
  bvtest::TempDir dir_;
  std::string Latest() const { return dir_.System() + "\\Store\\Latest"; }
  std::string Image(int n) const { return dir_.Native() + "/disc-" + std::to_string(n) + ".iso"; }
  std::string Drive() const { return dir_.Native() + "/drive.iso"; }
  std::string lastError_;

  std::vector<disc::NextDiscRefusal> refusals_;  // seen at each wait for a disc

  // Archives the store, moving each written disc aside when the next is asked for (first going
  // on with it still in, when sameDiscOnce); true when the worker failed (lastError_).
  bool Archive(uint64_t capacity, bool verify, bool sameDiscOnce = false,
               const std::function<void()>& afterCount = {}) {
    bvtest::ScopedEnv drives("BREVANTO_PSEUDO_DRIVES", Drive() + "=" + std::to_string(capacity));
    disc::RescanRecorders();
    disc::PendingList list;
    EXPECT_TRUE(disc::FillPendingList(Latest(), &list));
    if (afterCount) afterCount();
    CDiscBurn worker(list);
    worker.SetRecorder(disc::RecorderNames().back());
    worker.SetDiscName("Brevanto 7.12.26");
    worker.SetLatestFolder(Latest());
    worker.SetTotalBytes(list.TotalBytes());
    worker.SetVerify(verify);
    refusals_.clear();
    bvtest::RunWorker(worker, [&](uint32_t n) {
      refusals_.push_back(worker.Refusal());
      if (std::exchange(sameDiscOnce, false)) return true;
      return std::rename(Drive().c_str(), Image(n).c_str()) == 0;
    });
    std::rename(Drive().c_str(), Image(disc::Counters().discNumber.load()).c_str());
    lastError_ = worker.ErrorText();
    EXPECT_TRUE(list.Empty() || worker.Failed());
    return worker.Failed();
  }
};

TEST_F(DiscArchiveTest, StoreSpansDiscsAndReadsBackByteForByte) {
  CLogSet::Instance().SetLogFolder(dir_.System() + "\\log");
  // A few hundred files: non-ASCII, long and Joliet-hostile names, deep folders.
  std::map<std::string, std::string> store;
  const std::string deep = "C/home/ann/a/b/c/d/e/f/g/h/i/j/k";
  const std::string longName(200, 'n');
  for (int i = 0; i < 300; ++i) {
    std::string folder = i % 3 == 0   ? deep
                         : i % 3 == 1 ? "C/home/ann/Müller Bilder/März"
                                      : "D/Доклады";
    std::string name = i == 7   ? longName + ".txt"
                       : i == 8 ? "what? a:b.txt"
                                : "файл-" + std::to_string(i) + "-é.dat";
    std::string content(size_t(i) * 97 % 20000 + 1, char('a' + i % 26));
    store[folder + "/" + name] = content;
    dir_.Write("Store/Latest/" + folder + "/" + name, content);
  }
  // A link planted in the store is no backup: left out.
  std::filesystem::create_symlink("/etc/hostname", dir_.NativeOf("Store/Latest/D/planted"));
  // Continue with disc 1 still in the recorder: refused, disc 1 kept whole.
  ASSERT_FALSE(Archive(1 << 20, true, true)) << lastError_;
  ASSERT_GE(refusals_.size(), 2u);
  EXPECT_EQ(refusals_[0], disc::NextDiscRefusal::kNone);
  EXPECT_EQ(refusals_[1], disc::NextDiscRefusal::kJustWritten);
  // Every file on exactly one disc, each disc within its capacity, the labels kept.
  std::map<std::string, std::string> seen;
  int discs = 0;
  for (int n = 1; n <= int(disc::Counters().discNumber.load()); ++n, ++discs) {
    ASSERT_LE(bvtest::ReadNative(Image(n)).size(), size_t(1) << 20) << n;
    for (const auto& [path, data] : bvtest::ImageContents(Image(n), dir_.Native()))
      EXPECT_TRUE(seen.emplace(path, data).second) << path << " twice";
    std::string pvd = Shell("xorriso -indev " + Quote(Image(n)) + " -pvd_info");
    EXPECT_NE(pvd.find("Brevanto 7.12.26"), std::string::npos) << pvd;
  }
  EXPECT_GE(discs, 2);
  EXPECT_EQ(seen, store);
  EXPECT_EQ(disc::Counters().FilesPlaced(), store.size());
  EXPECT_EQ(disc::Counters().writtenBytes.load(), disc::Counters().totalBytes.load());
  // The names Joliet cannot carry are said in the log, whole.
  std::string log = bvtest::ReadNative(dir_.Native() + "/log/" +
                                       plat::PathName(CLogSet::Instance().CurrentFile()));
  EXPECT_NE(log.find("Disc Archive Name Mapped"), std::string::npos);
  EXPECT_NE(log.find("what? a:b.txt"), std::string::npos);
  EXPECT_NE(log.find(longName), std::string::npos);
}

// Sizes of the packing rules scaled down 64 times (650 MiB discs of 10.16 MiB).
TEST_F(DiscArchiveTest, PackingKeepsListOrderAndSkipsWhatNeverFits) {
  constexpr uint64_t kCd = 681574400 / 64, kDvd = 5046586572 / 64, kMiB = (1 << 20) / 64;
  struct Case {
    const char* what;
    uint64_t capacity;
    std::vector<uint64_t> sizes;               // files f0, f1, ... in list order
    std::vector<std::set<std::string>> discs;  // what each disc holds
    int grows = -1;                            // this file grows to 500 MiB once counted
  } cases[] = {
      {"f1 grew", kCd, {300 * kMiB, 300 * kMiB, 100 * kMiB}, {{"/f0"}, {"/f1", "/f2"}}, 1},
      {"300+300+100 MiB", kCd, {300 * kMiB, 300 * kMiB, 100 * kMiB}, {{"/f0", "/f1"}, {"/f2"}}},
      {"exactly the capacity", kCd, {kCd, 10 * kMiB}, {{"/f1"}}},
      {"700 MiB on a CD", kCd, {700 * kMiB, 10 * kMiB}, {{"/f1"}}},
      {"700 MiB on a DVD", kDvd, {700 * kMiB, 10 * kMiB}, {{"/f0", "/f1"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Shell("rm -rf " + Quote(dir_.Native()) + "/Store " + Quote(dir_.Native()) + "/disc-*.iso");
    for (size_t i = 0; i < c.sizes.size(); ++i)
      dir_.Write("Store/Latest/f" + std::to_string(i), std::string(c.sizes[i], 'x'));
    EXPECT_FALSE(Archive(c.capacity, false, false, [&] {
      if (c.grows >= 0)
        dir_.Write("Store/Latest/f" + std::to_string(c.grows), std::string(500 * kMiB, 'y'));
    })) << lastError_;
    ASSERT_EQ(disc::Counters().discNumber.load(), c.discs.size());
    for (size_t n = 0; n < c.discs.size(); ++n)
      EXPECT_EQ(bvtest::ImageFiles(Image(int(n) + 1)), c.discs[n]) << "disc " << n + 1;
    EXPECT_EQ(disc::Counters().FilesPlaced(), c.sizes.size());
    disc::PendingList counted;  // what the settings window says is needed
    ASSERT_TRUE(disc::FillPendingList(Latest(), &counted));
    EXPECT_EQ(disc::DiscsNeededFor(counted, c.capacity), c.discs.size());
  }
  // A disc too small for its own file system says so.
  EXPECT_TRUE(Archive(100 * 1024, false));
  EXPECT_NE(lastError_.find("too small"), std::string::npos) << lastError_;
}

// Verifying reads the disc back: a block changed after writing is found.
// Joliet names are chosen per folder; the label is cut between characters.
TEST_F(DiscArchiveTest, VerifyFindsAChangedBlock) {
  dir_.Write("a.txt", std::string(100000, 'a'));
  bvtest::ScopedEnv drives("BREVANTO_PSEUDO_DRIVES", Drive() + "=2M");
  disc::RescanRecorders();
  std::string error;
  ASSERT_EQ(disc::Initialise(&error), 0) << error;
  disc::Device* device = disc::OpenDevice(disc::RecorderNames().back(), &error);
  ASSERT_NE(device, nullptr) << error;
  disc::Image* image = disc::CreateImage(&error);
  // Joliet names legal and unique per folder regardless of case; Rock Ridge keeps every name.
  const std::set<std::string> rockRidge = {"/a.txt",          "/Report.txt",   "/report.txt",
                                           "/a<b>|\"c\".txt", "/Q: x|y/f.txt", "/Docs/f.txt",
                                           "/docs/f.txt"};
  for (const std::string& path : rockRidge) {
    disc::Node parent = disc::RootNode(image);
    std::string name = path.substr(1);
    if (size_t slash = name.find('/'); slash != std::string::npos) {
      ASSERT_EQ(disc::AddFolder(image, parent, name.substr(0, slash), &parent, &error), 0);
      name = name.substr(slash + 1);
    }
    ASSERT_EQ(disc::AddFile(image, parent, name, dir_.SystemOf("a.txt"), &error), 0) << path;
  }
  // A label of 16 characters of 3 bytes each: cut between characters.
  ASSERT_EQ(disc::FinishImage(image, "写真写真写真写真写真写真写真写真", "P", "A", &error), 0)
      << error;
  ASSERT_EQ(disc::WriteImage(device, image, disc::kModeSao, {}, &error), 0) << error;
  EXPECT_EQ(disc::Verify(device, image, {}, &error), 0) << error;
  EXPECT_EQ(bvtest::ImageFiles(Drive()), rockRidge);
  EXPECT_EQ(bvtest::ImageFiles(Drive(), true),
            (std::set<std::string>{"/a.txt", "/Report.txt", "/report (2).txt", "/a_b___c_.txt",
                                   "/Q_ x_y/f.txt", "/Docs/f.txt", "/docs (2)/f.txt"}));
  EXPECT_EQ(disc::JolietRenames(image),
            (std::vector<std::pair<std::string, std::string>>{{"Q: x|y", "Q_ x_y"},
                                                              {"a<b>|\"c\".txt", "a_b___c_.txt"},
                                                              {"docs", "docs (2)"},
                                                              {"report.txt", "report (2).txt"}}));
  EXPECT_LT(disc::ImageSize(image), 200000u);  // the data of a.txt once
  std::string label = bvtest::ReadNative(Drive()).substr(16 * 2048 + 40, 32);
  label.erase(label.find_last_not_of(' ') + 1);
  EXPECT_EQ(label, "写真写真写真写真写真");
  std::string bytes = bvtest::ReadNative(Drive());
  size_t at = bytes.find(std::string(64, 'a'));
  ASSERT_NE(at, std::string::npos);
  bytes[at] = 'b';
  bvtest::WriteNative(Drive(), bytes);
  EXPECT_EQ(disc::Verify(device, image, {}, &error), disc::kDiscMismatch) << error;
  disc::ReleaseImage(image);
  disc::ReleaseDevice(device);
  disc::Shutdown();
}

// A partial image (the process killed, or stopped) goes at the next start or the stop; never a
// file that is not it.
TEST_F(DiscArchiveTest, PartialImageGoesButNeverAFileThatIsNotIt) {
  bvtest::ScopedEnv data("BREVANTO_DATA_DIR", dir_.NativeOf("data"));
  bvtest::ScopedEnv drives("BREVANTO_PSEUDO_DRIVES", Drive() + "=8M");
  dir_.Write("big.bin", std::string(6 << 20, 'b'));
  CLogSet::Instance().SetLogFolder(dir_.SystemOf("log"));
  // Writes an image of big.bin, discarding an unfinished one as the worker does (removed).
  bool removed = false;
  auto write = [&](const disc::Progress& progress, int kbs) {
    disc::RescanRecorders();
    std::string error;
    if (disc::Initialise(&error) != 0) return -1;
    disc::Device* device = disc::OpenDevice(disc::RecorderNames().back(), &error);
    disc::SetSpeeds(device, 0, kbs, &error);
    disc::Image* image = disc::CreateImage(&error);
    disc::AddFile(image, disc::RootNode(image), "big.bin", dir_.SystemOf("big.bin"), &error);
    disc::SetImageChecksum(image, false);
    disc::FinishImage(image, "Killed", "P", "A", &error);
    const int r = disc::WriteImage(device, image, disc::kModeSao, progress, &error);
    removed = r != 0 && disc::DiscardUnfinishedImage(device);
    disc::ReleaseImage(image);
    disc::ReleaseDevice(device);
    disc::Shutdown();
    return r;
  };
  ASSERT_EQ(write({}, 0), 0);
  ASSERT_EQ(std::rename(Drive().c_str(), Image(0).c_str()), 0);
  auto over = [&] { bvtest::WriteNative(Drive(), "my thesis"); };
  auto copy = [&] { Shell("cp " + Quote(Image(0)) + " " + Quote(Drive())); };
  auto aside = [&] {
    std::rename(Drive().c_str(), (Drive() + ".aside").c_str());
    bvtest::WriteNative(Drive(), "my thesis");
  };
  const struct {
    const char* what;
    bool killed;  // else stopped
    int kbs;      // killed at 1 MB/s: at full speed a loaded machine may finish before it is asked
    std::function<void()> then;  // the user's doing once the first blocks are out
  } rows[] = {{"killed", true, 1024, {}},
              {"killed, a file written over it", true, 1024, over},
              {"killed, an earlier image copied over it", true, 1024, copy},
              {"stopped at 1 kB/s", false, 1, {}},
              {"stopped, moved aside, a file under its name", false, 0, aside},
              {"stopped, a file written over it", false, 0, over}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::string left;  // the file under the image's name when the write ended
    if (row.killed) {
      EXPECT_EXIT(write(
                      [](uint64_t done, uint64_t) {
                        if (done > 0) raise(SIGKILL);
                        return true;
                      },
                      row.kbs),
                  testing::KilledBySignal(SIGKILL), "");
      ASSERT_TRUE(std::filesystem::exists(Drive()));
      if (row.then) row.then();
      left = bvtest::ReadNative(Drive());
      EXPECT_EQ(disc::SweepPartialImages(), row.then ? 0u : 1u);
    } else {
      const auto start = std::chrono::steady_clock::now();
      std::chrono::steady_clock::time_point stop{};
      EXPECT_EQ(write(
                    [&](uint64_t done, uint64_t) {
                      if (done == 0 &&
                          std::chrono::steady_clock::now() - start < std::chrono::milliseconds(300))
                        return true;
                      if (stop == std::chrono::steady_clock::time_point{}) {
                        if (row.then) row.then();
                        stop = std::chrono::steady_clock::now();
                      }
                      return false;
                    },
                    row.kbs),
                disc::kDiscCancelled);
      // A stop is obeyed within about a second whatever the speed.
      EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::seconds(2));
      if (std::filesystem::exists(Drive())) left = bvtest::ReadNative(Drive());
      EXPECT_EQ(removed, !row.then);
      EXPECT_EQ(disc::SweepPartialImages(), 0u);  // the note went with the stop
    }
    // Only the partial image goes; whatever else bears its name stays as it is.
    EXPECT_EQ(std::filesystem::exists(Drive()), bool(row.then));
    if (row.then) {
      EXPECT_TRUE(bvtest::ReadNative(Drive()) == left);
    }
    const std::string log = bvtest::ReadNative(dir_.NativeOf("log/") +
                                               plat::PathName(CLogSet::Instance().CurrentFile()));
    const size_t last = log.rfind("#Disc Archive Partial Image ");
    ASSERT_NE(last, std::string::npos) << log;
    const std::string title = row.then ? "Kept\r" : "Removed\r";
    EXPECT_EQ(log.substr(last + 28, title.size()), title) << log.substr(last);
    EXPECT_NE(log.find("Image File = " + Drive(), last), std::string::npos) << log.substr(last);
    std::filesystem::remove(Drive());
    std::filesystem::remove(Drive() + ".aside");
  }
  EXPECT_EQ(disc::SweepPartialImages(), 0u);  // every note went with its first look
  // A link planted where the image goes: nothing is written through it.
  bvtest::WriteNative(dir_.NativeOf("victim.txt"), "my thesis");
  ASSERT_EQ(symlink(dir_.NativeOf("victim.txt").c_str(), Drive().c_str()), 0);
  EXPECT_EQ(write({}, 0), disc::kDiscFailed);
  EXPECT_TRUE(bvtest::ReadNative(dir_.NativeOf("victim.txt")) == "my thesis");
  std::filesystem::remove(Drive());
}

}  // namespace
