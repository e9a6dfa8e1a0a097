// The plan list: plans made, refused, loaded, rebuilt, threads, shared destinations.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "destinations/StoreMarker.h"
#include "engine/CTask.h"
#include "engine/PlanList.h"
#include "platform/files/FilesBelow.h"
#include "support/EventCollector.h"
#include "support/ScratchEnv.h"

namespace fs = std::filesystem;
using bvtest::EventCollector;
using bvtest::ReadNative;
using bvtest::ScratchEnv;
using bvtest::WriteNative;

namespace {

// A plan folder as a previous run leaves it.
void WritePlan(const ScratchEnv& env, uint32_t id, const std::string& name, int unit,
               const std::string& extra, bool rules = true) {
  const std::string dir = env.Data().NativeOf("PLAN/" + std::to_string(id));
  WriteNative(dir + "/Plan.ini",
              "Mode=1\nName=" + name + "\nStorageType=1\nStorePath=E:\\Store" + std::to_string(id) +
                  "\nVersionNumber=3\nScheduleNum=1\nScheduleUnit=" + std::to_string(unit) +
                  "\nLastTime=0\nMissingTime=0\nLastBackupTime=0\n" + extra);
  if (rules) WriteNative(dir + "/IncExc.ini", "");
}

class PlanListTest : public ::testing::Test {
 protected:
  std::string PlanDir(uint32_t id) { return env_.Data().NativeOf("PLAN/" + std::to_string(id)); }
  std::string ListText() { return ReadNative(env_.Data().NativeOf("plans.ini")); }
  CPlan* Create(const std::string& name, const std::string& store, int unit = 1) {
    return list_.CreatePlan(ScratchEnv::Settings(name, store, unit));
  }
  void IncludeSources(CPlan* plan, const std::string& sub = "") {
    ScratchEnv::IncludeOnly(plan, sub.empty() ? env_.Src().System() : env_.Src().SystemOf(sub));
  }
  // Plans that noted a file, in order.
  static std::vector<uint32_t> Takers(EventCollector& events) {
    std::vector<uint32_t> out;
    for (const auto& e : events.Events())
      if (e.code == kEvFileNoted) out.push_back(e.planId);
    events.Clear();
    return out;
  }
  ScratchEnv env_;
  PlanList list_;
};

// Plans made (not enabled) and refused (the list left alone); unique names and folders.
TEST_F(PlanListTest, CreateFindNameAndRefuse) {
  EventCollector events;
  CPlan* docs = Create("Docs", "Store");
  ASSERT_TRUE(docs);
  EXPECT_EQ(ListText(), "SEED=1\nID=1\n");
  EXPECT_TRUE(fs::exists(PlanDir(1) + "/Plan.ini") && fs::exists(PlanDir(1) + "/IncExc.ini"));
  EXPECT_FALSE(docs->Enabled()) << "enabling is the wizard's decision";
  EXPECT_EQ(events.Texts(kEvPlanCreated), std::vector<std::string>{"Docs"});
  CPlan* lower = Create("docs", "Store2");
  ASSERT_TRUE(lower);
  EXPECT_FALSE(Create("  Docs ", "Store3"));
  EXPECT_EQ(events.CountOf(kEvDuplicatePlanName), 1u);
  PlanSettings noStore = ScratchEnv::Settings("Other", "Store4");
  noStore.storePath.clear();
  PlanSettings badType = ScratchEnv::Settings("Other", "Store4");
  badType.storageType = 9;
  for (const PlanSettings& bad : {noStore, ScratchEnv::Settings("Other", "Store4", 9),
                                  ScratchEnv::Settings("Other", "Store4", 0), badType})
    EXPECT_FALSE(list_.CreatePlan(bad));
  EXPECT_EQ(list_.Seed(), 3);
  EXPECT_EQ(ListText(), "SEED=2\nID=1\nID=2\n");
  EXPECT_EQ(list_.FindByName("docs"), lower);
  EXPECT_EQ(list_.FindByName("docs", lower), nullptr);
  CPlan* backup = Create("Docs 1", "Backup 1");
  ASSERT_TRUE(backup && Create("Docs 2", "x"));
  EXPECT_EQ(list_.MakeUniqueName("Docs"), "Docs 3");
  EXPECT_EQ(list_.MakeUniqueName("Photos"), "Photos");  // a free name takes no number
  fs::create_directories(env_.Store().NativeOf("Backup 2"));
  fs::create_directories(env_.Store().NativeOf("Backup"));
  EXPECT_EQ(list_.MakeUniqueDestinationFolder("E:\\Backup"), "E:\\Backup 3");
  EXPECT_EQ(list_.MakeUniqueDestinationFolder("E:\\Fresh"), "E:\\Fresh");
  EXPECT_EQ(list_.FindByDestination("E:\\Backup 1\\"), backup);
  EXPECT_EQ(list_.FindByDestination("e:\\backup 1"), nullptr);
  EXPECT_EQ(list_.FindByDestination("E:\\BACKUP 1", backup), nullptr);
}

// Broken plans are set aside and told, keeping their numbers; a manual plan is never started.
TEST_F(PlanListTest, LoadAllSkipsBrokenPlans) {
  WriteNative(
      env_.Data().NativeOf("plans.ini"),
      "\xEF\xBB\xBFSEED=9\nID=3\nID=0\nID=-3\nID=99999999999\nID=4\nID=5\nID=6\nID=3\nColour=red\n"
      "ID=7\nID=8\nID=9\nID=12\nID=10\n");
  WritePlan(env_, 10, "Garbled", 1, "Enabled=0\n");
  WriteNative(PlanDir(10) + "/Plan.ini", std::string("\x00\xff\xfe\x01 not a plan \x00", 16));
  WritePlan(env_, 7, "Kind q", 1, "Enabled=0\nStorageType=q\n");  // the last one counts
  WritePlan(env_, 8, "Unit -1", -1, "Enabled=0\n");
  WritePlan(env_, 9, " ", 1, "Enabled=0\n");
  WritePlan(env_, 12, std::string(256, 'n'), 1, "Enabled=0\n");
  WritePlan(env_, 3, "Manual", 8, "Enabled=1\n");
  WriteNative(PlanDir(3) + "/UI.ini", "[WizardPage3Options]\nBackupTime=12345\n");
  WritePlan(env_, 4, "No rules", 1, "Enabled=0\n", false);
  WritePlan(env_, 5, "Manual", 1, "Enabled=0\n");
  WritePlan(env_, 6, "Fresh", 1, "InitDone=0\nEnabled=0\nMode=2\n");
  EventCollector events;
  EXPECT_FALSE(list_.LoadAllPlans()) << "unknown lines: the list is written anew";
  ASSERT_EQ(list_.Count(), 2u);
  CPlan* manual = list_.At(0);
  CPlan* fresh = list_.At(1);
  EXPECT_EQ(manual->Id() * 10 + fresh->Id(), 36u);
  EXPECT_FALSE(manual->Enabled() || static_cast<CSimplePlan*>(manual)->Thread());
  EXPECT_EQ(manual->DestinationRoot() + " " + std::to_string(manual->BackupTime()),
            "E:\\Store3 12345");
  EXPECT_TRUE(manual->InitDone() && !fresh->InitDone());
  EXPECT_EQ(std::vector<int64_t>({fresh->Mode(), fresh->BackupTime()}),
            std::vector<int64_t>({kModeIdle, 0}));
  // IDs 0, -3 and too big and plan 4's rules are unreadable; plan 5's name is taken.
  const std::string list = GetDataFolder() + "plans.ini";
  const std::vector<std::string> unreadable = events.Texts(kEvUnreadablePlanFile);
  EXPECT_EQ(std::count(unreadable.begin(), unreadable.end(), list), 3);
  EXPECT_EQ(std::count(unreadable.begin(), unreadable.end(), GetPlanFolder(4) + "IncExc.ini"), 1);
  EXPECT_EQ(events.CountOf(kEvDuplicatePlanName), 1u);
  std::string told;
  for (const std::string& t : events.Texts(kEvInvalidContent)) told += t + "\n";
  EXPECT_EQ(events.CountOf(kEvInvalidContent), 8u) << told;
  EXPECT_EQ(list_.SetAsideCount(), 6u);
  for (const char* why :
       {"(\"Kind q\") could not be loaded: its kind of destination",
        "(\"Unit -1\") could not be loaded: its schedule", "it has no name", "longer than 255",
        "Plan.ini cannot be read", "(\"No rules\") could not be loaded: its list of folders"})
    EXPECT_NE(told.find(why), std::string::npos) << why;
  for (uint32_t id : {4u, 7u, 8u, 9u, 10u, 12u}) {
    EXPECT_FALSE(fs::exists(PlanDir(id)));
    int kept = 0;
    for (const auto& e : fs::directory_iterator(env_.Data().NativeOf("PLAN")))
      kept += e.path().filename().string().rfind(std::to_string(id) + ".damaged-", 0) == 0;
    EXPECT_EQ(kept, 1) << id;
  }
  EXPECT_FALSE(list_.LoadPlan(3)) << "already listed";
  CPlan* made = Create("New", "StoreNew");
  ASSERT_TRUE(made);
  EXPECT_EQ(made->Id(), 13u) << "the counter goes on past the plans set aside";
  EXPECT_EQ(ListText(), "SEED=13\nID=3\nID=6\nID=13\n");
}

// A damaged "plans.ini" is kept aside and named, the plans come back from their folders.
TEST(PlanListDamageTest, DamagedListIsRebuiltFromThePlanFolders) {
  const std::string good = "SEED=3\nID=1\nID=2\nID=3\n";
  std::string flipped = good;
  flipped[13] ^= 0x40;  // the "2" of "ID=2"
  const std::pair<const char*, std::function<void(const std::string&)>> damages[] = {
      {"missing", [](const std::string&) {}},
      {"empty", [](const std::string& n) { WriteNative(n, ""); }},
      {"cut", [&](const std::string& n) { WriteNative(n, good.substr(0, 15)); }},
      {"cut at a line", [&](const std::string& n) { WriteNative(n, "SEED=3\nID=3\n"); }},
      {"flipped", [&](const std::string& n) { WriteNative(n, flipped); }},
      {"garbage", [](const std::string& n) { WriteNative(n, std::string("\x89\0\xff=\r\n", 6)); }},
      {"negative seed", [](const std::string& n) { WriteNative(n, "SEED=-1\nID=1\n"); }},
      {"folder", [](const std::string& n) { fs::create_directories(n + "/x"); }},
      {"dangling link", [](const std::string& n) { fs::create_symlink(n + ".gone", n); }},
      {"fifo", [](const std::string& n) { ASSERT_EQ(mkfifo(n.c_str(), 0600), 0); }},
      {"first start", nullptr},
  };
  for (const auto& [what, make] : damages) {
    SCOPED_TRACE(what);
    ScratchEnv env;
    const std::vector<uint32_t> ids =
        make ? std::vector<uint32_t>{1, 2, 3} : std::vector<uint32_t>{};
    for (uint32_t id : ids) WritePlan(env, id, "P" + std::to_string(id), 8, "Enabled=0\n");
    fs::create_directories(env.Data().NativeOf("PLAN/7"));  // a folder whose plan file is gone
    const std::string listNative = env.Data().NativeOf("plans.ini");
    if (make) make(listNative);
    EventCollector events;
    PlanList list;
    EXPECT_FALSE(list.LoadAllPlans());
    ASSERT_EQ(list.Count(), ids.size());
    std::vector<std::string> aside;
    for (const auto& e : fs::directory_iterator(env.Data().Native()))
      if (e.path().filename().string().rfind("plans.ini.damaged-", 0) == 0)
        aside.push_back(e.path().filename().string());
    EXPECT_EQ(aside.size(), make && std::string(what) != "missing" ? 1u : 0u);
    EXPECT_EQ(fs::exists(listNative), make != nullptr);
    ASSERT_NE(list.CreatePlan(ScratchEnv::Settings("New", "SNew")), nullptr);
    EXPECT_EQ(list.At(ids.size())->Id(), 8u);
    if (!make) {
      EXPECT_EQ(events.CountOf(kEvInvalidContent), 0u);
      continue;
    }
    std::vector<std::string> lines;
    std::istringstream written(ReadNative(listNative));
    for (std::string line; std::getline(written, line);) lines.push_back(line);
    std::sort(lines.begin() + 1, lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"SEED=8", "ID=1", "ID=2", "ID=3", "ID=8"}));
    std::string notice;
    for (const std::string& t : events.Texts(kEvInvalidContent))
      if (t.find("rebuilt") != std::string::npos) notice = t;
    EXPECT_NE(notice.find("3 plans"), std::string::npos) << notice;
    EXPECT_NE(notice.find(aside.empty() ? "" : aside[0]), std::string::npos) << notice;
  }
}

