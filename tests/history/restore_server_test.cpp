// Restores from stores on loopback servers (FTP, FTPS, SFTP): listed, downloaded with their times
// and modes, failures named; a hostile server nesting folders without end.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "RestoreRun.h"
#include "common/Texts.h"
#include "destinations/FtpDevice.h"
#include "history/RestoreLeftovers.h"
#include "history/VersionTree.h"
#include "support/EndlessFtpServer.h"
#include "support/FtpRelay.h"
#include "support/FtpServer.h"
#include "support/ScopedEnv.h"
#include "support/SshServer.h"

namespace fs = std::filesystem;
using bvtest::FilesBelow;
using bvtest::WriteNative;
using namespace restoretest;

namespace {

const Files kStore = {{"Brevanto.dat", ""},
                      {"Latest/C/home/ann/doc.txt", "newest words"},
                      {"Latest/C/home/ann/sub dir/\xc3\xbc.bin", std::string(200000, 'x')},
                      {"Revision/C/home/ann/old(0001).txt", "older words"}};
const Files kRestored = {{"doc.txt", "newest words"},
                         {"kept.txt", "private words"},
                         {"old.txt", "older words"},
                         {"sub dir/\xc3\xbc.bin", std::string(200000, 'x')}};

TEST(FtpRestore, ListsAndDownloadsAServerStoreAndNamesWhatFails) {
  for (const std::string kind : {"ftp", "ftps", "sftp"}) {
    SCOPED_TRACE(kind);
    std::unique_ptr<bvtest::FtpServer> ftp;
    std::unique_ptr<bvtest::SshServer> ssh;
    std::unique_ptr<bvtest::ScopedEnv> home;
    RestoreStore where;
    where.planId = 7;
    where.storageType = kStorageFtp;
    where.separator = '/';
    std::string native;  // the store folder
    if (kind == "sftp") {
      ssh = std::make_unique<bvtest::SshServer>();
      if (!ssh->Ok()) GTEST_SKIP() << ssh->Reason();
      home = std::make_unique<bvtest::ScopedEnv>("HOME", ssh->ClientHome());
      native = ssh->Home() + "/ss";
      where.folder = native + "/";
      where.ftp = ssh->Settings("ss/");
    } else {
      ftp = std::make_unique<bvtest::FtpServer>(/*tls=*/kind == "ftps");
      if (!ftp->Ok()) GTEST_SKIP() << ftp->Reason();
      native = ftp->NativeOf("/bvuser/rs");
      where.folder = "/bvuser/rs/";
      where.ftp = ftp->Settings("rs/");
    }
    for (const auto& [rel, bytes] : kStore) WriteNative(native + "/" + rel, bytes);
    const auto written = FileTime(1765000000);  // restored with the file
    fs::last_write_time(native + "/Latest/C/home/ann/doc.txt", written);
    fs::permissions(native + "/Latest/C/home/ann/doc.txt", fs::perms(0600));  // comes back so
    // A mode open to all comes back without write for others, nor more than the replaced had.
    fs::permissions(native + "/Revision/C/home/ann/old(0001).txt", fs::perms(0777));
    fs::permissions(native + "/Latest/C/home/ann/sub dir/\xc3\xbc.bin", fs::perms(0777));
    if (ftp) {
      for (const auto& e : fs::recursive_directory_iterator(ftp->NativeOf("/bvuser")))
        EXPECT_EQ(chown(e.path().c_str(), 65534, 65534), 0);
    }
    if (kind == "ftps") {  // a self-signed key: nothing is listed until the plan pins it
      EXPECT_FALSE(List(where));
      FtpSession probe;
      probe.SetOptions(FtpSessionOptionsOf(where.ftp));
      where.ftp.pinnedKey = probe.ProbeKey(3000);
      ASSERT_EQ(where.ftp.pinnedKey.rfind("sha256//", 0), 0u);
    }
    // A private file of 2019 keeps its mode and time on the server, listed and restored.
    bvtest::TempDir source;
    const int64_t kOld = 1552645800;  // 2019-03-15 10:30:00 UTC
    WriteNative(source.NativeOf("kept.txt"), "private words");
    fs::permissions(source.NativeOf("kept.txt"), fs::perms(0600));
    fs::last_write_time(source.NativeOf("kept.txt"), FileTime(kOld));
    {
      FtpSession up;
      up.SetOptions(FtpSessionOptionsOf(where.ftp));
      uint32_t error = 1;
      ASSERT_EQ(up.Upload(source.System() + "\\kept.txt",
                          where.folder + "Latest/C/home/ann/kept.txt", 10000, &error),
                FtpSession::kDone);
      EXPECT_EQ(error, 0u);
    }
    {
      std::unique_ptr<StoreAccess> access = MakeStoreAccess(where);
      std::string failure;
      ASSERT_TRUE(access->Reach(&failure)) << failure;
      std::unique_ptr<CVersionFolder> tree = ListProtectedFolders(*access, where);
      ASSERT_TRUE(tree);
      TickFolder(tree.get(), true);
      const std::vector<RestoreChoice> choices = CollectChoices(*access, '/', tree.get());
      const auto kept = std::find_if(choices.begin(), choices.end(), [](const RestoreChoice& c) {
        return c.fileName == "kept.txt";
      });
      ASSERT_NE(kept, choices.end());
      EXPECT_EQ(kept->version.time, kOld)
          << "an unchanged file in place is not newer than its copy";
    }
    Recorder listing;
    std::shared_ptr<CDirNode> root = List(where, &listing);
    ASSERT_TRUE(root) << testing::PrintToString(listing.traces);
    EXPECT_EQ(Find(root.get(), "Brevanto.dat"), nullptr) << "the marker is not a backed-up file";
    EXPECT_EQ(root->fileCount, 4u);
    const CDirNode* doc = Find(root.get(), "doc.txt");
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(doc->path, where.folder + "Latest/C/home/ann/doc.txt");
    EXPECT_EQ(doc->size, 12u);
    EXPECT_TRUE(Find(root.get(), "sub dir")->isFolder);
    bvtest::TempDir out;
    WriteNative(out.Native() + "/home/ann/sub dir/\xc3\xbc.bin", "replaced");
    fs::permissions(out.Native() + "/home/ann/sub dir/\xc3\xbc.bin", fs::perms(0700));
    Recorder carried;
    {
      const bvtest::ScopedEnv noTemp("TMPDIR", out.NativeOf("no such folder"));
      carried = Carry(root, where, out.System(), /*all=*/true);
    }
    EXPECT_EQ(carried.calls, Calls{"finished"}) << testing::PrintToString(carried.traces);
    Files restored;
    for (const auto& [rel, bytes] : FilesBelow(out.Native()))
      restored[rel.substr(rel.find("home/ann/") + 9)] = bytes;
    EXPECT_EQ(restored, kRestored);
    EXPECT_EQ(fs::last_write_time(out.Native() + "/home/ann/doc.txt"), written);
    EXPECT_EQ(fs::last_write_time(out.Native() + "/home/ann/kept.txt"), FileTime(kOld));
    const mode_t mask = umask(022);
    umask(mask);
    for (const auto& [rel, mode] : {std::pair<const char*, int>{"doc.txt", 0600},
                                    {"old.txt", int(0644 & ~mask)},
                                    {"sub dir/\xc3\xbc.bin", 0700},
                                    {"kept.txt", 0600}})
      EXPECT_EQ(fs::status(out.NativeOf("home/ann/") + rel).permissions(), fs::perms(mode)) << rel;
    if (kind == "ftp") {
      // A restore killed mid-download leaves its temporary file; the next start removes it.
      const bvtest::TempDir data;
      const bvtest::ScopedEnv dataDir("BREVANTO_DATA_DIR", data.Native());
      const pid_t killed = fork();
      if (killed == 0) {
        std::unique_ptr<StoreAccess> access = MakeStoreAccess(where);
        std::string failure;
        if (!access->Reach(&failure)) _exit(2);
        access->SetFetchProgress([](uint64_t) { _exit(0); });
        access->Fetch(where.folder + "Latest/C/home/ann/sub dir/\xc3\xbc.bin",
                      out.SystemOf("home/ann/cut.bin"), out.System());
        _exit(3);
      }
      int status = -1;
      ASSERT_EQ(waitpid(killed, &status, 0), killed);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      const std::string own = out.NativeOf("home/ann/.~bvtmp-0000000000000000");
      WriteNative(own, "a user's own");
      auto leftovers = [&] {
        size_t n = 0;
        for (const auto& e : fs::directory_iterator(out.NativeOf("home/ann")))
          n += e.path().filename().string().rfind(".~bvtmp-", 0) == 0;
        return n;
      };
      EXPECT_EQ(leftovers(), 2u);
      EXPECT_EQ(SweepRestoreLeftovers(), 1u);
      EXPECT_EQ(SweepRestoreLeftovers(), 0u);
      EXPECT_EQ(leftovers(), 1u);
      EXPECT_EQ(bvtest::ReadNative(own), "a user's own");
      fs::remove(own);
    }
    WriteStoreWithGaps(native + "/", "C/home/ann");
    CheckStoreWithGaps(where);
    if (kind == "sftp") {  // a new host key: nothing is listed
      ASSERT_TRUE(ssh->ChangeHostKey());
      Recorder refused;
      EXPECT_FALSE(List(where, &refused));
      const std::string said = testing::PrintToString(refused.traces);
      EXPECT_NE(said.find("sftp://127.0.0.1"), std::string::npos) << said;
      EXPECT_NE(said.find(GetText("DIALOG_RESTORE", "MSG_SERVER_KEY_CHANGED")), std::string::npos)
          << said;
      continue;
    }
    if (kind == "ftps") continue;
    // A folder another user replaced with a link to theirs receives nothing, said in words.
    bvtest::TempDir victim, theirs;
    ASSERT_EQ(chown(victim.Native().c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(theirs.Native().c_str(), 0777), 0);
    fs::create_directory_symlink(theirs.Native(), victim.Native() + "/ledger");
    ASSERT_EQ(lchown((victim.Native() + "/ledger").c_str(), 1, 1), 0);  // made by another user
    fs::create_directories(victim.Native() + "/real");
    fs::create_directory_symlink(victim.Native() + "/real", victim.Native() + "/mine");
    for (const char* own : {"/real", "/mine"})
      ASSERT_EQ(lchown((victim.Native() + own).c_str(), 65534, 65534), 0);
    RestoreStore linked = where;
    linked.folder = "/bvuser/rl/";
    linked.ftp = ftp->Settings("rl/");
    WriteNative(ftp->NativeOf("/bvuser/rl/Latest/C" + victim.Native() + "/ledger/l.txt"), "mine");
    WriteNative(ftp->NativeOf("/bvuser/rl/Latest/C" + victim.Native() + "/mine/m.txt"), "m");
    for (const auto& e : fs::recursive_directory_iterator(ftp->NativeOf("/bvuser/rl")))
      EXPECT_EQ(chown(e.path().c_str(), 65534, 65534), 0);
    const std::shared_ptr<CDirNode> ledger = List(linked);
    ASSERT_TRUE(ledger);
    const pid_t child = fork();
    if (child == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(255);
      const Recorder r = Carry(ledger, linked, "", /*all=*/true);
      // The refusal is this machine's, not the server's.
      const bool said =
          r.failures == Calls{victim.Native() + "/ledger/l.txt|" +
                              RestoreFailureText("MSG_CANNOT_COPY_FILE",
                                                 GetText("DIALOG_RESTORE", "REASON_681"))};
      _exit(r.copied != 1 ? 2 : !said ? 3 : 0);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(FilesBelow(theirs.Native()).empty());
    EXPECT_EQ(bvtest::ReadNative(victim.Native() + "/real/m.txt"), "m");
    // A file vanished since the listing and a transfer cut short fail in their own words.
    fs::remove(native + "/Latest/C/home/ann/doc.txt");
    bvtest::FtpRelay relay(ftp->Port(), 64 << 10);
    relay.SetFault(bvtest::FtpRelay::Fault::kCutData);
    RestoreStore cut = where;
    cut.ftp.port = relay.Port();
    bvtest::TempDir again;
    const Recorder failing = Carry(root, cut, again.System(), /*all=*/true);
    EXPECT_EQ(failing.calls, (Calls{"failed", "failed", "finished"}))
        << testing::PrintToString(failing.traces);
    EXPECT_EQ(failing.failed, 2u);
    const std::string reasons = testing::PrintToString(failing.failures);
    for (const char* reason : {"REASON_2", "REASON_64"})
      EXPECT_NE(reasons.find(GetText("DIALOG_RESTORE", reason)), std::string::npos) << reasons;
    EXPECT_EQ(FilesBelow(again.Native()).size(), 2u) << "old.txt and kept.txt, no partial file";
    RestoreStore bad = where;  // a missing folder is named
    bad.folder = "/bvuser/none/";
    Recorder told;
    EXPECT_FALSE(List(bad, &told));
    const std::string said = testing::PrintToString(told.traces);
    EXPECT_NE(said.find("/bvuser/none/"), std::string::npos) << said;
    EXPECT_NE(said.find("FTP"), std::string::npos) << said;
  }
}

// Folders without end: walks end at their limits, or at a folder linked to itself, naming it;
// a stopped walk ends at once.
TEST(FtpRestore, FoldersWithoutEndAreWalkedWithinLimits) {
  auto storeAt = [](uint16_t port) {
    RestoreStore store;
    store.storageType = kStorageFtp;
    store.separator = '/';
    store.folder = "/s/";
    store.ftp.server = "127.0.0.1";
    store.ftp.port = port;
    store.ftp.user = "ann";
    store.ftp.security = kFtpPlain;  // the hostile server speaks no TLS
    return store;
  };
  for (const int kind : {0, 1, 2}) {  // deep, wide, wide with every folder holding itself
    SCOPED_TRACE(kind);
    const bool wide = kind > 0, looping = kind == 2;
    bvtest::EndlessFtpServer server(wide, 0, looping);
    ASSERT_TRUE(server.Ok());
    const RestoreStore store = storeAt(server.Port());
    std::unique_ptr<StoreAccess> access = MakeStoreAccess(store);
    std::string failure;
    ASSERT_TRUE(access->Reach(&failure)) << failure;
    const WalkLimits limits = looping ? WalkLimits{} : WalkLimits{wide ? 1000 : 20, 60};
    std::unique_ptr<CVersionFolder> folders = ListProtectedFolders(*access, store, nullptr, limits);
    ASSERT_TRUE(folders);
    ASSERT_EQ(folders->folders.size(), wide ? 2u : 1u);  // drives A: and B:, or D:
    TickFolder(folders.get(), true);
    for (const int32_t stop : {1, 0}) {
      const std::atomic<int32_t> flag{stop};
      PendingChoices pending = TakeChoices(folders.get());
      const int before = server.Listings();
      WalkProgress last;
      std::string at;
      const WalkEnd end = FinishChoices(
          *access, store, &pending, &flag, limits, [&](const WalkProgress& p) { last = p; }, &at);
      EXPECT_EQ(end, stop      ? WalkEnd::kStopped
                     : looping ? WalkEnd::kLoops
                     : wide    ? WalkEnd::kTooMany
                               : WalkEnd::kTooDeep);
      EXPECT_LE(server.Listings() - before, looping ? 40 : 2 * 60);
      EXPECT_TRUE(stop || !looping || at.rfind("/a") == at.size() - 2) << at;
      EXPECT_TRUE(stop || kind != 1 || last.files == last.folders + 3) << "one f.txt in each";
    }
  }
  // A server that goes mute: a stopped job does not wait for its answer.
  bvtest::EndlessFtpServer server(true);
  bvtest::FtpRelay mute(server.Port());
  mute.SetFault(bvtest::FtpRelay::Fault::kMute);
  Recorder quiet;
  CChoiceCollector job(&quiet, storeAt(mute.Port()), {});
  ASSERT_EQ(job.Begin(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto stopped = std::chrono::steady_clock::now();
  job.Stop();
  job.Wait();
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(1));
}

}  // namespace
