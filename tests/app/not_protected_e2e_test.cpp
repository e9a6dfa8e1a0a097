// The real program on a folder under $HOME that holds files whose names the
// store cannot hold (a backslash, bytes that are not UTF-8, a path longer
// than the system opens by name), both at the first backup or the catch-up
// walk and written while it runs: each is logged once as not protected with
// its reason, and the other files of the folder are copied.
#include <gtest/gtest.h>

#include <QProcess>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "ProgramRun.h"
#include "support/DataFolder.h"
#include "support/DeepTree.h"
#include "support/QtApp.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

void WriteRaw(const std::string& native, const std::string& bytes) {
  std::ofstream(native, std::ios::binary) << bytes;
}

TEST(NotProtectedEndToEndTest, UnheldNamesAreLoggedOnceAndTheRestIsCopied) {
  bvtest::App();
  bvtest::TempDir work;
  bvtest::DataFolder data(work.Native());
  bvtest::TempDir home(bvtest::TempDir::Where::kHome);
  ASSERT_FALSE(home.Native().empty()) << "cannot make a folder under $HOME";
  fs::create_directories(home.NativeOf("prot"));
  const std::string prot = home.NativeOf("prot") + "/";
  WriteRaw(prot + "good.txt", "good");
  WriteRaw(prot + "a\\b.txt", "backslash");
  WriteRaw(prot + "\xff\xfe.txt", "not utf-8");

  bvtest::PlanFiles plan;
  plan.name = "Names";
  plan.storePath = "E:\\Store\\";
  plan.sources = {home.SystemOf("prot")};
  data.WritePlan(plan);
  data.WritePlanList({1});
  std::unique_ptr<QProcess> program = bvtest::StartProgram(
      data, {{"BREVANTO_CHANGE_SOURCE", "inotify"}, {"BREVANTO_CHANGE_ROOTS", home.Native()}},
      {"-s"});
  ASSERT_NE(program, nullptr);
  ASSERT_TRUE(bvtest::WaitUntilRunning(data)) << bvtest::ReadNative(data.StderrLog());

  const std::string base = "Source Path = " + home.SystemOf("prot") + "\\";
  const std::string backslash = base + "a\\b.txt";
  const std::string notUtf8 = base + "\\xFF\\xFE.txt";
  const std::string later = base + "later\\xFF.txt";
  const std::string inStore = data.Volume('E') + "/Store/Latest/C" + home.NativeOf("prot/");
  auto copied = [&](const char* name) { return fs::exists(inStore + name); };
  ASSERT_TRUE(bvtest::WaitFor([&] {
    const std::string log = data.LogText();
    return copied("good.txt") && log.find(backslash) != std::string::npos &&
           log.find(notUtf8) != std::string::npos;
  })) << data.LogText();

  // Written while the program runs, the second time too: still one line.
  WriteRaw(prot + "later\xff.txt", "later");
  WriteRaw(prot + "good2.txt", "good2");
  ASSERT_TRUE(bvtest::WaitFor([&] {
    return copied("good2.txt") && data.LogText().find(later) != std::string::npos;
  })) << data.LogText();
  WriteRaw(prot + "later\xff.txt", "later, again");
  WriteRaw(prot + "good3.txt", "good3");
  ASSERT_TRUE(bvtest::WaitFor([&] { return copied("good3.txt"); }));
  program->kill();
  program->waitForFinished(10000);

  const std::string log = data.LogText();
  EXPECT_EQ(Count(log, "#File Not Protected"), 3u) << log;
  for (const std::string& line : {backslash, notUtf8, later}) EXPECT_EQ(Count(log, line), 1u);
  EXPECT_EQ(Count(log, "Reason = The name holds a backslash"), 1u);
  EXPECT_EQ(Count(log, "Reason = The name is not valid UTF-8"), 2u);
}

// A tree deeper than 4,096 bytes under a protected folder, met by the
// catch-up walk at start with the change source the program picks itself.
TEST(NotProtectedEndToEndTest, PathsTooLongAreLoggedOnceAndTheRestIsCopied) {
  bvtest::App();
  bvtest::TempDir work;
  bvtest::DataFolder data(work.Native());
  bvtest::TempDir home(bvtest::TempDir::Where::kHome);
  ASSERT_FALSE(home.Native().empty()) << "cannot make a folder under $HOME";
  fs::create_directories(home.NativeOf("prot"));
  const std::string name(240, 'n');
  ASSERT_TRUE(
      bvtest::MakeDeepTree(home.NativeOf("prot"), name, 18, {{2, "near.txt"}, {18, "far.txt"}}));
  struct Cleanup {
    ~Cleanup() { bvtest::RemoveDeepTree(root, name); }
    std::string root, name;
  } cleanup{home.NativeOf("prot"), name};

  bvtest::PlanFiles plan;
  plan.name = "Deep";
  plan.storePath = "E:\\Store\\";
  plan.sources = {home.SystemOf("prot")};
  plan.firstBackupDone = true;
  data.WritePlan(plan);
  data.WritePlanList({1});
  std::unique_ptr<QProcess> program = bvtest::StartProgram(data);
  ASSERT_NE(program, nullptr);
  ASSERT_TRUE(bvtest::WaitUntilRunning(data)) << bvtest::ReadNative(data.StderrLog());

  std::string far = "Source Path = " + home.SystemOf("prot") + "\\";
  for (int i = 0; i < 18; ++i) far += name + "\\";
  far += "far.txt";
  const std::string near = data.Volume('E') + "/Store/Latest/C" +
                           home.NativeOf("prot/" + name + "/" + name + "/near.txt");
  ASSERT_TRUE(bvtest::WaitFor([&] {
    return fs::exists(near) && data.LogText().find(far) != std::string::npos;
  })) << data.LogText();
  // A file written there while the program runs is reported as it comes.
  ASSERT_TRUE(bvtest::MakeDeepTree(home.NativeOf("prot"), name, 18, {{18, "later.txt"}}));
  const std::string later = far.substr(0, far.size() - 7) + "later.txt";
  ASSERT_TRUE(bvtest::WaitFor([&] { return data.LogText().find(later) != std::string::npos; }))
      << data.LogText();
  program->kill();
  program->waitForFinished(10000);
  const std::string log = data.LogText();
  EXPECT_EQ(Count(log, far), 1u);
  EXPECT_EQ(Count(log, later), 1u);
  EXPECT_EQ(Count(log, "Reason = The path is longer than the store can hold."), 2u) << log;
}

}  // namespace
