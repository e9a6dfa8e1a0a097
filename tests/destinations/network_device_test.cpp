// The network share destination: the shared suite on a share path and on a
// mapped network letter, its settings in "Devices.ini", configuration,
// availability as the volume table changes, and preparation of a share that
// is down. Shares and letters come from an override volume table.
#include <filesystem>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "destination_suite.h"
#include "destinations/DestinationFactory.h"
#include "destinations/NetworkDevice.h"
#include "plan_owner.h"
#include "platform/Profile.h"
#include "support/TempDir.h"
#include "volume_override.h"

namespace fs = std::filesystem;

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

// The store "Store\" on the share, reached by its share path or through Z:.
class ShareWorld : public DestinationWorld {
 public:
  explicit ShareWorld(bool throughLetter)
      : volumes_("[C]\nRoot=/\n" + ShareSection(share_) + Letter('Z', share_, kShare)),
        dest_(CreateDestination(nullptr, kStorageNetwork)) {
    if (!dest_) return;
    PlanSettings settings;
    settings.storePath = (throughLetter ? std::string("Z:") : kShare) + "\\Store\\";
    dest_->Configure(settings);
    dest_->Prepare(true);
  }
  bool Ok() const { return dest_ && fs::is_regular_file(share_.NativeOf("Store/Brevanto.dat")); }
  CDestination& Dest() override { return *dest_; }
  std::string PathOf(const std::string& rel) const override {
    std::string p = rel;
    for (char& c : p)
      if (c == '/') c = '\\';
    return dest_->GetRootPath() + p;
  }
  std::string NativeOf(const std::string& rel) const override {
    return share_.NativeOf("Store/" + rel);
  }

 private:
  bvtest::TempDir share_;
  ScopedVolumes volumes_;
  std::unique_ptr<CDestination> dest_;
};

DestinationKind ShareKind(const std::string& name, bool throughLetter) {
  DestinationKind kind;
  kind.name = name;
  kind.make = [throughLetter]() -> std::unique_ptr<DestinationWorld> {
    auto world = std::make_unique<ShareWorld>(throughLetter);
    if (!world->Ok()) return nullptr;
    return world;
  };
  return kind;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Network, DestinationSuite,
                         testing::Values(ShareKind("SharePath", false),
                                         ShareKind("MappedLetter", true)),
                         KindName);

namespace {

std::unique_ptr<CNetworkDevice> NetworkAt(const std::string& root,
                                          IDestinationOwner* owner = nullptr) {
  return Configured<CNetworkDevice>(root, owner);
}

bool AvailableAfterRefresh(CNetworkDevice& dest) {
  dest.Refresh();
  return dest.IsAvailable();
}

// Rewrites the table step by step and checks the destination's availability
// after each.
void FollowTables(ScopedVolumes* volumes, CNetworkDevice* dest,
                  const std::vector<std::pair<std::string, bool>>& steps) {
  for (size_t i = 0; i < steps.size(); ++i) {
    volumes->Rewrite(steps[i].first);
    EXPECT_EQ(AvailableAfterRefresh(*dest), steps[i].second) << "step " << i;
  }
}

class NetworkTest : public testing::Test {
 protected:
  bvtest::TempDir share_, other_, local_, plan_;
  PlanOwner owner_{plan_.System() + "\\"};
  ScopedVolumes volumes_{Table()};

