// Continuous plans of the real program, as root (fanotify) and as an ordinary user (inotify).
#include <fcntl.h>

#include "ProgramRun.h"

namespace {

uid_t Owner(const std::string& native) {
  struct stat st {};
  return stat(native.c_str(), &st) == 0 ? st.st_uid : uid_t(-1);
}

class ContinuousEndToEndTest : public ::testing::TestWithParam<bool> {};

// Saves reach the right store, never from stores or unprotected folders; offline gaps caught up.
TEST_P(ContinuousEndToEndTest, SavesReachTheRightStoreAndWhatChangedWhileOffIsCaughtUp) {
  const bool asUser = GetParam();
  const std::string kMarker = "[Store]\nId=5afe57015afe57015afe57015afe5701\n";
  if (asUser && geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
  bvtest::ProgramWorld w_{"E", bvtest::ProgramWorld::Home::kUnderSrv};
  QProcess* program_ = nullptr;
  // Plan 1's store lies in what it protects; 2 never runs; 3-5 share one, 3 (first) manual.
  auto WritePlans = [&](const std::vector<std::string>& plan1) {
    w_.Plan(1, "Continuous", w_.HomeSys("home/prot/Store1") + "\\", plan1);
    w_.Plan(2, "Elsewhere", w_.HomeSys("home/prot/Dest2") + "\\", {"home/elsewhere"});
    w_.SetPlanKey(2, "Enabled", "0");
    w_.Plan(3, "Shared A", "E:\\Shared\\", {"home/three/a"}, /*firstDone=*/false);
    w_.SetPlanKey(3, "ScheduleUnit", "8");
    w_.Plan(4, "Shared B", "E:\\Shared\\", {"home/three"});
    w_.Plan(5, "Shared C", "E:\\Shared\\", {"home/three"});
    w_.data.WritePlanList({1, 2, 3, 4, 5});
    if (asUser) bvtest::ChownTree(w_.work.Native(), bvtest::kNobodyUid);
    if (asUser) bvtest::ChownTree(w_.Home(), bvtest::kNobodyUid);
    // Another user's marker above the protected folders hides nothing.
    w_.Put("home/Brevanto.dat", kMarker);
    EXPECT_EQ(chown(w_.Home("home/Brevanto.dat").c_str(), asUser ? 0 : bvtest::kNobodyUid, 0), 0);
  };
  // Starts and waits until plan 1's catch-up walk ended ("catchup.ini").
  auto StartAndCatchUp = [&] {
    const std::string state = w_.data.Data("PLAN/1/catchup.ini");
    fs::remove(state);
    program_ = w_.Start({{"HOME", w_.Home("home")},
                         {"BREVANTO_CHANGE_SOURCE", ""},
                         {"BREVANTO_CHANGE_ROOTS", ""},
                         {"XDG_CACHE_HOME", ""},
                         {"XDG_DATA_HOME", ""}},
                        {"-s"}, asUser);
    EXPECT_TRUE(WaitFor([&] { return fs::exists(state); })) << "no catch-up walk\n" << w_.Stderr();
  };
  auto Latest = [&](const std::string& rel) { return w_.InStore(rel, "Latest", 'E', "Shared"); };
  auto Store1 = [&](const std::string& rel, const char* tree = "Latest") {
    return w_.Home("home/prot/Store1/") + tree + "/C" + w_.Home(rel);
  };
  auto Copied = [&](const std::string& r, const std::string& b) { return Holds(Store1(r), b); };
  for (const char* sub : {"home/unprot", "home/three/a", "home/elsewhere", "home/prot/Dest2",
                          "home/prot/Old", "outside", "real/linked", "real/bound", "home/bound"})
    fs::create_directories(w_.Home(sub));
  // Sources reached through a link and a bind mount: changes are reported where they lie.
  fs::create_directory_symlink(w_.Home("real/linked"), w_.Home("home/linked"));
  bvtest::Unmount bound;
  if (mount(w_.Home("real/bound").c_str(), w_.Home("home/bound").c_str(), nullptr, MS_BIND,
            nullptr) == 0)
    bound.at = w_.Home("home/bound");
  w_.Put("home/prot/Store1/Brevanto.dat", "");
  w_.Put("home/prot/Old/Brevanto.dat", kMarker);
  w_.Put("home/prot/a.txt", "a, first");
  w_.Put("home/prot/sub/b.txt", "b");
  w_.Put("home/later/c.txt", "c, in a folder not yet protected");
  w_.Put("home/prot/report.txt", "report, old");
  w_.Put("home/prot/notes.txt", "notes, old");
  w_.Put("home/prot/cut.txt", "cut short by its path");
  // Only root may read the secret; links to it meet the first and catch-up walks and the copies.
  bvtest::TempDir secret;
  const std::string kSecret = secret.Write("shadow", "only root may read this");
  chmod(secret.Native().c_str(), 0700);
  for (const char* rel : {"home/prot/walked.txt", "home/three/a/walked.txt"})
    fs::create_symlink(kSecret, w_.Home(rel));
  WritePlans({"home/prot", "outside", "home/linked", "home/bound"});
  StartAndCatchUp();
  // Watched before the walk: a file written just after it is taken at once.
  w_.Put("outside/ledger.txt", "ledger");
  ASSERT_TRUE(WaitFor([&] {
    return Copied("home/prot/a.txt", "a, first") && Copied("home/prot/sub/b.txt", "b") &&
           Copied("home/prot/cut.txt", "cut short by its path");
  })) << w_.Stderr();
  EXPECT_FALSE(fs::exists(Store1("home/later/c.txt")));

  w_.Put("home/prot/doc.txt", "first version");
  ASSERT_TRUE(WaitFor([&] { return Copied("home/prot/doc.txt", "first version"); })) << w_.Stderr();
  w_.Put("home/prot/doc.txt", "second, longer version");
  ASSERT_TRUE(WaitFor([&] { return Copied("home/prot/doc.txt", "second, longer version"); }));
  EXPECT_EQ(bvtest::ReadNative(Store1("home/prot/doc(0001).txt", "Revision")), "first version");

  const std::vector<std::string> never = {
      "home/unprot/unprotected.txt", "home/prot/Store1/in-store.txt",
      "home/prot/Dest2/in-destination.txt", "home/prot/Old/in-old-store.txt"};
  for (const std::string& rel : never) w_.Put(rel, "must not be copied");
  // A link planted; a file and a folder swapped for links once noted, within their quiet second.
  fs::create_symlink(kSecret, w_.Home("home/prot/planted.txt"));
  w_.Put("home/prot/swapped.txt", "the user's own");
  w_.Put("home/prot/moved/shadow", "the user's own");
  QThread::msleep(600);
  fs::create_symlink(kSecret, w_.Home("home/prot/swap.lnk"));
  fs::rename(w_.Home("home/prot/swap.lnk"), w_.Home("home/prot/swapped.txt"));
  fs::rename(w_.Home("home/prot/moved"), w_.Home("home/prot/moved.old"));
  fs::create_directory_symlink(secret.Native(), w_.Home("home/prot/moved"));
  fs::create_directories(w_.Home("home/prot/new folder"));
  w_.Put("home/three/a/for-a.txt", "A takes this");
  w_.Put("home/three/for-b.txt", "B takes this");
  w_.Put("home/prot/store1/beside.txt", "beside Store1");  // another folder: names keep case
  // Editors' saves: a hidden file renamed over the original.
  for (const std::string name : {"report", "notes"}) {
    const std::string temp = name == "report" ? ".report.txt.swp" : ".goutputstream-7Q2ZK1";
    w_.Put("home/prot/" + temp, name + ", saved by rename");
    QThread::msleep(500);
    fs::rename(w_.Home("home/prot/" + temp), w_.Home("home/prot/" + name + ".txt"));
  }
  ASSERT_EQ(truncate(w_.Home("home/prot/cut.txt").c_str(), 3), 0);
  w_.Put("home/prot/.~bvtmp-0123456789abcdef", "a user's file under a temporary-looking name");
  w_.Put("home/linked/through-link.txt", "through the link");
  w_.Put("home/bound/through-mount.txt", "through the mount");
  // The user's own file; the other user's marker above stays the other user's.
  if (asUser) bvtest::ChownTree(w_.Home("home/prot/.~bvtmp-0123456789abcdef"), bvtest::kNobodyUid);
  // Paths reach the plans in order: once last.txt is copied, the rest was offered.
  w_.Put("home/prot/last.txt", "last");
  const std::string forA = w_.HomeSys("home/three/a/for-a.txt");
  const std::string forB = w_.HomeSys("home/three/for-b.txt");
  ASSERT_TRUE(WaitFor([&] {
    return Copied("home/prot/last.txt", "last") &&
           Copied("home/prot/report.txt", "report, saved by rename") &&
           Copied("home/prot/notes.txt", "notes, saved by rename") &&
           Copied("home/prot/store1/beside.txt", "beside Store1") &&
           Holds(Latest("home/three/a/for-a.txt"), "A takes this") &&
           Holds(Latest("home/three/for-b.txt"), "B takes this");
  })) << w_.Stderr();
  EXPECT_TRUE(Copied("outside/ledger.txt", "ledger"));
  EXPECT_TRUE(WaitFor([&] { return Copied("home/prot/cut.txt", "cut"); }, 5)) << "truncated";
  EXPECT_TRUE(
      Copied("home/prot/.~bvtmp-0123456789abcdef", "a user's file under a temporary-looking name"));
  EXPECT_TRUE(Copied("home/linked/through-link.txt", "through the link"));
  EXPECT_TRUE(bound.at.empty() || Copied("home/bound/through-mount.txt", "through the mount"));
  ASSERT_EQ(program_->state(), QProcess::Running);
  bvtest::ProgramWorld::Kill(program_);

  // While off: a change within doc.txt's copy second, a file put back older ("cp -p"); later a
  // change, a new file, a new folder in plan 1.
  const int64_t copiedAt = w_.Journal(1, {w_.HomeSys("home/prot/doc.txt")})
                               .at(w_.HomeSys("home/prot/doc.txt"))
                               .lastBackupTime;
  auto PutAt = [&](const std::string& rel, const std::string& bytes, int64_t s, long ns) {
    w_.Put(rel, bytes);
    const timespec times[2] = {{s, ns}, {s, ns}};
    ASSERT_EQ(utimensat(AT_FDCWD, w_.Home(rel).c_str(), times, 0), 0);
  };
  PutAt("home/prot/doc.txt", "second, longer VERSION", copiedAt, 999999999);
  PutAt("home/prot/sub/b.txt", "B", copiedAt - 3600, 0);
  QThread::msleep(1100);
  w_.Put("home/prot/a.txt", "a, changed while off");
  w_.Put("home/prot/new.txt", "new while off");
  WritePlans({"home/prot", "outside", "home/linked", "home/bound", "home/later"});
  StartAndCatchUp();
  ASSERT_TRUE(WaitFor([&] {
    return Copied("home/prot/doc.txt", "second, longer VERSION") &&
           Copied("home/prot/sub/b.txt", "B") &&
           Copied("home/prot/a.txt", "a, changed while off") &&
           Copied("home/prot/new.txt", "new while off") &&
           Copied("home/later/c.txt", "c, in a folder not yet protected");
  })) << w_.Stderr();
  const std::string journal = w_.data.Data("PLAN/1/Logging.dat");
  std::string settled;
  ASSERT_TRUE(WaitFor([&] {
    const std::string now = bvtest::ReadNative(journal);
    QThread::msleep(3500);
    return now == bvtest::ReadNative(journal) && (settled = now, true);
  }));
  bvtest::ProgramWorld::Kill(program_);

  StartAndCatchUp();
  QThread::msleep(4000);  // a continuous plan's runs come and go meanwhile
  EXPECT_EQ(bvtest::ReadNative(journal), settled);
  ASSERT_EQ(program_->state(), QProcess::Running);
  bvtest::ProgramWorld::Kill(program_);

  std::set<std::string> neverNames = {"new folder"};
  std::vector<std::string> neverPaths = {w_.HomeSys("home/prot/new folder")};
  for (const std::string& rel : never) {
    neverNames.insert(fs::path(rel).filename().string());
    neverPaths.push_back(w_.HomeSys(rel));
  }
  for (const std::string& store :
       {w_.Home("home/prot/Store1"), w_.data.Volume('E') + "/Shared", w_.Home("home/prot/Dest2")}) {
    for (const char* tree : {"/Latest", "/Revision"}) {
      std::error_code ec;
      for (auto it = fs::recursive_directory_iterator(store + tree, ec);
           !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        EXPECT_EQ(neverNames.count(it->path().filename().string()), 0u) << "taken: " << it->path();
        EXPECT_FALSE(it->is_regular_file() &&
                     bvtest::ReadNative(it->path()) == "only root may read this")
            << "read through a link: " << it->path();
      }
    }
  }
  EXPECT_TRUE(w_.Journal(1, neverPaths).empty());
  const std::string log = w_.Log();
  // A name noted before its swap for a link is refused once there; nothing else failed.
  EXPECT_LE(bvtest::CountOf(log, "Code: 681"), 3u) << log;
  EXPECT_EQ(bvtest::CountOf(log, "Code: 681"), bvtest::CountOf(log, "links below a protected"));
  EXPECT_EQ(bvtest::CountOf(log, "#Backup File Fail"), bvtest::CountOf(log, "Code: 681")) << log;
  EXPECT_EQ(log.find(".goutputstream"), std::string::npos) << log;
  // Every plan whose folders hold a file notes it.
  for (const auto& [id, taken] : std::map<uint32_t, size_t>{{3, 1}, {4, 2}, {5, 2}})
    EXPECT_EQ(w_.Journal(id, {forA, forB}).size(), taken) << id;
  // The runs were the user's: copies, journal and log are theirs.
  const uid_t owner = asUser ? bvtest::kNobodyUid : 0u;
  EXPECT_EQ(Owner(Store1("home/prot/doc.txt")), owner);
  EXPECT_EQ(Owner(journal), owner);
  EXPECT_EQ(Owner(w_.data.Data("log")), owner);
}

INSTANTIATE_TEST_SUITE_P(AsRootAndAsUser, ContinuousEndToEndTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "OrdinaryUser" : "Root"; });

}  // namespace
