// Profile (INI) files: lookups, in-place edits, and hostile input.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/Errors.h"
#include "platform/Profile.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using bvtest::TempDir;

TEST(ProfileRead, CaseFirstOccurrenceTrimAndQuotes) {
  TempDir t;
  t.Write("p.ini",
          "\xEF\xBB\xBF; comment line\r\n"
          "[Backup Settings]\r\n"
          "  Name =  Daily Job  \r\n"
          "name=second\r\n"
          "Quoted=\"  spaced  \"\r\n"
          "Single='x'\r\n"
          "Half=\"open\r\n"
          "Empty=\r\n"
          ";Commented=1\r\n"
          "novalue line\r\n"
          "Count= -42 items\r\n"
          "[backup settings]\r\n"
          "Other=hidden by the first section\r\n"
          "[Ümlaut]\r\n"
          "Key=ü\r\n");
  const std::string p = t.SystemOf("p.ini");
  EXPECT_EQ(plat::GetProfileString(p, "BACKUP SETTINGS", "NAME", "d"), "Daily Job");
  EXPECT_EQ(plat::GetProfileString(p, "Backup Settings", "Quoted", "d"), "  spaced  ");
  EXPECT_EQ(plat::GetProfileString(p, "Backup Settings", "Single", "d"), "x");
  EXPECT_EQ(plat::GetProfileString(p, "Backup Settings", "Half", "d"), "\"open");
  EXPECT_EQ(plat::GetProfileString(p, "Backup Settings", "Empty", "d"), "");
  EXPECT_EQ(plat::GetProfileString(p, "Backup Settings", "Commented", "d"), "d");
  EXPECT_EQ(plat::GetProfileString(p, "Backup Settings", "Other", "d"), "d");
  EXPECT_EQ(plat::GetProfileString(p, "ümlaut", "key", "d"), "ü");
  EXPECT_EQ(plat::GetProfileString(p, "Nope", "Name", "fallback"), "fallback");
  EXPECT_EQ(plat::GetProfileString(t.SystemOf("missing.ini"), "A", "B", "dflt"), "dflt");
  EXPECT_EQ(plat::GetProfileString(p, "Backup Settings", "Name", "d", 5), "Daily");
  EXPECT_EQ(plat::GetProfileString(p, "Ümlaut", "Key", "d", 0), "");

  EXPECT_EQ(plat::GetProfileInt(p, "Backup Settings", "Count", 7), -42);
  EXPECT_EQ(plat::GetProfileInt(p, "Backup Settings", "Name", 7), 7);
  EXPECT_EQ(plat::GetProfileInt(p, "Backup Settings", "Empty", 7), 7);
  EXPECT_EQ(plat::GetProfileInt(p, "Backup Settings", "Missing", 7), 7);

  EXPECT_EQ(plat::GetProfileSectionNames(p),
            (std::vector<std::string>{"Backup Settings", "Ümlaut"}));
  const auto entries = plat::GetProfileSection(p, "backup settings");
  ASSERT_EQ(entries.size(), 7u);
  EXPECT_EQ(entries[0], (std::pair<std::string, std::string>("Name", "Daily Job")));
  EXPECT_EQ(entries[2], (std::pair<std::string, std::string>("Quoted", "  spaced  ")));
}

TEST(ProfileRead, IntegerForms) {
  TempDir t;
  t.Write("i.ini", "[S]\na=+12\nb=0009\nc=99999999999999\nd=-99999999999999\ne=-\nf=\"5\"\n");
  const std::string p = t.SystemOf("i.ini");
  EXPECT_EQ(plat::GetProfileInt(p, "S", "a", 0), 12);
  EXPECT_EQ(plat::GetProfileInt(p, "S", "b", 0), 9);
  EXPECT_EQ(plat::GetProfileInt(p, "S", "c", 0), 2147483647);
  EXPECT_EQ(plat::GetProfileInt(p, "S", "d", 0), -2147483647 - 1);
  EXPECT_EQ(plat::GetProfileInt(p, "S", "e", 3), 3);
  EXPECT_EQ(plat::GetProfileInt(p, "S", "f", 3), 5);
}

TEST(ProfileWrite, ChangesOneLineAndKeepsTheRest) {
  TempDir t;
  const std::string before =
      "; header comment\r\n"
      "[First]\r\n"
      "Alpha = 1\r\n"
      "; inner comment\r\n"
      "Beta=2\r\n"
      "\r\n"
      "[Second]\r\n"
      "Gamma=3\r\n";
  t.Write("w.ini", before);
  const std::string p = t.SystemOf("w.ini");

  ASSERT_TRUE(plat::WriteProfileString(p, "FIRST", "alpha", "one"));
  EXPECT_EQ(t.Read("w.ini"),
            "; header comment\r\n[First]\r\nAlpha=one\r\n; inner comment\r\nBeta=2\r\n\r\n"
            "[Second]\r\nGamma=3\r\n");

  // A new key goes after the section's last entry, before the blank line.
  ASSERT_TRUE(plat::WriteProfileString(p, "First", "Delta", "4"));
  EXPECT_EQ(t.Read("w.ini"),
            "; header comment\r\n[First]\r\nAlpha=one\r\n; inner comment\r\nBeta=2\r\n"
            "Delta=4\r\n\r\n[Second]\r\nGamma=3\r\n");

  // A new section goes at the end, after a blank line.
  ASSERT_TRUE(plat::WriteProfileInt(p, "Third", "Eps", -5));
  EXPECT_EQ(plat::GetProfileInt(p, "third", "eps", 0), -5);
  EXPECT_NE(t.Read("w.ini").find("Gamma=3\r\n\r\n[Third]\r\nEps=-5\r\n"), std::string::npos);

  // Removing a key, then a whole section.
  ASSERT_TRUE(plat::WriteProfileString(p, "First", "Beta", nullptr));
  EXPECT_EQ(plat::GetProfileString(p, "First", "Beta", "gone"), "gone");
  EXPECT_EQ(plat::GetProfileString(p, "First", "Delta", ""), "4");
  ASSERT_TRUE(plat::WriteProfileString(p, "second", nullptr, nullptr));
  EXPECT_EQ(t.Read("w.ini"),
            "; header comment\r\n[First]\r\nAlpha=one\r\n; inner comment\r\nDelta=4\r\n\r\n"
            "[Third]\r\nEps=-5\r\n");
  // Removing what is not there changes nothing.
  ASSERT_TRUE(plat::WriteProfileString(p, "Nope", "x", nullptr));
  ASSERT_TRUE(plat::WriteProfileString(p, "Nope", nullptr, nullptr));
  EXPECT_EQ(plat::GetProfileSectionNames(p), (std::vector<std::string>{"First", "Third"}));
}

