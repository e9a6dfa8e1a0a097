// The program as a desktop installs it: the install tree, the autostart
// entry, and the Debian package.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "app/gui/CBrevantoApp.h"
#include "common/Settings.h"
#include "engine/PlanList.h"
#include "support/ScratchEnv.h"
#include "ui/Autostart.h"
#include "ui/CBrevantoView.h"
#include "ui/CMainFrame.h"
#include "ui/EventPump.h"

namespace fs = std::filesystem;

namespace {

constexpr char kId[] = "org.brevanto.Brevanto";

// A tool run to its end: its exit code (-1: did not run) and its output.
std::pair<int, std::string> RunTool(const QString& program, const QStringList& args,
                                    int seconds = 60) {
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(program, args);
  if (!p.waitForStarted(10000) || !p.waitForFinished(seconds * 1000)) {
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

// Checks the tree under prefix file by file against resources/ (side files,
// metadata, icons), the executable and a menu entry whose Exec line is exec.
// Returns the entry's path.
std::string ExpectTree(const std::string& prefix, const std::string& exec) {
  std::map<std::string, std::string> want;
  const std::string res = BV_SOURCE_DIR "/resources/";
  for (const auto& [rel, content] : bvtest::FilesBelow(res)) {
    if (rel != "CMakeLists.txt" && rel != "README.md" && rel.rfind("desktop/", 0) != 0)
      want["share/brevanto/" + rel] = content;
  }
  const std::string id = kId;
  want["share/metainfo/" + id + ".metainfo.xml"] =
      bvtest::ReadNative(res + "desktop/" + id + ".metainfo.xml");
  want["share/icons/hicolor/scalable/apps/" + id + ".svg"] =
      bvtest::ReadNative(res + "desktop/icons/" + id + ".svg");
  for (const std::string s : {"16", "22", "24", "32", "48", "64", "128", "256"})
    want["share/icons/hicolor/" + s + "x" + s + "/apps/" + id + ".png"] =
        bvtest::ReadNative(res + "desktop/icons/" + id + "-" + s + ".png");
  std::map<std::string, std::string> got = bvtest::FilesBelow(prefix);
  const std::string app = "share/applications/" + id + ".desktop";
  EXPECT_EQ(Line(got[app], "Exec"), exec);
  EXPECT_EQ(Line(got[app], "Icon"), id);
  struct stat st {};
  EXPECT_TRUE(stat((prefix + "/bin/brevanto").c_str(), &st) == 0 && (st.st_mode & S_IXOTH));
  got.erase(app);
  got.erase("bin/brevanto");  // stripped or without its build-tree search path
  for (const auto& [rel, content] : want) EXPECT_TRUE(got.count(rel) && got[rel] == content) << rel;
  for (const auto& [rel, content] : got) EXPECT_TRUE(want.count(rel)) << "more: " << rel;
  return prefix + "/" + app;
}

// The prefix (with a blank the entry must quote) holds every file and
// nothing else; the program started from it reads its texts from share/ and,
// with a plan, asks the session to start it; without plans, not.
TEST(InstallTest, PrefixHoldsEveryFileTheDesktopFindsAndTheProgramRunsFromIt) {
  bvtest::ProgramWorld w;
  const std::string prefix = w.work.NativeOf("usr local"), exe = prefix + "/bin/brevanto";
  auto [code, out] =
      RunTool(BV_CMAKE, {"--install", BV_BUILD_DIR, "--prefix", QString::fromStdString(prefix)});
  ASSERT_EQ(code, 0) << out;
  ExpectValid(ExpectTree(prefix, "\"" + exe + "\""));
  std::tie(code, out) =
      RunTool("appstreamcli",
              {"validate", "--no-net",
               QString::fromStdString(prefix + "/share/metainfo/" + kId + ".metainfo.xml")});
  EXPECT_EQ(code, 0) << out;

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

// Exec lines for executables in awkward places, each accepted by the
// validator; the running program's entry follows its plans (the first made
// adds it, deleting the last removes it) and the desktop switching it off
// (removed or hidden) until the user ticks it again.
TEST(AutostartTest, ExecLinesAndAnEntryThatFollowsPlansAndChoice) {
  bvtest::App();
  bvtest::TempDir dir;
  const std::pair<std::string, std::string> cases[] = {
      {"/usr/bin/brevanto", "/usr/bin/brevanto -s"},
      {"/opt/My Apps/brevanto", "\"/opt/My Apps/brevanto\" -s"},
      {"/opt/100%/brevanto", "/opt/100%%/brevanto -s"},
      {"/opt/a\"b$c`d/brevanto", "\"/opt/a\\\\\"b\\\\$c\\\\`d/brevanto\" -s"},
      {"/opt/back\\slash/brevanto", "\"/opt/back\\\\\\\\slash/brevanto\" -s"},
      {"/opt/line\nbreak/brevanto", ""}};
  for (const auto& [path, want] : cases) {
    const std::string exec = DesktopExecValue(path, "-s");
    EXPECT_EQ(exec, want) << path;
    if (!exec.empty())
      ExpectValid(
          dir.Write("e.desktop", "[Desktop Entry]\nType=Application\nName=B\nExec=" + exec + "\n"));
  }

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
  for (const bool hide : {false, true}) {
    if (hide)
      bvtest::WriteNative(entry, bvtest::ReadNative(entry) + "Hidden=true\n");
    else
      fs::remove(entry);
    EXPECT_TRUE(SyncAutostartEntry(true));
    EXPECT_FALSE(fs::exists(entry)) << hide;
    EXPECT_FALSE(GetStartAtLogin()) << hide;
    SetStartAtLogin(true);  // what the settings dialog does
    EXPECT_TRUE(SyncAutostartEntry(true));
    EXPECT_EQ(bvtest::ReadNative(entry).find("Hidden=true"), std::string::npos) << hide;
  }
  PlanList::Instance().DeletePlan(plan->Id());
  pump->Drain();
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_EQ(app.ExitInstance(), 0);
}

// The Debian package: dependencies for the libraries the executable links,
// each a package of this system, and the install tree under /usr once dpkg
// unpacks it into an empty system folder (and nothing left once it removes it).
TEST(PackageTest, DebianPackageHoldsTheTreeAndTheLinkedLibraries) {
  bvtest::TempDir work;
  auto [code, out] = RunTool(BV_CPACK,
                             {"-G", "DEB", "--config", BV_BUILD_DIR "/CPackConfig.cmake", "-B",
                              QString::fromStdString(work.Native())},
                             120);
  ASSERT_EQ(code, 0) << out;
  std::string deb;
  for (const auto& e : fs::directory_iterator(work.Native()))
    if (e.path().extension() == ".deb") deb = e.path();
  ASSERT_FALSE(deb.empty()) << out;
  std::tie(code, out) =
      RunTool("dpkg-deb", {"-f", QString::fromStdString(deb), "Package", "Depends"});
  ASSERT_EQ(code, 0) << out;
  EXPECT_NE(out.find("Package: brevanto\n"), std::string::npos) << out;
  const size_t field = out.find("Depends: ");
  ASSERT_NE(field, std::string::npos) << out;
  const std::string depends = out.substr(field + 9, out.find('\n', field) - field - 9) + ", ";
  for (const char* lib : {"libqt6widgets6", "libqt6gui6", "libqt6core6", "libqt6network6",
                          "libblkid1", "libcurl4", "libc6", "libstdc++6"})
    EXPECT_NE(depends.find(std::string(lib) + " ("), std::string::npos) << lib << "\n" << depends;
  for (size_t at = 0, end; (end = depends.find(", ", at)) != std::string::npos; at = end + 2) {
    const std::string name = depends.substr(at, depends.find_first_of(" ,", at) - at);
    auto [known, said] = RunTool("dpkg-query", {"-W", QString::fromStdString(name)});
    EXPECT_EQ(known, 0) << name << ": " << said;
  }

  const std::string root = work.NativeOf("root");
  fs::create_directories(root + "/var/lib/dpkg/info");
  fs::create_directories(root + "/var/lib/dpkg/updates");
  bvtest::WriteNative(root + "/var/lib/dpkg/status", "");
  const QString rootArg = QString::fromStdString("--root=" + root);
  std::tie(code, out) = RunTool(
      "dpkg", {rootArg, "--force-depends", "--log=/dev/null", "-i", QString::fromStdString(deb)});
  ASSERT_EQ(code, 0) << out;
  ExpectTree(root + "/usr", "/usr/bin/brevanto");
  std::tie(code, out) = RunTool("dpkg", {rootArg, "--log=/dev/null", "-r", "brevanto"});
  ASSERT_EQ(code, 0) << out;
  EXPECT_TRUE(bvtest::FilesBelow(root + "/usr").empty());
}

}  // namespace
