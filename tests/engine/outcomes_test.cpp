// Defined outcomes of the single-file backup when the files misbehave:
// sources the user may not read, store folders that turned read-only, odd
// and long names, a journal whose disk is full. (A whole disk turning
// read-only runs end to end in the program tests.)
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/EngineEvents.h"
#include "common/Settings.h"
#include "engine/CSimpleEngine.h"
#include "plans/Schedule.h"
#include "platform/Errors.h"
#include "platform/Volumes.h"
#include "support/DeepTree.h"
#include "support/EventCollector.h"
#include "support/ScratchEnv.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using bvtest::ScratchEnv;

namespace {

constexpr uid_t kNobody = 65534;

// Runs body in a forked child that has dropped to the unprivileged user and
// returns its "key=value" lines as a map; {"SKIP": why} when it could not.
std::map<std::string, std::string> RunAsNobody(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return {{"SKIP", "no pipe"}};
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const std::string out = setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
                                    setuid(kNobody) != 0 || geteuid() != kNobody
                                ? "SKIP=cannot drop to nobody\n"
                                : body();
    for (size_t at = 0; at < out.size();) {
      const ssize_t w = write(fds[1], out.data() + at, out.size() - at);
      if (w <= 0) break;
      at += size_t(w);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  for (ssize_t r; pid > 0 && (r = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(r));
  close(fds[0]);
  int status = 0;
  if (pid < 0) return {{"SKIP", "no fork"}};
  waitpid(pid, &status, 0);
  std::map<std::string, std::string> m;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) m["CRASH"] = out;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return m;
}

class OutcomesTest : public ::testing::Test {
 protected:
  std::string Src(const std::string& rel) { return env_.Src().SystemOf(rel); }
  void TearDown() override {
    if (!shared_.empty()) {
      std::error_code ec;
      fs::remove_all(shared_, ec);
    }
  }

  ScratchEnv env_;
  std::string shared_;  // a folder the unprivileged child may write in
};

// As an ordinary user: a source only root may read fails with "access
// denied" and is counted, no copy made; when the store's folder turns
// read-only, a new file and a new version of a known one fail alike, with
// nothing left under the new name and the old copy intact.
TEST_F(OutcomesTest, UnreadableSourcesAndReadOnlyStoreFoldersFailWithAccessDenied) {
  shared_ = "/var/tmp/bv-outc-XXXXXX";
  if (!mkdtemp(shared_.data())) GTEST_SKIP() << "no folder for the unprivileged user";
  const std::string base = shared_;
  chmod(base.c_str(), 0755);
  mkdir((base + "/src").c_str(), 0755);
  bvtest::WriteNative(base + "/src/secret.doc", "secret");
  chmod((base + "/src/secret.doc").c_str(), 0600);
  if (chown(base.c_str(), kNobody, kNobody) != 0 ||
      chown((base + "/src").c_str(), kNobody, kNobody) != 0)
    GTEST_SKIP() << "cannot hand the folder over";

  const auto m = RunAsNobody([&]() -> std::string {
    // A data folder, store and volume table of the child's own: E: = base/store.
    mkdir((base + "/data").c_str(), 0700);
    mkdir((base + "/store").c_str(), 0700);
    const std::string volumes = base + "/data/volumes.ini";
    bvtest::WriteNative(volumes, "[C]\nRoot=/\nType=fixed\nBus=none\nSystem=1\n[E]\nRoot=" + base +
                                     "/store\nType=fixed\nBus=none\n[Power]\nSource=ac\n");
    setenv("BREVANTO_DATA_DIR", (base + "/data").c_str(), 1);
    setenv("BREVANTO_VOLUMES", volumes.c_str(), 1);
    ResetSettingsCache();
    plat::VolumeTable::Instance().Reload();
    auto plan = env_.MakePlan(1, kUnitDaily, 3, {"C:\\" + base.substr(1)});
    if (!plan) return "error=no plan\n";
    std::string folder = "C:" + base + "/src/";
    for (char& c : folder)
      if (c == '/') c = '\\';
    CSimpleEngine* engine = plan->Engine();
    const std::string latest = base + "/store/store1/Latest/C" + base + "/src";
    std::ostringstream o;
    bvtest::WriteNative(base + "/src/old.doc", "v1");
    o << "first=" << engine->BackupFile(folder + "old.doc", false, nullptr, 0) << "\n";

    bvtest::EventCollector events;
    o << "secret=" << engine->BackupFile(folder + "secret.doc", false, nullptr, 0) << "\n";
    LogRecord rec;
    o << "found=" << ScratchEnv::RecordOf(plan.get(), folder + "secret.doc", &rec) << "\n";
    o << "state=" << rec.state << "\nfailed=" << rec.failedAttempts
      << "\nbackup=" << rec.lastBackupTime << "\n";
    if (!events.Events().empty()) {
      o << "text3=" << events.Events().back().text3 << "\nvalue=" << events.Events().back().value
        << "\n";
    }

    chmod(latest.c_str(), 0555);
    bvtest::WriteNative(base + "/src/new.doc", "n");
    bvtest::WriteNative(base + "/src/old.doc", "v2");
    o << "new=" << engine->BackupFile(folder + "new.doc", false, nullptr, 0) << "\n";
    o << "old=" << engine->BackupFile(folder + "old.doc", false, nullptr, 0) << "\n";
    o << "events=" << events.CountOf(kEvFileFailed) << "\n";
    if (ScratchEnv::RecordOf(plan.get(), folder + "new.doc", &rec))
      o << "newstate=" << rec.state << "\n";
    std::string names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(latest, ec)) names += e.path().filename().string() + ",";
    o << "names=" << names << "\noldcopy=" << bvtest::ReadNative(latest + "/old.doc") << "\n";
    chmod(latest.c_str(), 0755);
    return o.str();
  });
  if (m.count("SKIP")) GTEST_SKIP() << m.at("SKIP");
  ASSERT_EQ(m.count("CRASH"), 0u) << m.at("CRASH");
  ASSERT_EQ(m.count("old"), 1u) << testing::PrintToString(m);
  const std::string denied = "Code: 5, Error: " + plat::WinErrorMessage(5);
  const std::map<std::string, std::string> want = {
      {"first", "0"},        {"secret", "5"},
      {"found", "1"},        {"state", std::to_string(kLogFailed)},
      {"failed", "1"},       {"backup", "0"},
      {"text3", denied},     {"value", "5"},
      {"new", "5"},          {"old", "5"},
      {"events", "3"},       {"newstate", std::to_string(kLogFailed)},
      {"names", "old.doc,"},  // no temporary file, nothing rotated out
      {"oldcopy", "v1"},
  };
  EXPECT_EQ(m, want);
  EXPECT_EQ(bvtest::ReadNative(base + "/src/secret.doc"), "secret") << "untouched";
}

// Changes the journal cannot take (its disk is full) are reported once, with
// the reason, when such failures begin; again after the journal took one.
TEST_F(OutcomesTest, ChangesTheJournalCannotTakeAreReportedOnce) {
  const std::string folder = env_.Data().NativeOf("PLAN/1");
  fs::create_directories(folder);
  if (mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "this machine does not let the test mount";
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{folder};
  auto plan = env_.MakePlan(1, kUnitDaily, 3, {env_.Src().System()});
  ASSERT_TRUE(plan);
  auto fill = [&] {
    const std::string block(4096, 'f');
    for (int i = 0;; ++i) {
      std::FILE* f = std::fopen((folder + "/filler" + std::to_string(i)).c_str(), "w");
      if (f == nullptr) return;
      const bool full = std::fwrite(block.data(), 1, block.size(), f) != block.size();
      if (std::fclose(f) != 0 || full) return;
    }
  };
  auto reports = [](bvtest::EventCollector& events) {
    std::vector<EventData> out;
    for (const EventData& e : events.Events())
      if (e.code == kEvDatabaseProblem && !e.text2.empty()) out.push_back(e);
    return out;
  };
  auto lost = [&](int i) { return Src("lost" + std::to_string(i) + ".txt"); };
  bvtest::EventCollector events;
  fill();
  for (int i = 0; i < 200; ++i) plan->NoteChangedFile(lost(i));
  const std::vector<EventData> said = reports(events);
  ASSERT_EQ(said.size(), 1u);
  // The page the journal already holds takes a few; the report names the
  // first change that found no room.
  int first = 0;
  LogRecord rec;
  while (first < 200 && ScratchEnv::RecordOf(plan.get(), lost(first), &rec)) ++first;
  ASSERT_LT(first, 200);
  EXPECT_EQ(said[0].text2, lost(first));
  EXPECT_EQ(said[0].planId, 1u);
  EXPECT_EQ(said[0].value, static_cast<int32_t>(plat::kErrDiskFull));
  EXPECT_EQ(said[0].text3.rfind("Code: 112, Error: ", 0), 0u) << said[0].text3;

  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().filename().string().rfind("filler", 0) == 0) fs::remove(e.path());
  plan->NoteChangedFile(Src("kept.txt"));
  EXPECT_TRUE(ScratchEnv::RecordOf(plan.get(), Src("kept.txt"), &rec));
  fill();
  for (int i = 0; i < 200; ++i) plan->NoteChangedFile(Src("again" + std::to_string(i) + ".txt"));
  EXPECT_EQ(reports(events).size(), 2u);
}

}  // namespace
