// The journal "Logging.dat": format, refusals, damage, keys, pending walk, torn appends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <fstream>

#include "JournalBytes.h"
#include "common/Settings.h"
#include "history/CLoggingDatabase.h"
#include "history/Crc64.h"
#include "platform/base/Errors.h"
#include "platform/base/FaultSeam.h"
#include "platform/base/Text.h"
#include "platform/process/Clock.h"
#include "support/EventCollector.h"
#include "support/ScopedEnv.h"

namespace fs = std::filesystem;

using jb::Rec;
using jb::U;

namespace {

class Journal : public ::testing::Test {
 protected:
  void SetUp() override { ResetSettingsCache(); }
  void TearDown() override {
    dataDir_.Restore();
    ResetSettingsCache();
  }
  void WriteJournal(const std::string& records) {
    bvtest::WriteNative(db_path, jb::Header() + records);
  }
  std::string FileBytes() { return bvtest::ReadNative(db_path); }
  uint32_t OpenDb() { return db.Open(t.System(), 42); }
  static LogRecord MakeRecord(const std::string& path, uint16_t state = 0) {
    LogRecord rec;
    EXPECT_TRUE(rec.SetPath(path));
    rec.state = state;
    return rec;
  }
  // Records read in a walk from the first; each read moves forward.
  int Walk(CLoggingDatabase& d) {
    int read = 0;
    for (uint64_t at = 0; d.ReadRecord(at, &r, &next, &found) == 0 && found; at = next, ++read)
      EXPECT_GT(next, at);
    return read;
  }
  // Reopened, the journal indexes count records, change among them.
  void ExpectReopens(CLoggingDatabase& d, const std::string& change, size_t count) {
    d.Close();
    ASSERT_EQ(d.Open(t.System(), 9), 0u);
    EXPECT_EQ(d.LoadIndex(), 0u);
    EXPECT_TRUE(d.Lookup(change, nullptr));
    EXPECT_EQ(d.IndexCount(), count);
  }
  bvtest::TempDir t, data;  // data: a data folder of its own, for the settings
  bvtest::ScopedEnv dataDir_{"BREVANTO_DATA_DIR", data.Native()};
  std::string db_path = jb::DbFile(t);
  LogRecord r;  // out-parameters of ReadRecord
  uint64_t next = 0;
  bool found = false;
  bvtest::EventCollector events;
  CLoggingDatabase db;
};

// Records are the independent writer's bytes; hand-written ones read back with every field.
TEST_F(Journal, RecordsMatchAnIndependentWriterAndReArmInPlace) {
  EXPECT_EQ(Crc64("123456789", 9), 0x62EC59E3F1A4F00Aull);
  EXPECT_EQ(PathHashUtf8("C:\\\xc3\x89\xe4\xb8\xad.jpg"), jb::HashOf(u"C:\\\u00c9\u4e2d.jpg"));
  WriteJournal(jb::Record({.path = U("C:\\a\\b.txt")}));
  ASSERT_EQ(db.Create(t.System(), 42), 0u);
  EXPECT_EQ(FileBytes(), jb::Header()) << "create drops every record";
  ASSERT_TRUE(fs::remove(db_path));
  ASSERT_EQ(OpenDb(), 0u);
  EXPECT_EQ(FileBytes(), jb::Header()) << "a missing file is created empty";
  LogRecord a = MakeRecord("C:\\Users\\ann\\report.doc", kLogFailed);
  a.changeTime = 1700000000;
  a.lastBackupTime = -5;
  a.lastAttemptTime = 0x123456789ABCll;
  a.failedAttempts = 7;
  a.reserved = 0xDEADBEEF;  // the writer writes 0
  a.magic = 0;              // and its own magic: appends are stamped
  a.stamp = {-2, 1700000000123456789, 0xFFFFFFFFFFull, 77};
  uint64_t at = 0;
  ASSERT_EQ(db.WriteRecord(0, a, &at), 0u);
  EXPECT_EQ(at, 1024u);
  ASSERT_EQ(db.WriteRecord(0, MakeRecord("\\\\nas\\share\\\xc3\xa9t\xc3\xa9\xe4\xb8\xad.txt"), &at),
            0u);
  Rec recA{.path = U("C:\\Users\\ann\\report.doc"),
           .magic = jb::kStamped,
           .change = 1700000000,
           .backup = -5,
           .attempt = 0x123456789ABCll,
           .failures = 7,
           .state = kLogFailed,
           .stamp = {uint64_t(-2), 1700000000123456789, 0xFFFFFFFFFFull, 77}};
  const std::string recB =
      jb::Record({.path = u"\\\\nas\\share\\\u00e9t\u00e9\u4e2d.txt", .magic = jb::kStamped});
  EXPECT_EQ(at, 1024u + jb::Record(recA).size());
  EXPECT_EQ(FileBytes(), jb::Header() + jb::Record(recA) + recB);
  // A change re-arms in place: pending, a new change time, the history and stamp kept.
  const int64_t before = plat::Now();
  ASSERT_EQ(db.NoteChangedFile("C:\\Users\\ann\\report.doc"), 0u);
  ASSERT_EQ(db.ReadRecord(1024, &r, &next, &found), 0u);
  EXPECT_EQ(r.stamp, a.stamp);
  EXPECT_EQ(r.state, 0u);
  EXPECT_GE(r.changeTime, before);
  EXPECT_LE(r.changeTime, plat::Now());
  recA.change = r.changeTime;
  recA.state = 0;
  EXPECT_EQ(FileBytes(), jb::Header() + jb::Record(recA) + recB);
  EXPECT_EQ(db.TrackedEnd(), FileBytes().size());
  db.Close();
  const std::u16string p1 = u"C:\\x\\\u4e2d\u6587.txt", p2 = U("D:\\data\\file.bin");
  Rec rec1{.path = p1, .change = 11, .backup = 22, .attempt = 33, .failures = 4, .state = 8};
  const std::string r1 = jb::Record(rec1);
  WriteJournal(r1 + jb::Record({.path = p2, .hash = 0x1122334455667788ull, .state = 2}));
  ASSERT_EQ(OpenDb(), 0u);
  ASSERT_EQ(db.ReadRecord(0, &r, &next, &found), 0u);  // 0 stands for 1024
  ASSERT_TRUE(found);
  EXPECT_EQ(r.PathUtf8(), plat::Utf16ToUtf8(p1));
  EXPECT_EQ(r.pathHash, jb::HashOf(p1));
  EXPECT_EQ(std::vector<int64_t>(
                {r.changeTime, r.lastBackupTime, r.lastAttemptTime, r.failedAttempts, r.state}),
            std::vector<int64_t>({11, 22, 33, 4, 8}));
  EXPECT_EQ(next, 1024u + r1.size());
  ASSERT_EQ(db.ReadRecord(next, &r, &next, &found), 0u);
  EXPECT_EQ(r.path, p2);
  EXPECT_EQ(r.pathHash, 0x1122334455667788ull) << "the stored hash is not recomputed";
  EXPECT_FALSE(r.stamp.Known()) << "records of the plain form have no stamp";
  const uint64_t end = next;
  EXPECT_EQ(end, jb::FileSize(db_path));
  for (uint64_t off : {end, end + 1, end + 100000}) {
    next = 99;
    ASSERT_EQ(db.ReadRecord(off, &r, &next, &found), 0u);
    EXPECT_FALSE(found);
    EXPECT_EQ(next, 0u);
  }
  uint64_t off = 0;
  EXPECT_TRUE(db.Lookup(0x1122334455667788ull, p2, &off));
  EXPECT_EQ(off, 1024u + r1.size());
  EXPECT_FALSE(db.Lookup("C:\\Users\\ann\\report.doc", nullptr)) << "the file changed by hand";
  // A plain record rewritten keeps its form: same bytes but the fields set.
  ASSERT_EQ(db.ReadRecord(0, &r, &next, &found), 0u);
  r.state = kLogCopied;
  r.stamp.size = 5;
  r.magic = kLogRecordStampedMagic;
  const std::string hand = FileBytes();
  ASSERT_EQ(db.WriteRecord(1024, r), 0u);
  rec1.state = kLogCopied;
  EXPECT_EQ(FileBytes(), jb::Header() + jb::Record(rec1) + hand.substr(1024 + r1.size()));
  ASSERT_EQ(db.Recreate(), 0u);
  EXPECT_TRUE(db.IsOpen());
  EXPECT_EQ(FileBytes(), jb::Header());
  EXPECT_EQ(events.Events().size(), 0u);
  // Keys compare by hash, then by path ignoring case; the first record wins.
  db.Close();
  const uint64_t h = 0xABCDEF0123456789ull;
  const std::u16string lower = u"c:\\\u00e9t\u00e9\\file.txt",
                       upper = u"C:\\\u00c9T\u00c9\\FILE.TXT", other = U("C:\\other\\file.txt");
  const std::string k1 = jb::Record({.path = lower, .hash = h});
  const std::string k2 = jb::Record({.path = upper, .hash = h});
  WriteJournal(k1 + k2 + jb::Record({.path = other, .hash = h}));
  ASSERT_EQ(OpenDb(), 0u);
  EXPECT_FALSE(db.Lookup(h, lower, &off)) << "only after loading";
  ASSERT_EQ(db.LoadIndex(), 0u);
  EXPECT_EQ(db.IndexCount(), 2u);
  ASSERT_TRUE(db.Lookup(h, upper, &off));
  EXPECT_EQ(off, 1024u);
  ASSERT_TRUE(db.Lookup(h, other, &off));
  EXPECT_EQ(off, 1024u + k1.size() + k2.size());
  EXPECT_FALSE(db.Lookup(h + 1, lower, &off));
  EXPECT_FALSE(db.Lookup(h, U("C:\\other\\file.tx"), &off));
  EXPECT_FALSE(db.Lookup(h, U("C:\\othe\\rfile.txt"), &off));
}

// Refusals touch nothing; a wrong or short header is reset silently (only 64 bytes checked).
TEST_F(Journal, RefusalsAndHeaderReset) {
  LogRecord a = MakeRecord("C:\\a\\b.txt");
  // Not open: every call refused (3); no folder: refused as an argument (2).
  EXPECT_EQ(std::vector<uint32_t>({db.WriteRecord(0, a), db.ReadRecord(0, &r, &next, &found),
                                   db.LoadIndex(), db.NoteChangedFile("C:\\w\\doc.txt"),
                                   db.Open("", 1), db.Create("", 42)}),
            std::vector<uint32_t>({3, 3, 3, 3, 2, 2}));
  ASSERT_EQ(OpenDb(), 0u);
  ASSERT_EQ(db.WriteRecord(0, a), 0u);
  EXPECT_EQ(db.Open(t.System(), 42), 0u) << "already open: nothing happens";
  EXPECT_EQ(db.DatabasePath(), t.System() + "\\Logging.dat");
  const std::string before = FileBytes();
  for (uint64_t off : {1, 48, 1023}) {
    EXPECT_EQ(db.ReadRecord(off, &r, &next, &found), 2u) << off;
    EXPECT_EQ(db.WriteRecord(off, a), 2u) << off;
  }
  EXPECT_EQ(db.GetCounters().read, 0u);
  EXPECT_EQ(db.GetCounters().written, 1u);
  LogRecord bad = a;
  for (const char* path : {"C:", "relative\\x.txt"}) {
    bad.path = U(path);
    bad.pathLength = static_cast<uint16_t>(bad.path.size());
    EXPECT_EQ(db.WriteRecord(0, bad), 2u) << path;
  }
  bad = a;
  bad.pathLength = 4;  // disagrees with the path held
  EXPECT_EQ(db.WriteRecord(0, bad), 2u);
  EXPECT_EQ(db.WriteRecord(1024, MakeRecord("C:\\a\\c.txt")), 2u) << "another path in place";
  EXPECT_EQ(db.WriteRecord(before.size(), a), 2u) << "beyond the end";
  EXPECT_EQ(db.WriteRecord(1026, a), 2u) << "not a record's start";
  for (const char* path : {"C:", "docs\\a.txt", "\\docs\\a.txt"})
    EXPECT_EQ(db.NoteChangedFile(path), 2u) << path;
  EXPECT_FALSE(LogRecord().SetPath("C:"));
  EXPECT_EQ(FileBytes(), before);
  db.Close();
  EXPECT_FALSE(db.IsOpen());
  EXPECT_EQ(db.IndexCount(), 0u);
  const std::string rec = jb::Record({.path = U("C:\\a.txt")});
  auto flip = [&](size_t at) {
    std::string bytes = jb::Header() + rec;
    bytes[at] = 'Q';
    return bytes;
  };
  for (const std::string& content :
       {std::string(), std::string(500, 'x'), jb::Header().substr(0, 1023), flip(0), flip(20),
        flip(63), flip(64), flip(1023)}) {
    const bool kept = content.size() > 1024 && content.substr(0, 64) == jb::Header().substr(0, 64);
    bvtest::WriteNative(db_path, content);
    CLoggingDatabase d;
    ASSERT_EQ(d.Open(t.System(), 1), 0u);
    EXPECT_EQ(d.LoadIndex(), 0u);
    EXPECT_EQ(FileBytes(), kept ? content : jb::Header()) << content.size();
    EXPECT_EQ(d.IndexCount(), kept ? 1u : 0u) << content.size();
  }
  EXPECT_EQ(events.Events().size(), 0u) << "a reset raises nothing";
  CLoggingDatabase d;
  const std::string missing = t.SystemOf("no\\such");
  EXPECT_EQ(d.Open(missing, 77), 10000u);
  EXPECT_FALSE(d.IsOpen());
  ASSERT_EQ(events.CountOf(kEvDatabaseProblem), 1u);
  EXPECT_EQ(events.Events()[0].text1, missing + "\\Logging.dat");
  EXPECT_EQ(events.Events()[0].planId, 77u);
  EXPECT_EQ(d.Create(missing, 77), 10000u);
}

// Damage is rebuilt from the valid records by the walk or append that meets it, once and
// told; a torn tail is cut silently; no valid record is lost. Kept damaged journals too.
TEST_F(Journal, DamageIsRebuiltAndTornTailsAreCut) {
  const std::string good = jb::Record({.path = U("C:\\good\\one.txt")});
  const std::string after =
      jb::Record({.path = U("C:\\good\\after.txt"), .magic = jb::kStamped, .stamp = {1, 2, 3, 4}});
  const std::string two = good + after;
  std::string many, garbage(777, '\0');
  for (int i = 0; i < 400; ++i) many += jb::Record({.path = U("C:\\m\\" + std::to_string(i))});
  const std::string rec320 = jb::Record({.path = U("C:\\m\\320")});
  const size_t at320 = many.find(rec320);
  const std::string without320 = many.substr(0, at320) + many.substr(at320 + rec320.size());
  uint32_t seed = 7;
  for (char& c : garbage) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
  auto flip = [&](size_t at, uint8_t bits) {
    std::string bytes = many;
    bytes[at] = static_cast<char>(bytes[at] ^ bits);
    return bytes;
  };
  const std::string a = jb::Record({.path = U("C:\\t\\a.txt")});
  const std::string torn = jb::Record({.path = U("C:\\t\\torn-record.txt"), .state = 1});
  const std::string tornStamped = jb::Record({.path = U("C:\\t\\torn.txt"), .magic = jb::kStamped});
  struct Case {
    std::string what, bytes, kept;  // kept: the valid records, in file order
    size_t count;
    bool damage;
  };
  std::vector<Case> cases = {
      {"zeros in the middle", good + std::string(rec320.size(), '\0') + after, two, 2, true},
      {"record 320 of 400: magic", flip(at320 + 1, 0x10), without320, 399, true},
      {"record 320: length past the end", flip(at320 + 47, 0x80), without320, 399, true},
      {"record 320 of 400: path", flip(at320 + 50, 0x01), without320, 399, true},
      {"777 random bytes appended", many + garbage, many, 400, true},
      {"last record invalid", a + jb::Record({.path = U("C:\\x"), .terminator = 'x'}), a, 1, true},
      {"zeros, then data past a read-ahead", a + std::string(300000, '\0') + "data", a, 1, true},
      {"torn: one byte", a + torn.substr(0, 1), a, 1, false},
      {"torn: head less a byte", a + torn.substr(0, 47), a, 1, false},
      {"torn: head only", a + torn.substr(0, 48), a, 1, false},
      {"torn: all but a byte", a + torn.substr(0, torn.size() - 1), a, 1, false},
      {"torn: a stamp short", a + tornStamped.substr(0, tornStamped.size() - 8), a, 1, false},
      {"torn: zeros, data never landed", a + std::string(300, '\0'), a, 1, false},
  };
  const std::pair<const char*, Rec> between[] = {
      {"path of two units", {.path = U("C:")}},
      {"no drive and no share", {.path = U("abc\\def")}},
      {"single backslash", {.path = U("\\a\\b")}},
      {"colon without backslash", {.path = U("C:a.txt")}},
      {"length shorter than the path", {.path = U("C:\\abcdef"), .length = 5}},
      {"terminator missing", {.path = U("C:\\abcdef"), .terminator = 'x'}},
      {"zero unit inside", {.path = std::u16string(u"C:\\ab\0cd", 8)}},
      {"zero unit near the end", {.path = std::u16string(u"C:\\abcdef\0g", 11)}},
      {"wrong magic", {.path = U("C:\\x.txt"), .magic = 0x9793AA57u}},
  };
  for (const auto& [what, bad] : between)
    cases.push_back({what, good + jb::Record(bad) + after, two, 2, true});
  const std::string change = "C:\\new\\change.txt";
  for (const Case& c : cases) {
    for (const bool loadFirst : {true, false}) {
      SCOPED_TRACE(c.what + (loadFirst ? ", walked first" : ", appended first"));
      WriteJournal(c.bytes);
      events.Clear();
      CLoggingDatabase d;
      ASSERT_EQ(d.Open(t.System(), 9), 0u);
      if (loadFirst) {
        EXPECT_EQ(d.LoadIndex(), 0u);
        EXPECT_EQ(FileBytes(), jb::Header() + c.kept);
        EXPECT_EQ(d.TrackedEnd(), 1024u + c.kept.size());
        EXPECT_EQ(d.IndexCount(), c.count);
        EXPECT_TRUE(c.damage || d.GetCounters().read == d.GetCounters().readValid);
      }
      ASSERT_EQ(d.NoteChangedFile(change), 0u);
      EXPECT_EQ(jb::FileSize(db_path), 1024u + c.kept.size() + 82 + 2 * change.size());
      std::vector<std::string> pending;
      EXPECT_EQ(d.CollectPending(&pending), 0u);
      EXPECT_EQ(pending.size(), c.count + 1);
      EXPECT_EQ(d.RebuildCount(), c.damage ? 1u : 0u);
      ASSERT_EQ(events.Events().size(), c.damage ? 1u : 0u);
      if (c.damage) {
        const EventData e = events.Events()[0];
        EXPECT_EQ(std::to_string(e.code) + "|" + e.text1 + "|" + std::to_string(e.planId),
                  std::to_string(kEvDatabaseOpenFailed) + "|" + d.DatabasePath() + "|9");
        EXPECT_NE(e.text2, "");
      }
      ExpectReopens(d, change, c.count + 1);
    }
  }
  // A caller's own walk ends at the damage, rebuilt; the next walk reads every record.
  WriteJournal(flip(at320 + 1, 0x10));
  for (int walk = 0; walk < 2; ++walk) {
    CLoggingDatabase d;
    ASSERT_EQ(d.Open(t.System(), 9), 0u);
    EXPECT_EQ(Walk(d), walk == 0 ? 320 : 399);
    EXPECT_EQ(d.RebuildCount(), walk == 0 ? 1u : 0u);
  }
  int fixtures = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(BV_TEST_DATA_DIR) / "journal")) {
    SCOPED_TRACE(entry.path().filename().string());
    ++fixtures;
    fs::copy_file(entry.path(), db_path, fs::copy_options::overwrite_existing);
    CLoggingDatabase d;
    ASSERT_EQ(d.Open(t.System(), 9), 0u);
    EXPECT_EQ(d.LoadIndex(), 0u);
    const size_t loaded = d.IndexCount();
    std::vector<std::string> pending;
    EXPECT_EQ(d.CollectPending(&pending), 0u);
    Walk(d);
    ASSERT_EQ(d.NoteChangedFile(change), 0u);
    ExpectReopens(d, change, loaded + 1);
  }
  EXPECT_GE(fixtures, 5);
}

