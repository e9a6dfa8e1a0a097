#include "platform/Volumes.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "EnvScope.h"
#include "platform/Paths.h"
#include "platform/VolumeSources.h"
#include "support/TempDir.h"

namespace {

using plat::BusType;
using plat::DriveType;
using plat::VolumeInfo;
using plat::VolumeTable;

// Runs a shell command quietly; true when it succeeded.
bool Shell(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

constexpr uint32_t Bit(char letter) { return 1u << (letter - 'A'); }

TEST(VolumeTableTest, RealTableHasTheSystemOnC) {
  EnvScope env;
  env.Unset("BREVANTO_VOLUMES");
  VolumeTable& t = VolumeTable::Instance();
  EXPECT_FALSE(t.IsOverridden());
  VolumeInfo c;
  ASSERT_TRUE(t.Find('C', &c));
  EXPECT_EQ(c.root, "/");
  EXPECT_TRUE(c.system);
  EXPECT_EQ(c.type, DriveType::kFixed);
  EXPECT_GT(c.totalBytes, 0u);
  EXPECT_TRUE(t.LogicalDrives() & Bit('C'));
  EXPECT_EQ(t.GetDriveType('A'), DriveType::kNoRootDir);
  EXPECT_EQ(t.Power(), plat::PowerOverride::kNone);
  // Nothing changed since the read.
  EXPECT_FALSE(t.ReloadIfChanged());
  // Pseudo file systems (/proc, /sys, /dev) get no letters of their own.
  VolumeInfo v;
  ASSERT_TRUE(t.FindByNativePath("/proc/self", &v));
  EXPECT_EQ(v.letter, 'C');
}

TEST(VolumeTableTest, OverrideFileParses) {
  EnvScope env;
  bvtest::TempDir tmp;
  std::string ini = tmp.Write(
      "v.ini",
      "; test machine\n[C]\nRoot=/\nSystem=1\n"
      "[d]\nRoot=" +
          tmp.NativeOf("d") +
          "\nType=removable\nBus=usb\nSerial=1234-abcd\n"
          "Vendor=  Acme \nModel=\"Stick 3\"\nRevision=1.0\nTotalBytes=1000000\nFreeBytes=250\n"
          "[E]\nRoot=" +
          tmp.NativeOf("d/sub") +
          "\nType=cdrom\nSerial=89ABCDEF\n"
          "[F]\nType=fixed\n"     // no root: no letter
          "[G]\nRoot=relative\n"  // not absolute: no letter
          "[H]\nRoot=/mnt/h\nType=network\nRemote=\\\\nas\\music\\\nSerial=xyz\nBus=1394\n"
          "[I]\nRoot=/mnt/i\nTotalBytes=-5\nFreeBytes=99999999999999999999999\n"
          "[Power]\nSource=battery\n"
          "garbage line without section\n[\n=\n");
  env.Set("BREVANTO_VOLUMES", ini);
  VolumeTable& t = VolumeTable::Instance();
  EXPECT_TRUE(t.IsOverridden());
  EXPECT_EQ(t.LogicalDrives(), Bit('C') | Bit('D') | Bit('E') | Bit('H') | Bit('I'));
  VolumeInfo d;
  ASSERT_TRUE(t.Find('d', &d));
  EXPECT_EQ(d.root, tmp.NativeOf("d"));
  EXPECT_EQ(d.type, DriveType::kRemovable);
  EXPECT_EQ(d.bus, BusType::kUsb);
  EXPECT_EQ(d.serial, 0x1234ABCDu);
  EXPECT_EQ(d.vendor, "Acme");
  EXPECT_EQ(d.model, "Stick 3");
  EXPECT_EQ(d.revision, "1.0");
  EXPECT_FALSE(d.system);
  ASSERT_TRUE(d.hasTotalBytes && d.hasFreeBytes);
  EXPECT_EQ(d.totalBytes, 1000000u);
  EXPECT_EQ(d.freeBytes, 250u);
  EXPECT_EQ(t.GetDriveType('E'), DriveType::kCdRom);
  VolumeInfo e, h, i;
  ASSERT_TRUE(t.Find('E', &e) && t.Find('H', &h) && t.Find('I', &i));
  EXPECT_EQ(e.serial, 0x89ABCDEFu);
  EXPECT_EQ(h.type, DriveType::kRemote);
  EXPECT_EQ(h.remote, "\\\\nas\\music");
  EXPECT_EQ(h.serial, 0u);
  EXPECT_EQ(h.bus, BusType::kIeee1394);
  EXPECT_FALSE(i.hasTotalBytes);
  EXPECT_FALSE(i.hasFreeBytes);
  EXPECT_EQ(t.Power(), plat::PowerOverride::kBattery);
  // A network letter's share is reachable by name.
  plat::ShareInfo s;
  ASSERT_TRUE(t.FindShare("\\\\NAS\\Music", &s));
  EXPECT_EQ(s.root, "/mnt/h");

  // The longest matching root wins, at component boundaries only.
  VolumeInfo v;
  ASSERT_TRUE(t.FindByNativePath(tmp.NativeOf("d/sub/x"), &v));
  EXPECT_EQ(v.letter, 'E');
  ASSERT_TRUE(t.FindByNativePath(tmp.NativeOf("d/subx"), &v));
  EXPECT_EQ(v.letter, 'D');
  ASSERT_TRUE(t.FindByNativePath(tmp.NativeOf("d"), &v));
  EXPECT_EQ(v.letter, 'D');
  ASSERT_TRUE(t.FindByNativePath("/mnt", &v));
  EXPECT_EQ(v.letter, 'C');
}

TEST(VolumeTableTest, SerialFormsAndJunkOverrides) {
  uint32_t s = 0;
  EXPECT_TRUE(plat::detail::ParseVolumeSerial("1234-ABCD", &s));
  EXPECT_EQ(s, 0x1234ABCDu);
  EXPECT_TRUE(plat::detail::ParseVolumeSerial("deadBEEF", &s));
  EXPECT_EQ(s, 0xDEADBEEFu);
  for (const char* bad : {"", "1234", "12-34ABCD", "1234-ABCDE", "1234-ABCG", "123456789"})
    EXPECT_FALSE(plat::detail::ParseVolumeSerial(bad, &s)) << bad;

  EnvScope env;
  bvtest::TempDir tmp;
  std::string junk(100000, '\0');
  for (size_t k = 0; k < junk.size(); ++k) junk[k] = char((k * 7919) % 256);
  std::string ini = tmp.Write("junk.ini", junk);
  env.Set("BREVANTO_VOLUMES", ini);
  EXPECT_TRUE(VolumeTable::Instance().IsOverridden());
  EXPECT_EQ(VolumeTable::Instance().LogicalDrives(), 0u);
  std::string native;
  EXPECT_FALSE(plat::ToNativePath("C:\\x", &native));
  // A missing file is an empty table as well, not the real one.
  env.Set("BREVANTO_VOLUMES", tmp.NativeOf("missing.ini"));
  EXPECT_EQ(VolumeTable::Instance().LogicalDrives(), 0u);
}

TEST(VolumeTableTest, RewritingTheOverrideReportsArrivalsAndRemovals) {
  EnvScope env;
  bvtest::TempDir tmp;
  std::string ini = tmp.Write("v.ini", "[C]\nRoot=/\n[E]\nRoot=/mnt/usb\nType=removable\n");
  env.Set("BREVANTO_VOLUMES", ini);
  VolumeTable& t = VolumeTable::Instance();
  uint32_t in = 99, out = 99;
  EXPECT_FALSE(t.ReloadIfChanged(&in, &out));
  EXPECT_EQ(in | out, 0u);
  // Same size, same second: only the content tells the change.
  bvtest::WriteNative(ini, "[C]\nRoot=/\n[F]\nRoot=/mnt/usb\nType=removable\n");
  ASSERT_TRUE(t.ReloadIfChanged(&in, &out));
  EXPECT_EQ(in, Bit('F'));
  EXPECT_EQ(out, Bit('E'));
  EXPECT_FALSE(t.ReloadIfChanged(&in, &out));
  // A letter that now names another folder left and arrived.
  bvtest::WriteNative(ini, "[C]\nRoot=/\n[F]\nRoot=/mnt/other\n[G]\nRoot=/g\n");
  ASSERT_TRUE(t.ReloadIfChanged(&in, &out));
  EXPECT_EQ(in, Bit('F') | Bit('G'));
  EXPECT_EQ(out, Bit('F'));
  // Unplug everything but C:.
  bvtest::WriteNative(ini, "[C]\nRoot=/\n");
  ASSERT_TRUE(t.ReloadIfChanged(&in, &out));
  EXPECT_EQ(in, 0u);
  EXPECT_EQ(out, Bit('F') | Bit('G'));
}

// The real table from a mount table text: pseudo file systems are skipped,
// network mounts become remote letters and shares, letters are remembered.
TEST(MountTableTest, NetworkMountsAndRememberedLetters) {
  bvtest::TempDir tmp;
  std::string drives = tmp.NativeOf("data/Drives.ini");
  const std::string mountinfo =
      "21 26 0:20 / /proc rw,relatime - proc proc rw\n"
      "26 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
      "27 26 0:24 / /run rw - tmpfs tmpfs rw\n"
      "40 26 0:50 / /mnt/my\\040share rw shared:5 - cifs //Srv/Share/sub rw,vers=3\n"
      "41 26 0:51 / /mnt/nfs rw - nfs4 nas:/export/data rw\n"
      "42 26 254:0 /home /srv/bind rw - ext4 /dev/vda rw\n"
      "43 26 0:52 / /mnt/old rw - cifs //old/gone rw\n"
      "44 26 0:53 / /mnt/old rw - nfs other:/x rw\n"
      "45 26 7:0 / /snap/core rw - squashfs /dev/loop0 ro\n"
      "truncated line\n";
  auto snap = plat::detail::LoadRealVolumes(mountinfo, drives);
  ASSERT_EQ(snap.volumes.size(), 4u);
  EXPECT_EQ(snap.volumes[0].letter, 'C');
  EXPECT_EQ(snap.volumes[0].root, "/");
  EXPECT_EQ(snap.volumes[1].letter, 'D');
  EXPECT_EQ(snap.volumes[1].root, "/mnt/my share");
  EXPECT_EQ(snap.volumes[1].type, DriveType::kRemote);
  EXPECT_EQ(snap.volumes[1].remote, "\\\\Srv\\Share");
  EXPECT_EQ(snap.volumes[2].letter, 'E');
  EXPECT_EQ(snap.volumes[2].remote, "\\\\nas\\export\\data");
  EXPECT_EQ(snap.volumes[3].letter, 'F');
  EXPECT_EQ(snap.volumes[3].identity, "other:/x");  // the later mount hides the earlier
  EXPECT_EQ(snap.shares.size(), 3u);
  std::string remembered = bvtest::ReadNative(drives);
  EXPECT_NE(remembered.find("//Srv/Share/sub=D"), std::string::npos) << remembered;

  // Next time the cifs mount is gone: the others keep their letters, and a
  // new mount takes the lowest letter nobody remembers (not D:).
  const std::string later =
      "26 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
      "41 26 0:51 / /mnt/nfs rw - nfs4 nas:/export/data rw\n"
      "44 26 0:53 / /mnt/old rw - nfs other:/x rw\n"
      "46 26 0:54 / /mnt/new rw - nfs new:/y rw\n";
  snap = plat::detail::LoadRealVolumes(later, drives);
  ASSERT_EQ(snap.volumes.size(), 4u);
  EXPECT_EQ(snap.volumes[1].letter, 'E');
  EXPECT_EQ(snap.volumes[2].letter, 'F');
  EXPECT_EQ(snap.volumes[3].letter, 'G');
  EXPECT_EQ(snap.volumes[3].identity, "new:/y");
}

// The serial comes from the UUID that libblkid reads off the file system, so
// a FAT image is checked without mounting it (not every kernel has vfat).
TEST(MountTableTest, SerialsFromFileSystemUuids) {
  bvtest::TempDir tmp;
  std::string img = tmp.NativeOf("fat.img");
  if (!Shell("truncate -s 8M " + img) || !Shell("mkfs.vfat -i 0BADF00D " + img))
    GTEST_SKIP() << "mkfs.vfat unavailable";
  std::string uuid, type;
  plat::detail::ProbeUuid(img, &uuid, &type);
  EXPECT_EQ(uuid, "0BAD-F00D");
  EXPECT_EQ(type, "vfat");
  EXPECT_EQ(plat::detail::SerialFromUuid(uuid, type), 0x0BADF00Du);
  EXPECT_EQ(plat::detail::SerialFromUuid("0123456789ABCDEF", "ntfs"), 0x89ABCDEFu);
  EXPECT_EQ(plat::detail::SerialFromUuid("5a17c0de-1111-2222-3333-444455556666", "ext4"),
            0x5A17C0DEu);
  EXPECT_EQ(plat::detail::SerialFromUuid("", "ext4"), 0u);
  // Junk instead of a file system: no UUID, no crash.
  bvtest::WriteNative(img, std::string(65536, '\x5a'));
  uuid.clear();
  type.clear();
  plat::detail::ProbeUuid(img, &uuid, &type);
  EXPECT_EQ(uuid, "");
  plat::detail::ProbeUuid(tmp.NativeOf("missing"), &uuid, &type);
  EXPECT_EQ(uuid, "");
}

// A real extra volume: a file-system image, loop-mounted. FAT volumes spell
// their serial in the UUID; others lend its first eight hex digits.
struct ImageKind {
  const char* name;
  const char* mkfs;  // the image path is appended
  const char* identity;
};

class LoopVolumeTest : public ::testing::TestWithParam<ImageKind> {};

INSTANTIATE_TEST_SUITE_P(
    Images, LoopVolumeTest,
    ::testing::Values(ImageKind{"fat", "mkfs.vfat -i 5A17C0DE", "5A17-C0DE"},
                      ImageKind{"ext4", "mkfs.ext4 -q -U 5a17c0de-1111-2222-3333-444455556666",
                                "5a17c0de-1111-2222-3333-444455556666"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(LoopVolumeTest, GetsARememberedLetterAndItsSerial) {
  EnvScope env;
  bvtest::TempDir tmp;
  std::string img = tmp.NativeOf("fs.img");
  std::string mnt = tmp.NativeOf("mnt");
  std::filesystem::create_directories(mnt);
  if (!Shell("truncate -s 16M " + img) || !Shell(std::string(GetParam().mkfs) + " " + img))
    GTEST_SKIP() << "cannot make the image";
  if (!Shell("mount -o loop " + img + " " + mnt))
    GTEST_SKIP() << "loop mount of " << GetParam().name << " not possible here";
  struct Unmount {
    std::string dir;
    ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
  } unmount{mnt};
  env.Set("BREVANTO_DATA_DIR", tmp.NativeOf("data"));
  // Another volume already owns D: in the remembered table.
  bvtest::WriteNative(tmp.NativeOf("data/Drives.ini"), "[Drives]\nsome-other-uuid=D\n");
  env.Unset("BREVANTO_VOLUMES");
  VolumeTable& t = VolumeTable::Instance();
  VolumeInfo v;
  ASSERT_TRUE(t.FindByNativePath(mnt + "/file.txt", &v));
  ASSERT_NE(v.letter, 'C');
  EXPECT_GT(v.letter, 'D');
  EXPECT_EQ(v.serial, 0x5A17C0DEu);
  EXPECT_EQ(v.identity, GetParam().identity);
  EXPECT_EQ(v.type, DriveType::kFixed);
  EXPECT_GT(v.totalBytes, 0u);
  std::string sys;
  ASSERT_TRUE(plat::ToSystemPath(mnt + "/a b.txt", &sys));
  EXPECT_EQ(sys, std::string(1, v.letter) + ":\\a b.txt");
  std::string drives = bvtest::ReadNative(tmp.NativeOf("data/Drives.ini"));
  EXPECT_NE(drives.find(GetParam().identity + std::string("=") + std::string(1, v.letter)),
            std::string::npos)
      << drives;
  EXPECT_NE(drives.find("some-other-uuid=D"), std::string::npos);
  char letter = v.letter;

  uint32_t in = 0, out = 0;
  ASSERT_EQ(umount2(mnt.c_str(), 0), 0);
  ASSERT_TRUE(t.ReloadIfChanged(&in, &out));
  EXPECT_EQ(out, Bit(letter));
  // Mounted again, it comes back under the same letter.
  ASSERT_TRUE(Shell("mount -o loop " + img + " " + mnt));
  ASSERT_TRUE(t.ReloadIfChanged(&in, &out));
  EXPECT_EQ(in, Bit(letter));
  ASSERT_TRUE(t.FindByNativePath(mnt, &v));
  EXPECT_EQ(v.letter, letter);
}

}  // namespace