  std::string Table(const std::string& rest = "") const {
    return "[C]\nRoot=/\n" + ShareSection(share_) + rest;
  }
  std::string Ini() const { return plan_.SystemOf("Devices.ini"); }
};

TEST_F(NetworkTest, ConfigureTakesTheRemoteNameOfTheRootsLetter) {
  volumes_.Rewrite(Table(Letter('Z', share_, kShare) + Letter('E', local_, "")));
  auto mapped = NetworkAt("  \tZ:\\Backup  ");
  EXPECT_EQ(mapped->GetRootPath(), "Z:\\Backup");
  EXPECT_EQ(mapped->GetRemoteName(), kShare);
  EXPECT_EQ(NetworkAt("z:\\Backup")->GetRemoteName(), kShare);
  EXPECT_EQ(NetworkAt("Z:")->GetRemoteName(), kShare);

  EXPECT_EQ(NetworkAt(kShare + "\\Backup")->GetRemoteName(), "");
  EXPECT_EQ(NetworkAt("E:\\Backup")->GetRemoteName(), "");  // a local letter
  EXPECT_EQ(NetworkAt("Y:\\Backup")->GetRemoteName(), "");  // not connected
  EXPECT_EQ(NetworkAt("Z")->GetRemoteName(), "");
  EXPECT_EQ(NetworkAt("")->GetRemoteName(), "");

  // Configuring again replaces the name.
  mapped->Configure(PlanSettings{});
  EXPECT_EQ(mapped->GetRemoteName(), "");
}

// Settings round trip, also from a file the disk kind wrote; loading needs
// the file and a root; a failed root write stops the save and a plan folder
// that is gone gets nothing.
TEST_F(NetworkTest, SettingsRoundTripAndFailuresWriteNothing) {
  volumes_.Rewrite(Table(Letter('Z', share_, kShare)));
  for (const std::string& root : {std::string("Z:\\Backup\\"), kShare + "\\Backup ü 日本\\"}) {
    auto saved = NetworkAt(root, &owner_);
    ASSERT_TRUE(saved->SaveSettings()) << root;
    CNetworkDevice loaded(&owner_);
    ASSERT_TRUE(loaded.LoadSettings()) << root;
    EXPECT_EQ(loaded.GetRootPath(), root);
    EXPECT_EQ(loaded.GetRemoteName(), saved->GetRemoteName());
  }
  EXPECT_EQ(plat::GetProfileString(Ini(), "Disk Device", "RemoteName", "x"), "");

  // A file written by the disk kind loads with no remote name; the section is
  // the disk kind's.
  bvtest::WriteNative(plan_.NativeOf("Devices.ini"),
                      "[Disk Device]\nRootDir=Z:\\old\nRemoteName=\\\\a\\b\n");
  CNetworkDevice fromDisk(&owner_);
  ASSERT_TRUE(fromDisk.LoadSettings());
  EXPECT_EQ(fromDisk.GetRemoteName(), "\\\\a\\b");
  bvtest::WriteNative(plan_.NativeOf("Devices.ini"), "[Disk Device]\nRootDir=Z:\\old\n");
  ASSERT_TRUE(fromDisk.LoadSettings());
  EXPECT_EQ(fromDisk.GetRootPath(), "Z:\\old");
  EXPECT_EQ(fromDisk.GetRemoteName(), "");

  // Loading needs the file and a root.
  fs::remove(plan_.NativeOf("Devices.ini"));
  auto dest = NetworkAt("Z:\\Kept", &owner_);
  EXPECT_FALSE(dest->LoadSettings());
  EXPECT_EQ(dest->GetRootPath(), "Z:\\Kept");
  EXPECT_EQ(dest->GetRemoteName(), kShare);

  bvtest::WriteNative(plan_.NativeOf("Devices.ini"), "[Disk Device]\nRemoteName=\\\\a\\b\n");
  EXPECT_FALSE(dest->LoadSettings());

  CNetworkDevice noOwner(nullptr);
  EXPECT_FALSE(noOwner.LoadSettings());
  EXPECT_FALSE(noOwner.SaveSettings());
  volumes_.Rewrite(Table(Letter('Z', share_, "\\\\new\\share")));
  const std::string before = "[Disk Device]\nRootDir=Z:\\old\nRemoteName=\\\\old\\share\n";
  bvtest::WriteNative(plan_.NativeOf("Devices.ini"), before);
  // A root that a profile line cannot carry: the first write fails, and the
  // remote name, which could be written, is left alone.
  auto injected = NetworkAt("Z:\\a\nRootDir=Y:\\injected", &owner_);
  ASSERT_EQ(injected->GetRemoteName(), "\\\\new\\share");
  EXPECT_FALSE(injected->SaveSettings());
  EXPECT_EQ(bvtest::ReadNative(plan_.NativeOf("Devices.ini")), before);

  // A plan folder that is gone: nothing is written anywhere.
  PlanOwner gone(plan_.System() + "\\missing\\");
  auto lost = NetworkAt("Z:\\b", &gone);
  EXPECT_FALSE(lost->SaveSettings());
  EXPECT_FALSE(fs::exists(plan_.NativeOf("missing")));
}

// Availability follows the volume table: a share path its share, a mapped
// letter its share, a letter not connected its local volume.
TEST_F(NetworkTest, AvailabilityFollowsTheTable) {
  auto dest = NetworkAt(kShare + "\\Backup\\");
  EXPECT_TRUE(dest->IsAvailable()) << "a new destination starts available";
  EXPECT_TRUE(AvailableAfterRefresh(*dest));
  FollowTables(&volumes_, dest.get(),
               {{"[C]\nRoot=/\n" + ShareSection(share_, "0"), false},
                {Table(), true},
                {"[C]\nRoot=/\n", false},  // no longer declared at all
                {Table(), true}});

  // Share names are not case-sensitive; other shares and bad names are down.
  EXPECT_TRUE(AvailableAfterRefresh(*NetworkAt("\\\\BVSRV\\Share\\x")));
  for (const std::string bad : {"\\\\bvsrv\\other\\x", "\\\\bvsrv", "\\", ""})
    EXPECT_FALSE(AvailableAfterRefresh(*NetworkAt(bad))) << bad;

  // A mapped letter must keep its share.
  const std::string mapped = Letter('Z', share_, kShare);
  volumes_.Rewrite(Table(mapped));
  auto letter = NetworkAt("Z:\\Backup");
  ASSERT_EQ(letter->GetRemoteName(), kShare);
  FollowTables(&volumes_, letter.get(),
               {{Table(mapped), true},
                {Table(), false},  // Z: disconnected
                {Table(mapped), true},
                {Table(Letter('Z', other_, "\\\\bvsrv\\other")), false},  // remapped
                {Table(Letter('Z', share_, "\\\\BVSRV\\share")), false},  // differs in case only
                {Table(Letter('Z', share_, "")), false},                  // now a local letter
                {Table(mapped), true},
                // The letter is what counts, not whether the share is declared online.
                {"[C]\nRoot=/\n" + ShareSection(share_, "0") + mapped, true}});

  // A letter not connected is available only while it is local.
  volumes_.Rewrite(Table(Letter('Y', local_, "")));
  auto local = NetworkAt("Y:\\Backup");
  ASSERT_EQ(local->GetRemoteName(), "");
  FollowTables(&volumes_, local.get(),
               {{Table(Letter('Y', local_, "")), true},
                {Table(Letter('Y', share_, kShare)), false},
                {Table(), false}});
  EXPECT_FALSE(AvailableAfterRefresh(*NetworkAt("1:\\x")));
}

TEST_F(NetworkTest, PrepareOnAShareThatIsDownCreatesNothing) {
  volumes_.Rewrite("[C]\nRoot=/\n" + ShareSection(share_, "0"));
  auto dest = NetworkAt(kShare + "\\Store");
  EXPECT_TRUE(dest->Prepare(true));
  EXPECT_TRUE(fs::is_empty(share_.Native()));

  volumes_.Rewrite(Table());
  EXPECT_TRUE(dest->Prepare(false));
  EXPECT_TRUE(fs::is_empty(share_.Native()));
  EXPECT_TRUE(dest->Prepare(true));
  ASSERT_TRUE(fs::is_regular_file(share_.NativeOf("Store/Brevanto.dat")));
  EXPECT_EQ(fs::file_size(share_.NativeOf("Store/Brevanto.dat")), 0u);
}

// A share path is the same destination whatever its case, and never the same
// as a disk destination of the same path (either way round).
TEST_F(NetworkTest, IdentityIgnoresCaseButNotTheKind) {
  auto share = NetworkAt(kShare + "\\Backup");
  EXPECT_TRUE(share->IsSameDestination(*NetworkAt("\\\\BVSRV\\share\\backup\\")));
  EXPECT_FALSE(share->IsSameDestination(*NetworkAt(kShare + "\\Backup2")));
  auto disk = Configured<CDiskDevice>(kShare + "\\Backup");
  EXPECT_FALSE(share->IsSameDestination(*disk));
  EXPECT_FALSE(disk->IsSameDestination(*share));
  EXPECT_FALSE(share->IsSameVolume(*disk));
  EXPECT_FALSE(disk->IsSameVolume(*share));
}

}  // namespace
