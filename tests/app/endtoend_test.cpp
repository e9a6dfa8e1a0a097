// First backups of the real program: odd names, damaged data and ends during a backup.
#include <cstdio>
#include <fstream>
#include <random>

#include "ProgramRun.h"
#include "support/DeepTree.h"

namespace {

// A silent start backs up hidden; names the store cannot hold are logged once each.
TEST(EndToEndTest, SilentStartsFirstBackupAndNamesTheStoreCannotHold) {
  bvtest::ProgramWorld w("EF");
  bvtest::WriteNative(w.data.Data("InternalSettings.ini"), "[General]\nRunOnce=0\n");
  w.Plan(2, "", "F:\\Store\\", {"src"}, false);
  std::string binary(300 * 1024, '\0');
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7919 >> 3);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"src/a.txt", "alpha\r\nsecond line\n"},
      {"src/sub/b.bin", binary},
      {"src/sub/deeper/Ünïcode name (1).txt", "odd name"},
      {"src/empty.txt", ""}};
  for (const auto& [rel, bytes] : files) w.Put(rel, bytes);
  w.Put("src/.hidden.txt", "hidden files are not walked");
  w.Put("src/a\\b.txt", "backslash");
  w.Put("src/\xff\xfe.txt", "not utf-8");
  // Plan 3's catch-up walk at start meets a tree deeper than 4,096 bytes.
  const std::string name(240, 'n');
  fs::create_directories(w.Home("deep"));
  ASSERT_TRUE(bvtest::MakeDeepTree(w.Home("deep"), name, 18, {{2, "near.txt"}, {18, "far.txt"}}));
  struct Cleanup {
    ~Cleanup() { bvtest::RemoveDeepTree(root, name); }
    std::string root, name;
  } cleanup{w.Home("deep"), name};
  w.Plan(1, "E2E Documents", "E:\\Store\\", {"src"}, false);
  w.Plan(3, "Deep", "E:\\Deep\\", {"deep"});
  w.data.WritePlanList({1, 2, 3});
  // A disc image a killed archiving run noted and left part-written goes at the start (which
  // noted files stay, the disc tests tell).
  w.Put("left.iso", std::string(8192, '\0'));
  struct stat st {};
  ASSERT_EQ(stat(w.Home("left.iso").c_str(), &st), 0);
  const std::string dev = std::to_string(st.st_dev), inode = std::to_string(st.st_ino);
  bvtest::WriteNative(w.data.Data("PartialImages.ini"),
                      "[" + dev + "-" + inode + "]\nPath=" + w.HomeSys("left.iso") +
                          "\nDevice=" + dev + "\nInode=" + inode +
                          "\nImage Size=65536\nCreated=2026120805401183\n");

  QProcess* program = w.Start();
  EXPECT_TRUE(WaitFor([&] { return !fs::exists(w.Home("left.iso")); })) << w.Log();
  EXPECT_TRUE(w.TraceHas("hidden"));
  EXPECT_FALSE(w.TraceHas("shown"));
  for (const auto& [rel, bytes] : files)
    ASSERT_TRUE(WaitFor([&] { return Holds(w.InStore(rel), bytes); }, 120)) << rel;
  // The log names files by their native paths.
  const std::string src = "Source Path = " + w.Home("src") + "/";
  std::string far = "Source Path = " + w.Home("deep") + "/";
  for (int i = 0; i < 18; ++i) far += name + "/";
  const std::string deepLater = far + "later.txt";
  far += "far.txt";
  const std::string near =
      w.InStore("deep/" + name + "/" + name + "/near.txt", "Latest", 'E', "Deep");
  // The scan is over once its end is logged; its records come before it.
  ASSERT_TRUE(WaitFor([&] {
    const std::string log = w.Log();
    return log.find("#Plan Initial Backup End ") != std::string::npos && fs::exists(near) &&
           log.find(far) != std::string::npos && log.find(src + "a\\b.txt") != std::string::npos &&
           log.find(src + "\\xFF\\xFE.txt") != std::string::npos;
  })) << w.Log();
  std::string log = w.Log();
  EXPECT_EQ(CountOf(log, "#Plan Initial Backup Start"), 1u);
  EXPECT_GE(CountOf(log, "#Backup File Success"), files.size());
  EXPECT_EQ(log.find("#Backup File Fail"), std::string::npos);
  EXPECT_FALSE(fs::exists(w.InStore("src/.hidden.txt")));
  EXPECT_EQ(CountOf(log, "#Plan Enabled"), 2u);
  EXPECT_FALSE(fs::exists(w.data.Volume('F') + "/Store/Latest"));

  // Written while the program runs, the second time too: still one line.
  w.Put("src/later\xff.txt", "later");
  w.Put("src/good2.txt", "good2");
  ASSERT_TRUE(bvtest::MakeDeepTree(w.Home("deep"), name, 18, {{18, "later.txt"}}));
  ASSERT_TRUE(WaitFor([&] {
    const std::string now = w.Log();
    return fs::exists(w.InStore("src/good2.txt")) &&
           now.find(src + "later\\xFF.txt") != std::string::npos &&
           now.find(deepLater) != std::string::npos;
  })) << w.Log();
  w.Put("src/later\xff.txt", "later, again");
  w.Put("src/good3.txt", "good3");
  ASSERT_TRUE(WaitFor([&] { return fs::exists(w.InStore("src/good3.txt")); }));
  bvtest::ProgramWorld::Kill(program);
  log = w.Log();
  EXPECT_EQ(CountOf(log, "#File Not Protected"), 5u) << log;
  for (const std::string& line :
       {src + "a\\b.txt", src + "\\xFF\\xFE.txt", src + "later\\xFF.txt", far, deepLater})
    EXPECT_EQ(CountOf(log, line), 1u) << line;
  EXPECT_EQ(CountOf(log, "Reason = The name holds a backslash"), 1u);
  EXPECT_EQ(CountOf(log, "Reason = The name is not valid UTF-8"), 2u);
  EXPECT_EQ(CountOf(log, "Reason = The path is longer than the store can hold."), 2u);
}

