// The restore jobs on a store kept on an FTP server on loopback: the filler
// lists it over the server (without its marker, hostile names left out), the
// carrier downloads byte for byte, and a server that cannot be reached or a
// store folder that is missing end with their texts. Skips when the server
// cannot be started here.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "destinations/FtpDevice.h"
#include "history/RestoreJobs.h"
#include "history/RestoreTree.h"
#include "support/FtpServer.h"
#include "support/ScopedEnv.h"
#include "support/SshServer.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

class Traces : public IRestoreObserver {
 public:
  void OnTrace(const std::string& text) override {
    std::lock_guard<std::mutex> g(lock_);
    all_ += text + "\n";
  }
  void OnRestoreFinished() override { Note("finished"); }
  void OnRestoreFailed() override { Note("failed"); }
  std::string Get() {
    std::lock_guard<std::mutex> g(lock_);
    return all_;
  }

 private:
  void Note(const std::string& s) { OnTrace("[" + s + "]"); }
  std::mutex lock_;  // guards all_
  std::string all_;
};

const CDirNode* Child(const CDirNode* node, const std::string& name) {
  if (node == nullptr) return nullptr;
  for (const auto& c : node->children)
    if (c->name == name) return c.get();
  return nullptr;
}

// Writes a store with its marker and files (relative path -> bytes) in the
// server user's folder name and gives the restore's description of it.
RestoreStore WriteFtpStore(const bvtest::FtpServer& server, const std::string& name,
                           const std::map<std::string, std::string>& files) {
  const std::string store = server.NativeOf("/bvuser/" + name);
  bvtest::WriteNative(store + "/Brevanto.dat", "");
  for (const auto& [rel, bytes] : files) bvtest::WriteNative(store + "/" + rel, bytes);
  for (const auto& e : fs::recursive_directory_iterator(server.NativeOf("/bvuser")))
    chown(e.path().c_str(), 65534, 65534);
  RestoreStore where;
  where.planId = 7;
  where.storageType = kStorageFtp;
  where.folder = "/bvuser/" + name + "/";
  where.separator = '/';
  where.ftp = server.Settings(name + "/");
  return where;
}

}  // namespace

