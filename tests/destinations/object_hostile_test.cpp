// The object storage kind against an endpoint that lies or costs (tests/support/HostileS3).
#include <chrono>
#include <thread>

#include "common/EngineEvents.h"
#include "common/Texts.h"
#include "destination_suite.h"
#include "destinations/ObjectDevice.h"
#include "destinations/StoreBinding.h"
#include "destinations/StoreMarker.h"
#include "support/EventCollector.h"
#include "support/HostileS3.h"

using bvtest::HostileS3;

// Listings that never end stop with their cause, told once; the sweep aborts nothing then.
TEST(ObjectHostile, EndlessListingsStop) {
  for (const auto manner : {HostileS3::kEndless, HostileS3::kRepeatedMarker}) {
    SCOPED_TRACE(manner);
    HostileS3 s3(manner);
    ASSERT_TRUE(s3.Ok());
    auto dest = DestinationOn(s3.Settings());
    ASSERT_TRUE(dest->Prepare(false));
    std::vector<VersionEntry> versions;
    EXPECT_EQ(dest->ListVersions("/store/Revision/C/", "a", ".txt", &versions), 0);
    EXPECT_TRUE(versions.empty());
    // Said at the next look of the engine, past the copies that went through.
    bvtest::TempDir src;
    src.Write("f.txt", "endless");
    EXPECT_EQ(dest->CopyFile(src.SystemOf("f.txt"), "/store/Latest/f.txt"), kDestOk);
    EXPECT_EQ(Refusal(*dest), GetText("OBJECT_STORE_REFUSED", "ENDLESS_LISTING"));
    EXPECT_EQ(Refusal(*dest), "");  // once
    // The start's sweep is cut off too and not run again in this start.
    auto& bucket = dynamic_cast<CObjectDevice&>(*dest);
    EXPECT_TRUE(bucket.SweepIfDue());
    const int swept = s3.Requests();
    EXPECT_FALSE(bucket.SweepIfDue());
    EXPECT_EQ(s3.Requests(), swept);
    int aborts = 0;
    for (const std::string& line : s3.Lines()) aborts += line.rfind("DELETE", 0) == 0;
    EXPECT_EQ(aborts, 0);
    EXPECT_LE(s3.Requests(), manner == HostileS3::kEndless ? 1010 : 10);
    const int before = s3.Requests();
    dest->ListVersions("/store/Revision/C/", "a", ".txt", &versions);
    EXPECT_EQ(s3.Requests(), before);  // not listed again
    dest->ListVersions("/store/Latest/", "f", ".txt", &versions);
    EXPECT_EQ(Refusal(*dest), "");  // once for the destination
  }
}

// A redirect is not followed (the store is away, its host said once); a wrong MD5 ETag fails a
// single-part PUT, one in another form (own-key encryption) is taken.
TEST(ObjectHostile, RedirectAndETagOfASinglePut) {
  bvtest::TempDir src;
  src.Write("f.txt", "put");
  std::string redirect = GetText("OBJECT_STORE_REFUSED", "REDIRECT");
  redirect.replace(redirect.find("%s"), 2, "127.0.0.2");
  const struct {
    HostileS3::Manner manner;
    uint32_t copied;
    std::string cause;
  } rows[] = {{HostileS3::kHonest, kDestOk, ""},
              {HostileS3::kWrongETag, 23u, ""},
              {HostileS3::kOpaqueETag, kDestOk, ""},
              {HostileS3::kRedirect, 59u, redirect}};
  for (const auto& [manner, copied, cause] : rows) {
    SCOPED_TRACE(manner);
    HostileS3 s3(manner);
    ASSERT_TRUE(s3.Ok());
    auto dest = DestinationOn(s3.Settings());
    EXPECT_EQ(dest->Prepare(false), cause.empty());
    EXPECT_EQ(dest->CopyFile(src.SystemOf("f.txt"), "/store/f.txt"), copied);
    EXPECT_EQ(dest->IsAvailable(), cause.empty());
    EXPECT_EQ(Refusal(*dest), cause);
    EXPECT_EQ(dest->CopyFile(src.SystemOf("f.txt"), "/store/f.txt"), copied);
    EXPECT_EQ(Refusal(*dest), "");
  }
}

