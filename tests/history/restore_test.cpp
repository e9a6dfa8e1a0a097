// The restore engine: target paths, revision names and patterns as tables;
// stores on E: and on loopback servers listed, searched and restored by jobs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/Texts.h"
#include "destinations/FtpDevice.h"
#include "history/RestoreJobs.h"
#include "history/RestoreTree.h"
#include "history/StoreAccess.h"
#include "history/VersionSearch.h"
#include "history/VersionTree.h"
#include "support/EndlessFtpServer.h"
#include "support/FtpRelay.h"
#include "support/FtpServer.h"
#include "support/ScopedEnv.h"
#include "support/ScratchEnv.h"
#include "support/SshServer.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using bvtest::FilesBelow;
using bvtest::ReadNative;
using bvtest::ScratchEnv;
using bvtest::WriteNative;
using Files = std::map<std::string, std::string>;
using Calls = std::vector<std::string>;

namespace {

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
Recorder Carry(const std::shared_ptr<CDirNode>& root, const RestoreStore& store,
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

std::shared_ptr<CDirNode> List(const RestoreStore& store, Recorder* rec = nullptr) {
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

uid_t OwnerOf(const std::string& native) {
  struct stat st {};
  return lstat(native.c_str(), &st) == 0 ? st.st_uid : uid_t(-1);
}

CDirNode* Find(CDirNode* root, const std::string& name) {
  CDirNode* found = nullptr;
  WalkTree(root, [&](CDirNode* n) { return n->name == name ? (found = n, false) : true; });
  return found;
}

CDirNode* AddNode(CDirNode* parent, const std::string& name, bool folder, uint64_t size = 0) {
  auto n = std::make_unique<CDirNode>();
  n->name = name;
  n->isFolder = folder;
  n->size = size;
  n->fileCount = folder ? 0 : 1;
  return parent->AddChild(std::move(n));
}

// Below the store folder native (ending in "/"), in the store's folder for
// source (e.g. "C/home/ann"), the folder "g": g.txt with revisions 1, 4 and
// 17 (numbers with gaps, as rotation by age leaves them), later.txt written
// after them and gone.txt, only a revision (deleted since). Times from kAt
// on, in whole minutes of the last days (a server's long listing gives no more).
const int64_t kAt =
    (std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) - 86400) / 60 * 60;
void WriteStoreWithGaps(const std::string& native, const std::string& source) {
  const struct {
    const char *tree, *name, *bytes;
    int64_t at;
  } files[] = {
      {"Revision", "g(0001).txt", "one", 60},        {"Revision", "g(0004).txt", "four!", 120},
      {"Revision", "g(0017).txt", "seventeen", 180}, {"Latest", "g.txt", "now", 240},
      {"Latest", "later.txt", "later", 600},         {"Revision", "gone(0002).txt", "gone", 0}};
  for (const auto& f : files) {
    const std::string path = native + f.tree + "/" + source + "/g/" + f.name;
    WriteNative(path, f.bytes);
    fs::last_write_time(path, fs::file_time_type::clock::from_sys(
                                  std::chrono::system_clock::from_time_t(kAt + f.at)));
  }
}

// Every version of g.txt lists in order and comes back byte for byte; the
// folder as it was at given times brings each file's version then and
// leaves out the files that did not exist yet.
void CheckStoreWithGaps(const RestoreStore& store) {
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
    for (const auto& [rel, bytes] : FilesBelow(out.Native()))
      files[rel.substr(rel.rfind('/') + 1)] = bytes;
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

TEST(RestoreTarget, LatestAndRevisionPathsMapBackToTheirSources) {
  ScratchEnv env;  // C: is "/", Q: is unknown
  const struct {
    const char *node, *chosen, *target, *folderToMake;  // target null: no target
    bool folder = false;
  } cases[] = {
      {"E:\\S\\Latest\\C\\Users\\a.txt", "", "C:\\Users\\a.txt", "C:\\Users"},
      {"E:\\S\\Revision\\D\\x\\file(0007)", "", "D:\\x\\file", "D:\\x"},
      {"E:\\S\\Revision\\D\\x\\r.(0002)", "", "D:\\x\\r.", "D:\\x"},
      {"E:\\S\\Revision\\D\\x(0001)", "", "D:\\x(0001)", "D:\\x(0001)", true},
      {"E:\\S\\Latest\\D\\r(0001).txt", "", "D:\\r(0001).txt", "D:"},
      // Below a chosen folder: no drive level for a drive known here.
      {"E:\\S\\Revision\\C\\Users\\a(0002).txt", "D:\\Out", "D:\\Out\\Users\\a.txt",
       "D:\\Out\\Users"},
      {"E:\\S\\Latest\\C\\Users", "D:\\Out\\", "D:\\Out\\Users", "D:\\Out\\Users", true},
      {"E:\\S\\Latest\\C", "D:\\Out", "D:\\Out", "D:\\Out", true},
      {"E:\\S\\Latest\\Q\\x\\a.txt", "D:\\Out", "D:\\Out\\Q\\x\\a.txt", "D:\\Out\\Q\\x"},
      {"E:\\S\\Latest\\C", "", "C:", "C:", true},
      {"E:\\S\\Latest\\\\\\srv\\share\\a.txt", "", nullptr, nullptr},
      {"E:\\S\\Latest\\Cx\\a.txt", "", nullptr, nullptr},
      {"E:\\S\\Latest", "", nullptr, nullptr, true},
      {"E:\\S\\Latest\\7\\a.txt", "", nullptr, nullptr},
      {"E:\\Other\\Latest\\C\\a.txt", "", nullptr, nullptr},
      {"E:\\S\\latest\\C\\a.txt", "D:\\Out", "D:\\Out\\latest\\C\\a.txt", "D:\\Out\\latest\\C"},
      {"E:\\S\\Latestfoo\\a.txt", "D:\\Out", "D:\\Out\\Latestfoo\\a.txt", "D:\\Out\\Latestfoo"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.node);
    std::string target = "?", folder = "?";
    ASSERT_EQ(MakeRestoreTarget(c.node, c.folder, "E:\\S\\", c.chosen, &target, &folder),
              c.target != nullptr)
        << target;
    if (c.target == nullptr) continue;
    EXPECT_EQ(target, c.target);
    EXPECT_EQ(folder, c.folderToMake);
  }
  // Below a chosen folder, a path below a kept folder (the longest; never a
  // drive root) starts at that folder's name; the original places ignore them.
  const std::vector<std::string> keep = {"C:\\Users", "C:\\Users\\ann\\Docs\\", "Q:\\"};
  const std::pair<const char*, const char*> kept[] = {
      {"Latest\\C\\Users\\ann\\Docs\\a.txt", "D:\\Out\\Docs\\a.txt"},
      {"Revision\\C\\Users\\b(0002).txt", "D:\\Out\\Users\\b.txt"},
      {"Latest\\C\\Usersx\\c.txt", "D:\\Out\\Usersx\\c.txt"},
      {"Latest\\Q\\x\\d.txt", "D:\\Out\\Q\\x\\d.txt"},
  };
  for (const auto& [node, want] : kept) {
    std::string target, folder;
    ASSERT_TRUE(MakeRestoreTarget(std::string("E:\\S\\") + node, false, "E:\\S\\", "D:\\Out",
                                  &target, &folder, keep));
    EXPECT_EQ(target, want);
  }
  std::string target, folder;
  ASSERT_TRUE(MakeRestoreTarget("E:\\S\\Latest\\C\\Users\\a.txt", false, "E:\\S\\", "", &target,
                                &folder, keep));
  EXPECT_EQ(target, "C:\\Users\\a.txt");
  // a server store names its paths with '/'
  ASSERT_TRUE(
      MakeRestoreTarget("/bk/Revision/C/Users/r(0001).doc", false, "/bk/", "", &target, &folder));
  EXPECT_EQ(target, "C:\\Users\\r.doc");
}

// Revision names; natural order (digit runs by value, letters without case,
// then bytes); search patterns over the whole name, '?' one character.
TEST(RestoreNames, RevisionNamesNaturalOrderAndPatterns) {
  const struct {
    const char* name;
    const char* file;  // nullptr: not a revision name
    int64_t number;
  } cases[] = {
      {"report(0007).doc", "report.doc", 7}, {"noext(0003)", "noext", 3},
      {"a.b(0002).doc", "a.b.doc", 2},       {"x(12)(0003).txt", "x(12).txt", 3},
      {"file(0007).tar.gz", nullptr, 0},     {"big(10000).txt", "big.txt", 10000},
      {"big(01000).txt", nullptr, 0},        {"zero(0000).txt", nullptr, 0},
      {"abc(00x1).txt", nullptr, 0},         {"plain.txt", nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file;
    int64_t n = 0;
    ASSERT_EQ(ParseRevisionName(c.name, &file, &n), c.file != nullptr);
    if (c.file == nullptr) continue;
    EXPECT_EQ(file, c.file);
    EXPECT_EQ(n, c.number);
  }
  const std::string longRun = "a" + std::string(256, '1'), shorterRun = "a" + std::string(255, '9');
  const std::pair<std::string, std::string> ordered[] = {
      {"x1b", "x12a"},   {shorterRun, longRun}, {"n-1", "n1"},       {"n1", "n:1"},
      {"X1B", "x1b"},    {"x007", "x7"},        {"abc", "abd"},      {"B", "b"},
      {"z", "\xc3\xa9"}, {"b9", "B9(0001)"},    {"B9(0001)", "b10"}, {"x06.txt", "x7"},
  };
  for (const auto& [less, more] : ordered) {
    EXPECT_TRUE(NaturalLess(less, more)) << less.substr(0, 12) << " < " << more.substr(0, 12);
    EXPECT_FALSE(NaturalLess(more, less)) << more.substr(0, 12) << " !< " << less.substr(0, 12);
  }
  EXPECT_FALSE(NaturalLess("same", "same"));
  const std::tuple<const char*, const char*, bool> patterns[] = {
      {"report.doc", "*.DOC", true},
      {"a.txt", "?.txt", true},
      {"", "", true},
      {"abcabd", "*a*b?", true},
      {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*a*b", true},
      {"\xc3\xa4.txt", "?.TXT", true},
      {"Photo[1].JPG", "photo[?].jpg", true},
      {"ab.txt", "?.txt", false},
      {"report.docx", "*.doc", false},
      {"my report.doc", "report", false},
      {"abcabc", "*a*bd", false},
      {"\xc3\xa4.txt", "\xc3\x84.txt", false},
  };
  for (const auto& [name, pattern, match] : patterns)
    EXPECT_EQ(MatchSearchPattern(name, pattern), match) << name << " / " << pattern;
}

// A tree 200,000 deep is totalled, ticked, searched and freed without recursion.
TEST(RestoreTree, DeepTreesNeedNoRecursion) {
  auto deep = std::make_unique<CDirNode>();
  deep->isFolder = true;
  CDirNode* at = deep.get();
  for (int i = 0; i < 200000; ++i) at = AddNode(at, "d", i + 1 < 200000, i + 1 < 200000 ? 0 : 5);
  ComputeTotals(deep.get());
  EXPECT_EQ(deep->size, 5u);
  SetCheckState(at, kCheckAll);
  EXPECT_EQ(deep->checkState, kCheckAll);
  EXPECT_EQ(SelectedSize(deep.get()), 5u);
  EXPECT_TRUE(ApplySearch(deep.get(), "x", nullptr));
  EXPECT_EQ(SelectedSize(deep.get()), 0u) << "hidden nodes are never selected";
  deep.reset();  // must not overflow the stack
}

// A store on E: written by hand, for sources in the environment's folder.
class RestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CDirNodeCache::Instance().Clear();
    std::string inStore = env_.Src().System().substr(0, 1) + env_.Src().System().substr(2);
    std::replace(inStore.begin(), inStore.end(), '\\', '/');
    latestNative_ = env_.Store().NativeOf("store/Latest/" + inStore);
    WriteNative(env_.Store().NativeOf("store/Brevanto.dat"), "");
    for (const auto& [rel, content] : latest_) WriteNative(latestNative_ + "/" + rel, content);
    for (const auto& [rel, content] : revisions_)
      WriteNative(env_.Store().NativeOf("store/Revision/" + inStore + "/" + rel), content);
    store_.planId = 77;
    store_.storageType = kStorageLocal;
    store_.folder = ScratchEnv::OnE("store\\");
  }
  void TearDown() override { CDirNodeCache::Instance().Clear(); }
  // Where the sources land below a chosen folder: their own folders.
  std::string Out(const bvtest::TempDir& out) { return out.Native() + env_.Src().Native(); }

  ScratchEnv env_;
  std::string latestNative_;
  RestoreStore store_;
  Files latest_ = {
      {"report.doc", "latest report"},
      {"a.b.doc", "two dots"},
      {"noext", std::string("\0binary\xff", 8)},
      {"My Files/\xc3\xa4 \xc3\x9c"
       "bersicht.txt",
       "umlauts in the name"},
      {"My Files/deep/er/a.txt", std::string(300000, 'x')},
      {"My Files/deep/er/ab.txt", "ab"},
  };
  Files revisions_ = {
      {"report(0007).doc", "report seven"},  {"a.b(0002).doc", "two dots, two"},
      {"noext(0003)", "no extension three"}, {"file(0007).tar.gz", "tarball"},
      {"big(10000).txt", "ten thousand"},
  };
};

// A store is listed without its marker and searched; a stop at the root lists
// nothing; revision numbers with gaps; a missing store gives a trace.
TEST_F(RestoreTest, ListingAndSearchingAStore) {
  Recorder rec;
  std::shared_ptr<CDirNode> root = List(store_, &rec);
  ASSERT_TRUE(root);
  EXPECT_EQ(rec.calls, (Calls{"root", "refresh", "refresh"}));
  EXPECT_EQ(root->path, "E:\\store\\");
  EXPECT_EQ(Find(root.get(), "Brevanto.dat"), nullptr);
  ASSERT_EQ(root->children.size(), 2u);  // Latest and Revision
  uint64_t bytes = 0;
  for (const auto& files : {latest_, revisions_})
    for (const auto& [rel, content] : files) bytes += content.size();
  EXPECT_EQ(root->fileCount, latest_.size() + revisions_.size());
  EXPECT_EQ(root->size, bytes);
  CDirNode* umlaut = Find(root.get(),
                          "\xc3\xa4 \xc3\x9c"
                          "bersicht.txt");
  ASSERT_NE(umlaut, nullptr);
  EXPECT_EQ(umlaut->path, "E:\\store\\Latest\\" + env_.Src().System().substr(0, 1) +
                              env_.Src().System().substr(2) + "\\My Files\\" + umlaut->name);
  EXPECT_EQ(umlaut->parent->fileCount, 3u);
  EXPECT_EQ(CDirNodeCache::Instance().Get(77), root);

  Recorder found;
  CRestoreFinder finder(&found, root, store_, "*.DOC", true);
  ASSERT_EQ(finder.Begin(), 0);
  finder.Wait();
  EXPECT_EQ(found.calls, (Calls{"applied", "searched"}));
  EXPECT_EQ(root->fileCount, 4u) << "report.doc, a.b.doc and their revisions";
  CDirNodeCache::Instance().Clear();
  EXPECT_EQ(root->children.size(), 2u) << "holders keep a tree the cache dropped";

  Recorder stopped;
  stopped.stopOnRoot = true;
  ASSERT_TRUE(List(store_, &stopped));
  EXPECT_EQ(stopped.calls, Calls{"root"});

  const std::string latestTree = env_.Store().NativeOf("store/Latest/");
  WriteStoreWithGaps(env_.Store().NativeOf("store/"), latestNative_.substr(latestTree.size()));
  CheckStoreWithGaps(store_);

  fs::remove_all(env_.Store().NativeOf("store/Latest"));
  fs::remove_all(env_.Store().NativeOf("store/Revision"));
  root = List(store_);
  ASSERT_TRUE(root);
  EXPECT_TRUE(root->children.empty());
  CDirNodeCache::Instance().Clear();
  store_.folder = ScratchEnv::OnE("no such store\\");
  Recorder missing;
  root = List(store_, &missing);
  ASSERT_TRUE(root);
  EXPECT_TRUE(root->children.empty());
  EXPECT_EQ(missing.traces.size(), 1u);
  EXPECT_EQ(CDirNodeCache::Instance().Count(), 0u) << "an unlisted store is not kept";
  store_.folder.clear();
  EXPECT_FALSE(List(store_));
}

// Checked files land byte for byte in a chosen folder or their original places
// (a share's copy fails); links never lead out; a stop ends after its file.
TEST_F(RestoreTest, RestoresWhereAskedNeverThroughLinksAndStops) {
  bvtest::TempDir elsewhere;
  WriteNative(elsewhere.Native() + "/secret.txt", "not backed up");
  fs::create_symlink(elsewhere.Native() + "/secret.txt", latestNative_ + "/leak.txt");
  std::shared_ptr<CDirNode> root = List(store_);
  ASSERT_TRUE(root);
  SetCheckState(Find(root.get(), "Latest"), kCheckAll);
  bvtest::TempDir out;
  Recorder got = Carry(root, store_, out.System(), false);
  EXPECT_EQ(got.calls, Calls{"finished"});
  EXPECT_EQ(got.copied, latest_.size());
  EXPECT_EQ(got.failed, 1u) << "the linked store file";
  EXPECT_EQ(FilesBelow(Out(out)), latest_);
  ASSERT_EQ(got.progress.size(), latest_.size() + 1);
  EXPECT_TRUE(std::is_sorted(got.progress.begin(), got.progress.end(),
                             [](auto& a, auto& b) { return a.percent < b.percent; }));
  bvtest::TempDir linked;  // "My Files" in the chosen folder is a link elsewhere
  fs::create_directories(Out(linked));
  fs::create_directory_symlink(elsewhere.Native(), Out(linked) + "/My Files");
  got = Carry(root, store_, linked.System(), false);
  EXPECT_EQ(got.failed, 4u) << "the linked store file and the three files of My Files";
  size_t inMyFiles = 0;
  for (const std::string& f : got.failures)
    inMyFiles +=
        f.rfind(Out(linked) + "/My Files/", 0) == 0 &&
        f.find("|" + RestoreFailureText("MSG_CANNOT_COPY_FILE", "") + " ") != std::string::npos;
  EXPECT_EQ(inMyFiles, 3u) << testing::PrintToString(got.failures);
  EXPECT_EQ(FilesBelow(elsewhere.Native()), (Files{{"secret.txt", "not backed up"}}));
  fs::remove(latestNative_ + "/leak.txt");

  const std::string src = env_.Src().Native();
  WriteNative(src + "/report.doc", "changed since the backup, to be overwritten");
  WriteNative(src + "/unrelated.txt", "stays");
  const bool asRoot = geteuid() == 0;  // root restores the user's files as the user's
  ASSERT_TRUE(!asRoot || chown(src.c_str(), 65534, 65534) == 0);
  // A copy of a file from a share ("\\srv\share" lost its separators).
  WriteNative(env_.Store().NativeOf("store/Latest/srv/share/x.doc"), "from a share");
  WriteNative(env_.Store().NativeOf("store/Latest/Q/lost/q.txt"), "on a drive this machine lacks");
  bvtest::TempDir q;
  env_.SetExtra("[Q]\nRoot=" + q.Native() + "\nType=fixed\nBus=none\n");
  root = List(store_);
  SetCheckState(Find(root.get(), "Latest"), kCheckAll);
  got = Carry(root, store_, "", false);
  EXPECT_EQ(got.calls, Calls{"finished"});
  EXPECT_EQ(got.failures, Calls{env_.Store().NativeOf("store/Latest/srv/share/x.doc") + "|" +
                                RestoreFailureText("MSG_ORIGINAL_FILE_IS_INVALID", "srv")});
  EXPECT_EQ(ReadNative(q.Native() + "/lost/q.txt"), "on a drive this machine lacks");
  Files now = FilesBelow(src);
  EXPECT_EQ(now["unrelated.txt"], "stays");
  EXPECT_EQ(now["report.doc"], "latest report");
  EXPECT_EQ(now.size(), latest_.size() + 1);
  for (const char* rel : {"report.doc", "My Files/deep", "My Files/deep/er/a.txt"})
    EXPECT_EQ(OwnerOf(src + "/" + rel), asRoot ? 65534u : geteuid()) << rel;
  if (asRoot) {  // root follows no link of the user's: not in a folder, not the folder itself
    fs::remove_all(src + "/My Files/deep");
    fs::create_directory_symlink(elsewhere.Native(), src + "/My Files/deep");
    EXPECT_EQ(Carry(root, store_, "", false).failed, 1u + 2u) << "x.doc and the two in deep";
    fs::rename(src, src + ".real");
    fs::create_directory_symlink(elsewhere.Native(), src);
    EXPECT_EQ(Carry(root, store_, "", false).failed, 1u + latest_.size());
    fs::remove(src);
    fs::rename(src + ".real", src);
    EXPECT_EQ(FilesBelow(elsewhere.Native()), (Files{{"secret.txt", "not backed up"}}));
  }

  fs::remove_all(env_.Store().NativeOf("store/Latest"));  // no original place at all
  got = Carry(List(store_), store_, "", true);
  EXPECT_EQ(std::count(got.calls.begin(), got.calls.end(), "failed"), 1);

  root = List(store_);
  SetCheckState(root.get(), kCheckAll);
  bvtest::TempDir stopOut;
  const Recorder stopped = Carry(root, store_, stopOut.System(), false, /*stopOnFile=*/true);
  EXPECT_EQ(stopped.progress.size(), 1u);
  EXPECT_EQ(stopped.copied, 1u) << "the file announced is still copied";
  EXPECT_EQ(std::count(stopped.calls.begin(), stopped.calls.end(), "finished"), 0);
  EXPECT_EQ(FilesBelow(stopOut.Native()).size(), 1u);
}

const Files kStore = {{"Brevanto.dat", ""},
                      {"Latest/C/home/ann/doc.txt", "newest words"},
                      {"Latest/C/home/ann/sub dir/\xc3\xbc.bin", std::string(200000, 'x')},
                      {"Revision/C/home/ann/old(0001).txt", "older words"}};
const Files kRestored = {{"doc.txt", "newest words"},
                         {"kept.txt", "private words"},
                         {"old.txt", "older words"},
                         {"sub dir/\xc3\xbc.bin", std::string(200000, 'x')}};

TEST(FtpRestore, ListsAndDownloadsAServerStoreAndNamesWhatFails) {
  for (const std::string kind : {"ftp", "ftps", "sftp"}) {
    SCOPED_TRACE(kind);
    std::unique_ptr<bvtest::FtpServer> ftp;
    std::unique_ptr<bvtest::SshServer> ssh;
    std::unique_ptr<bvtest::ScopedEnv> home;
    RestoreStore where;
    where.planId = 7;
    where.storageType = kStorageFtp;
    where.separator = '/';
    std::string native;  // the store folder
    if (kind == "sftp") {
      ssh = std::make_unique<bvtest::SshServer>();
      if (!ssh->Ok()) GTEST_SKIP() << ssh->Reason();
      home = std::make_unique<bvtest::ScopedEnv>("HOME", ssh->ClientHome());
      native = ssh->Home() + "/ss";
      where.folder = native + "/";
      where.ftp = ssh->Settings("ss/");
    } else {
      ftp = std::make_unique<bvtest::FtpServer>(/*tls=*/kind == "ftps");
      if (!ftp->Ok()) GTEST_SKIP() << ftp->Reason();
      native = ftp->NativeOf("/bvuser/rs");
      where.folder = "/bvuser/rs/";
      where.ftp = ftp->Settings("rs/");
    }
    for (const auto& [rel, bytes] : kStore) WriteNative(native + "/" + rel, bytes);
    const auto written = fs::file_time_type::clock::from_sys(
        std::chrono::system_clock::from_time_t(1765000000));  // restored with the file
    fs::last_write_time(native + "/Latest/C/home/ann/doc.txt", written);
    fs::permissions(native + "/Latest/C/home/ann/doc.txt", fs::perms(0600));  // comes back so
    if (ftp) {
      for (const auto& e : fs::recursive_directory_iterator(ftp->NativeOf("/bvuser")))
        EXPECT_EQ(chown(e.path().c_str(), 65534, 65534), 0);
    }
    if (kind == "ftps") {  // a self-signed key: nothing is listed until the plan pins it
      EXPECT_FALSE(List(where));
      FtpSession probe;
      probe.SetOptions(FtpSessionOptionsOf(where.ftp));
      where.ftp.pinnedKey = probe.ProbeKey(3000);
      ASSERT_EQ(where.ftp.pinnedKey.rfind("sha256//", 0), 0u);
    }

    // A private file of 2019 backed up keeps its mode and time on the server:
    // the listing's version says that time, and the restore gives both back.
    bvtest::TempDir source;
    const int64_t kOld = 1552645800;  // 2019-03-15 10:30:00 UTC
    WriteNative(source.NativeOf("kept.txt"), "private words");
    fs::permissions(source.NativeOf("kept.txt"), fs::perms(0600));
    fs::last_write_time(
        source.NativeOf("kept.txt"),
        fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(kOld)));
    {
      FtpSession up;
      up.SetOptions(FtpSessionOptionsOf(where.ftp));
      uint32_t error = 1;
      ASSERT_EQ(up.Upload(source.System() + "\\kept.txt",
                          where.folder + "Latest/C/home/ann/kept.txt", 10000, &error),
                FtpSession::kDone);
      EXPECT_EQ(error, 0u);
    }
    {
      std::unique_ptr<StoreAccess> access = MakeStoreAccess(where);
      std::string failure;
      ASSERT_TRUE(access->Reach(&failure)) << failure;
      std::unique_ptr<CVersionFolder> tree = ListProtectedFolders(*access, where);
      ASSERT_TRUE(tree);
      TickFolder(tree.get(), true);
      const std::vector<RestoreChoice> choices = CollectChoices(*access, '/', tree.get());
      const auto kept = std::find_if(choices.begin(), choices.end(), [](const RestoreChoice& c) {
        return c.fileName == "kept.txt";
      });
      ASSERT_NE(kept, choices.end());
      EXPECT_EQ(kept->version.time, kOld)
          << "an unchanged file in place is not newer than its copy";
    }

    Recorder listing;
    std::shared_ptr<CDirNode> root = List(where, &listing);
    ASSERT_TRUE(root) << testing::PrintToString(listing.traces);
    EXPECT_EQ(Find(root.get(), "Brevanto.dat"), nullptr) << "the marker is not a backed-up file";
    EXPECT_EQ(root->fileCount, 4u);
    const CDirNode* doc = Find(root.get(), "doc.txt");
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(doc->path, where.folder + "Latest/C/home/ann/doc.txt");
    EXPECT_EQ(doc->size, 12u);
    EXPECT_TRUE(Find(root.get(), "sub dir")->isFolder);
    bvtest::TempDir out;
    Recorder carried;
    {
      // Downloads land beside their targets: a temporary folder without room is no matter.
      const bvtest::ScopedEnv noTemp("TMPDIR", out.NativeOf("no such folder"));
      carried = Carry(root, where, out.System(), /*all=*/true);
    }
    EXPECT_EQ(carried.calls, Calls{"finished"}) << testing::PrintToString(carried.traces);
    Files restored;
    for (const auto& [rel, bytes] : FilesBelow(out.Native()))
      restored[rel.substr(rel.find("home/ann/") + 9)] = bytes;
    EXPECT_EQ(restored, kRestored);
    EXPECT_EQ(fs::last_write_time(out.Native() + "/home/ann/doc.txt"), written);
    EXPECT_EQ(fs::status(out.Native() + "/home/ann/doc.txt").permissions(), fs::perms(0600));
    EXPECT_EQ(fs::status(out.Native() + "/home/ann/old.txt").permissions(), fs::perms(0644));
    EXPECT_EQ(fs::status(out.Native() + "/home/ann/kept.txt").permissions(), fs::perms(0600));
    EXPECT_EQ(fs::last_write_time(out.Native() + "/home/ann/kept.txt"),
              fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(kOld)));

    WriteStoreWithGaps(native + "/", "C/home/ann");
    CheckStoreWithGaps(where);

    if (kind == "sftp") {  // a new host key: nothing is listed
      ASSERT_TRUE(ssh->ChangeHostKey());
      Recorder refused;
      EXPECT_FALSE(List(where, &refused));
      const std::string said = testing::PrintToString(refused.traces);
      EXPECT_NE(said.find("sftp://127.0.0.1"), std::string::npos) << said;
      EXPECT_NE(said.find(GetText("DIALOG_RESTORE", "MSG_SERVER_KEY_CHANGED")), std::string::npos)
          << said;
      continue;
    }
    if (kind == "ftps") continue;
    // A file that vanished since the listing and a transfer cut short fail the
    // restore, each in its own words, and leave nothing behind.
    fs::remove(native + "/Latest/C/home/ann/doc.txt");
    bvtest::FtpRelay relay(ftp->Port(), 64 << 10);
    relay.SetFault(bvtest::FtpRelay::Fault::kCutData);
    RestoreStore cut = where;
    cut.ftp.port = relay.Port();
    bvtest::TempDir again;
    const Recorder failing = Carry(root, cut, again.System(), /*all=*/true);
    EXPECT_EQ(failing.calls, (Calls{"failed", "failed", "finished"}))
        << testing::PrintToString(failing.traces);
    EXPECT_EQ(failing.failed, 2u);
    const std::string reasons = testing::PrintToString(failing.failures);
    for (const char* reason : {"REASON_2", "REASON_64"})
      EXPECT_NE(reasons.find(GetText("DIALOG_RESTORE", reason)), std::string::npos) << reasons;
    EXPECT_EQ(FilesBelow(again.Native()).size(), 2u) << "old.txt and kept.txt, no partial file";
    const struct {
      const char* what;
      std::string password, folder, argument;
    } cases[] = {
        {"wrong password", "wrong", "/bvuser/rs/", "127.0.0.1"},
        {"missing folder", ftp->kPassword, "/bvuser/none/", "/bvuser/none/"},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      RestoreStore bad = where;
      bad.ftp.password = c.password;
      bad.folder = c.folder;
      Recorder t;
      EXPECT_FALSE(List(bad, &t));
      const std::string said = testing::PrintToString(t.traces);
      EXPECT_NE(said.find(c.argument), std::string::npos) << said;
      EXPECT_NE(said.find("FTP"), std::string::npos) << said;
    }
  }
}

// A server nesting folders without end: the chain of single folders and the
// walk below ticked folders end at their limits; a stopped walk ends at once.
TEST(FtpRestore, FoldersWithoutEndAreWalkedWithinLimits) {
  auto storeAt = [](uint16_t port) {
    RestoreStore store;
    store.storageType = kStorageFtp;
    store.separator = '/';
    store.folder = "/s/";
    store.ftp.server = "127.0.0.1";
    store.ftp.port = port;
    store.ftp.user = "ann";
    store.ftp.security = kFtpPlain;  // the hostile server speaks no TLS
    return store;
  };
  for (const bool wide : {false, true}) {
    SCOPED_TRACE(wide);
    bvtest::EndlessFtpServer server(wide);
    ASSERT_TRUE(server.Ok());
    const RestoreStore store = storeAt(server.Port());
    std::unique_ptr<StoreAccess> access = MakeStoreAccess(store);
    std::string failure;
    ASSERT_TRUE(access->Reach(&failure)) << failure;
    const WalkLimits limits{wide ? 1000 : 20, 60};
    std::unique_ptr<CVersionFolder> folders = ListProtectedFolders(*access, store, nullptr, limits);
    ASSERT_TRUE(folders);
    ASSERT_EQ(folders->folders.size(), wide ? 2u : 1u);  // drives A: and B:, or D:
    TickFolder(folders.get(), true);
    for (const int32_t stop : {1, 0}) {
      const std::atomic<int32_t> flag{stop};
      PendingChoices pending = TakeChoices(folders.get());
      const int before = server.Listings();
      WalkProgress last;
      const WalkEnd end = FinishChoices(*access, store, &pending, &flag, limits,
                                        [&](const WalkProgress& p) { last = p; });
      EXPECT_EQ(end, stop ? WalkEnd::kStopped : wide ? WalkEnd::kTooMany : WalkEnd::kTooDeep);
      EXPECT_LE(server.Listings() - before, 2 * 60);
      if (!stop && wide) {
        EXPECT_EQ(last.files, last.folders + 3) << "one f.txt in each";
      }
    }
  }
  // A server that goes mute: a stopped job does not wait for its answer.
  bvtest::EndlessFtpServer server(true);
  bvtest::FtpRelay mute(server.Port());
  mute.SetFault(bvtest::FtpRelay::Fault::kMute);
  Recorder quiet;
  CChoiceCollector job(&quiet, storeAt(mute.Port()), {});
  ASSERT_EQ(job.Begin(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto stopped = std::chrono::steady_clock::now();
  job.Stop();
  job.Wait();
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(1));
}

}  // namespace
