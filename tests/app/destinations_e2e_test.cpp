// The real program with stores on disks that go away while it runs: a USB
// disk unplugged and plugged back in under another letter (the volume table
// rewritten as a user would cause it), and a disk unmounted under the
// machine's own volume table. While a disk is away nothing is written where
// it was and the plan notes its changes; once it is back they reach it.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "ProgramRun.h"

namespace fs = std::filesystem;

namespace {

using bvtest::Holds;
using bvtest::WaitFor;

// A key's value in a key-value text ("Key=Value" lines), "" when missing.
std::string ValueOf(const std::string& text, const std::string& key) {
  const std::string padded = "\n" + text;
  const size_t at = padded.find("\n" + key + "=");
  if (at == std::string::npos) return {};
  const size_t from = at + key.size() + 2;
  return padded.substr(from, padded.find_first_of("\r\n", from) - from);
}

TEST(UsbEndToEndTest, FollowsTheDiskOutAndBackUnderAnotherLetter) {
  bvtest::ProgramWorld w;
  ASSERT_TRUE(w.Ok());
  const std::string stick = w.Home("stick");
  fs::create_directories(w.Home("docs"));
  fs::create_directories(stick);
  fs::create_directories(w.Home("lookalike"));
  // The plan is of the USB kind and knows its disk by identity.
  w.Plan(1, "Stick", "E:\\Store\\", {"docs"});
  w.data.WritePlanList({1});
  w.SetPlanKey(1, "StorageType", "2");
  bvtest::WriteNative(w.data.Data("PLAN/1/Devices.ini"),
                      "[USB Device]\nVendor=Acme\nModel=Stick\nRevision=1.0\nSize=0\n"
                      "RelativePath=\\Store\\\nPartitionSerialNumber=305441741\n");
  // The table with the disk under a letter (0: unplugged); 1234-ABCD is
  // 305441741. A look-alike of the same model with another serial stays in.
  auto plug = [&](char letter) {
    const std::string usb = "\nType=removable\nBus=usb\nVendor=Acme\nModel=Stick\nRevision=1.0\n";
    std::string table = "[C]\nRoot=/\nType=fixed\nSystem=1\n[L]\nRoot=" + w.Home("lookalike") +
                        usb + "Serial=0000-0001\n";
    if (letter != 0)
      table += std::string("[") + letter + "]\nRoot=" + stick + usb + "Serial=1234-ABCD\n";
    bvtest::WriteNative(w.work.NativeOf("volumes.ini"), table);
  };
  auto latest = [&](const std::string& rel) { return stick + "/Store/Latest/C" + w.Home(rel); };
  plug('E');
  QProcess* program =
      w.Start({{"BREVANTO_CHANGE_SOURCE", "inotify"}, {"BREVANTO_CHANGE_ROOTS", w.Home("docs")}});
  ASSERT_NE(program, nullptr);
  w.Put("docs/a.txt", "first");
  ASSERT_TRUE(WaitFor([&] { return Holds(latest("docs/a.txt"), "first"); })) << w.Stderr();

  // Unplugged: the plan saves when its disk went missing and keeps noting.
  plug(0);
  ASSERT_TRUE(WaitFor([&] {
    const std::string missing = ValueOf(w.PlanIni(), "MissingTime");
    return !missing.empty() && missing != "0";
  })) << w.PlanIni();
  w.Put("docs/b.txt", "written while away");
  w.Put("docs/a.txt", "second");
  QThread::msleep(6000);  // more than a quiet time, a due interval and a poll
  EXPECT_FALSE(fs::exists(latest("docs/b.txt"))) << "copied to a disk that is away";
  EXPECT_TRUE(Holds(latest("docs/a.txt"), "first"));

  // Back under F: (the look-alike on L: is never taken for it): the noted
  // files reach the store, the old copy of a.txt moves to "Revision".
  plug('F');
  ASSERT_TRUE(WaitFor([&] {
    return Holds(latest("docs/b.txt"), "written while away") &&
           Holds(latest("docs/a.txt"), "second");
  })) << w.Stderr();
  EXPECT_TRUE(Holds(stick + "/Store/Revision/C" + w.Home("docs/a(0001).txt"), "first"));
  EXPECT_TRUE(fs::is_empty(w.Home("lookalike")));
}

// A store on a disk unmounted while the program runs (no USB plan, the
// machine's own volume table): nothing is ever written into the empty mount
// folder, and the file saved meanwhile is copied once the disk is back.
TEST(UsbEndToEndTest, AVanishedVolumeGetsNothingAndItsFilesWaitForItsReturn) {
  bvtest::ProgramWorld w;
  ASSERT_TRUE(w.Ok());
  const std::string img = w.work.NativeOf("q.img"), mnt = w.work.NativeOf("mnt");
  // A fresh identity each run: a disk left mounted by a killed run is not this one.
  char tail[13];
  std::snprintf(tail, sizeof tail, "%012llx", (unsigned long long)(std::random_device()()) << 16);
  const std::string uuid = std::string("5afe7e57-0000-4000-8000-") + tail;
  fs::create_directories(mnt);
  fs::create_directories(w.Home("prot"));
  if (std::system(("truncate -s 32M " + img + " && mkfs.ext4 -q -U " + uuid + " " + img).c_str()))
    GTEST_SKIP() << "cannot make an ext4 image";
  auto mount = [&] { return std::system(("mount -o loop " + img + " " + mnt).c_str()) == 0; };
  if (!mount()) GTEST_SKIP() << "loop mounts are not possible here";
  struct Unmount {
    std::string dir;
    ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
  } unmount{mnt};
  bvtest::WriteNative(w.data.Data("Drives.ini"), "[Drives]\n" + uuid + "=Q\n");
  w.Plan(1, "On a disk", "Q:\\Store\\", {"prot"});
  w.data.WritePlanList({1});
  auto extra = w.Inotify();
  extra.emplace_back("BREVANTO_VOLUMES", "");
  ASSERT_NE(w.Start(extra), nullptr);
  const std::string latest = mnt + "/Store/Latest/C" + w.Home("prot");
  w.Put("prot/one.txt", "while mounted");
  ASSERT_TRUE(WaitFor([&] { return Holds(latest + "/one.txt", "while mounted"); })) << w.Stderr();

  ASSERT_EQ(umount2(mnt.c_str(), 0), 0);
  w.Put("prot/two.txt", "while away");
  // Well past the quiet second and several polls: the empty mount folder on
  // the system disk stays empty.
  EXPECT_FALSE(WaitFor([&] { return !fs::is_empty(mnt); }, 6)) << "written into the mount folder";
  ASSERT_TRUE(mount());
  EXPECT_TRUE(WaitFor([&] { return Holds(latest + "/two.txt", "while away"); })) << w.Log();
}

}  // namespace
