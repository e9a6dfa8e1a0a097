// The real program with a continuous plan whose store is on a USB disk. The
// volume table is rewritten as a user unplugs the disk and plugs it back in
// under another letter: while it is away the plan notes its changes and
// saves "MissingTime"; when it is back the noted files reach the store at
// the disk's new letter.
#include <gtest/gtest.h>

#include <QProcess>
#include <QThread>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "ProgramRun.h"
#include "support/DataFolder.h"
#include "support/QtApp.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using bvtest::WaitFor;

// A key's value in a key-value text ("Key=Value" lines), "" when missing.
std::string ValueOf(const std::string& text, const std::string& key) {
  const std::string head = "\n" + key + "=";
  const std::string padded = "\n" + text;
  const size_t at = padded.find(head);
  if (at == std::string::npos) return {};
  const size_t from = at + head.size();
  return padded.substr(from, padded.find_first_of("\r\n", from) - from);
}

class UsbEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bvtest::App();
    ASSERT_FALSE(home_.Native().empty()) << "cannot make a folder under $HOME";
    fs::create_directories(home_.NativeOf("docs"));
    fs::create_directories(stick_);
    bvtest::PlanFiles plan;
    plan.id = 1;
    plan.name = "Stick";
    plan.storePath = "E:\\Store\\";
    plan.sources = {home_.SystemOf("docs")};
    plan.firstBackupDone = true;
    data_.WritePlan(plan);
    data_.WritePlanList({1});
    // The plan is of the USB kind and knows its disk by identity.
    const std::string planIni = data_.Data("PLAN/1/Plan.ini");
    std::string text = bvtest::ReadNative(planIni);
    const size_t at = text.find("StorageType=1");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 13, "StorageType=2");
    bvtest::WriteNative(planIni, text);
    bvtest::WriteNative(data_.Data("PLAN/1/Devices.ini"),
                        "[USB Device]\nVendor=Acme\nModel=Stick\nRevision=1.0\nSize=0\n"
                        "RelativePath=\\Store\\\nPartitionSerialNumber=305441741\n");
    Plug('E');
  }
  void TearDown() override {
    if (program_ && program_->state() != QProcess::NotRunning) {
      program_->kill();
      program_->waitForFinished(10000);
    }
  }

  // The table with the disk under a letter (0: unplugged); 1234-ABCD is
  // 305441741. A look-alike of the same model with another serial stays in.
  void Plug(char letter) {
    std::string table = "[C]\nRoot=/\nType=fixed\nSystem=1\n";
    table +=
        "[L]\nRoot=" + home_.NativeOf("lookalike") +
        "\nType=removable\nBus=usb\nVendor=Acme\nModel=Stick\nRevision=1.0\nSerial=0000-0001\n";
    if (letter != 0) {
      table += std::string("[") + letter + "]\nRoot=" + stick_ +
               "\nType=removable\nBus=usb\nVendor=Acme\nModel=Stick\nRevision=1.0\n"
               "Serial=1234-ABCD\n";
    }
    fs::create_directories(home_.NativeOf("lookalike"));
    bvtest::WriteNative(data_.Work() + "/volumes.ini", table);
  }

  void Start() {
    program_ = bvtest::StartProgram(
        data_,
        {{"BREVANTO_CHANGE_SOURCE", "inotify"}, {"BREVANTO_CHANGE_ROOTS", home_.NativeOf("docs")}},
        {"-s"});
    ASSERT_NE(program_, nullptr);
    ASSERT_TRUE(bvtest::WaitUntilRunning(data_)) << bvtest::ReadNative(data_.StderrLog());
  }

  std::string Latest(const std::string& rel) const {
    return stick_ + "/Store/Latest/C" + home_.NativeOf(rel);
  }
  bool HasBytes(const std::string& native, const std::string& bytes) const {
    return fs::exists(native) && bvtest::ReadNative(native) == bytes;
  }

  bvtest::TempDir home_{bvtest::TempDir::Where::kHome};
  std::string stick_ = home_.NativeOf("stick");
  bvtest::DataFolder data_{home_.Native()};
  std::unique_ptr<QProcess> program_;
};

TEST_F(UsbEndToEndTest, FollowsTheDiskOutAndBackUnderAnotherLetter) {
  Start();
  home_.Write("docs/a.txt", "first");
  ASSERT_TRUE(WaitFor([&] { return HasBytes(Latest("docs/a.txt"), "first"); }))
      << bvtest::ReadNative(data_.StderrLog());

  // Unplugged: the plan saves when its disk went missing and keeps noting.
  Plug(0);
  const std::string planIni = data_.Data("PLAN/1/Plan.ini");
  ASSERT_TRUE(WaitFor([&] {
    const std::string missing = ValueOf(bvtest::ReadNative(planIni), "MissingTime");
    return !missing.empty() && missing != "0";
  })) << bvtest::ReadNative(planIni);
  home_.Write("docs/b.txt", "written while away");
  home_.Write("docs/a.txt", "second");
  QThread::msleep(6000);  // more than a quiet time, a due interval and a poll
  EXPECT_FALSE(fs::exists(Latest("docs/b.txt"))) << "copied to a disk that is away";
  EXPECT_TRUE(HasBytes(Latest("docs/a.txt"), "first"));

  // Back under F: (the look-alike on L: is never taken for it): the noted
  // files reach the store, the old copy of a.txt moves to "Revision".
  Plug('F');
  ASSERT_TRUE(WaitFor([&] {
    return HasBytes(Latest("docs/b.txt"), "written while away") &&
           HasBytes(Latest("docs/a.txt"), "second");
  })) << bvtest::ReadNative(data_.StderrLog());
  EXPECT_TRUE(HasBytes(stick_ + "/Store/Revision/C" + home_.NativeOf("docs/a(0001).txt"), "first"));
  EXPECT_TRUE(fs::is_empty(home_.NativeOf("lookalike")));
  program_->kill();
  program_->waitForFinished(10000);
}

}  // namespace