TEST(FtpRestore, ListsAndDownloadsTheStoreAndNamesWhatFails) {
  bvtest::FtpServer server;
  if (!server.Ok()) GTEST_SKIP() << server.Reason();
  const std::string store = server.NativeOf("/bvuser/rs");
  const std::map<std::string, std::string> files = {
      {"Latest/C/home/ann/doc.txt", "newest words"},
      {"Latest/C/home/ann/sub dir/ü.bin", std::string(200000, 'x')},
      {"Revision/C/home/ann/old(0001).txt", "older words"},
  };
  RestoreStore where = WriteFtpStore(server, "rs", files);

  Traces listing;
  CRestoreFiller filler(&listing, where);
  ASSERT_EQ(filler.Begin(), 0);
  filler.Wait();
  std::shared_ptr<CDirNode> root = filler.Root();
  ASSERT_TRUE(root) << listing.Get();
  EXPECT_EQ(Child(root.get(), "Brevanto.dat"), nullptr) << "the marker is not a backed-up file";
  const CDirNode* ann = Child(Child(Child(Child(root.get(), "Latest"), "C"), "home"), "ann");
  ASSERT_NE(ann, nullptr);
  const CDirNode* doc = Child(ann, "doc.txt");
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(doc->path, "/bvuser/rs/Latest/C/home/ann/doc.txt");
  EXPECT_EQ(doc->size, 12u);
  EXPECT_TRUE(Child(ann, "sub dir")->isFolder);
  EXPECT_EQ(root->fileCount, 3u);

  bvtest::TempDir out;
  Traces carrying;
  CRestoreCarrier carrier(&carrying, root, where, out.System(), /*restoreAll=*/true);
  ASSERT_EQ(carrier.Begin(), 0);
  carrier.Wait();
  EXPECT_NE(carrying.Get().find("[finished]"), std::string::npos) << carrying.Get();
  EXPECT_EQ(carrier.FilesCopied(), 3u);
  // Each file lands under its path below the store's drive folder, a
  // revision under its own name.
  std::map<std::string, std::string> restored;
  for (const auto& [rel, bytes] : bvtest::FilesBelow(out.Native()))
    restored[rel.substr(rel.find("home/"))] = bytes;
  EXPECT_EQ(restored, (std::map<std::string, std::string>{
                          {"home/ann/doc.txt", "newest words"},
                          {"home/ann/old.txt", "older words"},
                          {"home/ann/sub dir/ü.bin", std::string(200000, 'x')}}));

  // The store's file vanished since the listing: the download fails the restore.
  fs::remove(store + "/Latest/C/home/ann/doc.txt");
  Traces failing;
  CRestoreCarrier again(&failing, root, where, out.System(), true);
  ASSERT_EQ(again.Begin(), 0);
  again.Wait();
  EXPECT_NE(failing.Get().find("[failed]"), std::string::npos) << failing.Get();
  EXPECT_EQ(again.FilesFailed(), 1u);

  struct Case {
    const char* what;
    std::string password, folder, argument;
  };
  const Case cases[] = {
      {"wrong password", "wrong", "/bvuser/rs/", "127.0.0.1"},
      {"missing folder", server.kPassword, "/bvuser/none/", "/bvuser/none/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RestoreStore bad = where;
    bad.ftp.password = c.password;
    bad.folder = c.folder;
    Traces t;
    CRestoreFiller f(&t, bad);
    ASSERT_EQ(f.Begin(), 0);
    f.Wait();
    EXPECT_FALSE(f.Root());
    EXPECT_NE(t.Get().find(c.argument), std::string::npos) << t.Get();
    EXPECT_NE(t.Get().find("FTP"), std::string::npos) << t.Get();
  }
}

// A store on a server whose self-signed key the user trusted: the restore
// reaches it with the plan's pinned key, and without it lists nothing.
TEST(FtpRestore, EncryptedStoreIsListedWithThePlansPinnedKey) {
  bvtest::FtpServer server(/*tls=*/true);
  if (!server.Ok()) GTEST_SKIP() << server.Reason();
  RestoreStore where =
      WriteFtpStore(server, "tls", {{"Latest/C/home/ann/doc.txt", "sealed words"}});
  for (const bool pinned : {false, true}) {
    SCOPED_TRACE(pinned ? "pinned" : "not pinned");
    if (pinned) {
      FtpSession probe;
      probe.SetOptions(FtpSessionOptionsOf(where.ftp));
      where.ftp.pinnedKey = probe.ProbeKey(3000);
      ASSERT_EQ(where.ftp.pinnedKey.rfind("sha256//", 0), 0u);
    }
    Traces listing;
    CRestoreFiller filler(&listing, where);
    ASSERT_EQ(filler.Begin(), 0);
    filler.Wait();
    EXPECT_EQ(filler.Root() != nullptr, pinned) << listing.Get();
  }
}

// A store on an SFTP server: listed and downloaded over SSH with the plan's
// pinned host key; once the server shows a new host key, nothing is listed.
TEST(FtpRestore, SftpStoreIsRestoredWithThePinnedHostKeyOnly) {
  bvtest::SshServer server;
  if (!server.Ok()) GTEST_SKIP() << server.Reason();
  bvtest::ScopedEnv home("HOME", server.ClientHome());
  const std::map<std::string, std::string> files = {
      {"Brevanto.dat", ""},
      {"Latest/C/home/ann/doc.txt", "newest words"},
      {"Latest/C/home/ann/sub dir/\xc3\xbc.bin", std::string(200000, 'x')},
      {"Revision/C/home/ann/old(0001).txt", "older words"},
  };
  for (const auto& [rel, bytes] : files) bvtest::WriteNative(server.Home() + "/ss/" + rel, bytes);
  RestoreStore where;
  where.planId = 7;
  where.storageType = kStorageFtp;
  where.folder = server.Home() + "/ss/";
  where.separator = '/';
  where.ftp = server.Settings("ss/");

  Traces listing;
  CRestoreFiller filler(&listing, where);
  ASSERT_EQ(filler.Begin(), 0);
  filler.Wait();
  std::shared_ptr<CDirNode> root = filler.Root();
  ASSERT_TRUE(root) << listing.Get();
  EXPECT_EQ(Child(root.get(), "Brevanto.dat"), nullptr);
  EXPECT_EQ(root->fileCount, 3u);
  const CDirNode* ann = Child(Child(Child(Child(root.get(), "Latest"), "C"), "home"), "ann");
  ASSERT_NE(Child(ann, "doc.txt"), nullptr);
  EXPECT_EQ(Child(ann, "doc.txt")->size, 12u);

  bvtest::TempDir out;
  Traces carrying;
  CRestoreCarrier carrier(&carrying, root, where, out.System(), /*restoreAll=*/true);
  ASSERT_EQ(carrier.Begin(), 0);
  carrier.Wait();
  EXPECT_EQ(carrier.FilesCopied(), 3u) << carrying.Get();
  std::map<std::string, std::string> restored;
  for (const auto& [rel, bytes] : bvtest::FilesBelow(out.Native()))
    restored[rel.substr(rel.find("home/ann/"))] = bytes;
  EXPECT_EQ(restored, (std::map<std::string, std::string>{
                          {"home/ann/doc.txt", "newest words"},
                          {"home/ann/old.txt", "older words"},
                          {"home/ann/sub dir/\xc3\xbc.bin", std::string(200000, 'x')}}));

  ASSERT_TRUE(server.ChangeHostKey());
  Traces refused;
  CRestoreFiller again(&refused, where);
  ASSERT_EQ(again.Begin(), 0);
  again.Wait();
  EXPECT_FALSE(again.Root());
  EXPECT_NE(refused.Get().find("sftp://127.0.0.1"), std::string::npos) << refused.Get();
}
