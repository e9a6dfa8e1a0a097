// The real program killed (SIGKILL) again and again while its first backup
// copies 2,000 files, then left to finish: every source ends up in the
// store's "Latest" tree with equal bytes, no file under its final name is
// ever short, and the plan's journal reopens valid with at most one record
// per path. The kill times are random from a seed printed by the test;
// BV_CRASHKILL_SEED replays a run.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <QApplication>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "history/CLoggingDatabase.h"
#include "history/LogRecord.h"
#include "support/DataFolder.h"
#include "support/QtApp.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFileCount = 2000;
constexpr int kKills = 20;
constexpr uint32_t kDefaultSeed = 20261206;

// The test program's other tests need a QApplication: one for all.
using bvtest::App;

uint32_t SeedFromEnvironment() {
  const char* text = getenv("BV_CRASHKILL_SEED");
  if (text == nullptr || *text == '\0') return kDefaultSeed;
  return static_cast<uint32_t>(strtoul(text, nullptr, 10));
}

struct SourceFile {
  std::string rel;  // below the source folder, '/' separated
  std::string bytes;
};

bool IsTempName(const std::string& name) { return name.rfind(".~bvtmp-", 0) == 0; }

class CrashKillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    ASSERT_FALSE(source_.Native().empty()) << "cannot make a folder under $HOME";
  }

  void TearDown() override {
    for (auto& p : processes_) {
      if (p->state() != QProcess::NotRunning) {
        p->kill();
        p->waitForFinished(10000);
      }
    }
  }

  // 2,000 files of 1 byte to 64 KiB in a few nested folders; some names
  // have blanks and letters beyond ASCII.
  void MakeSources(std::mt19937* random) {
    const std::vector<std::string> folders = {"src",
                                              "src/docs",
                                              "src/docs/2024",
                                              "src/docs/2024/Q1",
                                              "src/media",
                                              "src/Mit Leerzeichen",
                                              "src/Ünïcode Ördner/ñ",
                                              "src/a/b/c/d/e"};
    std::uniform_int_distribution<int> size(1, 64 * 1024);
    std::uniform_int_distribution<size_t> folder(0, folders.size() - 1);
    std::uniform_int_distribution<int> byte(0, 255);
    files_.reserve(kFileCount);
    for (int i = 0; i < kFileCount; ++i) {
      char name[64];
      if (i % 50 == 7) {
        std::snprintf(name, sizeof name, "file with blanks %d.txt", i);
      } else if (i % 50 == 13) {
        std::snprintf(name, sizeof name, "Grüße ñandú %d.dat", i);
      } else {
        std::snprintf(name, sizeof name, "f%04d.bin", i);
      }
      SourceFile f{folders[folder(*random)] + "/" + name, std::string(size(*random), '\0')};
      for (char& c : f.bytes) c = static_cast<char>(byte(*random));
      bvtest::WriteNative(SourceNative(f.rel), f.bytes);
      files_.push_back(std::move(f));
    }
  }

  std::string SourceNative(const std::string& rel) const { return source_.Native() + "/" + rel; }
  std::string LatestRoot() const { return data_.Volume('E') + "/Store/Latest/C"; }
  std::string LatestNative(const std::string& rel) const {
    return LatestRoot() + source_.Native() + "/" + rel;
  }
  std::string Data(const std::string& rel) const { return data_.Data(rel); }

  // A continuous plan whose first backup has not been done: loading it
  // starts the first backup.
  void WritePlan() {
    bvtest::PlanFiles plan;
    plan.name = "Crash Kill";
    plan.storePath = "E:\\Store\\";
    plan.sources = {bvtest::NativeToSystemC(source_.Native()) + "\\src"};
    data_.WritePlan(plan);
    data_.WritePlanList({1});
  }

  // Back to a plan that never ran: no store, no journal, no settings.
  void ResetDataAndStore() {
    data_.Clear();
    WritePlan();
  }

  QProcess* Start() {
    auto p = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto& [key, value] : data_.Environment(false)) {
      if (value.empty()) {
        env.remove(QString::fromStdString(key));
      } else {
        env.insert(QString::fromStdString(key), QString::fromStdString(value));
      }
    }
    p->setProcessEnvironment(env);
    p->setStandardOutputFile(QProcess::nullDevice());
    p->setStandardErrorFile(QString::fromStdString(data_.StderrLog()), QIODevice::Append);
    p->start(QStringLiteral(BV_EXE_PATH), {"-s"});
    EXPECT_TRUE(p->waitForStarted(10000));
    processes_.push_back(std::move(p));
    return processes_.back().get();
  }

  // Kills the program; false (with a failure) when it had already ended.
  bool Kill(QProcess* p, const std::string& when) {
    const bool running = p->state() == QProcess::Running;
    EXPECT_TRUE(running) << "the program ended by itself " << when << " (exit status "
                         << p->exitStatus() << ", code " << p->exitCode() << "); stderr:\n"
                         << bvtest::ReadNative(data_.StderrLog());
    p->kill();  // SIGKILL
    EXPECT_TRUE(p->waitForFinished(10000));
    return running;
  }

  // Moves every file whose latest copy now has the source's bytes from
  // pending to done. A copy under its final name with other bytes is a
  // truncated or damaged file: reported once, at the moment it is seen.
  void Collect(std::vector<size_t>* pending, const std::string& when) {
    std::vector<size_t> still;
    for (size_t i : *pending) {
      const std::string copy = LatestNative(files_[i].rel);
      std::error_code ec;
      const uint64_t size = fs::file_size(copy, ec);
      if (ec) {
        still.push_back(i);
        continue;
      }
      const std::string bytes = bvtest::ReadNative(copy);
      if (bytes == files_[i].bytes) continue;
      if (reported_.insert(i).second) {
        ADD_FAILURE() << "final copy differs from its source " << when << ": " << copy << " has "
                      << size << " bytes, source " << files_[i].bytes.size();
      }
      still.push_back(i);
    }
    pending->swap(still);
  }

  std::vector<size_t> AllFiles() const {
    std::vector<size_t> all(files_.size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = i;
    return all;
  }

  // A plan file written after the first backup has no "InitDone=0" line.
  bool InitDone() {
    const std::string plan = bvtest::ReadNative(Data("PLAN/1/Plan.ini"));
    return plan.find("Name=") != std::string::npos && plan.find("InitDone=0") == std::string::npos;
  }

  bvtest::TempDir dir_;
  bvtest::DataFolder data_{dir_.Native()};
  // Under $HOME: the built-in exclusions leave the temporary folders out.
  bvtest::TempDir source_{bvtest::TempDir::Where::kHome};
  std::vector<SourceFile> files_;
  std::set<size_t> reported_;
  std::vector<std::unique_ptr<QProcess>> processes_;
};

