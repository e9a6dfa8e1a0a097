// The program as a desktop installs it: `cmake --install` into a temporary
// prefix checked file by file and by the desktop's own validators, the
// installed executable finding its side files under share/ and adding its
// autostart entry once a plan exists (and dropping it once the plans are
// gone), and the Debian package built from the same tree.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QProcess>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "app/gui/CBrevantoApp.h"
#include "common/PlanSettings.h"
#include "common/Settings.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "support/QtApp.h"
#include "support/TempDir.h"
#include "ui/Autostart.h"
#include "ui/CBrevantoView.h"
#include "ui/CMainFrame.h"
#include "ui/EventPump.h"

namespace fs = std::filesystem;

namespace {

constexpr char kId[] = "org.brevanto.Brevanto";

struct ToolRun {
  int code = -1;
  std::string output;
};

// Runs a tool to its end; code -1 when it could not start or took too long.
ToolRun RunTool(const QString& program, const QStringList& args, int seconds = 60) {
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(program, args);
  ToolRun run;
  if (!p.waitForStarted(10000) || !p.waitForFinished(seconds * 1000)) {
    p.kill();
    p.waitForFinished();
    run.output = "did not run: " + program.toStdString();
    return run;
  }
  run.output = p.readAll().toStdString();
  run.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  return run;
}

ToolRun Validate(const std::string& desktopFile) {
  return RunTool("desktop-file-validate", {QString::fromStdString(desktopFile)});
}

std::string Line(const std::string& text, const std::string& key) {
  const size_t at = text.find("\n" + key + "=");
  if (at == std::string::npos) return "<none>";
  const size_t start = at + key.size() + 2;
  return text.substr(start, text.find('\n', start) - start);
}

// Checks the tree installed under prefix file by file against the source
// tree: the side files in share/brevanto/ (all of resources/ but its build
// notes and desktop/), the metadata and the icons, the executable, and a
// menu entry whose Exec line is exec. Returns the entry's path.
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

// The program installed in prefix, started silently on data with the
// environment its tests use; null when it did not start.
std::unique_ptr<QProcess> StartInstalled(const std::string& prefix,
                                         const bvtest::DataFolder& data) {
  auto p = std::make_unique<QProcess>();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const auto& [key, value] : data.Environment(true)) {
    if (value.empty())
      env.remove(QString::fromStdString(key));
    else
      env.insert(QString::fromStdString(key), QString::fromStdString(value));
  }
  p->setProcessEnvironment(env);
  p->setStandardOutputFile(QProcess::nullDevice());
  p->setStandardErrorFile(QString::fromStdString(data.StderrLog()));
  p->start(QString::fromStdString(prefix + "/bin/brevanto"), {"-s"});
  if (!p->waitForStarted(10000)) return nullptr;
  return p;
}

void Stop(QProcess* p) {
  kill(static_cast<pid_t>(p->processId()), SIGTERM);
  if (!p->waitForFinished(20000)) {
    p->kill();
    p->waitForFinished();
  }
}

TEST(InstallTest, PrefixHoldsEveryFileTheDesktopFindsAndTheProgramRunsFromIt) {
  bvtest::App();
  bvtest::TempDir work;
  const std::string prefix = work.NativeOf("usr local");  // a blank the entry must quote
  const ToolRun install =
      RunTool(BV_CMAKE, {"--install", BV_BUILD_DIR, "--prefix", QString::fromStdString(prefix)});
  ASSERT_EQ(install.code, 0) << install.output;

  // Every file, and nothing else; the menu entry starts the installed
  // executable; the desktop's validators accept the entry and the metadata.
  const std::string entry = ExpectTree(prefix, "\"" + prefix + "/bin/brevanto\"");
  ToolRun check = Validate(entry);
  EXPECT_EQ(check.code, 0) << check.output;
  check = RunTool("appstreamcli",
                  {"validate", "--no-net",
                   QString::fromStdString(prefix + "/share/metainfo/" + kId + ".metainfo.xml")});
  EXPECT_EQ(check.code, 0) << check.output;

  // Started from the prefix, the program reads its texts from share/ (the
  // autostart entry's comment is one) and, with a plan, asks the session to
  // start it: the installed executable, silently.
  fs::create_directories(work.NativeOf("run"));
  fs::create_directories(work.NativeOf("docs"));
  bvtest::DataFolder data(work.NativeOf("run"));
  bvtest::PlanFiles plan;
  plan.name = "Docs";
  plan.storePath = "E:\\Store\\";
  plan.sources = {bvtest::NativeToSystemC(work.NativeOf("docs"))};
  data.WritePlan(plan);
  data.WritePlanList({1});
  const std::string autostart = data.Work() + "/config/autostart/" + kId + ".desktop";
  auto program = StartInstalled(prefix, data);
  ASSERT_NE(program, nullptr);
  ASSERT_TRUE(bvtest::WaitUntilRunning(data)) << bvtest::ReadNative(data.StderrLog());
  const std::string started = bvtest::ReadNative(autostart);
  EXPECT_EQ(Line(started, "Exec"), "\"" + prefix + "/bin/brevanto\" -s");
  EXPECT_EQ(Line(started, "TryExec"), prefix + "/bin/brevanto");
  EXPECT_EQ(Line(started, "Comment"), "Protects your files from the moment you log in");
  check = Validate(autostart);
  EXPECT_EQ(check.code, 0) << check.output;
  Stop(program.get());

  // The program's data removed: the next start leaves no entry behind.
  fs::remove_all(data.Data(""));
  fs::create_directories(data.Data(""));
  fs::remove(data.TraceLog());
  program = StartInstalled(prefix, data);
  ASSERT_NE(program, nullptr);
  ASSERT_TRUE(bvtest::WaitUntilRunning(data));
  EXPECT_FALSE(fs::exists(autostart));
  Stop(program.get());
}

