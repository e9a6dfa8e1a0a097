// The volume table, paths through it, and connecting to network shares.
#include "platform/volumes/Volumes.h"

#include <chrono>
#include <thread>
#include <tuple>

#include "Checks.h"
#include "platform/volumes/Paths.h"
#include "platform/volumes/ShareConnect.h"
#include "platform/volumes/VolumeSources.h"

namespace {

using plat::ConnectShare;
using plat::DriveType;
using plat::ToNativePath;
using plat::ToSystemPath;
using plat::VolumeInfo;
using plat::VolumeTable;

constexpr uint32_t Bit(char letter) { return 1u << (letter - 'A'); }

// Junk or missing override files are empty tables.
TEST(VolumeTableTest, RealAndOverrideTables) {
  EnvScope env;
  env.Unset("BREVANTO_VOLUMES");
  VolumeTable& t = VolumeTable::Instance();
  EXPECT_FALSE(t.IsOverridden());
  VolumeInfo v;
  ASSERT_TRUE(t.Find('C', &v));
  EXPECT_TRUE(v.root == "/" && v.system && v.type == DriveType::kFixed && v.totalBytes > 0);
  EXPECT_EQ(t.GetDriveType('A'), DriveType::kNoRootDir);
  EXPECT_EQ(t.Power(), plat::PowerOverride::kNone);
  EXPECT_FALSE(t.ReloadIfChanged());
  ASSERT_TRUE(t.FindByNativePath("/proc/self", &v));
  EXPECT_EQ(v.letter, 'C');
  bvtest::TempDir tmp;
  const std::string d = tmp.NativeOf("d");
  const std::string ini = tmp.Write(
      "v.ini", "; test machine\n[C]\nRoot=/\nSystem=1\n[d]\nRoot=" + d +
                   "\nType=removable\nBus=usb\nSerial=1234-abcd\nVendor=  Acme \n"
                   "Model=\"Stick 3\"\nRevision=1.0\nTotalBytes=1000000\nFreeBytes=250\n"
                   "[E]\nRoot=" +
                   d +
                   "/sub\nType=cdrom\nSerial=89ABCDEF\n"
                   "[F]\nType=fixed\n[G]\nRoot=relative\n"  // no letters
                   "[H]\nRoot=/mnt/h\nType=network\nRemote=\\\\nas\\music\\\nSerial=xyz\nBus=1394\n"
                   "[I]\nRoot=/mnt/i\nTotalBytes=-5\nFreeBytes=99999999999999999999999\n"
                   "[Power]\nSource=battery\ngarbage line without section\n[\n=\n");
  env.Set("BREVANTO_VOLUMES", ini);
  EXPECT_TRUE(t.IsOverridden());
  EXPECT_EQ(t.LogicalDrives(), Bit('C') | Bit('D') | Bit('E') | Bit('H') | Bit('I'));
  VolumeInfo e, h, i;
  ASSERT_TRUE(t.Find('d', &v) && t.Find('E', &e) && t.Find('H', &h) && t.Find('I', &i));
  EXPECT_EQ(v.root, d);
  EXPECT_TRUE(v.type == DriveType::kRemovable && v.bus == plat::BusType::kUsb && !v.system);
  EXPECT_EQ(v.serial, 0x1234ABCDu);
  EXPECT_EQ(v.vendor + "|" + v.model + "|" + v.revision, "Acme|Stick 3|1.0");
  EXPECT_TRUE(v.hasTotalBytes && v.hasFreeBytes && v.totalBytes == 1000000 && v.freeBytes == 250);
  EXPECT_TRUE(e.type == DriveType::kCdRom && e.serial == 0x89ABCDEFu);
  EXPECT_TRUE(h.type == DriveType::kRemote && h.serial == 0 && h.bus == plat::BusType::kIeee1394);
  EXPECT_EQ(h.remote, "\\\\nas\\music");
  EXPECT_TRUE(!i.hasTotalBytes && !i.hasFreeBytes && t.Power() == plat::PowerOverride::kBattery);
  plat::ShareInfo s;
  ASSERT_TRUE(t.FindShare("\\\\NAS\\Music", &s));  // a network letter's share
  EXPECT_EQ(s.root, "/mnt/h");
  uint32_t in = 99, out = 99;
  bvtest::WriteNative(ini, "[C]\nRoot=/\n[E]\nRoot=/mnt/usb\n");
  ASSERT_TRUE(t.ReloadIfChanged(&in, &out));
  bvtest::WriteNative(ini, "[C]\nRoot=/\n[F]\nRoot=/mnt/usb\n");  // same size, same second
  ASSERT_TRUE(t.ReloadIfChanged(&in, &out));
  EXPECT_TRUE(in == Bit('F') && out == Bit('E'));
  EXPECT_FALSE(t.ReloadIfChanged(&in, &out));
  bvtest::WriteNative(ini, "[C]\nRoot=/\n[F]\nRoot=/mnt/other\n[G]\nRoot=/g\n");
  ASSERT_TRUE(t.ReloadIfChanged(&in, &out));
  EXPECT_TRUE(in == (Bit('F') | Bit('G')) && out == Bit('F'));  // F: names another folder
  std::string junk(100000, '\0');
  for (size_t k = 0; k < junk.size(); ++k) junk[k] = char((k * 7919) % 256);
  env.Set("BREVANTO_VOLUMES", tmp.Write("junk.ini", junk));
  EXPECT_EQ(t.LogicalDrives(), 0u);
  std::string native;
  EXPECT_FALSE(plat::ToNativePath("C:\\x", &native));
  // The table follows the variable unasked; a share names paths outside every volume.
  setenv("BREVANTO_VOLUMES", tmp.Write("share.ini", "[\\\\nas\\b]\nRoot=" + d + "\n").c_str(), 1);
  EXPECT_TRUE(plat::ToSystemPath(d + "/x", &native) && native == "\\\\nas\\b\\x") << native;
  EXPECT_FALSE(plat::ToSystemPath("/etc", &native));
  env.Set("BREVANTO_VOLUMES", tmp.NativeOf("missing.ini"));  // not the real table
  EXPECT_EQ(t.LogicalDrives(), 0u);
}

// Serials as written in the override and as a file system's UUID spells them.
TEST(VolumeTableTest, SerialsFromTextAndUuids) {
  uint32_t s = 0;
  EXPECT_TRUE(plat::detail::ParseVolumeSerial("1234-ABCD", &s) && s == 0x1234ABCDu);
  EXPECT_TRUE(plat::detail::ParseVolumeSerial("deadBEEF", &s) && s == 0xDEADBEEFu);
  for (const char* bad : {"", "1234", "12-34ABCD", "1234-ABCDE", "1234-ABCG", "123456789"})
    EXPECT_FALSE(plat::detail::ParseVolumeSerial(bad, &s)) << bad;
  for (const auto& [uuid, type, serial] :
       std::vector<std::tuple<const char*, const char*, uint32_t>>{
           {"0123456789ABCDEF", "ntfs", 0x89ABCDEFu},
           {"5a17c0de-1111-2222-3333-444455556666", "ext4", 0x5A17C0DEu},
           {"", "ext4", 0u},
           {"0BAD-F00D", "vfat", 0x0BADF00Du}})
    EXPECT_EQ(plat::detail::SerialFromUuid(uuid, type), serial) << uuid;
  bvtest::TempDir tmp;  // junk instead of a file system, or nothing: no UUID, no crash
  bvtest::WriteNative(tmp.NativeOf("junk.img"), std::string(65536, '\x5a'));
  std::string uuid, type;
  plat::detail::ProbeUuid(tmp.NativeOf("junk.img"), &uuid, &type);
  plat::detail::ProbeUuid(tmp.NativeOf("missing"), &uuid, &type);
  EXPECT_EQ(uuid, "");
}

// The real table from mount table text: network and hidden mounts, remembered letters.
TEST(MountTableTest, NetworkMountsAndRememberedLetters) {
  bvtest::TempDir tmp;
  const std::string drives = tmp.NativeOf("data/Drives.ini");
  auto snap = plat::detail::LoadRealVolumes(
      "21 26 0:20 / /proc rw,relatime - proc proc rw\n"
      "26 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
      "27 26 0:24 / /run rw - tmpfs tmpfs rw\n"
      "40 26 0:50 / /mnt/my\\040share rw shared:5 - cifs //Srv/Share/sub rw,vers=3\n"
      "41 26 0:51 / /mnt/nfs rw - nfs4 nas:/export/data rw\n"
      "42 26 254:0 /home /srv/bind rw - ext4 /dev/vda rw\n"
      "43 26 0:52 / /mnt/old rw - cifs //old/gone rw\n"
      "44 26 0:53 / /mnt/old rw - nfs other:/x rw\n"
      "45 26 7:0 / /snap/core rw - squashfs /dev/loop0 ro\n"
      "truncated line\n",
      drives);
  ASSERT_EQ(snap.volumes.size(), 4u);
  EXPECT_TRUE(snap.volumes[0].letter == 'C' && snap.volumes[0].root == "/");
  EXPECT_TRUE(snap.volumes[1].letter == 'D' && snap.volumes[1].root == "/mnt/my share");
  EXPECT_TRUE(snap.volumes[1].type == DriveType::kRemote &&
              snap.volumes[1].remote == "\\\\Srv\\Share");
  EXPECT_EQ(snap.volumes[2].remote, "\\\\nas\\export\\data");
  EXPECT_EQ(snap.volumes[3].identity, "other:/x");
  EXPECT_EQ(snap.shares.size(), 3u);
  EXPECT_NE(bvtest::ReadNative(drives).find("//Srv/Share/sub=D"), std::string::npos);
  // The cifs mount gone: a new mount takes the lowest letter nobody remembers (not D:); a
  // disk nothing names takes a free letter, never remembered.
  bvtest::WriteNative(drives, bvtest::ReadNative(drives) + "dev:/dev/loop99=H\n");
  snap = plat::detail::LoadRealVolumes(
      "26 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
      "41 26 0:51 / /mnt/nfs rw - nfs4 nas:/export/data rw\n"
      "44 26 0:53 / /mnt/old rw - nfs other:/x rw\n"
      "47 26 7:99 / /mnt/nothing-names-it rw - ext4 /dev/loop99 rw\n"
      "46 26 0:54 / /mnt/new rw - nfs new:/y rw\n",
      drives);
  std::string letters;
  for (const auto& v : snap.volumes) letters += v.letter;
  EXPECT_EQ(letters, "CEFGH");
  EXPECT_TRUE(snap.volumes[3].identity.empty() && snap.volumes[4].identity == "new:/y");
  EXPECT_EQ(bvtest::ReadNative(drives).find("dev:"), std::string::npos);
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

// Both directions through an override table, the paths each refuses, odd names round-trip.
TEST(PathsTest, PathsMapThroughTheTableBothWays) {
  bvtest::TempDir tmp;
  EnvScope env;
  const std::string e = tmp.NativeOf("e"), share = tmp.NativeOf("share");
  env.Volumes(tmp.NativeOf("vol.ini"),
              "[C]\nRoot=/\nSystem=1\n[E]\nRoot=" + e + "/\n[\\\\srv\\share]\nRoot=" + share +
                  "\nOnline=1\n[\\\\srv\\off]\nRoot=" + share + "\nOnline=0\n");
  auto native = [](const std::string& sys) {
    std::string n;
    return ToNativePath(sys, &n) ? n : "<fail>";
  };
  auto system = [](const std::string& nat) {
    std::string s;
    return ToSystemPath(nat, &s) ? s : "<fail>";
  };
  for (const auto& [sys, nat] : Pairs{{"C:\\home\\a", "/home/a"},
                                      {"c:\\home\\a", "/home/a"},
                                      {"C:", "/"},
                                      {"C:\\", "/"},
                                      {"C:\\a\\\\b\\.\\c", "/a/b/c"},
                                      {"C:\\a\\", "/a/"},
                                      {"\\\\?\\C:\\a", "/a"},
                                      {"E:", e},
                                      {"E:\\", e},
                                      {"E:\\x\\y z.txt", e + "/x/y z.txt"},
                                      {"\\\\srv\\share\\x\\y", share + "/x/y"},
                                      {"\\\\SRV\\Share\\x", share + "/x"},
                                      {"\\\\srv\\share", share},
                                      {"\\\\?\\UNC\\srv\\share\\x", share + "/x"}})
    EXPECT_EQ(native(sys), nat) << sys;
  for (const char* bad : {"", "home\\a", "\\home\\a", "C:home", "Q:\\x", "D:", "C:\\a\\..\\b",
                          "C:\\..", "E:\\..\\..\\etc", "1:\\x", "\\\\.\\C:\\x", "\\\\srv\\off\\x",
                          "\\\\srv\\other\\x", "\\\\srv", "\\\\srv\\share\\..\\off"})
    EXPECT_EQ(native(bad), "<fail>") << bad;
  EXPECT_EQ(native(std::string("C:\\a\0b", 6)), "<fail>");
  plat::ShareInfo s;
  ASSERT_TRUE(plat::VolumeTable::Instance().FindShare("\\\\srv\\off\\", &s));
  EXPECT_FALSE(s.online);
  // The longest root wins, at component boundaries only.
  for (const auto& [nat, sys] :
       Pairs{{"/home/a", "C:\\home\\a"},
             {"/", "C:\\"},
             {e, "E:\\"},
             {e + "//x/./y/", "E:\\x\\y"},
             {tmp.NativeOf("ex/y"), bvtest::NativeToSystemC(tmp.NativeOf("ex/y"))}})
    EXPECT_EQ(system(nat), sys) << nat;
  for (const char* bad : {"/a\\b", "/a/\xff\xfe", "/a/\xc0\xaf", "relative/x", "", "/a/../b"})
    EXPECT_EQ(system(bad), "<fail>") << bad;
  std::string deep;
  for (int i = 0; i < 40; ++i) deep += "/" + std::string(250, 'n');  // over 10,000 bytes
  for (const std::string& rel :
       {std::string("/with blank/and  two"), std::string("/quote\"s/'single'"),
        std::string("/Ärger/日本語/ñ.txt"), std::string("/semi;colon/perc%ent/star*?<>|"), deep}) {
    for (const std::string& nat : {rel, e + rel}) {
      const std::string sys = system(nat);
      EXPECT_EQ(sys.find('/'), std::string::npos) << nat;
      EXPECT_EQ(native(sys), nat);
    }
  }
}

// True once the process is gone or a zombie, false after ten seconds.
bool EventuallyGone(const std::string& pid) {
  for (int i = 0; i < 1000; ++i) {
    const std::string stat = bvtest::ReadNative("/proc/" + pid + "/stat");
    const size_t close = stat.rfind(')');
    if (stat.empty() || (close != std::string::npos && stat.size() > close + 2 &&
                         (stat[close + 2] == 'Z' || stat[close + 2] == 'X')))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class ShareConnectTest : public testing::Test {
 protected:
  void TearDown() override {
    plat::detail::SetShareMountTiming(15000, 60000);
    plat::detail::ForgetShareMountAttempts();
  }
  void UseTable(const std::string& ini) { env_.Volumes(tmp_.NativeOf("volumes.ini"), ini); }
  // A `gio` on PATH that appends its arguments to gio.log, then runs body.
  void FakeGio(const std::string& body) {
    const std::string script = tmp_.Write(
        "bin/gio", "#!/bin/sh\necho \"$@\" >> '" + tmp_.NativeOf("gio.log") + "'\n" + body + "\n");
    chmod(script.c_str(), 0755);
    const char* path = std::getenv("PATH");
    env_.Set("PATH", tmp_.NativeOf("bin") + ":" + (path ? path : "/usr/bin:/bin"));
  }
  std::string GioLog() const { return bvtest::ReadNative(tmp_.NativeOf("gio.log")); }
  // The real table, with its remembered letters kept in a temporary folder.
  void UseRealTable() {
    env_.Set("BREVANTO_DATA_DIR", tmp_.NativeOf("data"));
    env_.Unset("BREVANTO_VOLUMES");
    ASSERT_FALSE(plat::VolumeTable::Instance().IsOverridden());
    plat::detail::ForgetShareMountAttempts();
  }
  EnvScope env_;
  bvtest::TempDir tmp_, share_;
};

// Declared shares connect while online, the longest name deciding; no gio for an override table.
TEST_F(ShareConnectTest, OverrideTableNamesAndConnectsItsShares) {
  FakeGio("exit 0");
  const std::string root = "\nRoot=" + share_.Native() + "\n";
  UseTable("[C]\nRoot=/\n[E]" + root + "[Z]" + root +
           "Type=network\nRemote=\\\\srv\\Mapped\\\n[Y]" + root + "Type=network\n[\\\\srv\\share]" +
           root);  // Online defaults to 1
  std::string name = "stale";
  EXPECT_TRUE(plat::GetConnectionName("z:", &name));
  EXPECT_EQ(name, "\\\\srv\\Mapped");
  for (const char* drive : {"Z:\\", "Z", "", "Z:\\x", ":Z", "E:", "Y:", "X:", "C:", "1:"}) {
    name = "stale";
    EXPECT_FALSE(plat::GetConnectionName(drive, &name)) << drive;
    EXPECT_EQ(name, "") << drive;
  }
  for (const char* path : {"\\\\srv\\share", "\\\\srv\\share\\", "\\\\srv\\share\\Backup\\deep",
                           "\\\\SRV\\Share\\x", "//srv/share/x", "\\\\?\\UNC\\srv\\share\\x",
                           "\\\\srv\\\\share\\x", "\\\\srv\\mapped\\Backup"})
    EXPECT_EQ(ConnectShare(path), plat::kErrSuccess) << path;
  for (const char* path : {"", "C:\\x", "\\\\", "\\\\srv", "\\\\srv\\", "\\\\\\srv\\share",
                           "\\\\.\\Brevanto", "\\\\?\\C:\\x", "\\\\srv\\share\\..\\x",
                           "\\\\srv\\..\\share", "\\srv\\share", "srv\\share"})
    EXPECT_EQ(ConnectShare(path), plat::kErrBadNetName) << path;
  UseTable("[C]\nRoot=/\n[\\\\nas\\export]" + root + "Online=0\n[\\\\nas\\export\\data]" + root);
  plat::SetLastError(0);
  EXPECT_EQ(ConnectShare("\\\\nas\\export\\other"), plat::kErrBadNetPath);
  EXPECT_EQ(plat::GetLastError(), plat::kErrBadNetPath);
  EXPECT_EQ(ConnectShare("\\\\nas\\export"), plat::kErrBadNetPath);
  EXPECT_EQ(ConnectShare("\\\\nas\\export\\data\\x"), plat::kErrSuccess);
  EXPECT_EQ(ConnectShare("\\\\srv\\other\\Backup"), plat::kErrBadNetPath);
  EXPECT_EQ(GioLog(), "");
}

// An executable gio is asked once per share and minute; its success is not taken on trust; one
// that hangs is killed with its children.
TEST_F(ShareConnectTest, RealTableAsksGioOncePerShareAndMinute) {
  FakeGio("exit 2");
  UseRealTable();
  const std::string path = "\\\\bv-nosuch.invalid\\share x\\sub";
  const std::string first = "mount smb://bv-nosuch.invalid/share%20x\n";
  EXPECT_EQ(ConnectShare(path), plat::kErrBadNetPath);
  EXPECT_EQ(ConnectShare(path), plat::kErrBadNetPath);
  EXPECT_EQ(ConnectShare("\\\\BV-NOSUCH.invalid\\SHARE X\\other"), plat::kErrBadNetPath);
  EXPECT_EQ(GioLog(), first);
  EXPECT_EQ(ConnectShare("\\\\bv-nosuch.invalid\\c$"), plat::kErrBadNetPath);
  plat::detail::SetShareMountTiming(-1, 0);  // the wait has passed
  EXPECT_EQ(ConnectShare(path), plat::kErrBadNetPath);
  EXPECT_EQ(GioLog(), first + "mount smb://bv-nosuch.invalid/c$\n" + first);
  FakeGio("exit 0");
  bvtest::WriteNative(tmp_.NativeOf("gio.log"), "");
  EXPECT_EQ(ConnectShare("\\\\bv-nosuch.invalid\\other"), plat::kErrBadNetPath);
  EXPECT_EQ(GioLog(), "mount smb://bv-nosuch.invalid/other\n");
  chmod(tmp_.NativeOf("bin/gio").c_str(), 0644);
  env_.Set("PATH", tmp_.NativeOf("bin"));  // no other gio to find
  EXPECT_EQ(ConnectShare("\\\\bv-nosuch.invalid\\third"), plat::kErrBadNetPath);
  EXPECT_EQ(GioLog(), "mount smb://bv-nosuch.invalid/other\n");
  // A gio that hangs is killed with its children.
  env_.Set("PATH", "/usr/bin:/bin");
  FakeGio("sleep 600 &\necho $$ $! > '" + tmp_.NativeOf("pids") + "'\nwait");
  UseRealTable();
  plat::detail::SetShareMountTiming(3000, -1);
  EXPECT_EQ(ConnectShare("\\\\bv-nosuch.invalid\\share"), plat::kErrTimeout);
  std::string pids = bvtest::ReadNative(tmp_.NativeOf("pids"));
  const size_t blank = pids.find(' ');
  ASSERT_NE(blank, std::string::npos) << "the stand-in never ran";
  while (!pids.empty() && pids.back() == '\n') pids.pop_back();
  EXPECT_TRUE(EventuallyGone(pids.substr(0, blank)));
  EXPECT_TRUE(EventuallyGone(pids.substr(blank + 1)));
}

}  // namespace
