// The network share destination: the shared suite on a share path, its
// settings in "Devices.ini", the remote name of a mapped letter, availability
// as the volume table changes, preparation and identity. Shares and letters
// come from an override volume table.
#include <gtest/gtest.h>

#include <filesystem>
#include <utility>
#include <vector>

#include "destination_suite.h"
#include "destinations/DiskDevice.h"
#include "destinations/NetworkDevice.h"
#include "platform/Profile.h"

namespace fs = std::filesystem;

INSTANTIATE_TEST_SUITE_P(Network, DestinationSuite,
                         testing::Values(LocalKind("SharePath", kStorageNetwork, true)), KindName);

namespace {

const std::string kShare = "\\\\bvsrv\\share";

std::string ShareSection(const bvtest::TempDir& folder, const char* online = "1") {
  return "[" + kShare + "]\nRoot=" + folder.Native() + "\nOnline=" + online + "\n";
}

std::string Letter(char letter, const bvtest::TempDir& folder, const std::string& remote) {
  std::string s = std::string("[") + letter + "]\nRoot=" + folder.Native() + "\n";
  if (!remote.empty()) s += "Type=network\nRemote=" + remote + "\n";
  return s;
}

std::unique_ptr<CNetworkDevice> NetworkAt(const std::string& root,
                                          IDestinationOwner* owner = nullptr) {
  return Configured<CNetworkDevice>(root, owner);
}

class NetworkTest : public testing::Test {
 protected:
  bvtest::TempDir share_, other_, local_, plan_;
  PlanOwner owner_{plan_.System() + "\\"};
  ScopedVolumes volumes_{Table()};

  std::string Table(const std::string& rest = "") const {
    return "[C]\nRoot=/\n" + ShareSection(share_) + rest;
  }
  // Rewrites the table step by step and checks the availability after each.
  void Follow(CNetworkDevice* dest, const std::vector<std::pair<std::string, bool>>& steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
      volumes_.Rewrite(steps[i].first);
      dest->Refresh();
      EXPECT_EQ(dest->IsAvailable(), steps[i].second) << "step " << i;
    }
  }
};

// A root on a mapped letter takes the letter's remote name; settings round
// trip (also from a file the disk kind wrote); a failed load keeps both; a
// root a profile line cannot carry writes nothing, nor does a plan folder
// that is gone.
TEST_F(NetworkTest, RemoteNamesAndSettings) {
  volumes_.Rewrite(Table(Letter('Z', share_, kShare) + Letter('E', local_, "")));
  const std::pair<const char*, std::string> names[] = {
      {"  \tZ:\\Backup  ", kShare},
      {"z:\\Backup", kShare},
      {"Z:", kShare},
      {"E:\\Backup", ""},  // a local letter
      {"Y:\\Backup", ""},  // not connected
      {"Z", ""},
      {"", ""},
  };
  for (const auto& [root, remote] : names) EXPECT_EQ(NetworkAt(root)->GetRemoteName(), remote);
  auto mapped = NetworkAt("  \tZ:\\Backup  ");
  EXPECT_EQ(mapped->GetRootPath(), "Z:\\Backup");
  EXPECT_EQ(NetworkAt(kShare + "\\Backup")->GetRemoteName(), "");
  mapped->Configure(PlanSettings{});
  EXPECT_EQ(mapped->GetRemoteName(), "") << "configuring again replaces the name";

  for (const std::string& root : {std::string("Z:\\Backup\\"), kShare + "\\Backup ü 日本\\"}) {
    auto saved = NetworkAt(root, &owner_);
    ASSERT_TRUE(saved->SaveSettings()) << root;
    CNetworkDevice loaded(&owner_);
    ASSERT_TRUE(loaded.LoadSettings()) << root;
    EXPECT_EQ(loaded.GetRootPath(), root);
    EXPECT_EQ(loaded.GetRemoteName(), saved->GetRemoteName());
  }
  const std::string ini = plan_.NativeOf("Devices.ini");
  EXPECT_EQ(plat::GetProfileString(plan_.SystemOf("Devices.ini"), "Disk Device", "RemoteName", "x"),
            "");
  const std::pair<const char*, const char*> files[] = {
      {"[Disk Device]\nRootDir=Z:\\old\nRemoteName=\\\\a\\b\n", "\\\\a\\b"},
      {"[Disk Device]\nRootDir=Z:\\old\n", ""},
  };
  for (const auto& [text, remote] : files) {
    bvtest::WriteNative(ini, text);
    CNetworkDevice fromDisk(&owner_);
    ASSERT_TRUE(fromDisk.LoadSettings()) << text;
    EXPECT_EQ(fromDisk.GetRootPath() + "|" + fromDisk.GetRemoteName(),
              "Z:\\old|" + std::string(remote));
  }
  auto dest = NetworkAt("Z:\\Kept", &owner_);
  fs::remove(ini);
  EXPECT_FALSE(dest->LoadSettings());
  EXPECT_EQ(dest->GetRootPath() + "|" + dest->GetRemoteName(), "Z:\\Kept|" + kShare);

  volumes_.Rewrite(Table(Letter('Z', share_, "\\\\new\\share")));
  const std::string before = "[Disk Device]\nRootDir=Z:\\old\nRemoteName=\\\\old\\share\n";
  bvtest::WriteNative(ini, before);
  auto injected = NetworkAt("Z:\\a\nRootDir=Y:\\injected", &owner_);
  ASSERT_EQ(injected->GetRemoteName(), "\\\\new\\share");
  EXPECT_FALSE(injected->SaveSettings());
  EXPECT_EQ(bvtest::ReadNative(ini), before) << "the remote name is not written either";
  PlanOwner gone(plan_.System() + "\\missing\\");
  EXPECT_FALSE(NetworkAt("Z:\\b", &gone)->SaveSettings());
  EXPECT_FALSE(fs::exists(plan_.NativeOf("missing")));
}

