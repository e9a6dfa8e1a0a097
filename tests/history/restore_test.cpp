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
#include "engine/PlanList.h"
#include "history/RestoreJobs.h"
#include "history/RestoreTree.h"
#include "history/StoreAccess.h"
#include "history/VersionTree.h"
#include "plans/CPlan.h"
#include "platform/Clock.h"
#include "support/ScratchEnv.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using bvtest::ReadNative;
using bvtest::ScratchEnv;
using bvtest::WriteNative;

namespace {

// What the callbacks of one job reported.
struct Seen {
  std::vector<std::string> calls;
  std::vector<RestoreProgress> progress;
  std::vector<std::string> traces;
  std::vector<std::string> failures;  // "file|reason"
  std::vector<CDirNode*> shown;
  std::shared_ptr<CDirNode> root;
  size_t Count(const std::string& c) const { return std::count(calls.begin(), calls.end(), c); }
};

// Records every callback (they arrive on the job's thread).
class Recorder : public IRestoreObserver {
 public:
  void OnTreeRoot(const std::shared_ptr<CDirNode>& root) override {
    Add([&](Seen& s) { s.calls.push_back("root"), s.root = root; });
  }
  void OnTreeRefresh() override { Note("refresh"); }
  void OnSearchApplied(CDirNode*) override { Note("applied"); }
  void OnShowNode(CDirNode* node) override {
    Add([&](Seen& s) { s.shown.push_back(node); });
  }
  void OnSearchFinished() override { Note("searched"); }
  void OnFileProgress(const RestoreProgress& p) override {
    Add([&](Seen& s) { s.progress.push_back(p); });
  }
  void OnRestoreFinished() override { Note("finished"); }
  void OnRestoreFailed() override { Note("failed"); }
  void OnMessageBox(const std::string& text) override { Note("box:" + text); }
  void OnFileFailed(const std::string& file, const std::string& reason) override {
    Add([&](Seen& s) { s.failures.push_back(file + "|" + reason); });
  }
  void OnTrace(const std::string& text) override {
    Add([&](Seen& s) { s.traces.push_back(text); });
  }

  Seen Get() {
    std::lock_guard<std::mutex> g(lock_);
    return seen_;
  }

 private:
  void Note(const std::string& call) {
    Add([&](Seen& s) { s.calls.push_back(call); });
  }
  template <typename Fn>
  void Add(Fn fn) {
    std::lock_guard<std::mutex> g(lock_);
    fn(seen_);
  }

  std::mutex lock_;  // guards seen_
  Seen seen_;
};

// Starts a job and waits for its end; false when it would not start.
template <typename Job>
bool Ran(Job& job) {
  if (job.Begin() != 0) return false;
  job.Wait();
  return true;
}

const std::vector<std::string> kFinished = {"finished"};

struct Carried : Seen {
  uint64_t copied = 0, failed = 0;
};

// Restores the checked files of root (or all of it) to target ("": to their
// original places) and returns what the job reported.
Carried Carry(const std::shared_ptr<CDirNode>& root, const RestoreStore& store,
              const std::string& target, bool all) {
  Recorder rec;
  CRestoreCarrier carrier(&rec, root, store, target, all);
  EXPECT_TRUE(Ran(carrier));
  Carried out;
  static_cast<Seen&>(out) = rec.Get();
  out.copied = carrier.FilesCopied();
  out.failed = carrier.FilesFailed();
  return out;
}

// Lists a store; the tree, or null when the filler made none.
std::shared_ptr<CDirNode> List(const RestoreStore& store) {
  Recorder rec;
  CRestoreFiller filler(&rec, store);
  EXPECT_TRUE(Ran(filler));
  return filler.Root();
}

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
    if (Get().progress.size() == 1) job->Stop();
  }
};

// Where a source folder's copies lie below "Latest" and "Revision":
// "C:\\a\\b" -> "C<sep>a<sep>b".
std::string InStore(const std::string& systemFolder, char sep) {
  std::string p = systemFolder.substr(0, 1) + systemFolder.substr(2);
  std::replace(p.begin(), p.end(), '\\', sep);
  return p;
}

CDirNode* Find(CDirNode* root, const std::string& name) {
  CDirNode* found = nullptr;
  WalkTree(root, [&](CDirNode* n) {
    if (n->name != name) return true;
    found = n;
    return false;
  });
  return found;
}