// The running program follows its plans: the first plan made adds the
// entry, deleting the last one removes it; the desktop switching it off is
// respected.
TEST(AutostartTest, EntryFollowsThePlansOfTheRunningProgram) {
  bvtest::App();
  bvtest::TempDir dir;
  for (const char* sub : {"run", "global", "data", "config"})
    fs::create_directories(dir.NativeOf(sub));
  fs::permissions(dir.NativeOf("run"), fs::perms::owner_all);
  const std::vector<std::pair<const char*, std::string>> env = {
      {"XDG_RUNTIME_DIR", dir.NativeOf("run")},
      {"BREVANTO_GLOBAL_LOCK_DIR", dir.NativeOf("global")},
      {"BREVANTO_DATA_DIR", dir.NativeOf("data")},
      {"XDG_CONFIG_HOME", dir.NativeOf("config")}};
  for (const auto& [key, value] : env) setenv(key, value.c_str(), 1);
  ResetSettingsCache();
  const std::string entry = dir.NativeOf("config/autostart/") + kId + ".desktop";
  {
    // No event loop runs here, so the first-use wizard never opens; the
    // view's pump is drained by hand.
    CBrevantoApp app("brevanto");
    ASSERT_TRUE(app.InitInstance());
    CEventPump* pump = app.MainFrame()->View()->EventPump();
    EXPECT_FALSE(fs::exists(entry));
    PlanSettings settings;
    settings.name = "Docs";
    settings.storePath = dir.SystemOf("Store") + "\\";
    settings.storageType = kStorageLocal;
    settings.scheduleNum = 1;
    settings.scheduleUnit = 1;
    settings.versionNumber = 3;
    CPlan* plan = PlanList::Instance().CreatePlan(settings);
    ASSERT_NE(plan, nullptr);
    pump->Drain();
    EXPECT_NE(bvtest::ReadNative(entry).find(
                  "\nExec=" + fs::read_symlink("/proc/self/exe").string() + " -s\n"),
              std::string::npos);
    // Switched off with the desktop's own start-up settings (the entry
    // removed, or hidden): it stays off until the user ticks it again.
    for (const bool hide : {false, true}) {
      SCOPED_TRACE(hide);
      if (hide)
        bvtest::WriteNative(entry, bvtest::ReadNative(entry) + "Hidden=true\n");
      else
        fs::remove(entry);
      settings.name = "More";
      settings.storePath = dir.SystemOf("More") + "\\";
      CPlan* more = PlanList::Instance().CreatePlan(settings);
      ASSERT_NE(more, nullptr);
      pump->Drain();
      EXPECT_FALSE(fs::exists(entry));
      EXPECT_FALSE(GetStartAtLogin());
      PlanList::Instance().DeletePlan(more->Id());
      SetStartAtLogin(true);  // what the settings dialog does
      EXPECT_TRUE(SyncAutostartEntry(true));
      EXPECT_TRUE(fs::exists(entry));
    }
    PlanList::Instance().DeletePlan(plan->Id());
    pump->Drain();
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_EQ(app.ExitInstance(), 0);
  }
  for (const auto& [key, value] : env) unsetenv(key);
}

