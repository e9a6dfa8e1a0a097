// The real program on a data folder written by hand in the file formats:
// silent starts count the plans that load (an invalid plan is refused); a
// first backup copies its sources into "Latest", noting them in the journal
// and the activity log; names the store cannot hold (a backslash, bytes that
// are not UTF-8, a path longer than the system opens by name) are logged once
// each as not protected while the rest is copied, at the first backup, the
// catch-up walk and while running; a damaged plan list and journal lose no
// plan and no waiting file; exit during a long copy stops the plan at once.
#include <gtest/gtest.h>

#include <QAction>
#include <fstream>
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "app/gui/CBrevantoApp.h"
#include "common/Settings.h"
#include "engine/CSimplePlan.h"
#include "engine/PlanList.h"
#include "support/DeepTree.h"
#include "ui/CMainFrame.h"

namespace fs = std::filesystem;

namespace {

using bvtest::CountOf;
using bvtest::Holds;
using bvtest::WaitFor;

std::string Binary(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 23);
  }
  return bytes;
}

TEST(EndToEndTest, SilentStartsFirstBackupAndNamesTheStoreCannotHold) {
  bvtest::ProgramWorld w("EF");
  ASSERT_TRUE(w.Ok());
  bvtest::WriteNative(w.data.Data("InternalSettings.ini"), "[General]\nRunOnce=0\n");
  // Only an invalid plan (no name): nothing loads, so even a silent start
  // shows the window and runs the first-use routine.
  w.Plan(2, "", "F:\\Store\\", {"src"}, false);
  w.data.WritePlanList({2});
  QProcess* program = w.Start();
  EXPECT_TRUE(WaitFor([&] { return w.TraceHas("first-use"); }));
  EXPECT_TRUE(w.TraceHas("shown"));
  EXPECT_FALSE(w.TraceHas("hidden"));
  bvtest::ProgramWorld::Kill(program);

  const std::vector<std::pair<std::string, std::string>> files = {
      {"src/a.txt", "alpha\r\nsecond line\n"},
      {"src/sub/b.bin", Binary(300 * 1024, 7)},
      {"src/sub/deeper/Ünïcode name (1).txt", "odd name"},
      {"src/empty.txt", ""}};
  for (const auto& [rel, bytes] : files) w.Put(rel, bytes);
  w.Put("src/.hidden.txt", "hidden files are not walked");
  auto raw = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(w.Home("src/" + name), std::ios::binary) << bytes;
  };
  raw("a\\b.txt", "backslash");
  raw("\xff\xfe.txt", "not utf-8");
  // Plan 3's first backup is done: the catch-up walk at start meets a tree
  // deeper than 4,096 bytes.
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

  // Valid plans: the silent start keeps the window hidden and backs up.
  program = w.Start();
  EXPECT_TRUE(w.TraceHas("hidden"));
  EXPECT_FALSE(w.TraceHas("shown"));
  for (const auto& [rel, bytes] : files)
    ASSERT_TRUE(WaitFor([&] { return Holds(w.InStore(rel), bytes); }, 120)) << rel;
  const std::string src = "Source Path = " + w.HomeSys("src") + "\\";
  std::string far = "Source Path = " + w.HomeSys("deep") + "\\";
  for (int i = 0; i < 18; ++i) far += name + "\\";
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
  EXPECT_TRUE(fs::exists(w.data.Data("PLAN/1/Logging.dat")));
  EXPECT_EQ(CountOf(log, "#Plan Initial Backup Start"), 1u);
  EXPECT_NE(log.find("Plan Name = E2E Documents"), std::string::npos);
  EXPECT_GE(CountOf(log, "#Backup File Success"), files.size());
  EXPECT_NE(log.find(src + "a.txt\r"), std::string::npos);
  EXPECT_NE(log.find("Destination Path = E:\\Store\\Latest\\C"), std::string::npos);
  EXPECT_EQ(log.find("#Backup File Fail"), std::string::npos);
  EXPECT_FALSE(fs::exists(w.InStore("src/.hidden.txt")));
  // Only the valid plans were loaded and enabled; the invalid one never ran.
  EXPECT_EQ(CountOf(log, "#Plan Enabled"), 2u);
  EXPECT_FALSE(fs::exists(w.data.Volume('F') + "/Store/Latest"));

  // Written while the program runs, the second time too: still one line.
  raw("later\xff.txt", "later");
  w.Put("src/good2.txt", "good2");
  ASSERT_TRUE(bvtest::MakeDeepTree(w.Home("deep"), name, 18, {{18, "later.txt"}}));
  ASSERT_TRUE(WaitFor([&] {
    const std::string now = w.Log();
    return fs::exists(w.InStore("src/good2.txt")) &&
           now.find(src + "later\\xFF.txt") != std::string::npos &&
           now.find(deepLater) != std::string::npos;
  })) << w.Log();
  raw("later\xff.txt", "later, again");
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

