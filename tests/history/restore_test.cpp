#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/CSimpleEngine.h"
#include "engine/engine_env.h"
#include "history/RestoreJobs.h"
#include "history/RestoreTree.h"
#include "plans/CPlan.h"
#include "plans/PlanList.h"
#include "plans/plan_env.h"
#include "platform/Clock.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using bvtest::PlanTestEnv;
using bvtest::ReadNative;
using bvtest::WriteNative;

namespace {

// Records every callback (they arrive on the job's thread).
class Recorder : public IRestoreObserver {
 public:
  void OnTreeRoot(const std::shared_ptr<CDirNode>& root) override {
    Note("root");
    std::lock_guard<std::mutex> g(lock_);
    root_ = root;
  }
  void OnTreeRefresh() override { Note("refresh"); }
  void OnSearchApplied(CDirNode*) override { Note("applied"); }
  void OnShowNode(CDirNode* node) override {
    std::lock_guard<std::mutex> g(lock_);
    shown_.push_back(node);
  }
  void OnSearchFinished() override { Note("searched"); }
  void OnFileProgress(const RestoreProgress& p) override {
    std::lock_guard<std::mutex> g(lock_);
    progress_.push_back(p);
  }
  void OnRestoreFinished() override { Note("finished"); }
  void OnRestoreFailed() override { Note("failed"); }
  void OnMessageBox(const std::string& text) override { Note("box:" + text); }
  void OnTrace(const std::string& text) override {
    std::lock_guard<std::mutex> g(lock_);
    traces_.push_back(text);
  }

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> g(lock_);
    return calls_;
  }
  size_t Count(const std::string& call) {
    std::lock_guard<std::mutex> g(lock_);
    return std::count(calls_.begin(), calls_.end(), call);
  }
  std::vector<RestoreProgress> Progress() {
    std::lock_guard<std::mutex> g(lock_);
    return progress_;
  }
  std::vector<std::string> Traces() {
    std::lock_guard<std::mutex> g(lock_);
    return traces_;
  }
  std::vector<CDirNode*> Shown() {
    std::lock_guard<std::mutex> g(lock_);
    return shown_;
  }
  std::shared_ptr<CDirNode> Root() {
    std::lock_guard<std::mutex> g(lock_);
    return root_;
  }

  // Called from the job's thread before the callback returns (stop tests).
  std::function<void()> onFirstProgress;

 protected:
  void Note(const std::string& call) {
    std::lock_guard<std::mutex> g(lock_);
    calls_.push_back(call);
  }

 private:
  std::mutex lock_;  // guards every field below
  std::vector<std::string> calls_;
  std::vector<RestoreProgress> progress_;
  std::vector<std::string> traces_;
  std::vector<CDirNode*> shown_;
  std::shared_ptr<CDirNode> root_;
};

class StoppingRecorder : public Recorder {
 public:
  CRestoreThread* job = nullptr;
  bool stopOnRoot = false;
  void OnTreeRoot(const std::shared_ptr<CDirNode>& root) override {
    Recorder::OnTreeRoot(root);
    if (stopOnRoot) job->Stop();
  }
  void OnFileProgress(const RestoreProgress& p) override {
    Recorder::OnFileProgress(p);
    if (Progress().size() == 1) job->Stop();
  }
};

CDirNode* Find(CDirNode* root, const std::string& name) {
  CDirNode* found = nullptr;
  WalkTree(root, [&](CDirNode* n) {
    if (n->name != name) return true;
    found = n;
    return false;
  });
  return found;
}

size_t NodeCount(CDirNode* root) {
  size_t n = 0;
  WalkTree(root, [&n](CDirNode*) { return ++n, true; });
  return n;
}

// Every regular file below a native folder: relative path -> contents.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> out;
  if (!fs::exists(folder)) return out;
  for (const auto& e : fs::recursive_directory_iterator(folder))
    if (e.is_regular_file())
      out[fs::relative(e.path(), folder).string()] = ReadNative(e.path().string());
  return out;
}