TEST(PlanListDamageTest, CounterAtItsEndStillMakesPlans) {
  for (const std::string seed : {"4294967295", "99999999999999999999", "folder"}) {
    SCOPED_TRACE(seed);
    ScratchEnv env;
    WritePlan(env, 1, "P1", 8, "Enabled=0\n");
    if (seed == "folder") fs::create_directories(env.Data().NativeOf("PLAN/4294967295"));
    WriteNative(env.Data().NativeOf("plans.ini"),
                "SEED=" + (seed == "folder" ? "1" : seed) + "\nID=1\n");
    EventCollector events;
    PlanList list;
    EXPECT_EQ(list.LoadAllPlans(), seed != "99999999999999999999");
    EXPECT_EQ(events.CountOf(kEvInvalidContent), seed == "99999999999999999999" ? 2u : 0u);
    for (uint32_t id : {2u, 3u}) {
      CPlan* made = list.CreatePlan(ScratchEnv::Settings("New" + std::to_string(id), "S"));
      ASSERT_NE(made, nullptr);
      EXPECT_EQ(made->Id(), id);
    }
  }
}

TEST_F(PlanListTest, ThreadsStartStopAndEndWhileFilesAreOffered) {
  WriteNative(env_.Data().NativeOf("plans.ini"), "SEED=1\nID=1\n");
  WritePlan(env_, 1, "Running", 4, "Enabled=1\n");
  auto list = std::make_unique<PlanList>();
  EventCollector events;
  ASSERT_TRUE(list->LoadAllPlans());
  auto* plan = static_cast<CSimplePlan*>(list->Find(1));
  ASSERT_TRUE(plan);
  EXPECT_TRUE(plan->Enabled() && plan->Thread() && plan->Task());
  IncludeSources(plan);
  plan->SetEnabled(false, 0);
  plan->SetEnabled(true, 0);
  ASSERT_NE(plan->Task(), nullptr);
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> taken{0}, forced{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 2; ++w) {
    workers.emplace_back([&, w] {
      for (uint64_t i = 0; !stop.load(); ++i) {
        const std::string rel = "w" + std::to_string(w) + "/f" + std::to_string(i % 16) + ".txt";
        env_.Src().Write(rel, "round " + std::to_string(i));
        taken += list->OfferChangedFile(env_.Src().SystemOf(rel));
      }
    });
  }
  workers.emplace_back([&] {
    for (; !stop.load(); std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
      std::lock_guard<std::recursive_mutex> g(list->Lock());
      for (size_t i = 0; i < list->Count(); ++i) {
        std::lock_guard<std::recursive_mutex> pg(list->At(i)->Lock());
        if (CSimpleTask* task = list->At(i)->Task()) {
          task->SetForced(true);
          ++forced;
        }
      }
    }
  });
  // Manual plans: their threads run but write nothing into the folder.
  for (int round = 0; round < 8; ++round) {
    CPlan* manual = list->CreatePlan(
        ScratchEnv::Settings("M" + std::to_string(round), "S" + std::to_string(round % 3), 8));
    ASSERT_TRUE(manual);
    IncludeSources(manual);
    auto* simple = static_cast<CSimplePlan*>(manual);
    for (int i = 0; i < 3; ++i) {
      manual->SetEnabled(true, 0);
      EXPECT_TRUE(simple->Thread() && manual->Task());
      manual->SetEnabled(false, 0);
      EXPECT_FALSE(simple->Thread() || manual->Task());
    }
    EXPECT_GE(simple->RetiredThreadCount(), 1u);
    manual->SetEnabled(round % 2 == 0, 0);  // a running thread is handed the deletion
    EXPECT_TRUE(list->DeletePlan(manual->Id()));
    EXPECT_FALSE(fs::exists(PlanDir(2 + round)));
    EXPECT_EQ(list->Find(2 + round), nullptr);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop = true;
  for (auto& t : workers) t.join();
  EXPECT_TRUE(taken.load() > 0 && forced.load() > 0);
  EXPECT_EQ(events.CountOf(kEvPlanDeleted), 8u);
  EXPECT_FALSE(list->DeletePlan(2));
  CPlan* last = list->CreatePlan(ScratchEnv::Settings("Last", "SL", 8));
  ASSERT_TRUE(last);
  last->SetEnabled(true, 0);
  EXPECT_EQ(ListText(), "SEED=10\nID=1\nID=10\n");
  plan->StopAndWait();
  plan->Database()->Close();
  CLoggingDatabase db;
  EXPECT_EQ(db.Open(plan->GetPlanFolder(), 1), 0u);
  EXPECT_EQ(db.LoadIndex(), 0u);
  list.reset();  // stops and joins the running thread before the plan goes
}

// Every matching plan takes a file, whatever plans share its store ("Shared" and "shared": two).
TEST_F(PlanListTest, EveryMatchingPlanTakesAFile) {
  CPlan* a = Create("A", "Shared", 8);
  CPlan* b = Create("B", "shared\\");
  CPlan* c = Create("C", "Shared\\");
  CPlan* d = Create("D", "Other");
  ASSERT_TRUE(a && b && c && d);
  EXPECT_EQ(std::vector<CPlan*>(
                {b->SameDestinationLink(), c->SameDestinationLink(), d->SameDestinationLink()}),
            std::vector<CPlan*>({nullptr, a, nullptr}));
  EXPECT_EQ(list_.FindByDestination("E:\\shared"), b);
  for (CPlan* p : {a, b, c, d}) IncludeSources(p);
  const std::string file1 = env_.Src().SystemOf("one.txt");
  env_.Src().Write("one.txt", "1");
  EventCollector events;
  EXPECT_TRUE(list_.OfferChangedFile(file1));
  EXPECT_EQ(Takers(events), (std::vector<uint32_t>{a->Id(), b->Id(), c->Id(), d->Id()}));
  uint64_t offset;
  EXPECT_TRUE(c->Database()->Lookup(file1, &offset));
  IncludeSources(a, "only-a");
  env_.Src().Write("two.txt", "2");
  EXPECT_TRUE(list_.OfferChangedFile(env_.Src().SystemOf("two.txt")));
  EXPECT_EQ(Takers(events), (std::vector<uint32_t>{b->Id(), c->Id(), d->Id()}));
  ASSERT_TRUE(list_.DeletePlan(b->Id()));
  a->SetBusy(true);
  EXPECT_TRUE(c->IsEarlierSameDestinationBusy() && !a->IsEarlierSameDestinationBusy());
  ASSERT_TRUE(list_.DeletePlan(a->Id()));
  EXPECT_EQ(c->SameDestinationLink(), nullptr);
}

TEST_F(PlanListTest, OnlyFilesOnInternalFixedDrivesOutsideStoresAreTaken) {
  const std::string src = env_.Src().Native();
  const std::string fg = "[F]\nRoot=" + src + "\nType=removable\nBus=usb\n[G]\nRoot=" + src +
                         "\nType=fixed\nBus=usb\n";
  env_.SetExtra(fg + "[H]\nRoot=" + src + "\nType=fixed\n");
  EXPECT_EQ(list_.FixedDrives(), "CEH");
  EXPECT_TRUE(list_.IsPathEligible("H:\\a.txt"));
  env_.SetExtra(fg);
  EXPECT_EQ(list_.FixedDrives(), "CE");
  CPlan* a = Create("A", "Store");
  ASSERT_TRUE(a);
  for (const char* path :
       {"C:\\home\\a.txt", "c:\\home\\a.txt", "C:\\RecyclerX\\x", "E:\\store\\x", "E:\\Store2\\x"})
    EXPECT_TRUE(list_.IsPathEligible(path)) << path;
  for (const char* path :
       {"F:\\a.txt", "G:\\a.txt", "D:\\a.txt", "\\\\srv\\share\\a.txt", "a.txt", "",
        "C:\\RECYCLER\\x", "c:\\recycled", "C:\\System Volume Information\\tracking.log",
        "E:\\Store\\Latest\\x", "E:\\Store"})
    EXPECT_FALSE(list_.IsPathEligible(path)) << path;
  IncludeSources(a);
  env_.Src().Write("kept/Brevanto.dat", StoreMarkerText(NewStoreId()));
  env_.Src().Write("kept/deep/f.txt", "x");
  env_.Src().Write("plain/f.txt", "x");
  for (const std::string& refused :
       {std::string(), env_.Src().SystemOf("plain"), env_.Src().SystemOf("kept/deep/f.txt"),
        std::string("D:\\plain\\f.txt"), std::string("C:\\proc\\self\\status")})
    EXPECT_FALSE(list_.OfferChangedFile(refused)) << refused;
  EXPECT_TRUE(list_.OfferChangedFile(env_.Src().SystemOf("plain/f.txt")));
  // A restore's download still arriving is not offered; a user's file of that name is.
  {
    plat::IncomingFile arriving;
    ASSERT_EQ(arriving.Begin(env_.Src().SystemOf("plain/g.txt"), "", false), 0u);
    ASSERT_TRUE(arriving.Write("part", 4));
    std::string temp;
    for (const auto& e : std::filesystem::directory_iterator(env_.Src().NativeOf("plain")))
      if (e.path().filename().string().rfind(".~bvtmp-", 0) == 0) temp = e.path().filename();
    ASSERT_FALSE(temp.empty());
    EXPECT_FALSE(list_.OfferChangedFile(env_.Src().SystemOf("plain/" + temp)));
    arriving.Abandon();
    env_.Src().Write("plain/" + temp, "a user's file");
    EXPECT_TRUE(list_.OfferChangedFile(env_.Src().SystemOf("plain/" + temp)));
  }
  // A server that is this machine: copies in its folder are never offered again, the rest is.
  PlanSettings server = ScratchEnv::Settings("Server", "", 1);
  server.storageType = kStorageFtp;
  server.ftp.server = "sftp://localhost";
  server.ftp.port = 1;  // nothing answers there: the plan is made all the same
  server.ftp.user = "nobody";
  server.ftp.root = env_.Src().Native() + "/srv";
  env_.SetExtra("");  // the folder is C: alone
  ASSERT_NE(list_.CreatePlan(server), nullptr);
  env_.Src().Write("srv/Latest/C/x.txt", "x");
  env_.Src().Write("srv/note.txt", "n");
  EXPECT_FALSE(list_.OfferChangedFile(env_.Src().SystemOf("srv/Latest/C/x.txt")));
  EXPECT_FALSE(list_.IsPathEligible(env_.Src().SystemOf("srv/Revision")));
  EXPECT_TRUE(list_.OfferChangedFile(env_.Src().SystemOf("srv/note.txt")));
}

}  // namespace
