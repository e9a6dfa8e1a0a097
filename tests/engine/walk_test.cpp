// The walks over a plan's sources and the rules settled per folder; real plans and files.
#include "TaskWorld.h"
#include "destinations/StoreMarker.h"
#include "engine/FolderRules.h"
#include "platform/base/Text.h"
#include "support/AccessList.h"
#include "support/HostileS3.h"

namespace {

class PlanWalk : public enginetest::TaskTest {};

// Fixed drives leave out USB, 1394 and removable ones; a plan walks "group1" or the machine.
TEST_F(PlanWalk, WhatAPlanWalks) {
  bvtest::TempDir f, g, h, i;
  env_.SetExtra("[F]\nRoot=" + f.Native() + "\nType=fixed\nBus=usb\n" + "[G]\nRoot=" + g.Native() +
                "\nType=removable\nBus=none\n" + "[H]\nRoot=" + h.Native() +
                "\nType=fixed\nBus=1394\n" + "[I]\nRoot=" + i.Native() +
                "\nType=fixed\nBus=none\n");
  EXPECT_EQ(FixedDriveRoots(), (std::vector<std::string>{"C:\\", "E:\\", "I:\\"}));

  auto plan = env_.MakePlan(1, kUnitDaily, 3, {"C:\\DATA", "D:\\x"});
  ASSERT_TRUE(plan);
  std::vector<std::string> folders;
  bool whole = true;
  ASSERT_TRUE(WalkItemsOfPlan(plan.get(), &folders, &whole));
  EXPECT_FALSE(whole);
  EXPECT_EQ(folders, (std::vector<std::string>{"C:\\DATA", "D:\\x"}));
  for (bool enabled : {false, true}) {
    EditRules(plan.get(), [&](CRuleSet* r) {
      r->FindGroup(kRuleInclude, "group1")->AddItem("*.JPG", "", enabled);
    });
    ASSERT_TRUE(WalkItemsOfPlan(plan.get(), &folders, &whole));
    EXPECT_EQ(whole, enabled) << "a disabled item does not count";
  }
  EXPECT_TRUE(folders.empty());
  EditRules(plan.get(), [](CRuleSet* r) { r->RemoveGroup(kRuleInclude, "group1"); });
  EXPECT_FALSE(WalkItemsOfPlan(plan.get(), &folders, &whole));
}

// The first-backup walk leaves out what must not be copied and pauses after every fifth entry.
TEST_F(PlanWalk, WalkSkipsWhatMustNotBeCopied) {
  env_.Src().Write("keep.doc", "k");
  env_.Src().Write("deep/er/keep2.doc", "k2");
  fs::permissions(env_.Src().NativeOf("deep"), fs::perms(0700));  // private through its folder
  env_.Src().Write("drop.tmp", "t");
  env_.Src().Write(".dot/inner.doc", "h");
  env_.Src().Write("big.bin", std::string(2 * 1024 * 1024 + 1, 'b'));
  env_.Src().Write("nested-store/Brevanto.dat", StoreMarkerText(NewStoreId()));
  env_.Src().Write("nested-store/Latest/x.doc", "x");
  env_.Src().Write("disk/on-another-volume.doc", "v");
  for (int i = 0; i < 40; ++i) env_.Src().Write("cache/c" + std::to_string(i) + ".doc", "c");
  // Counted when the rules take them: names the store cannot hold.
  env_.Src().Write("deep/a\\b.doc", "b");
  env_.Src().Write("\xff\xfe.doc", "u");
  env_.Src().Write("c\\d.tmp", "t");
  env_.SetExtra("[F]\nRoot=" + env_.Src().NativeOf("disk") + "\nType=fixed\nBus=none\n");
  const plat::MountBarriers barriers;
  EXPECT_TRUE(barriers.Stops("C:\\proc") && barriers.Stops("C:\\sys\\"));
  EXPECT_FALSE(barriers.Stops("C:\\"));
  EXPECT_FALSE(barriers.Stops(env_.Src().System()));
  SetBackupFileMaxSize(1);
  auto plan = env_.MakePlan(2, kUnitDaily, 3, {env_.Src().System()});
  ASSERT_TRUE(plan);
  EditRules(plan.get(), [&](CRuleSet* r) {
    r->AddGroup(kRuleAlwaysExclude, "tmp", "x")->AddItem("*.tmp", "");
    r->AddGroup(kRuleAlwaysExclude, "cache", "x")->AddItem(env_.Src().SystemOf("cache"), "");
  });
  plan->WalkCounter() = 3;
  ResetWalkPauseStats();
  env_.SetPressure("busy");
  WalkFolder(plan.get(), env_.Src().System());
  ResetSettingsCache();
  EXPECT_EQ(bvtest::ReadNative(Latest(2, "keep.doc")), "k");
  EXPECT_EQ(bvtest::ReadNative(Latest(2, "deep/er/keep2.doc")), "k2");
  EXPECT_EQ(fs::status(Latest(2, "deep")).permissions() & fs::perms::all, fs::perms::owner_all);
  for (const char* left : {"drop.tmp", ".dot/inner.doc", "big.bin", "nested-store/Latest/x.doc",
                           "disk/on-another-volume.doc", "cache/c0.doc"})
    EXPECT_FALSE(fs::exists(Latest(2, left))) << left;
  EXPECT_EQ(plan->UnheldNameCount(), 2u);
  const WalkPauseStats stats = GetWalkPauseStats();
  EXPECT_GE(stats.entries, 9u);
  EXPECT_LT(stats.entries, 40u) << "the excluded folder is not listed";
  EXPECT_EQ(stats.pauses, (3 + stats.entries) / 5);
  EXPECT_EQ(plan->WalkCounter(), (3 + stats.entries) % 5);
  EXPECT_GE(stats.pauseMicros, stats.pauses * 1000);

  // On an idle machine the walk does not pause at all.
  env_.SetPressure("idle");
  ResetWalkPauseStats();
  env_.Src().Write("keep.doc", "changed");
  env_.Src().Write("new.doc", "n");
  WalkFolder(plan.get(), env_.Src().System());
  EXPECT_GE(GetWalkPauseStats().entries, 9u);
  EXPECT_EQ(GetWalkPauseStats().pauses, 0u);
  EXPECT_EQ(bvtest::ReadNative(Latest(2, "keep.doc")), "k");
  EXPECT_EQ(bvtest::ReadNative(Latest(2, "new.doc")), "n");
  EXPECT_EQ(plan->UnheldNameCount(), 2u) << "each told once";
}

// A plan protecting a served tree never copies its own store there; unusable stores said once.
TEST_F(PlanWalk, AServerStoreInsideTheSourcesIsNotCopiedIntoItself) {
  bvtest::ScopedEnv tmp("TMPDIR", "/tmp");  // the served files: in folders others may enter
  bvtest::FtpServer ftp;
  if (!ftp.Ok()) GTEST_SKIP() << ftp.Reason();
  auto sys = [](const std::string& native) {
    std::string path;
    EXPECT_TRUE(plat::ToSystemPath(native, &path)) << native;
    return path;
  };
  // A plan on the server's "folder/" (through port; 0: direct) or a bucket protecting include.
  auto serverPlan = [&](uint32_t id, const std::string& folder, const std::string& include,
                        bool connect = false, uint16_t port = 0,
                        const ObjectStoreSettings* bucket = nullptr) {
    PlanSettings s = bvtest::ScratchEnv::Settings("Served", "");
    s.id = id;
    s.storageType = bucket ? kStorageObject : kStorageFtp;
    s.ftp = ftp.Settings(folder);
    if (port) s.ftp.port = port;
    if (bucket) s.objectStore = *bucket;
    auto plan = std::make_unique<bvtest::TestPlan>(nullptr);
    EXPECT_TRUE(plan->ApplySettings(s, kApplyCreate)) << id;
    bvtest::ScratchEnv::IncludeOnly(plan.get(), include);
    plan->EnableWithoutThread();
    if (connect) plan->Destination()->Refresh();
    return plan;
  };
  const std::string served = sys(ftp.NativeOf("")), docs = sys(ftp.NativeOf("/bvuser/docs"));
  const std::string latest = ftp.NativeOf("/bvuser/loop/Latest/C");
  auto copyOf = [&](const std::string& rel) {
    return bvtest::ReadNative(latest + ftp.NativeOf("/bvuser/docs/" + rel));
  };
  auto storeLeftOut = [&] {
    for (const auto& [rel, bytes] : bvtest::FilesBelow(latest))
      EXPECT_EQ(rel.find("/loop/"), std::string::npos) << rel;
  };
  bvtest::WriteNative(ftp.NativeOf("/bvuser/docs/a.txt"), "a");
  auto plan = serverPlan(6, "loop/", served);
  CSimpleTask(plan.get()).Run();
  EXPECT_EQ(copyOf("a.txt"), "a");
  bvtest::WriteNative(ftp.NativeOf("/bvuser/docs/b.txt"), "b");
  WalkFolder(plan.get(), served);
  EXPECT_EQ(copyOf("b.txt"), "b");
  storeLeftOut();
  // nor is a change there offered again
  EXPECT_TRUE(IsInsideStore(sys(latest + ftp.NativeOf("/bvuser/docs/b.txt"))));

  // The store deleted while the plan runs: re-marked and pinned before a copy, which is redone.
  {
    bvtest::EventCollector gone;
    fs::remove_all(ftp.NativeOf("/bvuser/loop"));
    bvtest::WriteNative(ftp.NativeOf("/bvuser/docs/d.txt"), "d");
    WalkFolder(plan.get(), served);
    EXPECT_TRUE(fs::exists(ftp.NativeOf("/bvuser/loop/Brevanto.dat")));
    EXPECT_EQ(copyOf("d.txt"), "d");
    EXPECT_EQ(gone.CountOf(kEvFileFailed), 0u);
  }
  // Deleted while the plan was not connected: the store is filled anew at the next connection.
  fs::remove_all(ftp.NativeOf("/bvuser/loop"));
  plan->Destination()->Close();
  CSimpleTask(plan.get()).Run();
  EXPECT_EQ(copyOf("a.txt"), "a");
  storeLeftOut();

  // A plan's marker copied above and inside its folders pins nothing there; its store, inside the
  // first plan's folders, is left out of that plan's walks.
  const std::string team = ftp.NativeOf("/bvuser/team/");
  bvtest::WriteNative(team + "ledger/inner/l.txt", "l");
  const std::string ledger = sys(team + "ledger");
  auto far = serverPlan(11, "far/", ledger, true);
  for (const std::string& planted : {team, team + "ledger/inner/"}) {
    fs::copy_file(ftp.NativeOf("/bvuser/far/Brevanto.dat"), planted + "Brevanto.dat");
    ASSERT_EQ(chown((planted + "Brevanto.dat").c_str(), 4242, 4242), 0);
  }
  bvtest::EventCollector events;
  CSimpleTask(far.get()).Run();
  EXPECT_EQ(bvtest::ReadNative(ftp.NativeOf("/bvuser/far/Latest/C") + team + "ledger/inner/l.txt"),
            "l");
  EXPECT_EQ(events.CountOf(kEvStoreState), 0u);
  CSimpleTask(plan.get()).Run();
  WalkFolder(plan.get(), served);
  EXPECT_FALSE(fs::exists(latest + ftp.NativeOf("/bvuser/far")));

  // The login's folder itself protected: the store would hold it; nothing sent, said once.
  ASSERT_EQ(chown(ftp.NativeOf("/bvuser/docs").c_str(), 65534, 65534), 0);  // the server's user
  auto holder = serverPlan(7, "docs/", docs);
  events.Clear();
  CSimpleTask task(holder.get());
  for (int run = 0; run < 2; ++run) task.Run();
  EXPECT_FALSE(fs::exists(ftp.NativeOf("/bvuser/docs/Latest")));
  std::vector<std::string> holds;
  for (const EventData& e : events.Events()) {
    std::string record;
    if (e.code == kEvStoreState && e.value == 2 && BuildLogRecord(e, nullptr, "now", &record))
      holds.push_back(record);
  }
  ASSERT_EQ(holds.size(), 1u);
  EXPECT_NE(holds[0].find(ftp.NativeOf("/bvuser/docs")), std::string::npos) << holds[0];

  // A password the server refuses: said once, as a refused login, not as a server out of reach.
  PlanSettings wrong = bvtest::ScratchEnv::Settings("Stranger", "");
  wrong.id = 12;
  wrong.storageType = kStorageFtp;
  wrong.ftp = ftp.Settings("far/");
  wrong.ftp.password += "-not";
  bvtest::TestPlan stranger(nullptr);
  ASSERT_TRUE(stranger.ApplySettings(wrong, kApplyCreate));
  stranger.EnableWithoutThread();
  events.Clear();
  for (int run = 0; run < 2; ++run) CSimpleTask(&stranger).Run();
  std::vector<std::string> refused;
  for (const EventData& e : events.Events()) {
    std::string record;
    if (e.code == kEvServerUnreachable && BuildLogRecord(e, nullptr, "now", &record))
      refused.push_back(record.substr(0, record.find('\n')));
  }
  EXPECT_EQ(refused, std::vector<std::string>{"#Server Login Refused"});

  // A server that keeps copies readable: warned once; private files held back (said, counted). A
  // server that tells nothing of its files (no MLST): nothing pinned, said once. Records by key:
  auto warnings = [&](const char* key, const char* title = "#Backup Store Warning\n",
                      const char* section = "STORE") {
    const std::vector<EventData> all = events.Events();
    const std::string words = GetText(section, key);
    return std::count_if(all.begin(), all.end(), [&](const EventData& e) {
      std::string record;
      return e.code == kEvStoreState &&
             e.text3.compare(0, words.find("%s"), words, 0, words.find("%s")) == 0 &&
             BuildLogRecord(e, nullptr, "now", &record) && record.rfind(title, 0) == 0;
    });
  };
  EXPECT_EQ(warnings("SERVER_KEEPS_COPIES_READABLE"), 0);
  bvtest::WriteNative(ftp.NativeOf("/bvuser/mine/key.pem"), "secret");
  bvtest::WriteNative(ftp.NativeOf("/bvuser/mine/n.txt"), "n");
  ASSERT_EQ(chmod(ftp.NativeOf("/bvuser/mine/key.pem").c_str(), 0600), 0);
  bvtest::WriteNative(ftp.NativeOf("/bvuser/mine/shut/tax.txt"), "tax");  // private by its folder
  ASSERT_EQ(chmod(ftp.NativeOf("/bvuser/mine/shut").c_str(), 0700), 0);
  bvtest::WriteNative(ftp.NativeOf("/bvuser/mine/grp.txt"), "team");
  ASSERT_EQ(chmod(ftp.NativeOf("/bvuser/mine/grp.txt").c_str(), 0640), 0);
  // Read by all outside its group (an empty mask), or kept from a ghost user: not private, both go.
  const std::string masked = ftp.NativeOf("/bvuser/mine/m.txt"), ghost = masked + ".g";
  bvtest::WriteNative(masked, "m");
  bvtest::WriteNative(ghost, "g");
  const bool lists =
      bvtest::SetAccessList(masked, 2, 65534, 4, 0) && bvtest::SetAccessList(ghost, 2, 54321, 0, 4);
  const std::string mine = sys(ftp.NativeOf("/bvuser/mine"));
  ASSERT_TRUE(ftp.RefuseModes());
  bvtest::FtpRelay relay(ftp.Port()), liar(ftp.Port());
  relay.SetFault(bvtest::FtpRelay::Fault::kNoMlst);
  liar.SetFault(bvtest::FtpRelay::Fault::kLieModes);  // yes to SITE CHMOD, does nothing; no MLSD
  int exposedPlans = 0;
  for (const auto& [id, folder, port, key, said] :
       {std::tuple<uint32_t, const char*, uint16_t, const char*, int>{
            8, "open/", 0, "SERVER_KEEPS_COPIES_READABLE", 1},
        {15, "lied/", liar.Port(), "SERVER_KEEPS_COPIES_READABLE", 2},
        {12, "blind/", relay.Port(), "SERVER_STORE_UNPROVEN", 1}}) {
    const bool exposing = id != 12;
    const std::string include = exposing ? mine : docs;
    auto exposed = serverPlan(id, folder, include, false, port);
    CSimpleTask refused(exposed.get());
    for (int run = 0; run < 2; ++run) {
      refused.Run();
      if (exposing) WalkFolder(exposed.get(), include);
    }
    EXPECT_EQ(warnings(key), said) << folder;
    if (!exposing) continue;
    ++exposedPlans;
    const std::string openLatest = ftp.NativeOf("/bvuser/" + std::string(folder) + "Latest/C");
    EXPECT_EQ(bvtest::ReadNative(openLatest + ftp.NativeOf("/bvuser/mine/n.txt")), "n");
    EXPECT_FALSE(fs::exists(openLatest + ftp.NativeOf("/bvuser/mine/key.pem"))) << folder;
    EXPECT_FALSE(fs::exists(openLatest + ftp.NativeOf("/bvuser/mine/shut/tax.txt")));
    for (const std::string& sent : {masked, ghost})
      EXPECT_TRUE(!lists || fs::exists(openLatest + sent)) << sent;
    EXPECT_EQ(exposed->UnheldNameCount(), 3u);
    const std::vector<EventData> all = events.Events();
    for (const auto& [reason, count] :
         {std::pair<const char*, long>{"REASON_SERVER_NOT_PRIVATE", 2},
          {"REASON_SERVER_NOT_PRIVATE_GROUP", 1}}) {
      EXPECT_EQ(std::count_if(all.begin(), all.end(),
                              [&](const EventData& e) {
                                return e.code == kEvNotProtected &&
                                       e.text3 == GetText("NOT_PROTECTED", reason);
                              }),
                count * exposedPlans)
          << reason;
    }
    if (id == 15) {  // a folder opened here: the file it held back goes at the next run
      const std::string lock = ftp.NativeOf("/bvuser/mine/lock");
      bvtest::WriteNative(lock + "/l.txt", "l");
      ASSERT_EQ(chmod(lock.c_str(), 0700), 0);
      WalkFolder(exposed.get(), include);
      refused.Run();
      EXPECT_EQ(exposed->UnheldNameCount(), 4u);
      ASSERT_EQ(chmod(lock.c_str(), 0755), 0);
      for (int run = 0; run < 2;
           ++run, std::this_thread::sleep_for(std::chrono::milliseconds(2100)))
        refused.Run();
      EXPECT_EQ(bvtest::ReadNative(openLatest + lock + "/l.txt"), "l");
      EXPECT_EQ(exposed->UnheldNameCount(), 3u);
    }
    if (id != 8) continue;
    // The server set right: at the next connection what it held back goes private, uncounted.
    ASSERT_TRUE(ftp.RefuseModes(false));
    exposed->Destination()->Close();
    refused.Run();  // the server keeps modes again: the held-back files are noted anew
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // and settle
    refused.Run();
    for (const auto& [rel, perms] : {std::pair<const char*, fs::perms>{"key.pem", fs::perms(0600)},
                                     {"shut/tax.txt", fs::perms(0600)},
                                     {"grp.txt", fs::perms(0640)}}) {
      const std::string copy = openLatest + ftp.NativeOf("/bvuser/mine/" + std::string(rel));
      EXPECT_TRUE(fs::exists(copy)) << rel;
      if (fs::exists(copy)) {
        EXPECT_EQ(fs::status(copy).permissions() & fs::perms::all, perms);
      }
    }
    EXPECT_EQ(exposed->UnheldNameCount(), 0u);
    ASSERT_TRUE(ftp.RefuseModes());
  }

  // A folder the server will not write: the plan says it took no marker, and why, once.
  fs::create_directories(ftp.NativeOf("/bvuser/ro"));
  ASSERT_EQ(chmod(ftp.NativeOf("/bvuser/ro").c_str(), 0555), 0);
  auto markless = serverPlan(13, "ro/", ledger);
  CSimpleTask unmarked(markless.get());
  for (int run = 0; run < 2; ++run) unmarked.Run();
  EXPECT_EQ(warnings("SERVER_MARKER_REFUSED"), 1);
  // A bucket that refuses the store (its marker cannot be written, or is claimed and never
  // returned): said once, as a refusal in its words, and nothing is written.
  for (const auto& [manner, section, key] :
       {std::tuple{bvtest::HostileS3::kMarkerUnwritable, "OBJECT_STORE_REFUSED",
                   "MARKER_UNWRITABLE"},
        std::tuple{bvtest::HostileS3::kGhostMarker, "STORE", "GHOST_MARKER"}}) {
    bvtest::HostileS3 s3(manner);
    const ObjectStoreSettings store = s3.Settings("store");
    auto bucket = serverPlan(15, "", ledger, false, 0, &store);
    CSimpleTask task(bucket.get());
    for (int run = 0; run < 2; ++run) task.Run(), WalkFolder(bucket.get(), ledger);
    EXPECT_EQ(warnings(key, "#Backup Store Refused\n", section), 1) << key;
    EXPECT_TRUE(s3.Keys().empty()) << key;
  }
}

// The rules settled per folder answer as the rule set does, for every kind of mask and file.
TEST_F(PlanWalk, FolderRulesAnswerAsTheRuleSetForEveryFile) {
  for (const char* rel : {"a.doc", "b.JPG", ".hid.doc", "ro.doc", "\xc3\xa9t\xc3\xa9.doc", "x~",
                          "docs/x.doc", "docs/y.tmp", "docs/deep/z.doc", "docs/deep/Desktop.ini",
                          "cache/c.doc", "cache2/c.doc", "cache/GPUCache/g.doc", ".#keep/k.doc"}) {
    env_.Src().Write(rel, "x");
  }
  fs::permissions(env_.Src().NativeOf("ro.doc"), fs::perms::owner_write, fs::perm_options::remove);
  const std::string src = env_.Src().System();
  auto in = [&](const char* rel) { return env_.Src().SystemOf(rel); };
  struct Rule {
    int32_t kind;
    std::string mask;
    bool pathOnly = false;
    uint32_t attributes = 0;
    std::string scope = {};
  };
  const std::vector<std::vector<Rule>> sets = {
      {{kRuleInclude, src},
       {kRuleExclude, "*.tmp"},
       {kRuleAlwaysExclude, in("docs"), true},
       {kRuleAlwaysExclude, "!", false, kRuleAttrHidden}},
      {{kRuleInclude, "*.doc"},
       {kRuleInclude, "*.jpg"},
       {kRuleExclude, in("cache")},
       {kRuleExclude, "*\\deep\\*", false, 0, in("docs")},
       {kRuleAlwaysExclude, "*\\desktop.ini"},
       {kRuleExclude, "*\\.h*"},
       {kRuleAlwaysExclude, "*\\ro.doc"},
       {kRuleInclude, in("docs\\deep\\z.doc")},
       {kRuleExclude, "*", false, kRuleAttrReadOnly}},
      {{kRuleInclude, "C:\\*"},
       {kRuleAlwaysExclude, in("cache")},
       {kRuleAlwaysExclude, src, true},
       {kRuleAlwaysExclude, "*\\GPUCache\\*"},
       {kRuleAlwaysExclude, "*~"},
       {kRuleAlwaysExclude, "*\\.#*"}},
      {{kRuleInclude, src + "*"},
       {kRuleExclude, in("do?s") + "\\*"},
       {kRuleInclude, in("docs\\deep\\")},
       {kRuleAlwaysExclude, in("cache\\c.doc")},
       {kRuleInclude, "*\\\xc3\x89T\xc3\x89.DOC"}},
  };
  for (size_t n = 0; n < sets.size(); ++n) {
    CRuleSet rules;
    for (const Rule& rule : sets[n]) {
      CRuleGroup* group = rules.AddGroup(rule.kind, "g", "text");
      if (!rule.scope.empty()) group->SetPattern(rule.scope);
      group->AddItem(rule.mask, "", true, rule.pathOnly, rule.attributes);
    }
    size_t files = 0, taken = 0;
    for (const char* rel :
         {"", "docs", "docs/deep", "cache", "cache2", "cache/GPUCache", ".#keep"}) {
      const std::string folder = plat::WithSeparator(in(rel));
      FolderRules folderRules;
      folderRules.Build(rules, plat::ToUpper(folder));
      plat::DirSearch search;
      plat::FindData entry;
      ASSERT_TRUE(search.Open(folder + "*", &entry));
      do {
        if (entry.attributes & plat::kAttrDirectory) continue;
        ++files;
        const bool expected = rules.Match(folder + entry.name);
        taken += expected;
        EXPECT_EQ(folderRules.Takes(entry.name, entry.attributes), expected)
            << "rule set " << n << ": " << folder + entry.name;
      } while (search.Next(&entry));
    }
    EXPECT_EQ(files, 14u);
    EXPECT_GT(taken, 0u) << "rule set " << n;
    EXPECT_LT(taken, files) << "rule set " << n;
  }
}

}  // namespace
