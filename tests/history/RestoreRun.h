// What the restore tests share: a recorder of a job's callbacks, jobs run to their end, and a
// store whose revision numbers have gaps, written and checked on any kind of store.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "history/RestoreJobs.h"
#include "history/RestoreTree.h"
#include "history/StoreAccess.h"
#include "history/VersionSearch.h"
#include "support/TempDir.h"

namespace restoretest {

using Files = std::map<std::string, std::string>;
using Calls = std::vector<std::string>;

// Every callback of a job as a line; it may stop its job at the root or the first file.
class Recorder : public IRestoreObserver {
 public:
  void OnTreeRoot(const std::shared_ptr<CDirNode>&) override { Note("root", stopOnRoot); }
  void OnTreeRefresh() override { Note("refresh"); }
  void OnSearchApplied(CDirNode*) override { Note("applied"); }
  void OnSearchFinished() override { Note("searched"); }
  void OnFileProgress(const RestoreProgress& p) override {
    progress.push_back(p);
    if (stopOnFile) job->Stop();
  }
  void OnRestoreFinished() override { Note("finished"); }
  void OnRestoreFailed() override { Note("failed"); }
  void OnMessageBox(const std::string& text) override { Note("box:" + text); }
  void OnFileFailed(const std::string& file, const std::string& reason) override {
    failures.push_back(file + "|" + reason);
  }
  void OnTrace(const std::string& text) override { traces.push_back(text); }
  Calls calls, failures, traces;
  std::vector<RestoreProgress> progress;
  uint64_t copied = 0, failed = 0;
  CRestoreThread* job = nullptr;
  bool stopOnRoot = false, stopOnFile = false;

 private:
  void Note(const std::string& call, bool stop = false) {
    calls.push_back(call);
    if (stop) job->Stop();
  }
};

// Restores the checked files of root (or all) to target ("": the original places).
inline Recorder Carry(const std::shared_ptr<CDirNode>& root, const RestoreStore& store,
                      const std::string& target, bool all, bool stopOnFile = false) {
  Recorder out;
  CRestoreCarrier carrier(&out, root, store, target, all);
  out.job = &carrier;
  out.stopOnFile = stopOnFile;
  EXPECT_EQ(carrier.Begin(), 0);
  carrier.Wait();
  out.copied = carrier.FilesCopied();
  out.failed = carrier.FilesFailed();
  return out;
}

inline std::shared_ptr<CDirNode> List(const RestoreStore& store, Recorder* rec = nullptr) {
  Recorder quiet;
  CRestoreFiller filler(rec ? rec : &quiet, store);
  (rec ? rec : &quiet)->job = &filler;
  EXPECT_EQ(filler.Begin(), 0);
  EXPECT_EQ(filler.Begin(), 1) << "a job runs once";
  filler.Wait();
  EXPECT_TRUE(filler.HasEnded());
  EXPECT_FALSE(filler.IsJobRunning());
  return filler.Root();
}

inline CDirNode* Find(CDirNode* root, const std::string& name) {
  CDirNode* found = nullptr;
  WalkTree(root, [&](CDirNode* n) { return n->name == name ? (found = n, false) : true; });
  return found;
}

inline std::filesystem::file_time_type FileTime(int64_t seconds) {
  return std::filesystem::file_time_type::clock::from_sys(
      std::chrono::system_clock::from_time_t(seconds));
}

// In native's folder for source (e.g. "C/home/ann"), folder "g": g.txt with revisions 1, 4, 17,
// later.txt written after them, gone.txt only a revision. Whole minutes, as servers list.
inline const int64_t kAt =
    (std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) - 86400) / 60 * 60;
inline void WriteStoreWithGaps(const std::string& native, const std::string& source) {
  const struct {
    const char *tree, *name, *bytes;
    int64_t at;
  } files[] = {
      {"Revision", "g(0001).txt", "one", 60},        {"Revision", "g(0004).txt", "four!", 120},
      {"Revision", "g(0017).txt", "seventeen", 180}, {"Latest", "g.txt", "now", 240},
      {"Latest", "later.txt", "later", 600},         {"Revision", "gone(0002).txt", "gone", 0}};
  for (const auto& f : files) {
    const std::string path = native + f.tree + "/" + source + "/g/" + f.name;
    bvtest::WriteNative(path, f.bytes);
    std::filesystem::last_write_time(path, FileTime(kAt + f.at));
  }
}

// Every version of g.txt comes back; the folder as it was at given times brings each file then.
inline void CheckStoreWithGaps(const RestoreStore& store) {
  std::unique_ptr<StoreAccess> access = MakeStoreAccess(store);
  std::string failure;
  ASSERT_TRUE(access->Reach(&failure)) << failure;
  std::unique_ptr<CVersionFolder> root = ListProtectedFolders(*access, store);
  ASSERT_TRUE(root && root->folders.size() == 1);
  CVersionFolder* top = root->folders.front().get();
  auto g = std::find_if(top->folders.begin(), top->folders.end(),
                        [](const auto& f) { return f->name == "g"; });
  ASSERT_NE(g, top->folders.end());
  ASSERT_TRUE(ListVersionFolder(*access, store.separator, g->get()));
  const VersionFile& file = (*g)->files.front();
  ASSERT_EQ(file.name, "g.txt");
  std::vector<RestoreChoice> every;  // newest first, each under a name with its number
  for (const FileVersion& v : file.versions)
    every.push_back({v, file.name, (*g)->sourcePath, std::to_string(v.number) + "," + file.name});
  const std::pair<int64_t, Files> times[] = {
      {kAt + 50, {{"gone.txt", "gone"}}},
      {kAt + 150, {{"g.txt", "four!"}, {"gone.txt", "gone"}}},
      {kAt + 180, {{"g.txt", "seventeen"}, {"gone.txt", "gone"}}},
      {kAt + 5000, {{"g.txt", "now"}, {"gone.txt", "gone"}, {"later.txt", "later"}}}};
  auto restored = [&](const std::vector<RestoreChoice>& choices) {
    bvtest::TempDir out;
    const Recorder got = Carry(BuildSelection(store, choices), store, out.System(), false);
    EXPECT_EQ(got.failed, 0u) << testing::PrintToString(got.failures);
    Files files;
    for (const auto& [rel, bytes] : bvtest::FilesBelow(out.Native()))
      files[rel.substr(rel.rfind('/') + 1)] = bytes;
    // Each file is shown under the name it comes back under.
    Files shown;
    for (const RestoreProgress& p : got.progress)
      shown[p.currentName] = files.count(p.currentName) ? files.at(p.currentName) : "?";
    EXPECT_EQ(shown, files);
    return files;
  };
  EXPECT_EQ(every.back().version.number, 1);
  EXPECT_EQ(restored(every), (Files{{"0,g.txt", "now"},
                                    {"17,g.txt", "seventeen"},
                                    {"4,g.txt", "four!"},
                                    {"1,g.txt", "one"}}));
  for (const auto& [when, want] : times) {
    SCOPED_TRACE(when - kAt);
    PendingChoices pending = ChoicesAt(**g, when);
    EXPECT_EQ(FinishChoices(*access, store, &pending, nullptr, {}, {}), WalkEnd::kDone);
    EXPECT_EQ(pending.leftOut, 3u - want.size());
    EXPECT_EQ(restored(pending.choices), want);
  }
}

}  // namespace restoretest