// A garbage plan list and a damaged journal record lose no plan and no waiting file; a plan
// whose store holds its folders is told.
TEST(EndToEndTest, DamagedPlanListAndJournalLoseNothing) {
  bvtest::ProgramWorld w;
  bvtest::WriteNative(w.data.Data("InternalSettings.ini"), "[General]\nRunOnce=0\n");
  w.Plan(1, "Continuous", "E:\\Store\\", {"docs"});
  w.Plan(4, "Manual", "E:\\Other\\", {"docs"});
  w.SetPlanKey(4, "ScheduleUnit", "8");
  fs::create_directories(w.Home("five/src"));
  w.Plan(5, "Holds", w.HomeSys("five"), {"five/src"});
  w.SetPlanKey(5, "ScheduleUnit", "8");
  bvtest::WriteNative(w.data.Data("plans.ini"), std::string("\x89\x00\xffSEED\r\n=ID", 10));
  // Thirty waiting files in plan 1's journal; record 20 gets a flipped byte.
  std::vector<std::string> files;
  const std::string folder = bvtest::NativeToSystemC(w.data.Data("PLAN/1")) + "\\";
  {
    CLoggingDatabase db;
    ASSERT_EQ(db.Open(folder, 1), 0u);
    for (int i = 0; i < 30; ++i) {
      files.push_back("docs/f" + std::to_string(100 + i) + ".txt");
      w.Put(files.back(), "contents " + files.back());
      ASSERT_EQ(db.NoteChangedFile(w.HomeSys(files.back())), 0u);
    }
  }
  {
    std::fstream f(w.data.Data("PLAN/1/Logging.dat"),
                   std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(1024 + 20 * (2 * w.HomeSys(files[0]).size() + 82)));
    f.put('\x13');  // the magic's first byte
  }
  QProcess* program = w.Start();
  EXPECT_FALSE(w.TraceHas("first-use")) << "the plans were lost";
  for (size_t i : {0u, 19u, 21u, 29u}) {
    EXPECT_TRUE(WaitFor([&] { return Holds(w.InStore(files[i]), "contents " + files[i]); }))
        << files[i] << " never copied";
  }
  bvtest::ProgramWorld::Kill(program);
  const std::string said = "\"Holds\" keeps its copies in " + w.Home("five") + ", which holds ";
  EXPECT_NE(w.Log().find(said + w.Home("five/src")), std::string::npos) << w.Log();
}

