// Profile (INI) files: lookups, edits that change one line, hostile input,
// kept texts read again when their file changes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/base/Errors.h"
#include "platform/profile/Profile.h"
#include "support/TempDir.h"

using bvtest::TempDir;

TEST(Profile, ReadsTheFirstSectionAndKeyWithoutRegardToCase) {
  TempDir t;
  t.Write(
      "p.ini",
      "\xEF\xBB\xBF; comment line\r\n[Backup Settings]\r\n  Name =  Daily Job  \r\n"
      "name=second\r\nQuoted=\"  spaced  \"\r\nSingle='x'\r\nHalf=\"open\r\nEmpty=\r\n"
      ";Commented=1\r\nnovalue line\r\nCount= -42 items\r\n"
      "[backup settings]\r\nOther=hidden by the first section\r\n[Ümlaut]\r\nKey=ü\r\n"
      "[Ints]\r\na=+12\r\nb=0009\r\nc=99999999999999\r\nd=-99999999999999\r\ne=-\r\nf=\"5\"\r\n");
  const std::string p = t.SystemOf("p.ini");
  // Each value in brackets: the first key of the first section counts, quotes
  // come off, comments and lines without "=" count for nothing.
  std::string got;
  for (const char* key : {"NAME", "Quoted", "Single", "Half", "Empty", "Commented", "Other"})
    got += "[" + plat::GetProfileString(p, "BACKUP SETTINGS", key, "d") + "]";
  EXPECT_EQ(got, "[Daily Job][  spaced  ][x][\"open][][d][d]");
  EXPECT_EQ(plat::GetProfileString(p, "ümlaut", "key", "d"), "ü");
  EXPECT_EQ(plat::GetProfileString(p, "Nope", "Name", "d"), "d");
  EXPECT_EQ(plat::GetProfileString(p, "Backup Settings", "Name", "d", 5), "Daily");
  EXPECT_EQ(plat::GetProfileString(p, "Ümlaut", "Key", "d", 0), "");
  EXPECT_EQ(plat::GetProfileString(t.SystemOf("missing.ini"), "A", "B", "dflt"), "dflt");
  got.clear();  // integers as atoi reads them, saturated; 7 for none
  for (const char* key : {"Count", "Name", "Empty", "Missing"})
    got += std::to_string(plat::GetProfileInt(p, "Backup Settings", key, 7)) + " ";
  for (const char* key : {"a", "b", "c", "d", "e", "f"})
    got += std::to_string(plat::GetProfileInt(p, "Ints", key, 7)) + " ";
  EXPECT_EQ(got, "-42 7 7 7 12 9 2147483647 -2147483648 7 5 ");
  EXPECT_EQ(plat::GetProfileSectionNames(p),
            (std::vector<std::string>{"Backup Settings", "Ümlaut", "Ints"}));
  const auto entries = plat::GetProfileSection(p, "backup settings");
  ASSERT_EQ(entries.size(), 7u);
  EXPECT_EQ(entries[0], (std::pair<std::string, std::string>("Name", "Daily Job")));
  EXPECT_EQ(entries[2], (std::pair<std::string, std::string>("Quoted", "  spaced  ")));
}

