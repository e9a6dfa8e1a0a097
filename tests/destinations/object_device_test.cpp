// The object storage kind against a real S3 gateway: settings, layout, failures, rotation.
#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "common/Texts.h"
#include "destinations/StoreMarker.h"
#include "history/ObjectStoreAccess.h"
#include "object_world.h"
#include "platform/base/Errors.h"
#include "platform/files/Files.h"

INSTANTIATE_TEST_SUITE_P(Object, DestinationSuite, testing::Values(ObjectKind()), KindName);

// Settings are kept private and read back; the store keeps its layout below the prefix.
TEST(ObjectDevice, SettingsAndLayout) {
  REQUIRE_GATEWAY();
  PlanFolder plan;
  ObjectStoreSettings s = StoreSettings(NewBucket());
  s.prefix = "  /team\\\\ann// ";
  s.pinnedKey = "sha256//AAAA";
  auto dest = DestinationOn(s, &plan);
  ASSERT_TRUE(dest->SaveSettings());
  struct stat st {};
  ASSERT_EQ(stat(plan.NativeOf("Devices.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  CObjectDevice again(&plan);
  ASSERT_TRUE(again.LoadSettings());
  const ObjectStoreSettings back = again.GetObjectSettings();
  EXPECT_EQ(back.prefix, "team/ann/");
  EXPECT_EQ(back.secretKey, CephGateway::SecretKey());
  EXPECT_EQ(back.pinnedKey, "sha256//AAAA");
  EXPECT_EQ(back.endpoint + back.bucket + back.region, s.endpoint + s.bucket + s.region);
  EXPECT_EQ(again.GetRootPath(), "/team/ann/");

  ASSERT_TRUE(dest->Prepare(true));
  bvtest::TempDir src;
  src.Write("a.txt", "content");
  EXPECT_EQ(dest->CopyFile(src.SystemOf("a.txt"), "/team/ann/Latest/C/home/a.txt"), kDestOk);
  // A key may be 1,024 bytes long; a longer one is refused before anything is sent.
  const std::string longName(1024 - 9 - 2, 'k');
  EXPECT_EQ(dest->CopyFile(src.SystemOf("a.txt"), "/team/ann/" + longName + "/x"), kDestOk);
  EXPECT_EQ(dest->CopyFile(src.SystemOf("a.txt"), "/team/ann/" + longName + "k/x"),
            uint32_t{plat::kErrNameTooLong});
  EXPECT_EQ(Gateway().Keys(s.bucket, "team/ann/k").size(), 1u);
  // Revisions come through every page of the folder's listing (1,000 a page).
  constexpr int kRevisions = 10000;
  std::vector<std::thread> putters;
  std::atomic<int> next{1}, refused{0};
  for (int t = 0; t < 8; ++t) {
    putters.emplace_back([&] {
      for (int n = next++; n <= kRevisions; n = next++) {
        const std::string key = "team/ann/Revision/" + RevisionFileName("r", "txt", n);
        if (Gateway().Request("PUT", "/" + s.bucket + "/" + UriEncode(key, true), "r") != 200)
          ++refused;
      }
    });
  }
  for (std::thread& t : putters) t.join();
  ASSERT_EQ(refused, 0);
  std::vector<VersionEntry> revisions;
  EXPECT_EQ(dest->ListVersions("/team/ann/Revision/", "r", "txt", &revisions), kRevisions);
  EXPECT_EQ(revisions.size(), size_t{kRevisions});
  const auto keys = Gateway().Keys(s.bucket, "team/ann/L");
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()),
            (std::set<std::string>{"team/ann/Latest/C/home/a.txt"}));

  // Virtual-hosted addressing reaches the same store; identity is endpoint, bucket and prefix.
  ObjectStoreSettings hosted = s;
  hosted.pathStyle = 0;
  hosted.endpoint = "HTTP://localhost:" + s.endpoint.substr(s.endpoint.rfind(':') + 1);
  auto byHost = PreparedOn(hosted, false);
  EXPECT_TRUE(byHost->FileExists("/team/ann/Latest/C/home/a.txt"));
  ObjectStoreSettings other = s;
  other.prefix = "Team/ann";
  EXPECT_TRUE(dest->IsSameDestination(*DestinationOn(s)));
  EXPECT_FALSE(dest->IsSameDestination(*DestinationOn(other)));
  EXPECT_TRUE(dest->IsSameVolume(*DestinationOn(other)));
  other.bucket += "x";
  EXPECT_FALSE(dest->IsSameVolume(*DestinationOn(other)));
}

// Wrong keys, a deleted bucket, a full quota and a climbing prefix fail with their cause, once.
TEST(ObjectDevice, FailuresInWords) {
  REQUIRE_GATEWAY();
  bvtest::TempDir src;
  src.Write("f.txt", std::string(4096, 'f'));
  const std::string file = src.SystemOf("f.txt");

  ObjectStoreSettings wrong = StoreSettings(NewBucket());
  wrong.secretKey = "not-the-secret";
  auto refused = DestinationOn(wrong);
  EXPECT_FALSE(refused->Prepare(true));
  EXPECT_FALSE(refused->IsAvailable());
  EXPECT_EQ(refused->CopyFile(file, "/store/f.txt"), 5u);
  std::string server, cause;
  EXPECT_EQ(refused->TakeServerRefusal(&server, &cause),
            CDestination::ServerRefusal::kLoginRefused);
  EXPECT_EQ(cause, GetText("OBJECT_STORE_REFUSED", "KEYS"));
  EXPECT_EQ(Refusal(*refused), "");  // once

  const std::string gone = NewBucket();
  auto dest = PreparedOn(StoreSettings(gone), false);
  DropKey("/" + gone);
  EXPECT_EQ(dest->CopyFile(file, "/store/f.txt"), 3u);
  EXPECT_FALSE(dest->IsAvailable());
  EXPECT_EQ(Refusal(*dest), GetText("OBJECT_STORE_REFUSED", "NO_BUCKET"));

  const std::string small = NewBucket();
  ASSERT_TRUE(
      Gateway().Admin("quota set --quota-scope=bucket --bucket=" + small + " --max-size=1024"));
  ASSERT_TRUE(Gateway().Admin("quota enable --quota-scope=bucket --bucket=" + small));
  auto full = PreparedOn(StoreSettings(small), false);
  EXPECT_EQ(full->CopyFile(file, "/store/f.txt"), 112u);  // disk full
  EXPECT_EQ(Refusal(*full), GetText("OBJECT_STORE_REFUSED", "QUOTA"));
  EXPECT_TRUE(Gateway().Keys(small, "store/").empty());

  // A ".." step in the folder would climb into another bucket: nothing goes.
  const std::string victim = NewBucket();
  auto climbing = DestinationOn(StoreSettings(NewBucket(), "../" + victim + "/"));
  EXPECT_EQ(climbing->CopyFile(file, climbing->GetRootPath() + "f.txt"), 123u);
  EXPECT_EQ(Refusal(*climbing), GetText("OBJECT_STORE_REFUSED", "NAME"));
  EXPECT_TRUE(Gateway().Keys(victim, "").empty());
}

// The gateway stopped mid-upload: the copy fails, the old copy stays, and once back it goes on.
TEST(ObjectDevice, GatewayStoppedMidUpload) {
  REQUIRE_GATEWAY();
  ObjectWorld world;
  world.Put("Latest/big.bin", "old");
  world.Dest().Refresh();
  ASSERT_TRUE(dynamic_cast<CObjectDevice&>(world.Dest()).SweepIfDue());  // the start's sweep
  const std::string big = world.Sources().Write("big.bin", std::string(96 << 20, 'b'));
  std::atomic<bool> sending{false};
  std::thread stopper([&] {
    while (!sending) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Gateway().StopGateway();
  });
  const uint32_t result = world.Dest().CopyFileWatched(world.Sources().SystemOf("big.bin"),
                                                       world.PathOf("Latest/big.bin"), nullptr,
                                                       [&] { sending = true; });
  stopper.join();
  EXPECT_NE(result, kDestOk);
  EXPECT_FALSE(world.Dest().IsAvailable());
  ASSERT_TRUE(Gateway().StartGateway());
  EXPECT_EQ(world.Get("Latest/big.bin"), "old");
  EXPECT_EQ(world.Names("Latest/"), std::vector<std::string>{"big.bin"});
  world.Dest().Refresh();
  EXPECT_TRUE(world.Dest().IsAvailable());
  // The cut upload is aborted once the store is back, an earlier run's at the next start.
  auto* dest = dynamic_cast<CObjectDevice*>(&world.Dest());
  ASSERT_NE(dest, nullptr);
  const ObjectStoreSettings s = dest->GetObjectSettings();
  auto unfinished = [&] {
    ObjectSession session;
    session.SetOptions(s);
    std::vector<std::pair<std::string, std::string>> uploads;
    EXPECT_TRUE(session.ListParts(s.prefix, &uploads).Ok());
    return uploads.size();
  };
  EXPECT_EQ(unfinished(), 1u);
  EXPECT_TRUE(dest->SweepIfDue());
  EXPECT_EQ(unfinished(), 0u);
  EXPECT_FALSE(dest->SweepIfDue());
  // ... but not another store's, in a folder below the prefix.
  {
    ObjectSession earlier;
    earlier.SetOptions(s);
    std::string id;
    ASSERT_TRUE(earlier.StartParts(s.prefix + "Latest/left.bin", &id).Ok());
    ASSERT_TRUE(earlier.StartParts(s.prefix + "inner/Latest/its.bin", &id).Ok());
  }
  EXPECT_EQ(unfinished(), 2u);
  auto started = PreparedOn(s, false);
  EXPECT_TRUE(dynamic_cast<CObjectDevice&>(*started).SweepIfDue());
  EXPECT_EQ(unfinished(), 1u);
  world.Sources().Write("small.bin", "new");
  EXPECT_EQ(
      world.Dest().CopyFile(world.Sources().SystemOf("small.bin"), world.PathOf("Latest/big.bin")),
      kDestOk);
  EXPECT_EQ(world.Get("Latest/big.bin"), "new");
  // Whole, in parts (96 MiB: six of them), its bytes in order.
  std::string parts(96 << 20, 'p');
  for (size_t at = 0; at < parts.size(); at += 4096) parts[at] = static_cast<char>('a' + at % 23);
  world.Sources().Write("big.bin", parts);
  EXPECT_EQ(
      world.Dest().CopyFile(world.Sources().SystemOf("big.bin"), world.PathOf("Latest/big.bin")),
      kDestOk);
  EXPECT_TRUE(world.Get("Latest/big.bin") == parts);
}

// The rotation before the PUT is a server-side copy whose deletes wait for the new copy to be
// whole; a failed copy takes the revision back.
TEST(ObjectDevice, RotationCompletesOnlyOnceTheNewCopyIsWhole) {
  REQUIRE_GATEWAY();
  ObjectWorld world;
  world.Put("Latest/a.txt", "old");
  world.Put("Revision/a(0001).txt", "older");
  const std::string source = world.Sources().SystemOf("a.txt");
  for (const bool torn : {true, false}) {
    SCOPED_TRACE(torn);
    world.Sources().Write("a.txt", "new");
    plat::CopyWatch watch;
    const uint32_t result =
        world.Dest().CopyFileWatched(source, world.PathOf("Latest/a.txt"), &watch, [&] {
          EXPECT_EQ(world.Dest().MoveFile(world.PathOf("Latest/a.txt"),
                                          world.PathOf("Revision/a(0002).txt")),
                    kDestOk);
          world.Dest().DeleteFile(world.PathOf("Revision/a(0001).txt"));
          EXPECT_EQ(world.Get("Latest/a.txt"), "old");
          EXPECT_EQ(world.Get("Revision/a(0001).txt"), "older");
          if (torn) world.Sources().Write("a.txt", "written meanwhile");
        });
    EXPECT_EQ(result, torn ? uint32_t{plat::kErrSourceChanged} : uint32_t{kDestOk});
    EXPECT_EQ(world.Get("Latest/a.txt"), torn ? "old" : "new");
    EXPECT_EQ(world.Get("Revision/a(0001).txt"), torn ? "older" : "");
    EXPECT_EQ(world.Get("Revision/a(0002).txt"), torn ? "" : "old");
  }
}

// A rotation cut off between its steps leaves the latest copy as the highest revision too; the
// next one takes that for its revision: nothing kept twice, no number skipped.
TEST(ObjectDevice, ARotationCutOffLeavesNoTwin) {
  REQUIRE_GATEWAY();
  ObjectWorld world;
  CDestination& dest = world.Dest();
  const std::string source = world.Sources().SystemOf("a.txt");
  const std::string latest = world.PathOf("Latest/a.txt");
  auto revision = [&](int n) {
    return world.PathOf("Revision/" + RevisionFileName("a", "txt", n));
  };
  world.Sources().Write("a.txt", "first");
  ASSERT_EQ(dest.CopyFile(source, world.PathOf("Revision/a(0001).txt")), kDestOk);
  world.Sources().Write("a.txt", "old");
  ASSERT_EQ(dest.CopyFile(source, latest), kDestOk);
  // As the engine rotates, keeping two revisions.
  time_t written = 1700000000;
  auto backUp = [&](const std::string& bytes, bool cut) {
    world.Sources().Write("a.txt", bytes);
    written += 60;
    const struct timespec times[2] = {{written, 0}, {written, 0}};
    EXPECT_EQ(utimensat(AT_FDCWD, world.Sources().NativeOf("a.txt").c_str(), times, 0), 0);
    std::vector<VersionEntry> listed;
    const int highest = dest.ListVersions(world.PathOf("Revision/"), "a", "txt", &listed);
    return dest.CopyFileWatched(source, latest, nullptr, [&] {
      EXPECT_EQ(dest.MoveFile(latest, revision(highest + 1)), kDestOk);
      if (highest + 1 > 2) dest.DeleteFile(revision(highest - 1));
      if (cut) Gateway().StopGateway();
    });
  };
  EXPECT_NE(backUp("new", true), kDestOk);
  ASSERT_TRUE(Gateway().StartGateway());
  dest.Refresh();
  EXPECT_EQ(world.Names("Revision/"), (std::vector<std::string>{"a(0001).txt", "a(0002).txt"}));
  EXPECT_EQ(backUp("new", false), kDestOk);
  EXPECT_EQ(world.Names("Revision/"), (std::vector<std::string>{"a(0001).txt", "a(0002).txt"}));
  EXPECT_EQ(world.Get("Revision/a(0001).txt") + world.Get("Revision/a(0002).txt") +
                world.Get("Latest/a.txt"),
            "firstoldnew");
  // The same bytes under another version are no leftover: a new revision.
  EXPECT_EQ(backUp("new", false), kDestOk);
  EXPECT_EQ(world.Names("Revision/"), (std::vector<std::string>{"a(0002).txt", "a(0003).txt"}));
  EXPECT_EQ(world.Get("Revision/a(0003).txt"), "new");
}

// Mode and time kept in metadata (in parts too) come back on restore; without them: private.
TEST(ObjectDevice, RestoreGivesBackModeAndTime) {
  REQUIRE_GATEWAY();
  const std::string bucket = NewBucket();
  const ObjectStoreSettings s = StoreSettings(bucket);
  auto dest = PreparedOn(s, true);
  bvtest::TempDir src, out;
  const struct {
    std::string name;
    size_t bytes;
    mode_t mode;
    time_t time;
  } rows[] = {{"small.txt", 10, 0640, 1500000000}, {"large.bin", (65u << 20) + 3, 0751, 86400}};
  auto access = MakeObjectStoreAccess(s);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string native = src.Write(row.name, std::string(row.bytes, 'm'));
    ASSERT_EQ(chmod(native.c_str(), row.mode), 0);
    const struct timespec times[2] = {{row.time, 0}, {row.time, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, native.c_str(), times, 0), 0);
    ASSERT_EQ(dest->CopyFile(src.SystemOf(row.name), "/store/Latest/" + row.name), kDestOk);
    ASSERT_EQ(access->Fetch("/store/Latest/" + row.name, out.SystemOf(row.name), ""), 0u);
    struct stat st {};
    ASSERT_EQ(stat(out.NativeOf(row.name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, row.mode);
    EXPECT_EQ(st.st_mtime, row.time);
    EXPECT_EQ(st.st_size, static_cast<off_t>(row.bytes));
    // Again over a private file in place: it stays as private as it was.
    ASSERT_EQ(chmod(out.NativeOf(row.name).c_str(), 0600), 0);
    ASSERT_EQ(access->Fetch("/store/Latest/" + row.name, out.SystemOf(row.name), ""), 0u);
    ASSERT_EQ(stat(out.NativeOf(row.name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
  }
  const time_t before = time(nullptr);
  PutKey("/" + bucket + "/store/Latest/bare.txt", "bare");
  ASSERT_EQ(access->Fetch("/store/Latest/bare.txt", out.SystemOf("bare.txt"), ""), 0u);
  struct stat st {};
  ASSERT_EQ(stat(out.NativeOf("bare.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_NEAR(static_cast<double>(st.st_mtime), static_cast<double>(before), 5);
}

// A gateway of HTTPS alone taking one request at a time. A certificate no authority vouches for
// is refused unless its key is the pinned one. A busy gateway (503) is tried again after growing
// pauses; one that stays busy fails with its cause and is away until a probe finds it free.
TEST(ObjectDevice, SealedAndBusyGateway) {
  CephGateway one(1, true);
  ASSERT_TRUE(one.Ok()) << one.Reason();
  ASSERT_TRUE(one.MakeBucket("sealed") && one.MakeBucket("busy"));
  bvtest::TempDir src;
  src.Write("f.txt", "copy");
  ObjectStoreSettings s = one.Settings("sealed", "store");
  const struct {
    std::string pin;
    uint32_t copied;
  } rows[] = {{"", 59u},
              {"sha256//47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=", 59u},
              {one.PinnedKey(), kDestOk}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.pin);
    s.pinnedKey = row.pin;
    auto dest = DestinationOn(s);
    EXPECT_EQ(dest->Prepare(false), row.copied == kDestOk);
    EXPECT_EQ(dest->CopyFile(src.SystemOf("f.txt"), "/store/f.txt"), row.copied);
    EXPECT_EQ(Refusal(*dest),
              row.copied == kDestOk ? "" : GetText("OBJECT_STORE_REFUSED", "CERTIFICATE"));
  }
  EXPECT_EQ(one.Keys("sealed", ""), std::vector<std::string>{"store/f.txt"});
  s.bucket = "busy";
  auto dest = PreparedOn(s, false);
  for (const int heldKiB : {100, 500}) {  // held about 1 s, then 5 s (past the tries)
    SCOPED_TRACE(heldKiB);
    std::thread holder([&] {
      one.Request("PUT", "/busy/held", std::string(heldKiB << 10, 'h'), nullptr, 100 << 10);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    const uint32_t result = dest->CopyFile(src.SystemOf("f.txt"), "/store/f.txt");
    const auto waited = std::chrono::steady_clock::now() - start;
    holder.join();
    if (heldKiB == 100) {  // (on a loaded machine the held upload may end before the copy asks)
      EXPECT_EQ(result, kDestOk);
      EXPECT_EQ(Refusal(*dest), "");
    } else {
      // Still busy: away, the cause said once, probed again after the pause.
      EXPECT_GE(waited, std::chrono::milliseconds(200));
      EXPECT_EQ(result, 59u);
      EXPECT_EQ(Refusal(*dest), GetText("OBJECT_STORE_REFUSED", "BUSY"));
      EXPECT_FALSE(dest->IsAvailable());
      std::this_thread::sleep_for(std::chrono::milliseconds(1100));
      dest->Refresh();
    }
    EXPECT_TRUE(dest->IsAvailable());
  }
  // The gateway may still be finishing the held upload: ask until it is free.
  std::string body;
  int status = 503;
  for (int i = 0; i < 50 && status == 503;
       ++i, std::this_thread::sleep_for(std::chrono::milliseconds(100)))
    status = one.Request("GET", "/busy/store/f.txt", "", &body);
  EXPECT_EQ(status, 200);
  EXPECT_EQ(body, "copy");
  // Plain http to anything but this machine: nothing is sent, and it says why.
  s.endpoint = "http://s3.example.invalid:9";
  s.pinnedKey.clear();
  auto plain = DestinationOn(s);
  EXPECT_FALSE(plain->Prepare(false));
  EXPECT_EQ(plain->CopyFile(src.SystemOf("f.txt"), "/store/f.txt"), 59u);
  EXPECT_EQ(Refusal(*plain), GetText("OBJECT_STORE_REFUSED", "NOT_ENCRYPTED"));
}