// 70 valid of 100 reads is still healthy; at 69 the next read recreates the file.
TEST_F(Journal, SelfCheckRecreatesBelowSeventyPercentValid) {
  for (int valid : {70, 69}) {
    SCOPED_TRACE(valid);
    std::string recs;
    for (int i = 0; i < valid; ++i)
      recs += jb::Record({.path = U("C:\\f\\" + std::to_string(i) + ".txt")});
    WriteJournal(recs);
    events.Clear();
    CLoggingDatabase d;
    ASSERT_EQ(d.Open(t.System(), 5), 0u);
    EXPECT_EQ(d.LoadIndex(), 0u);
    for (int i = 0; i < 15; ++i)  // inside the first record; each adds 2 reads
      EXPECT_EQ(d.ReadRecord(1024 + 2, &r, &next, &found), 10000u);
    if (valid == 69) {  // a read whose file size cannot be taken counts once
      plat::fault::Arm(1, plat::kErrIoDevice);
      EXPECT_EQ(d.ReadRecord(1ull << 40, &r, &next, &found), 10000u);
      plat::fault::Disarm();
    }
    EXPECT_EQ(d.GetCounters().readValid, static_cast<uint64_t>(valid));
    EXPECT_EQ(d.GetCounters().read, 100u);
    EXPECT_EQ(d.ReadRecord(0, &r, &next, &found), 0u);
    EXPECT_EQ(found, valid == 70) << "the new file is empty";
    EXPECT_EQ(d.GetCounters().read, valid == 70 ? 101u : 0u);
    EXPECT_EQ(events.CountOf(kEvInvalidContent), valid == 70 ? 0u : 1u);
    if (valid == 70) continue;
    EXPECT_EQ(events.Events().back().text1, "RecreateDB due to db corruption");
    EXPECT_EQ(events.Events().back().planId, 5u);
    EXPECT_EQ(d.IndexCount(), 0u);
    ASSERT_EQ(d.NoteChangedFile("C:\\after\\recreate.txt"), 0u);
    EXPECT_EQ(jb::FileSize(db_path), 1024u + 2 * 21 + 82) << "in the new file alone";
  }
}

