// The real program with stores on a disk that goes away and on servers on loopback.
#include <cstdio>
#include <cstring>
#include <random>

#include "ProgramRun.h"
#include "common/Texts.h"
#include "destinations/StoreBinding.h"
#include "destinations/StoreMarker.h"
#include "support/CephGateway.h"
#include "support/FtpRelay.h"
#include "support/FtpServer.h"
#include "support/ReadOnlyFolder.h"
#include "support/SshServer.h"

namespace {

// A loop disk: an ext4 image attached to a loop device and mounted, for the ordinary user.
struct LoopDisk {
  std::string img, mnt, node;
  LoopDisk(const std::string& image, const std::string& label, const std::string& uuid)
      : img(image + ".img"), mnt(image) {
    fs::create_directories(mnt);
    made = !std::system(
        ("truncate -s 32M " + img + " && mkfs.ext4 -q -L " + label + " -U " + uuid + " " + img)
            .c_str());
  }
  ~LoopDisk() { Detach(); }
  // On the given node, else on the first free one; mounted, its root the user's.
  bool Attach(const std::string& on = "") {
    const std::string cmd = on.empty() ? "losetup --show -f " + img : "losetup " + on + " " + img;
    FILE* p = popen(cmd.c_str(), "r");
    char line[64] = {};
    const bool read = p && (on.empty() ? fgets(line, sizeof line, p) != nullptr : true);
    if (p == nullptr || pclose(p) != 0 || !read) return false;
    node = on.empty() ? std::string(line, strcspn(line, "\n")) : on;
    return std::system(("mount " + node + " " + mnt).c_str()) == 0 &&
           chown(mnt.c_str(), bvtest::kNobodyUid, bvtest::kNobodyUid) == 0;
  }
  void Detach() {
    if (node.empty()) return;
    umount2(mnt.c_str(), 0);
    if (std::system(("losetup -d " + node).c_str()) != 0) ADD_FAILURE() << "losetup -d " << node;
    node.clear();
  }
  bool made = false;
};

// A fresh identity: a disk left mounted by a killed run is not this one.
std::string NewUuid() {
  char tail[13];
  std::snprintf(tail, sizeof tail, "%012llx", (unsigned long long)(std::random_device()()) << 16);
  return std::string("5afe7e57-0000-4000-8000-") + tail;
}

// A read-only disk: failures said once, files wait; a start copying nothing keeps the last time.
TEST(UsbEndToEndTest, AReadOnlyDiskGetsNothingAndItsFilesWaitForIt) {
  bvtest::ProgramWorld w;
  const std::string uuid = NewUuid();
  LoopDisk disk(w.work.NativeOf("mnt"), "BACKUP", uuid);
  if (!disk.made) GTEST_SKIP() << "cannot make an ext4 image";
  if (!disk.Attach()) GTEST_SKIP() << "loop mounts are not possible here";
  fs::create_directories(disk.mnt + "/Store");
  auto readOnly = std::make_unique<bvtest::ReadOnlyFolder>(disk.mnt + "/Store");
  if (!readOnly->Failure().empty()) GTEST_SKIP() << readOnly->Failure();
  bvtest::WriteNative(w.data.Data("Drives.ini"), "[Drives]\n" + uuid + "=Q\n");
  for (int i = 0; i < 3; ++i)
    w.Put("src/f" + std::to_string(i) + ".txt", "file " + std::to_string(i));
  w.Plan(1, "On a disk", "Q:\\Store\\", {"src"}, false);
  w.data.WritePlanList({1});
  const std::string popups = w.work.NativeOf("popups.log");
  auto env = w.Inotify();
  env.insert(env.end(), {{"BREVANTO_VOLUMES", ""}, {"BREVANTO_POPUP_LOG", popups}});
  QProcess* program = w.Start(env);
  const std::string said = "Error = Code: 19, Error: The media is write protected.\r";
  ASSERT_TRUE(WaitFor([&] { return CountOf(w.Log(), said) >= 3; }, 120)) << w.Log();
  ASSERT_TRUE(WaitFor([&] { return w.FirstBackupDone(); }));
  EXPECT_EQ(w.Log().find("#Backup File Success"), std::string::npos);
  EXPECT_EQ(w.Log().find("Code: 3,"), std::string::npos);
  EXPECT_NE(w.PlanIni().find("LastBackupTime=0\n"), std::string::npos);
  // Retried files do not say it again.
  ASSERT_TRUE(WaitFor([&] { return CountOf(w.Log(), said) >= 6; }));
  EXPECT_EQ(CountOf(bvtest::ReadNative(popups), "write protected"), 1u)
      << bvtest::ReadNative(popups);

  ASSERT_TRUE(readOnly->MakeWritable());
  const std::string latest = disk.mnt + "/Store/Latest/C" + w.Home("src");
  ASSERT_TRUE(WaitFor([&] { return CountOf(w.Log(), "#Backup File Success") >= 3; }, 180))
      << w.Log();
  EXPECT_EQ(bvtest::ReadNative(latest + "/f2.txt"), "file 2");
  auto lastBackup = [&] {
    const std::string plan = w.PlanIni();
    const size_t at = plan.find("LastBackupTime=");
    return at == std::string::npos ? "" : plan.substr(at, plan.find('\n', at) - at + 1);
  };
  EXPECT_TRUE(WaitFor([&] { return lastBackup() != "LastBackupTime=0\n"; }, 30));

  ASSERT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));
  const std::string stored = lastBackup();
  ASSERT_TRUE(bvtest::ProgramWorld::EndsWithZero(w.Start(env), SIGTERM));
  EXPECT_EQ(lastBackup(), stored);
}