// Looked at every tick, an idle store costs a request now and then, on a growing pause while
// refused or failing; a store whose owner cannot be told is never taken; causes said once.
TEST(ObjectHostile, IdleCostsNoRequests) {
  bvtest::TempDir data, plan;
  bvtest::ScopedEnv dataDir("BREVANTO_DATA_DIR", data.Native());
  using V = StoreVerdict;
  const struct {
    HostileS3::Manner manner;
    int requests;
    std::string cause;
    StoreVerdict verdict;  // of the last look (those before a heal: kUnknown)
    int healAt = 0;        // the tick the endpoint turns honest (0 never)
  } rows[] = {{HostileS3::kHonest, 3, "", V::kOwn},  // the folder above (marker, trees), once
              {HostileS3::kRedirect, 3, "REDIRECT", V::kUnknown},
              {HostileS3::kMarkerDenied, 6, "MARKER_DENIED", V::kUnknown},
              {HostileS3::kMarkerUnwritable, 21, "MARKER_UNWRITABLE", V::kUnknown},
              {HostileS3::kListDenied, 4, "DENIED", V::kUnknown},
              {HostileS3::kMarkerJunk, 3, "", V::kNotAMarker},
              {HostileS3::kGhostMarker, 28, "", V::kGhostMarker},
              // a fresh plan's marker lands but its answer is lost (the 504 is
              // said): the store is still its own
              {HostileS3::kMarkerAnswerLost, 10, "OTHER", V::kOwn},
              {HostileS3::kMarker500, 6, "OTHER", V::kUnknown},
              {HostileS3::kMarker500, 14, "OTHER", V::kOwn, 20},  // a gateway back after 2 s
              {HostileS3::kMarkerPut500, 25, "OTHER", V::kUnknown},
              {HostileS3::kMarkerDropped, 12, "UNREACHABLE", V::kUnknown},
              {HostileS3::kBelow500, 22, "OTHER", V::kUnknown},
              {HostileS3::kTruncatedNoToken, 22, "LISTING_CUT_SHORT", V::kUnknown},
              {HostileS3::kNoPrefix, 12, "", V::kOwn},  // what lies elsewhere is not below
              {HostileS3::kListsBelow, 22, "", V::kStoreBelow},
              {HostileS3::kHtmlListing, 22, "OTHER", V::kUnknown},  // a page is no listing
              {HostileS3::kCutListing, 22, "OTHER", V::kUnknown},   // nor half a listing
              // the folder above cannot be told (its cause said), or holds no marker
              {HostileS3::kAbove500, 18, "OTHER", V::kUnknown},
              {HostileS3::kAboveHtml, 18, "", V::kNotAMarkerAbove},
              {HostileS3::kMarkerNotKept, 28, "", V::kMarkerNotKept}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.manner << " heal " << row.healAt);
    HostileS3 s3(row.manner);
    auto dest = DestinationOn(s3.Settings());
    const bool fresh = row.manner == HostileS3::kMarkerAnswerLost ||
                       row.manner == HostileS3::kGhostMarker || row.manner >= HostileS3::kMarker500;
    StoreRecord record{
        fresh ? "" : NewStoreId(), dest->GetRootPath(), kStorageObject, "", "", "", ""};
    if (dest->Prepare(false) && row.manner == HostileS3::kHonest)
      dest->PlaceStoreMarker(record.id, false);
    if (row.manner == HostileS3::kListsBelow) {  // another store in store/in
      auto inner = DestinationOn(s3.Settings("store/in"));
      EXPECT_TRUE(inner->Prepare(false) && inner->PlaceStoreMarker(NewStoreId(), false) == 1);
    }
    const int before = s3.Requests();
    std::string said;
    StoreVerdict last = V::kUnknown;  // no look went through
    int wrong = 0;                    // looks with another verdict
    const bool refusal =
        row.cause == "MARKER_DENIED" || row.cause == "MARKER_UNWRITABLE" || row.cause == "DENIED";
    for (int tick = 0; tick < 40; ++tick) {  // 4 s of ticks
      if (tick == row.healAt && row.healAt > 0) s3.Heal();
      dest->Refresh();
      if (dest->IsAvailable()) {
        last = LookAtRemoteStore(plan.System() + "\\", *dest, &record);
        // Unknown until the endpoint heals, then the row's verdict within a second.
        wrong += tick < row.healAt
                     ? last != V::kUnknown
                     : last != row.verdict && (tick >= row.healAt + 10 || last != V::kUnknown);
      }
      std::string server, cause;
      const auto refused = dest->TakeServerRefusal(&server, &cause);
      said += cause;
      EXPECT_EQ(refused == CDestination::ServerRefusal::kStoreRefused, !cause.empty() && refusal);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(last, row.verdict);
    EXPECT_EQ(wrong, 0);
    EXPECT_LE(s3.Requests() - before, row.requests);
    // A store found below is looked for again by its marker, not by listing every key.
    int below = 0;
    for (const std::string& line : s3.Lines())
      below += line.find("prefix=store%2F") != std::string::npos &&
               line.find("delimiter") == std::string::npos;
    if (row.manner == HostileS3::kListsBelow) {
      EXPECT_EQ(below, 1);
    }
    std::string words = row.cause.empty() ? "" : GetText("OBJECT_STORE_REFUSED", row.cause.c_str());
    if (const size_t at = words.find("%s"); at != std::string::npos)
      words.replace(at, 2,
                    row.manner == HostileS3::kRedirect ? "127.0.0.2" : "s3://hostile/store/");
    if (row.manner != HostileS3::kRedirect) {
      EXPECT_EQ(said, words);  // the redirect's was at Prepare
    }
  }
}