// Back-off: up to 3 failures none, from 4 a minute, from 21 five; also after growth by hand.
TEST_F(Journal, CollectsPendingRecordsOutsideTheirBackOff) {
  const int64_t now = 2000000000;
  const struct {
    const char* name;
    uint16_t state;
    uint32_t failures;
    int64_t ago;  // since the last attempt; -1: never tried
  } rows[] = {{"pending", 0, 0, -1},   {"failed", 1, 1, 0},    {"gone", 2, 0, -1},
              {"copied", 4, 0, -1},    {"large", 8, 0, -1},    {"both-bits", 5, 0, -1},
              {"f3-now", 1, 3, 0},     {"f4-59s", 1, 4, 59},   {"f4-60s", 1, 4, 60},
              {"f20-60s", 1, 20, 60},  {"f21-60s", 1, 21, 60}, {"f21-299s", 1, 21, 299},
              {"f21-300s", 1, 21, 300}};
  std::string recs;
  for (const auto& row : rows)
    recs += jb::Record({.path = U(std::string("C:\\p\\") + row.name),
                        .attempt = row.ago < 0 ? 0 : now - row.ago,
                        .failures = row.failures,
                        .state = row.state});
  WriteJournal(recs);
  ASSERT_EQ(OpenDb(), 0u);
  const std::string before = FileBytes();
  std::vector<std::string> want = {"C:\\p\\pending", "C:\\p\\failed",  "C:\\p\\f3-now",
                                   "C:\\p\\f4-60s",  "C:\\p\\f20-60s", "C:\\p\\f21-300s"};
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    if (round == 1) {  // the first record copied through the journal
      ASSERT_EQ(db.ReadRecord(0, &r, &next, &found), 0u);
      r.state = kLogCopied;
      ASSERT_EQ(db.WriteRecord(1024, r), 0u);
      want.erase(want.begin());
    } else if (round == 2) {
      std::ofstream(db_path, std::ios::binary | std::ios::app)
          << jb::Record({.path = U("C:\\p\\by-hand")});
      want.push_back("C:\\p\\by-hand");
    }
    std::vector<std::string> got;
    ASSERT_EQ(db.CollectPending(&got, now), 0u);
    EXPECT_EQ(got, want);
    if (round == 0) {
      EXPECT_EQ(FileBytes(), before);   // writes nothing
      EXPECT_EQ(db.IndexCount(), 13u);  // and indexes like a load
    }
  }
  EXPECT_EQ(db.CollectPending(nullptr, now), 2u);
}

// A write stopped halfway (file-size limit) is cut back byte for byte.
TEST_F(Journal, PartialAppendIsCutBack) {
  ASSERT_EQ(OpenDb(), 0u);
  ASSERT_EQ(db.NoteChangedFile("C:\\p\\first.txt"), 0u);
  const std::string before = FileBytes();
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit lim = old;
  lim.rlim_cur = before.size() + 60;  // the head and part of the path fit
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
  const uint32_t rc = db.NoteChangedFile("C:\\p\\second-with-a-long-name.txt");
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(rc, 10000u);
  EXPECT_EQ(FileBytes(), before);
  EXPECT_FALSE(db.Lookup("C:\\p\\second-with-a-long-name.txt", nullptr));
  ASSERT_EQ(db.NoteChangedFile("C:\\p\\third.txt"), 0u);
  ExpectReopens(db, "C:\\p\\third.txt", 2);
}

}  // namespace