// Another disk on the plan's node (even a clone of its identity) gets nothing; the plan's disk
// back on another node gets what waited; a lost or new store is filled again.
class DiskSwapTest : public ::testing::TestWithParam<bool> {};

TEST_P(DiskSwapTest, OnlyThePlansOwnDiskIsWrittenAndAStoreNewToThePlanIsFilled) {
  const bool clone = GetParam();
  if (geteuid() != 0) GTEST_SKIP() << "needs root for loop disks and the ordinary user";
  bvtest::ProgramWorld w{"E", bvtest::ProgramWorld::Home::kUnderSrv};
  const std::string uuid = NewUuid();
  LoopDisk backup(w.work.NativeOf("backup"), "BACKUP", uuid);
  LoopDisk other(w.work.NativeOf("friend"), "FRIEND", clone ? uuid : NewUuid());
  if (!backup.made || !other.made) GTEST_SKIP() << "cannot make ext4 images";
  if (!backup.Attach()) GTEST_SKIP() << "loop mounts are not possible here";
  // Letters remembered as they were when a device node named a disk.
  bvtest::WriteNative(w.data.Data("Drives.ini"),
                      "[Drives]\ndev:" + backup.node + "=Q\n" + uuid + "=Q\n");
  for (const char* f : {"a", "b", "c"}) w.Put(std::string("docs/") + f + ".txt", f);
  w.Plan(1, "On a disk", "Q:\\Store\\", {"docs"}, false);
  w.data.WritePlanList({1});
  bvtest::ChownTree(w.work.Native(), bvtest::kNobodyUid);
  bvtest::ChownTree(w.Home(), bvtest::kNobodyUid);
  auto env = w.Inotify();
  env.insert(env.end(), {{"BREVANTO_VOLUMES", ""}, {"HOME", w.Home()}});
  QProcess* program = w.Start(env, {"-s"}, true);
  auto latest = [&](const std::string& store, const std::string& name) {
    return backup.mnt + "/" + store + "/Latest/C" + w.Home("docs/" + name);
  };
  ASSERT_TRUE(WaitFor([&] { return Holds(latest("Store", "c.txt"), "c"); })) << w.Stderr();

  const std::string node = backup.node;
  backup.Detach();
  ASSERT_TRUE(other.Attach(node)) << "the node was taken meanwhile";
  w.Put("docs/salary.txt", "salary");
  bvtest::ChownTree(w.Home("docs/salary.txt"), bvtest::kNobodyUid);
  EXPECT_FALSE(
      WaitFor([&] { return fs::exists(other.mnt + "/Store") || !fs::is_empty(backup.mnt); }, 8))
      << "written onto another disk or into the empty mount folder\n"
      << w.Log();
  const std::string away = "The backup disk BACKUP is not connected";
  EXPECT_EQ(WaitFor([&] { return w.Log().find(away) != std::string::npos; }, clone ? 60 : 1), clone)
      << w.Log();
  ASSERT_TRUE(backup.Attach());
  if (clone) other.Detach();  // one identity, one letter
  EXPECT_TRUE(WaitFor([&] { return Holds(latest("Store", "salary.txt"), "salary"); })) << w.Log();
  EXPECT_FALSE(fs::exists(other.mnt + "/Store"));
  if (clone) return;

  // The store lost on the plan's own disk, then the plan pointed at another: filled anew.
  fs::rename(backup.mnt + "/Store", backup.mnt + "/Lost");
  EXPECT_TRUE(WaitFor([&] {
    return Holds(latest("Store", "a.txt"), "a") && Holds(latest("Store", "salary.txt"), "salary");
  })) << w.Log();
  ASSERT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));
  w.SetPlanKey(1, "StorePath", "Q:\\Store2\\");
  bvtest::WriteNative(w.data.Data("PLAN/1/Devices.ini"), "[Disk Device]\nRootDir=Q:\\Store2\\\n");
  bvtest::ChownTree(w.work.Native(), bvtest::kNobodyUid);
  program = w.Start(env, {"-s"}, true);
  EXPECT_TRUE(WaitFor([&] {
    return Holds(latest("Store2", "b.txt"), "b") && Holds(latest("Store2", "salary.txt"), "salary");
  })) << w.Log();
  EXPECT_EQ(bvtest::CountOf(w.Log(), "#Fresh First Backup"), 2u) << w.Log();
  EXPECT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));
}