// A Devices.ini holding the secret, readable by others, is made private on load, said once.
TEST(ObjectHostile, SecretFileTightenedOnLoad) {
  PlanFolder plan;
  const std::string ini = plan.NativeOf("Devices.ini");
  for (const mode_t mode : {0644, 0640, 0600}) {
    SCOPED_TRACE(mode);
    plan.Write("Devices.ini", "[Object Store Device]\nBucket=b\nSecretKey=s3cret\n");
    ASSERT_EQ(chmod(ini.c_str(), mode), 0);
    bvtest::EventCollector events;
    CObjectDevice dest(&plan);
    ASSERT_TRUE(dest.LoadSettings());
    struct stat st {};
    ASSERT_EQ(stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(dest.GetObjectSettings().secretKey, "s3cret");
    std::string said = GetText("OBJECT_STORE_REFUSED", "SECRET_TIGHTENED");
    said.replace(said.find("%s"), 2, ini);
    EXPECT_EQ(events.Texts(kEvInvalidContent),
              mode == 0600 ? std::vector<std::string>{} : std::vector<std::string>{said});
  }
}

// A prefix with a "." or ".." part: nothing is sent, the store is away, the cause said once.
TEST(ObjectHostile, DottedPrefixRefusedOnce) {
  for (const char* prefix : {"a/../b", "..", "team/./ann", "."}) {
    SCOPED_TRACE(prefix);
    HostileS3 s3(HostileS3::kHonest);
    auto dest = DestinationOn(s3.Settings(prefix));
    EXPECT_TRUE(ObjectPrefixHasDots(prefix));
    EXPECT_FALSE(dest->Prepare(true));
    dest->Refresh();
    EXPECT_FALSE(dest->IsAvailable());
    std::string server, cause;
    EXPECT_EQ(dest->TakeServerRefusal(&server, &cause), CDestination::ServerRefusal::kStoreRefused);
    EXPECT_EQ(cause, GetText("OBJECT_STORE_REFUSED", "NAME"));
    dest->Refresh();
    EXPECT_EQ(Refusal(*dest), "");
    EXPECT_EQ(s3.Requests(), 0);
  }
  EXPECT_FALSE(ObjectPrefixHasDots("a.b/..c/d../.e"));
}
