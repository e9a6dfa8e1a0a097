// The real program on a data folder written by hand in the file formats: it
// loads the plans, refuses an invalid one, and the valid plan's first backup
// copies its sources into the store's "Latest" tree, noting them in the
// plan's journal and the activity log. The silent-start rules count the
// loaded plans.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAction>
#include <QApplication>
#include <QProcess>
#include <QThread>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "app/gui/CBrevantoApp.h"
#include "common/Settings.h"
#include "engine/CSimplePlan.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "support/DataFolder.h"
#include "support/QtApp.h"
#include "support/TempDir.h"
#include "ui/CMainFrame.h"

namespace fs = std::filesystem;

namespace {

using bvtest::App;

bool WaitFor(const std::function<bool()>& done, int seconds = 120) {
  return bvtest::WaitFor(done, seconds);
}

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string Binary(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 23);
  }
  return bytes;
}

struct SourceFile {
  std::string rel;  // below the source folder, '/' separated
  std::string bytes;
};

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    ASSERT_FALSE(source_.Native().empty()) << "cannot make a folder under $HOME";
    files_ = {
        {"src/a.txt", "alpha\r\nsecond line\n"},
        {"src/sub/b.bin", Binary(300 * 1024, 7)},
        {"src/sub/deeper/Ünïcode name (1).txt", "odd name"},
        {"src/empty.txt", ""},
    };
    for (const auto& f : files_) bvtest::WriteNative(SourceNative(f.rel), f.bytes);
    bvtest::WriteNative(SourceNative("src/.hidden.txt"), "hidden files are not walked");
  }

  void TearDown() override {
    for (auto& p : processes_) {
      if (p->state() != QProcess::NotRunning) {
        p->kill();
        p->waitForFinished(10000);
      }
    }
  }

  std::string SourceNative(const std::string& rel) const { return source_.Native() + "/" + rel; }
  std::string SourceSystem(const std::string& rel) const {
    std::string path = bvtest::NativeToSystemC(source_.Native()) + "\\" + rel;
    for (char& c : path)
      if (c == '/') c = '\\';
    return path;
  }
  // Where the first backup puts a source file: <store>\Latest\C\<path>.
  std::string LatestNative(char storeVolume, const std::string& rel) const {
    return data_.Volume(storeVolume) + "/Store/Latest/C" + source_.Native() + "/" + rel;
  }
  std::string Data(const std::string& rel) const { return data_.Data(rel); }
  std::string Trace() const { return data_.TraceLog(); }

  // One plan folder, as the program writes it. name empty: no Name line.
  void WritePlan(uint32_t id, const std::string& name, const std::string& storeRoot,
                 const std::string& sourceFolder) {
    bvtest::PlanFiles plan;
    plan.id = id;
    plan.name = name;
    plan.storePath = storeRoot;
    plan.sources = {sourceFolder};
    data_.WritePlan(plan);
  }

  void WritePlanList(const std::vector<uint32_t>& ids) { data_.WritePlanList(ids); }
  std::string LogText() const { return data_.LogText(); }

  bool TraceHas(const std::string& line) const {
    const std::string text = "\n" + bvtest::ReadNative(Trace());
    return text.find("\n" + line + "\n") != std::string::npos;
  }

  QProcess* Start(const QStringList& args = {}) {
    auto p = bvtest::StartProgram(data_, {}, args);
    EXPECT_NE(p, nullptr);
    if (!p) return nullptr;
    processes_.push_back(std::move(p));
    return processes_.back().get();
  }

  void Stop(QProcess* p) {
    p->kill();
    p->waitForFinished(10000);
  }

  bvtest::TempDir dir_;
  bvtest::DataFolder data_{dir_.Native(), "EF"};
  // Under $HOME: the built-in exclusions leave the temporary folders out.
  bvtest::TempDir source_{bvtest::TempDir::Where::kHome};
  std::vector<SourceFile> files_;
  std::vector<std::unique_ptr<QProcess>> processes_;
};