INSTANTIATE_TEST_SUITE_P(SwappedAndCloned, DiskSwapTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Clone" : "AnotherDisk"; });

// FTP and SFTP stores filled over one login each; refusals said, a new host key stops.
TEST(FtpEndToEnd, PlansOnServersBackUpAndKeepTheirSecrets) {
  bvtest::App();
  bvtest::FtpServer ftp;
  if (!ftp.Ok()) GTEST_SKIP() << ftp.Reason();
  bvtest::SshServer ssh;
  if (!ssh.Ok()) GTEST_SKIP() << ssh.Reason();
  bvtest::ProgramWorld w;
  fs::create_directories(w.Home("docs"));
  const std::string sftpRoot = ssh.Home() + "/e2e/";
  const std::string roots[] = {ftp.NativeOf("/bvuser/e2e/"), sftpRoot};
  // The third plan, made before the security choice, requires encryption.
  bvtest::FtpRelay strip(ftp.Port());
  strip.SetFault(bvtest::FtpRelay::Fault::kNoTls);
  const std::string devices[] = {
      "Passive=1\nServer=127.0.0.1\nPort=" + std::to_string(ftp.Port()) + "\nUser=" + ftp.kUser +
          "\nPassword=" + ftp.kPassword + "\nTimeOut=10\nRoot=/bvuser/e2e/\nSecurity=2\n",
      "Server=sftp://127.0.0.1:" + std::to_string(ssh.Port()) + "\nUser=" + ssh.Settings("").user +
          "\nTimeOut=5\nRoot=" + sftpRoot + "\nPinnedKey=" + ssh.Fingerprint() + "\n",
      "Server=127.0.0.1\nPort=" + std::to_string(strip.Port()) + "\nUser=" + ftp.kUser +
          "\nPassword=" + ftp.kPassword + "\nTimeOut=5\nRoot=/bvuser/e2e3/\n"};
  for (uint32_t id : {1, 2, 3}) {
    const std::string root = id == 1 ? "/bvuser/e2e/" : id == 2 ? sftpRoot : "/bvuser/e2e3/";
    w.Plan(id, "Offsite " + std::to_string(id), root, {"docs"});
    w.SetPlanKey(id, "StorageType", "4");
    bvtest::WriteNative(w.data.Data("PLAN/" + std::to_string(id) + "/Devices.ini"),
                        "[FTP Device]\n" + devices[id - 1]);
  }
  w.data.WritePlanList({1, 2, 3});
  auto env = w.Inotify();
  env.emplace_back("HOME", ssh.ClientHome());
  QProcess* program = w.Start(env);
  auto latest = [&](int i, const std::string& name) {
    return roots[i] + "Latest/C" + w.Home("docs/" + name);
  };
  for (const std::string& root : roots)  // the plans loaded and reached their servers
    EXPECT_TRUE(WaitFor([&] { return fs::exists(root + "Brevanto.dat"); })) << w.Stderr();
  w.Put("docs/a.txt", "first");
  for (int i = 0; i < 20; ++i) w.Put("docs/many" + std::to_string(i) + ".txt", "m");
  for (int i : {0, 1})
    EXPECT_TRUE(WaitFor([&] {
      return Holds(latest(i, "a.txt"), "first") && Holds(latest(i, "many19.txt"), "m");
    })) << w.Log();
  for (const std::string& root : roots)
    for (const auto& [rel, bytes] : bvtest::FilesBelow(root))
      EXPECT_EQ(rel.find(".~bvtmp-"), std::string::npos) << rel;
  EXPECT_LE(ftp.Logins(), 2);
  EXPECT_LE(ssh.Logins(), 2);

  const std::string ftpLatest = latest(0, "");
  chmod(ftpLatest.c_str(), 0555);
  const int logins = ssh.Logins();
  ASSERT_TRUE(ssh.ChangeHostKey());
  w.Put("docs/b.txt", "refused by one, not for a stranger by the other");
  EXPECT_TRUE(WaitFor([&] {
    const std::string log = w.Log();
    return log.find("Access is denied.") != std::string::npos &&
           log.find("#Server Not Encrypted") != std::string::npos &&
           log.find("#Server Key Changed") != std::string::npos &&
           log.find("nothing was sent") != std::string::npos;
  })) << w.Log();
  EXPECT_FALSE(fs::exists(latest(0, "b.txt")) || fs::exists(latest(1, "b.txt")));
  EXPECT_EQ(ssh.Logins(), logins);
  EXPECT_EQ(strip.Passwords(), 0);
  chmod(ftpLatest.c_str(), 0755);

  int files = 0;
  for (const auto& [rel, bytes] : bvtest::FilesBelow(w.work.Native())) {
    if (fs::path(rel).filename() == "Devices.ini") continue;
    ++files;
    EXPECT_EQ(bytes.find(ftp.kPassword), std::string::npos) << rel;
  }
  EXPECT_GT(files, 3);
  EXPECT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));
}