// A "plans.ini" of garbage and a journal with a flipped byte in the middle of
// its records: the plans still load (no first-use routine), the list is
// written anew with the damaged file kept aside, and every file the journal
// holds as waiting, those behind the damaged record too, reaches the store.
TEST(EndToEndTest, DamagedPlanListAndJournalLoseNothing) {
  bvtest::ProgramWorld w;
  ASSERT_TRUE(w.Ok());
  bvtest::WriteNative(w.data.Data("InternalSettings.ini"), "[General]\nRunOnce=0\n");
  w.Plan(1, "Continuous", "E:\\Store\\", {"docs"});
  bvtest::PlanFiles manual = w.Plan(4, "Manual", "E:\\Other\\", {"docs"});
  manual.scheduleUnit = 8;
  w.data.WritePlan(manual);
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
    // A path that names neither a drive nor a server is no file of a plan.
    EXPECT_EQ(db.NoteChangedFile("\\home\\no-drive.txt"), CLoggingDatabase::kInvalidArgument);
  }
  {
    std::fstream f(w.data.Data("PLAN/1/Logging.dat"),
                   std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(1024 + 20 * (2 * w.HomeSys(files[0]).size() + 50)));
    f.put('\x13');  // the magic's first byte
  }
  QProcess* program = w.Start();
  EXPECT_FALSE(w.TraceHas("first-use")) << "the plans were lost";
  for (size_t i : {0u, 19u, 21u, 29u}) {
    EXPECT_TRUE(WaitFor([&] { return Holds(w.InStore(files[i]), "contents " + files[i]); }))
        << files[i] << " never copied";
  }
  bvtest::ProgramWorld::Kill(program);
  EXPECT_EQ(bvtest::ReadNative(w.data.Data("plans.ini")), "SEED=4\nID=1\nID=4\n");
  int aside = 0;
  for (const auto& e : fs::directory_iterator(w.data.Data("")))
    aside += e.path().filename().string().rfind("plans.ini.damaged-", 0) == 0;
  EXPECT_EQ(aside, 1);
  // The journal was rebuilt: every record but the damaged one is readable.
  CLoggingDatabase db;
  ASSERT_EQ(db.Open(folder, 1), 0u);
  EXPECT_EQ(db.LoadIndex(), 0u);
  EXPECT_GE(db.IndexCount(), 29u);
  EXPECT_EQ(db.RebuildCount(), 0u) << "nothing left to repair";
}

// The application in a process of its own, ended through its exit command
// while its first backup copies a file to a slow disk (the fault seam pauses
// a second before every 4 MiB): the copy stops at once, leaving no temporary
// file and the file waiting in the journal; exit processing stops the plan's
// thread without disabling the stored plan, and the process-wide objects go
// at process end without a crash (which would end the child by a signal).
TEST(EndToEndTest, ExitDuringALongCopyStopsThePlanAndTheFileWaits) {
  bvtest::ProgramWorld w;
  ASSERT_TRUE(w.Ok());
  w.Put("prot/big.bin", std::string(48u << 20, 'b'));
  w.Plan(1, "Guarded", "E:\\Store\\", {"prot"}, false);
  w.data.WritePlanList({1});
  const std::string store = w.data.Volume('E') + "/Store";
  auto temporary = [&] {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(store, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
      if (it->path().filename().string().rfind(".~bvtmp-", 0) == 0) return true;
    return false;
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        w.data.ApplyEnvironment(false);
        setenv("BREVANTO_FAULT_COPY_DELAY_MS", "1000", 1);
        ResetSettingsCache();
        int code = 0;
        {
          CBrevantoApp app("test_app");
          if (!app.InitInstance()) std::_Exit(2);
          const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
          while (!temporary() && std::chrono::steady_clock::now() < limit)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
          if (!temporary()) code = 3;
          app.MainFrame()->ExitAction()->trigger();
          QCoreApplication::sendPostedEvents();
          app.ExitInstance();
          PlanList& list = PlanList::Instance();
          std::lock_guard<std::recursive_mutex> g(list.Lock());
          auto* plan = list.Count() == 1 ? dynamic_cast<CSimplePlan*>(list.At(0)) : nullptr;
          if (code == 0 && (plan == nullptr || plan->Thread() != nullptr)) code = 4;
        }
        // Stopping at exit is not a user's choice: the stored plan stays enabled.
        if (code == 0 && w.PlanIni().find("Enabled=1") == std::string::npos) code = 5;
        // The copy (12 s at this pace) was cut short: nothing under either name.
        if (code == 0 && (fs::exists(w.InStore("prot/big.bin")) || temporary())) code = 6;
        if (code == 0) {
          const std::string big = w.HomeSys("prot/big.bin");
          const auto journal = w.Journal(1, {big});
          if (journal.size() != 1 || !journal.begin()->second.IsPending()) code = 7;
        }
        std::error_code ec;
        fs::remove_all(w.Home(), ec);
        fs::remove_all(w.work.Native(), ec);
        std::exit(code);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