TEST(ProfileWrite, CreatesFilesAndRefusesBrokenNames) {
  TempDir t;
  const std::string p = t.SystemOf("new.ini");
  ASSERT_TRUE(plat::WriteProfileString(p, "S", "k", "v"));
  EXPECT_EQ(t.Read("new.ini"), "[S]\nk=v\n");
  // Last line without a line feed.
  t.Write("nolf.ini", "[S]\nk=v");
  ASSERT_TRUE(plat::WriteProfileString(t.SystemOf("nolf.ini"), "S", "k2", "v2"));
  EXPECT_EQ(t.Read("nolf.ini"), "[S]\nk=v\nk2=v2\n");

  EXPECT_FALSE(plat::WriteProfileString(t.SystemOf("nodir\\x.ini"), "S", "k", "v"));
  EXPECT_EQ(plat::GetLastError(), plat::kErrPathNotFound);
  EXPECT_FALSE(plat::WriteProfileString(p, "S", "k", "two\nlines"));
  EXPECT_FALSE(plat::WriteProfileString(p, "S", "a=b", "v"));
  EXPECT_FALSE(plat::WriteProfileString(p, "S]", "k", "v"));
  EXPECT_EQ(plat::GetLastError(), plat::kErrInvalidParameter);
  EXPECT_EQ(t.Read("new.ini"), "[S]\nk=v\n");
}

TEST(ProfileWrite, ConcurrentWritersLoseNothing) {
  TempDir t;
  const std::string p = t.SystemOf("c.ini");
  std::vector<std::thread> threads;
  for (int n = 0; n < 4; ++n) {
    threads.emplace_back([&, n] {
      for (int i = 0; i < 25; ++i)
        plat::WriteProfileInt(p, "S" + std::to_string(n), "k" + std::to_string(i), i);
    });
  }
  for (auto& th : threads) th.join();
  for (int n = 0; n < 4; ++n)
    for (int i = 0; i < 25; ++i)
      EXPECT_EQ(plat::GetProfileInt(p, "S" + std::to_string(n), "k" + std::to_string(i), -1), i);
}

TEST(ProfileHostile, BinaryEmptyAndLongLines) {
  TempDir t;
  t.Write("empty.ini", "");
  EXPECT_EQ(plat::GetProfileString(t.SystemOf("empty.ini"), "S", "k", "d"), "d");
  EXPECT_TRUE(plat::GetProfileSectionNames(t.SystemOf("empty.ini")).empty());
  ASSERT_TRUE(plat::WriteProfileString(t.SystemOf("empty.ini"), "S", "k", "v"));
  EXPECT_EQ(t.Read("empty.ini"), "[S]\nk=v\n");

  std::mt19937 rng(7);
  std::string junk(1 << 20, '\0');
  for (auto& c : junk) c = static_cast<char>(rng());
  t.Write("junk.ini", junk);
  const std::string j = t.SystemOf("junk.ini");
  EXPECT_EQ(plat::GetProfileString(j, "S", "k", "d"), "d");
  plat::GetProfileSectionNames(j);
  ASSERT_TRUE(plat::WriteProfileString(j, "S", "k", "v"));
  EXPECT_EQ(plat::GetProfileString(j, "S", "k", "d"), "v");
  EXPECT_EQ(t.Read("junk.ini").substr(0, junk.size()), junk);  // the junk is kept

  // A 10 MB line, then a real entry.
  std::string longLine = "[S]\nhuge=" + std::string(10 << 20, 'x') + "\nafter=1\n";
  t.Write("long.ini", longLine);
  const std::string l = t.SystemOf("long.ini");
  EXPECT_EQ(plat::GetProfileString(l, "S", "huge", "d").size(), 1023u);
  EXPECT_EQ(plat::GetProfileString(l, "S", "huge", "d", 20u << 20).size(), 10u << 20);
  EXPECT_EQ(plat::GetProfileInt(l, "S", "after", 0), 1);
  ASSERT_TRUE(plat::WriteProfileString(l, "S", "after", "2"));
  EXPECT_EQ(plat::GetProfileInt(l, "S", "after", 0), 2);
  EXPECT_EQ(fs::file_size(t.NativeOf("long.ini")), longLine.size());
}