// SIGTERM cuts a first backup; the next start logs every copy once.
TEST(EventsEndToEndTest, SigtermCutsAFirstBackupTheNextStartLogsTheRestOnce) {
  constexpr int kFiles = 3000;
  bvtest::ProgramWorld w;
  for (int i = 0; i < kFiles; ++i)
    w.Put("src/f" + std::to_string(i) + ".txt", "file " + std::to_string(i));
  w.Plan(1, "Burst", "E:\\Store\\", {"src"}, false);
  w.data.WritePlanList({1});
  // The window takes its events every 3 s: far more copies than its queue holds.
  auto env = w.Inotify();
  env.emplace_back("BREVANTO_PUMP_INTERVAL_MS", "3000");
  // Copies held 3 ms each, so that the signal reaches the program mid-walk.
  auto slow = env;
  slow.emplace_back("BREVANTO_FAULT_COPY_DELAY_MS", "3");
  QProcess* program = w.Start(slow);
  ASSERT_TRUE(
      WaitFor([&] { return w.Log().find("#Backup File Success") != std::string::npos; }, 300))
      << w.Stderr();
  ASSERT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));
  EXPECT_TRUE(w.TraceHas("exit-signal"));
  EXPECT_TRUE(w.TraceHas("instance-exit"));
  EXPECT_FALSE(w.FirstBackupDone()) << "the walk was cut short";

  program = w.Start(env);
  EXPECT_FALSE(w.TraceHas("refused-running"));
  EXPECT_FALSE(w.TraceHas("refused-another-user"));
  // Every copy once over both runs (one more pump period changes nothing).
  auto copies = [&] { return CountOf(w.Log(), "#Backup File Success"); };
  ASSERT_TRUE(WaitFor([&] { return w.FirstBackupDone() && copies() >= kFiles; }, 600))
      << copies() << "\n"
      << w.Stderr();
  QThread::msleep(3500);
  const std::string log = w.Log();
  EXPECT_EQ(CountOf(log, "#Backup File Success"), size_t(kFiles));
  EXPECT_EQ(CountOf(log, "#Plan Initial Backup Start"), 2u);
  EXPECT_EQ(CountOf(log, "#Plan Initial Backup End "), 2u);
  EXPECT_EQ(log.find("#Backup File Fail"), std::string::npos);
  EXPECT_EQ(CountOf(log, "Source Path = " + w.Home("src/f2999.txt") + "\r"), 1u);
}

