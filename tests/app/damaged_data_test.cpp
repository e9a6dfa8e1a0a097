// The real program on a data folder damaged by hand: a "plans.ini" of
// garbage and a journal with a flipped byte in the middle of its records.
// The plans still load (no first-use wizard), the list is written anew with
// the damaged file kept aside, and every file the journal holds as waiting,
// those behind the damaged record too, reaches the store.
#include <gtest/gtest.h>

#include <QProcess>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "history/CLoggingDatabase.h"
#include "support/DataFolder.h"
#include "support/QtApp.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using bvtest::WaitFor;

TEST(DamagedDataFolderTest, PlansLoadAndWaitingFilesAreCopiedDespiteDamage) {
  bvtest::App();
  bvtest::TempDir work;
  bvtest::DataFolder data(work.Native());
  bvtest::TempDir home(bvtest::TempDir::Where::kHome);
  ASSERT_FALSE(home.Native().empty());
  bvtest::WriteNative(data.Data("InternalSettings.ini"), "[General]\nRunOnce=0\n");

  bvtest::PlanFiles plan;
  plan.id = 1;
  plan.name = "Continuous";
  plan.storePath = "E:\\Store\\";
  plan.sources = {home.System()};
  plan.firstBackupDone = true;
  data.WritePlan(plan);
  plan.id = 4;
  plan.name = "Manual";
  plan.storePath = "E:\\Other\\";
  plan.scheduleUnit = 8;
  data.WritePlan(plan);
  bvtest::WriteNative(data.Data("plans.ini"), std::string("\x89\x00\xffSEED\r\n=ID", 10));

  // Thirty waiting files in plan 1's journal; record 20 gets a flipped byte.
  std::vector<std::string> files;
  {
    CLoggingDatabase db;
    ASSERT_EQ(db.Open(bvtest::NativeToSystemC(data.Data("PLAN/1")) + "\\", 1), 0u);
    for (int i = 0; i < 30; ++i) {
      const std::string rel = "f" + std::to_string(100 + i) + ".txt";
      home.Write(rel, "contents " + rel);
      files.push_back(rel);
      ASSERT_EQ(db.NoteChangedFile(home.SystemOf(rel)), 0u);
    }
  }
  const std::string journal = data.Data("PLAN/1/Logging.dat");
  const size_t recordSize = 2 * home.SystemOf(files[0]).size() + 50;
  {
    std::fstream f(journal, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(1024 + 20 * recordSize));
    f.put('\x13');  // the magic's first byte
  }

  auto program = bvtest::StartProgram(data, {}, {"-s"});
  ASSERT_NE(program, nullptr);
  ASSERT_TRUE(bvtest::WaitUntilRunning(data)) << bvtest::ReadNative(data.StderrLog());
  const std::string trace = bvtest::ReadNative(data.TraceLog());
  EXPECT_EQ(trace.find("first-use"), std::string::npos) << "the plans were lost: " << trace;

  auto latest = [&](const std::string& rel) {
    return data.Volume('E') + "/Store/Latest/C" + home.NativeOf(rel);
  };
  for (size_t i : {0u, 19u, 21u, 29u}) {
    EXPECT_TRUE(WaitFor([&] {
      return bvtest::ReadNative(latest(files[i])) == "contents " + files[i];
    })) << files[i]
        << " never copied";
  }
  program->kill();
  program->waitForFinished(10000);

  const std::string list = bvtest::ReadNative(data.Data("plans.ini"));
  EXPECT_EQ(list, "SEED=4\nID=1\nID=4\n");
  int aside = 0;
  for (const auto& e : fs::directory_iterator(data.Data("")))
    aside += e.path().filename().string().rfind("plans.ini.damaged-", 0) == 0;
  EXPECT_EQ(aside, 1);
  // The journal was rebuilt: every record but the damaged one is readable.
  CLoggingDatabase db;
  ASSERT_EQ(db.Open(bvtest::NativeToSystemC(data.Data("PLAN/1")) + "\\", 1), 0u);
  EXPECT_EQ(db.LoadIndex(), 0u);
  EXPECT_GE(db.IndexCount(), 29u);
  EXPECT_EQ(db.RebuildCount(), 0u) << "nothing left to repair";
}

}  // namespace