// A store written by hand in the layout of the backup engine, for sources in
// the environment's source folder, on E:.
class RestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CDirNodeCache::Instance().Clear();
    storeNative_ = env_.Store().NativeOf("store");
    srcNative_ = env_.Src().Native();
    // The source folder's system path is "C:\root\bv-tests\..."; below
    // "Latest" it becomes the folder "C\root\bv-tests\...".
    const std::string sys = env_.Src().System();
    srcInStore_ = "C" + sys.substr(2);
    for (char& c : srcInStore_)
      if (c == '\\') c = '/';
    store_.planId = 77;
    store_.storageType = kStorageLocal;
    store_.folder = PlanTestEnv::OnE("store\\");
  }
  void TearDown() override { CDirNodeCache::Instance().Clear(); }

  // The sources' latest copies and their revisions.
  void WriteStore() {
    WriteNative(storeNative_ + "/Brevanto.dat", "");
    for (const auto& [rel, content] : latest_) WriteNative(LatestNative(rel), content);
    for (const auto& [rel, content] : revisions_)
      WriteNative(storeNative_ + "/Revision/" + srcInStore_ + "/" + rel, content);
  }
  std::string LatestNative(const std::string& rel) {
    return storeNative_ + "/Latest/" + srcInStore_ + "/" + rel;
  }

  std::shared_ptr<CDirNode> List() {
    Recorder rec;
    CRestoreFiller filler(&rec, store_);
    EXPECT_EQ(filler.Begin(), 0);
    filler.Wait();
    return filler.Root();
  }

  PlanTestEnv env_;
  std::string storeNative_, srcNative_, srcInStore_;
  RestoreStore store_;
  std::map<std::string, std::string> latest_ = {
      {"report.doc", "latest report"},
      {"a.b.doc", "two dots"},
      {"noext", std::string("\0binary\xff", 8)},
      {"My Files/\xc3\xa4 \xc3\x9c"
       "bersicht.txt",
       "umlauts in the name"},
      {"My Files/deep/er/a.txt", std::string(300000, 'x')},
      {"My Files/deep/er/ab.txt", "ab"},
  };
  std::map<std::string, std::string> revisions_ = {
      {"report(0007).doc", "report seven"},  {"a.b(0002).doc", "two dots, two"},
      {"noext(0003)", "no extension three"}, {"file(0007).tar.gz", "tarball"},
      {"big(10000).txt", "ten thousand"},
  };
};

