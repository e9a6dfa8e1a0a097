// The program as a desktop installs it: the install tree and the autostart entry.
#include "ProgramRun.h"
#include "app/gui/CBrevantoApp.h"
#include "common/Settings.h"
#include "engine/PlanList.h"
#include "support/ScratchEnv.h"
#include "ui/main/CBrevantoView.h"
#include "ui/main/CMainFrame.h"
#include "ui/main/EventPump.h"
#include "ui/settings/Autostart.h"

namespace {

constexpr char kId[] = "org.brevanto.Brevanto";

// A tool run to its end: its exit code (-1: did not run) and its output.
std::pair<int, std::string> RunTool(const QString& program, const QStringList& args) {
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(program, args);
  if (!p.waitForStarted(10000) || !p.waitForFinished(60000)) {
    p.kill();
    p.waitForFinished();
    return {-1, "did not run: " + program.toStdString()};
  }
  return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAll().toStdString()};
}

void ExpectValid(const std::string& file) {
  auto [code, out] = RunTool("desktop-file-validate", {QString::fromStdString(file)});
  EXPECT_EQ(code, 0) << file << "\n" << out;
}

std::string Line(const std::string& text, const std::string& key) {
  const size_t at = text.find("\n" + key + "=");
  if (at == std::string::npos) return "<none>";
  const size_t start = at + key.size() + 2;
  return text.substr(start, text.find('\n', start) - start);
}

// The prefix holds every file and no more; the program runs from it and asks to start at login.
TEST(InstallTest, PrefixHoldsEveryFileTheDesktopFindsAndTheProgramRunsFromIt) {
  bvtest::ProgramWorld w;
  const std::string prefix = w.work.NativeOf("usr local"), exe = prefix + "/bin/brevanto";
  auto [code, out] =
      RunTool(BV_CMAKE, {"--install", BV_BUILD_DIR, "--prefix", QString::fromStdString(prefix)});
  ASSERT_EQ(code, 0) << out;
  std::map<std::string, std::string> want;
  const std::string res = BV_SOURCE_DIR "/resources/", id = kId;
  for (const auto& [rel, content] : bvtest::FilesBelow(res)) {
    if (rel != "CMakeLists.txt" && rel != "README.md" && rel.rfind("desktop/", 0) != 0)
      want["share/brevanto/" + rel] = content;
  }
  want["share/metainfo/" + id + ".metainfo.xml"] =
      bvtest::ReadNative(res + "desktop/" + id + ".metainfo.xml");
  want["share/icons/hicolor/scalable/apps/" + id + ".svg"] =
      bvtest::ReadNative(res + "desktop/icons/" + id + ".svg");
  for (const std::string s : {"16", "22", "24", "32", "48", "64", "128", "256"})
    want["share/icons/hicolor/" + s + "x" + s + "/apps/" + id + ".png"] =
        bvtest::ReadNative(res + "desktop/icons/" + id + "-" + s + ".png");
  std::map<std::string, std::string> got = bvtest::FilesBelow(prefix);
  const std::string app = "share/applications/" + id + ".desktop";
  EXPECT_EQ(Line(got[app], "Exec"), "\"" + exe + "\"");
  EXPECT_EQ(Line(got[app], "Icon"), id);
  struct stat st {};
  EXPECT_TRUE(stat(exe.c_str(), &st) == 0 && (st.st_mode & S_IXOTH));
  ExpectValid(prefix + "/" + app);
  got.erase(app);
  got.erase("bin/brevanto");  // stripped or without its build-tree search path
  for (const auto& [rel, content] : want) EXPECT_TRUE(got.count(rel) && got[rel] == content) << rel;
  for (const auto& [rel, content] : got) EXPECT_TRUE(want.count(rel)) << "more: " << rel;
  std::tie(code, out) = RunTool(
      "appstreamcli", {"validate", "--no-net",
                       QString::fromStdString(prefix + "/share/metainfo/" + id + ".metainfo.xml")});
  EXPECT_EQ(code, 0) << out;
  // Asked how to start it, the installed program answers on the terminal and ends.
  std::tie(code, out) = RunTool(QString::fromStdString(exe), {"--help"});
  EXPECT_EQ(code, 0);
  EXPECT_EQ(out.rfind("Usage: brevanto [-s | --help | --version]\n", 0), 0u) << out;
  EXPECT_NE(out.find("  -s  "), std::string::npos) << out;
  std::tie(code, out) = RunTool(QString::fromStdString(exe), {"--version"});
  EXPECT_EQ(code, 0);
  EXPECT_EQ(out.rfind("Brevanto Essentials ", 0), 0u) << out;

  fs::create_directories(w.Home("docs"));
  w.Plan(1, "Docs", "E:\\Store\\", {"docs"});
  w.data.WritePlanList({1});
  const std::string autostart = w.data.Work() + "/config/autostart/" + kId + ".desktop";
  for (const bool plans : {true, false}) {
    if (!plans) fs::remove_all(w.data.Data("")), fs::create_directories(w.data.Data(""));
    QProcess* program = w.Start({}, {"-s"}, false, true, exe);
    const std::string started = bvtest::ReadNative(autostart);
    EXPECT_EQ(Line(started, "Exec"), plans ? "\"" + exe + "\" -s" : "<none>");
    if (plans) {
      EXPECT_EQ(Line(started, "TryExec"), exe);
      EXPECT_EQ(Line(started, "Comment"), "Protects your files from the moment you log in");
      ExpectValid(autostart);
    }
    EXPECT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));
  }
}

// The running program's entry follows its plans and the desktop's switch.
TEST(AutostartTest, TheEntryFollowsPlansAndChoice) {
  bvtest::App();
  bvtest::TempDir dir;
  bvtest::DataFolder data(dir.Native());
  data.ApplyEnvironment(false);
  ResetSettingsCache();
  const std::string entry = dir.NativeOf("config/autostart/") + kId + ".desktop";
  // No event loop runs, so the first-use wizard never opens; the pump is drained by hand.
  CBrevantoApp app("brevanto");
  ASSERT_TRUE(app.InitInstance());
  CEventPump* pump = app.MainFrame()->View()->EventPump();
  EXPECT_FALSE(fs::exists(entry));
  CPlan* plan = PlanList::Instance().CreatePlan(bvtest::ScratchEnv::Settings("Docs", "Store"));
  ASSERT_NE(plan, nullptr);
  pump->Drain();
  EXPECT_NE(bvtest::ReadNative(entry).find("\nExec=" + fs::read_symlink("/proc/self/exe").string() +
                                           " -s\n"),
            std::string::npos);
  // Switched off by the desktop, it stays off until the user ticks it again.
  bvtest::WriteNative(entry, bvtest::ReadNative(entry) + "Hidden=true\n");
  EXPECT_TRUE(SyncAutostartEntry(true));
  EXPECT_FALSE(fs::exists(entry) || GetStartAtLogin());
  SetStartAtLogin(true);  // what the settings dialog does
  EXPECT_TRUE(SyncAutostartEntry(true));
  const std::string again = bvtest::ReadNative(entry);
  EXPECT_TRUE(again.find("\nExec=") != std::string::npos &&
              again.find("Hidden") == std::string::npos);
  PlanList::Instance().DeletePlan(plan->Id());
  pump->Drain();
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_EQ(app.ExitInstance(), 0);
}

}  // namespace