// Plan 1 of w protects its "docs" in s3://bucket/team/ on the gateway.
void ObjectPlan(const bvtest::ProgramWorld& w, const bvtest::CephGateway& gw,
                const std::string& bucket) {
  w.Plan(1, "In the cloud", "s3://" + bucket + "/team/", {"docs"}, false);
  w.SetPlanKey(1, "StorageType", "5");
  bvtest::WriteNative(w.data.Data("PLAN/1/Devices.ini"),
                      "[Object Store Device]\nEndpoint=" + gw.Endpoint() +
                          "\nRegion=" + bvtest::CephGateway::Region() + "\nBucket=" + bucket +
                          "\nPrefix=team\nAccessKey=" + bvtest::CephGateway::AccessKey() +
                          "\nSecretKey=" + bvtest::CephGateway::SecretKey() +
                          "\nPathStyle=1\nTimeOut=3\n");
  w.data.WritePlanList({1});
}

// What the bucket holds as the latest copy of w's "docs/rel", or "(missing)".
std::string Stored(const bvtest::CephGateway& gw, const std::string& bucket,
                   const bvtest::ProgramWorld& w, const std::string& rel) {
  std::string body;
  const std::string key = "team/Latest/C" + w.Home("docs/" + rel);
  return gw.Request("GET", "/" + bucket + "/" + bvtest::UriEncode(key, true), "", &body) == 200
             ? body
             : "(missing)";
}

}  // namespace