// Repeated SIGKILLs in a first backup leave whole copies and a valid journal (BV_CRASHKILL_SEED).
TEST(CrashKillTest, KilledFirstBackupsResumeIntoCompleteCopiesAndAValidJournal) {
  constexpr int kFiles = 600, kKills = 12;
  const char* seedText = getenv("BV_CRASHKILL_SEED");
  const uint32_t seed = seedText && *seedText ? uint32_t(strtoul(seedText, nullptr, 10)) : 20261206;
  std::printf("crash-kill seed %u\n", seed);
  std::mt19937 random(seed);
  bvtest::ProgramWorld w;
  const char* folders[] = {"src", "src/docs/2024/Q1", "src/Mit Leerzeichen",
                           "src/Ünïcode Ördner/ñ"};
  std::map<std::string, std::string> files;  // copy's native path -> bytes
  std::set<std::string> pending, sources;    // copies not yet equal; sources' system paths
  for (int i = 0; i < kFiles; ++i) {
    const std::string rel = std::string(folders[random() % 4]) + "/" +
                            (i % 50 == 7 ? "Grüße ñandú " : "f") + std::to_string(i) + ".bin";
    std::string bytes(std::uniform_int_distribution<int>(1, 64 * 1024)(random), '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    w.Put(rel, bytes);
    files[w.InStore(rel)] = bytes;
    pending.insert(w.InStore(rel));
    sources.insert(w.HomeSys(rel));
  }
  w.Plan(1, "Crash Kill", "E:\\Store\\", {"src"}, false);
  w.data.WritePlanList({1});
  std::set<std::string> reported;
  auto collect = [&] {
    for (auto it = pending.begin(); it != pending.end();) {
      const bool there = fs::exists(*it);
      const std::string bytes = there ? bvtest::ReadNative(*it) : "";
      if (there && bytes != files[*it] && reported.insert(*it).second)
        ADD_FAILURE() << "a final copy differs from its source: " << *it;
      it = bytes == files[*it] ? pending.erase(it) : std::next(it);
    }
  };

  for (int k = 0; k <= kKills; ++k) {
    QProcess* p = w.Start({}, {"-s"}, false, false);
    if (k == kKills || pending.empty()) {  // the last run goes to the end
      EXPECT_TRUE(
          bvtest::WaitFor([&] { return collect(), pending.empty() && w.FirstBackupDone(); }, 600))
          << pending.size() << " copies missing\n"
          << w.PlanIni();
    } else if (k % 2 == 0) {
      QThread::msleep(std::uniform_int_distribution<int>(50, 1500)(random));
    } else {  // a random share of what is left
      const size_t more = 1 + random() % std::max<size_t>(1, pending.size() / (kKills - k));
      const size_t target = pending.size() > more ? pending.size() - more : 0;
      bvtest::WaitFor([&] { return collect(), pending.size() <= target; }, 120);
    }
    EXPECT_EQ(p->state(), QProcess::Running) << "ended by itself at run " << k << w.Stderr();
    bvtest::ProgramWorld::Kill(p);
    collect();
    std::printf("kill %2d: %4zu of %d copied\n", k + 1, kFiles - pending.size(), kFiles);
    if (pending.empty() && w.FirstBackupDone()) break;
  }

  // Nothing else under a final name; temporary files of killed copies may remain.
  for (const auto& [rel, bytes] : bvtest::FilesBelow(w.InStore("src"))) {
    if (fs::path(rel).filename().string().rfind(".~bvtmp-", 0) == 0) continue;
    EXPECT_EQ(files.count(w.InStore("src/" + rel)), 1u) << "unexplained: " << rel;
  }

  // The journal walks from the first record to the end of the file.
  CLoggingDatabase db;
  ASSERT_EQ(db.Open(bvtest::NativeToSystemC(w.data.Data("PLAN/1")) + "\\", 1), 0u);
  ASSERT_EQ(db.LoadIndex(), 0u);
  std::set<std::string> seen;
  uint64_t offset = 0, end = CLoggingDatabase::kHeaderSize, next = 1;
  for (bool found = true; found; end = offset = next) {
    LogRecord record;
    ASSERT_EQ(db.ReadRecord(offset, &record, &next, &found), 0u) << offset;
    if (!found) break;
    ASSERT_GT(next, end) << "the walk does not move on at offset " << offset;
    EXPECT_TRUE(seen.insert(record.PathUtf8()).second) << "two records for " << record.PathUtf8();
    EXPECT_EQ(sources.count(record.PathUtf8()), 1u) << "no source: " << record.PathUtf8();
  }
  EXPECT_EQ(next, 0u);
  EXPECT_EQ(end, fs::file_size(w.data.Data("PLAN/1/Logging.dat"))) << "the walk stopped early";
}

}  // namespace