// Availability follows the volume table: a share path its share, a mapped
// letter its share, a letter not connected its local volume. Preparing a
// share that is down makes nothing.
TEST_F(NetworkTest, AvailabilityAndPreparationFollowTheTable) {
  auto dest = NetworkAt(kShare + "\\Backup\\");
  EXPECT_TRUE(dest->IsAvailable()) << "a new destination starts available";
  Follow(dest.get(), {{Table(), true},
                      {"[C]\nRoot=/\n" + ShareSection(share_, "0"), false},
                      {Table(), true},
                      {"[C]\nRoot=/\n", false},  // no longer declared at all
                      {Table(), true}});
  // Share names are not case-sensitive; other shares and bad names are down.
  for (const auto& [root, up] :
       std::vector<std::pair<std::string, bool>>{{"\\\\BVSRV\\Share\\x", true},
                                                 {"\\\\bvsrv\\other\\x", false},
                                                 {"\\\\bvsrv", false},
                                                 {"\\", false},
                                                 {"", false},
                                                 {"1:\\x", false}}) {
    auto d = NetworkAt(root);
    d->Refresh();
    EXPECT_EQ(d->IsAvailable(), up) << root;
  }
  const std::string mapped = Letter('Z', share_, kShare);
  volumes_.Rewrite(Table(mapped));
  auto letter = NetworkAt("Z:\\Backup");
  ASSERT_EQ(letter->GetRemoteName(), kShare);
  Follow(letter.get(), {{Table(mapped), true},
                        {Table(), false},  // Z: disconnected
                        {Table(mapped), true},
                        {Table(Letter('Z', other_, "\\\\bvsrv\\other")), false},  // remapped
                        {Table(Letter('Z', share_, "\\\\BVSRV\\share")), false},  // case differs
                        {Table(Letter('Z', share_, "")), false},  // now a local letter
                        // The letter counts, not whether the share is declared online.
                        {"[C]\nRoot=/\n" + ShareSection(share_, "0") + mapped, true}});
  volumes_.Rewrite(Table(Letter('Y', local_, "")));
  auto local = NetworkAt("Y:\\Backup");
  ASSERT_EQ(local->GetRemoteName(), "");
  Follow(local.get(), {{Table(Letter('Y', local_, "")), true},
                       {Table(Letter('Y', share_, kShare)), false},
                       {Table(), false}});

  volumes_.Rewrite("[C]\nRoot=/\n" + ShareSection(share_, "0"));
  auto store = NetworkAt(kShare + "\\Store");
  EXPECT_TRUE(store->Prepare(true));
  EXPECT_TRUE(fs::is_empty(share_.Native()));
  volumes_.Rewrite(Table());
  EXPECT_TRUE(store->Prepare(false));
  EXPECT_TRUE(fs::is_empty(share_.Native()));
  EXPECT_TRUE(store->Prepare(true));
  EXPECT_EQ(fs::file_size(share_.NativeOf("Store/Brevanto.dat")), 0u);
}

// A share path is the same destination whatever its case, and never the same
// as a disk destination of the same path (either way round).
TEST_F(NetworkTest, IdentityIgnoresCaseButNotTheKind) {
  auto share = NetworkAt(kShare + "\\Backup");
  EXPECT_TRUE(share->IsSameDestination(*NetworkAt("\\\\BVSRV\\share\\backup\\")));
  EXPECT_FALSE(share->IsSameDestination(*NetworkAt(kShare + "\\Backup2")));
  auto disk = Configured<CDiskDevice>(kShare + "\\Backup");
  EXPECT_FALSE(share->IsSameDestination(*disk) || disk->IsSameDestination(*share));
  EXPECT_FALSE(share->IsSameVolume(*disk) || disk->IsSameVolume(*share));
}

}  // namespace