// Two computers on one bucket and prefix: the second is refused before it writes; the first
// one's store, emptied with its bucket or alone, is filled anew.
TEST(ObjectStoreEndToEnd, AStoreIsItsPlansOwnAndFilledAgainWhenEmptied) {
  bvtest::App();
  bvtest::CephGateway gw;
  ASSERT_TRUE(gw.Ok()) << gw.Reason();
  ASSERT_TRUE(gw.MakeBucket("own"));
  bvtest::ProgramWorld a, b;
  a.Put("docs/a.txt", "a");
  a.Put("docs/b.txt", "b");
  b.Put("docs/a.txt", "machine b");
  ObjectPlan(a, gw, "own");
  ObjectPlan(b, gw, "own");
  // a looks at its marker again every 2 s while it runs (a minute unless set).
  bvtest::WriteNative(a.data.Data("InternalSettings.ini"), "[General]\nStoreMarkerLookTime=2\n");
  auto stored = [&](const bvtest::ProgramWorld& w, const std::string& rel) {
    return Stored(gw, "own", w, rel);
  };
  QProcess* program = a.Start(a.Inotify());
  ASSERT_TRUE(WaitFor([&] { return stored(a, "b.txt") == "b" && a.FirstBackupDone(); })) << a.Log();
  EXPECT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));

  program = b.Start(b.Inotify());
  std::string refused = GetText("STORE", "ANOTHER_INSTALLATIONS_STORE");
  refused = refused.substr(refused.find("%s") + 2, 40);
  ASSERT_TRUE(WaitFor([&] { return CountOf(b.Log(), refused) == 1; })) << b.Log();
  QThread::msleep(3000);
  EXPECT_EQ(CountOf(b.Log(), refused), 1u) << b.Log();
  EXPECT_EQ(CountOf(b.Log(), "#Backup Store Refused"), 1u) << b.Log();
  EXPECT_EQ(stored(b, "a.txt"), "(missing)");
  EXPECT_EQ(stored(a, "a.txt"), "a");
  EXPECT_TRUE(gw.Keys("own", "team/Revision/").empty());
  EXPECT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));

  program = a.Start(a.Inotify());
  // The bucket emptied and deleted, then made again: every file goes up anew.
  for (const std::string& key : gw.Keys("own", ""))
    ASSERT_EQ(gw.Request("DELETE", "/own/" + bvtest::UriEncode(key, true)), 204);
  ASSERT_EQ(gw.Request("DELETE", "/own"), 204);
  const std::string noBucket = GetText("OBJECT_STORE_REFUSED", "NO_BUCKET");
  ASSERT_TRUE(WaitFor([&] { return CountOf(a.Log(), noBucket) == 1; })) << a.Log();
  ASSERT_TRUE(gw.MakeBucket("own"));
  EXPECT_TRUE(WaitFor([&] { return stored(a, "a.txt") == "a" && stored(a, "b.txt") == "b"; }, 120))
      << a.Log();
  EXPECT_EQ(CountOf(a.Log(), GetText("STORE", "REFILLED")), 1u) << a.Log();
  // Only the prefix emptied (a lifecycle rule): noticed at the marker's next look, filled anew.
  for (const std::string& key : gw.Keys("own", "team/"))
    ASSERT_EQ(gw.Request("DELETE", "/own/" + bvtest::UriEncode(key, true)), 204);
  EXPECT_TRUE(WaitFor([&] { return stored(a, "a.txt") == "a" && stored(a, "b.txt") == "b"; }, 30))
      << a.Log();
  EXPECT_EQ(CountOf(a.Log(), GetText("STORE", "REFILLED")), 2u) << a.Log();
  EXPECT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));
  // A marker seen stands for ten minutes, but a run reads it before it sends: replaced by another
  // installation's store meanwhile, nothing is sent and the store is said to be gone.
  const std::string settings = bvtest::ReadNative(a.data.Data("InternalSettings.ini"));
  const size_t look = settings.find("StoreMarkerLookTime=2");
  ASSERT_NE(look, std::string::npos);
  bvtest::WriteNative(a.data.Data("InternalSettings.ini"),
                      std::string(settings).replace(look, 21, "StoreMarkerLookTime=600"));
  // A bucket keeping versions itself is said once; the gateway's restart: the cause said once,
  // the files wait.
  ASSERT_EQ(
      gw.Request("PUT", "/own?versioning=",
                 "<VersioningConfiguration><Status>Enabled</Status></VersioningConfiguration>"),
      200);
  program = a.Start(a.Inotify());
  a.Put("docs/b.txt", "b2");
  ASSERT_TRUE(WaitFor([&] { return stored(a, "b.txt") == "b2"; })) << a.Log();
  const std::string cause = "The object store cannot be reached.";
  const size_t failed = CountOf(a.Log(), "#Backup File Fail"), said = CountOf(a.Log(), cause) + 1;
  gw.StopGateway();
  a.Put("docs/b.txt", "while away");
  EXPECT_TRUE(WaitFor([&] { return CountOf(a.Log(), cause) == said; })) << a.Log();
  QThread::msleep(4000);  // retried meanwhile, not said again
  EXPECT_EQ(CountOf(a.Log(), cause), said) << a.Log();
  EXPECT_EQ(CountOf(a.Log(), "#Backup File Fail"), failed) << a.Log();  // the file waits
  ASSERT_TRUE(gw.StartGateway());
  EXPECT_TRUE(WaitFor([&] { return stored(a, "b.txt") == "while away"; }, 120)) << a.Log();
  EXPECT_EQ(CountOf(a.Log(), cause), said);
  EXPECT_EQ(CountOf(a.Log(), "#Backup Store Keeps Old Versions"), 1u) << a.Log();
  ASSERT_EQ(
      gw.Request("PUT", "/own/team/Brevanto.dat", StoreMarkerText(NewStoreId(), {}, NewStoreId())),
      200);
  a.Put("docs/a.txt", "a2");
  std::string replaced = GetText("STORE", "STORE_REPLACED");
  replaced = replaced.substr(replaced.find("%s") + 2, 40);
  EXPECT_TRUE(WaitFor([&] { return CountOf(a.Log(), replaced) == 1; }, 20)) << a.Log();
  QThread::msleep(2000);
  EXPECT_EQ(stored(a, "a.txt"), "a");
  EXPECT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));

  // A plan continuing its earlier plan's store, with another's store made below it since: refused
  // in words, nothing sent until the store below is gone.
  ASSERT_TRUE(gw.MakeBucket("cont"));
  bvtest::ProgramWorld c;
  c.Put("docs/a.txt", "machine c");
  ObjectPlan(c, gw, "cont");
  const std::string me(32, 'c'), earlier = NewStoreId();
  bvtest::WriteNative(c.data.Data("InternalSettings.ini"),
                      "[General]\nInstallationId=" + me + "\nStoreMarkerLookTime=2\n");
  bvtest::WriteNative(
      c.data.Data("PLAN/1/Store.ini"),
      "[Store]\nId=" + earlier + "\nRoot=/team/\nType=5\nInstallation=" + me + "\nContinued=1\n");
  ASSERT_EQ(gw.Request("PUT", "/cont/team/Brevanto.dat", StoreMarkerText(earlier, {}, me)), 200);
  const std::string below = "/cont/team/sub/Brevanto.dat";
  ASSERT_EQ(gw.Request("PUT", below, StoreMarkerText(NewStoreId(), {}, NewStoreId())), 200);
  program = c.Start(c.Inotify());
  // The words name the folder that holds the other store.
  const std::string inside = StoreSaid("STORE_BELOW", "s3://cont/team/sub/");
  EXPECT_TRUE(WaitFor([&] { return CountOf(c.Log(), inside) == 1; }, 20)) << c.Log();
  EXPECT_EQ(Stored(gw, "cont", c, "a.txt"), "(missing)");
  ASSERT_EQ(gw.Request("DELETE", below), 204);
  EXPECT_TRUE(WaitFor([&] { return Stored(gw, "cont", c, "a.txt") == "machine c"; }, 30))
      << c.Log();
  EXPECT_TRUE(bvtest::ProgramWorld::EndsWithZero(program, SIGTERM));
}
