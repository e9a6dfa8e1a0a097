// The shared file-operation suite (see destination_suite.h).
#include <algorithm>
#include <optional>
#include <set>
#include <tuple>

#include "destination_suite.h"
#include "platform/base/Errors.h"

namespace {

// A store "Store" in a fresh folder on C:, or on a share mapped to that folder.
class LocalWorld : public DestinationWorld {
 public:
  LocalWorld(int32_t storageType, bool onShare) : dest_(CreateDestination(nullptr, storageType)) {
    if (onShare)
      volumes_.emplace("[C]\nRoot=/\n[\\\\bvsrv\\share]\nRoot=" + store_.Native() + "\n");
    PlanSettings settings;
    settings.storePath =
        (onShare ? std::string("\\\\bvsrv\\share") : store_.System()) + "\\Store\\";
    dest_->Configure(settings);
    dest_->Prepare(true);
  }
  CDestination& Dest() override { return *dest_; }
  std::string PathOf(const std::string& rel) const override {
    std::string p = dest_->GetRootPath() + rel;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
  }
  std::string NativeOf(const std::string& rel) const override {
    return store_.NativeOf("Store/" + rel);
  }

 private:
  bvtest::TempDir store_;
  std::optional<ScopedVolumes> volumes_;
  std::unique_ptr<CDestination> dest_;
};

bool OwnerWritable(const std::string& native) {
  struct stat st {};
  return stat(native.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) != 0;
}

}  // namespace

DestinationKind LocalKind(const std::string& name, int32_t storageType, bool onShare) {
  return {name, [=] { return std::make_unique<LocalWorld>(storageType, onShare); }};
}

void DestinationSuite::SetUp() {
  if (GetParam().unavailable) {
    const std::string reason = GetParam().unavailable();
    if (!reason.empty()) GTEST_SKIP() << reason;
  }
  world_ = GetParam().make();
}

// Copies that create and overwrite, failed ones that leave the target, moves that never
// overwrite, deletes, all on odd names.
TEST_P(DestinationSuite, FoldersCopiesMovesAndDeletes) {
  const std::string odd = "dir with  blanks/ünïcødé 日本 'single' \"double\"/näme 'x' \"y\" ✓";
  EXPECT_EQ(Dest().CreateFolders(PathOf(odd + ".txt")), kDestOk);
  if (GetParam().hasFolders) {
    EXPECT_TRUE(fs::is_directory(NativeOf(odd).substr(0, NativeOf(odd).rfind('/'))));
  }
  EXPECT_FALSE(Exists(odd + ".txt"));
  EXPECT_EQ(Dest().CreateFolders(PathOf(odd + ".doc")), kDestOk);  // existing: no error
  EXPECT_EQ(Dest().CreateFolders(""), kDestMissingArgument);

  const std::string one = Source("src é.txt", "first contents");
  EXPECT_EQ(Dest().CopyFile(one, PathOf(odd + ".txt")), kDestOk);
  EXPECT_EQ(Get(odd + ".txt"), "first contents");
  EXPECT_TRUE(Dest().FileExists(PathOf(odd + ".txt")));
  // The rotation before a copy replaces the target sees it whole under a temporary name.
  const std::string folder = odd.substr(0, odd.rfind('/') + 1);
  std::string seen;
  const auto look = [&] {
    seen += Get(odd + ".txt");
    for (const std::string& name : world_->Names(folder))
      if (IsTemporaryCopyName(name)) seen += "|" + Get(folder + name);
  };
  EXPECT_EQ(
      Dest().CopyFileWatched(Source("two.txt", "second"), PathOf(odd + ".txt"), nullptr, look),
      kDestOk);
  EXPECT_EQ(Get(odd + ".txt"), "second");
  // A store that writes a copy whole in one request has no temporary name.
  const std::string staged = GetParam().stagesCopies ? "first contents|second" : "first contents";
  EXPECT_EQ(seen, staged);
  EXPECT_NE(Dest().CopyFileWatched(world_->Sources().SystemOf("nothing.txt"), PathOf(odd + ".txt"),
                                   nullptr, look),
            kDestOk);
  EXPECT_EQ(Get(odd + ".txt"), "second");
  // Whether a copy holds a source's bytes: 1 the same, 0 not, -1 when either cannot be read.
  for (const auto& [source, copy, holds] :
       {std::tuple{Source("twin.txt", "second"), odd + ".txt", 1},
        {Source("other.txt", "SECOND"), odd + ".txt", 0},
        {Source("longer.txt", "second!"), odd + ".txt", 0},
        {Source("short.txt", "sec"), odd + ".txt", 0},
        {world_->Sources().SystemOf("nothing.txt"), odd + ".txt", -1},
        {Source("twin.txt", "second"), "missing.txt", -1}})
    EXPECT_EQ(Dest().HoldsSameBytes(source, PathOf(copy)), holds) << source << " " << copy;
  if (GetParam().hasFolders) {  // a store of keys has no folder to miss
    EXPECT_NE(Dest().CopyFileWatched(one, PathOf("no/such/folder/f.txt"), nullptr, look), kDestOk);
    EXPECT_EQ(seen, staged);
    EXPECT_FALSE(Exists("no"));
    EXPECT_FALSE(Dest().FileExists(PathOf("no/such/folder/f.txt")));
  }

  Put("b.txt", "B");
  if (GetParam().carriesReadOnly) chmod(NativeOf(odd + ".txt").c_str(), 0444);
  EXPECT_EQ(Dest().MoveFile(PathOf(odd + ".txt"), PathOf("b.txt")), kDestFailed);
  EXPECT_EQ(Get(odd + ".txt") + Get("b.txt"), "secondB");
  if (GetParam().carriesReadOnly) {
    EXPECT_FALSE(OwnerWritable(NativeOf(odd + ".txt")));
  }
  EXPECT_EQ(Dest().MoveFile(PathOf(odd + ".txt"), PathOf(odd + "(0003).txt")), kDestOk);
  EXPECT_FALSE(Exists(odd + ".txt"));
  EXPECT_EQ(Get(odd + "(0003).txt"), "second");
  if (GetParam().carriesReadOnly) {
    EXPECT_FALSE(OwnerWritable(NativeOf(odd + "(0003).txt")));
  }
  EXPECT_EQ(Dest().MoveFile(PathOf("gone.txt"), PathOf("d.txt")), kDestFailed);
  EXPECT_FALSE(Exists("d.txt"));

  const std::string name = odd.substr(folder.size());
  std::vector<VersionEntry> list;
  EXPECT_EQ(Dest().ListVersions(PathOf(folder), name, "txt", &list), 3);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].path, PathOf(odd + "(0003).txt"));
  EXPECT_EQ(Dest().DeleteFile(list[0].path), kDestOk);
  EXPECT_FALSE(Dest().FileExists(list[0].path));
  EXPECT_EQ(Dest().DeleteFile(list[0].path), kDestFailed);
  EXPECT_TRUE(world_->Names(folder).empty());
}