// A file (one, of the given size) or an empty folder below parent.
CDirNode* AddNode(CDirNode* parent, const std::string& name, bool folder, uint64_t size = 0) {
  auto n = std::make_unique<CDirNode>();
  n->name = name;
  n->isFolder = folder;
  n->size = size;
  n->fileCount = folder ? 0 : 1;
  return parent->AddChild(std::move(n));
}

size_t NodeCount(CDirNode* root) {
  size_t n = 0;
  WalkTree(root, [&n](CDirNode*) { return ++n, true; });
  return n;
}

// A store written by hand in the layout of the backup engine, for sources in
// the environment's source folder, on E:.
class RestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CDirNodeCache::Instance().Clear();
    storeNative_ = env_.Store().NativeOf("store");
    srcNative_ = env_.Src().Native();
    srcInStore_ = InStore(env_.Src().System(), '/');
    store_.planId = 77;
    store_.storageType = kStorageLocal;
    store_.folder = ScratchEnv::OnE("store\\");
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

  std::shared_ptr<CDirNode> List() { return ::List(store_); }
  // Where the sources land below a chosen folder: their own folders.
  std::string Out(const bvtest::TempDir& out) { return out.Native() + srcNative_; }

  ScratchEnv env_;
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
  ScratchEnv env;  // C: is "/", Q: is unknown
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
      {"E:\\S\\Revision\\D\\x\\big(10000).txt", false, "", "D:\\x\\big.txt", "D:\\x"},
      {"E:\\S\\Revision\\D\\x\\x(12)(0003).txt", false, "", "D:\\x\\x(12).txt", "D:\\x"},
      // A folder named like a revision keeps its name; a latest file too.
      {"E:\\S\\Revision\\D\\x(0001)", true, "", "D:\\x(0001)", "D:\\x(0001)"},
      {"E:\\S\\Latest\\D\\r(0001).txt", false, "", "D:\\r(0001).txt", "D:"},
      // Below a chosen folder the original folders come back as the user
      // knows them: no drive level for a drive known here (C: is "/").
      {"E:\\S\\Revision\\C\\Users\\a(0002).txt", false, "D:\\Out", "D:\\Out\\Users\\a.txt",
       "D:\\Out\\Users"},
      {"E:\\S\\Latest\\C\\Users", true, "D:\\Out\\", "D:\\Out\\Users", "D:\\Out\\Users"},
      {"E:\\S\\Latest\\C", true, "D:\\Out", "D:\\Out", "D:\\Out"},
      {"E:\\S\\Latest\\Q\\x\\a.txt", false, "D:\\Out", "D:\\Out\\Q\\x\\a.txt", "D:\\Out\\Q\\x"},
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

TEST(VersionNamesTest, RevisionNamesAndNaturalOrder) {
  struct Case {
    const char* name;
    const char* file;  // nullptr: not a revision name
    int64_t number;
  };
  const Case cases[] = {
      {"report(0007).doc", "report.doc", 7}, {"noext(0003)", "noext", 3},
      {"a.b(0002).doc", "a.b.doc", 2},       {"x(12)(0003).txt", "x(12).txt", 3},
      {"file(0007).tar.gz", nullptr, 0},     {"big(10000).txt", "big.txt", 10000},
      {"big(01000).txt", nullptr, 0},        {"zero(0000).txt", nullptr, 0},
      {"abc(00x1).txt", nullptr, 0},         {"plain.txt", nullptr, 0},
  };
  for (const Case& c : cases) {
    std::string file;
    int64_t n = 0;
    EXPECT_EQ(ParseRevisionName(c.name, &file, &n), c.file != nullptr) << c.name;
    if (c.file == nullptr) continue;
    EXPECT_EQ(file, c.file);
    EXPECT_EQ(n, c.number);
  }
  std::vector<std::string> names = {"notes10.txt", "Notes9.txt", "b",   "A",
                                    "notes9.txt",  "x007",       "x7a", "x06"};
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return NaturalLess(a, b); });
  EXPECT_EQ(names, (std::vector<std::string>{"A", "b", "Notes9.txt", "notes9.txt", "notes10.txt",
                                             "x06", "x007", "x7a"}));
}