// A write changes one line, adds keys and sections where they belong, refuses
// names that would break the file and loses nothing to concurrent writers.
TEST(Profile, WritesChangeOneLineAndKeepTheRest) {
  TempDir t;
  t.Write("w.ini",
          "; header\r\n[First]\r\nAlpha = 1\r\n; inner\r\nBeta=2\r\n\r\n[Second]\r\nG=3\r\n");
  const std::string p = t.SystemOf("w.ini");
  ASSERT_TRUE(plat::WriteProfileString(p, "FIRST", "alpha", "one"));
  ASSERT_TRUE(plat::WriteProfileString(p, "First", "Delta", "4"));
  ASSERT_TRUE(plat::WriteProfileInt(p, "Third", "Eps", -5));
  EXPECT_EQ(t.Read("w.ini"),
            "; header\r\n[First]\r\nAlpha=one\r\n; inner\r\nBeta=2\r\nDelta=4\r\n\r\n"
            "[Second]\r\nG=3\r\n\r\n[Third]\r\nEps=-5\r\n");
  ASSERT_TRUE(plat::WriteProfileString(p, "First", "Beta", nullptr));
  ASSERT_TRUE(plat::WriteProfileString(p, "second", nullptr, nullptr));
  ASSERT_TRUE(plat::WriteProfileString(p, "Nope", "x", nullptr));  // nothing to remove
  ASSERT_TRUE(plat::WriteProfileString(p, "Nope", nullptr, nullptr));
  EXPECT_EQ(t.Read("w.ini"),
            "; header\r\n[First]\r\nAlpha=one\r\n; inner\r\nDelta=4\r\n\r\n[Third]\r\nEps=-5\r\n");

  const std::string n = t.SystemOf("new.ini");
  ASSERT_TRUE(plat::WriteProfileString(n, "S", "k", "v"));
  EXPECT_EQ(t.Read("new.ini"), "[S]\nk=v\n");
  t.Write("nolf.ini", "[S]\nk=v");
  ASSERT_TRUE(plat::WriteProfileString(t.SystemOf("nolf.ini"), "S", "k2", "v2"));
  EXPECT_EQ(t.Read("nolf.ini"), "[S]\nk=v\nk2=v2\n");
  EXPECT_FALSE(plat::WriteProfileString(t.SystemOf("nodir\\x.ini"), "S", "k", "v"));
  EXPECT_EQ(plat::GetLastError(), plat::kErrPathNotFound);
  for (const auto& [section, key, value] :
       std::vector<std::tuple<const char*, const char*, const char*>>{
           {"S", "k", "two\nlines"}, {"S", "a=b", "v"}, {"S]", "k", "v"}, {"S\n", "k", "v"}}) {
    EXPECT_FALSE(plat::WriteProfileString(n, section, key, value)) << section << key << value;
    EXPECT_EQ(plat::GetLastError(), plat::kErrInvalidParameter);
  }
  EXPECT_EQ(t.Read("new.ini"), "[S]\nk=v\n");

  const std::string c = t.SystemOf("c.ini");
  std::vector<std::thread> threads;
  for (int s = 0; s < 4; ++s)
    threads.emplace_back([&, s] {
      for (int i = 0; i < 25; ++i)
        plat::WriteProfileInt(c, "S" + std::to_string(s), "k" + std::to_string(i), i);
    });
  for (auto& th : threads) th.join();
  for (int s = 0; s < 4; ++s)
    for (int i = 0; i < 25; ++i)
      EXPECT_EQ(plat::GetProfileInt(c, "S" + std::to_string(s), "k" + std::to_string(i), -1), i);

  // Empty, binary and huge files are read and kept.
  t.Write("empty.ini", "");
  EXPECT_TRUE(plat::GetProfileSectionNames(t.SystemOf("empty.ini")).empty());
  ASSERT_TRUE(plat::WriteProfileString(t.SystemOf("empty.ini"), "S", "k", "v"));
  EXPECT_EQ(t.Read("empty.ini"), "[S]\nk=v\n");
  std::string junk(1 << 20, '\0');
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 7919 % 251);
  t.Write("junk.ini", junk);
  const std::string j = t.SystemOf("junk.ini");
  EXPECT_EQ(plat::GetProfileString(j, "S", "k", "d"), "d");
  ASSERT_TRUE(plat::WriteProfileString(j, "S", "k", "v"));
  EXPECT_EQ(plat::GetProfileString(j, "S", "k", "d"), "v");
  EXPECT_EQ(t.Read("junk.ini").substr(0, junk.size()), junk);
  const std::string huge = "[S]\nhuge=" + std::string(10 << 20, 'x') + "\nafter=1\n";
  t.Write("long.ini", huge);
  const std::string l = t.SystemOf("long.ini");
  EXPECT_EQ(plat::GetProfileString(l, "S", "huge", "d").size(), 1023u);
  EXPECT_EQ(plat::GetProfileString(l, "S", "huge", "d", 20u << 20).size(), 10u << 20);
  ASSERT_TRUE(plat::WriteProfileString(l, "S", "after", "2"));
  EXPECT_EQ(plat::GetProfileInt(l, "S", "after", 0), 2);
  EXPECT_EQ(std::filesystem::file_size(t.NativeOf("long.ini")), huge.size());
}

// Kept profile texts are read again whenever the file changes: rewritten in
// place at the same size, replaced by a rename with its old times, removed.
TEST(KeptProfile, IsReadAgainWhenTheFileChanges) {
  bvtest::TempDir dir;
  const std::string ini = dir.SystemOf("side.ini");
  const auto expect = [&](const char* text, int n) {
    EXPECT_EQ(plat::GetKeptProfileString(ini, "s", "K", "-"), text);
    EXPECT_EQ(plat::GetKeptProfileInt(ini, "S", "n", 0), n);
  };
  dir.Write("side.ini", "[S]\nk=one\nn=1\n");
  expect("one", 1);
  expect("one", 1);
  // A file is looked at again a second after the last look.
  const auto later = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1100)); };
  dir.Write("side.ini", "[S]\nk=two\nn=2\n");
  later();
  expect("two", 2);
  const std::string other = dir.Write("other.ini", "[S]\nk=six\nn=6\n");
  std::filesystem::last_write_time(other,
                                   std::filesystem::last_write_time(dir.NativeOf("side.ini")));
  ASSERT_EQ(std::rename(other.c_str(), dir.NativeOf("side.ini").c_str()), 0);
  expect("two", 2);
  later();
  expect("six", 6);
  ASSERT_EQ(std::remove(dir.NativeOf("side.ini").c_str()), 0);
  plat::ForgetKeptProfiles();
  expect("-", 0);
}
