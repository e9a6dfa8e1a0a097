// Target paths, revision names and patterns as tables; a store on E: listed and restored.
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>

#include "RestoreRun.h"
#include "common/Texts.h"
#include "history/VersionTree.h"
#include "support/ScratchEnv.h"

namespace fs = std::filesystem;
using bvtest::FilesBelow;
using bvtest::ReadNative;
using bvtest::ScratchEnv;
using bvtest::WriteNative;
using namespace restoretest;

namespace {

uid_t OwnerOf(const std::string& native) {
  struct stat st {};
  return lstat(native.c_str(), &st) == 0 ? st.st_uid : uid_t(-1);
}

CDirNode* AddNode(CDirNode* parent, const std::string& name, bool folder, uint64_t size = 0) {
  auto n = std::make_unique<CDirNode>();
  n->name = name;
  n->isFolder = folder;
  n->size = size;
  n->fileCount = folder ? 0 : 1;
  return parent->AddChild(std::move(n));
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
      {"E:\\S\\Revision\\C\\U\\a(0002).txt", "D:\\Out", "D:\\Out\\U\\a.txt", "D:\\Out\\U"},
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
  // Below a chosen folder, a path below a kept folder (the longest) starts at its name.
  const std::vector<std::string> keep = {"C:\\Users", "C:\\Users\\ann\\Docs\\", "Q:\\"};
  const std::pair<const char*, const char*> kept[] = {
      {"Latest\\C\\Users\\ann\\Docs\\a.txt", "D:\\Out\\Docs\\a.txt"},
      {"Revision\\C\\Users\\b(0002).txt", "D:\\Out\\Users\\b.txt"},
      {"Latest\\C\\Usersx\\c.txt", "D:\\Out\\Usersx\\c.txt"},
      {"Latest\\Q\\x\\d.txt", "D:\\Out\\Q\\x\\d.txt"},
      {"Latest\\C\\Users\\a.txt", "C:\\Users\\a.txt"},  // to the original place
  };
  std::string target, folder;
  for (const auto& [node, want] : kept) {
    const std::string chosen = want[0] == 'D' ? "D:\\Out" : "";
    ASSERT_TRUE(MakeRestoreTarget(std::string("E:\\S\\") + node, false, "E:\\S\\", chosen, &target,
                                  &folder, keep));
    EXPECT_EQ(target, want);
  }
  // a server store names its paths with '/'
  ASSERT_TRUE(
      MakeRestoreTarget("/bk/Revision/C/Users/r(0001).doc", false, "/bk/", "", &target, &folder));
  EXPECT_EQ(target, "C:\\Users\\r.doc");
}

// Natural order: digit runs by value, letters without case, then bytes.
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
      {"abcabd", "*a*b?", true},
      {"\xc3\xa4.txt", "?.TXT", true},
      {"Photo[1].JPG", "photo[?].jpg", true},
      {"ab.txt", "?.txt", false},
      {"report.docx", "*.doc", false},
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
      {"My Files/ä Übersicht.txt", "umlauts in the name"},
      {"My Files/deep/er/a.txt", std::string(300000, 'x')},
      {"My Files/deep/er/ab.txt", "ab"},
  };
  Files revisions_ = {
      {"report(0007).doc", "report seven"},  {"a.b(0002).doc", "two dots, two"},
      {"noext(0003)", "no extension three"}, {"file(0007).tar.gz", "tarball"},
      {"big(10000).txt", "ten thousand"},
  };
};

// Listed without its marker and searched; a stop at the root lists nothing.
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
  CDirNode* umlaut = Find(root.get(), "ä Übersicht.txt");
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
  // Restored over a private file, a copy open to all keeps it private.
  fs::permissions(Out(out) + "/report.doc", fs::perms(0600));
  fs::permissions(latestNative_ + "/report.doc", fs::perms(0666));
  EXPECT_EQ(Carry(root, store_, out.System(), false).copied, latest_.size());
  EXPECT_EQ(fs::status(Out(out) + "/report.doc").permissions(), fs::perms(0600));
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
  if (asRoot) {  // no link below the drive is followed: not in a folder, not the folder itself
    fs::remove_all(src + "/My Files/deep");
    fs::create_directory_symlink(elsewhere.Native(), src + "/My Files/deep");
    ASSERT_EQ(lchown((src + "/My Files/deep").c_str(), 65534, 65534), 0);  // the user's links
    EXPECT_EQ(Carry(root, store_, "", false).failed, 1u + 2u) << "x.doc and the two in deep";
    fs::rename(src, src + ".real");
    fs::create_directory_symlink(elsewhere.Native(), src);
    ASSERT_EQ(lchown(src.c_str(), 65534, 65534), 0);
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
  EXPECT_EQ(stopped.copied + stopped.failed, 0u) << "the file announced is left out, unfailed";
  EXPECT_EQ(std::count(stopped.calls.begin(), stopped.calls.end(), "finished"), 0);
  EXPECT_TRUE(FilesBelow(stopOut.Native()).empty()) << "nor its temporary file";
}

}  // namespace
