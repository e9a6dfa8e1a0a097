// The real program killed (SIGKILL) again and again while its first backup
// copies 1,000 files, then left to finish: every source ends up in the
// store's "Latest" tree with equal bytes, no file under its final name is
// ever short, and the plan's journal reopens valid with at most one record
// per path. Every other kill falls at a random moment of the start-up and
// the walk, the others once a random number of further copies have been
// made, so kills land among the copies however fast the machine is. The
// random choices come from a seed printed by the test; BV_CRASHKILL_SEED
// replays a run.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "history/LogRecord.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFileCount = 1000;
constexpr int kKills = 20;

TEST(CrashKillTest, KilledFirstBackupsResumeIntoCompleteCopiesAndAValidJournal) {
  const char* seedText = getenv("BV_CRASHKILL_SEED");
  const uint32_t seed = seedText && *seedText ? uint32_t(strtoul(seedText, nullptr, 10)) : 20261206;
  std::printf("crash-kill seed %u (set BV_CRASHKILL_SEED to replay)\n", seed);
  std::mt19937 random(seed);
  bvtest::ProgramWorld w;
  ASSERT_TRUE(w.Ok());

  // Files of 1 byte to 64 KiB in a few nested folders; some names have
  // blanks and letters beyond ASCII.
  const std::vector<std::string> folders = {"src",
                                            "src/docs/2024/Q1",
                                            "src/media",
                                            "src/Mit Leerzeichen",
                                            "src/Ünïcode Ördner/ñ",
                                            "src/a/b/c/d/e"};
  std::map<std::string, std::string> files;  // rel -> bytes
  for (int i = 0; i < kFileCount; ++i) {
    const std::string name = i % 50 == 7    ? "file with blanks " + std::to_string(i) + ".txt"
                             : i % 50 == 13 ? "Grüße ñandú " + std::to_string(i) + ".dat"
                                            : "f" + std::to_string(i) + ".bin";
    std::string bytes(std::uniform_int_distribution<int>(1, 64 * 1024)(random), '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    const std::string rel = folders[random() % folders.size()] + "/" + name;
    w.Put(rel, bytes);
    files[rel] = bytes;
  }
  w.Plan(1, "Crash Kill", "E:\\Store\\", {"src"}, false);
  w.data.WritePlanList({1});

  // Moves every file whose latest copy has the source's bytes from pending to
  // done. A copy under its final name with other bytes is a truncated or
  // damaged file: reported once, when it is seen.
  std::set<std::string> pending, reported;
  for (const auto& f : files) pending.insert(f.first);
  auto collect = [&](const std::string& when) {
    for (auto it = pending.begin(); it != pending.end();) {
      const std::string copy = w.InStore(*it);
      if (!fs::exists(copy)) {
        ++it;
        continue;
      }
      const std::string bytes = bvtest::ReadNative(copy);
      if (bytes == files[*it]) {
        it = pending.erase(it);
        continue;
      }
      if (reported.insert(*it).second)
        ADD_FAILURE() << "final copy differs from its source " << when << ": " << copy << " has "
                      << bytes.size() << " bytes, source " << files[*it].size();
      ++it;
    }
  };
  auto kill = [&](QProcess* p, const std::string& when) {
    EXPECT_EQ(p->state(), QProcess::Running) << "the program ended by itself " << when << "\n"
                                             << w.Stderr();
    bvtest::ProgramWorld::Kill(p);
  };

  for (int k = 0; k < kKills && !pending.empty(); ++k) {
    QProcess* p = w.Start({}, {"-s"}, false, false);
    ASSERT_NE(p, nullptr);
    const std::string when = "at kill " + std::to_string(k + 1);
    if (k % 2 == 0) {
      QThread::msleep(std::uniform_int_distribution<int>(50, 1500)(random));
    } else {
      // A random share of what is left, so the kills spread over the walk.
      const size_t more = 1 + random() % std::max<size_t>(1, pending.size() / (kKills - k));
      const size_t target = pending.size() > more ? pending.size() - more : 0;
      bvtest::WaitFor(
          [&] {
            collect(when);
            return pending.size() <= target;
          },
          120);
    }
    kill(p, when);
    collect(when);
    std::printf("kill %2d: %4zu of %d copied\n", k + 1, kFileCount - pending.size(), kFileCount);
  }

  // One run to the end: every copy, then the walk's end marks the plan done.
  QProcess* last = w.Start({}, {"-s"}, false, false);
  EXPECT_TRUE(bvtest::WaitFor(
      [&] {
        collect("in the final run");
        return pending.empty() && w.FirstBackupDone();
      },
      600))
      << "the final first backup did not finish; plan file:\n"
      << w.PlanIni();
  for (const std::string& rel : pending)
    ADD_FAILURE() << "no equal copy after the final run: " << rel;
  kill(last, "in the final run");

  // Everything under a final name in Latest is a complete copy of a source;
  // the copy's temporary files from killed runs may remain.
  std::map<std::string, std::string> byLatest;
  for (const auto& [rel, bytes] : files) byLatest[w.InStore(rel)] = bytes;
  size_t finals = 0, temps = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(w.InStore("src"), ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    if (it->path().filename().string().rfind(".~bvtmp-", 0) == 0) {
      ++temps;
      continue;
    }
    ++finals;
    auto found = byLatest.find(it->path().string());
    if (found == byLatest.end())
      ADD_FAILURE() << "a file in Latest that no source explains: " << it->path();
    else
      EXPECT_EQ(bvtest::ReadNative(it->path()), found->second) << "damaged: " << it->path();
  }
  EXPECT_FALSE(ec) << ec.message();
  EXPECT_EQ(finals, files.size());
  std::printf("temporary copy files left in the store: %zu\n", temps);

  // The journal reopens and walks from the first record to the end of the
  // file; no path has two records, and every path is one of the sources.
  std::set<std::string> sources;
  for (const auto& f : files) sources.insert(w.HomeSys(f.first));
  const std::string journal = w.data.Data("PLAN/1/Logging.dat");
  CLoggingDatabase db;
  ASSERT_EQ(db.Open(bvtest::NativeToSystemC(w.data.Data("PLAN/1")) + "\\", 1),
            CLoggingDatabase::kOk);
  ASSERT_EQ(db.LoadIndex(), CLoggingDatabase::kOk);
  std::set<std::string> seen;
  uint64_t offset = 0, end = CLoggingDatabase::kHeaderSize;
  for (;;) {
    LogRecord record;
    uint64_t next = 1;
    bool found = true;
    ASSERT_EQ(db.ReadRecord(offset, &record, &next, &found), CLoggingDatabase::kOk) << offset;
    if (!found) {
      EXPECT_EQ(next, 0u);
      break;
    }
    ASSERT_GT(next, end) << "the walk does not move on at offset " << offset;
    end = offset = next;
    const std::string path = record.PathUtf8();
    EXPECT_TRUE(seen.insert(path).second) << "two records for " << path;
    EXPECT_EQ(sources.count(path), 1u) << "a record for no source: " << path;
  }
  db.Close();
  EXPECT_EQ(end, fs::file_size(journal)) << "the walk stopped before the end of the file";
  EXPECT_LE(seen.size(), files.size());
}

}  // namespace