TEST_F(EndToEndTest, FirstBackupCopiesSourcesIntoLatestAndRefusesTheInvalidPlan) {
  WritePlan(1, "E2E Documents", "E:\\Store\\", SourceSystem("src"));
  WritePlan(2, "", "F:\\Store\\", SourceSystem("src"));  // no Name: refused
  WritePlanList({1, 2});

  QProcess* program = Start();
  for (const auto& f : files_) {
    const std::string copy = LatestNative('E', f.rel);
    ASSERT_TRUE(WaitFor([&] { return fs::exists(copy) && bvtest::ReadNative(copy) == f.bytes; }))
        << "not copied with equal bytes: " << copy;
  }
  // The scan is over once its end is logged; its records come before it.
  ASSERT_TRUE(
      WaitFor([&] { return LogText().find("#Plan Initial Backup End ") != std::string::npos; }));
  EXPECT_EQ(program->state(), QProcess::Running);

  EXPECT_TRUE(fs::exists(Data("PLAN/1/Logging.dat")));
  const std::string log = LogText();
  EXPECT_EQ(CountOf(log, "#Plan Initial Backup Start"), 1u);
  EXPECT_NE(log.find("Plan Name = E2E Documents"), std::string::npos);
  EXPECT_GE(CountOf(log, "#Backup File Success"), files_.size());
  EXPECT_NE(log.find("Source Path = " + SourceSystem("src/a.txt") + "\r"), std::string::npos);
  EXPECT_NE(log.find("Destination Path = E:\\Store\\Latest\\C"), std::string::npos);
  EXPECT_EQ(log.find("#Backup File Fail"), std::string::npos);
  // Hidden entries are not walked.
  EXPECT_FALSE(fs::exists(LatestNative('E', "src/.hidden.txt")));
  // Only the valid plan was loaded and enabled; the other never ran.
  EXPECT_EQ(CountOf(log, "#Plan Enabled"), 1u);
  EXPECT_FALSE(fs::exists(data_.Volume('F') + "/Store/Latest"));
  // With a plan loaded, a normal start shows the window without the first-use routine.
  EXPECT_TRUE(TraceHas("shown"));
  EXPECT_FALSE(TraceHas("first-use"));
  Stop(program);
}

TEST_F(EndToEndTest, SilentStartCountsLoadedPlans) {
  bvtest::WriteNative(Data("InternalSettings.ini"), "[General]\nRunOnce=0\n");

  // Only an invalid plan: nothing loads, so even a silent start shows the
  // window and runs the first-use routine.
  WritePlan(2, "", "F:\\Store\\", SourceSystem("src"));
  WritePlanList({2});
  QProcess* empty = Start({"-s"});
  ASSERT_TRUE(WaitFor([&] { return TraceHas("first-use"); }, 60));
  EXPECT_TRUE(TraceHas("shown"));
  EXPECT_FALSE(TraceHas("hidden"));
  Stop(empty);

  // A valid plan: the silent start keeps the window hidden.
  fs::remove(Trace());
  WritePlan(1, "E2E Silent", "E:\\Store\\", SourceSystem("src"));
  WritePlanList({1, 2});
  QProcess* silent = Start({"-s"});
  ASSERT_TRUE(WaitFor([&] { return TraceHas("hidden"); }, 60));
  EXPECT_FALSE(TraceHas("shown"));
  // The hidden program still backs up.
  const std::string copy = LatestNative('E', "src/a.txt");
  EXPECT_TRUE(WaitFor([&] { return bvtest::ReadNative(copy) == files_[0].bytes; }));
  Stop(silent);
}

// The application in a process of its own, ended through its exit command
// while the plan's first backup is still walking: exit processing stops the
// plan's thread, and the process-wide objects go at process end without a
// crash (a crash would end the child by a signal, not with 0).
TEST_F(EndToEndTest, ExitWhileBackingUpStopsThePlanAndEndsCleanly) {
  for (int i = 0; i < 1000; ++i) {
    bvtest::WriteNative(SourceNative("src/many/f" + std::to_string(i) + ".txt"), "x");
  }
  WritePlan(1, "E2E Exit", "E:\\Store\\", SourceSystem("src"));
  WritePlanList({1});
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        data_.ApplyEnvironment(false);
        ResetSettingsCache();
        int code = 0;
        {
          CBrevantoApp app("test_app");
          if (!app.InitInstance()) std::_Exit(2);
          // Exit once the first copies are there: the walk is still going.
          const std::string latest = data_.Volume('E') + "/Store/Latest";
          auto copied = [&] {
            std::error_code ec;
            for (auto it = fs::recursive_directory_iterator(latest, ec);
                 !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
              if (it->is_regular_file()) return true;
            }
            return false;
          };
          const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
          while (!copied() && std::chrono::steady_clock::now() < limit) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
          }
          if (!copied()) code = 3;
          app.MainFrame()->ExitAction()->trigger();
          QCoreApplication::sendPostedEvents();
          app.ExitInstance();
          {
            PlanList& list = PlanList::Instance();
            std::lock_guard<std::recursive_mutex> g(list.Lock());
            auto* plan = list.Count() == 1 ? dynamic_cast<CSimplePlan*>(list.At(0)) : nullptr;
            if (code == 0 && (plan == nullptr || plan->Thread() != nullptr)) code = 4;
          }
          // Stopping at exit is not a user's choice: the stored plan stays enabled.
          if (code == 0 &&
              bvtest::ReadNative(Data("PLAN/1/Plan.ini")).find("Enabled=1") == std::string::npos) {
            code = 5;
          }
        }
        std::error_code ec;
        fs::remove_all(source_.Native(), ec);
        fs::remove_all(dir_.Native(), ec);
        std::exit(code);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
