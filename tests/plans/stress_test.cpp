// The plan list under load: the UI thread creates, edits, enables, disables
// and deletes plans while writers keep changing source files and offering
// them, and another thread keeps forcing runs. Afterwards the files on disk
// must describe exactly the list that is left.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/CTask.h"
#include "engine/PlanList.h"
#include "history/CLoggingDatabase.h"
#include "plans/CPlan.h"
#include "plans/PlanFile.h"
#include "plans/RuleSet.h"
#include "plans/Schedule.h"
#include "support/ScratchEnv.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using bvtest::ScratchEnv;

namespace {

struct Expected {
  std::string name;
  int32_t versions = 3;
  bool enabled = false;
};

TEST(PlanListStress, PlansChangeWhileFilesAreOfferedAndRunsForced) {
  ScratchEnv env;
  std::map<uint32_t, Expected> expected;  // the UI thread's view of the list
  std::vector<uint32_t> deleted;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> offered{0}, taken{0}, forced{0};
  {
    PlanList list;
    std::vector<std::thread> workers;
    for (int w = 0; w < 2; ++w) {
      workers.emplace_back([&, w] {
        for (uint64_t i = 0; !stop.load(); ++i) {
          const std::string rel = "w" + std::to_string(w) + "/f" + std::to_string(i % 16) + ".txt";
          env.Src().Write(rel, "round " + std::to_string(i));
          offered.fetch_add(1);
          if (list.OfferChangedFile(env.Src().SystemOf(rel))) taken.fetch_add(1);
        }
      });
    }
    // The back-up-now command: plans reached through the list stay valid
    // while its lock is held.
    workers.emplace_back([&] {
      while (!stop.load()) {
        {
          std::lock_guard<std::recursive_mutex> g(list.Lock());
          for (size_t i = 0; i < list.Count(); ++i) {
            CPlan* plan = list.At(i);
            std::lock_guard<std::recursive_mutex> pg(plan->Lock());
            if (CSimpleTask* task = plan->Task()) {
              task->SetForced(true);
              forced.fetch_add(1);
            }
          }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });

    // The UI thread.
    std::mt19937 rng(12345);
    int made = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    while (std::chrono::steady_clock::now() < end) {
      const int op = static_cast<int>(rng() % 10);
      if (expected.size() < 2 || op == 0 || op == 1) {
        ++made;
        PlanSettings s = ScratchEnv::Settings("Plan " + std::to_string(made),
                                              "S" + std::to_string(made % 3), kUnitContinuous);
        CPlan* plan = list.CreatePlan(s);
        ASSERT_TRUE(plan);
        ScratchEnv::IncludeOnly(plan, env.Src().System());
        ASSERT_TRUE(plan->Save());
        expected[plan->Id()] = {s.name, plan->VersionNumber(), false};
        continue;
      }
      auto it = expected.begin();
      std::advance(it, static_cast<long>(rng() % expected.size()));
      const uint32_t id = it->first;
      CPlan* plan = list.Find(id);
      ASSERT_TRUE(plan);
      switch (op) {
        case 2:
        case 3: {
          const bool on = !it->second.enabled;
          plan->SetEnabled(on, 0);
          it->second.enabled = on;
          break;
        }
        case 4: {
          const std::string name =
              "Plan " + std::to_string(id) + " r" + std::to_string(rng() % 1000);
          ASSERT_TRUE(plan->SetName(name));
          it->second.name = name;
          break;
        }
        case 5:
        case 6: {
          const int32_t v = 1 + static_cast<int32_t>(rng() % 5);
          plan->SetVersionNumber(v);
          it->second.versions = plan->VersionNumber();
          break;
        }
        case 7: {
          EXPECT_TRUE(list.DeletePlan(id));
          deleted.push_back(id);
          expected.erase(it);
          continue;
        }
        default:
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
          continue;
      }
      ASSERT_TRUE(plan->Save());
    }
    stop.store(true);
    for (auto& t : workers) t.join();

    // The list file names the listed plans in list order.
    std::string want = "SEED=" + std::to_string(list.Seed()) + "\n";
    ASSERT_EQ(list.Count(), expected.size());
    for (size_t i = 0; i < list.Count(); ++i) {
      const uint32_t id = list.At(i)->Id();
      ASSERT_EQ(expected.count(id), 1u) << id;
      EXPECT_EQ(list.At(i)->Name(), expected[id].name);
      want += "ID=" + std::to_string(id) + "\n";
    }
    EXPECT_EQ(bvtest::ReadNative(env.Data().NativeOf("plans.ini")), want);

    // Every remaining plan stops; its journal reopens valid from disk.
    for (size_t i = 0; i < list.Count(); ++i) {
      CPlan* plan = list.At(i);
      plan->StopAndWait();
      plan->Database()->Close();
      CLoggingDatabase db;
      EXPECT_EQ(db.Open(plan->GetPlanFolder(), plan->Id()), 0u) << plan->Id();
      EXPECT_EQ(db.LoadIndex(), 0u) << plan->Id();
      db.Close();
    }
  }  // the list ends: every thread of it is stopped

  EXPECT_GT(offered.load(), 0u);
  EXPECT_GT(taken.load(), 0u) << "plans including the sources took offers";
  EXPECT_GT(forced.load(), 0u) << "enabled plans had a task to force";
  EXPECT_FALSE(deleted.empty());
  for (uint32_t id : deleted) {
    EXPECT_FALSE(fs::exists(env.Data().NativeOf("PLAN/" + std::to_string(id)))) << id;
  }

  // The stored plans read back as the UI thread left them.
  for (const auto& [id, e] : expected) {
    PlanSettings s;
    ASSERT_TRUE(ReadPlanFile(env.Data().SystemOf("PLAN/" + std::to_string(id) + "/Plan.ini"), &s));
    EXPECT_EQ(s.name, e.name) << id;
    EXPECT_EQ(s.versionNumber, e.versions) << id;
    EXPECT_EQ(s.enabled != 0, e.enabled) << id;
  }
}

}  // namespace