TEST(RestoreTargetTest, LatestAndRevisionPathsMapBackToTheirSources) {
  struct Case {
    const char* node;
    bool folder;
    const char* chosen;
    const char* target;  // nullptr: no target
    const char* folderToMake;
  };
  const Case cases[] = {
      {"E:\\S\\Latest\\C\\Users\\a.txt", false, "", "C:\\Users\\a.txt", "C:\\Users"},
      {"E:\\S\\Revision\\D\\x\\file(0007)", false, "", "D:\\x\\file", "D:\\x"},
      {"E:\\S\\Revision\\D\\x\\file(0007).tar.gz", false, "", "D:\\x\\file(0007).tar.gz", "D:\\x"},
      {"E:\\S\\Revision\\D\\x\\a.b(0002).doc", false, "", "D:\\x\\a.b.doc", "D:\\x"},
      {"E:\\S\\Revision\\D\\x\\big(10000).txt", false, "", "D:\\x\\big(10000).txt", "D:\\x"},
      {"E:\\S\\Revision\\D\\x\\x(12)(0003).txt", false, "", "D:\\x\\x(12).txt", "D:\\x"},
      // A folder named like a revision keeps its name; a latest file too.
      {"E:\\S\\Revision\\D\\x(0001)", true, "", "D:\\x(0001)", "D:\\x(0001)"},
      {"E:\\S\\Latest\\D\\r(0001).txt", false, "", "D:\\r(0001).txt", "D:"},
      {"E:\\S\\Revision\\C\\Users\\a(0002).txt", false, "D:\\Out", "D:\\Out\\C\\Users\\a.txt",
       "D:\\Out\\C\\Users"},
      {"E:\\S\\Latest\\C\\Users", true, "D:\\Out\\", "D:\\Out\\C\\Users", "D:\\Out\\C\\Users"},
      {"E:\\S\\Latest\\C", true, "", "C:", "C:"},
      // No drive letter below the tree: no original place.
      {"E:\\S\\Latest\\\\\\srv\\share\\a.txt", false, "", nullptr, nullptr},
      {"E:\\S\\Latest\\Cx\\a.txt", false, "", nullptr, nullptr},
      {"E:\\S\\Latest", true, "", nullptr, nullptr},
      {"E:\\S\\Latest\\7\\a.txt", false, "", nullptr, nullptr},
      // Tree names compare exactly; "latest" is no tree name.
      {"E:\\S\\latest\\C\\a.txt", false, "D:\\Out", "D:\\Out\\latest\\C\\a.txt",
       "D:\\Out\\latest\\C"},
      {"E:\\S\\Latestfoo\\a.txt", false, "D:\\Out", "D:\\Out\\Latestfoo\\a.txt",
       "D:\\Out\\Latestfoo"},
      {"E:\\Other\\Latest\\C\\a.txt", false, "", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    std::string target = "?", folder = "?";
    const bool ok = MakeRestoreTarget(c.node, c.folder, "E:\\S\\", c.chosen, &target, &folder);
    if (c.target == nullptr) {
      EXPECT_FALSE(ok) << c.node << " -> " << target;
      continue;
    }
    ASSERT_TRUE(ok) << c.node;
    EXPECT_EQ(target, c.target) << c.node;
    EXPECT_EQ(folder, c.folderToMake) << c.node;
  }
  // A server store names its paths with '/'.
  std::string target, folder;
  ASSERT_TRUE(
      MakeRestoreTarget("/bk/Revision/C/Users/r(0001).doc", false, "/bk/", "", &target, &folder));
  EXPECT_EQ(target, "C:\\Users\\r.doc");
}

TEST(RestorePatternTest, WholeNameWildcardsAndAsciiCaseOnly) {
  EXPECT_TRUE(MatchSearchPattern("report.doc", "*.DOC"));
  EXPECT_TRUE(MatchSearchPattern("a.txt", "?.txt"));
  EXPECT_FALSE(MatchSearchPattern("ab.txt", "?.txt"));
  EXPECT_FALSE(MatchSearchPattern("report.docx", "*.doc"));
  EXPECT_FALSE(MatchSearchPattern("my report.doc", "report")) << "the whole name must match";
  EXPECT_TRUE(MatchSearchPattern("", ""));
  EXPECT_FALSE(MatchSearchPattern("a", ""));
  EXPECT_TRUE(MatchSearchPattern("", "*"));
  EXPECT_TRUE(MatchSearchPattern("abcabd", "*a*b?"));
  EXPECT_FALSE(MatchSearchPattern("abcabc", "*a*bd"));
  EXPECT_TRUE(MatchSearchPattern("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*a*b"));
  // '?' is one character, not one byte; only A-Z fold.
  EXPECT_TRUE(MatchSearchPattern("\xc3\xa4.txt", "?.TXT"));
  EXPECT_FALSE(MatchSearchPattern("\xc3\xa4.txt", "\xc3\x84.txt"));
  EXPECT_TRUE(MatchSearchPattern("Photo[1].JPG", "photo[?].jpg"));
}

TEST(RestoreTreeTest, CheckStatesTotalsAndSelectedSize) {
  CDirNode root;
  root.isFolder = true;
  auto add = [](CDirNode* parent, const char* name, bool folder, uint64_t size) {
    auto n = std::make_unique<CDirNode>();
    n->name = name;
    n->isFolder = folder;
    n->size = size;
    n->fileCount = folder ? 0 : 1;
    return parent->AddChild(std::move(n));
  };
  CDirNode* a = add(&root, "a", true, 0);
  CDirNode* a1 = add(a, "a1", false, 10);
  CDirNode* a2 = add(a, "a2", false, 20);
  CDirNode* b = add(&root, "b", true, 0);
  CDirNode* b1 = add(b, "b1", false, 300);

  SetCheckState(a1, kCheckAll);
  EXPECT_EQ(a->checkState, kCheckPartial);
  EXPECT_EQ(root.checkState, kCheckPartial);
  EXPECT_EQ(SelectedSize(&root), 10u) << "a partly checked folder counts its checked files";
  SetCheckState(a2, kCheckAll);
  EXPECT_EQ(a->checkState, kCheckAll);
  EXPECT_EQ(root.checkState, kCheckPartial);
  EXPECT_EQ(SelectedSize(&root), 30u);
  SetCheckState(&root, kCheckAll);
  EXPECT_EQ(b1->checkState, kCheckAll);
  EXPECT_EQ(SelectedSize(&root), 330u);
  SetCheckState(b, kCheckNone);
  EXPECT_EQ(b1->checkState, kCheckNone);
  EXPECT_EQ(root.checkState, kCheckPartial);
  EXPECT_EQ(SelectedSize(&root), 30u);

  ComputeTotals(&root);
  EXPECT_EQ(root.fileCount, 3u);
  EXPECT_EQ(root.size, 330u);
  a2->hidden = true;
  b->hidden = true;
  ComputeTotals(&root);
  EXPECT_EQ(a->size, 10u);
  EXPECT_EQ(b->size, 300u) << "a hidden folder still gets its own totals";
  EXPECT_EQ(root.fileCount, 1u);
  EXPECT_EQ(root.size, 10u);
  EXPECT_EQ(SelectedSize(&root), 10u) << "hidden nodes are never selected";
  EXPECT_TRUE(root.RemoveChild("b"));
  EXPECT_FALSE(root.RemoveChild("b"));
  EXPECT_EQ(root.children.size(), 1u);
}

TEST(RestoreTreeTest, SearchShowsMatchesAndTheirFoldersOnly) {
  CDirNode root;
  root.name = "E:\\S\\";
  root.isFolder = true;
  auto add = [](CDirNode* parent, const char* name, bool folder) {
    auto n = std::make_unique<CDirNode>();
    n->name = name;
    n->isFolder = folder;
    return parent->AddChild(std::move(n));
  };
  CDirNode* docs = add(&root, "docs", true);
  CDirNode* report = add(docs, "report.doc", false);
  CDirNode* other = add(docs, "notes.txt", false);
  CDirNode* folderDoc = add(&root, "old.doc", true);
  CDirNode* inside = add(folderDoc, "inside.txt", false);
  CDirNode* empty = add(&root, "empty", true);

  EXPECT_TRUE(ApplySearch(&root, "*.DOC", nullptr));
  EXPECT_FALSE(root.hidden);
  EXPECT_FALSE(docs->hidden);
  EXPECT_FALSE(report->hidden);
  EXPECT_TRUE(other->hidden);
  EXPECT_FALSE(folderDoc->hidden);
  EXPECT_TRUE(inside->hidden) << "a matching folder does not bring its children";
  EXPECT_TRUE(empty->hidden);

  EXPECT_TRUE(ApplySearch(&root, "*", nullptr));
  EXPECT_FALSE(other->hidden) << "a new search clears the old one";
  EXPECT_TRUE(ApplySearch(&root, "nothing", nullptr));
  EXPECT_TRUE(root.hidden);

  std::atomic<int32_t> stop{1};
  EXPECT_FALSE(ApplySearch(&root, "*", &stop));
}

TEST(RestoreTreeTest, VeryDeepTreeIsWalkedAndFreedWithoutRecursion) {
  auto root = std::make_unique<CDirNode>();
  root->isFolder = true;
  CDirNode* at = root.get();
  for (int i = 0; i < 200000; ++i) {
    auto n = std::make_unique<CDirNode>();
    n->isFolder = i + 1 < 200000;
    n->name = "d";
    n->size = n->isFolder ? 0 : 5;
    n->fileCount = n->isFolder ? 0 : 1;
    at = at->AddChild(std::move(n));
  }
  ComputeTotals(root.get());
  EXPECT_EQ(root->size, 5u);
  SetCheckState(at, kCheckAll);
  EXPECT_EQ(root->checkState, kCheckAll);
  EXPECT_TRUE(ApplySearch(root.get(), "x", nullptr));
  EXPECT_TRUE(root->hidden);
  root.reset();  // must not overflow the stack
}

TEST_F(RestoreTest, FillerListsTheStoreWithoutItsMarker) {
  WriteStore();
  const std::string timed = LatestNative("report.doc");
  const int64_t mtime = 1700000000;
  fs::last_write_time(timed, fs::file_time_type::clock::from_sys(
                                 std::chrono::sys_seconds(std::chrono::seconds(mtime))));

  Recorder rec;
  CRestoreFiller filler(&rec, store_);
  ASSERT_EQ(filler.Begin(), 0);
  EXPECT_EQ(filler.Begin(), 1) << "a job runs once";
  filler.Wait();
  EXPECT_TRUE(filler.HasEnded());
  EXPECT_FALSE(filler.IsJobRunning());

  std::shared_ptr<CDirNode> root = filler.Root();
  ASSERT_TRUE(root);
  EXPECT_EQ(rec.Root(), root);
  EXPECT_EQ(rec.Calls(), (std::vector<std::string>{"root", "refresh", "refresh"}));
  EXPECT_EQ(root->path, "E:\\store\\");
  EXPECT_EQ(Find(root.get(), "Brevanto.dat"), nullptr);
  ASSERT_EQ(root->children.size(), 2u);  // Latest and Revision

  uint64_t bytes = 0;
  for (const auto& [rel, content] : latest_) bytes += content.size();
  for (const auto& [rel, content] : revisions_) bytes += content.size();
  EXPECT_EQ(root->fileCount, latest_.size() + revisions_.size());
  EXPECT_EQ(root->size, bytes);

  CDirNode* umlaut = Find(root.get(),
                          "\xc3\xa4 \xc3\x9c"
                          "bersicht.txt");
  ASSERT_NE(umlaut, nullptr);
  EXPECT_EQ(
      umlaut->path, "E:\\store\\Latest\\" +
                        [&] {
                          std::string p = srcInStore_;
                          for (char& c : p)
                            if (c == '/') c = '\\';
                          return p;
                        }() +
                        "\\My Files\\\xc3\xa4 \xc3\x9c"
                        "bersicht.txt");
  EXPECT_FALSE(umlaut->isFolder);
  EXPECT_EQ(umlaut->parent->name, "My Files");
  EXPECT_EQ(umlaut->parent->fileCount, 3u);

  CDirNode* report = Find(root.get(), "report.doc");
  ASSERT_NE(report, nullptr);
  const plat::LocalTime lt = plat::ToLocalTime(mtime);
  EXPECT_EQ(report->time.year, lt.year);
  EXPECT_EQ(report->time.day, lt.day);
  EXPECT_EQ(report->time.hour, lt.hour);
  EXPECT_EQ(report->time.minute, lt.minute);
  EXPECT_EQ(report->time.dayOfWeek, lt.weekday);
  EXPECT_EQ(report->checkState, kCheckNone);

  EXPECT_EQ(CDirNodeCache::Instance().Get(77), root);
  CDirNodeCache::Instance().Clear();
  EXPECT_EQ(CDirNodeCache::Instance().Get(77), nullptr);
  EXPECT_EQ(root->children.size(), 2u) << "holders keep a tree the cache dropped";
}

TEST_F(RestoreTest, FillerOnMarkerOnlyOrMissingStore) {
  WriteNative(storeNative_ + "/Brevanto.dat", "");
  std::shared_ptr<CDirNode> root = List();
  ASSERT_TRUE(root);
  EXPECT_TRUE(root->children.empty());
  EXPECT_EQ(root->fileCount, 0u);
  EXPECT_EQ(CDirNodeCache::Instance().Count(), 1u);

  CDirNodeCache::Instance().Clear();
  store_.folder = PlanTestEnv::OnE("no such store\\");
  Recorder rec;
  CRestoreFiller filler(&rec, store_);
  ASSERT_EQ(filler.Begin(), 0);
  filler.Wait();
  ASSERT_TRUE(filler.Root());
  EXPECT_TRUE(filler.Root()->children.empty());
  EXPECT_EQ(rec.Traces().size(), 1u);
  EXPECT_EQ(CDirNodeCache::Instance().Count(), 0u) << "an unlisted store is not kept";

  store_.folder.clear();
  CRestoreFiller none(&rec, store_);
  ASSERT_EQ(none.Begin(), 0);
  none.Wait();
  EXPECT_FALSE(none.Root());
}

TEST_F(RestoreTest, FinderHidesNonMatchesAndReportsEveryNode) {
  WriteStore();
  std::shared_ptr<CDirNode> root = List();
  ASSERT_TRUE(root);

  Recorder rec;
  CRestoreFinder finder(&rec, root, store_, "*.DOC", true);
  ASSERT_EQ(finder.Begin(), 0);
  finder.Wait();
  EXPECT_EQ(rec.Calls(), (std::vector<std::string>{"applied", "searched"}));
  std::vector<CDirNode*> shown = rec.Shown();
  ASSERT_EQ(shown.size(), NodeCount(root.get()));
  EXPECT_EQ(shown.front(), root.get());

  EXPECT_FALSE(Find(root.get(), "report.doc")->hidden);
  EXPECT_FALSE(Find(root.get(), "report(0007).doc")->hidden);
  EXPECT_FALSE(Find(root.get(), "Latest")->hidden);
  EXPECT_TRUE(Find(root.get(), "noext")->hidden);
  EXPECT_TRUE(Find(root.get(), "My Files")->hidden);
  // report.doc, a.b.doc and their two revisions.
  EXPECT_EQ(root->fileCount, 4u);
  EXPECT_EQ(root->size, std::string("latest report").size() + std::string("two dots").size() +
                            std::string("report seven").size() +
                            std::string("two dots, two").size());

  Recorder quiet;
  CRestoreFinder narrow(&quiet, root, store_, "?.txt", false);
  ASSERT_EQ(narrow.Begin(), 0);
  narrow.Wait();
  EXPECT_TRUE(quiet.Shown().empty());
  EXPECT_FALSE(Find(root.get(), "a.txt")->hidden);
  EXPECT_TRUE(Find(root.get(), "ab.txt")->hidden);
  EXPECT_EQ(root->fileCount, 1u);
  EXPECT_EQ(root->size, 300000u);
}

TEST_F(RestoreTest, RestoresCheckedFilesToAChosenFolderByteForByte) {
  WriteStore();
  std::shared_ptr<CDirNode> root = List();
  ASSERT_TRUE(root);
  SetCheckState(Find(root.get(), "Latest"), kCheckAll);

  bvtest::TempDir out;
  Recorder rec;
  CRestoreCarrier carrier(&rec, root, store_, out.System(), false);
  ASSERT_EQ(carrier.Begin(), 0);
  carrier.Wait();
  EXPECT_EQ(rec.Calls(), (std::vector<std::string>{"finished"}));
  EXPECT_EQ(carrier.FilesCopied(), latest_.size());

  EXPECT_EQ(Snapshot(out.Native() + "/" + srcInStore_), latest_);
  EXPECT_FALSE(fs::exists(out.Native() + "/Revision"));

  std::vector<RestoreProgress> progress = rec.Progress();
  ASSERT_EQ(progress.size(), latest_.size());
  EXPECT_EQ(progress.front().percent, 0u);
  for (size_t i = 1; i < progress.size(); ++i) {
    EXPECT_GE(progress[i].percent, progress[i - 1].percent);
    EXPECT_LE(progress[i].percent, 100u);
  }
  EXPECT_EQ(progress.front().bytesPerSecond, 2097152u) << "the guess before the first file";
  EXPECT_GT(progress.front().remainingSeconds, 0u);

  // Revisions come back under their plain names, into the same places.
  bvtest::TempDir revOut;
  SetCheckState(root.get(), kCheckNone);
  SetCheckState(Find(root.get(), "Revision"), kCheckAll);
  Recorder rec2;
  CRestoreCarrier revisions(&rec2, root, store_, revOut.System(), false);
  ASSERT_EQ(revisions.Begin(), 0);
  revisions.Wait();
  const std::map<std::string, std::string> expected = {
      {"report.doc", "report seven"},     {"a.b.doc", "two dots, two"},
      {"noext", "no extension three"},    {"file(0007).tar.gz", "tarball"},
      {"big(10000).txt", "ten thousand"},
  };
  EXPECT_EQ(Snapshot(revOut.Native() + "/" + srcInStore_), expected);
}

TEST_F(RestoreTest, RestoresToTheOriginalPlaceOverwritingWhatIsThere) {
  WriteStore();
  WriteNative(srcNative_ + "/report.doc", "changed since the backup, to be overwritten");
  WriteNative(srcNative_ + "/unrelated.txt", "stays");
  std::shared_ptr<CDirNode> root = List();
  ASSERT_TRUE(root);
  SetCheckState(Find(root.get(), "Latest"), kCheckAll);
  SetCheckState(Find(root.get(), "ab.txt"), kCheckNone);

  Recorder rec;
  CRestoreCarrier carrier(&rec, root, store_, "", false);
  ASSERT_EQ(carrier.Begin(), 0);
  carrier.Wait();
  EXPECT_EQ(rec.Calls(), (std::vector<std::string>{"finished"}));

  std::map<std::string, std::string> expected = latest_;
  expected.erase("My Files/deep/er/ab.txt");
  expected["unrelated.txt"] = "stays";
  EXPECT_EQ(Snapshot(srcNative_), expected);
}

TEST_F(RestoreTest, MissingSourceDriveFailsBeforeAnyCopy) {
  WriteStore();
  WriteNative(storeNative_ + "/Latest/Q/lost/q.txt", "on a drive this machine lacks");
  std::shared_ptr<CDirNode> root = List();
  ASSERT_TRUE(root);
  SetCheckState(Find(root.get(), "Latest"), kCheckAll);

  Recorder rec;
  CRestoreCarrier carrier(&rec, root, store_, "", false);
  ASSERT_EQ(carrier.Begin(), 0);
  carrier.Wait();
  ASSERT_EQ(rec.Calls().size(), 2u);
  EXPECT_EQ(rec.Calls()[0].rfind("box:", 0), 0u);
  EXPECT_EQ(rec.Calls()[1], "failed");
  EXPECT_TRUE(rec.Progress().empty());
  EXPECT_TRUE(Snapshot(srcNative_).empty());

  // Without a "Latest" folder there is no original place either.
  fs::remove_all(storeNative_ + "/Latest");
  root = List();
  Recorder rec2;
  CRestoreCarrier again(&rec2, root, store_, "", true);
  ASSERT_EQ(again.Begin(), 0);
  again.Wait();
  EXPECT_EQ(rec2.Count("failed"), 1u);
  EXPECT_TRUE(Snapshot(srcNative_).empty());

  // Once the drive exists the same store restores.
  fs::remove_all(storeNative_);
  WriteStore();
  WriteNative(storeNative_ + "/Latest/Q/lost/q.txt", "on a drive this machine lacks");
  bvtest::TempDir q;
  env_.SetExtra("[Q]\nRoot=" + q.Native() + "\nType=fixed\nBus=none\n");
  root = List();
  SetCheckState(Find(root.get(), "Latest"), kCheckAll);
  Recorder rec3;
  CRestoreCarrier third(&rec3, root, store_, "", false);
  ASSERT_EQ(third.Begin(), 0);
  third.Wait();
  EXPECT_EQ(rec3.Calls(), (std::vector<std::string>{"finished"}));
  EXPECT_EQ(ReadNative(q.Native() + "/lost/q.txt"), "on a drive this machine lacks");
  EXPECT_EQ(Snapshot(srcNative_), latest_);
}

TEST_F(RestoreTest, RestoreAllIgnoresChecksButNotTheSearch) {
  WriteStore();
  // A copy of a file from a share ("\\srv\share" lost its separators): no
  // drive, so no original place; it is skipped.
  WriteNative(storeNative_ + "/Latest/srv/share/x.doc", "from a share");
  std::shared_ptr<CDirNode> root = List();
  ASSERT_TRUE(root);
  Recorder find;
  CRestoreFinder finder(&find, root, store_, "*.doc", false);
  ASSERT_EQ(finder.Begin(), 0);
  finder.Wait();

  Recorder rec;
  CRestoreCarrier carrier(&rec, root, store_, "", true);
  ASSERT_EQ(carrier.Begin(), 0);
  carrier.Wait();
  EXPECT_EQ(rec.Calls(), (std::vector<std::string>{"finished"}));
  // Only the latest .doc copies: the revisions go to the same names, so the
  // last one written wins; check the set of names, not the contents.
  std::map<std::string, std::string> got = Snapshot(srcNative_);
  EXPECT_EQ(got.size(), 2u);
  EXPECT_TRUE(got.count("report.doc"));
  EXPECT_TRUE(got.count("a.b.doc"));
}

TEST_F(RestoreTest, AFileThatCannotBeCopiedIsTracedAndTheRestGoesOn) {
  WriteStore();
  std::shared_ptr<CDirNode> root = List();
  ASSERT_TRUE(root);
  SetCheckState(Find(root.get(), "Latest"), kCheckAll);
  bvtest::TempDir out;
  // A file where the folder "My Files" must go: its three files fail.
  WriteNative(out.Native() + "/" + srcInStore_ + "/My Files", "in the way");

  Recorder rec;
  CRestoreCarrier carrier(&rec, root, store_, out.System(), false);
  ASSERT_EQ(carrier.Begin(), 0);
  carrier.Wait();
  EXPECT_EQ(rec.Calls(), (std::vector<std::string>{"finished"}));
  EXPECT_EQ(carrier.FilesFailed(), 3u);
  EXPECT_EQ(carrier.FilesCopied(), latest_.size() - 3);
  std::vector<std::string> traces = rec.Traces();
  ASSERT_EQ(traces.size(), 3u);
  EXPECT_NE(traces[0].find("My Files"), std::string::npos);
  EXPECT_EQ(ReadNative(out.Native() + "/" + srcInStore_ + "/report.doc"), "latest report");
}

TEST_F(RestoreTest, StopEndsAJobAtItsNextStep) {
  WriteStore();
  {
    StoppingRecorder rec;
    rec.stopOnRoot = true;
    CRestoreFiller filler(&rec, store_);
    rec.job = &filler;
    ASSERT_EQ(filler.Begin(), 0);
    filler.Wait();
    ASSERT_TRUE(filler.Root());
    EXPECT_TRUE(filler.Root()->children.empty()) << "no listing step after the stop";
    EXPECT_EQ(rec.Calls(), (std::vector<std::string>{"root"}));
    EXPECT_EQ(CDirNodeCache::Instance().Count(), 0u);
    EXPECT_TRUE(filler.StopRequested());
  }
  std::shared_ptr<CDirNode> root = List();
  SetCheckState(root.get(), kCheckAll);
  bvtest::TempDir out;
  StoppingRecorder rec;
  CRestoreCarrier carrier(&rec, root, store_, out.System(), false);
  rec.job = &carrier;
  ASSERT_EQ(carrier.Begin(), 0);
  carrier.Wait();
  EXPECT_EQ(rec.Progress().size(), 1u);
  EXPECT_EQ(carrier.FilesCopied(), 1u) << "the file announced is still copied";
  EXPECT_EQ(rec.Count("finished"), 0u);
  EXPECT_EQ(Snapshot(out.Native()).size(), 1u);
}

TEST_F(RestoreTest, JobsRunSideBySideAndDieStoppedWhileRunning) {
  WriteStore();
  for (int i = 0; i < 40; ++i) WriteNative(LatestNative("many/f" + std::to_string(i)), "x");
  RestoreStore second = store_;
  second.planId = 78;
  std::shared_ptr<CDirNode> listed = List();
  SetCheckState(listed.get(), kCheckAll);

  bvtest::TempDir out;
  Recorder a, b, c, d;
  auto f1 = std::make_unique<CRestoreFiller>(&a, store_);
  auto f2 = std::make_unique<CRestoreFiller>(&b, second);
  auto carrier = std::make_unique<CRestoreCarrier>(&c, listed, store_, out.System(), false);
  ASSERT_EQ(f1->Begin(), 0);
  ASSERT_EQ(f2->Begin(), 0);
  ASSERT_EQ(carrier->Begin(), 0);
  for (int i = 0; i < 50; ++i) CDirNodeCache::Instance().Get(77 + i % 2);
  auto doomed = std::make_unique<CRestoreFiller>(&d, store_);
  ASSERT_EQ(doomed->Begin(), 0);
  doomed.reset();  // stops and waits
  f1->Wait();
  f2->Wait();
  carrier->Wait();
  EXPECT_EQ(CDirNodeCache::Instance().Count(), 2u);
  EXPECT_EQ(NodeCount(f1->Root().get()), NodeCount(f2->Root().get()));
  EXPECT_EQ(c.Count("finished"), 1u);
  EXPECT_EQ(carrier->FilesCopied(), latest_.size() + revisions_.size() + 40);
}

TEST_F(RestoreTest, FtpStoreIsUnavailableUntilItsAccessExists) {
  store_.storageType = kStorageFtp;
  store_.folder = "/backup/";
  store_.separator = '/';
  store_.ftp.server = "ftp.example.test";
  Recorder rec;
  CRestoreFiller filler(&rec, store_);
  ASSERT_EQ(filler.Begin(), 0);
  filler.Wait();
  EXPECT_FALSE(filler.Root()) << "the filler ends with no tree";
  ASSERT_EQ(rec.Traces().size(), 1u);
  EXPECT_NE(rec.Traces()[0].find("ftp.example.test"), std::string::npos);

  auto root = std::make_shared<CDirNode>();
  root->path = "/backup/";
  root->isFolder = true;
  Recorder rec2;
  CRestoreCarrier carrier(&rec2, root, store_, "C:\\out", true);
  ASSERT_EQ(carrier.Begin(), 0);
  carrier.Wait();
  EXPECT_EQ(rec2.Calls(), (std::vector<std::string>{"failed"}));
}

// The store description comes from the plan's destination.
class RestorePlan : public CSimplePlan {
 public:
  using CSimplePlan::CSimplePlan;
  int Start() override { return 0; }
  void Stop() override {}
};

TEST_F(RestoreTest, StoreDescriptionComesFromThePlan) {
  PlanList list;
  RestorePlan plan(&list);
  EXPECT_FALSE(GetRestoreStore(&plan, &store_)) << "no destination yet";
  PlanSettings s = PlanTestEnv::Settings("Docs", "store");
  s.id = 4242;
  ASSERT_TRUE(plan.ApplySettings(s, kApplyCreate));
  RestoreStore got;
  ASSERT_TRUE(GetRestoreStore(&plan, &got));
  EXPECT_EQ(got.planId, plan.Id());
  EXPECT_EQ(got.storageType, kStorageLocal);
  EXPECT_EQ(got.folder, "E:\\store\\");
  EXPECT_EQ(got.separator, '\\');
}

// The whole road: the backup engine writes the store, the jobs read it back.
TEST(RestoreRoundTripTest, WhatTheEngineStoredComesBackWhole) {
  bvtest::EngineTestEnv env;
  std::unique_ptr<bvtest::TestPlan> plan = env.MakePlan(31, 4, 3, {env.Src().System()});
  ASSERT_TRUE(plan);
  const std::vector<std::string> names = {"report.doc", "a.b.doc", "Makefile",
                                          "two words/\xc3\xa9t\xc3\xa9 2026.txt"};
  for (int version = 1; version <= 2; ++version) {
    for (const auto& name : names) {
      env.Src().Write(name, name + " v" + std::to_string(version));
      ASSERT_EQ(plan->Engine()->BackupFile(env.Src().SystemOf(name), false, nullptr, 0), 0);
    }
  }
  RestoreStore store;
  ASSERT_TRUE(GetRestoreStore(plan.get(), &store));
  Recorder rec;
  CRestoreFiller filler(&rec, store);
  ASSERT_EQ(filler.Begin(), 0);
  filler.Wait();
  std::shared_ptr<CDirNode> root = filler.Root();
  ASSERT_TRUE(root);
  ASSERT_EQ(root->fileCount, 2 * names.size());

  // The first versions, under their plain names below a chosen folder.
  SetCheckState(Find(root.get(), "Revision"), kCheckAll);
  bvtest::TempDir out;
  Recorder rec1;
  CRestoreCarrier old(&rec1, root, store, out.System(), false);
  ASSERT_EQ(old.Begin(), 0);
  old.Wait();
  std::string below = "C" + env.Src().System().substr(2);
  for (char& c : below)
    if (c == '\\') c = '/';
  for (const auto& name : names)
    EXPECT_EQ(ReadNative(out.Native() + "/" + below + "/" + name), name + " v1") << name;

  // The latest versions, back where they came from.
  fs::remove_all(env.Src().Native());
  SetCheckState(root.get(), kCheckNone);
  SetCheckState(Find(root.get(), "Latest"), kCheckAll);
  Recorder rec2;
  CRestoreCarrier back(&rec2, root, store, "", false);
  ASSERT_EQ(back.Begin(), 0);
  back.Wait();
  EXPECT_EQ(rec2.Calls(), (std::vector<std::string>{"finished"}));
  for (const auto& name : names)
    EXPECT_EQ(ReadNative(env.Src().NativeOf(name)), name + " v2") << name;
}

}  // namespace