// Wildcards over the whole name; '?' is one character, not one byte; only
// A-Z fold.
TEST(RestorePatternTest, WholeNameWildcardsAndAsciiCaseOnly) {
  using Cases = std::initializer_list<std::pair<const char*, const char*>>;
  for (const auto& [name, pattern] :
       Cases{{"report.doc", "*.DOC"},
             {"a.txt", "?.txt"},
             {"", ""},
             {"", "*"},
             {"abcabd", "*a*b?"},
             {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*a*b"},
             {"\xc3\xa4.txt", "?.TXT"},
             {"Photo[1].JPG", "photo[?].jpg"}})
    EXPECT_TRUE(MatchSearchPattern(name, pattern)) << name << " / " << pattern;
  for (const auto& [name, pattern] : Cases{{"ab.txt", "?.txt"},
                                           {"report.docx", "*.doc"},
                                           {"my report.doc", "report"},
                                           {"a", ""},
                                           {"abcabc", "*a*bd"},
                                           {"\xc3\xa4.txt", "\xc3\x84.txt"}})
    EXPECT_FALSE(MatchSearchPattern(name, pattern)) << name << " / " << pattern;
}

TEST(RestoreTreeTest, CheckStatesTotalsAndSelectedSize) {
  CDirNode root;
  root.isFolder = true;
  CDirNode* a = AddNode(&root, "a", true, 0);
  CDirNode* a1 = AddNode(a, "a1", false, 10);
  CDirNode* a2 = AddNode(a, "a2", false, 20);
  CDirNode* b = AddNode(&root, "b", true, 0);
  CDirNode* b1 = AddNode(b, "b1", false, 300);

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
  CDirNode* docs = AddNode(&root, "docs", true);
  CDirNode* report = AddNode(docs, "report.doc", false);
  CDirNode* other = AddNode(docs, "notes.txt", false);
  CDirNode* folderDoc = AddNode(&root, "old.doc", true);
  CDirNode* inside = AddNode(folderDoc, "inside.txt", false);
  CDirNode* empty = AddNode(&root, "empty", true);

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
  for (int i = 0; i < 200000; ++i) at = AddNode(at, "d", i + 1 < 200000, i + 1 < 200000 ? 0 : 5);
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
  const std::string umlautName =
      "\xc3\xa4 \xc3\x9c"
      "bersicht.txt";
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
  EXPECT_EQ(rec.Get().root, root);
  EXPECT_EQ(rec.Get().calls, (std::vector<std::string>{"root", "refresh", "refresh"}));
  EXPECT_EQ(root->path, "E:\\store\\");
  EXPECT_EQ(Find(root.get(), "Brevanto.dat"), nullptr);
  ASSERT_EQ(root->children.size(), 2u);  // Latest and Revision

  uint64_t bytes = 0;
  for (const auto& [rel, content] : latest_) bytes += content.size();
  for (const auto& [rel, content] : revisions_) bytes += content.size();
  EXPECT_EQ(root->fileCount, latest_.size() + revisions_.size());
  EXPECT_EQ(root->size, bytes);

  CDirNode* umlaut = Find(root.get(), umlautName);
  ASSERT_NE(umlaut, nullptr);
  EXPECT_EQ(umlaut->path, "E:\\store\\Latest\\" + InStore(env_.Src().System(), '\\') +
                              "\\My Files\\" + umlautName);
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

// The store as the user knows it: the source folder under its own path,
// each file once with its versions, listed as folders open; a choice of
// versions and a ticked folder become the store files the carrier copies.
TEST_F(RestoreTest, VersionTreeShowsFilesOnceAndRestoresTheChosenVersions) {
  WriteStore();
  std::unique_ptr<StoreAccess> access = MakeStoreAccess(store_);
  std::unique_ptr<CVersionFolder> root = ListProtectedFolders(*access, store_);
  ASSERT_TRUE(root);
  ASSERT_EQ(root->folders.size(), 1u) << "C, tmp, ... lead only to the source folder";
  CVersionFolder* top = root->folders.front().get();
  EXPECT_EQ(top->name, srcNative_);
  EXPECT_EQ(top->sourcePath, env_.Src().System());
  std::vector<std::string> names;
  for (const VersionFile& f : top->files) names.push_back(f.name);
  EXPECT_EQ(names, (std::vector<std::string>{"a.b.doc", "big.txt", "file(0007).tar.gz", "noext",
                                             "report.doc"}));
  ASSERT_EQ(top->folders.size(), 1u);
  CVersionFolder* myFiles = top->folders.front().get();
  EXPECT_FALSE(myFiles->listed) << "listed when opened";
  VersionFile& report = top->files.back();
  ASSERT_EQ(report.versions.size(), 2u);
  EXPECT_TRUE(report.versions[0].current);
  EXPECT_EQ(report.versions[1].number, 7);
  EXPECT_EQ(report.versions[1].size, std::string("report seven").size());

  // The older report and the whole "My Files" folder, which was never opened.
  ChooseVersion(top, &report, 1);
  TickFolder(myFiles, true);
  EXPECT_EQ(FolderCheck(top), kCheckPartial);
  EXPECT_EQ(FileCheck(report), kCheckPartial) << "an older version is chosen";
  std::vector<RestoreChoice> choices = CollectChoices(*access, store_.separator, root.get());
  ASSERT_EQ(choices.size(), 4u);
  EXPECT_TRUE(myFiles->listed);
  bvtest::TempDir out;
  const Carried got = Carry(BuildSelection(store_, choices), store_, out.System(), false);
  EXPECT_EQ(got.calls, kFinished);
  std::map<std::string, std::string> expected = {{"report.doc", "report seven"}};
  for (const auto& [rel, content] : latest_)
    if (rel.rfind("My Files/", 0) == 0) expected[rel] = content;
  EXPECT_EQ(bvtest::FilesBelow(Out(out)), expected);

  // To the original places, one file under another name beside the current one.
  TickFolder(root.get(), false);
  ChooseVersion(top, &report, 0);
  choices = CollectChoices(*access, store_.separator, root.get());
  ASSERT_EQ(choices.size(), 1u);
  choices[0].restoreName = "report (restored).doc";
  WriteNative(srcNative_ + "/report.doc", "newer");
  EXPECT_EQ(Carry(BuildSelection(store_, choices), store_, "", false).calls, kFinished);
  EXPECT_EQ(bvtest::FilesBelow(srcNative_),
            (std::map<std::string, std::string>{{"report.doc", "newer"},
                                                {"report (restored).doc", "latest report"}}));

  // A search keeps the matching files with their versions and their folders.
  std::unique_ptr<CVersionFolder> found = SearchVersions(*access, store_, "*A*.TXT", nullptr);
  ASSERT_TRUE(found);
  std::vector<std::string> hits;
  std::vector<CVersionFolder*> stack{found.get()};
  while (!stack.empty()) {
    CVersionFolder* f = stack.back();
    stack.pop_back();
    for (const VersionFile& file : f->files) hits.push_back(file.name);
    for (auto& sub : f->folders) stack.push_back(sub.get());
  }
  std::sort(hits.begin(), hits.end());
  EXPECT_EQ(hits, (std::vector<std::string>{"a.txt", "ab.txt"}));
}

// A search lists names only and fetches sizes and dates of what it keeps:
// a search that keeps everything gives what listing every folder gives (the
// same files, versions, sizes and dates; a link to a file as that file;
// links to folders and pipes left out).
TEST_F(RestoreTest, SearchFindsWhatTheFullListingShows) {
  WriteStore();
  const std::string mine = storeNative_ + "/Latest/" + srcInStore_ + "/My Files/";
  fs::create_symlink(mine + "deep/er/ab.txt", mine + "link.txt");
  fs::create_directory_symlink(mine + "deep", mine + "folder link");
  ASSERT_EQ(mkfifo((mine + "pipe").c_str(), 0600), 0);
  fs::last_write_time(mine + "deep/er/a.txt",
                      fs::file_time_type::clock::now() - std::chrono::hours(48));
  std::unique_ptr<StoreAccess> access = MakeStoreAccess(store_);
  // Every file with its versions: path in the store, size, date.
  auto describe = [](CVersionFolder* root) {
    std::vector<std::string> out;
    std::vector<CVersionFolder*> stack{root};
    while (!stack.empty()) {
      CVersionFolder* f = stack.back();
      stack.pop_back();
      for (const VersionFile& file : f->files)
        for (const FileVersion& v : file.versions)
          out.push_back(file.name + " " + v.storePath + " " + std::to_string(v.size) + " " +
                        std::to_string(v.time) + (v.sized ? "" : " unsized"));
      for (auto& sub : f->folders) stack.push_back(sub.get());
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  std::unique_ptr<CVersionFolder> all = ListProtectedFolders(*access, store_);
  ASSERT_TRUE(all);
  std::vector<CVersionFolder*> stack{all.get()};
  while (!stack.empty()) {
    CVersionFolder* f = stack.back();
    stack.pop_back();
    ASSERT_TRUE(ListVersionFolder(*access, store_.separator, f));
    for (auto& sub : f->folders) stack.push_back(sub.get());
  }
  std::unique_ptr<CVersionFolder> found = SearchVersions(*access, store_, "*", nullptr);
  ASSERT_TRUE(found);
  const std::vector<std::string> listed = describe(all.get());
  EXPECT_EQ(describe(found.get()), listed);
  EXPECT_EQ(listed.size(), latest_.size() + revisions_.size() + 1) << "the link to a file";
  EXPECT_NE(std::find_if(listed.begin(), listed.end(),
                         [](const std::string& d) { return d.rfind("link.txt ", 0) == 0; }),
            listed.end());
}

TEST_F(RestoreTest, FillerOnMarkerOnlyOrMissingStore) {
  WriteNative(storeNative_ + "/Brevanto.dat", "");
  std::shared_ptr<CDirNode> root = List();
  ASSERT_TRUE(root);
  EXPECT_TRUE(root->children.empty());
  EXPECT_EQ(root->fileCount, 0u);
  EXPECT_EQ(CDirNodeCache::Instance().Count(), 1u);

  CDirNodeCache::Instance().Clear();
  store_.folder = ScratchEnv::OnE("no such store\\");
  Recorder rec;
  CRestoreFiller filler(&rec, store_);
  ASSERT_TRUE(Ran(filler));
  ASSERT_TRUE(filler.Root());
  EXPECT_TRUE(filler.Root()->children.empty());
  EXPECT_EQ(rec.Get().traces.size(), 1u);
  EXPECT_EQ(CDirNodeCache::Instance().Count(), 0u) << "an unlisted store is not kept";

  store_.folder.clear();
  CRestoreFiller none(&rec, store_);
  ASSERT_TRUE(Ran(none));
  EXPECT_FALSE(none.Root());
}

TEST_F(RestoreTest, FinderHidesNonMatchesAndReportsEveryNode) {
  WriteStore();
  std::shared_ptr<CDirNode> root = List();
  ASSERT_TRUE(root);

  Recorder rec;
  CRestoreFinder finder(&rec, root, store_, "*.DOC", true);
  ASSERT_TRUE(Ran(finder));
  EXPECT_EQ(rec.Get().calls, (std::vector<std::string>{"applied", "searched"}));
  std::vector<CDirNode*> shown = rec.Get().shown;
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
  ASSERT_TRUE(Ran(narrow));
  EXPECT_TRUE(quiet.Get().shown.empty());
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
  const Carried got = Carry(root, store_, out.System(), false);
  EXPECT_EQ(got.calls, kFinished);
  EXPECT_EQ(got.copied, latest_.size());
  EXPECT_EQ(bvtest::FilesBelow(Out(out)), latest_);
  EXPECT_FALSE(fs::exists(out.Native() + "/Revision"));

  const std::vector<RestoreProgress>& progress = got.progress;
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
  EXPECT_EQ(Carry(root, store_, revOut.System(), false).calls, kFinished);
  const std::map<std::string, std::string> expected = {
      {"report.doc", "report seven"},  {"a.b.doc", "two dots, two"},
      {"noext", "no extension three"}, {"file(0007).tar.gz", "tarball"},
      {"big.txt", "ten thousand"},  // revisions past 9999 have five digits
  };
  EXPECT_EQ(bvtest::FilesBelow(Out(revOut)), expected);
}

TEST_F(RestoreTest, RestoresToTheOriginalPlaceOverwritingWhatIsThere) {
  WriteStore();
  WriteNative(srcNative_ + "/report.doc", "changed since the backup, to be overwritten");
  WriteNative(srcNative_ + "/unrelated.txt", "stays");
  std::shared_ptr<CDirNode> root = List();
  ASSERT_TRUE(root);
  SetCheckState(Find(root.get(), "Latest"), kCheckAll);
  SetCheckState(Find(root.get(), "ab.txt"), kCheckNone);

  EXPECT_EQ(Carry(root, store_, "", false).calls, kFinished);
  std::map<std::string, std::string> expected = latest_;
  expected.erase("My Files/deep/er/ab.txt");
  expected["unrelated.txt"] = "stays";
  EXPECT_EQ(bvtest::FilesBelow(srcNative_), expected);
}

TEST_F(RestoreTest, MissingSourceDriveFailsBeforeAnyCopy) {
  WriteStore();
  WriteNative(storeNative_ + "/Latest/Q/lost/q.txt", "on a drive this machine lacks");
  std::shared_ptr<CDirNode> root = List();
  ASSERT_TRUE(root);
  SetCheckState(Find(root.get(), "Latest"), kCheckAll);

  const Carried got = Carry(root, store_, "", false);
  ASSERT_EQ(got.calls.size(), 2u);
  EXPECT_EQ(got.calls[0], "box:" + RestoreFailureText("MSG_ORIGINAL_FILE_IS_INVALID", "Q:"))
      << "the text names the drive after its colon";
  EXPECT_EQ(got.calls[1], "failed");
  EXPECT_TRUE(got.progress.empty());
  EXPECT_TRUE(bvtest::FilesBelow(srcNative_).empty());

  // Without a "Latest" folder there is no original place either.
  fs::remove_all(storeNative_ + "/Latest");
  EXPECT_EQ(Carry(List(), store_, "", true).Count("failed"), 1u);
  EXPECT_TRUE(bvtest::FilesBelow(srcNative_).empty());

  // Once the drive exists the same store restores.
  fs::remove_all(storeNative_);
  WriteStore();
  WriteNative(storeNative_ + "/Latest/Q/lost/q.txt", "on a drive this machine lacks");
  bvtest::TempDir q;
  env_.SetExtra("[Q]\nRoot=" + q.Native() + "\nType=fixed\nBus=none\n");
  root = List();
  SetCheckState(Find(root.get(), "Latest"), kCheckAll);
  EXPECT_EQ(Carry(root, store_, "", false).calls, kFinished);
  EXPECT_EQ(ReadNative(q.Native() + "/lost/q.txt"), "on a drive this machine lacks");
  EXPECT_EQ(bvtest::FilesBelow(srcNative_), latest_);
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
  ASSERT_TRUE(Ran(finder));

  const Carried carried = Carry(root, store_, "", true);
  EXPECT_EQ(carried.calls, kFinished);
  // The copy from the share is counted as failed, with the folder that
  // stands where a drive should be.
  EXPECT_EQ(carried.failures,
            std::vector<std::string>{storeNative_ + "/Latest/srv/share/x.doc|" +
                                     RestoreFailureText("MSG_ORIGINAL_FILE_IS_INVALID", "srv")});
  // Only the latest .doc copies: the revisions go to the same names, so the
  // last one written wins; check the set of names, not the contents.
  std::map<std::string, std::string> got = bvtest::FilesBelow(srcNative_);
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
  WriteNative(Out(out) + "/My Files", "in the way");

  const Carried got = Carry(root, store_, out.System(), false);
  EXPECT_EQ(got.calls, kFinished);
  EXPECT_EQ(got.failed, 3u);
  EXPECT_EQ(got.copied, latest_.size() - 3);
  ASSERT_EQ(got.traces.size(), 3u);
  EXPECT_NE(got.traces[0].find("My Files"), std::string::npos);
  // Each failure names the file where the user looks for it, and why.
  ASSERT_EQ(got.failures.size(), 3u);
  for (const std::string& f : got.failures) {
    EXPECT_EQ(f.rfind(Out(out) + "/My Files/", 0), 0u) << f;
    EXPECT_NE(f.find("|" + RestoreFailureText("MSG_CANNOT_COPY_FILE", "") + " "), std::string::npos)
        << "the reason follows the text's colon";
  }
  EXPECT_EQ(ReadNative(Out(out) + "/report.doc"), "latest report");
}

// Links: one in "Latest" pointing at a private file outside the store is
// never read (its restore fails and is traced), and one already standing in
// the chosen folder never sends restored files outside it.
TEST_F(RestoreTest, LinksInTheStoreAndBelowTheChosenFolderAreNeverFollowed) {
  WriteStore();
  bvtest::TempDir elsewhere;
  WriteNative(elsewhere.Native() + "/secret.txt", "not backed up");
  fs::create_symlink(elsewhere.Native() + "/secret.txt", LatestNative("leak.txt"));
  std::shared_ptr<CDirNode> root = List();
  ASSERT_TRUE(root);
  SetCheckState(Find(root.get(), "Latest"), kCheckAll);
  bvtest::TempDir out;
  fs::create_directories(Out(out));
  fs::create_directory_symlink(elsewhere.Native(), Out(out) + "/My Files");

  const Carried got = Carry(root, store_, out.System(), false);
  EXPECT_EQ(got.calls, kFinished);
  EXPECT_EQ(got.failed, 4u) << "the linked store file and the three files of My Files";
  EXPECT_EQ(got.copied, latest_.size() - 3);
  EXPECT_FALSE(fs::exists(Out(out) + "/leak.txt"));
  EXPECT_EQ(bvtest::FilesBelow(elsewhere.Native()),
            (std::map<std::string, std::string>{{"secret.txt", "not backed up"}}));
  EXPECT_EQ(ReadNative(Out(out) + "/report.doc"), "latest report");
}

TEST_F(RestoreTest, StopEndsAJobAtItsNextStep) {
  WriteStore();
  {
    StoppingRecorder rec;
    rec.stopOnRoot = true;
    CRestoreFiller filler(&rec, store_);
    rec.job = &filler;
    ASSERT_TRUE(Ran(filler));
    ASSERT_TRUE(filler.Root());
    EXPECT_TRUE(filler.Root()->children.empty()) << "no listing step after the stop";
    EXPECT_EQ(rec.Get().calls, (std::vector<std::string>{"root"}));
    EXPECT_EQ(CDirNodeCache::Instance().Count(), 0u);
    EXPECT_TRUE(filler.StopRequested());
  }
  std::shared_ptr<CDirNode> root = List();
  SetCheckState(root.get(), kCheckAll);
  bvtest::TempDir out;
  StoppingRecorder rec;
  CRestoreCarrier carrier(&rec, root, store_, out.System(), false);
  rec.job = &carrier;
  ASSERT_TRUE(Ran(carrier));
  EXPECT_EQ(rec.Get().progress.size(), 1u);
  EXPECT_EQ(carrier.FilesCopied(), 1u) << "the file announced is still copied";
  EXPECT_EQ(rec.Get().Count("finished"), 0u);
  EXPECT_EQ(bvtest::FilesBelow(out.Native()).size(), 1u);
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
  EXPECT_EQ(c.Get().Count("finished"), 1u);
  EXPECT_EQ(carrier->FilesCopied(), latest_.size() + revisions_.size() + 40);
}

TEST_F(RestoreTest, UnreachableFtpStoreEndsWithoutATree) {
  store_.storageType = kStorageFtp;
  store_.folder = "/backup/";
  store_.separator = '/';
  store_.ftp.server = "ftp.example.test";
  Recorder rec;
  CRestoreFiller filler(&rec, store_);
  ASSERT_TRUE(Ran(filler));
  EXPECT_FALSE(filler.Root()) << "the filler ends with no tree";
  ASSERT_EQ(rec.Get().traces.size(), 1u);
  EXPECT_NE(rec.Get().traces[0].find("ftp.example.test"), std::string::npos);

  auto root = std::make_shared<CDirNode>();
  root->path = "/backup/";
  root->isFolder = true;
  EXPECT_EQ(Carry(root, store_, "C:\\out", true).calls, std::vector<std::string>{"failed"});
}

// The store description comes from the plan's destination.
TEST_F(RestoreTest, StoreDescriptionComesFromThePlan) {
  PlanList list;
  bvtest::IdlePlan plan(&list);
  EXPECT_FALSE(GetRestoreStore(&plan, &store_)) << "no destination yet";
  PlanSettings s = ScratchEnv::Settings("Docs", "store");
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
  ScratchEnv env;
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
  std::shared_ptr<CDirNode> root = List(store);
  ASSERT_TRUE(root);
  ASSERT_EQ(root->fileCount, 2 * names.size());

  // The first versions, under their plain names below a chosen folder.
  SetCheckState(Find(root.get(), "Revision"), kCheckAll);
  bvtest::TempDir out;
  EXPECT_EQ(Carry(root, store, out.System(), false).calls, kFinished);
  for (const auto& name : names)
    EXPECT_EQ(ReadNative(out.Native() + env.Src().Native() + "/" + name), name + " v1") << name;

  // The latest versions, back where they came from.
  fs::remove_all(env.Src().Native());
  SetCheckState(root.get(), kCheckNone);
  SetCheckState(Find(root.get(), "Latest"), kCheckAll);
  EXPECT_EQ(Carry(root, store, "", false).calls, kFinished);
  for (const auto& name : names)
    EXPECT_EQ(ReadNative(env.Src().NativeOf(name)), name + " v2") << name;
}

}  // namespace