// Exec lines for executables in awkward places, each accepted by the
// validator and read back by its rules as the same path.
TEST(InstallTest, ExecLinesQuoteWhatTheDesktopWouldSplitOrExpand) {
  bvtest::TempDir work;
  struct Case {
    std::string path, exec;
  };
  const std::vector<Case> cases = {
      {"/usr/bin/brevanto", "/usr/bin/brevanto -s"},
      {"/opt/My Apps/brevanto", "\"/opt/My Apps/brevanto\" -s"},
      {"/opt/100%/brevanto", "/opt/100%%/brevanto -s"},
      {"/opt/a\"b$c`d/brevanto", "\"/opt/a\\\\\"b\\\\$c\\\\`d/brevanto\" -s"},
      {"/opt/back\\slash/brevanto", "\"/opt/back\\\\\\\\slash/brevanto\" -s"},
      {"/opt/line\nbreak/brevanto", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string exec = DesktopExecValue(c.path, "-s");
    EXPECT_EQ(exec, c.exec);
    if (exec.empty()) continue;
    const std::string file =
        work.Write("e.desktop", "[Desktop Entry]\nType=Application\nName=B\nExec=" + exec + "\n");
    const ToolRun check = Validate(file);
    EXPECT_EQ(check.code, 0) << check.output;
  }
}

// The Debian package: dependencies for the libraries the executable links,
// and the install tree under /usr once dpkg unpacks it into an empty system
// folder (and nothing left once it removes it).
TEST(PackageTest, DebianPackageHoldsTheTreeAndTheLinkedLibraries) {
  bvtest::TempDir work;
  const ToolRun pack = RunTool(BV_CPACK,
                               {"-G", "DEB", "--config", BV_BUILD_DIR "/CPackConfig.cmake", "-B",
                                QString::fromStdString(work.Native())},
                               120);
  ASSERT_EQ(pack.code, 0) << pack.output;
  std::string deb;
  for (const auto& e : fs::directory_iterator(work.Native()))
    if (e.path().extension() == ".deb") deb = e.path();
  ASSERT_FALSE(deb.empty()) << pack.output;

  // Dependencies: what the executable links, each a package of this system.
  const ToolRun info =
      RunTool("dpkg-deb", {"-f", QString::fromStdString(deb), "Package", "Depends"});
  ASSERT_EQ(info.code, 0) << info.output;
  EXPECT_NE(info.output.find("Package: brevanto\n"), std::string::npos) << info.output;
  const size_t field = info.output.find("Depends: ");
  ASSERT_NE(field, std::string::npos) << info.output;
  const std::string depends =
      info.output.substr(field + 9, info.output.find('\n', field) - field - 9) + ", ";
  for (const char* lib : {"libqt6widgets6", "libqt6gui6", "libqt6core6", "libqt6network6",
                          "libblkid1", "libcurl4", "libc6", "libstdc++6"}) {
    EXPECT_NE(depends.find(std::string(lib) + " ("), std::string::npos) << lib << "\n" << depends;
  }
  for (size_t at = 0, end; (end = depends.find(", ", at)) != std::string::npos; at = end + 2) {
    const std::string name = depends.substr(at, depends.find_first_of(" ,", at) - at);
    const ToolRun known = RunTool("dpkg-query", {"-W", QString::fromStdString(name)});
    EXPECT_EQ(known.code, 0) << name << ": " << known.output;
  }

  const std::string root = work.NativeOf("root");
  fs::create_directories(root + "/var/lib/dpkg/info");
  fs::create_directories(root + "/var/lib/dpkg/updates");
  bvtest::WriteNative(root + "/var/lib/dpkg/status", "");
  const QString rootArg = QString::fromStdString("--root=" + root);
  ToolRun dpkg = RunTool(
      "dpkg", {rootArg, "--force-depends", "--log=/dev/null", "-i", QString::fromStdString(deb)});
  ASSERT_EQ(dpkg.code, 0) << dpkg.output;
  ExpectTree(root + "/usr", "/usr/bin/brevanto");
  dpkg = RunTool("dpkg", {rootArg, "--log=/dev/null", "-r", "brevanto"});
  ASSERT_EQ(dpkg.code, 0) << dpkg.output;
  EXPECT_TRUE(bvtest::FilesBelow(root + "/usr").empty());
}

}  // namespace