// A revision of stem.ext is exactly stem(NNNN).ext, at least four digits, the name compared
// exactly (case and wildcard characters too).
TEST_P(DestinationSuite, ListVersionsFindsExactlyTheRevisionsOfOneFile) {
  const char* const names[] = {
      "a(0002).txt",  "a(0011).txt",     "a(10000).txt", "a(0007)",           "a.txt",
      "A(0040).txt",  "a(2).txt",        "a(00011).txt", "a(0001)(0003).txt", "b(0009).txt",
      "ab(0040).txt", "a(0012).txt.bak", "a(0013).TXT",  "a(-0001).txt",      "*(0050).txt",
      "?(0051).txt",  "c(0001).txt",     "z(0000).txt",  "s(0003).txt",       "s(99999999999).txt"};
  for (const char* name : names) Put(std::string("R/") + name, "v");
  world_->MakeFolder("R/a(0050).txt");  // folders are not versions

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
    size_t found;
  };
  const Case others[] = {
      {"a", "", 7, 1},
      {"A", "txt", 40, 1},
      {"a(0001)", "txt", 3, 1},
      {"*", "txt", 50, 1},
      {"?", "txt", 51, 1},
      {"zzz", "txt", 0, 0},
      {"a", "TXT", 13, 1},
      {"c", "txt", 1, 1},
      {"z", "txt", 0, 0},
      {"s", "txt", INT32_MAX, 2},  // the result saturates, the numbers do not
  };
  for (const Case& c : others) {
    SCOPED_TRACE(std::string(c.stem) + "." + c.ext);
    std::vector<VersionEntry> one;
    EXPECT_EQ(Dest().ListVersions(PathOf("R/"), c.stem, c.ext, &one), c.highest);
    EXPECT_EQ(one.size(), c.found);
    if (c.found == 2) {
      EXPECT_EQ(std::max(one[0].number, one[1].number), 99999999999);
    }
  }
  std::vector<VersionEntry> none = {{"keep", 3}};
  EXPECT_EQ(Dest().ListVersions(PathOf("missing/"), "a", "txt", &none), 0);
  EXPECT_EQ(none.size(), 1u);
  // Names are literal: "*.txt" exists only as itself.
  EXPECT_TRUE(Dest().FileExists(PathOf("R/*(0050).txt")));
  EXPECT_FALSE(Dest().FileExists(PathOf("R/*.txt")));
  EXPECT_FALSE(Dest().FileExists(PathOf("R/?.txt")));
}
