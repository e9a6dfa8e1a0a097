// The shared file-operation suite (see destination_suite.h). The kinds
// instantiate it in their own test files.
#include "destination_suite.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "destinations/DestinationFactory.h"
#include "platform/Errors.h"
#include "platform/FaultSeam.h"

namespace fs = std::filesystem;

namespace {

std::string Backslashes(std::string s) {
  std::replace(s.begin(), s.end(), '/', '\\');
  return s;
}

class LocalWorld : public DestinationWorld {
 public:
  explicit LocalWorld(int32_t storageType) : dest_(CreateDestination(nullptr, storageType)) {
    if (!dest_) return;
    PlanSettings settings;
    settings.storePath = store_.System() + "\\";
    dest_->Configure(settings);
    dest_->Prepare(true);
  }
  bool Ok() const { return dest_ != nullptr; }
  CDestination& Dest() override { return *dest_; }
  std::string PathOf(const std::string& rel) const override {
    return dest_->GetRootPath() + Backslashes(rel);
  }
  std::string NativeOf(const std::string& rel) const override { return store_.NativeOf(rel); }

 private:
  bvtest::TempDir store_;
  std::unique_ptr<CDestination> dest_;
};

// Names of the entries of a native folder.
std::set<std::string> Entries(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.insert(e.path().filename());
  return names;
}

bool OwnerWritable(const std::string& native) {
  struct stat st {};
  return stat(native.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) != 0;
}

void MakeReadOnly(const std::string& native) {
  fs::permissions(native, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
}

}  // namespace

DestinationKind LocalKind(const std::string& name, int32_t storageType) {
  DestinationKind kind;
  kind.name = name;
  kind.make = [storageType]() -> std::unique_ptr<DestinationWorld> {
    auto world = std::make_unique<LocalWorld>(storageType);
    if (!world->Ok()) return nullptr;
    return world;
  };
  return kind;
}

std::string KindName(const testing::TestParamInfo<DestinationKind>& info) {
  return info.param.name;
}

void DestinationWorld::Put(const std::string& rel, const std::string& content) {
  bvtest::WriteNative(NativeOf(rel), content);
}

void DestinationSuite::SetUp() {
  if (GetParam().unavailable) {
    const std::string reason = GetParam().unavailable();
    if (!reason.empty()) GTEST_SKIP() << reason;
  }
  world_ = GetParam().make();
  ASSERT_NE(world_, nullptr) << "the factory made no destination of this kind";
}

void DestinationSuite::TearDown() { plat::fault::Disarm(); }

std::string DestinationSuite::Source(const std::string& rel, const std::string& content) {
  world_->Sources().Write(rel, content);
  return world_->Sources().SystemOf(rel);
}

void DestinationSuite::Put(const std::string& rel, const std::string& content) {
  world_->Put(rel, content);
}

std::string DestinationSuite::Get(const std::string& rel) const {
  return bvtest::ReadNative(NativeOf(rel));
}

bool DestinationSuite::Exists(const std::string& rel) const {
  return fs::exists(fs::symlink_status(NativeOf(rel)));
}

// Folders above a file (the file itself not made), copies that create and
// overwrite, and failed copies that report and leave the target alone.
TEST_P(DestinationSuite, FoldersAndCopies) {
  EXPECT_EQ(Dest().CreateFolders(PathOf("a/b/c/f.txt")), kDestOk);
  EXPECT_TRUE(fs::is_directory(NativeOf("a/b/c")));
  EXPECT_FALSE(Exists("a/b/c/f.txt"));
  EXPECT_EQ(Dest().CreateFolders(PathOf("a/b/c/g.txt")), kDestOk);  // existing: no error
  EXPECT_EQ(Dest().CreateFolders(""), kDestMissingArgument);

  const std::string one = Source("one.txt", "first contents");
  ASSERT_EQ(Dest().CreateFolders(PathOf("x/f.txt")), kDestOk);
  EXPECT_EQ(Dest().CopyFile(one, PathOf("x/f.txt")), kDestOk);
  EXPECT_EQ(Get("x/f.txt"), "first contents");
  EXPECT_TRUE(Dest().FileExists(PathOf("x/f.txt")));
  EXPECT_EQ(Dest().CopyFile(Source("two.txt", "second"), PathOf("x/f.txt")), kDestOk);
  EXPECT_EQ(Get("x/f.txt"), "second");
  EXPECT_EQ(Entries(NativeOf("x")), std::set<std::string>{"f.txt"});

  EXPECT_NE(Dest().CopyFile(world_->Sources().SystemOf("nothing.txt"), PathOf("x/f.txt")), kDestOk);
  EXPECT_EQ(Get("x/f.txt"), "second");
  EXPECT_NE(Dest().CopyFile(one, PathOf("no/such/folder/f.txt")), kDestOk);
  EXPECT_FALSE(Exists("no"));
  EXPECT_FALSE(Dest().FileExists(PathOf("no/such/folder/f.txt")));
}

// Moves never overwrite; deleting removes even read-only files and leaves
// the folder.
TEST_P(DestinationSuite, MovesAndDeletes) {
  Put("a.txt", "A");
  Put("b.txt", "B");
  EXPECT_EQ(Dest().MoveFile(PathOf("a.txt"), PathOf("b.txt")), kDestFailed);
  EXPECT_EQ(Get("a.txt") + Get("b.txt"), "AB");
  EXPECT_EQ(Dest().MoveFile(PathOf("a.txt"), PathOf("c.txt")), kDestOk);
  EXPECT_FALSE(Exists("a.txt"));
  EXPECT_EQ(Get("c.txt"), "A");
  EXPECT_EQ(Dest().MoveFile(PathOf("gone.txt"), PathOf("d.txt")), kDestFailed);
  EXPECT_FALSE(Exists("d.txt"));

  Put("d/ro.txt", "x");
  if (GetParam().carriesReadOnly) MakeReadOnly(NativeOf("d/ro.txt"));
  EXPECT_EQ(Dest().DeleteFile(PathOf("d/ro.txt")), kDestOk);
  EXPECT_FALSE(Exists("d/ro.txt"));
  EXPECT_FALSE(Dest().FileExists(PathOf("d/ro.txt")));
  EXPECT_EQ(Dest().DeleteFile(PathOf("d/ro.txt")), kDestFailed);
  EXPECT_TRUE(fs::is_directory(NativeOf("d")));
}

TEST_P(DestinationSuite, ReadOnlyFilesStayReadOnlyThroughMoves) {
  if (!GetParam().carriesReadOnly) GTEST_SKIP() << "this kind keeps no read-only attribute";
  Put("ro.txt", "R");
  Put("taken.txt", "T");
  MakeReadOnly(NativeOf("ro.txt"));

  // A failed move gives the source its read-only state back.
  EXPECT_EQ(Dest().MoveFile(PathOf("ro.txt"), PathOf("taken.txt")), kDestFailed);
  EXPECT_FALSE(OwnerWritable(NativeOf("ro.txt")));
  EXPECT_EQ(Get("taken.txt"), "T");

  EXPECT_EQ(Dest().MoveFile(PathOf("ro.txt"), PathOf("moved.txt")), kDestOk);
  EXPECT_FALSE(Exists("ro.txt"));
  EXPECT_EQ(Get("moved.txt"), "R");
  EXPECT_FALSE(OwnerWritable(NativeOf("moved.txt")));
}

// A revision of stem.ext is exactly stem(NNNN).ext, at least four digits,
// the name compared exactly (a Linux store tells case apart); nothing else
// counts, so that files named like revisions, names that differ in case and
// names holding wildcard characters keep their own revisions.
TEST_P(DestinationSuite, ListVersionsFindsExactlyTheRevisionsOfOneFile) {
  for (const char* name :
       {"a(0002).txt", "a(0011).txt", "a(10000).txt", "a(0007)", "a.txt", "A(0040).txt", "a(2).txt",
        "a(00011).txt", "a(0001)(0003).txt", "b(0009).txt", "ab(0040).txt", "a(0012).txt.bak",
        "a(0013).TXT", "a(-0001).txt", "*(0050).txt", "?(0051).txt", "c(0001).txt"})
    Put(std::string("R/") + name, "v");
  fs::create_directories(NativeOf("R/a(0050).txt"));  // folders are not versions

  std::vector<VersionEntry> list = {{"earlier", 1}};
  EXPECT_EQ(Dest().ListVersions(PathOf("R/"), "a", "txt", &list), 10000);
  EXPECT_EQ(list[0].path, "earlier");  // appended to, never cleared
  std::set<std::pair<std::string, int64_t>> got;
  for (size_t i = 1; i < list.size(); ++i) got.insert({list[i].path, list[i].number});
  EXPECT_EQ(got, (std::set<std::pair<std::string, int64_t>>{{PathOf("R/a(0002).txt"), 2},
                                                            {PathOf("R/a(0011).txt"), 11},
                                                            {PathOf("R/a(10000).txt"), 10000}}));

  struct Case {
    const char *stem, *ext;
    int32_t highest;
  };
  const Case others[] = {
      {"a", "", 7},     {"A", "txt", 40},  {"a(0001)", "txt", 3}, {"*", "txt", 50},
      {"?", "txt", 51}, {"zzz", "txt", 0}, {"a", "TXT", 13},      {"c", "txt", 1},
  };
  for (const Case& c : others) {
    SCOPED_TRACE(std::string(c.stem) + "." + c.ext);
    std::vector<VersionEntry> one;
    EXPECT_EQ(Dest().ListVersions(PathOf("R/"), c.stem, c.ext, &one), c.highest);
    EXPECT_EQ(one.size(), c.highest == 0 ? 0u : 1u);
  }
  std::vector<VersionEntry> none = {{"keep", 3}};
  EXPECT_EQ(Dest().ListVersions(PathOf("missing/"), "a", "txt", &none), 0);
  EXPECT_EQ(none.size(), 1u);

  // Names are literal: "*.txt" exists only as itself.
  EXPECT_TRUE(Dest().FileExists(PathOf("R/*(0050).txt")));
  EXPECT_FALSE(Dest().FileExists(PathOf("R/*.txt")));
  EXPECT_FALSE(Dest().FileExists(PathOf("R/?.txt")));
}

// A copy that fails at any point leaves nothing new under the final name and
// no temporary file behind: fail the 1st, 2nd, 3rd ... file call until one
// copy runs through.
TEST_P(DestinationSuite, InterruptedCopyLeavesNothingUnderTheFinalName) {
  if (!GetParam().usesFaultSeam) GTEST_SKIP() << "this kind's copies bypass the fault seam";
  std::string big(17 * 1024 * 1024 + 17, '\0');  // more than one copy chunk
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) >> 7);
  std::string src = Source("big.bin", big);
  ASSERT_EQ(Dest().CreateFolders(PathOf("c/x")), kDestOk);

  for (bool overwrite : {false, true}) {
    SCOPED_TRACE(overwrite ? "over an older copy" : "to a new name");
    int faults = 0;
    bool completed = false;
    for (uint64_t nth = 1; nth <= 5000 && !completed; ++nth) {
      fs::remove(NativeOf("c/big.bin"));
      if (overwrite) Put("c/big.bin", "older copy");
      plat::fault::Arm(nth, plat::kErrDiskFull);
      uint32_t rc = Dest().CopyFile(src, PathOf("c/big.bin"));
      bool fired = plat::fault::Fired();
      plat::fault::Disarm();
      if (!fired) {
        EXPECT_EQ(rc, kDestOk);
        EXPECT_TRUE(Get("c/big.bin") == big) << "copied contents differ";
        completed = true;
        break;
      }
      ++faults;
      EXPECT_EQ(rc, plat::kErrDiskFull) << "fault at call " << nth;
      if (overwrite) {
        EXPECT_EQ(Get("c/big.bin"), "older copy") << "fault at call " << nth;
      } else {
        EXPECT_FALSE(Exists("c/big.bin")) << "fault at call " << nth;
      }
      EXPECT_EQ(Entries(NativeOf("c")).size(), overwrite ? 1u : 0u) << "fault at call " << nth;
      if (HasFailure()) break;
    }
    EXPECT_TRUE(completed);
    EXPECT_GE(faults, 2) << "the copy passed the seam too rarely to be interrupted halfway";
  }
}