TEST_F(CrashKillTest, KilledFirstBackupsResumeIntoCompleteCopiesAndAValidJournal) {
  const uint32_t seed = SeedFromEnvironment();
  std::printf("crash-kill seed %u (set BV_CRASHKILL_SEED to replay)\n", seed);
  std::mt19937 random(seed);
  MakeSources(&random);
  ASSERT_EQ(files_.size(), static_cast<size_t>(kFileCount));

  // One uninterrupted first backup gives the span the kills are spread over.
  ResetDataAndStore();
  using Clock = std::chrono::steady_clock;
  const auto begin = Clock::now();
  QProcess* measured = Start();
  std::vector<size_t> pending = AllFiles();
  const auto limit = begin + std::chrono::seconds(120);
  auto elapsedMs = [&begin] {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count());
  };
  int firstCopyMs = -1;
  while (!pending.empty() && Clock::now() < limit) {
    Collect(&pending, "in the uninterrupted run");
    if (firstCopyMs < 0 && pending.size() < files_.size()) firstCopyMs = elapsedMs();
    if (!pending.empty()) QThread::msleep(20);
  }
  ASSERT_TRUE(pending.empty()) << pending.size() << " files not copied in 120 s";
  const int fullMs = elapsedMs();
  std::printf("uninterrupted first backup: first copy after %d ms, all after %d ms\n", firstCopyMs,
              fullMs);
  Kill(measured, "in the uninterrupted run");

  // The same first backup again, killed 20 times at random moments within
  // the time a whole first backup takes (a restarted run walks the copied
  // files again, so it takes about as long). Every other kill falls while
  // files are being copied rather than in the start-up and the wait before
  // the first run.
  ResetDataAndStore();
  pending = AllFiles();
  // Capped, so a slow machine (a long uninterrupted run) does not stretch
  // the twenty kills past the test's time limit; later kills still fall
  // while copies are being made.
  const int span = std::clamp(fullMs, 60, 8000);
  for (int k = 0; k < kKills; ++k) {
    const int from = k % 2 == 0 ? 50 : std::clamp(firstCopyMs, 50, span);
    const int ms = std::uniform_int_distribution<int>(from, span)(random);
    QProcess* p = Start();
    QThread::msleep(ms);
    const std::string when =
        "at kill " + std::to_string(k + 1) + " (" + std::to_string(ms) + " ms)";
    Kill(p, when);
    Collect(&pending, when);
    std::printf("kill %2d after %5d ms: %4zu of %d copied\n", k + 1, ms,
                files_.size() - pending.size(), kFileCount);
  }
  std::printf("first backup done before the final run: %s\n", InitDone() ? "yes" : "no");

  // One run to the end: every copy, then the walk's end marks the plan done.
  QProcess* last = Start();
  const auto lastLimit = Clock::now() + std::chrono::seconds(120);
  while (!pending.empty() && Clock::now() < lastLimit) {
    Collect(&pending, "in the final run");
    if (!pending.empty()) QThread::msleep(100);
  }
  for (size_t i : pending) ADD_FAILURE() << "no equal copy after the final run: " << files_[i].rel;
  while (!InitDone() && Clock::now() < lastLimit) QThread::msleep(100);
  EXPECT_TRUE(InitDone()) << "the final first backup did not finish; plan file:\n"
                          << bvtest::ReadNative(Data("PLAN/1/Plan.ini"));
  Kill(last, "in the final run");

  // Everything under a final name in Latest is a complete copy of a source;
  // the copy's temporary files from killed runs may remain.
  std::map<std::string, size_t> byLatest;
  for (size_t i = 0; i < files_.size(); ++i) byLatest[LatestNative(files_[i].rel)] = i;
  std::vector<std::string> temps;
  size_t finals = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(LatestRoot(), ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    const std::string path = it->path().string();
    if (IsTempName(it->path().filename().string())) {
      temps.push_back(path);
      continue;
    }
    ++finals;
    auto found = byLatest.find(path);
    if (found == byLatest.end()) {
      ADD_FAILURE() << "a file in Latest that no source explains: " << path;
    } else {
      EXPECT_EQ(bvtest::ReadNative(path), files_[found->second].bytes)
          << "truncated or damaged: " << path;
    }
  }
  EXPECT_FALSE(ec) << ec.message();
  EXPECT_EQ(finals, files_.size());
  std::printf("temporary copy files left in the store: %zu\n", temps.size());
  for (const std::string& t : temps) {
    std::printf("  %s (%ju bytes)\n", t.c_str(), static_cast<uintmax_t>(fs::file_size(t, ec)));
  }

  // The journal reopens and walks from the first record to the end of the
  // file; no path has two records, and every path is one of the sources.
  std::set<std::string> sourcePaths;
  for (const auto& f : files_) {
    std::string path = bvtest::NativeToSystemC(SourceNative(f.rel));
    for (char& c : path)
      if (c == '/') c = '\\';
    sourcePaths.insert(path);
  }
  const std::string journal = Data("PLAN/1/Logging.dat");
  ASSERT_TRUE(fs::exists(journal));
  const uint64_t rawSize = fs::file_size(journal);
  CLoggingDatabase db;
  ASSERT_EQ(db.Open(bvtest::NativeToSystemC(Data("PLAN/1")) + "\\", 1), CLoggingDatabase::kOk);
  ASSERT_EQ(db.LoadIndex(), CLoggingDatabase::kOk);
  std::set<std::string> seen;
  size_t copied = 0;
  uint64_t offset = 0;
  uint64_t end = CLoggingDatabase::kHeaderSize;
  for (;;) {
    LogRecord record;
    uint64_t next = 1;
    bool found = true;
    ASSERT_EQ(db.ReadRecord(offset, &record, &next, &found), CLoggingDatabase::kOk)
        << "at offset " << offset;
    if (!found) {
      EXPECT_EQ(next, 0u);
      break;
    }
    ASSERT_GT(next, end) << "the walk does not move on at offset " << offset;
    end = next;
    offset = next;
    const std::string path = record.PathUtf8();
    EXPECT_TRUE(seen.insert(path).second) << "two records for " << path;
    EXPECT_TRUE(sourcePaths.count(path) == 1) << "a record for no source: " << path;
    if (record.state == kLogCopied) ++copied;
  }
  db.Close();
  EXPECT_EQ(end, fs::file_size(journal)) << "the walk stopped before the end of the file";
  EXPECT_LE(seen.size(), files_.size());
  std::printf("journal: %zu records (%zu copied), %ju bytes as left, %ju after reopening\n",
              seen.size(), copied, static_cast<uintmax_t>(rawSize),
              static_cast<uintmax_t>(fs::file_size(journal)));
}

}  // namespace
