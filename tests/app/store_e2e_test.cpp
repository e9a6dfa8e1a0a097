// Hand-written stores: histories, private folders, planted links, files and names too much.
#include "ProgramRun.h"

namespace {

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.insert(e.path().filename());
  return names;
}

mode_t ModeOf(const std::string& native) {
  struct stat st {};
  return lstat(native.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(StoreEndToEndTest, HistoriesAccessLinksAndTheReserve) {
  bvtest::ProgramWorld w("EFG");
  // Plans: 1 histories on E:, 2 twins on vfat F: (below 4 GiB), 3 private folders on a new G:.
  bvtest::WriteNative(w.data.Data("InternalSettings.ini"),
                      "[Backup Settings]\nBackupFileMaxSize=5000\n");
  const char* sources[] = {"src", "twins", "prot"};
  for (uint32_t id : {1, 2, 3}) {
    const char letter = "EFG"[id - 1];
    w.Plan(id, "Plan " + std::to_string(id), std::string(1, letter) + ":\\Store\\",
           {sources[id - 1]}, id == 3);
    if (id != 3) bvtest::WriteNative(w.data.Volume(letter) + "/Store/Brevanto.dat", "");
  }
  // F:'s store folder is one every user may write in (another user's, so it stays so).
  const std::string f = w.data.Volume('F') + "/Store";
  ASSERT_EQ(chown(f.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(f.c_str(), 01777), 0);

  const std::string longName = std::string(251, 'L') + ".txt";  // 255 bytes
  for (const std::string f :
       {"report.txt", "Report.txt", "r.txt", "r(0001).txt", "same.txt", longName.c_str()}) {
    bvtest::WriteNative(w.InStore("src/" + f), f + " copied");
    w.Put("src/" + f, f + " copied");
  }
  // Two revisions of a file, its twin, one named like a revision, one pending but unchanged.
  for (const std::string stem : {"report", "Report", "r", "r(0001)", "same"})
    for (const char* n : {"(0001).txt", "(0002).txt"})
      bvtest::WriteNative(w.InStore("src/" + stem + n, "Revision"), stem + n);
  const auto past = fs::file_time_type::clock::now() - std::chrono::hours(1);
  fs::last_write_time(w.Home("src/same.txt"), past);
  fs::last_write_time(w.InStore("src/same.txt"), past);
  {
    CLoggingDatabase db;
    ASSERT_EQ(db.Open(bvtest::NativeToSystemC(w.data.Data("PLAN/1")) + "\\", 1),
              CLoggingDatabase::kOk);
    ASSERT_EQ(db.NoteChangedFile(w.HomeSys("src/same.txt")), CLoggingDatabase::kOk);
  }
  for (const char* f : {"*.txt", "?.txt"}) w.Put(std::string("src/") + f, f);

  std::string table = bvtest::ReadNative(w.work.NativeOf("volumes.ini"));
  table.insert(table.find("[G]"), "FileSystem=vfat\n");
  bvtest::WriteNative(w.work.NativeOf("volumes.ini"), table);
  w.Put("twins/notes.txt", "lower");
  w.Put("twins/Notes.txt", "upper");
  w.Put("twins/a:b.txt", "no such name on FAT");
  const std::vector<std::pair<std::string, uintmax_t>> tooLarge = {
      {"src/video.bin", 5200ull << 20}, {"twins/disk.img", (4ull << 30) + 1}};
  for (const auto& [rel, size] : tooLarge) {
    w.Put(rel, "");
    fs::resize_file(w.Home(rel), size);  // sparse
  }
  fs::create_directories(w.Home("prot/sub"));
  fs::create_directories(w.work.NativeOf("outside"));
  chmod(w.Home("prot").c_str(), 0700);
  chmod(w.Home("prot/sub").c_str(), 0750);

  w.data.WritePlanList({1, 2, 3});
  QProcess* program = w.Start(w.Inotify());

  w.Put("prot/sub/a.txt", "first");
  ASSERT_TRUE(WaitFor([&] {
    return Holds(w.InStore("src/*.txt"), "*.txt") && Holds(w.InStore("src/?.txt"), "?.txt") &&
           Holds(w.InStore("prot/sub/a.txt", "Latest", 'G'), "first") &&
           w.Log().find("#Backup File Shares Store Name") != std::string::npos;
  })) << w.Log();
  // The root and levels that stand for nothing are private, the others as their sources.
  const std::string g = w.data.Volume('G') + "/Store";
  for (const std::string& f : {g, g + "/Latest", g + "/Latest/C", w.InStore("prot", "Latest", 'G')})
    EXPECT_EQ(ModeOf(f), 0700u) << f;
  EXPECT_EQ(ModeOf(w.InStore("prot/sub", "Latest", 'G')), 0750u);
  // Both trees are made with the store, so no one else takes their names.
  for (const std::string& store : {g, f})
    for (const char* tree : {"/Latest", "/Revision"}) EXPECT_EQ(ModeOf(store + tree), 0700u);

  for (const char* f : {"report.txt", "r.txt"}) w.Put(std::string("src/") + f, "changed");
  w.Put("src/" + longName, "long changed");
  const std::string outside = w.work.NativeOf("outside");
  fs::remove_all(w.InStore("prot/sub", "Latest", 'G'));
  fs::create_directory_symlink(outside, w.InStore("prot/sub", "Latest", 'G'));
  fs::remove(g + "/Revision");  // made empty with the store
  fs::create_directory_symlink(outside, g + "/Revision");
  w.Put("prot/sub/b.txt", "must stay inside");
  w.Put("prot/doc.txt", "version one");
  ASSERT_TRUE(WaitFor([&] {
    return Holds(w.InStore("src/report.txt"), "changed") &&
           Holds(w.InStore("src/r.txt"), "changed") &&
           Holds(w.InStore("src/" + longName), "long changed") &&
           Holds(w.InStore("prot/doc.txt", "Latest", 'G'), "version one");
  })) << w.Log();
  w.Put("prot/doc.txt", "version two");
  ASSERT_TRUE(WaitFor([&] {
    const std::string log = w.Log();
    return log.find("Code: 681") != std::string::npos &&
           log.find(w.Home("prot/sub/b.txt")) != std::string::npos &&
           Holds(w.InStore("prot/doc.txt", "Latest", 'G'), "version two");
  })) << w.Log();
  // Files too large for the limit or for FAT, and a name FAT refuses: each said in its own record.
  EXPECT_TRUE(WaitFor([&] {
    const std::string log = w.Log();
    return bvtest::CountOf(log, "#File Not Protected") == 3 &&
           log.find(
               "video.bin\r\nReason = The file is 5200 MB (5452595200 bytes), larger "
               "than the size limit of 5000 MB") != std::string::npos &&
           log.find(
               "disk.img\r\nReason = The file is 4096 MB (4294967297 bytes), larger "
               "than the 4095 MB (4294967295 bytes) the backup disk") != std::string::npos &&
           log.find("Source Path = " + w.Home("twins/a:b.txt") +
                    "\r\nReason = The backup "
                    "disk cannot hold names") != std::string::npos;
  })) << w.Log();
  EXPECT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));

  // Changed files rotate their oldest revision out; the others keep theirs.
  const std::set<std::string> now = Names(w.InStore("src", "Revision"));
  for (const std::string stem : {"report", "r", "Report", "r(0001)", "same"}) {
    const bool changed = stem == "report" || stem == "r";
    for (int n : {1, 2, 3}) {
      const std::string name = stem + "(000" + std::to_string(n) + ").txt";
      EXPECT_EQ(now.count(name), changed ? n > 1 : n < 3) << name;
    }
  }
  EXPECT_EQ(bvtest::ReadNative(w.InStore("src/report(0003).txt", "Revision")), "report.txt copied");
  EXPECT_EQ(bvtest::ReadNative(w.InStore("src/same.txt")), "same.txt copied");
  size_t longRevisions = 0;
  for (const std::string& n : now) {
    if (n.rfind("LLLL", 0) != 0) continue;
    ++longRevisions;
    EXPECT_LE(n.size(), 255u);
    EXPECT_EQ(bvtest::ReadNative(w.InStore("src/" + n, "Revision")), longName + " copied");
  }
  EXPECT_EQ(longRevisions, 1u);
  const std::string log = w.Log();
  // Said once: others may make entries where F:'s store lies; not said for the others.
  EXPECT_EQ(bvtest::CountOf(log, "Other users may make files and folders in "), 1u) << log;
  EXPECT_NE(log.find("Other users may make files and folders in " + f), std::string::npos);
  const size_t at = log.find("#Backup File Shares Store Name");
  EXPECT_EQ(log.find("#Backup File Shares Store Name", at + 1), std::string::npos);
  EXPECT_NE(log.find(w.Home("twins/Notes.txt"), at), std::string::npos);
  EXPECT_NE(log.find(w.Home("twins/notes.txt"), at), std::string::npos);
  EXPECT_TRUE(fs::is_empty(outside)) << "a copy went through a planted link";
  EXPECT_TRUE(fs::is_symlink(w.InStore("prot/sub", "Latest", 'G')));
  for (const auto& [rel, bytes] : bvtest::FilesBelow(g))
    EXPECT_EQ(rel.find(".~bvtmp-"), std::string::npos) << rel;
  // Said once each, however many runs came after; not waiting to be tried again.
  for (const char* rel : {"twins/a:b.txt", "src/video.bin", "twins/disk.img"})
    EXPECT_EQ(bvtest::CountOf(log, "Source Path = " + w.Home(rel) + "\r"), 1u) << rel;
  const auto records = w.Journal(2, {w.HomeSys("twins/a:b.txt")});
  ASSERT_EQ(records.size(), 1u);
  EXPECT_FALSE(records.begin()->second.IsPending());
  EXPECT_NE(records.begin()->second.state, kLogCopied);
  EXPECT_FALSE(fs::exists(w.InStore("twins/a:b.txt", "Latest", 'F')));
}

}  // namespace
