// The restore jobs on stores kept on servers on loopback (FTP, FTPS with a
// pinned key, SFTP with a pinned host key): the filler lists the store
// without its marker, the carrier downloads byte for byte, and a file gone
// since the listing, a wrong password, a missing folder, a server key other
// than the pinned one end with their texts. Skips when a server cannot start.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "destinations/FtpDevice.h"
#include "history/RestoreJobs.h"
#include "history/RestoreTree.h"
#include "support/FtpServer.h"
#include "support/ScopedEnv.h"
#include "support/SshServer.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

namespace {

class Traces : public IRestoreObserver {
 public:
  void OnTrace(const std::string& text) override {
    std::lock_guard<std::mutex> g(lock_);
    all_ += text + "\n";
  }
  void OnRestoreFinished() override { OnTrace("[finished]"); }
  void OnRestoreFailed() override { OnTrace("[failed]"); }
  std::string Get() {
    std::lock_guard<std::mutex> g(lock_);
    return all_;
  }

 private:
  std::mutex lock_;  // guards all_
  std::string all_;
};

const CDirNode* Child(const CDirNode* node, const std::string& name) {
  if (node != nullptr)
    for (const auto& c : node->children)
      if (c->name == name) return c.get();
  return nullptr;
}

std::shared_ptr<CDirNode> List(const RestoreStore& where, Traces* traces) {
  CRestoreFiller filler(traces, where);
  EXPECT_EQ(filler.Begin(), 0);
  filler.Wait();
  return filler.Root();
}

// Restores everything below a new folder; the files below its "home/ann/".
Files Restore(const std::shared_ptr<CDirNode>& root, const RestoreStore& where, Traces* traces,
              uint64_t* failed) {
  bvtest::TempDir out;
  CRestoreCarrier carrier(traces, root, where, out.System(), /*restoreAll=*/true);
  EXPECT_EQ(carrier.Begin(), 0);
  carrier.Wait();
  *failed = carrier.FilesFailed();
  Files restored;
  for (const auto& [rel, bytes] : bvtest::FilesBelow(out.Native()))
    restored[rel.substr(rel.find("home/ann/") + 9)] = bytes;
  return restored;
}

const Files kStore = {{"Brevanto.dat", ""},
                      {"Latest/C/home/ann/doc.txt", "newest words"},
                      {"Latest/C/home/ann/sub dir/\xc3\xbc.bin", std::string(200000, 'x')},
                      {"Revision/C/home/ann/old(0001).txt", "older words"}};
const Files kRestored = {{"doc.txt", "newest words"},
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
    for (const auto& [rel, bytes] : kStore) bvtest::WriteNative(native + "/" + rel, bytes);
    if (ftp) {
      for (const auto& e : fs::recursive_directory_iterator(ftp->NativeOf("/bvuser")))
        EXPECT_EQ(chown(e.path().c_str(), 65534, 65534), 0);
    }
    if (kind == "ftps") {  // a self-signed key: nothing is listed until the plan pins it
      Traces refused;
      EXPECT_FALSE(List(where, &refused)) << refused.Get();
      FtpSession probe;
      probe.SetOptions(FtpSessionOptionsOf(where.ftp));
      where.ftp.pinnedKey = probe.ProbeKey(3000);
      ASSERT_EQ(where.ftp.pinnedKey.rfind("sha256//", 0), 0u);
    }

    Traces listing;
    std::shared_ptr<CDirNode> root = List(where, &listing);
    ASSERT_TRUE(root) << listing.Get();
    EXPECT_EQ(Child(root.get(), "Brevanto.dat"), nullptr) << "the marker is not a backed-up file";
    EXPECT_EQ(root->fileCount, 3u);
    const CDirNode* ann = Child(Child(Child(Child(root.get(), "Latest"), "C"), "home"), "ann");
    ASSERT_NE(Child(ann, "doc.txt"), nullptr);
    EXPECT_EQ(Child(ann, "doc.txt")->path, where.folder + "Latest/C/home/ann/doc.txt");
    EXPECT_EQ(Child(ann, "doc.txt")->size, 12u);
    EXPECT_TRUE(Child(ann, "sub dir")->isFolder);
    Traces carrying;
    uint64_t failed = 0;
    EXPECT_EQ(Restore(root, where, &carrying, &failed), kRestored) << carrying.Get();
    EXPECT_NE(carrying.Get().find("[finished]"), std::string::npos) << carrying.Get();

    if (kind == "sftp") {  // a new host key: nothing is listed
      ASSERT_TRUE(ssh->ChangeHostKey());
      Traces refused;
      EXPECT_FALSE(List(where, &refused));
      EXPECT_NE(refused.Get().find("sftp://127.0.0.1"), std::string::npos) << refused.Get();
      continue;
    }
    if (kind == "ftps") continue;
    // The store's file vanished since the listing: the download fails the restore.
    fs::remove(native + "/Latest/C/home/ann/doc.txt");
    Traces failing;
    Restore(root, where, &failing, &failed);
    EXPECT_NE(failing.Get().find("[failed]"), std::string::npos) << failing.Get();
    EXPECT_EQ(failed, 1u);
    const struct {
      const char* what;
      std::string password, folder, argument;
    } cases[] = {
        {"wrong password", "wrong", "/bvuser/rs/", "127.0.0.1"},
        {"missing folder", ftp->kPassword, "/bvuser/none/", "/bvuser/none/"},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      RestoreStore bad = where;
      bad.ftp.password = c.password;
      bad.folder = c.folder;
      Traces t;
      EXPECT_FALSE(List(bad, &t));
      EXPECT_NE(t.Get().find(c.argument), std::string::npos) << t.Get();
      EXPECT_NE(t.Get().find("FTP"), std::string::npos) << t.Get();
    }
  }
}

}  // namespace