TEST_P(DestinationSuite, OddNamesWorkThroughEveryOperation) {
  const std::string folder = "dir with  blanks/ünïcødé 日本 'single' \"double\"";
  const std::string name = "näme 'x' \"y\" ✓";
  std::string src = Source("src é.txt", "odd");

  ASSERT_EQ(Dest().CreateFolders(PathOf(folder + "/" + name + ".txt")), kDestOk);
  ASSERT_TRUE(fs::is_directory(NativeOf(folder)));
  EXPECT_EQ(Dest().CopyFile(src, PathOf(folder + "/" + name + ".txt")), kDestOk);
  EXPECT_TRUE(Dest().FileExists(PathOf(folder + "/" + name + ".txt")));
  EXPECT_EQ(Get(folder + "/" + name + ".txt"), "odd");

  EXPECT_EQ(Dest().MoveFile(PathOf(folder + "/" + name + ".txt"),
                            PathOf(folder + "/" + name + "(0003).txt")),
            kDestOk);
  std::vector<VersionEntry> list;
  EXPECT_EQ(Dest().ListVersions(PathOf(folder + "/"), name, "txt", &list), 3);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].path, PathOf(folder + "/" + name + "(0003).txt"));

  EXPECT_EQ(Dest().DeleteFile(list[0].path), kDestOk);
  EXPECT_TRUE(Entries(NativeOf(folder)).empty());
}
